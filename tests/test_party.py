"""The role-name recognizer: names directly after a party or address word."""

from __future__ import annotations

import pytest
from hypothesis import given, settings

from support.parity import ROMANIAN_SAMPLES, assert_same, texts
from tarnis.recognizers import party as P
from tarnis.recognizers.party import PartyNameRecognizer


@pytest.fixture(scope="module")
def recognizer():
    return PartyNameRecognizer()


def names(recognizer, text):
    return [text[r.start:r.end] for r in recognizer.analyze(text, ["PERSON_NAME"])]


@pytest.mark.parametrize("text, expected", [
    # court files: roles in every inflection, names in capitals or Title case
    ("inculpatul POPESCU ION a declarat", ["POPESCU ION"]),
    ("Inculpata Miu Ileana Cristina a recunoscut", ["Miu Ileana Cristina"]),
    ("declarația inculpatului Vasilescu Dan este", ["Vasilescu Dan"]),
    ("Reclamanta Georgescu Ioana, domiciliată", ["Georgescu Ioana"]),
    ("cererea reclamantei IONESCU MARIA prin", ["IONESCU MARIA"]),
    ("pârâtul Popescu Andrei-Mihai.", ["Popescu Andrei-Mihai"]),
    ("paratei Dobre Elena si", ["Dobre Elena"]),
    ("petentul Stan Gheorghe; intimata Rusu Ana", ["Stan Gheorghe", "Rusu Ana"]),
    ("apelantul Barbu Ion, recurenta Moraru Ioana", ["Barbu Ion", "Moraru Ioana"]),
    ("Martorul Vasilescu Dan a arătat, iar martora Pop Ana", ["Vasilescu Dan", "Pop Ana"]),
    ("audierea martorei Lungu Maria", ["Lungu Maria"]),
    ("numitul Dobre Florin, mandatar", ["Dobre Florin"]),
    ("numitului lui Grigore Vasile", ["Grigore Vasile"]),
    ("minorul Popa Andrei și minorei Popa Ioana", ["Popa Andrei", "Popa Ioana"]),
    ("partea vătămată Oprea Mihai, partea civilă Neagu Ana", ["Oprea Mihai", "Neagu Ana"]),
    ("părții vătămate Tudor Ion", ["Tudor Ion"]),
    # address words
    ("d-na Ionescu a venit, d-lui Popa i s-a spus", ["Ionescu", "Popa"]),
    ("dl. Popescu și dna. Marin, dl Pavel Dehelean", ["Popescu", "Marin", "Pavel Dehelean"]),
    ("domnul Ion Pop, doamna Iza Gherheș, domnului Ponta, doamnei Susanne Kastner",
     ["Ion Pop", "Iza Gherheș", "Ponta", "Susanne Kastner"]),
    # contracts and deeds
    ("Subsemnatul Andrei Rusu, subsemnata Ioana Stoica", ["Andrei Rusu", "Ioana Stoica"]),
    ("titular Ion Popescu.", ["Ion Popescu"]),
    ("titularul contului Ion Popescu", ["Ion Popescu"]),
    ("proprietarul Mihai Stan, chiriașul Dan Roș, chiriaşa Ana Ţugui", ["Mihai Stan", "Dan Roș", "Ana Ţugui"]),
    ("mandatarul Radu Vlad, împuternicitul Ilie Cazan, imputernicita Elena Munteanu",
     ["Radu Vlad", "Ilie Cazan", "Elena Munteanu"]),
    ("moștenitorul Sorin Lupu, moştenitoarea Ana Lupu, defunctului Gheorghe Lupu",
     ["Sorin Lupu", "Ana Lupu", "Gheorghe Lupu"]),
    # both diacritic forms, and letters written with a combining mark
    ("minorei Şerban Ţuţu și minorul Șerban Țuțu", ["Şerban Ţuţu", "Șerban Țuțu"]),
    ("martorul S\u0326tefan Dinu", ["S\u0326tefan Dinu"]),
])
def test_names_after_role_words(recognizer, text, expected):
    assert names(recognizer, text) == expected


