"""Shared fixtures: local model stand-ins built once per test session."""

from __future__ import annotations

import os

# Before anything imports huggingface_hub: tests never reach for the network.
os.environ["HF_HUB_OFFLINE"] = "1"
os.environ["TRANSFORMERS_OFFLINE"] = "1"

import pytest  # noqa: E402

import models  # noqa: E402


@pytest.fixture(scope="session")
def tiny_gliner_dir(tmp_path_factory) -> str:
    """Folder of a tiny randomly initialised GLiNER model (str path)."""
    return str(models.build_tiny_gliner(tmp_path_factory.mktemp("gliner") / "tiny-gliner"))


@pytest.fixture(scope="session")
def blank_ro_spacy_dir(tmp_path_factory) -> str:
    """Folder of a blank Romanian spaCy pipeline: sentencizer plus
    rule-based part-of-speech tags (str path)."""
    return str(models.build_blank_ro_spacy(tmp_path_factory.mktemp("spacy") / "blank-ro"))
