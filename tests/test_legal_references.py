"""Public references stay in the text: numbers of published acts, official
journals and articles, year ranges, one-digit dates and amounts are left out
of the CODE results when `keep_legal_references` is on, while personal
references of the same shape are still found."""

from __future__ import annotations

import pytest
from presidio_analyzer import PatternRecognizer, RecognizerResult

from tarnis import analyzer, cli
from tarnis.processing import filter_entity_denylist, resolve_overlaps
from tarnis.recognizers.code import CodeRecognizer

KEEP = CodeRecognizer(keep_legal_references=True)
PLAIN = CodeRecognizer()


def codes(recognizer, text):
    return sorted((r.start, r.end) for r in recognizer.analyze(text, ["CODE"]))


def covering(spans, text, part):
    """The spans that overlap the first occurrence of `part`."""
    start = text.index(part)
    end = start + len(part)
    return [(s, e) for s, e in spans if s < end and start < e]


# (text, the reference in it)
LEGAL = [
    # laws
    ("Legea nr. 8/1996 privind dreptul de autor.", "8/1996"),
    ("Potrivit Legii nr. 153/2017 privind salarizarea", "153/2017"),
    ("completarea Legii-cadru nr. 153/2017 privind salarizarea", "153/2017"),
    ("conform legii nr 215/2001", "215/2001"),
    ("încălcarea prevederilor Legii 61/1991 referitoare la ordinea publică", "61/1991"),
    ("a fost reconfirmat prin Legea nr. 1538 din 25 februarie 1998", "nr. 1538"),
    ("art. 39 alin. 2 și 3 din Legea administrației publice locale nr. 215/2001", "215/2001"),
    ("(Legea nr. 130/1996)", "130/1996"),
    # ordinances
    ("Ordonanța de Urgență a Guvernului nr. 195/2002 privind circulația", "195/2002"),
    ("Ordonanţa de urgenţă nr. 192/2002", "192/2002"),
    ("Ordonanta de urgenta nr. 192/2002", "192/2002"),
    ("potrivit Ordonanței de Guvern nr. 73/2004", "73/2004"),
    ("AVAS ( O.U.G. nr. 95/2003) și", "95/2003"),
    ("OUG nr. 95/2003", "95/2003"),
    ("OUG nr. 1234 din 2003", "OUG nr. 1234"),
    ("organizate potrivit O.G. nr. 124/1998, activități", "124/1998"),
    ("OG nr 124/1998", "124/1998"),
    # decisions
    ("modificată și completată de H.G. nr. 1027/2014.", "1027/2014"),
    ("HG nr. 1027/2014", "1027/2014"),
    ("aprobat prin H. G. nr. 286/2011", "286/2011"),
    ("Hotărârea Guvernului nr. 1278/2002 privind aprobarea", "1278/2002"),
    ("Hotararea Guvernului nr. 1278/2002", "1278/2002"),
    ("prevederilor Hotărîrii Guvernului nr. 1405 din 10 decembrie 2008", "nr. 1405"),
    ("prin Hotărârea de Guvern nr. 615/2006, au fost alocate", "615/2006"),
    ("Hotărârii Consiliului Local nr. 238/2017 referitor la", "238/2017"),
    # decrees, orders, dispositions, regulations
    ("va funcționa potrivit Decretului nr. 199/1949 și", "199/1949"),
    ("modificând celebrul Decret nr. 328/1966, noile", "328/1966"),
    ("A intrat în vigoare Ordinul nr. 286/2006 al Ministerului Muncii", "286/2006"),
    ("Conform Ordinului ministrului muncii, solidarității sociale și familiei nr. 586/2006 (", "586/2006"),
    ("aprobate prin Ordinul MS/CNAS nr.1053/1225/2018, respectiv", "1053/1225"),
    ("Dispoziția primarului nr. 2548/2005, semnată", "2548/2005"),
    ("(12) Regulamentul (UE) nr. 182/2011 al Parlamentului European", "182/2011"),
    ("potrivit Regulamentului Băncii Naționale a României nr. 3/2009 privind", "3/2009"),
    ("(conform STAS 863/1985)", "863/1985"),
    # official journals
    ("Codul fiscal, republicat în M.O. nr. 863/26.09.2005, a generat", "863/26.09.2005"),
    ("sărbătoare legală: M. Of. nr. 1029/8.11.2004.", "1029/8.11.2004"),
    ("(Monitorul Oficial al României, Partea I, nr. 1103/2005)", "1103/2005"),
    ("(Monitorul Oficial al Romaniei, Partea I nr. 1103/2005)", "1103/2005"),
    ("(publicată în \"M.O.\" nr. 675/2006)", "675/2006"),
    ("prin H.G. nr. 566 ( M.O. nr. 435/2006), iar", "435/2006"),
    ("proprietății intelectuale (JO L 346, p. 61)", "L 346"),
    # articles of an act
    ("art. I pct. 56 din Legea nr. 278/2006 pentru modificarea", "278/2006"),
    ("art. 228 alin. (1) lit. b) din O.U.G. nr. 195/2002", "195/2002"),
    ("potrivit art. 1349/2009 din regulament", "1349/2009"),
    # year ranges, school years, dates, amounts
    ("Boerhaave, Herman (1668-1738) - medic olandez", "1668-1738"),
    ("generalului Teodor Balș (1805-1857), caimacam", "1805-1857"),
    ("condus de dinastia Safavida (1501-1722).", "1501-1722"),
    ("domnia lui Petru Rareș (1527-1538,1541-1546)", "1541-1546"),
    ("în anul școlar 2003/2004, cu circa 25%", "2003/2004"),
    ("pentru sezonul 2018/2019 al ligii", "2018/2019"),
    ("începând cu data de 1.01.2008, relațiile", "1.01.2008"),
    ("coliere - 545000-2653000 de lei, brățări", "545000-2653000"),
    ("se cifrează la valoarea de 179472074 mii lei;", "179472074"),
]


