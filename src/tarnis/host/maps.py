"""The map file: the entity map of one anonymized document, as JSON, with
an entry that ties it to the anonymized text it was made for (and, where the
map alone would restore another text, the spellings that restore it exactly:
tarnis.host.spellings); reading one back, encrypted or not
(tarnis.host.mapcrypt), and telling whether a text is the one a map was made
for. The format is described in docs/map-files.md."""

from __future__ import annotations

import json
import os
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

from tarnis.host.defaults import PLACEHOLDER as _PLACEHOLDER
from tarnis.host.errors import DocumentError, shown
from tarnis.host.errors import count as _count

# A map file is the library's entity map plus one reserved top-level entry,
# MAP_INFO, that ties it to the anonymized text it was made for. Its values are
# strings that are not placeholders (and carry a prefix no document holds), so
# a program that loads the file and calls deanonymize_text gets the same text
# as from the bare map. Top-level keys beginning with "tarnis:" are never
# entity types (those are upper-case letters and underscores): they are
# reserved for such entries, and readers skip the ones they do not know.
MAP_INFO = "tarnis:document"
_MAP_RESERVED = "tarnis:"
MAP_FORMAT = "tarnis-map/2"
_SHA256_PREFIX = "sha256:"
_LINES_PREFIX = "lines:"
_OWN_PREFIX = "own:"


def _line_hashes(text: str) -> list[str]:
    """A short hash of every line of `text` (split at line feeds), white space
    collapsed, so that a changed line ending or indentation does not make a
    line count as changed."""
    from hashlib import blake2b

    return [blake2b(" ".join(line.split()).encode("utf-8", "surrogatepass"), digest_size=4).hexdigest()
            for line in text.split("\n")]


def _text_digest(text: str) -> str:
    from hashlib import sha256

    return _SHA256_PREFIX + sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def map_fingerprint(anonymized: str, entity_map: dict) -> dict[str, str]:
    """The entry MAP_INFO of a map file: the digest of the anonymized text, a
    hash per line of it (to tell an edited text from another document's), and
    the placeholder-shaped texts that were in the document itself (without
    their brackets, so that none of the values is a placeholder)."""
    known = {p for inner in entity_map.values() for p in inner.values()}
    own = dict.fromkeys(p for p in _PLACEHOLDER.findall(anonymized) if p not in known)
    return {
        "format": MAP_FORMAT,
        "anonymized-sha256": _text_digest(anonymized),
        "anonymized-lines": _LINES_PREFIX + " ".join(_line_hashes(anonymized)),
        "own-placeholders": _OWN_PREFIX + " ".join(p[1:-1] for p in own),
    }


def entity_map_json(entity_map: dict, anonymized: str | None = None, spellings: dict | None = None, *,
                    documents: dict | None = None) -> str:
    """The entity map as the command writes it: indented UTF-8 JSON with
    non-ASCII characters as they are, ending with a newline; with the
    `anonymized` text it was made for, followed by the entry MAP_INFO (with
    the `spellings` fields of tarnis.host.spellings when given); or, for a
    case map, with the `documents` of the case (document_record), followed by
    the entries CASE_INFO and CASE_DOCUMENTS."""
    if anonymized is not None:
        info = map_fingerprint(anonymized, entity_map)
        if spellings:
            info.update(spellings)
        entity_map = {**entity_map, MAP_INFO: info}
    elif documents is not None:
        entity_map = {**entity_map, CASE_INFO: {"format": CASE_FORMAT}, CASE_DOCUMENTS: documents}
    return json.dumps(entity_map, ensure_ascii=False, indent=2) + "\n"


# A case map (`anonymize --map CASE.map.json`) is the entity map of every
# document of a case, plus two reserved entries: CASE_INFO, its format, and
# CASE_DOCUMENTS, one entry per document anonymized with it: the digest of
# the document's anonymized text -> "lines:HASHES own:PLACEHOLDERS" (what
# MAP_INFO holds for one document). Both are dicts of strings that are not
# placeholders, so the file still reads as the library's entity map.
CASE_INFO = "tarnis:case"
CASE_DOCUMENTS = "tarnis:documents"
CASE_FORMAT = "tarnis-case-map/1"
_OWN_SEPARATOR = " " + _OWN_PREFIX


# After the own placeholders, a document whose occurrences need their own
# spellings to be restored exactly has " exact:ORIGINAL-DIGEST SPELLINGS"
# (the fields of tarnis.host.spellings).
_EXACT_SEPARATOR = " exact:"


def document_record(anonymized: str, known, exact: dict | None = None) -> tuple[str, str]:
    """(key, value) of a document's entry in CASE_DOCUMENTS; `known` holds
    the placeholders of the case map (the others in the text were in the
    document itself); `exact`, the spelling fields that restore the
    document byte for byte."""
    from tarnis.host.spellings import ORIGINAL, SPELLINGS

    own = dict.fromkeys(p for p in _PLACEHOLDER.findall(anonymized) if p not in known)
    value = _LINES_PREFIX + " ".join(_line_hashes(anonymized)) + _OWN_SEPARATOR + " ".join(p[1:-1] for p in own)
    if exact:
        value += _EXACT_SEPARATOR + exact[ORIGINAL] + " " + exact[SPELLINGS]
    return _text_digest(anonymized), value


