// The parts of tarnis.slm.fallback, shared by its source files:
//   config.cpp    the constructor, its argument checks, the data classes
//   routing.cpp   which results the model is asked about, and batches
//   payload.cpp   the context of a span and the request payload
//   calls.cpp     the health check and the chat request with its attempts
//   verdicts.cpp  the model's verdicts applied, retries, the circuit breaker
//   filter.cpp    the entry points filter and filter_multi
//   module.cpp    the module: constants, data model and bindings
//
// Results passed in belong to the caller: the only thing written into them is
// the `entity_type` of a result the model reclassifies.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "core/checks.hpp"
#include "core/log.hpp"
#include "core/native.hpp"
#include "core/objects.hpp"

namespace tarnis::fallback {

namespace py = pybind11;
using namespace tarnis::core;

inline constexpr const char* kModule = "tarnis.slm.fallback";
inline constexpr const char* kClass = "SLMFallback";
inline constexpr int kMaxAttempts = 5;

// Objects built once at import. Leaked on purpose: they hold Python objects
// that must not be released after the interpreter has shut down.
struct State {
  py::module_ module;
  ModuleLogger log;
  py::object config_cls, verdict_cls, unavailable, unset, no_reclassify;
  py::object json_dumps, marked_kwargs, round_fn, real_cls, pathlike_cls;
  NativeMethod context_method;  // SLMFallback._context as defined here
  py::str k_id, k_entity_type, k_value, k_context, k_score, k_results, k_pii, k_reason, k_recognizer_name;
  py::str no_name, accept, error, empty, invalid_type, invalid_type_accept;
  py::int_ digits;
};
extern State* g;

// Small helpers of the module (module.cpp).
[[noreturn]] void raise_unavailable(const std::string& message);
// set(v): always a new set, never `v` itself.
py::object new_set(py::handle v);
bool log_enabled(int level);
std::string text_of(py::handle v);

// Configuration (config.cpp).
std::string default_system_prompt();
void require_real(py::handle v, const char* func, const char* arg);
py::object normalize_entity_config(py::handle v);
void init(py::module_ m, py::object self, py::object base_url, py::object model, py::object api_key,
          py::object slm_threshold, py::object context_words, py::object batch_size, py::object max_tokens,
          py::object filter_sources, py::object per_entity_config, py::object slm_entity_types,
          py::object allowed_entity_types, py::object temperature, py::object top_p, py::object top_k,
          py::object presence_penalty, py::object extra_body, py::object log_dir, py::object required,
          py::object on_failure, py::object max_consecutive_failures, py::object timeout);
py::object make_dataclass(py::module_ m, const char* name, py::list fields, py::object doc);

// Routing (routing.cpp).
struct Route {
  bool eligible = false;
  py::object threshold;
  bool any_source = true;
  std::vector<py::object> sources;
};

// Routing rules per entity type, worked out once per call from the instance
// settings and the per-entity configs.
class Router {
 public:
  explicit Router(py::handle self)
      : types_(self.attr("slm_entity_types")),
        configs_(self.attr("per_entity_config")),
        threshold_(self.attr("slm_threshold")),
        sources_(self.attr("filter_sources")) {}

  const Route& route_for(py::handle entity_type);

 private:
  py::object types_, configs_, threshold_, sources_;
  py::dict index_;
  std::vector<Route> routes_;
};

struct Decision {
  bool eligible, in_band, source_match;
  py::object name;
};

// `want_name`: the recognizer name is wanted even when no source filter needs it.
Decision decide(Router& router, py::handle r, bool want_name);
py::tuple split(py::handle self, py::handle results);
Py_ssize_t batch_size_of(py::handle self);
py::list batches(py::handle self, py::handle items);

// Payload (payload.cpp).
// text[result.start:result.end]
py::str span_text(py::handle text, py::handle result);
py::str context(py::handle self, py::handle text, py::handle result);
// One payload item per pair, ids counted from 0, in order.
py::list build_payload(py::handle self, const std::vector<py::object>& texts, const std::vector<py::object>& results);
py::str pretty_json(py::handle obj);
py::object get_system_prompt(py::handle self, py::handle entity_type);

// Calls (calls.cpp).
py::str entities_preview(const std::vector<py::object>& items);
std::string types_summary(const std::vector<py::object>& items);
bool check_health(py::handle self);
void log_request(py::handle self, py::handle payload, py::handle raw_response, py::handle parsed_verdicts,
                 py::handle attempt, py::handle status, py::handle error, py::handle system_prompt,
                 py::handle user_msg, py::handle is_retry);
py::object call_slm(py::handle self, py::handle payload, py::handle entity_type, bool is_retry);

// Verdicts (verdicts.cpp).
py::object verdict_record(py::handle r, bool accepted, py::handle reason, py::handle original);
py::list process_verdicts(py::handle self, py::handle verdicts, py::handle batch_arg, py::handle items_arg);

// Entry points (filter.cpp).
py::object verify_batch(py::handle self, py::handle text, py::handle batch_arg);
py::object verify_batch_multi(py::handle self, py::handle items_arg);
py::object filter(py::handle self, py::handle text, py::handle results);
void filter_multi(py::handle self, py::handle items_arg, py::handle progress_callback);

}  // namespace tarnis::fallback
