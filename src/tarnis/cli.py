"""The `tarnis` command: anonymize, restore and inspect documents from the shell.

    tarnis anonymize PATH... [-o OUTDIR]     NAME.txt -> NAME.anon.txt + NAME.map.json
    tarnis restore FILE --map MAP.json [-o OUT]
    tarnis detect PATH... [--json]

Each document goes through the engine's analysis, overlap resolution and the
denylist filter, then (with --verify) a local language model's verdict on the
doubtful detections; `anonymize` then replaces the detections by placeholders,
propagates them to further occurrences, (with --review) lets the model look
for names left in the text, and writes the text and its entity map.

Exit status: 0 when every document went through, 1 when some failed (each is
reported by name, the others are still processed), 2 for usage errors and
models that cannot be loaded.
"""

from __future__ import annotations

import argparse
import json
import logging
import multiprocessing
import os
import re
import signal
import stat
import sys
import tempfile
import time
from collections import Counter, deque
from contextlib import contextmanager
from multiprocessing.connection import wait
from dataclasses import dataclass, field
from pathlib import Path

from tarnis import __version__
from tarnis.host.defaults import PLACEHOLDER as _PLACEHOLDER
from tarnis.host.errors import DocumentError, UsageError, shown
from tarnis.host.errors import count as _count
from tarnis.host.errors import escape_char as _escape_char
from tarnis.host.errors import listed as _shown
from tarnis.host.maps import (_RESTORE_FLOOR, _RESTORE_GROWTH, MAP_FORMAT, MAP_INFO, MapFile,  # noqa: F401
                              entity_map_json, map_fingerprint, map_mismatch, parse_entity_map, read_entity_map,
                              restored_length)

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

LANGUAGE = "ro"
DEFAULT_GLINER_MODEL = "knowledgator/gliner-multitask-large-v0.5"
DEFAULT_SPACY_MODEL = "ro_core_news_sm"
GLINER_BACKENDS = ("torch", "onnx", "onnx-int8")
DEFAULT_GLINER_BACKEND = "torch"
DEFAULT_GLINER_BATCH_SIZE = 8
# Where names of persons and organizations come from: the neural model, the
# spaCy pipeline's own named-entity recognizer, or both.
NER_SOURCES = ("gliner", "spacy", "both")
DEFAULT_NER = "gliner"

DEFAULT_SLM_URL = "http://localhost:11434/v1"
DEFAULT_SLM_MODEL = "qwen3.5:9b"
SLM_LOG_FOLDER = "slm-logs"
DEFAULT_SLM_TIMEOUT = 120.0
# The openai client's own tries of a request (1 + its default max_retries),
# the fallback's attempts per batch request, and the review's per part.
_CLIENT_TRIES, _VERIFY_ATTEMPTS, _REVIEW_ATTEMPTS = 3, 5, 3
# Documents analyzed before their doubtful detections go to the model in one
# shared stream of batches.
VERIFY_GROUP = 32

ANON_SUFFIX = ".anon.txt"
_DOCX = ".docx"
_PDF = ".pdf"
ANON_DOCX_SUFFIX = ".anon.docx"
MAP_SUFFIX = ".map.json"
_TXT = ".txt"

_PLACEHOLDER_TYPE = re.compile(r"\[([A-Z_]+)_\d+\]")

# The entity map holds the personal data itself: only its owner may read it.
_MAP_FILE_MODE = 0o600

_log = logging.getLogger("tarnis.cli")


# --- console ---------------------------------------------------------------------------------

_CONTROL = re.compile(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]")


class OutputError(Exception):
    """Standard output cannot be written (a full disk, a closed terminal):
    the run stops."""


class Console:
    """Messages on standard error, data on standard output, and the progress
    bar, kept from garbling each other."""

    def __init__(self, quiet: bool = False):
        self.quiet = quiet
        self.bar = None

    def _stderr(self, line: str) -> None:
        # Names are escaped where messages are made; no control character
        # but the line breaks of a message ever reaches the terminal.
        line = _CONTROL.sub(lambda m: _escape_char(m.group()), line)
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
        try:
            sys.stdout.flush()
            sys.stdout.buffer.write(text.encode("utf-8"))
            sys.stdout.buffer.flush()
        except BrokenPipeError:
            raise                   # the reader went away: the run ends quietly
        except OSError as e:
            raise OutputError(f"cannot write to standard output: {e.strerror or e}") from None
        if self.bar is not None:
            self.bar.refresh()

    @contextmanager
    def progress_bar(self, total: int, unit: str):
        """A progress bar over `total` items on standard error, advanced by
        the caller, when there are several items and the bar is wanted."""
        from tqdm import tqdm

        disable = True if self.quiet or total < 2 else None   # None: only on a terminal
        self.bar = tqdm(total=total, unit=unit, file=sys.stderr, disable=disable, dynamic_ncols=True, leave=False)
        try:
            yield self.bar
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
        lower = name.lower()
        if lower.endswith(_DOCX):
            # A Word document stays one: NAME.docx gives NAME.anon.docx.
            stem = name[: -len(_DOCX)]
            return folder / (stem + ANON_DOCX_SUFFIX), folder / (stem + MAP_SUFFIX)
        # A PDF's text is written as text: NAME.pdf gives NAME.anon.txt.
        suffix = next((x for x in (_TXT, _PDF) if lower.endswith(x)), "")
        stem = name[: -len(suffix)] if suffix else name
        return folder / (stem + ANON_SUFFIX), folder / (stem + MAP_SUFFIX)


def _is_document_name(name: str) -> bool:
    """Text, Word and PDF files, less the command's own outputs and Word's
    lock files (`~$name.docx`)."""
    lower = name.lower()
    if lower.endswith((ANON_SUFFIX, ANON_DOCX_SUFFIX)) or lower.startswith("~$"):
        return False
    return lower.endswith((_TXT, _DOCX, _PDF))


def _kind(mode: int) -> str:
    """What a file that is not a regular file is, for messages."""
    for test, name in ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a named pipe"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")):
        if test(mode):
            return name
    return "not a regular file"


