"""Check that the relative links of README.md and docs/*.md resolve.

    python tools/check_docs.py [--allow-missing PAGE ...]

A link resolves when its file exists (relative to the page holding it) and,
when it carries a fragment, the target page has a heading of that anchor
(GitHub's rule: lower case, punctuation other than hyphens and underscores
dropped, spaces to hyphens, a repeated anchor numbered -1, -2, ...). Links
with a scheme (https:, mailto:) and links inside code are not checked.
`--allow-missing` names pages (relative to the repository) that may be linked
before they exist; links to them are listed but do not fail the check.
Exit status 1 when a link does not resolve.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LINK = re.compile(r"\[(?:[^\]\\]|\\.)*\]\(([^()\s]+)\)")
FENCE = re.compile(r"^\s*(```|~~~)")
INLINE_CODE = re.compile(r"`[^`]*`")


def prose_lines(text: str):
    """Lines outside fenced and indented code blocks, with their numbers."""
    fenced = False
    previous_blank = True
    for number, line in enumerate(text.split("\n"), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        indented = line.startswith("    ") and previous_blank
        if not fenced and not indented:
            yield number, line
        if not line.strip():
            previous_blank = True
        elif not indented:
            previous_blank = False


def anchor(heading: str) -> str:
    text = heading.strip().lower().replace("`", "")
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(page: Path) -> set[str]:
    seen: dict[str, int] = {}
    found = set()
    for _, line in prose_lines(page.read_text(encoding="utf-8")):
        match = re.match(r"#{1,6}\s+(.*)", line)
        if not match:
            continue
        base = anchor(match.group(1))
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else f"{base}-{count}")
    return found


def check(pages: list[Path], allow_missing: set[Path]) -> int:
    failures = 0
    for page in pages:
        for number, line in prose_lines(page.read_text(encoding="utf-8")):
            for target in LINK.findall(INLINE_CODE.sub("", line)):
                if re.match(r"[a-z][a-z0-9+.-]*:", target):
                    continue
                path, _, fragment = target.partition("#")
                resolved = (page.parent / path).resolve() if path else page
                where = f"{page.relative_to(ROOT)}:{number}: {target}"
                if not resolved.exists():
                    if resolved in allow_missing:
                        print(f"{where}: page not written yet (allowed)")
                        continue
                    print(f"{where}: no such file")
                    failures += 1
                elif fragment and resolved.suffix == ".md" and fragment not in anchors(resolved):
                    print(f"{where}: no heading with anchor #{fragment}")
                    failures += 1
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--allow-missing", nargs="*", default=[], metavar="PAGE")
    args = parser.parse_args()
    pages = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
    allow = {(ROOT / p).resolve() for p in args.allow_missing}
    failures = check(pages, allow)
    print(f"{len(pages)} pages checked, {failures} broken link(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
