// Verification of doubtful detections by a small language model on a local
// OpenAI-compatible chat-completion server. Results whose score lies below a
// per-type threshold are sent, grouped by entity type and cut into batches,
// with a few words of context each; the model accepts, rejects or
// reclassifies them. Results the answer leaves out get a second request; a
// batch that gets no answer at all is handled by the `on_failure` policy, and
// after `max_consecutive_failures` such batches in a row the model is no
// longer asked (circuit breaker).
//
// Results passed in belong to the caller: the only thing written into them is
// the `entity_type` of a result the model reclassifies.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "core/checks.hpp"
#include "core/log.hpp"
#include "core/pyclass.hpp"
#include "core/slm.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

constexpr const char* kModule = "tarnis.slm.fallback";
constexpr const char* kClass = "SLMFallback";
constexpr const char* kDefaultBaseUrl = "http://localhost:11434/v1";
constexpr const char* kDefaultModel = "qwen3.5:9b";
constexpr int kMaxAttempts = 5;

const char* const kDefaultPromptLines[] = {
    "You are a Romanian document analyzer specialized in privacy compliance (GDPR and Moldova Law 133/2011).",
    "",
    "Your task is to determine whether a flagged text span is personally identifiable information (PII) that must "
    "be anonymized, or a non-personal reference (non-PII) that should be left unchanged.",
    "",
    "Rules:",
    "- PII includes: full names, partial names, addresses, phone numbers, emails, personal identification codes "
    "(IDNP/CNP), document numbers tied to individuals, company names linked to identifiable persons, and any data "
    "that can directly or indirectly identify a natural person.",
    "- Non-PII includes: generic titles, common nouns, legislative references, general descriptions, publicly known "
    "institution names used in a generic context, and abstract or statistical data.",
    "- Context matters: the same text span may be PII or non-PII depending on surrounding context. Evaluate each "
    "entity in its context.",
    "- When in doubt, prefer PII (err on the side of anonymization).",
    "- If the entity was misclassified (wrong entity_type), set \"entity_type\" to the correct type from the "
    "supported list. Otherwise omit it or set it to null.",
    "",
    "Respond only in JSON. No explanation outside the JSON object.",
    "Keep each \"reason\" under 15 words.",
    "{\"results\": [{\"id\": <int>, \"reason\": \"<max 15 words>\", \"pii\": <bool>, \"entity_type\": \"<string or "
    "null>\"}]}",
};

// First line flush left, the others indented by eight spaces (blank lines
// stay empty), ending in a newline and the indentation.
std::string default_system_prompt() {
  std::string out;
  bool first = true;
  for (const char* line : kDefaultPromptLines) {
    if (!first) {
      out += "\n";
      if (*line) out += "        ";
    }
    out += line;
    first = false;
  }
  out += "\n        ";
  return out;
}

// Objects built once at import. Leaked on purpose: they hold Python objects
// that must not be released after the interpreter has shut down.
struct State {
  py::module_ module;
  ModuleLogger log;
  py::object config_cls, verdict_cls, unavailable, unset, no_reclassify;
  py::object json_dumps, marked_kwargs, round_fn, real_cls, pathlike_cls;
  py::object own_context;  // SLMFallback._context as defined here
  py::str k_id, k_entity_type, k_value, k_context, k_score, k_results, k_pii, k_reason, k_recognizer_name;
  py::str no_name, accept, error, empty, placeholder, invalid_type, invalid_type_accept;
  py::int_ digits;
};
State* g = nullptr;

// ---------------------------------------------------------------------------
// Small helpers over the C API

bool truthy(py::handle v) {
  const int t = PyObject_IsTrue(v.ptr());
  if (t < 0) throw py::error_already_set();
  return t == 1;
}

bool equals(py::handle a, py::handle b) {
  const int t = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (t < 0) throw py::error_already_set();
  return t == 1;
}

bool contains(py::handle container, py::handle item) {
  const int t = PySequence_Contains(container.ptr(), item.ptr());
  if (t < 0) throw py::error_already_set();
  return t == 1;
}

// Owned references to the items of any iterable, taken before any Python code
// runs on them, so that the loop cannot be disturbed by changes to the source.
std::vector<py::object> snapshot(py::handle iterable, const char* what) {
  PyObject* fast = PySequence_Fast(iterable.ptr(), what);
  if (!fast) throw py::error_already_set();
  py::object keep = py::reinterpret_steal<py::object>(fast);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  PyObject** items = PySequence_Fast_ITEMS(fast);
  std::vector<py::object> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(py::reinterpret_borrow<py::object>(items[i]));
  return out;
}

py::list to_list(const std::vector<py::object>& items) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (!list) throw py::error_already_set();
  for (size_t i = 0; i < items.size(); ++i) {
    Py_INCREF(items[i].ptr());
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i].ptr());
  }
  return py::reinterpret_steal<py::list>(list);
}

void append(py::handle list, py::handle item) {
  if (PyList_CheckExact(list.ptr())) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) throw py::error_already_set();
  } else {
    list.attr("append")(item);
  }
}

// mapping.get(key) with a null handle when the key is absent.
py::object dict_get(py::handle mapping, py::handle key) {
  if (PyDict_Check(mapping.ptr())) {
    PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (!v) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return py::object();
    }
    return py::reinterpret_borrow<py::object>(v);
  }
  py::object v = mapping.attr("get")(key, g->placeholder);
  if (v.is(g->placeholder)) return py::object();
  return v;
}

