// The entity catalogue: entity types, which of them are active or rely on the
// SLM stages, default thresholds, and the mapping from the neural model's
// labels to entity types.
#include <pybind11/pybind11.h>

#include "core/checks.hpp"
#include "core/log.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

py::list str_list(std::initializer_list<const char*> items) {
  py::list out;
  for (const char* s : items) out.append(py::str(s));
  return out;
}

py::dict resolve_entity_thresholds(py::module_ m, py::object thresholds) {
  require_dict(thresholds, "resolve_entity_thresholds", "thresholds");
  // A shallow copy in default order (py::dict(obj) would alias a dict, not copy it).
  py::dict defaults = m.attr("_ALL_GLINER_ENTITY_THRESHOLDS");
  py::dict result = py::reinterpret_steal<py::dict>(PyDict_Copy(defaults.ptr()));
  if (!result) throw py::error_already_set();
  py::dict by_type = thresholds;
  py::dict mapping = m.attr("GLINER_ENTITY_MAPPING");
  for (auto item : mapping) {
    if (by_type.contains(item.second)) result[item.first] = by_type[item.second];
  }
  return result;
}

}  // namespace

PYBIND11_MODULE(analyzer, m) {
  m.doc() =
      "Entity catalogue and thresholds: the entity types the recognizers emit, the types that rely\n"
      "on SLM verification, default per-type thresholds, and the mapping from GLiNER labels to\n"
      "entity types with a threshold per label.";

  ModuleLogger(m, "tarnis.analyzer");

  py::set disabled;
  m.attr("DISABLED_ENTITIES") = disabled;
  py::set slm_dependent;
  for (const char* t : {"USERNAME", "PASSWORD", "ORGANIZATION"}) slm_dependent.add(py::str(t));
  m.attr("SLM_DEPENDENT_ENTITIES") = slm_dependent;

  py::list all_entities = str_list({"DOMIVIA", "ORGANIZATION", "PERSON_NAME", "USERNAME", "PASSWORD",
                                    "EMAIL_ADDRESS", "PHONE_NUMBER", "IBAN_CODE", "CREDIT_CARD", "BIC", "URL",
                                    "IP_ADDRESS", "CODE", "CNP"});
  m.attr("_ALL_ENTITIES") = all_entities;

  py::list entities;
  for (auto e : all_entities) {
    if (!disabled.contains(e)) entities.append(e);
  }
  m.attr("ENTITIES") = entities;

  py::list entities_no_slm;
  for (auto e : entities) {
    if (!slm_dependent.contains(e)) entities_no_slm.append(e);
  }
  m.attr("ENTITIES_NO_SLM") = entities_no_slm;

  py::dict all_mapping;
  all_mapping["street address"] = "DOMIVIA";
  all_mapping["companie"] = "ORGANIZATION";
  all_mapping["organizație"] = "ORGANIZATION";
  all_mapping["instituție"] = "ORGANIZATION";
  all_mapping["persoană"] = "PERSON_NAME";
  all_mapping["parola"] = "PASSWORD";
  all_mapping["social media handle"] = "USERNAME";
  all_mapping["account username or login name"] = "USERNAME";
  m.attr("_ALL_GLINER_ENTITY_MAPPING") = all_mapping;

  py::dict mapping;
  for (auto item : all_mapping) {
    if (!disabled.contains(item.second)) mapping[item.first] = item.second;
  }
  m.attr("GLINER_ENTITY_MAPPING") = mapping;

  py::dict all_thresholds;
  all_thresholds["persoană"] = 0.2;
  all_thresholds["companie"] = 0.2;
  all_thresholds["organizație"] = 0.2;
  all_thresholds["instituție"] = 0.2;
  all_thresholds["street address"] = 0.5;
  all_thresholds["social media handle"] = 0.2;
  all_thresholds["account username or login name"] = 0.2;
  all_thresholds["parola"] = 0.45;
  m.attr("_ALL_GLINER_ENTITY_THRESHOLDS") = all_thresholds;

  py::dict thresholds;
  for (auto item : all_thresholds) {
    if (mapping.contains(item.first)) thresholds[item.first] = item.second;
  }
  m.attr("GLINER_ENTITY_THRESHOLDS") = thresholds;

  py::dict defaults;
  defaults["PERSON_NAME"] = 0.2;
  defaults["ORGANIZATION"] = 0.2;
  defaults["DOMIVIA"] = 0.5;
  defaults["USERNAME"] = 0.2;
  defaults["PASSWORD"] = 0.45;
  m.attr("DEFAULT_ENTITY_THRESHOLDS") = defaults;

  m.def(
      "resolve_entity_thresholds", [m](py::object thresholds) { return resolve_entity_thresholds(m, thresholds); },
      py::arg("thresholds"),
      "Turn per-entity-type thresholds into per-GLiNER-label thresholds.\n\n"
      "Starts from the default threshold of every label and, for each label whose entity type\n"
      "is a key of `thresholds`, uses that value. Returns a new dictionary.");
}
