"""The `tarnis` command: anonymize, restore and inspect documents from the shell.

    tarnis anonymize PATH... [-o OUTDIR]     NAME.txt -> NAME.anon.txt + NAME.map.json
    tarnis restore FILE --map MAP.json [-o OUT]
    tarnis detect PATH... [--json]

Each document goes through the engine's analysis, overlap resolution and the
denylist filter; `anonymize` then replaces the detections by placeholders,
propagates them to further occurrences and writes the text and its entity map.

Exit status: 0 when every document went through, 1 when some failed (each is
reported by name, the others are still processed), 2 for usage errors and
models that cannot be loaded.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
import signal
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

from tarnis import __version__

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

LANGUAGE = "ro"
DEFAULT_GLINER_MODEL = "knowledgator/gliner-multitask-large-v0.5"
DEFAULT_SPACY_MODEL = "ro_core_news_sm"

ANON_SUFFIX = ".anon.txt"
MAP_SUFFIX = ".map.json"
_TXT = ".txt"

_PLACEHOLDER = re.compile(r"\[[A-Z_]+_\d+\]")
_PLACEHOLDER_TYPE = re.compile(r"\[([A-Z_]+)_\d+\]")

# The entity map holds the personal data itself: only its owner may read it.
_MAP_FILE_MODE = 0o600

_log = logging.getLogger("tarnis.cli")


class UsageError(Exception):
    """A problem with the command line or the models: exit status 2."""


class DocumentError(Exception):
    """A problem with one document; the others are still processed."""


# --- console ---------------------------------------------------------------------------------

class Console:
    """Messages on standard error, data on standard output, and the progress
    bar, kept from garbling each other."""

    def __init__(self, quiet: bool = False):
        self.quiet = quiet
        self.bar = None

    def _stderr(self, line: str) -> None:
        if self.bar is not None:
            from tqdm import tqdm
            tqdm.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def error(self, message: str) -> None:
        self._stderr(f"tarnis: error: {message}")

    def warning(self, message: str) -> None:
        self._stderr(f"tarnis: warning: {message}")

    def info(self, message: str) -> None:
        if not self.quiet:
            self._stderr(f"tarnis: {message}")

    def out(self, text: str) -> None:
        """Write `text` to standard output as UTF-8, whatever the locale."""
        if self.bar is not None:
            self.bar.clear()
        sys.stdout.flush()
        sys.stdout.buffer.write(text.encode("utf-8"))
        sys.stdout.buffer.flush()
        if self.bar is not None:
            self.bar.refresh()

    def progress(self, items, unit: str):
        """Iterate over `items` with a progress bar on standard error when
        there are several of them and the bar is wanted."""
        from tqdm import tqdm

        disable = True if self.quiet or len(items) < 2 else None   # None: only on a terminal
        self.bar = tqdm(items, unit=unit, file=sys.stderr, disable=disable, dynamic_ncols=True, leave=False)
        try:
            yield from self.bar
        finally:
            self.bar.close()
            self.bar = None


class _ConsoleLogHandler(logging.Handler):
    def __init__(self, console: Console):
        super().__init__()
        self.console = console

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.console._stderr(f"tarnis: {record.levelname.lower()}: {record.name}: {record.getMessage()}")
        except Exception:  # noqa: BLE001 - logging must never stop the run
            self.handleError(record)


def _setup_logging(console: Console, verbose: bool) -> None:
    handler = _ConsoleLogHandler(console)
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(logging.WARNING)
    logging.getLogger("tarnis").setLevel(logging.INFO if verbose else logging.WARNING)
    # Offline, the e-mail validation's suffix list falls back to its bundled
    # copy after a warning per run; that warning is noise unless asked for.
    logging.getLogger("tldextract").setLevel(logging.WARNING if verbose else logging.ERROR)
    # Libraries' Python warnings (deprecations inside the model loaders) are
    # for their callers' developers; shown with --verbose only.
    logging.captureWarnings(True)
    logging.getLogger("py.warnings").setLevel(logging.WARNING if verbose else logging.ERROR)


# --- inputs and outputs ----------------------------------------------------------------------

@dataclass(frozen=True)
class Document:
    source: Path      # the input file
    base: Path        # folder the input was found under (its own folder for a named file)
    relative: Path    # path of the input below `base`

    def outputs(self, outdir: Path | None) -> tuple[Path, Path]:
        """(anonymized text, entity map) for this document. `NAME.txt` gives
        `NAME.anon.txt` and `NAME.map.json`; another name keeps its suffix
        (`notes.md` gives `notes.md.anon.txt`), so no two names collide."""
        folder = (outdir if outdir is not None else self.base) / self.relative.parent
        name = self.relative.name
        stem = name[: -len(_TXT)] if name.lower().endswith(_TXT) else name
        return folder / (stem + ANON_SUFFIX), folder / (stem + MAP_SUFFIX)


def _is_document_name(name: str) -> bool:
    lower = name.lower()
    return lower.endswith(_TXT) and not lower.endswith(ANON_SUFFIX)


def collect_documents(paths: list[str], console: Console) -> tuple[list[Document], int]:
    """Expand the command's PATH arguments: a file stands for itself, a folder
    for every `*.txt` below it (outputs named `*.anon.txt` excepted). The same
    file reached twice is processed once. Returns the documents and the number
    of arguments that failed (reported by name)."""
    documents: list[Document] = []
    seen: set[str] = set()
    failed = 0

    def add(doc: Document) -> None:
        key = os.path.realpath(doc.source)
        if key not in seen:
            seen.add(key)
            documents.append(doc)

    for arg in paths:
        path = Path(arg)
        if path.is_dir():
            found = []
            unreadable: list[OSError] = []
            for folder, dirnames, filenames in os.walk(path, onerror=unreadable.append):
                dirnames.sort()
                for name in sorted(filenames):
                    if _is_document_name(name):
                        file = Path(folder) / name
                        found.append(Document(file, path, file.relative_to(path)))
            for e in unreadable:
                console.error(f"{e.filename}: cannot read the folder: {e.strerror or e}")
                failed += 1
            if not found and not unreadable:
                console.error(f"{arg}: no .txt files in this folder")
                failed += 1
            for doc in found:
                add(doc)
        elif path.is_file():
            add(Document(path, path.parent, Path(path.name)))
        elif path.exists() or path.is_symlink():
            console.error(f"{arg}: not a regular file or folder")
            failed += 1
        else:
            console.error(f"{arg}: no such file or folder")
            failed += 1
    return documents, failed


def read_document(path: Path) -> str:
    """The text of a UTF-8 document, exactly as stored (line endings included)."""
    try:
        data = path.read_bytes()
    except OSError as e:
        raise DocumentError(f"{path}: cannot read: {e.strerror or e}") from None
    if not data:
        raise DocumentError(f"{path}: empty file")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise DocumentError(f"{path}: not valid UTF-8 (byte 0x{data[e.start]:02x} at offset {e.start})") from None


def _default_file_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


class StagedFile:
    """A file written in full to a temporary name in its target folder; it
    takes its real name only on `commit`, so an interrupted run never leaves
    a half-written output."""

    def __init__(self, target: Path, data: bytes, mode: int):
        self.target = target
        target.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
        self.tmp: str | None = tmp
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
            os.chmod(tmp, mode)
        except BaseException:
            self.discard()
            raise

    def commit(self, force: bool) -> None:
        """Give the file its name. Without `force` an existing file is never
        replaced, even one that appeared while this file was being written."""
        assert self.tmp is not None
        if force:
            os.replace(self.tmp, self.target)
        else:
            try:
                os.link(self.tmp, self.target)          # fails when the target exists
            except FileExistsError:
                raise DocumentError(f"{self.target} exists (use --force to overwrite)") from None
            except OSError:
                # A file system without hard links: check, then rename.
                if os.path.lexists(self.target):
                    raise DocumentError(f"{self.target} exists (use --force to overwrite)") from None
                os.replace(self.tmp, self.target)
                self.tmp = None
                return
            os.unlink(self.tmp)
        self.tmp = None

    def discard(self) -> None:
        if self.tmp is not None:
            try:
                os.unlink(self.tmp)
            except OSError:
                pass
            self.tmp = None


def write_outputs(files: list[tuple[Path, bytes, int]], force: bool) -> None:
    """Write several files as one step: all are staged first, then renamed in
    order; if a rename fails, the files already renamed by this call are
    removed again."""
    staged: list[StagedFile] = []
    committed: list[Path] = []
    try:
        for target, data, mode in files:
            staged.append(StagedFile(target, data, mode))
        for s in staged:
            s.commit(force)
            committed.append(s.target)
    except BaseException:
        if not force:
            for path in committed:   # they did not exist before this call
                try:
                    os.unlink(path)
                except OSError:
                    pass
        raise
    finally:
        for s in staged:
            s.discard()


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


# --- the analyzer ----------------------------------------------------------------------------

_INSTALL_SPACY = (f"install the spaCy pipeline: python -m spacy download {DEFAULT_SPACY_MODEL} (needs network "
                  "access), or pass --spacy-model DIR with a saved Romanian pipeline")
_INSTALL_GLINER = ("install the GLiNER model: it is downloaded from the model hub on first use (needs network "
                   "access), or pass --gliner-model DIR with a local copy")
_INSTALL_NEURAL = "install the neural extra: pip install 'tarnis[neural]'"


def _missing_models_message(what: str, detail: str, *remedies: str) -> str:
    ways = "\n".join(f"  - {r}" for r in remedies or (_INSTALL_SPACY, _INSTALL_GLINER))
    return (f"cannot load {what}: {detail}\n"
            f"Either\n{ways}\n"
            "or run with --rules-only: rule-based recognizers only, which find NO names of persons or "
            "organizations (those would stay in the text).")


def _looks_like_path(name: str) -> bool:
    return name.startswith(("/", "./", "../", "~")) or name.endswith("/") or name.count("/") > 1


def _model_argument(name: str, option: str) -> str:
    """A model given as an existing folder is passed as its absolute path; a
    path that does not exist is an error at once, not a hub lookup."""
    expanded = os.path.expanduser(name)
    if os.path.isdir(expanded):
        return os.path.abspath(expanded)
    if _looks_like_path(name) or os.path.exists(expanded):
        remedy = _INSTALL_GLINER if option == "--gliner-model" else _INSTALL_SPACY
        raise UsageError(_missing_models_message(f"{option} {name}", "no such folder", remedy))
    return name


def build_full_engine(gliner_model: str, spacy_model: str):
    """The full analyzer: the neural recognizer with the catalogue's labels and
    thresholds, and every rule-based recognizer. Its spaCy pipeline also
    serves the denylist filter's part-of-speech test."""
    gliner_model = _model_argument(gliner_model, "--gliner-model")
    spacy_model = _model_argument(spacy_model, "--spacy-model")

    import spacy

    # Checked first: loading the neural model takes long, and the NLP engine
    # would otherwise try to download a missing pipeline.
    if not (spacy.util.is_package(spacy_model) or Path(spacy_model).exists()):
        raise UsageError(_missing_models_message(
            f"the spaCy pipeline '{spacy_model}'", "it is neither an installed package nor a folder",
            _INSTALL_SPACY))

    try:
        from tarnis import analyzer, processing
        engine = analyzer.build_analyzer(
            model_name=gliner_model,
            gliner_entity_mapping=dict(analyzer.GLINER_ENTITY_MAPPING),
            entity_thresholds=dict(analyzer.GLINER_ENTITY_THRESHOLDS),
            spacy_model=spacy_model)
    except ImportError as e:
        raise UsageError(_missing_models_message("the neural recognizer", str(e), _INSTALL_NEURAL)) from None
    except OSError as e:
        message = str(e)
        remedies = [r for name, r in ((gliner_model, _INSTALL_GLINER), (spacy_model, _INSTALL_SPACY))
                    if name in message]
        raise UsageError(_missing_models_message("the models", message, *remedies)) from None

    nlp = engine.nlp_engine.nlp[LANGUAGE]
    processing._nlp_ro = nlp
    return engine


