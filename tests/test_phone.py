import random
import re
from types import SimpleNamespace

import phonenumbers
import pytest
from hypothesis import given, settings

from support.parity import ROMANIAN_SAMPLES, assert_same, texts
from tarnis.recognizers import phone
from tarnis.recognizers.phone import CustomPhoneRecognizer

ALL = CustomPhoneRecognizer.SUPPORTED_REGIONS


def spans(results):
    return sorted((r.start, r.end, r.analysis_explanation.textual_explanation) for r in results)


def matcher_spans(text, regions, leniency):
    return {(m.start, m.end) for reg in regions for m in phonenumbers.PhoneNumberMatcher(text, reg, leniency=leniency)}


def test_contract_values():
    for name in ("_CNP_RE", "_IDNP_RE", "_DATE_RE", "_SALARY_RE", "_YEAR_AMOUNT_RE"):
        assert isinstance(getattr(phone, name), re.Pattern) and getattr(phone, name).flags == re.UNICODE
    assert ALL == ("RO", "MD", "US", "UK", "IL", "CA", "BR")
    r = CustomPhoneRecognizer()
    assert (r.name, r.supported_language, r.supported_entities) == ("RomanianPhoneRecognizer", "ro", ["PHONE_NUMBER"])
    assert (r.supported_regions, r.leniency, r.context) == (ALL, 1, CustomPhoneRecognizer.CONTEXT)


@pytest.mark.parametrize("text, kwargs, expected", [
    ("Sună la 0721 234 567 mâine.", {}, [(8, 20, "RO")]),
    ("Chișinău: +373 22 123456", {}, [(10, 24, "MD")]),
    ("Londra +44 20 7946 0958", {}, [(7, 23, "GB")]),
    ("(650) 253-0000", {}, [(0, 14, "US")]),             # national form: the first pass that finds it names it
    ("Cluj: 0264-123456.", {}, [(6, 17, "RO")]),         # not a year-amount pair
    ("mobil 0721-234567", {}, [(6, 17, "RO")]),
    ("ARO 071847294", {}, [(4, 13, "MD")]),              # ARO is not a whole two-letter word
    ("tel+40721234567", {}, [(3, 15, "RO")]),            # a leading + is never part of a code
    ("RO +40 721 234 567", {}, [(3, 18, "RO")]),
    ("Pe 15.03.2024 sunați la 0721 234 567", {}, [(24, 36, "RO")]),
    ("0721 234 567", {"supported_regions": ("US", "RO"), "leniency": 0}, [(0, 12, "US")]),
    ("0999 999 999", {"leniency": 0}, [(0, 12, "RO")]),
    ("0999 999 999", {}, []),
    ("Sună la 0721 234 567", {"supported_regions": ()}, []),
    ("", {}, []),
])
def test_detection(text, kwargs, expected):
    results = CustomPhoneRecognizer(**kwargs).analyze(text, [])
    assert spans(results) == [(s, e, f"Recognized as {reg} phone number") for s, e, reg in expected]
    for r in results:
        assert (r.entity_type, r.score, r.analysis_explanation.original_score) == ("PHONE_NUMBER", 0.65, 0.65)
        assert r.analysis_explanation.recognizer == "CustomPhoneRecognizer"


@pytest.mark.parametrize("text, regions, leniency", [
    ("1850101123456", ("DE",), 0),       # CNP shape
    ("0123456789012", ALL, 1),           # IDNP shape
    ("15.03.2024", ("MD",), 0),
    ("(15.03.2024", ("MD",), 0),
    ("12-15.03.2024", ("US",), 0),
    ("01.03 - 15.03.2024", ("IL",), 0),
    ("12.000.000", ("MD",), 0),
    ("2.500 – 3.000", ("MD",), 0),
    ("2024 - 1.500,00", ("MD",), 0),
    ("2023—1.500", ("MD",), 0),
    ("abc0721234567", ("RO",), 0),       # directly after a letter
    ("Тел0721 234 567", ALL, 1),         # a letter the library does not check
    ("RO 071847294", ALL, 1),            # digits of a code, match at offset 3
    ("ȘT 0721 234 567", ALL, 1),
])
def test_rejected_candidates(text, regions, leniency):
    assert matcher_spans(text, regions, leniency), "the library must propose a candidate here"
    assert CustomPhoneRecognizer(supported_regions=regions, leniency=leniency).analyze(text, []) == []


