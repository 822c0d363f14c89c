// The model's verdicts applied to a batch: accepted, rejected and
// reclassified results, a second request for those the answer left without
// a usable verdict, and the circuit breaker for batches without an answer.
#include "tarnis/slm/fallback/fallback.hpp"

namespace tarnis::fallback {

namespace {

// The keys of a verdict as the model wrote them, for a terminal: the names
// of the verdict format are shown, anything else the model invented only
// counted. `all_known` tells whether nothing was left out.
std::string shown_keys(py::handle verdict, bool* all_known) {
  static const char* const kKnown[] = {"id", "reason", "pii", "entity_type"};
  py::list known;
  size_t other = 0;
  for (const py::object& k : snapshot(py::list(verdict.attr("keys")()), "verdict keys")) {
    bool ok = false;
    if (PyUnicode_Check(k.ptr())) {
      for (const char* name : kKnown) ok = ok || equals(k, py::str(name));
    }
    if (ok) {
      known.append(k);
    } else {
      ++other;
    }
  }
  *all_known = other == 0;
  std::string out = text_of(py::repr(known));
  if (other) out += " and " + std::to_string(other) + " other key" + (other == 1 ? "" : "s");
  return out;
}

// A verdict's id as a position in a batch of `n`, or -1 when it is absent,
// not an integer or out of range.
Py_ssize_t verdict_id(py::handle v, size_t n) {
  py::object id = dict_get(v, g->k_id);
  if (!id || !PyLong_Check(id.ptr())) return -1;
  int overflow = 0;
  const long long i = PyLong_AsLongLongAndOverflow(id.ptr(), &overflow);
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow || i < 0 || static_cast<unsigned long long>(i) >= n) return -1;
  return static_cast<Py_ssize_t>(i);
}

enum class Reclass { kept, reclassified, invalid };

// Sets r.entity_type to the model's corrected type when that is allowed.
// A corrected type must be a type of the catalogue: the type becomes the
// placeholder's name, so anything else the model writes there (a made-up
// name, brackets, a number, a list) makes the verdict unusable for this
// result (`invalid`; the result is not touched). A catalogue type that the
// SLM may not assign, or that `allowed_entity_types` leaves out, is ignored
// and the result keeps its type.
Reclass maybe_reclassify(py::handle self, py::handle v, py::handle r) {
  py::object new_type = dict_get(v, g->k_entity_type);
  if (!new_type || !truth(new_type)) return Reclass::kept;
  if (!PyUnicode_Check(new_type.ptr()) || !contains(g->module.attr("_CATALOGUE_ENTITY_TYPES"), new_type)) {
    return Reclass::invalid;
  }
  if (contains(g->no_reclassify, new_type)) return Reclass::kept;
  if (equals(new_type, r.attr("entity_type"))) return Reclass::kept;
  py::object allowed = self.attr("allowed_entity_types");
  if (!allowed.is_none() && !contains(allowed, new_type)) return Reclass::kept;
  r.attr("entity_type") = new_type;
  return Reclass::reclassified;
}

}  // namespace

py::object verdict_record(py::handle r, bool accepted, py::handle reason, py::handle original) {
  return g->verdict_cls(r, py::bool_(accepted), reason, original);
}

// A verdict that accepts a result under a type outside the catalogue gives
// no usable answer for it: the result follows `on_failure` like one of a
// batch without an answer, keeping its type (kept with "accept", dropped
// with a reject policy, SLMUnavailableError with "error").
void unusable_type(py::handle self, py::handle v, py::handle r, size_t idx, py::handle before, py::handle span,
                   py::list& kept, py::handle last_verdicts, bool debug, const char* pass) {
  py::object on_failure = self.attr("on_failure");
  const bool error = equals(on_failure, g->error);
  const bool accept = equals(on_failure, g->accept);
  const char* fate = accept ? "kept" : (error ? "error" : "rejected");
  g->log.warning("[%s] INVALID_TYPE  id=%d  %s  (the model named a type outside the catalogue; on_failure=%r: %s)",
                 pass, idx, r.attr("entity_type"), on_failure, fate);
  if (debug) {
    g->log.debug("[%s] INVALID_TYPE  id=%d  %s=%r  entity_type=%r", pass, idx, r.attr("entity_type"), span,
                 dict_get(v, g->k_entity_type));
  }
  if (error) {
    raise_unavailable("SLM answer for a " + text_of(before) + " result names an entity type outside the catalogue"
                      " and on_failure='error'");
  }
  append(last_verdicts, verdict_record(r, accept, accept ? g->invalid_type_accept : g->invalid_type, before));
  if (accept) kept.append(r);
}

