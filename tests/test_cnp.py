"""The CNP recognizer: keyword and standalone passes, control digit, spans."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from presidio_analyzer import LocalRecognizer, RecognizerResult

from support import reference
from tarnis.recognizers.cnp import CnpRecognizer, _valid_cnp_checksum


@pytest.fixture(scope="module")
def recognizer():
    return CnpRecognizer()


def found(recognizer, text, entities=("CNP",)):
    return [(r.start, r.end, r.score, r.analysis_explanation.textual_explanation)
            for r in recognizer.analyze(text, list(entities))]


KEYWORD = "CNP keyword context"
STANDALONE = "Standalone CNP with valid checksum"


@pytest.mark.parametrize("text, expected", [
    ("CNP: 1234567890128", [(5, 18, 0.95, KEYWORD)]),
    ("CNP 1234567890125", [(4, 17, 0.85, KEYWORD)]),
    ("cnp:1234567890128", [(4, 17, 0.95, KEYWORD)]),
    ("c.n.p. 1234567890128", [(7, 20, 0.95, KEYWORD)]),
    ("xCNP: 1234567890128", [(6, 19, 0.95, KEYWORD)]),
    ("CNP1234567890128", [(3, 16, 0.95, KEYWORD)]),
    ("CNP : 1234567890128", [(6, 19, 0.95, KEYWORD)]),
    ("CNP\u00a0:\u20091234567890125", [(6, 19, 0.85, KEYWORD)]),
    # without the final dot the keyword is not one; the standalone pass needs a real date shape
    ("C.N.P 1234567890128", []),
    ("C.N.P 1850101123456", [] if not reference.valid_cnp_checksum("1850101123456") else [(6, 19, 0.85, STANDALONE)]),
    # a following digit or letter spoils both passes
    ("CNP 12345678901289", []),
    ("CNP 1234567890128a", []),
    ("a1850101123450", []),
    ("CNP: 1234567890128, CNP: 1234567890125", [(5, 18, 0.95, KEYWORD), (25, 38, 0.85, KEYWORD)]),
])
def test_keyword_pass(recognizer, text, expected):
    assert found(recognizer, text) == expected


def make_cnp(first12: str) -> str:
    total = sum(int(d) * w for d, w in zip(first12, reference.CNP_WEIGHTS))
    return first12 + str(1 if total % 11 == 10 else total % 11)


VALID = make_cnp("185010112345")


@pytest.mark.parametrize("text, expected", [
    (f"născut {VALID} în", [(7, 20, 0.85, STANDALONE)]),
    (f"{VALID[:12]}{(int(VALID[12]) + 1) % 10}", []),               # wrong control digit
    (make_cnp("985010112345"), []),                                  # sex digit 9
    (make_cnp("085010112345"), []),                                  # sex digit 0
    (make_cnp("185130112345"), []),                                  # month 13
    (make_cnp("185000112345"), []),                                  # month 00
    (make_cnp("185013212345"), []),                                  # day 32
    (make_cnp("185023112345"), [(0, 13, 0.85, STANDALONE)]),         # day 31 in February passes the pattern
])
def test_standalone_pass(recognizer, text, expected):
    assert found(recognizer, text) == expected


def test_keyword_number_reported_once_with_keyword_score(recognizer):
    assert found(recognizer, f"CNP {VALID} si {VALID}") == [(4, 17, 0.95, KEYWORD), (21, 34, 0.85, STANDALONE)]


@pytest.mark.parametrize("first12, control, valid", [
    ("123456789012", "8", True),
    ("123456789012", "5", False),
])
def test_control_digit(first12, control, valid):
    assert _valid_cnp_checksum(first12 + control) is valid


def test_remainder_ten_requires_one():
    # find twelve digits whose weighted sum leaves 10
    first12 = next(f"1850101{n:05d}" for n in range(100000)
                   if sum(int(d) * w for d, w in zip(f"1850101{n:05d}", reference.CNP_WEIGHTS)) % 11 == 10)
    assert _valid_cnp_checksum(first12 + "1")
    assert not _valid_cnp_checksum(first12 + "0")


def test_checksum_rejects_bad_arguments():
    with pytest.raises(TypeError):
        _valid_cnp_checksum(b"1234567890128")
    with pytest.raises(ValueError):
        _valid_cnp_checksum("123")


def test_entities_argument_is_not_consulted(recognizer):
    assert found(recognizer, "CNP: 1234567890128", entities=["PERSON_NAME"]) == [(5, 18, 0.95, KEYWORD)]


def test_results_and_class_shape(recognizer):
    assert isinstance(recognizer, LocalRecognizer)
    assert (recognizer.name, recognizer.supported_entities, recognizer.supported_language) == \
        ("CnpRecognizer", ["CNP"], "ro")
    assert CnpRecognizer.__doc__ == "Detects Romanian CNP (Cod Numeric Personal) — 13-digit personal codes."
    [r] = recognizer.analyze("CNP: 1234567890128", ["CNP"])
    assert isinstance(r, RecognizerResult) and r.entity_type == "CNP"
    assert r.analysis_explanation.recognizer == "CnpRecognizer"
    assert r.analysis_explanation.original_score == 0.95
    assert not r.recognition_metadata


def test_subclass_overrides_scores_and_result_building():
    class Strict(CnpRecognizer):
        CONTEXT_SCORE = 0.1

        def _make_result(self, span, score, explanation):
            result = super()._make_result(span, score, explanation)
            result.entity_type = "CNP_CHECKED"
            return result

    [r] = Strict().analyze("CNP 1234567890125", [])
    assert (r.score, r.entity_type, r.analysis_explanation.recognizer) == (0.1, "CNP_CHECKED", "Strict")


def test_bytes_text_is_a_type_error(recognizer):
    with pytest.raises(TypeError):
        recognizer.analyze(b"CNP 1234567890128", [])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(
    st.sampled_from(["CNP", "cnp:", "C.N.P.", " ", ":", "\n", "x", "ș", "\u00a0", "١"]),
    st.integers(0, 10**13 - 1).map(lambda n: f"{n:013d}"),
    st.integers(10**11, 10**12 - 1).map(lambda n: make_cnp(str(n))),
), max_size=12).map("".join))
def test_same_results_as_straightforward_scan(text):
    recognizer = CnpRecognizer()
    assert found(recognizer, text) == reference.cnp_spans(text)
