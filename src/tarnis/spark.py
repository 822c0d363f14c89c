"""Anonymize a corpus on Apache Spark.

    from tarnis.spark import anonymize_dataframe, restore_dataframe, detect_dataframe

    out = anonymize_dataframe(df, "text", rules_only=True)      # + anonymized, entity_map, error
    back = restore_dataframe(out, "anonymized", "entity_map")   # + restored, restore_error
    audit = detect_dataframe(df, "text", id_col="doc_id")       # one row per detection

The documents are processed by `mapInArrow`: every Arrow batch of a partition
goes through the executor's Python worker, which builds the analyzer the
first time it needs it and keeps it, keyed by its configuration, for every
later batch and partition it runs. Only that configuration travels to the
executors (model names, folders, options); the models are loaded where they
run, never pickled.

Each document goes through exactly the command's steps (`tarnis anonymize`),
so the anonymized text and the entity map (a JSON string, byte for byte the
command's `.map.json`) are the same for the same document. A document that
cannot be processed gives a row whose `error` column says why and whose new
columns are null; the others go through, and a text is never left half
anonymized. Error texts never quote the document: messages of unexpected
exceptions, which may, are withheld and only their type is given.

`tarnis spark-anonymize INPUT OUTPUT` runs the same over a folder of text
files or a Parquet or JSON-lines dataset and writes the result through
Spark's output committer.
"""

from __future__ import annotations

import functools
import logging
import os
import sys
import time
from collections import Counter
from dataclasses import dataclass, field

from tarnis.host.config import EngineConfig
from tarnis.host.defaults import DEFAULT_NER, GLINER_BACKENDS, NER_SOURCES
from tarnis.host.engines import build_engine
from tarnis.host.maps import map_file_json, map_mismatch, parse_entity_map
from tarnis.host.spellings import SpellingsError, exact_occurrences, has_spellings, put_in
from tarnis.host.errors import DocumentError
from tarnis.host.pipeline import anonymize_results, detections

_log = logging.getLogger(__name__)

OUTPUT_COLS = ("anonymized", "entity_map")
ERROR_COL = "error"
RESTORE_ERROR_COL = "restore_error"
DETECTION_COLS = ("entity_type", "start", "end", "score", "recognizer", "text")

# Output texts are cut into Arrow batches of at most this many characters, far
# below the 2 GiB that one Arrow string array can hold.
_MAX_BATCH_CHARS = 256 * 1024 * 1024


# --- configuration: what travels to the executors -------------------------------------------

@dataclass(frozen=True)
class AnalyzerConfig(EngineConfig):
    """Everything an executor needs to build its analyzer (the host layer's
    configuration) and the verification stage (`verify`, the fallback's
    keyword arguments): names and folders of models and plain options,
    never a model or an analyzer."""

    verify: dict | None = field(default=None, hash=False)

    def key(self) -> str:
        """Identity of the analyzer within one process."""
        return repr((self.rules_only, self.gliner_model, self.spacy_model, self.entities, self.ner,
                     self.gliner_backend, self.gliner_batch_size, self.keep_legal_references))

    def verify_key(self) -> str:
        return repr((self.key(), sorted((k, repr(v)) for k, v in (self.verify or {}).items())))


def _model_location(name: str | None) -> str | None:
    """A model folder given by a relative path is passed on absolute, so
    executors started elsewhere find the same folder."""
    if name is None:
        return None
    expanded = os.path.expanduser(name)
    return os.path.abspath(expanded) if os.path.isdir(expanded) else name


