"""Shared fixtures: local model stand-ins built once per test session."""

from __future__ import annotations

import os

# Before anything imports huggingface_hub: tests never reach for the network.
os.environ["HF_HUB_OFFLINE"] = "1"
os.environ["TRANSFORMERS_OFFLINE"] = "1"

import pytest  # noqa: E402

from support import models  # noqa: E402

try:
    from hypothesis import settings as _hypothesis_settings
except ImportError:                 # the test extra is not installed
    _hypothesis_settings = None
else:
    # "ci" (what ./run tests chooses): the same examples on every run and no
    # example database, so a failure on one machine fails on every machine;
    # tests that set their own number of examples keep it.
    _hypothesis_settings.register_profile("ci", derandomize=True, database=None, deadline=None,
                                          print_blob=True)
    _hypothesis_settings.load_profile(os.environ.get("TARNIS_HYPOTHESIS_PROFILE", "default"))


def pytest_configure(config):
    import importlib.util

    if importlib.util.find_spec("tarnis._native") is None:
        raise pytest.UsageError(
            "tarnis._native, the test-only module of the regex parity tests, is not installed: install the "
            "package with --config-settings=cmake.define.TARNIS_TEST_MODULES=ON (./run tests does)"
        )


@pytest.fixture(scope="session")
def tiny_gliner_dir(tmp_path_factory) -> str:
    """Folder of a tiny randomly initialised GLiNER model (str path)."""
    pytest.importorskip("gliner", reason="the neural extra (gliner, torch) is not installed")
    return str(models.build_tiny_gliner(tmp_path_factory.mktemp("gliner") / "tiny-gliner"))


@pytest.fixture(scope="session")
def blank_ro_spacy_dir(tmp_path_factory) -> str:
    """Folder of a blank Romanian spaCy pipeline: sentencizer plus
    rule-based part-of-speech tags (str path)."""
    return str(models.build_blank_ro_spacy(tmp_path_factory.mktemp("spacy") / "blank-ro"))


@pytest.fixture(scope="session")
def ro_engine(blank_ro_spacy_dir):
    """Factory of real Presidio AnalyzerEngines for language "ro" over the
    given recognizers, on the blank Romanian pipeline (nothing to download)."""
    from presidio_analyzer import AnalyzerEngine, RecognizerRegistry
    from presidio_analyzer.nlp_engine import SpacyNlpEngine

    def make(recognizers):
        nlp_engine = SpacyNlpEngine(models=[{"lang_code": "ro", "model_name": blank_ro_spacy_dir}])
        nlp_engine.load()
        registry = RecognizerRegistry(supported_languages=["ro"])
        for recognizer in recognizers:
            registry.add_recognizer(recognizer)
        return AnalyzerEngine(registry=registry, nlp_engine=nlp_engine, supported_languages=["ro"])

    return make


@pytest.fixture
def slm_server():
    """Factory of scripted OpenAI-compatible servers on 127.0.0.1, stopped
    after the test: slm_server(script=None, models=None)."""
    from support.slm_server import ScriptedServer

    servers = []

    def make(script=None, models=None):
        server = ScriptedServer(script, models)
        servers.append(server)
        return server

    yield make
    for server in servers:
        server.stop()