def collect_documents(paths: list[str], console: Console) -> tuple[list[Document], int]:
    """Expand the command's PATH arguments: a file stands for itself, a folder
    for every `*.txt` below it (outputs named `*.anon.txt` excepted). The same
    file reached twice is processed once. Named pipes, sockets and devices in
    a folder (or behind a link) are skipped with a warning, without being
    opened; named directly, they fail. Returns the documents and the number
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
                        try:
                            mode = file.stat().st_mode
                        except OSError:
                            mode = None         # a broken link: reported when it is read
                        if mode is not None and not stat.S_ISREG(mode):
                            console.warning(f"{shown(file)}: {_kind(mode)}, not a text file; skipped")
                            continue
                        found.append(Document(file, path, file.relative_to(path)))
            for e in unreadable:
                console.error(f"{shown(e.filename)}: cannot read the folder: {e.strerror or e}")
                failed += 1
            if not found and not unreadable:
                console.error(f"{shown(arg)}: no .txt, .docx or .pdf files in this folder")
                failed += 1
            for doc in found:
                add(doc)
        elif path.is_file():
            add(Document(path, path.parent, Path(path.name)))
        elif path.exists():
            console.error(f"{shown(arg)}: {_kind(path.stat().st_mode)}, not a text file or folder")
            failed += 1
        elif path.is_symlink():
            console.error(f"{shown(arg)}: a link to nothing")
            failed += 1
        else:
            console.error(f"{shown(arg)}: no such file or folder")
            failed += 1
    return documents, failed


def read_document(path: Path) -> str:
    """The text of a UTF-8 document, exactly as stored (line endings included;
    an empty file is an empty text). Only a regular file is read: anything
    else (a named pipe, a device) fails without being opened, or, put in its
    place since, without a byte read from it."""
    data = _read_bytes(path)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise DocumentError(f"{shown(path)}: not valid UTF-8 (byte 0x{data[e.start]:02x} at offset {e.start})") from None


def _is_word(path: Path) -> bool:
    return str(path).lower().endswith(_DOCX)


def read_input(path: Path):
    """The document at `path` as the host layer reads it: text, Word or PDF by
    its suffix (`.text` is what is analyzed); a file that is not what its
    suffix says fails with the reason."""
    from tarnis.host.documents import DocumentFormatError, read_document as read_host_document

    data = _read_bytes(path)
    try:
        return read_host_document(path, data)
    except DocumentFormatError as e:
        raise DocumentError(f"{shown(path)}: {e}") from None
    except UnicodeDecodeError as e:
        raise DocumentError(f"{shown(path)}: not valid UTF-8 (byte 0x{data[e.start]:02x} at offset {e.start})") from None


def _read_bytes(path: Path) -> bytes:
    try:
        mode = os.stat(path).st_mode
        if not stat.S_ISREG(mode):
            raise DocumentError(f"{shown(path)}: {_kind(mode)}, not a text file")
        # Without blocking: a named pipe put there since the check opens
        # at once (and is then refused), with no writer needed.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | getattr(os, "O_CLOEXEC", 0))
        with os.fdopen(fd, "rb") as f:
            mode = os.fstat(f.fileno()).st_mode
            if not stat.S_ISREG(mode):
                raise DocumentError(f"{shown(path)}: {_kind(mode)}, not a text file")
            return f.read()
    except OSError as e:
        raise DocumentError(f"{shown(path)}: cannot read: {e.strerror or e}") from None


def _default_file_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def _host_tag() -> str:
    """A short tag of this machine: a process id says nothing about a process
    of another machine writing into the same (network) folder."""
    import hashlib
    import socket

    return hashlib.sha256(socket.gethostname().encode("utf-8", "surrogateescape")).hexdigest()[:8]


_HOST_TAG = _host_tag()

# `.TARGET.PID-HOST.RANDOM.tmp`: a file being written; `.bak`: the file that
# was in place, kept until the new files are all in place. The random part
# (mkstemp's, or hexadecimal) holds no dot, so the parse is unambiguous.
_STAGED_NAME = re.compile(r"\.(?P<target>.+)\.(?P<pid>[0-9]{1,10})-(?P<host>[0-9a-f]{8})\.[a-z0-9_]+\.(?P<kind>tmp|bak)",
                          re.DOTALL)


def _temp_prefix(target: Path, pid: int) -> str:
    """Temporary files of `target` carry the writing process's id (and its
    machine), so that the files of a process that was killed can be found and
    removed."""
    return f".{target.name}.{pid}-{_HOST_TAG}."


def _staged_of(target: Path, pid: int, names) -> tuple[list[Path], list[Path]]:
    """The files being written to `target` by process `pid`, and its backups
    of the file that was there, among the `names` of its folder."""
    prefix = _temp_prefix(target, pid)
    tmps: list[Path] = []
    backups: list[Path] = []
    for name in names:
        if name.startswith(prefix):
            rest = name[len(prefix):]
            kind = rest[-4:]
            if kind in (".tmp", ".bak") and re.fullmatch(r"[a-z0-9_]+", rest[:-4]):
                (tmps if kind == ".tmp" else backups).append(target.parent / name)
    return tmps, backups


def _unlink(path) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _same_inode(a, b) -> bool:
    try:
        sa, sb = os.lstat(a), os.lstat(b)
    except OSError:
        return False
    return (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)


def remove_temporary_files(targets, pid: int) -> None:
    """Remove what a killed process `pid` left of its staged `targets` (its
    backups of the files in place included: those files stay as they are)."""
    listings: dict[Path, list[str]] = {}
    for target in targets:
        for path in sum(_staged_of(target, pid, _listing(target.parent, listings)), []):
            _unlink(path)


def _listing(folder: Path, listings: dict) -> list[str]:
    if folder not in listings:
        try:
            listings[folder] = os.listdir(folder)
        except OSError:
            listings[folder] = []
    return listings[folder]


def recover_staged(targets: list[Path], pid: int, whole_call: bool = False) -> None:
    """Put right what the dead process `pid` left of one `write_outputs` call
    over `targets` (in their order), then remove its staged files.

    That call staged every target, then renamed them into place in order: if
    it died between two renames, the targets already renamed go back to what
    they were (their backup), so that the old set stays rather than a mix. A
    target renamed without a backup (it did not exist before) is removed only
    when the caller knows that `targets` are exactly that call's
    (`whole_call`); otherwise nothing without a backup is touched."""
    listings: dict[Path, list[str]] = {}
    found = [_staged_of(t, pid, _listing(t.parent, listings)) for t in targets]
    # Renamed into place: its staged file is gone, or (a hard link made
    # without --force, the staged name not yet removed) is the target itself.
    renamed = [not tmps or any(_same_inode(tmp, t) for tmp in tmps) for t, (tmps, _) in zip(targets, found)]
    first_left = renamed.index(False) if False in renamed else len(targets)
    midway = 0 < first_left < len(targets) and not any(renamed[first_left:])
    for i, (target, (tmps, backups)) in enumerate(zip(targets, found)):
        backup = backups.pop(0) if backups else None
        try:
            if midway and i < first_left:
                if backup is not None:
                    os.replace(backup, target)
                elif whole_call:
                    os.unlink(target)
            elif backup is not None and not os.path.lexists(target):
                os.replace(backup, target)      # moved aside (no hard links there) and not replaced
        except OSError:
            pass
        for path in tmps + backups + ([backup] if backup is not None else []):
            _unlink(path)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError, ValueError):
        return True             # another user's process, or no answer: taken as alive
    return True


# Per output folder, the staged files found there the first time this
# process wrote into it: {target name: process ids}.
_found_staged: dict[str, dict[str, set[int]]] = {}


def recover_dead_writers(targets: list[Path]) -> None:
    """Before `targets` are written: what processes of this machine that no
    longer exist left of them (killed outright while writing them) is put
    right and removed. Each folder is listed once per process; the files of
    live processes are never touched."""
    pids: set[int] = set()
    for target in targets:
        folder = os.fspath(target.parent)
        staged = _found_staged.get(folder)
        if staged is None:
            staged = {}
            try:
                names = os.listdir(folder)
            except OSError:
                names = []
            for name in names:
                m = _STAGED_NAME.fullmatch(name)
                if m and m["host"] == _HOST_TAG:
                    staged.setdefault(m["target"], set()).add(int(m["pid"]))
            _found_staged[folder] = staged
        pids |= staged.pop(target.name, set())
    # Checked after the listing: a process gone now had written those files.
    for pid in sorted(pids):
        if pid != os.getpid() and not _alive(pid):
            recover_staged(targets, pid)


class StagedFile:
    """A file written in full to a temporary name in its target folder; it
    takes its real name only on `commit`, so an interrupted run never leaves
    a half-written output."""

    def __init__(self, target: Path, data: bytes, mode: int):
        self.target = target
        target.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=_temp_prefix(target, os.getpid()), suffix=".tmp")
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
        try:
            if force:
                os.replace(self.tmp, self.target)
            else:
                try:
                    os.link(self.tmp, self.target)          # fails when the target exists
                except FileExistsError:
                    raise DocumentError(f"{shown(self.target)} exists (use --force to overwrite)") from None
                except OSError:
                    # A file system without hard links: check, then rename.
                    if os.path.lexists(self.target):
                        raise DocumentError(f"{shown(self.target)} exists (use --force to overwrite)") from None
                    os.replace(self.tmp, self.target)
                    self.tmp = None
                    return
                os.unlink(self.tmp)
        except OSError as e:
            raise DocumentError(f"{shown(self.target)}: cannot write: {e.strerror or e}") from None
        self.tmp = None

    def discard(self) -> None:
        if self.tmp is not None:
            _unlink(self.tmp)
            self.tmp = None


def _backup(target: Path) -> tuple[str, bool] | None:
    """Keep the file in place at `target` under a staged name: (that name,
    whether the file was moved there rather than linked), or None when there
    is nothing to keep. A folder in the way is left: renaming over it fails."""
    if not os.path.lexists(target) or (target.is_dir() and not target.is_symlink()):
        return None
    prefix = _temp_prefix(target, os.getpid())
    while True:
        name = os.fspath(target.parent / f"{prefix}{os.urandom(6).hex()}.bak")
        try:
            os.link(target, name, follow_symlinks=False)
            return name, False
        except FileExistsError:
            continue
        except OSError:
            pass
        try:
            os.rename(target, name)       # no hard links on this file system
        except OSError as e:
            raise DocumentError(f"{shown(target)}: cannot keep the file in place while it is "
                                f"replaced: {e.strerror or e}") from None
        return name, True


def _roll_back(committed: list[Path], backups: dict) -> list[str]:
    """Undo the renames of `committed` (the files there before come back from
    `backups`, the new ones go) and drop the backups; returns what could not
    be put back."""
    problems = []
    for target in reversed(committed):
        backup = backups.pop(target, None)
        try:
            if backup is not None:
                os.replace(backup[0], target)
            else:
                os.unlink(target)
        except OSError as e:
            problems.append(f"{shown(target)}: cannot put the previous file back ({e.strerror or e})"
                            + (f"; it is kept as {shown(backup[0])}" if backup is not None else ""))
    for target, (backup, moved) in backups.items():
        if moved:
            try:
                os.replace(backup, target)
            except OSError as e:
                problems.append(f"{shown(target)}: cannot put the previous file back ({e.strerror or e}); "
                                f"it is kept as {shown(backup)}")
        else:
            _unlink(backup)
    return problems


_HELD_SIGNALS = {signal.SIGINT, signal.SIGTERM}


@contextmanager
def _interruptions_held():
    """Ctrl-C and SIGTERM wait until the block is left (in the main thread,
    where their handlers run; elsewhere they are not taken anyway)."""
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    # The mask holds the signals back from this thread only: in a process with
    # other threads the kernel hands them to one of those, and Python runs the
    # handler in this thread at once. So the handlers are replaced as well, by
    # ones that only note the signal; it is taken when the block is left.
    pending: list[int] = []
    handlers = {sig: signal.signal(sig, lambda signum, frame: pending.append(signum)) for sig in _HELD_SIGNALS}
    previous = (signal.pthread_sigmask(signal.SIG_BLOCK, _HELD_SIGNALS)
                if hasattr(signal, "pthread_sigmask") else None)
    try:
        yield
    finally:
        if previous is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)    # a held signal is noted now
        for sig, handler in handlers.items():
            signal.signal(sig, handler)
        if pending:
            handler = handlers[pending[0]]
            if callable(handler):
                handler(pending[0], None)
            elif handler == signal.SIG_DFL:
                os.kill(os.getpid(), pending[0])


def write_outputs(files: list[tuple[Path, bytes, int]], force: bool) -> None:
    """Write several files as one step: all are staged first, then renamed in
    order. Any failure, or an interruption, leaves the files that were there
    before: the files already renamed by this call are removed again, or with
    `force` the files they replaced (kept as backups until every rename has
    succeeded) are put back. What a killed process of this machine left of
    the same files is put right first."""
    recover_dead_writers([target for target, _, _ in files])
    staged: list[StagedFile] = []
    committed: list[Path] = []
    backups: dict[Path, tuple[str, bool]] = {}
    try:
        for target, data, mode in files:
            staged.append(StagedFile(target, data, mode))
        try:
            # An interruption is taken after the renames, not between them,
            # and undoes them all like a failed rename does.
            with _interruptions_held():
                if force:
                    for s in staged:
                        backup = _backup(s.target)
                        if backup is not None:
                            backups[s.target] = backup
                for s in staged:
                    s.commit(force)
                    committed.append(s.target)
        except BaseException as e:
            with _interruptions_held():
                problems = _roll_back(committed, backups)
            if problems and isinstance(e, Exception):
                raise DocumentError("; ".join([str(e), *problems])) from None
            raise
        for backup, _ in backups.values():
            _unlink(backup)
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
            "or run with --rules-only: rule-based recognizers only, which find the names of persons that "
            "directly follow a role word (inculpatul, reclamanta, martorul, domnul, d-na, subsemnatul, titular, "
            "...) but NO other names of persons and NO organizations (those would stay in the text).")


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


def _require_spacy_package(spacy_model: str) -> None:
    import spacy

    if not (spacy.util.is_package(spacy_model) or Path(spacy_model).exists()):
        raise UsageError(_missing_models_message(
            f"the spaCy pipeline '{spacy_model}'", "it is neither an installed package nor a folder",
            _INSTALL_SPACY))


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
    gliner_model = _model_argument(gliner_model, "--gliner-model")
    spacy_model = _model_argument(spacy_model, "--spacy-model")

    # Checked first: loading the neural model takes long, and the NLP engine
    # would otherwise try to download a missing pipeline.
    _require_spacy_package(spacy_model)

    from tarnis import analyzer, processing
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
        raise UsageError(_missing_models_message("the neural recognizer", str(e), _INSTALL_NEURAL)) from None
    except ModelUnavailableError as e:
        # The message names the model that is missing; both ways to provide one are offered.
        raise UsageError(_missing_models_message("the models", str(e))) from None
    except OSError as e:
        # Present but unreadable (permissions, a damaged file): installing would not help.
        raise UsageError(f"cannot load the models: {e}") from None

    nlp = engine.nlp_engine.nlp[LANGUAGE]
    processing._nlp_ro = nlp
    return engine


def build_spacy_engine(spacy_model: str, *, keep_legal_references: bool = True):
    """Every rule-based recognizer and the spaCy pipeline's own persons and
    organizations, without the neural model (nothing from the model hub)."""
    spacy_model = _model_argument(spacy_model, "--spacy-model")
    _require_spacy_package(spacy_model)
    from tarnis import analyzer, processing
    from tarnis.recognizers.spacy_ner import SpacyNerUnavailableError
    try:
        engine = analyzer._assemble_analyzer(
            rule_recognizers(LANGUAGE, keep_legal_references=keep_legal_references), spacy_model, LANGUAGE, spacy_ner=True)
    except SpacyNerUnavailableError as e:
        raise UsageError(f"--ner spacy: {e}") from None
    except OSError as e:
        raise UsageError(f"cannot load the spaCy pipeline: {e}") from None
    processing._nlp_ro = engine.nlp_engine.nlp[LANGUAGE]
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


def build_engine(args, console: Console):
    started = time.perf_counter()
    ner = getattr(args, "ner", None) or DEFAULT_NER
    keep_legal = not getattr(args, "anonymize_legal_references", False)
    if args.rules_only:
        engine = build_rules_engine(keep_legal_references=keep_legal)
    else:
        if ner == "spacy":
            engine = build_spacy_engine(args.spacy_model or DEFAULT_SPACY_MODEL, keep_legal_references=keep_legal)
        else:
            engine = build_full_engine(args.gliner_model or DEFAULT_GLINER_MODEL,
                                       args.spacy_model or DEFAULT_SPACY_MODEL,
                                       getattr(args, "gliner_backend", None) or DEFAULT_GLINER_BACKEND,
                                       getattr(args, "gliner_batch_size", None) or DEFAULT_GLINER_BATCH_SIZE,
                                       spacy_ner=ner == "both", keep_legal_references=keep_legal)
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

    if not text:
        return []
    results = engine.analyze(text=text, language=LANGUAGE, entities=entities)
    if not raw:
        results = filter_entity_denylist(text, resolve_overlaps(results, text))
    return sorted(results, key=lambda r: (r.start, r.end))


def anonymize_results(text: str, results: list) -> tuple[str, dict]:
    from tarnis.processing import anonymize_text, postprocess_anonymized

    anonymized, entity_map = anonymize_text(text, results)
    return postprocess_anonymized(anonymized, entity_map), entity_map


def anonymize_input(document, results: list) -> tuple[str, dict, bytes | None]:
    """(anonymized text, entity map, anonymized Word package or None) of a
    document read by read_input."""
    from tarnis.host.documents import anonymize_document as anonymize_host_document

    if document.kind == "docx":
        return anonymize_host_document(document, results)
    return (*anonymize_results(document.text, results), None)


def anonymize_document(engine, text: str, entities: list[str] | None) -> tuple[str, dict]:
    return anonymize_results(text, detections(engine, text, entities))


def write_anonymized(source: Path, text: str, anonymized: str, entity_map: dict, anon: Path, emap: Path,
                     force: bool, text_mode: int, warn, data: bytes | None = None) -> Counter:
    """Write a document's entity map, then its anonymized text (or `data`, the
    anonymized Word package); `warn` is told when restoring would not give
    back `text`. Returns the placeholders in the text by type."""
    from tarnis.processing import deanonymize_text

    restored = deanonymize_text(anonymized, entity_map)
    if restored != text:
        at = _first_difference(restored, text)
        line = text.count("\n", 0, at) + 1
        column = at - (text.rfind("\n", 0, at) + 1) + 1
        warn(f"{shown(source)}: restoring from the map will not give back this text exactly (first "
             f"difference at line {line}, column {column}: an entity written in several ways, "
             f"running over a line break, or text that looks like a placeholder); the anonymized "
             f"text is complete")
    map_json = entity_map_json(entity_map, anonymized)
    # The map goes first: an anonymized text without its map could never be restored.
    write_outputs([(emap, map_json.encode("utf-8"), _MAP_FILE_MODE),
                   (anon, anonymized.encode("utf-8") if data is None else data, text_mode)], force=force)
    return _placeholder_counts(anonymized, entity_map)


_SURROGATE = re.compile(r"[\ud800-\udfff]")


def _json_line(record: dict) -> str:
    """One JSON line, non-ASCII text as it is; the bytes of a file name that
    are not UTF-8 (lone surrogates here) as JSON escapes, which read back as
    the same name."""
    line = json.dumps(record, ensure_ascii=False)
    return _SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", line) + "\n"


def detect_output(source: Path, text: str, results: list, as_json: bool, verdicts: dict | None = None,
                  kept: list | None = None) -> str:
    """What `detect` prints for one document: one JSON line per detection, or
    a header and a table. With `verdicts` (--verify) each detection shows the
    model's verdict and `kept` those that stay."""
    if as_json:
        return "".join(_json_line({
            "file": str(source),
            "entity_type": r.entity_type,
            "start": r.start,
            "end": r.end,
            "score": r.score,
            "recognizer": (r.recognition_metadata or {}).get("recognizer_name"),
            "text": text[r.start:r.end],
            **(_verdict_fields(r, verdicts) if verdicts is not None else {}),
        }) for r in results)
    header = f"== {shown(source)}: {len(results)} detection{'s' if len(results) != 1 else ''}"
    if verdicts is not None:
        header += f", {len(kept)} kept after verification"
    return header + "\n" + (_table(results, text, verdicts) if results else "") + "\n"