void set_item(py::handle dict, py::handle key, py::handle value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

[[noreturn]] void raise_unavailable(const std::string& message) {
  PyErr_SetString(g->unavailable.ptr(), message.c_str());
  throw py::error_already_set();
}

// set(v): always a new set, never `v` itself.
py::object new_set(py::handle v) {
  PyObject* s = PySet_New(v.ptr());
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

bool log_enabled(int level) { return truthy(g->log.get().attr("isEnabledFor")(level)); }

std::string text_of(py::handle v) { return py::str(v).cast<std::string>(); }

// ---------------------------------------------------------------------------
// Offsets with the semantics of Python slicing

// A slice bound of `text[...]`: None gives `fallback`; negative values count
// from the end; everything is clamped into [0, len]. Ints of any size.
Py_ssize_t slice_bound(py::handle v, Py_ssize_t len, Py_ssize_t fallback) {
  if (v.is_none()) return fallback;
  PyObject* idx = PyNumber_Index(v.ptr());
  if (!idx) throw py::error_already_set();
  Py_ssize_t i = PyNumber_AsSsize_t(idx, nullptr);  // clipped on overflow
  Py_DECREF(idx);
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (i < 0) {
    i += len;
    if (i < 0) i = 0;
  } else if (i > len) {
    i = len;
  }
  return i;
}

struct Bounds {
  Py_ssize_t start, end;  // text[start:end]; end >= start
};

Bounds span_bounds(py::handle text, py::handle result) {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(text.ptr());
  const Py_ssize_t s = slice_bound(result.attr("start"), len, 0);
  const Py_ssize_t e = slice_bound(result.attr("end"), len, len);
  return {s, e < s ? s : e};
}

py::str substring(py::handle text, Py_ssize_t start, Py_ssize_t end) {
  PyObject* s = PyUnicode_Substring(text.ptr(), start, end);
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

// text[result.start:result.end]
py::str span_text(py::handle text, py::handle result) {
  require_str(text, "span", "text");
  const Bounds b = span_bounds(text, result);
  return substring(text, b.start, b.end);
}

// ---------------------------------------------------------------------------
// Configuration

// A non-negative word count; anything else counts as zero words.
Py_ssize_t word_count(py::handle v) {
  if (!PyLong_Check(v.ptr())) return 0;
  const Py_ssize_t n = PyNumber_AsSsize_t(v.ptr(), nullptr);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  return n < 0 ? 0 : n;
}

void require_real(py::handle v, const char* func, const char* arg) {
  const int ok = PyObject_IsInstance(v.ptr(), g->real_cls.ptr());
  if (ok < 0) throw py::error_already_set();
  if (!ok) raise_type_error(func, arg, "a real number", v);
}

void require_str_members(py::handle set, const char* func, const char* arg) {
  for (const py::object& s : snapshot(set, arg)) {
    if (!PyUnicode_Check(s.ptr())) {
      throw py::type_error(std::string(func) + "() argument '" + arg + "' must hold only str, not " +
                           Py_TYPE(s.ptr())->tp_name);
    }
  }
}

void require_str_set_or_none(py::handle v, const char* func, const char* arg) {
  if (v.is_none()) return;
  if (!PyAnySet_Check(v.ptr())) raise_type_error(func, arg, "a set or None", v);
  require_str_members(v, func, arg);
}

Py_ssize_t require_count(py::handle v, const char* func, const char* arg, Py_ssize_t minimum) {
  require_int(v, func, arg);
  const Py_ssize_t n = PyNumber_AsSsize_t(v.ptr(), nullptr);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (n < minimum) {
    throw py::value_error(std::string(func) + "() argument '" + arg + "' must be at least " +
                          std::to_string(minimum) + ", got " + text_of(py::repr(v)));
  }
  return n;
}

// The fields of a per-entity config must be usable by the routing and the
// requests; checked once at construction instead of failing mid-document.
void check_entity_config(py::handle key, py::handle cfg) {
  const char* fn = kClass;
  const std::string where = "per_entity_config[" + text_of(py::repr(key)) + "]";
  if (!PyUnicode_Check(key.ptr())) raise_type_error(fn, "per_entity_config key", "str", key);
  require_real(cfg.attr("slm_threshold"), fn, (where + ".slm_threshold").c_str());
  py::object cw = cfg.attr("context_words");
  if (!cw.is_none()) require_count(cw, fn, (where + ".context_words").c_str(), 0);
  py::object sources = cfg.attr("filter_sources");
  if (!sources.is_none()) {
    if (!PyAnySet_Check(sources.ptr())) raise_type_error(fn, (where + ".filter_sources").c_str(), "a set or None", sources);
    require_str_members(sources, fn, (where + ".filter_sources").c_str());
  }
  py::object prompt = cfg.attr("system_prompt");
  if (!prompt.is_none() && !PyUnicode_Check(prompt.ptr())) {
    raise_type_error(fn, (where + ".system_prompt").c_str(), "str or None", prompt);
  }
}

py::object normalize_entity_config(py::handle v) {
  const int is_cfg = PyObject_IsInstance(v.ptr(), g->config_cls.ptr());
  if (is_cfg < 0) throw py::error_already_set();
  if (is_cfg) return py::reinterpret_borrow<py::object>(v);
  py::dict d = py::reinterpret_steal<py::dict>(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), v.ptr()));
  if (!d) throw py::error_already_set();
  py::str key("filter_sources");
  py::object sources = dict_get(d, key);
  if (sources && !sources.is_none()) {
    PyObject* s = PySet_New(sources.ptr());
    if (!s) throw py::error_already_set();
    set_item(d, key, py::reinterpret_steal<py::object>(s));
  }
  return g->config_cls(**d);
}

// ---------------------------------------------------------------------------
// Routing

struct Route {
  bool eligible = false;
  py::object threshold;
  bool any_source = true;
  std::vector<py::object> sources;
};

// Routing rules per entity type, worked out once per call from the instance
// settings and the per-entity configs.
class Router {
 public:
  explicit Router(py::handle self)
      : types_(self.attr("slm_entity_types")),
        configs_(self.attr("per_entity_config")),
        threshold_(self.attr("slm_threshold")),
        sources_(self.attr("filter_sources")) {}

  const Route& route_for(py::handle entity_type) {
    PyObject* found = PyDict_GetItemWithError(index_.ptr(), entity_type.ptr());
    if (found) return routes_[PyLong_AsSize_t(found)];
    if (PyErr_Occurred()) throw py::error_already_set();
    Route r;
    r.eligible = types_.is_none() || contains(types_, entity_type);
    if (r.eligible) {
      py::object cfg = dict_get(configs_, entity_type);
      py::object sources;
      if (!cfg || cfg.is_none()) {
        r.threshold = threshold_;
        sources = sources_;
      } else {
        r.threshold = cfg.attr("slm_threshold");
        sources = cfg.attr("filter_sources");
      }
      r.any_source = sources.is_none();
      if (!r.any_source) r.sources = snapshot(sources, "filter_sources");
    }
    routes_.push_back(std::move(r));
    set_item(index_, entity_type, py::int_(routes_.size() - 1));
    return routes_.back();
  }

 private:
  py::object types_, configs_, threshold_, sources_;
  py::dict index_;
  std::vector<Route> routes_;
};

py::object recognizer_name(py::handle result) {
  py::object meta = result.attr("recognition_metadata");
  if (meta.is_none() || !truthy(meta)) return g->no_name;
  py::object name = dict_get(meta, g->k_recognizer_name);
  return name ? name : py::object(g->no_name);
}

struct Decision {
  bool eligible, in_band, source_match;
  py::object name;
};

// `want_name`: the recognizer name is wanted even when no source filter needs it.
Decision decide(Router& router, py::handle r, bool want_name) {
  py::object entity_type = r.attr("entity_type");
  const Route& route = router.route_for(entity_type);
  if (!route.eligible) return {false, false, false, py::object()};
  Decision d{true, false, true, (want_name || !route.any_source) ? recognizer_name(r) : py::object()};
  py::object score = r.attr("score");
  const int lt = PyObject_RichCompareBool(score.ptr(), route.threshold.ptr(), Py_LT);
  if (lt < 0) throw py::error_already_set();
  d.in_band = lt == 1;
  if (!route.any_source) {
    py::object name = PyUnicode_Check(d.name.ptr()) ? d.name : py::str(d.name);
    d.source_match = false;
    for (const py::object& s : route.sources) {
      if (contains(name, s)) {
        d.source_match = true;
        break;
      }
    }
  }
  return d;
}

// ---------------------------------------------------------------------------
// Payload

py::str context(py::handle self, py::handle text, py::handle result) {
  require_str(text, "_context", "text");
  py::object cfg = dict_get(self.attr("per_entity_config"), result.attr("entity_type"));
  py::object cw = (cfg && !cfg.is_none()) ? cfg.attr("context_words") : py::object();
  const Py_ssize_t n = word_count((cw && !cw.is_none()) ? cw : self.attr("context_words"));

  // Read in place: only the few words around the span are looked at, so a
  // long document costs nothing per result.
  const int kind = PyUnicode_KIND(text.ptr());
  const void* data = PyUnicode_DATA(text.ptr());
  const Py_ssize_t len = PyUnicode_GET_LENGTH(text.ptr());
  auto at = [&](Py_ssize_t i) -> char32_t { return static_cast<char32_t>(PyUnicode_READ(kind, data, i)); };
  const Py_ssize_t s = slice_bound(result.attr("start"), len, 0);
  const Py_ssize_t e = slice_bound(result.attr("end"), len, len);

  // The last n words before the span, walking backwards.
  std::vector<std::pair<Py_ssize_t, Py_ssize_t>> left;
  Py_ssize_t i = s;
  while (static_cast<Py_ssize_t>(left.size()) < n) {
    while (i > 0 && is_space(at(i - 1))) --i;
    if (i == 0) break;
    const Py_ssize_t word_end = i;
    while (i > 0 && !is_space(at(i - 1))) --i;
    left.emplace_back(i, word_end);
  }
  std::u32string out;
  auto copy = [&](Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t k = from; k < to; ++k) out.push_back(at(k));
  };
  for (size_t k = left.size(); k-- > 0;) {
    copy(left[k].first, left[k].second);
    if (k > 0) out.push_back(U' ');
  }
  out += U" >>>";
  if (e > s) copy(s, e);
  out += U"<<< ";
  Py_ssize_t j = e;
  for (Py_ssize_t k = 0; k < n; ++k) {
    while (j < len && is_space(at(j))) ++j;
    if (j == len) break;
    const Py_ssize_t word_start = j;
    while (j < len && !is_space(at(j))) ++j;
    if (k > 0) out.push_back(U' ');
    copy(word_start, j);
  }
  return to_str(strip(out));
}

// Whether `_context` is this module's own (not overridden by a subclass or
// replaced on the instance), so that it can be called without a Python call.
bool own_context(py::handle self) {
  py::object bound = self.attr("_context");
  if (!PyMethod_Check(bound.ptr())) return false;
  return PyMethod_GET_FUNCTION(bound.ptr()) == g->own_context.ptr();
}

// One payload item per pair, ids counted from `first_id` ... in order.
py::list build_payload(py::handle self, const std::vector<py::object>& texts, const std::vector<py::object>& results) {
  const bool fast = own_context(self);
  py::object ctx_method = fast ? py::object() : self.attr("_context");
  py::list payload(results.size());
  for (size_t i = 0; i < results.size(); ++i) {
    py::handle text = texts[i];
    py::handle r = results[i];
    require_str(text, "_verify_batch", "text");
    py::dict item;
    set_item(item, g->k_id, py::int_(i));
    set_item(item, g->k_entity_type, r.attr("entity_type"));
    set_item(item, g->k_value, span_text(text, r));
    set_item(item, g->k_context, fast ? py::object(context(self, text, r)) : ctx_method(text, r));
    set_item(item, g->k_score, g->round_fn(r.attr("score"), g->digits));
    PyList_SET_ITEM(payload.ptr(), static_cast<Py_ssize_t>(i), item.release().ptr());
  }
  return payload;
}

