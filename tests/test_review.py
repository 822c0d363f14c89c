"""The review pass: chunking, the model exchange through the real openai
client against the scripted loopback server, de-duplication, substitution."""

from __future__ import annotations

import copy
import json
import logging
import os
import stat

import openai
import pytest
import spacy
from hypothesis import given, settings
from hypothesis import strategies as st

from support import reference
from support.slm_server import DROP, Raw
from tarnis import processing
from tarnis.processing import anonymize_text, deanonymize_text
from tarnis.slm import review
from tarnis.slm.prompts import SLM_REVIEW_SYSTEM_PROMPT
from tarnis.slm.review import SLMReviewPass

LOG = "slm_review_log.jsonl"


@pytest.fixture(autouse=True)
def blank_pipeline(blank_ro_spacy_dir):
    """The shared pipeline is a blank Romanian one with a sentencizer."""
    saved = processing._nlp_ro
    processing._nlp_ro = spacy.load(blank_ro_spacy_dir)
    yield processing._nlp_ro
    processing._nlp_ro = saved


def client_for(server):
    return openai.OpenAI(api_key="test", base_url=server.base_url, max_retries=0, timeout=5)


def make(server=None, tmp_path=None, **kw):
    client = client_for(server) if server else None
    return SLMReviewPass(client, "qwen3.5:9b", log_dir=tmp_path, **kw)


def answer(*entities):
    return json.dumps({"entities": [{"text": t, "type": ty} for t, ty in entities]})


def log_lines(tmp_path):
    path = tmp_path / LOG
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()] if path.exists() else []


def sentence(i, words=10):
    return " ".join([f"S{i}"] + ["cuvant"] * (words - 2) + ["final."])


# --- construction ---------------------------------------------------------------

def test_defaults_and_stored_attributes():
    p = SLMReviewPass("a client", "m")
    assert (p.client, p.model, p.system_prompt, p.max_chunk_tokens, p.overlap_sentences, p.max_tokens,
            p.temperature, p.top_p, p.top_k, p.presence_penalty, p.extra_body, p.max_retries) == (
        "a client", "m", SLM_REVIEW_SYSTEM_PROMPT, 2500, 2, 2048, 0.7, 0.8, 20, 1.5, None, 3)
    assert str(p.log_dir) == "results" and not p.log_dir.is_absolute()
    assert list(vars(p)) == ["client", "model", "system_prompt", "max_chunk_tokens", "overlap_sentences",
                             "max_tokens", "temperature", "top_p", "top_k", "presence_penalty", "extra_body",
                             "max_retries", "log_dir"]
    q = SLMReviewPass(None, "m", "sys", 10, 1, 5, 1, 0, 3, 2, {"x": 1}, 0, "logs")
    assert type(q.temperature) is float and q.temperature == 1.0 and type(q.top_p) is float
    assert q.log_dir == "logs" and q.extra_body == {"x": 1} and q.max_retries == 0
    assert SLMReviewPass.__doc__ == "Scan anonymized text for remaining PII that the pipeline missed."
    assert review.logger.name == "tarnis.slm.review"


@pytest.mark.parametrize("kwargs, name", [
    ({"model": b"m"}, "model"),
    ({"system_prompt": None}, "system_prompt"),
    ({"max_chunk_tokens": 2.5}, "max_chunk_tokens"),
    ({"overlap_sentences": "2"}, "overlap_sentences"),
    ({"max_tokens": None}, "max_tokens"),
    ({"temperature": "0.7"}, "temperature"),
    ({"top_p": None}, "top_p"),
    ({"top_k": 20.0}, "top_k"),
    ({"presence_penalty": "x"}, "presence_penalty"),
    ({"extra_body": [("top_k", 1)]}, "extra_body"),
    ({"max_retries": "3"}, "max_retries"),
    ({"log_dir": 5}, "log_dir"),
])
def test_bad_constructor_arguments(kwargs, name):
    args = {"client": None, "model": "m", **kwargs}
    with pytest.raises(TypeError, match=name):
        SLMReviewPass(**args)


def test_negative_overlap_is_refused():
    with pytest.raises(ValueError, match="overlap_sentences"):
        SLMReviewPass(None, "m", overlap_sentences=-1)


# --- chunking -------------------------------------------------------------------

FIVE = " ".join(sentence(i) for i in range(1, 6))