def make_config(rules_only: bool = False, gliner_model: str | None = None, spacy_model: str | None = None,
                entities=None, verify=None, ner: str | None = None, gliner_backend: str | None = None,
                gliner_batch_size: int | None = None, keep_legal_references: bool = True) -> AnalyzerConfig:
    """Check the options of the dataframe functions and bundle them."""
    if not isinstance(rules_only, bool):
        raise TypeError("rules_only must be a bool")
    if ner is not None and ner not in NER_SOURCES:
        raise ValueError(f"ner must be one of {', '.join(NER_SOURCES)}")
    if rules_only and ner is not None:
        raise ValueError("rules_only takes no ner")
    if gliner_backend is not None and gliner_backend not in GLINER_BACKENDS:
        raise ValueError(f"gliner_backend must be one of {', '.join(GLINER_BACKENDS)}")
    if gliner_batch_size is not None and (not isinstance(gliner_batch_size, int) or isinstance(gliner_batch_size, bool)
                                          or gliner_batch_size < 1):
        raise ValueError("gliner_batch_size must be a whole number of at least 1")
    if (rules_only or ner == "spacy") and (gliner_backend is not None or gliner_batch_size is not None):
        raise ValueError("gliner_backend and gliner_batch_size need the neural model (not with rules_only or "
                         "ner='spacy')")
    if not isinstance(keep_legal_references, bool):
        raise TypeError("keep_legal_references must be a bool")
    for name, value in (("gliner_model", gliner_model), ("spacy_model", spacy_model)):
        if value is not None and not isinstance(value, (str, os.PathLike)):
            raise TypeError(f"{name} must be a str, a path or None")
    if rules_only and (gliner_model is not None or spacy_model is not None):
        raise ValueError("rules_only takes no gliner_model or spacy_model")
    if entities is not None:
        if isinstance(entities, str) or not all(isinstance(e, str) for e in entities):
            raise TypeError("entities must be a sequence of entity type names or None")
        from tarnis.analyzer import ENTITIES
        unknown = [e for e in entities if e not in ENTITIES]
        if unknown or not entities:
            raise ValueError(f"entities: unknown entity type {', '.join(unknown) or '(none given)'}")
        entities = tuple(entities)
    if verify is not None:
        if not isinstance(verify, dict) or not all(isinstance(k, str) for k in verify):
            raise TypeError("verify must be a dict of the fallback's settings (keyword arguments) or None")
        verify = dict(verify)
    return AnalyzerConfig(rules_only=rules_only,
                          gliner_model=_model_location(os.fspath(gliner_model) if gliner_model else None),
                          spacy_model=_model_location(os.fspath(spacy_model) if spacy_model else None),
                          entities=entities, verify=verify, ner=ner or DEFAULT_NER,
                          gliner_backend=gliner_backend, gliner_batch_size=gliner_batch_size,
                          keep_legal_references=keep_legal_references)


# --- per-process state on the executors -----------------------------------------------------

# configuration key -> (analyzer or None, error text or None); built on first use.
_analyzers: dict[str, tuple[object | None, str | None]] = {}
_fallbacks: dict[str, tuple[object | None, str | None]] = {}
# Number of analyzer builds in this process, by configuration key.
_builds: Counter = Counter()


def _build_engine(config: AnalyzerConfig):
    return build_engine(config)[0]


def _quiet_worker_logging() -> None:
    """In a Python worker nobody configured logging: show warnings and errors
    on standard error (the executor's log) and, as the command does, keep
    the libraries' offline noise out of it."""
    root = logging.getLogger()
    if root.handlers:
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("tarnis worker %(process)d: %(levelname)s: %(name)s: %(message)s"))
    root.addHandler(handler)
    root.setLevel(logging.WARNING)
    logging.getLogger("tldextract").setLevel(logging.ERROR)
    logging.captureWarnings(True)
    logging.getLogger("py.warnings").setLevel(logging.ERROR)


