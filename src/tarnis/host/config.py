"""The configuration of the analysis: what an analyzer is built from and
what each document's analysis asks of it.

It holds names, folders and plain options only, never a model, so that it
can travel to worker processes and Spark executors, which build their own
analyzer from it.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class EngineConfig:
    rules_only: bool = False            # the rule-based recognizers only, over a blank pipeline
    gliner_model: str | None = None     # name or folder; None: DEFAULT_GLINER_MODEL
    spacy_model: str | None = None      # name or folder; None: DEFAULT_SPACY_MODEL
    entities: tuple[str, ...] | None = None     # the entity types asked for; None: all
    ner: str | None = None              # "gliner", "spacy" or "both"; None: DEFAULT_NER
    gliner_backend: str | None = None   # None: DEFAULT_GLINER_BACKEND
    gliner_batch_size: int | None = None    # None: DEFAULT_GLINER_BATCH_SIZE
    keep_legal_references: bool = True  # numbers of published acts and year ranges stay in the text
    raw: bool = False                   # results before overlap resolution and the denylist filter