# --- language-model stages -------------------------------------------------------------------

_START_SERVER = ("Start an OpenAI-compatible chat-completion server there serving that model (for example "
                 "`ollama serve` and `ollama pull {model}`, or llama.cpp's `llama-server --port 11434 -m "
                 "MODEL.gguf`), or give its address with --slm-url and the model with --slm-model; or run "
                 "without {stages}.")


def slm_log_dir(args) -> Path:
    """--slm-log-dir, else `slm-logs` under the output folder, else beside
    the first input."""
    if args.slm_log_dir:
        return Path(args.slm_log_dir)
    if getattr(args, "output", None) and args.command == "anonymize":
        return Path(args.output) / SLM_LOG_FOLDER
    first = Path(args.paths[0])
    return first.absolute().parent / SLM_LOG_FOLDER


def _make_log_dir(folder: Path) -> None:
    """The logs hold document text: a folder created here is its owner's only."""
    if not folder.is_dir():
        try:
            folder.mkdir(mode=0o700, parents=True, exist_ok=True)
        except OSError as e:
            raise UsageError(f"--slm-log-dir {shown(folder)}: cannot create the folder: {e.strerror or e}") from None


class ReviewFailed(DocumentError):
    pass


def _review_pass_class():
    from tarnis.slm.review import SLMReviewPass

    class CommandReviewPass(SLMReviewPass):
        """The review pass, noting which chunks got no usable answer after all
        attempts (the library then contributes nothing for them and goes on;
        the command must not take that for a clean review)."""

        def scan(self, anonymized_text):
            self.chunks = 0
            self.answered = set()
            self.unanswered = []
            return super().scan(anonymized_text)

        def _call_slm(self, chunk, chunk_idx=0):
            found = super()._call_slm(chunk, chunk_idx=chunk_idx)
            self.chunks += 1
            if chunk_idx not in self.answered:
                self.unanswered.append(chunk_idx)
            return found

        def _log(self, chunk_idx, attempt, status, raw_response, entities):
            if status == "ok":
                self.answered.add(chunk_idx)
            super()._log(chunk_idx, attempt, status, raw_response, entities)

    return CommandReviewPass


