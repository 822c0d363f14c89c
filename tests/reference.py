"""Straightforward pure-Python versions of the native post-processing functions
and of the CNP and IDNP recognizers' scans.

They are written for clarity, not speed: the tests compare the native modules
with them on generated inputs, and the benchmarks use them as the baseline.
"""

from __future__ import annotations

import copy
import re

PLACEHOLDER_RE = re.compile(r"\[[A-Z_]+_\d+\]")
HIGH_SPECIFICITY_TYPES = frozenset(
    {"IBAN_CODE", "CREDIT_CARD", "BIC", "EMAIL_ADDRESS", "PHONE_NUMBER", "IP_ADDRESS", "URL", "CNP", "IDNP"})
POSTPROCESS_ENTITY_TYPES = frozenset(
    {"PERSON_NAME", "ORGANIZATION", "EMAIL_ADDRESS", "PHONE_NUMBER", "IBAN_CODE", "CREDIT_CARD", "BIC", "URL",
     "IP_ADDRESS", "DOMIVIA", "CNP", "IDNP"})
NAME_PREFIXES = re.compile(
    r"^(?:prof\.?\s+dr\.?|dr\.?|prof\.?|ing\.?|av\.?|dl\.?|dna\.?|doamna|domnul|doamnei|domnului|familia|tata|"
    r"mama|so[țt]ul|so[țt]ia|fiul|fiica|bunica|bunicul|fratele|sora)\s+", re.IGNORECASE | re.UNICODE)

CNP_WEIGHTS = [2, 7, 9, 1, 4, 6, 3, 5, 8, 2, 7, 9]
CNP_CONTEXT_RE = re.compile(r"(?:CNP|C\.N\.P\.)\s*:?\s*(\d{13})\b", re.IGNORECASE)
CNP_STANDALONE_RE = re.compile(r"\b([1-8]\d{2}(?:0[1-9]|1[0-2])(?:0[1-9]|[12]\d|3[01])\d{6})\b")


def valid_cnp_checksum(cnp: str) -> bool:
    total = sum(int(cnp[i]) * CNP_WEIGHTS[i] for i in range(12))
    remainder = total % 11
    expected = 1 if remainder == 10 else remainder
    return int(cnp[12]) == expected


def cnp_spans(text: str) -> list[tuple[int, int, float, str]]:
    """(start, end, score, explanation) of what the CNP recognizer reports."""
    out, seen = [], set()
    for m in CNP_CONTEXT_RE.finditer(text):
        span = m.span(1)
        if span in seen:
            continue
        seen.add(span)
        score = 0.95 if valid_cnp_checksum(m.group(1)) else 0.85
        out.append((*span, score, "CNP keyword context"))
    for m in CNP_STANDALONE_RE.finditer(text):
        span = m.span(1)
        if span not in seen and valid_cnp_checksum(m.group(1)):
            seen.add(span)
            out.append((*span, 0.85, "Standalone CNP with valid checksum"))
    return out


IDNP_WEIGHTS = [7, 3, 1] * 4


def valid_idnp_checksum(idnp: str) -> bool:
    return int(idnp[12]) == sum(int(idnp[i]) * IDNP_WEIGHTS[i] for i in range(12)) % 10


def idnp_spans(text: str, context_re: re.Pattern) -> list[tuple[int, int, float, str]]:
    """(start, end, score, explanation) of what the IDNP recognizer reports,
    given its keyword pattern: numbers after a CNP keyword and valid CNPs
    without an IDNP keyword are left to the CNP recognizer."""
    cnp_keyword = {m.span(1) for m in CNP_CONTEXT_RE.finditer(text)}

    def valid_cnp(digits: str) -> bool:
        return CNP_STANDALONE_RE.fullmatch(digits) is not None and valid_cnp_checksum(digits)

    out, seen = [], set()
    for m in context_re.finditer(text):
        span, digits = m.span(1), m.group(1)
        if span in cnp_keyword or int(digits[0]) not in (0, 2) or span in seen:
            continue
        seen.add(span)
        score = 1.0 if valid_idnp_checksum(digits) else 0.9 if valid_cnp(digits) else 0.85
        out.append((*span, score, "IDNP keyword context"))
    for m in re.finditer(r"\b([02]\d{12})\b", text):
        span, digits = m.span(1), m.group(1)
        if span in seen or span in cnp_keyword or not valid_idnp_checksum(digits) or valid_cnp(digits):
            continue
        seen.add(span)
        out.append((*span, 0.85, "Standalone IDNP with valid checksum"))
    return out


