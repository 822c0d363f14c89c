"""The `tarnis` command run as a user runs it: `python -m tarnis` in a
subprocess, over files in temporary folders."""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import pty
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SAMPLES = sorted(EXAMPLES.glob("*.txt"))

# Identifiers planted in the sample documents that rules alone must find.
SAMPLE_IDENTIFIERS = {
    "contract_inchiriere.txt": ["1780315123453", "2851122045670", "RO48 BTRL 0130 1202 1234 5600",
                                "RO81RNCB0082044212345678", "BTRLRO22", "RNCBROBU", "0722 345 678",
                                "+40 745 112 233", "ion.popescu@example.ro", "Memorandumului", "CJ 21 XTR"],
    "imputernicire_bancara.txt": ["1960709135792", "2900202123457", "MD22AG000000022512345678",
                                  "RO21 INGB 0000 9999 0123 4567", "AGRNMD2X", "INGBROBU", "+373 69 123 456",
                                  "0745 987 654", "relatii.clienti@example.md", "Păcurari"],
    "cerere_instanta.txt": ["6050215123409", "RO49AAAA1B31007593840000", "021 312 45 67", "0733 221 100",
                            "ioana.stoica@example.com", "Victoriei", "12345/299/2023"],
}

DOCUMENT = "Subsemnatul, CNP 1850101123456, cont RO49AAAA1B31007593840000, tel. 0722 123 456.\n"


def run(*args, cwd=None, timeout=300, **kwargs) -> subprocess.CompletedProcess:
    env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1")
    return subprocess.run([sys.executable, "-m", "tarnis", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, timeout=timeout, **kwargs)


def err(proc) -> str:
    return proc.stderr.decode("utf-8")


def snapshot(folder: Path) -> dict[str, str]:
    """Every file below `folder` with the hash of its content."""
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(folder.rglob("*")) if p.is_file() or p.is_symlink() and p.exists()}


def write(path: Path, data: bytes | str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
    return path


# --- the sample documents ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def anonymized_samples(tmp_path_factory):
    folder = tmp_path_factory.mktemp("samples")
    inputs = folder / "in"
    shutil.copytree(EXAMPLES, inputs, ignore=shutil.ignore_patterns("*.py", "__pycache__"))
    before = snapshot(inputs)
    proc = run("anonymize", inputs, "-o", folder / "out", "--rules-only")
    assert proc.returncode == 0, err(proc)
    assert snapshot(inputs) == before, "inputs were modified"
    return folder, proc


def test_samples_exist():
    assert {p.name for p in SAMPLES} == set(SAMPLE_IDENTIFIERS)


@pytest.mark.parametrize("sample", sorted(SAMPLE_IDENTIFIERS))
def test_sample_round_trip(anonymized_samples, sample):
    folder, _ = anonymized_samples
    stem = sample[:-len(".txt")]
    anon = folder / "out" / f"{stem}.anon.txt"
    emap = folder / "out" / f"{stem}.map.json"
    text = anon.read_text("utf-8")
    for identifier in SAMPLE_IDENTIFIERS[sample]:
        assert identifier not in text, f"{identifier} left in {anon.name}"
    raw_map = emap.read_bytes().decode("utf-8")
    entity_map = json.loads(raw_map)
    assert entity_map.pop("tarnis:document")["format"] == "tarnis-map/2"
    assert {"CNP", "IBAN_CODE", "PHONE_NUMBER", "DOMIVIA", "EMAIL_ADDRESS"} <= set(entity_map)
    if sample != "cerere_instanta.txt":
        assert "BIC" in entity_map
    # placeholders in the text are the map's; non-ASCII is written as is
    known = {p for inner in entity_map.values() for p in inner.values()}
    assert set(re.findall(r"\[[A-Z_]+_\d+\]", text)) == known
    assert "\\u" not in raw_map and any(ord(c) > 127 for c in raw_map) == any(
        ord(c) > 127 for inner in entity_map.values() for k in inner for c in k)
    assert emap.stat().st_mode & 0o077 == 0, "the entity map must be readable by its owner only"

    restored = folder / f"{stem}.restored.txt"
    proc = run("restore", anon, "--map", emap, "-o", restored)
    assert proc.returncode == 0, err(proc)
    assert "warning" not in err(proc)
    assert restored.read_bytes() == (folder / "in" / sample).read_bytes()


def test_summary_reports_files_and_entities(anonymized_samples):
    _, proc = anonymized_samples
    summary = err(proc)
    assert "3 documents anonymized, 0 failed" in summary
    assert "documents/s" in summary and "analyzer built in" in summary
    counts = dict(re.findall(r"([A-Z_]+) (\d+)", summary.split("entities replaced:")[1]))
    assert int(counts["CNP"]) == 5 and int(counts["IBAN_CODE"]) == 5 and int(counts["EMAIL_ADDRESS"]) == 3


def test_restore_to_stdout_keeps_bytes(tmp_path):
    doc = write(tmp_path / "crlf.txt", "Titular: CNP 1850101123456,\r\nșoseaua, tel. 0722 123 456\r\n")
    assert run("anonymize", doc, "--rules-only", "-q").returncode == 0
    proc = run("restore", tmp_path / "crlf.anon.txt", "--map", tmp_path / "crlf.map.json", "-q")
    assert proc.returncode == 0 and proc.stdout == doc.read_bytes() and proc.stderr == b""


def test_an_entity_written_two_ways_restores_exactly(tmp_path):
    """One IBAN written two ways shares one placeholder; the map records the
    spelling of each occurrence, so restoring gives back both, and the run
    has nothing to warn about. Without the spellings (a map of an earlier
    version), one spelling comes back for both."""
    exact = write(tmp_path / "exact.txt", DOCUMENT)
    doc = write(tmp_path / "twice.txt", "Cont: RO49AAAA1B31007593840000.\nAcelași cont: RO49 AAAA 1B31 0075 9384 0000.\n")
    proc = run("anonymize", exact, doc, "--rules-only")
    assert proc.returncode == 0, err(proc)
    assert "warning" not in err(proc)
    assert (tmp_path / "twice.anon.txt").read_text() == "Cont: [IBAN_CODE_1].\nAcelași cont: [IBAN_CODE_1].\n"
    assert "spellings" not in (tmp_path / "exact.map.json").read_text("utf-8"), "an exact map is as it was"
    proc = run("restore", tmp_path / "twice.anon.txt", "--map", tmp_path / "twice.map.json", "-q")
    assert proc.returncode == 0 and proc.stdout == doc.read_bytes() and proc.stderr == b""
    old = json.loads((tmp_path / "twice.map.json").read_text("utf-8"))
    del old["tarnis:document"]["spellings"], old["tarnis:document"]["original-sha256"]
    write(tmp_path / "old.map.json", json.dumps(old))
    proc = run("restore", tmp_path / "twice.anon.txt", "--map", tmp_path / "old.map.json", "-q")
    assert proc.returncode == 0 and proc.stdout.count(b"RO49 AAAA 1B31 0075 9384 0000") == 2


# --- outputs and their names -------------------------------------------------------------------

def test_folder_structure_and_names(tmp_path):
    src = tmp_path / "docs"
    write(src / "a.txt", DOCUMENT)
    write(src / "sub" / "deep" / "b.txt", DOCUMENT)
    write(src / "sub" / "C.TXT", DOCUMENT)
    write(src / "sub" / "old.anon.txt", DOCUMENT)          # an earlier output: not an input
    write(src / "notes.md", DOCUMENT)                        # not *.txt: only when named
    write(tmp_path / "extra.md", DOCUMENT)
    proc = run("anonymize", src, tmp_path / "extra.md", src / "a.txt", "-o", tmp_path / "out", "--rules-only")
    assert proc.returncode == 0, err(proc)
    assert set(snapshot(tmp_path / "out")) == {
        "a.anon.txt", "a.map.json", "extra.md.anon.txt", "extra.md.map.json",
        "sub/C.anon.txt", "sub/C.map.json", "sub/deep/b.anon.txt", "sub/deep/b.map.json"}
    assert "4 documents anonymized" in err(proc)                 # a.txt once

    # without -o the outputs go beside the inputs, and a second run over the
    # folder does not take them for inputs
    assert run("anonymize", src, "--rules-only", "-q").returncode == 0
    assert (src / "sub" / "deep" / "b.anon.txt").exists() and (src / "sub" / "deep" / "b.map.json").exists()
    proc = run("anonymize", src, "--rules-only", "-q", "--force")
    assert proc.returncode == 0 and not list(src.rglob("*.anon.anon.txt"))


def test_existing_output_needs_force(tmp_path):
    a = write(tmp_path / "a.txt", DOCUMENT)
    b = write(tmp_path / "b.txt", DOCUMENT.replace("0722 123 456", "0733 999 888"))
    write(tmp_path / "a.anon.txt", "keep me")
    proc = run("anonymize", a, b, "--rules-only")
    assert proc.returncode == 1
    assert "a.anon.txt" in err(proc) and "--force" in err(proc)
    assert (tmp_path / "a.anon.txt").read_text() == "keep me" and not (tmp_path / "a.map.json").exists()
    assert (tmp_path / "b.anon.txt").exists() and (tmp_path / "b.map.json").exists()

    proc = run("anonymize", a, b, "--rules-only", "--force")
    assert proc.returncode == 0, err(proc)
    assert "[CNP_1]" in (tmp_path / "a.anon.txt").read_text() and (tmp_path / "a.map.json").exists()
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]


