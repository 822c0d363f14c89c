"""The command with its analysis in worker processes (--jobs N): the same
outputs, messages, summary and exit status as in one process."""

from __future__ import annotations

import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from support import corpus, kill_workers_on
from support.slm_server import accept_all
from test_cli import EXAMPLES, err, run, snapshot, write

RULES = "--rules-only"
TIMING = re.compile(r" in [\d.]+ s \(([\d.]+|-) documents/s; analyzer built in [\d.]+ s\)")


def summary(proc) -> list[str]:
    """Standard error without the timings, line by line."""
    return [TIMING.sub("", line) for line in proc.stderr.decode("utf-8").splitlines()]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory) -> Path:
    """The examples, generated documents, and documents that fail or are empty."""
    folder = tmp_path_factory.mktemp("in")
    shutil.copytree(EXAMPLES, folder, dirs_exist_ok=True, ignore=shutil.ignore_patterns("*.py", "__pycache__"))
    for i in range(14):
        text, _ = corpus.generate(size=1500 + 900 * i, entities=4 + i, seed=i)
        write(folder / "gen" / f"g{i:02d}.txt", text)
    write(folder / "gen" / "empty.txt", "")
    # One entity written two ways: its map records both spellings, the same whichever worker writes it.
    write(folder / "gen" / "twice.txt",
          "Cont: RO49AAAA1B31007593840000.\nAcelași cont: RO49 AAAA 1B31 0075 9384 0000.\n")
    write(folder / "gen" / "latin1.txt", "Str. Mihai Eminescu nr. 5, cod po\xb8tal".encode("latin-1"))
    return folder


def modes(folder: Path) -> dict[str, int]:
    return {str(p.relative_to(folder)): stat.S_IMODE(p.stat().st_mode) for p in folder.rglob("*") if p.is_file()}


@pytest.mark.parametrize("command", [
    ("anonymize",),
    ("detect", "--json"),
    ("detect",),
])
def test_workers_give_the_same_outputs_and_summary(inputs, tmp_path, command):
    procs = {}
    # More workers than documents of a kind and than cores: anonymize with 2
    # and 3, detect (whose workers only analyze) with 3.
    counts = ("1", "2", "3") if command[0] == "anonymize" else ("1", "3")
    for jobs in counts:
        extra = ("-o", tmp_path / jobs) if command[0] == "anonymize" else ()
        procs[jobs] = run(*command, inputs, *extra, RULES, "--jobs", jobs)
    one = procs["1"]
    assert one.returncode == 1, err(one)                 # the latin-1 document fails
    assert "latin1.txt: not valid UTF-8" in err(one)
    for jobs in counts[1:]:
        assert procs[jobs].returncode == one.returncode
        assert procs[jobs].stdout == one.stdout
        assert summary(procs[jobs]) == summary(one)
        if command[0] == "anonymize":
            assert snapshot(tmp_path / jobs) == snapshot(tmp_path / "1")
            assert modes(tmp_path / jobs) == modes(tmp_path / "1")
    if command[0] == "anonymize":
        assert len(snapshot(tmp_path / "1")) == 2 * (3 + 16)
        assert "restoring from the map will not give back" not in err(one)
        assert '"spellings": "spellings:[[' in (tmp_path / "1" / "gen" / "twice.map.json").read_text("utf-8")
        assert {mode for name, mode in modes(tmp_path / "1").items() if name.endswith(".map.json")} == {0o600}


@pytest.mark.parametrize("when", [
    "",             # as it receives the document
    ":writing",     # its entity map in place, the anonymized text staged and not yet renamed
])
def test_a_worker_that_dies_fails_only_its_document(inputs, tmp_path, monkeypatch, when):
    reference = run("anonymize", inputs, "-o", tmp_path / "ref", RULES, "--jobs", "1")
    kill_workers_on(monkeypatch, "g03.txt" + when)
    proc = run("anonymize", inputs, "-o", tmp_path / "out", RULES, "--jobs", "2")
    assert proc.returncode == 1
    assert re.search(r"g03\.txt: the worker process analyzing it died \(killed by SIGKILL", err(proc))
    assert "latin1.txt: not valid UTF-8" in err(proc)
    assert "18 documents anonymized, 2 failed" in err(proc)
    # Nothing is left of the dead worker's document, not even a temporary file.
    got, expected = snapshot(tmp_path / "out"), snapshot(tmp_path / "ref")
    dead = {name for name in expected if Path(name).name.startswith("g03.")}
    assert len(dead) == 2
    assert got == {name: digest for name, digest in expected.items() if name not in dead}
    assert reference.returncode == 1


