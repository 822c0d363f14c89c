"""Throughput of the street-address and code recognizers.

1. MB/s of each recognizer's `analyze` on the ~1 MB generated document, and for
   the street-address recognizer the same function written plainly in Python
   (Python's `re` on the same pattern texts) on the same input, with the ratio;
   for the code recognizer its native `analyze` against Presidio's
   `PatternRecognizer.analyze` (the `regex` module) on the same instance and text.
2. Time on 250 KB, 500 KB and 1 MB adversarial inputs for both recognizers:
   time per MB must stay flat as the input grows.
3. For comparison, the plain forms of the patterns that were rewritten for
   linear time, on inputs small enough for them to finish, and Presidio's path
   against the native one on the input where the former is quadratic.

Run: python bench/bench_domivia_code.py
"""

from __future__ import annotations

import re
import sys
import time
from pathlib import Path

import regex
from presidio_analyzer import AnalysisExplanation, PatternRecognizer, RecognizerResult

sys.path.insert(0, str(Path(__file__).parent))
from support.corpus import generate  # noqa: E402

sys.path.insert(0, str(Path(__file__).parent.parent / "tests"))
from support.reference import reference_analyze  # noqa: E402

from tarnis.recognizers import domivia  # noqa: E402
from tarnis.recognizers.code import CodeRecognizer  # noqa: E402
from tarnis.recognizers.domivia import RomanianStreetAddressRecognizer  # noqa: E402



def python_analyze(text: str) -> list:
    """The street-address recognizer's analyze written plainly in Python (the tests' reference)."""
    results = []
    for style, start, end, score in reference_analyze(text):
        explanation = AnalysisExplanation(recognizer="RomanianStreetAddressRecognizer", original_score=score,
                                          textual_explanation=f"Matched Romanian address pattern ({style})")
        results.append(RecognizerResult(entity_type="DOMIVIA", start=start, end=end,
                                        score=score, analysis_explanation=explanation))
    return results


