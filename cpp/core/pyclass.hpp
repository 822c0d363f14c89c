// Defining Python classes from C++: plain classes and subclasses of Python
// classes (Presidio recognizers), made with the builtin `type` so that the
// base's metaclass (ABCMeta for Presidio) is used and Python code can
// subclass them again.
#pragma once

#include <string>
#include <utility>

#include <pybind11/pybind11.h>

namespace tarnis::core {

namespace py = pybind11;

class ClassBuilder {
 public:
  // `module` is the module the class belongs to (sets __module__).
  ClassBuilder(py::module_ module, const char* name, py::tuple bases, const char* doc);

  // A class attribute (tuning values, constants). Read through `self` by methods.
  ClassBuilder& attr(const char* name, py::object value);

  // An instance method. `fn` takes `py::object self` first; `extra` are pybind11
  // argument annotations (py::arg("text"), py::arg("x") = default, ...), named
  // exactly as callers pass them.
  template <class F, class... Extra>
  ClassBuilder& method(const char* name, F&& fn, const char* doc, const Extra&... extra) {
    pending_.emplace_back(name, make_method(name, std::forward<F>(fn), doc, extra...));
    return *this;
  }

  // The initializer. pybind11 reserves the name __init__ for its own
  // constructors, so the function is built under another name and assigned.
  template <class F, class... Extra>
  ClassBuilder& init(F&& fn, const char* doc, const Extra&... extra) {
    pending_.emplace_back("__init__", make_method("_init", std::forward<F>(fn), doc, extra...));
    return *this;
  }

  // A static method.
  template <class F, class... Extra>
  ClassBuilder& static_method(const char* name, F&& fn, const char* doc, const Extra&... extra) {
    py::cpp_function f(std::forward<F>(fn), py::name(name), py::doc(doc), extra...);
    pending_.emplace_back(name, py::reinterpret_steal<py::object>(PyStaticMethod_New(f.ptr())));
    return *this;
  }

  // Creates the class, binds it in the module and returns it.
  py::object finish();

 private:
  template <class F, class... Extra>
  py::object make_method(const char* name, F&& fn, const char* doc, const Extra&... extra) {
    // The scope is a placeholder: the class does not exist yet. is_method
    // only makes pybind11 wrap the function so that it binds to instances.
    return py::cpp_function(std::forward<F>(fn), py::name(name), py::is_method(py::none()), py::doc(doc),
                            extra...);
  }

  py::module_ module_;
  std::string name_;
  py::tuple bases_;
  py::dict ns_;
  std::vector<std::pair<std::string, py::object>> pending_;
};

// Attribute read with a clear error, for values a subclass may override.
double float_attr(py::handle obj, const char* name);

}  // namespace tarnis::core
