import itertools
import re

import pytest
import regex
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnis.recognizers.code import CodeRecognizer
from tarnis.recognizers.domivia import RomanianStreetAddressRecognizer

FLAGS = re.DOTALL | re.MULTILINE


def matches(text, flags=FLAGS):
    """(pattern name, matched text) for every pattern, as the base class runs them."""
    return sorted((p.name, m.group()) for p in CodeRecognizer().patterns
                  for m in regex.finditer(p.regex, text, flags))


@pytest.mark.parametrize("text, expected", [
    ("Factura nr. 123456 din 12.03.2024", [("code_serial", "nr. 123456")]),
    ("Dosar 1234/AB/2023 si 123/2023", [("code_ambiguous", "123/2023"), ("code_court_dossier", "1234/AB/2023")]),
    ("CJ 12 ABC", [("code_plate", "CJ 12 ABC")]),
    ("B-123-ABC", [("code_ambiguous", "B-123"), ("code_plate", "B-123-ABC"), ("code_structured", "B-123-ABC")]),
    ("AA:BB:CC:DD:EE:FF", [("code_mac", "AA:BB:CC:DD:EE:FF")]),
    ("aa:bb:cc:dd:ee:ff", [("code_mac", "aa:bb:cc:dd:ee:ff")]),
    ("ABC_123_XYZ", [("code_underscore", "ABC_123_XYZ")]),
    ("zbor W6 1234", [("code_flight", "W6 1234")]),
    ("TICKET #1234", [("code_hash", "#1234"), ("code_serial", "TICKET #1234")]),
    ("cadastral 123456", [("code_serial", "123456")]),
    ("AB 1234", [("code_ambiguous", "AB 1234")]),
    ("ABC 1234 5678", [("code_spaced", "1234 5678")]),
    ("RX7-2024/ABC.01", [("code_structured", "RX7-2024/ABC.01")]),
    ("ABCD1234EFGH", [("code_structured", "ABCD1234EFGH")]),
    ("AȘ seria 1234567 și PH nr 99887", [("code_serial", "AȘ seria 1234567"), ("code_serial", "PH nr 99887")]),
    ("C AB 123", [("code_ambiguous", "AB 123"), ("code_plate", "C AB 123")]),
    ("B 123 EUR", [("code_ambiguous", "B 123")]),
    ("A1BC 22C3\nX9YZ", [("code_spaced", "A1BC 22C3\nX9YZ")]),
    ("1AB 2CDE5 7", [("code_spaced", "1AB 2CD")]),
    ("٣1B 1BAA٣AA A٣A1", [("code_spaced", "A٣AA A٣A1"), ("code_spaced", "٣1B 1BA")]),
    ("A-B-C-D-E-F٣ABC", [("code_structured", "A-B-C-D-E")]),
    # Structured tokens look at the whole run of [A-Z0-9/.-] that starts there, here for a digit.
    ("AAAAAAAAAA-AAAAAAAAAA-1", [("code_structured", "AAAAAAAAAA-AAAAAAAAAA-1")]),
    ("AAAAAAAAAA-AAAAAAAAAA-AAAAAAAAAA-AAAAAAAAAA-1", [("code_structured", "AAAAAAAAAA-1"),
                                                      ("code_structured", "AAAAAAAAAA-AAAAAAAAAA-AAAAAAAAAA")]),
])
def test_pattern_table(text, expected):
    assert matches(text) == expected


@pytest.mark.parametrize("text", [
    "12.03.2024", "2019-2023", "1999\u2013PREZENT", "1999-PREZENT", "2020-05-06", "1.234.567", "12-15.03.2024",
    "CJ 12 RON", "1AB 2CD5 7", "ABC_DEF_GHI", "Q1 2024", "DE 1234", "IV 2024", "CF 12345/1", "cj 12 abc",
    "Seria AB 123456", "123 456 789 5", "AAAAAAAAAA-AAAAAAAAAA", "x#12345", "",
])
def test_nothing_matches(text):
    assert matches(text) == []


