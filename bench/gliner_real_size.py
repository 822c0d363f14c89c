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

With --onnx-settings it measures ONNX Runtime sessions instead: the PyTorch
default and each session of --variants (KIND:NAME; KIND fp32, int8, or another
int8 quantisation made here once, NAME "as-loaded" for the recognizer's own
session or a setting of ORT_VARIANTS: threads, execution mode, memory arena,
spinning, optimisation level), in one process, interleaved over --rounds, with
the median of the per-round ratios to PyTorch and their spread, the load and
the matrix-multiply rate, the score check, and with --profile NAME the time
per op kind from ONNX Runtime's profiler.

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
import statistics
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


# --- one process, every path -------------------------------------------------------------------

def load_avg():
    return "/".join(f"{x:.1f}" for x in os.getloadavg())


def spread(values):
    """(median, relative spread (max - min) / median)."""
    med = statistics.median(values)
    return med, (max(values) - min(values)) / med if med else float("nan")


def matmul_gflops(n=2048, repeat=3):
    """The machine's fp32 matrix-multiply rate with torch, best of `repeat`."""
    import torch
    a, b = torch.randn(n, n), torch.randn(n, n)
    torch.mm(a, b)
    best = min(timed(lambda: torch.mm(a, b)) for _ in range(repeat))
    return 2 * n ** 3 / best / 1e9


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def load_before(path):
    """The recognizer module of an earlier build (a copied .so), loaded beside the current one."""
    import importlib.machinery
    import importlib.util
    loader = importlib.machinery.ExtensionFileLoader("before.gliner", str(path))
    found = importlib.util.spec_from_file_location("before.gliner", str(path), loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def make_recognizer(cls, model, nlp, **kw):
    """A recognizer around an already loaded model and pipeline (loading them once per path
    would cost minutes and gigabytes)."""
    load = cls.__dict__["load"]
    cls.load = lambda self: None
    try:
        rec = cls(**kw)
    finally:
        cls.load = load
    rec.model, rec.nlp = model, nlp
    return rec


def model_words(text):
    from tarnis.recognizers import gliner
    return gliner._MODEL_WORD_RE.findall(text)


def text_tokens(model, text):
    """Subword tokens of the text as the model cuts it (no prompt, no special tokens)."""
    tok = model.data_processor.transformer_tokenizer
    words = model_words(text)
    return len(tok(words, is_split_into_words=True, add_special_tokens=False, truncation=False,
                   verbose=False)["input_ids"])


def prompt_tokens(model, labels):
    dp = model.data_processor
    prompt = [w for label in labels for w in (dp.ent_token, label)] + [dp.sep_token]
    return len(dp.transformer_tokenizer(prompt, is_split_into_words=True, truncation=False, verbose=False)["input_ids"])


class Profile:
    """Times the encoder, the span head (the rest of the model's forward), decoding and the
    rest (tokenization, collation, the recognizer) of the calls made while active; counts the
    encoder's inputs, tokens, padding and the floating-point work of its linear layers."""

    def __init__(self, model):
        import torch
        self.model, self.torch = model, torch
        self.reset()
        core = model.model
        encoder = core.token_rep_layer
        self.handles = [
            encoder.register_forward_pre_hook(self._enc_in), encoder.register_forward_hook(self._enc_out),
            core.register_forward_pre_hook(self._fwd_in), core.register_forward_hook(self._fwd_out)]
        for m in encoder.modules():
            if isinstance(m, torch.nn.Linear):
                self.handles.append(m.register_forward_hook(self._linear))
        self.decode = model.decode_batch
        model.decode_batch = self._decode
        cfg = encoder.bert_layer.model.config if hasattr(encoder.bert_layer, "model") else None
        self.layers = getattr(cfg, "num_hidden_layers", 24)
        self.hidden = getattr(cfg, "hidden_size", 1024)
        self.buckets = getattr(cfg, "position_buckets", 256)

    def reset(self):
        self.encoder = self.forward = self.decoding = 0.0
        self.inputs = self.calls = self.padded = self.real = 0
        self.linear_flops = self.attention_flops = 0.0

    def close(self):
        for h in self.handles:
            h.remove()
        del self.model.decode_batch

    def _enc_in(self, module, args, kwargs=None):
        self._t_enc = time.perf_counter()
        ids = args[0] if args else None
        mask = args[1] if len(args) > 1 else None
        if ids is not None:
            b, n = ids.shape
            self.inputs += b
            self.calls += 1
            self.padded += b * n
            self.real += int(mask.sum()) if mask is not None else b * n
            # Attention products of one layer: scores and values (2 L^2 d each) and the two
            # relative-position terms (2 L (2k) d each).
            self.attention_flops += self.layers * b * (4 * n * n * self.hidden + 8 * n * self.buckets * self.hidden)

    def _enc_out(self, module, args, out):
        self.encoder += time.perf_counter() - self._t_enc

    def _fwd_in(self, module, args, kwargs=None):
        self._t_fwd = time.perf_counter()

    def _fwd_out(self, module, args, out):
        self.forward += time.perf_counter() - self._t_fwd

    def _linear(self, module, args, out):
        x = args[0]
        self.linear_flops += 2.0 * module.in_features * module.out_features * (x.numel() // module.in_features)

    def _decode(self, *a, **kw):
        t = time.perf_counter()
        try:
            return self.decode(*a, **kw)
        finally:
            self.decoding += time.perf_counter() - t


def pieces(text, size):
    """The text cut into consecutive pieces of `size` whitespace words (character slices)."""
    starts = [m.start() for m in re.finditer(r"\S+", text)]
    return [text[starts[k]:(starts[k + size] if k + size < len(starts) else len(text))].strip()
            for k in range(0, len(starts), size)]


def same_process_main(args):
    import torch
    if args.threads:
        torch.set_num_threads(args.threads)
    t0 = time.perf_counter()
    from gliner import GLiNER
    from tarnis.recognizers import gliner
    import spacy
    t_import = time.perf_counter() - t0
    spacy_dir = OUT / "blank-ro"
    if not spacy_dir.exists():
        models.build_blank_ro_spacy(spacy_dir)
    t0 = time.perf_counter()
    model = GLiNER.from_pretrained(str(MODEL))
    t_model = time.perf_counter() - t0
    nlp = spacy.load(str(spacy_dir))
    labels = list(LABELS)
    entities = sorted(set(LABELS.values()))
    kw = dict(model_name=str(MODEL), spacy_model=str(spacy_dir), entity_mapping=LABELS)
    text = document(args.words)
    n_words = len(text.split())
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads; {n_words} words, {len(labels)} labels;"
          f" imports {t_import:.1f} s, model load {t_model:.1f} s; load average {load_avg()}", flush=True)

    paths = {}
    before = Path(args.before) if args.before else OUT / "before" / "gliner.cpython-311-x86_64-linux-gnu.so"
    if before.exists() and "before" in args.paths.split(","):
        old = load_before(before)
        paths["before"] = make_recognizer(old.SmartGLiNERRecognizer, model, nlp, **kw)  # its own default, 8
        paths["before-b1"] = make_recognizer(old.SmartGLiNERRecognizer, model, nlp, **kw, batch_size=1)
    for name in args.paths.split(","):
        if name.startswith("batch"):
            paths[name] = make_recognizer(gliner.SmartGLiNERRecognizer, model, nlp, **kw,
                                          batch_size=int(name[5:]))
        elif name == "default":
            paths[name] = make_recognizer(gliner.SmartGLiNERRecognizer, model, nlp, **kw)
    default = paths.get("default")
    threshold = (default or next(iter(paths.values()))).threshold
    flat_ner = (default or next(iter(paths.values()))).flat_ner
    bare_pieces = pieces(text, args.piece_words)

    def bare():
        for p in bare_pieces:
            model.predict_entities(p, labels, threshold=threshold, flat_ner=flat_ner)

    runs = {name: (lambda r=r: r.analyze(text, entities)) for name, r in paths.items()}
    runs[f"bare-{args.piece_words}"] = bare
    names = list(runs)

    # Warm-up, and the plan of every path: encoder inputs and tokens.
    prof = Profile(model)
    n_text_tokens = text_tokens(model, text)
    n_prompt = prompt_tokens(model, labels)
    plan = {}
    warm = document(60)
    for rec in paths.values():
        rec.analyze(warm, entities)
    for name in names:
        prof.reset()
        t = timed(runs[name])
        plan[name] = dict(inputs=prof.inputs, calls=prof.calls, padded=prof.padded, real=prof.real,
                          encoder=prof.encoder, forward=prof.forward, decoding=prof.decoding, total=t,
                          linear=prof.linear_flops, attention=prof.attention_flops)
    prof.close()
    rate = matmul_gflops()
    print(f"\nWhere the time goes (one run each, load average {load_avg()}); text: {n_text_tokens} tokens, "
          f"prompt {n_prompt} tokens with its special tokens; matrix multiply (2048^2, fp32) {rate:.1f} GFLOP/s")
    print(f"{'path':<12}{'inputs':>7}{'calls':>6}{'tokens':>8}{'padded':>8}{'tok/text':>9}{'(-prompt)':>10}"
          f"{'total s':>8}{'encoder':>8}{'span head':>10}{'decode':>7}{'other':>7}{'lin GF/s':>9}{'+attn':>7}")
    for name in names:
        p = plan[name]
        other = p["total"] - p["forward"] - p["decoding"]
        print(f"{name:<12}{p['inputs']:>7}{p['calls']:>6}{p['real']:>8}{p['padded']:>8}"
              f"{p['padded'] / n_text_tokens:>8.2f}x{(p['real'] - n_prompt * p['inputs']) / n_text_tokens:>9.2f}x"
              f"{p['total']:>8.1f}{p['encoder']:>8.1f}{p['forward'] - p['encoder']:>10.2f}{p['decoding']:>7.2f}"
              f"{other:>7.2f}{p['linear'] / p['encoder'] / 1e9:>9.1f}"
              f"{(p['linear'] + p['attention']) / p['encoder'] / 1e9:>7.1f}", flush=True)

    if args.sweep:
        encoder_sweep(model, rate)

    # Interleaved rounds: every path once per round, in a rotating order.
    times = {name: [] for name in names}
    rates = []
    loads = [os.getloadavg()[0]]
    for r in range(args.rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            times[name].append(timed(runs[name]))
        rates.append(matmul_gflops(repeat=2))
        loads.append(os.getloadavg()[0])
    bare_name = f"bare-{args.piece_words}"
    print(f"\nSame process, {args.rounds} interleaved rounds, {n_words} words; load average (1 min) "
          f"{min(loads):.1f}-{max(loads):.1f}; matrix multiply {min(rates):.1f}-{max(rates):.1f} GFLOP/s")
    print(f"{'path':<12}{'median s':>9}{'words/s':>9}{'spread':>8}{'vs ' + bare_name:>14}{'spread':>8}"
          f"{'vs batch1':>10}{'tok/text':>9}")
    for name in names:
        med, sp = spread(times[name])
        vs_bare = [b / t for t, b in zip(times[name], times[bare_name])]
        rb, rsp = spread(vs_bare)
        ref = "batch1" if "batch1" in times else names[0]
        vs_one = statistics.median(o / t for t, o in zip(times[name], times[ref]))
        print(f"{name:<12}{med:>9.1f}{n_words / med:>9.1f}{sp * 100:>7.0f}%{rb:>13.2f}x{rsp * 100:>7.0f}%"
              f"{vs_one:>9.2f}x{plan[name]['padded'] / n_text_tokens:>8.2f}x", flush=True)

    if args.check_words:
        check(paths, document(args.check_words), entities)


def encoder_sweep(model, rate):
    """Encoder seconds per 1,000 tokens by sequence length and batch size, interleaved."""
    import torch
    enc = model.model.token_rep_layer
    shapes = [(1, 128), (1, 256), (1, 384), (1, 512), (2, 512), (4, 256)]
    got = {s: [] for s in shapes}
    with torch.inference_mode():
        for _ in range(2):
            for b, n in shapes:
                ids = torch.randint(10, 1000, (b, n))
                mask = torch.ones(b, n, dtype=torch.long)
                got[(b, n)].append(timed(lambda: enc(ids, mask)))
    print(f"\nEncoder alone by shape (best of 2, interleaved; matrix multiply {rate:.1f} GFLOP/s):")
    for (b, n), ts in got.items():
        t = min(ts)
        print(f"  batch {b} x {n:>3} tokens: {t:6.2f} s, {t / (b * n) * 1000:6.2f} s per 1,000 tokens")


def check(paths, text, entities):
    """Entities and scores of every path against one call per chunk, over every span scored
    (threshold 0)."""
    ref_name = "batch1" if "batch1" in paths else next(iter(paths))
    got = {}
    for name, rec in paths.items():
        saved = rec.threshold
        rec.threshold = 0.0
        try:
            got[name] = {(r.entity_type, r.start, r.end): r.score for r in rec.analyze(text, entities)}
        finally:
            rec.threshold = saved
    ref = got[ref_name]
    print(f"\nEvery span scored (threshold 0) on {len(text.split())} words, against {ref_name}:")
    for name, g in got.items():
        same = g.keys() == ref.keys()
        diff = max((abs(g[k] - ref[k]) for k in g.keys() & ref.keys()), default=0.0)
        print(f"  {name:<12}{len(g):>7} spans, same spans: {same}, max |d score| on common spans {diff:.1e}")


# --- ONNX Runtime session settings --------------------------------------------------------------

# Settings of an ONNX Runtime session, by name: each variant is the recognizer's
# own session ("as loaded", what SmartGLiNERRecognizer(backend=...) makes) or a
# session built here with some of these changed from onnxruntime's defaults.
ORT_VARIANTS = {
    "defaults": {},                                  # onnxruntime's own defaults (all cores, all optimisations)
    "intra1": {"intra": 1},
    "intra2": {"intra": 2},
    "intra2-nospin": {"intra": 2, "spin": False},
    "intra2-parallel": {"intra": 2, "mode": "parallel", "inter": 2},
    "intra2-noarena": {"intra": 2, "arena": False},
    "intra2-extended": {"intra": 2, "level": "extended"},
    "intra2-basic": {"intra": 2, "level": "basic"},
}


def ort_options(settings):
    import onnxruntime as ort
    o = ort.SessionOptions()
    levels = {"all": "ORT_ENABLE_ALL", "extended": "ORT_ENABLE_EXTENDED", "basic": "ORT_ENABLE_BASIC",
              "none": "ORT_DISABLE_ALL"}
    o.graph_optimization_level = getattr(ort.GraphOptimizationLevel, levels[settings.get("level", "all")])
    if "intra" in settings:
        o.intra_op_num_threads = settings["intra"]
    if "inter" in settings:
        o.inter_op_num_threads = settings["inter"]
    if settings.get("mode") == "parallel":
        o.execution_mode = ort.ExecutionMode.ORT_PARALLEL
    if "arena" in settings:
        o.enable_cpu_mem_arena = settings["arena"]
    if "spin" in settings:
        o.add_session_config_entry("session.intra_op.allow_spinning", "1" if settings["spin"] else "0")
    if settings.get("profile"):
        o.enable_profiling = True
        o.profile_file_prefix = str(OUT / "ort-profile")
    return o


def describe_options(o):
    import onnxruntime as ort
    mode = "parallel" if o.execution_mode == ort.ExecutionMode.ORT_PARALLEL else "sequential"
    try:
        spin = o.get_session_config_entry("session.intra_op.allow_spinning")
    except RuntimeError:        # not set: onnxruntime's default (spinning)
        spin = ""
    return (f"intra {o.intra_op_num_threads}, inter {o.inter_op_num_threads}, {mode}, arena {o.enable_cpu_mem_arena},"
            f" level {str(o.graph_optimization_level).rsplit('.', 1)[-1]}, spinning {spin or 'default'}")


def onnx_model(file, settings):
    """A GLiNER around a session of `file` (in the model's onnx folder) with the settings of `settings`;
    and the seconds the session took to create."""
    import onnxruntime as ort
    from gliner import GLiNER
    t = time.perf_counter()
    session = ort.InferenceSession(str(MODEL / "onnx" / file), sess_options=ort_options(settings),
                                   providers=["CPUExecutionProvider"])
    seconds = time.perf_counter() - t
    return GLiNER.from_pretrained(str(MODEL / "onnx"), load_onnx_model=True, onnx_model_file=file,
                                  runtime_options={"session": session}), seconds


# Quantised copies of model.onnx besides the recognizer's own (model_int8.onnx: int8 weights, one
# scale per output channel), made here on first use for --variants int8-u8:..., int8-s8:...;
# int8-u8 is what the gliner library's exporter makes (uint8 weights, one scale per tensor).
QUANTISED = {"int8": ("model_int8.onnx", None),
             "int8-u8": ("model_quantized_u8.onnx", dict(weight_type="QUInt8")),
             "int8-s8": ("model_quantized_s8.onnx", dict(weight_type="QInt8")),
             "int8-s8pc": ("model_quantized_s8pc.onnx", dict(weight_type="QInt8", per_channel=True)),
             "int8-u8pc": ("model_quantized_u8pc.onnx", dict(weight_type="QUInt8", per_channel=True)),
             # the same as int8, from a graph that onnxruntime's quantisation pre-processing
             # (shape inference and graph optimisation) went over first
             "int8-pre": ("model_quantized_pre.onnx", dict(weight_type="QInt8", per_channel=True, pre=True))}


def quantised_file(kind):
    file, how = QUANTISED[kind]
    path = MODEL / "onnx" / file
    if how is not None and not path.exists():
        from onnxruntime.quantization import QuantType, quantize_dynamic
        t = time.perf_counter()
        source = MODEL / "onnx" / "model.onnx"
        if how.get("pre"):
            from onnxruntime.quantization.shape_inference import quant_pre_process
            prepared = MODEL / "onnx" / "model_prepared.onnx"
            if not prepared.exists():
                cwd = os.getcwd()
                os.chdir(OUT)       # it leaves its temporary files in the working folder
                try:
                    quant_pre_process(str(source), str(prepared), skip_symbolic_shape=True)
                finally:
                    os.chdir(cwd)
            source = prepared
        quantize_dynamic(str(source), str(path), per_channel=how.get("per_channel", False),
                         weight_type=getattr(QuantType, how["weight_type"]))
        print(f"  quantised {file} in {time.perf_counter() - t:.0f} s", flush=True)
    return file


def rss_mib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024


def profile_torch(rec, text, entities):
    """Self time per aten op of one analysis on the PyTorch path, with torch's profiler."""
    from torch.profiler import ProfilerActivity, profile
    with profile(activities=[ProfilerActivity.CPU]) as prof:
        rec.analyze(text, entities)
    by_op = {e.key: e.self_cpu_time_total / 1e6 for e in prof.key_averages()}
    return sum(by_op.values()), sorted(by_op.items(), key=lambda kv: -kv[1])


def profile_ops(model, text, entities, rec):
    """Time per op kind of one analysis with ONNX Runtime's profiler (the session of `model`
    must have been made with profiling on)."""
    rec.analyze(text, entities)
    path = model.model.session.end_profiling()
    events = json.loads(Path(path).read_text())
    by_op, total = {}, 0.0
    for e in events:
        if e.get("cat") == "Node" and e.get("name", "").endswith("_kernel_time"):
            op = e.get("args", {}).get("op_name", "?")
            by_op[op] = by_op.get(op, 0.0) + e["dur"] / 1e6
            total += e["dur"] / 1e6
    os.unlink(path)
    return total, sorted(by_op.items(), key=lambda kv: -kv[1])


def onnx_settings_main(args):
    """Each ONNX Runtime variant of --variants against the PyTorch default in one process, interleaved."""
    import torch
    if args.threads:
        torch.set_num_threads(args.threads)
    from gliner import GLiNER
    from tarnis.recognizers import gliner
    import spacy
    spacy_dir = OUT / "blank-ro"
    if not spacy_dir.exists():
        models.build_blank_ro_spacy(spacy_dir)
    t = time.perf_counter()
    print(f"ONNX export (once): {gliner.export_onnx(str(MODEL))} in {time.perf_counter() - t:.1f} s", flush=True)
    kw = dict(model_name=str(MODEL), spacy_model=str(spacy_dir), entity_mapping=LABELS)
    entities = sorted(set(LABELS.values()))
    text = document(args.words)
    n_words = len(text.split())
    nlp = spacy.load(str(spacy_dir))
    t = time.perf_counter()
    torch_model = GLiNER.from_pretrained(str(MODEL))
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads; {n_words} words, {len(LABELS)} labels; "
          f"torch model load {time.perf_counter() - t:.1f} s, resident {rss_mib():.0f} MiB; load average {load_avg()}",
          flush=True)
    paths = {"torch": make_recognizer(gliner.SmartGLiNERRecognizer, torch_model, nlp, **kw)}
    for name in args.variants.split(","):
        kind, _, setting = name.partition(":")
        backend = "onnx" if kind == "fp32" else "onnx-int8"
        before = rss_mib()
        if setting == "as-loaded":
            # The recognizer's own session, made as the command makes it.
            t = time.perf_counter()
            rec = gliner.SmartGLiNERRecognizer(**kw, backend=backend)
            seconds = time.perf_counter() - t
            rec.nlp = nlp
        else:
            file = "model.onnx" if kind == "fp32" else quantised_file(kind)
            model, seconds = onnx_model(file, ORT_VARIANTS[setting])
            rec = make_recognizer(gliner.SmartGLiNERRecognizer, model, nlp, **kw, backend=backend)
        paths[name] = rec
        print(f"  {name:<24} session {seconds:5.1f} s, +{rss_mib() - before:5.0f} MiB: "
              f"{describe_options(rec.model.model.session.get_session_options())}", flush=True)

    warm = document(60)
    for rec in paths.values():
        rec.analyze(warm, entities)
    names = list(paths)
    times = {name: [] for name in names}
    loads = [os.getloadavg()[0]]
    rates = [matmul_gflops(repeat=2)]
    for r in range(args.rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            times[name].append(timed(lambda: paths[name].analyze(text, entities)))
        rates.append(matmul_gflops(repeat=2))
        loads.append(os.getloadavg()[0])
    print(f"\nSame process, {args.rounds} interleaved rounds, {n_words} words; load average (1 min) "
          f"{min(loads):.1f}-{max(loads):.1f}; matrix multiply {min(rates):.1f}-{max(rates):.1f} GFLOP/s")
    print(f"{'path':<24}{'median s':>9}{'words/s':>9}{'spread':>8}{'vs torch':>10}{'spread':>8}")
    for name in names:
        med, sp = spread(times[name])
        vs, vsp = spread([a / b for a, b in zip(times["torch"], times[name])])
        print(f"{name:<24}{med:>9.1f}{n_words / med:>9.1f}{sp * 100:>7.0f}%{vs:>9.2f}x{vsp * 100:>7.0f}%", flush=True)

    if args.check_words:
        check(paths, document(args.check_words), entities)

    if args.profile:
        print(f"\nTime per op kind, one analysis of {n_words} words (load average {load_avg()}):")
        total, ops = profile_torch(paths["torch"], text, entities)
        shown = ", ".join(f"{op} {s:.1f} s ({s / total * 100:.0f}%)" for op, s in ops[:8])
        print(f"  torch (its profiler, self time of CPU ops): {total:.1f} s: {shown}", flush=True)
        for kind in args.profile_kinds.split(","):
            file = "model.onnx" if kind == "fp32" else quantised_file(kind)
            settings = dict(ORT_VARIANTS[args.profile], profile=True)
            model, _ = onnx_model(file, settings)
            rec = make_recognizer(gliner.SmartGLiNERRecognizer, model, nlp, **kw, backend="onnx")
            total, ops = profile_ops(model, text, entities, rec)
            shown = ", ".join(f"{op} {s:.1f} s ({s / total * 100:.0f}%)" for op, s in ops[:8])
            print(f"  {kind} ({args.profile}): kernels {total:.1f} s: {shown}", flush=True)
            del rec, model


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
    ap.add_argument("--paths", default="before,batch1,batch2,default",
                    help="before (the build in --before), batchN, default; plus the bare model always")
    ap.add_argument("--before", help="an earlier build of tarnis/recognizers/gliner*.so to compare with"
                    " (default bench/out/before/)")
    ap.add_argument("--piece-words", type=int, default=150, help="words per call of the bare model")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--sweep", action="store_true", help="also time the encoder alone by shape")
    ap.add_argument("--threads", type=int, default=0, help="intra-op threads of torch (0: its default)")
    ap.add_argument("--check-words", type=int, default=400)
    ap.add_argument("--ronec", help=f"folder of the ronec JSON files (default {RONEC})")
    ap.add_argument("--command", action="store_true", help="measure the whole `tarnis anonymize` instead")
    ap.add_argument("--small", type=int, default=3, help="--command: documents of about 2 KB")
    ap.add_argument("--large", type=int, default=2, help="--command: documents of about 20 KB")
    ap.add_argument("--jobs2-paths", default="batched,onnx", help="--command: paths also run with --jobs 2")
    ap.add_argument("--onnx-settings", action="store_true",
                    help="measure ONNX Runtime session settings against the PyTorch default instead")
    ap.add_argument("--variants", default="fp32:as-loaded,fp32:defaults,int8:as-loaded,int8:defaults",
                    help="--onnx-settings: KIND:NAME, KIND fp32 or one of "
                         f"{', '.join(QUANTISED)} (int8 copies), NAME 'as-loaded' (the recognizer's own "
                         f"session) or one of {', '.join(ORT_VARIANTS)}")
    ap.add_argument("--profile", metavar="NAME", help="--onnx-settings: also time op kinds of a session with "
                    "these settings")
    ap.add_argument("--profile-kinds", default="fp32,int8", help=f"--profile: fp32 and any of {', '.join(QUANTISED)}")
    args = ap.parse_args()
    if args.command:
        command_main(args)
        return
    if args.onnx_settings:
        if args.ronec:
            os.environ["TARNIS_RONEC"] = args.ronec
        build_model()
        onnx_settings_main(args)
        return
    if args.ronec:
        os.environ["TARNIS_RONEC"] = args.ronec  # seen by the worker processes too
    build_model()
    same_process_main(args)


if __name__ == "__main__":
    main()
