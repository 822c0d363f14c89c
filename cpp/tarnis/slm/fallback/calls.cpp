// The server: the health check, and one chat request with its attempts and
// its request and error logs. Lines that reach terminals name batches by
// counts and types; the values are in the logs and in debug lines.
#include "tarnis/slm/fallback/fallback.hpp"

#include <algorithm>
#include "core/slm.hpp"

namespace tarnis::fallback {

// "value(entity_type), ..." for the first three payload items.
// A payload handed to `_call_slm` by other code may hold other things; they
// are shown as they are rather than breaking the failure report.
py::str entities_preview(const std::vector<py::object>& items) {
  py::list parts;
  py::str fmt("{}({})");
  for (size_t i = 0; i < items.size() && i < 3; ++i) {
    py::object part;
    py::object exc = slm::catch_exception([&] {
      py::object value = items[i][g->k_value];
      part = fmt.attr("format")(value[py::slice(0, 20, 1)], items[i][g->k_entity_type]);
    });
    parts.append(exc ? py::str(items[i]) : py::str(part));
  }
  return py::str(", ").attr("join")(parts);
}

// "5 CODE" or "2 CODE, 1 ORGANIZATION": how many payload items of each type,
// in order of first appearance. Lines that reach terminals name the batch
// this way; the values themselves are in the request and error logs.
std::string types_summary(const std::vector<py::object>& items) {
  std::vector<std::pair<std::string, size_t>> counts;
  size_t other = 0;
  for (const py::object& item : items) {
    py::object type = PyDict_Check(item.ptr()) ? dict_get(item, g->k_entity_type) : py::object();
    if (!type || !PyUnicode_Check(type.ptr())) {
      ++other;
      continue;
    }
    std::string name = type.cast<std::string>();
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == name; });
    if (it == counts.end()) {
      counts.emplace_back(name, 1);
    } else {
      ++it->second;
    }
  }
  std::string out;
  for (const auto& [name, n] : counts) out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + name;
  if (other) out += (out.empty() ? "" : ", ") + std::to_string(other) + " other";
  return out.empty() ? std::string("none") : out;
}

namespace {

// What happens to a batch whose request failed: what `_process_verdicts`
// does with it, for the line that reports the failure.
std::string failure_fate(py::handle self, bool is_retry) {
  if (is_retry) return "keeping";
  py::object on_failure = self.attr("on_failure");
  if (equals(on_failure, g->accept)) return "keeping";
  if (equals(on_failure, g->error)) return "raising an error for";
  return "rejecting";
}

std::string failure_why(py::handle self, bool is_retry) {
  if (is_retry) return "retry request: kept as PII";
  return "on_failure=" + text_of(py::repr(self.attr("on_failure")));
}

}  // namespace

bool check_health(py::handle self) {
  py::object base_url = self.attr("base_url");
  py::object model = self.attr("model");
  bool ok = false;
  py::object exc = slm::catch_exception([&] {
    py::object models = self.attr("client").attr("with_options")(py::arg("timeout") = 5.0).attr("models").attr("list")();
    py::list available;
    for (const py::object& m : snapshot(models.attr("data"), "models.data")) available.append(m.attr("id"));
    bool found = available.empty() || contains(available, model) ||
                 contains(available, py::str(model) + py::str(":latest"));
    if (found) {
      self.attr("_slm_available") = true;
      g->log.info("SLM server available at %s (model: %s)", base_url, model);
      ok = true;
      return;
    }
    self.attr("_slm_available") = false;
    py::str message = py::str("SLM model ") + py::repr(model) + py::str(" not found on server at ") +
                      py::str(base_url) + py::str(". Available models: ") + py::str(", ").attr("join")(available);
    self.attr("_health_error") = message;
    g->log.get().attr("warning")(message);
  });
  if (!exc) return ok;
  self.attr("_slm_available") = false;
  py::str error = py::str("SLM server unavailable at ") + py::str(base_url) + py::str(": ") + py::str(exc);
  self.attr("_health_error") = error;
  const char* action = equals(self.attr("on_failure"), g->accept) ? "kept" : "rejected";
  g->log.info(
      "SLM fallback disabled (%s) — low-confidence entities will be %s. To enable, start an OpenAI-compatible "
      "server at that address.",
      error, action);
  return false;
}

void log_request(py::handle self, py::handle payload, py::handle raw_response, py::handle parsed_verdicts,
                 py::handle attempt, py::handle status, py::handle error, py::handle system_prompt,
                 py::handle user_msg, py::handle is_retry) {
  py::object entity_type = g->empty;
  if (PyList_Check(payload.ptr()) && PyList_GET_SIZE(payload.ptr()) > 0) {
    py::object first = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(payload.ptr(), 0));
    if (PyDict_Check(first.ptr())) {
      py::object v = dict_get(first, g->k_entity_type);
      if (v) entity_type = v;
    }
  }
  py::dict entry;
  entry["timestamp"] = slm::now_iso();
  entry["attempt"] = attempt;
  entry["status"] = status;
  entry["is_retry"] = is_retry;
  entry["entity_type"] = entity_type;
  entry["system_prompt"] = system_prompt;
  entry["user_msg"] = user_msg;
  entry["payload"] = payload;
  entry["raw_response"] = raw_response;
  entry["parsed_verdicts"] = parsed_verdicts;
  entry["error"] = error;
  py::object log_dir = self.attr("log_dir");
  py::object exc = slm::catch_exception([&] { slm::append_jsonl(log_dir, "slm_request_log.jsonl", entry); });
  if (exc) g->log.warning("Failed to write SLM request log: %s", exc);
}