def normalize_whitespace(text: str) -> str:
    return re.sub(r"\s+", " ", text).strip()


def normalize_entity(text: str) -> str:
    return re.sub(r"[^a-zA-Z0-9\u00C0-\u024F]", "", text).lower()


def dedup_key(text: str) -> str:
    # Texts without any letter or digit of the kept ranges are keyed by their
    # white-space-normalized text so that they never share a placeholder.
    key = normalize_entity(text)
    return key if key else "\0" + normalize_whitespace(text)


def resolve_overlaps(results: list, text: str = "", trim: bool = True, cut_text: str | None = None) -> list:
    """Overlap resolution; `trim=False` gives the plain greedy walk, which
    drops every result overlapping one kept before it. `cut_text` (default:
    `text`) is the text narrowed results are cut clean in."""
    if not results:
        return results
    valid = [r for r in results if r.start < r.end]
    high_spec = [r for r in valid if r.entity_type in HIGH_SPECIFICITY_TYPES]

    def hs_suffix(code, hs) -> bool:
        return bool(text) and code.start < hs.start <= hs.end <= code.end and hs.start > 0 \
            and text[hs.start - 1] == "-"

    def overlaps_high_spec(r) -> bool:
        for hs in high_spec:
            if r.start < hs.end and hs.start < r.end:
                if r.entity_type == "CODE" and hs_suffix(r, hs):
                    continue
                return True
        return False

    rest = [r for r in valid if not (r.entity_type == "CODE" and overlaps_high_spec(r))]
    cnp = {(r.start, r.end) for r in rest if r.entity_type == "CNP"}
    rest = [r for r in rest
            if not (r.entity_type == "CREDIT_CARD" and r.end - r.start == 13 and (r.start, r.end) in cnp)]
    rest.sort(key=lambda r: (-r.score, -(r.end - r.start), r.start))
    if not trim:
        kept = []
        for r in rest:
            if not any(r.start < k.end and k.start < r.end for k in kept):
                kept.append(r)
        return kept
    return _select_keeping_high_spec(rest, text if cut_text is None else cut_text)


def _strip_cut(text, start, end, cut_start, cut_end):
    def strippable(i):
        return 0 <= i < len(text) and not text[i].isalnum()
    while cut_start and start < end and strippable(start):
        start += 1
    while cut_end and end > start and strippable(end - 1):
        end -= 1
    return start, end


def _with_span(r, start, end):
    if (start, end) == (r.start, r.end):
        return r
    dup = copy.copy(r)
    dup.start, dup.end = start, end
    return dup


def _select_keeping_high_spec(ordered, text):
    """The greedy walk, except that a high-specificity result that only
    partly overlaps a kept one is kept too: kept results of other types are
    narrowed to what lies outside it, kept high-specificity ones cut it into
    the pieces outside them (both cut clean of non-alphanumerics)."""
    kept = []  # [start, end, result]; never overlapping
    for r in ordered:
        over = sorted((k for k in kept if r.start < k[1] and k[0] < r.end), key=lambda k: k[0])
        if not over:
            kept.append([r.start, r.end, r])
            continue
        if r.entity_type not in HIGH_SPECIFICITY_TYPES:
            continue
        if any(k[0] <= r.start and r.end <= k[1] for k in over):
            continue
        if all(r.start <= k[0] and k[1] <= r.end for k in over):
            continue
        pieces, at = [], r.start
        for k in over:
            if k[2].entity_type in HIGH_SPECIFICITY_TYPES:
                if k[0] > at:
                    pieces.append(_strip_cut(text, at, k[0], at != r.start, True))
                at = max(at, k[1])
        if at < r.end:
            pieces.append(_strip_cut(text, at, r.end, at != r.start, False))
        pieces = [p for p in pieces if p[0] < p[1]]
        if not pieces:
            continue
        for k in over:
            if k[2].entity_type in HIGH_SPECIFICITY_TYPES:
                continue
            parts = [(k[0], k[1])]
            for ps, pe in pieces:
                nxt = []
                for qs, qe in parts:
                    if pe <= qs or qe <= ps:
                        nxt.append((qs, qe))
                        continue
                    if qs < ps:
                        nxt.append(_strip_cut(text, qs, ps, False, True))
                    if pe < qe:
                        nxt.append(_strip_cut(text, pe, qe, True, False))
                parts = nxt
            parts = [q for q in parts if q[0] < q[1]]
            assert len(parts) <= 1, parts
            if parts:
                k[0], k[1] = parts[0]
            else:
                kept.remove(k)
        for ps, pe in pieces:
            kept.append([ps, pe, r])
    return [_with_span(k[2], k[0], k[1]) for k in kept]


