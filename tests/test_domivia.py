import re

import pytest
from hypothesis import given, settings

from support.parity import ROMANIAN_SAMPLES, assert_same, texts
from support.reference import reference_analyze
from tarnis.recognizers import domivia
from tarnis.recognizers.domivia import RomanianStreetAddressRecognizer

ADDRESS_SAMPLES = [
    "Str. Mihai Eminescu nr. 5, bl. A2, sc. 1, et. 3, ap. 12B, sectorul 4, Cluj-Napoca, jud. Cluj, 400001",
    "STRADA Ştefan cel Mare şi Sfânt 12, Chişinău, MD-2001; strada Ștefan cel Mare și Sfânt 12, Chișinău MD2001",
    "Piaţa Unirii 3, Piața Unirii 3, piata Romana 4, Şoseaua Kiseleff 10, șos. Olteniței 5, ŞOS. Pantelimon 2",
    "str.calea Victoriei 9, str.   bulevardul Carol I nr. 1, Fundătura Mică parter, Splaiul Independenței 313",
    "bd. Unirii 3, SECTOR 3 ,, ,strada de la colt, aleea în spate, intrarea Florilor-de-Câmp 7a",
    "str. Observatorului nr. 52, telefon 0734 780 217, e-mail a@b.ro; Str. Lungă 5 0722123456, CNP 1780315123453",
    "str Mihai Eminescu, nr.101, BDUL Carol 3, cal Victoriei 9, al Doilea nr. 2, p-ța Unirii 4, nr. de tel. +40 21",
    "piața muncii din 2017, calea ferată 12, autostrada Deva-Orăștie, drumul public, intrarea în vigoare nr. 19",
    "Str. X nr. 5, jud. cluj și în, Str. Y 2 parter sau la, Piața Z, se va; Bd. Zorilor-de-sus, iar Bd. A-b",
    "Calea Aradului nr. 56, cod poștal 300001, cont RO49AAAA1B31007593840000, Strada Ulmilor 3, tel/fax 0256/491923.",
    "strada C.A.Rosetti nr. 19, Bdul Magheru 31, str. Lungă 2, strada Mare, piata Mică 4, Calea Unirii nr. 3, Iași",
]
SAMPLES = ADDRESS_SAMPLES + ROMANIAN_SAMPLES


def found(text, recognizer=None):
    recognizer = recognizer or RomanianStreetAddressRecognizer()
    return [(r.analysis_explanation.textual_explanation.split("(")[1][:-1], text[r.start:r.end], round(r.score, 6))
            for r in recognizer.analyze(text, ["DOMIVIA"])]


EMINESCU = "Str. Mihai Eminescu nr. 5, bl. A2, sc. 1, ap. 12, Cluj-Napoca"


