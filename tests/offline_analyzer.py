"""A real Presidio AnalyzerEngine for Romanian that needs no downloads: a blank
Romanian spaCy pipeline saved to a folder and loaded by path."""

from __future__ import annotations

import spacy
from presidio_analyzer import AnalyzerEngine, RecognizerRegistry
from presidio_analyzer.nlp_engine import SpacyNlpEngine


def build_engine(folder, recognizers) -> AnalyzerEngine:
    nlp = spacy.blank("ro")
    nlp.add_pipe("sentencizer")
    nlp.to_disk(folder)
    registry = RecognizerRegistry(supported_languages=["ro"])
    for recognizer in recognizers:
        registry.add_recognizer(recognizer)
    nlp_engine = SpacyNlpEngine(models=[{"lang_code": "ro", "model_name": str(folder)}])
    return AnalyzerEngine(registry=registry, nlp_engine=nlp_engine, supported_languages=["ro"])
