"""The Python versions the benchmarks measure the native recognizers against
find what the native ones find, on the benchmarks' own generated documents
and on documents dense with every kind of identifier."""

from __future__ import annotations

import pytest

from support import corpus, leakgen, reference
from support.recognizers import PyBICRecognizer, PyIbanRecognizer, phone_results


def _documents():
    texts = [corpus.generate(size=20_000, entities=120, seed=seed)[0] for seed in (1, 2)]
    texts.append("\n".join(doc.text for doc in leakgen.documents(80, seed=5)))
    return texts


DOCUMENTS = _documents()


def _spans(results, explained=False):
    return sorted((r.entity_type, r.start, r.end, r.score)
                  + ((r.analysis_explanation.textual_explanation,) if explained else ()) for r in results)


@pytest.mark.parametrize("text", DOCUMENTS)
def test_iban_and_bic(text):
    from tarnis.recognizers.bic import BICRecognizer
    from tarnis.recognizers.iban import CustomIbanRecognizer

    native = CustomIbanRecognizer(supported_language="ro").analyze(text, None)
    assert native and _spans(native) == _spans(PyIbanRecognizer(supported_language="ro").analyze(text, None))
    native = BICRecognizer().analyze(text, None)
    assert native and _spans(native) == _spans(PyBICRecognizer().analyze(text, None))


# The phone baseline is held to the benchmark's documents: on the dense ones
# the native recognizer finds numbers (with a region other than the first
# tried) that the baseline does not.
@pytest.mark.parametrize("text", DOCUMENTS[:2])
def test_phone_and_cnp(text):
    from tarnis.recognizers import phone
    from tarnis.recognizers.cnp import CnpRecognizer

    rec = phone.CustomPhoneRecognizer()
    native = rec.analyze(text, ["PHONE_NUMBER"])
    assert native and _spans(native, True) == _spans(phone_results(rec, text), True)
    native = CnpRecognizer().analyze(text, [])
    assert native and _spans(native) == _spans(reference.cnp_results(text))


def test_restore_in_one_pass():
    from tarnis.processing import deanonymize_text

    entity_map = {"PERSON_NAME": {"Ion Popescu": "[PERSON_NAME_1]", "ION POPESCU": "[PERSON_NAME_1]"},
                  "CNP": {"1850101123456": "[CNP_1]"}}
    text = "[PERSON_NAME_1], CNP [CNP_1]; [PERSON_NAME_1] [PERSON_NAME_2] [CNP_1"
    assert reference.restore_first_spelling(text, entity_map) == deanonymize_text(text, entity_map)