@pytest.mark.parametrize("text, expected", [
    (EMINESCU, [("formal", EMINESCU, 0.8), ("informal", EMINESCU, 0.75), ("prefix_only", EMINESCU, 0.65)]),
    # A street-type word in full and in lower case is an address only with a house number.
    ("strada Florilor 12", [("informal", "strada Florilor 12", 0.6)]),
    ("Strada Florilor 12", [("informal", "Strada Florilor 12", 0.6), ("prefix_only", "Strada Florilor 12", 0.5)]),
    ("strada Florilor 1234", [("informal", "strada Florilor 1234", 0.65)]),
    ("Strada Florilor 1234", [("informal", "Strada Florilor 1234", 0.65), ("prefix_only", "Strada Florilor 1234", 0.55)]),
    ("Bd. Unirii 3, sector 3", [("informal", "Bd. Unirii 3, sector 3", 0.65), ("prefix_only", "Bd. Unirii 3, sector 3", 0.55)]),
    ("Bd. Unirii 3, SECTOR 3", [("informal", "Bd. Unirii 3, SECTOR 3", 0.6), ("prefix_only", "Bd. Unirii 3, SECTOR 3", 0.5)]),
    ("str. Ismail 45, Chișinău, MD-2001", [("informal", "str. Ismail 45, Chișinău, MD-2001", 0.7),
                                          ("prefix_only", "str. Ismail 45, Chișinău, MD-2001", 0.6)]),
    # "MD" is the postal code's, never a city: the digits stay with it.
    ("str. Ismail 45, MD-2001", [("informal", "str. Ismail 45, MD-2001", 0.65),
                                 ("prefix_only", "str. Ismail 45, MD-2001", 0.55)]),
    ("calea Dorobanți nr. 7, BL. A, 010101", [("formal", "calea Dorobanți nr. 7, BL. A, 010101", 0.7),
                                            ("informal", "calea Dorobanți nr. 7, BL. A, 010101", 0.65)]),
    ("Str. Lungă nr. 5, bl. 2, Iași, 700001", [("formal", "Str. Lungă nr. 5, bl. 2, Iași, 700001", 0.85),
                                              ("informal", "Str. Lungă nr. 5, bl. 2, Iași, 700001", 0.8),
                                              ("prefix_only", "Str. Lungă nr. 5, bl. 2, Iași, 700001", 0.7)]),
    # Minimum lengths, counted on the stripped match: 10 for formal and informal, 15 for prefix-only.
    ("str. Ab 1", []),
    ("str. Abc 1", [("informal", "str. Abc 1", 0.6)]),
    ("Strada Florila", []),
    ("Strada Florilor", [("prefix_only", "Strada Florilor", 0.5)]),
    ("strada Florilor", []),
    # A prefix-only match whose second word is a preposition is a phrase, not an address.
    ("strada de la colt", []),
    ("Strada Fără Nume", []),
    ("strada de la Moara 12", [("informal", "strada de la Moara 12", 0.6)]),
    ("Strada Independenței", [("prefix_only", "Strada Independenței", 0.5)]),
    ("Strada Deva Mare", [("prefix_only", "Strada Deva Mare", 0.5)]),
    ("str. Independenței", [("prefix_only", "str. Independenței", 0.5)]),
    # Street-type words in any case and with either form of ș and ț.
    ("PIAŢA Unirii 1", [("informal", "PIAŢA Unirii 1", 0.6)]),
    ("Şoseaua Kiseleff 10; Șoseaua Kiseleff 10", [("informal", "Şoseaua Kiseleff 10", 0.6),
                                                   ("informal", "Șoseaua Kiseleff 10", 0.6),
                                                   ("prefix_only", "Şoseaua Kiseleff 10", 0.5),
                                                   ("prefix_only", "Șoseaua Kiseleff 10", 0.5)]),
    ("în zona de nord a orașului, fără număr", []),
    ("", []),
])
def test_styles_spans_and_scores(text, expected):
    assert found(text) == expected


def test_spans_are_offsets_into_the_whole_text():
    text = "🏠 Domiciliu: Calea Victoriei nr. 12, ap. 3\n\nstr. Lalelelor 4 "
    results = RomanianStreetAddressRecognizer().analyze(text, None)
    calea, lalele = (13, "Calea Victoriei nr. 12, ap. 3"), (44, "str. Lalelelor 4")
    assert [(r.start, text[r.start:r.end]) for r in results] == [calea, calea, lalele, calea, lalele]
    assert all(r.entity_type == "DOMIVIA" for r in results)
    assert results[0].analysis_explanation.recognizer == "RomanianStreetAddressRecognizer"
    assert results[0].analysis_explanation.original_score == results[0].score


@settings(max_examples=300, deadline=None)
@given(texts(SAMPLES))
def test_same_results_as_plain_python(text):
    results = RomanianStreetAddressRecognizer().analyze(text, None)
    assert [(r.analysis_explanation.textual_explanation[34:-1], r.start, r.end, r.score) for r in results] \
        == reference_analyze(text)


class Generous(RomanianStreetAddressRecognizer):
    BUILDING_BONUS = 0.5


class Custom(RomanianStreetAddressRecognizer):
    def _compile_patterns(self):
        return [("informal", re.compile(r"\s*strada \w+ \d+\s*"))]

    def _compute_score(self, match_text, style):
        return 0.42


def test_subclasses_override_tuning_patterns_and_scoring():
    assert found(EMINESCU, Generous())[0] == ("formal", EMINESCU, 0.85)
    text = "A:  strada Mare 12  ;"
    assert [(r.start, r.end, r.score) for r in Custom().analyze(text, None)] == [(4, 18, 0.42)]


