"""build_analyzer: the registry it assembles, the NLP engine, offline model
handling, and a Romanian document through the whole chain."""

from __future__ import annotations

import logging

import pytest
import spacy

from tarnis import analyzer as A
from tarnis.processing import (anonymize_text, deanonymize_text, filter_entity_denylist, postprocess_anonymized,
                               resolve_overlaps)

ORDER = ["SmartGLiNERRecognizer", "RomanianStreetAddressRecognizer", "EmailRecognizer", "RomanianPhoneRecognizer",
         "CustomIbanRecognizer", "CreditCardRecognizer", "IpRecognizer", "WordBoundedUrlRecognizer", "BICRecognizer",
         "CodeRecognizer", "IdentityCardRecognizer", "CnpRecognizer", "IdnpRecognizer", "PartyNameRecognizer"]


@pytest.fixture(scope="module")
def models(tiny_gliner_dir, blank_ro_spacy_dir):
    return {"model_name": tiny_gliner_dir, "spacy_model": blank_ro_spacy_dir}


@pytest.fixture(scope="module")
def engine(models):
    return A.build_analyzer(gliner_entity_mapping=A.GLINER_ENTITY_MAPPING,
                            entity_thresholds=A.GLINER_ENTITY_THRESHOLDS, **models)


def test_registry_order_and_log(models, caplog):
    with caplog.at_level(logging.INFO, logger="tarnis.analyzer"):
        engine = A.build_analyzer(**models)
    assert [r.name for r in engine.registry.recognizers] == ORDER
    assert f"[analyzer] Registered 14 recognizers: {', '.join(ORDER)}" in caplog.messages
    gliner = engine.registry.recognizers[0]
    assert gliner.entity_mapping == {} and gliner.supported_entities == []


def test_catalogue_mapping_reaches_the_neural_recognizer(engine):
    gliner = engine.registry.recognizers[0]
    assert gliner.entity_mapping == A.GLINER_ENTITY_MAPPING
    assert gliner.entity_thresholds == A.GLINER_ENTITY_THRESHOLDS
    assert set(gliner.supported_entities) == {"DOMIVIA", "ORGANIZATION", "PERSON_NAME", "PASSWORD", "USERNAME"}


def test_spacy_pipeline_has_no_ner(engine):
    [nlp] = engine.nlp_engine.nlp.values()
    assert "ner" not in nlp.pipe_names


def test_ner_component_is_removed(models, tmp_path):
    nlp = spacy.load(models["spacy_model"])
    nlp.add_pipe("ner")
    nlp.initialize()
    nlp.to_disk(tmp_path / "with-ner")
    engine = A.build_analyzer(**{**models, "spacy_model": str(tmp_path / "with-ner")})
    [loaded] = engine.nlp_engine.nlp.values()
    assert "ner" not in loaded.pipe_names and "sentencizer" in loaded.pipe_names


def test_other_language_leaves_fixed_recognizers_on_romanian(models):
    engine = A.build_analyzer(supported_language="ro-MD", **models)
    languages = {r.name: r.supported_language for r in engine.registry.recognizers}
    fixed = {"RomanianPhoneRecognizer", "BICRecognizer", "CodeRecognizer", "IdentityCardRecognizer", "CnpRecognizer",
             "IdnpRecognizer", "PartyNameRecognizer"}
    assert {n for n, lang in languages.items() if lang == "ro"} == fixed
    assert engine.supported_languages == ["ro-MD"]
    text = "CNP 1234567890128, cod BIC BTRLRO22"
    assert engine.analyze(text, language="ro-MD") == []


def test_engines_are_independent(models):
    first, second = A.build_analyzer(**models), A.build_analyzer(**models)
    first.registry.add_recognizer(A.CnpRecognizer())
    assert len(first.registry.recognizers) == len(ORDER) + 1 and len(second.registry.recognizers) == len(ORDER)
    assert first.registry.recognizers[0] is not second.registry.recognizers[0]


