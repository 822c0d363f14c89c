// "The native path unless a method was overridden": a module that defines a
// class from C++ may run a method's work inline, without a Python call, as
// long as an instance still uses the class's own method. NativeMethod
// remembers that method when the class is built and tells, for an instance,
// whether a subclass or the instance itself has put another in its place.
#pragma once

#include <pybind11/pybind11.h>

namespace tarnis::core {

namespace py = pybind11;

class NativeMethod {
 public:
  NativeMethod() = default;
  // `cls.__dict__[name]` as the class was built (a method, a static method
  // or a plain function). Kept for the life of the process.
  NativeMethod(py::handle cls, const char* name);

  // Empty while `self.<name>` is still the class's own method (the native
  // path may be taken); otherwise `self.<name>` itself, to be called.
  py::object override_in(py::handle self) const;
  bool used_by(py::handle self) const { return !override_in(self); }

 private:
  const char* name_ = nullptr;
  PyObject* function_ = nullptr;
};

}  // namespace tarnis::core