def test_replaced_rejection_pattern_is_honoured(monkeypatch):
    monkeypatch.setattr(domivia, "_NON_STREET_STARTS", re.compile("florilor", re.I))
    assert found("strada Florilor mari") == []


@pytest.mark.parametrize("match_text, style, score", [
    ("strada Florilor 12", "informal", 0.6), ("strada Florilor 12", "prefix_only", 0.5),
    ("Str. X nr. 1, et. 2, Sector 5, 123456\n", "formal", 0.85), ("Str. X nr. 1, ap.2", "formal", 0.75),
    ("Str. X nr. 1, Bl. 2", "formal", 0.65), ("Str. X nr. 1, ,Ţăndărei", "formal", 0.7),
])
def test_compute_score(match_text, style, score):
    assert RomanianStreetAddressRecognizer()._compute_score(match_text, style) == pytest.approx(score)


def test_constructor_and_argument_checks():
    r = RomanianStreetAddressRecognizer()
    assert (r.supported_entities, r.supported_language, r.name) == (["DOMIVIA"], "ro", "RomanianStreetAddressRecognizer")
    assert [style for style, _ in r._patterns] == ["formal", "informal", "prefix_only"]
    assert RomanianStreetAddressRecognizer(supported_entities=[]).supported_entities == ["DOMIVIA"]
    with pytest.raises(TypeError, match="text"):
        r.analyze(b"strada Florilor 12", None)
    with pytest.raises(TypeError, match="supported_language"):
        RomanianStreetAddressRecognizer(supported_language=None)


NATIVE = [(p.pattern, p.flags) for _, p in domivia._NATIVE_PATTERNS] + [
    (p.pattern, p.flags) for p in (domivia._BUILDING_CHECK, domivia._CITY_CHECK, domivia._POSTAL_CHECK,
                                   domivia._NON_STREET_STARTS)]


@pytest.mark.parametrize("pattern, flags", NATIVE)
def test_native_patterns_match_like_re(pattern, flags):
    for text in SAMPLES + ["str." + " " * 40 + "x", "strada " + "de " * 8 + "12"]:
        assert_same(pattern, flags, text)


@settings(max_examples=150, deadline=None)
@given(texts(SAMPLES))
def test_native_patterns_match_like_re_on_generated_text(text):
    for pattern, flags in NATIVE:
        assert_same(pattern, flags, text)


def assert_linear_form_finds_the_same(text):
    for (_, plain), (_, linear) in zip(domivia._DEFAULT_PATTERNS, domivia._NATIVE_PATTERNS):
        assert [m.span() for m in linear.finditer(text)] == [m.span() for m in plain.finditer(text)], text


STREET_TYPE_RUNS = ["str. \t calea Mare 3", "str.\u00a0 \n x 1", "str.Calea x 12", "STR.  DRUMUL nr. 4", "str. calea nr. 5", "str. drumul a b c d e f 12"]


def test_linear_street_type_finds_what_the_plain_one_finds():
    for text in SAMPLES + STREET_TYPE_RUNS:
        assert_linear_form_finds_the_same(text)


@settings(max_examples=300, deadline=None)
@given(texts(SAMPLES + STREET_TYPE_RUNS))
def test_linear_street_type_finds_what_the_plain_one_finds_on_generated_text(text):
    assert_linear_form_finds_the_same(text)


def test_in_analyzer_engine(ro_engine):
    engine = ro_engine([RomanianStreetAddressRecognizer()])
    text = "Subsemnatul, domiciliat în Str. Mihai Eminescu nr. 5, bl. A2, Cluj-Napoca, declar că"
    results = engine.analyze(text, language="ro")
    assert [(r.entity_type, text[r.start:r.end], r.score) for r in results] == [
        ("DOMIVIA", "Str. Mihai Eminescu nr. 5, bl. A2, Cluj-Napoca", pytest.approx(0.8))]
    assert results[0].recognition_metadata["recognizer_name"] == "RomanianStreetAddressRecognizer"


def spans(text):
    """The distinct address spans found in `text`, in text order."""
    return sorted({text[r.start:r.end] for r in RomanianStreetAddressRecognizer().analyze(text, None)},
                  key=text.index)