@pytest.mark.parametrize("overlap, expected", [
    (2, [[1, 2], [2, 3], [3, 4], [4, 5], [5]]),
    (1, [[1, 2], [2, 3], [3, 4], [4, 5], [5]]),
    (0, [[1, 2], [3, 4], [5]]),
])
def test_chunks_overlap_and_trailing_short_chunks(overlap, expected):
    chunks = make(max_chunk_tokens=25, overlap_sentences=overlap)._chunk_text(FIVE)
    assert chunks == [" ".join(sentence(i) for i in group) for group in expected]


def test_short_text_is_one_chunk_and_blank_text_none():
    p = make(max_chunk_tokens=25)
    text = "  Ion Pop a semnat.\n\nMaria a plecat.  "
    assert p._chunk_text(text) == [text]
    assert p._chunk_text(text)[0] is text
    for blank in ("", "   ", "\n\t \n"):
        assert p._chunk_text(blank) == []


def test_over_long_sentence_is_a_chunk_of_its_own():
    long_one = " ".join(["lung"] * 3000) + "."
    text = " ".join([sentence(1), long_one, sentence(2)])
    chunks = make()._chunk_text(text)
    assert long_one in chunks
    assert chunks[0] == sentence(1) and chunks[-1] == sentence(2)
    assert all(len(c.split()) <= 2500 for c in chunks if c != long_one)


def test_text_over_the_pipeline_limit_is_split_for_sentences(blank_pipeline):
    text = "\n".join(sentence(i) for i in range(200))
    expected = make(max_chunk_tokens=100)._chunk_text(text)
    blank_pipeline.max_length = 500
    assert make(max_chunk_tokens=100)._chunk_text(text) == expected
    assert len(expected) > 20


def test_pipeline_set_by_host_is_used(monkeypatch):
    calls = []

    class Spy:
        def __init__(self, nlp):
            self.nlp = nlp

        def __call__(self, text):
            calls.append(text)
            return self.nlp(text)

    monkeypatch.setattr(processing, "_nlp_ro", Spy(processing._nlp_ro))
    make(max_chunk_tokens=25)._chunk_text(FIVE)
    assert calls == [FIVE]


# --- the exchange with the model ------------------------------------------------

def test_request_and_answer_filter(slm_server, tmp_path):
    server = slm_server(lambda body: answer(("Ion Popescu", "PERSON_NAME"), ("Al", "PERSON_NAME"),
                                            ("Cluj", "LOCATION"), ("  Ab  ", "ORGANIZATION"),
                                            ("Banca Mea", "ORGANIZATION")))
    p = make(server, tmp_path, extra_body={"top_k": 5, "seed": 1})
    found = p._call_slm("Ion Popescu lucrează la Banca Mea.", chunk_idx=4)
    assert found == [{"text": "Ion Popescu", "type": "PERSON_NAME"}, {"text": "Banca Mea", "type": "ORGANIZATION"}]
    (body,) = server.requests
    assert body["model"] == "qwen3.5:9b"
    assert body["messages"] == [{"role": "system", "content": SLM_REVIEW_SYSTEM_PROMPT},
                                {"role": "user", "content": "Ion Popescu lucrează la Banca Mea."}]
    assert (body["temperature"], body["top_p"], body["presence_penalty"], body["max_tokens"]) == (0.7, 0.8, 1.5, 2048)
    assert (body["top_k"], body["reasoning_effort"], body["seed"]) == (5, "none", 1)
    (line,) = log_lines(tmp_path)
    assert list(line) == ["timestamp", "chunk_idx", "attempt", "status", "raw_response", "entities_found"]
    assert (line["chunk_idx"], line["attempt"], line["status"]) == (4, 0, "ok")
    assert line["entities_found"] == found
    assert stat.S_IMODE(os.stat(tmp_path / LOG).st_mode) == 0o600


@pytest.mark.parametrize("content, found", [
    ("```json\n" + answer(("Ion Pop", "PERSON_NAME")) + "\n```", [("Ion Pop", "PERSON_NAME")]),
    ("Iată: " + answer(("Ion Pop", "PERSON_NAME")) + " gata", [("Ion Pop", "PERSON_NAME")]),
    ("{'entities': [{'text': 'Ion Pop', 'type': 'PERSON_NAME'}]}", [("Ion Pop", "PERSON_NAME")]),
    ('{"entities": [{"text": "Ion Pop", "type": "PERSON_NAME"}, {"text": "Ana B', [("Ion Pop", "PERSON_NAME")]),
    ('{"entities": []}', []),
    ('{"other": 1}', []),
    ('{"entities": ["Ion Pop", 5, {"text": "Ion Pop"}]}', []),
])
def test_answers_that_parse(slm_server, tmp_path, content, found):
    server = slm_server(lambda body: content)
    assert make(server, tmp_path)._call_slm("text") == [{"text": t, "type": ty} for t, ty in found]