def _analyzer(config: AnalyzerConfig) -> tuple[object | None, str | None]:
    """This process's analyzer for `config`, built once. A build that fails
    is not retried for every batch: its reason is kept and every document of
    this configuration fails with it."""
    key = config.key()
    entry = _analyzers.get(key)
    if entry is None:
        _quiet_worker_logging()
        started = time.perf_counter()
        try:
            entry = (_build_engine(config), None)
        except Exception as e:  # noqa: BLE001 - reported on every document's row
            entry = (None, f"cannot build the analyzer: {e}")
            _log.error("[spark] cannot build the analyzer (process %d): %s", os.getpid(), e)
        else:
            _log.info("[spark] analyzer built in %.2f s (process %d)", time.perf_counter() - started, os.getpid())
        _builds[key] += 1
        _analyzers[key] = entry
    return entry


def _fallback(config: AnalyzerConfig) -> tuple[object | None, str | None]:
    """This process's verification stage for `config`, built once (its
    constructor checks the server)."""
    key = config.verify_key()
    entry = _fallbacks.get(key)
    if entry is None:
        try:
            from tarnis.slm.fallback import SLMFallback
            entry = (SLMFallback(**config.verify), None)
        except Exception as e:  # noqa: BLE001 - reported on every document's row
            entry = (None, f"cannot start the verification: {type(e).__name__}: {e}")
            _log.error("[spark] cannot start the verification (process %d): %s", os.getpid(), e)
        _fallbacks[key] = entry
    return entry


def _analyzer_builds() -> dict[str, int]:
    """Analyzer builds in this process, by configuration key."""
    return dict(_builds)


# --- one batch of documents -----------------------------------------------------------------

def _withheld(e: BaseException, stage: str) -> str:
    return f"{type(e).__name__} while {stage} (message withheld: it may quote the document)"


def _as_text(value) -> tuple[str | None, str | None]:
    """(text, None) or (None, reason). Binary values are UTF-8 documents as
    stored, decoded strictly."""
    if isinstance(value, str):
        return value, None
    if isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
        try:
            return data.decode("utf-8"), None
        except UnicodeDecodeError as e:
            return None, f"not valid UTF-8 (byte 0x{data[e.start]:02x} at offset {e.start})"
    if value is None:
        return None, "no text (null)"
    return None, f"not a text ({type(value).__name__})"


def _verify(config: AnalyzerConfig, texts: dict, found: dict, errors: list) -> None:
    """Ask the verification stage about the doubtful results of the whole
    batch in one stream (`filter_multi`) and keep, per document, the certain
    results and the accepted ones (reclassified ones with their new type)."""
    if not found:
        return
    fallback, failure = _fallback(config)
    if failure is not None:
        for i in found:
            errors[i] = failure
        found.clear()
        return
    pairs = [(texts[i], r) for i, results in found.items() for r in results]
    try:
        fallback.filter_multi(pairs)
    except Exception as e:  # noqa: BLE001 - the batch's documents fail, the job goes on
        reason = (f"verification failed: {e}" if type(e).__name__ == "SLMUnavailableError"
                  else _withheld(e, "verifying"))
        for i in found:
            errors[i] = reason
        found.clear()
        return
    rejected = {id(v.result) for v in fallback.last_verdicts if not v.accepted}
    for i, results in found.items():
        found[i] = [r for r in results if id(r) not in rejected]