@pytest.mark.parametrize("layout, args, message", [
    # two inputs, one output
    ({"x/a.txt": DOCUMENT, "y/a.txt": DOCUMENT}, ["x", "y", "-o", "out"], "would both be written to"),
    # an output that is itself an input
    ({"a.txt": DOCUMENT, "a.anon.txt": DOCUMENT}, ["a.txt", "a.anon.txt", "--force"], "is itself an input"),
])
def test_conflicting_outputs_are_refused(tmp_path, layout, args, message):
    for name, content in layout.items():
        write(tmp_path / name, content)
    before = snapshot(tmp_path)
    proc = run("anonymize", *args, "--rules-only", cwd=tmp_path)
    assert proc.returncode == 2
    assert message in err(proc)
    assert snapshot(tmp_path) == before


# --- documents that cannot be processed ---------------------------------------------------------

def test_bad_documents_are_reported_and_the_rest_goes_through(tmp_path):
    src = tmp_path / "in"
    write(src / "good.txt", DOCUMENT)
    write(src / "latin2.txt", "Ion \xfe\xe2r\xeeu".encode("latin-1"))
    (src / "dangling.txt").symlink_to(tmp_path / "nowhere.txt")
    unreadable = write(src / "locked.txt", DOCUMENT)
    unreadable.chmod(0)
    can_lock = not os.access(unreadable, os.R_OK)           # root reads anything
    before = snapshot(tmp_path / "in")
    try:
        proc = run("anonymize", src, tmp_path / "missing.txt", "-o", tmp_path / "out", "--rules-only")
    finally:
        unreadable.chmod(0o644)
    assert proc.returncode == 1
    messages = err(proc)
    assert re.search(r"latin2\.txt: not valid UTF-8 \(byte 0xfe at offset 4\)", messages)
    assert "dangling.txt: cannot read" in messages
    assert "missing.txt: no such file or folder" in messages
    if can_lock:
        assert "locked.txt: cannot read" in messages
    written = set(snapshot(tmp_path / "out"))
    assert {"good.anon.txt", "good.map.json"} <= written
    assert not written & {"latin2.anon.txt", "dangling.anon.txt", "latin2.map.json"}
    assert not [p for p in (tmp_path / "out").iterdir() if p.name.startswith(".")]
    unreadable.chmod(0o644)
    assert snapshot(tmp_path / "in") == before


def test_nothing_to_do_loads_no_models(tmp_path):
    """A run whose every document already has outputs stops before loading
    anything: even missing models are not an error then."""
    doc = write(tmp_path / "a.txt", DOCUMENT)
    write(tmp_path / "a.map.json", "{}")
    proc = run("anonymize", doc, "--spacy-model", tmp_path / "no-such-pipeline")
    assert proc.returncode == 1 and "a.map.json already exists" in err(proc)
    assert "cannot load" not in err(proc)


# --- models ------------------------------------------------------------------------------------