@pytest.mark.parametrize("text, expected", [
    # at most four words; a lower-case word, punctuation, a digit or a line break ends the name
    ("partea vătămată POPESCU-IONESCU MARIA ELENA IOANA ANA", ["POPESCU-IONESCU MARIA ELENA IOANA"]),
    ("martorul Ion Pop a spus", ["Ion Pop"]),
    ("martorul Ion A. Pop", ["Ion"]),
    ("martorul Ion Pop2 Dan", ["Ion"]),
    ("subsemnatul Ion\nPopescu", ["Ion"]),
    ("subsemnatul\nIon Popescu", []),
    ("subsemnatul: Ion Popescu", []),
    ("titularul Ion Popescu-", ["Ion Popescu"]),
    # nothing that is not a name
    ("în contul chiriașului RO81RNCB0082044212345678", []),
    ("inculpatul a declarat", []), ("inculpatul 1", []), ("martorul X a spus", []),
    ("martorul McDonald", []),                      # neither Title case nor capitals
    ("domnul Președinte a spus", []),               # a title alone
    ("domnul Președinte Ion Pop a spus", ["Ion Pop"]),
    ("doamna Judecător Ana Rus", ["Ana Rus"]),
    ("reclamanta SC Alfa SRL", []), ("pârâta Alfa S.R.L. prin", []), ("pârâta Beta SA", []),
    ("reclamant Societatea Gama", []), ("intimat Statul Român", []), ("petenta Primăria Iași", []),
    # the role word must stand alone
    ("așa-numita Strafexpedition", []), ("martorii Ion", []), ("inculpații Ion", []),
    ("numit Director", []), ("un accident minor Grav", []),
    ("la DNA Brașov", []), ("Dna Marin", ["Marin"]),
    # all capitals, and "lui" between
    ("DOMNUL IOAN POP", ["IOAN POP"]), ("INCULPATUL POPESCU ION,", ["POPESCU ION"]),
    ("martorului lui Vasile Dan", ["Vasile Dan"]),
    # identifier keywords and function words in capitals are no part of a name
    ("formulată de titularul CNP 2900202123457", []),
    ("Subsemnatul NUMĂR DE ÎNREGISTRARE TM 94 DGX", []),
    ("INCULPATUL POPESCU ION DIN CLUJ", ["POPESCU ION"]), ("titular Ion Pop IBAN RO49", ["Ion Pop"]),
    # an address after the role word is no name
    ("Domnul Calea Libertății nr. 182", []), ("Subsemnatul Bulevardul Unirii 3", []),
    ("DOMNUL STRADA FLORILOR 5", []), ("martorul Piața Unirii nr. 4", []), ("Domnul Ion Pop Aleea Rozelor 2", ["Ion Pop"]),
])
def test_where_a_name_ends_and_what_is_no_name(recognizer, text, expected):
    assert names(recognizer, text) == expected


def test_results_class_shape_and_tuning(recognizer):
    assert (recognizer.name, recognizer.supported_entities, recognizer.supported_language) == \
        ("PartyNameRecognizer", ["PERSON_NAME"], "ro")
    [r] = recognizer.analyze("domnul Ion Pop", [])
    assert (r.entity_type, r.start, r.end, r.score) == ("PERSON_NAME", 7, 14, 0.75)
    assert r.analysis_explanation.recognizer == "PartyNameRecognizer" and not r.recognition_metadata

    class Short(PartyNameRecognizer):
        SCORE = 0.5
        MAX_WORDS = 1

    [r] = Short().analyze("domnul Ion Pop", [])
    assert (r.start, r.end, r.score, r.analysis_explanation.recognizer) == (7, 10, 0.5, "Short")

    class Broken(PartyNameRecognizer):
        MAX_WORDS = 0

    with pytest.raises(ValueError):
        Broken().analyze("domnul Ion Pop", [])
    with pytest.raises(TypeError):
        recognizer.analyze(b"domnul Ion Pop", [])


def test_names_do_not_overlap_when_roles_follow_each_other(recognizer):
    # "Doamna" is itself a role word; the name is reported once
    assert names(recognizer, "subsemnata Doamna Ana Rus") == ["Ana Rus"]
    assert names(recognizer, "domnul inculpat Popescu Ion") == ["Popescu Ion"]


def test_whole_pipeline_anonymizes_the_names(ro_engine):
    from tarnis.processing import anonymize_text, filter_entity_denylist, postprocess_anonymized, resolve_overlaps

    text = ("Inculpatul POPESCU ION a fost audiat în prezența martorului Vasilescu Dan. "
            "Martorul a declarat că POPESCU ION era acasă.")
    engine = ro_engine([PartyNameRecognizer()])
    results = filter_entity_denylist(text, resolve_overlaps(engine.analyze(text, language="ro"), text))
    anonymized, entity_map = anonymize_text(text, results)
    anonymized = postprocess_anonymized(anonymized, entity_map)
    assert "POPESCU" not in anonymized and "Vasilescu" not in anonymized
    assert anonymized.startswith("Inculpatul [PERSON_NAME_") and "Martorul a declarat" in anonymized


@settings(max_examples=200, deadline=None)
@given(texts(ROMANIAN_SAMPLES + ["inculpatul POPESCU ION", "Părții Vătămate Ana", "d-lui Pop; dl. Rus",
                                 "titularul contului Ion", "moștenitoarei Ana, DNA Iași"]))
def test_role_pattern_matches_as_python_re(text):
    assert_same(P._ROLE_RE.pattern, P._ROLE_RE.flags, text)
