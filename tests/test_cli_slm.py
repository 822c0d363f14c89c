"""The command's language-model stages (--verify, --review) against the
scripted loopback server, run as a user runs them: `python -m tarnis` in a
subprocess over copies of the sample documents."""

from __future__ import annotations

import json
import os
import re
import shutil
import stat
import threading
from pathlib import Path

import pytest

from support.slm_server import DROP, accept_all, payload_of, reject_all, verdicts
from tarnis.slm.prompts import SLM_REVIEW_SYSTEM_PROMPT
from test_cli import EXAMPLES, err, run, snapshot, write

RULES = "--rules-only"


def is_review(body) -> bool:
    return body["messages"][0]["content"] == SLM_REVIEW_SYSTEM_PROMPT


def review_answer(*names):
    return json.dumps({"entities": [{"text": n, "type": t} for n, t in names]})


def scripted(verify=accept_all, review=lambda body: review_answer()):
    return lambda body: review(body) if is_review(body) else verify(body)


@pytest.fixture
def samples(tmp_path):
    folder = tmp_path / "in"
    shutil.copytree(EXAMPLES, folder, ignore=shutil.ignore_patterns("*.py", "__pycache__"))
    return folder


def outputs(folder: Path) -> dict[str, tuple[str, dict]]:
    """Each document's anonymized text and entity map (the map file's own
    fingerprint entry left out)."""
    def entity_map(p: Path) -> dict:
        data = json.loads(p.with_name(p.name.replace(".anon.txt", ".map.json")).read_text(encoding="utf-8"))
        return {k: v for k, v in data.items() if not k.startswith("tarnis:")}
    return {p.name[: -len(".anon.txt")]: (p.read_text(encoding="utf-8"), entity_map(p))
            for p in sorted(folder.glob("*.anon.txt"))}


def restores(folder: Path, originals: Path) -> None:
    for name in outputs(folder):
        proc = run("restore", folder / f"{name}.anon.txt", "--map", folder / f"{name}.map.json")
        assert proc.returncode == 0, err(proc)
        assert proc.stdout == (originals / f"{name}.txt").read_bytes(), name


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    """The samples anonymized without any model stage."""
    out = tmp_path_factory.mktemp("plain")
    proc = run("anonymize", EXAMPLES, "-o", out, RULES)
    assert proc.returncode == 0, err(proc)
    return outputs(out)


def without(entity_type, anonymized, entity_map):
    """The anonymized text with the placeholders of one type restored."""
    for text, placeholder in entity_map.get(entity_type, {}).items():
        anonymized = anonymized.replace(placeholder, text)
    return anonymized


def test_rejecting_every_code_leaves_all_else_unchanged(slm_server, samples, tmp_path, plain):
    server = slm_server(scripted(verify=reject_all))
    out = tmp_path / "out"
    proc = run("anonymize", samples, "-o", out, RULES, "--verify", "--slm-url", server.base_url)
    assert proc.returncode == 0, err(proc)
    got = outputs(out)
    assert set(got) == set(plain)
    for name, (anonymized, entity_map) in got.items():
        plain_text, plain_map = plain[name]
        assert "[CODE_" not in anonymized and "CODE" not in entity_map
        assert entity_map == {t: inner for t, inner in plain_map.items() if t != "CODE"}
        assert anonymized == without("CODE", plain_text, plain_map)
    restores(out, samples)
    sent = [item["entity_type"] for body in server.requests for item in payload_of(body)]
    assert sent and set(sent) == {"CODE"}
    assert re.search(rf"verification: {len(sent)} detections sent to the model, 0 accepted \(0 reclassified\), "
                     rf"{len(sent)} rejected", err(proc))
    logs = out / "slm-logs"
    assert stat.S_IMODE(logs.stat().st_mode) == 0o700
    assert stat.S_IMODE((logs / "slm_request_log.jsonl").stat().st_mode) == 0o600


