// What the model is shown: each doubtful span with a few words of context
// around it, in a JSON payload laid out as json.dumps(indent=2) would.
#include "tarnis/slm/fallback/fallback.hpp"

#include "core/text.hpp"

namespace tarnis::fallback {

py::str span_text(py::handle text, py::handle result) {
  require_str(text, "span", "text");
  const SliceBounds b = span_bounds(text, result);
  return substring(text, b.start, b.end);
}

namespace {

// A non-negative word count; anything else counts as zero words.
Py_ssize_t word_count(py::handle v) {
  if (!PyLong_Check(v.ptr())) return 0;
  const Py_ssize_t n = PyNumber_AsSsize_t(v.ptr(), nullptr);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  return n < 0 ? 0 : n;
}

// Whether `_context` is this module's own (not overridden by a subclass or
// replaced on the instance), so that it can be called without a Python call.
bool own_context(py::handle self) { return g->context_method.used_by(self); }

}  // namespace

py::str context(py::handle self, py::handle text, py::handle result) {
  require_str(text, "_context", "text");
  py::object cfg = dict_get(self.attr("per_entity_config"), result.attr("entity_type"));
  py::object cw = (cfg && !cfg.is_none()) ? cfg.attr("context_words") : py::object();
  const Py_ssize_t n = word_count((cw && !cw.is_none()) ? cw : self.attr("context_words"));

  // Read in place: only the few words around the span are looked at, so a
  // long document costs nothing per result.
  const int kind = PyUnicode_KIND(text.ptr());
  const void* data = PyUnicode_DATA(text.ptr());
  const Py_ssize_t len = PyUnicode_GET_LENGTH(text.ptr());
  auto at = [&](Py_ssize_t i) -> char32_t { return static_cast<char32_t>(PyUnicode_READ(kind, data, i)); };
  const Py_ssize_t s = slice_bound(result.attr("start"), len, 0);
  const Py_ssize_t e = slice_bound(result.attr("end"), len, len);

  // The last n words before the span, walking backwards.
  std::vector<std::pair<Py_ssize_t, Py_ssize_t>> left;
  Py_ssize_t i = s;
  while (static_cast<Py_ssize_t>(left.size()) < n) {
    while (i > 0 && is_space(at(i - 1))) --i;
    if (i == 0) break;
    const Py_ssize_t word_end = i;
    while (i > 0 && !is_space(at(i - 1))) --i;
    left.emplace_back(i, word_end);
  }
  std::u32string out;
  auto copy = [&](Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t k = from; k < to; ++k) out.push_back(at(k));
  };
  for (size_t k = left.size(); k-- > 0;) {
    copy(left[k].first, left[k].second);
    if (k > 0) out.push_back(U' ');
  }
  out += U" >>>";
  if (e > s) copy(s, e);
  out += U"<<< ";
  Py_ssize_t j = e;
  for (Py_ssize_t k = 0; k < n; ++k) {
    while (j < len && is_space(at(j))) ++j;
    if (j == len) break;
    const Py_ssize_t word_start = j;
    while (j < len && !is_space(at(j))) ++j;
    if (k > 0) out.push_back(U' ');
    copy(word_start, j);
  }
  return to_str(strip(out));
}

py::list build_payload(py::handle self, const std::vector<py::object>& texts, const std::vector<py::object>& results) {
  const bool fast = own_context(self);
  py::object ctx_method = fast ? py::object() : self.attr("_context");
  py::list payload(results.size());
  for (size_t i = 0; i < results.size(); ++i) {
    py::handle text = texts[i];
    py::handle r = results[i];
    require_str(text, "_verify_batch", "text");
    py::dict item;
    set_item(item, g->k_id, py::int_(i));
    set_item(item, g->k_entity_type, r.attr("entity_type"));
    set_item(item, g->k_value, span_text(text, r));
    set_item(item, g->k_context, fast ? py::object(context(self, text, r)) : ctx_method(text, r));
    set_item(item, g->k_score, g->round_fn(r.attr("score"), g->digits));
    PyList_SET_ITEM(payload.ptr(), static_cast<Py_ssize_t>(i), item.release().ptr());
  }
  return payload;
}

// json.dumps(obj, ensure_ascii=False, indent=2), byte for byte. The json
// module's pure-Python encoder, which indentation needs, costs more than the
// rest of a request together; so the C encoder writes the compact form with
// an item separator holding a NUL, which can never appear raw inside an
// encoded string (control characters are escaped there), and the layout of
// the indenting encoder is applied here: a line break and two spaces per
// level after each opening bracket and item separator and before each closing
// bracket, empty containers left as "[]" and "{}".
py::str pretty_json(py::handle obj) {
  py::str compact = g->json_dumps(obj, **g->marked_kwargs);
  Text t(compact);
  std::u32string out;
  out.reserve(t.size() + t.size() / 2);
  size_t depth = 0;
  bool in_string = false, escape = false;
  auto newline = [&] {
    out.push_back(U'\n');
    out.append(2 * depth, U' ');
  };
  for (size_t i = 0; i < t.size(); ++i) {
    const char32_t c = t[i];
    if (in_string) {
      out.push_back(c);
      if (escape) {
        escape = false;
      } else if (c == U'\\') {
        escape = true;
      } else if (c == U'"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case U'"':
        in_string = true;
        out.push_back(c);
        break;
      case U'[':
      case U'{':
        out.push_back(c);
        if (i + 1 < t.size() && t[i + 1] == (c == U'[' ? U']' : U'}')) {
          out.push_back(t[++i]);
        } else {
          ++depth;
          newline();
        }
        break;
      case U']':
      case U'}':
        if (depth > 0) --depth;
        newline();
        out.push_back(c);
        break;
      case U',':
        out.push_back(c);
        if (i + 1 < t.size() && t[i + 1] == U'\0') {
          ++i;
          newline();
        }
        break;
      default:
        out.push_back(c);
    }
  }
  return to_str(out);
}

py::object get_system_prompt(py::handle self, py::handle entity_type) {
  py::object cfg = dict_get(self.attr("per_entity_config"), entity_type);
  if (cfg && !cfg.is_none()) {
    py::object prompt = cfg.attr("system_prompt");
    if (truth(prompt)) return prompt;
  }
  return self.attr("DEFAULT_SYSTEM_PROMPT");
}

}  // namespace tarnis::fallback
