"""The command's documents: finding them under the paths given, naming their
outputs, and reading them (text, Word or PDF) without ever blocking on a
file that is not a regular one."""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass
from pathlib import Path

from tarnis.host.errors import DocumentError, shown

ANON_SUFFIX = ".anon.txt"
_DOCX = ".docx"
_PDF = ".pdf"
ANON_DOCX_SUFFIX = ".anon.docx"
MAP_SUFFIX = ".map.json"
_TXT = ".txt"

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


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)