@pytest.mark.parametrize("text, start, expected", [
    ("0721", 0, False), ("RO +40", 3, False), ("a0721", 1, True), ("ș0721", 1, True),
    ("RO 0721", 3, True), ("ARO 0721", 4, False), ("1RO 0721", 4, True), ("x ȘT 0721", 5, True),
    ("Ro 0721", 3, False), ("R1 0721", 3, False), ("RO  0721", 4, False), ("RO\xa00721", 3, False),
    ("中文 0721", 3, False), ("Aא 0721", 3, True), ("ǅA 0721", 3, False), (": 0721", 2, False),
])
def test_preceded_by_alpha(text, start, expected):
    assert CustomPhoneRecognizer._preceded_by_alpha(text, start) is expected


@pytest.mark.parametrize("call, error", [
    (lambda: CustomPhoneRecognizer._preceded_by_alpha("RO 0", 4), IndexError),
    (lambda: CustomPhoneRecognizer._preceded_by_alpha("RO 0", -1), IndexError),
    (lambda: CustomPhoneRecognizer._preceded_by_alpha(b"RO 0", 3), TypeError),
    (lambda: CustomPhoneRecognizer._preceded_by_alpha("RO 0", 3.0), TypeError),
    (lambda: CustomPhoneRecognizer(context="tel"), TypeError),
    (lambda: CustomPhoneRecognizer(supported_regions=["RO"]), TypeError),
    (lambda: CustomPhoneRecognizer(supported_regions=("RO", 40)), TypeError),
    (lambda: CustomPhoneRecognizer(leniency="1"), TypeError),
    (lambda: CustomPhoneRecognizer(leniency=1.0), TypeError),
    (lambda: CustomPhoneRecognizer(leniency=4), ValueError),
    (lambda: CustomPhoneRecognizer().analyze(b"0721 234 567", []), TypeError),
    (lambda: CustomPhoneRecognizer().analyze("0721 234 567", ("PHONE_NUMBER",)), TypeError),
    (lambda: CustomPhoneRecognizer().analyze("0721 234 567", None), TypeError),
])
def test_bad_arguments(call, error):
    with pytest.raises(error):
        call()


def test_leniency_changed_after_construction_is_reported_clearly():
    r = CustomPhoneRecognizer()
    r.leniency = 9  # phonenumbers itself would raise a bare Exception mid-scan
    with pytest.raises(ValueError, match="leniency"):
        r.analyze("Sună la 0721 234 567", [])


@pytest.mark.parametrize("context, expected", [
    (None, CustomPhoneRecognizer.CONTEXT), ([], CustomPhoneRecognizer.CONTEXT), (["nr. tel"], ["nr. tel"]),
])
def test_context(context, expected):
    r = CustomPhoneRecognizer(context=context)
    assert r.context == expected
    r.context.append("x")
    assert "x" not in CustomPhoneRecognizer.CONTEXT


def test_subclass_overrides_are_honoured():
    calls = []

    class Custom(CustomPhoneRecognizer):
        SCORE = 0.5
        SUPPORTED_REGIONS = ("MD",)

        @staticmethod
        def _preceded_by_alpha(text, start):
            calls.append(start)
            return 0  # any falsy value keeps the candidate

    results = Custom().analyze("RO 071847294 sau 0721 234 567", [])
    assert [(r.start, r.score, r.analysis_explanation.recognizer) for r in results] == [(3, 0.5, "Custom")]
    assert calls == [3]


def fake_library(monkeypatch, matches, parse):
    class Matcher:
        def __init__(self, text, region, leniency, max_tries):
            pass

        def __iter__(self):
            return iter(SimpleNamespace(start=s, end=e) for s, e in matches)

    monkeypatch.setattr(phone, "phonenumbers", SimpleNamespace(
        PhoneNumberMatcher=Matcher, parse=parse, region_code_for_number=lambda n: n,
        NumberParseException=phonenumbers.NumberParseException))


def test_only_parse_errors_fall_back_to_the_pass_region(monkeypatch):
    def parse(text):
        raise ValueError("boom")

    fake_library(monkeypatch, [(0, 12)], parse)
    with pytest.raises(ValueError, match="boom"):
        CustomPhoneRecognizer(supported_regions=("RO",)).analyze("0721 234 567", [])