@pytest.mark.parametrize("options, named", [
    ([], "ro_core_news_sm"),                                           # nothing installed here
    (["--spacy-model", "./no/such/pipeline"], "./no/such/pipeline"),
    (["--gliner-model", "/no/such/gliner"], "/no/such/gliner"),
])
def test_missing_models_stop_with_status_2(tmp_path, options, named):
    doc = write(tmp_path / "a.txt", DOCUMENT)
    proc = run("anonymize", doc, *options)
    assert proc.returncode == 2
    message = err(proc)
    assert named in message and "--rules-only" in message and "install" in message.lower()
    assert set(snapshot(tmp_path)) == {"a.txt"}, "a run without its models must write nothing"


def test_rules_only_refuses_model_options(tmp_path):
    proc = run("detect", write(tmp_path / "a.txt", DOCUMENT), "--rules-only", "--gliner-model", "x")
    assert proc.returncode == 2 and "--rules-only" in err(proc)


def test_unknown_entity_type_is_a_usage_error(tmp_path):
    proc = run("detect", write(tmp_path / "a.txt", DOCUMENT), "--rules-only", "--entities", "CNP,NAME")
    assert proc.returncode == 2 and "NAME" in err(proc)


# --- detect -----------------------------------------------------------------------------------

def test_detect_json_lines(tmp_path):
    doc = write(tmp_path / "a.txt", DOCUMENT)
    proc = run("detect", doc, EXAMPLES / "cerere_instanta.txt", "--rules-only", "--json", "-q")
    assert proc.returncode == 0, err(proc)
    rows = [json.loads(line) for line in proc.stdout.decode("utf-8").splitlines()]
    assert {r["file"] for r in rows} == {str(doc), str(EXAMPLES / "cerere_instanta.txt")}
    for r in rows:
        assert set(r) == {"file", "entity_type", "start", "end", "score", "recognizer", "text"}
        assert Path(r["file"]).read_text("utf-8")[r["start"]:r["end"]] == r["text"]
        assert 0 < r["score"] <= 1 and r["recognizer"]
    mine = [(r["entity_type"], r["text"]) for r in rows if r["file"] == str(doc)]
    assert mine == [("CNP", "1850101123456"), ("IBAN_CODE", "RO49AAAA1B31007593840000"),
                    ("PHONE_NUMBER", "0722 123 456")]


def test_detect_filters_by_entity_type_and_prints_a_table(tmp_path):
    doc = write(tmp_path / "a.txt", DOCUMENT)
    proc = run("detect", doc, "--rules-only", "--entities", "cnp,PHONE_NUMBER")
    assert proc.returncode == 0, err(proc)
    lines = proc.stdout.decode("utf-8").splitlines()
    assert lines[0] == f"== {doc}: 2 detections"
    assert lines[1].split() == ["TYPE", "START", "END", "SCORE", "RECOGNIZER", "TEXT"]
    assert lines[2].split()[:3] == ["CNP", "17", "30"] and lines[2].endswith("1850101123456")
    assert lines[3].split()[0] == "PHONE_NUMBER" and lines[3].endswith("0722 123 456")
    assert "detections: CNP 1, PHONE_NUMBER 1" in err(proc)


# --- restore ----------------------------------------------------------------------------------

@pytest.mark.parametrize("to_file", [False, True])
def test_restore_refuses_a_map_lacking_placeholders_of_the_text(tmp_path, to_file):
    """The map of another document: nothing is restored unless --partial."""
    emap = write(tmp_path / "m.json", json.dumps({"CNP": {"1850101123456": "[CNP_1]"}}))
    doc = write(tmp_path / "d.txt", "[CNP_1], [CNP_2] și [PERSON_NAME_1]; [CNP_2]")
    out = ["-o", tmp_path / "out.txt"] if to_file else []
    proc = run("restore", doc, "--map", emap, *out)
    assert proc.returncode == 1
    assert proc.stdout == b"" and not (tmp_path / "out.txt").exists()
    assert "2 placeholders not in" in err(proc) and "[CNP_2], [PERSON_NAME_1]" in err(proc)
    assert "Nothing was restored" in err(proc)

    proc = run("restore", doc, "--map", emap, "--partial", *out)
    assert proc.returncode == 0
    restored = (tmp_path / "out.txt").read_bytes() if to_file else proc.stdout
    assert restored.decode() == "1850101123456, [CNP_2] și [PERSON_NAME_1]; [CNP_2]"
    assert "warning" in err(proc) and "[CNP_2], [PERSON_NAME_1]" in err(proc)


def test_restore_only_warns_about_map_entries_missing_from_the_text(tmp_path):
    emap = write(tmp_path / "m.json", json.dumps({"CNP": {"1850101123456": "[CNP_1]", "2900202123457": "[CNP_2]"},
                                                  "PERSON_NAME": {"Ion": "[PERSON_NAME_1]"}}))
    doc = write(tmp_path / "d.txt", "cod [CNP_1]")
    proc = run("restore", doc, "--map", emap)
    assert proc.returncode == 0
    assert proc.stdout.decode() == "cod 1850101123456"
    assert "2 placeholders of" in err(proc) and "[CNP_2], [PERSON_NAME_1]" in err(proc)


def anonymized_pair(tmp_path: Path, name: str, text: str) -> tuple[Path, Path]:
    doc = write(tmp_path / f"{name}.txt", text)
    proc = run("anonymize", doc, "--rules-only", "-q", "-j", "1")
    assert proc.returncode == 0 and proc.stderr == b"", err(proc)
    return tmp_path / f"{name}.anon.txt", tmp_path / f"{name}.map.json"


def test_a_map_of_another_document_is_refused_even_with_the_same_placeholders(tmp_path):
    a_anon, a_map = anonymized_pair(tmp_path, "a", DOCUMENT + "Contract de închiriere, anexa 2.\n")
    b_anon, b_map = anonymized_pair(tmp_path, "b", "Cerere: 0733 221 100, RO21INGB0000999901234567\n"
                                                   "formulată de titularul CNP 2900202123457.\n")
    assert set(re.findall(r"\[\w+\]", a_anon.read_text())) == set(re.findall(r"\[\w+\]", b_anon.read_text()))
    out = tmp_path / "out.txt"
    proc = run("restore", a_anon, "--map", b_map, "-o", out)
    assert proc.returncode == 1 and not out.exists()
    assert f"not the text {b_map} was made for" in err(proc) and "nothing was restored" in err(proc)
    assert "2900202123457" not in err(proc)
    # a text edited on purpose, or knowingly another one: --partial
    proc = run("restore", a_anon, "--map", b_map, "--partial")
    assert proc.returncode == 0 and b"2900202123457" in proc.stdout and "restored anyway" in err(proc)


