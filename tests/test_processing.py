"""Overlap resolution, anonymization, propagation and restoration."""

from __future__ import annotations

import copy
import json
import logging
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from presidio_analyzer import RecognizerResult

from support import reference
from tarnis import processing as P


def R(entity_type, start, end, score=0.8):
    return RecognizerResult(entity_type=entity_type, start=start, end=end, score=score)


def spans(results):
    return [(r.entity_type, r.start, r.end) for r in results]


# --- resolve_overlaps ---------------------------------------------------------

def test_empty_list_is_returned_as_is(caplog):
    empty = []
    with caplog.at_level(logging.DEBUG, logger="tarnis.processing"):
        assert P.resolve_overlaps(empty) is empty
    assert not caplog.records


def test_zero_length_result_is_dropped_and_logged(caplog):
    with caplog.at_level(logging.DEBUG, logger="tarnis.processing"):
        assert P.resolve_overlaps([R("CNP", 3, 3)]) == []
    assert caplog.messages == ["[processing] Overlap resolution removed 1 entities (input=1, output=0)"]


@pytest.mark.parametrize("results, kept", [
    # identical span and score: the earlier one wins
    ([R("PERSON_NAME", 0, 5), R("ORGANIZATION", 0, 5)], [("PERSON_NAME", 0, 5)]),
    # same score: longer wins, then earlier start
    ([R("PERSON_NAME", 0, 5), R("ORGANIZATION", 2, 9)], [("ORGANIZATION", 2, 9)]),
    ([R("PERSON_NAME", 4, 8), R("ORGANIZATION", 2, 6)], [("ORGANIZATION", 2, 6)]),
    # higher score beats length
    ([R("PERSON_NAME", 0, 20, 0.5), R("CNP", 3, 16, 0.9)], [("CNP", 3, 16)]),
    # touching spans do not overlap
    ([R("PERSON_NAME", 0, 5), R("ORGANIZATION", 5, 9)], [("PERSON_NAME", 0, 5), ("ORGANIZATION", 5, 9)]),
    # a card on exactly a CNP's span goes, whatever its score; elsewhere it stays
    ([R("CREDIT_CARD", 0, 13, 1.0), R("CNP", 0, 13, 0.85)], [("CNP", 0, 13)]),
    ([R("CREDIT_CARD", 0, 13, 1.0)], [("CREDIT_CARD", 0, 13)]),
    ([R("CREDIT_CARD", 0, 16, 1.0), R("CNP", 0, 13, 0.85)], [("CREDIT_CARD", 0, 16)]),
    # a code starting where a trusted span starts is condemned
    ([R("CODE", 0, 13, 0.9), R("PHONE_NUMBER", 0, 10, 0.4)], [("PHONE_NUMBER", 0, 10)]),
])
def test_selection(results, kept):
    assert spans(P.resolve_overlaps(results)) == kept


def test_code_keeps_its_trusted_hyphen_suffix_only_with_text():
    text = "AB-0722123456"
    code, phone = R("CODE", 0, 13, 0.6), R("PHONE_NUMBER", 3, 13, 0.65)
    assert P.resolve_overlaps([code, phone], text) == [phone]          # competes and loses on score
    code.score = 0.7
    assert P.resolve_overlaps([code, phone], text) == [code]           # competes and wins
    assert P.resolve_overlaps([code, phone]) == [phone]                # no text: dropped at once


def test_input_list_and_results_untouched():
    results = [R("CODE", 0, 13), R("PHONE_NUMBER", 3, 13), R("CNP", 20, 33)]
    before = copy.deepcopy(results)
    out = P.resolve_overlaps(results, "x" * 40)
    assert out is not results and results == before and all(r in results for r in out)


def test_bad_arguments():
    with pytest.raises(TypeError, match="results"):
        P.resolve_overlaps((R("CNP", 0, 1),))
    with pytest.raises(TypeError, match="text"):
        P.resolve_overlaps([R("CNP", 0, 1)], b"x")
    with pytest.raises(ValueError, match="NaN"):
        P.resolve_overlaps([R("CNP", 0, 1, float("nan"))])
    with pytest.raises(IndexError):
        # the hyphen test would read past the end of the text
        P.resolve_overlaps([R("CODE", 0, 50), R("PHONE_NUMBER", 40, 45)], "short")


TYPES = ["CODE", "PHONE_NUMBER", "CNP", "CREDIT_CARD", "PERSON_NAME", "IBAN_CODE"]
results_strategy = st.lists(
    st.tuples(st.sampled_from(TYPES), st.integers(0, 30), st.integers(0, 12),
              st.sampled_from([0.3, 0.5, 0.65, 0.85, 1.0])),
    max_size=25,
).map(lambda rows: [R(t, s, s + n, sc) for t, s, n, sc in rows])


@settings(max_examples=400, deadline=None)
@given(results=results_strategy, text=st.text(alphabet="ab-", min_size=45, max_size=45) | st.just(""))
def test_resolve_overlaps_agrees_with_reference(results, text):
    assert P.resolve_overlaps(results, text) == reference.resolve_overlaps(results, text)


# --- resolve_overlaps: trusted results that only partly overlap a winner --------------

def texts_of(text, results):
    return [(r.entity_type, text[r.start:r.end]) for r in results]


ADDRESS_PHONE = "Domiciliat în Iași, str. Observatorului nr. 52, telefon 0734 780 217, e-mail a@b.ro."


