"""Exact restore: the spelling of every occurrence of a placeholder.

One placeholder stands for every spelling of an entity that differs only in
case, white space, line breaks or punctuation, and the entity map keeps one
white-space-normalized text per spelling; restoring from the map alone puts
one text back everywhere. What restores the document byte for byte is the
text each occurrence replaced. It is found by walking the anonymized text
against the original (literal stretches equal, each placeholder standing for
the stretch up to where the next literal resumes whose letters and digits are
those of a text the map holds for it) and kept, for the occurrences whose
text is not the placeholder's base text, as two fields of the map file's
document entry (see tarnis.host.maps):

    "spellings":       "spellings:" + a JSON list of [occurrence, text] pairs
    "original-sha256": "sha256:" + the SHA-256 of the original text (UTF-8)

An occurrence is the index of a placeholder-shaped match in the anonymized
text, counting from 0. The base text of a placeholder is the first text the
map holds for it under its own entity type (the type in its name; the first
anywhere if none), which stays the same as a map is extended. The values of
both fields are no placeholders, so a program that hands the map file to
deanonymize_text gets what it got before.
"""

from __future__ import annotations

import json
from hashlib import sha256

from tarnis.host.defaults import PLACEHOLDER, placeholder_type

SPELLINGS = "spellings"
ORIGINAL = "original-sha256"
_SPELLINGS_PREFIX = "spellings:"
_SHA256_PREFIX = "sha256:"


class SpellingsError(ValueError):
    """The spellings of a map do not fit its text (damaged or edited)."""


def _digest(text: str) -> str:
    return _SHA256_PREFIX + sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def _letters(ch: str) -> str:
    """What a character keeps of itself in the dedup key of an entity: ASCII
    letters and digits and the Latin letters U+00C0 to U+024F, lower-cased."""
    if ch.isascii() and ch.isalnum() or "\u00c0" <= ch <= "\u024f":
        return ch.lower()
    return ""


def _forms(entity_map: dict) -> dict[str, set[str]]:
    """The dedup keys of the texts the map holds for each placeholder."""
    forms: dict[str, set[str]] = {}
    for inner in list(entity_map.values()):
        if isinstance(inner, dict):
            for text, placeholder in list(inner.items()):
                if isinstance(text, str) and isinstance(placeholder, str):
                    forms.setdefault(placeholder, set()).add("".join(map(_letters, text)))
    return forms


def base_texts(entity_map: dict) -> dict[str, str]:
    """The base text of each placeholder of the map."""
    own: dict[str, str] = {}
    anywhere: dict[str, str] = {}
    for entity_type, inner in list(entity_map.items()):
        if not isinstance(inner, dict):
            continue
        for text, placeholder in list(inner.items()):
            if not PLACEHOLDER.fullmatch(placeholder):
                continue
            anywhere.setdefault(placeholder, text)
            if placeholder_type(placeholder) == entity_type:
                own.setdefault(placeholder, text)
    return {**anywhere, **own}


def occurrence_texts(original: str, anonymized: str, entity_map: dict) -> list[str] | None:
    """The text of `original` that each placeholder-shaped match of
    `anonymized` stands for (the match itself where it was in the original),
    such that putting them in gives back `original`; None when the anonymized
    text does not follow the original that way. Stretches whose letters and
    digits are those of a text the map holds for the placeholder are tried
    first; failing that (a text the map holds in another form), any stretch
    up to a few times the longest text of the map."""
    parts = PLACEHOLDER.split(anonymized)
    found = PLACEHOLDER.findall(anonymized)
    if not original.startswith(parts[0]):
        return None
    if not found:
        return [] if original == anonymized else None
    forms = _forms(entity_map)
    longest = {p: max(map(len, f)) for p, f in forms.items()}
    reach = 4 * max((len(t) for inner in entity_map.values() if isinstance(inner, dict) for t in inner),
                    default=0) + 64
    return _walk(original, parts, found, forms, longest, None) or _walk(original, parts, found, forms, longest, reach)