def test_review_replaces_a_missed_person_everywhere(slm_server, tmp_path):
    # A name no role word introduces: the rules leave it for the review.
    src = write(tmp_path / "in" / "chitanta.txt", "Chiria a fost plătită de Ion Popescu, CNP 1780315123453.\n"
                                                 "Ion Popescu a semnat la Cluj-Napoca, str. Memorandumului nr. 28.\n")
    proc = run("anonymize", src, "-o", tmp_path / "plain", RULES)
    assert proc.returncode == 0, err(proc)
    (plain_text, plain_map), = outputs(tmp_path / "plain").values()
    server = slm_server(scripted(review=lambda body: review_answer(
        ("Ion Popescu", "PERSON_NAME"), ("Nume Inventat", "PERSON_NAME"), ("Al", "PERSON_NAME"))))
    out = tmp_path / "out"
    proc = run("anonymize", src, "-o", out, RULES, "--review", "--slm-url", server.base_url)
    assert proc.returncode == 0, err(proc)
    (anonymized, entity_map), = outputs(out).values()
    assert "Ion Popescu" in plain_text and "Ion Popescu" not in anonymized
    assert anonymized == plain_text.replace("Ion Popescu", "[PERSON_NAME_1]")
    assert entity_map == {**plain_map, "PERSON_NAME": {"Ion Popescu": "[PERSON_NAME_1]",
                                                       "Nume Inventat": "[PERSON_NAME_2]"}}
    restores(out, src.parent)
    assert [body["messages"][1]["content"] for body in server.requests] == [plain_text]
    assert "review of 1 document: 1 missed name found and replaced (PERSON_NAME 1); 1 more reported" in err(proc)
    lines = (out / "slm-logs" / "slm_review_log.jsonl").read_text(encoding="utf-8").splitlines()
    assert [json.loads(line)["status"] for line in lines] == ["ok"]


def test_spellings_of_one_entity_share_a_placeholder_and_each_comes_back(tmp_path):
    # The documented merge: spellings differing only in case get one
    # placeholder; the map file records the spelling of each occurrence, so
    # restore gives back both and the command has nothing to warn about. The
    # library's restore, from the map alone, gives one spelling back.
    text = "Scrieți la ion.popescu@example.ro.\nSemnătura: ION.POPESCU@EXAMPLE.RO\n"
    mixed = write(tmp_path / "in" / "mixed.txt", text)
    plain = write(tmp_path / "in" / "plain.txt", text.replace("ION.POPESCU@EXAMPLE.RO", "ion.popescu@example.ro"))
    out = tmp_path / "out"
    proc = run("anonymize", tmp_path / "in", "-o", out, RULES)
    assert proc.returncode == 0, err(proc)
    got = outputs(out)
    for name in ("mixed", "plain"):
        anonymized, entity_map = got[name]
        assert anonymized == "Scrieți la [EMAIL_ADDRESS_1].\nSemnătura: [EMAIL_ADDRESS_1]\n", name
        assert set(entity_map["EMAIL_ADDRESS"].values()) == {"[EMAIL_ADDRESS_1]"}, name
    restored = run("restore", out / "mixed.anon.txt", "--map", out / "mixed.map.json")
    assert restored.returncode == 0, err(restored)
    assert restored.stdout == mixed.read_bytes()
    from tarnis.processing import deanonymize_text

    one_spelling = {text.replace("ION.POPESCU@EXAMPLE.RO", "ion.popescu@example.ro"),
                    text.replace("ion.popescu@example.ro", "ION.POPESCU@EXAMPLE.RO")}
    map_file = json.loads((out / "mixed.map.json").read_text(encoding="utf-8"))
    assert deanonymize_text(got["mixed"][0], map_file) in one_spelling
    assert "will not give back" not in err(proc) and str(plain) not in err(proc)


@pytest.mark.parametrize("stages", [["--verify"], ["--review"], ["--verify", "--review"]])
def test_server_down_at_start_writes_nothing(slm_server, samples, tmp_path, stages):
    server = slm_server()
    server.stop()
    before = snapshot(tmp_path)
    proc = run("anonymize", samples, "-o", tmp_path / "out", RULES, *stages, "--slm-url", server.base_url)
    assert proc.returncode == 2
    assert snapshot(tmp_path) == before
    message = err(proc)
    assert server.base_url in message and "Connection error" in message and "Start an OpenAI-compatible" in message


def test_model_missing_on_server_is_refused(slm_server, samples, tmp_path):
    server = slm_server(models=["llama3:8b"])
    proc = run("detect", samples, RULES, "--verify", "--slm-url", server.base_url)
    assert proc.returncode == 2
    assert "'qwen3.5:9b' not found" in err(proc) and "llama3:8b" in err(proc)
    assert not server.requests


def test_server_dying_during_review_fails_the_documents_left(slm_server, samples, tmp_path):
    reviews = []

    def review(body):
        reviews.append(body)
        if len(reviews) == 2:
            threading.Thread(target=server.stop).start()
            return DROP
        return review_answer()

    server = slm_server(scripted(review=review))
    out = tmp_path / "out"
    proc = run("anonymize", samples, "-o", out, RULES, "--verify", "--review", "--slm-url", server.base_url)
    assert proc.returncode == 1
    names = sorted(p.stem for p in samples.glob("*.txt"))
    assert sorted(outputs(out)) == names[:1]
    assert not list(out.glob(f"{names[1]}*")) and not list(out.glob(f"{names[2]}*"))
    message = err(proc)
    assert "1 document anonymized, 2 failed" in message
    assert re.search(rf"failed: .*{names[1]}\.txt, .*{names[2]}\.txt", message)
    assert "without --review" in message
    assert not [p for p in out.rglob("*") if p.name.endswith(".tmp")]