@pytest.mark.parametrize("span", [(5, 40), (-1, 4), (4, 4)])
def test_offsets_outside_the_text_are_refused(monkeypatch, span):
    fake_library(monkeypatch, [span], lambda text: "RO")
    with pytest.raises(ValueError, match="span"):
        CustomPhoneRecognizer(supported_regions=("RO",)).analyze("0721 234 567", [])


def test_number_at_the_end_of_a_long_dense_document_is_found():
    rng = random.Random(7)
    parts = [f"nr. {rng.randint(100, 99999)}, " for _ in range(100_000)]
    text = "".join(parts) + "Contact: 0721 234 567."
    assert len(text) > 1_000_000
    last = (len(text) - 13, len(text) - 1)
    # The library's default tries limit stops well before the end of this text.
    assert last not in {(m.start, m.end) for m in phonenumbers.PhoneNumberMatcher(text, "RO")}
    results = CustomPhoneRecognizer(supported_regions=("RO",)).analyze(text, [])
    assert [(r.start, r.end) for r in results] == [last]


def test_in_analyzer_engine(ro_engine):
    engine = ro_engine([CustomPhoneRecognizer()])
    text = "Telefon: 0721 234 567, CNP 1850101123456, fax +373 22 123456, data 15.03.2024."
    results = engine.analyze(text, language="ro", entities=["PHONE_NUMBER"])
    assert sorted((r.entity_type, text[r.start:r.end]) for r in results) == [
        ("PHONE_NUMBER", "+373 22 123456"), ("PHONE_NUMBER", "0721 234 567")]
    assert {r.recognition_metadata["recognizer_name"] for r in results} == {"RomanianPhoneRecognizer"}
    assert all(r.score >= 0.65 for r in results)


PHONE_SAMPLES = ROMANIAN_SAMPLES + [
    "1850101123456", "0123456789012", "x1850101123456y", "15.03.2024", "(15/03/2024 ora 10", "12–15.03.2024",
    "15.03.2024-20.03.2024", "01.03 – 15.03.2024", "2.500 – 3.000", "12.000.000—1.500.000", "2024 - 1.500,00",
    "2023—1.500", "2024 -\n1.500", "15.03.2024\n", "1.500\n", "٣.٣٣٣", "0264-123456",
]
PATTERNS = ["_CNP_RE", "_IDNP_RE", "_DATE_RE", "_SALARY_RE", "_YEAR_AMOUNT_RE"]


@pytest.mark.parametrize("name", PATTERNS)
@pytest.mark.parametrize("text", PHONE_SAMPLES)
def test_pattern_parity_samples(name, text):
    assert_same(getattr(phone, name).pattern, 0, text)


@pytest.mark.parametrize("name", PATTERNS)
@settings(max_examples=150, deadline=None)
@given(text=texts(PHONE_SAMPLES))
def test_pattern_parity_generated(name, text):
    assert_same(getattr(phone, name).pattern, 0, text)


# ---------------------------------------------------------------- scanning only where a number can be

from hypothesis import strategies as st  # noqa: E402
from re import _parser as sre_parse  # noqa: E402

from phonenumbers import phonenumbermatcher  # noqa: E402

_MODULE = SimpleNamespace(**{k: getattr(phonenumbers, k) for k in dir(phonenumbers) if not k.startswith("__")})


def whole_text_results(rec, text):
    """The recognizer with the matcher run over the whole text: a stand-in
    module (not the library itself) is always given the whole text."""
    saved, phone.phonenumbers = phone.phonenumbers, _MODULE
    try:
        return rec.analyze(text, [])
    finally:
        phone.phonenumbers = saved


def full(results):
    return [(r.start, r.end, r.score, r.analysis_explanation.textual_explanation) for r in results]


def _atoms(tree):
    """The character-matching items of a parsed pattern."""
    for op, av in tree:
        if op in (sre_parse.LITERAL, sre_parse.NOT_LITERAL, sre_parse.IN, sre_parse.ANY):
            yield sre_parse.SubPattern(tree.state, [(op, av)])
        elif op in (sre_parse.MAX_REPEAT, sre_parse.MIN_REPEAT):
            yield from _atoms(av[2])
        elif op is sre_parse.SUBPATTERN:
            yield from _atoms(av[-1])
        elif op is sre_parse.BRANCH:
            for alt in av[1]:
                yield from _atoms(alt)
        else:
            raise AssertionError(f"the matcher's pattern uses {op}: windows may no longer be safe")