def at(text, piece, entity_type, score, until=None):
    start = text.index(piece)
    return R(entity_type, start, start + len(until or piece), score)


@pytest.mark.parametrize("text, results, kept", [
    # the address runs into the phone number: both stay, the address ends before it
    (ADDRESS_PHONE, [R("DOMIVIA", 20, 60, 0.7), R("PHONE_NUMBER", 56, 68, 0.65)],
     [("DOMIVIA", "str. Observatorului nr. 52, telefon"), ("PHONE_NUMBER", "0734 780 217")]),
    ("str. Lungă nr. 52, 0734780217", [R("DOMIVIA", 0, 23, 0.7), R("PHONE_NUMBER", 19, 29, 0.65)],
     [("DOMIVIA", "str. Lungă nr. 52"), ("PHONE_NUMBER", "0734780217")]),
    # from the other side: a name ending inside a CNP starts after it
    ("CNP 1850101123456 Ion Pop", [R("PERSON_NAME", 10, 25, 0.9), R("CNP", 4, 17, 0.85)],
     [("PERSON_NAME", "Ion Pop"), ("CNP", "1850101123456")]),
    # nothing but separators would be left of the winner: it goes
    ("x, 0734 780 217", [R("DOMIVIA", 1, 7, 0.9), R("PHONE_NUMBER", 3, 15, 0.65)],
     [("PHONE_NUMBER", "0734 780 217")]),
    # a trusted winner is not narrowed: the later one keeps what lies outside it
    ("RO49AAAA1B31007593840000 22 3", [R("IBAN_CODE", 0, 24, 1.0), R("PHONE_NUMBER", 20, 29, 0.65)],
     [("IBAN_CODE", "RO49AAAA1B31007593840000"), ("PHONE_NUMBER", "22 3")]),
    # cut into two pieces around a trusted result, the other winner narrowed
    ("aa bb cc dd ee", [R("PERSON_NAME", 0, 5, 0.9), R("EMAIL_ADDRESS", 6, 8, 0.95), R("URL", 3, 14, 0.5)],
     [("EMAIL_ADDRESS", "cc"), ("PERSON_NAME", "aa"), ("URL", "bb"), ("URL", "dd ee")]),
    # not a partial overlap: as before
    ("https://ionpop.ro", [R("PERSON_NAME", 8, 14, 0.9), R("URL", 0, 17, 0.6)], [("PERSON_NAME", "ionpop")]),
    ("str. Lungă nr. 5, tel 0722", [R("DOMIVIA", 0, 26, 0.7), R("PHONE_NUMBER", 22, 26, 0.65)],
     [("DOMIVIA", "str. Lungă nr. 5, tel 0722")]),
    ("Ion Pop 0722", [R("PERSON_NAME", 0, 12, 0.9), R("ORGANIZATION", 4, 12, 0.5)], [("PERSON_NAME", "Ion Pop 0722")]),
])
def test_partly_overlapping_trusted_results_are_kept_whole(text, results, kept):
    before = copy.deepcopy(results)
    out = P.resolve_overlaps(results, text)
    assert sorted(texts_of(text, out)) == sorted(kept)
    assert results == before                                    # the caller's results are not written
    for again in (P.resolve_overlaps(out), P.resolve_overlaps(out, text)):  # a second pass keeps the set
        assert {id(r) for r in again} == {id(r) for r in out} and len(again) == len(out)


def test_narrowed_result_is_a_copy_with_its_own_metadata(caplog):
    from presidio_analyzer import AnalysisExplanation
    explanation = AnalysisExplanation("RomanianStreetAddressRecognizer", 0.7, textual_explanation="address")
    address = RecognizerResult("DOMIVIA", 20, 60, 0.7, explanation, {"recognizer_name": "addr"})
    phone = R("PHONE_NUMBER", 56, 68, 0.65)
    with caplog.at_level(logging.DEBUG, logger="tarnis.processing"):
        narrowed, kept_phone = P.resolve_overlaps([address, phone], ADDRESS_PHONE)
    assert kept_phone is phone and narrowed is not address and (address.start, address.end) == (20, 60)
    assert (narrowed.start, narrowed.end, narrowed.score) == (20, 55, 0.7)
    assert narrowed.recognition_metadata == {"recognizer_name": "addr"}
    narrowed.recognition_metadata["x"] = 1
    narrowed.analysis_explanation.textual_explanation = "changed"
    assert address.recognition_metadata == {"recognizer_name": "addr"} and explanation.textual_explanation == "address"
    assert any("narrowed 1 entities" in m for m in caplog.messages)
    # anonymize_text does the same on results it is given unresolved
    assert P.anonymize_text(ADDRESS_PHONE, [address, phone])[0] == \
        "Domiciliat în Iași, [DOMIVIA_1] [PHONE_NUMBER_1], e-mail a@b.ro."


TRIM_TYPES = ["PHONE_NUMBER", "CNP", "URL", "EMAIL_ADDRESS", "DOMIVIA", "PERSON_NAME", "CODE", "ORGANIZATION"]
trim_results = st.lists(
    st.tuples(st.sampled_from(TRIM_TYPES), st.integers(0, 30), st.integers(1, 12), st.sampled_from([0.5, 0.65, 0.9])),
    max_size=12,
).map(lambda rows: [R(t, s, s + n, sc) for t, s, n, sc in rows])
trim_texts = st.text(alphabet="ab1 ,.", min_size=45, max_size=45)