# Common phrases that begin with a street-type word, beside real addresses written in lower case.
@pytest.mark.parametrize("text, expected", [
    ("banca nr. 1 pe piața românească a creditelor sindicalizate", []),
    ("sprijin pentru integrarea pe piața muncii, prin incurajarea participării", []),
    ("nu pot sta în calea dezvoltării relațiilor comerciale și politice", []),
    ("s-a accidentat la pătrunderea pe drumul public și a fost acroșată", []),
    ("Lumea în care și-a croit drumul Banca Națională a României etc.", []),
    ("lucrările pentru sectoarele de autostradă Deva-Orăștie, amplasamentul", []),
    ("Autostrada București-Constanța va fi finalizată", []),
    ("În acest an, piața a păstrat trendul de creștere din 2017, în ciuda", []),
    ("pe stradă de doi adolescenți de 17 ani", []),
    ("până la intrarea în vigoare a Legii nr. 19/2000", []),
    ("transportul pe calea ferată, o serie de halte", []),
    ("cu legătura asigurată de drumul județean 249 A si calea ferată", []),
    ("un incendiu pe strada Metalurgiei din Timișoara.", []),
    ("Participanții au mers în Piața Victoriei, se va desfășura", ["Piața Victoriei"]),
    ("strada morii nr. 21", ["strada morii nr. 21"]),
    ("locuiește în strada Florilor 12, Cluj-Napoca", ["strada Florilor 12, Cluj-Napoca"]),
    ("pe calea Dorobanților nr. 7, sector 1", ["calea Dorobanților nr. 7, sector 1"]),
    ("piața Unirii nr. 3, bl. A, ap. 4", ["piața Unirii nr. 3, bl. A, ap. 4"]),
    ("domiciliat în șoseaua Olteniței 208", ["șoseaua Olteniței 208"]),
    ("strada de la Moara 12", ["strada de la Moara 12"]),
    ("la sediul din Bd. Revoluției din 1989 nr. 17, etajul", ["Bd. Revoluției din 1989 nr. 17"]),
    ("în Piața Marii Adunări Naționale, în data de 25", ["Piața Marii Adunări Naționale"]),
    ("Strada Aviatorilor nr. 8", ["Strada Aviatorilor nr. 8"]),
    # A Moldovan postal code after the flat is the address's, "MD" and digits together.
    ("mun. Chișinău, str. Ismail nr. 84, ap. 12, MD-2001, Republica Moldova",
     ["str. Ismail nr. 84, ap. 12, MD-2001"]),
    ("str. Ismail nr. 84, ap. 12, MD2001", ["str. Ismail nr. 84, ap. 12, MD2001"]),
    # A road designation after a lower-case street-type word is no street name.
    ("Mănăstirea se află pe drumul DN 6 Timișoara - Cenad", []),
    ("pe drumul E 70 spre Lugoj", []),
    ("pe drumul dj 100 spre sat", []),
    ("pe drumul Morii 6", ["drumul Morii 6"]),
    # The address ends where the sentence goes on: after a comma and a conjunction,
    # at a sentence end, before a word glued to the last one.
    ("agenție pe str. S. Bărnuțiu, iar Alpha Bank a pus", ["str. S. Bărnuțiu"]),
    ("Este vorba despre str. Ciocârliei, intersecția Căii Torontalului", ["str. Ciocârliei"]),
    ("situat în Timișoara, Bulevardul Eroilor. Informații suplimentare", ["Bulevardul Eroilor"]),
    ("la intersecția cu Bd. Regele Ferdinand înspre Bd. Mihai Viteazul.", ["Bd. Regele Ferdinand înspre Bd. Mihai Viteazul"]),
    ("la protestul din Piața VictorieiEXCLUSIV Cum ar putea", ["Piața Victoriei"]),
    ("Str. Prof. Dr. Ion Cantacuzino nr. 5, Ploiești", ["Str. Prof. Dr. Ion Cantacuzino nr. 5, Ploiești"]),
    ("Calea Victoriei nr. 115, sector 1, București, 010071", ["Calea Victoriei nr. 115, sector 1, București, 010071"]),
    # A street-type word after the house number begins the next address, not a city.
    ("imobilele din strada C.A.Rosetti nr. 19, Bdul Magheru 31, imobilul", ["strada C.A.Rosetti nr. 19", "Bdul Magheru 31"]),
    ("str. Lungă nr. 2, strada Mare nr. 4", ["str. Lungă nr. 2", "strada Mare nr. 4"]),
    ("Str. Lungă 2, Calea Unirii 9, Iași", ["Str. Lungă 2", "Calea Unirii 9, Iași"]),
    ("str. Lungă nr. 2, piața Mică 4", ["str. Lungă nr. 2", "piața Mică 4"]),
    ("str. Lungă nr. 2, Piatra Neamț", ["str. Lungă nr. 2, Piatra Neamț"]),
    ("str. Lungă nr. 2, Strehaia", ["str. Lungă nr. 2, Strehaia"]),
    ("str. Lungă nr. 2, calea ferată și drumul public", ["str. Lungă nr. 2"]),
    ("strada morii nr. 21, piața muncii din 2017", ["strada morii nr. 21"]),
])
def test_street_type_words_begin_an_address_only_where_one_follows(text, expected):
    assert spans(text) == expected