@pytest.mark.parametrize("content, error", [
    (None, "No JSON object found in response"),
    ("no json here", "No JSON object found in response"),
    ('{"entities": 5}', "not iterable"),
    ('{"entities": [{"text": 5, "type": "PERSON_NAME"}]}', "must be a string"),
    ('{"entities": [{"text" "a"}]}', "Could not repair JSON"),
    (503, "503"),
    (Raw(200, b"not json at all", "text/plain"), ""),
    (DROP, "Connection error"),
])
def test_failed_attempts_are_logged_and_retried(slm_server, tmp_path, caplog, content, error):
    server = slm_server(lambda body: content)
    with caplog.at_level(logging.WARNING, logger="tarnis.slm.review"):
        assert make(server, tmp_path, max_retries=2)._call_slm("text", chunk_idx=7) == []
    lines = log_lines(tmp_path)
    assert [(l["attempt"], l["status"], l["entities_found"]) for l in lines] == [(0, "error", []), (1, "error", [])]
    assert error in lines[0]["raw_response"]
    assert len(server.requests) == 2
    assert [r.levelname for r in caplog.records] == ["WARNING", "WARNING", "ERROR"]
    assert caplog.messages[0].startswith("[review] Chunk 7 attempt 1 failed: ")
    assert caplog.messages[1].startswith("[review] Chunk 7 attempt 2 failed: ")
    assert caplog.messages[2] == "[review] Chunk 7: all 2 attempts failed"


@pytest.mark.parametrize("content", [
    lambda body: '{"entities": [{"text" "' + body["messages"][1]["content"],   # cut off after an echo
    lambda body: Raw(500, json.dumps({"error": {"message": body["messages"][1]["content"]}}).encode()),
])
def test_failed_attempt_warnings_do_not_quote_the_answer(slm_server, tmp_path, caplog, content):
    chunk = "Subsemnatul Ion Popescu, CNP 1780315123453, locuiesc în Cluj."
    server = slm_server(content)
    with caplog.at_level(logging.DEBUG, logger="tarnis.slm.review"):
        assert make(server, tmp_path, max_retries=1)._call_slm(chunk) == []
    shown = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    assert len(shown) == 2 and not [m for m in shown if "Popescu" in m or "1780315123453" in m]
    assert shown[0].startswith("[review] Chunk 0 attempt 1 failed: ")
    debug = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG]
    assert any("Popescu" in m for m in debug)
    assert "Popescu" in log_lines(tmp_path)[0]["raw_response"]


def test_an_existing_review_log_becomes_the_owners_only(slm_server, tmp_path):
    (tmp_path / LOG).write_text("", encoding="utf-8")
    os.chmod(tmp_path / LOG, 0o644)
    server = slm_server(lambda body: answer())
    make(server, tmp_path)._call_slm("text")
    assert stat.S_IMODE(os.stat(tmp_path / LOG).st_mode) == 0o600 and len(log_lines(tmp_path)) == 1


def test_server_down_gives_three_error_lines_per_chunk(slm_server, tmp_path, caplog):
    server = slm_server()
    p = make(server, tmp_path, max_chunk_tokens=25)
    server.stop()
    with caplog.at_level(logging.INFO, logger="tarnis.slm.review"):
        assert p.scan(FIVE) == []
    lines = log_lines(tmp_path)
    assert [(l["chunk_idx"], l["attempt"], l["status"]) for l in lines] == [
        (c, a, "error") for c in range(5) for a in range(3)]
    assert caplog.messages[0] == "[review] Scanning 5 chunks for missed entities"
    assert caplog.messages[1:5] == [f"[review] Chunk 0 attempt {a} failed: Connection error." for a in (1, 2, 3)] + [
        "[review] Chunk 0: all 3 attempts failed"]
    assert caplog.messages[-1] == "[review] Found 0 unique missed entities"


