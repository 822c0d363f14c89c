"""Straightforward pure-Python versions of the native post-processing functions
and of the CNP and IDNP recognizers' scans.

They are written for clarity, not speed: the tests compare the native modules
with them on generated inputs, and the benchmarks use them as the baseline.
Also here: the street-address recognizer written with Python's re on its
default pattern texts, and the neural recognizer's chunking rules (twice:
step by step, and as the benchmark's straightforward baseline).
"""

from __future__ import annotations

import copy
import re

from tarnis.recognizers import domivia

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


def _seeded(entity_map: dict) -> tuple[dict[str, int], dict[str, str]]:
    """The counters and dedup keys an existing map starts anonymize_text with:
    the highest number per placeholder label, and per dedup key the
    placeholder of its shortest text (as propagation canonicalizes)."""
    counters: dict[str, int] = {}
    flat: dict[str, str] = {}
    for entity_type, inner in entity_map.items():
        if entity_type.startswith("tarnis:"):
            continue
        for original, placeholder in inner.items():
            m = re.fullmatch(r"\[([A-Z_]+)_(\d+)\]", placeholder)
            counters[m.group(1)] = max(counters.get(m.group(1), 0), int(m.group(2)))
            flat[original] = placeholder
    by_key: dict[str, str] = {}
    for original in sorted(flat, key=len):
        by_key.setdefault(dedup_key(normalize_whitespace(original)), flat[original])
    return counters, by_key


def anonymize_text(text: str, results: list, entity_map: dict | None = None):
    counters: dict[str, int] = {}
    by_key: dict[str, str] = {}
    if entity_map is None:
        entity_map = {}
    else:
        counters, by_key = _seeded(entity_map)
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
    for r in kept:
        original = text[r.start:r.end]
        normalized = normalize_whitespace(original)
        key = dedup_key(normalized)
        label = r.entity_type
        entity_map.setdefault(label, {})
        if key not in by_key:
            counters[label] = counters.get(label, 0) + 1
            by_key[key] = f"[{label}_{counters[label]}]"
        entity_map[label].setdefault(normalized, by_key[key])
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
        if entity_type.startswith("tarnis:"):
            continue
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


def cnp_results(text):
    """The recognizer's analyze written plainly in Python, results included."""
    from presidio_analyzer import AnalysisExplanation, RecognizerResult

    out = []
    for start, end, score, note in cnp_spans(text):
        explanation = AnalysisExplanation(recognizer="CnpRecognizer", original_score=score,
                                          textual_explanation=note)
        out.append(RecognizerResult(entity_type="CNP", start=start, end=end, score=score,
                                    analysis_explanation=explanation))
    return out


def restore_first_spelling(text, entity_map):
    """deanonymize_text in one pass: each placeholder back to the first text
    mapped to it."""
    first = {}
    for inner in entity_map.values():
        for original, placeholder in inner.items():
            first.setdefault(placeholder, original)
    return PLACEHOLDER_RE.sub(lambda m: first.get(m.group(0), m.group(0)), text)


# --- the street-address recognizer

TRAILING_SEPARATORS = re.compile(r"(?:\s|[,;:/(\u2013\u2014-]|(?<=\d)\.|(?<!\S)nr\.?)+$", re.I)


def reference_sentence_end(m):
    """Where the match runs into the next sentence or a glued word."""
    for i in range(1, len(m)):
        if m[i].isupper() and m[i - 1].islower():
            return i
        if m[i] != ".":
            continue
        letters = 0
        while letters < i and m[i - 1 - letters].isalpha():
            letters += 1
        if letters < 6 or m[:i - letters].endswith("."):
            continue
        rest = m[i + 1:]
        if rest and not rest[0].isspace():
            continue
        if not rest.strip() or rest.lstrip()[0].isupper():
            return i
    return len(m)


def reference_length(text, start, length):
    """Where the address matched at `start` ends: before a contact keyword or a long number."""
    keyword = domivia._CONTACT_KEYWORD.search(text[start:start + length], 1)
    cut = keyword.start() if keyword else length
    clause = domivia._CLAUSE_AFTER_COMMA.search(text[start:start + cut])
    cut = clause.start() if clause else cut
    cut = min(cut, reference_sentence_end(text[start:start + cut]))
    for i in range(1, cut):
        p = start + i
        if not text[p].isdecimal() or text[p - 1].isdecimal():
            continue
        number = re.match(r"(\d+)((?:[ ./-]\d+)*)", text[p:])
        digits = sum(c.isdecimal() for c in number.group())
        if digits < 7:
            continue
        first = len(number.group(1))
        if number.group(2) and first <= 4 and text[p] != "0" and number.group(2)[0] == " " \
                and not re.search(r"\d\s+$", text[start:p]) and digits - first >= 7:
            cut = i + first
        else:
            cut = i - 1 if text[p - 1] in "+(" else i
        break
    if cut == length:
        return length
    return len(TRAILING_SEPARATORS.sub("", text[start:start + cut]))