// json.dumps(obj, ensure_ascii=False, indent=2), byte for byte. The json
// module's pure-Python encoder, which indentation needs, costs more than the
// rest of a request together; so the C encoder writes the compact form with
// an item separator holding a NUL, which can never appear raw inside an
// encoded string (control characters are escaped there), and the layout of
// the indenting encoder is applied here: a line break and two spaces per
// level after each opening bracket and item separator and before each closing
// bracket, empty containers left as "[]" and "{}".
py::str pretty_json(py::handle obj) {
  py::str compact = g->json_dumps(obj, **g->marked_kwargs);
  Text t(compact);
  std::u32string out;
  out.reserve(t.size() + t.size() / 2);
  size_t depth = 0;
  bool in_string = false, escape = false;
  auto newline = [&] {
    out.push_back(U'\n');
    out.append(2 * depth, U' ');
  };
  for (size_t i = 0; i < t.size(); ++i) {
    const char32_t c = t[i];
    if (in_string) {
      out.push_back(c);
      if (escape) {
        escape = false;
      } else if (c == U'\\') {
        escape = true;
      } else if (c == U'"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case U'"':
        in_string = true;
        out.push_back(c);
        break;
      case U'[':
      case U'{':
        out.push_back(c);
        if (i + 1 < t.size() && t[i + 1] == (c == U'[' ? U']' : U'}')) {
          out.push_back(t[++i]);
        } else {
          ++depth;
          newline();
        }
        break;
      case U']':
      case U'}':
        if (depth > 0) --depth;
        newline();
        out.push_back(c);
        break;
      case U',':
        out.push_back(c);
        if (i + 1 < t.size() && t[i + 1] == U'\0') {
          ++i;
          newline();
        }
        break;
      default:
        out.push_back(c);
    }
  }
  return to_str(out);
}

// "value(entity_type), ..." for the first three payload items.
// A payload handed to `_call_slm` by other code may hold other things; they
// are shown as they are rather than breaking the failure report.
py::str entities_preview(const std::vector<py::object>& items) {
  py::list parts;
  py::str fmt("{}({})");
  for (size_t i = 0; i < items.size() && i < 3; ++i) {
    py::object part;
    py::object exc = slm::catch_exception([&] {
      py::object value = items[i][g->k_value];
      part = fmt.attr("format")(value[py::slice(0, 20, 1)], items[i][g->k_entity_type]);
    });
    parts.append(exc ? py::str(items[i]) : py::str(part));
  }
  return py::str(", ").attr("join")(parts);
}

// "5 CODE" or "2 CODE, 1 ORGANIZATION": how many payload items of each type,
// in order of first appearance. Lines that reach terminals name the batch
// this way; the values themselves are in the request and error logs.
std::string types_summary(const std::vector<py::object>& items) {
  std::vector<std::pair<std::string, size_t>> counts;
  size_t other = 0;
  for (const py::object& item : items) {
    py::object type = PyDict_Check(item.ptr()) ? dict_get(item, g->k_entity_type) : py::object();
    if (!type || !PyUnicode_Check(type.ptr())) {
      ++other;
      continue;
    }
    std::string name = type.cast<std::string>();
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == name; });
    if (it == counts.end()) {
      counts.emplace_back(name, 1);
    } else {
      ++it->second;
    }
  }
  std::string out;
  for (const auto& [name, n] : counts) out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + name;
  if (other) out += (out.empty() ? "" : ", ") + std::to_string(other) + " other";
  return out.empty() ? std::string("none") : out;
}

// The keys of a verdict as the model wrote them, for a terminal: the names
// of the verdict format are shown, anything else the model invented only
// counted. `all_known` tells whether nothing was left out.
std::string shown_keys(py::handle verdict, bool* all_known) {
  static const char* const kKnown[] = {"id", "reason", "pii", "entity_type"};
  py::list known;
  size_t other = 0;
  for (const py::object& k : snapshot(py::list(verdict.attr("keys")()), "verdict keys")) {
    bool ok = false;
    if (PyUnicode_Check(k.ptr())) {
      for (const char* name : kKnown) ok = ok || equals(k, py::str(name));
    }
    if (ok) {
      known.append(k);
    } else {
      ++other;
    }
  }
  *all_known = other == 0;
  std::string out = text_of(py::repr(known));
  if (other) out += " and " + std::to_string(other) + " other key" + (other == 1 ? "" : "s");
  return out;
}

// What happens to a batch whose request failed: what `_process_verdicts`
// does with it, for the line that reports the failure.
std::string failure_fate(py::handle self, bool is_retry) {
  if (is_retry) return "keeping";
  py::object on_failure = self.attr("on_failure");
  if (equals(on_failure, g->accept)) return "keeping";
  if (equals(on_failure, g->error)) return "raising an error for";
  return "rejecting";
}

std::string failure_why(py::handle self, bool is_retry) {
  if (is_retry) return "retry request: kept as PII";
  return "on_failure=" + text_of(py::repr(self.attr("on_failure")));
}

// ---------------------------------------------------------------------------
// SLMFallback methods

bool check_health(py::handle self) {
  py::object base_url = self.attr("base_url");
  py::object model = self.attr("model");
  bool ok = false;
  py::object exc = slm::catch_exception([&] {
    py::object models = self.attr("client").attr("with_options")(py::arg("timeout") = 5.0).attr("models").attr("list")();
    py::list available;
    for (const py::object& m : snapshot(models.attr("data"), "models.data")) available.append(m.attr("id"));
    bool found = available.empty() || contains(available, model) ||
                 contains(available, py::str(model) + py::str(":latest"));
    if (found) {
      self.attr("_slm_available") = true;
      g->log.info("SLM server available at %s (model: %s)", base_url, model);
      ok = true;
      return;
    }
    self.attr("_slm_available") = false;
    py::str message = py::str("SLM model ") + py::repr(model) + py::str(" not found on server at ") +
                      py::str(base_url) + py::str(". Available models: ") + py::str(", ").attr("join")(available);
    self.attr("_health_error") = message;
    g->log.get().attr("warning")(message);
  });
  if (!exc) return ok;
  self.attr("_slm_available") = false;
  py::str error = py::str("SLM server unavailable at ") + py::str(base_url) + py::str(": ") + py::str(exc);
  self.attr("_health_error") = error;
  const char* action = equals(self.attr("on_failure"), g->accept) ? "kept" : "rejected";
  g->log.info(
      "SLM fallback disabled (%s) — low-confidence entities will be %s. To enable, start an OpenAI-compatible "
      "server at that address.",
      error, action);
  return false;
}

py::tuple split(py::handle self, py::handle results) {
  std::vector<py::object> items = snapshot(results, "results must be a sequence of RecognizerResult");
  Router router(self);
  py::list certain, ambiguous;
  const bool logging = log_enabled(loglevel::DEBUG);
  for (const py::object& r : items) {
    Decision d = decide(router, r, logging);
    if (!d.eligible) {
      append(certain, r);
      continue;
    }
    const bool is_ambiguous = d.in_band && d.source_match;
    if (logging) {
      g->log.debug("[split] %-12s  score=%.2f  in_band=%-5s  source_match=%-5s  recognizer=%-35s → %s",
                   r.attr("entity_type"), r.attr("score"), py::bool_(d.in_band), py::bool_(d.source_match), d.name,
                   is_ambiguous ? "AMBIGUOUS" : "CERTAIN");
    }
    append(is_ambiguous ? ambiguous : certain, r);
  }
  g->log.debug("[split] total=%d  certain=%d  ambiguous=%d", items.size(), certain.size(), ambiguous.size());
  return py::make_tuple(certain, ambiguous);
}

Py_ssize_t batch_size_of(py::handle self) {
  py::object v = self.attr("batch_size");
  if (!PyLong_Check(v.ptr())) raise_type_error(kClass, "batch_size", "int", v);
  const Py_ssize_t n = PyNumber_AsSsize_t(v.ptr(), nullptr);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (n < 1) throw py::value_error("SLMFallback.batch_size must be at least 1, got " + text_of(py::repr(v)));
  return n;
}

py::list batches(py::handle self, py::handle items) {
  const Py_ssize_t size = batch_size_of(self);
  std::vector<py::object> all = snapshot(items, "items must be a sequence");
  py::list out;
  for (size_t i = 0; i < all.size(); i += static_cast<size_t>(size)) {
    const size_t end = std::min(all.size(), i + static_cast<size_t>(size));
    out.append(to_list(std::vector<py::object>(all.begin() + static_cast<std::ptrdiff_t>(i),
                                               all.begin() + static_cast<std::ptrdiff_t>(end))));
  }
  return out;
}

py::object get_system_prompt(py::handle self, py::handle entity_type) {
  py::object cfg = dict_get(self.attr("per_entity_config"), entity_type);
  if (cfg && !cfg.is_none()) {
    py::object prompt = cfg.attr("system_prompt");
    if (truthy(prompt)) return prompt;
  }
  return self.attr("DEFAULT_SYSTEM_PROMPT");
}

void log_request(py::handle self, py::handle payload, py::handle raw_response, py::handle parsed_verdicts,
                 py::handle attempt, py::handle status, py::handle error, py::handle system_prompt,
                 py::handle user_msg, py::handle is_retry) {
  py::object entity_type = g->empty;
  if (PyList_Check(payload.ptr()) && PyList_GET_SIZE(payload.ptr()) > 0) {
    py::object first = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(payload.ptr(), 0));
    if (PyDict_Check(first.ptr())) {
      py::object v = dict_get(first, g->k_entity_type);
      if (v) entity_type = v;
    }
  }
  py::dict entry;
  entry["timestamp"] = slm::now_iso();
  entry["attempt"] = attempt;
  entry["status"] = status;
  entry["is_retry"] = is_retry;
  entry["entity_type"] = entity_type;
  entry["system_prompt"] = system_prompt;
  entry["user_msg"] = user_msg;
  entry["payload"] = payload;
  entry["raw_response"] = raw_response;
  entry["parsed_verdicts"] = parsed_verdicts;
  entry["error"] = error;
  py::object log_dir = self.attr("log_dir");
  py::object exc = slm::catch_exception([&] { slm::append_jsonl(log_dir, "slm_request_log.jsonl", entry); });
  if (exc) g->log.warning("Failed to write SLM request log: %s", exc);
}

