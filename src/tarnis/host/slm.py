"""The language-model stages: the verification of doubtful detections over
several documents at once, the review of anonymized documents, and their
statistics."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

from tarnis.host import _library
from tarnis.host.errors import DocumentError, UsageError, count, shown

START_SERVER = ("Start an OpenAI-compatible chat-completion server there serving that model (for example "
                "`ollama serve` and `ollama pull {model}`, or llama.cpp's `llama-server --port 11434 -m "
                "MODEL.gguf`), or give its address with --slm-url and the model with --slm-model; or run "
                "without {stages}.")


def make_log_dir(folder: Path) -> None:
    """The logs hold document text: a folder created here is its owner's only."""
    if not folder.is_dir():
        try:
            folder.mkdir(mode=0o700, parents=True, exist_ok=True)
        except OSError as e:
            raise UsageError(f"--slm-log-dir {shown(folder)}: cannot create the folder: {e.strerror or e}") from None


class ReviewFailed(DocumentError):
    pass


def by_type(counts: Counter) -> str:
    return ", ".join(f"{t} {n}" for t, n in sorted(counts.items())) or "none"


@dataclass
class SLMStats:
    sent: int = 0
    accepted: int = 0
    rejected: int = 0
    reclassified: int = 0
    unanswered: int = 0
    reviewed: int = 0
    reported: int = 0
    names: int = 0
    name_types: Counter = field(default_factory=Counter)

    def lines(self, verify: bool, review: bool, on_failure: str) -> list[str]:
        out = []
        if verify:
            line = (f"verification: {self.sent} detection{'s' if self.sent != 1 else ''} sent to the model, "
                    f"{self.accepted} accepted ({self.reclassified} reclassified), {self.rejected} rejected")
            if self.unanswered:
                fate = "kept" if on_failure == "accept" else "dropped"
                line += f"; {self.unanswered} without an answer ({fate}, --slm-on-failure {on_failure})"
            out.append(line)
        if review:
            line = (f"review of {self.reviewed} document{'s' if self.reviewed != 1 else ''}: {self.names} missed "
                    f"name{'s' if self.names != 1 else ''} found and replaced ({by_type(self.name_types)})")
            if self.reported > self.names:
                line += f"; {self.reported - self.names} more reported but not in the text (kept in the map)"
            out.append(line)
        return out


@dataclass
class DocState:
    """One document between its analysis and its outputs."""
    source: Path
    text: str
    results: list
    kept: list = None
    sent: list = field(default_factory=list)
    verdicts: dict = field(default_factory=dict)
    error: Exception | None = None


