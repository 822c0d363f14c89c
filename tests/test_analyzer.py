"""build_analyzer: the registry it assembles, the NLP engine, offline model
handling, and a Romanian document through the whole chain."""

from __future__ import annotations

import logging

import pytest
import spacy

from tarnis import analyzer as A
from tarnis.processing import (anonymize_text, deanonymize_text, filter_entity_denylist, postprocess_anonymized,
                               resolve_overlaps)

ORDER = ["SmartGLiNERRecognizer", "RomanianStreetAddressRecognizer", "EmailRecognizer", "RomanianPhoneRecognizer",
         "CustomIbanRecognizer", "CreditCardRecognizer", "IpRecognizer", "WordBoundedUrlRecognizer", "BICRecognizer",
         "CodeRecognizer", "CnpRecognizer"]


@pytest.fixture(scope="module")
def models(tiny_gliner_dir, blank_ro_spacy_dir):
    return {"model_name": tiny_gliner_dir, "spacy_model": blank_ro_spacy_dir}


@pytest.fixture(scope="module")
def engine(models):
    return A.build_analyzer(gliner_entity_mapping=A.GLINER_ENTITY_MAPPING,
                            entity_thresholds=A.GLINER_ENTITY_THRESHOLDS, **models)


def test_registry_order_and_log(models, caplog):
    with caplog.at_level(logging.INFO, logger="tarnis.analyzer"):
        engine = A.build_analyzer(**models)
    assert [r.name for r in engine.registry.recognizers] == ORDER
    assert f"[analyzer] Registered 11 recognizers: {', '.join(ORDER)}" in caplog.messages
    gliner = engine.registry.recognizers[0]
    assert gliner.entity_mapping == {} and gliner.supported_entities == []


def test_catalogue_mapping_reaches_the_neural_recognizer(engine):
    gliner = engine.registry.recognizers[0]
    assert gliner.entity_mapping == A.GLINER_ENTITY_MAPPING
    assert gliner.entity_thresholds == A.GLINER_ENTITY_THRESHOLDS
    assert set(gliner.supported_entities) == {"DOMIVIA", "ORGANIZATION", "PERSON_NAME", "PASSWORD", "USERNAME"}


def test_spacy_pipeline_has_no_ner(engine):
    [nlp] = engine.nlp_engine.nlp.values()
    assert "ner" not in nlp.pipe_names


def test_ner_component_is_removed(models, tmp_path):
    nlp = spacy.load(models["spacy_model"])
    nlp.add_pipe("ner")
    nlp.initialize()
    nlp.to_disk(tmp_path / "with-ner")
    engine = A.build_analyzer(**{**models, "spacy_model": str(tmp_path / "with-ner")})
    [loaded] = engine.nlp_engine.nlp.values()
    assert "ner" not in loaded.pipe_names and "sentencizer" in loaded.pipe_names


def test_other_language_leaves_fixed_recognizers_on_romanian(models):
    engine = A.build_analyzer(supported_language="ro-MD", **models)
    languages = {r.name: r.supported_language for r in engine.registry.recognizers}
    fixed = {"RomanianPhoneRecognizer", "BICRecognizer", "CodeRecognizer", "CnpRecognizer"}
    assert {n for n, lang in languages.items() if lang == "ro"} == fixed
    assert engine.supported_languages == ["ro-MD"]
    text = "CNP 1234567890128, cod BIC BTRLRO22"
    assert engine.analyze(text, language="ro-MD") == []


def test_engines_are_independent(models):
    first, second = A.build_analyzer(**models), A.build_analyzer(**models)
    first.registry.add_recognizer(A.CnpRecognizer())
    assert len(first.registry.recognizers) == 12 and len(second.registry.recognizers) == 11
    assert first.registry.recognizers[0] is not second.registry.recognizers[0]


@pytest.mark.parametrize("kwargs", [
    {"model_name": 1}, {"gliner_entity_mapping": [("persoană", "PERSON_NAME")]}, {"max_chunk_tokens": "384"},
    {"overlap_sentences": 2.0}, {"entity_thresholds": 0.5}, {"supported_language": b"ro"}, {"spacy_model": None},
    {"threshold": "high"},
])
def test_type_errors_before_anything_is_built(kwargs, monkeypatch):
    monkeypatch.setattr(A, "RecognizerRegistry", None)   # would fail if reached
    with pytest.raises(TypeError):
        A.build_analyzer(**kwargs)


def test_missing_models_are_named_quickly(models):
    from tarnis.recognizers.gliner import ModelUnavailableError

    with pytest.raises(ModelUnavailableError, match="ro_core_news_sm"):
        A.build_analyzer(model_name=models["model_name"])
    with pytest.raises(OSError, match="no-such-org/no-such-model"):
        A.build_analyzer(model_name="no-such-org/no-such-model", spacy_model=models["spacy_model"])


DOCUMENT = """CONTRACT DE ÎMPRUMUT nr. 4521/2024

Subsemnatul Ion Popescu, CNP 1850101123456, domiciliat în Str. Mihai Eminescu nr. 5, bl. A2, ap. 12, Cluj-Napoca,
telefon 0721 234 567, e-mail ion.popescu@example.ro, cont IBAN RO49AAAA1B31007593840000 deschis la BTRLRO22,
împrumută de la Maria Ionescu, C.N.P. 2900202123457, suma de 5.000 lei.
Autoturismul CJ 12 ABC rămâne în garanție. Dosar 1234/211/2023. Site: https://www.example.ro, IP 192.168.10.20.
"""

IDENTIFIERS = ["1850101123456", "2900202123457", "0721 234 567", "ion.popescu@example.ro",
               "RO49AAAA1B31007593840000", "BTRLRO22", "CJ 12 ABC", "1234/211/2023", "192.168.10.20",
               "Mihai Eminescu nr. 5"]


def test_document_through_the_whole_chain(engine, monkeypatch):
    from tarnis import processing

    # The part-of-speech test of the denylist filter runs on the engine's pipeline.
    [nlp] = engine.nlp_engine.nlp.values()
    monkeypatch.setattr(processing, "_nlp_ro", nlp)
    results = engine.analyze(DOCUMENT, language="ro")
    resolved = resolve_overlaps(results, DOCUMENT)
    kept = filter_entity_denylist(DOCUMENT, resolved)
    anonymized, entity_map = anonymize_text(DOCUMENT, kept)
    anonymized = postprocess_anonymized(anonymized, entity_map)
    for identifier in IDENTIFIERS:
        assert identifier not in anonymized, identifier
    assert {"CNP", "PHONE_NUMBER", "EMAIL_ADDRESS", "IBAN_CODE", "BIC", "CODE", "IP_ADDRESS"} <= set(entity_map)
    # The untrained model may report spans across line breaks; the map keeps
    # such texts with their white space collapsed, so compare word by word.
    assert deanonymize_text(anonymized, entity_map).split() == DOCUMENT.split()


def test_empty_and_blank_documents(engine):
    for text in ["", "   \n\t"]:
        assert engine.analyze(text, language="ro") == []