// The "results" of an answer must be a list of objects for the verdicts to
// be read; anything else is a failed attempt like an unparsable answer.
void check_results(py::handle results) {
  if (!PyList_Check(results.ptr())) {
    throw py::value_error(std::string("SLM answer \"results\" is not a list but ") + Py_TYPE(results.ptr())->tp_name);
  }
  for (const py::object& v : snapshot(results, "results")) {
    if (!PyDict_Check(v.ptr())) {
      throw py::value_error(std::string("SLM answer \"results\" holds a ") + Py_TYPE(v.ptr())->tp_name +
                            " instead of a verdict object");
    }
  }
}

py::object call_slm(py::handle self, py::handle payload, py::handle entity_type, bool is_retry) {
  std::vector<py::object> items = snapshot(payload, "payload must be a list of items");

  std::string types_line;
  py::object allowed = self.attr("allowed_entity_types");
  py::str entity_types_line = g->empty;
  if (truth(allowed)) {
    py::object members = py::module_::import("builtins").attr("sorted")(
        py::reinterpret_steal<py::object>(PyNumber_Subtract(new_set(allowed).ptr(), g->no_reclassify.ptr())));
    entity_types_line = py::str("Supported entity types: ") + py::str(", ").attr("join")(members) + py::str("\n\n");
  }
  py::object entities_json = pretty_json(payload);
  py::str user_msg = entity_types_line +
                     py::str(self.attr("USER_TEMPLATE").attr("replace")("{entities_json}", entities_json));
  py::object system_prompt = self.attr("_get_system_prompt")(entity_type);

  py::object raw = py::none();
  py::object verdicts = py::none();
  py::object last_exc = py::none();
  py::object log_request_fn = self.attr("_log_request");
  py::bool_ retry_flag(is_retry);

  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    py::object exc = slm::catch_exception([&] {
      py::dict extra = slm::extra_body(self.attr("top_k"), self.attr("extra_body"));
      py::object content = slm::chat_content(slm::ChatRequest{
          self.attr("client"), self.attr("model"), system_prompt, user_msg, self.attr("temperature"),
          self.attr("top_p"), self.attr("presence_penalty"), self.attr("max_tokens"), extra});
      py::object text = (content.is_none() || !truth(content)) ? py::object(g->empty) : content;
      raw = text.attr("strip")();
      if (log_enabled(loglevel::DEBUG)) g->log.debug("[batch] raw SLM response (attempt %d):\n%s", attempt + 1, raw);
      py::object parsed = self.attr("_repair_json")(raw);
      py::object results = parsed[g->k_results];
      check_results(results);
      log_request_fn(payload, raw, results, attempt + 1, "success", py::arg("system_prompt") = system_prompt,
                     py::arg("user_msg") = user_msg, py::arg("is_retry") = retry_flag);
      verdicts = results;
    });
    if (!exc) break;
    last_exc = exc;
    log_request_fn(payload, raw, py::none(), attempt + 1, "error", py::str(exc),
                   py::arg("system_prompt") = system_prompt, py::arg("user_msg") = user_msg,
                   py::arg("is_retry") = retry_flag);
    // The warning names the error and the batch by counts and types only;
    // the values, the full error and the answer are in the request log and
    // in the debug line.
    if (attempt < kMaxAttempts - 1) {
      if (log_enabled(loglevel::WARNING)) {
        g->log.warning("SLM batch failed (attempt %d/%d): %s | entities: [%s] — retrying...", attempt + 1,
                       kMaxAttempts, slm::error_label(exc), types_summary(items));
      }
      if (log_enabled(loglevel::DEBUG)) {
        g->log.debug("SLM batch failed (attempt %d/%d): %s | entities: [%s%s] — retrying...", attempt + 1,
                     kMaxAttempts, exc, entities_preview(items), items.size() > 3 ? "..." : "");
      }
    }
  }
  if (verdicts.is_none()) {
    py::object raw_head = (raw.is_none() || !truth(raw)) ? py::object(g->empty) : py::object(raw[py::slice(0, 200, 1)]);
    const std::string fate = failure_fate(self, is_retry), why = failure_why(self, is_retry);
    if (log_enabled(loglevel::ERROR)) {
      g->log.error("SLM batch FAILED after %d attempts — %s %d entities (%s): [%s] | last error: %s", kMaxAttempts,
                   fate, items.size(), why, types_summary(items), slm::error_label(last_exc));
    }
    if (log_enabled(loglevel::DEBUG)) {
      g->log.debug("SLM batch FAILED after %d attempts — %s %d entities (%s): [%s%s] | last error: %s | raw: %s",
                   kMaxAttempts, fate, items.size(), why, entities_preview(items), items.size() > 3 ? "..." : "",
                   last_exc, raw_head);
    }
    py::dict entry;
    entry["timestamp"] = slm::now_iso();
    entry["error"] = py::str(last_exc);
    entry["raw_response"] = raw;
    entry["payload"] = payload;
    slm::append_jsonl(self.attr("log_dir"), "slm_error_log.jsonl", entry);
  }
  return verdicts;
}

}  // namespace tarnis::fallback