def _inside(inner, outer):
    return outer.start <= inner.start and inner.end <= outer.end


@settings(max_examples=300, deadline=None, derandomize=True)
@given(results=trim_results, text=trim_texts)
def test_no_trusted_character_is_left_in_clear(results, text):
    out = P.resolve_overlaps(results, text)
    assert out == reference.resolve_overlaps(results, text)
    spans_out = sorted((r.start, r.end) for r in out)
    assert all(a[1] <= b[0] for a, b in zip(spans_out, spans_out[1:])), "kept results overlap"
    covered = {i for r in out for i in range(r.start, r.end)}
    valid = [r for r in results if r.start < r.end and not (r.entity_type == "CODE" and any(
        h.start < r.end and r.start < h.end for h in results if h.entity_type in P._HIGH_SPECIFICITY_TYPES))]
    for h in valid:
        if h.entity_type not in P._HIGH_SPECIFICITY_TYPES:
            continue
        partial = any(r.start < h.end and h.start < r.end and not _inside(r, h) and not _inside(h, r) for r in valid)
        holds_another = any(r is not h and _inside(r, h) and (r.start, r.end) != (h.start, h.end) for r in valid)
        if partial and not holds_another:
            clear = [i for i in range(h.start, h.end) if i not in covered and text[i].isalnum()]
            assert not clear, (h, clear)
    # and anonymize_text's own pass keeps what this pass kept
    again = P.resolve_overlaps(out)
    assert len(again) == len(out) and {id(r) for r in again} == {id(r) for r in out}


@settings(max_examples=300, deadline=None, derandomize=True)
@given(results=trim_results, text=trim_texts)
def test_without_partial_overlaps_of_trusted_results_nothing_changes(results, text):
    valid = [r for r in results if r.start < r.end]
    if any(h.entity_type in P._HIGH_SPECIFICITY_TYPES and r.start < h.end and h.start < r.end
           and not _inside(r, h) and not _inside(h, r) for h in valid for r in valid):
        return
    out = P.resolve_overlaps(results, text)
    plain = reference.resolve_overlaps(results, text, trim=False)
    assert len(out) == len(plain) and all(a is b for a, b in zip(out, plain))


# --- anonymize_text -------------------------------------------------------------

def test_numbering_runs_from_the_end():
    text = "Ion Popescu a vorbit cu Maria Ionescu."
    anonymized, entity_map = P.anonymize_text(text, [R("PERSON_NAME", 0, 11), R("PERSON_NAME", 24, 37)])
    assert anonymized == "[PERSON_NAME_2] a vorbit cu [PERSON_NAME_1]."
    assert entity_map == {"PERSON_NAME": {"Maria Ionescu": "[PERSON_NAME_1]", "Ion Popescu": "[PERSON_NAME_2]"}}
    assert list(entity_map["PERSON_NAME"]) == ["Maria Ionescu", "Ion Popescu"]


def test_spellings_of_one_entity_share_a_placeholder():
    text = "Ion Popescu și ION POPESCU"
    anonymized, entity_map = P.anonymize_text(text, [R("PERSON_NAME", 0, 11), R("PERSON_NAME", 15, 26)])
    assert anonymized == "[PERSON_NAME_1] și [PERSON_NAME_1]"
    assert entity_map == {"PERSON_NAME": {"ION POPESCU": "[PERSON_NAME_1]", "Ion Popescu": "[PERSON_NAME_1]"}}
    assert P.deanonymize_text(anonymized, entity_map) == "ION POPESCU și ION POPESCU"


def test_person_names_lose_titles_and_trailing_punctuation_in_place():
    text = "Semnat: Dr. Ion Pop, Domnul Dr. Ion Pop;"
    first, second = R("PERSON_NAME", 8, 20), R("PERSON_NAME", 21, 40)
    anonymized, entity_map = P.anonymize_text(text, [first, second])
    assert (first.start, first.end) == (12, 19)
    assert (second.start, second.end) == (28, 39)    # only "Domnul " goes: the prefix applies once
    assert anonymized == "Semnat: Dr. [PERSON_NAME_2], Domnul [PERSON_NAME_1];"
    assert entity_map["PERSON_NAME"] == {"Dr. Ion Pop": "[PERSON_NAME_1]", "Ion Pop": "[PERSON_NAME_2]"}


def test_code_dropped_when_another_entity_contains_its_text():
    text = "Dosar 12345, iar CNP 1234567890128 apare separat; ref 99999."
    results = [R("CODE", 6, 11), R("CNP", 21, 34), R("CODE", 54, 59)]
    anonymized, entity_map = P.anonymize_text(text, results)
    assert anonymized == "Dosar 12345, iar CNP [CNP_1] apare separat; ref [CODE_1]."
    assert entity_map == {"CODE": {"99999": "[CODE_1]"}, "CNP": {"1234567890128": "[CNP_1]"}}


def test_entity_over_a_line_break_is_mapped_with_a_space():
    anonymized, entity_map = P.anonymize_text("Ion\nPopescu", [R("PERSON_NAME", 0, 11)])
    assert entity_map == {"PERSON_NAME": {"Ion Popescu": "[PERSON_NAME_1]"}}
    assert P.deanonymize_text(anonymized, entity_map) == "Ion Popescu"


