// IBANs written with irregular spacing ("RO49AAAA1B31 0075 9384 0000",
// "ro49 aaaa1b310075 93840000"), on top of Presidio's own IBAN recognizer,
// which only knows the compact form and groups of four. A candidate is a run
// of alphanumeric groups separated by single white-space characters; its
// spaces are removed and schwifty decides whether it is an IBAN. The span is
// reported as written in the text.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/checks.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

const char32_t* const kSpacedPattern = UR"(\b([A-Z]{2}\d{2}[A-Z0-9]+(?:\s[A-Z0-9]+){1,9})\b)";

constexpr double kValidScore = 1.0;
constexpr double kChecksumScore = 0.65;
const char* const kExplanation = "Spaced IBAN validated via schwifty";

const Regex* g_spaced = nullptr;
// The re.Pattern bound as the class attribute at import. While an instance
// still sees this very object, matching runs on the native compilation of the
// same text; a replaced pattern is matched by its own finditer.
PyObject* g_default_pattern = nullptr;
PyObject* g_class = nullptr;
// The function `self._validate_iban` gives while it is not overridden.
PyObject* g_default_validate = nullptr;
PyObject* g_module = nullptr;

using Span = std::pair<Py_ssize_t, Py_ssize_t>;

// `from schwifty import IBAN`, at each call, with the ImportError that
// statement raises when the name is missing.
py::object import_iban() {
  py::module_ schwifty = py::module_::import("schwifty");
  if (!py::hasattr(schwifty, "IBAN")) {
    PyErr_SetString(PyExc_ImportError, "cannot import name 'IBAN' from 'schwifty'");
    throw py::error_already_set();
  }
  return schwifty.attr("IBAN");
}

// Score for a rejection by schwifty: its message mentions the checksum, or
// the candidate is not an IBAN at all (None). An exception whose text cannot
// even be produced counts as the latter.
py::object rejection_score(const py::error_already_set& err) {
  try {
    py::str message = py::str(err.value());
    py::object lowered = message.attr("lower")();
    int has = PyUnicode_Contains(lowered.ptr(), py::str("checksum").ptr());
    if (has < 0) throw py::error_already_set();
    return has ? py::object(py::float_(kChecksumScore)) : py::object(py::none());
  } catch (py::error_already_set& inner) {
    if (!inner.matches(PyExc_Exception)) throw;
    return py::none();
  }
}

py::object validate_iban(py::object compact) {
  py::object iban = import_iban();
  try {
    iban(compact);
    return py::float_(kValidScore);
  } catch (py::error_already_set& err) {
    // Interrupts and exits are not validation results.
    if (!err.matches(PyExc_Exception)) throw;
    return rejection_score(err);
  }
}

// One analyze call: the per-instance values read once, the spans already
// reported, and the results list being extended.
class SpacedScan {
 public:
  SpacedScan(py::object self, const Text& text, py::object results)
      : self_(std::move(self)), text_(text), results_(std::move(results)), factory_(py::handle(g_module)) {
    min_len_ = self_.attr("_MIN_IBAN_LEN");
    max_len_ = self_.attr("_MAX_IBAN_LEN");
    validate_ = self_.attr("_validate_iban");
    class_name_ = self_.attr("__class__").attr("__name__");
    screen_ = validate_.ptr() == g_default_validate;
    for (py::handle r : results_) {
      seen_.insert({index_value(r.attr("start")), index_value(r.attr("end"))});
    }
  }

  // What the scan does after a candidate.
  struct Next {
    enum Kind { Continue, Restart } kind = Continue;
    size_t pos = 0;
  };

