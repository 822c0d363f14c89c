"""The library's private names the hosts still use, each in one place.

The library is getting public ways to give what the hosts take here (noted at
each adapter); switching to one changes that adapter and nothing else.
"""

from __future__ import annotations


def use_pipeline(nlp) -> None:
    """Make `nlp` the spaCy pipeline the post-processing shares (the denylist
    filter's part-of-speech test, the review's sentences).
    Public replacement: tarnis.processing.use_pipeline(nlp)."""
    from tarnis import processing

    processing._nlp_ro = nlp


def shared_pipeline():
    """The pipeline the post-processing shares, None before it is loaded."""
    from tarnis import processing

    return processing._nlp_ro


def check_health(fallback) -> tuple[bool, str | None]:
    """(whether the server answers and serves the model, why not).
    Public replacement: SLMFallback.check_health()."""
    healthy = fallback._check_health()
    return healthy, None if healthy else fallback._health_error


def partition(fallback, results: list) -> tuple[list, list]:
    """(certain results, doubtful ones the model is asked about).
    Public replacement: SLMFallback.partition(results)."""
    return fallback._split(results)


def review_pass(client, model: str, log_dir):
    """The review pass, noting which chunks of the last scan got no usable
    answer after all attempts (the library then contributes nothing for them
    and goes on; a host must not take that for a clean review): see
    unanswered_chunks(). Public replacement: SLMReviewPass.unanswered_chunks."""
    from tarnis.slm.review import SLMReviewPass

    class ReviewPass(SLMReviewPass):
        def scan(self, anonymized_text):
            self.chunks = 0
            self.answered = set()
            self.unanswered = []
            return super().scan(anonymized_text)

        def _call_slm(self, chunk, chunk_idx=0):
            found = super()._call_slm(chunk, chunk_idx=chunk_idx)
            self.chunks += 1
            if chunk_idx not in self.answered:
                self.unanswered.append(chunk_idx)
            return found

        def _log(self, chunk_idx, attempt, status, raw_response, entities):
            if status == "ok":
                self.answered.add(chunk_idx)
            super()._log(chunk_idx, attempt, status, raw_response, entities)

    return ReviewPass(client, model, log_dir=log_dir)


def unanswered_chunks(reviewer) -> tuple[list[int], int]:
    """(indices of the chunks of the last scan without an answer, number of
    chunks it sent)."""
    return reviewer.unanswered, reviewer.chunks