def test_a_later_attempt_can_succeed_and_zero_attempts_ask_nothing(slm_server, tmp_path):
    answers = iter([500, "garbage", answer(("Ion Pop", "PERSON_NAME"))])
    server = slm_server(lambda body: next(answers))
    assert make(server, tmp_path)._call_slm("x") == [{"text": "Ion Pop", "type": "PERSON_NAME"}]
    assert [l["status"] for l in log_lines(tmp_path)] == ["error", "error", "ok"]
    assert make(server, tmp_path, max_retries=0)._call_slm("x") == []
    assert len(server.requests) == 3


def test_long_answers_are_cut_in_the_log(slm_server, tmp_path):
    content = answer(("Ion Pop", "PERSON_NAME")) + " " + "ă" * 1000
    make(slm_server(lambda body: content), tmp_path)._call_slm("x")
    (line,) = log_lines(tmp_path)
    assert line["raw_response"] == content[:500]
    assert "ă" in (tmp_path / LOG).read_text(encoding="utf-8")  # written as itself


def test_unwritable_log_is_ignored(slm_server, tmp_path, caplog):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    server = slm_server(lambda body: answer(("Ion Pop", "PERSON_NAME")))
    with caplog.at_level(logging.WARNING, logger="tarnis.slm.review"):
        assert make(server, blocker / "logs")._call_slm("x") == [{"text": "Ion Pop", "type": "PERSON_NAME"}]
    assert not caplog.records


def test_empty_text_asks_nothing(slm_server, tmp_path, caplog):
    server = slm_server()
    with caplog.at_level(logging.INFO, logger="tarnis.slm.review"):
        assert make(server, tmp_path).scan("  \n ") == []
    assert caplog.messages == ["[review] Scanning 0 chunks for missed entities",
                               "[review] Found 0 unique missed entities"]
    assert server.requests == []


def test_scan_deduplicates_across_chunks(slm_server, tmp_path):
    per_chunk = {
        "S1": answer(("Ștefan Pop", "PERSON_NAME")),
        "S2": answer(("stefan pop", "PERSON_NAME"), ("Ștefan Pop", "ORGANIZATION")),
        "S3": answer(("ȘTEFAN POP", "PERSON_NAME"), ("Ana Radu", "PERSON_NAME")),
    }
    server = slm_server(lambda body: per_chunk.get(body["messages"][1]["content"][:2], answer()))
    text = " ".join(sentence(i) for i in range(1, 4))
    found = make(server, tmp_path, max_chunk_tokens=10, overlap_sentences=0).scan(text)
    assert found == [{"text": "Ștefan Pop", "type": "PERSON_NAME"}, {"text": "Ștefan Pop", "type": "ORGANIZATION"},
                     {"text": "Ana Radu", "type": "PERSON_NAME"}]
    assert len(server.requests) == 3


def test_deduplicate_keeps_first_spelling():
    p = make()
    entities = [{"text": "Țugui Ana", "type": "PERSON_NAME"}, {"text": "tugui ana", "type": "PERSON_NAME"},
                {"text": "ŢUGUI ANA", "type": "PERSON_NAME"}]
    assert p._deduplicate(entities) == entities[:1]


def test_scan_and_apply_bad_arguments():
    p = make()
    with pytest.raises(TypeError, match="anonymized_text"):
        p.scan(b"text")
    for args, name in [((b"t", {}, []), "anonymized"), (("t", [], []), "entity_map"), (("t", {}, ()), "missed")]:
        with pytest.raises(TypeError, match=name):
            p.apply(*args)
    with pytest.raises(TypeError, match="text"):
        p.apply("t", {}, [{"text": 123, "type": "PERSON_NAME"}])
    with pytest.raises(TypeError, match="raw"):
        p._repair_json(None)


# --- substitution ---------------------------------------------------------------

def test_numbering_continues_after_highest_placeholder():
    entity_map = {"PERSON_NAME": {"A": "[PERSON_NAME_2]", "B": "[PERSON_NAME_4]", "C": "[PERSON_NAME_1]"},
                  "CNP": {"1": "[CNP_9]"}}
    text = "[PERSON_NAME_4] și Maria Radu de la Firma Unu SRL, apoi Maria Radu."
    out, m = make().apply(text, entity_map, [{"text": "Maria Radu", "type": "PERSON_NAME"},
                                             {"text": "Firma Unu SRL", "type": "ORGANIZATION"}])
    assert m is entity_map
    assert out == "[PERSON_NAME_4] și [PERSON_NAME_5] de la [ORGANIZATION_1], apoi [PERSON_NAME_5]."
    assert m["PERSON_NAME"]["Maria Radu"] == "[PERSON_NAME_5]" and m["ORGANIZATION"] == {
        "Firma Unu SRL": "[ORGANIZATION_1]"}


