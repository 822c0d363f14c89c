"""The chunked GLiNER recognizer: chunking, core zones, thresholds, label
mapping, loading, and the real (tiny) model end to end."""

from __future__ import annotations

import logging
import math
import subprocess
import sys
import time
import warnings
from types import SimpleNamespace

import pytest
import spacy
from hypothesis import given, settings, strategies as st

from support.parity import ROMANIAN_SAMPLES, assert_same, texts
from support.reference import python_chunks, reference_chunks
from tarnis.recognizers import gliner as mod

MAPPING = {"person": "PERSON_NAME", "first name": "PERSON_NAME", "organization": "ORGANIZATION",
           "street address": "DOMIVIA"}


class ScriptedModel:
    """Stands in for a GLiNER model: `script(chunk_text, labels)` gives the
    predictions, or a list of (needle, label, score) makes one prediction per
    occurrence of each needle whose label was asked for. Records every call."""

    def __init__(self, script, max_len=None):
        self.script = script
        self.calls = []
        if max_len is not None:
            self.config = SimpleNamespace(max_len=max_len)

    def predict_entities(self, text, labels, threshold=0.5, flat_ner=True):
        self.calls.append({"text": text, "labels": list(labels), "threshold": threshold, "flat_ner": flat_ner})
        if callable(self.script):
            return self.script(text, labels)
        out = []
        for needle, label, score in self.script:
            at = text.find(needle)
            while at >= 0 and label in labels:
                out.append({"start": at, "end": at + len(needle), "text": needle, "label": label, "score": score})
                at = text.find(needle, at + 1)
        return out


@pytest.fixture
def make(tiny_gliner_dir, blank_ro_spacy_dir):
    def make(script=(), **kw):
        kw.setdefault("entity_mapping", dict(MAPPING))
        rec = mod.SmartGLiNERRecognizer(model_name=tiny_gliner_dir, spacy_model=blank_ro_spacy_dir, **kw)
        rec.model = ScriptedModel(script)
        return rec
    return make


def sentences(counts, sep=" "):
    """Text of sentences with the given word counts, and their (start, end)."""
    parts, spans, pos = [], [], 0
    for k, n in enumerate(counts):
        s = " ".join(f"s{k}w{i}" for i in range(n)) + "."
        parts.append(s)
        spans.append((pos, pos + len(s)))
        pos += len(s) + len(sep)
    return sep.join(parts), spans


# ---------------------------------------------------------------- chunking

@pytest.mark.parametrize("text", ["", "   \n ", "Unu. Doi! Trei?", sentences([3] * 128)[0],
                                  "fără punct " * 150])
def test_text_within_budget_is_one_chunk(make, text):
    assert make()._build_chunks(text) == ([(0, len(text), text)], [(0, len(text))])


# counts, budget, overlap, chunks as (first, last) sentences, core starts as
# None (the chunk's own start) or the sentence whose end the core starts at.
CHUNK_CASES = [
    ([1] * 10, 5, 2, [(0, 4), (3, 7), (6, 9)], [None, 4, 7]),
    ([3, 3, 3, 3], 5, 2, [(0, 0), (1, 1), (2, 2), (3, 3)], [None] * 4),
    ([2, 2, 10, 1], 4, 2, [(0, 1), (1, 1), (2, 2), (3, 3)], [None, 1, None, None]),
    ([2] * 6, 4, 0, [(0, 1), (2, 3), (4, 5)], [None] * 3),
    ([1] * 6, 3, 5, [(0, 2), (1, 3), (2, 4), (3, 5)], [None, 2, 3, 4]),
    ([1] * 5, 4, 2, [(0, 3), (2, 4)], [None, 3]),
    ([400], 384, 2, [(0, 0)], [None]),
]


@pytest.mark.parametrize("counts,budget,overlap,expected,core_starts", CHUNK_CASES)
def test_chunks_and_core_zones(make, counts, budget, overlap, expected, core_starts):
    text, spans = sentences(counts)
    chunks, cores = make(max_chunk_tokens=budget, overlap_sentences=overlap)._build_chunks(text)
    want = [(spans[a][0], spans[b][1], text[spans[a][0]:spans[b][1]]) for a, b in expected]
    assert chunks == want
    assert cores == [((c[0] if s is None else spans[s][1]), c[1]) for c, s in zip(want, core_starts)]


@settings(max_examples=150, deadline=None)
@given(counts=st.lists(st.integers(1, 12), min_size=1, max_size=40), budget=st.integers(1, 30),
       overlap=st.integers(0, 6), seps=st.lists(st.sampled_from([" ", "\n", "  ", "\n\n"]), min_size=1))
