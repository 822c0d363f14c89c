#include "core/checks.hpp"

#include <string>

namespace tarnis::core {

void raise_type_error(const char* func, const char* arg, const char* expected, py::handle got) {
  std::string msg = std::string(func) + "() argument '" + arg + "' must be " + expected + ", not " +
                    Py_TYPE(got.ptr())->tp_name;
  throw py::type_error(msg);
}

double to_float(py::handle v, const char* func, const char* arg) {
  PyObject* f = PyNumber_Float(v.ptr());
  if (!f) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      raise_type_error(func, arg, "a number convertible to float", v);
    }
    throw py::error_already_set();
  }
  double d = PyFloat_AS_DOUBLE(f);
  Py_DECREF(f);
  return d;
}

Py_ssize_t index_value(py::handle v) {
  Py_ssize_t i = PyNumber_AsSsize_t(v.ptr(), PyExc_OverflowError);
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  return i;
}

Py_ssize_t clipped_index_value(py::handle v) {
  Py_ssize_t i = PyNumber_AsSsize_t(v.ptr(), nullptr);
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  return i;
}

}  // namespace tarnis::core
