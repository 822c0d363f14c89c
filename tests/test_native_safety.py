"""Faults a pure-Python library could not have: containers changed by the
code a loop calls, errors left pending, offsets near the ends of the 64-bit
range, markers colliding with text, unbounded recursion."""

from __future__ import annotations

import re
import subprocess
import sys
import textwrap

import pytest
from presidio_analyzer import RecognizerResult

from support import reference
from tarnis import _native
from tarnis import processing as P


def R(entity_type, start, end, score=0.8):
    return RecognizerResult(entity_type=entity_type, start=start, end=end, score=score)


def run_isolated(code: str) -> subprocess.CompletedProcess:
    """Run code in a fresh interpreter: a memory fault kills that one, not the test run."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300)


# Each snippet defines `hostile()` returning (function, args); its first
# result's attribute read (or hash) grows or empties the list being walked.
GROWING_LIST = """
    res = []
    class E:
        entity_type = "{type}"; end = 5; score = .9
        analysis_explanation = None; recognition_metadata = {{}}
        @property
        def start(self):
            {mutation}
            return 0
    res += [E(), E()]
"""
MUTATIONS = ["res.extend(E() for _ in range(10000))", "res.clear()", "del res[:]; res.append(3)"]


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("call", [
    "P.resolve_overlaps(res, 'x' * 10)",
    "P.anonymize_text('x' * 10, res)",
    "P.filter_entity_denylist('x' * 10, res)",
])
def test_results_list_changed_by_an_attribute_read(call, mutation):
    setup = GROWING_LIST.format(type="CNP", mutation=mutation)
    code = "from tarnis import processing as P\n" + textwrap.dedent(setup) + f"\n{call}\nprint('done')\n"
    proc = run_isolated(code)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "done" in proc.stdout


def test_requested_entities_changed_by_hashing():
    # The neural recognizer hashes each requested type; that must not read a
    # list the hash has emptied.
    code = """
        from tarnis.recognizers.gliner import SmartGLiNERRecognizer
        class Loaded(SmartGLiNERRecognizer):
            def load(self):
                pass
        rec = Loaded(entity_mapping={"persoană": "PERSON_NAME"})
        entities = []
        class T(str):
            def __hash__(self):
                entities.clear(); entities.extend(object() for _ in range(1000))
                return str.__hash__(self)
        entities += [T("PERSON_NAME"), T("CNP")]
        try:
            rec.analyze("Ion Popescu.", entities)
        except Exception as e:
            print(type(e).__name__)
        print("done")
    """
    proc = run_isolated(code)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "done" in proc.stdout


def test_reject_patterns_changed_during_the_filter(monkeypatch):
    patterns = []

    class Shrinking:
        def search(self, span):
            patterns.clear()
            return None

    patterns += [Shrinking(), Shrinking()]
    monkeypatch.setattr(P, "_USERNAME_REJECT_PATTERNS", patterns)
    results = [R("USERNAME", 0, 6)]
    assert P.filter_entity_denylist("ionpop", results) == results


# --- errors left pending -----------------------------------------------------

class Boom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom("truth value")


def test_truth_value_error_of_extra_denylist_is_raised():
    with pytest.raises(Boom):
        P.filter_entity_denylist("Ana Mere", [R("ORGANIZATION", 0, 3)], {"ORGANIZATION": BadBool()})
    # nothing left pending for the next call
    assert P._normalize_whitespace(" a ") == "a"


def test_truth_value_error_of_flat_ner_is_raised():
    from tarnis.analyzer import build_analyzer
    with pytest.raises(Boom):
        build_analyzer(flat_ner=BadBool())
    assert P._normalize_whitespace(" a ") == "a"


def test_truth_value_error_of_the_noun_test_is_raised(monkeypatch):
    monkeypatch.setattr(P, "_is_common_noun_span", lambda span: BadBool())
    with pytest.raises(Boom):
        P.filter_entity_denylist("ana are mere", [R("PERSON_NAME", 0, 3)])


# --- offsets anywhere in the range of Python ints -----------------------------

BIG = 2**63


def test_lengths_of_extreme_spans_do_not_overflow():
    # end - start is 2**64 - 1: the longer result must win the tie on score.
    results = [R("ORGANIZATION", 0, 5, 0.5), R("PERSON_NAME", -BIG, BIG - 1, 0.5)]
    got = P.resolve_overlaps(results, "")
    assert got == reference.resolve_overlaps(results, "")
    assert [r.entity_type for r in got] == ["PERSON_NAME"]


@pytest.mark.parametrize("start, end", [(0, BIG), (0, 2**70), (-(2**70), BIG + 5), (-(2**70), 9)])
def test_denylist_filter_slices_like_python(start, end):
    text = "societate"
    assert text[start:end] == "societate"
    assert P.filter_entity_denylist(text, [R("ORGANIZATION", start, end)]) == []
    kept = [R("ORGANIZATION", BIG, 2**70)]  # empty slice: nothing to reject
    assert P.filter_entity_denylist(text, kept) == kept


@pytest.mark.parametrize("start, end", [(0, BIG), (-(2**70), 3), (2**70, 2**71)])
def test_offsets_beyond_64_bits_are_refused_by_value(start, end):
    with pytest.raises(ValueError):
        P.anonymize_text("Ion", [R("PERSON_NAME", start, end)])
    with pytest.raises(ValueError, match="64 bits"):
        P.resolve_overlaps([R("PERSON_NAME", start, end)], "Ion")


# --- white-space marker ----------------------------------------------------------

@pytest.mark.parametrize("anonymized, entity_map", [
    ("Ion Popescu și IonPopescu", {"PERSON_NAME": {"Ion\x00Popescu": "[PERSON_NAME_1]"}}),
    ("Ion\x00Popescu și Ion Popescu", {"PERSON_NAME": {"Ion\x00Popescu": "[PERSON_NAME_1]"}}),
    ("a\x00\x00b a  b a\x00b", {"ORGANIZATION": {"a\x00\x00b": "[ORGANIZATION_1]"}}),
    ("\x00Ionel \x00Ionel", {"PERSON_NAME": {"\x00Ionel": "[PERSON_NAME_1]"}}),
])
def test_nul_in_entity_text_matches_only_nul(anonymized, entity_map):
    assert P.postprocess_anonymized(anonymized, entity_map) == reference.postprocess_anonymized(
        anonymized, entity_map)


def test_nul_entity_case_from_the_report():
    text = "Ion Popescu și IonPopescu"
    assert P.postprocess_anonymized(text, {"PERSON_NAME": {"Ion\x00Popescu": "[PERSON_NAME_1]"}}) == text


# --- pattern nesting ---------------------------------------------------------------

@pytest.mark.parametrize("opening", ["(", "(?:", "(?=", "(?i:"])
def test_nesting_as_deep_as_re_accepts_compiles_and_matches(opening):
    # re accepts 495 levels from a shallow call stack (pytest's is deeper).
    shallow = opening * 200 + "a" + ")" * 200
    assert _native.compile(shallow).search("xa")[0] == re.compile(shallow).search("xa").span()
    deep = opening * 495 + "a" + ")" * 495
    assert _native.compile(deep).search("xa")[0] == re.compile(shallow).search("xa").span()


@pytest.mark.parametrize("pattern", [
    "(" * 496 + ")" * 496,
    "(?:" * 200_000 + ")" * 200_000,
    "(" * 200_000,
    "(a)" + "(?(1)" * 100_000 + "b" + ")" * 100_000,
])
def test_deeper_nesting_is_refused(pattern):
    with pytest.raises(ValueError, match="nested"):
        _native.compile(pattern)