def tags_parts_of_speech(nlp) -> bool:
    """Whether the pipeline assigns part-of-speech tags at all."""
    return any(token.pos_ for token in nlp("Ion Popescu locuiește în București."))


def rule_recognizers(language: str = LANGUAGE) -> list:
    """The rule-based recognizers of the full analyzer, in its order."""
    from tarnis import analyzer as a
    return [
        a.RomanianStreetAddressRecognizer(supported_language=language),
        a.EmailRecognizer(supported_language=language),
        a.PhoneRecognizer(),
        a.CustomIbanRecognizer(supported_language=language),
        a.CreditCardRecognizer(supported_language=language),
        a.IpRecognizer(supported_language=language),
        a.UrlRecognizer(supported_language=language),
        a.BICRecognizer(),
        a.CodeRecognizer(),
        a.CnpRecognizer(),
    ]


def build_rules_engine():
    """Every rule-based recognizer over a blank Romanian spaCy pipeline
    (tokenization only), which needs no download."""
    import spacy
    from presidio_analyzer import AnalyzerEngine, RecognizerRegistry
    from presidio_analyzer.nlp_engine import SpacyNlpEngine

    recognizers = rule_recognizers(LANGUAGE)
    registry = RecognizerRegistry(supported_languages=[LANGUAGE])
    for recognizer in recognizers:
        registry.add_recognizer(recognizer)
    with tempfile.TemporaryDirectory(prefix="tarnis-blank-ro-") as folder:
        spacy.blank(LANGUAGE).to_disk(folder)
        nlp_engine = SpacyNlpEngine(models=[{"lang_code": LANGUAGE, "model_name": folder}])
        nlp_engine.load()
    # Tokenization alone is cheap: long documents need not be refused.
    nlp_engine.nlp[LANGUAGE].max_length = 100_000_000
    return AnalyzerEngine(registry=registry, nlp_engine=nlp_engine, supported_languages=[LANGUAGE])


