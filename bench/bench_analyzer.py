"""Documents per second of the whole analyzer from build_analyzer, with a tiny
randomly initialised GLiNER model and a blank Romanian spaCy pipeline, over a
folder of generated ~2 KB documents, followed by overlap resolution, the
denylist filter, anonymization and propagation; the time inside the model's
predict_entities is reported apart. A second pass asks only for the
rule-based entity types, so the neural recognizer is not run.

The untrained model scores nearly every span close to 0.5, so with the
catalogue's thresholds (0.2 for names) it would report every span of every
chunk and GLiNER's own overlap decoding would dominate. The labels are
therefore queried at --threshold (0.52 by default), which leaves a realistic
handful of predictions per document.

Usage: python bench/bench_analyzer.py [--documents 1000] [--size 2000] [--threshold 0.52]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

from support import models  # noqa: E402  (switches hub access off before transformers loads)
from support.corpus import generate  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--documents", type=int, default=1000)
    parser.add_argument("--size", type=int, default=2000)
    parser.add_argument("--threshold", type=float, default=0.52)
    args = parser.parse_args()

    from tarnis import analyzer, processing

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        gliner_dir = models.build_tiny_gliner(tmp / "gliner")
        spacy_dir = models.build_blank_ro_spacy(tmp / "spacy")
        folder = tmp / "docs"
        folder.mkdir()
        for i in range(args.documents):
            text, _ = generate(args.size, max(1, args.size // 500), seed=i)
            (folder / f"doc{i:04d}.txt").write_text(text, encoding="utf-8")

        t = time.perf_counter()
        engine = analyzer.build_analyzer(model_name=str(gliner_dir), spacy_model=str(spacy_dir),
                                         gliner_entity_mapping=analyzer.GLINER_ENTITY_MAPPING,
                                         threshold=args.threshold,
                                         entity_thresholds={label: args.threshold
                                                            for label in analyzer.GLINER_ENTITY_THRESHOLDS})
        build = time.perf_counter() - t
        [nlp] = engine.nlp_engine.nlp.values()
        processing._nlp_ro = nlp
        model = engine.registry.recognizers[0].model
        predict = model.predict_entities
        inside = [0.0]

        def timed_predict(*a, **k):
            start = time.perf_counter()
            try:
                return predict(*a, **k)
            finally:
                inside[0] += time.perf_counter() - start

        model.predict_entities = timed_predict

        def run(entities=None):
            entity_count = 0
            start = time.perf_counter()
            for path in sorted(folder.glob("*.txt")):
                text = path.read_text(encoding="utf-8")
                results = engine.analyze(text, language="ro", entities=entities)
                kept = processing.filter_entity_denylist(text, processing.resolve_overlaps(results, text))
                anonymized, entity_map = processing.anonymize_text(text, kept)
                processing.postprocess_anonymized(anonymized, entity_map)
                entity_count += sum(len(v) for v in entity_map.values())
            return time.perf_counter() - start, entity_count

        full, found = run()
        model_time = inside[0]
        rules = [e for e in analyzer.ENTITIES if e not in set(analyzer.GLINER_ENTITY_MAPPING.values())]
        rules_time, rules_found = run(rules)
        mb = sum(p.stat().st_size for p in folder.glob("*.txt")) / 1e6

    print(f"build_analyzer (tiny GLiNER, blank spaCy): {build:.2f} s")
    print(f"{args.documents} documents of ~{args.size} characters ({mb:.2f} MB):")
    print(f"  whole chain, all recognizers:      {full:7.2f} s  {args.documents / full:7.1f} documents/s  "
          f"({found} map entries; {model_time:.2f} s inside predict_entities)")
    print(f"  whole chain, rule-based types only: {rules_time:7.2f} s  {args.documents / rules_time:7.1f} documents/s  "
          f"({rules_found} map entries)")


if __name__ == "__main__":
    main()
