// Moldovan personal code (IDNP): 13 digits, the first 0 or 2, the last the
// control digit of the first twelve weighted 7, 3, 1, 7, 3, 1, ... modulo 10
// (the rule of the state register's company numbers, which begin with 1).
//
// Two passes, as for the CNP: numbers after an IDNP keyword ("IDNP", "cod(ul)
// personal", "număr(ul) de identificare", "cod(ul) de identificare") are
// reported whatever their control digit; numbers without a keyword only with
// a valid one. A 13-digit number can be both a valid CNP and a valid IDNP:
// the keyword decides, and without one the CNP recognizer's reading stands.
// So this recognizer yields every number that directly follows a CNP
// keyword, and every number without an IDNP keyword that is a valid CNP;
// with an IDNP keyword it scores above the CNP recognizer's standalone 0.85.
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

constexpr int kWeights[12] = {7, 3, 1, 7, 3, 1, 7, 3, 1, 7, 3, 1};

// A keyword, optional "(IDNP)" or "de stat", an optional colon or dash and
// "nr.", then the 13 digits (group 1), not inside a longer run of digits or
// glued to letters. "cod numeric personal" (the Romanian CNP) is no keyword:
// "numeric" stands between "cod" and "personal".
const char32_t* const kContextPattern =
    UR"(\b(?:IDNP|cod(?:ul|ului)?\s+(?:personal(?:\s+de\s+identificare)?|de\s+identificare)|)"
    UR"((?:num[ăa]r(?:ul|ului)?|nr\.?)\s+de\s+identificare)(?:\s+de\s+stat)?)"
    UR"((?:\s*\(\s*IDNP\s*\)|\s+IDNP)?\s*(?:[:\-–—]\s*)?(?:nr\.?\s*)?(\d{13})\b)";
const char32_t* const kStandalonePattern = UR"(\b([02]\d{12})\b)";

const Regex* g_context = nullptr;
const Regex* g_standalone = nullptr;
const Regex* g_cnp_context = nullptr;
const Regex* g_cnp_standalone = nullptr;

// Decimal values of 13 digits (Unicode decimal digits, as \d matches them).
void digits_of(U32View digits, int (&value)[13]) {
  if (digits.size() < 13) throw py::value_error("an IDNP needs 13 digits");
  for (size_t i = 0; i < 13; ++i) {
    const int d = Py_UNICODE_TODECIMAL(digits[i]);
    if (d < 0) throw py::value_error("an IDNP consists of decimal digits");
    value[i] = d;
  }
}

bool valid_checksum(U32View digits) {
  int value[13];
  digits_of(digits, value);
  int total = 0;
  for (size_t i = 0; i < 12; ++i) total += value[i] * kWeights[i];
  return value[12] == total % 10;
}

// First digit 0 or 2: the personal codes (company numbers begin with 1).
bool personal_shape(U32View digits) {
  int value[13];
  digits_of(digits, value);
  return value[0] == 0 || value[0] == 2;
}

struct Module {
  py::object cnp_checksum;  // tarnis.recognizers.cnp._valid_cnp_checksum
};
Module* g = nullptr;

// What the CNP recognizer's standalone pass reports: a CNP shape and a
// valid CNP control digit.
bool valid_cnp(const Text& t, size_t start, size_t end) {
  Match m;
  if (!g_cnp_standalone->fullmatch(t.slice(start, end), m)) return false;
  return truth(g->cnp_checksum(to_str(t.slice(start, end))));
}

py::list analyze(py::object self, py::object text) {
  require_str(text, "analyze", "text");
  Text t(text);
  py::list results;
  using Span = std::pair<size_t, size_t>;
  std::set<Span> seen;
  py::object make = self.attr("_make_result");
  Match m;

  // Numbers the CNP recognizer reads by its keyword.
  std::set<Span> cnp_keyword;
  {
    MatchIterator it(*g_cnp_context, t.view());
    while (it.next(m)) cnp_keyword.insert({m.start(1), m.end(1)});
  }

  py::object keyword_note = py::str("IDNP keyword context");
  {
    MatchIterator it(*g_context, t.view());
    while (it.next(m)) {
      const Span span{m.start(1), m.end(1)};
      const U32View digits = t.slice(span.first, span.second);
      if (cnp_keyword.count(span) || !personal_shape(digits) || !seen.insert(span).second) continue;
      const char* score = "CONTEXT_CHECKSUM_SCORE";
      if (!valid_checksum(digits)) {
        score = valid_cnp(t, span.first, span.second) ? "CONTEXT_OVER_CNP_SCORE" : "CONTEXT_SCORE";
      }
      results.append(make(py::make_tuple(span.first, span.second), self.attr(score), keyword_note));
    }
  }

  py::object standalone_note = py::str("Standalone IDNP with valid checksum");
  {
    MatchIterator it(*g_standalone, t.view());
    while (it.next(m)) {
      const Span span{m.start(1), m.end(1)};
      if (seen.count(span) || cnp_keyword.count(span)) continue;
      if (!valid_checksum(t.slice(span.first, span.second))) continue;
      if (valid_cnp(t, span.first, span.second)) continue;
      seen.insert(span);
      results.append(make(py::make_tuple(span.first, span.second), self.attr("STANDALONE_CHECKSUM_SCORE"),
                          standalone_note));
    }
  }
  return results;
}

}  // namespace