# The address ends before a contact or identifier keyword and before a number that is no house number.
@pytest.mark.parametrize("text, address", [
    ("Domiciliat în Iași, str. Observatorului nr. 52, telefon 0734 780 217, e-mail a@b.ro.",
     "str. Observatorului nr. 52"),
    ("str. Observatorului nr. 52, 0734780217", "str. Observatorului nr. 52"),
    ("str. Observatorului nr. 52, +40 734 780 217", "str. Observatorului nr. 52"),
    ("str. Observatorului nr. 52 (0256) 491 923", "str. Observatorului nr. 52"),
    ("str. Observatorului nr. 52, 0256/491923", "str. Observatorului nr. 52"),
    ("Str. Florilor 12 0722123456", "Str. Florilor 12"),
    ("Str. Florilor 12, TEL. 0722123456", "Str. Florilor 12"),
    ("Str. Florilor 12, Tel: 0722", "Str. Florilor 12"),
    ("Str. Florilor 12, mobil 0722", "Str. Florilor 12"),
    ("Str. Florilor 12; fax 021", "Str. Florilor 12"),
    ("Str. Florilor 12, e-mail ion@x.ro", "Str. Florilor 12"),
    ("Str. Florilor 12, email ion@x.ro", "Str. Florilor 12"),
    ("Str. Florilor 12, nr. de telefon 0722", "Str. Florilor 12"),
    ("Str. Florilor nr. 12, CNP 1780315123453", "Str. Florilor nr. 12"),
    ("Str. Florilor nr. 12, IBAN RO49AAAA1B31007593840000", "Str. Florilor nr. 12"),
    ("Str. Florilor nr. 12, contul RO49AAAA1B31007593840000", "Str. Florilor nr. 12"),
    ("Str. Florilor nr. 12, cod client 4512", "Str. Florilor nr. 12"),
    ("Str. Florilor nr. 12, Telefonul 0722", "Str. Florilor nr. 12"),
    ("Str. Florilor nr. 12, la 12.03.2020", "Str. Florilor nr. 12"),
    ("str. Victoriei nr. 198, BIC RNCBROBU - card", "str. Victoriei nr. 198"),
    ("str. Mihai Eminescu nr. 98 SWIFT RNCBROBU", "str. Mihai Eminescu nr. 98"),
    ("str. Florilor nr. 133  card bancar 5372 4204 3732 0327.", "str. Florilor nr. 133"),
    ("Calea Unirii nr. 57  CARDUL NR. 5110 2969 7625 5075", "Calea Unirii nr. 57"),
    ("cu domiciliul în\nCalea Observatorului nr. 86\n5184 1077 9447 6226.", "Calea Observatorului nr. 86"),
    ("Str. Lungă 12 5184 1077 9447 6226", "Str. Lungă 12"),
    # Nor does it run on into the lower-case words of the sentence.
    ("pe str. Științei nr. 5 și în luna august", "str. Științei nr. 5"),
    ("Str. Simion Bărnuțiu nr. 62, sau la tel. 219174", "Str. Simion Bărnuțiu nr. 62"),
    ("Str. Florilor nr. 5, jud. cluj", "Str. Florilor nr. 5, jud. cluj"),
    ("Fundătura Mică 3 parter", "Fundătura Mică 3 parter"),
    # Address parts stay: postal code, building details, sector, city.
    ("Str. Florilor 12, cod poștal 010011", "Str. Florilor 12, cod poștal 010011"),
    ("Calea Victoriei nr. 115, sector 1, București, 010071", "Calea Victoriei nr. 115, sector 1, București, 010071"),
    ("Str. Lungă nr. 5, bl. 2, Iași, 700001", "Str. Lungă nr. 5, bl. 2, Iași, 700001"),
    ("str. Ismail 45, Chișinău, MD-2001", "str. Ismail 45, Chișinău, MD-2001"),
    # A house number that is itself a phone number is no address.
    ("Str. Florilor 0722123456", None),
    ("str. Florilor nr. 0722123456", None),
])
def test_address_ends_before_contact_keywords_and_long_numbers(text, address):
    found_spans = spans(text)
    assert (max(found_spans, key=len) if found_spans else None) == address
    assert all(address is not None and address.startswith(s) for s in found_spans)


