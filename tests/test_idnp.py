"""The IDNP recognizer: control digit, keywords, standalone numbers, and the
numbers that are both a CNP and an IDNP."""

from __future__ import annotations

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import reference
from support.parity import ROMANIAN_SAMPLES, assert_same, texts
from tarnis.processing import resolve_overlaps
from tarnis.recognizers import idnp as I
from tarnis.recognizers.cnp import CnpRecognizer
from tarnis.recognizers.code import CodeRecognizer
from tarnis.recognizers.idnp import IdnpRecognizer, _valid_idnp_checksum


def make_idnp(first12: str) -> str:
    return first12 + str(sum(int(d) * w for d, w in zip(first12, [7, 3, 1] * 4)) % 10)


def make_cnp(first12: str) -> str:
    total = sum(int(d) * w for d, w in zip(first12, reference.CNP_WEIGHTS))
    return first12 + str(1 if total % 11 == 10 else total % 11)


def wrong(number: str) -> str:
    return number[:12] + str((int(number[12]) + 1) % 10)


VALID = make_idnp("200200412345")        # not CNP-shaped (month 00)
VALID0 = make_idnp("098765432109")
# Both a valid CNP (woman born 1985-01-01) and a valid IDNP.
BOTH = next(n for n in (make_cnp(f"2850101{k:05d}") for k in range(100000)) if reference.valid_idnp_checksum(n))
# A valid CNP with an invalid IDNP control digit.
CNP_ONLY = next(n for n in (make_cnp(f"2850101{k:05d}") for k in range(100000))
                if not reference.valid_idnp_checksum(n))

KEYWORD = "IDNP keyword context"
STANDALONE = "Standalone IDNP with valid checksum"


@pytest.fixture(scope="module")
def recognizer():
    return IdnpRecognizer()


def found(recognizer, text):
    return [(text[r.start:r.end], r.score, r.analysis_explanation.textual_explanation)
            for r in recognizer.analyze(text, ["IDNP"])]


# --- the control digit -----------------------------------------------------------------------------

# Company numbers of the state register, published as valid; they share the rule.
PUBLISHED = ["1008600038413", "1002600000283", "1003600004015", "1004600024988", "1005600033978",
             "1006601003430", "1007601010932", "1009620001650", "1012620012236", "1013620007086",
             "1016600004372", "1018600006266"]


@pytest.mark.parametrize("number", PUBLISHED)
def test_published_register_numbers_are_valid(number):
    assert _valid_idnp_checksum(number)
    assert not _valid_idnp_checksum(wrong(number))


def test_exactly_one_control_digit_fits_generated_prefixes():
    rng = random.Random(21)
    for _ in range(300):
        first12 = "".join(rng.choice("0123456789") for _ in range(12))
        fits = [d for d in "0123456789" if _valid_idnp_checksum(first12 + d)]
        assert fits == [make_idnp(first12)[12]], first12
    assert _valid_idnp_checksum("0000000000000") and _valid_idnp_checksum("1234567890122")  # 152 mod 10


def test_checksum_rejects_bad_arguments():
    with pytest.raises(TypeError):
        _valid_idnp_checksum(b"1008600038413")
    with pytest.raises(ValueError):
        _valid_idnp_checksum("123")


# --- keywords and standalone numbers ---------------------------------------------------------------

@pytest.mark.parametrize("keyword", [
    "IDNP", "IDNP:", "idnp -", "IDNP nr.", "cod personal", "Codul personal:", "codului personal",
    "codul personal (IDNP):", "cod personal de identificare", "numărul de identificare", "numarul de identificare",
    "numărului de identificare", "număr de identificare:", "nr. de identificare", "cod de identificare",
    "codul de identificare", "numărul de identificare de stat (IDNP):", "NUMĂRUL DE IDENTIFICARE",
])
@pytest.mark.parametrize("number, score", [(VALID, 1.0), (VALID0, 1.0), (wrong(VALID), 0.85)])
def test_keyword_forms(recognizer, keyword, number, score):
    assert found(recognizer, f"Cetățeanul, {keyword} {number}, domiciliat") == [(number, score, KEYWORD)]


