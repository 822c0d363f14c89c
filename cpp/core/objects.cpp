#include "core/objects.hpp"

#include <string>

namespace tarnis::core {

bool truth(py::handle v) {
  const int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool equals(py::handle a, py::handle b) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool equals(py::handle a, const char* s) { return equals(a, py::str(s)); }

bool contains(py::handle container, py::handle item) {
  const int r = PySequence_Contains(container.ptr(), item.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::object get_item(py::handle obj, py::handle key) {
  PyObject* v = PyObject_GetItem(obj.ptr(), key.ptr());
  if (!v) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(v);
}

py::object dict_get(py::handle mapping, py::handle key) {
  if (PyDict_Check(mapping.ptr())) {
    PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (!v) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return py::object();
    }
    return py::reinterpret_borrow<py::object>(v);
  }
  // A marker no mapping can hold, to tell an absent key from a None value.
  // Leaked on purpose: it must outlive every module that uses it.
  static PyObject* const absent = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  if (!absent) throw py::error_already_set();
  py::object v = py::reinterpret_borrow<py::object>(mapping).attr("get")(key, py::handle(absent));
  if (v.ptr() == absent) return py::object();
  return v;
}

void set_item(py::handle dict, py::handle key, py::handle value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

void append(py::handle list, py::handle item) {
  if (PyList_CheckExact(list.ptr())) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) throw py::error_already_set();
  } else {
    py::reinterpret_borrow<py::object>(list).attr("append")(item);
  }
}

py::list to_list(const std::vector<py::object>& items) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (!list) throw py::error_already_set();
  for (size_t i = 0; i < items.size(); ++i) {
    Py_INCREF(items[i].ptr());
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i].ptr());
  }
  return py::reinterpret_steal<py::list>(list);
}

namespace {

// The items of a list or tuple; no Python code runs between reading the size
// and the last item.
std::vector<py::object> copy_items(PyObject* s) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(s);
  PyObject** items = PySequence_Fast_ITEMS(s);
  std::vector<py::object> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(py::reinterpret_borrow<py::object>(items[i]));
  return out;
}

}  // namespace

std::vector<py::object> snapshot(py::handle sequence, const char* what) {
  PyObject* s = sequence.ptr();
  if (PyList_Check(s) || PyTuple_Check(s)) return copy_items(s);
  PyObject* fast = PySequence_Fast(s, what);
  if (!fast) throw py::error_already_set();
  py::object owner = py::reinterpret_steal<py::object>(fast);
  return copy_items(fast);
}

std::vector<py::object> snapshot(py::handle sequence) { return snapshot(sequence, "expected an iterable"); }

std::vector<py::object> items_of(py::handle sequence) {
  PyObject* s = sequence.ptr();
  if (PyList_Check(s) || PyTuple_Check(s)) return copy_items(s);
  PyObject* list = PySequence_List(s);
  if (!list) throw py::error_already_set();
  py::object owner = py::reinterpret_steal<py::object>(list);
  return copy_items(list);
}

std::vector<std::pair<py::object, py::object>> snapshot_items(py::handle dict) {
  if (!PyDict_Check(dict.ptr())) {
    throw py::type_error(std::string("expected a dict, not ") + type_name(dict));
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

Py_ssize_t slice_bound(py::handle v, Py_ssize_t len, Py_ssize_t fallback) {
  if (v.is_none()) return fallback;
  PyObject* idx = PyNumber_Index(v.ptr());
  if (!idx) throw py::error_already_set();
  const Py_ssize_t i = PyNumber_AsSsize_t(idx, nullptr);  // clipped on overflow
  Py_DECREF(idx);
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  return slice_bound(i, len);
}

SliceBounds span_bounds(py::handle text, py::handle result) {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(text.ptr());
  const Py_ssize_t s = slice_bound(result.attr("start"), len, 0);
  const Py_ssize_t e = slice_bound(result.attr("end"), len, len);
  return {s, e < s ? s : e};
}

py::str substring(py::handle text, Py_ssize_t start, Py_ssize_t end) {
  PyObject* s = PyUnicode_Substring(text.ptr(), start, end);
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

}  // namespace tarnis::core
