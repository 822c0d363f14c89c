"""Documents as users have them: plain text, Word (.docx) and PDF.

`read_document(path)` gives a document whose `text` is what the engine
analyzes. A Word document's text is every piece of text it holds - body
paragraphs and tables (nested too), text boxes, headers and footers of every
section, footnotes, endnotes, comments, deleted text of tracked changes, field
codes, hyperlink targets and the descriptive properties - one piece a line, so
that one document gets one entity map and one numbering. `anonymize_document`
replaces the detections in place, run by run, and `WordDocument.restored`
puts the originals back the same way. A PDF's text layer is read page by page;
the PDF itself is never rewritten (its anonymized form is text).
"""

from __future__ import annotations

import io
import re
import signal
import zipfile
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

from tarnis.host.defaults import PLACEHOLDER as _PLACEHOLDER

WORD_SUFFIX = ".docx"
PDF_SUFFIX = ".pdf"
TEXT_SUFFIX = ".txt"

# What a Word package may inflate to in all, and the share one member may take
# of its compressed size: beyond either it is refused as a ZIP bomb.
MAX_INFLATED_BYTES = 200 * 1024 * 1024
MAX_RATIO = 200
# A PDF whose text extraction takes longer than this is refused (some damaged
# files make extractors loop).
PDF_SECONDS = 60
PDF_MAX_PAGES = 5000

_W = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
_XML_SPACE = "{http://www.w3.org/XML/1998/namespace}space"
_TEXT_TAGS = {f"{{{_W}}}t", f"{{{_W}}}delText", f"{{{_W}}}instrText"}
_PARAGRAPH = f"{{{_W}}}p"

# Parts whose text is read, by content type, in this order after the main document.
_CT = "application/vnd.openxmlformats-officedocument.wordprocessingml."
_TEXT_PARTS = {
    _CT + "document.main+xml": 0, _CT + "header+xml": 1, _CT + "footer+xml": 2, _CT + "footnotes+xml": 3,
    _CT + "endnotes+xml": 4, _CT + "comments+xml": 5,
}
_MACRO_MAIN = "application/vnd.ms-word.document.macroEnabled.main+xml"
_EXTERNAL_LINK = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink"
# Core properties that are text of the document (anonymized and restored),
# and properties and attributes that name people (cleared).
_CORE_TEXT = ("title", "subject", "keywords", "comments", "category")
_CORE_PEOPLE = ("author", "last_modified_by")
_APP_PEOPLE = ("Company", "Manager")
_PEOPLE_ATTRIBUTES = ("author", "initials", "userId", "providerId")
_PEOPLE_XPATH = "//*[@*[" + " or ".join(f"local-name()='{a}'" for a in _PEOPLE_ATTRIBUTES) + "]]"


class DocumentFormatError(Exception):
    """A document that cannot be read as its kind: the message says why."""


@dataclass
class TextDocument:
    """A UTF-8 text file."""
    path: Path
    text: str
    kind: str = "text"
    warnings: list = field(default_factory=list)


@dataclass
class PdfDocument:
    """The text layer of a PDF, page after page (pages separated by a form
    feed line break). Its anonymized form is text."""
    path: Path
    text: str
    pages: int
    kind: str = "pdf"
    warnings: list = field(default_factory=list)


class _Piece:
    """One line of a Word document's text: text nodes whose characters it
    joins, a relationship target or a property."""

    def __init__(self, nodes=None, get=None, put=None):
        self.nodes = nodes or []            # [element, original text, start offset]
        self.get, self.put = get, put       # for a target or a property
        self.text = "".join(n[1] for n in self.nodes) if nodes is not None else get()

    def analysis_text(self) -> str:
        # A line break inside a piece would shift the lines of the joined text.
        return self.text.replace("\n", " ").replace("\r", " ")

    def replace(self, replacements) -> None:
        """Replace [start, end) stretches of the piece's text: the new text
        goes into the node holding the first character, the other nodes only
        lose the replaced characters."""
        if not self.nodes:
            text = self.text
            for start, end, new in sorted(replacements, reverse=True):
                text = text[:start] + new + text[end:]
            self.put(text)
            return
        for start, end, new in sorted(replacements, reverse=True):
            first = True
            for node in self.nodes:
                element, original, node_start = node
                node_end = node_start + len(original)
                if node_end <= start:
                    continue
                if node_start >= end:
                    break
                current = element.text or ""
                a, b = max(start, node_start) - node_start, min(end, node_end) - node_start
                element.text = current[:a] + (new if first else "") + current[b:]
                if element.tag == f"{{{_W}}}t":
                    element.set(_XML_SPACE, "preserve")
                first = False