@pytest.mark.parametrize("on_failure, codes_kept, status", [
    ("accept", True, 0), ("reject", False, 0), ("error", None, 1)])
def test_verification_failing_later_follows_on_failure(slm_server, samples, tmp_path, plain,
                                                       on_failure, codes_kept, status):
    server = slm_server(scripted(verify=lambda body: 400))   # health check fine, every batch refused
    out = tmp_path / "out"
    proc = run("anonymize", samples, "-o", out, RULES, "--verify", "--slm-on-failure", on_failure,
               "--slm-url", server.base_url)
    assert proc.returncode == status, err(proc)
    got = outputs(out)
    if codes_kept is None:
        assert got == {}      # every sample has doubtful codes
        assert "could not verify" in err(proc) and "3 failed" in err(proc)
        return
    for name, (anonymized, entity_map) in got.items():
        plain_text, plain_map = plain[name]
        if codes_kept:
            assert (anonymized, entity_map) == (plain_text, plain_map)
        else:
            assert "CODE" not in entity_map and anonymized == without("CODE", plain_text, plain_map)
    assert "without an answer" in err(proc)


def test_detect_shows_verdicts(slm_server, samples, tmp_path):
    def verify(body):
        items = payload_of(body)
        out = [{"id": items[0]["id"], "pii": True, "reason": "a dossier", "entity_type": "ORGANIZATION"}]
        out += [{"id": i["id"], "pii": False, "reason": "generic"} for i in items[1:]]
        return verdicts(*out)

    server = slm_server(scripted(verify=verify))
    doc = samples / "cerere_instanta.txt"
    proc = run("detect", doc, RULES, "--verify", "--json", "--slm-url", server.base_url)
    assert proc.returncode == 0, err(proc)
    rows = [json.loads(line) for line in proc.stdout.decode("utf-8").splitlines()]
    sent = [r for r in rows if r["slm_sent"]]
    assert sent and all(r["slm_verdict"] in ("reclassified", "rejected") for r in sent)
    first = sent[0]
    assert (first["entity_type"], first["slm_verdict"], first["slm_reason"], first["slm_original_type"]) == (
        "ORGANIZATION", "reclassified", "a dossier", "CODE")
    assert all(r["slm_verdict"] is None and r["slm_reason"] is None for r in rows if not r["slm_sent"])
    assert (tmp_path / "in" / "slm-logs" / "slm_request_log.jsonl").exists()

    proc = run("detect", doc, RULES, "--verify", "--slm-url", server.base_url, "--slm-log-dir", tmp_path / "l")
    table = proc.stdout.decode("utf-8")
    assert "SLM" in table.splitlines()[1] and "REASON" in table.splitlines()[1]
    assert "reclassified (was CODE)" in table and "rejected" in table and "generic" in table
    assert f"{len(sent)} detections sent to the model, 1 accepted (1 reclassified), {len(sent) - 1} rejected" in err(
        proc)


@pytest.mark.parametrize("args, message", [
    (["anonymize", "x.txt", "--slm-url", "http://h/v1"], "no language-model stage"),
    (["detect", "x.txt", "--slm-on-failure", "reject"], "add --verify)"),
    (["detect", "x.txt", "--raw", "--verify"], "--raw"),
    (["detect", "x.txt", "--review"], "unrecognized arguments: --review"),
    (["anonymize", "x.txt", "--verify", "--slm-on-failure", "drop"], "invalid choice"),
])
def test_usage_errors(args, message):
    proc = run(*args)
    assert proc.returncode == 2 and message in err(proc)


def test_logs_beside_the_first_input_without_output_folder(slm_server, samples):
    server = slm_server(scripted())
    doc = samples / "cerere_instanta.txt"
    proc = run("anonymize", doc, RULES, "--review", "--slm-url", server.base_url)
    assert proc.returncode == 0, err(proc)
    assert (samples / "slm-logs" / "slm_review_log.jsonl").exists()
    assert (samples / "cerere_instanta.anon.txt").exists()
    assert os.stat(samples / "slm-logs").st_mode & 0o077 == 0


def test_unwritable_error_log_fails_the_unverified_documents(slm_server, samples, tmp_path):
    server = slm_server(scripted(verify=lambda body: 400))
    logs = tmp_path / "logs"
    (logs / "slm_error_log.jsonl").mkdir(parents=True)   # the error log cannot be written
    out = tmp_path / "out"
    proc = run("anonymize", samples, "-o", out, RULES, "--verify", "--slm-log-dir", logs,
               "--slm-url", server.base_url)
    assert proc.returncode == 1
    assert outputs(out) == {} and "IsADirectoryError" in err(proc) and "Traceback" not in err(proc)