def case_document(text: str, documents: dict) -> tuple[dict | None, frozenset]:
    """The document of a case map that `text` is, as a MAP_INFO entry for
    map_mismatch, and its own placeholders: the one of the same digest, or
    else the one that shares most lines with it (an edited text). (None,
    empty) for a case without documents."""
    record = documents.get(_text_digest(text))
    key = _text_digest(text)
    if record is None:
        current = Counter(_line_hashes(text))
        best = -1
        for k, value in documents.items():
            shared = sum((Counter(value[len(_LINES_PREFIX):].split(_OWN_SEPARATOR)[0].split()) & current).values())
            if shared > best:
                best, key, record = shared, k, value
        if record is None:
            return None, frozenset()
    from tarnis.host.spellings import ORIGINAL, SPELLINGS

    record, _, exact = record.partition(_EXACT_SEPARATOR)
    lines, _, owned = record.partition(_OWN_SEPARATOR)
    info = {"format": MAP_FORMAT, "anonymized-sha256": key, "anonymized-lines": lines}
    if exact:
        info[ORIGINAL], _, info[SPELLINGS] = exact.partition(" ")
    return info, frozenset(f"[{p}]" for p in owned.split())


def map_file_json(original: str, anonymized: str, entity_map: dict, *, always: bool = False) -> tuple[str, bool]:
    """(the map file's text, whether restoring gives back `original` byte
    for byte) of a document anonymized as `anonymized`. The spellings of the
    occurrences go into the entry MAP_INFO where the map alone would restore
    another text (or, with `always`, for every document whose text follows
    its original: a map that will grow keeps restoring it exactly); a map
    that restores exactly without them is written as it always was."""
    from tarnis.processing import deanonymize_text

    from tarnis.host.spellings import spellings_fields

    fields = None
    exact = deanonymize_text(anonymized, entity_map) == original
    if always or not exact:
        fields = spellings_fields(original, anonymized, entity_map)
        exact = exact or fields is not None
    return entity_map_json(entity_map, anonymized, fields), exact



class _JsonNumber:
    """Stands for a number in a map file: numbers are never part of an entity
    map, and converting a number of thousands of digits would fail."""


def _json_number(_value: str) -> _JsonNumber:
    return _JsonNumber()


def _quoted(name: str, limit: int = 40) -> str:
    """An entity type or entry name of a map, safe to print."""
    return json.dumps(name if len(name) <= limit else name[:limit] + "...")


@dataclass
class MapFile:
    """A map file: the entity map, and the entry MAP_INFO (None in a map
    written before such entries existed, and in a case map); for a case map,
    its entry CASE_DOCUMENTS (None in the map of one document)."""
    entity_map: dict
    info: dict | None
    own: frozenset = frozenset()     # placeholders that were in the document itself
    documents: dict | None = None


def parse_entity_map(content: str) -> MapFile:
    """The map of a map file's text; DocumentError names what is wrong
    without quoting the file (it holds personal data)."""
    if not content.strip():
        raise DocumentError("empty file, not an entity map")
    try:
        data = json.loads(content, parse_int=_json_number, parse_float=_json_number,
                          parse_constant=_json_number)
    except json.JSONDecodeError as e:
        raise DocumentError(f"not a JSON entity map ({e.msg} at offset {e.pos})") from None
    except RecursionError:
        raise DocumentError("not an entity map (JSON nested too deeply)") from None
    valid = isinstance(data, dict) and all(
        isinstance(t, str) and isinstance(inner, dict)
        and all(isinstance(k, str) and isinstance(v, str) for k, v in inner.items())
        for t, inner in data.items())
    if not valid:
        raise DocumentError("not an entity map (expected {entity type: {text: placeholder}})")
    entity_map = {t: inner for t, inner in data.items() if not t.startswith(_MAP_RESERVED)}
    # A map that anonymize made maps texts to placeholders; anything else
    # could only rewrite the document or blow it up.
    for t, inner in entity_map.items():
        for i, (k, v) in enumerate(inner.items(), 1):
            if not _PLACEHOLDER.fullmatch(v):
                raise DocumentError(f"not an entity map made by tarnis: entry {i} of {_quoted(t)} does not map "
                                    f"to a placeholder [TYPE_N] but to {_quoted(v)}")
            if not k:
                raise DocumentError(f"not an entity map made by tarnis: entry {i} of {_quoted(t)} has an empty text")
    info = data.get(MAP_INFO)
    own: frozenset = frozenset()
    if info is not None:
        if info.get("format") != MAP_FORMAT:
            raise DocumentError(f"map format {_quoted(str(info.get('format')))} is not known to this version "
                                f"(it reads {MAP_FORMAT})")
        digest, lines, owned = (info.get(k, "") for k in ("anonymized-sha256", "anonymized-lines",
                                                            "own-placeholders"))
        if not (digest.startswith(_SHA256_PREFIX) and lines.startswith(_LINES_PREFIX)
                and owned.startswith(_OWN_PREFIX)):
            raise DocumentError(f"the entry {_quoted(MAP_INFO)} is damaged")
        own = frozenset(f"[{p}]" for p in owned[len(_OWN_PREFIX):].split())
    case, documents = data.get(CASE_INFO), data.get(CASE_DOCUMENTS)
    if case is not None or documents is not None:
        if info is not None:
            raise DocumentError(f"both the map of one document and a case map (entries {_quoted(MAP_INFO)} and "
                                f"{_quoted(CASE_INFO)})")
        if case is None or case.get("format") != CASE_FORMAT:
            found = None if case is None else case.get("format")
            raise DocumentError(f"case map format {_quoted(str(found))} is not known to this version "
                                f"(it reads {CASE_FORMAT})")
        documents = documents if documents is not None else {}
        for i, (k, v) in enumerate(documents.items(), 1):
            if not (k.startswith(_SHA256_PREFIX) and v.startswith(_LINES_PREFIX) and _OWN_SEPARATOR in v):
                raise DocumentError(f"the entry {_quoted(CASE_DOCUMENTS)} is damaged (at its document {i})")
    return MapFile(entity_map, info, own, documents)