def build_engine(args, console: Console):
    started = time.perf_counter()
    if args.rules_only:
        engine = build_rules_engine()
    else:
        engine = build_full_engine(args.gliner_model or DEFAULT_GLINER_MODEL,
                                   args.spacy_model or DEFAULT_SPACY_MODEL)
        if not tags_parts_of_speech(engine.nlp_engine.nlp[LANGUAGE]):
            console.warning("the spaCy pipeline assigns no part-of-speech tags: person names written "
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


def _import_presidio_without_torch() -> None:
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


def detections(engine, text: str, entities: list[str] | None, raw: bool = False) -> list:
    """The engine's results on `text`, after overlap resolution and the
    denylist filter unless `raw`, in text order."""
    from tarnis.processing import filter_entity_denylist, resolve_overlaps

    results = engine.analyze(text=text, language=LANGUAGE, entities=entities)
    if not raw:
        results = filter_entity_denylist(text, resolve_overlaps(results, text))
    return sorted(results, key=lambda r: (r.start, r.end))


def anonymize_document(engine, text: str, entities: list[str] | None) -> tuple[str, dict]:
    from tarnis.processing import anonymize_text, postprocess_anonymized

    anonymized, entity_map = anonymize_text(text, detections(engine, text, entities))
    return postprocess_anonymized(anonymized, entity_map), entity_map


def entity_map_json(entity_map: dict) -> str:
    """The entity map as the command writes it: indented UTF-8 JSON with
    non-ASCII characters as they are, ending with a newline."""
    return json.dumps(entity_map, ensure_ascii=False, indent=2) + "\n"


def _placeholder_counts(anonymized: str, entity_map: dict) -> Counter:
    known = {p for inner in entity_map.values() for p in inner.values()}
    return Counter(m.group(1) for m in _PLACEHOLDER_TYPE.finditer(anonymized) if m.group(0) in known)


def _first_difference(a: str, b: str) -> int:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def _rate(count: int, seconds: float) -> str:
    return f"{count / seconds:.1f}" if seconds > 0 else "-"


def _by_type(counts: Counter) -> str:
    return ", ".join(f"{t} {n}" for t, n in sorted(counts.items())) or "none"


# --- commands --------------------------------------------------------------------------------

def run_batch(items, console: Console, source, process) -> tuple[int, int, float]:
    """Call `process(item)` for each item under the progress bar. A failing
    document is reported by name and the batch goes on. Returns (done,
    failed, seconds)."""
    done = failed = 0
    started = time.perf_counter()
    for item in console.progress(items, unit="doc"):
        try:
            process(item)
        except DocumentError as e:
            console.error(str(e))
            failed += 1
            continue
        except (KeyboardInterrupt, SystemExit, MemoryError, BrokenPipeError):
            raise  # the whole run ends (a closed pipe quietly, in main)
        except Exception as e:  # noqa: BLE001 - one bad document must not stop the batch
            console.error(f"{source(item)}: {type(e).__name__}: {e}")
            failed += 1
            continue
        done += 1
    return done, failed, time.perf_counter() - started


def cmd_anonymize(args, console: Console) -> int:
    from tarnis.processing import deanonymize_text

    outdir = Path(args.output) if args.output else None
    if outdir is not None and outdir.exists() and not outdir.is_dir():
        raise UsageError(f"-o {args.output}: not a folder")
    documents, failed = collect_documents(args.paths, console)

    # Plan every output before anything is loaded or written.
    jobs: list[tuple[Document, Path, Path]] = []
    planned: dict[str, Path] = {}
    inputs = {os.path.realpath(d.source): d.source for d in documents}
    for doc in documents:
        anon, emap = doc.outputs(outdir)
        for out in (anon, emap):
            key = os.path.realpath(out)
            if key in planned:
                raise UsageError(f"{planned[key]} and {doc.source} would both be written to {out}; "
                                 "name them differently or anonymize them separately")
            if key in inputs:
                raise UsageError(f"the output {out} of {doc.source} is itself an input; "
                                 "inputs are never overwritten")
            planned[key] = doc.source
        jobs.append((doc, anon, emap))

    if not args.force:
        ready = []
        for doc, anon, emap in jobs:
            existing = [str(p) for p in (anon, emap) if os.path.lexists(p)]
            if existing:
                console.error(f"{doc.source}: {' and '.join(existing)} already exist"
                              f"{'s' if len(existing) == 1 else ''} (use --force to overwrite)")
                failed += 1
            else:
                ready.append((doc, anon, emap))
        jobs = ready

    if not jobs:
        console.info(f"nothing anonymized, {failed} failed")
        return EXIT_FAILED if failed else EXIT_OK

    engine, build_seconds = build_engine(args, console)
    counts: Counter = Counter()
    text_mode = _default_file_mode()

    def process(job) -> None:
        doc, anon, emap = job
        text = read_document(doc.source)
        anonymized, entity_map = anonymize_document(engine, text, args.entities)
        restored = deanonymize_text(anonymized, entity_map)
        if restored != text:
            at = _first_difference(restored, text)
            line = text.count("\n", 0, at) + 1
            column = at - (text.rfind("\n", 0, at) + 1) + 1
            console.warning(
                f"{doc.source}: restoring from the map will not give back this text exactly (first "
                f"difference at line {line}, column {column}: an entity written in several ways, "
                f"running over a line break, or text that looks like a placeholder); the anonymized "
                f"text is complete")
        map_json = entity_map_json(entity_map)
        # The map goes first: an anonymized text without its map could never be restored.
        write_outputs([(emap, map_json.encode("utf-8"), _MAP_FILE_MODE),
                       (anon, anonymized.encode("utf-8"), text_mode)], force=args.force)
        counts.update(_placeholder_counts(anonymized, entity_map))

    done, batch_failed, seconds = run_batch(jobs, console, lambda job: job[0].source, process)
    failed += batch_failed

    console.info(f"{done} document{'s' if done != 1 else ''} anonymized, {failed} failed, in {seconds:.2f} s "
                 f"({_rate(done, seconds)} documents/s; analyzer built in {build_seconds:.2f} s)")
    console.info(f"entities replaced: {_by_type(counts)}")
    return EXIT_FAILED if failed else EXIT_OK


def read_entity_map(path: Path) -> dict:
    try:
        data = json.loads(read_document(path))
    except json.JSONDecodeError as e:
        raise DocumentError(f"{path}: not a JSON entity map ({e})") from None
    valid = isinstance(data, dict) and all(
        isinstance(t, str) and isinstance(inner, dict)
        and all(isinstance(k, str) and isinstance(v, str) for k, v in inner.items())
        for t, inner in data.items())
    if not valid:
        raise DocumentError(f"{path}: not an entity map (expected {{entity type: {{text: placeholder}}}})")
    return data


def cmd_restore(args, console: Console) -> int:
    from tarnis.processing import deanonymize_text

    source, map_path = Path(args.file), Path(args.map)
    out = Path(args.output) if args.output else None
    if out is not None:
        for given in (source, map_path):
            if _same_file(out, given):
                raise UsageError(f"-o {out} is an input of this command; inputs are never overwritten")
    try:
        text = read_document(source)
        entity_map = read_entity_map(map_path)
    except DocumentError as e:
        console.error(str(e))
        return EXIT_FAILED

    known = {p for inner in entity_map.values() for p in inner.values()}
    found = list(dict.fromkeys(_PLACEHOLDER.findall(text)))
    unknown = [p for p in found if p not in known]
    if unknown:
        shown = ", ".join(unknown[:20]) + (f" and {len(unknown) - 20} more" if len(unknown) > 20 else "")
        console.warning(f"{source}: {len(unknown)} placeholder{'s' if len(unknown) != 1 else ''} not in "
                        f"{map_path} left as they are: {shown}")
    restored = deanonymize_text(text, entity_map)

    if out is None:
        console.out(restored)
    else:
        try:
            write_outputs([(out, restored.encode("utf-8"), _default_file_mode())], force=args.force)
        except DocumentError as e:
            console.error(str(e))
            return EXIT_FAILED
        except OSError as e:
            console.error(f"{out}: cannot write: {e.strerror or e}")
            return EXIT_FAILED
    replaced = sum(1 for m in _PLACEHOLDER.finditer(text) if m.group(0) in known)
    console.info(f"restored {replaced} placeholder{'s' if replaced != 1 else ''}"
                 f"{f' into {out}' if out is not None else ''}")
    return EXIT_OK


def _table(results, text: str) -> str:
    rows = [(r.entity_type, str(r.start), str(r.end), f"{r.score:.2f}",
             str(r.recognition_metadata.get("recognizer_name", "") if r.recognition_metadata else ""),
             json.dumps(text[r.start:r.end], ensure_ascii=False)[1:-1]) for r in results]
    header = ("TYPE", "START", "END", "SCORE", "RECOGNIZER", "TEXT")
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(5)]
    right = {1, 2, 3}

    def line(row):
        cells = [row[i].rjust(widths[i]) if i in right else row[i].ljust(widths[i]) for i in range(5)]
        return "  ".join(cells + [row[5]])

    return "\n".join(line(row) for row in [header, *rows]) + "\n"


