// The constructor of SLMFallback and the checks of its arguments: every
// setting is checked once, when the instance is built, instead of failing
// in the middle of a document.
#include "tarnis/slm/fallback/fallback.hpp"

#include <string>

namespace tarnis::fallback {

namespace {

const char* const kDefaultPromptLines[] = {
    "You are a Romanian document analyzer specialized in privacy compliance (GDPR and Moldova Law 133/2011).",
    "",
    "Your task is to determine whether a flagged text span is personally identifiable information (PII) that must "
    "be anonymized, or a non-personal reference (non-PII) that should be left unchanged.",
    "",
    "Rules:",
    "- PII includes: full names, partial names, addresses, phone numbers, emails, personal identification codes "
    "(IDNP/CNP), document numbers tied to individuals, company names linked to identifiable persons, and any data "
    "that can directly or indirectly identify a natural person.",
    "- Non-PII includes: generic titles, common nouns, legislative references, general descriptions, publicly known "
    "institution names used in a generic context, and abstract or statistical data.",
    "- Context matters: the same text span may be PII or non-PII depending on surrounding context. Evaluate each "
    "entity in its context.",
    "- When in doubt, prefer PII (err on the side of anonymization).",
    "- If the entity was misclassified (wrong entity_type), set \"entity_type\" to the correct type from the "
    "supported list. Otherwise omit it or set it to null.",
    "",
    "Respond only in JSON. No explanation outside the JSON object.",
    "Keep each \"reason\" under 15 words.",
    "{\"results\": [{\"id\": <int>, \"reason\": \"<max 15 words>\", \"pii\": <bool>, \"entity_type\": \"<string or "
    "null>\"}]}",
};

void require_str_members(py::handle set, const char* func, const char* arg) {
  for (const py::object& s : snapshot(set, arg)) {
    if (!PyUnicode_Check(s.ptr())) {
      throw py::type_error(std::string(func) + "() argument '" + arg + "' must hold only str, not " +
                           Py_TYPE(s.ptr())->tp_name);
    }
  }
}

void require_str_set_or_none(py::handle v, const char* func, const char* arg) {
  if (v.is_none()) return;
  if (!PyAnySet_Check(v.ptr())) raise_type_error(func, arg, "a set or None", v);
  require_str_members(v, func, arg);
}

Py_ssize_t require_count(py::handle v, const char* func, const char* arg, Py_ssize_t minimum) {
  require_int(v, func, arg);
  const Py_ssize_t n = PyNumber_AsSsize_t(v.ptr(), nullptr);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (n < minimum) {
    throw py::value_error(std::string(func) + "() argument '" + arg + "' must be at least " +
                          std::to_string(minimum) + ", got " + text_of(py::repr(v)));
  }
  return n;
}

// The fields of a per-entity config must be usable by the routing and the
// requests; checked once at construction instead of failing mid-document.
void check_entity_config(py::handle key, py::handle cfg) {
  const char* fn = kClass;
  const std::string where = "per_entity_config[" + text_of(py::repr(key)) + "]";
  if (!PyUnicode_Check(key.ptr())) raise_type_error(fn, "per_entity_config key", "str", key);
  require_real(cfg.attr("slm_threshold"), fn, (where + ".slm_threshold").c_str());
  py::object cw = cfg.attr("context_words");
  if (!cw.is_none()) require_count(cw, fn, (where + ".context_words").c_str(), 0);
  py::object sources = cfg.attr("filter_sources");
  if (!sources.is_none()) {
    if (!PyAnySet_Check(sources.ptr())) raise_type_error(fn, (where + ".filter_sources").c_str(), "a set or None", sources);
    require_str_members(sources, fn, (where + ".filter_sources").c_str());
  }
  py::object prompt = cfg.attr("system_prompt");
  if (!prompt.is_none() && !PyUnicode_Check(prompt.ptr())) {
    raise_type_error(fn, (where + ".system_prompt").c_str(), "str or None", prompt);
  }
}

}  // namespace

// First line flush left, the others indented by eight spaces (blank lines
// stay empty), ending in a newline and the indentation.
std::string default_system_prompt() {
  std::string out;
  bool first = true;
  for (const char* line : kDefaultPromptLines) {
    if (!first) {
      out += "\n";
      if (*line) out += "        ";
    }
    out += line;
    first = false;
  }
  out += "\n        ";
  return out;
}

void require_real(py::handle v, const char* func, const char* arg) {
  const int ok = PyObject_IsInstance(v.ptr(), g->real_cls.ptr());
  if (ok < 0) throw py::error_already_set();
  if (!ok) raise_type_error(func, arg, "a real number", v);
}

py::object normalize_entity_config(py::handle v) {
  const int is_cfg = PyObject_IsInstance(v.ptr(), g->config_cls.ptr());
  if (is_cfg < 0) throw py::error_already_set();
  if (is_cfg) return py::reinterpret_borrow<py::object>(v);
  py::dict d = py::reinterpret_steal<py::dict>(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), v.ptr()));
  if (!d) throw py::error_already_set();
  py::str key("filter_sources");
  py::object sources = dict_get(d, key);
  if (sources && !sources.is_none()) {
    PyObject* s = PySet_New(sources.ptr());
    if (!s) throw py::error_already_set();
    set_item(d, key, py::reinterpret_steal<py::object>(s));
  }
  return g->config_cls(**d);
}

