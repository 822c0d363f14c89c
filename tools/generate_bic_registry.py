"""Regenerate src/tarnis/data/bic_registry.txt from the installed schwifty.

schwifty ships bank registries as JSON files (bank_registry/*_<country>.json,
either a list of records or {"entries": [...]}). The Romanian and Moldovan
records that carry a `bic` are collected, trimmed, upper-cased, kept when they
have 8 or 11 letters and digits, de-duplicated and written one per line, sorted.
An 11-character code of a primary office (branch code XXX) is written in its
8-character form, which the recognizer accepts alone and with any branch code.

GENERATED_WITH names the schwifty release the shipped file was made from; set
it when regenerating.

    python tools/generate_bic_registry.py            # rewrite the file
    python tools/generate_bic_registry.py --check    # exit 1 if it is stale
"""

from __future__ import annotations

import argparse
import json
import re
import sys
from importlib import resources
from pathlib import Path

COUNTRIES = ("ro", "md")
GENERATED_WITH = "2026.11.2"
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "src" / "tarnis" / "data" / "bic_registry.txt"
_FILE_RE = re.compile(r"^[a-z]+_(?P<country>[a-z]{2})(?:\.v\d+)?\.json$")
_CODE_RE = re.compile(r"^[A-Z0-9]{8}(?:[A-Z0-9]{3})?$")


def registry_files(countries=COUNTRIES):
    folder = resources.files("schwifty").joinpath("bank_registry")
    for entry in sorted(folder.iterdir(), key=lambda e: e.name):
        m = _FILE_RE.match(entry.name)
        if m and m.group("country") in countries:
            yield entry


def collect_codes(files) -> list[str]:
    codes: set[str] = set()
    for entry in files:
        data = json.loads(entry.read_text(encoding="utf-8"))
        records = data.get("entries", []) if isinstance(data, dict) else data
        for record in records:
            bic = record.get("bic") if isinstance(record, dict) else None
            if not isinstance(bic, str):
                continue
            code = bic.strip().upper()
            if len(code) == 11 and code.endswith("XXX"):
                code = code[:8]
            if _CODE_RE.match(code):
                codes.add(code)
    return sorted(codes)


def render(codes: list[str]) -> str:
    return "".join(code + "\n" for code in codes)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT)
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args(argv)

    files = list(registry_files())
    codes = collect_codes(files)
    if not codes:
        print("no Romanian or Moldovan BIC found in the installed schwifty", file=sys.stderr)
        return 2
    text = render(codes)
    if args.check:
        current = args.output.read_text(encoding="utf-8") if args.output.exists() else ""
        if current != text:
            print(f"{args.output} is stale ({len(codes)} codes expected)", file=sys.stderr)
            return 1
        return 0
    args.output.write_text(text, encoding="utf-8")
    print(f"{len(codes)} codes from {len(files)} files -> {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
