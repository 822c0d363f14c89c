"""The review pass's own work, without the model: chunking a ~1 MB document,
de-duplication, and `apply` substituting missed names in a ~1 MB anonymized
text beside a straightforward Python version of the same substitution (the
pattern of each name through `re`, stretch by stretch between placeholders).
Also the growth of `apply` with the number of names and with one very long
name, on adversarial text."""

from __future__ import annotations

import argparse
import copy
import os
import random
import sys
import tempfile
import time

sys.path[:0] = [os.path.dirname(__file__), os.path.join(os.path.dirname(__file__), "..", "tests")]

from support import corpus  # noqa: E402
from support import models  # noqa: E402
from support import reference  # noqa: E402
import spacy  # noqa: E402
from presidio_analyzer import RecognizerResult  # noqa: E402

from tarnis import processing  # noqa: E402
from tarnis.slm.review import SLMReviewPass  # noqa: E402

from bench_core import best_of  # noqa: E402


def anonymized_document(size, entities, seed):
    """A ~`size` anonymized document and its map, with `missed` person names
    of the corpus left in clear (every other planted entity anonymized)."""
    text, spans = corpus.generate(size, entities, seed)
    results = [RecognizerResult(entity_type=t, start=s, end=e, score=0.9) for t, s, e in spans]
    anonymized, entity_map = processing.anonymize_text(text, results)
    return anonymized, entity_map


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        processing._nlp_ro = spacy.load(models.build_blank_ro_spacy(os.path.join(tmp, "blank-ro")))
        processing._nlp_ro.max_length = 10_000_000
        review = SLMReviewPass(None, "none", log_dir=tmp)

        text, _ = corpus.generate(args.size, 2_000, 1234)
        mb = len(text) / 1e6
        t = best_of(lambda: review._chunk_text(text), args.repeat)
        chunks = review._chunk_text(text)
        t_nlp = best_of(lambda: list(processing._nlp_ro(text).sents), args.repeat)
        print(f"_chunk_text on {mb:.2f} MB: {t * 1000:.0f} ms ({len(chunks)} chunks of up to 2,500 words), "
              f"of which the spaCy pipeline {t_nlp * 1000:.0f} ms")

        # 500 missed names: the corpus's person names are left in clear (not
        # given to anonymize_text) and the review reports 500 distinct ones.
        text, spans = corpus.generate(args.size, 2_000, 99)
        kept = [RecognizerResult(entity_type=ty, start=s, end=e, score=0.9) for ty, s, e in spans
                if ty != "PERSON_NAME"]
        anonymized, entity_map = processing.anonymize_text(text, kept)
        rng = random.Random(7)
        names = sorted({f"{f} {l}" for f in corpus.FIRST for l in corpus.LAST})
        rng.shuffle(names)
        extra = [f"Firma {rng.choice(corpus.LAST)} {i} S.R.L." for i in range(100)]
        missed = [{"text": n, "type": "PERSON_NAME"} for n in names[:400]] + [
            {"text": n, "type": "ORGANIZATION"} for n in extra]
        present = sum(1 for m in missed if m["text"] in anonymized)
        native = best_of(lambda m: review.apply(anonymized, m, missed), args.repeat,
                         prepare=lambda: copy.deepcopy(entity_map))
        python = best_of(lambda m: reference.review_apply(anonymized, m, missed), 1,
                         prepare=lambda: copy.deepcopy(entity_map))
        out_native = review.apply(anonymized, copy.deepcopy(entity_map), missed)
        out_python = reference.review_apply(anonymized, copy.deepcopy(entity_map), missed)
        assert out_native == out_python, "native and Python substitutions differ"
        placeholders = len(processing._PLACEHOLDER_RE.findall(anonymized))
        print(f"apply, {len(missed)} names ({present} occurring) on {len(anonymized) / 1e6:.2f} MB with "
              f"{placeholders} placeholders: native {native * 1000:.0f} ms, python {python * 1000:.0f} ms, "
              f"ratio {python / native:.0f}x")

        found = [{"text": rng.choice(names), "type": "PERSON_NAME"} for _ in range(5000)]
        t = best_of(lambda: review._deduplicate(found), args.repeat)
        print(f"_deduplicate of 5,000 finds: {t * 1000:.1f} ms")

        print("apply growth (names / text size / name length), adversarial text:")
        for count in (1000, 2000, 4000):
            many = [{"text": f"Nume{i} Prenume{i}", "type": "PERSON_NAME"} for i in range(count)]
            doc = " și ".join(m["text"] for m in many) + " " + anonymized[: args.size // 2]
            t = best_of(lambda: review.apply(doc, {}, many), 1)
            print(f"  {count:5d} names on {len(doc) / 1e6:.2f} MB: {t * 1000:7.0f} ms")
        for size in (250_000, 500_000, 1_000_000):
            doc = ("Pop " * (size // 4))
            name = " ".join(["Pop"] * 2500) + " X"   # 10,000 characters, almost matching everywhere
            t = best_of(lambda: review.apply(doc, {}, [{"text": name, "type": "PERSON_NAME"}]), 1)
            print(f"  one 10,000-character name on {size / 1e6:.2f} MB of its own words: {t * 1000:7.1f} ms")
        doc = "a " * 500_000
        name = "a " * 5000 + "b"
        t = best_of(lambda: review.apply(doc, {}, [{"text": name, "type": "PERSON_NAME"}]), 1)
        print(f"  'a a ... b' (10,001 characters) on 1 MB of 'a a ...': {t * 1000:.1f} ms")


if __name__ == "__main__":
    main()