@pytest.mark.parametrize("kwargs", [
    {"model_name": 1}, {"gliner_entity_mapping": [("persoană", "PERSON_NAME")]}, {"max_chunk_tokens": "384"},
    {"overlap_sentences": 2.0}, {"entity_thresholds": 0.5}, {"supported_language": b"ro"}, {"spacy_model": None},
    {"threshold": "high"}, {"batch_size": "8"}, {"backend": 1},
])
def test_type_errors_before_anything_is_built(kwargs, monkeypatch):
    monkeypatch.setattr(A, "RecognizerRegistry", None)   # would fail if reached
    with pytest.raises(TypeError):
        A.build_analyzer(**kwargs)


def test_execution_settings_reach_the_neural_recognizer(models):
    default = A.build_analyzer(**models).registry.recognizers[0]
    assert (default.batch_size, default.backend) == (1, "torch")
    tuned = A.build_analyzer(batch_size=3, backend="torch", **models).registry.recognizers[0]
    assert (tuned.batch_size, tuned.backend) == (3, "torch")
    with pytest.raises(ValueError, match="backend"):
        A.build_analyzer(backend="cuda", **models)
    with pytest.raises(TypeError):     # after the documented parameters, by keyword only
        A.build_analyzer(models["model_name"], None, 384, 2, 0.5, None, False, "ro", models["spacy_model"], 3)


def test_missing_models_are_named_quickly(models):
    from tarnis.recognizers.gliner import ModelUnavailableError

    # Without spacy_model=, the default pipeline is the one asked for.
    assert A.DEFAULT_SPACY_MODEL == "ro_core_news_sm"
    with pytest.raises(ModelUnavailableError, match=A.DEFAULT_SPACY_MODEL):
        A.build_analyzer(model_name=models["model_name"])
    with pytest.raises(OSError, match="no-such-org/no-such-model"):
        A.build_analyzer(model_name="no-such-org/no-such-model", spacy_model=models["spacy_model"])


DOCUMENT = """Contract de împrumut nr. 4521/2024

Subsemnatul Ion Popescu, CNP 1850101123456, domiciliat în Str. Mihai Eminescu nr. 5, bl. A2, ap. 12, Cluj-Napoca,
telefon 0721 234 567, e-mail ion.popescu@example.ro, cont IBAN RO49AAAA1B31007593840000 deschis la BTRLRO22,
împrumută de la Maria Ionescu, CNP 2900202123457, suma de 5.000 lei.
Autoturismul CJ 12 ABC rămâne în garanție. Dosar 1234/211/2023. Site: https://www.example.ro, IP 192.168.10.20.
"""

IDENTIFIERS = ["1850101123456", "2900202123457", "0721 234 567", "ion.popescu@example.ro",
               "RO49AAAA1B31007593840000", "BTRLRO22", "CJ 12 ABC", "1234/211/2023", "192.168.10.20",
               "Mihai Eminescu nr. 5"]


def test_document_through_the_whole_chain(engine, monkeypatch):
    from tarnis import processing

    # The part-of-speech test of the denylist filter runs on the engine's pipeline.
    [nlp] = engine.nlp_engine.nlp.values()
    monkeypatch.setattr(processing, "_nlp_ro", nlp)
    results = engine.analyze(DOCUMENT, language="ro")
    resolved = resolve_overlaps(results, DOCUMENT)
    kept = filter_entity_denylist(DOCUMENT, resolved)
    anonymized, entity_map = anonymize_text(DOCUMENT, kept)
    anonymized = postprocess_anonymized(anonymized, entity_map)
    for identifier in IDENTIFIERS:
        assert identifier not in anonymized, identifier
    assert {"CNP", "PHONE_NUMBER", "EMAIL_ADDRESS", "IBAN_CODE", "BIC", "CODE", "IP_ADDRESS"} <= set(entity_map)
    # No entity of this document is written in two ways, so restoring gives
    # it back exactly (the merge of spellings is tested with the command).
    assert deanonymize_text(anonymized, entity_map) == DOCUMENT


def test_empty_and_blank_documents(engine):
    for text in ["", "   \n\t"]:
        assert engine.analyze(text, language="ro") == []


# --- the context enhancer -------------------------------------------------------------------------

CONTRACT = (__import__("pathlib").Path(__file__).parent.parent / "examples" / "contract_inchiriere.txt").read_text(
    encoding="utf-8")


