// Presidio detections built from C++: a RecognizerResult with its
// AnalysisExplanation, using the classes a recognizer module binds in its
// namespace (so that a host or a test that replaces them is honoured).
#pragma once

#include <cstddef>
#include <initializer_list>

#include <pybind11/pybind11.h>

namespace tarnis::core {

namespace py = pybind11;

// A call with keyword arguments only, without building a kwargs dict.
py::object call_with_keywords(py::handle callable, std::initializer_list<py::handle> values, py::handle names);

class ResultFactory {
 public:
  // Reads RecognizerResult and AnalysisExplanation from `module` once.
  explicit ResultFactory(py::handle module);

  // RecognizerResult(entity_type=, start=, end=, score=, analysis_explanation=
  //   AnalysisExplanation(recognizer=, original_score=score, textual_explanation=)).
  py::object make(py::handle entity_type, size_t start, size_t end, py::handle score, py::handle recognizer,
                  py::handle explanation) const;

 private:
  py::object result_cls_, explanation_cls_;
};

// `_make_result(span, score, explanation)` of a recognizer of one entity type:
// a result over the (start, end) pair `span`, explained under the name of the
// class of `self` (a subclass is named as itself).
py::object make_span_result(py::handle module, py::handle self, const char* entity_type, py::handle span,
                            py::handle score, py::handle explanation);

// LocalRecognizer.__init__ (as `module` binds it) for a recognizer of one
// entity type on Romanian: supported_entities [entity_type], language "ro".
void init_local_recognizer(py::handle module, py::handle self, const char* entity_type, const char* name);

}  // namespace tarnis::core