def test_chunks_follow_the_rules_sentence_by_sentence(make_once, counts, budget, overlap, seps):
    rec = make_once
    rec.max_chunk_tokens, rec.overlap_sentences = budget, overlap
    parts = [" ".join(f"w{k}x{i}" for i in range(n)) + ".!?"[k % 3] for k, n in enumerate(counts)]
    text = "".join(p + seps[k % len(seps)] for k, p in enumerate(parts))
    sents = [(s.start_char, s.end_char) for s in rec.nlp(text).sents]
    expected = reference_chunks(text, sents, budget, overlap)
    assert rec._build_chunks(text) == expected
    assert python_chunks(text, sents, budget, overlap) == expected     # the benchmark's baseline


@pytest.fixture(scope="module")
def make_once(tiny_gliner_dir, blank_ro_spacy_dir):
    # A model that does not tell its tokenizer: chunks by the word budget alone.
    rec = mod.SmartGLiNERRecognizer(model_name=tiny_gliner_dir, spacy_model=blank_ro_spacy_dir)
    rec.model = ScriptedModel(())
    return rec


def test_text_longer_than_the_pipeline_limit_is_split_at_line_breaks(make):
    text = "\n".join(f"Paragraful {k} are câteva cuvinte aici. Și încă o propoziție." for k in range(60))
    rec = make(max_chunk_tokens=30)
    whole = rec._build_chunks(text)
    rec.nlp.max_length = 200
    assert rec._build_chunks(text) == whole
    one_line = text.replace("\n", " ")
    chunks, cores = rec._build_chunks(one_line)
    covered = [i for s, e in cores for i in range(s, e)]
    assert len(covered) == len(set(covered))
    assert all(i in set(covered) for i, c in enumerate(one_line) if not c.isspace())


@pytest.mark.parametrize("attr,value,error", [("overlap_sentences", -1, ValueError),
                                              ("max_chunk_tokens", 0, ValueError),
                                              ("max_chunk_tokens", "384", TypeError)])
def test_bad_chunk_settings_are_refused(make, attr, value, error):
    rec = make()
    setattr(rec, attr, value)
    with pytest.raises(error, match=attr):
        rec._build_chunks("Unu. Doi.")


# ---------------------------------------------------------------- analyze

def test_query_uses_mapped_labels_and_most_permissive_threshold(make):
    rec = make(threshold=0.5, flat_ner=True,
               entity_thresholds={"person": 0.3, "organization": 0.8, "street address": 0.2})
    rec.analyze("Ion Popescu.", ["ORGANIZATION", "PERSON_NAME", "CNP"])
    rec.analyze("Ion Popescu.", ["CNP", "PERSON_NAME", "ORGANIZATION", "PERSON_NAME"])
    # The labels are part of the model's input: they go in the mapping's
    # order whatever the order (or repetition) of the requested types.
    assert rec.model.calls == 2 * [{"text": "Ion Popescu.", "labels": ["person", "first name", "organization"],
                                    "threshold": 0.3, "flat_ner": True}]


@pytest.mark.parametrize("label,score,kept", [
    ("person", 0.7, True), ("person", 0.6999, False),
    ("organization", 0.5, True), ("organization", 0.4999, False),
    ("first name", 0.35, True), ("first name", 0.2999, False),
])
def test_per_label_thresholds(make, label, score, kept):
    rec = make([("Ion", label, score)], threshold=0.5, entity_thresholds={"person": 0.7, "first name": 0.3})
    results = rec.analyze("Ion vine.", ["PERSON_NAME", "ORGANIZATION"])
    assert [(r.start, r.end, r.score) for r in results] == ([(0, 3, score)] if kept else [])


@pytest.mark.parametrize("entities,expected", [
    (["PERSON_NAME", "EMAIL"], [("PERSON_NAME", 0, 11, 0.9), ("EMAIL", 16, 27, 0.8)]),
    (["PERSON_NAME"], [("PERSON_NAME", 0, 11, 0.9)]),
])
def test_label_mapping_dedup_and_unmapped_labels(make, entities, expected):
    # "first name" repeats the span of "person" under the same type; "email"
    # is a label the model returned without a mapping.
    script = [("Ion Popescu", "person", 0.9), ("Ion Popescu", "first name", 0.95),
              ("ion@exemplu", "email", 0.8)]
    rec = make(lambda text, labels: ScriptedModel(script).predict_entities(text, labels + ["email"]))
    results = rec.analyze("Ion Popescu are ion@exemplu.", entities)
    assert [(r.entity_type, r.start, r.end, r.score) for r in results] == expected


def test_result_fields(make):
    [r] = make([("Ion", "person", 0.875)]).analyze("Ion vine.", ["PERSON_NAME"])
    assert (r.entity_type, r.start, r.end, r.score) == ("PERSON_NAME", 0, 3, 0.875)
    e = r.analysis_explanation
    assert (e.recognizer, e.original_score, e.textual_explanation) == \
        ("SmartGLiNERRecognizer", 0.875, "Identified as PERSON_NAME by GLiNER")