// The "results" of an answer must be a list of objects for the verdicts to
// be read; anything else is a failed attempt like an unparsable answer.
void check_results(py::handle results) {
  if (!PyList_Check(results.ptr())) {
    throw py::value_error(std::string("SLM answer \"results\" is not a list but ") + Py_TYPE(results.ptr())->tp_name);
  }
  for (const py::object& v : snapshot(results, "results")) {
    if (!PyDict_Check(v.ptr())) {
      throw py::value_error(std::string("SLM answer \"results\" holds a ") + Py_TYPE(v.ptr())->tp_name +
                            " instead of a verdict object");
    }
  }
}

py::object call_slm(py::handle self, py::handle payload, py::handle entity_type, bool is_retry) {
  std::vector<py::object> items = snapshot(payload, "payload must be a list of items");

  std::string types_line;
  py::object allowed = self.attr("allowed_entity_types");
  py::str entity_types_line = g->empty;
  if (truthy(allowed)) {
    py::object members = py::module_::import("builtins").attr("sorted")(
        py::reinterpret_steal<py::object>(PyNumber_Subtract(new_set(allowed).ptr(), g->no_reclassify.ptr())));
    entity_types_line = py::str("Supported entity types: ") + py::str(", ").attr("join")(members) + py::str("\n\n");
  }
  py::object entities_json = pretty_json(payload);
  py::str user_msg = entity_types_line +
                     py::str(self.attr("USER_TEMPLATE").attr("replace")("{entities_json}", entities_json));
  py::object system_prompt = self.attr("_get_system_prompt")(entity_type);

  py::object raw = py::none();
  py::object verdicts = py::none();
  py::object last_exc = py::none();
  py::object log_request_fn = self.attr("_log_request");
  py::bool_ retry_flag(is_retry);

  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    py::object exc = slm::catch_exception([&] {
      py::dict extra = slm::extra_body(self.attr("top_k"), self.attr("extra_body"));
      py::object content = slm::chat_content(slm::ChatRequest{
          self.attr("client"), self.attr("model"), system_prompt, user_msg, self.attr("temperature"),
          self.attr("top_p"), self.attr("presence_penalty"), self.attr("max_tokens"), extra});
      py::object text = (content.is_none() || !truthy(content)) ? py::object(g->empty) : content;
      raw = text.attr("strip")();
      if (log_enabled(loglevel::DEBUG)) g->log.debug("[batch] raw SLM response (attempt %d):\n%s", attempt + 1, raw);
      py::object parsed = self.attr("_repair_json")(raw);
      py::object results = parsed[g->k_results];
      check_results(results);
      log_request_fn(payload, raw, results, attempt + 1, "success", py::arg("system_prompt") = system_prompt,
                     py::arg("user_msg") = user_msg, py::arg("is_retry") = retry_flag);
      verdicts = results;
    });
    if (!exc) break;
    last_exc = exc;
    log_request_fn(payload, raw, py::none(), attempt + 1, "error", py::str(exc),
                   py::arg("system_prompt") = system_prompt, py::arg("user_msg") = user_msg,
                   py::arg("is_retry") = retry_flag);
    // The warning names the error and the batch by counts and types only;
    // the values, the full error and the answer are in the request log and
    // in the debug line.
    if (attempt < kMaxAttempts - 1) {
      if (log_enabled(loglevel::WARNING)) {
        g->log.warning("SLM batch failed (attempt %d/%d): %s | entities: [%s] — retrying...", attempt + 1,
                       kMaxAttempts, slm::error_label(exc), types_summary(items));
      }
      if (log_enabled(loglevel::DEBUG)) {
        g->log.debug("SLM batch failed (attempt %d/%d): %s | entities: [%s%s] — retrying...", attempt + 1,
                     kMaxAttempts, exc, entities_preview(items), items.size() > 3 ? "..." : "");
      }
    }
  }
  if (verdicts.is_none()) {
    py::object raw_head = (raw.is_none() || !truthy(raw)) ? py::object(g->empty) : py::object(raw[py::slice(0, 200, 1)]);
    const std::string fate = failure_fate(self, is_retry), why = failure_why(self, is_retry);
    if (log_enabled(loglevel::ERROR)) {
      g->log.error("SLM batch FAILED after %d attempts — %s %d entities (%s): [%s] | last error: %s", kMaxAttempts,
                   fate, items.size(), why, types_summary(items), slm::error_label(last_exc));
    }
    if (log_enabled(loglevel::DEBUG)) {
      g->log.debug("SLM batch FAILED after %d attempts — %s %d entities (%s): [%s%s] | last error: %s | raw: %s",
                   kMaxAttempts, fate, items.size(), why, entities_preview(items), items.size() > 3 ? "..." : "",
                   last_exc, raw_head);
    }
    py::dict entry;
    entry["timestamp"] = slm::now_iso();
    entry["error"] = py::str(last_exc);
    entry["raw_response"] = raw;
    entry["payload"] = payload;
    slm::append_jsonl(self.attr("log_dir"), "slm_error_log.jsonl", entry);
  }
  return verdicts;
}

// A verdict's id as a position in a batch of `n`, or -1 when it is absent,
// not an integer or out of range.
Py_ssize_t verdict_id(py::handle v, size_t n) {
  py::object id = dict_get(v, g->k_id);
  if (!id || !PyLong_Check(id.ptr())) return -1;
  int overflow = 0;
  const long long i = PyLong_AsLongLongAndOverflow(id.ptr(), &overflow);
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow || i < 0 || static_cast<unsigned long long>(i) >= n) return -1;
  return static_cast<Py_ssize_t>(i);
}

enum class Reclass { kept, reclassified, invalid };

// Sets r.entity_type to the model's corrected type when that is allowed.
// A corrected type must be a type of the catalogue: the type becomes the
// placeholder's name, so anything else the model writes there (a made-up
// name, brackets, a number, a list) makes the verdict unusable for this
// result (`invalid`; the result is not touched). A catalogue type that the
// SLM may not assign, or that `allowed_entity_types` leaves out, is ignored
// and the result keeps its type.
Reclass maybe_reclassify(py::handle self, py::handle v, py::handle r) {
  py::object new_type = dict_get(v, g->k_entity_type);
  if (!new_type || !truthy(new_type)) return Reclass::kept;
  if (!PyUnicode_Check(new_type.ptr()) || !contains(g->module.attr("_CATALOGUE_ENTITY_TYPES"), new_type)) {
    return Reclass::invalid;
  }
  if (contains(g->no_reclassify, new_type)) return Reclass::kept;
  if (equals(new_type, r.attr("entity_type"))) return Reclass::kept;
  py::object allowed = self.attr("allowed_entity_types");
  if (!allowed.is_none() && !contains(allowed, new_type)) return Reclass::kept;
  r.attr("entity_type") = new_type;
  return Reclass::reclassified;
}

py::object verdict_record(py::handle r, bool accepted, py::handle reason, py::handle original) {
  return g->verdict_cls(r, py::bool_(accepted), reason, original);
}

// A verdict that accepts a result under a type outside the catalogue gives
// no usable answer for it: the result follows `on_failure` like one of a
// batch without an answer, keeping its type (kept with "accept", dropped
// with a reject policy, SLMUnavailableError with "error").
void unusable_type(py::handle self, py::handle v, py::handle r, size_t idx, py::handle before, py::handle span,
                   py::list& kept, py::handle last_verdicts, bool debug, const char* pass) {
  py::object on_failure = self.attr("on_failure");
  const bool error = equals(on_failure, g->error);
  const bool accept = equals(on_failure, g->accept);
  const char* fate = accept ? "kept" : (error ? "error" : "rejected");
  g->log.warning("[%s] INVALID_TYPE  id=%d  %s  (the model named a type outside the catalogue; on_failure=%r: %s)",
                 pass, idx, r.attr("entity_type"), on_failure, fate);
  if (debug) {
    g->log.debug("[%s] INVALID_TYPE  id=%d  %s=%r  entity_type=%r", pass, idx, r.attr("entity_type"), span,
                 dict_get(v, g->k_entity_type));
  }
  if (error) {
    raise_unavailable("SLM answer for a " + text_of(before) + " result names an entity type outside the catalogue"
                      " and on_failure='error'");
  }
  append(last_verdicts, verdict_record(r, accept, accept ? g->invalid_type_accept : g->invalid_type, before));
  if (accept) kept.append(r);
}

