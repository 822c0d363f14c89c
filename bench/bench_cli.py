"""Throughput of the `tarnis` command in rules-only mode.

Writes 1,000 generated Romanian documents of about 2 KB each (tests/support/corpus.py)
to a temporary folder, runs `python -m tarnis anonymize --rules-only` over
them in a child process, and prints documents per second of the processing
loop, the time to build the analyzer, the whole run's wall time, and the
peak memory of the child process. `detect --json` is measured the same way,
and `anonymize --verify --review` against the scripted loopback server of the
tests, which answers at once (every doubtful detection accepted, one missed
name per review), so that the figure is the command's own cost per document.

    python bench/bench_cli.py [--documents N] [--size BYTES] [--jobs N] [--scaling-only] [--repeat N]

`--jobs N` is passed to every run (default: the command's own default, one
worker process per usable core). The last figures compare `anonymize
--rules-only` and `detect --rules-only --json` with `--jobs 1` and with one
worker per usable core (at least 2): documents/s of the processing loop and
their ratio, the best of `--repeat` alternating runs (other load on the
machine only ever slows a run down), and the CPU time per document of all
the command's processes together (start-up left out), which other load does
not change. `--scaling-only` prints only those.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path[:0] = [str(Path(__file__).resolve().parent), str(Path(__file__).resolve().parent.parent / "tests")]
from support import corpus  # noqa: E402
from support.slm_server import ScriptedServer, accept_all  # noqa: E402

_SUMMARY = re.compile(r"(\d+) documents? (?:anonymized|analyzed), (\d+) failed, in ([\d.]+) s "
                      r"\(([\d.]+|-) documents/s; analyzer built in ([\d.]+) s\)")


def write_documents(folder: Path, count: int, size: int) -> int:
    total = 0
    for i in range(count):
        text, _ = corpus.generate(size=size, entities=max(1, size // 250), seed=i)
        data = text.encode("utf-8")
        (folder / f"doc{i:04d}.txt").write_bytes(data)
        total += len(data)
    return total


# CPU seconds (user and system) of the last run, its worker processes included.
last_cpu = 0.0


def run(args: list[str]) -> tuple[float, str, int, float]:
    """Run the command; returns wall seconds, its standard error, its standard
    output size and the peak resident memory of that child in MiB."""
    global last_cpu
    env = dict(os.environ, HF_HUB_OFFLINE="1")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        started = time.perf_counter()
        proc = subprocess.Popen([sys.executable, "-m", "tarnis", *args], env=env, stdout=out, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)          # this child's own resource usage
        wall = time.perf_counter() - started
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        stderr = err.read().decode("utf-8")
        out_bytes = out.tell()
    if proc.returncode != 0:
        sys.exit(f"tarnis {' '.join(args)} failed ({proc.returncode}):\n{stderr}")
    # The workers, waited for by the command, count in its usage.
    last_cpu = usage.ru_utime + usage.ru_stime
    return wall, stderr, out_bytes, usage.ru_maxrss / 1024      # ru_maxrss is in KiB on Linux


def report(name: str, wall: float, stderr: str, peak_mib: float, megabytes: float) -> None:
    m = _SUMMARY.search(stderr)
    if not m:
        sys.exit(f"no summary in the output of {name}:\n{stderr}")
    docs, failed, seconds, _, build = int(m[1]), int(m[2]), float(m[3]), m[4], float(m[5])
    print(f"{name}:")
    print(f"  documents            {docs} ({failed} failed), {megabytes:.2f} MB")
    print(f"  processing loop      {seconds:.2f} s  ->  {docs / seconds:.1f} documents/s, "
          f"{megabytes / seconds:.2f} MB/s")
    print(f"  analyzer build       {build:.2f} s")
    print(f"  whole run (wall)     {wall:.2f} s, imports and start-up included "
          f"({docs / wall:.1f} documents/s)")
    print(f"  peak memory (child)  {peak_mib:.0f} MiB")


def loop_rate(stderr: str) -> float:
    m = _SUMMARY.search(stderr)
    if not m:
        sys.exit(f"no summary in the output:\n{stderr}")
    return int(m[1]) / float(m[3])


def scaling(folder: Path, small: Path, tmp: Path, repeat: int) -> None:
    """Documents/s with one process and with one worker per core, and the CPU
    time per document (a run over the few documents of `small` gives the
    start-up's share)."""
    cores = max(2, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 2)
    count, few = len(list(folder.glob("*.txt"))), len(list(small.glob("*.txt")))
    commands = {
        "anonymize --rules-only": lambda src, jobs, i: ["anonymize", str(src), "-o", str(tmp / f"scale-{jobs}-{i}"),
                                                        "--rules-only", "--jobs", str(jobs)],
        "detect --rules-only --json": lambda src, jobs, i: ["detect", str(src), "--rules-only", "--json",
                                                            "--jobs", str(jobs)],
    }
    for name, command in commands.items():
        best = {1: 0.0, cores: 0.0}
        cpu = {1: float("inf"), cores: float("inf")}
        for i in range(repeat):
            for jobs in best:
                run(command(small, jobs, f"small-{i}"))
                startup = last_cpu
                _, stderr, _, _ = run(command(folder, jobs, i))
                best[jobs] = max(best[jobs], loop_rate(stderr))
                cpu[jobs] = min(cpu[jobs], (last_cpu - startup) / (count - few))
        print(f"tarnis {name}, --jobs 1 against --jobs {cores} (best of {repeat}):")
        for jobs in best:
            print(f"  --jobs {jobs:<13} {best[jobs]:.1f} documents/s, {1000 * cpu[jobs]:.2f} ms of CPU per document "
                  f"(all processes)")
        print(f"  ratio                {best[cores] / best[1]:.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=1000)
    parser.add_argument("--size", type=int, default=2000, help="characters per document")
    parser.add_argument("--jobs", type=int, help="worker processes of the command (default: its own default)")
    parser.add_argument("--scaling-only", action="store_true",
                        help="only compare --jobs 1 with one worker per core")
    parser.add_argument("--repeat", type=int, default=2, help="runs of each side of the comparison (best kept)")
    options = parser.parse_args()
    jobs = ["--jobs", str(options.jobs)] if options.jobs else []

    with tempfile.TemporaryDirectory(prefix="tarnis-bench-") as tmp:
        folder = Path(tmp) / "in"
        folder.mkdir()
        megabytes = write_documents(folder, options.documents, options.size) / 1e6
        small = Path(tmp) / "small"
        small.mkdir()
        for doc in sorted(folder.glob("*.txt"))[:max(2, options.documents // 20)]:
            (small / doc.name).write_bytes(doc.read_bytes())
        print(f"{options.documents} documents of about {options.size} characters in {folder}"
              f"{f', --jobs {options.jobs}' if options.jobs else ''}")
        if options.scaling_only:
            scaling(folder, small, Path(tmp), options.repeat)
            return

        wall, stderr, _, peak = run(["anonymize", str(folder), "-o", str(Path(tmp) / "out"), "--rules-only", *jobs])
        report("tarnis anonymize --rules-only", wall, stderr, peak, megabytes)

        wall, stderr, out_bytes, peak = run(["detect", str(folder), "--rules-only", "--json", *jobs])
        report("tarnis detect --rules-only --json", wall, stderr, peak, megabytes)
        print(f"  output               {out_bytes / 1e6:.2f} MB of JSON lines")

        def script(body):
            if "Entities:" in body["messages"][1]["content"]:
                return accept_all(body)
            return '{"entities": [{"text": "Ion Popescu", "type": "PERSON_NAME"}]}'

        with ScriptedServer(script) as server:
            wall, stderr, _, peak = run(["anonymize", str(folder), "-o", str(Path(tmp) / "out-slm"), "--rules-only",
                                         "--verify", "--review", "--slm-url", server.base_url, *jobs])
            report("tarnis anonymize --rules-only --verify --review (server answering at once)", wall, stderr,
                   peak, megabytes)
            verify = sum(1 for b in server.requests if "Entities:" in b["messages"][1]["content"])
            print(f"  requests             {verify} verification batches, {len(server.requests) - verify} "
                  f"review chunks")

        scaling(folder, small, Path(tmp), options.repeat)


if __name__ == "__main__":
    main()