def test_every_character_of_a_candidate_is_a_cluster_character():
    # Walks the library's candidate pattern: no anchors or look-arounds, and
    # every character any of its items matches is a cluster character
    # (commas and tabs only next to an extension label).
    pattern = phonenumbermatcher._PATTERN
    items = list(_atoms(sre_parse.parse(pattern.pattern, pattern.flags)))
    chars = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c < 0xE000)
    seen = set()
    for item in items:
        rx = re.compile("".join(_source(item)), pattern.flags)
        seen.update(rx.findall(chars))
    outside = {c for c in seen if not phone._NUMBER_CHAR_RE.fullmatch(c)}
    assert outside == {",", "\t"}


def _source(item):
    """Re-create the source of one parsed item (a literal or a set)."""
    (op, av), = item.data
    if op is sre_parse.LITERAL:
        return [re.escape(chr(av))]
    if op is sre_parse.NOT_LITERAL:
        return ["[^", re.escape(chr(av)), "]"]
    if op is sre_parse.ANY:
        return ["(?s:.)"]
    out = ["["]
    for sop, sav in av:
        if sop is sre_parse.NEGATE:
            out.append("^")
        elif sop is sre_parse.LITERAL:
            out.append(re.escape(chr(sav)))
        elif sop is sre_parse.RANGE:
            out.append(re.escape(chr(sav[0])) + "-" + re.escape(chr(sav[1])))
        elif sop is sre_parse.CATEGORY:
            out.append({sre_parse.CATEGORY_DIGIT: r"\d", sre_parse.CATEGORY_SPACE: r"\s",
                        sre_parse.CATEGORY_WORD: r"\w"}[sav])
        else:
            raise AssertionError(f"unexpected set item {sop}")
    out.append("]")
    return out


_PIECES = ["0721 234 567", "+40 721 234 567", "+373 22 123456", "(650) 253-0000", "022 123 456", "00 40 721 234 567",
           "011 1 650 253 0000", "15.03.2024", "2.500", "nr. 12345", "ext. 12", " x 77", ",", ", ", "\t", "#", ";ext=5",
           "lei", "RO ", "tel", "anexo", " int ", "+", "0", "00", "1", "9", "-", "/", ".", " ", "\n", "a", "Z", "٣",
           "2012-01-02 08", ":30", "(", ")", "[", "\uff0b", "\u00a0"]


@settings(max_examples=300, deadline=None)
@given(parts=st.lists(st.sampled_from(_PIECES), max_size=30), leniency=st.sampled_from([0, 1, 2, 3]))
def test_windows_find_what_the_whole_text_finds(parts, leniency):
    rec = CustomPhoneRecognizer(leniency=leniency)
    text = "".join(parts)
    assert full(rec.analyze(text, [])) == full(whole_text_results(rec, text))


def dense_numbers(size, seed=7):
    """Numbers, amounts, dates and now and then a phone number, packed tight."""
    rng, parts, length = random.Random(seed), [], 0
    while length < size:
        kind = rng.randrange(50)
        if kind < 2:
            piece = rng.choice([f"tel. 07{rng.randint(20, 99)} {rng.randint(100, 999)} {rng.randint(100, 999)}; ",
                                f"+373 {rng.randint(60, 79)} {rng.randint(100000, 999999)}, ",
                                f"fax (021) {rng.randint(200, 999)}-{rng.randint(1000, 9999)} ext. 12, "])
        elif kind < 30:
            piece = f"nr. {rng.randint(100, 99999)}, "
        elif kind < 40:
            piece = f"{rng.randint(1, 28):02d}.{rng.randint(1, 12):02d}.{rng.randint(2000, 2025)}, "
        else:
            piece = f"{rng.randint(1, 999)}.{rng.randint(0, 999):03d} lei, "
        parts.append(piece)
        length += len(piece)
    return "".join(parts)


def test_windows_on_a_dense_document():
    text = dense_numbers(30_000)
    rec = CustomPhoneRecognizer()
    got = rec.analyze(text, [])
    assert len(got) > 10 and full(got) == full(whole_text_results(rec, text))


