"""Precision on real prose: what the rules-only analyzer, overlap resolution
and the denylist filter report on the sentences of a Romanian news and legal
corpus that holds almost no personal identifiers.

Every detection there is a candidate false positive. Prints the detections
per entity type per 1,000 sentences before and after the public-reference
rule (the command's rules-only engine with --anonymize-legal-references and
with its default, numbers of published acts and year ranges kept), a sample
of each type, every CODE and DOMIVIA result left, and how many URL results
the word-boundary check removed. The corpus annotates street addresses as
places (LOC), so an address result that lies on no annotated place is counted
as a false detection.

    python bench/bench_precision.py [--data DIR] [--samples N] [--show TYPE]

The corpus (JSON lists of sentences with `tokens` and `space_after`) is read
from ../shared/data/ronec/ beside the repository, or from --data.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import time
from collections import Counter, defaultdict
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_DATA = REPO.parent / "shared" / "data" / "ronec"


def sentences(folder: Path) -> tuple[list[str], list[list[tuple[str, int, int]]]]:
    """The sentences of the corpus, and for each the (label, start, end) of its annotated entities."""
    files = sorted(folder.glob("*.json"))
    if not files:
        sys.exit(f"error: no corpus files (*.json) in {folder}; pass --data DIR with the RONEC json files")
    out, gold = [], []
    for file in files:
        for row in json.loads(file.read_text("utf-8")):
            text, spans, previous = "", [], "O"
            tags = row.get("ner_tags") or ["O"] * len(row["tokens"])
            for tok, space, tag in zip(row["tokens"], row["space_after"], tags):
                if tag.startswith("B-") or (tag.startswith("I-") and previous[2:] != tag[2:]):
                    spans.append([tag[2:], len(text), len(text)])
                if tag != "O":
                    spans[-1][2] = len(text) + len(tok)
                text += tok + (" " if space else "")
                previous = tag
            out.append(text)
            gold.append([tuple(s) for s in spans])
    return out, gold


# The corpus annotates street addresses, squares and buildings as places.
PLACES = {"LOC", "FACILITY", "GPE"}


def context(text: str, start: int, end: int, width: int = 30) -> str:
    left = text[max(0, start - width):start].rsplit("\n", 1)[-1]
    right = text[end:end + width].split("\n", 1)[0]
    return f"...{left}[{text[start:end]}]{right}..."


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help=f"corpus folder (default {DEFAULT_DATA})")
    parser.add_argument("--samples", type=int, default=5, help="detections shown per entity type")
    parser.add_argument("--show", metavar="TYPE", help="list every detection of this entity type")
    args = parser.parse_args()
    if not args.data.is_dir():
        sys.exit(f"error: corpus folder {args.data} not found; pass --data DIR with the RONEC json files")

    from presidio_analyzer.predefined_recognizers import UrlRecognizer

    from tarnis import cli
    from tarnis.processing import filter_entity_denylist, resolve_overlaps

    texts, gold = sentences(args.data)
    started = time.perf_counter()
    before_engine = cli.build_rules_engine(keep_legal_references=False)
    engine = default_engine = cli.build_rules_engine()
    built = (time.perf_counter() - started) / 2

    off_place: list[str] = []    # the default engine's addresses on no annotated place

    def detections(engine) -> tuple[dict[str, list[tuple[str, str]]], float]:
        found: dict[str, list[tuple[str, str]]] = defaultdict(list)
        started = time.perf_counter()
        for text, spans in zip(texts, gold):
            results = filter_entity_denylist(text, resolve_overlaps(engine.analyze(text, language="ro"), text))
            for r in sorted(results, key=lambda r: r.start):
                found[r.entity_type].append((text[r.start:r.end], context(text, r.start, r.end)))
                if engine is default_engine and r.entity_type == "DOMIVIA" and not any(
                        label in PLACES and s < r.end and r.start < e for label, s, e in spans):
                    off_place.append(context(text, r.start, r.end))
        return found, time.perf_counter() - started

    anonymized, before_seconds = detections(before_engine)
    found, seconds = detections(engine)

    plain_url = UrlRecognizer(supported_language="ro")
    url_fragments = []
    for text in texts:
        for r in plain_url.analyze(text, ["URL"]):
            before = text[r.start - 1] if r.start > 0 else ""
            after = text[r.end] if r.end < len(text) else ""
            if before.isalnum() or after.isalnum():
                url_fragments.append(context(text, r.start, r.end))

    n = len(texts)
    print(f"{n} sentences, {sum(len(t) for t in texts) / 1e6:.2f} MB, from {args.data}")
    print(f"rules-only analyzer built in {built:.2f} s; analysis, overlap resolution and denylist filter "
          f"{seconds:.1f} s ({n / seconds:.0f} sentences/s; {before_seconds:.1f} s with legal references "
          f"anonymized); load average {os.getloadavg()[0]:.2f}")
    print()
    print("before: --anonymize-legal-references; after: the command's default (legal references kept)")
    print(f"{'entity type':<16}{'before':>8}{'per 1,000':>11}{'after':>8}{'per 1,000':>11}{'distinct':>10}")
    for entity_type in sorted(set(anonymized) | set(found), key=lambda t: (-len(anonymized.get(t, ())), t)):
        old, items = anonymized.get(entity_type, []), found.get(entity_type, [])
        distinct = len({t for t, _ in items})
        print(f"{entity_type:<16}{len(old):>8}{1000 * len(old) / n:>11.1f}{len(items):>8}"
              f"{1000 * len(items) / n:>11.1f}{distinct:>10}")
    total_before, total = sum(map(len, anonymized.values())), sum(map(len, found.values()))
    print(f"{'total':<16}{total_before:>8}{1000 * total_before / n:>11.1f}{total:>8}{1000 * total / n:>11.1f}")
    kept = Counter(t for t, _ in anonymized.get("CODE", [])) - Counter(t for t, _ in found.get("CODE", []))
    print(f"CODE results no longer reported: {sum(kept.values())}")
    addresses = found.get("DOMIVIA", [])
    numbered = sum(any(c.isdigit() for c in t) for t, _ in addresses)
    print(f"DOMIVIA results with a number (house, block): {numbered} ({1000 * numbered / n:.1f} per 1,000); "
          f"street or square names alone: {len(addresses) - numbered} ({1000 * (len(addresses) - numbered) / n:.1f} "
          f"per 1,000)")
    print(f"DOMIVIA results on no place the corpus annotates ({', '.join(sorted(PLACES))}), that is false "
          f"detections: {len(off_place)} ({1000 * len(off_place) / n:.1f} per 1,000)")
    for c in off_place:
        print(f"    {c}")
    print()
    print(f"URL results of Presidio's recognizer starting or ending inside a word (dropped): {len(url_fragments)}")
    for c in url_fragments[:args.samples]:
        print(f"    {c}")

    # Held-out identifiers: the planted entities of the generated document,
    # found by each engine (a result of the same type covering the value).
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from support.corpus import generate

    document, planted = generate(size=300_000, entities=600)
    print()
    print(f"planted identifiers of a generated document ({len(planted)}, {len(document) / 1e6:.2f} MB) found:")
    print(f"{'entity type':<16}{'planted':>8}{'before':>8}{'after':>8}")
    per_engine = []
    for e in (before_engine, engine):
        results = filter_entity_denylist(document, resolve_overlaps(e.analyze(document, language="ro"), document))
        covered = Counter()
        for entity_type, start, end in planted:
            if any(r.entity_type == entity_type and r.start <= start and end <= r.end for r in results
                   if r.start < end and start < r.end):
                covered[entity_type] += 1
        per_engine.append(covered)
    for entity_type, k in sorted(Counter(t for t, _, _ in planted).items()):
        print(f"{entity_type:<16}{k:>8}{per_engine[0][entity_type]:>8}{per_engine[1][entity_type]:>8}")

    rng = random.Random(0)
    for entity_type, items in sorted(found.items(), key=lambda kv: -len(kv[1])):
        common = Counter(t for t, _ in items).most_common(8)
        print()
        print(f"== {entity_type}: most frequent texts: " + ", ".join(f"{t!r} x{k}" for t, k in common))
        listed = args.show == entity_type or entity_type in ("CODE", "DOMIVIA")
        shown = items if listed else rng.sample(items, min(args.samples, len(items)))
        for _, c in shown:
            print(f"    {c}")


if __name__ == "__main__":
    main()