def test_no_results():
    assert P.anonymize_text("text", []) == ("text", {})


@pytest.mark.parametrize("bad", [R("CNP", 5, 60), R("CNP", -3, 4)])
def test_offsets_outside_the_text_are_refused(bad):
    text = "CNP 1234567890128"
    other = R("PERSON_NAME", 0, 3)
    with pytest.raises(ValueError, match="outside the text"):
        P.anonymize_text(text, [other, bad])
    assert (other.start, other.end) == (0, 3)


def test_texts_without_latin_letters_never_share_a_placeholder():
    text = "Иван и Пётр, ★ и ☆"
    results = [R("PERSON_NAME", 0, 4), R("PERSON_NAME", 7, 11), R("CODE", 13, 14), R("CODE", 17, 18)]
    anonymized, entity_map = P.anonymize_text(text, results)
    assert anonymized == "[PERSON_NAME_2] и [PERSON_NAME_1], [CODE_2] и [CODE_1]"
    assert P.deanonymize_text(anonymized, entity_map) == text
    assert P.deanonymize_text(P.postprocess_anonymized(anonymized, entity_map), entity_map) == text


def test_anonymize_bad_arguments():
    with pytest.raises(TypeError, match="text"):
        P.anonymize_text(b"x", [])
    with pytest.raises(TypeError, match="results"):
        P.anonymize_text("x", None)
    with pytest.raises(TypeError, match="entity_type"):
        P.anonymize_text("abc", [R(None, 0, 2)])


WORDS = ["Ion", "ION", "Popescu", "Ș.", "de", "1234", "★", "Иван", "dr.", "a", ",", " ", "\n", "-", "İlie"]


@st.composite
def document(draw):
    words = draw(st.lists(st.sampled_from(WORDS), min_size=1, max_size=20))
    text = " ".join(words)
    results = []
    for _ in range(draw(st.integers(0, 8))):
        start = draw(st.integers(0, len(text)))
        end = draw(st.integers(start, min(len(text), start + 15)))
        results.append((draw(st.sampled_from(["PERSON_NAME", "CODE", "CNP", "ORGANIZATION"])), start, end,
                        draw(st.sampled_from([0.4, 0.8]))))
    return text, results


@settings(max_examples=400, deadline=None)
@given(document())
def test_anonymize_and_postprocess_agree_with_reference(doc):
    text, rows = doc
    native = [R(*row) for row in rows]
    expected_results = [R(*row) for row in rows]
    anonymized, entity_map = P.anonymize_text(text, native)
    expected, expected_map = reference.anonymize_text(text, expected_results)
    assert (anonymized, entity_map) == (expected, expected_map)
    assert list(map(list, entity_map.values())) == list(map(list, expected_map.values()))
    assert spans(native) == spans(expected_results)
    assert P.postprocess_anonymized(anonymized, entity_map) == reference.postprocess_anonymized(anonymized,
                                                                                                entity_map)
    assert P.deanonymize_text(anonymized, entity_map) == reference.deanonymize_text(anonymized, entity_map)


# --- anonymizing against the map of earlier documents ------------------------------

CASE_TEXT = "Ion Popescu și Maria Pop; ION POPESCU, CNP 1850101123456."
CASE_RESULTS = [("PERSON_NAME", 0, 11), ("PERSON_NAME", 15, 24), ("PERSON_NAME", 26, 37), ("CNP", 43, 56)]


@pytest.mark.parametrize("given, text, expected", [
    # a known entity (another spelling of its dedup key) keeps its placeholder; new ones go on after the highest
    ({"PERSON_NAME": {"ion popescu": "[PERSON_NAME_7]", "X": "[PERSON_NAME_2]"}},
     "[PERSON_NAME_7] și [PERSON_NAME_8]; [PERSON_NAME_7], CNP [CNP_1].",
     {"PERSON_NAME": {"ion popescu": "[PERSON_NAME_7]", "X": "[PERSON_NAME_2]", "ION POPESCU": "[PERSON_NAME_7]",
                      "Maria Pop": "[PERSON_NAME_8]", "Ion Popescu": "[PERSON_NAME_7]"},
      "CNP": {"1850101123456": "[CNP_1]"}}),
    # numbers are counted per placeholder label, whatever type the entry stands under; any size, any digits
    ({"ORGANIZATION": {"Maria Pop SRL": "[PERSON_NAME_99999999999999999999]"}, "CNP": {"1": "[CNP_007]", "2": "[CNP_٣]"}},
     "[PERSON_NAME_100000000000000000000] și [PERSON_NAME_100000000000000000001]; "
     "[PERSON_NAME_100000000000000000000], CNP [CNP_8].", None),
    # reserved entries of map files are neither read nor changed; an empty map is no map
    ({"tarnis:document": {"format": "[PERSON_NAME_5]"}, "tarnis:other": [1, 2]},
     "[PERSON_NAME_1] și [PERSON_NAME_2]; [PERSON_NAME_1], CNP [CNP_1].", None),
    # two placeholders for one key (an edited map): the shortest text's, as propagation takes
    ({"PERSON_NAME": {"ION  POPESCU!": "[PERSON_NAME_4]", "Ion Popescu": "[PERSON_NAME_3]"}},
     "[PERSON_NAME_3] și [PERSON_NAME_5]; [PERSON_NAME_3], CNP [CNP_1].", None),
])
def test_anonymize_against_a_map(given, text, expected):
    before = copy.deepcopy(given)
    entity_map = copy.deepcopy(given)
    anonymized, returned = P.anonymize_text(CASE_TEXT, [R(*row) for row in CASE_RESULTS], entity_map=entity_map)
    assert anonymized == text
    assert returned is entity_map
    # extended in place: every entry it held is still there, unchanged and first
    for key, inner in before.items():
        assert returned[key] == inner if key.startswith("tarnis:") else list(returned[key].items())[:len(inner)] == \
            list(inner.items())
    if expected is not None:
        assert returned == expected
    assert (anonymized, returned) == reference.anonymize_text(CASE_TEXT, [R(*row) for row in CASE_RESULTS],
                                                              copy.deepcopy(given))
    assert P.postprocess_anonymized("Ion Popescu", returned) == reference.postprocess_anonymized("Ion Popescu",
                                                                                                 returned)