@pytest.mark.parametrize("text, address", [
    ("str Mihai Eminescu, nr.101", "str Mihai Eminescu, nr.101"),
    ("STR Mihai Eminescu nr. 101, Cluj", "STR Mihai Eminescu nr. 101, Cluj"),
    ("bd Unirii 3, sector 3", "bd Unirii 3, sector 3"),
    ("Bdul Magheru 31, București", "Bdul Magheru 31, București"),
    ("b-dul. Carol I nr. 5", "b-dul. Carol I nr. 5"),
    ("sos Pantelimon 12", "sos Pantelimon 12"),
    ("șos Olteniței nr. 5", "șos Olteniței nr. 5"),
    ("p-ța Unirii nr. 4", "p-ța Unirii nr. 4"),
    ("pța Victoriei 1, Iași", "pța Victoriei 1, Iași"),
    ("Al Rozelor nr. 2", "Al Rozelor nr. 2"),
    ("Cal Victoriei nr. 12", "Cal Victoriei nr. 12"),
    ("str 1 Decembrie 1918 nr. 3", "str 1 Decembrie 1918 nr. 3"),
    # Without a capitalised name and a number the abbreviation is a common word or nothing at all.
    ("str Mihai Eminescu", None),
    ("bd Unirii, sector 3", None),
    ("str mihai eminescu nr. 101", None),
    ("pe locul al doilea nr. 5", None),
    ("Decretul al Consiliului de Stat nr. 5", None),
    ("un cal alb nr. 3", None),
    ("al Doilea Război Mondial 1939", None),
    ("Al Doilea Război Mondial 1939", None),
    ("un sos de roșii 2", None),
    ("construct 3 ani", None),
])
def test_street_type_abbreviations_without_their_dot(text, address):
    found_spans = spans(text)
    assert (max(found_spans, key=len) if found_spans else None) == address


def test_address_and_phone_both_survive_overlap_resolution():
    from tarnis import cli
    from tarnis.processing import resolve_overlaps

    engine = cli.build_rules_engine()
    for text in ("Domiciliat în Iași, str. Observatorului nr. 52, telefon 0734 780 217, e-mail a@b.ro.",
                 "Domiciliat în Iași, str. Observatorului nr. 52, 0734780217"):
        kept = {(r.entity_type, text[r.start:r.end]) for r in resolve_overlaps(engine.analyze(text, language="ro"), text)}
        assert ("DOMIVIA", "str. Observatorului nr. 52") in kept
        assert any(kind == "PHONE_NUMBER" and span.replace(" ", "") == "0734780217" for kind, span in kept), kept


ADVERSARIAL = ["str. Florilor 12" + " 1" * 3000, "Str. Ab " + "0" * 20000, "strada " + "de " * 5000 + "12",
               "str " + "Mihai " * 4000 + "nr. 1", ("Str. Ab 1, tel " * 2000), "str. A 1" + "-1" * 5000]


@pytest.mark.parametrize("text", ADVERSARIAL)
def test_adversarial_inputs_agree_with_plain_python(text):
    results = RomanianStreetAddressRecognizer().analyze(text, None)
    assert [(r.analysis_explanation.textual_explanation[34:-1], r.start, r.end, r.score) for r in results] \
        == reference_analyze(text)
