"""Throughput of the CNP recognizer and of anonymization on a generated ~1 MB
Romanian document, each beside a straightforward Python version of the same
function run on the same input in this process."""

from __future__ import annotations

import argparse
import copy
import gc
import os
import sys
import time

sys.path[:0] = [os.path.dirname(__file__), os.path.join(os.path.dirname(__file__), "..", "tests")]

from support import corpus  # noqa: E402
from support import reference  # noqa: E402
from presidio_analyzer import RecognizerResult  # noqa: E402

from tarnis import processing  # noqa: E402
from tarnis.recognizers.cnp import CnpRecognizer  # noqa: E402


def best_of(fn, repeat, prepare=None):
    """Best wall time of fn(prepare()) over `repeat` runs; prepare is untimed."""
    best = float("inf")
    for _ in range(repeat):
        arg = prepare() if prepare else None
        gc.collect()
        gc.disable()  # as timeit does: collector pauses are not the function's cost
        try:
            t = time.perf_counter()
            fn(arg) if prepare else fn()
            best = min(best, time.perf_counter() - t)
        finally:
            gc.enable()
    return best


def results_for(spans):
    return [RecognizerResult(entity_type=t, start=s, end=e, score=0.9) for t, s, e in spans]


def row(name, size, native, python):
    mb = size / 1e6
    print(f"{name:<26} native {mb / native:9.2f} MB/s   python {mb / python:8.2f} MB/s   ratio {python / native:7.1f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--entities", type=int, default=2_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    text, spans = corpus.generate(args.size, args.entities)
    print(f"document: {len(text):,} characters, {len(spans):,} planted entities")
    recognizer = CnpRecognizer()
    assert [(r.start, r.end, r.score) for r in recognizer.analyze(text, [])] == \
        [(r.start, r.end, r.score) for r in reference.cnp_results(text)]
    row("CnpRecognizer.analyze", len(text), best_of(lambda: recognizer.analyze(text, []), args.repeat),
        best_of(lambda: reference.cnp_results(text), args.repeat))

    base = results_for(spans)
    fresh = lambda: copy.deepcopy(base)  # noqa: E731  (person names are trimmed in place)
    row("anonymize_text", len(text),
        best_of(lambda rs: processing.anonymize_text(text, rs), args.repeat, fresh),
        best_of(lambda rs: reference.anonymize_text(text, rs), args.repeat, fresh))

    # Leave every fourth entity undetected so that propagation has work to do.
    partial = [r for i, r in enumerate(results_for(spans)) if i % 4]
    anonymized, entity_map = processing.anonymize_text(text, partial)
    assert processing.postprocess_anonymized(anonymized, entity_map) == \
        reference.postprocess_anonymized(anonymized, entity_map)
    row("postprocess_anonymized", len(anonymized),
        best_of(lambda: processing.postprocess_anonymized(anonymized, entity_map), 1),
        best_of(lambda: reference.postprocess_anonymized(anonymized, entity_map), 1))
    row("deanonymize_text", len(anonymized),
        best_of(lambda: processing.deanonymize_text(anonymized, entity_map), args.repeat),
        best_of(lambda: reference.deanonymize_text(anonymized, entity_map), args.repeat))

    print("\nCnpRecognizer.analyze on adversarial inputs: ms for 250 KB / 500 KB / 1 MB (flat ms/MB = linear)")
    shapes = {
        "only digits": "7",
        "only capitals": "CNPCNP",
        "single word": "cnpx1850101123456y",
        "'CNP: ' repeated": "CNP: ",
        "13-digit runs": "1850101123456 ",
    }
    for name, unit in shapes.items():
        times = []
        for size in (250_000, 500_000, 1_000_000):
            doc = (unit * (size // len(unit) + 1))[:size]
            times.append(best_of(lambda: recognizer.analyze(doc, []), args.repeat))
        print(f"  {name:<18} " + " / ".join(f"{t * 1e3:7.1f}" for t in times) +
              f"   ({times[-1] * 1e3:.1f} ms/MB at 1 MB, {times[0] * 4e3:.1f} at 250 KB)")

    print("\nanonymize_text against document size (linear means constant MB/s):")
    for size in (250_000, 500_000, 1_000_000, 2_000_000):
        t, s = corpus.generate(size, size * args.entities // args.size)
        base = results_for(s)
        native = best_of(lambda rs: processing.anonymize_text(t, rs), args.repeat, lambda: copy.deepcopy(base))
        print(f"  {size / 1e6:4.2f} MB, {len(s):5d} entities: {native * 1e3:7.1f} ms  {size / 1e6 / native:7.1f} MB/s")


if __name__ == "__main__":
    main()
