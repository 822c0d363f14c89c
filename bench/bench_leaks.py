"""Leak rate of the rules-only road over generated documents.

Builds 10,000 documents (fixed seed) from planted identifiers of every
rule-based type in many spellings (tests/support/leakgen.py), runs each through
analysis, overlap resolution, the denylist filter, anonymization and
propagation with the engine of `tarnis --rules-only`, and prints per planted
type how many identifiers kept three or more consecutive letters or digits of
theirs outside every placeholder; then the spellings that leak most, with an
example each.

Run: python bench/bench_leaks.py [--documents N] [--seed S] [--dump FILE]
(FILE receives every leaking document, its anonymized text and what leaked.)
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections import Counter
from pathlib import Path

sys.path[:0] = [str(Path(__file__).resolve().parent), str(Path(__file__).resolve().parent.parent / "tests")]

from support import leakgen  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--documents", type=int, default=10_000)
    ap.add_argument("--seed", type=int, default=2026)
    ap.add_argument("--dump", type=Path)
    args = ap.parse_args()

    print(f"load average before: {os.getloadavg()[0]:.2f}")
    started = time.perf_counter()
    engine = leakgen.rules_engine()
    print(f"engine built in {time.perf_counter() - started:.1f} s")
    docs = leakgen.documents(args.documents, args.seed)
    planted, leaked, by_spelling, planted_spelling = Counter(), Counter(), Counter(), Counter()
    examples: dict[tuple[str, str], str] = {}
    leaking_docs = 0
    dump = args.dump.open("w", encoding="utf-8") if args.dump else None
    started = time.perf_counter()
    for doc in docs:
        anonymized, _, _ = leakgen.anonymize(engine, doc.text)
        found = leakgen.leaks(doc, anonymized)
        for p in doc.planted:
            planted[p.kind] += 1
            planted_spelling[p.kind, p.spelling] += 1
        for p, run in found:
            leaked[p.kind] += 1
            by_spelling[p.kind, p.spelling] += 1
            examples.setdefault((p.kind, p.spelling), f"{doc.value(p)!r} -> {run!r} in {anonymized!r}")
        if found:
            leaking_docs += 1
            if dump:
                dump.write(f"TEXT {doc.text!r}\nANON {anonymized!r}\n")
                for p, run in found:
                    dump.write(f"LEAK {p.kind}/{p.spelling} {doc.value(p)!r} keeps {run!r}\n")
                dump.write("\n")
    elapsed = time.perf_counter() - started
    if dump:
        dump.close()

    print(f"{len(docs)} documents (seed {args.seed}) in {elapsed:.1f} s "
          f"({len(docs) / elapsed:.0f} documents/s); load average after: {os.getloadavg()[0]:.2f}")
    print(f"documents with a leak: {leaking_docs} ({100 * leaking_docs / len(docs):.2f} %)")
    print(f"{'type':10} {'planted':>8} {'leaked':>7} {'rate':>8}")
    for kind in leakgen.KINDS:
        n, k = planted[kind], leaked[kind]
        print(f"{kind:10} {n:8d} {k:7d} {100 * k / max(n, 1):7.2f}%")
    total_n, total_k = sum(planted.values()), sum(leaked.values())
    print(f"{'all':10} {total_n:8d} {total_k:7d} {100 * total_k / max(total_n, 1):7.2f}%")
    if by_spelling:
        print("\nleaking spellings (leaked / planted), with one example:")
        for (kind, spelling), k in by_spelling.most_common():
            print(f"  {kind}/{spelling}: {k}/{planted_spelling[kind, spelling]}")
            print(f"      {examples[kind, spelling][:300]}")


if __name__ == "__main__":
    main()