@pytest.mark.parametrize("text, reference", LEGAL)
def test_legal_references_stay(text, reference):
    # Found without the rule (else the case proves nothing), left out with it.
    assert covering(codes(PLAIN, text), text, reference), "no CODE result to leave out"
    assert covering(codes(KEEP, text), text, reference) == []


# (text, the personal reference in it, which must still be a CODE result)
PERSONAL = [
    ("contract nr. 153/2017", "153/2017"),
    ("Contractul nr. 153/2017 a fost reziliat", "153/2017"),
    ("în dosar nr. 5821/211/2023 pe rolul", "5821/211/2023"),
    ("(dosar nr. 191/110/2016 pe rolul Tribunalului Bacău)", "191/110/2016"),
    ("factura nr. 1027/2014", "1027/2014"),
    ("polița nr. 286/2011", "286/2011"),
    ("Polita nr 286/2011", "286/2011"),
    ("clientul nr. 1278/2002", "1278/2002"),
    ("înregistrată la pârâtă sub nr. 0242/11.01.2008)", "0242/11.01.2008"),
    ("nr. 1550/2004 prevede că", "1550/2004"),
    # an act before, a personal reference after it
    ("Legea nr. 8/1996, contract nr. 4512/2023", "4512/2023"),
    ("Conform Legii, contractul nr. 4512/2023 se reziliază", "4512/2023"),
    ("potrivit Legii privind contractele nr. 4512/2023", "4512/2023"),
    ("Ordinul nr. 286/2006, factura nr. 1027/2014", "1027/2014"),
    ("M.O. nr. 863/2005 și dosarul nr. 5821/211/2023", "5821/211/2023"),
    ("H.G. nr. 1027/2014 CJ 12 ABC", "CJ 12 ABC"),
    # an act's word, then other words and a number without "nr."
    ("Legea a fost aplicată. Ion are 1027/2014", "1027/2014"),
    ("Legea a fost aplicata pentru 1027/2014", "1027/2014"),
    ("seria L 346", "L 346"),
    # not year ranges: backwards, too long, not consecutive
    ("cod 1857-1805", "1857-1805"),
    ("cod 1200-1900", "1200-1900"),
    ("actul 2003/2005", "2003/2005"),
    ("suma 545000-2653000 de persoane", "545000-2653000"),
    ("suma de 179472074 persoane", "179472074"),
]


@pytest.mark.parametrize("text, reference", PERSONAL)
def test_personal_references_of_the_same_shape_go(text, reference):
    assert covering(codes(KEEP, text), text, reference)


def test_default_and_keyword_only():
    assert CodeRecognizer().keep_legal_references is False
    assert CodeRecognizer.keep_legal_references is False
    assert CodeRecognizer(keep_legal_references=1).keep_legal_references is True
    with pytest.raises(TypeError):
        CodeRecognizer(True)


class BadOffsets(CodeRecognizer):
    """Matching of its own (so the base class runs), with results whose
    offsets lie outside the text, are huge or negative."""

    def _PatternRecognizer__analyze_patterns(self, text, flags=None):
        return [RecognizerResult("CODE", len(text) - 2, len(text) + 5, 0.5),
                RecognizerResult("CODE", 10**30, 10**30 + 3, 0.5),
                RecognizerResult("CODE", -4, 2, 0.5),
                RecognizerResult("CODE", 10, 16, 0.5)]


def test_results_of_the_base_class_are_judged_and_bad_offsets_kept():
    text = "Legea nr. 8/1996"
    recognizer = BadOffsets(keep_legal_references=True)
    spans = [(r.start, r.end) for r in PatternRecognizer.analyze(recognizer, text, ["CODE"])]
    assert (10, 16) in spans and len(spans) == 4
    # "8/1996" after "Legea nr." goes; the others are kept without being read.
    assert [(r.start, r.end) for r in recognizer.analyze(text, ["CODE"])] == [s for s in spans if s != (10, 16)]


