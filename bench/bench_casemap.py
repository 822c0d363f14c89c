"""A case of many documents anonymized against one case map of some 20,000
entities, beside the same documents with a map of their own each.

The documents (tests/support/corpus.py) are analyzed once with the rules-only
analyzer; then both sides run the command's road of a document after its
analysis, interleaved (A B A B ...), on copies of the same results:

- A, per-document maps: anonymize_results and the map file's JSON with its
  fingerprint and, where the map alone would not restore the text, its
  spellings (map_file_json);
- B, the case map: anonymize_analyzed against the case's map (CaseMap), the
  entries the text uses, the spellings that restore it exactly, the
  document's fingerprint, and the case map's JSON written once at the end.

Prints each side's best and worst of --repeat runs, the ratio of the
anonymizing step alone and of the whole run (analysis included), and the
load average before and after.
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path[:0] = [os.path.join(os.path.dirname(__file__), "..", "tests")]

from presidio_analyzer import RecognizerResult  # noqa: E402

from support import corpus  # noqa: E402
from support.timing import timed  # noqa: E402


def copies(results):
    # anonymize_text narrows person names in place: each run gets its own
    return [RecognizerResult(r.entity_type, r.start, r.end, r.score) for r in results]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--documents", type=int, default=2000)
    ap.add_argument("--size", type=int, default=3000, help="characters per document")
    ap.add_argument("--entities", type=int, default=12, help="entities per document")
    ap.add_argument("--case-entities", type=int, default=20_000, help="entities of the case map to start with")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    print(f"load average before: {os.getloadavg()}")

    from tarnis.host.casemap import CaseMap
    from tarnis.host.config import EngineConfig
    from tarnis.host.engines import build_engine, import_presidio_without_torch
    from tarnis.host.maps import entity_map_json, map_file_json
    from tarnis.host.pipeline import analyze, anonymize_analyzed, anonymize_results, restoration_warning
    from tarnis.host.spellings import spellings_fields
    from tarnis.processing import anonymize_text

    import_presidio_without_torch()
    config = EngineConfig(rules_only=True)
    engine, _ = build_engine(config, print)
    docs = [corpus.generate(size=args.size, entities=args.entities, seed=i)[0] for i in range(args.documents)]
    analysis, analyzed = timed(lambda: [analyze(engine, config, text) for text in docs])
    found = sum(len(r) for r in analyzed)
    # The case so far: one earlier document holding the case's entities.
    # Generated entities repeat: a third more are made, and the map cut to the size asked for.
    planted = args.case_entities * 4 // 3
    big, spans = corpus.generate(size=planted * 70, entities=planted, seed=10**6)
    _, whole = anonymize_text(big, [RecognizerResult(t, s, e, 0.9) for t, s, e in spans])
    seed_map: dict = {}
    left = args.case_entities
    for entity_type, inner in whole.items():
        items = list(inner.items())[:left]
        seed_map[entity_type] = dict(items)
        left -= len(items)
    seed_entries = sum(len(inner) for inner in seed_map.values())
    print(f"{args.documents} documents of {args.size} characters, {found} detections, analyzed in {analysis:.2f} s; "
          f"case map of {seed_entries} entries to start with")

    def per_document():
        for text, results in zip(docs, analyzed):
            anonymized, entity_map = anonymize_results(text, copies(results))
            # as the command writes a document's map: with its spellings where needed
            map_file_json(text, anonymized, entity_map)

    def case_map():
        case = CaseMap({t: dict(inner) for t, inner in seed_map.items()})
        for text, results in zip(docs, analyzed):
            anonymized, _, _, _ = anonymize_analyzed("doc", text, copies(results), entity_map=case.entity_map)
            own = case.entries_for(anonymized)
            exact = spellings_fields(text, anonymized, own)
            if exact is None:
                restoration_warning("doc", text, anonymized, own)
            case.commit(anonymized, exact)
        entity_map_json(case.entity_map, documents=case.documents)
        return case

    times = {"per-document maps": [], "case map": []}
    for _ in range(args.repeat):
        times["per-document maps"].append(timed(per_document)[0])
        seconds, case = timed(case_map)
        times["case map"].append(seconds)
    for name, ts in times.items():
        print(f"{name:18s} best {min(ts):7.3f} s  worst {max(ts):7.3f} s  "
              f"({args.documents / min(ts):,.0f} documents/s)")
    entries = sum(len(inner) for inner in case.entity_map.values())
    print(f"case map at the end: {entries} entries, {len(case.documents)} documents")
    a, b = min(times["per-document maps"]), min(times["case map"])
    spread = max(max(ts) / min(ts) for ts in times.values())
    print(f"ratio, anonymizing step alone: {b / a:.2f}x (best against best; spread up to {spread:.2f}x)")
    print(f"ratio, whole run with the analysis: {(analysis + b) / (analysis + a):.2f}x (target <= 1.3x)")
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
