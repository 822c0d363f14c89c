#include "core/log.hpp"

namespace tarnis::core {

ModuleLogger::ModuleLogger(py::module_ module, const char* name) : module_(std::move(module)) {
  module_.attr("logger") = py::module_::import("logging").attr("getLogger")(name);
}

}  // namespace tarnis::core
