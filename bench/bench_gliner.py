"""Overhead of the chunked GLiNER recognizer around the model.

Prints, on the seeded ~1 MB document of tests/support/corpus.py:
- `_build_chunks` on the first 250 KB, 500 KB and all of it: the whole call, the sentence
  pipeline alone, and the chunk/core computation alone (also against a
  straightforward Python version of the same computation), to show linear
  growth;
- one `analyze` with a tiny randomly initialised GLiNER model: the time spent
  inside `predict_entities` against the recognizer's own time;
- the same `analyze` with the model's answers replayed instantly, which
  leaves only the recognizer's own work, per chunk and per prediction.

Usage: python bench/bench_gliner.py [--size N] [--model-size N] [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

from support import models  # noqa: E402  (switches hub access off before transformers loads)
from support.corpus import generate  # noqa: E402
from support.reference import python_chunks  # noqa: E402

LABELS = {"person": "PERSON_NAME", "organization": "ORGANIZATION", "street address": "DOMIVIA",
          "username": "USERNAME", "password": "PASSWORD"}


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times)


class FixedSentences:
    """A pipeline stand-in that returns sentences computed beforehand."""

    def __init__(self, spans):
        self.doc = SimpleNamespace(sents=[SimpleNamespace(start_char=a, end_char=b) for a, b in spans])

    def __call__(self, text):
        return self.doc


class TimedModel:
    """Wraps a model, adding up the time spent inside predict_entities and
    keeping its answers for replay."""

    def __init__(self, model):
        self.model = model
        self.config = getattr(model, "config", None)
        self.seconds = 0.0
        self.answers = []

    def predict_entities(self, text, labels, threshold=0.5, flat_ner=True):
        t0 = time.perf_counter()
        out = self.model.predict_entities(text, labels, threshold=threshold, flat_ner=flat_ner)
        self.seconds += time.perf_counter() - t0
        self.answers.append(out)
        return out


class DenseModel:
    """Answers instantly with one prediction per word of the text it gets:
    far more than any model finds, to measure the cost per prediction."""

    def __init__(self, config):
        import re
        self.config = config
        self.word = re.compile(r"\w+(?:[-_]\w+)*")
        self.predictions = 0

    def predict_entities(self, text, labels, threshold=0.5, flat_ner=True):
        out = [{"start": m.start(), "end": m.end(), "text": m.group(), "label": labels[i % len(labels)],
                "score": 0.9} for i, m in enumerate(self.word.finditer(text))]
        self.predictions += len(out)
        return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=1_000_000, help="largest document for _build_chunks")
    ap.add_argument("--model-size", type=int, default=1_000_000, help="document size for the tiny-model run")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    from tarnis.recognizers.gliner import SmartGLiNERRecognizer

    with tempfile.TemporaryDirectory(prefix="bench-gliner-") as tmp:
        run(args, SmartGLiNERRecognizer, Path(tmp))


def run(args, SmartGLiNERRecognizer, tmp):
    t0 = time.perf_counter()
    model_dir = models.build_tiny_gliner(tmp / "tiny-gliner")
    spacy_dir = models.build_blank_ro_spacy(tmp / "blank-ro")
    rec = SmartGLiNERRecognizer(model_name=str(model_dir), spacy_model=str(spacy_dir), entity_mapping=LABELS)
    print(f"tiny model and blank pipeline built and loaded in {time.perf_counter() - t0:.1f} s")
    nlp = rec.nlp

    print("\n_build_chunks (best / median of %d)" % args.repeat)
    print(f"{'size':>9} {'sents':>6} {'chunks':>6} {'whole call':>11} {'pipeline':>9} {'chunking':>9}"
          f" {'python':>9} {'ratio':>6} {'us/KB':>6}")
    per_kb = []
    document, _ = generate(size=args.size)
    for size in (args.size // 4, args.size // 2, len(document)):
        # Prefixes of one document, so that sentence lengths stay alike.
        text = document[:size]
        rec.nlp = nlp
        whole, _ = best_of(args.repeat, lambda: rec._build_chunks(text))
        nlp.max_length = max(nlp.max_length, len(text) + 1)
        pipeline, _ = best_of(args.repeat, lambda: list(nlp(text).sents))
        spans = [(s.start_char, s.end_char) for s in nlp(text).sents]
        nlp.max_length = 1_000_000
        rec.nlp = FixedSentences(spans)
        chunking, _ = best_of(args.repeat, lambda: rec._build_chunks(text))
        chunks, cores = rec._build_chunks(text)
        python, _ = best_of(args.repeat, lambda: python_chunks(text, spans, 384, 2))
        assert python_chunks(text, spans, 384, 2) == (chunks, cores)
        per_kb.append(chunking / len(text) * 1e9)
        print(f"{len(text):>9} {len(spans):>6} {len(chunks):>6} {whole * 1e3:>9.1f}ms {pipeline * 1e3:>7.1f}ms"
              f" {chunking * 1e3:>7.2f}ms {python * 1e3:>7.2f}ms {python / chunking:>5.1f}x {per_kb[-1]:>6.2f}")
    rec.nlp = nlp
    print(f"chunking time per KB from smallest to largest: {per_kb[0]:.2f} -> {per_kb[-1]:.2f} us (flat = linear)")

    text, _ = generate(size=args.model_size)
    # A random model scores every span near 0.5, and decoding thousands of
    # kept spans per call would dominate everything. Ask at the score that
    # about one span in a hundred reaches, as a trained model finds few.
    sample = " ".join(text.split()[:60])
    scores = sorted(p["score"] for p in rec.model.predict_entities(sample, list(LABELS), threshold=0.0))
    rec.threshold = scores[int(len(scores) * 0.99)]
    print(f"\nthreshold set to {rec.threshold:.5f} (99th percentile of the tiny model's scores)")
    timed = TimedModel(rec.model)
    rec.model = timed
    t0 = time.perf_counter()
    results = rec.analyze(text, list(dict.fromkeys(LABELS.values())))
    total = time.perf_counter() - t0
    predictions = sum(len(a) for a in timed.answers)
    own = total - timed.seconds
    print(f"analyze with the tiny model on {len(text)} characters: {len(timed.answers)} model calls,"
          f" {predictions} predictions, {len(results)} results")
    print(f"  total {total:.2f} s, inside predict_entities {timed.seconds:.2f} s,"
          f" recognizer's own {own:.3f} s ({own / total * 100:.2f} % of the total)")

    chunks_time, _ = best_of(args.repeat, lambda: rec._build_chunks(text))
    print(f"  of the recognizer's own time, _build_chunks takes {chunks_time:.3f} s;"
          f" the rest ({max(own - chunks_time, 0) * 1e3:.1f} ms) is per-call and per-prediction work")

    dense = DenseModel(timed.config)
    rec.model = dense
    t0 = time.perf_counter()
    results = rec.analyze(text, list(dict.fromkeys(LABELS.values())))
    total = time.perf_counter() - t0
    work = total - chunks_time
    print(f"  with an instant model giving one prediction per word: {dense.predictions} predictions,"
          f" {len(results)} results, analyze {total:.2f} s = _build_chunks {chunks_time:.2f} s"
          f" + {work:.2f} s ({work / dense.predictions * 1e6:.2f} us per prediction)")


if __name__ == "__main__":
    main()