def test_an_edited_text_is_told_apart_and_restores_with_partial(tmp_path):
    text = "Titular: CNP 1850101123456.\nTelefon: 0722 123 456.\nSemnat azi.\nFără alte mențiuni.\n"
    anon, emap = anonymized_pair(tmp_path, "d", text)
    anon.write_text(anon.read_text().replace("Semnat azi", "Semnat ieri"))
    proc = run("restore", anon, "--map", emap)
    assert proc.returncode == 1 and proc.stdout == b""
    assert "changed since" in err(proc) and "1 of 4 lines changed" in err(proc) and "at line 3" in err(proc)
    proc = run("restore", anon, "--map", emap, "--partial")
    assert proc.returncode == 0 and proc.stdout.decode() == text.replace("Semnat azi", "Semnat ieri")
    # line endings changed by an editor
    anon.write_bytes(anon.read_bytes().replace(b"ieri", b"azi").replace(b"\n", b"\r\n"))
    proc = run("restore", anon, "--map", emap)
    assert proc.returncode == 1 and "white space only" in err(proc)


def test_document_with_its_own_placeholder_shaped_text_round_trips(tmp_path):
    text = "Vezi [ANEXA_1] la contract, CNP 1850101123456.\n"
    anon, emap = anonymized_pair(tmp_path, "d", text)
    assert anon.read_text() == "Vezi [ANEXA_1] la contract, CNP [CNP_1].\n"
    proc = run("restore", anon, "--map", emap, "-q")
    assert proc.returncode == 0 and proc.stdout.decode() == text and proc.stderr == b""
    # pasted from elsewhere, not the document's own: still refused
    anon.write_text(anon.read_text() + "[ANEXA_2]\n")
    proc = run("restore", anon, "--map", emap, "--partial")
    assert proc.returncode == 0 and "1 placeholder not in" in err(proc) and "[ANEXA_2]" in err(proc)


def test_map_file_is_the_library_map_plus_its_fingerprint(tmp_path):
    from tarnis.processing import deanonymize_text

    text = "Vezi [ANEXA_1].\nCNP 1850101123456, tel. 0722 123 456.\n"
    anon, emap = anonymized_pair(tmp_path, "d", text)
    loaded = json.loads(emap.read_text("utf-8"))
    assert deanonymize_text(anon.read_text(), loaded) == text
    info = loaded.pop("tarnis:document")
    assert loaded == {"PHONE_NUMBER": {"0722 123 456": "[PHONE_NUMBER_1]"}, "CNP": {"1850101123456": "[CNP_1]"}}
    assert info["format"] == "tarnis-map/2" and info["own-placeholders"] == "own:ANEXA_1"
    assert info["anonymized-sha256"] == "sha256:" + hashlib.sha256(anon.read_bytes()).hexdigest()
    # a map written before the fingerprint existed: restored, with a warning
    old = write(tmp_path / "old.map.json", json.dumps(loaded))
    proc = run("restore", anon, "--map", old, "--partial")
    assert proc.returncode == 0 and proc.stdout.decode() == text
    assert "cannot be checked" in err(proc)


@pytest.mark.parametrize("map_content, expected", [
    (json.dumps({"X": {"NOT": "the"}}), 'entry 1 of "X" does not map to a placeholder'),
    (json.dumps({"CNP": {"[Z_9]": "[CNP_1]", "": "[CNP_2]"}}), 'entry 2 of "CNP" has an empty text'),
    (json.dumps({"CNP": {"x": "[CNP_1]", "y": ""}}), "does not map to a placeholder"),
    ('{"CNP": {"1850101123456": ' + "9" * 5000 + "}}", "not an entity map (expected"),
    ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
    (json.dumps({"tarnis:document": {"format": "tarnis-map/9"}}), "is not known to this version"),
    (json.dumps({"tarnis:document": {"format": "tarnis-map/2", "anonymized-sha256": "x"}}), "is damaged"),
])
def test_hostile_maps_get_a_one_line_message(tmp_path, map_content, expected):
    emap = write(tmp_path / "m.json", map_content)
    proc = run("restore", write(tmp_path / "d.txt", "the [CNP_1]"), "--map", emap, "-o", tmp_path / "out.txt")
    assert proc.returncode == 1 and expected in err(proc) and "m.json" in err(proc), err(proc)
    assert len(err(proc).splitlines()) == 1 and not (tmp_path / "out.txt").exists()


def test_restore_bounds_what_it_writes(tmp_path):
    """A few placeholders of a short text and a huge text in the map."""
    emap = write(tmp_path / "m.json", json.dumps({"A": {"x" * 20_000: "[A_1]"}}))
    proc = run("restore", write(tmp_path / "d.txt", " [A_1]" * 1000), "--map", emap, "--partial")
    assert proc.returncode == 1 and proc.stdout == b"" and "would give 20,001,000 characters" in err(proc)


@pytest.mark.parametrize("kind", ["fifo", "device", "socket"])
def test_a_map_that_is_not_a_regular_file_is_refused(tmp_path, monkeypatch, kind):
    path = tmp_path / "m.json"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        path.symlink_to("/dev/zero")
    else:
        import socket
        sock = socket.socket(socket.AF_UNIX)
        monkeypatch.chdir(tmp_path)
        sock.bind("m.json")              # a short relative name: socket paths are limited
        monkeypatch.setattr(sys.modules[__name__], "_socket_kept", sock, raising=False)
    proc = run("restore", write(tmp_path / "d.txt", "[CNP_1]"), "--map", path, timeout=60)
    assert proc.returncode == 1 and "not an entity map" in err(proc) and "Traceback" not in err(proc)
    assert {"fifo": "a FIFO", "device": "a device", "socket": "a socket"}[kind] in err(proc)


