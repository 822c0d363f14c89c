"""The analyzers: the full one (the neural model and every rule), the one
whose names come from the spaCy pipeline, and the rules-only one; the checks
of the models they load and the remedies offered when one is missing."""

from __future__ import annotations

import os
import sys
import tempfile
import time
from pathlib import Path

from tarnis.host import _library
from tarnis.host.config import EngineConfig
from tarnis.host.defaults import (DEFAULT_GLINER_BACKEND, DEFAULT_GLINER_BATCH_SIZE, DEFAULT_GLINER_MODEL,
                                  DEFAULT_NER, DEFAULT_SPACY_MODEL, LANGUAGE)
from tarnis.host.errors import UsageError

_INSTALL_SPACY = (f"install the spaCy pipeline: python -m spacy download {DEFAULT_SPACY_MODEL} (needs network "
                  "access), or pass --spacy-model DIR with a saved Romanian pipeline")
_INSTALL_GLINER = ("install the GLiNER model: it is downloaded from the model hub on first use (needs network "
                   "access), or pass --gliner-model DIR with a local copy")
_INSTALL_NEURAL = "install the neural extra: pip install 'tarnis[neural]'"


def missing_models_message(what: str, detail: str, *remedies: str) -> str:
    ways = "\n".join(f"  - {r}" for r in remedies or (_INSTALL_SPACY, _INSTALL_GLINER))
    return (f"cannot load {what}: {detail}\n"
            f"Either\n{ways}\n"
            "or run with --rules-only: rule-based recognizers only, which find the names of persons that "
            "directly follow a role word (inculpatul, reclamanta, martorul, domnul, d-na, subsemnatul, titular, "
            "...) but NO other names of persons and NO organizations (those would stay in the text).")


def _looks_like_path(name: str) -> bool:
    return name.startswith(("/", "./", "../", "~")) or name.endswith("/") or name.count("/") > 1


def model_argument(name: str, option: str) -> str:
    """A model given as an existing folder is passed as its absolute path; a
    path that does not exist is an error at once, not a hub lookup."""
    expanded = os.path.expanduser(name)
    if os.path.isdir(expanded):
        return os.path.abspath(expanded)
    if _looks_like_path(name) or os.path.exists(expanded):
        remedy = _INSTALL_GLINER if option == "--gliner-model" else _INSTALL_SPACY
        raise UsageError(missing_models_message(f"{option} {name}", "no such folder", remedy))
    return name


def _require_spacy_package(spacy_model: str) -> None:
    import spacy

    if not (spacy.util.is_package(spacy_model) or Path(spacy_model).exists()):
        raise UsageError(missing_models_message(
            f"the spaCy pipeline '{spacy_model}'", "it is neither an installed package nor a folder",
            _INSTALL_SPACY))


def import_presidio_without_torch() -> None:
    """Presidio imports torch and transformers when they are installed, which
    takes seconds; the rule-based recognizers need neither. Hide them while
    Presidio loads (it takes their absence in its stride), then make them
    importable again for anything that asks later."""
    if "presidio_analyzer" in sys.modules:
        return
    hidden = [name for name in ("torch", "transformers") if name not in sys.modules]
    for name in hidden:
        sys.modules[name] = None
    try:
        import presidio_analyzer.predefined_recognizers  # noqa: F401
    except ImportError:
        # A Presidio that insists on them: start over with them importable.
        for name in [m for m in sys.modules if m.startswith("presidio_analyzer")]:
            del sys.modules[name]
    finally:
        for name in hidden:
            if name in sys.modules and sys.modules[name] is None:
                del sys.modules[name]


def build_full_engine(gliner_model: str, spacy_model: str, gliner_backend: str = DEFAULT_GLINER_BACKEND,
                      gliner_batch_size: int = DEFAULT_GLINER_BATCH_SIZE, spacy_ner: bool = False, *,
                      keep_legal_references: bool = True):
    """The full analyzer: the neural recognizer with the catalogue's labels and
    thresholds, run with `gliner_backend` in batches of `gliner_batch_size`
    chunks, and every rule-based recognizer; with `spacy_ner` also the spaCy
    pipeline's own persons and organizations. Its spaCy pipeline also serves
    the denylist filter's part-of-speech test. As in the command, numbers of
    published acts and year ranges stay in the text unless
    `keep_legal_references` is false."""
    gliner_model = model_argument(gliner_model, "--gliner-model")
    spacy_model = model_argument(spacy_model, "--spacy-model")

    # Checked first: loading the neural model takes long, and the NLP engine
    # would otherwise try to download a missing pipeline.
    _require_spacy_package(spacy_model)

    from tarnis import analyzer
    from tarnis.recognizers.gliner import ModelUnavailableError
    from tarnis.recognizers.spacy_ner import SpacyNerUnavailableError
    try:
        engine = analyzer.build_analyzer(
            model_name=gliner_model,
            gliner_entity_mapping=dict(analyzer.GLINER_ENTITY_MAPPING),
            entity_thresholds=dict(analyzer.GLINER_ENTITY_THRESHOLDS),
            spacy_model=spacy_model,
            backend=gliner_backend,
            batch_size=gliner_batch_size,
            spacy_ner=spacy_ner,
            keep_legal_references=keep_legal_references)
    except SpacyNerUnavailableError as e:
        raise UsageError(f"--ner: {e}") from None
    except ImportError as e:
        raise UsageError(missing_models_message("the neural recognizer", str(e), _INSTALL_NEURAL)) from None
    except ModelUnavailableError as e:
        # The message names the model that is missing; both ways to provide one are offered.
        raise UsageError(missing_models_message("the models", str(e))) from None
    except OSError as e:
        # Present but unreadable (permissions, a damaged file): installing would not help.
        raise UsageError(f"cannot load the models: {e}") from None

    _library.use_pipeline(engine.nlp_engine.nlp[LANGUAGE])
    return engine