def test_white_space_flexible_case_sensitive_never_inside_placeholders():
    text = ("Maria Ionescu, Maria   Ionescu, Maria\nIonescu, maria ionescu, MariaIonescu, Maria Ionescuu, "
            "[Maria_Ionescu_1] [PERSON_NAME_1]")
    out, _ = make().apply(text, {}, [{"text": "Maria Ionescu", "type": "PERSON_NAME"},
                                     {"text": "PERSON_NAME", "type": "ORGANIZATION"},
                                     {"text": "Ionescu_1", "type": "PERSON_NAME"}])
    assert out == ("[PERSON_NAME_1], [PERSON_NAME_1], [PERSON_NAME_1], maria ionescu, MariaIonescu, Maria Ionescuu, "
                   "[Maria_Ionescu_1] [PERSON_NAME_1]")


def test_entries_that_change_nothing():
    p = make()
    text, entity_map = "Ion Pop și Al", {"PERSON_NAME": {"Ion Pop": "[PERSON_NAME_1]"}}
    out, m = p.apply(text, entity_map, [{"text": "Ion Pop", "type": "PERSON_NAME"}, {"text": "Al", "type": "X"},
                                        {"text": "", "type": "PERSON_NAME"}])
    assert out == text and m == {"PERSON_NAME": {"Ion Pop": "[PERSON_NAME_1]"}}
    missed = []
    result = p.apply(text, entity_map, missed)
    assert result[0] is text and result[1] is entity_map


def test_entry_without_a_key_raises_after_earlier_entries_were_recorded():
    entity_map = {}
    with pytest.raises(KeyError):
        make().apply("Ion Pop", entity_map, [{"text": "Ion Pop", "type": "PERSON_NAME"}, {"text": "Ana"}])
    assert entity_map == {"PERSON_NAME": {"Ion Pop": "[PERSON_NAME_1]"}}


HOSTILE = ["[PERSON_NAME_1]", "PERSON_NAME_1", "", "Al", "Ion (Nelu) Pop", "A.B. Consult S.R.L.", "a+b*c?",
           "S.R.L.", " Ion", "Pop\t", "x\\1y", "[ORG", "Nelu)"]


def test_hostile_names_never_corrupt_the_document():
    original = ("Ion (Nelu) Pop, CNP 1800101221144, lucrează la A.B. Consult S.R.L. cu Ion Pop\tși a+b*c? x\\1y "
                "[ORG Nelu) și AxB Consult SxRxLx.")
    cnp = original.index("1800101221144")
    from presidio_analyzer import RecognizerResult
    anonymized, entity_map = anonymize_text(original, [RecognizerResult("CNP", cnp, cnp + 13, 1.0)])
    missed = [{"text": t, "type": "PERSON_NAME"} for t in HOSTILE]
    out, entity_map = make().apply(anonymized, entity_map, missed)
    assert "Ion (Nelu) Pop" not in out and "A.B. Consult S.R.L." not in out and "AxB Consult" in out
    assert "[CNP_1]" in out
    assert deanonymize_text(out, entity_map) == original


# Texts built from a few words, spaces, line breaks, tabs, brackets and
# placeholders; names drawn from pieces of the text and from the same alphabet.
_PIECES = ["Ion", "Pop", "ion", "pop", "Ana", "S.R.L.", "(Nelu)", "_", "1", " ", "  ", "\n", "\t", "\u00a0",
           "[PERSON_NAME_1]", "[ORGANIZATION_3]", "[", "]", "-", "Ă", "ă"]


@st.composite
def review_case(draw):
    text = "".join(draw(st.lists(st.sampled_from(_PIECES), max_size=40)))
    names = []
    for _ in range(draw(st.integers(0, 6))):
        if text and draw(st.booleans()):
            a = draw(st.integers(0, len(text) - 1))
            b = draw(st.integers(a + 1, min(len(text), a + 20)))
            names.append(text[a:b])
        else:
            names.append("".join(draw(st.lists(st.sampled_from(_PIECES), min_size=1, max_size=4))))
    missed = [{"text": n, "type": draw(st.sampled_from(["PERSON_NAME", "ORGANIZATION"]))} for n in names]
    entity_map = draw(st.sampled_from([{}, {"PERSON_NAME": {"Ion Pop": "[PERSON_NAME_1]"}},
                                       {"ORGANIZATION": {"X": "[ORGANIZATION_3]", "Y": "weird"}}]))
    return text, entity_map, missed