py::list process_verdicts(py::handle self, py::handle verdicts, py::handle batch_arg, py::handle items_arg) {
  std::vector<py::object> batch = snapshot(batch_arg, "batch must be a sequence of RecognizerResult");
  std::vector<py::object> pairs = snapshot(items_arg, "batch_items must be a sequence of (text, result) pairs");
  std::vector<py::object> texts;
  texts.reserve(pairs.size());
  for (const py::object& p : pairs) texts.push_back(p[py::int_(0)]);
  std::vector<py::object> original;
  original.reserve(batch.size());
  for (const py::object& r : batch) original.push_back(r.attr("entity_type"));
  py::object last_verdicts = self.attr("last_verdicts");
  py::list kept;

  if (verdicts.is_none()) {
    py::object failures = py::int_(self.attr("_consecutive_failures")) + py::int_(1);
    self.attr("_consecutive_failures") = failures;
    py::object on_failure = self.attr("on_failure");
    const int tripped = PyObject_RichCompareBool(failures.ptr(), self.attr("max_consecutive_failures").ptr(), Py_GE);
    if (tripped < 0) throw py::error_already_set();
    if (tripped && self.attr("_slm_available").ptr() != Py_False) {
      g->log.warning(
          "SLM circuit breaker: %d consecutive failures, disabling SLM for remaining batches (on_failure=%r)",
          failures, on_failure);
      self.attr("_slm_available") = false;
    }
    if (equals(on_failure, g->error)) {
      raise_unavailable("SLM server unavailable at " + text_of(self.attr("base_url")) + " after " +
                        text_of(failures) + " consecutive failures");
    }
    const bool accept = equals(on_failure, g->accept);
    py::str reason(accept ? "slm_unavailable_accept" : "batch_failed");
    for (const py::object& r : batch) {
      append(last_verdicts, verdict_record(r, accept, reason, r.attr("entity_type")));
      if (accept) kept.append(r);
    }
    return kept;
  }

  self.attr("_consecutive_failures") = 0;
  const size_t n = batch.size();
  std::vector<bool> seen(n, false);
  auto text_at = [&](size_t i) -> py::object {
    if (texts.empty()) return g->empty;
    return i < texts.size() ? texts[i] : texts.back();
  };

  // Per-verdict lines are debug lines: their texts are built only when
  // someone listens.
  const bool debug = log_enabled(loglevel::DEBUG);
  auto span_of = [&](size_t i, py::handle r) -> py::object {
    py::object text = text_at(i);
    return PyUnicode_Check(text.ptr()) ? py::object(span_text(text, r)) : py::object(g->empty);
  };
  // Warnings name results by position and type only: the span texts, and
  // anything the model wrote, go to the debug companion lines (and are in
  // the request log).
  for (const py::object& v : snapshot(verdicts, "verdicts must be a list")) {
    if (!PyDict_Check(v.ptr())) {
      g->log.warning("[verdict] INVALID/MISSING id — skipping verdict: keys=%s", py::list());
      continue;
    }
    const Py_ssize_t idx = verdict_id(v, n);
    bool all_known = true;
    if (idx < 0) {
      const std::string keys = shown_keys(v, &all_known);
      if (all_known) {
        g->log.warning("[verdict] INVALID/MISSING id — skipping verdict: keys=%s", py::list(v.attr("keys")()));
      } else {
        g->log.warning("[verdict] INVALID/MISSING id — skipping verdict: keys=%s", keys);
        if (debug) {
          g->log.debug("[verdict] INVALID/MISSING id — skipping verdict: keys=%s", py::list(v.attr("keys")()));
        }
      }
      continue;
    }
    py::handle r = batch[static_cast<size_t>(idx)];
    py::object pii = dict_get(v, g->k_pii);
    if (!pii) {
      g->log.warning("[verdict] MISSING_PII  id=%d  %s  keys=%s — will retry", idx, r.attr("entity_type"),
                     shown_keys(v, &all_known));
      if (debug) {
        g->log.debug("[verdict] MISSING_PII  id=%d  %s=%r  keys=%s — will retry", idx, r.attr("entity_type"),
                     span_of(static_cast<size_t>(idx), r), py::list(v.attr("keys")()));
      }
      continue;
    }
    py::object span = debug ? span_of(static_cast<size_t>(idx), r) : py::object(g->empty);
    seen[static_cast<size_t>(idx)] = true;
    py::object reason = dict_get(v, g->k_reason);
    if (!reason) reason = g->empty;
    const py::object& before = original[static_cast<size_t>(idx)];
    if (truthy(pii)) {
      const Reclass rc = maybe_reclassify(self, v, r);
      if (rc == Reclass::invalid) {
        unusable_type(self, v, r, static_cast<size_t>(idx), before, span, kept, last_verdicts, debug, "verdict");
        continue;
      }
      if (rc == Reclass::reclassified && debug) {
        g->log.debug("[verdict] RECLASSIFIED  id=%d  %s → %s  %r", idx, before, r.attr("entity_type"), span);
      }
      kept.append(r);
      append(last_verdicts, verdict_record(r, true, reason, before));
      if (debug) g->log.debug("[verdict] ACCEPTED  id=%d  %s=%r  reason=%s", idx, r.attr("entity_type"), span, reason);
    } else {
      append(last_verdicts, verdict_record(r, false, reason, before));
      if (debug) g->log.debug("[verdict] REJECTED  id=%d  %s=%r  reason=%s", idx, r.attr("entity_type"), span, reason);
    }
  }

  std::vector<size_t> missed;
  for (size_t i = 0; i < n; ++i) {
    if (!seen[i]) missed.push_back(i);
  }
  if (missed.empty()) return kept;

  py::list labels;
  py::str label_fmt("{}={!r}");
  std::vector<py::object> retry_texts, retry_results;
  for (size_t i : missed) {
    py::object text = text_at(i);
    py::object span = PyUnicode_Check(text.ptr()) ? py::object(span_text(text, batch[i])) : py::object(g->empty);
    labels.append(label_fmt.attr("format")(batch[i].attr("entity_type"), span));
    retry_texts.push_back(text);
    retry_results.push_back(batch[i]);
  }
  {
    py::list ids;
    std::vector<py::object> missed_items;
    for (size_t i : missed) {
      ids.append(py::int_(i));
      py::dict item;
      set_item(item, g->k_entity_type, batch[i].attr("entity_type"));
      missed_items.push_back(item);
    }
    g->log.warning("[retry] %d entities need retry (missing pii key or absent from response): ids %s (%s)",
                   missed.size(), ids, types_summary(missed_items));
    if (debug) {
      g->log.debug("[retry] %d entities need retry (missing pii key or absent from response): %s", missed.size(),
                   labels);
    }
  }
  py::list retry_payload = build_payload(self, retry_texts, retry_results);
  py::object retry_verdicts =
      self.attr("_call_slm")(retry_payload, batch[missed[0]].attr("entity_type"), py::arg("is_retry") = true);

  if (retry_verdicts.is_none()) {
    py::str reason("retry_failed_default_pii");
    for (size_t i : missed) {
      py::handle r = batch[i];
      kept.append(r);
      append(last_verdicts, verdict_record(r, true, reason, original[i]));
      g->log.warning("[retry] DEFAULT_ACCEPT  id=%d  %s  (retry failed, defaulting to PII)", i, r.attr("entity_type"));
      if (debug) {
        g->log.debug("[retry] DEFAULT_ACCEPT  id=%d  %s=%r  (retry failed, defaulting to PII)", i,
                     r.attr("entity_type"), span_text(text_at(i), r));
      }
    }
    return kept;
  }

  std::vector<bool> retried(n, false);
  for (const py::object& v : snapshot(retry_verdicts, "verdicts must be a list")) {
    if (!PyDict_Check(v.ptr())) continue;
    const Py_ssize_t new_i = verdict_id(v, missed.size());
    if (new_i < 0) continue;
    const size_t orig_i = missed[static_cast<size_t>(new_i)];
    retried[orig_i] = true;
    py::handle r = batch[orig_i];
    py::object text = text_at(orig_i);
    py::object span = span_text(text, r);
    py::object model_reason = dict_get(v, g->k_reason);
    py::str reason = py::str("retry: ") + (model_reason ? py::str(model_reason) : py::str(g->empty));
    py::object pii = dict_get(v, g->k_pii);
    const bool is_pii = !pii || truthy(pii);
    py::object shown_reason = model_reason ? model_reason : py::object(g->empty);
    if (is_pii) {
      if (maybe_reclassify(self, v, r) == Reclass::invalid) {
        unusable_type(self, v, r, orig_i, original[orig_i], span, kept, last_verdicts, debug, "retry");
        continue;
      }
      kept.append(r);
      append(last_verdicts, verdict_record(r, true, reason, original[orig_i]));
      g->log.debug("[retry] ACCEPTED  id=%d  %s=%r  reason=%s", orig_i, r.attr("entity_type"), span, shown_reason);
    } else {
      append(last_verdicts, verdict_record(r, false, reason, original[orig_i]));
      g->log.debug("[retry] REJECTED  id=%d  %s=%r  reason=%s", orig_i, r.attr("entity_type"), span, shown_reason);
    }
  }
  py::str still("retry_still_missing");
  for (size_t i : missed) {
    if (retried[i]) continue;
    py::handle r = batch[i];
    kept.append(r);
    append(last_verdicts, verdict_record(r, true, still, original[i]));
    g->log.warning("[retry] DEFAULT_ACCEPT  id=%d  %s  (still missing after retry)", i, r.attr("entity_type"));
    if (debug) {
      g->log.debug("[retry] DEFAULT_ACCEPT  id=%d  %s=%r  (still missing after retry)", i, r.attr("entity_type"),
                   span_text(text_at(i), r));
    }
  }
  return kept;
}

py::object verify_pairs(py::handle self, const std::vector<py::object>& texts, const std::vector<py::object>& results,
                        py::handle batch, py::handle batch_items) {
  if (results.empty()) return py::list();
  py::list payload = build_payload(self, texts, results);
  py::object verdicts = self.attr("_call_slm")(payload, results[0].attr("entity_type"));
  return self.attr("_process_verdicts")(verdicts, batch, batch_items);
}

py::object verify_batch(py::handle self, py::handle text, py::handle batch_arg) {
  require_str(text, "_verify_batch", "text");
  std::vector<py::object> results = snapshot(batch_arg, "batch must be a sequence of RecognizerResult");
  std::vector<py::object> texts(results.size(), py::reinterpret_borrow<py::object>(text));
  py::list pairs;
  for (const py::object& r : results) pairs.append(py::make_tuple(text, r));
  return verify_pairs(self, texts, results, to_list(results), pairs);
}

