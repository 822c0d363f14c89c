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

bool truth(py::handle v) {
  const int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

std::vector<py::object> snapshot(py::handle sequence) {
  PyObject* s = sequence.ptr();
  std::vector<py::object> out;
  if (PyList_Check(s) || PyTuple_Check(s)) {
    // No Python code runs between reading the size and the last item.
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(s);
    PyObject** items = PySequence_Fast_ITEMS(s);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(py::reinterpret_borrow<py::object>(items[i]));
    return out;
  }
  PyObject* fast = PySequence_Fast(s, "expected an iterable");
  if (!fast) throw py::error_already_set();
  py::object owner = py::reinterpret_steal<py::object>(fast);
  return snapshot(owner);
}

std::vector<std::pair<py::object, py::object>> snapshot_items(py::handle dict) {
  if (!PyDict_Check(dict.ptr())) {
    throw py::type_error(std::string("expected a dict, not ") + Py_TYPE(dict.ptr())->tp_name);
  }
  std::vector<std::pair<py::object, py::object>> out;
  out.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict.ptr())));
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict.ptr(), &pos, &key, &value)) {
    out.emplace_back(py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value));
  }
  return out;
}

}  // namespace tarnis::core
