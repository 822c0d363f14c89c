// A Python str seen as UCS-4 code points, so that every offset is a Python
// index, and character tests that agree with str methods.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include <pybind11/pybind11.h>

namespace tarnis::core {

namespace py = pybind11;

using U32View = std::u32string_view;

// Code points of a str. Borrows the string's own buffer when it is already
// stored as UCS-4, otherwise widens it once. Keeps the str alive.
class Text {
 public:
  explicit Text(py::handle str);  // TypeError unless str is a str
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;

  const char32_t* data() const { return data_; }
  size_t size() const { return size_; }
  U32View view() const { return U32View(data_, size_); }
  char32_t operator[](size_t i) const { return data_[i]; }
  U32View slice(size_t start, size_t end) const { return U32View(data_ + start, end - start); }

 private:
  py::object ref_;
  std::u32string buf_;
  const char32_t* data_ = nullptr;
  size_t size_ = 0;
};

// A new str from code points (lone surrogates are kept as they are).
py::str to_str(U32View s);

// Character tests with the semantics of the str methods of the same name.
inline bool is_space(char32_t c) { return Py_UNICODE_ISSPACE(c) != 0; }
inline bool is_alpha(char32_t c) { return Py_UNICODE_ISALPHA(c) != 0; }
inline bool is_upper(char32_t c) { return Py_UNICODE_ISUPPER(c) != 0; }
inline bool is_alnum(char32_t c) { return Py_UNICODE_ISALNUM(c) != 0; }
// A word character as `re` defines it: alphanumeric or underscore.
inline bool is_word(char32_t c) { return c == U'_' || is_alnum(c); }

// s.strip() with no argument.
U32View strip(U32View s);
// Number of pieces of s.split() with no argument.
size_t count_words(U32View s);
// " ".join(s.split()): white-space runs collapsed to one space, ends trimmed.
std::u32string collapse_whitespace(U32View s);

}  // namespace tarnis::core
