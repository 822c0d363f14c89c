// Small operations on Python objects over the C API, each checking its
// result: truth, equality, membership, items, owned snapshots of containers
// and the bounds of Python slices. A failure leaves as the Python exception
// that caused it (py::error_already_set); none is ever left pending.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace tarnis::core {

namespace py = pybind11;

// bool(v); an exception raised by __bool__ or __len__ is propagated.
bool truth(py::handle v);
// a == b, and a == s for a str s.
bool equals(py::handle a, py::handle b);
bool equals(py::handle a, const char* s);
// item in container.
bool contains(py::handle container, py::handle item);
// obj[key].
py::object get_item(py::handle obj, py::handle key);
// mapping.get(key): an empty object when the key is absent (a dict is read
// directly, anything else through its `get`).
py::object dict_get(py::handle mapping, py::handle key);
// dict[key] = value for a dict.
void set_item(py::handle dict, py::handle key, py::handle value);
// list.append(item); a list subclass gets its own `append` called.
void append(py::handle list, py::handle item);
// A new list holding `items`.
py::list to_list(const std::vector<py::object>& items);
// type(v).__name__ as the interpreter spells it in messages.
inline std::string type_name(py::handle v) { return Py_TYPE(v.ptr())->tp_name; }

// Owned references to the items of a list, tuple or other iterable, taken
// before any Python code runs: a loop over the copy stays valid when the code
// it calls resizes or clears the container (a range-for over a py::list reads
// the list's item array directly and would read freed memory). For something
// that is not iterable: TypeError("expected an iterable"), or `what` when
// given, or with items_of the message Python itself gives ("'int' object is
// not iterable").
std::vector<py::object> snapshot(py::handle sequence);
std::vector<py::object> snapshot(py::handle sequence, const char* what);
std::vector<py::object> items_of(py::handle sequence);
// Owned (key, value) references of a dict, taken the same way.
std::vector<std::pair<py::object, py::object>> snapshot_items(py::handle dict);

// One bound of text[start:end] for a text of `len` characters: None gives
// `fallback`, an index (operator.index, ints of any size) counts from the end
// when negative, and the result is clamped into [0, len].
Py_ssize_t slice_bound(py::handle v, Py_ssize_t len, Py_ssize_t fallback);
// The same for a bound already read as a Py_ssize_t.
inline Py_ssize_t slice_bound(Py_ssize_t i, Py_ssize_t len) {
  if (i < 0) {
    i += len;
    return i < 0 ? 0 : i;
  }
  return i > len ? len : i;
}

// text[start:end] as positions into the text; end >= start.
struct SliceBounds {
  Py_ssize_t start, end;
};
inline SliceBounds slice_bounds(Py_ssize_t start, Py_ssize_t end, Py_ssize_t len) {
  const Py_ssize_t s = slice_bound(start, len), e = slice_bound(end, len);
  return {s, e < s ? s : e};
}
// text[result.start:result.end] for a str `text` and an object with those
// attributes.
SliceBounds span_bounds(py::handle text, py::handle result);

// text[start:end] for 0 <= start <= end <= len(text).
py::str substring(py::handle text, Py_ssize_t start, Py_ssize_t end);

}  // namespace tarnis::core