# Regions passed by callers are often the very string objects the library
# uses ("RO" literals are interned), and regions sharing a country code take
# their prefix rules from the code's main region (CA from US).
@pytest.mark.parametrize("text, regions", [
    ("Sună la 0721 234 567 mâine.", ("RO",)),
    ("0721-234-567/0722-345-678", ("RO",)),
    ("40 721 234 567 sau 0040 721 234 567", ("RO",)),       # country code without plus, international prefix
    ("00373 22 123 456, 011 1 650 253 0000", ("RO", "MD", "US")),
    ("1 650 253 0000 și (650) 253-0000", ("CA", "US")),
    ("Tel 295 1234 sau 441 295 1234", ("BM",)),             # prefix rule that prepends digits
    ("ligue 0 21 11 98765 4321 ou (11) 98765-4321", ("BR",)),  # carrier code rewritten away
    ("0721 234 567 ext 123456789012", ("RO",)),              # extension longer than a block of its label
    ("0721 234 567 x 1234567890", ("RO",)),
    ("12345678901234567890123 0721234567", ("RO", "US")),
    ("1234567890123450721234567", ("RO", "US")),
    ("١٢٣ ٠٧٢١٢٣٤٥٦٧ și ０７２１ ２３４ ５６７", ("RO",)),          # digits the library reads itself
    ("0800 FLOWERS, 1-800-FLOWERS, 0721 ext abc 5", ("RO", "US")),
    ("2012-01-02 08:30 0721 234 567, 15/03/2024 0721 234 567", ("RO",)),
    (" / ".join(["0721 234 567", "2.500", "021 123 45 67"] * 12), ("RO", "MD")),  # one cluster of many runs
])
@pytest.mark.parametrize("leniency", [0, 1, 2, 3])
def test_windows_match_the_whole_text_on_number_forms(text, regions, leniency):
    rec = CustomPhoneRecognizer(supported_regions=regions, leniency=leniency)
    assert full(rec.analyze(text, [])) == full(whole_text_results(rec, text))


def _digits(min_size, max_size):
    return st.text(alphabet="0123456789", min_size=min_size, max_size=max_size)


_DIGIT_HEAVY = st.one_of(
    _digits(1, 14), _digits(13, 13), _digits(18, 26),
    st.sampled_from(["+40", "+373", "0040", "00373", "+1", "011", "0", "07", "021", "(", ")", "(0)", "/", "-", ".",
                     " ", "  ", "\n", ", ", ",", ":", ";", "#", "x", "ext", " ext. ", " int ", "~", "lei", "nr. ",
                     "CNP ", "Instanța ", "nota ", "tel ", "RO ", "15.03.2024", "15/03/2024", "2012-01-02 08", ":30",
                     "08:30", "2.500,00", "1.500.000", "١", "０", "\u2013", "\u00a0"]),
)
_REGION_SETS = st.sampled_from([ALL, ("RO",), ("MD",), ("RO", "MD"), ("US", "CA"), ("IL",), ("BR",), ("BM", "GB")])


@settings(max_examples=400, deadline=None)
@given(parts=st.lists(_DIGIT_HEAVY, max_size=24), regions=_REGION_SETS, leniency=st.sampled_from([0, 1, 2, 3]))
def test_windows_match_the_whole_text_on_digit_heavy_text(parts, regions, leniency):
    rec = CustomPhoneRecognizer(supported_regions=regions, leniency=leniency)
    text = "".join(parts)
    assert full(rec.analyze(text, [])) == full(whole_text_results(rec, text))


def test_only_windows_that_can_hold_a_valid_number_are_scanned(monkeypatch):
    scanned = []
    real = phonenumbers.PhoneNumberMatcher

    def matcher(text, region, **kwargs):
        scanned.append((region, text))
        return real(text, region, **kwargs)

    monkeypatch.setattr(phonenumbers, "PhoneNumberMatcher", matcher)
    noise = "CNP 1850101123456, dosar nr. 1621/633/2016 din 15.03.2024, suma de 2.500,00 lei, nr. 12345. "
    rec = CustomPhoneRecognizer(supported_regions=("RO", "MD", "US"))
    assert rec.analyze(noise * 3, []) == [] and scanned == []
    results = rec.analyze(noise + "Telefon: 0721 234 567." + noise, [])
    assert [(r.start, r.end) for r in results] == [(len(noise) + 9, len(noise) + 21)]
    assert scanned == [("RO", "fon: 0721 234 567.C")]  # its cluster and a character either side


def test_library_limits_the_windows_rely_on():
    # Candidates take whole digit runs unless a run is longer than a block
    # of the candidate pattern or than the digits allowed after an extension
    # label; the cluster test falls back to counting digits on such runs.
    assert phonenumbermatcher._DIGIT_BLOCK_LIMIT == 20
    assert re.search(r"\\d\{1,20\}\)\{0,20\}", phonenumbermatcher._PATTERN.pattern)
    limits = [int(n) for n in re.findall(r"\\d\{1,(\d+)\}", phonenumbers.phonenumberutil._EXTN_PATTERNS_FOR_MATCHING)]
    assert sorted(limits) == [6, 9, 20, 20]
    assert phonenumbers.phonenumberutil._EXTN_PATTERNS_FOR_MATCHING.endswith(r"(\d{1,6})#")