class WordDocument:
    """A .docx package with the pieces of text it holds."""

    kind = "docx"

    def __init__(self, path: Path, data: bytes):
        import docx
        from lxml import etree

        self.path = path
        self.warnings: list[str] = []
        self._doc = docx.Document(io.BytesIO(data))
        self._blob_parts = []               # (part, element) of parts python-docx keeps as bytes
        self.pieces: list[_Piece] = []
        package = self._doc.part.package
        parts = sorted((p for p in package.iter_parts() if p.content_type in _TEXT_PARTS),
                       key=lambda p: (_TEXT_PARTS[p.content_type], str(p.partname)))
        for part in parts:
            element = getattr(part, "element", None)
            if element is None:
                element = etree.fromstring(part.blob)
                self._blob_parts.append((part, element))
            self._read_part(element)
            self._clear_people(element)
            for rel in list(part.rels.values()):
                if rel.is_external and rel.reltype == _EXTERNAL_LINK:
                    self.pieces.append(_Piece(get=lambda r=rel: r._target,
                                              put=lambda value, r=rel: setattr(r, "_target", value)))
        core = self._doc.core_properties
        for name in _CORE_TEXT:
            if getattr(core, name):
                self.pieces.append(_Piece(get=lambda n=name: getattr(core, n) or "",
                                          put=lambda value, n=name: setattr(core, n, value)))
        for name in _CORE_PEOPLE:
            if getattr(core, name):
                setattr(core, name, "")
        # The package's thumbnail is a picture of the first page, personal data
        # included: it leaves the package.
        for rid, rel in list(package.rels.items()):
            if rel.reltype.endswith("/metadata/thumbnail"):
                del package.rels[rid]
        embedded = False
        for part in package.iter_parts():
            partname = str(part.partname)
            if partname.endswith("/people.xml"):
                element = etree.fromstring(part.blob)
                self._clear_people(element)
                self._blob_parts.append((part, element))
            elif partname == "/docProps/app.xml":
                element = etree.fromstring(part.blob)
                for child in element:
                    if etree.QName(child).localname in _APP_PEOPLE:
                        child.text = None
                self._blob_parts.append((part, element))
            elif part.content_type.startswith("image/") or "/embeddings/" in partname or "/media/" in partname:
                embedded = True
        if embedded:
            self.warnings.append("holds images or embedded objects, which are copied unread: they may hold "
                                 "personal data")
        self.text = "\n".join(p.analysis_text() for p in self.pieces)

    def _read_part(self, root) -> None:
        """One piece per paragraph, in document order of its first text; the
        text of a text box belongs to the text box's own paragraphs, field codes
        are pieces of their own."""
        groups: dict = {}
        for node in root.iter(*_TEXT_TAGS):
            paragraph = node.getparent()
            while paragraph is not None and paragraph.tag != _PARAGRAPH:
                paragraph = paragraph.getparent()
            key = (paragraph, node.tag == f"{{{_W}}}instrText")
            groups.setdefault(key, []).append(node)
        for nodes in groups.values():
            entries, offset = [], 0
            for node in nodes:
                text = node.text or ""
                entries.append([node, text, offset])
                offset += len(text)
            if offset:
                self.pieces.append(_Piece(nodes=entries))

    @staticmethod
    def _clear_people(root) -> None:
        """Authors and initials of comments and tracked changes (and the
        people list) name persons: cleared."""
        for element in root.xpath(_PEOPLE_XPATH):
            for attribute in list(element.attrib):
                if attribute.rsplit("}", 1)[-1] in _PEOPLE_ATTRIBUTES:
                    element.set(attribute, "")

    def line_starts(self) -> list[int]:
        starts, offset = [], 0
        for piece in self.pieces:
            starts.append(offset)
            offset += len(piece.analysis_text()) + 1
        return starts

    def _save(self) -> bytes:
        from lxml import etree

        for part, element in self._blob_parts:
            part._blob = etree.tostring(element, xml_declaration=True, encoding="UTF-8", standalone=True)
        out = io.BytesIO()
        self._doc.save(out)
        return out.getvalue()

    def with_lines(self, lines: list[str], entity_map: dict) -> bytes:
        """The package with each piece's text replaced by the given line (the
        piece's text with placeholders in place of some stretches)."""
        if len(lines) != len(self.pieces):
            raise ValueError("one line per piece of text is needed")
        keys: dict = {}
        every = set()
        for inner in _snapshot(entity_map):
            for key, placeholder in inner:
                keys.setdefault(placeholder, set()).add(key)
                every.add(key)
        for piece, line in zip(self.pieces, lines):
            original = piece.analysis_text()
            if line != original:
                piece.replace(_aligned_replacements(original, line, keys, every))
        return self._save()

    def restored(self, entity_map: dict, occurrences: list[str] | None = None) -> bytes:
        """The package with every placeholder the map knows replaced by the
        first text the map holds for it, in the run the placeholder stood in;
        with `occurrences`, every placeholder-shaped text by the text given
        for it (in the order of `text`, see tarnis.host.spellings)."""
        texts: dict = {}
        for inner in _snapshot(entity_map):
            for key, placeholder in inner:
                texts.setdefault(placeholder, key)
        if occurrences is not None and len(occurrences) != len(_PLACEHOLDER.findall(self.text)):
            raise ValueError("one text per placeholder of the document is needed")
        at = 0
        for piece in self.pieces:
            matches = list(_PLACEHOLDER.finditer(piece.text))
            if occurrences is not None:
                given, at = occurrences[at:at + len(matches)], at + len(matches)
                found = [(m.start(), m.end(), t) for m, t in zip(matches, given) if t != m.group()]
            else:
                found = [(m.start(), m.end(), texts[m.group()]) for m in matches if m.group() in texts]
            if found:
                piece.replace(found)
        return self._save()