@dataclass
class SLMStats:
    sent: int = 0
    accepted: int = 0
    rejected: int = 0
    reclassified: int = 0
    unanswered: int = 0
    reviewed: int = 0
    reported: int = 0
    names: int = 0
    name_types: Counter = field(default_factory=Counter)

    def lines(self, verify: bool, review: bool, on_failure: str) -> list[str]:
        out = []
        if verify:
            line = (f"verification: {self.sent} detection{'s' if self.sent != 1 else ''} sent to the model, "
                    f"{self.accepted} accepted ({self.reclassified} reclassified), {self.rejected} rejected")
            if self.unanswered:
                fate = "kept" if on_failure == "accept" else "dropped"
                line += f"; {self.unanswered} without an answer ({fate}, --slm-on-failure {on_failure})"
            out.append(line)
        if review:
            line = (f"review of {self.reviewed} document{'s' if self.reviewed != 1 else ''}: {self.names} missed "
                    f"name{'s' if self.names != 1 else ''} found and replaced ({_by_type(self.name_types)})")
            if self.reported > self.names:
                line += f"; {self.reported - self.names} more reported but not in the text (kept in the map)"
            out.append(line)
        return out


class SLMStages:
    """The language-model stages the user asked for, checked before the first
    document: the server must answer and serve the model, or the command
    stops with exit status 2 having written nothing."""

    def __init__(self, args, console: Console):
        self.verify = bool(getattr(args, "verify", False))
        self.review = bool(getattr(args, "review", False))
        self.on_failure = args.slm_on_failure
        self.stats = SLMStats()
        self.fallback = None
        self.reviewer = None
        if not (self.verify or self.review):
            return
        from tarnis.slm.fallback import SLMFallback

        self.log_dir = slm_log_dir(args)
        self.fallback = SLMFallback(base_url=args.slm_url, model=args.slm_model, required=False,
                                    on_failure=args.slm_on_failure, log_dir=self.log_dir,
                                    timeout=args.slm_timeout)
        if not self.fallback._check_health():
            stages = " and ".join(o for o, on in (("--verify", self.verify), ("--review", self.review)) if on)
            raise UsageError(f"{stages} need{'s' if ' and ' not in stages else ''} a language model: "
                             f"{self.fallback._health_error}\n"
                             + _START_SERVER.format(model=args.slm_model, stages=stages))
        _make_log_dir(self.log_dir)
        console.info(f"language model {args.slm_model} at {args.slm_url}; logs in {shown(self.log_dir)}")
        if self.review:
            import openai

            self.reviewer = _review_pass_class()(
                openai.OpenAI(api_key="local-no-auth", base_url=args.slm_url, timeout=args.slm_timeout),
                args.slm_model,
                log_dir=self.log_dir)

    # -- verification, over the doubtful detections of several documents at once

    def verify_group(self, states: list, console: Console) -> None:
        """Sets `state.kept` (certain results plus those the model kept) and
        `state.verdicts` (id of each result sent -> its SLMVerdict or None)
        for every state; a state whose doubtful results could not be verified
        with --slm-on-failure error gets `state.error`."""
        from tarnis.slm.fallback import SLMUnavailableError

        pairs = []
        for st in states:
            _, ambiguous = self.fallback._split(st.results)
            st.sent = ambiguous
            pairs.extend((st.text, r) for r in ambiguous)
        failure = None
        if pairs:
            def progress(done, total):
                if console.bar is not None:
                    console.bar.set_postfix_str(f"verifying {done}/{total}", refresh=True)

            try:
                self.fallback.filter_multi(pairs, progress_callback=progress)
            except (KeyboardInterrupt, SystemExit, MemoryError):
                raise
            except Exception as e:  # noqa: BLE001 - the documents left unverified fail, the run goes on
                failure = e
            finally:
                if console.bar is not None:
                    console.bar.set_postfix_str("")
        verdicts = {id(v.result): v for v in self.fallback.last_verdicts}
        for st in states:
            st.verdicts = {id(r): verdicts.get(id(r)) for r in st.sent}
            missing = sum(1 for v in st.verdicts.values() if v is None)
            if failure is not None and missing:
                # The library's own unavailability and file-system errors say
                # nothing of the document; any other message might quote it.
                if isinstance(failure, SLMUnavailableError):
                    why = f"(--slm-on-failure error): {failure}"
                elif isinstance(failure, OSError):
                    why = f"({type(failure).__name__}): {failure}"
                else:
                    why = f"({type(failure).__name__}; see {self.log_dir})"
                st.error = DocumentError(
                    f"{shown(st.source)}: the language model could not verify {_count(missing, 'doubtful detection')} "
                    f"{why}")
            st.kept = [r for r in st.results
                       if id(r) not in st.verdicts or st.verdicts[id(r)] is None or st.verdicts[id(r)].accepted]

    def count_verdicts(self, st) -> None:
        for v in st.verdicts.values():
            self.stats.sent += 1
            if v is None:
                self.stats.accepted += 1
                continue
            # No answer, or one naming an entity type outside the catalogue.
            if v.reason in ("slm_unavailable_accept", "batch_failed", "invalid_entity_type_accept",
                            "invalid_entity_type"):
                self.stats.unanswered += 1
            if v.accepted:
                self.stats.accepted += 1
                if v.result.entity_type != v.original_entity_type:
                    self.stats.reclassified += 1
            else:
                self.stats.rejected += 1

    # -- review of one anonymized document

    def review_document(self, source, anonymized: str, entity_map: dict) -> tuple[str, dict, list]:
        missed = self.reviewer.scan(anonymized)
        if self.reviewer.unanswered:
            n, total = len(self.reviewer.unanswered), self.reviewer.chunks
            raise ReviewFailed(
                f"{shown(source)}: the language model gave no usable answer for {n} of {total} part"
                f"{'s' if total != 1 else ''} of the document in the review (see {shown(self.log_dir)}); its "
                f"outputs were not written. Rerun when the server answers, or without --review to "
                f"anonymize it without the review")
        before = {t: set(inner) for t, inner in entity_map.items()}
        anonymized, entity_map = self.reviewer.apply(anonymized, entity_map, missed)
        # Names the model reported go into the map; those that occur in the
        # text (outside placeholders) were replaced.
        added = [(t, ph in anonymized) for t, inner in entity_map.items()
                 for k, ph in inner.items() if k not in before.get(t, ())]
        return anonymized, entity_map, added


@dataclass
class DocState:
    source: Path
    text: str
    results: list
    kept: list = None
    sent: list = field(default_factory=list)
    verdicts: dict = field(default_factory=dict)
    error: Exception | None = None


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


# --- worker processes ------------------------------------------------------------------------

# Test-only hook: a worker kills itself (SIGKILL) when given the document of
# this file name ("NAME"), or once it has written the entity map of that
# document and before the anonymized text takes its name ("NAME:writing"), so
# that tests can see how the command copes with a worker that dies. Never set
# it otherwise.
_TEST_KILL_WORKER_ENV = "TARNIS_TEST_KILL_WORKER_ON"

# What becomes of a document past its analysis, in a worker or in-process.
WORK_ANALYZE = "analyze"        # text and results go back: the command verifies, anonymizes, writes
WORK_ANONYMIZE = "anonymize"    # anonymized and written; the placeholder counts go back
WORK_DETECT = "detect"          # the printout and the counts by type go back

# Documents of `detect` processed at most this far ahead of the first one not
# yet done: their printouts wait in the command until they can be shown in order.
DETECT_AHEAD = 256


def usable_cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:      # no affinity on this platform
        return os.cpu_count() or 1


@dataclass(frozen=True)
class EngineConfig:
    """What a worker process needs to build its own analyzer and do with each
    document what the command would do in-process."""
    rules_only: bool
    gliner_model: str | None
    spacy_model: str | None
    entities: list | None
    raw: bool
    threads: int        # the model's intra-op threads in each worker
    gliner_backend: str | None = None
    gliner_batch_size: int | None = None
    work: str = WORK_ANALYZE
    ner: str | None = None              # --ner
    force: bool = False                 # anonymize: --force
    text_mode: int = 0o644              # anonymize: permissions of the anonymized texts
    as_json: bool = False               # detect: --json
    anonymize_legal_references: bool = False    # --anonymize-legal-references


class _CollectingConsole(Console):
    """A worker's console: warnings go back to the parent, which shows each
    once (not once per worker)."""

    def __init__(self):
        super().__init__(quiet=True)
        self.warnings: list[str] = []

    def warning(self, message: str) -> None:
        self.warnings.append(message)


def document_failure(source, e: BaseException) -> str:
    """How the command reports a document that failed with `e`."""
    return str(e) if isinstance(e, DocumentError) else f"{shown(source)}: {type(e).__name__}: {e}"