# ---------------------------------------------------------------- numbers right after a phone keyword

@pytest.mark.parametrize("text, expected", [
    # unallocated ranges, which the matcher calls invalid: taken after a keyword only
    ("tel. +40 782 512 470", [("+40 782 512 470", "RO")]),
    ("Tel:+40782512470.", [("+40782512470", "RO")]),
    ("nr. de telefon\n+40 787 361 698 card", [("+40 787 361 698", "RO")]),
    ("TEL/FAX: 0040 782 512 470", [("0040 782 512 470", "RO")]),
    ("mobil - +40 785 111 222; fax +40 786 333 444", [("+40 785 111 222", "RO"), ("+40 786 333 444", "RO")]),
    ("contact: +40 782 512 470 15.03.2024", [("+40 782 512 470", "RO")]),   # the longest possible run
    ("Sună la +40 782 512 470", []),                                          # no keyword
    ("Hotel +40 782 512 470", []),                                            # not a whole word
    ("telegram +40 782 512 470", []),
    ("tel 15.03.2024", []), ("fax 2.500 lei", []), ("mobil 1850101123456", []),  # not numbers at all
    ("tel. +40 7", []),                                                       # too short to be possible
    # a number the region passes find keeps their result
    ("telefon 0721 234 567", [("0721 234 567", "RO")]),
])
def test_possible_number_after_a_keyword(text, expected):
    results = CustomPhoneRecognizer().analyze(text, [])
    assert sorted((text[r.start:r.end], r.analysis_explanation.textual_explanation) for r in results) == \
        sorted((s, f"Recognized as {reg} phone number") for s, reg in expected)
    assert all((r.entity_type, r.score) == ("PHONE_NUMBER", 0.65) for r in results)


def test_keyword_numbers_never_overlap_what_the_region_passes_found():
    rec = CustomPhoneRecognizer()
    for text in ["tel. 0721 234 567 0721", "tel. 12 0721 234 567", "telefon: 0264-123456 / +40 782 512 470"]:
        spans_ = sorted((r.start, r.end) for r in rec.analyze(text, []))
        assert all(a[1] <= b[0] for a, b in zip(spans_, spans_[1:])), text
        without_keyword = text.replace("tel", "xyz")
        assert set(spans(rec.analyze(without_keyword, []))) <= set(spans(rec.analyze(text, [])))


KEYWORD_SAMPLES = ["tel. 0721", "Tel:+40", "TELEFON: 07", "nr. de telefon\n+40", "Nr.Tel. 0", "numărul de telefon 07",
                   "tel/fax: 021", "mobil - 07", "fax= 021", "contact: +373", "contactul 07", "Hotel 07", "telegram",
                   "telefonului 07", "TELEFONUL:", "mobilul – 07", "ștel 07", "x_tel 07", "1tel 07", "ĂTel 07"]


@pytest.mark.parametrize("text", KEYWORD_SAMPLES)
def test_keyword_pattern_parity_samples(text):
    assert_same(phone._PHONE_KEYWORD_RE.pattern, re.IGNORECASE | re.UNICODE, text)


@settings(max_examples=150, deadline=None)
@given(text=texts(KEYWORD_SAMPLES))
def test_keyword_pattern_parity_generated(text):
    assert_same(phone._PHONE_KEYWORD_RE.pattern, re.IGNORECASE | re.UNICODE, text)


@pytest.mark.parametrize("text", [
    "Date de contact: 211.28.170.140, card",   # an IP address
    "contact: 4516/993/2017", "contact: 4516/993/2017 x", "tel. 0782.512.470.99",
])
def test_keyword_number_never_ends_inside_a_longer_run(text):
    # A number taken there either covers the whole run or nothing: the rest
    # would otherwise stay in clear beside it.
    for r in CustomPhoneRecognizer().analyze(text, []):
        assert not re.match(r"[./\-]\d", text[r.end:r.end + 2]), text[r.start:r.end]
    assert CustomPhoneRecognizer().analyze("Date de contact: 211.28.170.140", []) == []