def cmd_detect(args, console: Console) -> int:
    documents, failed = collect_documents(args.paths, console)
    if not documents:
        return EXIT_FAILED
    engine, build_seconds = build_engine(args, console)
    counts: Counter = Counter()

    def process(doc) -> None:
        text = read_document(doc.source)
        results = detections(engine, text, args.entities, raw=args.raw)
        counts.update(r.entity_type for r in results)
        if args.json:
            console.out("".join(json.dumps({
                "file": str(doc.source),
                "entity_type": r.entity_type,
                "start": r.start,
                "end": r.end,
                "score": r.score,
                "recognizer": (r.recognition_metadata or {}).get("recognizer_name"),
                "text": text[r.start:r.end],
            }, ensure_ascii=False) + "\n" for r in results))
        else:
            header = f"== {doc.source}: {len(results)} detection{'s' if len(results) != 1 else ''}\n"
            console.out(header + (_table(results, text) if results else "") + "\n")

    done, batch_failed, seconds = run_batch(documents, console, lambda doc: doc.source, process)
    failed += batch_failed
    console.info(f"{done} document{'s' if done != 1 else ''} analyzed, {failed} failed, in {seconds:.2f} s "
                 f"({_rate(done, seconds)} documents/s; analyzer built in {build_seconds:.2f} s)")
    console.info(f"detections: {_by_type(counts)}")
    return EXIT_FAILED if failed else EXIT_OK


