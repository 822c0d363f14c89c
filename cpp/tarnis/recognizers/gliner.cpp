// Names of persons and organizations, addresses, user names and passwords
// found by a GLiNER zero-shot model. The text is cut into chunks of whole
// sentences, sized to what the model reads at once, that share up to
// `overlap_sentences` sentences with their neighbours;
// each chunk owns a core zone, and a prediction is kept only by the chunk
// whose core zone holds its start, so an entity seen twice is reported once.
//
// The gliner package (and with it torch) is imported by `load` only, so that
// importing this module stays cheap.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "core/checks.hpp"
#include "core/log.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/sentences.hpp"
#include "core/defaults.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

const char* const kRecognizerName = "SmartGLiNERRecognizer";
const char* const kDefaultModel = tarnis::core::defaults::kGlinerModel;
const char* const kDefaultSpacyModel = tarnis::core::defaults::kSpacyModel;
// Chunks per model call. On a CPU of two cores a batch costs more per token
// than its texts one by one (the encoder of a large model is bound by memory
// traffic, which padded batches add to), so one call per chunk is the
// default; larger batches are bucketed by length and give the same results.
constexpr int kDefaultBatchSize = 1;

// Leaked on purpose: these hold Python objects and must not be released after
// the interpreter has shut down.
ModuleLogger* g_log = nullptr;
PyObject* g_unavailable = nullptr;  // ModelUnavailableError

// ---------------------------------------------------------------------------
// Argument and attribute checks

// A non-negative count read from an int attribute; values beyond what a
// text can hold are clamped, they mean "no limit" in practice.
long long count_value(py::handle v, const char* func, const char* arg, long long minimum) {
  require_int(v, func, arg);
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow > 0) n = LLONG_MAX / 4;
  if (overflow < 0 || n < minimum) {
    throw py::value_error(std::string(func) + "() argument '" + arg + "' must be at least " +
                          std::to_string(minimum) + ", got " + py::repr(v).cast<std::string>());
  }
  return n;
}

double threshold_value(py::handle v, const char* func, const char* arg) {
  const double d = to_float(v, func, arg);
  if (std::isnan(d)) throw py::value_error(std::string(func) + "() argument '" + arg + "' must not be NaN");
  return d;
}

void check_mapping(py::handle mapping) {
  if (mapping.is_none()) return;
  for (const auto& item : snapshot_items(mapping)) {
    if (!PyUnicode_Check(item.first.ptr()) || !PyUnicode_Check(item.second.ptr())) {
      throw py::type_error("SmartGLiNERRecognizer() argument 'entity_mapping' must map label strings to entity "
                           "type strings, got " +
                           py::repr(item.first).cast<std::string>() + ": " +
                           py::repr(item.second).cast<std::string>());
    }
  }
}

void check_thresholds(py::handle thresholds) {
  if (thresholds.is_none()) return;
  for (const auto& item : snapshot_items(thresholds)) {
    if (!PyUnicode_Check(item.first.ptr())) {
      throw py::type_error("SmartGLiNERRecognizer() argument 'entity_thresholds' must be keyed by label strings, got " +
                           py::repr(item.first).cast<std::string>());
    }
    threshold_value(item.second, "SmartGLiNERRecognizer", "entity_thresholds");
  }
}

// ---------------------------------------------------------------------------
// What the model reads
//
// A GLiNER model splits its text into words of its own (runs of word
// characters, possibly joined by "-" or "_", and every other visible
// character on its own), reads at most `config.max_len` of them and silently
// drops the rest. Its encoder then reads the label prompt ("<<ENT>> label"
// for each label, then "<<SEP>>") followed by those words, cut into subword
// tokens, and its tokenizer silently truncates the whole beyond the
// tokenizer's `model_max_length`. Chunks are therefore sized in those units
// when the model tells them: words, and tokens with room left for the
// prompt. A model that does not tell (a wrapper, a test double) is given
// chunks by the whitespace word budget alone.

const char32_t* const kModelWordPattern = UR"(\w+(?:[-_]\w+)*|\S)";
const Regex* g_model_word = nullptr;

// A tokenizer's `model_max_length` beyond this means "no limit" (the
// library's placeholder for it is about 1e30).
constexpr long long kNoTokenLimit = 1LL << 20;
// The sentences two chunks share, and the words two windows share, are read
// twice; they are kept to this fraction of the budget.
constexpr long long kOverlapDivisor = 8;
constexpr long long kUnbounded = LLONG_MAX / 4;

struct Span {
  size_t start;
  size_t end;
};