def test_workers_keep_existing_outputs_unless_forced(inputs, tmp_path):
    out = tmp_path / "out"
    run("anonymize", inputs, "-o", out, RULES, "--jobs", "2")
    before = snapshot(out)
    again = run("anonymize", inputs, "-o", out, RULES, "--jobs", "2")
    # Only the document that cannot be read was left to do.
    assert again.returncode == 1 and "0 documents anonymized, 20 failed" in err(again)
    assert "g00.anon.txt and " in err(again) and "already exist (use --force to overwrite)" in err(again)
    assert snapshot(out) == before
    write(out / "gen" / "g01.anon.txt", "spoilt")
    (out / "gen" / "g02.map.json").unlink()
    forced = run("anonymize", inputs, "-o", out, RULES, "--jobs", "2", "--force")
    assert forced.returncode == 1 and "19 documents anonymized, 1 failed" in err(forced)
    assert snapshot(out) == before


@pytest.mark.parametrize("state, map_left", [
    ("map renamed", None),      # the map alone was renamed into place: it goes with the document
    ("text linked", "new"),     # killed after linking the text into place: a whole document stays
    ("map replaced", "old"),    # with --force the map replaced an older one, kept aside: it comes back
])
def test_what_a_killed_worker_left_is_removed(tmp_path, state, map_left):
    from tarnis.cli import _HOST_TAG, StagedFile, _remove_partial_outputs, _temp_prefix

    anon, emap = tmp_path / "d.anon.txt", tmp_path / "d.map.json"
    emap.write_text("new")
    dead, alive = os.getpid(), os.getpid() + 1
    staged = StagedFile(anon, b"text", 0o644)                   # written by `dead`
    if state == "text linked":
        os.link(staged.tmp, anon)
    if state == "map replaced":
        (tmp_path / (_temp_prefix(emap, dead) + "0a1b2c.bak")).write_text("old")
    other = tmp_path / (_temp_prefix(anon, alive) + "abcd1234.tmp")     # another writer's, still at work
    other.write_text("x")
    neighbour = StagedFile(tmp_path / f"d.anon.txt.{dead}-{_HOST_TAG}.x.anon.txt", b"x", 0o644)   # a name alike
    _remove_partial_outputs(anon, emap, dead, state == "map replaced")
    assert not os.path.exists(staged.tmp)
    assert other.exists() and os.path.exists(neighbour.tmp)
    assert (emap.read_text() if emap.exists() else None) == map_left
    assert anon.exists() == (state == "text linked")
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == sorted(
        [other.name, Path(neighbour.tmp).name])


