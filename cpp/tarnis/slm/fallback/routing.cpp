// Which results the model is asked about: per entity type, a score below
// the threshold of the type (or of the instance) and, where the type names
// them, a recognizer among its sources; and the batches they are sent in.
#include "tarnis/slm/fallback/fallback.hpp"

#include <algorithm>

namespace tarnis::fallback {

const Route& Router::route_for(py::handle entity_type) {
  PyObject* found = PyDict_GetItemWithError(index_.ptr(), entity_type.ptr());
  if (found) return routes_[PyLong_AsSize_t(found)];
  if (PyErr_Occurred()) throw py::error_already_set();
  Route r;
  r.eligible = types_.is_none() || contains(types_, entity_type);
  if (r.eligible) {
    py::object cfg = dict_get(configs_, entity_type);
    py::object sources;
    if (!cfg || cfg.is_none()) {
      r.threshold = threshold_;
      sources = sources_;
    } else {
      r.threshold = cfg.attr("slm_threshold");
      sources = cfg.attr("filter_sources");
    }
    r.any_source = sources.is_none();
    if (!r.any_source) r.sources = snapshot(sources, "filter_sources");
  }
  routes_.push_back(std::move(r));
  set_item(index_, entity_type, py::int_(routes_.size() - 1));
  return routes_.back();
}

namespace {

py::object recognizer_name(py::handle result) {
  py::object meta = result.attr("recognition_metadata");
  if (meta.is_none() || !truth(meta)) return g->no_name;
  py::object name = dict_get(meta, g->k_recognizer_name);
  return name ? name : py::object(g->no_name);
}

}  // namespace

Decision decide(Router& router, py::handle r, bool want_name) {
  py::object entity_type = r.attr("entity_type");
  const Route& route = router.route_for(entity_type);
  if (!route.eligible) return {false, false, false, py::object()};
  Decision d{true, false, true, (want_name || !route.any_source) ? recognizer_name(r) : py::object()};
  py::object score = r.attr("score");
  const int lt = PyObject_RichCompareBool(score.ptr(), route.threshold.ptr(), Py_LT);
  if (lt < 0) throw py::error_already_set();
  d.in_band = lt == 1;
  if (!route.any_source) {
    py::object name = PyUnicode_Check(d.name.ptr()) ? d.name : py::str(d.name);
    d.source_match = false;
    for (const py::object& s : route.sources) {
      if (contains(name, s)) {
        d.source_match = true;
        break;
      }
    }
  }
  return d;
}

py::tuple split(py::handle self, py::handle results) {
  std::vector<py::object> items = snapshot(results, "results must be a sequence of RecognizerResult");
  Router router(self);
  py::list certain, ambiguous;
  const bool logging = log_enabled(loglevel::DEBUG);
  for (const py::object& r : items) {
    Decision d = decide(router, r, logging);
    if (!d.eligible) {
      append(certain, r);
      continue;
    }
    const bool is_ambiguous = d.in_band && d.source_match;
    if (logging) {
      g->log.debug("[split] %-12s  score=%.2f  in_band=%-5s  source_match=%-5s  recognizer=%-35s → %s",
                   r.attr("entity_type"), r.attr("score"), py::bool_(d.in_band), py::bool_(d.source_match), d.name,
                   is_ambiguous ? "AMBIGUOUS" : "CERTAIN");
    }
    append(is_ambiguous ? ambiguous : certain, r);
  }
  g->log.debug("[split] total=%d  certain=%d  ambiguous=%d", items.size(), certain.size(), ambiguous.size());
  return py::make_tuple(certain, ambiguous);
}

Py_ssize_t batch_size_of(py::handle self) {
  py::object v = self.attr("batch_size");
  if (!PyLong_Check(v.ptr())) raise_type_error(kClass, "batch_size", "int", v);
  const Py_ssize_t n = PyNumber_AsSsize_t(v.ptr(), nullptr);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (n < 1) throw py::value_error("SLMFallback.batch_size must be at least 1, got " + text_of(py::repr(v)));
  return n;
}

py::list batches(py::handle self, py::handle items) {
  const Py_ssize_t size = batch_size_of(self);
  std::vector<py::object> all = snapshot(items, "items must be a sequence");
  py::list out;
  for (size_t i = 0; i < all.size(); i += static_cast<size_t>(size)) {
    const size_t end = std::min(all.size(), i + static_cast<size_t>(size));
    out.append(to_list(std::vector<py::object>(all.begin() + static_cast<std::ptrdiff_t>(i),
                                               all.begin() + static_cast<std::ptrdiff_t>(end))));
  }
  return out;
}

}  // namespace tarnis::fallback