// The word limit of a loaded GLiNER model (`model.config.max_len`), or 0
// when the model does not tell.
size_t model_word_limit(py::handle model) {
  py::object config = py::getattr(model, "config", py::none());
  if (config.is_none()) return 0;
  py::object max_len = py::getattr(config, "max_len", py::none());
  if (!PyLong_Check(max_len.ptr())) return 0;
  const Py_ssize_t n = PyLong_AsSsize_t(max_len.ptr());
  if (n == -1 && PyErr_Occurred()) PyErr_Clear();
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// The model's tokenizer and prompt tokens, when it is the library's kind of
// model; `tokenizer` is None otherwise.
struct ModelUnits {
  long long word_limit = kUnbounded;   // model words of the text
  long long token_limit = kUnbounded;  // tokens of prompt, text and special tokens
  py::object tokenizer = py::none();
  py::object ent_token = py::none();
  py::object sep_token = py::none();
};

ModelUnits model_units(py::handle model) {
  ModelUnits u;
  if (model.is_none()) return u;
  if (const size_t w = model_word_limit(model)) u.word_limit = static_cast<long long>(w);
  py::object processor = py::getattr(model, "data_processor", py::none());
  if (processor.is_none()) return u;
  py::object tokenizer = py::getattr(processor, "transformer_tokenizer", py::none());
  py::object ent = py::getattr(processor, "ent_token", py::none());
  py::object sep = py::getattr(processor, "sep_token", py::none());
  if (tokenizer.is_none() || !PyUnicode_Check(ent.ptr()) || !PyUnicode_Check(sep.ptr())) return u;
  py::object max_length = py::getattr(tokenizer, "model_max_length", py::none());
  if (PyLong_Check(max_length.ptr())) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(max_length.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (!overflow && n > 0 && n < kNoTokenLimit) u.token_limit = n;
  }
  u.tokenizer = tokenizer;
  u.ent_token = ent;
  u.sep_token = sep;
  return u;
}

// The model words of `t`, as character spans.
std::vector<Span> model_words(const Text& t, size_t from, size_t to) {
  std::vector<Span> words;
  MatchIterator it(*g_model_word, t.slice(from, to));
  Match m;
  while (it.next(m)) words.push_back({from + m.start(), from + m.end()});
  return words;
}

// Subword tokens of each word, as the model's tokenizer cuts a text given
// to it as a list of words (each word on its own, no special tokens).
std::vector<long long> word_tokens(const ModelUnits& u, py::handle text, const std::vector<Span>& words) {
  std::vector<long long> counts(words.size(), 1);
  if (u.tokenizer.is_none() || words.empty()) return counts;
  py::list pieces(words.size());
  for (size_t k = 0; k < words.size(); ++k) {
    PyObject* w = PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(words[k].start),
                                      static_cast<Py_ssize_t>(words[k].end));
    if (!w) throw py::error_already_set();
    PyList_SET_ITEM(pieces.ptr(), static_cast<Py_ssize_t>(k), w);
  }
  py::object encoded = u.tokenizer(pieces, py::arg("is_split_into_words") = true,
                                   py::arg("add_special_tokens") = false, py::arg("truncation") = false, py::arg("verbose") = false);
  std::fill(counts.begin(), counts.end(), 0);
  py::list ids = encoded.attr("word_ids")();
  for (py::handle id : ids) {
    if (id.is_none()) continue;
    const Py_ssize_t k = PyLong_AsSsize_t(id.ptr());
    if (k == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (k >= 0 && static_cast<size_t>(k) < counts.size()) ++counts[static_cast<size_t>(k)];
  }
  return counts;
}

// Tokens of the label prompt of `labels` with the special tokens around
// the whole input: what every model input costs besides its own words.
long long prompt_tokens(const ModelUnits& u, const std::vector<py::object>& labels) {
  if (u.tokenizer.is_none()) return 0;
  py::list prompt;
  for (const py::object& label : labels) {
    prompt.append(u.ent_token);
    if (PyUnicode_Check(label.ptr()) && PyUnicode_GET_LENGTH(label.ptr()) > 0) prompt.append(label);
  }
  prompt.append(u.sep_token);
  py::object encoded = u.tokenizer(prompt, py::arg("is_split_into_words") = true,
                                   py::arg("add_special_tokens") = true, py::arg("truncation") = false, py::arg("verbose") = false);
  return static_cast<long long>(py::len(encoded[py::str("input_ids")]));
}

// The budgets a chunk (or a window) must keep to, in three units: words of
// the text split at white space (the `max_chunk_tokens` setting), model
// words and model tokens (with the prompt taken off). Unknown ones are
// unbounded.
struct Budget {
  long long ws = kUnbounded;
  long long words = kUnbounded;
  long long tokens = kUnbounded;
  long long prompt = 0;  // tokens reserved for the prompt and special tokens
};

Budget model_budget(const ModelUnits& u, long long ws_budget, long long prompt) {
  Budget b;
  b.ws = ws_budget;
  b.words = u.word_limit;
  b.prompt = prompt;
  if (u.token_limit < kUnbounded) b.tokens = std::max<long long>(u.token_limit - prompt, 1);
  return b;
}

// ---------------------------------------------------------------------------
// Sentences and chunks

// Running totals per sentence: element k is the total of sentences 0..k-1.
struct Prefix {
  std::vector<long long> ws, words, tokens;
  long long ws_of(size_t a, size_t b) const { return ws[b] - ws[a]; }
  long long words_of(size_t a, size_t b) const { return words[b] - words[a]; }
  long long tokens_of(size_t a, size_t b) const { return tokens[b] - tokens[a]; }
};

bool fits(const Prefix& p, const Budget& b, size_t a, size_t e) {
  return p.ws_of(a, e) <= b.ws && p.words_of(a, e) <= b.words && p.tokens_of(a, e) <= b.tokens;
}

// Sentence index ranges [first, last) of the chunks. A chunk takes sentences
// while it keeps to every budget, and always takes its first sentence; the
// next chunk starts `overlap` sentences before the end of this one, but at
// least one sentence later, and (where the model's units are known) with no
// more shared sentences than fit in an eighth of the model's budget; the
// chunk that takes the last sentence is the last one.
std::vector<std::pair<size_t, size_t>> plan_chunks(const Prefix& p, const Budget& b, long long overlap) {
  std::vector<std::pair<size_t, size_t>> plan;
  const size_t n = p.ws.size() - 1;
  const long long shared_words = b.words < kUnbounded ? b.words / kOverlapDivisor : kUnbounded;
  const long long shared_tokens = b.tokens < kUnbounded ? b.tokens / kOverlapDivisor : kUnbounded;
  size_t i = 0;
  while (i < n) {
    size_t j = i + 1;
    while (j < n && fits(p, b, i, j + 1)) ++j;
    plan.emplace_back(i, j);
    if (j >= n) break;
    const size_t taken = j - i;
    size_t shared = static_cast<size_t>(std::min<long long>(overlap, static_cast<long long>(taken) - 1));
    while (shared > 0 && (p.words_of(j - shared, j) > shared_words || p.tokens_of(j - shared, j) > shared_tokens)) {
      --shared;
    }
    i += taken - shared;
  }
  return plan;
}

// The label vocabulary of the mapping, in its order: the prompt a chunk
// must leave room for whatever types are asked for.
std::vector<py::object> mapping_labels(py::handle self) {
  std::vector<py::object> labels;
  py::object mapping = self.attr("entity_mapping");
  if (!PyDict_Check(mapping.ptr())) return labels;
  for (const auto& item : snapshot_items(mapping)) labels.push_back(item.first);
  return labels;
}

py::tuple build_chunks(py::object self, py::object text) {
  require_str(text, "_build_chunks", "text");
  const long long budget = count_value(self.attr("max_chunk_tokens"), "_build_chunks", "max_chunk_tokens", 1);
  const long long overlap = count_value(self.attr("overlap_sentences"), "_build_chunks", "overlap_sentences", 0);
  py::object nlp = self.attr("nlp");
  if (nlp.is_none()) throw py::value_error("[gliner] the spaCy pipeline is not loaded; call load() first");

  Text t(text);
  const std::vector<SentenceSpan> sentences = sentences_of(nlp, text, t, "[gliner]");

  const ModelUnits units = model_units(py::getattr(self, "model", py::none()));
  const Budget limits = model_budget(units, budget, prompt_tokens(units, mapping_labels(self)));
  const bool by_model = limits.words < kUnbounded || limits.tokens < kUnbounded;

  // Model words and tokens of the whole text, then per sentence (a word
  // belongs to the sentence its start is in).
  std::vector<Span> words;
  std::vector<long long> tokens;
  if (by_model) {
    words = model_words(t, 0, t.size());
    tokens = word_tokens(units, text, words);
  }
  long long all_tokens = 0;
  for (long long c : tokens) all_tokens += c;

  py::list chunks;
  py::list cores;
  const size_t total = count_words(t.view());
  if (static_cast<long long>(total) <= limits.ws && static_cast<long long>(words.size()) <= limits.words &&
      all_tokens <= limits.tokens) {
    chunks.append(py::make_tuple(0, t.size(), text));
    cores.append(py::make_tuple(0, t.size()));
    return py::make_tuple(chunks, cores);
  }
  if (sentences.empty()) {
    throw py::value_error("[gliner] the spaCy pipeline found no sentence in a text of " + std::to_string(total) +
                          " words");
  }

  Prefix p;
  p.ws.assign(sentences.size() + 1, 0);
  p.words.assign(sentences.size() + 1, 0);
  p.tokens.assign(sentences.size() + 1, 0);
  size_t w = 0;
  for (size_t k = 0; k < sentences.size(); ++k) {
    p.ws[k + 1] = p.ws[k] + static_cast<long long>(count_words(t.slice(sentences[k].start, sentences[k].end)));
    long long nw = 0, nt = 0;
    while (w < words.size() && words[w].start < sentences[k].end) {
      if (words[w].start >= sentences[k].start) {
        ++nw;
        nt += tokens[w];
      }
      ++w;
    }
    p.words[k + 1] = p.words[k] + nw;
    p.tokens[k + 1] = p.tokens[k] + nt;
  }

  size_t previous_core_end = 0;
  bool first = true;
  for (const auto& [a, b] : plan_chunks(p, limits, overlap)) {
    const size_t start = sentences[a].start;
    const size_t end = sentences[b - 1].end;
    PyObject* piece = PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end));
    if (!piece) throw py::error_already_set();
    chunks.append(py::make_tuple(start, end, py::reinterpret_steal<py::object>(piece)));
    // The overlap with the previous chunk belongs to the previous chunk.
    const size_t core_start = (!first && start < previous_core_end) ? previous_core_end : start;
    cores.append(py::make_tuple(core_start, end));
    previous_core_end = end;
    first = false;
  }
  if (by_model) {
    g_log->debug("[gliner] %d chunks of at most %d model words and %d tokens (%d kept for the prompt)",
                 chunks.size(), limits.words, limits.tokens, limits.prompt);
  }
  return py::make_tuple(chunks, cores);
}

