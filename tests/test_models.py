"""The stand-in models are the same in every test session."""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest


def contents(folder: Path) -> dict[str, str]:
    """Every file of a built model with the hash of its content; the
    configuration's absolute path of the encoder folder is left out."""
    files = {}
    for path in sorted(folder.rglob("*")):
        if not path.is_file():
            continue
        data = path.read_bytes()
        if path.name == "gliner_config.json":
            config = json.loads(data)
            assert Path(config.pop("model_name")).name == folder.name + "-encoder"
            assert Path(config["encoder_config"].pop("_name_or_path")).name == folder.name + "-encoder"
            data = json.dumps(config, sort_keys=True).encode()
        files[str(path.relative_to(folder))] = hashlib.sha256(data).hexdigest()
    return files


def test_tiny_gliner_is_identical_from_process_to_process(tiny_gliner_dir, tmp_path):
    out = tmp_path / "tiny-gliner"
    code = f"from support import models; models.build_tiny_gliner({str(out)!r})"
    env = dict(os.environ, PYTHONHASHSEED="12345")
    proc = subprocess.run([sys.executable, "-c", code], cwd=Path(__file__).parent, env=env, capture_output=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr.decode()
    built, session = contents(out), contents(Path(tiny_gliner_dir))
    assert {"model.safetensors", "tokenizer.json", "gliner_config.json"} <= set(built)
    assert built == session


def test_tiny_tokenizer_spells_out_unknown_words(tiny_gliner_dir):
    pytest.importorskip("gliner")
    from transformers import AutoTokenizer

    tokenizer = AutoTokenizer.from_pretrained(tiny_gliner_dir)
    assert tokenizer.tokenize("Ion Popescu") == ["Ion", "Popescu"]
    assert tokenizer.tokenize("DOSAR") == ["D", "##O", "##S", "##A", "##R"]
    assert tokenizer.tokenize("Жук") == ["[UNK]"]
