// Private, test-only access to the core regular-expression wrapper, so that
// tests can compare it with Python's `re` on the same patterns and inputs.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "core/checks.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

py::object span_tuple(const Match& m) {
  py::list groups;
  for (size_t g = 0; g < m.spans.size(); ++g) {
    if (m.matched(g)) groups.append(py::make_tuple(m.start(g), m.end(g)));
    else groups.append(py::make_tuple(-1, -1));
  }
  return py::tuple(groups);
}

std::u32string u32(py::handle s, const char* func, const char* arg) {
  require_str(s, func, arg);
  Text t(s);
  return std::u32string(t.view());
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "Test-only access to the native regular-expression wrapper.";
  py::register_exception<PatternError>(m, "PatternError", PyExc_ValueError);
  py::register_exception<MatchError>(m, "MatchError", PyExc_RuntimeError);

  py::class_<Regex, std::shared_ptr<Regex>>(m, "Pattern")
      .def_property_readonly("pattern", [](const Regex& r) { return to_str(r.pattern()); })
      .def_property_readonly("flags", &Regex::flags)
      .def_property_readonly("groups", &Regex::groups)
      .def_property_readonly("translated", [](const Regex& r) { return to_str(r.translated()); })
      .def(
          "search",
          [](const Regex& r, py::object s, size_t pos, py::object endpos) -> py::object {
            Text t(s);
            U32View v = t.view();
            if (!endpos.is_none()) v = v.substr(0, std::min(v.size(), endpos.cast<size_t>()));
            Match mt;
            if (!r.search(v, mt, pos)) return py::none();
            return span_tuple(mt);
          },
          py::arg("string"), py::arg("pos") = 0, py::arg("endpos") = py::none())
      .def(
          "match",
          [](const Regex& r, py::object s, size_t pos) -> py::object {
            Text t(s);
            Match mt;
            if (!r.match(t.view(), mt, pos)) return py::none();
            return span_tuple(mt);
          },
          py::arg("string"), py::arg("pos") = 0)
      .def(
          "fullmatch",
          [](const Regex& r, py::object s, size_t pos) -> py::object {
            Text t(s);
            Match mt;
            if (!r.fullmatch(t.view(), mt, pos)) return py::none();
            return span_tuple(mt);
          },
          py::arg("string"), py::arg("pos") = 0)
      .def(
          "finditer",
          [](const Regex& r, py::object s, size_t pos) {
            Text t(s);
            py::list out;
            MatchIterator it(r, t.view(), pos);
            Match mt;
            while (it.next(mt)) out.append(span_tuple(mt));
            return out;
          },
          py::arg("string"), py::arg("pos") = 0)
      .def(
          "sub",
          [](const Regex& r, py::object repl, py::object s, size_t count) {
            std::u32string rep = u32(repl, "sub", "repl");
            Text t(s);
            return to_str(r.sub(t.view(), rep, count));
          },
          py::arg("repl"), py::arg("string"), py::arg("count") = 0)
      .def(
          "split",
          [](const Regex& r, py::object s, size_t maxsplit) {
            Text t(s);
            py::list out;
            for (auto& piece : r.split(t.view(), maxsplit)) {
              if (piece) out.append(to_str(*piece));
              else out.append(py::none());
            }
            return out;
          },
          py::arg("string"), py::arg("maxsplit") = 0);

  m.def(
      "compile",
      [](py::object pattern, int flags) {
        return std::make_shared<Regex>(u32(pattern, "compile", "pattern"), flags);
      },
      py::arg("pattern"), py::arg("flags") = 0, "Compile a pattern written in Python's re dialect.");
}
