"""A Romanian document through Presidio's real AnalyzerEngine with the CNP
recognizer, then overlap resolution, anonymization, propagation and
restoration."""

from __future__ import annotations

import pytest
import spacy
from presidio_analyzer import AnalyzerEngine, RecognizerRegistry
from presidio_analyzer.nlp_engine import SpacyNlpEngine

from tarnis.processing import anonymize_text, deanonymize_text, postprocess_anonymized, resolve_overlaps
from tarnis.recognizers.cnp import CnpRecognizer

DOCUMENT = """CONTRACT DE ÎNCHIRIERE nr. 12/2024

Între Ion Popescu, CNP: 1850101123456... și Maria Ionescu, C.N.P. 2900202123457, s-a încheiat prezentul contract.
Garant: Ştefan Şerban (cnp 1234567890128), domiciliat în Chișinău.
Chiriașul declară că numărul 1234567890128 îi aparține; numărul 1234567890125 din anexă este greșit,
iar 2850101123452 este codul soției sale.
"""


@pytest.fixture(scope="module")
def engine(tmp_path_factory):
    path = tmp_path_factory.mktemp("ro_blank")
    nlp = spacy.blank("ro")
    nlp.add_pipe("sentencizer")
    nlp.to_disk(path)
    registry = RecognizerRegistry(supported_languages=["ro"])
    registry.add_recognizer(CnpRecognizer())
    nlp_engine = SpacyNlpEngine(models=[{"lang_code": "ro", "model_name": str(path)}])
    nlp_engine.load()
    return AnalyzerEngine(registry=registry, nlp_engine=nlp_engine, supported_languages=["ro"])


def test_document_round_trip(engine):
    results = engine.analyze(DOCUMENT, language="ro")
    assert {r.recognition_metadata["recognizer_name"] for r in results} == {"CnpRecognizer"}
    resolved = resolve_overlaps(results, DOCUMENT)
    anonymized, entity_map = anonymize_text(DOCUMENT, resolved)
    anonymized = postprocess_anonymized(anonymized, entity_map)

    found = {DOCUMENT[r.start:r.end] for r in resolved}
    assert {"1850101123456", "2900202123457", "1234567890128"} <= found
    for cnp in found:
        assert cnp not in anonymized
    assert "1234567890125" in anonymized          # neither keyword nor valid control digit
    assert "[CNP_" in anonymized and set(entity_map) == {"CNP"}
    assert deanonymize_text(anonymized, entity_map) == DOCUMENT
