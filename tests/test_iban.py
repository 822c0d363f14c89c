import re
import sys

import pytest
import schwifty
from hypothesis import given, settings

from support.parity import ROMANIAN_SAMPLES, assert_same, texts
from tarnis.recognizers import iban
from tarnis.recognizers.iban import CustomIbanRecognizer

SPACED = "Spaced IBAN validated via schwifty"
SEPARATED = "Separated IBAN validated via schwifty"
BASE = "base"  # reported by Presidio's own IbanRecognizer

IBAN_SAMPLES = [
    "Cont RO49AAAA1B3 10075 9384 0000 la banca, RO49 AAAA 1B31 0075 9384 0000.",
    "ro49aaaa1b3 10075 9384 0000 si md24ag0002 25100013104168\tsau MD24AG000225100013104168",
    "CIF RO12345678 cont RO48AAAA1B3 10075 9384 0000 RO49AAAA 1B31 0075 9384 0000",
    "IBAN:RO49AAAA1B31\n0075\u00a09384 0000_ x RO49ſAAA1B3 1K0075 9384 ٠٠٠٠",
]


@pytest.fixture(scope="module")
def recognizer():
    return CustomIbanRecognizer(supported_language="ro")


def found(results, text):
    return [
        (text[r.start:r.end], r.score,
         r.analysis_explanation.textual_explanation
         if r.analysis_explanation.textual_explanation in (SPACED, SEPARATED) else BASE)
        for r in sorted(results, key=lambda r: r.start)
    ]


@pytest.mark.parametrize("text, expected", [
    # Irregular split, in any letter case: only the spaced pass finds it.
    ("Cont RO49AAAA1B3 10075 9384 0000.", [("RO49AAAA1B3 10075 9384 0000", 1.0, SPACED)]),
    ("cont ro49aaaa1b3 10075 9384 0000.", [("ro49aaaa1b3 10075 9384 0000", 1.0, SPACED)]),
    ("MD24AG0002 25100013104168", [("MD24AG0002 25100013104168", 1.0, SPACED)]),
    # Groups of four are left to the base recognizer.
    ("RO49 AAAA 1B31 0075 9384 0000", [("RO49 AAAA 1B31 0075 9384 0000", 1.0, BASE)]),
    # Both find the same span: reported once.
    ("RO49AAAA 1B31 0075 9384 0000", [("RO49AAAA 1B31 0075 9384 0000", 1.0, BASE)]),
    # Wrong check digits: still reported, lower.
    ("RO48AAAA1B3 10075 9384 0000", [("RO48AAAA1B3 10075 9384 0000", 0.65, SPACED)]),
    # Wrong length or no IBAN at all.
    ("RO49AAAA1B3 10075 9384 000", []),
    ("XX49AAAA1B3 10075 9384 0000", []),
    ("AB12CD EF GH 12", []),
    # Other white space stays inside the span.
    ("ro49aaaa1b3\t10075 9384\n0000", [("ro49aaaa1b3\t10075 9384\n0000", 1.0, SPACED)]),
    # Words after or before an IBAN do not hide it.
    ("ro49aaaa1b3 10075 9384 0000 si banca", [("ro49aaaa1b3 10075 9384 0000", 1.0, SPACED)]),
    ("RO48AAAA1B3 10075 9384 0000 si", [("RO48AAAA1B3 10075 9384 0000", 0.65, SPACED)]),
    ("CIF RO12345678 cont ro49aaaa1b3 10075 9384 0000", [("ro49aaaa1b3 10075 9384 0000", 1.0, SPACED)]),
    ("ro49aaaa1b3 10075 9384 0000 md24ag0002 25100013104168",
     [("ro49aaaa1b3 10075 9384 0000", 1.0, SPACED), ("md24ag0002 25100013104168", 1.0, SPACED)]),
])
def test_analyze(recognizer, text, expected):
    results = recognizer.analyze(text, ["IBAN_CODE"])
    assert found(results, text) == expected
    for r in results:
        assert r.entity_type == "IBAN_CODE"
        if r.analysis_explanation.textual_explanation == SPACED:
            assert r.analysis_explanation.recognizer == "CustomIbanRecognizer"
            assert r.analysis_explanation.original_score == r.score


# Valid IBANs made by schwifty from a bank code and an account number.
GENERATED = [
    str(schwifty.IBAN.generate(country, bank_code=bank, account_code=account))
    for country, bank, account in [
        ("RO", "AAAA", "1B31007593840000"),
        ("RO", "BTRL", "0130120212345601"),
        ("MD", "AG", "000225100013104168"),
        ("MD", "ML", "0000000022510001"),
    ]
]


def _groups(compact, sizes):
    out, at = [], 0
    for size in sizes:
        out.append(compact[at:at + size])
        at += size
    return [g for g in out if g] + ([compact[at:]] if at < len(compact) else [])