def reference_trim(m):
    """The match without the lower-case words at its end."""
    sep = ",;:(-\u2013\u2014"
    end = len(m)
    while True:
        e = end
        while e and (m[e - 1].isspace() or m[e - 1] in sep):
            e -= 1
        b = e
        while b and not m[b - 1].isspace():
            b -= 1
        w = m[b:e]
        if b == 0 or not w[0].isalpha() or w[0].isupper() or w == "parter" \
                or not all(c.isalpha() or c == "-" for c in w) or re.search(r"(?<!\S)jud\.\s$", m[:b], re.I):
            return m[:end]
        end = b
        while end and (m[end - 1].isspace() or m[end - 1] in sep):
            end -= 1


def reference_analyze(text):
    """The recognizer written plainly with Python's re on the default pattern texts."""
    out = []
    for style, pattern in domivia._DEFAULT_PATTERNS:
        for m in pattern.finditer(text):
            matched = m.group().strip()
            cut = reference_length(text, m.start(), len(matched))
            if cut < len(matched):
                matched = matched[:cut]
                if style != "prefix_only" and not re.search(r"nr\.\s*\d", matched, re.I) \
                        and (style != "informal" or not re.search(r"\s\d", matched)):
                    continue
            matched = reference_trim(matched)
            words = matched.split()
            if len(matched) < (15 if style == "prefix_only" else 10):
                continue
            if style == "prefix_only" and len(words) >= 2 and domivia._NON_STREET_STARTS.match(words[1]):
                continue
            if words[0][0].isalpha() and not words[0][0].isupper() and "." not in words[0] and (
                    style == "prefix_only" or len(words) < 2 or domivia._NOT_A_STREET_NAME.match(words[1])):
                continue
            if style == "informal" and any(w[0].isdecimal() and domivia._BEFORE_NON_HOUSE_NUMBER.fullmatch(v)
                                           for v, w in zip(words, words[1:])):
                continue
            score = 0.5 if style == "prefix_only" else 0.65
            score -= 0.05 if style == "informal" else 0
            for check, bonus in ((r"bl\.|sc\.|et\.|\bap\.|parter", 0.1), (r"[Ss]ector|,\s*[A-ZĂÂÎȘŞȚŢ][a-zăâîșşțţ]{2,}", 0.05),
                                 (r"(?:MD-?)?\d{4,6}\s*$", 0.05)):
                score = score + bonus if re.search(check, matched) else score
            out.append((style, m.start(), m.start() + len(matched), min(score, 0.85)))
    return out


# --- the neural recognizer's chunks

def reference_chunks(text, sents, budget, overlap):
    """The chunking rules written out step by step, sentence by sentence."""
    if len(text.split()) <= budget:
        return [(0, len(text), text)], [(0, len(text))]
    chunks, cores, i = [], [], 0
    while i < len(sents):
        taken, estimate, j = [], 0, i
        while j < len(sents):
            n = len(text[sents[j][0]:sents[j][1]].split())
            if estimate + n > budget and taken:
                break
            taken.append(j)
            estimate += n
            j += 1
        start, end = sents[taken[0]][0], sents[taken[-1]][1]
        chunks.append((start, end, text[start:end]))
        cores.append((start, end))
        if taken[-1] == len(sents) - 1:
            break
        i += max(len(taken) - overlap, 1)
    for k in range(1, len(cores)):
        if cores[k][0] < cores[k - 1][1]:
            cores[k] = (cores[k - 1][1], cores[k][1])
    return chunks, cores


def python_chunks(text, sents, budget, overlap):
    """The chunk and core computation written directly in Python."""
    if len(text.split()) <= budget:
        return [(0, len(text), text)], [(0, len(text))]
    counts = [len(text[a:b].split()) for a, b in sents]
    chunks, cores, i = [], [], 0
    while i < len(sents):
        estimate, j = 0, i
        while j < len(sents) and (estimate + counts[j] <= budget or j == i):
            estimate += counts[j]
            j += 1
        start, end = sents[i][0], sents[j - 1][1]
        chunks.append((start, end, text[start:end]))
        cores.append((start, end))
        if j == len(sents):
            break
        i += max(j - i - overlap, 1)
    for k in range(1, len(cores)):
        if cores[k][0] < cores[k - 1][1]:
            cores[k] = (cores[k - 1][1], cores[k][1])
    return chunks, cores
