"""`tarnis anonymize PATH... --map CASE.map.json`: one entity map for a whole
case, and `tarnis restore` with it. The command runs in this process
(main()), rules only, except where worker processes are the point."""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path

import pytest

from support import corpus
from tarnis.cli import case as case_module
from tarnis.cli import staging
from tarnis.cli.main import main
from test_cli import snapshot, write

RULES = "--rules-only"
CLAIM = "Reclamanta Maria Ionescu, CNP 2850101123453, cont RO49AAAA1B31007593840000.\n"
DEFENCE = ("Pârâtul Vasile Pop, CNP 1850101123456, răspunde reclamantei MARIA IONESCU, "
           "cont RO49 AAAA 1B31 0075 9384 0000.\n")
LATER = "Decizia: reclamanta Maria Ionescu și pârâtul Andrei Matei, CNP 1780315123453.\n"


def tarnis(*args) -> int:
    return main([str(a) for a in args])


def anonymize_case(tmp_path, *docs, jobs=1, map_name="case.map.json", extra=()) -> tuple[int, Path]:
    case_map = tmp_path / map_name
    return tarnis("anonymize", *docs, "-o", tmp_path / "out", "--map", case_map, RULES, "-j", jobs, "-q",
                  *extra), case_map


def case_dir(tmp_path, **docs) -> Path:
    folder = tmp_path / "in"
    for name, text in docs.items():
        write(folder / f"{name}.txt", text)
    return folder


def placeholders_of(path: Path) -> list[str]:
    import re
    return re.findall(r"\[[A-Z_]+_\d+\]", path.read_text("utf-8"))


def test_one_map_for_the_case_extended_by_a_later_run(tmp_path, capsys):
    folder = case_dir(tmp_path, a_claim=CLAIM, b_defence=DEFENCE)
    status, case_map = anonymize_case(tmp_path, folder)
    assert status == 0, capsys.readouterr().err
    out = tmp_path / "out"
    assert sorted(p.name for p in out.iterdir()) == ["a_claim.anon.txt", "b_defence.anon.txt"]   # no NAME.map.json
    claim, defence = (out / "a_claim.anon.txt").read_text(), (out / "b_defence.anon.txt").read_text()
    # The same person and account in both documents, whatever their spelling
    assert claim == "Reclamanta [PERSON_NAME_1], CNP [CNP_1], cont [IBAN_CODE_1].\n"
    assert defence == ("Pârâtul [PERSON_NAME_2], CNP [CNP_2], răspunde reclamantei [PERSON_NAME_1], "
                       "cont [IBAN_CODE_1].\n")
    first = json.loads(case_map.read_text("utf-8"))
    assert os.stat(case_map).st_mode & 0o777 == 0o600
    assert first["tarnis:case"] == {"format": "tarnis-case-map/1"} and len(first["tarnis:documents"]) == 2

    later = write(tmp_path / "in2" / "c_decision.txt", LATER)
    status, _ = anonymize_case(tmp_path, later)
    assert status == 0
    assert (out / "c_decision.anon.txt").read_text() == \
        "Decizia: reclamanta [PERSON_NAME_1] și pârâtul [PERSON_NAME_3], CNP [CNP_3].\n"
    second = json.loads(case_map.read_text("utf-8"))
    for entity_type, inner in first.items():
        if not entity_type.startswith("tarnis:"):
            assert list(second[entity_type].items())[:len(inner)] == list(inner.items())
    assert len(second["tarnis:documents"]) == 3

    # Every document of the case restores from the case map; another one is refused, nothing written
    capsys.readouterr()
    # byte for byte, the defence's own spellings (MARIA IONESCU, the spaced account) included
    for anon, original in ((out / "a_claim.anon.txt", CLAIM), (out / "b_defence.anon.txt", DEFENCE),
                           (out / "c_decision.anon.txt", LATER)):
        assert tarnis("restore", anon, "--map", case_map, "-o", tmp_path / "back.txt", "-f", "-q") == 0
        assert (tmp_path / "back.txt").read_text() == original
    foreign = write(tmp_path / "foreign.anon.txt", "Alt dosar: [PERSON_NAME_1], CNP [CNP_1].\n")
    assert tarnis("restore", foreign, "--map", case_map, "-o", tmp_path / "foreign.txt") == 1
    assert "not a document of the case map" in capsys.readouterr().err
    assert not (tmp_path / "foreign.txt").exists()
    # The file still reads as the library's entity map
    from tarnis.processing import deanonymize_text
    assert deanonymize_text(claim, second) == CLAIM