// ---------------------------------------------------------------------------
// Loading

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool is_instance_of(const py::error_already_set& e, const char* module, const char* name) {
  try {
    py::object cls = py::module_::import(module).attr(name);
    return e.matches(cls);
  } catch (py::error_already_set&) {
    return false;
  }
}

[[noreturn]] void raise_unavailable(py::error_already_set& e, const std::string& message) {
  py::raise_from(e, g_unavailable, message.c_str());
  throw py::error_already_set();
}

std::string describe(const py::error_already_set& e) {
  return py::str(e.type().attr("__name__")).cast<std::string>() + ": " + py::str(e.value()).cast<std::string>();
}

py::object import_gliner(const std::string& model_name) {
  try {
    return py::module_::import("gliner").attr("GLiNER");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    const std::string msg = "[gliner] GLiNER model '" + model_name +
                            "' needs the gliner package, which could not be imported (" + describe(e) +
                            "). Install it with `pip install gliner`.";
    py::raise_from(e, PyExc_ImportError, msg.c_str());
    throw py::error_already_set();
  }
}

py::object load_gliner(py::object gliner_cls, const std::string& name) {
  try {
    return gliner_cls.attr("from_pretrained")(name);
  } catch (py::error_already_set& e) {
    // A model that is neither a local folder nor reachable on the hub comes
    // back as an OSError (not cached, offline, no such repository, missing
    // files in a folder) or, for a path that does not exist, as the hub's
    // repository-name validation error.
    if (!e.matches(PyExc_OSError) && !is_instance_of(e, "huggingface_hub.errors", "HFValidationError")) throw;
    raise_unavailable(
        e, "[gliner] GLiNER model '" + name + "' could not be loaded (" + describe(e) +
               "). Pass as model_name either the path of a local folder holding a saved GLiNER model "
               "(gliner_config.json, model.safetensors or pytorch_model.bin, tokenizer files), or the name of a "
               "model on the Hugging Face Hub that is in the local cache. With network access, fetch it once with "
               "`hf download " +
               name + "`.");
  }
}

