"""Record what the command writes, so that two versions of the package can be
compared byte for byte.

    python tools/check_outputs.py RESULT [--site DIR] [--documents N]
    diff -r RESULT_BEFORE RESULT_AFTER

The inputs are the examples, a generated corpus (contract-like documents and
documents dense with every kind of identifier, plus an empty one, one that is
not UTF-8 and one whose restoration differs) and, when python-docx is there,
two Word documents. Every run uses the same absolute paths (a fixed folder
under the temporary folder), so that the names printed are the same from one
version to the next. For each of --jobs 1 and --jobs 2 the script records the
exit status, standard output and standard error (with the timings of the
summary lines taken out) of `anonymize -o`, `detect` and `detect --json`, all
rules-only, and every file written; the same with the language-model stages
(`--verify`, and `--review` for anonymize) against a scripted server on
127.0.0.1 that rejects every third doubtful detection and reports names it
sees; then `restore` of the anonymized documents (to standard output, and
with -o for Word documents). `--site DIR`
puts DIR first on the PYTHONPATH of the commands (a built copy of the
package); by default the interpreter's own package runs.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
WORK = Path(tempfile.gettempdir()) / "tarnis-output-check"
TIMING = re.compile(r" in [\d.]+ s \(([\d.]+|-) documents/s; analyzer built in [\d.]+ s\)")
SERVER = re.compile(r"http://127\.0\.0\.1:\d+")
NAMES = ("Popescu", "Ionescu", "Rusu", "Marin", "Vlad")


def generators():
    """The corpus generators, wherever this version of the repository keeps them."""
    sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "bench")]
    try:
        from support import corpus, leakgen
    except ImportError:
        import corpus
        import leakgen
    return corpus, leakgen


def write_inputs(folder: Path, count: int) -> None:
    corpus, leakgen = generators()
    shutil.copytree(EXAMPLES, folder / "examples", ignore=shutil.ignore_patterns("*.py", "__pycache__"))
    gen = folder / "corpus"
    gen.mkdir(parents=True)
    half = count // 2
    for i in range(half):
        text, _ = corpus.generate(size=800 + 97 * (i % 40), entities=3 + i % 9, seed=i)
        (gen / f"c{i:03d}.txt").write_bytes(text.encode("utf-8"))
    for i, doc in enumerate(leakgen.documents(count - half, seed=11)):
        (gen / "dense" / f"d{i:03d}.txt").parent.mkdir(exist_ok=True)
        (gen / "dense" / f"d{i:03d}.txt").write_bytes(doc.text.encode("utf-8"))
    (gen / "empty.txt").write_bytes(b"")
    (gen / "latin1.txt").write_bytes("Str. Mihai Eminescu nr. 5, cod po\xb8tal".encode("latin-1"))
    (gen / "twice.txt").write_bytes("Cont: RO49AAAA1B31007593840000.\nAcelași cont: RO49 AAAA 1B31 0075 9384 "
                                    "0000.\n".encode("utf-8"))
    try:
        import docx
    except ImportError:
        return
    for n, lines in enumerate([["Subsemnatul Ion Popescu, CNP 1850101123456, domiciliat în Str. Florilor nr. 3.",
                                "Cont IBAN RO49AAAA1B31007593840000, e-mail ion.popescu@example.ro."],
                               ["Reclamanta Maria Ionescu, telefon 0722 123 456.", "", "Pârâtul Vasile Rusu."]]):
        d = docx.Document()
        for line in lines:
            p = d.add_paragraph(line[: len(line) // 2])
            p.add_run(line[len(line) // 2:]).bold = True
        d.core_properties.author = "Ion Popescu"
        d.save(str(gen / f"word{n}.docx"))


def scripted(body: dict) -> str:
    """The server's answers: verdicts on the doubtful detections (every
    third one rejected), or for a review the names of NAMES in the part."""
    user = body["messages"][1]["content"]
    if "Entities:\n" in user:
        items = json.loads(user[user.index("Entities:\n") + len("Entities:\n"):])
        return json.dumps({"results": [{"id": item["id"], "reason": "scripted", "pii": n % 3 != 2}
                                       for n, item in enumerate(items)]})
    return json.dumps({"entities": [{"text": name, "type": "PERSON_NAME"} for name in NAMES if name in user]})


def run(args: list, site: str | None, log: Path) -> None:
    env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1")
    if site:
        env["PYTHONPATH"] = os.pathsep.join([site, *filter(None, [env.get("PYTHONPATH")])])
    proc = subprocess.run([sys.executable, "-m", "tarnis", *map(str, args)], env=env, capture_output=True,
                          cwd=WORK)
    log.parent.mkdir(parents=True, exist_ok=True)
    stderr = "\n".join(SERVER.sub("(server)", TIMING.sub(" in (time)", line))
                        for line in proc.stderr.decode("utf-8").splitlines())
    log.with_suffix(".stdout").write_bytes(proc.stdout)
    log.with_suffix(".stderr").write_text(stderr + "\n", encoding="utf-8")
    log.with_suffix(".status").write_text(f"{proc.returncode}\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("result", type=Path, help="folder to record into (must not exist)")
    parser.add_argument("--site", help="folder put first on the commands' PYTHONPATH")
    parser.add_argument("--documents", type=int, default=300, help="generated documents (default 300)")
    args = parser.parse_args()
    if args.result.exists():
        parser.error(f"{args.result} exists")
    shutil.rmtree(WORK, ignore_errors=True)
    inputs, out = WORK / "in", WORK / "out"
    write_inputs(inputs, args.documents)
    site = os.path.abspath(args.site) if args.site else None
    from support.slm_server import ScriptedServer
    server = ScriptedServer(scripted)
    for name in ("examples", "corpus"):
        source = inputs / name
        for jobs in ("1", "2"):
            base = out / name / f"jobs{jobs}"
            options = ["--rules-only", "--jobs", jobs]
            run(["anonymize", source, "-o", base / "anonymized", *options], site, base / "anonymize")
            run(["detect", source, *options], site, base / "detect")
            run(["detect", "--json", source, *options], site, base / "detect-json")
            slm = [*options, "--verify", "--slm-url", server.base_url, "--slm-log-dir", WORK / "logs"]
            run(["anonymize", source, "-o", base / "anonymized-slm", *slm, "--review"], site, base / "anonymize-slm")
            run(["detect", source, *slm], site, base / "detect-slm")
            run(["detect", "--json", source, *slm], site, base / "detect-json-slm")
        anonymized = out / name / "jobs1" / "anonymized"
        for n, anon in enumerate(sorted(anonymized.rglob("*.anon.*"))):
            stem = anon.name[: anon.name.index(".anon.")]
            emap = anon.with_name(stem + ".map.json")
            log = out / name / "restore" / anon.relative_to(anonymized).parent / stem
            if anon.suffix == ".docx":
                run(["restore", anon, "--map", emap, "-o", log.with_suffix(".restored.docx")], site, log)
            elif n % 3 == 0 or name == "examples":
                run(["restore", anon, "--map", emap], site, log)
    server.stop()
    # Word packages hold the time they were written: compare their parts instead.
    for word in sorted(out.rglob("*.docx")):
        import zipfile
        with zipfile.ZipFile(word) as z:
            for info in z.infolist():
                target = word.with_name(word.name + ".parts") / info.filename
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(z.read(info))
        word.unlink()
    shutil.copytree(out, args.result)
    files = sum(1 for p in args.result.rglob("*") if p.is_file())
    print(f"{files} files recorded in {args.result}")


if __name__ == "__main__":
    main()