def anonymize_values(config: AnalyzerConfig, values: list, entity_map: dict | None = None) -> tuple[list, list, list]:
    """Anonymize a batch of documents: (anonymized texts, entity maps as the
    command's JSON, errors), one each per value; a document either has its
    text and map or an error, never part of them. With `entity_map` (the
    library's map of earlier documents of a case), every document is
    anonymized against it alone: its known entities keep their placeholders,
    its new ones are numbered after the map's, and its own map holds the
    entries its text uses (those of `entity_map` and its new ones)."""
    n = len(values)
    anonymized: list = [None] * n
    maps: list = [None] * n
    errors: list = [None] * n
    engine, failure = _analyzer(config) if n else (None, None)
    texts: dict[int, str] = {}
    for i, value in enumerate(values):
        text, errors[i] = _as_text(value)
        if errors[i] is None:
            if failure is not None:
                errors[i] = failure
            else:
                texts[i] = text
    entities = list(config.entities) if config.entities else None

    found: dict[int, list] = {}
    for i, text in texts.items():
        try:
            found[i] = detections(engine, text, entities)
        except Exception as e:  # noqa: BLE001 - one bad document must not stop the batch
            errors[i] = _withheld(e, "anonymizing" if config.verify is None else "analyzing")
    if config.verify is not None:
        _verify(config, texts, found, errors)
    case = None
    if entity_map is not None and found:
        from tarnis.host.casemap import CaseMap

        # One copy per batch; each document's new entries are taken out again.
        case = CaseMap({t: dict(inner) for t, inner in entity_map.items()})
    for i, results in found.items():
        try:
            if case is None:
                anon, row_map = anonymize_results(texts[i], results)
            else:
                mark = case.checkpoint()
                try:
                    anon, _ = anonymize_results(texts[i], results, case.entity_map)
                    row_map = case.entries_for(anon)
                finally:
                    case.rollback(mark)
            # With the spellings that restore the row byte for byte, as the command writes it.
            maps[i] = map_file_json(texts[i], anon, row_map)[0]
        except Exception as e:  # noqa: BLE001
            errors[i] = _withheld(e, "anonymizing")
            maps[i] = None
            continue
        anonymized[i] = anon
    return anonymized, maps, errors


def _case_map(entity_map) -> dict:
    """The library's entity map of `entity_map` (a dict such as a case map
    file holds: its reserved "tarnis:" entries are dropped), checked by the
    library before any job; TypeError or ValueError when it is none."""
    from tarnis.processing import anonymize_text

    anonymize_text("", [], entity_map=entity_map)      # the library's checks, no change
    return {t: dict(inner) for t, inner in entity_map.items() if not t.startswith("tarnis:")}


def _row_slices(sizes: list[int], limit: int = _MAX_BATCH_CHARS):
    """(start, stop) row ranges whose sizes add up to at most `limit` (a
    single larger row stands alone)."""
    start, total = 0, 0
    for i, size in enumerate(sizes):
        if i > start and total + size > limit:
            yield start, i
            start, total = i, 0
        total += size
    if start < len(sizes) or not sizes:
        yield start, len(sizes)


def _text_type(large: bool):
    import pyarrow as pa
    return pa.large_string() if large else pa.string()


def _anonymize_batches(config: AnalyzerConfig, text_col: str, names: tuple[str, str, str], large: bool,
                       batches, entity_map=None):
    import pyarrow as pa

    if entity_map is not None and not isinstance(entity_map, dict):
        entity_map = entity_map.value       # a broadcast variable, read once per task
    text_type = _text_type(large)
    for batch in batches:
        values = batch.column(batch.schema.get_field_index(text_col)).to_pylist()
        anonymized, maps, errors = anonymize_values(config, values, entity_map)
        del values
        sizes = [len(a or "") + len(m or "") for a, m in zip(anonymized, maps)]
        for start, stop in _row_slices(sizes):
            part = batch.slice(start, stop - start)
            added = [pa.array(column[start:stop], type=text_type) for column in (anonymized, maps, errors)]
            yield pa.RecordBatch.from_arrays(list(part.columns) + added,
                                             names=list(part.schema.names) + list(names))


