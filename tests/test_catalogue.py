"""The entity catalogue and per-label threshold resolution."""

from __future__ import annotations

import pytest

from tarnis import analyzer as A


def test_entity_lists():
    assert A.ENTITIES == A._ALL_ENTITIES and len(A.ENTITIES) == 15
    assert A.ENTITIES_NO_SLM == ["DOMIVIA", "PERSON_NAME", "EMAIL_ADDRESS", "PHONE_NUMBER", "IBAN_CODE",
                                 "CREDIT_CARD", "BIC", "URL", "IP_ADDRESS", "CODE", "CNP", "IDNP"]
    assert A.SLM_DEPENDENT_ENTITIES == {"USERNAME", "PASSWORD", "ORGANIZATION"}
    assert A.DISABLED_ENTITIES == set()


def test_labels_are_exact_unicode():
    labels = list(A.GLINER_ENTITY_MAPPING)
    assert labels == ["street address", "companie", "organizație", "instituție", "persoană", "parola",
                      "social media handle", "account username or login name"]
    assert "\u021b" in labels[2] and "\u0163" not in labels[2]       # t with comma below, not cedilla
    assert labels[4].endswith("\u0103")
    assert list(A.GLINER_ENTITY_THRESHOLDS) == ["persoană", "companie", "organizație", "instituție",
                                                "street address", "social media handle",
                                                "account username or login name", "parola"]


def test_default_type_thresholds_equal_their_labels():
    for label, entity_type in A.GLINER_ENTITY_MAPPING.items():
        assert A.DEFAULT_ENTITY_THRESHOLDS[entity_type] == A.GLINER_ENTITY_THRESHOLDS[label]
    assert set(A.DEFAULT_ENTITY_THRESHOLDS) == set(A.GLINER_ENTITY_MAPPING.values())


@pytest.mark.parametrize("thresholds, changed", [
    ({}, {}),
    ({"ORGANIZATION": 0.6}, {"companie": 0.6, "organizație": 0.6, "instituție": 0.6}),
    ({"EMAIL_ADDRESS": 0.9}, {}),
    ({"USERNAME": 0.3, "PERSON_NAME": 0.1},
     {"social media handle": 0.3, "account username or login name": 0.3, "persoană": 0.1}),
])
def test_resolve_entity_thresholds(thresholds, changed):
    result = A.resolve_entity_thresholds(thresholds)
    assert result == {**A._ALL_GLINER_ENTITY_THRESHOLDS, **changed}
    assert list(result) == list(A._ALL_GLINER_ENTITY_THRESHOLDS)
    result["parola"] = 0.0
    assert A._ALL_GLINER_ENTITY_THRESHOLDS["parola"] == 0.45


def test_defaults_resolve_to_default_labels():
    assert A.resolve_entity_thresholds(A.DEFAULT_ENTITY_THRESHOLDS) == A._ALL_GLINER_ENTITY_THRESHOLDS


@pytest.mark.parametrize("bad", [None, [("ORGANIZATION", 0.6)]])
def test_resolve_entity_thresholds_needs_a_dict(bad):
    with pytest.raises(TypeError):
        A.resolve_entity_thresholds(bad)