def _snapshot(entity_map: dict) -> list:
    return [list(inner.items()) for inner in entity_map.values() if isinstance(inner, dict)]


def _aligned_replacements(original: str, line: str, keys: dict, every: set) -> list:
    """The (start, end, placeholder) stretches of `original` that `line`
    replaced. The line is walked against the original: literal stretches
    are equal, and each placeholder stands for the stretch up to where the
    next literal resumes whose white-space-normalized text is a key of the map
    for it (any key, for a canonical placeholder of another spelling). A
    placeholder-shaped text the map does not know is literal."""
    out = []
    parts = _PLACEHOLDER.split(line)
    found = _PLACEHOLDER.findall(line)
    pos = 0
    pending = parts[0]
    if not original.startswith(pending):
        raise ValueError("the anonymized line does not follow the original")
    pos = len(pending)
    for placeholder, literal in zip(found, parts[1:]):
        if placeholder not in keys and original.startswith(placeholder + literal, pos):
            pos += len(placeholder) + len(literal)
            continue
        end = None
        for candidates in (keys.get(placeholder, set()), every):
            end = next((x for x in range(pos + 1, len(original) + 1)
                        if original.startswith(literal, x) and " ".join(original[pos:x].split()) in candidates),
                       None)
            if end is not None:
                break
        if end is None:
            raise ValueError("the anonymized line does not follow the original")
        out.append((pos, end, placeholder))
        pos = end + len(literal)
    return out


def anonymize_document(document, results: list, entity_map: dict | None = None) -> tuple[str, dict, bytes | None]:
    """Anonymize `document` (from read_document) with the engine's results on
    its text: (anonymized text, entity map, the anonymized file's bytes for a
    Word document or None); against `entity_map` (a case's, extended in
    place) when given. In a Word document a result is cut at the line
    breaks between pieces, and further occurrences are replaced piece by
    piece, so no placeholder spans two paragraphs."""
    from tarnis.processing import anonymize_text, postprocess_anonymized

    text = document.text
    if not isinstance(document, WordDocument):
        anonymized, entity_map = anonymize_text(text, results, entity_map=entity_map)
        return postprocess_anonymized(anonymized, entity_map), entity_map, None
    cut = _cut_at_lines(text, results)
    anonymized, entity_map = anonymize_text(text, cut, entity_map=entity_map)
    final = postprocess_anonymized(anonymized, entity_map)
    if final.count("\n") == anonymized.count("\n"):
        # No further occurrence ran over a line break: the lines still match the pieces.
        lines = final.split("\n")
    else:
        lines = [postprocess_anonymized(line, entity_map) if line else line for line in anonymized.split("\n")]
    data = document.with_lines(lines, entity_map)
    return "\n".join(lines), entity_map, data