@pytest.mark.parametrize("force", [False, True])
def test_restored_file_is_readable_by_its_owner_only(tmp_path, force):
    anon, emap = anonymized_pair(tmp_path, "d", DOCUMENT)
    out = tmp_path / "restored.txt"
    if force:
        write(out, "old").chmod(0o644)
    proc = run("restore", anon, "--map", emap, "-o", out, *(["-f"] if force else []), preexec_fn=lambda: os.umask(0))
    assert proc.returncode == 0, err(proc)
    assert out.read_text() == DOCUMENT and out.stat().st_mode & 0o777 == 0o600


def test_empty_document_gives_empty_outputs_and_restores(tmp_path):
    doc = write(tmp_path / "empty.txt", b"")
    proc = run("anonymize", doc, "--rules-only")
    assert proc.returncode == 0, err(proc)
    assert (tmp_path / "empty.anon.txt").read_bytes() == b""
    assert set(json.loads((tmp_path / "empty.map.json").read_text("utf-8"))) == {"tarnis:document"}
    proc = run("restore", tmp_path / "empty.anon.txt", "--map", tmp_path / "empty.map.json")
    assert proc.returncode == 0 and proc.stdout == b""
    proc = run("detect", doc, "--rules-only", "--json")
    assert proc.returncode == 0 and proc.stdout == b""


@pytest.mark.parametrize("map_content, expected", [
    ("not json", "not a JSON entity map"),
    ('{"CNP": ["1850101123456"]}', "not an entity map"),
    ('{"CNP": {"1850101123456": 1}}', "not an entity map"),
    ("", "empty file"),
])
def test_restore_rejects_a_bad_map(tmp_path, map_content, expected):
    emap = write(tmp_path / "m.json", map_content)
    proc = run("restore", write(tmp_path / "d.txt", "[CNP_1]"), "--map", emap, "-o", tmp_path / "out.txt")
    assert proc.returncode == 1 and expected in err(proc) and "m.json" in err(proc)
    assert not (tmp_path / "out.txt").exists()


def test_restore_never_overwrites_without_force(tmp_path):
    emap = write(tmp_path / "m.json", json.dumps({"CNP": {"1850101123456": "[CNP_1]"}}))
    doc = write(tmp_path / "d.txt", "x [CNP_1]")
    out = write(tmp_path / "out.txt", "keep me")
    proc = run("restore", doc, "--map", emap, "-o", out)
    assert proc.returncode == 1 and "--force" in err(proc) and out.read_text() == "keep me"
    proc = run("restore", doc, "--map", emap, "-o", doc, "--force")
    assert proc.returncode == 2 and doc.read_text() == "x [CNP_1]"
    assert run("restore", doc, "--map", emap, "-o", out, "--force").returncode == 0
    assert out.read_text() == "x 1850101123456"


# --- progress and interruption ------------------------------------------------------------------

def run_on_terminal(*args, cwd) -> str:
    """Run the command with standard error on a pseudo-terminal; returns what
    it wrote there."""
    main, child = pty.openpty()
    fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))   # 24 x 100 characters
    env = dict(os.environ, HF_HUB_OFFLINE="1")
    proc = subprocess.Popen([sys.executable, "-m", "tarnis", *map(str, args)], cwd=cwd, env=env,
                            stdout=subprocess.DEVNULL, stderr=child)
    os.close(child)
    chunks = []
    while True:
        try:
            data = os.read(main, 65536)
        except OSError:
            break
        if not data:
            break
        chunks.append(data)
    proc.wait(timeout=300)
    os.close(main)
    assert proc.returncode == 0
    return b"".join(chunks).decode("utf-8", "replace")


def test_progress_bar_on_a_terminal_and_quiet(tmp_path):
    for i in range(3):
        write(tmp_path / "in" / f"d{i}.txt", DOCUMENT)
    shown = run_on_terminal("detect", "in", "--rules-only", "--json", cwd=tmp_path)
    assert "0/3" in shown and "doc/s" in shown
    assert "3 documents analyzed" in shown
    assert run_on_terminal("detect", "in", "--rules-only", "--json", "--quiet", cwd=tmp_path) == ""


