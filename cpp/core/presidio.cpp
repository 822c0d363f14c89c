#include "core/presidio.hpp"

#include "core/checks.hpp"

namespace tarnis::core {

namespace {

// Keyword names, created once per process and kept for its lifetime.
PyObject* keyword_names(std::initializer_list<const char*> names) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
  if (!t) throw py::error_already_set();
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t, i++, PyUnicode_InternFromString(n));
  return t;
}

}  // namespace

py::object call_with_keywords(py::handle callable, std::initializer_list<py::handle> values, py::handle names) {
  PyObject* args[8];
  size_t n = 0;
  for (py::handle v : values) {
    if (n == 8) throw std::length_error("too many keyword arguments");
    args[n++] = v.ptr();
  }
  PyObject* r = PyObject_Vectorcall(callable.ptr(), args, 0, names.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

ResultFactory::ResultFactory(py::handle module)
    : result_cls_(module.attr("RecognizerResult")), explanation_cls_(module.attr("AnalysisExplanation")) {}

py::object ResultFactory::make(py::handle entity_type, size_t start, size_t end, py::handle score,
                               py::handle recognizer, py::handle explanation) const {
  static PyObject* explanation_names = keyword_names({"recognizer", "original_score", "textual_explanation"});
  static PyObject* result_names =
      keyword_names({"entity_type", "start", "end", "score", "analysis_explanation"});
  py::object expl = call_with_keywords(explanation_cls_, {recognizer, score, explanation}, explanation_names);
  return call_with_keywords(result_cls_, {entity_type, py::int_(start), py::int_(end), score, expl}, result_names);
}

py::object make_span_result(py::handle module, py::handle self, const char* entity_type, py::handle span,
                            py::handle score, py::handle explanation) {
  py::tuple s(py::reinterpret_borrow<py::object>(span));
  return ResultFactory(module).make(py::str(entity_type), index_value(s[0]), index_value(s[1]), score,
                                    self.attr("__class__").attr("__name__"), explanation);
}

void init_local_recognizer(py::handle module, py::handle self, const char* entity_type, const char* name) {
  py::list entities;
  entities.append(entity_type);
  module.attr("LocalRecognizer").attr("__init__")(self, py::arg("supported_entities") = entities,
                                                  py::arg("supported_language") = "ro", py::arg("name") = name);
}

}  // namespace tarnis::core
