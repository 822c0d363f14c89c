"""A Presidio AnalyzerEngine for language "ro" that needs no download: a blank
Romanian spaCy pipeline saved to a folder and loaded from that path."""

from __future__ import annotations

import spacy
from presidio_analyzer import AnalyzerEngine, RecognizerRegistry
from presidio_analyzer.nlp_engine import SpacyNlpEngine


def blank_ro_engine(folder, recognizers) -> AnalyzerEngine:
    spacy.blank("ro").to_disk(folder)
    nlp_engine = SpacyNlpEngine(models=[{"lang_code": "ro", "model_name": str(folder)}])
    nlp_engine.load()
    registry = RecognizerRegistry(supported_languages=["ro"])
    for recognizer in recognizers:
        registry.add_recognizer(recognizer)
    return AnalyzerEngine(registry=registry, nlp_engine=nlp_engine, supported_languages=["ro"])
