// Romanian personal numeric code (CNP): 13 digits after the keyword "CNP",
// reported whatever their control digit, and CNP-shaped numbers anywhere,
// reported only with a valid control digit.
#include <pybind11/pybind11.h>

#include <set>
#include <utility>

#include "core/checks.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

constexpr int kWeights[12] = {2, 7, 9, 1, 4, 6, 3, 5, 8, 2, 7, 9};

const char32_t* const kContextPattern = UR"((?:CNP|C\.N\.P\.)\s*:?\s*(\d{13})\b)";
const char32_t* const kStandalonePattern =
    UR"(\b([1-8]\d{2}(?:0[1-9]|1[0-2])(?:0[1-9]|[12]\d|3[01])\d{6})\b)";

const Regex* g_context = nullptr;
const Regex* g_standalone = nullptr;

// Digits are decimal digits in the Unicode sense, as \d matches them.
bool valid_checksum(U32View digits) {
  if (digits.size() < 13) throw py::value_error("a CNP needs 13 digits");
  int value[13];
  for (size_t i = 0; i < 13; ++i) {
    const int d = Py_UNICODE_TODECIMAL(digits[i]);
    if (d < 0) throw py::value_error("a CNP consists of decimal digits");
    value[i] = d;
  }
  int total = 0;
  for (size_t i = 0; i < 12; ++i) total += value[i] * kWeights[i];
  int expected = total % 11;
  if (expected == 10) expected = 1;
  return value[12] == expected;
}

py::list analyze(py::object self, py::object text) {
  require_str(text, "analyze", "text");
  Text t(text);
  py::list results;
  std::set<std::pair<size_t, size_t>> seen;
  py::object make = self.attr("_make_result");

  py::object keyword_note = py::str("CNP keyword context");
  MatchIterator keyword(*g_context, t.view());
  Match m;
  while (keyword.next(m)) {
    std::pair<size_t, size_t> span{m.start(1), m.end(1)};
    if (!seen.insert(span).second) continue;
    const bool ok = valid_checksum(t.slice(span.first, span.second));
    py::object score = self.attr(ok ? "CONTEXT_CHECKSUM_SCORE" : "CONTEXT_SCORE");
    results.append(make(py::make_tuple(span.first, span.second), score, keyword_note));
  }

  py::object standalone_note = py::str("Standalone CNP with valid checksum");
  MatchIterator standalone(*g_standalone, t.view());
  while (standalone.next(m)) {
    std::pair<size_t, size_t> span{m.start(1), m.end(1)};
    if (seen.count(span) || !valid_checksum(t.slice(span.first, span.second))) continue;
    seen.insert(span);
    results.append(make(py::make_tuple(span.first, span.second), self.attr("STANDALONE_CHECKSUM_SCORE"),
                        standalone_note));
  }
  return results;
}

}  // namespace

PYBIND11_MODULE(cnp, m) {
  m.doc() = "Recognizer for the Romanian personal numeric code (CNP).";
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  m.attr("re") = re;
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("LocalRecognizer") = presidio.attr("LocalRecognizer");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");

  py::list weights;
  for (int w : kWeights) weights.append(w);
  m.attr("_CNP_CHECKSUM_WEIGHTS") = weights;
  m.attr("_CNP_CONTEXT_RE") = re.attr("compile")(to_str(kContextPattern), re.attr("IGNORECASE"));
  m.attr("_CNP_STANDALONE_RE") = re.attr("compile")(to_str(kStandalonePattern));
  g_context = new Regex(kContextPattern, reflag::IGNORECASE);
  g_standalone = new Regex(kStandalonePattern);

  m.def(
      "_valid_cnp_checksum",
      [](py::object cnp) {
        require_str(cnp, "_valid_cnp_checksum", "cnp");
        Text t(cnp);
        return valid_checksum(t.view());
      },
      py::arg("cnp"),
      "True when the 13th digit equals the control digit computed from the first twelve\n"
      "(weights 2 7 9 1 4 6 3 5 8 2 7 9, sum modulo 11, a remainder of 10 giving 1).");

  ClassBuilder(m, "CnpRecognizer", py::make_tuple(m.attr("LocalRecognizer")),
               "Detects Romanian CNP (Cod Numeric Personal) — 13-digit personal codes.")
      .attr("CONTEXT_CHECKSUM_SCORE", py::float_(0.95))
      .attr("CONTEXT_SCORE", py::float_(0.85))
      .attr("STANDALONE_CHECKSUM_SCORE", py::float_(0.85))
      .init(
          [m](py::object self) { init_local_recognizer(m, self, "CNP", "CnpRecognizer"); },
          "Recognizer for entity type CNP, language \"ro\".")
      .method(
          "load", [](py::object) {}, "Nothing to load.")
      .method(
          "analyze", [](py::object self, py::object text, py::object, py::object) { return analyze(self, text); },
          "Find CNPs in `text`: keyword matches first, then valid CNP-shaped numbers.\n"
          "`entities` and `nlp_artifacts` are accepted for the Presidio interface and not consulted.",
          py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
      .method(
          "_make_result",
          [m](py::object self, py::object span, py::object score, py::object explanation) {
            return make_span_result(m, self, "CNP", span, score, explanation);
          },
          "Build one CNP result from a (start, end) pair, a score and an explanation text.", py::arg("span"),
          py::arg("score"), py::arg("explanation"))
      .finish();
}