def test_no_map_and_an_empty_map_give_the_same():
    plain = P.anonymize_text(CASE_TEXT, [R(*row) for row in CASE_RESULTS])
    assert P.anonymize_text(CASE_TEXT, [R(*row) for row in CASE_RESULTS], entity_map=None) == plain
    assert P.anonymize_text(CASE_TEXT, [R(*row) for row in CASE_RESULTS], entity_map={}) == plain


@pytest.mark.parametrize("bad, error, message", [
    ([], TypeError, "entity_map"),
    ({"PERSON_NAME": ["Ion"]}, TypeError, "must be dict, not list"),
    ({3: {}}, TypeError, "entity types"),
    ({"PERSON_NAME": {"Ion": 1}}, TypeError, "placeholder"),
    ({"PERSON_NAME": {1: "[PERSON_NAME_1]"}}, TypeError, "text"),
    ({"PERSON_NAME": {"Ion Popescu": "Maria"}}, ValueError, "'Maria', which is not a placeholder"),
    ({"PERSON_NAME": {"Ion Popescu": "[PERSON_NAME_1] "}}, ValueError, "not a placeholder"),
])
def test_a_bad_map_is_refused_before_any_work(bad, error, message):
    results = [R(*row) for row in CASE_RESULTS]
    with pytest.raises(error, match=message) as e:
        P.anonymize_text(CASE_TEXT, results, entity_map=bad)
    assert "Ion Popescu" not in str(e.value)        # the texts of a map are personal data
    assert spans(results) == [row for row in CASE_RESULTS] and bad == copy.deepcopy(bad)
    with pytest.raises(TypeError):
        P.anonymize_text(CASE_TEXT, results, bad)                       # keyword only


def test_an_entity_type_of_the_reserved_form_is_refused_with_a_map():
    with pytest.raises(ValueError, match="reserved"):
        P.anonymize_text("abc", [R("tarnis:x", 0, 2)], entity_map={})


CASE_WORDS = [("Ion Popescu", "PERSON_NAME"), ("ION POPESCU", "PERSON_NAME"), ("Ion  Popescu", "ORGANIZATION"),
              ("Maria Pop", "PERSON_NAME"), ("Pop Maria", "PERSON_NAME"), ("Ana", "PERSON_NAME"),
              ("0722 123 456", "PHONE_NUMBER"), ("0722123456", "PHONE_NUMBER"), ("Ștefan", "PERSON_NAME"),
              ("★", "ORGANIZATION"), ("☆", "ORGANIZATION"), ("Dr. Ion Pop,", "PERSON_NAME")]
FILLER = ["a", "venit", "și", "de", "\n", "tel.", "la"]
# A placeholder between the documents: matches of propagation never cross one.
SEPARATOR = "\n[SEPARATOR_1]\n"


@st.composite
def case_documents(draw):
    docs = []
    for _ in range(draw(st.integers(1, 4))):
        text, rows = "", []
        for _ in range(draw(st.integers(0, 8))):
            if draw(st.booleans()):
                words, entity_type = draw(st.sampled_from(CASE_WORDS))
                rows.append((entity_type, len(text), len(text) + len(words)))
            else:
                words = draw(st.sampled_from(FILLER))
            text += words + " "
        docs.append((text, rows))
    return docs


def concatenated(docs):
    text, rows = "", []
    for i, (t, r) in enumerate(docs):
        if i:
            text += SEPARATOR
        rows += [(entity_type, start + len(text), end + len(text)) for entity_type, start, end in r]
        text += t
    return text, rows


@settings(max_examples=300, deadline=None)
@given(case_documents())
def test_documents_against_one_map_agree_with_their_concatenation(docs):
    """The last document first, each against the map the ones after it left:
    the same texts and the same map as anonymizing all of them as one (which
    numbers from the end); in the documents' own order, the same entities
    share placeholders. Propagation with the case's map is the same in each
    document as in the whole. (No CODE: whether a CODE is dropped depends on
    the other entities of its document.)"""
    whole, whole_map = P.anonymize_text(*(lambda t, r: (t, [R(*row) for row in r]))(*concatenated(docs)))
    case_map: dict = {}
    parts = [P.anonymize_text(t, [R(*row) for row in r], entity_map=case_map)[0] for t, r in reversed(docs)][::-1]
    assert SEPARATOR.join(parts) == whole
    assert case_map == whole_map and [list(inner.items()) for inner in case_map.values()] == \
        [list(inner.items()) for inner in whole_map.values()]
    assert SEPARATOR.join(P.postprocess_anonymized(p, case_map) for p in parts) == \
        P.postprocess_anonymized(whole, whole_map)

    forward: dict = {}
    in_order = [P.anonymize_text(t, [R(*row) for row in r], entity_map=forward)[0] for t, r in docs]
    found = reference.PLACEHOLDER_RE.findall(SEPARATOR.join(in_order))
    expected = reference.PLACEHOLDER_RE.findall(whole)
    renaming = dict(zip(found, expected))
    assert len(found) == len(expected) and [renaming[p] for p in found] == expected
    assert len(set(renaming.values())) == len(renaming)
    assert {t: set(inner) for t, inner in forward.items()} == {t: set(inner) for t, inner in whole_map.items()}