// (text, result) from one item of filter_multi, checked.
std::pair<py::object, py::object> unpack_pair(py::handle item, size_t index, const char* func) {
  PyObject* fast = PySequence_Fast(item.ptr(), "");
  if (!fast) {
    PyErr_Clear();
    throw py::type_error(std::string(func) + "() items[" + std::to_string(index) +
                         "] must be a (text, result) pair, not " + Py_TYPE(item.ptr())->tp_name);
  }
  py::object keep = py::reinterpret_steal<py::object>(fast);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  if (n != 2) {
    throw py::value_error(std::string(func) + "() items[" + std::to_string(index) +
                          "] must be a (text, result) pair, got " + std::to_string(n) + " values");
  }
  py::object text = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(fast, 0));
  py::object result = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(fast, 1));
  if (!PyUnicode_Check(text.ptr())) {
    throw py::type_error(std::string(func) + "() items[" + std::to_string(index) + "] text must be str, not " +
                         Py_TYPE(text.ptr())->tp_name);
  }
  return {text, result};
}

py::object verify_batch_multi(py::handle self, py::handle items_arg) {
  std::vector<py::object> pairs = snapshot(items_arg, "batch_items must be a sequence of (text, result) pairs");
  std::vector<py::object> texts, results;
  py::list checked;
  for (size_t i = 0; i < pairs.size(); ++i) {
    auto p = unpack_pair(pairs[i], i, "_verify_batch_multi");
    texts.push_back(p.first);
    results.push_back(p.second);
    checked.append(py::make_tuple(p.first, p.second));
  }
  return verify_pairs(self, texts, results, to_list(results), checked);
}

// Groups by entity type, in order of first appearance.
struct Groups {
  py::dict index;
  std::vector<std::vector<size_t>> members;
  void add(py::handle entity_type, size_t i) {
    PyObject* found = PyDict_GetItemWithError(index.ptr(), entity_type.ptr());
    if (!found) {
      if (PyErr_Occurred()) throw py::error_already_set();
      set_item(index, entity_type, py::int_(members.size()));
      members.emplace_back();
      members.back().push_back(i);
      return;
    }
    members[PyLong_AsSize_t(found)].push_back(i);
  }
};

bool is_true(py::handle v) { return truthy(v); }

py::object filter(py::handle self, py::handle text, py::handle results) {
  require_str(text, "filter", "text");
  require_list(results, "filter", "results");
  self.attr("last_verdicts") = py::list();
  py::tuple parts = self.attr("_split")(results);
  py::object certain = parts[0];
  std::vector<py::object> ambiguous = snapshot(parts[1], "ambiguous results");
  if (ambiguous.empty()) return certain;

  if (self.attr("_slm_available").is_none()) self.attr("_check_health")();
  const std::string unavailable_message =
      "SLM server unavailable at " + text_of(self.attr("base_url")) + " and on_failure='error'";
  if (!is_true(self.attr("_slm_available"))) {
    py::object on_failure = self.attr("on_failure");
    if (equals(on_failure, g->error)) raise_unavailable(unavailable_message);
    if (equals(on_failure, g->accept)) return py::reinterpret_borrow<py::object>(results);
    return certain;
  }

  Groups groups;
  for (size_t i = 0; i < ambiguous.size(); ++i) groups.add(ambiguous[i].attr("entity_type"), i);
  py::list kept;
  py::object batches_fn = self.attr("_batches");
  for (const auto& members : groups.members) {
    std::vector<py::object> group;
    for (size_t i : members) group.push_back(ambiguous[i]);
    for (const py::object& batch : snapshot(batches_fn(to_list(group)), "batches")) {
      if (is_true(self.attr("_slm_available"))) {
        kept.attr("extend")(self.attr("_verify_batch")(text, batch));
        continue;
      }
      py::object on_failure = self.attr("on_failure");
      if (equals(on_failure, g->error)) raise_unavailable(unavailable_message);
      if (equals(on_failure, g->accept)) kept.attr("extend")(batch);
    }
  }
  g->log.info("SLMFallback: %d ambiguous → %d accepted, %d rejected", ambiguous.size(), kept.size(),
              static_cast<Py_ssize_t>(ambiguous.size()) - static_cast<Py_ssize_t>(kept.size()));
  py::list out;
  out.attr("extend")(certain);
  out.attr("extend")(kept);
  return out;
}

void filter_multi(py::handle self, py::handle items_arg, py::handle progress_callback) {
  require_list(items_arg, "filter_multi", "items");
  if (!progress_callback.is_none() && !PyCallable_Check(progress_callback.ptr())) {
    raise_type_error("filter_multi", "progress_callback", "callable or None", progress_callback);
  }
  std::vector<py::object> items = snapshot(items_arg, "items");
  std::vector<std::pair<py::object, py::object>> pairs;
  pairs.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) pairs.push_back(unpack_pair(items[i], i, "filter_multi"));

  self.attr("last_verdicts") = py::list();
  Router router(self);
  std::vector<size_t> ambiguous;
  Groups groups;
  for (size_t i = 0; i < pairs.size(); ++i) {
    Decision d = decide(router, pairs[i].second, false);
    if (!d.eligible || !d.in_band || !d.source_match) continue;
    groups.add(pairs[i].second.attr("entity_type"), ambiguous.size());
    ambiguous.push_back(i);
  }
  const size_t total = ambiguous.size();

  // Unlike the per-document `filter`, nothing here has asked the server yet
  // when the instance was built with required=False: ask once, so that a
  // server that is up is used rather than every batch taking the unavailable
  // path.
  if (total > 0 && self.attr("_slm_available").is_none()) self.attr("_check_health")();

  const Py_ssize_t size = batch_size_of(self);
  size_t processed = 0;
  py::object verify_multi = self.attr("_verify_batch_multi");
  for (const auto& members : groups.members) {
    for (size_t start = 0; start < members.size(); start += static_cast<size_t>(size)) {
      const size_t end = std::min(members.size(), start + static_cast<size_t>(size));
      if (is_true(self.attr("_slm_available"))) {
        py::list batch;
        for (size_t k = start; k < end; ++k) {
          const auto& p = pairs[ambiguous[members[k]]];
          batch.append(py::make_tuple(p.first, p.second));
        }
        verify_multi(batch);
      } else {
        py::object on_failure = self.attr("on_failure");
        if (equals(on_failure, g->error)) {
          raise_unavailable("SLM server unavailable at " + text_of(self.attr("base_url")) + " and on_failure='error'");
        }
        const bool accept = equals(on_failure, g->accept);
        py::str reason(accept ? "slm_unavailable_accept" : "batch_failed");
        py::object last_verdicts = self.attr("last_verdicts");
        for (size_t k = start; k < end; ++k) {
          py::handle r = pairs[ambiguous[members[k]]].second;
          append(last_verdicts, verdict_record(r, accept, reason, r.attr("entity_type")));
        }
      }
      processed += end - start;
      if (!progress_callback.is_none()) {
        py::reinterpret_borrow<py::object>(progress_callback)(processed, total);
      }
    }
  }
  Py_ssize_t accepted = 0;
  for (const py::object& v : snapshot(self.attr("last_verdicts"), "last_verdicts")) {
    if (truthy(v.attr("accepted"))) ++accepted;
  }
  g->log.info("SLMFallback filter_multi: %d ambiguous → %d accepted, %d rejected", total, accepted,
              static_cast<Py_ssize_t>(total) - accepted);
}

// ---------------------------------------------------------------------------
// Constructor

