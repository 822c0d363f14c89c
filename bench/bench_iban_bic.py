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
import re
import string
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from corpus import generate  # noqa: E402
from presidio_analyzer import AnalysisExplanation, LocalRecognizer, RecognizerResult  # noqa: E402
from presidio_analyzer.predefined_recognizers import IbanRecognizer  # noqa: E402

from tarnis.recognizers import bic  # noqa: E402
from tarnis.recognizers.bic import BICRecognizer  # noqa: E402
from tarnis.recognizers.iban import CustomIbanRecognizer  # noqa: E402


class PyIbanRecognizer(IbanRecognizer):
    """The IBAN recognizer's spaced and separated passes written plainly in Python."""

    _SPACED_IBAN_RE = re.compile(CustomIbanRecognizer._SPACED_IBAN_RE.pattern, re.IGNORECASE)
    _MIN_IBAN_LEN = 15
    _MAX_IBAN_LEN = 34
    _GROUP_RE = re.compile(r"\S+")
    _GAP_RE = re.compile(r"\s+")

    @staticmethod
    def _validate_iban(compact):
        from schwifty import IBAN
        try:
            IBAN(compact)
            return 1.0
        except Exception as e:  # noqa: BLE001
            return 0.65 if "checksum" in str(e).lower() else None

    @staticmethod
    def _country_length(country, cache):
        if country not in cache:
            from schwifty import registry
            try:
                cache[country] = registry.get_iban_spec(country).iban_length
            except ValueError:
                cache[country] = -1
        return cache[country]

    _WORD_RE = re.compile(r"\w+")
    _PLAIN_RE = re.compile(r"[A-Za-z0-9]+")
    _SEPARATORS = {" ", "\u00a0", "-", ".", "\n", "\r", "\r\n"}

    def _separated(self, text, results, seen, lengths):
        chain, previous_end = [], None
        for m in self._WORD_RE.finditer(text):
            if not self._PLAIN_RE.fullmatch(m.group()):
                self._separated_chain(text, chain, results, seen, lengths)
                chain, previous_end = [], None
                continue
            if previous_end is None or text[previous_end:m.start()] not in self._SEPARATORS:
                self._separated_chain(text, chain, results, seen, lengths)
                chain = []
            chain.append(m.span())
            previous_end = m.end()
        self._separated_chain(text, chain, results, seen, lengths)

    def _separated_chain(self, text, chain, results, seen, lengths):
        k = 0
        while k < len(chain):
            first = text[chain[k][0]:chain[k][1]]
            opening = first[:4] if len(first) >= 4 else (
                first + text[chain[k + 1][0]:chain[k + 1][1]][:2] if len(first) == 2 and k + 1 < len(chain) else "")
            if not re.fullmatch(r"[A-Za-z]{2}\d\d", opening):
                k += 1
                continue
            size, length, last = 0, self._country_length(first[:2].upper(), lengths), None
            for j in range(k, len(chain)):
                size += chain[j][1] - chain[j][0]
                if size >= length:
                    last = j if size == length else None
                    break
            if last is None:
                k += 1
                continue
            span = (chain[k][0], chain[last][1])
            if span not in seen:
                compact = "".join(text[s:e] for s, e in chain[k:last + 1]).upper()
                if self._validate_iban(compact) != 1.0:
                    k += 1
                    continue
                seen.add(span)
                results.append(RecognizerResult(
                    entity_type="IBAN_CODE", start=span[0], end=span[1], score=1.0,
                    analysis_explanation=AnalysisExplanation(
                        recognizer=self.__class__.__name__, original_score=1.0,
                        textual_explanation="Separated IBAN validated via schwifty")))
            k = last + 1

    def analyze(self, text, entities, nlp_artifacts=None):
        results = super().analyze(text, entities, nlp_artifacts)
        seen = {(r.start, r.end) for r in results}
        lengths = {}
        self._spaced(text, results, seen, lengths)
        self._separated(text, results, seen, lengths)
        return results

    def _spaced(self, text, results, seen, lengths):
        pos = 0
        while True:
            m = self._SPACED_IBAN_RE.search(text, pos)
            if m is None:
                return
            start, end = m.span(1)
            candidate = text[start:end]
            cuts = [g.end() for g in self._GROUP_RE.finditer(candidate)]
            next_pos = m.end()
            for k, cut in enumerate([len(candidate)] + cuts[-2:0:-1]):
                compact = candidate[:cut].replace(" ", "").upper()
                if k and len("".join(compact.split())) != self._country_length(compact[:2], lengths):
                    continue
                if not (self._MIN_IBAN_LEN <= len(compact) <= self._MAX_IBAN_LEN):
                    continue
                score = self._validate_iban(compact)
                if score is None:
                    continue
                if (start, start + cut) not in seen:
                    seen.add((start, start + cut))
                    results.append(RecognizerResult(
                        entity_type="IBAN_CODE", start=start, end=start + cut, score=score,
                        analysis_explanation=AnalysisExplanation(
                            recognizer=self.__class__.__name__, original_score=score,
                            textual_explanation="Spaced IBAN validated via schwifty")))
                if k:
                    next_pos = start + cut
                break
            else:
                gap = self._GAP_RE.search(candidate)
                if gap:
                    next_pos = start + gap.end()
            pos = next_pos


class PyBICRecognizer(LocalRecognizer):
    """The BIC recognizer written plainly in Python."""

    def __init__(self):
        self._bic8, self._bic11, self._loaded = set(), set(), False
        super().__init__(supported_entities=["BIC"], supported_language="ro", name="PyBICRecognizer")

    def load(self):
        if self._loaded:
            return
        self._loaded = True
        for line in bic._read_bic_registry().removeprefix("\ufeff").splitlines():
            code = line.strip().upper()
            if len(code) == 8:
                self._bic8.add(code)
            elif len(code) == 11:
                self._bic8.add(code[:8])
                self._bic11.add(code)

    def _in_registry(self, code):
        if len(code) == 8:
            return code in self._bic8
        if len(code) == 11:
            return code in self._bic11 or code[:8] in self._bic8
        return False

    def analyze(self, text, entities, nlp_artifacts=None):
        self.load()
        results = []
        for m in bic._BIC_RE.finditer(text):
            if self._in_registry(m.group(1).upper()):
                results.append(RecognizerResult(
                    entity_type="BIC", start=m.start(1), end=m.end(1), score=0.95,
                    analysis_explanation=AnalysisExplanation(
                        recognizer=self.__class__.__name__, original_score=0.95,
                        textual_explanation="BIC matched against registry")))
        return results


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
