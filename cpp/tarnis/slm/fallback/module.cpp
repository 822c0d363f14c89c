// Verification of doubtful detections by a small language model on a local
// OpenAI-compatible chat-completion server. Results whose score lies below a
// per-type threshold are sent, grouped by entity type and cut into batches,
// with a few words of context each; the model accepts, rejects or
// reclassifies them. Results the answer leaves out get a second request; a
// batch that gets no answer at all is handled by the `on_failure` policy, and
// after `max_consecutive_failures` such batches in a row the model is no
// longer asked (circuit breaker). The parts are listed in fallback.hpp; this
// file builds the module.
#include "tarnis/slm/fallback/fallback.hpp"

#include "core/defaults.hpp"
#include "core/pyclass.hpp"
#include "core/slm.hpp"

namespace tarnis::fallback {

State* g = nullptr;

[[noreturn]] void raise_unavailable(const std::string& message) {
  PyErr_SetString(g->unavailable.ptr(), message.c_str());
  throw py::error_already_set();
}

py::object new_set(py::handle v) {
  PyObject* s = PySet_New(v.ptr());
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

bool log_enabled(int level) { return truth(g->log.get().attr("isEnabledFor")(level)); }

std::string text_of(py::handle v) { return py::str(v).cast<std::string>(); }

}  // namespace tarnis::fallback

using namespace tarnis::fallback;

PYBIND11_MODULE(fallback, m) {
  m.doc() =
      "Verification of low-confidence detections by a small language model on a local OpenAI-compatible\n"
      "server: routing by entity type and score, batched requests with context, tolerant parsing of the\n"
      "answers, retries, a circuit breaker and JSON-lines logs of every exchange.";
  g = new State();
  g->module = m;

  // What the module works with, bound in its namespace.
  for (const char* name : {"json", "logging", "re"}) m.attr(name) = py::module_::import(name);
  py::module_ dataclasses = py::module_::import("dataclasses");
  py::module_ typing = py::module_::import("typing");
  m.attr("dataclass") = dataclasses.attr("dataclass");
  m.attr("defaultdict") = py::module_::import("collections").attr("defaultdict");
  m.attr("datetime") = py::module_::import("datetime").attr("datetime");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Set"}) m.attr(name) = typing.attr(name);
  m.attr("OpenAI") = py::module_::import("openai").attr("OpenAI");
  m.attr("RecognizerResult") = py::module_::import("presidio_analyzer").attr("RecognizerResult");
  py::module_ prompts = py::module_::import("tarnis.slm.prompts");
  const char* prompt_names[] = {"PERSON_NAME_SYSTEM_PROMPT", "CODE_SYSTEM_PROMPT",   "ORGANIZATION_SYSTEM_PROMPT",
                                "USERNAME_SYSTEM_PROMPT",    "DOMIVIA_SYSTEM_PROMPT", "PASSWORD_SYSTEM_PROMPT"};
  for (const char* name : prompt_names) m.attr(name) = prompts.attr(name);
  g->log = ModuleLogger(m, kModule);

  g->json_dumps = m.attr("json").attr("dumps");
  py::dict marked;
  marked["ensure_ascii"] = false;
  marked["separators"] = py::make_tuple(py::str(",\0", 2), ": ");
  g->marked_kwargs = marked;
  g->round_fn = py::module_::import("builtins").attr("round");
  g->real_cls = py::module_::import("numbers").attr("Real");
  g->pathlike_cls = py::module_::import("os").attr("PathLike");
  g->k_id = py::str("id");
  g->k_entity_type = py::str("entity_type");
  g->k_value = py::str("value");
  g->k_context = py::str("context");
  g->k_score = py::str("score");
  g->k_results = py::str("results");
  g->k_pii = py::str("pii");
  g->k_reason = py::str("reason");
  g->k_recognizer_name = py::str("recognizer_name");
  g->no_name = py::str("<no_name>");
  g->accept = py::str("accept");
  g->error = py::str("error");
  g->empty = py::str("");
  g->invalid_type = py::str("invalid_entity_type");
  g->invalid_type_accept = py::str("invalid_entity_type_accept");
  g->digits = py::int_(3);

  // Data model.
  py::object Optional = typing.attr("Optional");
  py::object field = dataclasses.attr("field");
  py::list cfg_fields;
  cfg_fields.append(py::make_tuple("slm_threshold", py::module_::import("builtins").attr("float")));
  cfg_fields.append(py::make_tuple("context_words", Optional[py::module_::import("builtins").attr("int")],
                                   field(py::arg("default") = py::none())));
  cfg_fields.append(py::make_tuple("filter_sources",
                                   Optional[typing.attr("Set")[py::module_::import("builtins").attr("str")]],
                                   field(py::arg("default") = py::none())));
  cfg_fields.append(py::make_tuple("system_prompt", Optional[py::module_::import("builtins").attr("str")],
                                   field(py::arg("default") = py::none())));
  g->config_cls = make_dataclass(m, "EntityFallbackConfig", cfg_fields, py::str("Per-entity SLM fallback configuration."));

  py::list verdict_fields;
  py::object builtins = py::module_::import("builtins");
  verdict_fields.append(py::make_tuple("result", m.attr("RecognizerResult")));
  verdict_fields.append(py::make_tuple("accepted", builtins.attr("bool")));
  verdict_fields.append(py::make_tuple("reason", builtins.attr("str")));
  verdict_fields.append(py::make_tuple("original_entity_type", builtins.attr("str"), field(py::arg("default") = "")));
  g->verdict_cls = make_dataclass(m, "SLMVerdict", verdict_fields, py::none());

  PyObject* exc = PyErr_NewExceptionWithDoc("tarnis.slm.fallback.SLMUnavailableError",
                                            "Raised when on_failure='error' and the SLM server becomes unavailable.",
                                            PyExc_Exception, nullptr);
  if (!exc) throw py::error_already_set();
  g->unavailable = py::reinterpret_steal<py::object>(exc);
  m.attr("SLMUnavailableError") = g->unavailable;

  // Module constants.
  m.attr("DEFAULT_SLM_MODEL") = py::str(defaults::kSlmModel);
  m.attr("DEFAULT_SLM_URL") = py::str(defaults::kSlmUrl);
  struct Default {
    const char* type;
    py::object threshold;
    py::object context_words;
    bool neural_only;
    const char* prompt;
  };
  py::dict defaults;
  const Default table[] = {
      {"PERSON_NAME", py::float_(0.7), py::int_(10), false, "PERSON_NAME_SYSTEM_PROMPT"},
      {"CODE", py::float_(0.65), py::none(), false, "CODE_SYSTEM_PROMPT"},
      {"ORGANIZATION", py::float_(0.9), py::none(), false, "ORGANIZATION_SYSTEM_PROMPT"},
      {"USERNAME", py::int_(1), py::none(), false, "USERNAME_SYSTEM_PROMPT"},
      {"DOMIVIA", py::float_(0.65), py::none(), true, "DOMIVIA_SYSTEM_PROMPT"},
      {"PASSWORD", py::int_(1), py::none(), false, "PASSWORD_SYSTEM_PROMPT"},
  };
  for (const Default& d : table) {
    py::object sources = py::none();
    if (d.neural_only) {
      py::set s;
      s.add(py::str("SmartGLiNERRecognizer"));
      sources = s;
    }
    defaults[d.type] = g->config_cls(d.threshold, d.context_words, sources, m.attr(d.prompt));
  }
  m.attr("DEFAULT_PER_ENTITY_CONFIG") = defaults;
  py::set slm_types;
  for (const char* t : {"CODE", "USERNAME", "PASSWORD", "ORGANIZATION"}) slm_types.add(py::str(t));
  m.attr("DEFAULT_SLM_ENTITY_TYPES") = slm_types;
  // The entity types a reclassification may name: the catalogue's, in its
  // order (this module imports nothing of the system; a test keeps the two
  // equal).
  {
    py::list catalogue;
    for (const char* t : {"DOMIVIA", "ORGANIZATION", "PERSON_NAME", "USERNAME", "PASSWORD", "EMAIL_ADDRESS",
                          "PHONE_NUMBER", "IBAN_CODE", "CREDIT_CARD", "BIC", "URL", "IP_ADDRESS", "CODE", "CNP", "IDNP"}) {
      catalogue.append(py::str(t));
    }
    m.attr("_CATALOGUE_ENTITY_TYPES") = py::tuple(catalogue);
  }
  py::set no_reclassify;
  no_reclassify.add(py::str("CNP"));
  no_reclassify.add(py::str("IDNP"));
  m.attr("_NO_SLM_RECLASSIFY") = no_reclassify;
  g->no_reclassify = no_reclassify;
  g->unset = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  m.attr("_UNSET") = g->unset;

  m.def(
      "_normalize_entity_config", [](py::object v) { return normalize_entity_config(v); },
      "Return `v` if it is an EntityFallbackConfig, else EntityFallbackConfig(**dict(v)) with\n"
      "`filter_sources` turned into a set.",
      py::arg("v"));

  // The class.
  py::object cls =
      ClassBuilder(m, kClass, py::make_tuple(builtins.attr("object")),
                   "\n    Post-filter layer that routes low-confidence RecognizerResults through\n"
                   "    an OpenAI-compatible local SLM for context-aware verification.\n    ")
          .attr("DEFAULT_SYSTEM_PROMPT", py::str(default_system_prompt()))
          .attr("USER_TEMPLATE", py::str("Entities:\n{entities_json}"))
          .init(
              [m](py::object self, py::object base_url, py::object model, py::object api_key,
                  py::object slm_threshold, py::object context_words, py::object batch_size, py::object max_tokens,
                  py::object filter_sources, py::object per_entity_config, py::object slm_entity_types,
                  py::object allowed_entity_types, py::object temperature, py::object top_p, py::object top_k,
                  py::object presence_penalty, py::object extra_body, py::object log_dir, py::object required,
                  py::object on_failure, py::object max_consecutive_failures, py::object timeout) {
                init(m, self, base_url, model, api_key, slm_threshold, context_words, batch_size, max_tokens,
                     filter_sources, per_entity_config, slm_entity_types, allowed_entity_types, temperature,
                     top_p, top_k, presence_penalty, extra_body, log_dir, required, on_failure,
                     max_consecutive_failures, timeout);
              },
              "Configure the client and the routing; with `required` true, check at once that the server\n"
              "is up and serves `model` (RuntimeError otherwise). `timeout`: seconds each chat request waits\n"
              "for the server (None: the openai client's default); the client tries a request up to\n"
              "1 + its max_retries times and each batch gets up to five attempts.",
              py::arg("base_url") = defaults::kSlmUrl, py::arg("model") = defaults::kSlmModel,
              py::arg("api_key") = "local-no-auth", py::arg("slm_threshold") = 0.4, py::arg("context_words") = 6,
              py::arg("batch_size") = 10, py::arg("max_tokens") = 2048, py::arg("filter_sources") = py::none(),
              py::arg("per_entity_config") = g->unset, py::arg("slm_entity_types") = g->unset,
              py::arg("allowed_entity_types") = py::none(), py::arg("temperature") = 0.7,
              py::arg("top_p") = 0.8, py::arg("top_k") = 20, py::arg("presence_penalty") = 1.5,
              py::arg("extra_body") = py::none(), py::arg("log_dir") = py::none(), py::arg("required") = true,
              py::arg("on_failure") = "accept", py::arg("max_consecutive_failures") = 2, py::kw_only(),
              py::arg("timeout") = py::none())
          .method(
              "check_health", [](py::object self) { return self.attr("_check_health")(); },
              "Ask the server for its models; record in `_slm_available` and return whether `model` is\n"
              "served (False, with the reason in `health_error`, when the server cannot be reached).\n"
              "Runs `_check_health`, the hook `filter` calls, so a subclass's override is honoured.")
          .attr("health_error",
                builtins.attr("property")(
                    py::cpp_function([](py::object self) -> py::object {
                      PyObject* v = PyObject_GetAttrString(self.ptr(), "_health_error");
                      if (v) return py::reinterpret_steal<py::object>(v);
                      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
                      PyErr_Clear();
                      return py::none();
                    }, py::arg("self")),
                    py::none(), py::none(),
                    "Why the last health check failed (a message), None when it succeeded or before it."))
          .method(
              "partition", [](py::object self, py::object results) { return self.attr("_split")(results); },
              "Return (certain, ambiguous): the results the model would not be asked about, and those it\n"
              "would, as `filter` divides them. Runs `_split`, the hook `filter` calls.",
              py::arg("results"))
          .method(
              "_check_health", [](py::object self) { return check_health(self); },
              "Ask the server for its models; record and return whether `model` is served.")
          .method(
              "_split", [](py::object self, py::object results) { return split(self, results); },
              "Return (certain, ambiguous): the results the SLM is not asked about, and those it is.",
              py::arg("results"))
          .method(
              "_batches", [](py::object self, py::object items) { return batches(self, items); },
              "Cut `items` into consecutive batches of `batch_size`.", py::arg("items"))
          .method(
              "_get_system_prompt",
              [](py::object self, py::object entity_type) { return get_system_prompt(self, entity_type); },
              "The system prompt for one entity type.", py::arg("entity_type"))
          .method(
              "_context", [](py::object self, py::object text, py::object result) { return context(self, text, result); },
              "The span with a few words of context on each side, marked as >>>span<<<.", py::arg("text"),
              py::arg("result"))
          .method(
              "_call_slm",
              [](py::object self, py::object payload, py::object entity_type, py::object is_retry) {
                return call_slm(self, payload, entity_type, truth(is_retry));
              },
              "Send one payload (up to five attempts) and return the verdict list, or None when every\n"
              "attempt failed.",
              py::arg("payload"), py::arg("entity_type"), py::arg("is_retry") = false)
          .method(
              "_repair_json", [](py::object, py::object raw) { return slm::repair_json(raw, true); },
              "Parse a model answer into a JSON object, repairing common defects; ValueError when it cannot.",
              py::arg("raw"))
          .method(
              "_log_request",
              [](py::object self, py::object payload, py::object raw_response, py::object parsed_verdicts,
                 py::object attempt, py::object status, py::object error, py::object system_prompt,
                 py::object user_msg, py::object is_retry) {
                log_request(self, payload, raw_response, parsed_verdicts, attempt, status, error, system_prompt,
                            user_msg, is_retry);
              },
              "Append one entry to the request log; a failed write costs a warning only.", py::arg("payload"),
              py::arg("raw_response"), py::arg("parsed_verdicts"), py::arg("attempt"), py::arg("status"),
              py::arg("error") = py::none(), py::arg("system_prompt") = py::none(),
              py::arg("user_msg") = py::none(), py::arg("is_retry") = false)
          .method(
              "_verify_batch",
              [](py::object self, py::object text, py::object batch) { return verify_batch(self, text, batch); },
              "Verify one batch of results from one document; return the results kept.", py::arg("text"),
              py::arg("batch"))
          .method(
              "_verify_batch_multi",
              [](py::object self, py::object batch_items) { return verify_batch_multi(self, batch_items); },
              "Verify one batch of (text, result) pairs; return the results kept.", py::arg("batch_items"))
          .method(
              "_process_verdicts",
              [](py::object self, py::object verdicts, py::object batch, py::object batch_items) {
                return process_verdicts(self, verdicts, batch, batch_items);
              },
              "Apply a verdict list (None: the request failed) to a batch; return the results kept.",
              py::arg("verdicts"), py::arg("batch"), py::arg("batch_items"))
          .method(
              "filter", [](py::object self, py::object text, py::object results) { return filter(self, text, results); },
              "Return the certain results followed by the ambiguous ones the SLM keeps.", py::arg("text"),
              py::arg("results"))
          .method(
              "filter_multi",
              [](py::object self, py::object items, py::object progress_callback) {
                filter_multi(self, items, progress_callback);
              },
              "Verify the ambiguous results of (text, result) pairs from many documents in shared batches;\n"
              "the outcome is in `last_verdicts` and in the reclassified results' `entity_type`.",
              py::arg("items"), py::arg("progress_callback") = py::none())
          .finish();
  g->context_method = NativeMethod(cls, "_context");
}