def test_terminated_run_leaves_only_whole_outputs(tmp_path):
    src = tmp_path / "in"
    document = (DOCUMENT * 40)
    for i in range(300):
        write(src / f"d{i:03d}.txt", document)
    env = dict(os.environ, HF_HUB_OFFLINE="1")
    proc = subprocess.Popen([sys.executable, "-m", "tarnis", "anonymize", str(src), "-o", str(tmp_path / "out"),
                             "--rules-only", "-q"], env=env, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while not list((tmp_path / "out").glob("*.anon.txt")) and time.monotonic() < deadline:
        time.sleep(0.05)
    proc.send_signal(signal.SIGTERM)
    proc.communicate(timeout=60)
    assert proc.returncode in (0, 128 + signal.SIGTERM)
    out = tmp_path / "out"
    names = {p.name for p in out.iterdir()}
    assert not [n for n in names if n.startswith(".") or n.endswith(".tmp")], "temporary files left"
    anon = {n[:-len(".anon.txt")] for n in names if n.endswith(".anon.txt")}
    maps = {n[:-len(".map.json")] for n in names if n.endswith(".map.json")}
    # the map is written first; a text never goes without its map
    assert anon and anon <= maps and len(maps - anon) <= 1
    for stem in anon:
        entity_map = json.loads((out / f"{stem}.map.json").read_text("utf-8"))
        text = (out / f"{stem}.anon.txt").read_text("utf-8")
        assert text.count("[CNP_1]") == 40
        assert entity_map["CNP"] == {"1850101123456": "[CNP_1]"}


# --- full mode with local stand-ins for the models ------------------------------------------------

def test_full_mode_with_local_models(tmp_path, tiny_gliner_dir, blank_ro_spacy_dir):
    doc = write(tmp_path / "a.txt", "Domnul Ion Popescu, " + DOCUMENT)
    proc = run("anonymize", doc, "--gliner-model", tiny_gliner_dir, "--spacy-model", blank_ro_spacy_dir, "-v")
    assert proc.returncode == 0, err(proc)
    assert "Registered 14 recognizers: SmartGLiNERRecognizer" in err(proc)
    entity_map = json.loads((tmp_path / "a.map.json").read_text("utf-8"))
    assert entity_map["CNP"] == {"1850101123456": "[CNP_1]"}
    assert "1850101123456" not in (tmp_path / "a.anon.txt").read_text("utf-8")
    assert "part-of-speech" not in err(proc)


def test_execution_settings_of_the_model_keep_the_findings(tmp_path, tiny_gliner_dir, blank_ro_spacy_dir):
    pytest.importorskip("onnxruntime", reason="onnxruntime is not installed")
    import shutil
    model = tmp_path / "model"          # the export is kept inside the model folder
    shutil.copytree(tiny_gliner_dir, model)
    docs = [write(tmp_path / "in" / f"{i}.txt", f"Domnul Ion Popescu{i} de la SC Alfa{i} SRL, " + DOCUMENT * 3)
            for i in range(3)]
    common = ("detect", *docs, "--json", "--gliner-model", model, "--spacy-model", blank_ro_spacy_dir)
    torch_run = run(*common, "--jobs", "1")
    assert torch_run.returncode == 0, err(torch_run)

    def same_findings(proc):
        # The same detections; ONNX Runtime's and batched scores may differ in the last digits.
        assert proc.returncode == 0, err(proc)
        got, want = ([json.loads(line) for line in p.stdout.splitlines()] for p in (proc, torch_run))
        drop = lambda rows: [{k: v for k, v in row.items() if k != "score"} for row in rows]  # noqa: E731
        assert drop(got) == drop(want) and any(r["recognizer"] == "SmartGLiNERRecognizer" for r in want)
        assert max(abs(a["score"] - b["score"]) for a, b in zip(got, want)) < 1e-4

    # ONNX Runtime in the workers (the export is made once, in the model folder)
    same_findings(run(*common, "--gliner-backend", "onnx", "--jobs", "2", "-v"))
    assert (model / "onnx" / "model.onnx").is_file()
    # chunks in batches: the same findings as one chunk at a time (the default)
    same_findings(run(*common, "--gliner-batch-size", "4", "--jobs", "1"))


@pytest.mark.parametrize("args,named", [
    (("--rules-only", "--gliner-backend", "onnx"), "--gliner-backend"),
    (("--rules-only", "--gliner-batch-size", "4"), "--gliner-batch-size"),
    (("--gliner-batch-size", "0", "--gliner-model", "m"), "--gliner-batch-size"),
    (("--gliner-backend", "cuda", "--gliner-model", "m"), "onnx-int8"),
])
def test_execution_settings_of_the_model_are_checked(tmp_path, capsys, args, named):
    from tarnis.cli import main
    with pytest.raises(SystemExit) as stopped:
        main(["detect", str(write(tmp_path / "a.txt", DOCUMENT)), *args])
    assert stopped.value.code == 2 and named in capsys.readouterr().err


def test_full_mode_model_missing_on_the_hub(tmp_path, blank_ro_spacy_dir):
    doc = write(tmp_path / "a.txt", DOCUMENT)
    proc = run("detect", doc, "--gliner-model", "nobody/no-such-gliner", "--spacy-model", blank_ro_spacy_dir)
    assert proc.returncode == 2
    assert "nobody/no-such-gliner" in err(proc) and "--rules-only" in err(proc)
    assert proc.stdout == b""


def test_full_mode_warns_about_a_pipeline_without_tags(tmp_path, tiny_gliner_dir):
    from support import models
    untagged = models.build_blank_ro_spacy(tmp_path / "untagged", pos_rules=[])
    proc = run("detect", write(tmp_path / "a.txt", DOCUMENT), "--json", "-q",
               "--gliner-model", tiny_gliner_dir, "--spacy-model", untagged)
    assert proc.returncode == 0, err(proc)
    assert "assigns no part-of-speech tags" in err(proc)


def test_engines_in_process(tiny_gliner_dir, blank_ro_spacy_dir, monkeypatch):
    """The rule-based recognizers run in the full analyzer's order, and the
    full analyzer's pipeline serves the denylist filter's tagger."""
    from presidio_analyzer import RecognizerResult

    from tarnis import cli, processing

    monkeypatch.setattr(processing, "_nlp_ro", processing._nlp_ro)   # put back afterwards
    full = cli.build_full_engine(tiny_gliner_dir, blank_ro_spacy_dir)
    rules = cli.build_rules_engine()
    full_names = [r.name for r in full.registry.recognizers]
    assert full_names[0] == "SmartGLiNERRecognizer"
    assert [r.name for r in rules.registry.recognizers] == full_names[1:]
    # one list, kept in the analyzer module: a recognizer added there reaches both
    from tarnis import analyzer
    assert [type(r) for r in rules.registry.recognizers] == [type(r) for r in analyzer._rule_recognizers("ro")]

    assert processing._nlp_ro is full.nlp_engine.nlp["ro"]
    text = "semnat de popescu și de Maria"
    names = [RecognizerResult("PERSON_NAME", 10, 17, 0.9), RecognizerResult("PERSON_NAME", 24, 29, 0.9)]
    # lower-case 'popescu' is a common noun for the stand-in's tagger; 'Maria' is never tagged
    assert processing.filter_entity_denylist(text, names) == names[1:]


@pytest.mark.parametrize("error, expected, unexpected", [
    # a missing model, by type: the ways to provide one are offered
    ("unavailable", ["cannot load the models", "hf-missing-model", "--rules-only", "spacy download"], []),
    # an OSError that merely names the model in its message is not "missing": no install advice
    ("oserror", ["cannot load the models", "Permission denied: /models/tiny-gliner"], ["spacy download",
                                                                                        "--rules-only"]),
])
def test_model_errors_are_told_apart_by_type(monkeypatch, blank_ro_spacy_dir, capsys, error, expected,
                                            unexpected):
    from tarnis import analyzer, cli
    from tarnis.recognizers.gliner import ModelUnavailableError

    def fail(**kwargs):
        if error == "unavailable":
            raise ModelUnavailableError("GLiNER model 'hf-missing-model' could not be loaded")
        raise PermissionError("Permission denied: /models/tiny-gliner")

    monkeypatch.setattr(analyzer, "build_analyzer", fail)
    with pytest.raises(cli.UsageError) as info:
        cli.build_full_engine("tiny-gliner", blank_ro_spacy_dir)
    for text in expected:
        assert text in str(info.value)
    for text in unexpected:
        assert text not in str(info.value)


# --- writing outputs: any failure leaves the old files or the new ones -----------------------------

def _dot_files(folder: Path) -> list[str]:
    return sorted(p.name for p in folder.iterdir() if p.name.startswith("."))


@pytest.fixture
def old_pair(tmp_path):
    """A document's map and text from an earlier run, and the new pair to write."""
    emap, anon = tmp_path / "d.map.json", tmp_path / "d.anon.txt"
    emap.write_text("old map")
    anon.write_text("old text")
    return emap, anon, [(emap, b"new map", 0o600), (anon, b"new text", 0o644)]


@pytest.mark.parametrize("links", [True, False], ids=["hard-links", "no-hard-links"])
@pytest.mark.parametrize("failure", ["second-rename", "interrupted"])
def test_forced_write_that_fails_midway_keeps_the_old_pair(old_pair, tmp_path, monkeypatch, links, failure):
    from tarnis import cli

    emap, anon, files = old_pair
    real_replace = os.replace

    def replace(src, dst, *args, **kwargs):
        if failure == "second-rename" and os.fspath(dst) == os.fspath(anon) and os.fspath(src).endswith(".tmp"):
            raise PermissionError(13, "Permission denied")
        real_replace(src, dst, *args, **kwargs)
        if failure == "interrupted" and os.fspath(dst) == os.fspath(emap):
            os.kill(os.getpid(), signal.SIGINT)       # Ctrl-C between the two renames: held back

    monkeypatch.setattr(os, "replace", replace)
    if not links:
        def link(*args, **kwargs):
            raise PermissionError(1, "Operation not permitted")
        monkeypatch.setattr(os, "link", link)
    with pytest.raises(cli.DocumentError if failure == "second-rename" else KeyboardInterrupt) as info:
        cli.write_outputs(files, force=True)
    if failure == "second-rename":
        assert str(info.value) == f"{anon}: cannot write: Permission denied"
    assert emap.read_text() == "old map" and anon.read_text() == "old text"
    assert _dot_files(tmp_path) == []
    monkeypatch.undo()
    cli.write_outputs(files, force=True)            # and when nothing fails, the new pair replaces it
    assert emap.read_bytes() == b"new map" and anon.read_bytes() == b"new text"
    assert stat.S_IMODE(emap.stat().st_mode) == 0o600 and _dot_files(tmp_path) == []


def test_write_without_force_that_fails_midway_leaves_nothing(tmp_path, monkeypatch):
    from tarnis import cli

    emap, anon = tmp_path / "d.map.json", tmp_path / "d.anon.txt"
    real_link = os.link

    def link(src, dst, *args, **kwargs):
        if os.fspath(dst) == os.fspath(anon):
            raise FileExistsError(17, "File exists")      # the text appeared meanwhile
        real_link(src, dst, *args, **kwargs)

    monkeypatch.setattr(os, "link", link)
    with pytest.raises(cli.DocumentError, match="d.anon.txt exists"):
        cli.write_outputs([(emap, b"map", 0o600), (anon, b"text", 0o644)], force=False)
    assert list(tmp_path.iterdir()) == []


def test_a_folder_in_place_of_the_text_keeps_the_old_map(tmp_path):
    src = write(tmp_path / "d.txt", DOCUMENT)
    old_map = write(tmp_path / "d.map.json", '{"CNP": {"1850101123456": "[CNP_1]"}}\n').read_bytes()
    (tmp_path / "d.anon.txt").mkdir()
    proc = run("anonymize", src, "--rules-only", "--force")
    assert proc.returncode == 1
    assert f"{tmp_path / 'd.anon.txt'}: cannot write: Is a directory" in err(proc)
    assert "Traceback" not in err(proc)
    assert (tmp_path / "d.map.json").read_bytes() == old_map
    assert _dot_files(tmp_path) == []


_DIE_WHILE_WRITING = """
import os, signal, sys
from pathlib import Path
from tarnis import cli
emap, anon, force = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3] == "force"
commit = cli.StagedFile.commit
def commit_or_die(self, force):
    if self.target == anon:
        os.kill(os.getpid(), signal.SIGKILL)
    commit(self, force)
cli.StagedFile.commit = commit_or_die
cli.write_outputs([(emap, b"new map", 0o600), (anon, b"new text", 0o644)], force=force)
"""


@pytest.mark.parametrize("force", [True, False])
def test_what_a_process_killed_while_writing_left_is_put_right_later(tmp_path, force):
    """Killed outright between the two renames, a process leaves the new map
    with the old text and its staged files; the next process to write there
    puts the old pair back and removes the dead one's files, never those of
    a live process or of another machine."""
    from tarnis import cli

    emap, anon = tmp_path / "d.map.json", tmp_path / "d.anon.txt"
    if force:
        emap.write_text("old map")
        anon.write_text("old text")
    dead = subprocess.Popen([sys.executable, "-c", _DIE_WHILE_WRITING, emap, anon, "force" if force else ""])
    assert dead.wait(timeout=120) == -signal.SIGKILL
    assert emap.read_text() == "new map"
    assert _dot_files(tmp_path), "the dead process left nothing staged"
    with subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"]) as alive:
        try:
            theirs = [tmp_path / (cli._temp_prefix(anon, alive.pid) + "abc.tmp"),
                      tmp_path / f".{emap.name}.{dead.pid}-0badcafe.abc.tmp"]     # another machine's
            for path in theirs:
                path.write_text("another writer's")
            other = tmp_path / "other.txt"
            cli.write_outputs([(other, b"x", 0o644)], force=False)      # another target: nothing touched
            assert emap.read_text() == "new map"
            cli.recover_dead_writers([emap, anon])
        finally:
            alive.kill()
    if force:
        assert emap.read_text() == "old map" and anon.read_text() == "old text"
    else:
        # without backups a map alone is not known to be the dead process's: it stays
        assert emap.read_text() == "new map" and not anon.exists()
    assert _dot_files(tmp_path) == sorted(p.name for p in theirs)


# --- inputs that are not regular files ---------------------------------------------------------------

def test_pipes_sockets_and_devices_are_never_read(tmp_path):
    import socket

    src = tmp_path / "in"
    write(src / "good.txt", DOCUMENT)
    os.mkfifo(src / "pipe.txt")
    (src / "zero.txt").symlink_to("/dev/zero")
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(src / "sock.txt"))
    try:
        proc = run("anonymize", src, "-o", tmp_path / "out", "--rules-only", timeout=120)
        assert proc.returncode == 0, err(proc)
        messages = err(proc)
        assert "pipe.txt: a named pipe, not a text file; skipped" in messages
        assert "zero.txt: a character device, not a text file; skipped" in messages
        assert "sock.txt: a socket, not a text file; skipped" in messages
        assert "1 document anonymized, 0 failed" in messages
        assert set(snapshot(tmp_path / "out")) == {"good.anon.txt", "good.map.json"}
        # named directly, each is a failed document
        named = run("detect", src / "pipe.txt", src / "zero.txt", src / "good.txt", "--rules-only", timeout=120)
        assert named.returncode == 1
        assert "pipe.txt: a named pipe, not a text file or folder" in err(named)
        assert "zero.txt: a character device, not a text file or folder" in err(named)
        assert "1 document analyzed, 2 failed" in err(named)
    finally:
        server.close()