py::object load_spacy(const std::string& name) {
  py::object spacy_load = py::module_::import("spacy").attr("load");
  try {
    return spacy_load(name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    raise_unavailable(e, "[gliner] spaCy pipeline '" + name + "' could not be loaded (" + describe(e) +
                             "). Install it with `python -m spacy download " + name +
                             "`, or pass as spacy_model the path of a folder holding a saved spaCy pipeline.");
  }
}

// ---------------------------------------------------------------------------
// ONNX Runtime backend
//
// backend "torch" runs the model with PyTorch as loaded. "onnx" runs the
// same model exported to ONNX with onnxruntime (CPU provider, all graph
// optimisations); "onnx-int8" runs a copy whose weights are dynamically
// quantised to 8 bits, which is faster and changes scores slightly. The
// export is made once, offline, from the local model folder by the gliner
// library's own exporter, and kept in the folder "onnx" inside the model
// folder (for a model named on the Hub: inside its snapshot in the local
// cache).

const char* const kBackends[] = {"torch", "onnx", "onnx-int8"};
const char* const kOnnxFolder = "onnx";
const char* const kOnnxFile = "model.onnx";
// int8: signed weights quantised per output channel, which onnxruntime's
// integer kernels run about 1.4x faster on x86 than the exporter's default
// (unsigned, one scale per tensor), with scores as close to fp32. A folder
// holding only the older copy gets this one made from its model.onnx.
const char* const kOnnxInt8File = "model_int8.onnx";
const char* const kOnnxOldInt8File = "model_quantized.onnx";  // written last by an earlier, finished export

void check_backend(py::handle backend, const char* func) {
  require_str(backend, func, "backend");
  for (const char* b : kBackends) {
    if (PyUnicode_CompareWithASCIIString(backend.ptr(), b) == 0) return;
  }
  throw py::value_error(std::string(func) + "() argument 'backend' must be 'torch', 'onnx' or 'onnx-int8', not " +
                        py::repr(backend).cast<std::string>());
}

// The local folder of a model: the path itself, or the snapshot of a Hub
// model in the local cache (never downloaded here).
py::object model_folder(const std::string& name) {
  py::module_ os_path = py::module_::import("os.path");
  if (os_path.attr("isdir")(name).cast<bool>()) return os_path.attr("abspath")(name);
  py::object snapshot = py::module_::import("huggingface_hub").attr("snapshot_download");
  return snapshot(name, py::arg("local_files_only") = true);
}

py::object onnx_folder(const std::string& name) {
  return py::module_::import("os.path").attr("join")(model_folder(name), kOnnxFolder);
}

// Exports the model to ONNX (and its int8 copy) unless that was done
// already; returns {"onnx_path": ..., "quantized_path": ...}.
py::dict export_onnx(const std::string& name, bool force) {
  py::object folder = onnx_folder(name);
  py::module_ os_path = py::module_::import("os.path");
  py::object fp32 = os_path.attr("join")(folder, kOnnxFile);
  py::object int8 = os_path.attr("join")(folder, kOnnxInt8File);
  py::dict out;
  if (!force && os_path.attr("isfile")(fp32).cast<bool>() && os_path.attr("isfile")(int8).cast<bool>()) {
    out["onnx_path"] = fp32;
    out["quantized_path"] = int8;
    return out;
  }
  try {
    py::module_::import("onnxruntime");
    py::module_::import("onnx");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    const std::string msg = "[gliner] the ONNX backend needs the onnx and onnxruntime packages (" + describe(e) +
                            "). Install them with `pip install tarnis[neural]`.";
    py::raise_from(e, PyExc_ImportError, msg.c_str());
    throw py::error_already_set();
  }
  // A model.onnx is kept only from a finished export (one that went on to
  // write its int8 copy), never from an interrupted one.
  const bool finished = os_path.attr("isfile")(fp32).cast<bool>() &&
                        (os_path.attr("isfile")(os_path.attr("join")(folder, kOnnxOldInt8File)).cast<bool>() ||
                         os_path.attr("isfile")(int8).cast<bool>());
  if (force || !finished) {
    py::object gliner_cls = import_gliner(name);
    g_log->info("[gliner] Exporting GLiNER model %s to ONNX in %s ...", name, folder);
    const auto t0 = std::chrono::steady_clock::now();
    py::object model = load_gliner(gliner_cls, name);
    // The exporter writes the graph, the configuration and the tokenizer; a
    // half-written folder is not mistaken for a finished one, as the int8
    // copy is written last.
    model.attr("export_to_onnx")(folder, py::arg("onnx_filename") = kOnnxFile, py::arg("quantize") = false);
    g_log->info("[gliner] ONNX export done in %.1fs", seconds_since(t0));
  }
  g_log->info("[gliner] Quantising %s to int8 ...", py::str(fp32).cast<std::string>());
  const auto t1 = std::chrono::steady_clock::now();
  py::module_ quantization = py::module_::import("onnxruntime.quantization");
  // Written under a temporary name and renamed: an interrupted run leaves no
  // file that would be taken for a finished copy.
  py::object partial = os_path.attr("join")(folder, "model_int8.partial.onnx");
  quantization.attr("quantize_dynamic")(fp32, partial, py::arg("per_channel") = true,
                                        py::arg("weight_type") = quantization.attr("QuantType").attr("QInt8"));
  py::module_::import("os").attr("replace")(partial, int8);
  g_log->info("[gliner] int8 copy done in %.1fs", seconds_since(t1));
  out["onnx_path"] = fp32;
  out["quantized_path"] = int8;
  return out;
}

py::object load_onnx(py::object gliner_cls, const std::string& name, bool int8) {
  py::dict paths = export_onnx(name, false);
  py::module_ ort = py::module_::import("onnxruntime");
  // Chosen by measurement on 2 cores (bench/gliner_real_size.py
  // --onnx-settings): all graph optimisations, sequential execution (the
  // parallel executor ran at half the speed), the memory arena on and
  // spinning threads kept (both slower off); one intra-op thread per core.
  py::object options = ort.attr("SessionOptions")();
  options.attr("graph_optimization_level") = ort.attr("GraphOptimizationLevel").attr("ORT_ENABLE_ALL");
  // One setting governs the model's intra-op threads whatever the backend:
  // PyTorch's (torch.set_num_threads), which a host running several analyzers
  // side by side lowers for each. onnxruntime would otherwise take every core.
  py::object torch = py::module_::import("sys").attr("modules").attr("get")("torch");
  if (!torch.is_none()) options.attr("intra_op_num_threads") = torch.attr("get_num_threads")();
  py::object folder = onnx_folder(name);
  return gliner_cls.attr("from_pretrained")(folder, py::arg("load_onnx_model") = true,
                                            py::arg("onnx_model_file") = int8 ? kOnnxInt8File : kOnnxFile,
                                            py::arg("session_options") = options);
}

void load(py::object self) {
  if (self.attr("model").is_none()) {
    const std::string name = py::str(self.attr("_model_name")).cast<std::string>();
    py::object gliner_cls = import_gliner(name);
    py::object backend = py::getattr(self, "backend", py::str("torch"));
    check_backend(backend, "load");
    const std::string which = backend.cast<std::string>();
    g_log->info("[gliner] Loading GLiNER model: %s ...", name);
    const auto t0 = std::chrono::steady_clock::now();
    if (which == "torch") self.attr("model") = load_gliner(gliner_cls, name);
    else self.attr("model") = load_onnx(gliner_cls, name, which == "onnx-int8");
    g_log->info("[gliner] GLiNER model loaded in %.1fs", seconds_since(t0));
  }
  if (self.attr("nlp").is_none()) {
    const std::string name = py::str(self.attr("spacy_model")).cast<std::string>();
    g_log->info("[gliner] Loading spaCy model: %s ...", name);
    const auto t0 = std::chrono::steady_clock::now();
    self.attr("nlp") = load_spacy(name);
    g_log->info("[gliner] spaCy model loaded in %.1fs", seconds_since(t0));
  }
}

// ---------------------------------------------------------------------------
// Model windows
//
// A chunk that is still longer than the model reads (a single sentence past
// its budget) is run in overlapping windows that fit; each window keeps the
// predictions that start in its own part, the overlap being split in the
// middle, so every word is seen with context on both sides.

struct Window {
  size_t start, end;          // characters of the chunk text given to the model
  size_t own_start, own_end;  // chunk offsets at which its predictions may start
};

// One window for a chunk within the budget (the whole chunk), else several.
// `words` are the model words of the chunk, `tokens` their tokens.
std::vector<Window> windows_for(size_t length, const std::vector<Span>& words, const std::vector<long long>& tokens,
                                const Budget& b) {
  long long all = 0;
  for (long long c : tokens) all += c;
  if (static_cast<long long>(words.size()) <= b.words && all <= b.tokens) return {{0, length, 0, length}};

  std::vector<std::pair<size_t, size_t>> spans;  // word ranges [a, e)
  for (size_t a = 0;;) {
    size_t e = a;
    long long acc = 0;
    while (e < words.size() && static_cast<long long>(e - a) < b.words && acc + tokens[e] <= b.tokens) acc += tokens[e++];
    if (e == a) e = a + 1;  // a word longer than the budget goes alone
    spans.emplace_back(a, e);
    if (e >= words.size()) break;
    const size_t shared = (e - a) / static_cast<size_t>(kOverlapDivisor);
    a = std::max(a + 1, e - shared);
  }
  std::vector<Window> out;
  for (size_t k = 0; k < spans.size(); ++k) {
    const auto [a, e] = spans[k];
    size_t own_from = 0, own_to = length;
    if (k > 0) {
      const size_t prev_end = spans[k - 1].second;  // words a..prev_end-1 are shared
      own_from = words[a + (prev_end - a) / 2].start;
    }
    if (k + 1 < spans.size()) {
      const size_t next = spans[k + 1].first;
      own_to = words[next + (e - next) / 2].start;
    }
    out.push_back({words[a].start, words[e - 1].end, own_from, own_to});
  }
  return out;
}

// ---------------------------------------------------------------------------
// Batched prediction
//
// A GLiNER model predicts one text per `predict_entities` call, which is a
// thin wrapper over `inference(texts, ...)` on a list of one. All the model
// inputs of a document (its chunks, or their windows) are known before the
// first prediction, so they go to `inference` in batches instead: the
// encoder then runs on a few padded sequences at a time, which is cheaper
// per word. Within a batch the texts are of similar length (they are taken
// in order of length), so little is spent on padding. Predictions come back
// per text and are consumed in document order, exactly as one call per text
// would give them.
//
// The batched call is used only when `predict_entities` is the library's
// own; a model whose class or instance replaces it (a wrapper, a test
// double, a subclass that post-processes predictions) is called once per
// text through its own `predict_entities`.

const char* const kBaseModelClass = "BaseEncoderGLiNER";

// The base class that defines the library's `predict_entities`, or None
// when the gliner package does not have it.
py::object library_base_class() {
  static PyObject* base = nullptr;
  static bool looked = false;
  if (!looked) {
    looked = true;
    try {
      base = py::object(py::module_::import("gliner.model").attr(kBaseModelClass)).release().ptr();
    } catch (py::error_already_set&) {
      base = nullptr;  // another library version: one call per text
    }
  }
  return base ? py::reinterpret_borrow<py::object>(base) : py::none();
}

// `model.inference` when one batched call gives what one `predict_entities`
// call per text would, else None.
py::object batched_call(py::handle model) {
  py::object base = library_base_class();
  if (base.is_none()) return py::none();
  py::object cls = py::type::of(model);
  const int sub = PyObject_IsSubclass(cls.ptr(), base.ptr());
  if (sub < 0) throw py::error_already_set();
  if (!sub) return py::none();
  py::object own = py::getattr(model, "__dict__", py::none());
  if (PyDict_Check(own.ptr())) {
    const int has = PyDict_Contains(own.ptr(), py::str("predict_entities").ptr());
    if (has < 0) throw py::error_already_set();
    if (has) return py::none();
  }
  // The class in the method resolution order that defines predict_entities
  // must be the library's base class. (The MRO is a tuple: no Python code
  // can change it while it is walked.)
  py::tuple mro = cls.attr("__mro__");
  for (py::handle klass : mro) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(klass.ptr())->tp_dict;
    if (!dict) continue;
    PyObject* found = PyDict_GetItemWithError(dict, py::str("predict_entities").ptr());
    if (found) {
      if (!klass.is(base)) return py::none();
      return py::getattr(model, "inference", py::none());
    }
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  return py::none();
}

// One text given to the model: a whole chunk or one window of it.
struct Job {
  size_t chunk;           // index into the chunk list
  Window win;             // chunk offsets of the text, and of its own part
  bool whole;             // the chunk is run whole (no windows)
  py::object text;
  long long cost;         // tokens (or model words) it gives the encoder
};

// Texts in one batch are padded to the longest; a batch takes only texts
// at least this share of its longest one.
constexpr double kBucketShare = 0.9;

// Predictions per job, in job order: batched when the model allows it,
// else one predict_entities call per job, in document order.
std::vector<py::object> predict_all(py::handle model, const std::vector<Job>& jobs, py::handle labels,
                                    py::handle threshold, py::handle flat_ner, size_t batch_size) {
  std::vector<py::object> out(jobs.size());
  py::object batched = batch_size > 1 && jobs.size() > 1 ? batched_call(model) : py::none();
  if (batched.is_none()) {
    py::object predict = py::reinterpret_borrow<py::object>(model).attr("predict_entities");
    for (size_t k = 0; k < jobs.size(); ++k) {
      out[k] = predict(jobs[k].text, labels, py::arg("threshold") = threshold, py::arg("flat_ner") = flat_ner);
    }
    return out;
  }
  // Longest first, so that each batch holds texts of similar length; equal
  // lengths keep their document order. A batch closes at `batch_size`
  // texts or at the first text much shorter than its longest.
  std::vector<size_t> order(jobs.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return jobs[a].cost > jobs[b].cost; });
  for (size_t from = 0; from < order.size();) {
    size_t to = from + 1;
    const double floor = kBucketShare * static_cast<double>(jobs[order[from]].cost);
    while (to < order.size() && to - from < batch_size && static_cast<double>(jobs[order[to]].cost) >= floor) ++to;
    py::list texts;
    for (size_t k = from; k < to; ++k) texts.append(jobs[order[k]].text);
    py::object got = to - from == 1
                         ? py::make_tuple(py::reinterpret_borrow<py::object>(model).attr("predict_entities")(
                               texts[0], labels, py::arg("threshold") = threshold, py::arg("flat_ner") = flat_ner))
                         : batched(texts, labels, py::arg("flat_ner") = flat_ner, py::arg("threshold") = threshold,
                                   py::arg("batch_size") = to - from);
    py::object items = py::reinterpret_steal<py::object>(
        PySequence_Fast(got.ptr(), "GLiNER inference() must return a list of prediction lists"));
    if (!items) throw py::error_already_set();
    if (static_cast<size_t>(PySequence_Fast_GET_SIZE(items.ptr())) != to - from) {
      throw py::value_error("[gliner] GLiNER inference() returned " +
                            std::to_string(PySequence_Fast_GET_SIZE(items.ptr())) + " prediction lists for " +
                            std::to_string(to - from) + " texts");
    }
    for (size_t k = from; k < to; ++k) {
      out[order[k]] = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(items.ptr(), k - from));
    }
    from = to;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Analysis

py::dict dict_attr(py::handle self, const char* name) {
  py::object v = self.attr(name);
  require_dict(v, "analyze", name);
  return py::reinterpret_borrow<py::dict>(v);
}

struct ChunkPlan {
  Py_ssize_t start, end, core_start, core_end;
};

py::list analyze(py::module_ m, py::object self, py::object text, py::object entities) {
  require_str(text, "analyze", "text");
  require_list(entities, "analyze", "entities");
  self.attr("load")();

  // A copy: hashing or comparing an entity type may run Python code that
  // changes the caller's list.
  PyObject* copy = PySequence_List(entities.ptr());
  if (!copy) throw py::error_already_set();
  const py::list requested_list = py::reinterpret_steal<py::list>(copy);
  const std::vector<py::object> requested = snapshot(requested_list);
  py::dict reverse = dict_attr(self, "reverse_mapping");
  py::dict mapping = dict_attr(self, "entity_mapping");
  py::dict label_thresholds = dict_attr(self, "entity_thresholds");
  const double threshold = threshold_value(self.attr("threshold"), "analyze", "threshold");
  const size_t batch_size =
      static_cast<size_t>(count_value(py::getattr(self, "batch_size", py::int_(1)), "analyze", "batch_size", 1));

  // The labels of the requested types, always in the order of the mapping.
  // The model reads the labels as part of its input, so their order changes
  // its scores; the order of `entities` must not, as Presidio's engine lists
  // its supported types from a set, in an order that changes from one
  // process to the next. Types without labels are skipped.
  py::set wanted;
  for (const py::object& type : requested) {
    if (PySet_Add(wanted.ptr(), type.ptr()) < 0) throw py::error_already_set();
  }
  py::list labels;
  for (const auto& item : snapshot_items(reverse)) {
    const int asked = PySet_Contains(wanted.ptr(), item.first.ptr());
    if (asked < 0) throw py::error_already_set();
    if (!asked) continue;
    for (const py::object& label : snapshot(item.second)) labels.append(label);
  }
  py::list results;
  // The model has nothing to look for; asking it anyway is wasted work (and
  // not every model version accepts an empty label list).
  if (labels.empty()) return results;

  py::tuple planned = self.attr("_build_chunks")(text);
  py::list chunks = planned[0];
  py::list cores = planned[1];
  g_log->debug("[gliner] Text length=%d, chunks=%d", PyUnicode_GET_LENGTH(text.ptr()), chunks.size());
  if (cores.size() != chunks.size()) throw py::value_error("[gliner] _build_chunks returned unpaired chunks and cores");

  // The model is asked at the most permissive threshold of the labels in the
  // query; each label's own threshold is applied to what it returns.
  double effective = threshold;
  for (const py::object& label : snapshot(labels)) {
    PyObject* v = PyDict_GetItemWithError(label_thresholds.ptr(), label.ptr());
    if (!v) {
      if (PyErr_Occurred()) throw py::error_already_set();
      continue;
    }
    const py::object value = py::reinterpret_borrow<py::object>(v);
    effective = std::min(effective, threshold_value(value, "analyze", "entity_thresholds"));
  }

  py::object model = self.attr("model");
  py::object flat_ner = self.attr("flat_ner");
  py::object recognizer_name = self.attr("name");
  ResultFactory factory(m);
  py::str key_label("label"), key_score("score"), key_start("start"), key_end("end");
  py::float_ effective_obj(effective);
  py::str note_format("Identified as {} by GLiNER");
  py::set seen;
  const bool filter_types = !requested.empty();

  // Every model input must fit: the chunks' budget, with room for the
  // prompt of the mapping's labels (or of this query's, were it longer).
  const ModelUnits units = model_units(model);
  const std::vector<py::object> label_items = snapshot(labels);
  const long long prompt = std::max(prompt_tokens(units, label_items), prompt_tokens(units, mapping_labels(self)));
  const Budget limits = model_budget(units, kUnbounded, prompt);

  // The model runs Python code between chunks: walk owned copies, and
  // plan every text the model is given, in document order.
  const std::vector<py::object> chunk_items = snapshot(chunks);
  const std::vector<py::object> core_items = snapshot(cores);
  const Py_ssize_t text_len = PyUnicode_GET_LENGTH(text.ptr());
  std::vector<ChunkPlan> plans;
  std::vector<Job> jobs;
  for (size_t k = 0; k < chunk_items.size(); ++k) {
    py::tuple chunk = chunk_items[k];
    py::tuple core = core_items[k];
    if (chunk.size() != 3 || core.size() != 2) {
      throw py::value_error("[gliner] _build_chunks must return (start, end, text) chunks and (start, end) cores");
    }
    ChunkPlan plan{index_value(chunk[0]), index_value(chunk[1]), index_value(core[0]), index_value(core[1])};
    // Offsets are added up below; a chunk must lie in the text.
    if (plan.start < 0 || plan.start > text_len) {
      throw py::value_error("[gliner] _build_chunks returned a chunk starting at " + std::to_string(plan.start) +
                            ", outside a text of length " + std::to_string(text_len));
    }
    plans.push_back(plan);
    // An empty core zone lies inside the previous chunk: nothing this chunk
    // finds could be kept.
    if (plan.core_start >= plan.core_end) continue;
    py::object chunk_text = chunk[2];
    require_str(chunk_text, "analyze", "chunk text");
    Text ct(chunk_text);
    const std::vector<Span> words = model_words(ct, 0, ct.size());
    const std::vector<long long> tokens = word_tokens(units, chunk_text, words);
    std::vector<Window> windows = windows_for(ct.size(), words, tokens, limits);
    if (windows.size() > 1) {
      g_log->debug("[gliner] Chunk (%d, %d) is longer than the model reads at once: %d windows", plan.start,
                   plan.end, windows.size());
    }
    const bool whole = windows.size() == 1;
    size_t w = 0;  // first word of the current window
    for (const Window& win : windows) {
      py::object window_text = chunk_text;
      long long cost = prompt;
      while (w < words.size() && words[w].start < win.start) ++w;
      for (size_t x = w; x < words.size() && words[x].start < win.end; ++x) cost += tokens[x];
      if (!whole) {
        PyObject* piece = PyUnicode_Substring(chunk_text.ptr(), static_cast<Py_ssize_t>(win.start),
                                              static_cast<Py_ssize_t>(win.end));
        if (!piece) throw py::error_already_set();
        window_text = py::reinterpret_steal<py::object>(piece);
      }
      jobs.push_back({k, win, whole, window_text, cost});
    }
  }

  const std::vector<py::object> predicted = predict_all(model, jobs, labels, effective_obj, flat_ner, batch_size);

  for (size_t j = 0; j < jobs.size(); ++j) {
    const Job& job = jobs[j];
    const Window& win = job.win;
    const ChunkPlan& plan = plans[job.chunk];
    const Py_ssize_t window_len = static_cast<Py_ssize_t>(win.end - win.start);
    py::object predictions = py::reinterpret_steal<py::object>(
        PySequence_List(predicted[j].ptr()));
    if (!predictions) throw py::error_already_set();
    for (py::handle pred : predictions) {
      py::object label = pred[key_label];
      const double score = to_float(pred[key_score], "predict_entities", "score");
      double wanted = threshold;
      if (PyObject* v = PyDict_GetItemWithError(label_thresholds.ptr(), label.ptr())) {
        wanted = threshold_value(py::reinterpret_borrow<py::object>(v), "analyze", "entity_thresholds");
      } else if (PyErr_Occurred()) {
        throw py::error_already_set();
      }
      if (score < wanted) continue;

      const Py_ssize_t ps = index_value(pred[key_start]);
      const Py_ssize_t pe = index_value(pred[key_end]);
      if (ps < 0 || pe < ps || pe > window_len) {
        g_log->warning("[gliner] Dropping a %s prediction at (%d, %d) outside its chunk of length %d", label, ps, pe,
                       window_len);
        continue;
      }
      // Windows of one chunk overlap; each keeps the starts of its own part.
      if (!job.whole && (win.start + ps < win.own_start || win.start + ps >= win.own_end)) continue;
      const Py_ssize_t start = plan.start + static_cast<Py_ssize_t>(win.start) + ps;
      const Py_ssize_t end = plan.start + static_cast<Py_ssize_t>(win.start) + pe;
      if (start < plan.core_start || start >= plan.core_end) continue;

      py::object entity_type;
      if (PyObject* v = PyDict_GetItemWithError(mapping.ptr(), label.ptr())) {
        entity_type = py::reinterpret_borrow<py::object>(v);
      } else if (PyErr_Occurred()) {
        throw py::error_already_set();
      } else {
        entity_type = label.attr("upper")();
      }
      if (filter_types) {
        const int has = PySequence_Contains(requested_list.ptr(), entity_type.ptr());
        if (has < 0) throw py::error_already_set();
        if (!has) continue;
      }
      py::tuple key = py::make_tuple(start, end, entity_type);
      if (seen.contains(key)) continue;
      seen.add(key);

      results.append(factory.make(entity_type, static_cast<size_t>(start), static_cast<size_t>(end),
                                  py::float_(score), recognizer_name, note_format.attr("format")(entity_type)));
    }
  }
  return results;
}

void init(py::module_ m, py::object self, py::object model_name, py::object entity_mapping,
          py::object max_chunk_tokens, py::object overlap_sentences, py::object threshold,
          py::object entity_thresholds, py::object flat_ner, py::object supported_language, py::object spacy_model,
          py::object batch_size, py::object backend) {
  const char* fn = "SmartGLiNERRecognizer";
  count_value(batch_size, fn, "batch_size", 1);
  check_backend(backend, fn);
  require_str(model_name, fn, "model_name");
  require_dict_or_none(entity_mapping, fn, "entity_mapping");
  count_value(max_chunk_tokens, fn, "max_chunk_tokens", 1);
  count_value(overlap_sentences, fn, "overlap_sentences", 0);
  const double thr = threshold_value(threshold, fn, "threshold");
  require_dict_or_none(entity_thresholds, fn, "entity_thresholds");
  require_str(supported_language, fn, "supported_language");
  require_str(spacy_model, fn, "spacy_model");
  check_mapping(entity_mapping);
  check_thresholds(entity_thresholds);

  py::object mapping = (!entity_mapping.is_none() && py::len(entity_mapping) > 0) ? entity_mapping : py::dict();
  py::dict reverse;
  py::list supported;
  for (const auto& item : snapshot_items(mapping)) {
    PyObject* labels = PyDict_GetItemWithError(reverse.ptr(), item.second.ptr());
    if (!labels) {
      if (PyErr_Occurred()) throw py::error_already_set();
      reverse[item.second] = py::list();
      labels = PyDict_GetItemWithError(reverse.ptr(), item.second.ptr());
    }
    if (PyList_Append(labels, item.first.ptr()) < 0) throw py::error_already_set();
    supported.append(item.second);
  }

  self.attr("entity_mapping") = mapping;
  self.attr("reverse_mapping") = reverse;
  self.attr("max_chunk_tokens") = max_chunk_tokens;
  self.attr("overlap_sentences") = overlap_sentences;
  self.attr("threshold") = py::float_(thr);
  self.attr("entity_thresholds") =
      (!entity_thresholds.is_none() && py::len(entity_thresholds) > 0) ? entity_thresholds : py::dict();
  self.attr("flat_ner") = flat_ner;
  self.attr("spacy_model") = spacy_model;
  self.attr("_model_name") = model_name;
  self.attr("batch_size") = batch_size;
  self.attr("backend") = backend;
  self.attr("model") = py::none();
  self.attr("nlp") = py::none();

  m.attr("EntityRecognizer").attr("__init__")(self, py::arg("supported_entities") = supported,
                                              py::arg("supported_language") = supported_language,
                                              py::arg("name") = kRecognizerName);
}

}  // namespace