def test_jobs_do_not_change_the_outputs_or_the_map(tmp_path):
    docs = {f"d{i}": corpus.generate(size=1200, entities=6, seed=i % 3)[0] + "\n" + (CLAIM if i % 2 else DEFENCE)
            for i in range(6)}
    folder = case_dir(tmp_path, **docs)
    results = {}
    for jobs in (1, 2):
        case_map = tmp_path / f"case{jobs}.map.json"
        status = tarnis("anonymize", folder, "-o", tmp_path / f"out{jobs}", "--map", case_map, RULES, "-j", jobs,
                        "-q")
        assert status == 0
        results[jobs] = snapshot(tmp_path / f"out{jobs}"), case_map.read_bytes()
    assert results[1] == results[2]


def live_process():
    return subprocess.Popen(["sleep", "60"])


@pytest.mark.parametrize("setup, message", [
    (lambda p: p.write_text("{not json"), "not a JSON entity map"),
    (lambda p: p.write_text("[]"), "not an entity map"),
    (lambda p: p.write_text('{"PERSON_NAME": {"Ion": 3}}'), "not an entity map"),
    (lambda p: p.write_text('{"PERSON_NAME": {"Maria": "P1"}}'), "does not map to a placeholder"),
    (lambda p: p.write_text('{"tarnis:case": {"format": "tarnis-case-map/9"}}'), "not known to this version"),
    (lambda p: p.write_text(json.dumps({"CNP": {"1": "[CNP_1]"}, "tarnis:document": {
        "format": "tarnis-map/2", "anonymized-sha256": "sha256:0", "anonymized-lines": "lines:",
        "own-placeholders": "own:"}})), "the map of one document"),
    ("missing-folder", "does not exist"),
    ("locked", "is in use by another run"),
    ("folder", "a folder, not a map file"),
])
def test_bad_case_maps_stop_the_run_and_change_nothing(tmp_path, capsys, setup, message):
    folder = case_dir(tmp_path, a_claim=CLAIM)
    case_map = tmp_path / "case.map.json"
    holder = None
    if setup == "missing-folder":
        case_map = tmp_path / "nowhere" / "case.map.json"
    elif setup == "locked":
        holder = live_process()
        (tmp_path / "case.map.json.lock").write_text(f"{holder.pid}-{staging._HOST_TAG}\n")
    elif setup == "folder":
        case_map.mkdir()
    else:
        setup(case_map)
    before = snapshot(tmp_path)
    try:
        status = tarnis("anonymize", folder, "-o", tmp_path / "out", "--map", case_map, RULES, "-q")
    finally:
        if holder is not None:
            holder.kill()
            holder.wait()
    assert status == 2
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err and "Maria" not in err
    assert snapshot(tmp_path) == before        # no output, the map and a foreign lock as they were


def test_a_stale_lock_of_a_dead_process_is_taken_over(tmp_path):
    folder = case_dir(tmp_path, a_claim=CLAIM)
    gone = subprocess.Popen(["true"])
    gone.wait()
    lock = tmp_path / "case.map.json.lock"
    lock.write_text(f"{gone.pid}-{staging._HOST_TAG}\n")
    status, case_map = anonymize_case(tmp_path, folder)
    assert status == 0 and case_map.exists() and not lock.exists()
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def test_the_map_is_in_place_before_each_document(tmp_path, monkeypatch):
    """No document of the run is ever in place while the map lacks its
    placeholders: each document's rename finds them in the map."""
    folder = case_dir(tmp_path, a_claim=CLAIM, b_defence=DEFENCE, c_decision=LATER)
    commit = staging.StagedFile.commit
    seen = []

    def checked(self, force):
        if self.target.name != "case.map.json":
            known = {p for t, inner in json.loads((tmp_path / "case.map.json").read_text()).items()
                     if not t.startswith("tarnis:") for p in inner.values()}
            assert set(placeholders_of(Path(self.tmp))) <= known
        seen.append(self.target.name)
        commit(self, force)

    monkeypatch.setattr(staging.StagedFile, "commit", checked)
    assert anonymize_case(tmp_path, folder)[0] == 0
    assert seen == ["case.map.json", "a_claim.anon.txt", "b_defence.anon.txt", "c_decision.anon.txt"]


