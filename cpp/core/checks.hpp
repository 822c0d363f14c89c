// Argument checks that raise TypeError naming the argument and the type
// received, before any work is done. pybind11 would convert bytes to str
// silently, so functions take py::object and check here.
#pragma once

#include <pybind11/pybind11.h>

// The object helpers came from here; modules that include this header get them too.
#include "core/objects.hpp"

namespace tarnis::core {

namespace py = pybind11;

[[noreturn]] void raise_type_error(const char* func, const char* arg, const char* expected, py::handle got);

inline void require_str(py::handle v, const char* func, const char* arg) {
  if (!PyUnicode_Check(v.ptr())) raise_type_error(func, arg, "str", v);
}
inline void require_list(py::handle v, const char* func, const char* arg) {
  if (!PyList_Check(v.ptr())) raise_type_error(func, arg, "list", v);
}
inline void require_dict(py::handle v, const char* func, const char* arg) {
  if (!PyDict_Check(v.ptr())) raise_type_error(func, arg, "dict", v);
}
inline void require_dict_or_none(py::handle v, const char* func, const char* arg) {
  if (!v.is_none() && !PyDict_Check(v.ptr())) raise_type_error(func, arg, "dict or None", v);
}
inline void require_list_or_none(py::handle v, const char* func, const char* arg) {
  if (!v.is_none() && !PyList_Check(v.ptr())) raise_type_error(func, arg, "list or None", v);
}
inline void require_tuple(py::handle v, const char* func, const char* arg) {
  if (!PyTuple_Check(v.ptr())) raise_type_error(func, arg, "tuple", v);
}
// An int in Python's sense (bool included, as isinstance(True, int) holds).
inline void require_int(py::handle v, const char* func, const char* arg) {
  if (!PyLong_Check(v.ptr())) raise_type_error(func, arg, "int", v);
}
// float(v), with a TypeError naming the argument when that is impossible.
double to_float(py::handle v, const char* func, const char* arg);

// An integer offset read from a result attribute (operator.index semantics).
Py_ssize_t index_value(py::handle v);
// The same, with ints beyond the range of Py_ssize_t clipped to its ends, as
// slicing does: for offsets that are only ever clamped to a text.
Py_ssize_t clipped_index_value(py::handle v);

}  // namespace tarnis::core
