"""Words per second of the GLiNER recognizer with a model of the real size.

The default model of the recognizer is a DeBERTa-v3-large GLiNER (24 layers,
hidden size 1024, 16 heads, feed-forward 4096, a 128,100-token vocabulary,
span mode markerV0, max_len 384). Weights do not change the cost, so this
builds a randomly initialised model of exactly that shape, once, under
bench/out/ (about 3.5 GB with its ONNX exports; not in git), with a tokenizer
trained on the Romanian text of ../shared/data/ronec/ (relative to the
repository root) so that token counts are realistic.

For each execution path it runs `SmartGLiNERRecognizer.analyze` on a document
of Romanian sentences in a fresh process and prints words/s and the peak
resident memory of that process:
  per-chunk   one predict_entities call per chunk (batch_size=1)
  batched     chunks in batches of 8, longest first (the default)
  onnx        batched, ONNX Runtime fp32 (backend="onnx")
  onnx-int8   batched, ONNX Runtime with int8 weights (backend="onnx-int8")
It also checks that the batched and ONNX paths find the same entities as the
per-chunk path and prints the largest score difference, over every span
scored above 0 in the first chunks (threshold 0).

Usage: python bench/gliner_real_size.py [--words N] [--paths a,b,...] [--threads N] [--ronec DIR]
The default (--words 1500, about five 300-word chunks) takes a few minutes on
2 cores plus a one-off build and export; --words 20000 gives steadier figures.

With --command it measures the whole `tarnis anonymize` instead, on two
folders of generated documents (tests/support/corpus.py): --small documents of about
2 KB and --large documents of about 20 KB. Every path runs with --jobs 1 on
both folders, and the paths of --jobs2-paths (default: batched, onnx) again
with --jobs 2. For each run it prints the words/s of the command's processing
loop (from its summary line), of the whole run (model loading included), and
the peak resident memory of the command and its worker processes together
(sampled every 50 ms), and whether the outputs (texts and maps) equal those of
the first run on that folder. The default (3 small, 2 large) takes about ten
minutes on 2 cores; --small 200 --large 20 is a day's folder of a small office.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
MODEL = OUT / "gliner-large-random"
RONEC = (ROOT / ".." / "shared" / "data" / "ronec").resolve()
sys.path[:0] = [str(ROOT / "tests"), str(HERE)]

from support import models  # noqa: E402  (switches hub access off before transformers loads)

LABELS = {"person": "PERSON_NAME", "organization": "ORGANIZATION", "street address": "DOMIVIA",
          "username": "USERNAME", "password": "PASSWORD", "phone number": "PHONE_NUMBER", "email": "EMAIL_ADDRESS"}
PATHS = {"per-chunk": dict(batch_size=1), "batched": dict(batch_size=8),
         "onnx": dict(batch_size=8, backend="onnx"), "onnx-int8": dict(batch_size=8, backend="onnx-int8")}


def ronec_sentences():
    global RONEC
    RONEC = Path(os.environ.get("TARNIS_RONEC", RONEC))
    files = sorted(RONEC.glob("*.json")) if RONEC.is_dir() else []
    if not files:
        sys.exit(f"error: the Romanian text for the tokenizer is missing: expected ronec JSON files in {RONEC} "
                 "(the folder shared/data/ronec next to the repository)")
    for f in files:
        for item in json.loads(f.read_text(encoding="utf-8")):
            yield "".join(t + (" " if sp else "") for t, sp in zip(item["tokens"], item["space_after"])).strip()


def build_model():
    if (MODEL / "gliner_config.json").exists():
        return
    print(f"Building a randomly initialised real-size GLiNER in {MODEL} (once) ...", flush=True)
    import torch
    from gliner import GLiNER
    from tokenizers import Tokenizer, models as tm, normalizers, pre_tokenizers, processors, trainers
    from transformers import DebertaV2Config, DebertaV2Model, PreTrainedTokenizerFast

    torch.manual_seed(0)
    specials = ["[PAD]", "[CLS]", "[SEP]", "[UNK]", "[MASK]"]
    tok = Tokenizer(tm.Unigram())
    tok.normalizer = normalizers.NFKC()
    tok.pre_tokenizer = pre_tokenizers.Metaspace()
    tok.train_from_iterator(list(ronec_sentences()), trainers.UnigramTrainer(
        vocab_size=32000, special_tokens=specials, unk_token="[UNK]"))
    tok.post_processor = processors.TemplateProcessing(
        single="[CLS] $A [SEP]", pair="[CLS] $A [SEP] $B [SEP]",
        special_tokens=[("[CLS]", tok.token_to_id("[CLS]")), ("[SEP]", tok.token_to_id("[SEP]"))])
    fast = PreTrainedTokenizerFast(tokenizer_object=tok, unk_token="[UNK]", pad_token="[PAD]", cls_token="[CLS]",
                                   sep_token="[SEP]", mask_token="[MASK]", model_max_length=512)
    encoder = OUT / "deberta-v3-large-random"
    fast.save_pretrained(encoder)
    # The shape of DeBERTa-v3-large; the vocabulary size is the real one
    # (the embedding matrix is part of the cost), the tokenizer uses a part.
    config = DebertaV2Config(vocab_size=128100, hidden_size=1024, num_hidden_layers=24, num_attention_heads=16,
                             intermediate_size=4096, max_position_embeddings=512, relative_attention=True,
                             position_buckets=256, norm_rel_ebd="layer_norm", share_att_key=True,
                             pos_att_type=["p2c", "c2p"], position_biased_input=False, max_relative_positions=-1,
                             type_vocab_size=0, layer_norm_eps=1e-7)
    DebertaV2Model(config).save_pretrained(encoder)
    model = GLiNER.from_config({"model_name": str(encoder), "hidden_size": 512, "max_width": 12, "max_len": 384,
                                "span_mode": "markerV0"}, backbone_from_pretrained=True)
    model.save_pretrained(MODEL, safe_serialization=True)


def document(words):
    out, n = [], 0
    for s in ronec_sentences():
        out.append(s)
        n += len(s.split())
        if n >= words:
            break
    return " ".join(out)


def run_path(name, words, threads, check_words):
    """In a fresh process: analyze the document on one path."""
    import torch
    if threads:
        torch.set_num_threads(threads)
    from tarnis.recognizers import gliner
    spacy_dir = OUT / "blank-ro"
    if not spacy_dir.exists():
        models.build_blank_ro_spacy(spacy_dir)
    kw = dict(model_name=str(MODEL), spacy_model=str(spacy_dir), entity_mapping=LABELS, max_chunk_tokens=300)
    rec = gliner.SmartGLiNERRecognizer(**kw, **PATHS[name])
    text = document(words)
    entities = sorted(set(LABELS.values()))
    rec.analyze(document(60), entities)  # warm-up
    t = time.perf_counter()
    results = rec.analyze(text, entities)
    seconds = time.perf_counter() - t
    rec.threshold = 0.0  # every span scored, for the comparison
    scored = rec.analyze(document(check_words), entities)
    return {"words": len(text.split()), "chunks": len(rec._build_chunks(text)[0]), "seconds": seconds,
            "found": [(r.entity_type, r.start, r.end) for r in results],
            "scores": [(r.entity_type, r.start, r.end, r.score) for r in scored],
            "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


# --- the whole command ------------------------------------------------------------------------

COMMAND_PATHS = {"per-chunk": ["--gliner-batch-size", "1"], "batched": [],
                 "onnx": ["--gliner-backend", "onnx"], "onnx-int8": ["--gliner-backend", "onnx-int8"]}
SUMMARY = re.compile(r"(\d+) documents? anonymized, (\d+) failed, in ([\d.]+) s")


def write_folder(folder: Path, count: int, size: int) -> int:
    """`count` generated documents of about `size` bytes; returns their words."""
    from support import corpus
    folder.mkdir(parents=True, exist_ok=True)
    words = 0
    for i in range(count):
        text, _ = corpus.generate(size=size, entities=max(1, size // 250), seed=1000 * size + i)
        (folder / f"doc{i:03d}.txt").write_text(text, encoding="utf-8")
        words += len(text.split())
    return words


def tree_rss_kib(pid: int) -> int:
    """Resident memory of a process and all its descendants, in KiB."""
    total, todo = 0, [pid]
    while todo:
        p = todo.pop()
        try:
            with open(f"/proc/{p}/status") as f:
                total += next((int(line.split()[1]) for line in f if line.startswith("VmRSS:")), 0)
            with open(f"/proc/{p}/task/{p}/children") as f:
                todo.extend(int(c) for c in f.read().split())
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            continue
    return total


def run_command(folder: Path, out: Path, path: str, jobs: int) -> dict:
    spacy_dir = OUT / "blank-ro"
    if not spacy_dir.exists():
        models.build_blank_ro_spacy(spacy_dir)
    cmd = [sys.executable, "-m", "tarnis", "anonymize", str(folder), "-o", str(out), "--force",
           "--gliner-model", str(MODEL), "--spacy-model", str(spacy_dir), "--jobs", str(jobs),
           *COMMAND_PATHS[path]]
    env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1")
    started = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak = 0
    while proc.poll() is None:
        peak = max(peak, tree_rss_kib(proc.pid))
        time.sleep(0.05)
    wall = time.perf_counter() - started
    stderr = proc.stderr.read().decode("utf-8", "replace")
    if proc.returncode:
        sys.exit(f"{' '.join(cmd)} failed ({proc.returncode}):\n{stderr[-3000:]}")
    m = SUMMARY.search(stderr)
    outputs = {p.name: p.read_bytes() for p in sorted(out.iterdir()) if p.is_file()}
    return {"wall": wall, "loop": float(m.group(3)) if m else float("nan"), "peak_mib": peak / 1024,
            "outputs": outputs}


def command_main(args) -> None:
    import tempfile
    build_model()
    paths = args.paths.split(",")
    if any(p.startswith("onnx") for p in paths):
        from tarnis.recognizers import gliner
        print(f"ONNX export (once): {gliner.export_onnx(str(MODEL))}", flush=True)
    runs = [(p, 1) for p in paths] + [(p, 2) for p in args.jobs2_paths.split(",") if p]
    with tempfile.TemporaryDirectory(prefix="tarnis-bench-") as tmp:
        tmp = Path(tmp)
        folders = [("2 KB", tmp / "small", write_folder(tmp / "small", args.small, 2_000), args.small),
                   ("20 KB", tmp / "large", write_folder(tmp / "large", args.large, 20_000), args.large)]
        print(f"{'documents':<14}{'path':<11}{'jobs':>5}{'loop s':>8}{'words/s':>9}{'wall s':>8}"
              f"{'words/s':>9}{'peak MiB':>10}  same outputs")
        for label, folder, words, count in folders:
            if not count:
                continue
            first = None
            for path, jobs in runs:
                r = run_command(folder, tmp / f"out-{label}-{path}-{jobs}", path, jobs)
                first = first or r
                same = "yes" if r["outputs"] == first["outputs"] else "no"
                print(f"{f'{count} x {label}':<14}{path:<11}{jobs:>5}{r['loop']:>8.1f}{words / r['loop']:>9.1f}"
                      f"{r['wall']:>8.1f}{words / r['wall']:>9.1f}{r['peak_mib']:>10.0f}  {same}", flush=True)
            print(f"{'':<14}({words} words)", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--words", type=int, default=1500)
    ap.add_argument("--paths", default=",".join(PATHS))
    ap.add_argument("--threads", type=int, default=0, help="intra-op threads of torch (0: its default)")
    ap.add_argument("--check-words", type=int, default=400)
    ap.add_argument("--ronec", help=f"folder of the ronec JSON files (default {RONEC})")
    ap.add_argument("--command", action="store_true", help="measure the whole `tarnis anonymize` instead")
    ap.add_argument("--small", type=int, default=3, help="--command: documents of about 2 KB")
    ap.add_argument("--large", type=int, default=2, help="--command: documents of about 20 KB")
    ap.add_argument("--jobs2-paths", default="batched,onnx", help="--command: paths also run with --jobs 2")
    ap.add_argument("--_run", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.command:
        command_main(args)
        return
    if args.ronec:
        os.environ["TARNIS_RONEC"] = args.ronec  # seen by the worker processes too
    if args._run:
        print(json.dumps(run_path(args._run, args.words, args.threads, args.check_words)))
        return
    build_model()
    paths = args.paths.split(",")
    if any(p.startswith("onnx") for p in paths):
        from tarnis.recognizers import gliner
        t = time.perf_counter()
        print(f"ONNX export (once): {gliner.export_onnx(str(MODEL))}  {time.perf_counter() - t:.0f}s", flush=True)
    print(f"{'path':<11}{'words':>7}{'chunks':>7}{'seconds':>9}{'words/s':>9}{'speed-up':>9}{'peak MB':>9}"
          f"{'same':>6}{'max |d score|':>15}")
    base = None
    for name in paths:
        proc = subprocess.run([sys.executable, __file__, "--_run", name, "--words", str(args.words),
                               "--threads", str(args.threads), "--check-words", str(args.check_words)],
                              capture_output=True, text=True)
        if proc.returncode:
            print(f"{name}: failed\n{proc.stderr[-2000:]}")
            continue
        r = json.loads(proc.stdout.strip().splitlines()[-1])
        (OUT / f"result-{name}.json").write_text(json.dumps(r))
        rate = r["words"] / r["seconds"]
        if base is None:
            base = r
        same = r["found"] == base["found"]
        want = {k[:3]: k[3] for k in map(tuple, base["scores"])}
        diffs = [abs(s - want[tuple(k)]) for *k, s in r["scores"] if tuple(k) in want]
        spans_same = len(diffs) == len(want) == len(r["scores"])
        delta = f"{max(diffs):.2e}" if diffs and spans_same else "spans differ"
        print(f"{name:<11}{r['words']:>7}{r['chunks']:>7}{r['seconds']:>9.1f}{rate:>9.1f}"
              f"{rate / (base['words'] / base['seconds']):>8.2f}x{r['peak_mb']:>9.0f}{str(same):>6}{delta:>15}",
              flush=True)


if __name__ == "__main__":
    main()
