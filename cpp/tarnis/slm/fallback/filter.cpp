// The entry points: `filter` for the results of one document, `filter_multi`
// for the results of many in shared batches, and the verification of one
// batch that both use.
#include "tarnis/slm/fallback/fallback.hpp"

#include <algorithm>

namespace tarnis::fallback {

py::object verify_pairs(py::handle self, const std::vector<py::object>& texts, const std::vector<py::object>& results,
                        py::handle batch, py::handle batch_items) {
  if (results.empty()) return py::list();
  py::list payload = build_payload(self, texts, results);
  py::object verdicts = self.attr("_call_slm")(payload, results[0].attr("entity_type"));
  return self.attr("_process_verdicts")(verdicts, batch, batch_items);
}

py::object verify_batch(py::handle self, py::handle text, py::handle batch_arg) {
  require_str(text, "_verify_batch", "text");
  std::vector<py::object> results = snapshot(batch_arg, "batch must be a sequence of RecognizerResult");
  std::vector<py::object> texts(results.size(), py::reinterpret_borrow<py::object>(text));
  py::list pairs;
  for (const py::object& r : results) pairs.append(py::make_tuple(text, r));
  return verify_pairs(self, texts, results, to_list(results), pairs);
}

// (text, result) from one item of filter_multi, checked.
std::pair<py::object, py::object> unpack_pair(py::handle item, size_t index, const char* func) {
  PyObject* fast = PySequence_Fast(item.ptr(), "");
  if (!fast) {
    PyErr_Clear();
    throw py::type_error(std::string(func) + "() items[" + std::to_string(index) +
                         "] must be a (text, result) pair, not " + Py_TYPE(item.ptr())->tp_name);
  }
  py::object keep = py::reinterpret_steal<py::object>(fast);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  if (n != 2) {
    throw py::value_error(std::string(func) + "() items[" + std::to_string(index) +
                          "] must be a (text, result) pair, got " + std::to_string(n) + " values");
  }
  py::object text = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(fast, 0));
  py::object result = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(fast, 1));
  if (!PyUnicode_Check(text.ptr())) {
    throw py::type_error(std::string(func) + "() items[" + std::to_string(index) + "] text must be str, not " +
                         Py_TYPE(text.ptr())->tp_name);
  }
  return {text, result};
}

py::object verify_batch_multi(py::handle self, py::handle items_arg) {
  std::vector<py::object> pairs = snapshot(items_arg, "batch_items must be a sequence of (text, result) pairs");
  std::vector<py::object> texts, results;
  py::list checked;
  for (size_t i = 0; i < pairs.size(); ++i) {
    auto p = unpack_pair(pairs[i], i, "_verify_batch_multi");
    texts.push_back(p.first);
    results.push_back(p.second);
    checked.append(py::make_tuple(p.first, p.second));
  }
  return verify_pairs(self, texts, results, to_list(results), checked);
}

// Groups by entity type, in order of first appearance.
struct Groups {
  py::dict index;
  std::vector<std::vector<size_t>> members;
  void add(py::handle entity_type, size_t i) {
    PyObject* found = PyDict_GetItemWithError(index.ptr(), entity_type.ptr());
    if (!found) {
      if (PyErr_Occurred()) throw py::error_already_set();
      set_item(index, entity_type, py::int_(members.size()));
      members.emplace_back();
      members.back().push_back(i);
      return;
    }
    members[PyLong_AsSize_t(found)].push_back(i);
  }
};

