// Sentence boundaries from a spaCy pipeline, for texts of any length.
#pragma once

#include <cstddef>
#include <vector>

#include <pybind11/pybind11.h>

#include "core/text.hpp"

namespace tarnis::core {

namespace py = pybind11;

struct SentenceSpan {
  size_t start, end;  // character offsets into the text, end exclusive
};

// The sentences `nlp` finds in `text` (whose code points are `t`), in order.
// A pipeline refuses texts longer than its `max_length`; such a text is fed
// to it in pieces cut at line breaks (else at white space), and the sentences
// of the pieces are put back at their places in the text. A sentence out of
// order or outside its piece raises ValueError, its message starting with
// `tag` (the caller's log tag, such as "[gliner]").
std::vector<SentenceSpan> sentences_of(py::handle nlp, py::handle text, const Text& t, const char* tag);

}  // namespace tarnis::core
