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
        self._order: dict[str, int] = {}
        self._sizes: dict[str, int] = {}
        self._catch_up()

    def _catch_up(self) -> None:
        """Index the entries added to the map since the last call (new types,
        and texts appended to the inner maps)."""
        for entity_type, inner in self.entity_map.items():
            self._order.setdefault(entity_type, len(self._order))
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
        `sizes` (the library only ever appends to it)."""
        for entity_type in [t for t in self.entity_map if t not in sizes]:
            del self.entity_map[entity_type]
        for entity_type, size in sizes.items():
            inner = self.entity_map.get(entity_type)
            while inner is not None and len(inner) > size:
                inner.popitem()
        for placeholder in list(self._index):
            self._index[placeholder] = [(t, k) for t, k in self._index[placeholder]
                                        if t in sizes and k in self.entity_map[t]]
            if not self._index[placeholder]:
                del self._index[placeholder]
        self._sizes = {t: min(n, self._sizes.get(t, 0)) for t, n in sizes.items() if t in self._sizes}
        self._order = {t: i for t, i in self._order.items() if t in self.entity_map}

    def commit(self, anonymized: str) -> None:
        """The document whose anonymized text is `anonymized` is done: its
        entries join the index and its entry joins `documents`."""
        self._catch_up()
        key, record = document_record(anonymized, self)
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
