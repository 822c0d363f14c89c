"""Throughput of `anonymize_dataframe` on a local Spark against the command.

Generates 2,000 Romanian documents of about 2 KB (tests/support/corpus.py), runs
`tarnis anonymize --rules-only` over them as files (with `--jobs 2` where the
command has it), then `anonymize_dataframe(..., rules_only=True)` in
`local[2]` over the same texts, and prints documents per second of both, the
Spark run once with cold workers (analyzers built during the run) and once
warm, and the per-task start-up cost: the time of a task over one small
document, less that document's own processing time.

    python bench/bench_spark.py [--documents N] [--size CHARS]
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support import corpus  # noqa: E402

_SUMMARY = re.compile(r"(\d+) documents? anonymized, (\d+) failed, in ([\d.]+) s")


def command(folder: Path, out: Path) -> tuple[float, float, int]:
    """(processing-loop seconds, wall seconds, documents) of the command."""
    base = [sys.executable, "-m", "tarnis", "anonymize", str(folder), "-o", str(out), "--rules-only"]
    helptext = subprocess.run([sys.executable, "-m", "tarnis", "anonymize", "--help"],
                              capture_output=True, text=True).stdout
    if "--jobs" in helptext:
        base += ["--jobs", "2"]
    started = time.perf_counter()
    proc = subprocess.run(base, capture_output=True, text=True, env=dict(os.environ, HF_HUB_OFFLINE="1"))
    wall = time.perf_counter() - started
    m = _SUMMARY.search(proc.stderr)
    if proc.returncode != 0 or not m:
        sys.exit(f"the command failed ({proc.returncode}):\n{proc.stderr}")
    return float(m[3]), wall, int(m[1])


def timed(action) -> float:
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=2000)
    parser.add_argument("--size", type=int, default=2000, help="characters per document")
    parser.add_argument("--partitions", type=int, default=8)
    options = parser.parse_args()
    try:
        from pyspark.sql import SparkSession
    except ImportError:
        print("pyspark is not installed (pip install 'tarnis[spark]'): skipped")
        return
    if not (os.environ.get("JAVA_HOME") or shutil.which("java")):
        print("no Java runtime (apt-get install openjdk-17-jre-headless): skipped")
        return
    from tarnis.spark import anonymize_dataframe

    texts = [corpus.generate(size=options.size, entities=max(1, options.size // 250), seed=i)[0]
             for i in range(options.documents)]
    megabytes = sum(len(t.encode("utf-8")) for t in texts) / 1e6
    print(f"{len(texts)} documents of about {options.size} characters ({megabytes:.2f} MB)")

    with tempfile.TemporaryDirectory(prefix="tarnis-bench-spark-") as tmp:
        folder = Path(tmp) / "in"
        folder.mkdir()
        for i, text in enumerate(texts):
            (folder / f"doc{i:04d}.txt").write_text(text, encoding="utf-8")
        loop, wall, done = command(folder, Path(tmp) / "out")
    print("tarnis anonymize --rules-only:")
    print(f"  processing loop      {loop:.2f} s  ->  {done / loop:.1f} documents/s")
    print(f"  whole run (wall)     {wall:.2f} s  ->  {done / wall:.1f} documents/s")

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    started = time.perf_counter()
    spark = (SparkSession.builder.master("local[2]").appName("tarnis bench")
             .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
             .getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    session_seconds = time.perf_counter() - started
    try:
        df = spark.createDataFrame([(i, t) for i, t in enumerate(texts)], "id long, text string") \
            .repartition(options.partitions).cache()
        df.count()

        def run(frame):
            anonymize_dataframe(frame, rules_only=True).write.format("noop").mode("overwrite").save()

        cold = timed(lambda: run(df))
        warm = timed(lambda: run(df))
        print(f"anonymize_dataframe in local[2] ({options.partitions} partitions):")
        print(f"  session start        {session_seconds:.2f} s")
        print(f"  cold workers         {cold:.2f} s  ->  {len(texts) / cold:.1f} documents/s "
              f"(analyzers built during the run)")
        print(f"  warm workers         {warm:.2f} s  ->  {len(texts) / warm:.1f} documents/s")
        print(f"  Spark / command      {(len(texts) / warm) / (done / loop):.2f}x the command's processing "
              f"loop (warm), {(len(texts) / cold) / (done / wall):.2f}x its whole run (cold)")

        tasks = 64
        small = spark.createDataFrame([(i, texts[i]) for i in range(tasks)], "id long, text string") \
            .repartition(tasks).cache()
        small.count()
        one_each = timed(lambda: run(small))
        per_document = warm / len(texts) * 2          # two workers ran in parallel
        print(f"  per-task start-up    {(one_each / tasks * 2 - per_document) * 1000:.0f} ms "
              f"({tasks} tasks of one document each: {one_each:.2f} s)")
    finally:
        spark.stop()


if __name__ == "__main__":
    main()