def test_entity_in_shared_sentences_is_reported_once_from_earlier_chunk(make):
    text, spans = sentences([1] * 10)     # chunks s0-s4, s3-s7, s6-s9
    rec = make([("s3w0", "person", 0.9), ("s5w0", "person", 0.9), ("s7w0", "person", 0.9)],
               max_chunk_tokens=5, overlap_sentences=2)
    results = rec.analyze(text, ["PERSON_NAME"])
    assert [(r.start, r.end) for r in results] == [(spans[3][0], spans[3][0] + 4), (spans[5][0], spans[5][0] + 4),
                                                   (spans[7][0], spans[7][0] + 4)]
    assert sum("s3w0" in c["text"] for c in rec.model.calls) == 2


def test_only_the_start_decides_which_chunk_keeps_a_prediction(make):
    text, spans = sentences([1] * 10)
    core_start = spans[4][1]              # the second chunk's core begins at the end of s4
    chunk_start = spans[3][0]

    def script(chunk, labels):
        if not chunk.startswith("s3w0"):
            return []
        return [{"start": s - chunk_start, "end": s - chunk_start + 6, "label": "person", "score": 0.9}
                for s in (core_start - 1, core_start)]
    results = make(script, max_chunk_tokens=5).analyze(text, ["PERSON_NAME"])
    assert [(r.start, r.end) for r in results] == [(core_start, core_start + 6)]


@pytest.mark.parametrize("start,end", [(-1, 2), (3, 2), (0, 10_000)])
def test_predictions_outside_their_chunk_are_dropped_with_a_warning(make, caplog, start, end):
    rec = make(lambda text, labels: [{"start": start, "end": end, "label": "person", "score": 0.9},
                                     {"start": 0, "end": 3, "label": "person", "score": 0.9}])
    with caplog.at_level(logging.WARNING, logger="tarnis.recognizers.gliner"):
        results = rec.analyze("Ion vine.", ["PERSON_NAME"])
    assert [(r.start, r.end) for r in results] == [(0, 3)]
    assert "outside its chunk" in caplog.text


@pytest.mark.parametrize("text,calls", [("", 0), ("  \n\t ", 1), ("fără punct " * 1000, 1)])
def test_empty_blank_and_unpunctuated_text(make, text, calls):
    rec = make([("punct", "person", 0.9)])
    results = rec.analyze(text, ["PERSON_NAME"])
    assert len(rec.model.calls) == calls
    assert len(results) == text.count("punct")


def test_single_sentence_of_20000_words_goes_to_the_model_whole(make):
    text = "cuvânt " * 20_000 + "Ion Popescu."
    results = make([("Ion Popescu", "person", 0.9)]).analyze(text, ["PERSON_NAME"])
    assert [(r.start, r.end) for r in results] == [(len(text) - 12, len(text) - 1)]


def test_without_mapping_nothing_is_supported_or_queried(make):
    rec = make([("Ion", "person", 0.9)], entity_mapping=None)
    assert (rec.supported_entities, rec.reverse_mapping, rec.entity_mapping) == ([], {}, {})
    assert rec.analyze("Ion vine.", ["PERSON_NAME"]) == [] and rec.model.calls == []


def test_constructor_attributes(make):
    rec = make(entity_mapping={"a": "X", "b": "Y", "c": "X"}, threshold=1, max_chunk_tokens=10)
    assert rec.supported_entities == ["X", "Y", "X"]
    assert rec.reverse_mapping == {"X": ["a", "c"], "Y": ["b"]}
    assert (rec.name, rec.supported_language, rec.threshold, type(rec.threshold)) == \
        ("SmartGLiNERRecognizer", "ro", 1.0, float)


@pytest.mark.parametrize("kwargs,error", [
    ({"model_name": 1}, TypeError), ({"spacy_model": None}, TypeError), ({"supported_language": b"ro"}, TypeError),
    ({"max_chunk_tokens": 1.5}, TypeError), ({"overlap_sentences": "2"}, TypeError),
    ({"entity_mapping": [("person", "PERSON_NAME")]}, TypeError), ({"entity_mapping": {"person": 1}}, TypeError),
    ({"entity_thresholds": {"person": "high"}}, TypeError), ({"threshold": "high"}, TypeError),
    ({"threshold": math.nan}, ValueError), ({"overlap_sentences": -1}, ValueError),
    ({"max_chunk_tokens": 0}, ValueError),
])
def test_bad_constructor_arguments(tiny_gliner_dir, blank_ro_spacy_dir, kwargs, error):
    kw = {"model_name": tiny_gliner_dir, "spacy_model": blank_ro_spacy_dir, **kwargs}
    with pytest.raises(error, match=next(iter(kwargs))):
        mod.SmartGLiNERRecognizer(**kw)