def work_on(engine, config: EngineConfig, task: tuple, warn):
    """Read and analyze the document of `task` (its path first), then do the
    configured work with it; returns what goes back to the command, raises
    when the document fails."""
    source = task[0]
    document = read_input(source)
    for warning in document.warnings:
        warn(f"{shown(source)}: {warning}")
    text = document.text
    results = detections(engine, text, config.entities, raw=config.raw)
    if config.work == WORK_ANONYMIZE:
        anonymized, entity_map, data = anonymize_input(document, results)
        return write_anonymized(source, text, anonymized, entity_map, task[1], task[2], config.force,
                                config.text_mode, warn, data)
    if config.work == WORK_DETECT:
        return detect_output(source, text, results, config.as_json), Counter(r.entity_type for r in results)
    return text, results


def do_document(engine, config: EngineConfig, task: tuple) -> tuple[bool, list[str], object]:
    """(True, warnings, what goes back) or (False, warnings, error message)
    for one document; one bad document does not stop the batch."""
    warnings: list[str] = []
    try:
        return True, warnings, work_on(engine, config, task, warnings.append)
    except (KeyboardInterrupt, SystemExit, MemoryError):
        raise
    except Exception as e:  # noqa: BLE001 - reported by name, the others go on
        return False, warnings, document_failure(task[0], e)


def _kill_self() -> None:
    os.kill(os.getpid(), signal.SIGKILL)


def _test_kill_hook(kill_on: str | None):
    """The document name on whose receipt this worker dies, after arming the
    death between its two writes if asked (see _TEST_KILL_WORKER_ENV)."""
    if not kill_on:
        return None
    name, _, when = kill_on.partition(":")
    if when != "writing":
        return name
    commit = StagedFile.commit

    def commit_or_die(self, force):
        if self.target.name.endswith(ANON_SUFFIX) and self.target.name[:-len(ANON_SUFFIX)] + _TXT == name:
            _kill_self()
        commit(self, force)

    StagedFile.commit = commit_or_die
    return None


def _worker_main(conn, config: EngineConfig) -> None:
    """A worker process: builds the analyzer once, then does the configured
    work with the documents it is sent, one at a time, until it is sent None.
    Each answer is small: a status, the document's messages and, unless the
    command anonymizes or verifies itself, no text. When the command is gone
    (killed), the worker ends quietly: there is nobody left to answer."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)     # the parent stops its workers
    try:
        _serve(conn, config)
    except (BrokenPipeError, ConnectionError, EOFError):
        pass


def _serve(conn, config: EngineConfig) -> None:
    # Stopped by the parent, it unwinds like an interrupted run: no staged
    # file is left behind.
    signal.signal(signal.SIGTERM, _terminate)
    console = _CollectingConsole()
    _setup_logging(console, False)
    try:
        if config.rules_only or config.ner == "spacy":
            _import_presidio_without_torch()
        else:
            # Before the model is loaded: an ONNX Runtime session takes its
            # thread count from torch's when it is created.
            try:
                import torch
            except ImportError:
                pass            # reported with its remedy when the analyzer is built
            else:
                torch.set_num_threads(config.threads)
        engine, seconds = build_engine(config, console)
    except UsageError as e:
        conn.send(("usage", str(e)))
        return
    except Exception as e:  # noqa: BLE001 - reported by the parent
        conn.send(("usage", f"cannot build the analyzer: {type(e).__name__}: {e}"))
        return
    conn.send(("ready", seconds, console.warnings))
    kill_on = _test_kill_hook(os.environ.get(_TEST_KILL_WORKER_ENV))
    while True:
        try:
            task = conn.recv()
        except EOFError:
            return
        if task is None:
            return
        index, task = task[0], task[1:]
        if kill_on and task[0].name == kill_on:
            _kill_self()
        try:
            ok, warnings, payload = do_document(engine, config, task)
        except MemoryError as e:
            ok, warnings, payload = False, [], document_failure(task[0], e)
        try:
            conn.send((index, ok, warnings, payload))
        except (BrokenPipeError, ConnectionError):
            raise
        except Exception as e:  # noqa: BLE001 - results that cannot be passed back
            conn.send((index, False, warnings,
                       f"{shown(task[0])}: cannot pass the results to the command: {type(e).__name__}: {e}"))


def _death(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = f"signal {-exitcode}"
        return f"killed by {name}" + (" (out of memory?)" if -exitcode == signal.SIGKILL else "")
    return f"exit status {exitcode}"


@contextmanager
def _sigint_ignored():
    """SIGINT ignored in the block (in the main thread); one that comes meanwhile
    is held and taken after it."""
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, handler)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


class _Worker:
    def __init__(self, ctx, config: EngineConfig):
        self.conn, child = ctx.Pipe()
        self.process = ctx.Process(target=_worker_main, args=(child, config), daemon=True,
                                   name="tarnis-worker")
        # The worker starts with Ctrl-C ignored (inherited by the new
        # program): the parent stops its workers, and a Ctrl-C while one
        # starts would otherwise print its traceback.
        with _sigint_ignored():
            self.process.start()
        child.close()           # the pipe reads as closed once the worker is gone
        self.ready = False
        # (index, task) sent and not yet answered, in the order the worker
        # takes them; the next one waits there while the first is worked on.
        self.tasks: deque[tuple[int, tuple]] = deque()

    def exitcode(self) -> int | None:
        self.process.join(timeout=5)
        return self.process.exitcode


class WorkerPool:
    """Worker processes, each with its own analyzer, that do the configured
    work with documents ("spawn": nothing of the parent's threads or models is
    inherited). A worker that dies fails the document it was working on and is
    replaced; `on_lost(task, pid)` then removes what it may have left of that
    document's outputs."""

    def __init__(self, config: EngineConfig, jobs: int, console: Console, on_lost=None):
        self.ctx = multiprocessing.get_context("spawn")
        self.config = config
        self.on_lost = on_lost
        self.workers: list[_Worker] = []
        started = time.perf_counter()
        try:
            self.workers = [_Worker(self.ctx, config) for _ in range(jobs)]
            warnings: list[str] = []
            for w in self.workers:
                message = self._receive(w)
                if message is None:
                    raise UsageError(f"a worker process died while building the analyzer "
                                     f"({_death(w.exitcode())})")
                if message[0] == "usage":
                    raise UsageError(message[1])
                w.ready = True
                warnings.extend(m for m in message[2] if m not in warnings)
        except BaseException:
            self.close(at_once=True)
            raise
        for m in warnings:
            console.warning(m)
        self.build_seconds = time.perf_counter() - started

    @staticmethod
    def _receive(w: _Worker):
        try:
            return w.conn.recv()
        except (EOFError, OSError):
            return None

    def run(self, tasks: list[tuple], ahead: int | None = None):
        """(index, ok, warnings, what goes back or error message) for each
        task (a tuple, the document's path first), as the tasks finish. No
        task is started `ahead` or more places after the first one not yet
        finished (no limit when None)."""
        todo = deque(enumerate(tasks))
        finished = [False] * len(tasks)
        first = 0
        left = len(tasks)
        ahead = len(tasks) if ahead is None else ahead
        while left:
            while first < len(tasks) and finished[first]:
                first += 1
            for w in self.workers:
                while w.ready and len(w.tasks) < 2 and todo and todo[0][0] < first + ahead:
                    w.tasks.append(todo.popleft())
                    try:
                        w.conn.send((w.tasks[-1][0], *w.tasks[-1][1]))
                    except OSError:
                        break       # it died: its pipe reads as closed below, and it is replaced
            busy = [w for w in self.workers if w.tasks or not w.ready]
            if not busy:
                # Every worker is gone: the documents left fail.
                while todo:
                    index, task = todo.popleft()
                    finished[index] = True
                    left -= 1
                    yield index, False, [], f"{shown(task[0])}: not processed: no worker process left"
                continue
            for conn in wait([w.conn for w in busy]):
                w = next(w for w in busy if w.conn is conn)
                message = self._receive(w)
                if message is None:
                    lost = self._lost(w, todo)
                    if lost is None:
                        continue
                    message = lost
                elif not w.ready:
                    if message[0] == "ready":
                        w.ready = True
                    else:
                        self.workers.remove(w)
                    continue
                elif w.tasks and message[0] == w.tasks[0][0]:
                    w.tasks.popleft()
                else:
                    continue
                finished[message[0]] = True
                left -= 1
                yield message

    def _lost(self, w: _Worker, todo: deque):
        """A worker died: the document it was working on fails (returned as
        a result, or None), those waiting for it go back to the others; a
        worker that was running is replaced."""
        self.workers.remove(w)
        how = _death(w.exitcode())
        failed = None
        if w.tasks:
            index, task = w.tasks.popleft()
            if self.on_lost is not None:
                self.on_lost(task, w.process.pid)
            failed = (index, False, [], f"{shown(task[0])}: the worker process analyzing it died ({how}); "
                                        "the document was not processed")
            todo.extendleft(reversed(w.tasks))      # all before those not yet sent
        if w.ready:
            self.workers.append(_Worker(self.ctx, self.config))
        return failed

    def close(self, at_once: bool = False) -> None:
        """Stop every worker: at once when the run was interrupted, else after
        they read their last message. Workers that write are stopped so that
        they remove their staged files; what a worker killed outright leaves
        is removed here."""
        writes = self.on_lost is not None
        for w in self.workers:
            if at_once:
                if writes:
                    w.process.terminate()
                else:
                    w.process.kill()        # it holds no files
            else:
                try:
                    w.conn.send(None)
                except OSError:
                    pass
        deadline = time.monotonic() + 5
        for w in self.workers:
            w.process.join(timeout=max(0.0, deadline - time.monotonic()))
            if w.process.is_alive():
                w.process.kill()
                w.process.join()
            if writes and w.tasks:
                self.on_lost(w.tasks[0][1], w.process.pid)
            w.conn.close()
        self.workers = []


