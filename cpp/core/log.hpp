// Logging through Python's `logging`: messages keep their %-style arguments so
// that formatting only happens when a handler wants the record.
#pragma once

#include <utility>

#include <pybind11/pybind11.h>

namespace tarnis::core {

namespace py = pybind11;

namespace loglevel {
inline constexpr int DEBUG = 10;
inline constexpr int INFO = 20;
inline constexpr int WARNING = 30;
inline constexpr int ERROR = 40;
}  // namespace loglevel

// The logger bound as `logger` in a module's namespace. Looked up at each use,
// so that a host or a test that replaces the module attribute is honoured.
class ModuleLogger {
 public:
  ModuleLogger() = default;
  // Creates logging.getLogger(name) and binds it as `module.logger`.
  ModuleLogger(py::module_ module, const char* name);
  // For a module whose `logger` is already bound.
  static ModuleLogger of(py::module_ module) {
    ModuleLogger l;
    l.module_ = std::move(module);
    return l;
  }

  py::object get() const { return module_.attr("logger"); }

  template <class... Args>
  void log(int level, const char* fmt, Args&&... args) const {
    py::object logger = get();
    const int enabled = PyObject_IsTrue(logger.attr("isEnabledFor")(level).ptr());
    if (enabled < 0) throw py::error_already_set();
    if (!enabled) return;
    logger.attr("log")(level, fmt, std::forward<Args>(args)...);
  }
  template <class... Args>
  void debug(const char* fmt, Args&&... args) const { log(loglevel::DEBUG, fmt, std::forward<Args>(args)...); }
  template <class... Args>
  void info(const char* fmt, Args&&... args) const { log(loglevel::INFO, fmt, std::forward<Args>(args)...); }
  template <class... Args>
  void warning(const char* fmt, Args&&... args) const { log(loglevel::WARNING, fmt, std::forward<Args>(args)...); }
  template <class... Args>
  void error(const char* fmt, Args&&... args) const { log(loglevel::ERROR, fmt, std::forward<Args>(args)...); }

 private:
  py::module_ module_;
};

}  // namespace tarnis::core