@pytest.mark.parametrize("text,entities", [(b"Ion", ["PERSON_NAME"]), (None, ["PERSON_NAME"]),
                                           ("Ion", ("PERSON_NAME",)), ("Ion", None)])
def test_bad_analyze_arguments(make, text, entities):
    with pytest.raises(TypeError, match="text" if not isinstance(text, str) else "entities"):
        make().analyze(text, entities)


# A chunk longer than the model reads (its own words: word runs joined by
# "-" or "_", and single other characters) is run in windows that fit.

def model_words(text):
    return mod._MODEL_WORD_RE.findall(text)


def test_chunk_longer_than_the_model_limit_is_run_in_windows(make):
    words = [f"cuv{i}" for i in range(300)]
    for i in (0, 7, 8, 9, 16, 150, 299):
        words[i] = f"Ion{i}-Pop"
    text = ", ".join(words) + "."
    rec = make()
    rec.model = ScriptedModel([(f"Ion{i}-Pop", "person", 0.9) for i in range(300)], max_len=10)
    results = rec.analyze(text, ["PERSON_NAME"])
    assert [text[r.start:r.end] for r in results] == [f"Ion{i}-Pop" for i in (0, 7, 8, 9, 16, 150, 299)]
    assert all(len(model_words(c["text"])) <= 10 for c in rec.model.calls)
    assert {w for c in rec.model.calls for w in model_words(c["text"])} == set(model_words(text))


@pytest.mark.parametrize("text", [*ROMANIAN_SAMPLES, "a-b_c--d -e f_ __x__ ș-ț ٣-4 a\u0301-b"])
def test_model_word_pattern_matches_python(text):
    assert_same(mod._MODEL_WORD_RE.pattern, 0, text)


@settings(max_examples=300, deadline=None)
@given(texts([*ROMANIAN_SAMPLES, "foo-bar_baz - _ -- x_-y"]))
def test_model_word_pattern_matches_python_on_generated_text(text):
    assert_same(mod._MODEL_WORD_RE.pattern, 0, text)


# ---------------------------------------------------------------- loading

def test_tiny_model_end_to_end(tiny_gliner_dir, blank_ro_spacy_dir, caplog):
    with caplog.at_level(logging.INFO, logger="tarnis.recognizers.gliner"):
        rec = mod.SmartGLiNERRecognizer(model_name=tiny_gliner_dir, spacy_model=blank_ro_spacy_dir,
                                        entity_mapping=dict(MAPPING), threshold=0.0, max_chunk_tokens=12)
    assert f"[gliner] Loading GLiNER model: {tiny_gliner_dir} ..." in caplog.messages
    assert f"[gliner] Loading spaCy model: {blank_ro_spacy_dir} ..." in caplog.messages
    model, nlp = rec.model, rec.nlp
    assert isinstance(nlp, spacy.language.Language) and type(model).__module__.startswith("gliner")

    text = " ".join(f"Domnul Ion Popescu locuiește pe strada Florilor nr. {k} din Cluj-Napoca." for k in range(6))
    results = rec.analyze(text, ["PERSON_NAME", "DOMIVIA"])
    rec.load()
    assert rec.model is model and rec.nlp is nlp

    expected = set()
    chunks, cores = rec._build_chunks(text)
    assert len(chunks) > 1
    for (start, _, chunk), (cs, ce) in zip(chunks, cores):
        for p in model.predict_entities(chunk, ["person", "first name", "street address"], threshold=0.0,
                                       flat_ner=False):
            if cs <= start + p["start"] < ce:
                assert text[start + p["start"]:start + p["end"]] == p["text"]
                expected.add((MAPPING[p["label"]], start + p["start"], start + p["end"]))
    got = [(r.entity_type, r.start, r.end) for r in results]
    assert expected and len(got) == len(set(got)) and set(got) == expected


def test_tiny_model_sees_the_end_of_a_sentence_longer_than_it_reads(tiny_gliner_dir, blank_ro_spacy_dir):
    from gliner.data_processing.tokenizer import WhitespaceTokenSplitter
    assert WhitespaceTokenSplitter().whitespace_pattern.pattern == mod._MODEL_WORD_RE.pattern

    rec = mod.SmartGLiNERRecognizer(model_name=tiny_gliner_dir, spacy_model=blank_ro_spacy_dir,
                                    entity_mapping={"person": "PERSON_NAME"}, threshold=0.0)
    text = "cuvânt, " * 600 + "Ion Popescu"          # 1,202 model words, the model reads 384
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        results = rec.analyze(text, ["PERSON_NAME"])
    assert not [w for w in caught if "truncated" in str(w.message)]
    assert max(r.start for r in results) >= len(text) - 100


