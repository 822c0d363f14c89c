// Web addresses without fragments of words: Presidio's URL recognizer, whose
// results are dropped when they start or end inside a word.
#include <pybind11/pybind11.h>

#include "core/checks.hpp"
#include "core/pyclass.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

// Two sentences joined without a space ("prăpădiți.Recent") read as a host
// name under a country domain (".re", ".ge", ".pe"); the span then begins or
// ends in the middle of a word, which a real address never does.
bool inside_word(const Text& t, Py_ssize_t start, Py_ssize_t end) {
  const auto n = static_cast<Py_ssize_t>(t.size());
  if (start > 0 && start <= n && is_alnum(t[static_cast<size_t>(start - 1)])) return true;
  if (end >= 0 && end < n && is_alnum(t[static_cast<size_t>(end)])) return true;
  return false;
}

py::list drop_inside_words(py::object text, py::object results) {
  Text t(text);
  py::list kept;
  for (const py::object& r : snapshot(results)) {
    if (!inside_word(t, clipped_index_value(r.attr("start")), clipped_index_value(r.attr("end")))) kept.append(r);
  }
  return kept;
}

}  // namespace

PYBIND11_MODULE(url, m) {
  m.doc() = "Web addresses (entity type URL) that neither start nor end inside a word.";
  py::object base = py::module_::import("presidio_analyzer.predefined_recognizers").attr("UrlRecognizer");
  m.attr("UrlRecognizer") = base;

  ClassBuilder(m, "WordBoundedUrlRecognizer", py::make_tuple(base),
               "Presidio's URL recognizer without the results that start right after or end right before a\n"
               "letter or digit: such spans are fragments of words run together over a full stop\n"
               "(\"prăpădiți.Recent\" read as the address \"i.Re\"), not web addresses.")
      .method(
          "analyze",
          [m](py::object self, py::object text, py::object entities, py::object nlp_artifacts,
              py::object regex_flags) {
            require_str(text, "analyze", "text");
            py::object results = m.attr("UrlRecognizer").attr("analyze")(self, text, entities, nlp_artifacts,
                                                                          regex_flags);
            return drop_inside_words(text, results);
          },
          "The base class's results, less those that start or end inside a word.", py::arg("text"),
          py::arg("entities"), py::arg("nlp_artifacts") = py::none(), py::arg("regex_flags") = py::none())
      .finish();
}