void init(py::module_ m, py::object self, py::object base_url, py::object model, py::object api_key,
          py::object slm_threshold, py::object context_words, py::object batch_size, py::object max_tokens,
          py::object filter_sources, py::object per_entity_config, py::object slm_entity_types,
          py::object allowed_entity_types, py::object temperature, py::object top_p, py::object top_k,
          py::object presence_penalty, py::object extra_body, py::object log_dir, py::object required,
          py::object on_failure, py::object max_consecutive_failures, py::object timeout) {
  const char* fn = kClass;
  require_str(base_url, fn, "base_url");
  require_str(model, fn, "model");
  if (!api_key.is_none()) require_str(api_key, fn, "api_key");
  require_real(slm_threshold, fn, "slm_threshold");
  require_count(context_words, fn, "context_words", 0);
  require_count(batch_size, fn, "batch_size", 1);
  require_int(max_tokens, fn, "max_tokens");
  require_str_set_or_none(filter_sources, fn, "filter_sources");
  if (!per_entity_config.is(g->unset) && !per_entity_config.is_none() &&
      !PyObject_HasAttrString(per_entity_config.ptr(), "items")) {
    raise_type_error(fn, "per_entity_config", "a dict of EntityFallbackConfig or None", per_entity_config);
  }
  if (!slm_entity_types.is(g->unset) && !slm_entity_types.is_none()) {
    if (PyUnicode_Check(slm_entity_types.ptr()) || PyBytes_Check(slm_entity_types.ptr()) ||
        !PyObject_HasAttrString(slm_entity_types.ptr(), "__iter__")) {
      raise_type_error(fn, "slm_entity_types", "a set of str or None", slm_entity_types);
    }
    require_str_members(slm_entity_types, fn, "slm_entity_types");
  }
  require_str_set_or_none(allowed_entity_types, fn, "allowed_entity_types");
  require_real(temperature, fn, "temperature");
  require_real(top_p, fn, "top_p");
  require_int(top_k, fn, "top_k");
  require_real(presence_penalty, fn, "presence_penalty");
  require_dict_or_none(extra_body, fn, "extra_body");
  if (!log_dir.is_none() && !PyUnicode_Check(log_dir.ptr())) {
    const int ok = PyObject_IsInstance(log_dir.ptr(), g->pathlike_cls.ptr());
    if (ok < 0) throw py::error_already_set();
    if (!ok) raise_type_error(fn, "log_dir", "a path (str or os.PathLike) or None", log_dir);
  }
  const bool is_required = truth(required);
  require_str(on_failure, fn, "on_failure");
  require_int(max_consecutive_failures, fn, "max_consecutive_failures");
  if (!timeout.is_none()) {
    require_real(timeout, fn, "timeout");
    const double t = to_float(timeout, fn, "timeout");
    if (!(t > 0)) throw py::value_error("SLMFallback() argument 'timeout' must be a positive number of seconds or None, got " + text_of(py::repr(timeout)));
  }

  // The per-entity configs are normalized and checked before anything is
  // stored or any connection is made.
  py::dict configs;
  if (per_entity_config.is(g->unset)) {
    PyObject* copy = PyDict_Copy(m.attr("DEFAULT_PER_ENTITY_CONFIG").ptr());
    if (!copy) throw py::error_already_set();
    configs = py::reinterpret_steal<py::dict>(copy);
  } else if (truth(per_entity_config)) {
    py::object normalize = m.attr("_normalize_entity_config");
    for (const py::object& item : snapshot(per_entity_config.attr("items")(), "per_entity_config items")) {
      set_item(configs, item[py::int_(0)], normalize(item[py::int_(1)]));
    }
  }
  for (const py::object& item : snapshot(configs.attr("items")(), "per_entity_config items")) {
    check_entity_config(item[py::int_(0)], item[py::int_(1)]);
  }

  self.attr("base_url") = base_url;
  // Chat requests wait `timeout` seconds for the server (the client's own
  // default when None); the health check keeps its 5 seconds.
  if (timeout.is_none()) {
    self.attr("client") = m.attr("OpenAI")(py::arg("api_key") = api_key, py::arg("base_url") = base_url);
  } else {
    self.attr("client") = m.attr("OpenAI")(py::arg("api_key") = api_key, py::arg("base_url") = base_url,
                                           py::arg("timeout") = py::float_(to_float(timeout, fn, "timeout")));
  }
  self.attr("model") = model;
  self.attr("slm_threshold") = py::float_(to_float(slm_threshold, fn, "slm_threshold"));
  self.attr("context_words") = context_words;
  self.attr("batch_size") = batch_size;
  self.attr("max_tokens") = max_tokens;
  self.attr("filter_sources") = filter_sources;
  self.attr("per_entity_config") = configs;
  if (slm_entity_types.is(g->unset)) {
    self.attr("slm_entity_types") = new_set(m.attr("DEFAULT_SLM_ENTITY_TYPES"));
  } else if (slm_entity_types.is_none()) {
    self.attr("slm_entity_types") = py::none();
  } else {
    self.attr("slm_entity_types") = new_set(slm_entity_types);
  }
  self.attr("allowed_entity_types") = allowed_entity_types;
  self.attr("temperature") = py::float_(to_float(temperature, fn, "temperature"));
  self.attr("top_p") = py::float_(to_float(top_p, fn, "top_p"));
  self.attr("top_k") = top_k;
  self.attr("presence_penalty") = py::float_(to_float(presence_penalty, fn, "presence_penalty"));
  self.attr("extra_body") = extra_body;
  self.attr("log_dir") = truth(log_dir) ? log_dir : m.attr("Path")("results");
  self.attr("last_verdicts") = py::list();
  self.attr("on_failure") = on_failure;
  self.attr("max_consecutive_failures") = max_consecutive_failures;
  self.attr("timeout") = timeout.is_none() ? py::object(py::none()) : py::object(py::float_(to_float(timeout, fn, "timeout")));
  self.attr("_slm_available") = py::none();
  self.attr("_health_error") = py::none();
  self.attr("_consecutive_failures") = 0;

  if (is_required && !truth(self.attr("_check_health")())) {
    PyErr_SetObject(PyExc_RuntimeError, self.attr("_health_error").ptr());
    throw py::error_already_set();
  }
}

py::object make_dataclass(py::module_ m, const char* name, py::list fields, py::object doc) {
  py::module_ dataclasses = py::module_::import("dataclasses");
  py::dict ns;
  if (!doc.is_none()) ns["__doc__"] = doc;
  py::object cls = dataclasses.attr("make_dataclass")(name, fields, py::arg("namespace") = ns);
  cls.attr("__module__") = m.attr("__name__");
  cls.attr("__qualname__") = name;
  m.attr(name) = cls;
  return cls;
}

}  // namespace tarnis::fallback