def test_recognizer_results_after_the_base_class():
    recognizer = CodeRecognizer()
    assert (recognizer.name, recognizer.supported_entities, recognizer.supported_language,
            recognizer.global_regex_flags) == ("CodeRecognizer", ["CODE"], "ro", FLAGS)
    text = "Auto B-123-ABC, dosar 1234/AB/2023, MAC 00:1A:2B:3C:4D:5E."
    results = sorted(recognizer.analyze(text, ["CODE"]), key=lambda r: r.start)
    assert [(text[r.start:r.end], r.score, r.analysis_explanation.pattern_name) for r in results] == [
        ("B-123-ABC", 0.6, "code_structured"), ("1234/AB/2023", 0.6, "code_court_dossier"),
        ("00:1A:2B:3C:4D:5E", 0.7, "code_mac")]
    assert {r.entity_type for r in results} == {"CODE"}


# The two patterns that are written in linear-time forms, in their plain forms:
# the production forms must find exactly what these find.
PLAIN = {
    "code_structured": r"(?!\d{2}[./]\d{2}[./]\d{4})(?!\d{4}-\d{2}-\d{2})(?!(?:19[4-9]\d|20\d{2})[-\u2013](?:(?:19|20)\d{2}|PREZENT)\b)(?!\d{4}/[A-Z]+\b)\b(?!\d{1,8}[/]\d{4}\b)(?!\d{1,2}-\d{1,2}[./]\d{2}[./]\d{4})(?!\d{2}[.]\d{4}-\d{2}[.]\d{2}[.]\d{4})(?!(?:19|20)\d{2}-\d{2}[./]\d{2}[./]\d{4})(?!\d{1,3}(?:[.]\d{3})+(?:-\d{1,3}(?:[.]\d{3})+)?(?!\d))(?!\d{2,3}-\d{1,3}(?:[.]\d{3})+)(?=[A-Z0-9][A-Z0-9/.\-]{7,30}[A-Z0-9]\b)(?=[A-Z0-9/.\-]*[A-Z0-9]{3}[A-Z0-9/.\-]*\d|[A-Z0-9/.\-]*\d[A-Z0-9/.\-]*[A-Z0-9]{3})([A-Z0-9][A-Z0-9/.\-]{7,30}[A-Z0-9])(?!\d)\b",  # noqa: E501
    "code_spaced": r"(?<!\d)(?<!\d )(?:[A-Z]*\d[A-Z0-9]{2,})(?:\s(?:[A-Z]*\d[A-Z0-9]{2,}))+(?!\d)(?! \d)",
}
PRODUCTION = {p.name: p.regex for p in CodeRecognizer().patterns if p.name in PLAIN}


def assert_same_matches(text):
    for flags in (FLAGS, FLAGS | re.IGNORECASE):
        for name, plain in PLAIN.items():
            fast = regex.compile(PRODUCTION[name], flags)
            assert [m.span() for m in fast.finditer(text)] == \
                [m.span() for m in regex.finditer(plain, text, flags)], (name, flags, text)


# Inputs where a start is covered only by a start inside the previous match,
# or where the digit of a structured run comes right after it.
TRICKY = ["٣1B 1BAA٣AA A٣A1", "A-B-C-D-E-F٣ABC", "X1AAB٣12 X1AAB٣12 5", "1A1A1 1A1A1 1A1A1 5", "123 456 789 5",
          "A112 1B٣2A 121", "121 12A A112A٣", "AAAA-AA1A", "AAAAAAAAAA-AAAAAAAAAA-AAAAAAAAAA-AAAAAAAAAA-1"]


def test_linear_forms_agree_on_all_short_texts():
    for text in TRICKY:
        assert_same_matches(text)
    for n in range(9):
        for chars in itertools.product("A1٣ ", repeat=n):
            assert_same_matches("".join(chars))


TOKEN = st.text(alphabet="AB12٣a_", min_size=1, max_size=6)
CHAIN = st.builds(lambda first, rest: first + "".join(sep + tok for sep, tok in rest), TOKEN,
                  st.lists(st.tuples(st.sampled_from([" ", "\n", "  ", " 1", "-", ".", "/", ":"]), TOKEN), max_size=8))