def _walk(original: str, parts: list[str], found: list[str], forms: dict, longest: dict, reach: int | None):
    """occurrence_texts() by a depth-first search over the ends of the
    stretches, with the dead ends remembered; strict (the stretch's letters
    are those of one of the placeholder's texts) when `reach` is None, else
    any stretch of at most `reach` characters."""
    end = len(original)
    last = len(found) - 1

    def candidates(i: int, pos: int):
        """Ends of the stretch placeholder i may stand for, from `pos`,
        shortest first, then the placeholder's own text."""
        placeholder, literal = found[i], parts[i + 1]

        def fits(x: int) -> bool:
            if i == last:
                return x + len(literal) == end and original.endswith(literal)
            return original.startswith(literal, x)

        keys = forms.get(placeholder)
        if reach is not None and keys:
            yield from (x for x in range(pos, min(end, pos + reach) + 1) if fits(x))
        elif keys:
            letters, x, most = "", pos, longest[placeholder]
            while True:
                if letters in keys and fits(x):
                    yield x
                if x == end or len(letters) > most:
                    break
                letters += _letters(original[x])
                x += 1
        if original.startswith(placeholder, pos) and fits(pos + len(placeholder)):
            yield pos + len(placeholder)

    failed: set[tuple[int, int]] = set()
    start = len(parts[0])
    stack = [(0, start, candidates(0, start))]
    chosen: list[tuple[int, int]] = []
    while stack:
        i, pos, ends = stack[-1]
        x = next(ends, None)
        if x is None:
            failed.add((i, pos))
            stack.pop()
            if chosen:
                chosen.pop()
            continue
        if i == last:
            chosen.append((pos, x))
            return [original[a:b] for a, b in chosen]
        following = x + len(parts[i + 1])
        if (i + 1, following) in failed:
            continue
        chosen.append((pos, x))
        stack.append((i + 1, following, candidates(i + 1, following)))
    return None


def spellings_fields(original: str, anonymized: str, entity_map: dict) -> dict[str, str] | None:
    """The fields that restore `original` exactly from `anonymized` and the
    map: the texts of the occurrences that are not their placeholder's base
    text, and the digest of the original. None when the anonymized text does
    not follow the original (exact restore is then not available)."""
    texts = occurrence_texts(original, anonymized, entity_map)
    if texts is None:
        return None
    base = base_texts(entity_map)
    found = PLACEHOLDER.findall(anonymized)
    differing = [[i, t] for i, (p, t) in enumerate(zip(found, texts)) if t != base.get(p, p)]
    return {SPELLINGS: _SPELLINGS_PREFIX + json.dumps(differing, ensure_ascii=False, separators=(",", ":")),
            ORIGINAL: _digest(original)}


def has_spellings(info: dict | None) -> bool:
    return info is not None and (SPELLINGS in info or ORIGINAL in info)


def exact_occurrences(anonymized: str, entity_map: dict, info: dict) -> list[str]:
    """The text of each placeholder-shaped match of `anonymized` as the
    document entry `info` (with the spelling fields) and the map give it; the
    text they make is checked against the original's digest. SpellingsError
    says what does not fit."""
    value, digest = info.get(SPELLINGS), info.get(ORIGINAL)
    if not (isinstance(value, str) and value.startswith(_SPELLINGS_PREFIX)
            and isinstance(digest, str) and digest.startswith(_SHA256_PREFIX)):
        raise SpellingsError("its spellings entry is damaged")
    try:
        pairs = json.loads(value[len(_SPELLINGS_PREFIX):], parse_float=lambda _: None,
                           parse_constant=lambda _: None)
    except (json.JSONDecodeError, RecursionError, ValueError):
        raise SpellingsError("its spellings entry is not valid JSON") from None
    found = PLACEHOLDER.findall(anonymized)
    base = base_texts(entity_map)
    texts = [base.get(p, p) for p in found]
    previous = -1
    if not isinstance(pairs, list):
        raise SpellingsError("its spellings entry is not a list")
    for n, pair in enumerate(pairs, 1):
        if not (isinstance(pair, list) and len(pair) == 2 and type(pair[0]) is int and isinstance(pair[1], str)):
            raise SpellingsError(f"spelling {n} is not an [occurrence, text] pair")
        if not previous < pair[0] < len(found):
            raise SpellingsError(f"spelling {n} is for occurrence {pair[0]}, which the text does not have "
                                 f"(it has {len(found)} placeholders; spellings go in order)")
        previous = pair[0]
        texts[pair[0]] = pair[1]
    if _digest(put_in(anonymized, texts)) != digest:
        raise SpellingsError("the text its spellings make is not the original (the map was edited?)")
    return texts


def put_in(anonymized: str, texts: list[str]) -> str:
    """`anonymized` with its placeholder-shaped matches replaced by `texts`."""
    parts = PLACEHOLDER.split(anonymized)
    out = [parts[0]]
    for text, literal in zip(texts, parts[1:]):
        out.append(text)
        out.append(literal)
    return "".join(out)
