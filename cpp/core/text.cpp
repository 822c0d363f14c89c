#include "core/text.hpp"

#include <stdexcept>
#include <string>

namespace tarnis::core {

Text::Text(py::handle str) : ref_(py::reinterpret_borrow<py::object>(str)) {
  PyObject* s = str.ptr();
  if (!PyUnicode_Check(s)) throw py::type_error(std::string("expected str, not ") + Py_TYPE(s)->tp_name);
  size_ = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
  const int kind = PyUnicode_KIND(s);
  const void* raw = PyUnicode_DATA(s);
  if (kind == PyUnicode_4BYTE_KIND) {
    data_ = static_cast<const char32_t*>(raw);
    return;
  }
  buf_.resize(size_);
  if (kind == PyUnicode_1BYTE_KIND) {
    const auto* p = static_cast<const Py_UCS1*>(raw);
    for (size_t i = 0; i < size_; ++i) buf_[i] = p[i];
  } else {
    const auto* p = static_cast<const Py_UCS2*>(raw);
    for (size_t i = 0; i < size_; ++i) buf_[i] = p[i];
  }
  data_ = buf_.data();
}

py::str to_str(U32View s) {
  PyObject* o = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

U32View strip(U32View s) {
  size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

size_t count_words(U32View s) {
  size_t n = 0;
  bool in_word = false;
  for (char32_t c : s) {
    if (is_space(c)) {
      in_word = false;
    } else if (!in_word) {
      in_word = true;
      ++n;
    }
  }
  return n;
}

std::u32string collapse_whitespace(U32View s) {
  std::u32string out;
  out.reserve(s.size());
  bool pending_space = false;
  for (char32_t c : s) {
    if (is_space(c)) {
      pending_space = !out.empty();
    } else {
      if (pending_space) out.push_back(U' ');
      pending_space = false;
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace tarnis::core