py::list process_verdicts(py::handle self, py::handle verdicts, py::handle batch_arg, py::handle items_arg) {
  std::vector<py::object> batch = snapshot(batch_arg, "batch must be a sequence of RecognizerResult");
  std::vector<py::object> pairs = snapshot(items_arg, "batch_items must be a sequence of (text, result) pairs");
  std::vector<py::object> texts;
  texts.reserve(pairs.size());
  for (const py::object& p : pairs) texts.push_back(p[py::int_(0)]);
  std::vector<py::object> original;
  original.reserve(batch.size());
  for (const py::object& r : batch) original.push_back(r.attr("entity_type"));
  py::object last_verdicts = self.attr("last_verdicts");
  py::list kept;

  if (verdicts.is_none()) {
    py::object failures = py::int_(self.attr("_consecutive_failures")) + py::int_(1);
    self.attr("_consecutive_failures") = failures;
    py::object on_failure = self.attr("on_failure");
    const int tripped = PyObject_RichCompareBool(failures.ptr(), self.attr("max_consecutive_failures").ptr(), Py_GE);
    if (tripped < 0) throw py::error_already_set();
    if (tripped && self.attr("_slm_available").ptr() != Py_False) {
      g->log.warning(
          "SLM circuit breaker: %d consecutive failures, disabling SLM for remaining batches (on_failure=%r)",
          failures, on_failure);
      self.attr("_slm_available") = false;
    }
    if (equals(on_failure, g->error)) {
      raise_unavailable("SLM server unavailable at " + text_of(self.attr("base_url")) + " after " +
                        text_of(failures) + " consecutive failures");
    }
    const bool accept = equals(on_failure, g->accept);
    py::str reason(accept ? "slm_unavailable_accept" : "batch_failed");
    for (const py::object& r : batch) {
      append(last_verdicts, verdict_record(r, accept, reason, r.attr("entity_type")));
      if (accept) kept.append(r);
    }
    return kept;
  }

  self.attr("_consecutive_failures") = 0;
  const size_t n = batch.size();
  std::vector<bool> seen(n, false);
  auto text_at = [&](size_t i) -> py::object {
    if (texts.empty()) return g->empty;
    return i < texts.size() ? texts[i] : texts.back();
  };

  // Per-verdict lines are debug lines: their texts are built only when
  // someone listens.
  const bool debug = log_enabled(loglevel::DEBUG);
  auto span_of = [&](size_t i, py::handle r) -> py::object {
    py::object text = text_at(i);
    return PyUnicode_Check(text.ptr()) ? py::object(span_text(text, r)) : py::object(g->empty);
  };
  // Warnings name results by position and type only: the span texts, and
  // anything the model wrote, go to the debug companion lines (and are in
  // the request log).
  for (const py::object& v : snapshot(verdicts, "verdicts must be a list")) {
    if (!PyDict_Check(v.ptr())) {
      g->log.warning("[verdict] INVALID/MISSING id — skipping verdict: keys=%s", py::list());
      continue;
    }
    const Py_ssize_t idx = verdict_id(v, n);
    bool all_known = true;
    if (idx < 0) {
      const std::string keys = shown_keys(v, &all_known);
      if (all_known) {
        g->log.warning("[verdict] INVALID/MISSING id — skipping verdict: keys=%s", py::list(v.attr("keys")()));
      } else {
        g->log.warning("[verdict] INVALID/MISSING id — skipping verdict: keys=%s", keys);
        if (debug) {
          g->log.debug("[verdict] INVALID/MISSING id — skipping verdict: keys=%s", py::list(v.attr("keys")()));
        }
      }
      continue;
    }
    py::handle r = batch[static_cast<size_t>(idx)];
    py::object pii = dict_get(v, g->k_pii);
    if (!pii) {
      g->log.warning("[verdict] MISSING_PII  id=%d  %s  keys=%s — will retry", idx, r.attr("entity_type"),
                     shown_keys(v, &all_known));
      if (debug) {
        g->log.debug("[verdict] MISSING_PII  id=%d  %s=%r  keys=%s — will retry", idx, r.attr("entity_type"),
                     span_of(static_cast<size_t>(idx), r), py::list(v.attr("keys")()));
      }
      continue;
    }
    py::object span = debug ? span_of(static_cast<size_t>(idx), r) : py::object(g->empty);
    seen[static_cast<size_t>(idx)] = true;
    py::object reason = dict_get(v, g->k_reason);
    if (!reason) reason = g->empty;
    const py::object& before = original[static_cast<size_t>(idx)];
    if (truth(pii)) {
      const Reclass rc = maybe_reclassify(self, v, r);
      if (rc == Reclass::invalid) {
        unusable_type(self, v, r, static_cast<size_t>(idx), before, span, kept, last_verdicts, debug, "verdict");
        continue;
      }
      if (rc == Reclass::reclassified && debug) {
        g->log.debug("[verdict] RECLASSIFIED  id=%d  %s → %s  %r", idx, before, r.attr("entity_type"), span);
      }
      kept.append(r);
      append(last_verdicts, verdict_record(r, true, reason, before));
      if (debug) g->log.debug("[verdict] ACCEPTED  id=%d  %s=%r  reason=%s", idx, r.attr("entity_type"), span, reason);
    } else {
      append(last_verdicts, verdict_record(r, false, reason, before));
      if (debug) g->log.debug("[verdict] REJECTED  id=%d  %s=%r  reason=%s", idx, r.attr("entity_type"), span, reason);
    }
  }

  std::vector<size_t> missed;
  for (size_t i = 0; i < n; ++i) {
    if (!seen[i]) missed.push_back(i);
  }
  if (missed.empty()) return kept;

  py::list labels;
  py::str label_fmt("{}={!r}");
  std::vector<py::object> retry_texts, retry_results;
  for (size_t i : missed) {
    py::object text = text_at(i);
    py::object span = PyUnicode_Check(text.ptr()) ? py::object(span_text(text, batch[i])) : py::object(g->empty);
    labels.append(label_fmt.attr("format")(batch[i].attr("entity_type"), span));
    retry_texts.push_back(text);
    retry_results.push_back(batch[i]);
  }
  {
    py::list ids;
    std::vector<py::object> missed_items;
    for (size_t i : missed) {
      ids.append(py::int_(i));
      py::dict item;
      set_item(item, g->k_entity_type, batch[i].attr("entity_type"));
      missed_items.push_back(item);
    }
    g->log.warning("[retry] %d entities need retry (missing pii key or absent from response): ids %s (%s)",
                   missed.size(), ids, types_summary(missed_items));
    if (debug) {
      g->log.debug("[retry] %d entities need retry (missing pii key or absent from response): %s", missed.size(),
                   labels);
    }
  }
  py::list retry_payload = build_payload(self, retry_texts, retry_results);
  py::object retry_verdicts =
      self.attr("_call_slm")(retry_payload, batch[missed[0]].attr("entity_type"), py::arg("is_retry") = true);

  if (retry_verdicts.is_none()) {
    py::str reason("retry_failed_default_pii");
    for (size_t i : missed) {
      py::handle r = batch[i];
      kept.append(r);
      append(last_verdicts, verdict_record(r, true, reason, original[i]));
      g->log.warning("[retry] DEFAULT_ACCEPT  id=%d  %s  (retry failed, defaulting to PII)", i, r.attr("entity_type"));
      if (debug) {
        g->log.debug("[retry] DEFAULT_ACCEPT  id=%d  %s=%r  (retry failed, defaulting to PII)", i,
                     r.attr("entity_type"), span_text(text_at(i), r));
      }
    }
    return kept;
  }

  std::vector<bool> retried(n, false);
  for (const py::object& v : snapshot(retry_verdicts, "verdicts must be a list")) {
    if (!PyDict_Check(v.ptr())) continue;
    const Py_ssize_t new_i = verdict_id(v, missed.size());
    if (new_i < 0) continue;
    const size_t orig_i = missed[static_cast<size_t>(new_i)];
    retried[orig_i] = true;
    py::handle r = batch[orig_i];
    py::object text = text_at(orig_i);
    py::object span = span_text(text, r);
    py::object model_reason = dict_get(v, g->k_reason);
    py::str reason = py::str("retry: ") + (model_reason ? py::str(model_reason) : py::str(g->empty));
    py::object pii = dict_get(v, g->k_pii);
    const bool is_pii = !pii || truth(pii);
    py::object shown_reason = model_reason ? model_reason : py::object(g->empty);
    if (is_pii) {
      if (maybe_reclassify(self, v, r) == Reclass::invalid) {
        unusable_type(self, v, r, orig_i, original[orig_i], span, kept, last_verdicts, debug, "retry");
        continue;
      }
      kept.append(r);
      append(last_verdicts, verdict_record(r, true, reason, original[orig_i]));
      g->log.debug("[retry] ACCEPTED  id=%d  %s=%r  reason=%s", orig_i, r.attr("entity_type"), span, shown_reason);
    } else {
      append(last_verdicts, verdict_record(r, false, reason, original[orig_i]));
      g->log.debug("[retry] REJECTED  id=%d  %s=%r  reason=%s", orig_i, r.attr("entity_type"), span, shown_reason);
    }
  }
  py::str still("retry_still_missing");
  for (size_t i : missed) {
    if (retried[i]) continue;
    py::handle r = batch[i];
    kept.append(r);
    append(last_verdicts, verdict_record(r, true, still, original[i]));
    g->log.warning("[retry] DEFAULT_ACCEPT  id=%d  %s  (still missing after retry)", i, r.attr("entity_type"));
    if (debug) {
      g->log.debug("[retry] DEFAULT_ACCEPT  id=%d  %s=%r  (still missing after retry)", i, r.attr("entity_type"),
                   span_text(text_at(i), r));
    }
  }
  return kept;
}

}  // namespace tarnis::fallback