def change_map(entity_map: dict, change: str) -> dict:
    inner = next((i for i in entity_map.values() if i), None)
    if change == "replace" and inner:
        inner[next(iter(inner))] = "[PERSON_NAME_99]"
    elif change == "delete" and inner:
        del inner[next(iter(inner))]
    elif change == "pop" and inner:
        inner.popitem()
    elif change == "grow":
        entity_map.setdefault("PERSON_NAME", {}).update(
            {f"Nume{i} Ionescu": f"[PERSON_NAME_{1000 + i}]" for i in range(300)} | {"Ana": "[ORGANIZATION_5]"})
    elif change == "reorder" and entity_map:
        first = next(iter(entity_map))
        entity_map[first] = entity_map.pop(first)
    elif change == "copy":
        return copy.deepcopy(entity_map)
    return entity_map


@settings(max_examples=200, deadline=None)
@given(case_documents(), st.lists(st.sampled_from(["none", "replace", "delete", "pop", "grow", "reorder", "copy"]),
                                  min_size=1, max_size=6))
def test_a_map_changed_between_calls_is_read_as_it_now_is(docs, changes):
    """The library keeps what it read of the last map it was given: every
    change made to that map since (a value replaced, entries taken out,
    added or moved, another map) is seen."""
    entity_map: dict = {}
    for i, change in enumerate(changes):
        text, rows = docs[i % len(docs)]
        entity_map = change_map(entity_map, change)
        expected, expected_map = reference.anonymize_text(text, [R(*row) for row in rows], copy.deepcopy(entity_map))
        got, _ = P.anonymize_text(text, [R(*row) for row in rows], entity_map=entity_map)
        assert (got, entity_map) == (expected, expected_map)
        assert P.postprocess_anonymized(text, entity_map) == reference.postprocess_anonymized(text, entity_map)
        entity_map = change_map(entity_map, changes[-1 - i])
        assert P.postprocess_anonymized(got, entity_map) == reference.postprocess_anonymized(got, entity_map)


# --- postprocess_anonymized --------------------------------------------------------

@pytest.mark.parametrize("anonymized, entity_map, expected", [
    ("[PERSON_NAME_1] și Ion  Popescu.", {"PERSON_NAME": {"Ion Popescu": "[PERSON_NAME_1]"}},
     "[PERSON_NAME_1] și [PERSON_NAME_1]."),
    ("Ion a venit.", {"PERSON_NAME": {"Ion": "[PERSON_NAME_1]"}}, "Ion a venit."),
    ("scrisă de Mihai, domnul Mihai", {"PERSON_NAME": {"Mihai": "[PERSON_NAME_1]"}},
     "scrisă de Mihai, domnul [PERSON_NAME_1]"),
    ("scrisă de Ion Pop", {"PERSON_NAME": {"Ion Pop": "[PERSON_NAME_1]"}}, "scrisă de [PERSON_NAME_1]"),
    ("Mihaiescu și Mihai_ și Mihai", {"PERSON_NAME": {"Mihai": "[PERSON_NAME_1]"}},
     "Mihaiescu și Mihai_ și [PERSON_NAME_1]"),
    ("[ORGANIZATION_1] ORGANIZATION", {"ORGANIZATION": {"ORGANIZATION": "[ORGANIZATION_2]"}},
     "[ORGANIZATION_1] [ORGANIZATION_2]"),
    ("[PERSON_NAME_1]", {"ORGANIZATION": {"PERSON_NAME_1": "[ORGANIZATION_1]"}}, "[PERSON_NAME_1]"),
    ("ref AB-12345 și user ion_pop1", {"CODE": {"AB-12345": "[CODE_1]"}, "USERNAME": {"ion_pop1": "[USERNAME_1]"}},
     "ref AB-12345 și user ion_pop1"),
    # the shortest spelling's placeholder is canonical for all spellings
    ("Banca X SA, BANCA-X S.A.", {"ORGANIZATION": {"BANCA-X S.A.": "[ORGANIZATION_2]", "Banca X SA": "[ORGANIZATION_1]"}},
     "[ORGANIZATION_1], [ORGANIZATION_1]"),
])
def test_postprocess(anonymized, entity_map, expected):
    assert P.postprocess_anonymized(anonymized, entity_map) == expected
    assert reference.postprocess_anonymized(anonymized, entity_map) == expected