@pytest.mark.parametrize("failure", ["interrupt", "map-unwritable"])
def test_a_run_stopped_midway_leaves_whole_documents_and_their_map(tmp_path, monkeypatch, capsys, failure):
    folder = case_dir(tmp_path, a_claim=CLAIM, b_defence=DEFENCE, c_decision=LATER)
    if failure == "interrupt":
        from tarnis.host import casemap

        commit = casemap.CaseMap.commit

        def interrupted(self, anonymized, exact=None):
            if "[PERSON_NAME_2]" in anonymized:     # the second document
                raise KeyboardInterrupt
            commit(self, anonymized, exact)

        monkeypatch.setattr(casemap.CaseMap, "commit", interrupted)
    else:
        def unwritable(*args):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(case_module, "write_case_map", unwritable)
    status, case_map = anonymize_case(tmp_path, folder)
    out = tmp_path / "out"
    leftovers = [p.name for p in tmp_path.rglob(".*")]
    assert leftovers == [] and not (tmp_path / "case.map.json.lock").exists()
    if failure == "interrupt":
        assert status == 130
        # the first document is done and restores; the second and third were never put in place
        assert sorted(p.name for p in out.iterdir()) == ["a_claim.anon.txt"]
        assert tarnis("restore", out / "a_claim.anon.txt", "--map", case_map, "-o", tmp_path / "back.txt") == 0
        assert (tmp_path / "back.txt").read_text() == CLAIM
        assert len(json.loads(case_map.read_text())["tarnis:documents"]) == 1
    else:
        assert status == 2 and "No space left on device" in capsys.readouterr().err
        assert not case_map.exists() and not any(out.iterdir())


def test_an_encrypted_case_map_stays_encrypted_and_restores_exactly(tmp_path, capsys, monkeypatch):
    from tarnis.host.mapcrypt import MAGIC
    monkeypatch.setenv("TARNIS_MAP_KEY", "o frază de trecere lungă")
    folder = case_dir(tmp_path, a_claim=CLAIM, b_defence=DEFENCE)
    status, case_map = anonymize_case(tmp_path, folder, extra=("--encrypt-map",))
    assert status == 0, capsys.readouterr().err
    sealed = case_map.read_bytes()
    assert sealed.startswith(MAGIC) and b"Ionescu" not in sealed and b"IONESCU" not in sealed
    # A later run must keep it encrypted: without --encrypt-map it is refused and nothing changes
    later = write(tmp_path / "in2" / "c_decision.txt", LATER)
    assert anonymize_case(tmp_path, later)[0] == 2
    assert "encrypted case map" in capsys.readouterr().err
    assert case_map.read_bytes() == sealed and not (tmp_path / "out" / "c_decision.anon.txt").exists()
    assert anonymize_case(tmp_path, later, extra=("--encrypt-map",))[0] == 0
    assert case_map.read_bytes().startswith(MAGIC)
    out = tmp_path / "out"
    for name, original in (("a_claim", CLAIM), ("b_defence", DEFENCE), ("c_decision", LATER)):
        assert tarnis("restore", out / f"{name}.anon.txt", "--map", case_map, "-o", tmp_path / "back.txt",
                      "-f", "-q") == 0
        assert (tmp_path / "back.txt").read_text("utf-8") == original
    # The wrong passphrase: exit 2, nothing written
    monkeypatch.setenv("TARNIS_MAP_KEY", "alta")
    assert tarnis("restore", out / "a_claim.anon.txt", "--map", case_map, "-o", tmp_path / "wrong.txt") == 2
    assert not (tmp_path / "wrong.txt").exists()
