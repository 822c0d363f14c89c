"""One entity map for many documents (a case): documents anonymized one after
another against it, each getting the placeholders the earlier ones gave the
same entities; what each document added, kept apart so that a document
that fails takes its entries back out; and the part of the map one
document's text needs, found without walking the whole map."""

from __future__ import annotations

from itertools import islice

from tarnis.host.defaults import PLACEHOLDER
from tarnis.host.maps import document_record


class CaseMap:
    """The entity map of a case, extended document by document.

    `entity_map` is the library's map (type -> text -> placeholder; no
    reserved entries) and is extended in place; `documents` the case map's
    document entries (maps.CASE_DOCUMENTS). Every placeholder of the map is
    indexed with its texts in map order, so that the entries one document
    uses come out in time proportional to the document, not to the case."""

    def __init__(self, entity_map: dict | None = None, documents: dict | None = None):
        self.entity_map: dict = entity_map if entity_map is not None else {}
        self.documents: dict = dict(documents or {})
        self._index: dict[str, list[tuple[str, str]]] = {}
        self._order: dict[str, int] = {}       # position of each type in the map
        self._next = 0
        self._sizes: dict[str, int] = {}
        self._catch_up()

    def _catch_up(self) -> None:
        """Index the entries added to the map since the last call (new types,
        and texts appended to the inner maps)."""
        for entity_type, inner in self.entity_map.items():
            if entity_type not in self._order:
                self._order[entity_type] = self._next
                self._next += 1
            old = self._sizes.get(entity_type, 0)
            added = len(inner) - old
            if added <= 0:
                continue
            new = list(islice(reversed(inner.items()), added))
            new.reverse()
            for text, placeholder in new:
                self._index.setdefault(placeholder, []).append((entity_type, text))
            self._sizes[entity_type] = len(inner)

    def __contains__(self, placeholder: str) -> bool:
        return placeholder in self._index

    def checkpoint(self) -> dict[str, int]:
        """What the map holds now, for rollback()."""
        return {t: len(inner) for t, inner in self.entity_map.items()}

    def rollback(self, sizes: dict[str, int]) -> None:
        """Take out what was added to the map since checkpoint() gave
        `sizes` (the library only ever appends to it), in time proportional
        to what is taken out."""
        for entity_type in list(self.entity_map):
            inner = self.entity_map[entity_type]
            keep = sizes.get(entity_type, 0)
            indexed = self._sizes.get(entity_type, 0)
            while len(inner) > keep:
                was_indexed = len(inner) <= indexed
                text, placeholder = inner.popitem()
                if was_indexed:
                    entries = self._index[placeholder]
                    entries.remove((entity_type, text))
                    if not entries:
                        del self._index[placeholder]
            if entity_type in sizes:
                self._sizes[entity_type] = min(indexed, keep)
            else:
                del self.entity_map[entity_type]
                self._order.pop(entity_type, None)
                self._sizes.pop(entity_type, None)

    def commit(self, anonymized: str, exact: dict | None = None) -> None:
        """The document whose anonymized text is `anonymized` is done: its
        entries join the index and its entry joins `documents` (with the
        spelling fields `exact` that restore it byte for byte)."""
        self._catch_up()
        key, record = document_record(anonymized, self, exact)
        self.documents[key] = record

    def entries_for(self, anonymized: str) -> dict:
        """The entries of the map whose placeholders occur in `anonymized`,
        in map order: restoring the text from them gives what restoring it
        from the whole map gives."""
        self._catch_up()
        rows = []
        for placeholder in dict.fromkeys(PLACEHOLDER.findall(anonymized)):
            for entity_type, text in self._index.get(placeholder, ()):
                rows.append((self._order[entity_type], entity_type, text, placeholder))
        rows.sort(key=lambda row: row[0])      # stable: texts of one type keep their order
        out: dict = {}
        for _, entity_type, text, placeholder in rows:
            out.setdefault(entity_type, {})[text] = placeholder
        return out