@settings(max_examples=400, deadline=None)
@given(review_case())
def test_apply_agrees_with_the_regular_expression(case):
    text, entity_map, missed = case
    expected = reference.review_apply(text, copy.deepcopy(entity_map), copy.deepcopy(missed))
    assert make().apply(text, copy.deepcopy(entity_map), missed) == expected
    # Past a few names the text is indexed by character: the same result.
    many = [{"text": f"Nimeni{i}", "type": "ORGANIZATION"} for i in range(20)] + missed
    expected = reference.review_apply(text, copy.deepcopy(entity_map), copy.deepcopy(many))
    assert make().apply(text, copy.deepcopy(entity_map), many) == expected


def test_long_and_many_names():
    name = " ".join(["Pop"] * 2500)  # 10,000 characters
    text = ("x " + name + " y ") * 3 + " ".join(["Pop"] * 5000)
    out, _ = make().apply(text, {}, [{"text": name, "type": "PERSON_NAME"}])
    assert out == reference.review_apply(text, {}, [{"text": name, "type": "PERSON_NAME"}])[0]
    assert out.count("[PERSON_NAME_1]") == 5
    names = [f"Nume{i} Prenume{i}" for i in range(2000)]
    text = " și ".join(reversed(names))
    missed = [{"text": n, "type": "PERSON_NAME"} for n in names]
    out, m = make().apply(text, {}, missed)
    assert out == " și ".join(f"[PERSON_NAME_{i}]" for i in range(2000, 0, -1))


# --- chunks without an answer -------------------------------------------------------

def test_unanswered_chunks_after_every_attempt(slm_server, tmp_path):
    # Chunks 1 and 3 (starting with S2 and S4) never get a usable answer;
    # chunk 2 (S3) gets one at its last attempt.
    tries = {}

    def script(body):
        head = body["messages"][1]["content"][:2]
        tries[head] = tries.get(head, 0) + 1
        if head in ("S2", "S4") or (head == "S3" and tries[head] < 3):
            return "no json here"
        return answer(("Ion Pop", "PERSON_NAME"))

    p = make(slm_server(script), tmp_path, max_chunk_tokens=25)
    assert (p.unanswered_chunks, p.scanned_chunks) == ([], 0)
    assert p.scan(FIVE) == [{"text": "Ion Pop", "type": "PERSON_NAME"}]
    assert (p.unanswered_chunks, p.scanned_chunks) == ([1, 3], 5)
    p.unanswered_chunks.append(9)  # a copy: the pass's own record is untouched
    assert p.unanswered_chunks == [1, 3]
    # Each scan starts afresh.
    assert p.scan("S3 Ion Pop a semnat.") == [{"text": "Ion Pop", "type": "PERSON_NAME"}]
    assert (p.unanswered_chunks, p.scanned_chunks) == ([], 1)


def test_unanswered_chunks_follow_the_hooks(slm_server, tmp_path):
    server = slm_server()
    server.stop()

    class Replaced(SLMReviewPass):
        """Answers every chunk itself, without the model."""
        def _call_slm(self, chunk, chunk_idx=0):
            return []

    class Wrapped(SLMReviewPass):
        """Asks the model through the base class, for every chunk but the first."""
        def _call_slm(self, chunk, chunk_idx=0):
            return [] if chunk_idx == 0 else super()._call_slm(chunk, chunk_idx=chunk_idx)

    replaced = Replaced(client_for(server), "m", max_chunk_tokens=25, log_dir=tmp_path)
    replaced.scan(FIVE)
    # Nothing came from the server, so no chunk counts as answered.
    assert replaced.unanswered_chunks == [0, 1, 2, 3, 4]
    up = slm_server(lambda body: answer())
    wrapped = Wrapped(client_for(up), "m", max_chunk_tokens=25, log_dir=tmp_path)
    wrapped.scan(FIVE)
    assert wrapped.unanswered_chunks == [0] and len(up.requests) == 4
