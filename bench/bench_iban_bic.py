"""Throughput of the IBAN and BIC recognizers.

For each recognizer: MB/s of `analyze` on the generated ~1 MB document, beside
a straightforward Python version of the same function run on the same input
in this process (outputs are checked to be equal), and the ratio. For the IBAN
recognizer, the figures are also given for its own passes alone, spaced and
separated (the base recognizer's pass replaced by an empty one), since the base
pass is Presidio's Python code in both versions. Then adversarial inputs at 250 KB, 500 KB and
1 MB, to show that time grows linearly.

    python bench/bench_iban_bic.py [--repeat N]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import random
import string
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from support.corpus import generate  # noqa: E402
from support.recognizers import PyBICRecognizer, PyIbanRecognizer  # noqa: E402
from presidio_analyzer.predefined_recognizers import IbanRecognizer  # noqa: E402

from tarnis.recognizers.bic import BICRecognizer  # noqa: E402
from tarnis.recognizers.iban import CustomIbanRecognizer  # noqa: E402


@contextlib.contextmanager
def without_base_pass():
    original = IbanRecognizer.analyze
    IbanRecognizer.analyze = lambda self, text, entities, nlp_artifacts=None, regex_flags=None: []
    try:
        yield
    finally:
        IbanRecognizer.analyze = original


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def key(results):
    return sorted((r.entity_type, r.start, r.end, r.score) for r in results)


def compare(label, native, python, text, repeat):
    n_res, p_res = native.analyze(text, None), python.analyze(text, None)
    same = key(n_res) == key(p_res)
    tn = best_time(lambda: native.analyze(text, None), repeat)
    tp = best_time(lambda: python.analyze(text, None), repeat)
    mb = len(text.encode("utf-8")) / 1e6
    print(f"  {label:<26} native {mb / tn:8.2f} MB/s   python {mb / tp:8.2f} MB/s   "
          f"ratio {tp / tn:6.2f}x   results {len(n_res)}{'' if same else '  OUTPUTS DIFFER'}")


def adversarial(rng, size):
    alnum = string.ascii_uppercase + string.digits
    capitals = "".join(rng.choice(string.ascii_uppercase) if i % 9 else " " for i in range(size))
    return {
        "only digits": "".join(rng.choice(string.digits) for _ in range(size)),
        "only capitals (words of 8)": capitals,
        "single word": "RO49" + "".join(rng.choice(string.ascii_uppercase + string.digits) for _ in range(size - 4)),
        "'RO49 ' repeated": ("RO49 " * (size // 5 + 1))[:size],
        "'AB12C ' repeated": ("AB12C " * (size // 6 + 1))[:size],
        "'BTRLRO22 ' repeated": ("BTRLRO22 " * (size // 9 + 1))[:size],
        "'RO 49 ' repeated": ("RO 49 " * (size // 6 + 1))[:size],
        "single characters, spaces": " ".join(rng.choice(alnum) for _ in range(size // 2)),
        "single characters, dots": ".".join(rng.choice(alnum) for _ in range(size // 2)),
        "dots": "." * size,
        # Each word has its country's IBAN length, so each one is validated.
        "IBAN-shaped words": " ".join(
            f"MD{rng.randint(10, 99)}" + "".join(rng.choice(alnum) for _ in range(20))
            for _ in range(size // 25)),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", choices=("iban", "bic"), help="measure one recognizer only")
    args = parser.parse_args()
    wanted = ("IBAN", "BIC") if args.only is None else (args.only.upper(),)

    text, _ = generate()
    print(f"corpus: {len(text)} characters, {len(text.encode('utf-8')) / 1e6:.2f} MB UTF-8")
    iban_native = CustomIbanRecognizer(supported_language="ro")
    iban_python = PyIbanRecognizer(supported_language="ro")
    bic_native, bic_python = BICRecognizer(), PyBICRecognizer()

    if "IBAN" in wanted:
        print("IBAN (CustomIbanRecognizer.analyze)")
        compare("whole analyze", iban_native, iban_python, text, args.repeat)
        with without_base_pass():
            compare("own passes only", iban_native, iban_python, text, args.repeat)
    if "BIC" in wanted:
        print("BIC (BICRecognizer.analyze)")
        compare("whole analyze", bic_native, bic_python, text, args.repeat)

    rng = random.Random(7)
    sizes = (250_000, 500_000, 1_000_000)
    inputs = {size: adversarial(rng, size) for size in sizes}
    for name, native in (("IBAN", iban_native), ("BIC", bic_native)):
        if name not in wanted:
            continue
        print(f"{name} adversarial inputs: seconds for 250 KB / 500 KB / 1 MB (1 MB / 250 KB)")
        scaling(native, inputs, sizes, args.repeat)
        if name == "IBAN":
            print("  own passes only (no base pass):")
            with without_base_pass():
                scaling(native, inputs, sizes, args.repeat)


def scaling(recognizer, inputs, sizes, repeat):
    for kind in inputs[sizes[0]]:
        def run(s, kind=kind):
            return best_time(lambda: recognizer.analyze(inputs[s][kind], None), repeat)
        gc.collect()
        times = [run(s) for s in sizes]
        count = len(recognizer.analyze(inputs[sizes[-1]][kind], None))
        print(f"  {kind:<26} " + " / ".join(f"{t:7.4f}" for t in times)
              + f"   ({times[2] / times[0]:.2f}x)   {count} results at 1 MB")
        if count > 10_000:
            # Many result objects: CPython's cyclic collector walks them all
            # at each full collection; without it the recognizer's own work shows.
            gc.disable()
            try:
                times = [run(s) for s in sizes]
            finally:
                gc.enable()
            print(f"  {'  same, collector off':<26} " + " / ".join(f"{t:7.4f}" for t in times)
                  + f"   ({times[2] / times[0]:.2f}x)")

if __name__ == "__main__":
    main()
