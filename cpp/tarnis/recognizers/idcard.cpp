// Series and number of a Romanian identity card: two capital letters and six
// digits. Written together ("RX123456", as forms and bank documents often
// have it) the code recognizer's shapes miss it (its structured codes begin at
// nine characters, its short ones stop at five digits), and written out
// ("seria RX nr. 123456") it takes only the number, leaving the series.
//
// Two passes: the series and number after the word "seria" (reported from the
// letters to the last digit, whatever stands between them: "nr.", "număr",
// a comma or a colon), then the compact form anywhere, as a token of its own:
// not inside a longer run of letters, digits, hyphens or slashes, nor after a
// digit and a dot. "seria" also stands before the numbers of tickets, receipts
// and certificates, all of them personal references: both scores lie in the
// language model's band for codes, so that a model, when used, judges them as
// it judges the code recognizer's.
#include <pybind11/pybind11.h>

#include <set>

#include "core/checks.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

// Group 1: the series, group 2: the number.
const char32_t* const kContextPattern =
    UR"(\b(?:[Ss]eri(?:a|e|ei)|SERIA)\s*[:\-]?\s*([A-Z]{2})\s*[,;]?\s*)"
    UR"((?:(?:[Nn]r|NR)\.?|[Nn]um[ăa]r(?:ul)?|NUM[ĂA]R(?:UL)?)?\s*[:\-]?\s*(\d{6})(?![\w/\-]|[.,]\d))";
const char32_t* const kCompactPattern = UR"((?<![\w/\-])(?<!\d\.)([A-Z]{2}\d{6})(?![\w/\-]|[.,]\d))";

const Regex* g_context = nullptr;
const Regex* g_compact = nullptr;

py::list analyze(py::object self, py::object text) {
  require_str(text, "analyze", "text");
  Text t(text);
  py::list results;
  std::set<size_t> covered;  // starts of the series already reported after "seria"
  py::object make = self.attr("_make_result");
  Match m;

  py::object keyword_note = py::str("Identity card series and number after 'seria'");
  {
    MatchIterator it(*g_context, t.view());
    while (it.next(m)) {
      covered.insert(m.start(1));
      results.append(make(py::make_tuple(m.start(1), m.end(2)), self.attr("CONTEXT_SCORE"), keyword_note));
    }
  }
  py::object compact_note = py::str("Identity card series and number written together");
  {
    MatchIterator it(*g_compact, t.view());
    while (it.next(m)) {
      if (covered.count(m.start(1))) continue;
      results.append(make(py::make_tuple(m.start(1), m.end(1)), self.attr("COMPACT_SCORE"), compact_note));
    }
  }
  return results;
}

}  // namespace

PYBIND11_MODULE(idcard, m) {
  m.doc() = "Recognizer for the series and number of a Romanian identity card.";
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("LocalRecognizer") = presidio.attr("LocalRecognizer");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");
  m.attr("_IDCARD_CONTEXT_RE") = re.attr("compile")(to_str(kContextPattern));
  m.attr("_IDCARD_COMPACT_RE") = re.attr("compile")(to_str(kCompactPattern));
  g_context = new Regex(kContextPattern);
  g_compact = new Regex(kCompactPattern);

  ClassBuilder(m, "IdentityCardRecognizer", py::make_tuple(m.attr("LocalRecognizer")),
               "Detects the series and number of a Romanian identity card (two capitals, six digits) as\n"
               "a CODE: after the word 'seria' (`seria RX nr. 123456`), or written together (`RX123456`).")
      .attr("CONTEXT_SCORE", py::float_(0.6))
      .attr("COMPACT_SCORE", py::float_(0.5))
      .init(
          [m](py::object self) { init_local_recognizer(m, self, "CODE", "IdentityCardRecognizer"); },
          "Recognizer for entity type CODE, language \"ro\".")
      .method(
          "load", [](py::object) {}, "Nothing to load.")
      .method(
          "analyze", [](py::object self, py::object text, py::object, py::object) { return analyze(self, text); },
          "Find identity card numbers in `text`: the series and number after 'seria' (CONTEXT_SCORE,\n"
          "from the series to the last digit), then two capitals and six digits written together as a\n"
          "token of their own (COMPACT_SCORE). `entities` and `nlp_artifacts` are accepted for the\n"
          "Presidio interface and not consulted.",
          py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
      .method(
          "_make_result",
          [m](py::object self, py::object span, py::object score, py::object explanation) {
            return make_span_result(m, self, "CODE", span, score, explanation);
          },
          "Build one CODE result from a (start, end) pair, a score and an explanation text.", py::arg("span"),
          py::arg("score"), py::arg("explanation"))
      .finish();
}