  // Candidate [start, end) of the text. Tried whole first; when that is not
  // an IBAN, shorter versions ending at a group boundary (at least two groups
  // kept) are tried, longest first, so that words following an IBAN after a
  // single space ("... 9384 0000 si banca") do not hide it. When none is an
  // IBAN the scan resumes at the candidate's second group, so that an IBAN
  // preceded by a word of the same shape ("RO12345678 cont RO49...") is still
  // seen as a candidate of its own.
  Next candidate(size_t start, size_t end) {
    U32View cand = text_.slice(start, end);
    // Group ends, in text order: the end of every group followed by white space.
    std::vector<size_t> cuts;
    size_t first_gap_end = 0;
    bool gap = false;
    for (size_t i = 0; i < cand.size(); ++i) {
      if (is_space(cand[i])) {
        if (i > 0 && !is_space(cand[i - 1])) cuts.push_back(i);
        gap = true;
      } else if (gap && first_gap_end == 0) {
        first_gap_end = i;
      }
    }
    // Whole candidate first, then prefixes keeping at least two groups.
    std::vector<size_t> ends{cand.size()};
    for (size_t k = cuts.size(); k-- > 1;) ends.push_back(cuts[k]);

    for (size_t k = 0; k < ends.size(); ++k) {
      U32View piece = cand.substr(0, ends[k]);
      if (k > 0 && !worth_validating(piece)) continue;
      py::object score = try_piece(piece);
      if (score.is_none()) continue;
      Span span{static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(start + ends[k])};
      if (seen_.insert(span).second) append(span, score);
      if (k == 0) return {};
      return {Next::Restart, start + ends[k]};
    }
    if (first_gap_end > 0) return {Next::Restart, start + first_gap_end};
    return {};
  }

 private:
  // A shorter version of a candidate is only handed to schwifty when it has
  // the IBAN length of its country, as schwifty's registry gives it: any other
  // length is rejected without a checksum verdict, so skipping it changes no
  // result and keeps a text full of IBAN-shaped words from costing a
  // validation per word and group. Only done for the default validator; when
  // the registry cannot say, every version is validated.
  bool worth_validating(U32View piece) {
    if (!screen_ || piece.size() < 2) return true;
    std::u32string country(piece.substr(0, 2));
    auto found = iban_length_.find(country);
    if (found == iban_length_.end()) found = iban_length_.emplace(country, country_length(country)).first;
    if (found->second == kUnscreened) return true;
    size_t letters = 0;
    for (char32_t c : piece) letters += !is_space(c);
    return static_cast<Py_ssize_t>(letters) == found->second;
  }

  static constexpr Py_ssize_t kUnscreened = -2;
  static constexpr Py_ssize_t kNoSuchCountry = -1;

  static Py_ssize_t country_length(const std::u32string& country) {
    py::object get_spec;
    try {
      get_spec = py::module_::import("schwifty.registry").attr("get_iban_spec");
    } catch (py::error_already_set& err) {
      if (!err.matches(PyExc_Exception)) throw;
      return kUnscreened;
    }
    try {
      py::object code = to_str(country).attr("upper")();
      return index_value(get_spec(code).attr("iban_length"));
    } catch (py::error_already_set& err) {
      if (!err.matches(PyExc_Exception)) throw;
      return err.matches(PyExc_ValueError) ? kNoSuchCountry : kUnscreened;
    }
  }

  // Length bounds, then schwifty. None when the piece is not reported.
  py::object try_piece(U32View piece) {
    size_t spaces = 0;
    for (char32_t c : piece) spaces += (c == U' ');
    py::int_ length(piece.size() - spaces);
    if (!within(min_len_, length, max_len_)) return py::none();
    std::u32string compact;
    compact.reserve(piece.size() - spaces);
    for (char32_t c : piece) {
      if (c != U' ') compact.push_back(c);
    }
    py::object upper = to_str(compact).attr("upper")();
    return validate_(upper);
  }

  static bool within(const py::object& lo, const py::int_& n, const py::object& hi) {
    int a = PyObject_RichCompareBool(lo.ptr(), n.ptr(), Py_LE);
    if (a < 0) throw py::error_already_set();
    if (!a) return false;
    int b = PyObject_RichCompareBool(n.ptr(), hi.ptr(), Py_LE);
    if (b < 0) throw py::error_already_set();
    return b != 0;
  }

  void append(const Span& span, const py::object& score) {
    results_.attr("append")(factory_.make(py::str("IBAN_CODE"), static_cast<size_t>(span.first),
                                          static_cast<size_t>(span.second), score, class_name_,
                                          py::str(kExplanation)));
  }

  py::object self_;
  const Text& text_;
  py::object results_;
  ResultFactory factory_;
  py::object min_len_, max_len_, validate_, class_name_;
  std::set<Span> seen_;
  bool screen_ = false;
  std::map<std::u32string, Py_ssize_t> iban_length_;
};

