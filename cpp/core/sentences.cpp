#include "core/sentences.hpp"

#include <string>

#include "core/checks.hpp"

namespace tarnis::core {

namespace {

// Appends the sentences the pipeline finds in text[offset:offset+piece_len].
void collect_sentences(py::handle nlp, py::handle piece, size_t offset, size_t piece_len, const char* tag,
                       std::vector<SentenceSpan>& out) {
  py::object doc = py::reinterpret_borrow<py::object>(nlp)(piece);
  for (const py::object& sent : snapshot(doc.attr("sents"))) {
    const Py_ssize_t s = index_value(sent.attr("start_char"));
    const Py_ssize_t e = index_value(sent.attr("end_char"));
    const size_t prev_end = out.empty() ? 0 : out.back().end;
    if (s < 0 || e < s || static_cast<size_t>(e) > piece_len || offset + static_cast<size_t>(s) < prev_end) {
      throw py::value_error(std::string(tag) + " the spaCy pipeline reported a sentence at (" + std::to_string(s) +
                            ", " + std::to_string(e) + ") that is out of order or outside a text of length " +
                            std::to_string(piece_len));
    }
    out.push_back({offset + static_cast<size_t>(s), offset + static_cast<size_t>(e)});
  }
}

bool is_line_break(char32_t c) { return c == U'\n' || c == U'\r' || c == U'\u2028' || c == U'\u2029'; }

// Where to end a piece of at most `limit` characters starting at `from`:
// before the last run of line breaks in its second half, else before its
// last run of white space, else at the limit itself. The break stays at the
// head of the next piece, where the pipeline sees it as it would in the
// whole text.
size_t piece_end(const Text& t, size_t from, size_t limit) {
  const size_t hard = from + limit;
  if (hard >= t.size()) return t.size();
  const size_t floor = from + limit / 2;
  for (bool (*is_break)(char32_t) : {is_line_break, is_space}) {
    for (size_t i = hard; i > floor; --i) {
      if (!is_break(t[i])) continue;
      while (i > floor && is_break(t[i - 1])) --i;
      if (i > from) return i;
      break;
    }
  }
  return hard;
}

}  // namespace

std::vector<SentenceSpan> sentences_of(py::handle nlp, py::handle text, const Text& t, const char* tag) {
  std::vector<SentenceSpan> out;
  size_t limit = 0;
  if (py::hasattr(nlp, "max_length")) {
    py::object ml = nlp.attr("max_length");
    if (PyLong_Check(ml.ptr())) {
      const Py_ssize_t v = PyLong_AsSsize_t(ml.ptr());
      if (v == -1 && PyErr_Occurred()) PyErr_Clear();
      else if (v > 0) limit = static_cast<size_t>(v);
    }
  }
  if (limit == 0 || t.size() <= limit) {
    collect_sentences(nlp, text, 0, t.size(), tag, out);
    return out;
  }
  for (size_t from = 0; from < t.size();) {
    const size_t to = piece_end(t, from, limit);
    PyObject* piece = PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(from), static_cast<Py_ssize_t>(to));
    if (!piece) throw py::error_already_set();
    collect_sentences(nlp, py::reinterpret_steal<py::object>(piece), from, to - from, tag, out);
    from = to;
  }
  return out;
}

}  // namespace tarnis::core