def _missing(tmp_path, tiny, blank):
    return [
        ({"model_name": "knowledgator/gliner-multitask-large-v0.5", "spacy_model": blank},
         "knowledgator/gliner-multitask-large-v0.5", "hf download knowledgator/gliner-multitask-large-v0.5"),
        ({"model_name": str(tmp_path / "no-model"), "spacy_model": blank}, str(tmp_path / "no-model"), "model_name"),
        ({"model_name": tiny, "spacy_model": "ro_core_news_sm"}, "ro_core_news_sm",
         "python -m spacy download ro_core_news_sm"),
        ({"model_name": tiny, "spacy_model": str(tmp_path / "no-pipeline")}, str(tmp_path / "no-pipeline"),
         "spacy_model"),
    ]


@pytest.mark.parametrize("case", range(4))
def test_missing_model_names_it_and_says_how_to_provide_it(tmp_path, tiny_gliner_dir, blank_ro_spacy_dir, case):
    kwargs, name, how = _missing(tmp_path, tiny_gliner_dir, blank_ro_spacy_dir)[case]
    if kwargs["spacy_model"] == "ro_core_news_sm" and spacy.util.is_package("ro_core_news_sm"):
        pytest.skip("ro_core_news_sm is installed here")
    began = time.monotonic()
    with pytest.raises(mod.ModelUnavailableError) as info:
        mod.SmartGLiNERRecognizer(**kwargs)
    assert time.monotonic() - began < 30
    assert isinstance(info.value, OSError) and info.value.__cause__ is not None
    assert f"'{name}'" in str(info.value) and how in str(info.value)