class SLMStages:
    """The language-model stages asked for, checked before the first
    document: the server must answer and serve the model, or UsageError
    (nothing is to be done). `info` is told where the model and its logs
    are."""

    def __init__(self, *, verify: bool = False, review: bool = False, url: str | None = None,
                 model: str | None = None, on_failure: str = "accept", log_dir: Path | None = None,
                 timeout: float | None = None, info=None):
        self.verify = bool(verify)
        self.review = bool(review)
        self.on_failure = on_failure
        self.stats = SLMStats()
        self.fallback = None
        self.reviewer = None
        if not (self.verify or self.review):
            return
        from tarnis.slm.fallback import SLMFallback

        self.log_dir = log_dir
        self.fallback = SLMFallback(base_url=url, model=model, required=False, on_failure=on_failure,
                                    log_dir=self.log_dir, timeout=timeout)
        healthy, why = _library.check_health(self.fallback)
        if not healthy:
            stages = " and ".join(o for o, on in (("--verify", self.verify), ("--review", self.review)) if on)
            raise UsageError(f"{stages} need{'s' if ' and ' not in stages else ''} a language model: "
                             f"{why}\n" + START_SERVER.format(model=model, stages=stages))
        make_log_dir(self.log_dir)
        if info is not None:
            info(f"language model {model} at {url}; logs in {shown(self.log_dir)}")
        if self.review:
            import openai

            self.reviewer = _library.review_pass(
                openai.OpenAI(api_key="local-no-auth", base_url=url, timeout=timeout), model,
                log_dir=self.log_dir)

    # -- verification, over the doubtful detections of several documents at once

    def verify_group(self, states: list, progress=None) -> None:
        """Sets `state.kept` (certain results plus those the model kept) and
        `state.verdicts` (id of each result sent -> its SLMVerdict or None)
        for every state; a state whose doubtful results could not be verified
        with --slm-on-failure error gets `state.error`. `progress(done,
        total)` is told how far the model is, and `progress(None, None)` when
        it is done."""
        from tarnis.slm.fallback import SLMUnavailableError

        pairs = []
        for st in states:
            _, ambiguous = _library.partition(self.fallback, st.results)
            st.sent = ambiguous
            pairs.extend((st.text, r) for r in ambiguous)
        failure = None
        if pairs:
            def told(done, total):
                if progress is not None:
                    progress(done, total)

            try:
                self.fallback.filter_multi(pairs, progress_callback=told)
            except (KeyboardInterrupt, SystemExit, MemoryError):
                raise
            except Exception as e:  # noqa: BLE001 - the documents left unverified fail, the run goes on
                failure = e
            finally:
                told(None, None)
        verdicts = {id(v.result): v for v in self.fallback.last_verdicts}
        for st in states:
            st.verdicts = {id(r): verdicts.get(id(r)) for r in st.sent}
            missing = sum(1 for v in st.verdicts.values() if v is None)
            if failure is not None and missing:
                # The library's own unavailability and file-system errors say
                # nothing of the document; any other message might quote it.
                if isinstance(failure, SLMUnavailableError):
                    why = f"(--slm-on-failure error): {failure}"
                elif isinstance(failure, OSError):
                    why = f"({type(failure).__name__}): {failure}"
                else:
                    why = f"({type(failure).__name__}; see {self.log_dir})"
                st.error = DocumentError(
                    f"{shown(st.source)}: the language model could not verify {count(missing, 'doubtful detection')} "
                    f"{why}")
            st.kept = [r for r in st.results
                       if id(r) not in st.verdicts or st.verdicts[id(r)] is None or st.verdicts[id(r)].accepted]

    def count_verdicts(self, st) -> None:
        for v in st.verdicts.values():
            self.stats.sent += 1
            if v is None:
                self.stats.accepted += 1
                continue
            # No answer, or one naming an entity type outside the catalogue.
            if v.reason in ("slm_unavailable_accept", "batch_failed", "invalid_entity_type_accept",
                            "invalid_entity_type"):
                self.stats.unanswered += 1
            if v.accepted:
                self.stats.accepted += 1
                if v.result.entity_type != v.original_entity_type:
                    self.stats.reclassified += 1
            else:
                self.stats.rejected += 1

    # -- review of one anonymized document

    def review_document(self, source, anonymized: str, entity_map: dict) -> tuple[str, dict, list]:
        """The document with the names the model found replaced too, its
        extended map, and (entity type, whether it was in the text) of each
        name added; ReviewFailed when a part of it got no usable answer."""
        missed = self.reviewer.scan(anonymized)
        unanswered, total = _library.unanswered_chunks(self.reviewer)
        if unanswered:
            n = len(unanswered)
            raise ReviewFailed(
                f"{shown(source)}: the language model gave no usable answer for {n} of {total} part"
                f"{'s' if total != 1 else ''} of the document in the review (see {shown(self.log_dir)}); its "
                f"outputs were not written. Rerun when the server answers, or without --review to "
                f"anonymize it without the review")
        before = {t: set(inner) for t, inner in entity_map.items()}
        anonymized, entity_map = self.reviewer.apply(anonymized, entity_map, missed)
        # Names the model reported go into the map; those that occur in the
        # text (outside placeholders) were replaced.
        added = [(t, ph in anonymized) for t, inner in entity_map.items()
                 for k, ph in inner.items() if k not in before.get(t, ())]
        return anonymized, entity_map, added

    def count_review(self, added: list) -> None:
        self.stats.reviewed += 1
        self.stats.reported += len(added)
        self.stats.names += sum(1 for _, replaced in added if replaced)
        self.stats.name_types.update(t for t, replaced in added if replaced)