void scan_native(SpacedScan& scan, const Text& text) {
  auto it = std::make_unique<MatchIterator>(*g_spaced, text.view());
  Match m;
  while (it->next(m)) {
    SpacedScan::Next next = scan.candidate(m.start(1), m.end(1));
    if (next.kind == SpacedScan::Next::Restart) it = std::make_unique<MatchIterator>(*g_spaced, text.view(), next.pos);
  }
}

// A pattern set by a subclass or an instance: its own finditer, group 1 as
// the candidate. Matches whose group 1 did not take part are passed over.
void scan_python(SpacedScan& scan, const Text& text, py::object pattern, py::object text_obj) {
  py::object it = py::iter(pattern.attr("finditer")(text_obj));
  size_t restarted_at = 0;
  while (true) {
    PyObject* raw = PyIter_Next(it.ptr());
    if (!raw) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    py::object m = py::reinterpret_steal<py::object>(raw);
    py::tuple span = m.attr("span")(1);
    Py_ssize_t s = index_value(span[0]), e = index_value(span[1]);
    if (s < 0 || e < s || static_cast<size_t>(e) > text.size()) continue;
    SpacedScan::Next next = scan.candidate(static_cast<size_t>(s), static_cast<size_t>(e));
    // Restart positions only ever grow, whatever the pattern looks like.
    if (next.kind == SpacedScan::Next::Restart && next.pos > restarted_at) {
      restarted_at = next.pos;
      it = py::iter(pattern.attr("finditer")(text_obj, next.pos));
    }
  }
}

py::object analyze(py::object self, py::object text, py::object entities, py::object nlp_artifacts) {
  require_str(text, "analyze", "text");
  py::object super = py::module_::import("builtins").attr("super");
  py::object results =
      super(py::handle(g_class), self).attr("analyze")(text, entities, nlp_artifacts);

  Text t(text);
  SpacedScan scan(self, t, results);
  py::object pattern = self.attr("_SPACED_IBAN_RE");
  if (pattern.ptr() == g_default_pattern) {
    scan_native(scan, t);
  } else {
    scan_python(scan, t, pattern, text);
  }
  return results;
}

}  // namespace

PYBIND11_MODULE(iban, m) {
  m.doc() = "IBAN recognizer that also finds IBANs split by irregular spacing.";
  g_module = m.inc_ref().ptr();
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  py::object base = py::module_::import("presidio_analyzer.predefined_recognizers").attr("IbanRecognizer");
  m.attr("re") = re;
  m.attr("IbanRecognizer") = base;
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");

  py::object pattern = re.attr("compile")(to_str(kSpacedPattern), re.attr("IGNORECASE"));
  g_default_pattern = pattern.inc_ref().ptr();
  g_spaced = new Regex(kSpacedPattern, reflag::IGNORECASE);

  py::object cls =
      ClassBuilder(m, "CustomIbanRecognizer", py::make_tuple(base),
                   "Extends built-in IbanRecognizer to handle space-separated IBANs.\n\n"
                   "Besides what the base recognizer reports, finds IBANs whose characters are split\n"
                   "irregularly by single white-space characters (a long run followed by shorter\n"
                   "groups, in any letter case): the spaces are stripped, the compact form is\n"
                   "validated with schwifty, and the span is reported as written in the text.")
          .attr("_SPACED_IBAN_RE", pattern)
          .attr("_MIN_IBAN_LEN", py::int_(15))
          .attr("_MAX_IBAN_LEN", py::int_(34))
          .method(
              "analyze",
              [](py::object self, py::object text, py::object entities, py::object nlp_artifacts) {
                return analyze(self, text, entities, nlp_artifacts);
              },
              "The base recognizer's results, extended in place with the spaced IBANs found in\n"
              "`text` (entity IBAN_CODE, score 1.0, or 0.65 when only the check digits are wrong).\n"
              "A span the base recognizer already reported is not reported twice.",
              py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
          .static_method(
              "_validate_iban", [](py::object compact) { return validate_iban(compact); },
              "1.0 when schwifty accepts `compact` as an IBAN, 0.65 when it rejects it with a\n"
              "message about a checksum, None for any other rejection.",
              py::arg("compact"))
          .finish();
  g_class = cls.inc_ref().ptr();
  g_default_validate = py::object(cls.attr("_validate_iban")).inc_ref().ptr();
}
