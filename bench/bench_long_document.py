"""Seconds and peak memory of the rules-only pipeline of `tarnis anonymize
--rules-only` on one long document: the sample contract repeated to each
size, through the engine (recognizers, then the engine's own per-result work:
context enhancement, thresholds, duplicates), overlap resolution, the denylist
filter, anonymization and propagation, each stage timed apart. The engine's
lemma context enhancer is timed too on the same document for comparison
(--compare-walk), since it walks the tokens from the start for every result.

Usage: python bench/bench_long_document.py [--sizes 100,200,400,1000] [--compare-walk]

Measured on 2 shared cores (seconds; the machine was loaded, so single figures
vary by a factor of two or so):

      KB  results  engine  engine with walk  peak MiB
     100     1300    0.49              1.06       142
     200     2599    1.21             10.07       158
     400     5200    6.91             41.32       189
    1000    12994    7.23                 -       269

With the walk the engine's time grows fourfold for each doubling of the
document; with the binary search it grows with the number of results, the
context enhancement itself taking about 0.5 s at 1 MB.
"""

from __future__ import annotations

import argparse
import resource
import time
from pathlib import Path

CONTRACT = Path(__file__).resolve().parent.parent / "examples" / "contract_inchiriere.txt"


def peak_mib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", default="100,200,400,1000", help="document sizes in KB")
    parser.add_argument("--compare-walk", action="store_true",
                        help="also run the engine with Presidio's own context enhancer")
    args = parser.parse_args()

    from tarnis import cli
    cli._import_presidio_without_torch()
    from presidio_analyzer.context_aware_enhancers import LemmaContextAwareEnhancer

    from tarnis.processing import anonymize_text, filter_entity_denylist, postprocess_anonymized, resolve_overlaps

    engine = cli.build_rules_engine()
    walk = LemmaContextAwareEnhancer()
    base = CONTRACT.read_text(encoding="utf-8")
    print(f"{'KB':>6} {'results':>8} {'kept':>6} {'recognizers':>11} {'context':>8} {'engine':>8} "
          f"{'rest':>6} {'s/MB':>6} {'peak MiB':>8}" + ("  engine with walk" if args.compare_walk else ""))
    for kb in (int(s) for s in args.sizes.split(",")):
        text = (base * (kb * 1024 // len(base) + 1))[: kb * 1024]
        nlp = engine.nlp_engine.process_text(text, "ro")
        started = time.perf_counter()
        raw = []
        recognizers = engine.registry.get_recognizers("ro", all_fields=True)
        for recognizer in recognizers:
            found = recognizer.analyze(text=text, entities=recognizer.supported_entities, nlp_artifacts=nlp) or []
            for r in found:
                r.recognition_metadata = {**(r.recognition_metadata or {}), "recognizer_identifier": recognizer.id}
            raw.extend(found)
        recognized = time.perf_counter()
        engine.context_aware_enhancer.enhance_using_context(text, raw, nlp, recognizers)
        enhanced = time.perf_counter()

        t0 = time.perf_counter()
        results = engine.analyze(text=text, language="ro", nlp_artifacts=nlp)
        t1 = time.perf_counter()
        kept = sorted(filter_entity_denylist(text, resolve_overlaps(results, text)), key=lambda r: (r.start, r.end))
        anonymized, entity_map = anonymize_text(text, kept)
        postprocess_anonymized(anonymized, entity_map)
        t2 = time.perf_counter()
        line = (f"{kb:>6} {len(results):>8} {len(kept):>6} {recognized - started:>11.2f} {enhanced - recognized:>8.2f} "
                f"{t1 - t0:>8.2f} {t2 - t1:>6.2f} {(t2 - t0) * 1024 / kb:>6.1f} {peak_mib():>8}")
        if args.compare_walk:
            engine.context_aware_enhancer, ours = walk, engine.context_aware_enhancer
            t3 = time.perf_counter()
            engine.analyze(text=text, language="ro", nlp_artifacts=nlp)
            line += f"  {time.perf_counter() - t3:>8.2f}"
            engine.context_aware_enhancer = ours
        print(line, flush=True)


if __name__ == "__main__":
    main()