def _read_regular_file(path: Path, what: str) -> bytes:
    """The bytes of `path`, which must be a regular file: a FIFO, a socket or
    a device is refused before anything could block on it or read without
    end (and checked again on the opened file, which cannot block)."""
    import stat

    def kind(mode: int) -> str | None:
        for test, name in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a device"),
                           (stat.S_ISBLK, "a device"), (stat.S_ISDIR, "a folder")):
            if test(mode):
                return name
        return None if stat.S_ISREG(mode) else "not a regular file"

    try:
        found = kind(os.stat(path).st_mode)
        if found is not None:
            raise DocumentError(f"{shown(path)}: {found}, not {what}")
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0))
    except OSError as e:
        raise DocumentError(f"{shown(path)}: cannot read: {e.strerror or e}") from None
    with os.fdopen(fd, "rb") as f:
        try:
            found = kind(os.fstat(f.fileno()).st_mode)
            if found is not None:
                raise DocumentError(f"{shown(path)}: {found}, not {what}")
            return f.read()
        except OSError as e:
            raise DocumentError(f"{shown(path)}: cannot read: {e.strerror or e}") from None


def read_entity_map(path: Path, keys=None) -> MapFile:
    """The map file at `path`; an encrypted one is opened with `keys` (a
    tarnis.host.mapcrypt.MapKeys), whose MapKeyError says why it cannot be."""
    from tarnis.host.mapcrypt import open_map

    data = open_map(_read_regular_file(path, "an entity map"), keys, shown(path))
    try:
        content = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise DocumentError(f"{shown(path)}: not valid UTF-8 (byte 0x{data[e.start]:02x} at offset {e.start})") from None
    try:
        return parse_entity_map(content)
    except DocumentError as e:
        raise DocumentError(f"{shown(path)}: {e}") from None


def map_mismatch(text: str, info: dict, map_name: str = "the map") -> str | None:
    """None when `text` is the anonymized text the map entry `info` was
    written with; otherwise how it differs, as far as its line hashes tell:
    an edited text keeps most of its lines, another document shares few."""
    if _text_digest(text) == info["anonymized-sha256"]:
        return None
    recorded = info["anonymized-lines"][len(_LINES_PREFIX):].split()
    current = _line_hashes(text)
    first = next((i for i, (a, b) in enumerate(zip(recorded, current)) if a != b), min(len(recorded), len(current)))
    blank = _line_hashes("")[0]
    was = Counter(h for h in recorded if h != blank)
    now = Counter(h for h in current if h != blank)
    shared = sum((was & now).values())
    total = max(sum(was.values()), sum(now.values()))
    if shared == total and len(recorded) == len(current):
        return (f"changed since {map_name} was made for it (white space only, the first at line {first + 1}; "
                "edited after anonymizing?)")
    if total and 2 * shared >= total:
        return (f"changed since {map_name} was made for it ({total - shared} of {_count(total, 'line')} changed, "
                f"added or removed, the first at line {first + 1}; edited after anonymizing?)")
    return (f"not the text {map_name} was made for ({shared} of {_count(total, 'line')} in common; the map of "
            "another document?)")


# The restored text may grow beyond its anonymized form only so much: a map
# whose texts are huge, or repeated placeholders, must not fill the disk.
_RESTORE_GROWTH = 100
_RESTORE_FLOOR = 10 * 2**20


def restored_length(text: str, entity_map: dict) -> int:
    """The length of deanonymize_text(text, entity_map), found without
    building it."""
    first: dict[str, str] = {}
    for inner in entity_map.values():
        for k, v in inner.items():
            first.setdefault(v, k)
    growth = {p: len(k) - len(p) for p, k in first.items()}
    return len(text) + sum(growth.get(m.group(0), 0) for m in _PLACEHOLDER.finditer(text))