def test_long_text_of_references_and_codes():
    piece = "Legea nr. 8/1996, contract nr. 4512/2023; (1805-1857) dosar nr. 5821/211/2023. "
    text = piece * 400
    kept = [text[s:e] for s, e in codes(KEEP, text)]
    assert kept == ["4512/2023", "5821/211/2023"] * 400


# --- the engines ---------------------------------------------------------------------------------

SENTENCE = ("Conform Legii nr. 8/1996 și H.G. nr. 1027/2014 (M.O. nr. 863/26.09.2005), contractul "
            "nr. 4512/2023 din anul școlar 2003/2004, dosar nr. 5821/211/2023, auto CJ 12 ABC.")
PERSONAL_IN_SENTENCE = ["4512/2023", "5821/211/2023", "CJ 12 ABC"]
PUBLIC_IN_SENTENCE = ["8/1996", "1027/2014", "863/26.09.2005", "2003/2004"]


def found(engine, text):
    results = filter_entity_denylist(text, resolve_overlaps(engine.analyze(text, language="ro"), text))
    return sorted(text[r.start:r.end] for r in results if r.entity_type == "CODE")


def test_rules_engine_keeps_by_default_and_can_anonymize():
    assert found(cli.build_rules_engine(), SENTENCE) == sorted(PERSONAL_IN_SENTENCE)
    assert found(cli.build_rules_engine(keep_legal_references=False), SENTENCE) == \
        sorted(PERSONAL_IN_SENTENCE + PUBLIC_IN_SENTENCE)


def test_rule_recognizers_keyword():
    def code_recognizer(recognizers):
        return next(r for r in recognizers if isinstance(r, CodeRecognizer))
    assert code_recognizer(analyzer._rule_recognizers("ro")).keep_legal_references is False
    assert code_recognizer(analyzer._rule_recognizers("ro", keep_legal_references=True)).keep_legal_references
    assert code_recognizer(cli.rule_recognizers()).keep_legal_references is True
    assert code_recognizer(cli.rule_recognizers(keep_legal_references=False)).keep_legal_references is False


def test_build_analyzer_keyword(tiny_gliner_dir, blank_ro_spacy_dir):
    models = {"model_name": tiny_gliner_dir, "spacy_model": blank_ro_spacy_dir}
    default = analyzer.build_analyzer(**models)
    kept = analyzer.build_analyzer(**models, keep_legal_references=True)
    code = [next(r for r in e.registry.recognizers if isinstance(r, CodeRecognizer)) for e in (default, kept)]
    assert [c.keep_legal_references for c in code] == [False, True]
    assert found(kept, SENTENCE) == sorted(PERSONAL_IN_SENTENCE)
    with pytest.raises(TypeError):
        analyzer.build_analyzer(tiny_gliner_dir, None, 384, 2, 0.5, None, False, "ro", blank_ro_spacy_dir, True)


def test_command_option(tmp_path):
    from tests.test_cli import run

    doc = tmp_path / "act.txt"
    doc.write_text(SENTENCE + "\n", encoding="utf-8")
    for extra, expected in (([], PERSONAL_IN_SENTENCE),
                            (["--anonymize-legal-references"], PERSONAL_IN_SENTENCE + PUBLIC_IN_SENTENCE)):
        proc = run("anonymize", "--rules-only", "-j", "1", "-q", "-f", *extra, doc)
        assert proc.returncode == 0, proc.stderr.decode()
        out = (tmp_path / "act.anon.txt").read_text(encoding="utf-8")
        for text in PERSONAL_IN_SENTENCE + PUBLIC_IN_SENTENCE:
            assert (text in out) == (text not in expected), (extra, text, out)


def test_engine_config_and_spark_config_carry_the_choice():
    args = cli.build_parser().parse_args(["detect", "--rules-only", "--anonymize-legal-references", "x.txt"])
    assert cli.engine_config(args).keep_legal_references is False
    args = cli.build_parser().parse_args(["detect", "--rules-only", "x.txt"])
    assert cli.engine_config(args).keep_legal_references is True
    args = cli.build_parser().parse_args(["spark-anonymize", "in", "out", "--anonymize-legal-references"])
    assert args.anonymize_legal_references is True

    from tarnis import spark
    # The dataframe functions do what the command does.
    assert spark.make_config(rules_only=True).keep_legal_references is True
    anonymized = spark.make_config(rules_only=True, keep_legal_references=False)
    assert anonymized.key() != spark.make_config(rules_only=True).key()
    for config, expected in ((spark.make_config(rules_only=True), []), (anonymized, ["8/1996"])):
        assert found(spark._build_engine(config), "Legea nr. 8/1996") == expected
    with pytest.raises(TypeError, match="keep_legal_references"):
        spark.make_config(keep_legal_references="yes")
