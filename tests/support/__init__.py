"""What the tests and the benchmarks share: the stand-in models (models), the
scripted language-model server (slm_server), the Python references of the
native functions (reference), the regex parity helpers (parity), the
generators of documents (corpus, leakgen), and a hook that makes worker
processes die on demand (hooks/, see kill_workers_on)."""

from __future__ import annotations

import os
from pathlib import Path

HOOKS = Path(__file__).resolve().parent / "hooks"


def kill_workers_on(monkeypatch, kill_on: str) -> None:
    """Commands run after this (in the test) have their worker processes die
    on `kill_on` (see hooks/sitecustomize.py): the hook's folder goes first on
    the PYTHONPATH."""
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(HOOKS), *filter(None, [os.environ.get("PYTHONPATH")])]))
    monkeypatch.setenv("TARNIS_TEST_KILL_WORKER_ON", kill_on)