# How people split an IBAN: into groups, then joined by separators.
GROUPINGS = {
    "compact": lambda c: [c],
    "fours": lambda c: _groups(c, [4] * 8),
    "country apart": lambda c: [c[:2]] + _groups(c[2:], [2] + [4] * 8),
    "country apart, run on": lambda c: [c[:2], c[2:]],
    "check digits alone": lambda c: _groups(c, [4, 2, 4, 4, 4, 4]),
    "two halves": lambda c: _groups(c, [12]),
    "irregular": lambda c: _groups(c, [2, 2, 1, 7, 3, 5, 1]),
    "single characters": lambda c: [c[:4]] + list(c[4:]),
}
SEPARATORS = [" ", "-", ".", "\n", "\r\n", "\u00a0", [" ", "-", ".", "\n"]]
CASES = {"upper": str.upper, "lower": str.lower,
         "mixed": lambda s: "".join(ch.lower() if i % 3 else ch for i, ch in enumerate(s))}
CONTEXTS = ["{}", "Plata în contul {} deschis la bancă.", "Titular: Ion Popescu ({}).",
            "Contul {}.", "{} este contul", "IBAN {}, banca"]


def spellings(compact):
    for grouping, split in GROUPINGS.items():
        groups = split(compact)
        for sep in SEPARATORS:
            seps = sep if isinstance(sep, list) else [sep]
            written = groups[0]
            for i, group in enumerate(groups[1:]):
                written += seps[i % len(seps)] + group
            yield f"{grouping} {sep!r}", written


def one_digit_changed(compact):
    i = max(i for i, ch in enumerate(compact) if ch.isdigit())
    return compact[:i] + str((int(compact[i]) + 1) % 10) + compact[i + 1:]


@pytest.mark.parametrize("context", CONTEXTS)
@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("compact", GENERATED)
def test_every_spelling_is_found_with_its_exact_span(recognizer, compact, case, context):
    missed = []
    for label, written in spellings(CASES[case](compact)):
        text = context.format(written)
        start = context.index("{}")
        span = (start, start + len(written))
        results = recognizer.analyze(text, None)
        spans = {(r.start, r.end) for r in results if r.score == 1.0}
        outside = [r for r in results if r.start < span[0] or r.end > span[1]]
        if span not in spans or outside:
            missed.append((label, found(results, text)))
    assert missed == []


@pytest.mark.parametrize("compact", GENERATED)
def test_invalid_spellings_are_not_reported_by_the_separated_pass(recognizer, compact):
    wrong = one_digit_changed(compact)
    assert not schwifty.IBAN(wrong, allow_invalid=True).is_valid
    reported = []
    for case in CASES.values():
        for label, written in spellings(case(wrong)):
            for context in ("{}", "contul {} deschis"):
                text = context.format(written)
                reported += [(label, text) for r in recognizer.analyze(text, None)
                             if r.analysis_explanation.textual_explanation == SEPARATED]
    assert reported == []


@pytest.mark.parametrize("text, expected", [
    # Issue examples: apart, a check-digit group alone, lower case compact.
    ("RO 49 AAAA 1B31 0075 9384 0000", ["RO 49 AAAA 1B31 0075 9384 0000"]),
    ("MD24 AG 0002 2510 0013 1041 68", ["MD24 AG 0002 2510 0013 1041 68"]),
    ("ro49aaaa1b31007593840000", ["ro49aaaa1b31007593840000"]),
    # Never starting or ending inside a word.
    ("xRO49AAAA1B31007593840000", []),
    ("RO49AAAA1B31007593840000x", []),
    ("RO49AAAA1B310075938400001", []),
    ("RO49 AAAA 1B31 0075 9384 0000ă", []),
    ("ăRO 49 AAAA 1B31 0075 9384 0000", []),
    ("RO49 AAAA_1B31 0075 9384 0000", []),
    ("RO 49 AAAA 1B31 0075 9384 00001", []),
    # Cut at the length of its country, whatever follows.
    ("RO 49 AAAA 1B31 0075 9384 0000 1234 deschis", ["RO 49 AAAA 1B31 0075 9384 0000"]),
    ("RO49.AAAA.1B31.0075.9384.0000.Banca", ["RO49.AAAA.1B31.0075.9384.0000"]),
    ("MD24-AG-0002-2510-0013-1041-68-RO", ["MD24-AG-0002-2510-0013-1041-68"]),
    # Only single separators join groups.
    ("RO 49 AAAA 1B31. 0075 9384 0000", []),
    ("RO 49 AAAA 1B31\n\n0075 9384 0000", []),
    ("RO 49 AAAA 1B31 \n0075 9384 0000", []),
    # One after the other, or after a word of the same shape.
    ("RO 49 AAAA 1B31 0075 9384 0000 MD24 AG 0002 2510 0013 1041 68",
     ["RO 49 AAAA 1B31 0075 9384 0000", "MD24 AG 0002 2510 0013 1041 68"]),
    ("CIF RO12 RO 49 AAAA 1B31 0075 9384 0000", ["RO 49 AAAA 1B31 0075 9384 0000"]),
    ("RO49 RO49AAAA1B31007593840000", ["RO49AAAA1B31007593840000"]),
    # No country of that code, or not an IBAN of its country.
    ("XX 49 AAAA 1B31 0075 9384 0000", []),
    ("RO 49 1234 1B31 0075 9384 0000", []),
])
def test_separated_pass(monkeypatch, recognizer, text, expected):
    # The base recognizer has its own idea of word bounds: left out here.
    monkeypatch.setattr(iban.IbanRecognizer, "analyze", lambda self, text, entities, nlp_artifacts=None: [])
    results = recognizer.analyze(text, None)
    assert sorted(text[r.start:r.end] for r in results) == sorted(expected)
    for r in results:
        assert (r.entity_type, r.score) == ("IBAN_CODE", 1.0)
        assert r.analysis_explanation.original_score == 1.0


