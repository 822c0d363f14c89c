"""The road of one document: analysis, overlap resolution and the denylist
filter, (with a language model) verification, anonymization and propagation,
(with a language model) the review, and the outputs a front writes."""

from __future__ import annotations

from collections import Counter

from tarnis.host.defaults import LANGUAGE, PLACEHOLDER, placeholder_type
from tarnis.host.errors import DocumentError, shown
from tarnis.host.maps import entity_map_json


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


def analyze(engine, config, text: str) -> list:
    """detections() with the entity types and rawness of `config` (an EngineConfig)."""
    entities = list(config.entities) if config.entities is not None else None
    return detections(engine, text, entities, raw=config.raw)


def anonymize_results(text: str, results: list, entity_map: dict | None = None) -> tuple[str, dict]:
    """The anonymized text, its placeholders propagated to the further
    occurrences of what they replace, and the entity map: a new one, or
    `entity_map` (a case's, see tarnis.host.casemap) extended in place."""
    from tarnis.processing import anonymize_text, postprocess_anonymized

    anonymized, entity_map = anonymize_text(text, results, entity_map=entity_map)
    return postprocess_anonymized(anonymized, entity_map), entity_map


def anonymize_input(document, results: list, entity_map: dict | None = None) -> tuple[str, dict, bytes | None]:
    """(anonymized text, entity map, anonymized Word package or None) of a
    document read by tarnis.host.documents.read_document; against
    `entity_map` when given, as anonymize_results."""
    from tarnis.host.documents import anonymize_document as anonymize_host_document

    if document.kind == "docx":
        return anonymize_host_document(document, results, entity_map)
    return (*anonymize_results(document.text, results, entity_map), None)


def anonymize_document(engine, text: str, entities: list[str] | None) -> tuple[str, dict]:
    return anonymize_results(text, detections(engine, text, entities))


def anonymize_analyzed(source, text: str, results: list, *, reread=None, stages=None,
                       entity_map: dict | None = None):
    """(anonymized text, entity map, anonymized Word package or None, names
    the review added) of a document analyzed as `text` with `results` (the
    kept ones, after a verification). `reread()` gives a Word document read
    again (None for text); `stages` with a review has the model look for
    names left in the text; `entity_map`, a case's, is anonymized against
    and extended in place."""
    document = reread() if reread is not None else None
    if document is not None and document.text != text:
        raise DocumentError(f"{shown(source)}: changed while it was being anonymized")
    if document is not None:
        anonymized, entity_map, data = anonymize_input(document, results, entity_map)
    else:
        (anonymized, entity_map), data = anonymize_results(text, results, entity_map), None
    added = []
    if stages is not None and stages.review:
        # The map is complete only after the review has extended it.
        anonymized, entity_map, added = stages.review_document(source, anonymized, entity_map)
        if document is not None:
            lines = anonymized.split("\n")
            if len(lines) != text.count("\n") + 1:
                raise DocumentError(f"{shown(source)}: a name the review found runs over two paragraphs "
                                    "of the Word document; nothing was written")
            data = reread().with_lines(lines, entity_map)
    return anonymized, entity_map, data, added


def first_difference(a: str, b: str) -> int:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def restoration_warning(source, text: str, anonymized: str, entity_map: dict) -> str | None:
    """What to tell the user when restoring `anonymized` from `entity_map`
    would not give back `text` exactly; None when it would."""
    from tarnis.processing import deanonymize_text

    restored = deanonymize_text(anonymized, entity_map)
    if restored == text:
        return None
    at = first_difference(restored, text)
    line = text.count("\n", 0, at) + 1
    column = at - (text.rfind("\n", 0, at) + 1) + 1
    return (f"{shown(source)}: restoring from the map will not give back this text exactly (first "
            f"difference at line {line}, column {column}: an entity written in several ways, "
            f"running over a line break, or text that looks like a placeholder); the anonymized "
            f"text is complete")


def placeholder_counts(anonymized: str, entity_map: dict) -> Counter:
    """The placeholders of the map found in the text, by entity type."""
    known = {p for inner in entity_map.values() for p in inner.values()}
    return Counter(placeholder_type(p) for p in PLACEHOLDER.findall(anonymized) if p in known)