def anonymize_text(text: str, results: list):
    counters: dict[str, int] = {}
    entity_map: dict[str, dict[str, str]] = {}
    anonymized = text
    cleaned = resolve_overlaps(results, cut_text=text)
    non_code = {normalize_whitespace(text[r.start:r.end]) for r in cleaned if r.entity_type != "CODE"}
    kept = [r for r in cleaned
            if not (r.entity_type == "CODE"
                    and any(normalize_whitespace(text[r.start:r.end]) in t for t in non_code))]
    kept.sort(key=lambda r: r.start, reverse=True)
    for r in kept:
        if r.entity_type != "PERSON_NAME":
            continue
        m = NAME_PREFIXES.match(text[r.start:r.end])
        if m:
            r.start += len(m.group())
        while r.end > r.start and text[r.end - 1] in ".,;:":
            r.end -= 1
    by_key: dict[str, str] = {}
    for r in kept:
        original = text[r.start:r.end]
        normalized = normalize_whitespace(original)
        key = dedup_key(normalized)
        label = r.entity_type
        entity_map.setdefault(label, {})
        if key not in by_key:
            counters[label] = counters.get(label, 0) + 1
            by_key[key] = f"[{label}_{counters[label]}]"
        entity_map[label][normalized] = by_key[key]
        anonymized = anonymized[:r.start] + by_key[key] + anonymized[r.end:]
    return anonymized, entity_map


def replace_outside_placeholders(text: str, pattern: re.Pattern, replacement: str) -> str:
    stretches = PLACEHOLDER_RE.split(text)
    placeholders = PLACEHOLDER_RE.findall(text)
    out = [pattern.sub(replacement, stretches[0])]
    for ph, stretch in zip(placeholders, stretches[1:]):
        out.append(ph)
        out.append(pattern.sub(replacement, stretch))
    return "".join(out)


def postprocess_anonymized(anonymized: str, entity_map: dict) -> str:
    flat: dict[str, str] = {}
    type_for: dict[str, str] = {}
    for entity_type, inner in entity_map.items():
        for text, placeholder in inner.items():
            flat[text] = placeholder
            type_for[text] = entity_type
    canonical: dict[str, str] = {}
    for text in sorted(flat, key=len):
        canonical.setdefault(dedup_key(text), flat[text])
    for text in flat:
        flat[text] = canonical[dedup_key(text)]
    result = anonymized
    for text in sorted(flat, key=len, reverse=True):
        if type_for[text] not in POSTPROCESS_ENTITY_TYPES or len(text) < 5:
            continue
        pattern = re.escape(text).replace("\\ ", r"\s+")
        if re.match(r"\w", text[0]):
            pattern = r"\b" + pattern
        if re.match(r"\w", text[-1]):
            pattern = pattern + r"\b"
        if type_for[text] == "PERSON_NAME" and " " not in text.strip():
            pattern = r"(?<![dD][eE] )" + pattern
        result = replace_outside_placeholders(result, re.compile(pattern), flat[text])
    return result


def deanonymize_text(anonymized: str, entity_map: dict) -> str:
    for inner in entity_map.values():
        for text, placeholder in inner.items():
            anonymized = anonymized.replace(placeholder, text)
    return anonymized


def review_apply(anonymized: str, entity_map: dict, missed: list):
    """The review pass's substitution, straight from its description."""
    if not missed:
        return anonymized, entity_map
    counters: dict[str, int] = {}
    for label, type_map in entity_map.items():
        for placeholder in type_map.values():
            m = re.search(r"_(\d+)\]$", placeholder)
            if m:
                counters[label] = max(counters.get(label, 0), int(m.group(1)))
    for entry in missed:
        text, label = entry["text"], entry["type"]
        if len(text) <= 2:
            continue
        type_map = entity_map.setdefault(label, {})
        if text in type_map:
            continue
        counters[label] = counters.get(label, 0) + 1
        placeholder = f"[{label}_{counters[label]}]"
        type_map[text] = placeholder
        escaped = re.escape(text).replace(r"\ ", r"\s+")
        if re.match(r"\w", text[0]):
            escaped = r"\b" + escaped
        if re.match(r"\w", text[-1]):
            escaped = escaped + r"\b"
        anonymized = replace_outside_placeholders(anonymized, re.compile(escaped), placeholder)
    return anonymized, entity_map