def _cut_at_lines(text: str, results: list) -> list:
    """Results that run over a line break, cut into one result per line (each
    trimmed of white space); the others as they are."""
    from presidio_analyzer import RecognizerResult

    out = []
    for r in list(results):
        span = text[r.start:r.end]
        if "\n" not in span:
            out.append(r)
            continue
        offset = r.start
        for line in span.split("\n"):
            stripped = line.strip()
            if stripped:
                start = offset + line.index(stripped)
                out.append(RecognizerResult(r.entity_type, start, start + len(stripped), r.score,
                                            r.analysis_explanation, dict(r.recognition_metadata or {})))
            offset += len(line) + 1
    return out


def _check_word_package(path: Path, data: bytes) -> None:
    if data[:8] == b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1":
        raise DocumentFormatError("a password-protected or legacy Word file (an OLE container), not a .docx: "
                                  "remove the password or save it as .docx first")
    if not zipfile.is_zipfile(io.BytesIO(data)):
        raise DocumentFormatError("not a Word document (not a ZIP package)")
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as package:
            names = set()
            total = 0
            for info in package.infolist():
                names.add(info.filename)
                total += info.file_size
                if total > MAX_INFLATED_BYTES:
                    raise DocumentFormatError(f"inflates to more than {MAX_INFLATED_BYTES // (1024 * 1024)} MB "
                                              "(a ZIP bomb?); refused")
                if info.compress_size and info.file_size > MAX_RATIO * info.compress_size \
                        and info.file_size > 1024 * 1024:
                    raise DocumentFormatError(f"{info.filename} inflates {info.file_size // info.compress_size} "
                                              "times its size (a ZIP bomb?); refused")
            if "word/document.xml" not in names:
                raise DocumentFormatError("not a Word document (no word/document.xml in the package)")
            content_types = package.read("[Content_Types].xml") if "[Content_Types].xml" in names else b""
    except zipfile.BadZipFile as e:
        raise DocumentFormatError(f"damaged Word package ({e})") from None
    if _MACRO_MAIN.encode() in content_types or "word/vbaProject.bin" in names:
        raise DocumentFormatError("a macro-enabled Word document (.docm) under another name; refused")


@contextmanager
def _time_limit(seconds: int):
    """SIGALRM-based bound, in the main thread only (elsewhere unbounded)."""
    import threading

    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "setitimer"):
        yield
        return

    def expired(signum, frame):  # noqa: ARG001
        raise TimeoutError

    previous = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _read_pdf(path: Path, data: bytes) -> PdfDocument:
    import logging

    import pypdf
    from pypdf.errors import PdfReadError

    logging.getLogger("pypdf").setLevel(logging.ERROR)
    try:
        with _time_limit(PDF_SECONDS):
            reader = pypdf.PdfReader(io.BytesIO(data))
            if reader.is_encrypted:
                raise DocumentFormatError("an encrypted PDF: decrypt it first")
            if len(reader.pages) > PDF_MAX_PAGES:
                raise DocumentFormatError(f"more than {PDF_MAX_PAGES} pages; refused")
            pages = [page.extract_text() or "" for page in reader.pages]
    except DocumentFormatError:
        raise
    except TimeoutError:
        raise DocumentFormatError(f"reading its text took more than {PDF_SECONDS} s (a damaged PDF?); "
                                  "refused") from None
    except (PdfReadError, ValueError, KeyError, TypeError, AttributeError, RecursionError, OSError) as e:
        raise DocumentFormatError(f"a damaged PDF ({type(e).__name__})") from None
    if not any(page.strip() for page in pages):
        raise DocumentFormatError("no text layer: run OCR first")
    return PdfDocument(path, "\n\f\n".join(pages), len(pages))


def document_kind(path: Path) -> str:
    suffix = path.suffix.lower()
    return {WORD_SUFFIX: "docx", PDF_SUFFIX: "pdf"}.get(suffix, "text")


def read_document(path, data: bytes | None = None):
    """The document at `path` (its bytes may be given): a TextDocument, a
    WordDocument or a PdfDocument by its suffix. Raises DocumentFormatError
    for a file that is not what its suffix says, and UnicodeDecodeError for a
    text file that is not UTF-8."""
    path = Path(path)
    if data is None:
        data = path.read_bytes()
    kind = document_kind(path)
    if kind == "docx":
        _check_word_package(path, data)
        try:
            return WordDocument(path, data)
        except DocumentFormatError:
            raise
        except Exception as e:  # noqa: BLE001 - python-docx's and lxml's errors on damaged parts
            raise DocumentFormatError(f"a damaged Word document ({type(e).__name__})") from None
    if kind == "pdf":
        return _read_pdf(path, data)
    return TextDocument(path, data.decode("utf-8"))