py::object filter(py::handle self, py::handle text, py::handle results) {
  require_str(text, "filter", "text");
  require_list(results, "filter", "results");
  self.attr("last_verdicts") = py::list();
  py::tuple parts = self.attr("_split")(results);
  py::object certain = parts[0];
  std::vector<py::object> ambiguous = snapshot(parts[1], "ambiguous results");
  if (ambiguous.empty()) return certain;

  if (self.attr("_slm_available").is_none()) self.attr("_check_health")();
  const std::string unavailable_message =
      "SLM server unavailable at " + text_of(self.attr("base_url")) + " and on_failure='error'";
  if (!truth(self.attr("_slm_available"))) {
    py::object on_failure = self.attr("on_failure");
    if (equals(on_failure, g->error)) raise_unavailable(unavailable_message);
    if (equals(on_failure, g->accept)) return py::reinterpret_borrow<py::object>(results);
    return certain;
  }

  Groups groups;
  for (size_t i = 0; i < ambiguous.size(); ++i) groups.add(ambiguous[i].attr("entity_type"), i);
  py::list kept;
  py::object batches_fn = self.attr("_batches");
  for (const auto& members : groups.members) {
    std::vector<py::object> group;
    for (size_t i : members) group.push_back(ambiguous[i]);
    for (const py::object& batch : snapshot(batches_fn(to_list(group)), "batches")) {
      if (truth(self.attr("_slm_available"))) {
        kept.attr("extend")(self.attr("_verify_batch")(text, batch));
        continue;
      }
      py::object on_failure = self.attr("on_failure");
      if (equals(on_failure, g->error)) raise_unavailable(unavailable_message);
      if (equals(on_failure, g->accept)) kept.attr("extend")(batch);
    }
  }
  g->log.info("SLMFallback: %d ambiguous → %d accepted, %d rejected", ambiguous.size(), kept.size(),
              static_cast<Py_ssize_t>(ambiguous.size()) - static_cast<Py_ssize_t>(kept.size()));
  py::list out;
  out.attr("extend")(certain);
  out.attr("extend")(kept);
  return out;
}

void filter_multi(py::handle self, py::handle items_arg, py::handle progress_callback) {
  require_list(items_arg, "filter_multi", "items");
  if (!progress_callback.is_none() && !PyCallable_Check(progress_callback.ptr())) {
    raise_type_error("filter_multi", "progress_callback", "callable or None", progress_callback);
  }
  std::vector<py::object> items = snapshot(items_arg, "items");
  std::vector<std::pair<py::object, py::object>> pairs;
  pairs.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) pairs.push_back(unpack_pair(items[i], i, "filter_multi"));

  self.attr("last_verdicts") = py::list();
  Router router(self);
  std::vector<size_t> ambiguous;
  Groups groups;
  for (size_t i = 0; i < pairs.size(); ++i) {
    Decision d = decide(router, pairs[i].second, false);
    if (!d.eligible || !d.in_band || !d.source_match) continue;
    groups.add(pairs[i].second.attr("entity_type"), ambiguous.size());
    ambiguous.push_back(i);
  }
  const size_t total = ambiguous.size();

  // Unlike the per-document `filter`, nothing here has asked the server yet
  // when the instance was built with required=False: ask once, so that a
  // server that is up is used rather than every batch taking the unavailable
  // path.
  if (total > 0 && self.attr("_slm_available").is_none()) self.attr("_check_health")();

  const Py_ssize_t size = batch_size_of(self);
  size_t processed = 0;
  py::object verify_multi = self.attr("_verify_batch_multi");
  for (const auto& members : groups.members) {
    for (size_t start = 0; start < members.size(); start += static_cast<size_t>(size)) {
      const size_t end = std::min(members.size(), start + static_cast<size_t>(size));
      if (truth(self.attr("_slm_available"))) {
        py::list batch;
        for (size_t k = start; k < end; ++k) {
          const auto& p = pairs[ambiguous[members[k]]];
          batch.append(py::make_tuple(p.first, p.second));
        }
        verify_multi(batch);
      } else {
        py::object on_failure = self.attr("on_failure");
        if (equals(on_failure, g->error)) {
          raise_unavailable("SLM server unavailable at " + text_of(self.attr("base_url")) + " and on_failure='error'");
        }
        const bool accept = equals(on_failure, g->accept);
        py::str reason(accept ? "slm_unavailable_accept" : "batch_failed");
        py::object last_verdicts = self.attr("last_verdicts");
        for (size_t k = start; k < end; ++k) {
          py::handle r = pairs[ambiguous[members[k]]].second;
          append(last_verdicts, verdict_record(r, accept, reason, r.attr("entity_type")));
        }
      }
      processed += end - start;
      if (!progress_callback.is_none()) {
        py::reinterpret_borrow<py::object>(progress_callback)(processed, total);
      }
    }
  }
  Py_ssize_t accepted = 0;
  for (const py::object& v : snapshot(self.attr("last_verdicts"), "last_verdicts")) {
    if (truth(v.attr("accepted"))) ++accepted;
  }
  g->log.info("SLMFallback filter_multi: %d ambiguous → %d accepted, %d rejected", total, accepted,
              static_cast<Py_ssize_t>(total) - accepted);
}

}  // namespace tarnis::fallback