# --- command line ----------------------------------------------------------------------------

def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary (warnings and errors are still shown)")
    p.add_argument("-v", "--verbose", action="store_true", help="log what the library does (model loading)")


def _add_models(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("models")
    g.add_argument("--rules-only", action="store_true",
                   help="only the rule-based recognizers, over a blank Romanian pipeline; needs no download, "
                        "but finds no names of persons or organizations")
    g.add_argument("--gliner-model", metavar="NAME|DIR",
                   help=f"GLiNER model name on the model hub or local folder (default {DEFAULT_GLINER_MODEL})")
    g.add_argument("--spacy-model", metavar="NAME|DIR",
                   help=f"spaCy Romanian pipeline package or folder (default {DEFAULT_SPACY_MODEL})")
    g.add_argument("--entities", metavar="TYPE,...",
                   help="only these entity types (for example CNP,IBAN_CODE); default: all")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnis",
        description="Find personal data in Romanian and Moldovan documents, replace it by numbered "
                    "placeholders, and restore it later from the entity map.",
        epilog="Exit status: 0 success, 1 some documents failed, 2 usage error or models not available.")
    parser.add_argument("--version", action="version", version=f"tarnis {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("anonymize", help="anonymize documents: NAME.txt -> NAME.anon.txt and NAME.map.json",
                       description="Anonymize UTF-8 text files. A folder stands for every *.txt below it "
                                   "(files named *.anon.txt excepted). NAME.txt gives NAME.anon.txt (the "
                                   "anonymized text) and NAME.map.json (the entity map, readable only by "
                                   "you), next to the input or under OUTDIR with the folder structure kept.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="text file or folder")
    p.add_argument("-o", "--output", metavar="OUTDIR", help="folder for the outputs (default: beside each input)")
    p.add_argument("-f", "--force", action="store_true", help="overwrite existing outputs")
    _add_models(p)
    _add_common(p)
    p.set_defaults(run=cmd_anonymize)

    p = sub.add_parser("restore", help="restore an anonymized document from its entity map",
                       description="Put the original texts back in place of the placeholders. Placeholders "
                                   "that the map does not know are left as they are, with a warning.")
    p.add_argument("file", metavar="FILE", help="anonymized text file")
    p.add_argument("--map", required=True, metavar="MAP.json", help="the entity map written by anonymize")
    p.add_argument("-o", "--output", metavar="OUT", help="file to write (default: standard output)")
    p.add_argument("-f", "--force", action="store_true", help="overwrite OUT if it exists")
    _add_common(p)
    p.set_defaults(run=cmd_restore)

    p = sub.add_parser("detect", help="print what would be anonymized",
                       description="Print the detections of each document (after overlap resolution and "
                                   "the denylist filter): entity type, offsets, score, recognizer and text.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="text file or folder")
    p.add_argument("--json", action="store_true", help="one JSON object per detection and line")
    p.add_argument("--raw", action="store_true",
                   help="every result of the recognizers, before overlap resolution and the denylist filter")
    _add_models(p)
    _add_common(p)
    p.set_defaults(run=cmd_detect)

    from tarnis.spark import add_spark_command   # Spark itself is imported only when that command runs
    add_spark_command(sub)
    return parser


def _terminate(signum, frame):  # noqa: ARG001
    raise SystemExit(128 + signum)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "rules_only", False) and (args.gliner_model or args.spacy_model):
        parser.error("--rules-only takes no --gliner-model or --spacy-model")

    console = Console(quiet=args.quiet)
    _setup_logging(console, args.verbose)
    if getattr(args, "rules_only", False):
        _import_presidio_without_torch()
    try:
        if hasattr(args, "entities"):
            args.entities = entity_types(args.entities)
    except UsageError as e:
        parser.error(str(e))
    # A terminated run unwinds like an interrupted one: temporary files are removed.
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        return args.run(args, console)
    except UsageError as e:
        console.error(str(e))
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader of standard output went away (`tarnis detect ... | head`).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        console.error("interrupted; no output was left half-written")
        return 128 + signal.SIGINT
    except SystemExit as e:
        if e.code == 128 + signal.SIGTERM:
            console.error("terminated; no output was left half-written")
        raise
    finally:
        signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    sys.exit(main())