def test_separated_pass_without_the_registry(monkeypatch, recognizer):
    # When the registry cannot give the recognizer a country's length, every
    # length is tried (schwifty's own validation still reads it).
    real = schwifty.registry.get_iban_spec

    def broken(country):
        if sys._getframe(1).f_globals.get("__name__", "").startswith("schwifty"):
            return real(country)
        raise RuntimeError("registry unavailable")
    monkeypatch.setattr(schwifty.registry, "get_iban_spec", broken)
    text = "contul RO 49 AAAA 1B31 0075 9384 0000 12 deschis"
    assert found(recognizer.analyze(text, None), text) == [
        ("RO 49 AAAA 1B31 0075 9384 0000", 1.0, SEPARATED)]


def test_standard_groups_never_match_the_spaced_pattern():
    assert CustomIbanRecognizer._SPACED_IBAN_RE.search("RO49 AAAA 1B31 0075 9384 0000") is None
    assert CustomIbanRecognizer._SPACED_IBAN_RE.search("RO49AAAA1B31007593840000") is None


@pytest.mark.parametrize("compact, score", [
    ("RO49AAAA1B31007593840000", 1.0),
    ("MD24AG000225100013104168", 1.0),
    ("RO48AAAA1B31007593840000", 0.65),
    ("RO49AAAA1B3100759384000", None),
    ("RO49AAAA1B31007593840000SI", None),
    ("XX49AAAA1B31007593840000", None),
    ("RO49AAAA-1B31007593840000", None),
])
def test_validate_iban(compact, score):
    assert CustomIbanRecognizer._validate_iban(compact) == score


class _Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("error, score", [
    (KeyError("RO"), None),
    (ZeroDivisionError("division by zero"), None),
    (RuntimeError("Checksum table unavailable"), 0.65),
    (_Unprintable(), None),
])
def test_unexpected_schwifty_errors(monkeypatch, recognizer, error, score):
    def raising(value):
        raise error
    monkeypatch.setattr(schwifty, "IBAN", raising)
    assert CustomIbanRecognizer._validate_iban("RO49AAAA1B31007593840000") == score
    results = recognizer.analyze("ro49aaaa1b3 10075 9384 0000", None)
    assert [r.score for r in results] == ([] if score is None else [score])


def test_interrupts_are_not_swallowed(monkeypatch):
    def raising(value):
        raise KeyboardInterrupt
    monkeypatch.setattr(schwifty, "IBAN", raising)
    with pytest.raises(KeyboardInterrupt):
        CustomIbanRecognizer._validate_iban("RO49AAAA1B31007593840000")


@pytest.mark.parametrize("text, calls", [
    # Shorter versions are only tried at their country's IBAN length (none
    # here), so only the few whole candidates at the end are validated.
    ("AB12C " * 200, 5),
    ("RO12CCC " * 200, 5),
    ("ro49aaaa1b3 10075 9384 0000 si banca", 2),
    # One candidate repeated is validated once.
    ("RO49 " * 2000, 2),
    ("RO 49 " * 2000, 2),
    ("ro49.aaaa." * 2000, 2),
])
def test_validations_stay_few(monkeypatch, recognizer, text, calls):
    seen = []
    real = schwifty.IBAN

    def counting(value):
        seen.append(value)
        return real(value)
    monkeypatch.setattr(schwifty, "IBAN", counting)
    recognizer.analyze(text, None)
    assert len(seen) <= calls