def test_module_import_does_not_need_gliner_or_torch():
    code = (
        "import sys\n"
        "for name in ('gliner', 'torch', 'transformers'): sys.modules[name] = None\n"
        "from tarnis.recognizers import gliner\n"
        "try:\n"
        "    gliner.SmartGLiNERRecognizer()\n"
        "except ImportError as e:\n"
        "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert "pip install gliner" in out.stdout and "knowledgator/gliner-multitask-large-v0.5" in out.stdout


# ---------------------------------------------------------------- batched prediction

@pytest.fixture(scope="module")
def short_gliner_dir(tmp_path_factory):
    """A tiny model that reads at most 40 words, so that chunks get windows."""
    pytest.importorskip("gliner", reason="the neural extra (gliner, torch) is not installed")
    from support import models
    return str(models.build_tiny_gliner(tmp_path_factory.mktemp("gliner-short") / "tiny", seed=3, max_len=40))


def _spy(model, per_chunk):
    """Swap the model's class for a subclass that records what it is asked:
    predict_entities (one text per call) or inference (the texts of a batch)."""
    calls, base = [], type(model)
    if per_chunk:
        class Spy(base):
            def predict_entities(self, text, labels, **kw):
                calls.append([text])
                return super().predict_entities(text, labels, **kw)
    else:
        class Spy(base):
            def inference(self, texts, labels, **kw):
                calls.append(list(texts))
                return super().inference(texts, labels, **kw)
    model.__class__ = Spy
    return calls


def _many_chunk_document():
    filler = "contractul părțile semnatare prezentul obiect preț plata termen".split()
    sents = []
    for k in range(14):
        extra = " ".join(filler[: k % 7])
        sents.append(f"Domnul Ion Popescu {extra} locuiește pe strada Florilor nr. {k} din Cluj-Napoca.")
        if k == 6:  # one sentence far longer than the model reads: a chunk of several windows
            sents.append(" ".join(["Maria Ionescu lucrează la SC Exemplu SRL"] * 20) + ".")
    sents.append("")  # a trailing blank
    return " ".join(sents)


@pytest.mark.parametrize("batch_size", [2, 8, 64])
def test_batched_predictions_equal_one_call_per_chunk(short_gliner_dir, blank_ro_spacy_dir, batch_size):
    kw = dict(model_name=short_gliner_dir, spacy_model=blank_ro_spacy_dir, entity_mapping=dict(MAPPING),
              threshold=0.3, entity_thresholds={"organization": 0.35}, max_chunk_tokens=40, overlap_sentences=2)
    reference = mod.SmartGLiNERRecognizer(**kw)
    batched = mod.SmartGLiNERRecognizer(**kw, batch_size=batch_size)
    one_by_one = _spy(reference.model, per_chunk=True)
    batches = _spy(batched.model, per_chunk=False)

    text = _many_chunk_document()
    chunks, _ = batched._build_chunks(text)
    entities = ["PERSON_NAME", "ORGANIZATION", "DOMIVIA"]
    want = reference.analyze(text, entities)
    got = batched.analyze(text, entities)

    # The reference went text by text; the batched one gave the same texts
    # in batches of at most batch_size, longest (in model tokens) first.
    assert len(chunks) > 5 and len(one_by_one) > len(chunks)
    sent = [t for call in batches for t in call]
    assert sorted(sent) == sorted(t for call in one_by_one for t in call)
    assert all(len(call) <= batch_size for call in batches) and max(map(len, batches)) > 1
    cost = model_units(batched)[0]
    assert [cost(t)[2] for t in sent] == sorted((cost(t)[2] for t in sent), reverse=True)

    assert want, "the reference found nothing: the comparison would be empty"
    assert [(r.entity_type, r.start, r.end) for r in got] == [(r.entity_type, r.start, r.end) for r in want]
    for a, b in zip(got, want):
        assert a.score == pytest.approx(b.score, abs=1e-5)
        assert a.analysis_explanation.textual_explanation == b.analysis_explanation.textual_explanation


def test_model_with_its_own_predict_entities_is_called_per_chunk(short_gliner_dir, blank_ro_spacy_dir):
    rec = mod.SmartGLiNERRecognizer(model_name=short_gliner_dir, spacy_model=blank_ro_spacy_dir,
                                    entity_mapping=dict(MAPPING), threshold=0.0, max_chunk_tokens=40)
    # Replaced on the instance: its post-processing is honoured for every chunk.
    original = rec.model.predict_entities
    calls = []

    def tagged(text, labels, **kw):
        calls.append(text)
        return [dict(p, score=0.99) for p in original(text, labels, **kw)]

    rec.model.predict_entities = tagged
    results = rec.analyze(_many_chunk_document(), ["PERSON_NAME"])
    assert len(calls) > 5 and results and {r.score for r in results} == {0.99}


@pytest.mark.parametrize("value, error", [(0, ValueError), (-1, ValueError), (2.0, TypeError), ("8", TypeError)])
def test_bad_batch_size_is_refused(tiny_gliner_dir, blank_ro_spacy_dir, value, error):
    with pytest.raises(error, match="batch_size"):
        mod.SmartGLiNERRecognizer(model_name=tiny_gliner_dir, spacy_model=blank_ro_spacy_dir, batch_size=value)


def test_batch_size_is_keyword_only(tiny_gliner_dir, blank_ro_spacy_dir):
    rec = mod.SmartGLiNERRecognizer(model_name=tiny_gliner_dir, spacy_model=blank_ro_spacy_dir)
    assert rec.batch_size == 1
    with pytest.raises(TypeError):
        mod.SmartGLiNERRecognizer(tiny_gliner_dir, None, 384, 2, 0.5, None, False, "ro", blank_ro_spacy_dir, 4)


# ---------------------------------------------------------------- chunks in the model's own units
#
# With a library model the chunks also keep to what the model reads: at most
# `config.max_len` of its words, and its label prompt plus the chunk's subword
# tokens within the tokenizer's `model_max_length`. Shared sentences are kept
# to an eighth of those budgets.

def model_units(rec):
    dp = rec.model.data_processor
    tok = dp.transformer_tokenizer
    prompt = [w for label in rec.entity_mapping for w in (dp.ent_token, label)] + [dp.sep_token]
    reserve = len(tok(prompt, is_split_into_words=True)["input_ids"])

    def cost(piece):
        words = model_words(piece)
        tokens = len(tok(words, is_split_into_words=True, add_special_tokens=False)["input_ids"]) if words else 0
        return len(piece.split()), len(words), tokens
    return cost, rec.model.config.max_len, tok.model_max_length - reserve, reserve


def reference_model_chunks(rec, text, sents):
    """The chunking rules with all three budgets, sentence by sentence."""
    cost, max_words, max_tokens, _ = model_units(rec)
    budget = (rec.max_chunk_tokens, max_words, max_tokens)
    if all(c <= b for c, b in zip(cost(text), budget)):
        return [(0, len(text), text)], [(0, len(text))]

    def of(a, b):
        return cost(text[sents[a][0]:sents[b - 1][1]]) if b > a else (0, 0, 0)
    chunks, cores, i = [], [], 0
    while i < len(sents):
        j = i + 1
        while j < len(sents) and all(c <= b for c, b in zip(of(i, j + 1), budget)):
            j += 1
        start, end = sents[i][0], sents[j - 1][1]
        chunks.append((start, end, text[start:end]))
        cores.append((start, end))
        if j == len(sents):
            break
        shared = min(rec.overlap_sentences, j - i - 1)
        while shared and (of(j - shared, j)[1] > max_words // 8 or of(j - shared, j)[2] > max_tokens // 8):
            shared -= 1
        i = j - shared
    for k in range(1, len(cores)):
        if cores[k][0] < cores[k - 1][1]:
            cores[k] = (cores[k - 1][1], cores[k][1])
    return chunks, cores


@pytest.fixture(scope="module")
def short_rec(short_gliner_dir, blank_ro_spacy_dir):
    return mod.SmartGLiNERRecognizer(model_name=short_gliner_dir, spacy_model=blank_ro_spacy_dir,
                                     entity_mapping=dict(MAPPING), threshold=0.0, batch_size=1)


# Words the tiny tokenizer knows are one token each; "qz7x" is spelt out in
# four. Sentences of the first kind fill the model's 40 words, of the second
# its 512 tokens.
@settings(max_examples=40, deadline=None)
@given(kinds=st.lists(st.tuples(st.integers(1, 30), st.booleans()), min_size=1, max_size=30),
       overlap=st.integers(0, 4), budget=st.sampled_from([384, 25]))
def test_chunks_keep_to_the_models_words_and_tokens(short_rec, kinds, overlap, budget):
    rec = short_rec
    rec.max_chunk_tokens, rec.overlap_sentences = budget, overlap
    parts = [" ".join(("qz7x" if spelt else "Popescu") for _ in range(n)) + "." for n, spelt in kinds]
    text = " ".join(parts)
    sents = [(s.start_char, s.end_char) for s in rec.nlp(text).sents]
    chunks, cores = rec._build_chunks(text)
    assert (chunks, cores) == reference_model_chunks(rec, text, sents)
    cost, max_words, max_tokens, reserve = model_units(rec)
    for start, end, piece in chunks:
        ws, words, tokens = cost(piece)
        one_sentence = sum(start <= a < end for a, _ in sents) == 1
        assert one_sentence or (ws <= budget and words <= max_words and tokens + reserve <= 512)
    # Core zones follow one another without overlapping and hold every sentence.
    assert all(a[1] <= b[0] or b[0] == b[1] for a, b in zip(cores, cores[1:]))
    assert all(any(cs <= a < ce for cs, ce in cores) for a, _ in sents)


def test_text_within_the_word_budget_but_past_the_token_limit_is_read_to_its_end(tiny_gliner_dir,
                                                                                  blank_ro_spacy_dir):
    # 200 words of 5 tokens each: within 384 words, far past the 512 tokens
    # the tokenizer would keep (it cuts the rest off silently).
    rec = mod.SmartGLiNERRecognizer(model_name=tiny_gliner_dir, spacy_model=blank_ro_spacy_dir,
                                    entity_mapping={"person": "PERSON_NAME"}, threshold=0.0, batch_size=1)
    calls = _spy(rec.model, per_chunk=True)
    sentence = " ".join(f"q{k}z" for k in range(10)) + "."
    for text in [" ".join([sentence] * 20), sentence[:-1] + " " + " ".join([sentence[:-1]] * 19) + "."]:
        calls.clear()
        results = rec.analyze(text, ["PERSON_NAME"])
        cost, _, max_tokens, _ = model_units(rec)
        assert len(calls) > 1 and all(cost(t)[2] <= max_tokens for [t] in calls)
        assert max(r.start for r in results) >= len(text) - 10


def test_token_sized_chunks_report_what_the_model_finds_in_each_core(short_rec):
    rec = short_rec
    rec.max_chunk_tokens, rec.overlap_sentences = 384, 2
    text = _many_chunk_document()
    labels = ["person", "first name", "organization", "street address"]
    results = rec.analyze(text, ["PERSON_NAME", "ORGANIZATION", "DOMIVIA"])
    chunks, cores = rec._build_chunks(text)
    expected = {}
    for (start, _, chunk), (cs, ce) in zip(chunks, cores):
        if len(model_words(chunk)) > rec.model.config.max_len:
            continue  # the long sentence: windows, compared with batching above
        for p in rec.model.predict_entities(chunk, labels, threshold=0.0, flat_ner=False):
            if cs <= start + p["start"] < ce:
                expected.setdefault((MAPPING[p["label"]], start + p["start"], start + p["end"]), p["score"])
    long_start = text.index("Maria Ionescu lucrează")
    long_end = text.index(".", long_start)
    got = {(r.entity_type, r.start, r.end): r.score for r in results if not long_start <= r.start <= long_end}
    assert len(chunks) > 5 and expected and got.keys() == expected.keys()
    assert all(got[k] == pytest.approx(v, abs=1e-5) for k, v in expected.items())


# ---------------------------------------------------------------- ONNX Runtime backend

@pytest.fixture(scope="module")
def onnx_model_dir(tmp_path_factory, short_gliner_dir):
    pytest.importorskip("onnxruntime", reason="onnxruntime is not installed")
    pytest.importorskip("onnx", reason="onnx is not installed")
    import shutil
    folder = tmp_path_factory.mktemp("gliner-onnx") / "model"
    shutil.copytree(short_gliner_dir, folder)
    return str(folder)


def test_onnx_backend_predicts_what_torch_predicts(onnx_model_dir, blank_ro_spacy_dir):
    import os
    kw = dict(model_name=onnx_model_dir, spacy_model=blank_ro_spacy_dir, entity_mapping=dict(MAPPING), threshold=0.0,
              max_chunk_tokens=40)
    torch_rec = mod.SmartGLiNERRecognizer(**kw)
    onnx_rec = mod.SmartGLiNERRecognizer(**kw, backend="onnx")
    assert onnx_rec.backend == "onnx" and type(onnx_rec.model.model).__module__.startswith("gliner.runtime")
    paths = mod.export_onnx(onnx_model_dir)
    assert paths["onnx_path"] == os.path.join(onnx_model_dir, "onnx", "model.onnx")
    stamp = os.path.getmtime(paths["onnx_path"])
    assert mod.export_onnx(onnx_model_dir) == paths and os.path.getmtime(paths["onnx_path"]) == stamp

    text = _many_chunk_document()
    entities = ["PERSON_NAME", "ORGANIZATION", "DOMIVIA"]
    want, got = torch_rec.analyze(text, entities), onnx_rec.analyze(text, entities)
    # At threshold 0 every span of every chunk is reported: this compares
    # the scores of all of them, not only of confident entities.
    assert len(want) > 100
    assert [(r.entity_type, r.start, r.end) for r in got] == [(r.entity_type, r.start, r.end) for r in want]
    assert max(abs(a.score - b.score) for a, b in zip(got, want)) < 1e-4


def test_onnx_sessions_take_torchs_thread_count(onnx_model_dir, blank_ro_spacy_dir):
    import torch
    before = torch.get_num_threads()
    try:
        torch.set_num_threads(1)     # as a worker process of the command sets it
        rec = mod.SmartGLiNERRecognizer(model_name=onnx_model_dir, spacy_model=blank_ro_spacy_dir, backend="onnx")
    finally:
        torch.set_num_threads(before)
    assert rec.model.model.session.get_session_options().intra_op_num_threads == 1


def test_int8_backend_runs_and_bad_backends_are_refused(onnx_model_dir, blank_ro_spacy_dir):
    rec = mod.SmartGLiNERRecognizer(model_name=onnx_model_dir, spacy_model=blank_ro_spacy_dir,
                                    entity_mapping=dict(MAPPING), threshold=0.0, backend="onnx-int8")
    results = rec.analyze("Domnul Ion Popescu locuiește în Cluj-Napoca.", ["PERSON_NAME"])
    assert results and all(0.0 <= r.score <= 1.0 for r in results)
    for backend, error in [("tensorrt", ValueError), ("ONNX", ValueError), (1, TypeError)]:
        with pytest.raises(error, match="backend"):
            mod.SmartGLiNERRecognizer(model_name=onnx_model_dir, spacy_model=blank_ro_spacy_dir, backend=backend)


def test_int8_copy_has_signed_per_channel_weights_and_an_older_export_is_not_redone(onnx_model_dir):
    import os

    import onnx
    paths = mod.export_onnx(onnx_model_dir)
    graph = onnx.load(paths["quantized_path"]).graph
    inits = {i.name: i for i in graph.initializer}
    weights = [inits[n.input[1]] for n in graph.node if n.op_type == "MatMulInteger" and n.input[1] in inits]
    assert weights and all(w.data_type == onnx.TensorProto.INT8 for w in weights)
    zero_points = [inits[n.input[3]] for n in graph.node if n.op_type == "MatMulInteger" and len(n.input) > 3
              and n.input[3] in inits]
    assert any(len(z.dims) == 1 and z.dims[0] > 1 for z in zero_points)     # one zero point per output channel

    # A folder from an earlier finished export (its int8 copy under the old
    # name): the int8 copy is made from its model.onnx, which is not rewritten.
    folder = os.path.dirname(paths["onnx_path"])
    os.replace(paths["quantized_path"], os.path.join(folder, "model_quantized.onnx"))
    stamp = os.path.getmtime(paths["onnx_path"])
    assert mod.export_onnx(onnx_model_dir) == paths
    assert os.path.isfile(paths["quantized_path"]) and os.path.getmtime(paths["onnx_path"]) == stamp
    # Without that proof of a finished export, a model.onnx is not trusted.
    os.remove(paths["quantized_path"])
    os.remove(os.path.join(folder, "model_quantized.onnx"))
    mod.export_onnx(onnx_model_dir)
    assert os.path.getmtime(paths["onnx_path"]) != stamp and os.path.isfile(paths["quantized_path"])
