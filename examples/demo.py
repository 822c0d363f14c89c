"""A small end-to-end example: CNPs found in a Romanian text, replaced by
placeholders, and the text restored from the entity map."""

import json

import spacy
from presidio_analyzer import AnalyzerEngine, RecognizerRegistry
from presidio_analyzer.nlp_engine import SpacyNlpEngine

from tarnis.processing import anonymize_text, deanonymize_text, postprocess_anonymized, resolve_overlaps
from tarnis.recognizers.cnp import CnpRecognizer

TEXT = ("Subsemnatul Ion Popescu, CNP 1850101123456, și soția sa, C.N.P.: 2900202123457, "
        "declară că numărul 1850101123456 figurează corect în anexă.")


def main() -> None:
    import tempfile

    with tempfile.TemporaryDirectory() as folder:
        # A blank Romanian pipeline: tokenization only, nothing to download.
        nlp = spacy.blank("ro")
        nlp.to_disk(folder)
        nlp_engine = SpacyNlpEngine(models=[{"lang_code": "ro", "model_name": folder}])
        nlp_engine.load()
    registry = RecognizerRegistry(supported_languages=["ro"])
    registry.add_recognizer(CnpRecognizer())
    engine = AnalyzerEngine(registry=registry, nlp_engine=nlp_engine, supported_languages=["ro"])

    results = resolve_overlaps(engine.analyze(TEXT, language="ro"), TEXT)
    anonymized, entity_map = anonymize_text(TEXT, results)
    anonymized = postprocess_anonymized(anonymized, entity_map)
    restored = deanonymize_text(anonymized, entity_map)

    print("original:   ", TEXT)
    print("anonymized: ", anonymized)
    print("entity map: ", json.dumps(entity_map, ensure_ascii=False))
    print("restored:   ", restored)
    assert restored == TEXT


if __name__ == "__main__":
    main()
