"""Restoration and propagation on entity-dense generated documents of 200 KB to
4 MB: times that must grow linearly with the text, whether or not the text
holds brackets that open no placeholder.

- `deanonymize_text` on the anonymized text, and on the same text with " [1]"
  appended (a bracket that opens no placeholder), checked against a Python
  one-pass restore.
- `postprocess_anonymized` with a quarter of the entities left to propagate,
  beside the entity-by-entity path of the same function (taken when one
  entity of the map needs the regular-expression engine: here an entity that
  matches nothing), interleaved, results checked to be identical. The
  entity-by-entity path grows with the text times the entities, so it is run
  only up to --old-limit characters.

Prints best and worst of --repeat runs and the load average before and after.
"""

from __future__ import annotations

import argparse
import os
import re
import sys

sys.path[:0] = [os.path.dirname(__file__), os.path.join(os.path.dirname(__file__), "..", "tests")]

from support import corpus, reference  # noqa: E402
from support.timing import timed  # noqa: E402
from presidio_analyzer import RecognizerResult  # noqa: E402

from tarnis import processing  # noqa: E402

PLACEHOLDER = re.compile(r"\[[A-Z_]+_\d+\]")


def dense_document(size, seed=7):
    """An anonymized entity-dense document (an entity every ~60 characters)
    with its map, and the same text with a quarter of the entities still in
    clear for propagation."""
    text, spans = corpus.generate(size, size // 60, seed)
    results = [RecognizerResult(entity_type=t, start=s, end=e, score=0.9) for t, s, e in spans]
    anonymized, entity_map = processing.anonymize_text(text, results)
    kept = [r for i, r in enumerate(results) if i % 4]
    fresh = [RecognizerResult(entity_type=r.entity_type, start=r.start, end=r.end, score=0.9) for r in kept]
    partial, partial_map = processing.anonymize_text(text, fresh)
    return anonymized, entity_map, partial, partial_map


def spread(times):
    return f"best {min(times) * 1e3:9.1f} ms  worst {max(times) * 1e3:9.1f} ms"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="200000,400000,800000,1000000,4000000")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--old-limit", type=int, default=1_000_000)
    args = ap.parse_args()
    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    for size in (int(s) for s in args.sizes.split(",")):
        anonymized, entity_map, partial, partial_map = dense_document(size)
        bracket = anonymized + " [1]"
        count = len(PLACEHOLDER.findall(anonymized))
        plain, with_bracket = [], []
        for _ in range(args.repeat):
            t, out = timed(lambda: processing.deanonymize_text(anonymized, entity_map))
            plain.append(t)
            t, out_b = timed(lambda: processing.deanonymize_text(bracket, entity_map))
            with_bracket.append(t)
        assert out == reference.restore_first_spelling(anonymized, entity_map) and out_b == out + " [1]"
        print(f"{len(anonymized) / 1e6:5.2f} MB, {count:6} placeholders  deanonymize_text          {spread(plain)}")
        print(f"{'':31}deanonymize_text + ' [1]'  {spread(with_bracket)}")

        slow_map = dict(partial_map)
        slow_map["PERSON_NAME"] = {**partial_map.get("PERSON_NAME", {}), " Zqxjwvk": "[PERSON_NAME_999999]"}
        new, old = [], []
        for _ in range(args.repeat):
            t, fast = timed(lambda: processing.postprocess_anonymized(partial, partial_map))
            new.append(t)
            if len(partial) <= args.old_limit:
                t, slow = timed(lambda: processing.postprocess_anonymized(partial, slow_map))
                old.append(t)
                assert slow == fast
        entities = sum(len(inner) for inner in partial_map.values())
        line = f"{len(partial) / 1e6:5.2f} MB, {entities:6} entities      postprocess_anonymized    {spread(new)}"
        if old:
            line += f"   entity by entity {spread(old)}  ratio {min(old) / min(new):6.1f}x"
        print(line)
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
