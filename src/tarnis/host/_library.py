"""What the hosts take from the library's post-processing and language-model
stages, each in one place."""

from __future__ import annotations


def use_pipeline(nlp) -> None:
    """Make `nlp` the spaCy pipeline the post-processing shares (the denylist
    filter's part-of-speech test, the review's sentences)."""
    from tarnis import processing

    processing.use_pipeline(nlp)


def shared_pipeline():
    """The pipeline the post-processing shares, None before it is loaded."""
    from tarnis import processing

    return processing._nlp_ro


def check_health(fallback) -> tuple[bool, str | None]:
    """(whether the server answers and serves the model, why not)."""
    healthy = fallback.check_health()
    return healthy, None if healthy else fallback.health_error


def partition(fallback, results: list) -> tuple[list, list]:
    """(certain results, doubtful ones the model is asked about)."""
    return fallback.partition(results)


def review_pass(client, model: str, log_dir):
    """The review pass; after each scan, unanswered_chunks() tells which chunks
    got no usable answer after all attempts (the library then contributes
    nothing for them and goes on; a host must not take that for a clean
    review)."""
    from tarnis.slm.review import SLMReviewPass

    return SLMReviewPass(client, model, log_dir=log_dir)


def unanswered_chunks(reviewer) -> tuple[list[int], int]:
    """(indices of the chunks of the last scan without an answer, number of
    chunks it sent)."""
    return reviewer.unanswered_chunks, reviewer.scanned_chunks