@pytest.mark.parametrize("text, expected", [
    (f"născut, {VALID} în", [(VALID, 0.85, STANDALONE)]),
    (f"{VALID0}", [(VALID0, 0.85, STANDALONE)]),
    (wrong(VALID), []),                                              # no keyword, wrong control digit
    # company numbers begin with 1: not a personal code, with or without a keyword
    ("IDNO 1008600038413", []),
    ("IDNP 1008600038413", []),
    # never inside a longer run of digits or glued to letters
    (f"1{VALID}", []), (f"{VALID}7", []), (f"IDNP {VALID}0", []), (f"x{VALID}", []), (f"{VALID}a", []),
    # "cod numeric personal" is the Romanian CNP, no IDNP keyword
    (f"cod numeric personal {wrong(VALID)}", []),
    (f"IDNP {VALID}, {VALID0}", [(VALID, 1.0, KEYWORD), (VALID0, 0.85, STANDALONE)]),
])
def test_standalone_and_limits(recognizer, text, expected):
    assert found(recognizer, text) == expected


@pytest.mark.parametrize("text, expected", [
    # a CNP keyword leaves the number to the CNP recognizer, whatever the digits
    (f"CNP {VALID}", []), (f"CNP: {BOTH}", []), (f"C.N.P. {wrong(VALID)}", []),
    # a valid CNP without an IDNP keyword is left to the CNP recognizer
    (BOTH, []), (CNP_ONLY, []),
    # an IDNP keyword takes it: valid, or wrong but scored above the CNP's standalone 0.85
    (f"IDNP {BOTH}", [(BOTH, 1.0, KEYWORD)]),
    (f"IDNP {CNP_ONLY}", [(CNP_ONLY, 0.9, KEYWORD)]),
])
def test_numbers_that_are_also_cnps(recognizer, text, expected):
    assert found(recognizer, text) == expected


@pytest.mark.parametrize("text, expected_type", [
    (BOTH, "CNP"),
    (f"CNP {BOTH}", "CNP"),
    (f"IDNP {BOTH}", "IDNP"),
    (f"IDNP: {CNP_ONLY}", "IDNP"),
    (f"CNP {VALID}", "CNP"),
    (f"codul personal {VALID}", "IDNP"),
    (VALID, "IDNP"),                  # and not the CODE the code recognizer also reports at 0.6
    (f"IDNP {wrong(VALID)}", "IDNP"),
])
def test_engine_and_overlap_resolution_choose_one_type(ro_engine, text, expected_type):
    engine = ro_engine([CodeRecognizer(), CnpRecognizer(), IdnpRecognizer()])
    raw = engine.analyze(f"Date: {text}.", language="ro")
    [kept] = resolve_overlaps(raw, f"Date: {text}.")
    assert kept.entity_type == expected_type
    assert f"Date: {text}."[kept.start:kept.end].isdigit()


def test_results_and_class_shape(recognizer):
    assert (recognizer.name, recognizer.supported_entities, recognizer.supported_language) == \
        ("IdnpRecognizer", ["IDNP"], "ro")
    [r] = recognizer.analyze(f"IDNP {VALID}", [])
    assert r.entity_type == "IDNP" and r.analysis_explanation.recognizer == "IdnpRecognizer"
    assert r.analysis_explanation.original_score == 1.0 and not r.recognition_metadata

    class Cautious(IdnpRecognizer):
        STANDALONE_CHECKSUM_SCORE = 0.5

    [r] = Cautious().analyze(VALID, [])
    assert (r.score, r.analysis_explanation.recognizer) == (0.5, "Cautious")
    with pytest.raises(TypeError):
        recognizer.analyze(b"IDNP 2002004123450", [])


# --- against a straightforward scan, and regex parity ----------------------------------------------

@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(
    st.sampled_from(["IDNP", "idnp:", "CNP ", "cod personal ", "numărul de identificare ", " ", "-", "\n", "x",
                     "١", "\u00a0"]),
    st.integers(0, 10**13 - 1).map(lambda n: f"{n:013d}"),
    st.integers(0, 10**12 - 1).map(lambda n: make_idnp(f"{n:012d}")),
    st.integers(10**11, 10**12 - 1).map(lambda n: make_cnp(str(n))),
    st.sampled_from([BOTH, CNP_ONLY]),
), max_size=12).map("".join))
def test_same_results_as_straightforward_scan(text):
    assert found(IdnpRecognizer(), text) == [(text[s:e], score, note)
                                             for s, e, score, note in reference.idnp_spans(text, I._IDNP_CONTEXT_RE)]


SAMPLES = ROMANIAN_SAMPLES + [f"IDNP: {VALID}", f"numărul de identificare de stat (IDNP) — nr. {VALID0}",
                              f"Codul personal {BOTH}", f"NR. DE IDENTIFICARE {VALID}"]


@settings(max_examples=200, deadline=None)
@given(texts(SAMPLES))
def test_patterns_match_as_python_re(text):
    for compiled in (I._IDNP_CONTEXT_RE, I._IDNP_STANDALONE_RE):
        assert_same(compiled.pattern, compiled.flags, text)
