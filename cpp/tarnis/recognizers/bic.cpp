// Bank identifier codes (BIC, 8 or 11 characters). Any upper-case word of 8
// or 11 letters has the shape of a BIC, so only codes listed in the registry
// `tarnis.data/bic_registry.txt` are reported; an 11-character code is also
// accepted when its 8-character stem (institution, country, location) is known.
#include <pybind11/pybind11.h>

#include <utility>

#include "core/checks.hpp"
#include "core/log.hpp"
#include "core/native.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

const char32_t* const kBicPattern = UR"(\b([A-Z]{4}[A-Z]{2}[A-Z0-9]{2}(?:[A-Z0-9]{3})?)\b)";

constexpr double kScore = 0.95;
const char* const kExplanation = "BIC matched against registry";
const char* const kMissingWarning = "[bic] Registry file not found or empty — BIC detection disabled";
const char* const kNoCodesWarning = "[bic] Registry lists no 8- or 11-character code — BIC detection disabled";

const Regex* g_bic = nullptr;
// Objects bound at import; while the module and the class still hold these
// very objects, the fast native paths are taken.
PyObject* g_module = nullptr;
PyObject* g_default_pattern = nullptr;
PyObject* g_class = nullptr;
const NativeMethod* g_in_registry = nullptr;
const ModuleLogger* g_log = nullptr;

py::handle module() { return py::handle(g_module); }

py::object read_registry() {
  try {
    py::object files = module().attr("importlib").attr("resources").attr("files");
    return files("tarnis.data").attr("joinpath")("bic_registry.txt").attr("read_text")(py::arg("encoding") = "utf-8");
  } catch (py::error_already_set& err) {
    if (err.matches(PyExc_FileNotFoundError) || err.matches(PyExc_ModuleNotFoundError) ||
        err.matches(PyExc_TypeError)) {
      return py::str("");
    }
    throw;
  }
}

void add(const py::object& set, const py::object& item) { set.attr("add")(item); }

void load(py::object self) {
  if (py::bool_(self.attr("_loaded"))) return;
  // Set first: a missing or empty registry is reported once, not retried.
  self.attr("_loaded") = true;
  py::object content = module().attr("_read_bic_registry")();
  if (!py::bool_(content)) {
    g_log->warning(kMissingWarning);
    return;
  }
  require_str(content, "load", "registry content");
  // A byte-order mark written by some editors would otherwise glue itself
  // to the first code and make it unreadable.
  content = content.attr("removeprefix")("\ufeff");
  py::object bic8 = self.attr("_bic8");
  py::object bic11 = self.attr("_bic11");
  bool any = false;
  for (py::handle line : content.attr("splitlines")()) {
    py::str code = line.attr("strip")().attr("upper")();
    const Py_ssize_t n = py::len(code);
    if (n == 8) {
      add(bic8, code);
      any = true;
    } else if (n == 11) {
      add(bic8, code[py::slice(0, 8, 1)]);
      add(bic11, code);
      any = true;
    }
  }
  // Lines were there but none could be a code: detection is off all the same.
  if (!any) g_log->warning(kNoCodesWarning);
}

bool in_registry(py::object self, py::object bic) {
  require_str(bic, "_in_registry", "bic");
  const Py_ssize_t n = py::len(bic);
  if (n == 8) return contains(self.attr("_bic8"), bic);
  if (n == 11) {
    if (contains(self.attr("_bic11"), bic)) return true;
    return contains(self.attr("_bic8"), bic[py::slice(0, 8, 1)]);
  }
  return false;
}

class Reporter {
 public:
  explicit Reporter(py::object self) : self_(std::move(self)), factory_(module()) {
    lookup_ = g_in_registry->override_in(self_);
    native_lookup_ = !lookup_;
    if (native_lookup_) {
      bic8_ = self_.attr("_bic8");
      bic11_ = self_.attr("_bic11");
    }
    class_name_ = self_.attr("__class__").attr("__name__");
  }

  // True when nothing can be found at all, so the text need not be scanned.
  bool registry_empty() const { return native_lookup_ && py::len(bic8_) == 0 && py::len(bic11_) == 0; }

  // `candidate` is group 1, already upper-cased.
  void consider(const py::str& candidate, size_t start, size_t end) {
    if (!known(candidate)) return;
    results.append(factory_.make(entity_type_, start, end, score_, class_name_, explanation_));
  }

  py::list results;