def best_time(fn, text, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn(text)
        best = min(best, time.perf_counter() - t0)
    return best, out


def megabytes(text: str) -> float:
    return len(text.encode("utf-8")) / 1e6


def spans(results):
    return [(r.start, r.end, r.score) for r in results]


def presidio_code(code):
    """The code recognizer's matching as Presidio's PatternRecognizer does it."""
    return lambda t: PatternRecognizer.analyze(code, t, None)


def explained(results):
    return [(r.start, r.end, r.score, r.analysis_explanation.pattern_name) for r in results]


def main() -> None:
    address = RomanianStreetAddressRecognizer()
    code = CodeRecognizer()
    text, _ = generate()
    mb = megabytes(text)
    print(f"Generated document: {len(text):,} characters, {mb:.2f} MB (UTF-8)\n")

    native_t, native_out = best_time(lambda t: address.analyze(t, None), text)
    python_t, python_out = best_time(python_analyze, text)
    assert spans(native_out) == spans(python_out), "native and Python results differ"
    code_t, code_out = best_time(lambda t: code.analyze(t, None), text)
    presidio_t, presidio_out = best_time(presidio_code(code), text)
    assert explained(code_out) == explained(presidio_out), "native and Presidio code results differ"
    print(f"{'recognizer':44s} {'time':>9s} {'MB/s':>8s} {'results':>8s}")
    print(f"{'street address, native':44s} {native_t * 1000:7.1f}ms {mb / native_t:8.1f} {len(native_out):8d}")
    print(f"{'street address, plain Python re':44s} {python_t * 1000:7.1f}ms {mb / python_t:8.1f} {len(python_out):8d}")
    print(f"{'code, native':44s} {code_t * 1000:7.1f}ms {mb / code_t:8.1f} {len(code_out):8d}")
    print(f"{'code, Presidio PatternRecognizer (regex)':44s} {presidio_t * 1000:7.1f}ms {mb / presidio_t:8.1f} "
          f"{len(presidio_out):8d}")
    print(f"native / Python speed-up for street addresses: {python_t / native_t:.1f}x (identical results)")
    print(f"native / Presidio speed-up for codes: {presidio_t / code_t:.1f}x (identical results)\n")

    inputs = {
        "only digits": lambda n: "7" * n,
        "only capitals": lambda n: ("ABCDEFGHIJKLMNOPQRSTUVWXYZ" * (n // 26 + 1))[:n],
        "'str. ' repeated": lambda n: "str. " * (n // 5),
        "single word": lambda n: ("StradaFlorilorNr5Bl" * (n // 19 + 1))[:n],
        "comma runs": lambda n: ("strada Florilor 12" + "," * 1000 + " ") * (n // 1019),
        "'str.' + white space": lambda n: "str." + " " * n + "!",
        "capital-digit tokens": lambda n: "1AA " * (n // 4) + "5",
        "hyphen-joined capitals": lambda n: "AAAAAAAAAA-" * (n // 11),
        "grouped-number chain": lambda n: "1.234" + ".567" * (n // 4),
        "street + dotted digits": lambda n: "str. Ab " + "1." * (n // 2),
        "addresses + phones": lambda n: "Str. Ab 1, tel 0722 123 456 " * (n // 28),
        "house numbers + digits": lambda n: "Str. Ab 12" + " 1" * (n // 2),
    }
    print("Adversarial inputs: time and time per MB (flat = linear)")
    print(f"{'input':24s} {'recognizer':15s} {'250 KB':>16s} {'500 KB':>16s} {'1 MB':>16s}")
    for name, make in inputs.items():
        for label, fn in (("street address", lambda t: address.analyze(t, None)),
                          ("code", lambda t: code.analyze(t, None))):
            cells = []
            for n in (250_000, 500_000, 1_000_000):
                sample = make(n)
                t, _ = best_time(fn, sample, repeat=2)
                cells.append(f"{t * 1000:7.1f}ms {t / megabytes(sample) * 1000:5.0f}/MB")
            print(f"{name:24s} {label:15s} " + " ".join(f"{c:>16s}" for c in cells))

    print("\nPlain forms of the rewritten patterns (Python re / regex), small inputs only:")
    plain_street = re.compile(domivia._DEFAULT_PATTERNS[2][1].pattern, domivia._ADDRESS_FLAGS)
    plain_spaced = regex.compile(r"(?<!\d)(?<!\d )(?:[A-Z]*\d[A-Z0-9]{2,})(?:\s(?:[A-Z]*\d[A-Z0-9]{2,}))+(?!\d)(?! \d)",
                                 regex.DOTALL | regex.MULTILINE)
    fast_spaced = regex.compile(next(p.regex for p in code.patterns if p.name == "code_spaced"),
                                regex.DOTALL | regex.MULTILINE)
    cases = [("'str.' + white space", "street prefix-only, plain re", plain_street, inputs["'str.' + white space"]),
             ("only capitals", "code_spaced, plain", plain_spaced, inputs["only capitals"]),
             ("only capitals", "code_spaced, linear form", fast_spaced, inputs["only capitals"])]
    for name, label, pattern, make in cases:
        cells = []
        for n in (5_000, 10_000, 20_000):
            t, _ = best_time(lambda s: list(pattern.finditer(s)), make(n), repeat=1)
            cells.append(f"{n // 1000}K {t * 1000:8.1f}ms")
        print(f"{name:24s} {label:30s} " + "  ".join(cells))

    print("\nPresidio's path is super-linear on one white-space-free run of [A-Z0-9/.-] whose only")
    print("digit is at its far end (every word start matches and reads to that digit); the native one is not")
    for label, fn in (("code, Presidio", presidio_code(code)), ("code, native", lambda s: code.analyze(s, None))):
        cells = []
        for n in (5_000, 10_000, 20_000, 40_000):
            t, _ = best_time(fn, "AAAAAAAAAA-" * (n // 11) + "1", repeat=1)
            cells.append(f"{n // 1000}K {t * 1000:8.1f}ms")
        print(f"{'AAAAAAAAAA-...-1':24s} {label:30s} " + "  ".join(cells))


if __name__ == "__main__":
    main()
