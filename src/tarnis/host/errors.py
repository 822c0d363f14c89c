"""The errors a front reports, and how messages name files and count things."""

from __future__ import annotations

import os


class UsageError(Exception):
    """A problem with the options or the models: nothing can be done (the
    command's exit status 2)."""


class DocumentError(Exception):
    """A problem with one document; the others are still processed."""


_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def escape_char(ch: str) -> str:
    code = ord(ch)
    if ch in _ESCAPES:
        return _ESCAPES[ch]
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"    # a byte of the name that is not UTF-8
    if code < 0x100:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def shown(path) -> str:
    """A file name as messages print it: characters that are not printable
    (line breaks, escape sequences, invisible format characters, bytes that
    are not UTF-8) are escaped, so that no name can fake a line of output or
    drive the terminal. Every message naming a file goes through here."""
    text = os.fspath(path) if isinstance(path, os.PathLike) else str(path)
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else escape_char(ch) for ch in text)


def count(n: int, noun: str) -> str:
    return f"{n} {noun}{'s' if n != 1 else ''}"


def listed(items: list[str], limit: int = 20) -> str:
    return ", ".join(items[:limit]) + (f" and {len(items) - limit} more" if len(items) > limit else "")