PYBIND11_MODULE(gliner, m) {
  m.doc() =
      "Chunked GLiNER recognizer: a zero-shot NER model run over sentence-aligned, overlapping chunks\n"
      "with core zones, per-label thresholds and a mapping from model labels to entity types.";
  py::module_ presidio = py::module_::import("presidio_analyzer");
  m.attr("EntityRecognizer") = presidio.attr("EntityRecognizer");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  g_log = new ModuleLogger(m, "tarnis.recognizers.gliner");
  py::module_ re = py::module_::import("re");
  m.attr("re") = re;
  m.attr("_MODEL_WORD_RE") = re.attr("compile")(to_str(kModelWordPattern));
  g_model_word = new Regex(kModelWordPattern);

  g_unavailable = PyErr_NewExceptionWithDoc(
      "tarnis.recognizers.gliner.ModelUnavailableError",
      "A GLiNER model or spaCy pipeline could not be found locally or fetched. The message names the model\n"
      "and how to provide it; the library's own error is the __cause__.",
      PyExc_OSError, nullptr);
  if (!g_unavailable) throw py::error_already_set();
  m.attr("ModelUnavailableError") = py::reinterpret_borrow<py::object>(g_unavailable);

  m.def(
      "export_onnx",
      [](py::object model_name, py::object force) {
        require_str(model_name, "export_onnx", "model_name");
        const int f = PyObject_IsTrue(force.ptr());
        if (f < 0) throw py::error_already_set();
        return export_onnx(model_name.cast<std::string>(), f == 1);
      },
      "Export the GLiNER model `model_name` (a local folder, or a Hub model in the local cache) to\n"
      "ONNX, with an int8 dynamically quantised copy, into the folder 'onnx' inside the model folder.\n"
      "Nothing is downloaded. Done already, it returns the existing files unless `force` is true.\n"
      "Returns {'onnx_path': ..., 'quantized_path': ...}.",
      py::arg("model_name"), py::arg("force") = false);

  ClassBuilder(m, kRecognizerName, py::make_tuple(m.attr("EntityRecognizer")),
               "Finds names, organizations, addresses, user names and passwords with a GLiNER model run\n"
               "over sentence-aligned chunks. Consecutive chunks share `overlap_sentences` sentences; an\n"
               "entity is reported only by the chunk whose core zone contains its start.")
      .init(
          [m](py::object self, py::object model_name, py::object entity_mapping, py::object max_chunk_tokens,
              py::object overlap_sentences, py::object threshold, py::object entity_thresholds,
              py::object flat_ner, py::object supported_language, py::object spacy_model, py::object batch_size,
              py::object backend) {
            init(m, self, model_name, entity_mapping, max_chunk_tokens, overlap_sentences, threshold,
                 entity_thresholds, flat_ner, supported_language, spacy_model, batch_size, backend);
          },
          "Store the configuration, then let the base class call `load`, which loads the GLiNER model\n"
          "`model_name` and the spaCy pipeline `spacy_model` (a package name or a folder path).\n\n"
          "`max_chunk_tokens` bounds a chunk in words split at white space; with a gliner model a\n"
          "chunk also keeps to what the model reads at once (its `max_len` words, and its label prompt\n"
          "plus the chunk's subword tokens within the tokenizer's limit), so that nothing is cut off.\n\n"
          "`batch_size` (keyword only): how many chunks, or windows of over-long chunks, the model\n"
          "reads in one batched call (texts of similar length together). The predictions are those of\n"
          "one call per chunk. The default, 1, makes one call per chunk, which is the fastest on a CPU\n"
          "of a few cores. A model whose `predict_entities` is not the gliner library's own is always\n"
          "called once per chunk.\n\n"
          "`backend` (keyword only): 'torch' (default) runs the model with PyTorch; 'onnx' runs it\n"
          "exported to ONNX with onnxruntime on the CPU (same predictions, scores equal to within\n"
          "1e-4); 'onnx-int8' runs a copy with 8-bit weights, faster but with slightly different\n"
          "scores. The export is made once, offline, into the folder 'onnx' of the model folder.",
          py::arg("model_name") = kDefaultModel, py::arg("entity_mapping") = py::none(),
          py::arg("max_chunk_tokens") = 384, py::arg("overlap_sentences") = 2, py::arg("threshold") = 0.5,
          py::arg("entity_thresholds") = py::none(), py::arg("flat_ner") = false,
          py::arg("supported_language") = "ro", py::arg("spacy_model") = kDefaultSpacyModel, py::kw_only(),
          py::arg("batch_size") = kDefaultBatchSize, py::arg("backend") = "torch")
      .method(
          "load", [](py::object self) { load(self); },
          "Load the GLiNER model and the spaCy pipeline if they are not loaded yet. Raises\n"
          "ModelUnavailableError naming the model and how to provide it when one cannot be found.")
      .method(
          "_build_chunks", [](py::object self, py::object text) { return build_chunks(self, text); },
          "Return (chunks, core spans): chunks are (start, end, text) triples of whole sentences, core\n"
          "spans the (start, end) pairs in which a chunk's predictions must start to be kept.",
          py::arg("text"))
      .method(
          "analyze",
          [m](py::object self, py::object text, py::object entities, py::object) {
            return analyze(m, self, text, entities);
          },
          "Find the requested entity types in `text`. `nlp_artifacts` is not used: sentences come\n"
          "from this recognizer's own spaCy pipeline.",
          py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
      .finish();
}
