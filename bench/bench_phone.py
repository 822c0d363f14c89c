"""Throughput of the phone recognizer.

For generated documents of about 10 KB, 100 KB and 1 MB (the ordinary corpus and
a dense-numbers variant) it prints the time spent inside phonenumbers (matcher
scans, parse, region lookup) and the time spent in our own code, the latter for
the native recognizer and for a plain Python version of the same function fed
the same recorded library answers; then the MB/s of
`analyze` on the ~1 MB document, and how many numbers the library's default
tries limit would have missed there.

Last, on both 1 MB documents, `analyze` as it runs (the matcher given only the
clusters of the text that can hold a number of each region) against the
matcher given the whole text, which the timed library stand-in above always
is: the two must find the same results.

Run: python bench/bench_phone.py [--windows-only]
"""

from __future__ import annotations

import random
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import phonenumbers

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support import corpus  # noqa: E402
from support.recognizers import phone_results  # noqa: E402

from tarnis.recognizers import phone  # noqa: E402

SIZES = [10_000, 100_000, 1_000_000]


class LibraryClock:
    """phonenumbers with every call the recognizer makes timed, and its answers
    recorded so that `replay` can give them back without doing the work."""

    def __init__(self):
        self.seconds = 0.0
        self.scans = {}    # (region, leniency) -> matches
        self.parsed = {}   # matched text -> region code, or the exception raised
        clock = self

        def timed(fn):
            def call(*args, **kwargs):
                t = time.perf_counter()
                try:
                    return fn(*args, **kwargs)
                finally:
                    clock.seconds += time.perf_counter() - t
            return call

        def scan(text, region, leniency, max_tries):
            return timed(lambda: list(phonenumbers.PhoneNumberMatcher(
                text, region, leniency=leniency, max_tries=max_tries)))()

        def matcher(text, region, leniency, max_tries):
            found = clock.scans[(region, leniency)] = scan(text, region, leniency, max_tries)
            return iter(found)

        def parse(raw):
            try:
                number = timed(phonenumbers.parse)(raw)
            except phonenumbers.NumberParseException as err:
                clock.parsed[raw] = err
                raise
            clock.parsed[raw] = timed(phonenumbers.region_code_for_number)(number)
            return raw

        self.module = SimpleNamespace(PhoneNumberMatcher=matcher, parse=parse,
                                      region_code_for_number=lambda raw: clock.parsed[raw],
                                      NumberParseException=phonenumbers.NumberParseException)

    def replay(self):
        """The recorded answers, handed out at the cost of a dictionary lookup."""
        def parse(raw):
            answer = self.parsed[raw]
            if isinstance(answer, phonenumbers.NumberParseException):
                raise phonenumbers.NumberParseException(answer.error_type, answer._msg)
            return answer

        return SimpleNamespace(
            PhoneNumberMatcher=lambda text, region, leniency, max_tries: iter(self.scans[(region, leniency)]),
            parse=parse, region_code_for_number=lambda region: region,
            NumberParseException=phonenumbers.NumberParseException)


def dense_numbers(size: int, seed: int = 1234) -> str:
    """Reference numbers, amounts and dates packed together, with a phone number
    from the corpus generator every fifty pieces: text where the matcher rejects
    a candidate every dozen characters."""
    rng = random.Random(seed)
    parts, length = [], 0
    while length < size:
        kind = rng.randrange(50)
        if kind == 0:
            piece = f"tel. {corpus.phone(rng)}; "
        elif kind < 30:
            piece = f"nr. {rng.randint(100, 99999)}, "
        elif kind < 40:
            piece = f"{rng.randint(1, 28):02d}.{rng.randint(1, 12):02d}.{rng.randint(2000, 2025)}, "
        else:
            piece = f"{rng.randint(1, 999)}.{rng.randint(0, 999):03d} lei, "
        parts.append(piece)
        length += len(piece)
    return "".join(parts)


def with_library(module, fn):
    saved = phone.phonenumbers
    phone.phonenumbers = module
    try:
        t = time.perf_counter()
        results = fn(module)
        return results, time.perf_counter() - t
    finally:
        phone.phonenumbers = saved


def own_time(module, fn, repeat):
    """Best time of `fn` with the library answers replayed."""
    return min(with_library(module, fn)[1] for _ in range(repeat))


def key(results):
    return sorted((r.start, r.end, r.score, r.analysis_explanation.textual_explanation) for r in results)


def whole_text_module():
    """phonenumbers behind a stand-in object: the recognizer then gives the
    matcher the whole text."""
    return SimpleNamespace(**{k: getattr(phonenumbers, k) for k in dir(phonenumbers) if not k.startswith("__")})