def test_postprocess_logs_and_leaves_arguments_alone(caplog):
    entity_map = {"PERSON_NAME": {"Maria Ionescu": "[PERSON_NAME_1]"}}
    snapshot = copy.deepcopy(entity_map)
    with caplog.at_level(logging.DEBUG, logger="tarnis.processing"):
        P.postprocess_anonymized("Maria Ionescu", entity_map)
        P.postprocess_anonymized("nimic", entity_map)
    assert caplog.messages == ["[processing] Post-process replaced additional entity occurrences"]
    assert entity_map == snapshot


@pytest.mark.parametrize("entity_map", [
    {"PERSON_NAME": {"Ion\t Pop": "[PERSON_NAME_1]"}},     # a run followed by literal white space
    {"PERSON_NAME": {" Ion Pop": "[PERSON_NAME_1]"}},      # leading space
    {"PERSON_NAME": {"Ion Pop": r"[P\n1]"}},              # a replacement template with an escape
    {"PERSON_NAME": {"Ion  Pop ": "[PERSON_NAME_1]"}},     # doubled and trailing spaces
])
def test_unusual_map_entries_behave_as_the_regular_expression(entity_map):
    anonymized = "Ion\t\tPop, Ion   Pop  și [X_1] Ion Pop\t"
    assert P.postprocess_anonymized(anonymized, entity_map) == reference.postprocess_anonymized(anonymized,
                                                                                                entity_map)


def test_postprocess_bad_arguments():
    with pytest.raises(TypeError):
        P.postprocess_anonymized(b"x", {})
    with pytest.raises(TypeError):
        P.postprocess_anonymized("x", [])
    with pytest.raises(TypeError):
        P.postprocess_anonymized("x", {"PERSON_NAME": ["Ion"]})


# --- deanonymize_text and helpers ---------------------------------------------------

def test_unknown_placeholder_is_left_alone():
    assert P.deanonymize_text("[PERSON_NAME_9] și [CNP_1]", {"CNP": {"123": "[CNP_1]"}}) == "[PERSON_NAME_9] și 123"


TEXTS_AROUND_PLACEHOLDERS = st.lists(st.sampled_from(["[A_1]", "[B_2]", "[A_", "1]", "x", "[", "]", " "]),
                                     max_size=12).map("".join)


@settings(max_examples=300, deadline=None)
@given(TEXTS_AROUND_PLACEHOLDERS,
       st.dictionaries(st.sampled_from(["A", "B"]),
                       st.dictionaries(st.sampled_from(["ion", "a b", "x"]),
                                       st.sampled_from(["[A_1]", "[B_2]", "[C_3]"]), max_size=3),
                       max_size=2))
def test_deanonymize_agrees_with_sequential_replacement(text, entity_map):
    """Maps whose values are placeholders and whose texts cannot form one
    restore as placeholder-by-placeholder replacement in map order does."""
    assert P.deanonymize_text(text, entity_map) == reference.deanonymize_text(text, entity_map)


def restore_in_one_pass(text: str, entity_map: dict) -> str:
    first: dict[str, str] = {}
    for inner in entity_map.values():
        for original, placeholder in inner.items():
            if reference.PLACEHOLDER_RE.fullmatch(placeholder):
                first.setdefault(placeholder, original)
    return reference.PLACEHOLDER_RE.sub(lambda m: first.get(m.group(0), m.group(0)), text)


@settings(max_examples=300, deadline=None)
@given(TEXTS_AROUND_PLACEHOLDERS,
       st.dictionaries(st.sampled_from(["A", "B"]),
                       st.dictionaries(st.sampled_from(["ion", "[B_2]", "a[", "]", "", "x", "[A_", "_1]"]),
                                       st.sampled_from(["[A_1]", "[B_2]", "[A_", "x", "", " [A_1]"]), max_size=3),
                       max_size=2))
def test_deanonymize_replaces_each_placeholder_of_the_text_once(text, entity_map):
    assert P.deanonymize_text(text, entity_map) == restore_in_one_pass(text, entity_map)


@pytest.mark.parametrize("text, entity_map, expected", [
    # a value that is not a placeholder rewrites nothing
    ("the cat and the dog", {"X": {"NOT": "the"}}, "the cat and the dog"),
    # restored text is never looked at again: no chained entries
    ("a [CNP_1] b", {"CNP": {"[Z_9]": "[CNP_1]"}, "Z": {"injected": "[Z_9]"}}, "a [Z_9] b"),
    ("[A_1]1]", {"A": {"[B_": "[A_1]"}, "B": {"evil": "[B_1]"}}, "[B_1]"),
    # an empty value cannot multiply the text, an empty text removes its placeholder only
    ("abc [CNP_1]", {"X": {"zz": ""}, "CNP": {"": "[CNP_1]"}}, "abc "),
    # brackets that open no placeholder
    ("[1] [A_1] [B_1 [", {"A": {"a [B_1] b": "[A_1]"}, "B": {"zz": "[B_1]"}}, "[1] a [B_1] b [B_1 ["),
    # the first text in map order for a placeholder
    ("[P_1] [P_1]", {"P": {"Ion Pop": "[P_1]"}, "Q": {"ION POP": "[P_1]"}}, "Ion Pop Ion Pop"),
])
def test_hostile_maps_cannot_rewrite_the_text(text, entity_map, expected):
    assert P.deanonymize_text(text, entity_map) == expected


def test_long_texts_restore_once_per_placeholder():
    text = "[" * 5000 + " [A_1]" * 200 + " ]"
    restored = P.deanonymize_text(text, {"A": {"x" * 20_000: "[A_1]", "": "[B_1]"}})
    assert len(restored) == 5000 + 200 * 20_001 + 2 and restored.startswith("[" * 5000 + " x")


