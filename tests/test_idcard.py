"""The identity card recognizer: the series and number after "seria" and
written together, what it leaves alone, and the whole rules-only road."""

from __future__ import annotations

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support.parity import ROMANIAN_SAMPLES, assert_same, texts
from tarnis.host import engines, pipeline
from tarnis.recognizers import idcard as C
from tarnis.recognizers.idcard import IdentityCardRecognizer

KEYWORD = "Identity card series and number after 'seria'"
COMPACT = "Identity card series and number written together"


@pytest.fixture(scope="module")
def recognizer():
    return IdentityCardRecognizer()


def found(recognizer, text):
    return [(text[r.start:r.end], r.score, r.analysis_explanation.textual_explanation)
            for r in recognizer.analyze(text, ["CODE"])]


@pytest.mark.parametrize("text, expected", [
    # after "seria": from the series to the last digit, whatever joins them
    ("CI seria RX nr. 123456, eliberată de SPCLEP", [("RX nr. 123456", 0.6, KEYWORD)]),
    ("seria: AB, nr: 654321", [("AB, nr: 654321", 0.6, KEYWORD)]),
    ("Seria KX număr 123456", [("KX număr 123456", 0.6, KEYWORD)]),
    ("SERIA XB NR. 000123", [("XB NR. 000123", 0.6, KEYWORD)]),
    ("seria AB 123456", [("AB 123456", 0.6, KEYWORD)]),
    ("biletul de internare cu seria BI nr. 004512", [("BI nr. 004512", 0.6, KEYWORD)]),
    ("seria RX123456", [("RX123456", 0.6, KEYWORD)]),
    # written together, as a token of its own
    ("legitimat cu CI IN978809.", [("IN978809", 0.5, COMPACT)]),
    ("CI:SJ398286,", [("SJ398286", 0.5, COMPACT)]),
    ("CI nr.IN978809", [("IN978809", 0.5, COMPACT)]),
    ("act de identitate\nRT123456\n", [("RT123456", 0.5, COMPACT)]),
    # not an identity card: other lengths, lower case, parts of longer codes, decimals
    ("RO1234567 ABC123456 A123456 AB12345", []),
    ("ab123456, seria ab nr. 123456", []),
    ("IN978809-2, X/IN978809, DJ-AB123456, AB123456/2020, AB123456.5, 1.AB123456", []),
    ("seria AB nr. 1234567", []),
])
def test_spellings(recognizer, text, expected):
    assert found(recognizer, text) == expected


def reference_spans(text):
    """The recognizer's rule, written with Python's re over its two patterns."""
    out, series = [], set()
    for m in C._IDCARD_CONTEXT_RE.finditer(text):
        series.add(m.start(1))
        out.append((m.start(1), m.end(2), 0.6))
    out += [(m.start(1), m.end(1), 0.5) for m in C._IDCARD_COMPACT_RE.finditer(text) if m.start(1) not in series]
    return out


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(
    st.sampled_from(["seria ", "Seria", "SERIA ", "serie: ", "nr. ", "număr ", "NR.", ", ", " ", "-", "/", ".",
                     "\n", "x", "AB", "rx", "١", "\u00a0", "Ș"]),
    st.integers(0, 10**7).map(str),
    st.from_regex(r"[A-Z]{1,3}[0-9]{5,7}", fullmatch=True),
), max_size=10).map("".join))
def test_same_results_as_python_re(text):
    assert [(r.start, r.end, r.score) for r in IdentityCardRecognizer().analyze(text, [])] == reference_spans(text)


@settings(max_examples=150, deadline=None)
@given(texts(ROMANIAN_SAMPLES + ["CI seria RX nr. 123456", "IN978809, AB123456.5", "seria: AB, nr: 654321"]))
def test_patterns_match_as_python_re(text):
    for compiled in (C._IDCARD_CONTEXT_RE, C._IDCARD_COMPACT_RE):
        assert_same(compiled.pattern, compiled.flags, text)


def test_class_shape(recognizer):
    assert (recognizer.name, recognizer.supported_entities, recognizer.supported_language) == \
        ("IdentityCardRecognizer", ["CODE"], "ro")
    [r] = recognizer.analyze("CI IN978809", [])
    assert r.entity_type == "CODE" and r.analysis_explanation.recognizer == "IdentityCardRecognizer"

    class Cautious(IdentityCardRecognizer):
        COMPACT_SCORE = 0.3

    [r] = Cautious().analyze("CI IN978809", [])
    assert (r.score, r.analysis_explanation.recognizer) == (0.3, "Cautious")
    with pytest.raises(TypeError):
        recognizer.analyze(b"IN978809", [])


@pytest.fixture(scope="module")
def rules_engine():
    return engines.build_rules_engine()


@pytest.mark.parametrize("text, secrets", [
    ("Subsemnatul, legitimat cu CI seria RX nr. 123456, domiciliat în Cluj.", ["RX", "123456"]),
    ("dosar nr.: IN978809 / în contul", ["IN978809"]),
    ("act de identitate seria SJ, nr. 398286; CNP 1850101223344", ["SJ", "398286"]),
])
def test_nothing_of_the_card_stays_in_clear(rules_engine, text, secrets):
    anonymized, entity_map = pipeline.anonymize_document(rules_engine, text, None)
    for secret in secrets:
        assert not re.search(rf"\b{secret}\b", anonymized), anonymized
    assert "[CODE_1]" in anonymized and pipeline.placeholder_counts(anonymized, entity_map)["CODE"] >= 1