def _in_order(results, arrived=None):
    """The (index, ...) results of tasks 0, 1, 2... in that order, each as
    soon as it and all before it are there; `arrived()` is called as each
    one comes."""
    waiting = {}
    upcoming = 0
    for result in results:
        if arrived is not None:
            arrived()
        waiting[result[0]] = result
        while upcoming in waiting:
            yield waiting.pop(upcoming)
            upcoming += 1


def engine_config(args, jobs: int, work: str = WORK_ANALYZE) -> EngineConfig:
    return EngineConfig(args.rules_only, args.gliner_model, args.spacy_model, args.entities,
                        getattr(args, "raw", False), threads=max(1, usable_cores() // jobs),
                        gliner_backend=getattr(args, "gliner_backend", None),
                        gliner_batch_size=getattr(args, "gliner_batch_size", None), work=work,
                        ner=getattr(args, "ner", None), force=getattr(args, "force", False),
                        text_mode=_default_file_mode(), as_json=getattr(args, "json", False),
                        anonymize_legal_references=getattr(args, "anonymize_legal_references", False))


@contextmanager
def analysis(args, console: Console, documents: list):
    """The analysis of the command's documents: (prepare, None, build seconds)
    with one analyzer in this process (--jobs 1 or a single document), else
    (None, iterator of prepared states in document order, build seconds) from
    the worker processes, stopped on leaving."""
    jobs = min(args.jobs, len(documents))
    raw = getattr(args, "raw", False)
    if jobs <= 1:
        engine, build_seconds = build_engine(args, console)

        def prepare(source) -> DocState:
            document = read_input(source)
            for warning in document.warnings:
                console.warning(f"{shown(source)}: {warning}")
            text = document.text
            return DocState(source, text, detections(engine, text, args.entities, raw=raw))

        yield prepare, None, build_seconds
        return
    pool = WorkerPool(engine_config(args, jobs), jobs, console)
    # Analyses run at most this far ahead of the one the command waits for.
    ahead = max(4 * jobs, VERIFY_GROUP + 2 * jobs)
    try:
        def states():
            for index, ok, _, value in _in_order(pool.run([(source,) for source in documents], ahead)):
                yield (True, DocState(documents[index], *value)) if ok else (False, value)

        yield None, states(), pool.build_seconds
    except BaseException:
        pool.close(at_once=True)
        raise
    pool.close()


def run_documents(args, console: Console, tasks: list[tuple], work: str, on_result, on_lost=None,
                  ahead: int | None = None) -> tuple[int, list[int], float, float]:
    """Each task (a tuple, the document's path first) read, analyzed and
    worked on (`work`) in this process (--jobs 1 or a single document) or in
    the worker processes, with nothing else for the command to do than to
    report: the documents' messages in their order, `on_result(index, what
    came back)` for each document done, the progress bar counting documents
    as they finish. Returns (done, indices of the failed tasks, seconds,
    seconds to build the analyzer)."""
    jobs = min(args.jobs, len(tasks))
    config = engine_config(args, jobs, work)
    pool = None
    if jobs <= 1:
        engine, build_seconds = build_engine(args, console)
        results = ((index, *do_document(engine, config, task)) for index, task in enumerate(tasks))
    else:
        pool = WorkerPool(config, jobs, console, on_lost)
        build_seconds = pool.build_seconds
        results = pool.run(tasks, ahead)
    done = 0
    failed: list[int] = []
    started = time.perf_counter()
    try:
        with console.progress_bar(len(tasks), unit="doc") as bar:
            for index, ok, warnings, value in _in_order(results, lambda: bar.update(1)):
                for message in warnings:
                    console.warning(message)
                if ok:
                    on_result(index, value)
                    done += 1
                else:
                    console.error(value)
                    failed.append(index)
    except BaseException:
        if pool is not None:
            pool.close(at_once=True)
        raise
    seconds = time.perf_counter() - started
    if pool is not None:
        pool.close()
    return done, failed, seconds, build_seconds


# --- commands --------------------------------------------------------------------------------

def _guarded(console: Console, source, fn, *args) -> tuple[bool, object]:
    """(True, fn(*args)), or (False, None) after reporting the document's
    failure by name."""
    try:
        return True, fn(*args)
    except DocumentError as e:
        console.error(str(e))
    except (KeyboardInterrupt, SystemExit, MemoryError, BrokenPipeError, OutputError):
        raise  # the whole run ends (a closed pipe quietly, in main)
    except Exception as e:  # noqa: BLE001 - one bad document must not stop the batch
        console.error(f"{shown(source)}: {type(e).__name__}: {e}")
    return False, None


def run_batch(items, console: Console, source, process, prepare=None, stages: SLMStages | None = None,
              prepared=None) -> tuple[int, list, float]:
    """Each item goes through `prepare(item)` (reading and analysis: a
    DocState), with --verify the verification of its doubtful detections,
    then `process(item, state)`. With verification, documents are prepared
    in groups whose doubtful detections share one stream of batches. A
    failing document is reported by name and the batch goes on. Returns
    (done, failed items, seconds).

    `prepared`, when given, replaces `prepare`: an iterator of (True, state)
    or (False, error message), one per item in their order (the worker
    processes' analyses)."""
    done = 0
    failed: list = []
    verify = stages is not None and stages.verify
    group_size = VERIFY_GROUP if verify else 1
    started = time.perf_counter()
    with console.progress_bar(len(items), unit="doc") as bar:
        for g in range(0, len(items), group_size):
            group = items[g:g + group_size]
            ready = []
            for item in group:
                if prepared is not None:
                    ok, state = next(prepared)
                    if not ok:
                        console.error(state)
                elif prepare is None:
                    ready.append((item, None))
                    continue
                else:
                    ok, state = _guarded(console, source(item), prepare, item)
                if ok:
                    ready.append((item, state))
                else:
                    failed.append(item)
                    bar.update(1)
            if verify and ready:
                stages.verify_group([state for _, state in ready], console)
            for item, state in ready:
                if state is not None and state.error is not None:
                    console.error(str(state.error))
                    ok = False
                else:
                    ok, _ = _guarded(console, source(item), process, item, state)
                if ok:
                    done += 1
                else:
                    failed.append(item)
                bar.update(1)
    return done, failed, time.perf_counter() - started


def _failed_line(failed: list, source) -> str:
    return f"failed: {_shown([shown(source(item)) for item in failed])}"


def _remove_partial_outputs(anon: Path, emap: Path, pid: int, force: bool) -> None:  # noqa: ARG001
    """What the killed process `pid` may have left of a document's outputs:
    its staged files, and an entity map renamed into place whose text never
    followed, which gives way to the map that was there before (with
    --force), or goes."""
    recover_staged([emap, anon], pid, whole_call=True)


def cmd_anonymize(args, console: Console) -> int:
    outdir = Path(args.output) if args.output else None
    if outdir is not None and outdir.exists() and not outdir.is_dir():
        raise UsageError(f"-o {shown(args.output)}: not a folder")
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
                raise UsageError(f"{shown(planned[key])} and {shown(doc.source)} would both be written to {shown(out)}; "
                                 "name them differently or anonymize them separately")
            if key in inputs:
                raise UsageError(f"the output {shown(out)} of {shown(doc.source)} is itself an input; "
                                 "inputs are never overwritten")
            planned[key] = doc.source
        jobs.append((doc, anon, emap))

    if not args.force:
        ready = []
        for doc, anon, emap in jobs:
            existing = [shown(p) for p in (anon, emap) if os.path.lexists(p)]
            if existing:
                console.error(f"{shown(doc.source)}: {' and '.join(existing)} already exist"
                              f"{'s' if len(existing) == 1 else ''} (use --force to overwrite)")
                failed += 1
            else:
                ready.append((doc, anon, emap))
        jobs = ready

    if not jobs:
        console.info(f"nothing anonymized, {failed} failed")
        return EXIT_FAILED if failed else EXIT_OK

    stages = SLMStages(args, console)
    counts: Counter = Counter()
    text_mode = _default_file_mode()

    def process(job, state: DocState) -> None:
        doc, anon, emap = job
        text = state.text
        document = read_input(doc.source) if _is_word(doc.source) else None
        if document is not None and document.text != text:
            raise DocumentError(f"{shown(doc.source)}: changed while it was being anonymized")
        results = state.kept if stages.verify else state.results
        if document is not None:
            anonymized, entity_map, data = anonymize_input(document, results)
        else:
            (anonymized, entity_map), data = anonymize_results(text, results), None
        added = []
        if stages.review:
            # The map is written only after the review has extended it.
            anonymized, entity_map, added = stages.review_document(doc.source, anonymized, entity_map)
            if document is not None:
                lines = anonymized.split("\n")
                if len(lines) != text.count("\n") + 1:
                    raise DocumentError(f"{shown(doc.source)}: a name the review found runs over two paragraphs "
                                        "of the Word document; nothing was written")
                data = read_input(doc.source).with_lines(lines, entity_map)
        counts.update(write_anonymized(doc.source, text, anonymized, entity_map, anon, emap, args.force,
                                       text_mode, console.warning, data))
        if stages.verify:
            stages.count_verdicts(state)
        if stages.review:
            stages.stats.reviewed += 1
            stages.stats.reported += len(added)
            stages.stats.names += sum(1 for _, replaced in added if replaced)
            stages.stats.name_types.update(t for t, replaced in added if replaced)

    source = lambda job: job[0].source  # noqa: E731
    if not (stages.verify or stages.review):
        # Nothing to do between the analysis and the writing but in order:
        # the workers write the outputs themselves.
        def on_lost(task, pid: int) -> None:
            _remove_partial_outputs(task[1], task[2], pid, args.force)

        done, failed_at, seconds, build_seconds = run_documents(
            args, console, [(doc.source, anon, emap) for doc, anon, emap in jobs], WORK_ANONYMIZE,
            lambda _, found: counts.update(found), on_lost)
        batch_failed = [jobs[i] for i in failed_at]
    else:
        with analysis(args, console, [job[0].source for job in jobs]) as (prepare, prepared, build_seconds):
            if stages.review:
                _ensure_sentence_pipeline(args)
            done, batch_failed, seconds = run_batch(jobs, console, source, process,
                                                    prepare and (lambda job: prepare(job[0].source)), stages,
                                                    prepared)
    failed += len(batch_failed)

    console.info(f"{done} document{'s' if done != 1 else ''} anonymized, {failed} failed, in {seconds:.2f} s "
                 f"({_rate(done, seconds)} documents/s; analyzer built in {build_seconds:.2f} s)")
    console.info(f"entities replaced: {_by_type(counts)}")
    for line in stages.stats.lines(stages.verify, stages.review, stages.on_failure):
        console.info(line)
    if batch_failed:
        console.info(_failed_line(batch_failed, source))
    return EXIT_FAILED if failed else EXIT_OK


def _ensure_sentence_pipeline(args) -> None:
    """The review cuts documents at sentences with the shared pipeline. The
    full analyzer's pipeline serves (loaded here when the analyzer runs in
    worker processes); in rules-only mode a blank Romanian one with a
    rule-based sentencizer is made here (nothing to download)."""
    from tarnis import processing

    if processing._nlp_ro is None:
        import spacy

        if not args.rules_only:
            processing._nlp_ro = spacy.load(_model_argument(args.spacy_model or DEFAULT_SPACY_MODEL,
                                                            "--spacy-model"))
            return
        nlp = spacy.blank(LANGUAGE)
        nlp.add_pipe("sentencizer")
        nlp.max_length = 100_000_000
        processing._nlp_ro = nlp


def cmd_restore(args, console: Console) -> int:
    from tarnis.processing import deanonymize_text

    source, map_path = Path(args.file), Path(args.map)
    out = Path(args.output) if args.output else None
    if out is not None:
        for given in (source, map_path):
            if _same_file(out, given):
                raise UsageError(f"-o {shown(out)} is an input of this command; inputs are never overwritten")
    word = _is_word(source)
    if word and out is None:
        raise UsageError(f"restoring the Word document {shown(source)} needs -o OUT.docx")
    try:
        document = read_input(source)
        text = document.text
        loaded = read_entity_map(map_path)
    except DocumentError as e:
        console.error(str(e))
        return EXIT_FAILED
    entity_map = loaded.entity_map

    if loaded.info is None:
        console.warning(f"{shown(map_path)}: a map without the fingerprint of its text (written by an earlier "
                        f"version): it cannot be checked against {source}, only its placeholders can")
    else:
        mismatch = map_mismatch(text, loaded.info, str(map_path))
        if mismatch is not None:
            if not args.partial:
                console.error(f"{shown(source)}: {mismatch}; nothing was restored (--partial restores a text edited "
                              "on purpose)")
                return EXIT_FAILED
            console.warning(f"{shown(source)}: {mismatch}; restored anyway (--partial)")

    known = {p for inner in entity_map.values() for p in inner.values()}
    found = list(dict.fromkeys(_PLACEHOLDER.findall(text)))
    unknown = [p for p in found if p not in known and p not in loaded.own]
    if unknown:
        # Most likely the map of another document: restoring the placeholders
        # the two share would put that document's data into this one.
        what = f"{_count(len(unknown), 'placeholder')} not in {shown(map_path)}: {_shown(unknown)}"
        if not args.partial:
            console.error(f"{shown(source)}: {what}; is it the map of this document? Nothing was restored "
                          "(--partial restores the placeholders the map knows and leaves the others)")
            return EXIT_FAILED
        console.warning(f"{shown(source)}: {what}; left as they are")
    present = set(found)
    unused = [p for inner in entity_map.values() for p in inner.values() if p not in present]
    if unused:
        unused = list(dict.fromkeys(unused))
        console.warning(f"{shown(source)}: {_count(len(unused), 'placeholder')} of {shown(map_path)} not in the text "
                        f"(text removed after anonymizing?): {_shown(unused)}")
    size, limit = restored_length(text, entity_map), max(_RESTORE_GROWTH * len(text), _RESTORE_FLOOR)
    if size > limit:
        console.error(f"{shown(source)}: restoring from {shown(map_path)} would give {size:,} characters, more than "
                      f"{limit:,} ({_RESTORE_GROWTH} times the text, at least {_RESTORE_FLOOR:,}); "
                      "is it a map made by tarnis anonymize? Nothing was restored")
        return EXIT_FAILED
    restored = document.restored(entity_map) if word else deanonymize_text(text, entity_map).encode("utf-8")

    if out is None:
        console.out(restored.decode("utf-8"))
    else:
        try:
            # The restored text is the original document: as private as the map.
            write_outputs([(out, restored, _MAP_FILE_MODE)], force=args.force)
        except DocumentError as e:
            console.error(str(e))
            return EXIT_FAILED
        except OSError as e:
            console.error(f"{shown(out)}: cannot write: {e.strerror or e}")
            return EXIT_FAILED
    replaced = sum(1 for m in _PLACEHOLDER.finditer(text) if m.group(0) in known)
    console.info(f"restored {replaced} placeholder{'s' if replaced != 1 else ''}"
                 f"{f' into {shown(out)}' if out is not None else ''}")
    return EXIT_OK


def _verdict_fields(r, verdicts: dict) -> dict:
    """What the model said about one detection: sent or not, its verdict
    (accepted, rejected, reclassified), its reason and the type before a
    reclassification."""
    if id(r) not in verdicts:
        return {"slm_sent": False, "slm_verdict": None, "slm_reason": None, "slm_original_type": None}
    v = verdicts[id(r)]
    if v is None:
        return {"slm_sent": True, "slm_verdict": None, "slm_reason": None, "slm_original_type": None}
    reclassified = v.accepted and r.entity_type != v.original_entity_type
    verdict = "reclassified" if reclassified else "accepted" if v.accepted else "rejected"
    return {"slm_sent": True, "slm_verdict": verdict, "slm_reason": v.reason,
            "slm_original_type": v.original_entity_type if reclassified else None}


def _escaped(value: str) -> str:
    return json.dumps(value, ensure_ascii=False)[1:-1]


def _table(results, text: str, verdicts: dict | None = None) -> str:
    rows = []
    for r in results:
        row = [r.entity_type, str(r.start), str(r.end), f"{r.score:.2f}",
               str(r.recognition_metadata.get("recognizer_name", "") if r.recognition_metadata else "")]
        if verdicts is not None:
            f = _verdict_fields(r, verdicts)
            verdict = "-" if not f["slm_sent"] else (f["slm_verdict"] or "no answer")
            if f["slm_original_type"]:
                verdict += f" (was {f['slm_original_type']})"
            row += [verdict, _escaped(f["slm_reason"] or "")]
        rows.append(row + [_escaped(text[r.start:r.end])])
    header = ["TYPE", "START", "END", "SCORE", "RECOGNIZER"] + (["SLM", "REASON"] if verdicts is not None else [])
    header.append("TEXT")
    padded = len(header) - 1
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(padded)]
    right = {1, 2, 3}

    def line(row):
        cells = [row[i].rjust(widths[i]) if i in right else row[i].ljust(widths[i]) for i in range(padded)]
        return "  ".join(cells + [row[padded]])

    return "\n".join(line(row) for row in [header, *rows]) + "\n"


