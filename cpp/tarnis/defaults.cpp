// The names every module and host agrees on, in a module that loads nothing
// else, so that a front can show them (in its help, say) without importing
// the analyzer or the language-model client.
#include <pybind11/pybind11.h>

#include "core/defaults.hpp"

namespace py = pybind11;
namespace defaults = tarnis::core::defaults;

PYBIND11_MODULE(defaults, m) {
  m.doc() = "Default model and server names and the placeholder pattern, shared by the modules and hosts.";
  m.attr("DEFAULT_GLINER_MODEL") = py::str(defaults::kGlinerModel);
  m.attr("DEFAULT_SPACY_MODEL") = py::str(defaults::kSpacyModel);
  m.attr("DEFAULT_SLM_MODEL") = py::str(defaults::kSlmModel);
  m.attr("DEFAULT_SLM_URL") = py::str(defaults::kSlmUrl);
  m.attr("PLACEHOLDER_PATTERN") = py::str(defaults::kPlaceholderPattern);
}