@pytest.mark.parametrize("how", ["killed", "output closed"])
def test_workers_end_quietly_when_the_command_goes(tmp_path, how):
    """Killed outright, or its standard output closed by the reader: the
    workers print no traceback, whatever they were doing."""
    src = tmp_path / "in"
    for i in range(100):
        write(src / f"d{i:03d}.txt", corpus.generate(size=8_000, entities=20, seed=i)[0])
    env = dict(os.environ, HF_HUB_OFFLINE="1")
    proc = subprocess.Popen([sys.executable, "-m", "tarnis", "detect", str(src), RULES, "--jobs", "2", "--json",
                             "-q"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    assert proc.stdout.readline()
    if how == "killed":
        proc.kill()
    proc.stdout.close()
    stderr = proc.stderr.read()         # until the workers are gone too
    proc.wait(timeout=60)
    assert b"Traceback" not in stderr and b"Error" not in stderr, stderr.decode()
    assert proc.returncode == (-signal.SIGKILL if how == "killed" else 1)
    time.sleep(0.5)
    assert _session_members(proc.pid) == [], "worker processes left running"


def test_verification_batches_span_documents_with_workers(slm_server, inputs, tmp_path):
    """The doubtful detections of all documents go to the model in the same
    batches whether the analysis ran in this process or in workers."""
    requests = {}
    outs = {}
    for jobs in ("1", "2"):
        server = slm_server(accept_all)
        proc = run("anonymize", inputs, "-o", tmp_path / jobs, RULES, "--verify", "--slm-url", server.base_url,
                   "--slm-log-dir", tmp_path / f"logs{jobs}", "--jobs", jobs)
        assert proc.returncode == 1, err(proc)
        outs[jobs] = summary(proc)
        requests[jobs] = [b["messages"][1]["content"] for b in server.requests]
    assert requests["1"] and requests["2"] == requests["1"]
    assert any("sent to the model" in line for line in outs["1"])
    assert outs["2"][1:] == outs["1"][1:]           # the first line names the server and the log folder
    assert snapshot(tmp_path / "2") == snapshot(tmp_path / "1")


@pytest.mark.parametrize("value", ["0", "-1", "two"])
def test_jobs_must_be_a_positive_number(tmp_path, value):
    proc = run("detect", write(tmp_path / "a.txt", "x"), RULES, "--jobs", value)
    assert proc.returncode == 2 and "--jobs" in err(proc)


def _session_members(sid: int) -> list[int]:
    members = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid and fields[0] != "Z":      # field 6 of stat: the session
            members.append(int(stat.parent.name))
    return members


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="needs /proc")
def test_ctrl_c_stops_every_worker_and_leaves_whole_outputs(tmp_path):
    src = tmp_path / "in"
    for i in range(200):
        write(src / f"d{i:03d}.txt", corpus.generate(size=20_000, entities=60, seed=i)[0])
    env = dict(os.environ, HF_HUB_OFFLINE="1")
    proc = subprocess.Popen([sys.executable, "-m", "tarnis", "anonymize", str(src), "-o", str(tmp_path / "out"),
                             RULES, "--jobs", "2", "-q"], env=env, stderr=subprocess.PIPE, start_new_session=True)
    deadline = time.monotonic() + 120
    while not list((tmp_path / "out").glob("*.anon.txt")) and time.monotonic() < deadline:
        time.sleep(0.05)
    os.killpg(proc.pid, signal.SIGINT)          # as Ctrl-C does: the whole foreground group
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 128 + signal.SIGINT, stderr
    assert b"interrupted; no output was left half-written" in stderr
    time.sleep(0.5)
    assert _session_members(proc.pid) == [], "worker processes left running"
    names = [p.name for p in (tmp_path / "out").iterdir()]
    assert not [n for n in names if n.startswith(".") or n.endswith(".tmp")], "temporary files left"
    # Documents were written whole or not at all: no map without its text.
    anon = {n[:-len(".anon.txt")] for n in names if n.endswith(".anon.txt")}
    assert anon and anon == {n[:-len(".map.json")] for n in names if n.endswith(".map.json")}
    assert len(anon) < 200


def test_full_mode_runs_in_workers(tmp_path, tiny_gliner_dir, blank_ro_spacy_dir):
    # Two runs of the tiny stand-in model do not give the same detections even
    # in one process, so only the run itself is compared here.
    models = ("--gliner-model", tiny_gliner_dir, "--spacy-model", blank_ro_spacy_dir)
    proc = run("anonymize", EXAMPLES, "-o", tmp_path / "out", *models, "--jobs", "2")
    assert proc.returncode == 0, err(proc)
    assert "3 documents anonymized, 0 failed" in err(proc)
    assert len(snapshot(tmp_path / "out")) == 6


def test_the_onnx_export_is_made_once_in_the_command_before_its_workers(monkeypatch, tmp_path):
    from tarnis.cli import driver
    from tarnis.host.config import EngineConfig
    from tarnis.recognizers import gliner

    made = []
    monkeypatch.setattr(gliner, "export_onnx", lambda name: made.append(name))
    for config in (EngineConfig(rules_only=True), EngineConfig(ner="spacy", gliner_backend="onnx"),
                   EngineConfig(gliner_model=str(tmp_path))):        # torch, the default: nothing to export
        driver.export_once(config)
    assert made == []
    driver.export_once(EngineConfig(gliner_model=str(tmp_path), gliner_backend="onnx-int8"))
    assert made == [str(tmp_path)]

    def fails(name):
        raise OSError("disk full")
    monkeypatch.setattr(gliner, "export_onnx", fails)
    driver.export_once(EngineConfig(gliner_model=str(tmp_path), gliner_backend="onnx"))   # left to the workers
