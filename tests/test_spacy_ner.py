"""Names from the spaCy pipeline's own named-entity recognizer: spans trimmed
to the name, the pipeline checks, the analyzer and the command's --ner."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
from types import SimpleNamespace

import pytest

from tarnis.recognizers import spacy_ner
from tarnis.recognizers.spacy_ner import SpacyNerRecognizer, SpacyNerUnavailableError

needs_ro_legal = pytest.mark.skipif(importlib.util.find_spec("ro_legal_fl") is None,
                                    reason="the trained Romanian pipeline ro_legal_fl is not installed")

COURT = ("DOSAR PENAL\n\n"
         "Inculpatul Popescu Andrei-Mihai a declarat că nu recunoaște fapta.\n"
         "Martorul Vasilescu Dan a arătat că l-a văzut în ziua respectivă.\n"
         "Reclamanta Georgescu Ioana, prin avocat Marinescu Elena, a solicitat despăgubiri.\n")


@pytest.mark.parametrize("span, organization, name", [
    ("inculpatul Popescu Andrei-Mihai", False, "Popescu Andrei-Mihai"),
    ("Martorul Vasilescu Dan", False, "Vasilescu Dan"),
    ("Numitul Dobre Florin, mandatar", False, "Dobre Florin"),
    ("Partea vătămată Ionescu Maria", False, "Ionescu Maria"),
    ("d-na Ionescu", False, "Ionescu"),
    ("Dl. Ionescu Vlad.", False, "Ionescu Vlad"),
    ("„Ion Pop”", False, "Ion Pop"),
    ("INCULPATUL POPESCU ION", False, "POPESCU ION"),
    ("reclamanta Banca Națională a României", True, "Banca Națională a României"),
    ("Reclamanta SC Alfa Construct S.R.L.,", True, "SC Alfa Construct S.R.L."),
    ("SC Beta SRL.", True, "SC Beta SRL"),
    # Words run together by the extraction: the lower-case part leaves.
    ("totPremierul Viorica Dăncilă", False, "Viorica Dăncilă"),
    ("00:31PoliticăJobbik", True, "Jobbik"),
    ("eMAG", True, "MAG"),
    ("McDonald", False, "McDonald"),
    # Title abbreviations in capitals without their stop are acronyms.
    ("DNA Brașov", True, "DNA Brașov"),
    ("DNA", True, "DNA"),
    ("ING Bank", True, "ING Bank"),
    ("DL. POPESCU ION", False, "POPESCU ION"),
    ("Dna Ionescu", False, "Ionescu"),
    ("Prof Ionescu", False, "Ionescu"),
    # Nothing of a name is left: role words and lower-case words alone.
    ("avocat", False, None),
    ("inculpat", False, None),
    ("dl.", False, None),
    ("Dl.", False, None),
    ("mamă", False, None),
    ("Fiul", False, None),
    ("  ,. ", False, None),
])
def test_spans_are_trimmed_to_the_name(span, organization, name):
    text = f"x {span} y"
    found = spacy_ner._trim_to_name(text, 2, 2 + len(span), organization)
    assert (text[found[0]:found[1]] if found else None) == name


def test_trimming_never_reads_outside_the_text():
    assert spacy_ner._trim_to_name("Ion Pop", -10, 10**30) == (0, 7)
    assert spacy_ner._trim_to_name("Ion Pop", 5, 2) is None
    assert spacy_ner._trim_to_name("", 0, 3) is None


def _artifacts(text, *spans):
    """NLP artifacts with entities labelled as the engine maps them."""
    ents = [SimpleNamespace(label_=label, start_char=text.index(part), end_char=text.index(part) + len(part))
            for label, part in spans]
    return SimpleNamespace(entities=ents, scores=[1.0] * len(ents))


def test_recognizer_reports_the_requested_types_with_its_scores():
    text = "Martorul Vasilescu Dan lucrează la SC Alfa SRL din Cluj."
    artifacts = _artifacts(text, ("PERSON_NAME", "Martorul Vasilescu Dan"), ("ORGANIZATION", "SC Alfa SRL"),
                           ("GPE", "Cluj"), ("PERSON_NAME", "lucrează"))
    r = SpacyNerRecognizer()
    results = r.analyze(text, ["PERSON_NAME", "ORGANIZATION"], artifacts)
    assert [(x.entity_type, text[x.start:x.end], x.score) for x in results] == [
        ("PERSON_NAME", "Vasilescu Dan", r.PERSON_NAME_SCORE), ("ORGANIZATION", "SC Alfa SRL", r.ORGANIZATION_SCORE)]
    assert results[0].analysis_explanation.original_score == results[0].score
    assert [x.entity_type for x in r.analyze(text, ["ORGANIZATION"], artifacts)] == ["ORGANIZATION"]
    assert r.analyze(text, ["PERSON_NAME"], None) == []

    class Tuned(SpacyNerRecognizer):
        PERSON_NAME_SCORE = 0.5

    assert Tuned().analyze(text, ["PERSON_NAME"], artifacts)[0].score == 0.5


def _pipeline_dir(tmp_path, labels):
    import spacy

    nlp = spacy.blank("ro")
    if labels is not None:
        ner = nlp.add_pipe("ner")
        for label in labels:
            ner.add_label(label)
        nlp.initialize()
    folder = tmp_path / ("ner-" + "-".join(labels) if labels else "no-ner")
    nlp.to_disk(folder)
    return str(folder)


@pytest.mark.parametrize("labels, message", [
    (None, "has no named-entity recognizer"),
    (["LOC", "DATETIME"], "labels neither persons nor organizations (its labels: DATETIME, LOC"),
])
def test_a_pipeline_that_cannot_name_people_is_refused(tmp_path, labels, message):
    from tarnis import analyzer

    folder = _pipeline_dir(tmp_path, labels)
    with pytest.raises(SpacyNerUnavailableError, match=r"'.*(no-ner|ner-LOC).*'") as e:
        analyzer._assemble_analyzer([], folder, spacy_ner=True)
    assert message in str(e.value)
    # Without the spaCy recognizer the same pipeline is fine (its ner, if any, is removed).
    engine = analyzer._assemble_analyzer([], folder)
    assert "ner" not in engine.nlp_engine.nlp["ro"].pipe_names


def test_only_person_and_organization_labels_are_mapped(tmp_path):
    from tarnis import analyzer

    engine = analyzer._assemble_analyzer([], _pipeline_dir(tmp_path, ["PERSON", "GPE", "ORG"]), spacy_ner=True)
    config = engine.nlp_engine.ner_model_configuration
    assert config.model_to_presidio_entity_mapping == {"PERSON": "PERSON_NAME", "ORG": "ORGANIZATION"}
    assert list(config.labels_to_ignore) == ["GPE"]
    assert [r.name for r in engine.registry.recognizers] == ["SpacyNerRecognizer"]
    assert "ner" in engine.nlp_engine.nlp["ro"].pipe_names


def test_build_analyzer_keeps_the_specified_registry_without_spacy_ner(tiny_gliner_dir, blank_ro_spacy_dir):
    from tarnis import analyzer

    plain = analyzer.build_analyzer(tiny_gliner_dir, spacy_model=blank_ro_spacy_dir)
    names = [r.name for r in plain.registry.recognizers]
    assert "SpacyNerRecognizer" not in names and names[0] == "SmartGLiNERRecognizer"


@needs_ro_legal
def test_build_analyzer_with_spacy_ner_on_a_trained_pipeline(tiny_gliner_dir):
    from tarnis import analyzer
    from tarnis.processing import filter_entity_denylist, resolve_overlaps

    engine = analyzer.build_analyzer(tiny_gliner_dir, spacy_model="ro_legal_fl", spacy_ner=True)
    names = [r.name for r in engine.registry.recognizers]
    assert names[0] == "SmartGLiNERRecognizer" and names[-1] == "SpacyNerRecognizer"
    results = engine.analyze(text=COURT, language="ro", entities=["PERSON_NAME"])
    spacy_names = {COURT[r.start:r.end] for r in results
                   if r.recognition_metadata["recognizer_name"] == "SpacyNerRecognizer"}
    assert {"Popescu Andrei-Mihai", "Vasilescu Dan", "Georgescu Ioana", "Marinescu Elena"} <= spacy_names
    assert not any(n.split()[0].lower() in {"inculpatul", "martorul", "reclamanta", "avocat"} for n in spacy_names)
    kept = filter_entity_denylist(COURT, resolve_overlaps(results, COURT))
    assert {"Vasilescu Dan", "Marinescu Elena"} <= {COURT[r.start:r.end] for r in kept}


def _run(*args, cwd):
    env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1")
    return subprocess.run([sys.executable, "-m", "tarnis", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, timeout=300)


@needs_ro_legal
def test_command_anonymizes_a_court_document_with_the_spacy_pipeline(tmp_path):
    src = tmp_path / "hotarare.txt"
    src.write_text(COURT, encoding="utf-8")
    proc = _run("anonymize", src, "-o", tmp_path / "out", "--ner", "spacy", "--spacy-model", "ro_legal_fl", "-q",
                cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr.decode()
    anonymized = (tmp_path / "out" / "hotarare.anon.txt").read_text(encoding="utf-8")
    for name in ("Popescu Andrei-Mihai", "Vasilescu", "Georgescu", "Marinescu"):
        assert name not in anonymized
    assert "Martorul [PERSON_NAME_" in anonymized        # the role word stays in the text
    entity_map = json.loads((tmp_path / "out" / "hotarare.map.json").read_text(encoding="utf-8"))
    assert "Vasilescu Dan" in entity_map["PERSON_NAME"]
    restored = tmp_path / "restored.txt"
    proc = _run("restore", tmp_path / "out" / "hotarare.anon.txt", "--map", tmp_path / "out" / "hotarare.map.json",
                "-o", restored, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr.decode()
    assert restored.read_bytes() == src.read_bytes()


@pytest.mark.parametrize("extra, message", [
    (["--rules-only", "--ner", "spacy"], "--rules-only takes no --ner"),
    (["--ner", "spacy", "--gliner-batch-size", "2"], "--ner spacy runs no neural model"),
])
def test_command_refuses_options_it_would_not_honour(tmp_path, extra, message):
    src = tmp_path / "a.txt"
    src.write_text("CNP 1850101123456\n", encoding="utf-8")
    proc = _run("detect", src, *extra, cwd=tmp_path)
    assert proc.returncode == 2 and message in proc.stderr.decode()


def test_command_names_a_pipeline_without_ner(tmp_path):
    folder = _pipeline_dir(tmp_path, None)
    src = tmp_path / "a.txt"
    src.write_text("Martorul Vasilescu Dan.\n", encoding="utf-8")
    proc = _run("detect", src, "--ner", "spacy", "--spacy-model", folder, "-j", "1", cwd=tmp_path)
    err = proc.stderr.decode()
    assert proc.returncode == 2 and "no-ner" in err and "no named-entity recognizer" in err
    assert "Traceback" not in err


# --- the trained pipeline where real tags and sentences matter -------------------------------

@pytest.fixture(scope="module")
def ro_legal():
    if importlib.util.find_spec("ro_legal_fl") is None:
        pytest.skip("the trained Romanian pipeline ro_legal_fl is not installed")
    import warnings

    import spacy

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return spacy.load("ro_legal_fl", disable=["ner", "parser"])


@pytest.mark.parametrize("span, rejected", [
    ("martorul", True), ("instanța", True), ("avocatul inculpatului", True),
    ("București", False),                      # capitalised: never sent to the tagger
])
def test_denylist_part_of_speech_test_on_real_tags(monkeypatch, ro_legal, span, rejected):
    from presidio_analyzer import RecognizerResult

    from tarnis import processing

    if "sentencizer" not in ro_legal.pipe_names:
        ro_legal.add_pipe("sentencizer")
    monkeypatch.setattr(processing, "_nlp_ro", ro_legal)
    text = f"A vorbit {span} ieri."
    r = RecognizerResult("PERSON_NAME", 9, 9 + len(span), 0.5)
    assert (processing.filter_entity_denylist(text, [r]) == []) is rejected


def test_neural_chunks_follow_real_sentences(tiny_gliner_dir):
    if importlib.util.find_spec("ro_legal_fl") is None:
        pytest.skip("the trained Romanian pipeline ro_legal_fl is not installed")
    from support.reference import reference_chunks

    from tarnis.recognizers.gliner import SmartGLiNERRecognizer

    rec = SmartGLiNERRecognizer(model_name=tiny_gliner_dir, spacy_model="ro_legal_fl", max_chunk_tokens=40,
                                overlap_sentences=1)
    text = (COURT + "Instanța, deliberând, constată că art. 228 alin. (1) C.pen. se aplică. "
            "Dl. Ionescu a depus concluzii scrise la dosar. ") * 3
    sents = [(s.start_char, s.end_char) for s in rec.nlp(text).sents]
    assert len(sents) > 6
    chunks, cores = rec._build_chunks(text)
    # The model's own word and token limits may cut chunks shorter than the
    # whitespace budget alone; they are still whole real sentences within it,
    # sharing at most one sentence, and their core zones tile the text.
    starts, ends = [s for s, _ in sents], [e for _, e in sents]
    assert len(chunks) >= len(reference_chunks(text, sents, 40, 1)[0])
    for (a, b, piece), (c, d) in zip(chunks, cores):
        assert a in starts and b in ends and piece == text[a:b] and a <= c <= d <= b
        assert len(piece.split()) <= 40 or ends.index(b) == starts.index(a)
    for (a, b, _), (c, _, _) in zip(chunks, chunks[1:]):
        assert a < c and sum(1 for s, e in sents if c <= s and e <= b) <= 1
    assert cores[0][0] == 0 and cores[-1][1] == chunks[-1][1]
    assert all(x[1] == y[0] for x, y in zip(cores, cores[1:]))
    assert {c[0] for c in chunks} <= {s for s, _ in sents}