def cmd_detect(args, console: Console) -> int:
    documents, failed = collect_documents(args.paths, console)
    if not documents:
        return EXIT_FAILED
    stages = SLMStages(args, console)
    counts: Counter = Counter()

    def process(doc, state: DocState) -> None:
        text, results = state.text, state.results
        verdicts = state.verdicts if stages.verify else None
        # With --verify every detection is shown with the model's verdict;
        # only those kept are counted.
        kept = state.kept if stages.verify else results
        counts.update(r.entity_type for r in kept)
        if stages.verify:
            stages.count_verdicts(state)
        console.out(detect_output(doc.source, text, results, args.json, verdicts, kept))

    source = lambda doc: doc.source  # noqa: E731
    if not stages.verify:
        def show(_, value) -> None:
            output, found = value
            console.out(output)
            counts.update(found)

        done, failed_at, seconds, build_seconds = run_documents(
            args, console, [(doc.source,) for doc in documents], WORK_DETECT, show, ahead=DETECT_AHEAD)
        batch_failed = [documents[i] for i in failed_at]
    else:
        with analysis(args, console, [doc.source for doc in documents]) as (prepare, prepared, build_seconds):
            done, batch_failed, seconds = run_batch(documents, console, source, process,
                                                    prepare and (lambda doc: prepare(doc.source)), stages,
                                                    prepared)
    failed += len(batch_failed)
    console.info(f"{done} document{'s' if done != 1 else ''} analyzed, {failed} failed, in {seconds:.2f} s "
                 f"({_rate(done, seconds)} documents/s; analyzer built in {build_seconds:.2f} s)")
    console.info(f"detections: {_by_type(counts)}")
    for line in stages.stats.lines(stages.verify, False, stages.on_failure):
        console.info(line)
    if batch_failed:
        console.info(_failed_line(batch_failed, source))
    return EXIT_FAILED if failed else EXIT_OK