PYBIND11_MODULE(idnp, m) {
  m.doc() = "Recognizer for the Moldovan personal code (IDNP).";
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  py::module_ cnp = py::module_::import("tarnis.recognizers.cnp");
  m.attr("re") = re;
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("LocalRecognizer") = presidio.attr("LocalRecognizer");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");

  py::list weights;
  for (int w : kWeights) weights.append(w);
  m.attr("_IDNP_CHECKSUM_WEIGHTS") = weights;
  m.attr("_IDNP_CONTEXT_RE") = re.attr("compile")(to_str(kContextPattern), re.attr("IGNORECASE"));
  m.attr("_IDNP_STANDALONE_RE") = re.attr("compile")(to_str(kStandalonePattern));
  g_context = new Regex(kContextPattern, reflag::IGNORECASE);
  g_standalone = new Regex(kStandalonePattern);

  // The CNP recognizer's own patterns, so that both read a number alike.
  auto native = [](py::handle compiled) {
    Text pattern(compiled.attr("pattern"));
    return new Regex(pattern.view(), compiled.attr("flags").cast<int>());
  };
  g_cnp_context = native(cnp.attr("_CNP_CONTEXT_RE"));
  g_cnp_standalone = native(cnp.attr("_CNP_STANDALONE_RE"));
  g = new Module{cnp.attr("_valid_cnp_checksum")};

  m.def(
      "_valid_idnp_checksum",
      [](py::object idnp) {
        require_str(idnp, "_valid_idnp_checksum", "idnp");
        Text t(idnp);
        return valid_checksum(t.view());
      },
      py::arg("idnp"),
      "True when the 13th digit equals the control digit computed from the first twelve\n"
      "(weights 7 3 1 7 3 1 7 3 1 7 3 1, sum modulo 10).");

  ClassBuilder(m, "IdnpRecognizer", py::make_tuple(m.attr("LocalRecognizer")),
               "Detects the Moldovan IDNP (numărul de identificare de stat) — 13-digit personal codes\n"
               "beginning with 0 or 2.")
      .attr("CONTEXT_CHECKSUM_SCORE", py::float_(1.0))
      .attr("CONTEXT_SCORE", py::float_(0.85))
      .attr("CONTEXT_OVER_CNP_SCORE", py::float_(0.9))
      .attr("STANDALONE_CHECKSUM_SCORE", py::float_(0.85))
      .init(
          [m](py::object self) { init_local_recognizer(m, self, "IDNP", "IdnpRecognizer"); },
          "Recognizer for entity type IDNP, language \"ro\".")
      .method(
          "load", [](py::object) {}, "Nothing to load.")
      .method(
          "analyze", [](py::object self, py::object text, py::object, py::object) { return analyze(self, text); },
          "Find IDNPs in `text`: keyword matches first (CONTEXT_CHECKSUM_SCORE with a valid control\n"
          "digit, CONTEXT_SCORE without, CONTEXT_OVER_CNP_SCORE without when the number is a valid CNP),\n"
          "then numbers with a valid control digit (STANDALONE_CHECKSUM_SCORE). Numbers after a CNP\n"
          "keyword, and valid CNPs without an IDNP keyword, are left to the CNP recognizer.\n"
          "`entities` and `nlp_artifacts` are accepted for the Presidio interface and not consulted.",
          py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
      .method(
          "_make_result",
          [m](py::object self, py::object span, py::object score, py::object explanation) {
            return make_span_result(m, self, "IDNP", span, score, explanation);
          },
          "Build one IDNP result from a (start, end) pair, a score and an explanation text.", py::arg("span"),
          py::arg("score"), py::arg("explanation"))
      .finish();
}