@settings(max_examples=1500, deadline=None)
@given(st.one_of(CHAIN, st.text(alphabet="AB12٣0 \n.-/_aZ–", max_size=40)))
def test_linear_forms_agree_on_generated_text(text):
    assert_same_matches(text)


def test_both_recognizers_in_analyzer_engine(ro_engine):
    engine = ro_engine([RomanianStreetAddressRecognizer(), CodeRecognizer()])
    text = "Domnul Popescu, str. Florilor 12, Bacău, are mașina BC 10 XYZ și dosarul 4321/B/2022."
    found = sorted((r.entity_type, text[r.start:r.end], round(r.score, 6), r.recognition_metadata["recognizer_name"])
                   for r in engine.analyze(text, language="ro"))
    assert found == [("CODE", "4321/B/2022", 0.6, "CodeRecognizer"), ("CODE", "BC 10 XYZ", 0.6, "CodeRecognizer"),
                     ("DOMIVIA", "str. Florilor 12, Bacău", 0.65, "RomanianStreetAddressRecognizer")]


# --- native analyze against the base class ---------------------------------

from presidio_analyzer import Pattern, PatternRecognizer  # noqa: E402

# Characters on which the `regex` module's classes differ from those of `re`:
# a digit and a letter only its newer tables know, and the separators
# \x1c-\x1f that `re` counts as white space and `regex` does not.
ALL_CHARS = "".join(map(chr, range(0x110000)))
NEW_DIGIT = next(c for c in regex.findall(r"\d", ALL_CHARS) if not re.match(r"\d", c))
NEW_LETTER = next(c for c in regex.findall(r"\w", ALL_CHARS) if not re.match(r"\w", c))


def described(results):
    """Everything a result carries, in order."""
    return [(r.entity_type, r.start, r.end, r.score, sorted(vars(r.analysis_explanation).items(), key=str),
             r.recognition_metadata) for r in results]


def assert_native_is_base(recognizer, text, regex_flags=None):
    base = PatternRecognizer.analyze(recognizer, text, ["CODE"], None, regex_flags)
    native = recognizer.analyze(text, ["CODE"], None, regex_flags)
    assert described(native) == described(base), text


RECOGNIZER = CodeRecognizer()

SAMPLES = TRICKY + [
    "Factura nr. 123456 din 12.03.2024; Dosar 1234/AB/2023 si 123/2023, CJ 12 ABC, B-123-ABC, TICKET #1234",
    "AA:BB:CC:DD:EE:FF ABC_123_XYZ zbor W6 1234 cadastral 123456 AȘ seria 1234567 și PH nr 99887 C AB 123",
    # A run without a triple after its first digit whose digit-and-triple comes from a digit of
    # another script right after it and a triple in the run that follows.
    "12.03.12.03.٣-1.234 AB.CD.EF.1G.٣ABC",
    "1.234.567.890.123.456-1.234.567 RX7-2024/ABC.01 1999\u2013PREZENT 2019-2023 12-15.03.2024 02.2024-03.03.2024",
    f"AB{NEW_DIGIT}CDEF-GHI1 {NEW_LETTER}AB12345678 AB12345678{NEW_LETTER} 1AB{NEW_DIGIT}2CD 3EF",
    "A1BC\x1c22C3 A1BC\x1f22C3 A1BC\u200922C3 A1BC\n22C3\r\nX9YZ ABCD1234EFGH\x1dABCD1234EFGH",
    "\ud800ABCD1234EFGH\udfff A1B 2CD\ud800 #12345\ud800 \udfffCJ 12 ABC",
    "AAAAAAAAAA-" * 30 + "1 " + "1AA " * 40 + "5 " + "ABCDEFGHIJ" * 40 + "٣ABC",
]


@pytest.mark.parametrize("text", SAMPLES + ["", "A", "123456789"])
def test_native_analyze_is_the_base_class_analyze(text):
    assert_native_is_base(RECOGNIZER, text)


def test_native_analyze_on_short_texts():
    for n in range(7):
        for chars in itertools.product("A1٣ -", repeat=n):
            assert_native_is_base(RECOGNIZER, "".join(chars))