# --- command line ----------------------------------------------------------------------------

def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary (warnings and errors are still shown)")
    p.add_argument("-v", "--verbose", action="store_true", help="log what the library does (model loading)")


def _positive_count(value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of at least 1: {value!r}")
    return n


def _positive_seconds(value: str) -> float:
    try:
        n = float(value)
    except ValueError:
        n = 0.0
    if not (0 < n < float("inf")):
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {value!r}")
    return n


def _add_models(p: argparse.ArgumentParser, jobs: bool = True) -> None:
    g = p.add_argument_group("models")
    g.add_argument("--rules-only", action="store_true",
                   help="only the rule-based recognizers, over a blank Romanian pipeline; needs no download; "
                        "finds the names of persons that directly follow a role word (inculpatul, reclamanta, "
                        "domnul, subsemnatul, titular, ...), but no other names and no organizations")
    g.add_argument("--ner", choices=NER_SOURCES, metavar="{" + ",".join(NER_SOURCES) + "}",
                   help="where names of persons and organizations come from: gliner (the neural model, the "
                        "default), spacy (the named-entity recognizer of the spaCy pipeline, e.g. --spacy-model "
                        "ro_legal_fl; no neural model needed), or both (overlap resolution chooses)")
    g.add_argument("--gliner-model", metavar="NAME|DIR",
                   help=f"GLiNER model name on the model hub or local folder (default {DEFAULT_GLINER_MODEL})")
    g.add_argument("--spacy-model", metavar="NAME|DIR",
                   help=f"spaCy Romanian pipeline package or folder (default {DEFAULT_SPACY_MODEL})")
    g.add_argument("--gliner-backend", choices=GLINER_BACKENDS, metavar="{" + ",".join(GLINER_BACKENDS) + "}",
                   help="how the neural model runs: torch (PyTorch, the default); onnx (ONNX Runtime on the CPU, "
                        "faster, the same findings; exported once into the folder 'onnx' of the model folder); "
                        "onnx-int8 (8-bit weights: faster still, scores differ slightly)")
    g.add_argument("--gliner-batch-size", type=_positive_count, metavar="N",
                   help=f"chunks of text the neural model reads at once (default {DEFAULT_GLINER_BATCH_SIZE}; "
                        "the same findings for every N; lower it to save memory, 1: one chunk at a time)")
    g.add_argument("--anonymize-legal-references", action="store_true",
                   help="also anonymize numbers of published acts (Legea nr. 8/1996, H.G. nr. 1027/2014, "
                        "M.O. nr. 863/2005, art. 228), which stay in the text by default, and year ranges "
                        "(1805-1857, 2003/2004)")
    g.add_argument("--entities", metavar="TYPE,...",
                   help="only these entity types (for example CNP,IBAN_CODE); default: all")
    if jobs:
        g.add_argument("-j", "--jobs", type=_positive_count, default=usable_cores(), metavar="N",
                       help="process documents in N worker processes, each with its own analyzer and a share "
                            "of the cores (default: the usable cores, here %(default)s); 1: in this process")


def _add_slm(p: argparse.ArgumentParser, review: bool) -> None:
    g = p.add_argument_group("language-model stages (a local OpenAI-compatible chat-completion server)")
    g.add_argument("--verify", action="store_true",
                   help="ask the model about doubtful detections (CODE, ORGANIZATION, USERNAME, PASSWORD "
                        "below their thresholds) and drop those it rejects")
    if review:
        g.add_argument("--review", action="store_true",
                       help="after anonymizing, ask the model for names of persons and organizations left in "
                            "the text and replace them too; a document the model cannot review fails")
    g.add_argument("--slm-url", metavar="URL", default=DEFAULT_SLM_URL,
                   help=f"the server's base address (default {DEFAULT_SLM_URL})")
    g.add_argument("--slm-model", metavar="NAME", default=DEFAULT_SLM_MODEL,
                   help=f"the model to ask (default {DEFAULT_SLM_MODEL})")
    g.add_argument("--slm-on-failure", choices=("accept", "reject", "error"), default="accept",
                   help="when the model cannot answer during --verify: keep the doubtful detections "
                        "(accept, the default: they are anonymized), drop them (reject: personal data among "
                        "them stays in clear), or fail the document (error)")
    g.add_argument("--slm-log-dir", metavar="DIR",
                   help=f"folder of the model logs, which hold document text (default: {SLM_LOG_FOLDER} in the "
                        "output folder, or beside the first input)")
    verify_tries, review_tries = _CLIENT_TRIES * _VERIFY_ATTEMPTS, _CLIENT_TRIES * _REVIEW_ATTEMPTS
    worst = (f"the client tries a request up to {_CLIENT_TRIES} times and --verify makes up to {_VERIFY_ATTEMPTS} "
             f"attempts, so a server that never answers holds one batch for up to {verify_tries} x SECONDS "
             f"({verify_tries * DEFAULT_SLM_TIMEOUT / 60:g} min by default; twice that when the model leaves part of "
             f"the batch unanswered and is asked again for the rest)")
    if review:
        worst += (f"; --review makes {_REVIEW_ATTEMPTS} attempts: up to {review_tries} x SECONDS per part of a "
                  f"document ({review_tries * DEFAULT_SLM_TIMEOUT / 60:g} min)")
    g.add_argument("--slm-timeout", type=_positive_seconds, default=DEFAULT_SLM_TIMEOUT, metavar="SECONDS",
                   help=f"how long one request waits for the server (default {DEFAULT_SLM_TIMEOUT:g}); {worst}")


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
    _add_slm(p, review=True)
    _add_common(p)
    p.set_defaults(run=cmd_anonymize)

    p = sub.add_parser("restore", help="restore an anonymized document from its entity map",
                       description="Put the original texts back in place of the placeholders. A text "
                                   "holding placeholders that the map does not know (the map of another "
                                   "document?) is an error and nothing is written, unless --partial.")
    p.add_argument("file", metavar="FILE", help="anonymized text file")
    p.add_argument("--map", required=True, metavar="MAP.json", help="the entity map written by anonymize")
    p.add_argument("-o", "--output", metavar="OUT", help="file to write (default: standard output)")
    p.add_argument("-f", "--force", action="store_true", help="overwrite OUT if it exists")
    p.add_argument("--partial", action="store_true",
                   help="restore what the map knows even when the text holds placeholders it does not know "
                        "(they are left as they are, with a warning)")
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
    _add_slm(p, review=False)
    _add_common(p)
    p.set_defaults(run=cmd_detect)

    from tarnis.spark import add_spark_command   # Spark itself is imported only when that command runs
    add_spark_command(sub)
    return parser


def _terminate(signum, frame):  # noqa: ARG001
    raise SystemExit(128 + signum)


def _drop_stdout() -> None:
    """Standard output cannot take more: what is still buffered for it is
    dropped, so that leaving the interpreter does not try to write it again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "rules_only", False) and (args.gliner_model or args.spacy_model or args.gliner_backend
                                               or args.gliner_batch_size):
        parser.error("--rules-only takes no --gliner-model, --spacy-model, --gliner-backend or --gliner-batch-size")
    if getattr(args, "rules_only", False) and getattr(args, "ner", None):
        parser.error("--rules-only takes no --ner (rules find no names from a model)")
    if getattr(args, "ner", None) == "spacy" and (args.gliner_model or args.gliner_backend or args.gliner_batch_size):
        parser.error("--ner spacy runs no neural model: it takes no --gliner-model, --gliner-backend or "
                     "--gliner-batch-size")

    if getattr(args, "raw", False) and args.verify:
        parser.error("--raw shows the recognizers' results before filtering; it takes no --verify")
    if hasattr(args, "verify") and not (args.verify or getattr(args, "review", False)):
        given = [o for o, v, d in (("--slm-url", args.slm_url, DEFAULT_SLM_URL),
                                   ("--slm-model", args.slm_model, DEFAULT_SLM_MODEL),
                                   ("--slm-on-failure", args.slm_on_failure, "accept"),
                                   ("--slm-log-dir", args.slm_log_dir, None),
                                   ("--slm-timeout", args.slm_timeout, DEFAULT_SLM_TIMEOUT)) if v != d]
        if given:
            parser.error(f"{', '.join(given)}: no language-model stage asked for (add --verify"
                         f"{' or --review' if args.command == 'anonymize' else ''})")

    console = Console(quiet=args.quiet)
    _setup_logging(console, args.verbose)
    if getattr(args, "rules_only", False) or getattr(args, "ner", None) == "spacy":
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
        _drop_stdout()
        return EXIT_FAILED
    except OutputError as e:
        _drop_stdout()
        console.error(str(e))
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