 private:
  bool known(const py::str& candidate) {
    if (!native_lookup_) return py::bool_(lookup_(candidate));
    const Py_ssize_t n = py::len(candidate);
    if (n == 8) return contains(bic8_, candidate);
    if (n == 11) return contains(bic11_, candidate) || contains(bic8_, candidate[py::slice(0, 8, 1)]);
    return false;
  }

  py::object self_;
  bool native_lookup_ = false;
  py::object bic8_, bic11_, lookup_, class_name_;
  ResultFactory factory_;
  py::str entity_type_{"BIC"};
  py::str explanation_{kExplanation};
  py::float_ score_{kScore};
};

py::list analyze(py::object self, py::object text) {
  require_str(text, "analyze", "text");
  self.attr("load")();
  Reporter reporter(self);
  py::object pattern = module().attr("_BIC_RE");
  if (pattern.ptr() == g_default_pattern) {
    if (reporter.registry_empty()) return reporter.results;
    Text t(text);
    MatchIterator it(*g_bic, t.view());
    Match m;
    // Group 1 is ASCII capitals and digits only: upper-casing changes nothing.
    while (it.next(m)) reporter.consider(to_str(t.slice(m.start(1), m.end(1))), m.start(1), m.end(1));
  } else {
    // A pattern replaced on the module is matched by its own finditer.
    for (py::handle match : pattern.attr("finditer")(text)) {
      py::object group = match.attr("group")(1);
      if (group.is_none()) continue;
      py::tuple span = match.attr("span")(1);
      reporter.consider(group.attr("upper")(), static_cast<size_t>(index_value(span[0])),
                        static_cast<size_t>(index_value(span[1])));
    }
  }
  return reporter.results;
}

}  // namespace

PYBIND11_MODULE(bic, m) {
  m.doc() = "Recognizer for bank identifier codes (BIC) listed in the bundled registry.";
  g_module = m.inc_ref().ptr();
  py::module_ importlib = py::module_::import("importlib");
  py::module_::import("importlib.resources");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  py::module_ re = py::module_::import("re");
  m.attr("importlib") = importlib;
  m.attr("logging") = py::module_::import("logging");
  m.attr("re") = re;
  m.attr("Set") = py::module_::import("typing").attr("Set");
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("LocalRecognizer") = presidio.attr("LocalRecognizer");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");
  g_log = new ModuleLogger(m, "tarnis.recognizers.bic");

  py::object pattern = re.attr("compile")(to_str(kBicPattern));
  m.attr("_BIC_RE") = pattern;
  g_default_pattern = pattern.inc_ref().ptr();
  g_bic = new Regex(kBicPattern);

  m.def(
      "_read_bic_registry", []() { return read_registry(); },
      "The text of tarnis.data/bic_registry.txt (UTF-8), or \"\" when the package or the file\n"
      "is missing or cannot be located. Other errors propagate.");

  py::object cls =
      ClassBuilder(m, "BICRecognizer", py::make_tuple(m.attr("LocalRecognizer")),
                   "Detects bank identifier codes (BIC/SWIFT, 8 or 11 characters) listed in the\n"
                   "registry tarnis.data/bic_registry.txt; detection is only as complete as that list.")
          .init(
              [](py::object self) {
                // Presidio's initializer calls load(), which needs these.
                self.attr("_bic8") = py::set();
                self.attr("_bic11") = py::set();
                self.attr("_loaded") = false;
                py::list entities;
                entities.append("BIC");
                py::module_::import("builtins")
                    .attr("super")(py::handle(g_class), self)
                    .attr("__init__")(py::arg("supported_entities") = entities, py::arg("supported_language") = "ro",
                                      py::arg("name") = "BICRecognizer");
              },
              "Recognizer for entity type BIC, language \"ro\"; reads the registry once.")
          .method(
              "load", [](py::object self) { load(self); },
              "Read the registry into _bic8 and _bic11, once. A missing or empty registry logs a\n"
              "warning and leaves BIC detection off for this instance.")
          .method(
              "_in_registry", [](py::object self, py::object bic) { return in_registry(self, bic); },
              "Whether `bic` is listed: an 8-character code, or an 11-character code listed in full\n"
              "or through its 8-character stem.",
              py::arg("bic"))
          .method(
              "analyze", [](py::object self, py::object text, py::object, py::object) { return analyze(self, text); },
              "Registered BICs in `text` (entity BIC, score 0.95). `entities` and `nlp_artifacts` are\n"
              "accepted for the Presidio interface and not consulted.",
              py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
          .finish();
  g_class = cls.inc_ref().ptr();
  g_in_registry = new NativeMethod(cls, "_in_registry");
}