PIECES = st.sampled_from(
    ["A", "B", "Z", "1", "2", "0", "9", "٣", NEW_DIGIT, NEW_LETTER, "a", "_", "/", ".", "-", ":", "#", " ", "  ",
     "\n", "\t", "\x1c", "\x1f", "\u2013", "\ud800", "Ș", "AB", "ABC", "123", "1234", "2023", "19", "20", ".123",
     "12.03.", "PREZENT", "nr. ", "seria ", "CF ", "TICKET ", "cadastral ", "CJ ", "B ", "RON", "AA:BB:", "Q1 "])


@settings(max_examples=1500, deadline=None)
@given(st.one_of(CHAIN, st.lists(PIECES, max_size=30).map("".join)))
def test_native_analyze_on_generated_text(text):
    assert_native_is_base(RECOGNIZER, text)


class Validating(CodeRecognizer):
    def validate_result(self, pattern_text):
        return None if "A" in pattern_text else "1" in pattern_text

    def invalidate_result(self, pattern_text):
        return "5" in pattern_text


class Explaining(CodeRecognizer):
    @staticmethod
    def build_regex_explanation(recognizer_name, pattern_name, pattern, original_score, validation_result,
                                regex_flags):
        explanation = PatternRecognizer.build_regex_explanation(
            recognizer_name, pattern_name, pattern, original_score, validation_result, regex_flags)
        explanation.textual_explanation = "custom"
        return explanation


def rescored(recognizer):
    recognizer.patterns = [Pattern(p.name, p.regex, 0.0 if p.name == "code_mac" else 0.5)
                           for p in reversed(recognizer.patterns)]
    return recognizer


def replaced(recognizer):
    recognizer.patterns = [Pattern("digits", r"\d{3}", 0.4)] + recognizer.patterns
    return recognizer


def deny_listed(recognizer):
    recognizer.patterns.append(recognizer._deny_list_to_regex(["ABC"]))
    return recognizer


def global_flags(recognizer):
    recognizer.global_regex_flags = re.IGNORECASE | FLAGS
    return recognizer


def emptied(recognizer):
    recognizer.patterns = []
    return recognizer


FALLBACK_TEXT = ("cj 12 abc, CJ 12 ABC, B-123-ABC, AA:BB:CC:DD:EE:FF, nr. 123456, ab_12_cd, "
                 "ABCD5678EFGH, A1BC 22C3, 1234/AB/2023, x ABC y")


@pytest.mark.parametrize("make, regex_flags", [
    (Validating, None),  # overridden hooks are called on each match, scores follow them
    (Explaining, None),
    (lambda: rescored(CodeRecognizer()), None),  # same regexes, other order and scores (0 drops)
    (lambda: replaced(CodeRecognizer()), None),
    (lambda: deny_listed(CodeRecognizer()), None),
    (lambda: global_flags(CodeRecognizer()), None),
    (lambda: emptied(CodeRecognizer()), None),
    (CodeRecognizer, re.IGNORECASE | FLAGS),
    (CodeRecognizer, int(FLAGS)),
    (CodeRecognizer, 0),
])
def test_instances_off_the_table_get_the_base_class_results(make, regex_flags):
    recognizer = make()
    assert_native_is_base(recognizer, FALLBACK_TEXT, regex_flags)
    assert_native_is_base(recognizer, SAMPLES[0], regex_flags)


def test_off_table_results_do_differ_from_the_table():
    # The cases above would prove nothing if they found the same as the table.
    plain = described(RECOGNIZER.analyze(FALLBACK_TEXT, ["CODE"]))
    for make, flags in [(Validating, None), (Explaining, None), (lambda: replaced(CodeRecognizer()), None),
                        (lambda: deny_listed(CodeRecognizer()), None), (CodeRecognizer, re.IGNORECASE | FLAGS)]:
        assert described(make().analyze(FALLBACK_TEXT, ["CODE"], None, flags)) != plain


def test_native_analyze_refuses_non_str_text():
    with pytest.raises(TypeError, match="text"):
        RECOGNIZER.analyze(b"CJ 12 ABC", ["CODE"])