void init(py::module_ m, py::object self, py::object base_url, py::object model, py::object api_key,
          py::object slm_threshold, py::object context_words, py::object batch_size, py::object max_tokens,
          py::object filter_sources, py::object per_entity_config, py::object slm_entity_types,
          py::object allowed_entity_types, py::object temperature, py::object top_p, py::object top_k,
          py::object presence_penalty, py::object extra_body, py::object log_dir, py::object required,
          py::object on_failure, py::object max_consecutive_failures, py::object timeout) {
  const char* fn = kClass;
  require_str(base_url, fn, "base_url");
  require_str(model, fn, "model");
  if (!api_key.is_none()) require_str(api_key, fn, "api_key");
  require_real(slm_threshold, fn, "slm_threshold");
  require_count(context_words, fn, "context_words", 0);
  require_count(batch_size, fn, "batch_size", 1);
  require_int(max_tokens, fn, "max_tokens");
  require_str_set_or_none(filter_sources, fn, "filter_sources");
  if (!per_entity_config.is(g->unset) && !per_entity_config.is_none() &&
      !PyObject_HasAttrString(per_entity_config.ptr(), "items")) {
    raise_type_error(fn, "per_entity_config", "a dict of EntityFallbackConfig or None", per_entity_config);
  }
  if (!slm_entity_types.is(g->unset) && !slm_entity_types.is_none()) {
    if (PyUnicode_Check(slm_entity_types.ptr()) || PyBytes_Check(slm_entity_types.ptr()) ||
        !PyObject_HasAttrString(slm_entity_types.ptr(), "__iter__")) {
      raise_type_error(fn, "slm_entity_types", "a set of str or None", slm_entity_types);
    }
    require_str_members(slm_entity_types, fn, "slm_entity_types");
  }
  require_str_set_or_none(allowed_entity_types, fn, "allowed_entity_types");
  require_real(temperature, fn, "temperature");
  require_real(top_p, fn, "top_p");
  require_int(top_k, fn, "top_k");
  require_real(presence_penalty, fn, "presence_penalty");
  require_dict_or_none(extra_body, fn, "extra_body");
  if (!log_dir.is_none() && !PyUnicode_Check(log_dir.ptr())) {
    const int ok = PyObject_IsInstance(log_dir.ptr(), g->pathlike_cls.ptr());
    if (ok < 0) throw py::error_already_set();
    if (!ok) raise_type_error(fn, "log_dir", "a path (str or os.PathLike) or None", log_dir);
  }
  const bool is_required = truthy(required);
  require_str(on_failure, fn, "on_failure");
  require_int(max_consecutive_failures, fn, "max_consecutive_failures");
  if (!timeout.is_none()) {
    require_real(timeout, fn, "timeout");
    const double t = to_float(timeout, fn, "timeout");
    if (!(t > 0)) throw py::value_error("SLMFallback() argument 'timeout' must be a positive number of seconds or None, got " + text_of(py::repr(timeout)));
  }

  // The per-entity configs are normalized and checked before anything is
  // stored or any connection is made.
  py::dict configs;
  if (per_entity_config.is(g->unset)) {
    PyObject* copy = PyDict_Copy(m.attr("DEFAULT_PER_ENTITY_CONFIG").ptr());
    if (!copy) throw py::error_already_set();
    configs = py::reinterpret_steal<py::dict>(copy);
  } else if (truthy(per_entity_config)) {
    py::object normalize = m.attr("_normalize_entity_config");
    for (const py::object& item : snapshot(per_entity_config.attr("items")(), "per_entity_config items")) {
      set_item(configs, item[py::int_(0)], normalize(item[py::int_(1)]));
    }
  }
  for (const py::object& item : snapshot(configs.attr("items")(), "per_entity_config items")) {
    check_entity_config(item[py::int_(0)], item[py::int_(1)]);
  }

  self.attr("base_url") = base_url;
  // Chat requests wait `timeout` seconds for the server (the client's own
  // default when None); the health check keeps its 5 seconds.
  if (timeout.is_none()) {
    self.attr("client") = m.attr("OpenAI")(py::arg("api_key") = api_key, py::arg("base_url") = base_url);
  } else {
    self.attr("client") = m.attr("OpenAI")(py::arg("api_key") = api_key, py::arg("base_url") = base_url,
                                           py::arg("timeout") = py::float_(to_float(timeout, fn, "timeout")));
  }
  self.attr("model") = model;
  self.attr("slm_threshold") = py::float_(to_float(slm_threshold, fn, "slm_threshold"));
  self.attr("context_words") = context_words;
  self.attr("batch_size") = batch_size;
  self.attr("max_tokens") = max_tokens;
  self.attr("filter_sources") = filter_sources;
  self.attr("per_entity_config") = configs;
  if (slm_entity_types.is(g->unset)) {
    self.attr("slm_entity_types") = new_set(m.attr("DEFAULT_SLM_ENTITY_TYPES"));
  } else if (slm_entity_types.is_none()) {
    self.attr("slm_entity_types") = py::none();
  } else {
    self.attr("slm_entity_types") = new_set(slm_entity_types);
  }
  self.attr("allowed_entity_types") = allowed_entity_types;
  self.attr("temperature") = py::float_(to_float(temperature, fn, "temperature"));
  self.attr("top_p") = py::float_(to_float(top_p, fn, "top_p"));
  self.attr("top_k") = top_k;
  self.attr("presence_penalty") = py::float_(to_float(presence_penalty, fn, "presence_penalty"));
  self.attr("extra_body") = extra_body;
  self.attr("log_dir") = truthy(log_dir) ? log_dir : m.attr("Path")("results");
  self.attr("last_verdicts") = py::list();
  self.attr("on_failure") = on_failure;
  self.attr("max_consecutive_failures") = max_consecutive_failures;
  self.attr("timeout") = timeout.is_none() ? py::object(py::none()) : py::object(py::float_(to_float(timeout, fn, "timeout")));
  self.attr("_slm_available") = py::none();
  self.attr("_health_error") = py::none();
  self.attr("_consecutive_failures") = 0;

  if (is_required && !is_true(self.attr("_check_health")())) {
    PyErr_SetObject(PyExc_RuntimeError, self.attr("_health_error").ptr());
    throw py::error_already_set();
  }
}

py::object make_dataclass(py::module_ m, const char* name, py::list fields, py::object doc) {
  py::module_ dataclasses = py::module_::import("dataclasses");
  py::dict ns;
  if (!doc.is_none()) ns["__doc__"] = doc;
  py::object cls = dataclasses.attr("make_dataclass")(name, fields, py::arg("namespace") = ns);
  cls.attr("__module__") = m.attr("__name__");
  cls.attr("__qualname__") = name;
  m.attr(name) = cls;
  return cls;
}

}  // namespace