def test_a_pipe_put_in_place_of_a_document_is_refused_without_waiting(tmp_path, monkeypatch):
    """A document replaced by a named pipe between the check and the read is
    opened without blocking and refused."""
    from tarnis import cli

    pipe, regular = tmp_path / "d.txt", write(tmp_path / "r.txt", "text")
    os.mkfifo(pipe)
    real_stat = os.stat
    monkeypatch.setattr(os, "stat", lambda path, *a, **k: real_stat(regular) if path == pipe else real_stat(path, *a, **k))
    def hung(signum, frame):
        raise TimeoutError("reading the pipe blocked")

    previous = signal.signal(signal.SIGALRM, hung)
    signal.alarm(20)                # fails the test rather than hang it
    try:
        with pytest.raises(cli.DocumentError, match="d.txt: a named pipe, not a text file"):
            cli.read_document(pipe)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


# --- standard output that cannot be written ----------------------------------------------------------

@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("command", [("detect", "{dir}", "--jobs", "1"), ("detect", "{dir}", "--jobs", "2"),
                                     ("detect", "{dir}", "--json", "--jobs", "2"),
                                     ("restore", "{dir}/a.anon.txt", "--map", "{dir}/a.map.json")])
def test_a_full_standard_output_is_one_error(tmp_path, command):
    for name in ("a", "b", "c"):
        write(tmp_path / f"{name}.txt", DOCUMENT)
    assert run("anonymize", tmp_path / "a.txt", "--rules-only").returncode == 0
    (tmp_path / "a.anon.txt").rename(tmp_path / "a.anon")      # not a document for detect
    args = [a.format(dir=tmp_path) for a in command]
    if args[0] == "restore":
        args[1] = str(tmp_path / "a.anon")
    else:
        args.append("--rules-only")
    env = dict(os.environ, HF_HUB_OFFLINE="1")
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([sys.executable, "-m", "tarnis", *args], env=env, stdout=full,
                              stderr=subprocess.PIPE, timeout=300)
    assert proc.returncode == 1
    lines = err(proc).splitlines()
    assert lines == ["tarnis: error: cannot write to standard output: No space left on device"], lines


