"""Denylist data and the denylist filter."""

from __future__ import annotations

import logging
from types import SimpleNamespace

import pytest
import spacy
from presidio_analyzer import RecognizerResult

from tarnis import denylists as D
from tarnis import processing as P


def R(entity_type, start, end):
    return RecognizerResult(entity_type=entity_type, start=start, end=end, score=0.5)


@pytest.fixture
def tagger(monkeypatch):
    """A blank Romanian pipeline that tags a few lower-case surnames PROPN."""
    nlp = spacy.blank("ro")
    ruler = nlp.add_pipe("attribute_ruler")
    for surname in ("popescu", "ionescu"):
        ruler.add([[{"LOWER": surname}]], {"POS": "PROPN"})
    ruler.add([[{"IS_ALPHA": True, "LOWER": {"NOT_IN": ["popescu", "ionescu"]}}]], {"POS": "NOUN"})
    monkeypatch.setattr(P, "_nlp_ro", nlp)
    return nlp


def kept(text, entity_type, extra=None):
    """Whether a result of `entity_type` covering the whole `text` survives."""
    return bool(P.filter_entity_denylist(text, [R(entity_type, 0, len(text))], extra))


@pytest.mark.parametrize("entity_type, text, survives", [
    ("PERSON_NAME", "Clientul", False),
    ("PERSON_NAME", "  DEBITORUL\n", False),          # trimmed, any case
    ("PERSON_NAME", "Maria Popescu", True),
    ("PERSON_NAME", "Director  general", True),       # inner spaces are not collapsed
    ("PERSON_NAME", "Director general", False),
    ("PERSON_NAME", "   ", True),                      # empty after trimming
    ("ORGANIZATION", "Bancă", False),
    ("ORGANIZATION", "BANCA", False),
    ("ORGANIZATION", "Primărie", False),
    ("ORGANIZATION", "primarie", False),
    ("ORGANIZATION", "Banca Transilvania", True),
    ("PASSWORD", "Parola", False),
    ("PASSWORD", "s3cr3t!", True),
    ("USERNAME", "Microsoft Teams", False),
    ("USERNAME", "+40 722 123 456", False),
    ("USERNAME", "0722.123.456", False),
    ("USERNAME", "john.0722123", True),
    ("USERNAME", "Site.RO", False),
    ("USERNAME", "ion.popescu.online", False),
    ("USERNAME", "ro.site", True),
    ("USERNAME", "HTTPS://x", False),
    ("USERNAME", "www.ion", False),
    ("USERNAME", "ion_popescu", True),
    ("DOMIVIA", "0722 123 456", False),
    ("DOMIVIA", "(021) 312-4567", False),
    ("DOMIVIA", "+373 22 123456", False),
    ("DOMIVIA", "Str. Florilor 12", True),
    ("EMAIL_ADDRESS", "client", True),                 # no denylist for this type
])
def test_rules(tagger, entity_type, text, survives):
    assert kept(text, entity_type) is survives


@pytest.mark.parametrize("text, survives", [
    ("popescu", True),        # the tagger says proper noun
    ("clientul mare", False),  # lower case, no proper noun: a common noun phrase
    ("1990", False),           # not upper case, no proper noun
    ("Ana", True),             # capitalised: the tagger is never asked
])
def test_lower_case_person_names_go_through_the_tagger(tagger, text, survives):
    assert kept(text, "PERSON_NAME") is survives


def test_capitalised_names_never_reach_the_tagger(monkeypatch):
    def fail():
        raise AssertionError("tagger loaded")
    monkeypatch.setattr(P, "_get_nlp_ro", fail)
    assert kept("Ana Pop", "PERSON_NAME")


def test_extra_words_are_normalized_like_built_in_ones(tagger):
    extra = {"ORGANIZATION": {"Consiliul", "Școala"}}
    assert not kept("consiliul", "ORGANIZATION", extra)
    assert not kept("SCOALA", "ORGANIZATION", extra)
    assert not kept("banca", "ORGANIZATION", extra)     # built-in words still apply
    assert kept("Consiliul Local", "ORGANIZATION", extra)
    with pytest.raises(TypeError):
        kept("x", "ORGANIZATION", {"ORGANIZATION": ["Consiliul"]})   # a list cannot join a frozenset
    assert kept("x", "CNP", {"ORGANIZATION": ["Consiliul"]})         # ... but only for that type