def test_a_map_file_with_reserved_entries_restores_as_the_bare_map():
    """The command's map files carry an entry whose values are no
    placeholders; the library restores with them as without them."""
    from tarnis import cli

    text = "Vezi [ANEXA_1], CNP [CNP_1].\nTel. [PHONE_NUMBER_1]"
    entity_map = {"CNP": {"1850101123456": "[CNP_1]"}, "PHONE_NUMBER": {"0722 123 456": "[PHONE_NUMBER_1]"}}
    loaded = json.loads(cli.entity_map_json(entity_map, text))
    assert set(loaded) == {"CNP", "PHONE_NUMBER", cli.MAP_INFO}
    assert P.deanonymize_text(text, loaded) == P.deanonymize_text(text, entity_map) == \
        "Vezi [ANEXA_1], CNP 1850101123456.\nTel. 0722 123 456"
    assert P.postprocess_anonymized(text, loaded) == P.postprocess_anonymized(text, entity_map)


PROPAGATION_WORDS = ["Ion", "Pop", "Ion-Pop", "de", "De", "+40", "722", "(021)", "S.R.L.", "Popescu", "Ionescu",
                     "[PERSON_NAME_1]", "[X_", "1]", "_", "ion", "Ioana", ",", ".", "\n", "\t", "  "]


@st.composite
def propagation_case(draw):
    words = draw(st.lists(st.sampled_from(PROPAGATION_WORDS), min_size=1, max_size=40))
    text = "".join(w if w.isspace() else w + draw(st.sampled_from([" ", "", "  ", "\n"])) for w in words)
    entity_map: dict = {}
    for k in range(draw(st.integers(0, 6))):
        picked = draw(st.lists(st.sampled_from([w for w in PROPAGATION_WORDS if not w.isspace()]),
                               min_size=1, max_size=3))
        label = draw(st.sampled_from(["PERSON_NAME", "ORGANIZATION", "PHONE_NUMBER", "CODE"]))
        entity_map.setdefault(label, {})[" ".join(picked)] = f"[{label}_{k + 1}]"
    return text, entity_map


@settings(max_examples=500, deadline=None)
@given(propagation_case())
def test_propagation_agrees_with_the_regular_expressions(case):
    """Entities applied longest first, each on what the previous left, with
    word boundaries, white-space runs and the "de " guard, next to and
    inside placeholders."""
    text, entity_map = case
    assert P.postprocess_anonymized(text, entity_map) == reference.postprocess_anonymized(text, entity_map)


def test_replace_outside_placeholders():
    text = "ab[X_1]ab[Y_22][Z_3]"
    assert P._replace_outside_placeholders(text, re.compile("a"), "Z") == "Zb[X_1]Zb[Y_22][Z_3]"
    # an empty-matching pattern also runs on the empty stretches between placeholders
    assert P._replace_outside_placeholders("[X_1][Y_2]", re.compile("x*"), "-") == "-[X_1]-[Y_2]-"
    # never across a placeholder
    assert P._replace_outside_placeholders("a[X_1]b", re.compile(r"a.*b"), "-") == "a[X_1]b"
    assert P._replace_outside_placeholders("a b", re.compile(r"(\w)"), r"<\1>") == "<a> <b>"
    with pytest.raises(TypeError, match="pattern"):
        P._replace_outside_placeholders("a", "a", "b")


@pytest.mark.parametrize("text", ["  Ion \n\t Popescu \u00a0", "", "\x1c", "a\u2003b", "Ștefan-Ion", "İLİE Ăa ǅ ★"])
def test_normalizations(text):
    assert P._normalize_whitespace(text) == reference.normalize_whitespace(text)
    assert P._normalize_entity(text) == reference.normalize_entity(text)


def test_module_constants():
    assert P._HIGH_SPECIFICITY_TYPES == reference.HIGH_SPECIFICITY_TYPES
    assert P._POSTPROCESS_ENTITY_TYPES == reference.POSTPROCESS_ENTITY_TYPES
    assert (P._NAME_PREFIXES.pattern, P._NAME_PREFIXES.flags) == (reference.NAME_PREFIXES.pattern,
                                                                   reference.NAME_PREFIXES.flags)


@pytest.mark.parametrize("candidate", ["[PERSON_NAME_1]", "[A_B_12]", "[_1]", "[a_1]", "[A_]", "[A1]", "[A_1 ]",
                                       "[CNP_٣]"])
def test_placeholder_pattern_is_what_the_module_treats_as_a_placeholder(candidate):
    is_placeholder = re.fullmatch(P.PLACEHOLDER_PATTERN, candidate) is not None
    # Only text outside placeholders is touched ...
    assert (P._replace_outside_placeholders(candidate, re.compile("."), "") == candidate) is is_placeholder
    # ... and only placeholders are restored.
    restored = P.deanonymize_text(f"x {candidate} y", {"T": {"orig": candidate}})
    assert restored == ("x orig y" if is_placeholder else f"x {candidate} y")
    _, entity_map = P.anonymize_text("Ion Pop", [R("PERSON_NAME", 0, 7)])
    assert re.fullmatch(P.PLACEHOLDER_PATTERN, entity_map["PERSON_NAME"]["Ion Pop"])