def restore_values(anonymized: list, maps: list, partial: bool = False) -> tuple[list, list]:
    """Restore a batch: (restored texts, errors). A map that records another
    text than its row's is refused unless `partial` (texts edited on
    purpose)."""
    from tarnis.processing import deanonymize_text

    restored: list = [None] * len(anonymized)
    errors: list = [None] * len(anonymized)
    for i, (text, map_json) in enumerate(zip(anonymized, maps)):
        text, reason = _as_text(text)
        if reason is None and map_json is None:
            reason = "no entity map (null)"
        if reason is not None:
            errors[i] = f"anonymized text: {reason}" if text is None else reason
            continue
        map_text, reason = _as_text(map_json)
        if reason is not None:
            errors[i] = f"entity map: {reason}"
            continue
        try:
            # The messages name positions and entry numbers, never the content.
            loaded = parse_entity_map(map_text)
        except DocumentError as e:
            errors[i] = str(e)
            continue
        mismatch = None
        if loaded.info is not None:
            mismatch = map_mismatch(text, loaded.info, "its map")
            if mismatch is not None and not partial:
                errors[i] = f"anonymized text: {mismatch}"
                continue
        exact = None
        if mismatch is None and has_spellings(loaded.info):
            try:
                exact = exact_occurrences(text, loaded.entity_map, loaded.info)
            except SpellingsError as e:
                if not partial:
                    errors[i] = f"entity map: {e}"
                    continue
        try:
            restored[i] = (deanonymize_text(text, loaded.entity_map) if exact is None else put_in(text, exact))
        except Exception as e:  # noqa: BLE001
            errors[i] = _withheld(e, "restoring")
    return restored, errors


def _restore_batches(anonymized_col: str, map_col: str, names: tuple[str, str], large: bool, batches,
                     partial: bool = False):
    import pyarrow as pa

    text_type = _text_type(large)
    for batch in batches:
        restored, errors = restore_values(
            batch.column(batch.schema.get_field_index(anonymized_col)).to_pylist(),
            batch.column(batch.schema.get_field_index(map_col)).to_pylist(), partial)
        for start, stop in _row_slices([len(r or "") for r in restored]):
            part = batch.slice(start, stop - start)
            added = [pa.array(column[start:stop], type=text_type) for column in (restored, errors)]
            yield pa.RecordBatch.from_arrays(list(part.columns) + added,
                                             names=list(part.schema.names) + list(names))


def detect_values(config: AnalyzerConfig, values: list) -> list[tuple]:
    """Detections of a batch: (row, entity type, start, end, score,
    recognizer, text, error) tuples in row and text order; a failing
    document gives one tuple with only its row and the error."""
    rows: list[tuple] = []
    engine, failure = _analyzer(config) if values else (None, None)
    entities = list(config.entities) if config.entities else None
    for i, value in enumerate(values):
        text, reason = _as_text(value)
        if reason is None and failure is not None:
            reason = failure
        if reason is None:
            try:
                results = detections(engine, text, entities)
            except Exception as e:  # noqa: BLE001
                reason = _withheld(e, "analyzing")
        if reason is not None:
            rows.append((i, None, None, None, None, None, None, reason))
            continue
        rows.extend((i, r.entity_type, r.start, r.end, float(r.score),
                     (r.recognition_metadata or {}).get("recognizer_name"), text[r.start:r.end], None)
                    for r in results)
    return rows


def _detect_batches(config: AnalyzerConfig, text_col: str, id_col: str, names: tuple, large: bool, batches):
    import pyarrow as pa

    text_type = _text_type(large)
    for batch in batches:
        rows = detect_values(config, batch.column(batch.schema.get_field_index(text_col)).to_pylist())
        ids = batch.column(batch.schema.get_field_index(id_col))
        for start, stop in _row_slices([len(row[6] or "") for row in rows]):
            chunk = rows[start:stop]
            columns = [ids.take(pa.array([row[0] for row in chunk], type=pa.int64())),
                       pa.array([row[1] for row in chunk], type=text_type),
                       pa.array([row[2] for row in chunk], type=pa.int64()),
                       pa.array([row[3] for row in chunk], type=pa.int64()),
                       pa.array([row[4] for row in chunk], type=pa.float64()),
                       pa.array([row[5] for row in chunk], type=text_type),
                       pa.array([row[6] for row in chunk], type=text_type),
                       pa.array([row[7] for row in chunk], type=text_type)]
            yield pa.RecordBatch.from_arrays(columns, names=list(names))


# --- the dataframe functions ----------------------------------------------------------------