PYBIND11_MODULE(fallback, m) {
  m.doc() =
      "Verification of low-confidence detections by a small language model on a local OpenAI-compatible\n"
      "server: routing by entity type and score, batched requests with context, tolerant parsing of the\n"
      "answers, retries, a circuit breaker and JSON-lines logs of every exchange.";
  g = new State();
  g->module = m;

  // What the module works with, bound in its namespace.
  for (const char* name : {"json", "logging", "re"}) m.attr(name) = py::module_::import(name);
  py::module_ dataclasses = py::module_::import("dataclasses");
  py::module_ typing = py::module_::import("typing");
  m.attr("dataclass") = dataclasses.attr("dataclass");
  m.attr("defaultdict") = py::module_::import("collections").attr("defaultdict");
  m.attr("datetime") = py::module_::import("datetime").attr("datetime");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Set"}) m.attr(name) = typing.attr(name);
  m.attr("OpenAI") = py::module_::import("openai").attr("OpenAI");
  m.attr("RecognizerResult") = py::module_::import("presidio_analyzer").attr("RecognizerResult");
  py::module_ prompts = py::module_::import("tarnis.slm.prompts");
  const char* prompt_names[] = {"PERSON_NAME_SYSTEM_PROMPT", "CODE_SYSTEM_PROMPT",   "ORGANIZATION_SYSTEM_PROMPT",
                                "USERNAME_SYSTEM_PROMPT",    "DOMIVIA_SYSTEM_PROMPT", "PASSWORD_SYSTEM_PROMPT"};
  for (const char* name : prompt_names) m.attr(name) = prompts.attr(name);
  g->log = ModuleLogger(m, kModule);

  g->json_dumps = m.attr("json").attr("dumps");
  py::dict marked;
  marked["ensure_ascii"] = false;
  marked["separators"] = py::make_tuple(py::str(",\0", 2), ": ");
  g->marked_kwargs = marked;
  g->round_fn = py::module_::import("builtins").attr("round");
  g->real_cls = py::module_::import("numbers").attr("Real");
  g->pathlike_cls = py::module_::import("os").attr("PathLike");
  g->k_id = py::str("id");
  g->k_entity_type = py::str("entity_type");
  g->k_value = py::str("value");
  g->k_context = py::str("context");
  g->k_score = py::str("score");
  g->k_results = py::str("results");
  g->k_pii = py::str("pii");
  g->k_reason = py::str("reason");
  g->k_recognizer_name = py::str("recognizer_name");
  g->no_name = py::str("<no_name>");
  g->accept = py::str("accept");
  g->error = py::str("error");
  g->empty = py::str("");
  g->invalid_type = py::str("invalid_entity_type");
  g->invalid_type_accept = py::str("invalid_entity_type_accept");
  g->placeholder = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  g->digits = py::int_(3);

  // Data model.
  py::object Optional = typing.attr("Optional");
  py::object field = dataclasses.attr("field");
  py::list cfg_fields;
  cfg_fields.append(py::make_tuple("slm_threshold", py::module_::import("builtins").attr("float")));
  cfg_fields.append(py::make_tuple("context_words", Optional[py::module_::import("builtins").attr("int")],
                                   field(py::arg("default") = py::none())));
  cfg_fields.append(py::make_tuple("filter_sources",
                                   Optional[typing.attr("Set")[py::module_::import("builtins").attr("str")]],
                                   field(py::arg("default") = py::none())));
  cfg_fields.append(py::make_tuple("system_prompt", Optional[py::module_::import("builtins").attr("str")],
                                   field(py::arg("default") = py::none())));
  g->config_cls = make_dataclass(m, "EntityFallbackConfig", cfg_fields, py::str("Per-entity SLM fallback configuration."));

  py::list verdict_fields;
  py::object builtins = py::module_::import("builtins");
  verdict_fields.append(py::make_tuple("result", m.attr("RecognizerResult")));
  verdict_fields.append(py::make_tuple("accepted", builtins.attr("bool")));
  verdict_fields.append(py::make_tuple("reason", builtins.attr("str")));
  verdict_fields.append(py::make_tuple("original_entity_type", builtins.attr("str"), field(py::arg("default") = "")));
  g->verdict_cls = make_dataclass(m, "SLMVerdict", verdict_fields, py::none());

  PyObject* exc = PyErr_NewExceptionWithDoc("tarnis.slm.fallback.SLMUnavailableError",
                                            "Raised when on_failure='error' and the SLM server becomes unavailable.",
                                            PyExc_Exception, nullptr);
  if (!exc) throw py::error_already_set();
  g->unavailable = py::reinterpret_steal<py::object>(exc);
  m.attr("SLMUnavailableError") = g->unavailable;

  // Module constants.
  struct Default {
    const char* type;
    py::object threshold;
    py::object context_words;
    bool neural_only;
    const char* prompt;
  };
  py::dict defaults;
  const Default table[] = {
      {"PERSON_NAME", py::float_(0.7), py::int_(10), false, "PERSON_NAME_SYSTEM_PROMPT"},
      {"CODE", py::float_(0.65), py::none(), false, "CODE_SYSTEM_PROMPT"},
      {"ORGANIZATION", py::float_(0.9), py::none(), false, "ORGANIZATION_SYSTEM_PROMPT"},
      {"USERNAME", py::int_(1), py::none(), false, "USERNAME_SYSTEM_PROMPT"},
      {"DOMIVIA", py::float_(0.65), py::none(), true, "DOMIVIA_SYSTEM_PROMPT"},
      {"PASSWORD", py::int_(1), py::none(), false, "PASSWORD_SYSTEM_PROMPT"},
  };
  for (const Default& d : table) {
    py::object sources = py::none();
    if (d.neural_only) {
      py::set s;
      s.add(py::str("SmartGLiNERRecognizer"));
      sources = s;
    }
    defaults[d.type] = g->config_cls(d.threshold, d.context_words, sources, m.attr(d.prompt));
  }
  m.attr("DEFAULT_PER_ENTITY_CONFIG") = defaults;
  py::set slm_types;
  for (const char* t : {"CODE", "USERNAME", "PASSWORD", "ORGANIZATION"}) slm_types.add(py::str(t));
  m.attr("DEFAULT_SLM_ENTITY_TYPES") = slm_types;
  // The entity types a reclassification may name: the catalogue's, in its
  // order (this module imports nothing of the system; a test keeps the two
  // equal).
  {
    py::list catalogue;
    for (const char* t : {"DOMIVIA", "ORGANIZATION", "PERSON_NAME", "USERNAME", "PASSWORD", "EMAIL_ADDRESS",
                          "PHONE_NUMBER", "IBAN_CODE", "CREDIT_CARD", "BIC", "URL", "IP_ADDRESS", "CODE", "CNP", "IDNP"}) {
      catalogue.append(py::str(t));
    }
    m.attr("_CATALOGUE_ENTITY_TYPES") = py::tuple(catalogue);
  }
  py::set no_reclassify;
  no_reclassify.add(py::str("CNP"));
  no_reclassify.add(py::str("IDNP"));
  m.attr("_NO_SLM_RECLASSIFY") = no_reclassify;
  g->no_reclassify = no_reclassify;
  g->unset = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  m.attr("_UNSET") = g->unset;

  m.def(
      "_normalize_entity_config", [](py::object v) { return normalize_entity_config(v); },
      "Return `v` if it is an EntityFallbackConfig, else EntityFallbackConfig(**dict(v)) with\n"
      "`filter_sources` turned into a set.",
      py::arg("v"));

  // The class.
  py::object cls =
      ClassBuilder(m, kClass, py::make_tuple(builtins.attr("object")),
                   "\n    Post-filter layer that routes low-confidence RecognizerResults through\n"
                   "    an OpenAI-compatible local SLM for context-aware verification.\n    ")
          .attr("DEFAULT_SYSTEM_PROMPT", py::str(default_system_prompt()))
          .attr("USER_TEMPLATE", py::str("Entities:\n{entities_json}"))
          .init(
              [m](py::object self, py::object base_url, py::object model, py::object api_key,
                  py::object slm_threshold, py::object context_words, py::object batch_size, py::object max_tokens,
                  py::object filter_sources, py::object per_entity_config, py::object slm_entity_types,
                  py::object allowed_entity_types, py::object temperature, py::object top_p, py::object top_k,
                  py::object presence_penalty, py::object extra_body, py::object log_dir, py::object required,
                  py::object on_failure, py::object max_consecutive_failures, py::object timeout) {
                init(m, self, base_url, model, api_key, slm_threshold, context_words, batch_size, max_tokens,
                     filter_sources, per_entity_config, slm_entity_types, allowed_entity_types, temperature,
                     top_p, top_k, presence_penalty, extra_body, log_dir, required, on_failure,
                     max_consecutive_failures, timeout);
              },
              "Configure the client and the routing; with `required` true, check at once that the server\n"
              "is up and serves `model` (RuntimeError otherwise). `timeout`: seconds each chat request waits\n"
              "for the server (None: the openai client's default); the client tries a request up to\n"
              "1 + its max_retries times and each batch gets up to five attempts.",
              py::arg("base_url") = kDefaultBaseUrl, py::arg("model") = kDefaultModel,
              py::arg("api_key") = "local-no-auth", py::arg("slm_threshold") = 0.4, py::arg("context_words") = 6,
              py::arg("batch_size") = 10, py::arg("max_tokens") = 2048, py::arg("filter_sources") = py::none(),
              py::arg("per_entity_config") = g->unset, py::arg("slm_entity_types") = g->unset,
              py::arg("allowed_entity_types") = py::none(), py::arg("temperature") = 0.7,
              py::arg("top_p") = 0.8, py::arg("top_k") = 20, py::arg("presence_penalty") = 1.5,
              py::arg("extra_body") = py::none(), py::arg("log_dir") = py::none(), py::arg("required") = true,
              py::arg("on_failure") = "accept", py::arg("max_consecutive_failures") = 2, py::kw_only(),
              py::arg("timeout") = py::none())
          .method(
              "_check_health", [](py::object self) { return check_health(self); },
              "Ask the server for its models; record and return whether `model` is served.")
          .method(
              "_split", [](py::object self, py::object results) { return split(self, results); },
              "Return (certain, ambiguous): the results the SLM is not asked about, and those it is.",
              py::arg("results"))
          .method(
              "_batches", [](py::object self, py::object items) { return batches(self, items); },
              "Cut `items` into consecutive batches of `batch_size`.", py::arg("items"))
          .method(
              "_get_system_prompt",
              [](py::object self, py::object entity_type) { return get_system_prompt(self, entity_type); },
              "The system prompt for one entity type.", py::arg("entity_type"))
          .method(
              "_context", [](py::object self, py::object text, py::object result) { return context(self, text, result); },
              "The span with a few words of context on each side, marked as >>>span<<<.", py::arg("text"),
              py::arg("result"))
          .method(
              "_call_slm",
              [](py::object self, py::object payload, py::object entity_type, py::object is_retry) {
                return call_slm(self, payload, entity_type, truthy(is_retry));
              },
              "Send one payload (up to five attempts) and return the verdict list, or None when every\n"
              "attempt failed.",
              py::arg("payload"), py::arg("entity_type"), py::arg("is_retry") = false)
          .method(
              "_repair_json", [](py::object, py::object raw) { return slm::repair_json(raw, true); },
              "Parse a model answer into a JSON object, repairing common defects; ValueError when it cannot.",
              py::arg("raw"))
          .method(
              "_log_request",
              [](py::object self, py::object payload, py::object raw_response, py::object parsed_verdicts,
                 py::object attempt, py::object status, py::object error, py::object system_prompt,
                 py::object user_msg, py::object is_retry) {
                log_request(self, payload, raw_response, parsed_verdicts, attempt, status, error, system_prompt,
                            user_msg, is_retry);
              },
              "Append one entry to the request log; a failed write costs a warning only.", py::arg("payload"),
              py::arg("raw_response"), py::arg("parsed_verdicts"), py::arg("attempt"), py::arg("status"),
              py::arg("error") = py::none(), py::arg("system_prompt") = py::none(),
              py::arg("user_msg") = py::none(), py::arg("is_retry") = false)
          .method(
              "_verify_batch",
              [](py::object self, py::object text, py::object batch) { return verify_batch(self, text, batch); },
              "Verify one batch of results from one document; return the results kept.", py::arg("text"),
              py::arg("batch"))
          .method(
              "_verify_batch_multi",
              [](py::object self, py::object batch_items) { return verify_batch_multi(self, batch_items); },
              "Verify one batch of (text, result) pairs; return the results kept.", py::arg("batch_items"))
          .method(
              "_process_verdicts",
              [](py::object self, py::object verdicts, py::object batch, py::object batch_items) {
                return process_verdicts(self, verdicts, batch, batch_items);
              },
              "Apply a verdict list (None: the request failed) to a batch; return the results kept.",
              py::arg("verdicts"), py::arg("batch"), py::arg("batch_items"))
          .method(
              "filter", [](py::object self, py::object text, py::object results) { return filter(self, text, results); },
              "Return the certain results followed by the ambiguous ones the SLM keeps.", py::arg("text"),
              py::arg("results"))
          .method(
              "filter_multi",
              [](py::object self, py::object items, py::object progress_callback) {
                filter_multi(self, items, progress_callback);
              },
              "Verify the ambiguous results of (text, result) pairs from many documents in shared batches;\n"
              "the outcome is in `last_verdicts` and in the reclassified results' `entity_type`.",
              py::arg("items"), py::arg("progress_callback") = py::none())
          .finish();
  py::object own = cls.attr("__dict__")["_context"];
  if (PyInstanceMethod_Check(own.ptr())) own = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(own.ptr()));
  g->own_context = own;
}