# --- standard error quotes no document ----------------------------------------------------------

PLANTED_DOC = ("Eu, Ion Popescu, domiciliat în Cluj, legitimat cu BI nr. 004512, solicit copia "
               "dosarului nr. 12345/299/2023.\nAutoturismul cu numărul CJ 21 XTR a fost ridicat. Contul de "
               "utilizator ion.popescu85 rămâne activ.\n")
PLANTED = ["Popescu", "004512", "12345/299/2023", "CJ 21 XTR", "ion.popescu85", "legitimat", "Autoturismul"]


def echo_prompt(body):
    return body["messages"][1]["content"]


def keys_then_echo(body):
    """Verdicts keyed by the values and without "pii", then the echo."""
    items = payload_of(body)
    if body["messages"][1]["content"].count('"id"') == 3:
        return verdicts(*({"id": i["id"], i["value"]: i["context"]} for i in items))
    return echo_prompt(body)


def types_from_values(body):
    return verdicts(*({"id": i["id"], "pii": True, "entity_type": i["value"]} for i in payload_of(body)))


def review_echo(body):
    return '{"entities": [{"text" "' + body["messages"][1]["content"]


@pytest.mark.parametrize("command, verify", [
    (["detect", "--verify"], echo_prompt),
    (["detect", "--verify", "--slm-on-failure", "reject"], keys_then_echo),
    (["anonymize", "--verify", "--review"], types_from_values),
    (["anonymize", "--review"], None),
    (["anonymize", "--verify", "--review", "--slm-on-failure", "error"], echo_prompt)])
def test_standard_error_quotes_no_document_text(slm_server, tmp_path, command, verify):
    doc = tmp_path / "in" / "cerere.txt"
    doc.parent.mkdir()
    doc.write_text(PLANTED_DOC, encoding="utf-8")
    server = slm_server(scripted(verify=verify or accept_all, review=review_echo))
    logs = tmp_path / "logs"
    output = ["-o", tmp_path / "out"] if command[0] == "anonymize" else []
    proc = run(command[0], doc, RULES, *command[1:], *output, "--slm-log-dir", logs, "--slm-url", server.base_url)
    message = err(proc)
    assert "Traceback" not in message and "warning" in message      # the trouble is reported ...
    assert [s for s in PLANTED if s in message] == [], message       # ... without the document
    # Nothing is lost: the exchanges are in the logs, readable by their owner only.
    if verify is not None:
        request_log = logs / "slm_request_log.jsonl"
        assert "12345/299/2023" in request_log.read_text(encoding="utf-8")
        assert stat.S_IMODE(request_log.stat().st_mode) == 0o600
    if "--review" in command and "error" not in command:
        assert "Popescu" in (logs / "slm_review_log.jsonl").read_text(encoding="utf-8")


# --- time limit of the requests -----------------------------------------------------------------

def test_timeout_reaches_both_clients(slm_server, tmp_path):
    from tarnis import cli
    from tarnis.cli import spark_command

    server = slm_server(scripted())
    args = cli.build_parser().parse_args(["anonymize", str(tmp_path / "a.txt"), "--verify", "--review",
                                          "--slm-url", server.base_url, "--slm-timeout", "7.5",
                                          "--slm-log-dir", str(tmp_path / "logs")])
    stages = cli.slm_stages(args, cli.Console(quiet=True))
    assert stages.fallback.client.timeout == 7.5 and stages.reviewer.client.timeout == 7.5
    args = cli.build_parser().parse_args(["anonymize", str(tmp_path / "a.txt"), "--verify",
                                          "--slm-url", server.base_url])
    assert cli.slm_stages(args, cli.Console(quiet=True)).fallback.client.timeout == 120
    args = cli.build_parser().parse_args(["spark-anonymize", str(tmp_path), str(tmp_path / "o"), "--verify",
                                          "--slm-timeout", "9"])
    assert spark_command._verify_settings(args)["timeout"] == 9


@pytest.mark.parametrize("args, message", [
    (["detect", "x.txt", "--verify", "--slm-timeout", "0"], "not a positive number of seconds"),
    (["detect", "x.txt", "--verify", "--slm-timeout", "inf"], "not a positive number of seconds"),
    (["anonymize", "x.txt", "--slm-timeout", "30"], "--slm-timeout: no language-model stage"),
])
def test_timeout_usage_errors(args, message):
    proc = run(*args)
    assert proc.returncode == 2 and message in err(proc)
