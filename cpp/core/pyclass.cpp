#include "core/pyclass.hpp"

namespace tarnis::core {

ClassBuilder::ClassBuilder(py::module_ module, const char* name, py::tuple bases, const char* doc)
    : module_(std::move(module)), name_(name), bases_(std::move(bases)) {
  ns_["__module__"] = module_.attr("__name__");
  ns_["__qualname__"] = py::str(name);
  ns_["__doc__"] = py::str(doc);
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
  ns_[name] = std::move(value);
  return *this;
}

py::object ClassBuilder::finish() {
  for (auto& entry : pending_) ns_[py::str(entry.first)] = entry.second;
  py::object type = py::module_::import("builtins").attr("type");
  py::object cls = type(py::str(name_), bases_, ns_);
  module_.attr(name_.c_str()) = cls;
  return cls;
}

double float_attr(py::handle obj, const char* name) {
  py::object v = obj.attr(name);
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

}  // namespace tarnis::core