def _check_text_column(df, name: str, what: str) -> None:
    from pyspark.sql.types import BinaryType, StringType

    if not isinstance(name, str):
        raise TypeError(f"{what} must be a column name (str)")
    fields = {f.name: f for f in df.schema.fields}
    if name not in fields:
        raise ValueError(f"{what}: no column {name!r} (columns: {', '.join(df.columns)})")
    if not isinstance(fields[name].dataType, (StringType, BinaryType)):
        raise TypeError(f"{what}: column {name!r} holds {fields[name].dataType.simpleString()}, "
                        "not text (string, or binary UTF-8)")


def _check_new_columns(df, names) -> None:
    if not all(isinstance(n, str) and n for n in names):
        raise TypeError("output column names must be non-empty strings")
    if len(set(names)) != len(names):
        raise ValueError(f"output columns must differ: {', '.join(names)}")
    clash = [n for n in names if n in df.columns]
    if clash:
        raise ValueError(f"the dataframe already has a column {', '.join(map(repr, clash))}; "
                         "choose other output columns")


def _large_strings(df) -> bool:
    try:
        value = df.sparkSession.conf.get("spark.sql.execution.arrow.useLargeVarTypes", "false")
    except Exception:  # noqa: BLE001 - a session that does not know the setting
        value = "false"
    return str(value).lower() == "true"


def anonymize_dataframe(df, text_col: str = "text", *, rules_only: bool = False, gliner_model=None,
                        spacy_model=None, entities=None, verify: dict | None = None,
                        output_cols: tuple[str, str] = OUTPUT_COLS, error_col: str = ERROR_COL,
                        ner: str | None = None, gliner_backend: str | None = None,
                        gliner_batch_size: int | None = None, keep_legal_references: bool = True,
                        entity_map: dict | None = None):
    """`df` with the anonymized text, the entity map (JSON, the command's map
    format) and an error column added, lazily like any transformation.

    `text_col` is a string column, or a binary column of UTF-8 documents as
    stored. The models default to the command's (`gliner_model`,
    `spacy_model`: names or folders that exist where the executors run);
    `rules_only` runs the rule-based recognizers alone; `ner` ("gliner", the
    default, "spacy" or "both") says where names come from, as the command's
    --ner; `gliner_backend` and `gliner_batch_size` run the neural model as
    the command's options of those names. `verify`, a dict of
    `tarnis.slm.fallback.SLMFallback` keyword arguments, has the language
    model check doubtful detections, one `filter_multi` per Arrow batch.
    As in the command, numbers of published acts (laws, ordinances,
    decisions, orders, official journals, articles) and year ranges stay in
    the text; `keep_legal_references=False` anonymizes them too.

    `entity_map`, the entity map of earlier documents of a case (the
    library's map, or a case map file loaded with json: its "tarnis:"
    entries are left out), is broadcast to the executors and every row is
    anonymized against it: an entity it knows gets its placeholder, a new
    one is numbered after the map's. The rows' new entities are not merged
    back into one map: each row is anonymized against `entity_map` alone, so
    two rows may give one new entity different placeholders, or one
    placeholder to two new entities. Each row's map holds the entries its
    text uses and restores it; to extend the case map itself, anonymize with
    the command's --map, which goes through the documents in order.

    A row whose document failed has the error filled and the other two new
    columns null."""
    from pyspark.sql.types import StringType, StructField, StructType

    config = make_config(rules_only, gliner_model, spacy_model, entities, verify, ner, gliner_backend,
                         gliner_batch_size, keep_legal_references)
    shared = None
    if entity_map is not None:
        shared = _case_map(entity_map)
        try:
            shared = df.sparkSession.sparkContext.broadcast(shared)
        except Exception:  # noqa: BLE001 - a session without a context (Spark Connect): sent with the tasks
            pass
    _check_text_column(df, text_col, "text_col")
    if not isinstance(output_cols, (tuple, list)) or len(output_cols) != 2:
        raise TypeError("output_cols must be a pair of column names (anonymized text, entity map)")
    names = (*output_cols, error_col)
    _check_new_columns(df, names)
    schema = StructType(list(df.schema.fields) + [StructField(n, StringType(), True) for n in names])
    return df.mapInArrow(
        functools.partial(_anonymize_batches, config, text_col, names, _large_strings(df), entity_map=shared),
        schema)