def build_spacy_engine(spacy_model: str, *, keep_legal_references: bool = True):
    """Every rule-based recognizer and the spaCy pipeline's own persons and
    organizations, without the neural model (nothing from the model hub)."""
    spacy_model = model_argument(spacy_model, "--spacy-model")
    _require_spacy_package(spacy_model)
    from tarnis import analyzer
    from tarnis.recognizers.spacy_ner import SpacyNerUnavailableError
    try:
        engine = analyzer._assemble_analyzer(
            rule_recognizers(LANGUAGE, keep_legal_references=keep_legal_references), spacy_model, LANGUAGE, spacy_ner=True)
    except SpacyNerUnavailableError as e:
        raise UsageError(f"--ner spacy: {e}") from None
    except OSError as e:
        raise UsageError(f"cannot load the spaCy pipeline: {e}") from None
    _library.use_pipeline(engine.nlp_engine.nlp[LANGUAGE])
    return engine


def tags_parts_of_speech(nlp) -> bool:
    """Whether the pipeline assigns part-of-speech tags at all."""
    return any(token.pos_ for token in nlp("Ion Popescu locuiește în București."))


def rule_recognizers(language: str = LANGUAGE, *, keep_legal_references: bool = True) -> list:
    """The rule-based recognizers of the full analyzer, in its order; numbers
    of published acts and year ranges are not codes unless
    `keep_legal_references` is false. The last of them finds names introduced
    by a role word, without a model."""
    from tarnis import analyzer
    return analyzer._rule_recognizers(language, keep_legal_references=keep_legal_references)


def build_rules_engine(*, keep_legal_references: bool = True):
    """Every rule-based recognizer over a blank Romanian spaCy pipeline
    (tokenization only), which needs no download. Numbers of published acts
    and year ranges stay in the text unless `keep_legal_references` is
    false."""
    import spacy
    from presidio_analyzer import AnalyzerEngine, RecognizerRegistry
    from presidio_analyzer.nlp_engine import SpacyNlpEngine

    from tarnis import analyzer

    recognizers = rule_recognizers(LANGUAGE, keep_legal_references=keep_legal_references)
    registry = RecognizerRegistry(supported_languages=[LANGUAGE])
    for recognizer in recognizers:
        registry.add_recognizer(recognizer)
    with tempfile.TemporaryDirectory(prefix="tarnis-blank-ro-") as folder:
        spacy.blank(LANGUAGE).to_disk(folder)
        nlp_engine = SpacyNlpEngine(models=[{"lang_code": LANGUAGE, "model_name": folder}])
        nlp_engine.load()
    # Tokenization alone is cheap: long documents need not be refused.
    nlp_engine.nlp[LANGUAGE].max_length = 100_000_000
    return AnalyzerEngine(registry=registry, nlp_engine=nlp_engine, supported_languages=[LANGUAGE],
                          context_aware_enhancer=analyzer.ContextEnhancer())


def build_engine(config: EngineConfig, warn=None):
    """The analyzer `config` describes, and the seconds its building took.
    With `warn`, a pipeline that tags no parts of speech is told to it (names
    in lower case would then all be left in the text)."""
    started = time.perf_counter()
    ner = config.ner or DEFAULT_NER
    keep_legal = config.keep_legal_references
    if config.rules_only:
        import_presidio_without_torch()
        engine = build_rules_engine(keep_legal_references=keep_legal)
    else:
        if ner == "spacy":
            import_presidio_without_torch()
            engine = build_spacy_engine(config.spacy_model or DEFAULT_SPACY_MODEL, keep_legal_references=keep_legal)
        else:
            engine = build_full_engine(config.gliner_model or DEFAULT_GLINER_MODEL,
                                       config.spacy_model or DEFAULT_SPACY_MODEL,
                                       config.gliner_backend or DEFAULT_GLINER_BACKEND,
                                       config.gliner_batch_size or DEFAULT_GLINER_BATCH_SIZE,
                                       spacy_ner=ner == "both", keep_legal_references=keep_legal)
        if warn is not None and not tags_parts_of_speech(engine.nlp_engine.nlp[LANGUAGE]):
            warn("the spaCy pipeline assigns no part-of-speech tags: person names written "
                 "in lower case will all be taken for common nouns and left in the text")
    return engine, time.perf_counter() - started


def entity_types(value: str | None) -> list[str] | None:
    """The entity types of `--entities TYPE,...` (None: all of them)."""
    if value is None:
        return None
    from tarnis.analyzer import ENTITIES
    chosen = [v.strip().upper() for v in value.split(",") if v.strip()]
    unknown = [v for v in chosen if v not in ENTITIES]
    if unknown or not chosen:
        raise UsageError(f"--entities: unknown entity type {', '.join(unknown) or '(none given)'}; "
                         f"choose from {', '.join(ENTITIES)}")
    return chosen


def ensure_sentence_pipeline(config: EngineConfig) -> None:
    """The review cuts documents at sentences with the shared pipeline. The
    full analyzer's pipeline serves (loaded here when the analyzer runs in
    other processes); in rules-only mode a blank Romanian one with a
    rule-based sentencizer is made here (nothing to download)."""
    if _library.shared_pipeline() is None:
        import spacy

        if not config.rules_only:
            _library.use_pipeline(spacy.load(model_argument(config.spacy_model or DEFAULT_SPACY_MODEL,
                                                            "--spacy-model")))
            return
        nlp = spacy.blank(LANGUAGE)
        nlp.add_pipe("sentencizer")
        nlp.max_length = 100_000_000
        _library.use_pipeline(nlp)