# --- file names are printed with their control characters escaped ---------------------------------

def test_names_with_control_characters_are_escaped(tmp_path):
    src = tmp_path / "in"
    names = {"a\nb.txt": "a\\nb.txt", "\x1b[31mred.txt": "\\x1b[31mred.txt",
             "rlo\u202etxt.exe.txt": "rlo\\u202etxt.exe.txt"}
    for name in names:
        write(src / name, DOCUMENT)
    with open(os.fsencode(src) + b"/\xffbad.txt", "wb") as f:
        f.write("Ion \xfe".encode("latin-1"))          # neither its name nor its text is UTF-8
    write(src / "fake\ntarnis: 9 documents anonymized, 0 failed.txt", DOCUMENT)

    table = run("detect", src, "--rules-only")
    assert table.returncode == 1
    out, messages = table.stdout.decode("utf-8"), err(table)
    for name, escaped in names.items():
        assert f"== {src}/{escaped}: 3 detections" in out
    assert f"{src}/\\xffbad.txt: not valid UTF-8" in messages
    assert f"failed: {src}/\\xffbad.txt" in messages
    assert "\x1b" not in out + messages and "\u202e" not in out + messages
    assert [line for line in messages.splitlines() if "documents analyzed" in line] == [
        line for line in messages.splitlines() if line.startswith("tarnis: 4 documents analyzed, 1 failed")]
    assert all(line.startswith("tarnis: ") for line in messages.splitlines())

    as_json = run("detect", src, "--rules-only", "--json")
    files = {json.loads(line)["file"] for line in as_json.stdout.decode("utf-8").splitlines()}
    assert files == {str(src / name) for name in names} | {str(src / "fake\ntarnis: 9 documents anonymized, "
                                                                   "0 failed.txt")}

    anonymized = run("anonymize", src, "--rules-only")
    assert anonymized.returncode == 1
    assert all(line.startswith("tarnis: ") for line in err(anonymized).splitlines())
    assert "\x1b" not in err(anonymized)
    again = run("anonymize", src, "--rules-only")
    assert f"{src}/a\\nb.txt: {src}/a\\nb.anon.txt and {src}/a\\nb.map.json already exist" in err(again)


def test_json_keeps_a_name_that_is_not_utf8(tmp_path):
    name = os.fsencode(tmp_path) + b"/\xff.txt"
    with open(name, "w") as f:
        f.write(DOCUMENT)
    proc = run("detect", os.fsdecode(name), "--rules-only", "--json")
    assert proc.returncode == 0, err(proc)
    files = {os.fsencode(json.loads(line)["file"]) for line in proc.stdout.decode("utf-8").splitlines()}
    assert files == {name}
