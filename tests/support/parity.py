"""Helpers for checking that the native regex wrapper matches exactly what
Python's `re` matches, on fixed samples and on generated text."""

from __future__ import annotations

import re

from hypothesis import strategies as st

from tarnis import _native

# Characters where a Python-dialect engine most easily goes wrong: Romanian
# letters in comma-below and cedilla forms (and capitals), combining marks,
# the information separators that str.isspace() accepts, NBSP and other
# Unicode spaces, line breaks, digits from other scripts, letters whose case
# mapping is special, lone surrogates and NUL.
TRICKY = (
    "ăâîșțşţĂÂÎȘȚŞŢ"
    "\u0301\u0306\u0327\u0326"
    "\x1c\x1d\x1e\x1f\xa0\u2009\u3000\u200b\u180e\x85"
    "\n\r\t\x0b\x0c\u2028"
    "٣۴߂०"
    "İıſKµΣσς"
    "\ud800\udfff\x00"
    "-.,:;/#_()[]+"
)

ROMANIAN_SAMPLES = [
    "Subsemnatul Ion Popescu, CNP 1850101123456, domiciliat în str. Mihai Eminescu nr. 5, bl. A2, ap. 12, Cluj-Napoca.",
    "Doamna Maria Ionescu (C.N.P.: 2900202123457) și SC Exemplu SRL, cod fiscal RO12345678.",
    "Ștefan Șerban și Ştefan Şerban, Țugui și Ţugui: aceeași persoană în două grafii.",
    "Plata în contul RO49 AAAA 1B31 0075 9384 0000 la BTRLRO22, tel. 0721 234 567 sau +373 22 123456.",
    "Dosar nr. 1234/211/2023, auto CJ 12 ABC, seria AB nr. 123456 din 12.03.2024.",
    "cnp:1234567890128\u00a0CNP\u20091234567890125\nC.N.P\u30001234567890128",
    "[PERSON_NAME_1] a vorbit cu [ORGANIZATION_12] și [CNP_٣].",
    "",
    " ",
    "\ud800CNP 1234567890128\udfff",
]


def _py_spans(match: re.Match) -> tuple:
    return tuple(match.span(g) for g in range(len(match.groups()) + 1))


def assert_same(pattern: str, flags: int, text: str) -> None:
    """Compare finditer, search from several positions, match and fullmatch."""
    py = re.compile(pattern, flags)
    nat = _native.compile(pattern, flags)
    expected = [_py_spans(m) for m in py.finditer(text)]
    assert nat.finditer(text) == expected, (pattern, text)
    for pos in {0, 1, len(text) // 2, len(text)}:
        m = py.search(text, pos)
        assert nat.search(text, pos) == (_py_spans(m) if m else None), (pattern, text, pos)
    m = py.match(text)
    assert nat.match(text) == (_py_spans(m) if m else None), (pattern, text)
    m = py.fullmatch(text)
    assert nat.fullmatch(text) == (_py_spans(m) if m else None), (pattern, text)


def texts(samples: list[str]) -> st.SearchStrategy[str]:
    """Text built from pieces of the samples and tricky characters."""
    pieces = [s[i:i + n] for s in samples for n in (1, 3, 8, 20) for i in range(0, max(len(s) - n, 0) + 1, n)]
    pieces = [p for p in pieces if p] or ["a"]
    piece = st.one_of(
        st.sampled_from(pieces),
        st.sampled_from(list(TRICKY)),
        st.text(max_size=3),
        st.characters(codec=None, exclude_categories=()).map(str),
    )
    return st.lists(piece, max_size=30).map("".join)