class TimedLibrary:
    """Times the library calls the recognizer makes (matcher scans, parse,
    region lookups), on the library module itself (so that the recognizer
    still scans windows) or on a stand-in (so that it scans the whole text)."""

    NAMES = ("PhoneNumberMatcher", "parse", "region_code_for_number")

    def __init__(self, target):
        self.target, self.seconds, self.calls, self.saved = target, 0.0, 0, {}

    def __enter__(self):
        clock = self

        def timed(fn, materialize=False):
            def call(*args, **kwargs):
                clock.calls += 1
                t = time.perf_counter()
                try:
                    result = fn(*args, **kwargs)
                    return iter(list(result)) if materialize else result
                finally:
                    clock.seconds += time.perf_counter() - t
            return call

        for name in self.NAMES:
            self.saved[name] = getattr(self.target, name)
            setattr(self.target, name, timed(self.saved[name], name == "PhoneNumberMatcher"))
        return self

    def __exit__(self, *exc):
        for name, fn in self.saved.items():
            setattr(self.target, name, fn)


def windows_versus_whole_text():
    rec = phone.CustomPhoneRecognizer()
    rec.analyze("tel. 0721 234 567", [])  # one-off set-up: character table, region metadata
    print("analyze on 1 MB: matcher on the clusters that can hold a number against the whole text")
    print("(library: time inside phonenumbers; total: the whole analyze call)")
    for variant in ("corpus", "dense"):
        text = corpus.generate(1_000_000, entities=2_000, seed=1234)[0] if variant == "corpus" \
            else dense_numbers(1_000_000)
        t = time.perf_counter()
        windowed = rec.analyze(text, [])
        tw = time.perf_counter() - t
        stand_in = whole_text_module()
        whole, tf = with_library(stand_in, lambda pn: rec.analyze(text, []))
        assert key(windowed) == key(whole), f"windows and whole text differ on {variant}"
        with TimedLibrary(phonenumbers) as lw:
            timed_windowed = rec.analyze(text, [])
        with TimedLibrary(stand_in) as lf:
            timed_whole, _ = with_library(stand_in, lambda pn: rec.analyze(text, []))
        assert key(timed_windowed) == key(windowed) and key(timed_whole) == key(whole)
        print(f"  {variant:<7} found {len(whole):>5}   library: whole text {lf.seconds:6.2f} s, windows "
              f"{lw.seconds:6.2f} s ({lw.calls} calls), {lf.seconds / lw.seconds:5.1f}x   "
              f"total: {tf:6.2f} s, {tw:6.2f} s, {tf / tw:5.1f}x   identical")


def main():
    if "--windows-only" in sys.argv:
        windows_versus_whole_text()
        return
    rec = phone.CustomPhoneRecognizer()
    docs = {}
    print("Library time: the matcher scans, parse and region lookups the recognizer asks for.")
    print("Own time: the recognizer with the library's answers replayed from a recording")
    print("(best of several runs), for the native module and for a plain Python version.")
    print()
    print(f"{'document':<16}{'chars':>10}{'found':>7}{'library s':>11}{'own ms':>9}{'own ms/MB':>11}"
          f"{'python ms':>11}{'ratio':>8}")
    for variant in ("corpus", "dense"):
        for size in SIZES:
            text = corpus.generate(size, entities=size // 500, seed=1234)[0] if variant == "corpus" \
                else dense_numbers(size)
            docs[(variant, size)] = text
            clock = LibraryClock()
            native, _ = with_library(clock.module, lambda pn: rec.analyze(text, []))
            replay = clock.replay()
            python, _ = with_library(replay, lambda pn: phone_results(rec, text, pn))
            assert key(native) == key(python), f"native and Python results differ on {variant} {size}"
            repeat = max(10, 3_000_000 // len(text))
            own = own_time(replay, lambda pn: rec.analyze(text, []), repeat)
            pown = own_time(replay, lambda pn: phone_results(rec, text, pn), repeat)
            print(f"{variant + ' ' + str(size // 1000) + ' KB':<16}{len(text):>10}{len(native):>7}"
                  f"{clock.seconds:>11.3f}{own * 1e3:>9.2f}{own * 1e3 / len(text) * 1e6:>11.2f}"
                  f"{pown * 1e3:>11.2f}{pown / own:>7.1f}x")

    print()
    for variant in ("corpus", "dense"):
        text = docs[(variant, 1_000_000)]
        t = time.perf_counter()
        rec.analyze(text, [])
        seconds = time.perf_counter() - t
        print(f"analyze on the {variant} 1 MB document: {len(text.encode()) / 1e6 / seconds:.3f} MB/s "
              f"({seconds:.2f} s, {len(rec.supported_regions)} region passes)")

    print()
    print("Numbers found in the RO pass with the library's default tries limit and without it:")
    for variant in ("corpus", "dense"):
        text = docs[(variant, 1_000_000)]
        limited = sum(1 for _ in phonenumbers.PhoneNumberMatcher(text, "RO"))
        full = sum(1 for _ in phonenumbers.PhoneNumberMatcher(text, "RO", max_tries=sys.maxsize))
        print(f"  {variant} 1 MB: {limited} with the default limit, {full} without ({full - limited} missed)")
    print()
    windows_versus_whole_text()


if __name__ == "__main__":
    main()