def test_result_list_and_logging(tagger, caplog):
    text = "Clientul Maria Popescu"
    results = [R("PERSON_NAME", 0, 8), R("PERSON_NAME", 9, 22)]
    with caplog.at_level(logging.DEBUG, logger="tarnis.processing"):
        out = P.filter_entity_denylist(text, results)
        again = P.filter_entity_denylist(text, results[1:])
    assert out == [results[1]] and again == results[1:] and again is not results
    assert caplog.messages == ["[processing] Denylist filtered 1 entities: {'PERSON_NAME': 1}"]


def test_offsets_outside_the_text_are_read_as_python_slices(tagger):
    # behaves like text[start:end]: clamped, never past the end of the text
    results = [R("PERSON_NAME", 0, 500), R("ORGANIZATION", 400, 900), R("PASSWORD", -6, 40)]
    assert P.filter_entity_denylist("Ana  parola", results) == [results[0], results[1]]


def test_bad_arguments():
    with pytest.raises(TypeError):
        P.filter_entity_denylist(b"x", [])
    with pytest.raises(TypeError):
        P.filter_entity_denylist("x", ())
    with pytest.raises(TypeError):
        P.filter_entity_denylist("x", [], extra_denylist=[("ORGANIZATION", {"x"})])


def test_missing_pipeline_names_it_and_is_retried(monkeypatch):
    monkeypatch.setattr(P, "_nlp_ro", None)
    monkeypatch.setattr(spacy, "load", lambda *a, **k: (_ for _ in ()).throw(OSError("[E050] not found")))
    with pytest.raises(OSError, match="ro_core_news_sm.*spacy download"):
        P.filter_entity_denylist("clientul x", [R("PERSON_NAME", 0, 10)])
    assert P._nlp_ro is None
    blank = spacy.blank("ro")
    monkeypatch.setattr(spacy, "load", lambda name, disable: blank)
    assert P._get_nlp_ro() is blank and P._nlp_ro is blank
    assert "sentencizer" in blank.pipe_names
    assert P._get_nlp_ro() is blank


def test_strip_diacritics():
    assert P._strip_ro_diacritics("Știință și ţară é ŞŢĂÂÎ") == "Stiinta si tara é STAAI"
    assert "Știință".translate(P._RO_DIACRITICS) == "Stiinta"


def test_data_shapes():
    assert list(D._ENTITY_DENYLISTS) == ["USERNAME", "PASSWORD", "ORGANIZATION", "PERSON_NAME"]
    assert [len(D._ENTITY_DENYLISTS[t]) for t in D._ENTITY_DENYLISTS] == [35, 7, 24, 19]
    assert all(isinstance(s, frozenset) for s in D._ENTITY_DENYLISTS.values())
    assert P._ENTITY_DENYLISTS is D._ENTITY_DENYLISTS
    assert len(D._USERNAME_REJECT_PATTERNS) == 4 and len(D._DOMIVIA_REJECT_PATTERNS) == 1


def test_use_pipeline_sets_and_forgets_the_shared_pipeline(monkeypatch):
    monkeypatch.setattr(P, "_nlp_ro", None)

    def tagger(pos):
        return lambda span: [SimpleNamespace(pos_=pos) for _ in span.split()]

    # The filter asks the pipeline it was given about a lower-case name.
    name = [R("PERSON_NAME", 0, 7)]
    P.use_pipeline(tagger("PROPN"))
    assert P.filter_entity_denylist("ion pop", name) == name
    P.use_pipeline(tagger("NOUN"))
    assert P.filter_entity_denylist("ion pop", name) == []
    loaded = spacy.blank("ro")
    monkeypatch.setattr(spacy, "load", lambda name, disable: loaded)
    P.use_pipeline(None)
    assert P._nlp_ro is None and P._get_nlp_ro() is loaded  # loaded lazily again
    for bad in ("ro_core_news_sm", 3):
        with pytest.raises(TypeError, match="use_pipeline.*'nlp'"):
            P.use_pipeline(bad)
    assert P._nlp_ro is loaded
    # A pipeline that cannot be loaded points to the way of giving one.
    P.use_pipeline(None)
    monkeypatch.setattr(spacy, "load", lambda *a, **k: (_ for _ in ()).throw(OSError("[E050] not found")))
    with pytest.raises(OSError, match="use_pipeline"):
        P._get_nlp_ro()
