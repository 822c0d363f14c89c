"""How often the role-name recognizer turns words that are not names into names.

Runs PartyNameRecognizer over the RoNEC sentences (news and other general
text with gold entity tags) and prints, per file, the names it reports, how
many of them touch a gold PERSON entity, how many touch no gold entity of any
kind, and the count per 1,000 sentences of those that touch no PERSON (the
false names). `--show` lists the false names with their context.

    python bench/bench_party.py [--data DIR] [--show]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import time
from pathlib import Path

from tarnis.recognizers.party import PartyNameRecognizer

DEFAULT_DATA = Path(__file__).resolve().parents[3] / "shared" / "data" / "ronec"


def sentences(path: Path):
    """(text, [(start, end, label)]) per sentence, rebuilt from the tokens."""
    for row in json.loads(path.read_text(encoding="utf-8")):
        text, spans, open_span = "", [], None
        for token, tag, space in zip(row["tokens"], row["ner_tags"], row["space_after"]):
            start = len(text)
            text += token
            if tag.startswith("B-") or (tag.startswith("I-") and open_span is None):
                if open_span:
                    spans.append(tuple(open_span))
                open_span = [start, len(text), tag[2:]]
            elif tag.startswith("I-"):
                open_span[1] = len(text)
            else:
                if open_span:
                    spans.append(tuple(open_span))
                open_span = None
            if space:
                text += " "
        if open_span:
            spans.append(tuple(open_span))
        yield text, spans


def overlaps(a, b) -> bool:
    return a[0] < b[1] and b[0] < a[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--show", action="store_true", help="list the false names")
    args = parser.parse_args()

    recognizer = PartyNameRecognizer()
    files = sorted(args.data.glob("*.json"))
    if not files:
        raise SystemExit(f"no RoNEC files (*.json) in {args.data}")
    print(f"load average {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")
    for path in files:
        data = list(sentences(path))
        found = person = other = false = exact = 0
        shown = []
        rates = []
        for _ in range(3):
            started = time.perf_counter()
            for text, _spans in data:
                recognizer.analyze(text, ["PERSON_NAME"])
            rates.append(sum(len(t) for t, _ in data) / (time.perf_counter() - started) / 1e6)
        for text, spans in data:
            for r in recognizer.analyze(text, ["PERSON_NAME"]):
                found += 1
                span = (r.start, r.end)
                persons = [s for s in spans if s[2] == "PERSON" and overlaps(span, s)]
                if persons:
                    person += 1
                    exact += any((s[0], s[1]) == span for s in persons)
                    continue
                false += 1
                if not any(overlaps(span, s) for s in spans):
                    other += 1
                shown.append((text[r.start:r.end], text[max(0, r.start - 30):r.end + 20].replace("\n", " "),
                              [s[2] for s in spans if overlaps(span, s)]))
        gold = sum(1 for _, spans in data for s in spans if s[2] == "PERSON")
        n = len(data)
        print(f"{path.name}: {n} sentences, {gold} gold PERSON entities; {found} names reported, "
              f"{person} on a gold PERSON ({exact} exactly), {false} on no PERSON ({other} on no entity at all): "
              f"{1000 * false / n:.2f} false names per 1,000 sentences; "
              f"{statistics.median(rates):.2f} MB/s (median of 3, spread {min(rates):.2f}-{max(rates):.2f})")
        if args.show:
            for name, context, labels in shown:
                print(f"    {name!r:30} {labels or ''}  ...{context}...")


if __name__ == "__main__":
    main()