class CountingTokens:
    """A token sequence that counts how many tokens are read from it."""

    def __init__(self, tokens):
        self.tokens, self.reads = tokens, 0

    def __len__(self):
        return len(self.tokens)

    def __getitem__(self, i):
        self.reads += 1
        return self.tokens[i]

    def __iter__(self):
        for token in self.tokens:
            self.reads += 1
            yield token


def test_token_search_matches_the_walk_and_reads_few_tokens():
    from presidio_analyzer.context_aware_enhancers import LemmaContextAwareEnhancer

    text = "  Ion Popescu, CNP 1800101221144;\n\tcont RO49AAAA1B31007593840000 ... tel. 0722 123 456  "
    doc = spacy.blank("ro")(text * 20)
    tokens = list(doc)
    indices = [t.idx for t in doc]
    search = A.ContextEnhancer._find_index_of_match_token
    walk = LemmaContextAwareEnhancer._find_index_of_match_token
    budget = 2 * len(tokens).bit_length() + 4
    for start in range(len(doc.text)):
        counting = CountingTokens(doc)
        assert search("w", start, counting, indices) == walk("w", start, tokens, indices), start
        assert counting.reads <= budget, (start, counting.reads)
    # Past the last token, and with no tokens at all, both refuse alike.
    for start, toks, idx in [(len(doc.text), doc, indices), (0, [], [])]:
        with pytest.raises(ValueError, match="Did not find word 'w'"):
            walk("w", start, list(toks), idx)
        with pytest.raises(ValueError, match="Did not find word 'w'"):
            search("w", start, toks, idx)


def test_token_search_keeps_the_walks_choice_of_an_empty_token():
    # Tokens of no length do not come out of spaCy, but the walk takes one
    # that starts at the offset before a longer token that covers it.
    search = A.ContextEnhancer._find_index_of_match_token
    assert search("w", 3, ["abc", "", "de"], [0, 3, 3]) == 1
    assert search("w", 2, ["abc", "", "de"], [0, 3, 3]) == 0


@pytest.mark.parametrize("bad", [None, "3", 1.5])
def test_token_search_rejects_a_start_that_is_not_an_int(bad):
    with pytest.raises(TypeError):
        A.ContextEnhancer._find_index_of_match_token("w", bad, ["abc"], [0])


def test_engines_use_the_token_search_and_score_as_the_walk(blank_ro_spacy_dir):
    """The same results, scores and context words as the engine's own
    enhancer, on a document where context raises scores."""
    from presidio_analyzer import AnalyzerEngine, RecognizerRegistry
    from presidio_analyzer.nlp_engine import NlpArtifacts, SpacyNlpEngine

    from tarnis import cli

    assert isinstance(cli.build_rules_engine().context_aware_enhancer, A.ContextEnhancer)

    def engine(enhancer):
        nlp_engine = SpacyNlpEngine(models=[{"lang_code": "ro", "model_name": blank_ro_spacy_dir}])
        nlp_engine.load()
        registry = RecognizerRegistry(supported_languages=["ro"])
        for recognizer in A._rule_recognizers("ro"):
            registry.add_recognizer(recognizer)
        return AnalyzerEngine(registry=registry, nlp_engine=nlp_engine, supported_languages=["ro"],
                              context_aware_enhancer=enhancer)

    def run(e):
        # The blank pipeline has no lemmas, so no context word would ever be
        # seen: give every token its lower-case text as lemma.
        doc = e.nlp_engine.nlp["ro"](text)
        nlp = NlpArtifacts(entities=[], tokens=doc, tokens_indices=[t.idx for t in doc],
                           lemmas=[t.text.lower() for t in doc], nlp_engine=e.nlp_engine, language="ro")
        results = e.analyze(text=text, language="ro", return_decision_process=True, nlp_artifacts=nlp)
        return sorted((r.entity_type, r.start, r.end, r.score, r.analysis_explanation.supportive_context_word)
                      for r in results)

    text = CONTRACT * 3
    ours, theirs = run(engine(A.ContextEnhancer())), run(engine(None))
    assert ours == theirs
    assert any(word for *_, word in ours), "no result was raised by context: the comparison proves little"