def restore_dataframe(df, anonymized_col: str, map_col: str, output_col: str = "restored", *,
                      error_col: str = RESTORE_ERROR_COL, partial: bool = False):
    """`df` with the restored text and an error column added. A row without
    text or map (a document that failed to anonymize), with a map that is
    not an entity map, or with a map made for another text (unless
    `partial`, for texts edited on purpose) gets the error and a null
    text."""
    from pyspark.sql.types import StringType, StructField, StructType

    _check_text_column(df, anonymized_col, "anonymized_col")
    _check_text_column(df, map_col, "map_col")
    names = (output_col, error_col)
    _check_new_columns(df, names)
    schema = StructType(list(df.schema.fields) + [StructField(n, StringType(), True) for n in names])
    return df.mapInArrow(
        functools.partial(_restore_batches, anonymized_col, map_col, names, _large_strings(df), partial=partial),
        schema)


def detect_dataframe(df, text_col: str = "text", *, id_col: str | None = None, rules_only: bool = False,
                     gliner_model=None, spacy_model=None, entities=None, error_col: str = ERROR_COL,
                     ner: str | None = None, gliner_backend: str | None = None,
                     gliner_batch_size: int | None = None, keep_legal_references: bool = True):
    """One row per detection, for audits: the document's id, `entity_type`,
    `start`, `end`, `score`, `recognizer`, `text` (the personal data itself),
    in text order; a failing document gives one row with its id and the
    error. Documents are named by `id_col`; without it by a `document_id`
    from `monotonically_increasing_id`, which holds only for one reading of
    the same input."""
    from pyspark.sql import functions as F
    from pyspark.sql.types import DoubleType, LongType, StringType, StructField, StructType

    config = make_config(rules_only, gliner_model, spacy_model, entities, ner=ner, gliner_backend=gliner_backend,
                         gliner_batch_size=gliner_batch_size, keep_legal_references=keep_legal_references)
    _check_text_column(df, text_col, "text_col")
    if id_col is None:
        id_col = "document_id"
        if id_col in df.columns:
            raise ValueError("the dataframe has a column 'document_id': pass it as id_col")
        df = df.select(F.monotonically_increasing_id().alias(id_col), text_col)
    elif id_col not in df.columns:
        raise ValueError(f"id_col: no column {id_col!r} (columns: {', '.join(df.columns)})")
    else:
        df = df.select(id_col, text_col) if id_col != text_col else df.select(text_col)
    names = (id_col, *DETECTION_COLS, error_col)
    if len(set(names)) != len(names):
        raise ValueError(f"id_col and error_col must differ from {', '.join(DETECTION_COLS)}")
    id_field = next(f for f in df.schema.fields if f.name == id_col)
    schema = StructType([StructField(id_col, id_field.dataType, True),
                         StructField("entity_type", StringType(), True),
                         StructField("start", LongType(), True),
                         StructField("end", LongType(), True),
                         StructField("score", DoubleType(), True),
                         StructField("recognizer", StringType(), True),
                         StructField("text", StringType(), True),
                         StructField(error_col, StringType(), True)])
    return df.mapInArrow(
        functools.partial(_detect_batches, config, text_col, id_col, names, _large_strings(df)), schema)


if __name__ == "__main__":      # spark-submit .../tarnis/spark.py INPUT OUTPUT [options]
    # Run as a script, this file is the command's `spark-anonymize`.
    import runpy
    sys.argv = ["tarnis", "spark-anonymize", *sys.argv[1:]]
    runpy.run_module("tarnis", run_name="__main__", alter_sys=True)