def test_schwifty_is_imported_at_each_validation(monkeypatch, recognizer):
    monkeypatch.setitem(sys.modules, "schwifty", None)
    assert recognizer.analyze("nimic de validat aici", None) == []
    with pytest.raises(ImportError):
        recognizer.analyze("ro49aaaa1b3 10075 9384 0000", None)


class _Spy(CustomIbanRecognizer):
    calls: list = []

    @staticmethod
    def _validate_iban(compact):
        _Spy.calls.append(compact)
        return 0.5


@pytest.mark.parametrize("text, validated", [
    ("AB12" + "C" * 7 + " 123", None),        # 14 characters
    ("AB12" + "C" * 8 + " 123", "x"),         # 15
    ("AB12" + "C" * 27 + " 123", "x"),        # 34
    ("AB12" + "C" * 28 + " 123", None),       # 35
    ("AB12" + "C" * 27 + "\t123", None),      # the tab counts: 35
    ("ab12" + "c" * 26 + "\t123", "x"),       # 34, upper-cased, tab kept
])
def test_length_bounds(text, validated):
    _Spy.calls = []
    results = _Spy(supported_language="ro").analyze(text, None)
    if validated is None:
        assert _Spy.calls == [] and results == []
    else:
        assert _Spy.calls == [text.replace(" ", "").upper()]
        assert [(r.start, r.end, r.score) for r in results] == [(0, len(text), 0.5)]
        assert results[0].analysis_explanation.recognizer == "_Spy"


def test_tuning_values_are_read_through_the_instance():
    rec = CustomIbanRecognizer(supported_language="ro")
    text = "ro49aaaa1b3 10075 9384 0000"
    assert len(rec.analyze(text, None)) == 1
    rec._MAX_IBAN_LEN = 20
    assert rec.analyze(text, None) == []


def test_replaced_pattern_is_used():
    class NoSpaced(CustomIbanRecognizer):
        _SPACED_IBAN_RE = re.compile(r"(?!)")

    results = NoSpaced(supported_language="ro").analyze("ro49aaaa1b3 10075 9384 0000", None)
    assert [r.analysis_explanation.textual_explanation for r in results] == [SEPARATED]


@settings(max_examples=150, deadline=None)
@given(texts(IBAN_SAMPLES))
def test_python_pattern_finds_what_the_native_one_finds(text):
    native = CustomIbanRecognizer(supported_language="ro")
    python = CustomIbanRecognizer(supported_language="ro")
    python._SPACED_IBAN_RE = re.compile(CustomIbanRecognizer._SPACED_IBAN_RE.pattern, re.IGNORECASE)
    key = lambda rs: [(r.start, r.end, r.score, r.analysis_explanation.textual_explanation) for r in rs]
    assert key(native.analyze(text, None)) == key(python.analyze(text, None))


def test_contract_surface():
    cls = CustomIbanRecognizer
    assert cls.__doc__.startswith("Extends built-in IbanRecognizer to handle space-separated IBANs.")
    assert issubclass(cls, iban.IbanRecognizer) and "__init__" not in cls.__dict__
    assert isinstance(cls._SPACED_IBAN_RE, re.Pattern)
    assert cls._SPACED_IBAN_RE.pattern == r"\b([A-Z]{2}\d{2}[A-Z0-9]+(?:\s[A-Z0-9]+){1,9})\b"
    assert cls._SPACED_IBAN_RE.flags & re.IGNORECASE
    assert (cls._MIN_IBAN_LEN, cls._MAX_IBAN_LEN) == (15, 34)
    with pytest.raises(TypeError):
        cls(supported_language="ro").analyze(b"RO49AAAA1B3 10075 9384 0000", None)


def test_through_analyzer_engine(ro_engine):
    engine = ro_engine([CustomIbanRecognizer(supported_language="ro")])
    text = "Plata în contul ro49aaaa1b3 10075 9384 0000 sau RO49 AAAA 1B31 0075 9384 0000 si banca."
    results = engine.analyze(text, language="ro")
    assert sorted((text[r.start:r.end], r.score) for r in results) == [
        ("RO49 AAAA 1B31 0075 9384 0000", 1.0), ("ro49aaaa1b3 10075 9384 0000", 1.0)]
    assert {r.recognition_metadata["recognizer_name"] for r in results} == {"CustomIbanRecognizer"}


@pytest.mark.parametrize("text", IBAN_SAMPLES + ROMANIAN_SAMPLES)
def test_pattern_parity_samples(text):
    assert_same(CustomIbanRecognizer._SPACED_IBAN_RE.pattern, re.IGNORECASE, text)


@settings(max_examples=300, deadline=None)
@given(texts(IBAN_SAMPLES + ROMANIAN_SAMPLES))
def test_pattern_parity_generated(text):
    assert_same(CustomIbanRecognizer._SPACED_IBAN_RE.pattern, re.IGNORECASE, text)
