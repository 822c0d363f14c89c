#include "core/native.hpp"

namespace tarnis::core {

namespace {

// The function a class attribute or an attribute of an instance stands for:
// the function of a bound method (bound to `self`), of an instance method
// (as pybind11 stores methods) or of a static method; anything else itself.
PyObject* function_of(PyObject* v, PyObject* self) {
  if (PyMethod_Check(v)) return PyMethod_GET_SELF(v) == self ? PyMethod_GET_FUNCTION(v) : v;
  if (PyInstanceMethod_Check(v)) return PyInstanceMethod_GET_FUNCTION(v);
  return v;
}

}  // namespace

NativeMethod::NativeMethod(py::handle cls, const char* name) : name_(name) {
  py::object raw = py::reinterpret_borrow<py::object>(cls).attr("__dict__")[name];
  py::object fn;
  if (PyObject_TypeCheck(raw.ptr(), &PyStaticMethod_Type)) {
    fn = raw.attr("__func__");
  } else {
    fn = py::reinterpret_borrow<py::object>(function_of(raw.ptr(), nullptr));
  }
  function_ = fn.release().ptr();  // leaked on purpose, as the class is
}

py::object NativeMethod::override_in(py::handle self) const {
  py::object bound = self.attr(name_);
  if (function_of(bound.ptr(), self.ptr()) == function_) return py::object();
  return bound;
}

}  // namespace tarnis::core
