// The entity catalogue: entity types, which of them are active or rely on the
// SLM stages, default thresholds, and the mapping from the neural model's
// labels to entity types.
#include <pybind11/pybind11.h>

#include "core/checks.hpp"
#include "core/defaults.hpp"
#include "core/log.hpp"
#include "core/pyclass.hpp"

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
  // Hashing and comparing keys may run Python code: loop over owned copies.
  for (const auto& [label, type] : snapshot_items(mapping)) {
    if (by_type.contains(type)) result[label] = by_type[type];
  }
  return result;
}

// The spaCy pipeline must be an installed package or a folder: otherwise
// Presidio's engine would try to download it, which offline fails only after
// network attempts. Say plainly what is missing and how to provide it.
void require_spacy_pipeline(const std::string& name) {
  py::module_ util = py::module_::import("spacy.util");
  py::module_ pathlib = py::module_::import("pathlib");
  if (truth(util.attr("is_package")(name))) return;
  if (truth(pathlib.attr("Path")(name).attr("exists")())) return;
  py::object error = py::module_::import("tarnis.recognizers.gliner").attr("ModelUnavailableError");
  PyErr_SetObject(error.ptr(),
                  py::str("spaCy pipeline '{}' is not installed. Install it with `python -m spacy download {}` "
                          "(needs network access), or pass spacy_model= the path of a Romanian pipeline folder.")
                      .format(name, name)
                      .ptr());
  throw py::error_already_set();
}

// The rule-based recognizers in the order the analyzer registers them, each
// constructed here. The command's rules-only analyzer takes the same list.
py::list rule_recognizers(py::module_ m, py::object supported_language, bool keep_legal_references) {
  require_str(supported_language, "_rule_recognizers", "supported_language");
  auto with_language = [&](const char* cls) {
    return m.attr(cls)(py::arg("supported_language") = supported_language);
  };
  py::list out;
  out.append(with_language("RomanianStreetAddressRecognizer"));
  out.append(with_language("EmailRecognizer"));
  out.append(m.attr("PhoneRecognizer")());
  out.append(with_language("CustomIbanRecognizer"));
  out.append(with_language("CreditCardRecognizer"));
  out.append(with_language("IpRecognizer"));
  out.append(with_language("WordBoundedUrlRecognizer"));
  out.append(m.attr("BICRecognizer")());
  out.append(m.attr("CodeRecognizer")(py::arg("keep_legal_references") = keep_legal_references));
  out.append(m.attr("IdentityCardRecognizer")());
  out.append(m.attr("CnpRecognizer")());
  out.append(m.attr("IdnpRecognizer")());
  out.append(m.attr("PartyNameRecognizer")());
  return out;
}

// The registry holding `recognizers` (and, with `spacy_ner`, the recognizer of
// the pipeline's own persons and organizations, last), the spaCy pipeline
// `spacy_model` in the NLP engine, and the engine over both. The pipeline keeps
// its ner component only with `spacy_ner`.
py::object assemble(py::module_ m, py::object recognizers, py::object supported_language, py::object spacy_model,
                    bool spacy_ner) {
  py::list languages;
  languages.append(supported_language);
  py::object registry = m.attr("RecognizerRegistry")(py::arg("supported_languages") = languages);
  for (const py::object& r : snapshot(registry.attr("recognizers"))) {
    registry.attr("remove_recognizer")(r.attr("name"));
  }
  for (const py::object& recognizer : snapshot(recognizers)) {
    registry.attr("add_recognizer")(recognizer);
  }
  py::module_ spacy_ner_module;
  if (spacy_ner) {
    spacy_ner_module = py::module_::import("tarnis.recognizers.spacy_ner");
    registry.attr("add_recognizer")(
        spacy_ner_module.attr("SpacyNerRecognizer")(py::arg("supported_language") = supported_language));
  }

  const std::vector<py::object> registered = snapshot(registry.attr("recognizers"));
  py::list names;
  for (const py::object& r : registered) names.append(r.attr("name"));
  ModuleLogger::of(m).info("[analyzer] Registered %d recognizers: %s", registered.size(),
                           py::str(", ").attr("join")(names));

  const std::string pipeline = spacy_model.cast<std::string>();
  require_spacy_pipeline(pipeline);
  py::dict model;
  model["lang_code"] = supported_language;
  model["model_name"] = spacy_model;
  py::list models;
  models.append(model);
  py::object nlp_engine = m.attr("SpacyNlpEngine")(py::arg("models") = models);
  nlp_engine.attr("load")();
  if (spacy_ner) {
    spacy_ner_module.attr("configure_nlp_engine")(nlp_engine, supported_language, spacy_model);
  } else {
    for (const auto& item : snapshot_items(nlp_engine.attr("nlp"))) {
      const py::object& nlp = item.second;
      const int has_ner = PySequence_Contains(nlp.attr("pipe_names").ptr(), py::str("ner").ptr());
      if (has_ner < 0) throw py::error_already_set();
      if (has_ner) nlp.attr("remove_pipe")("ner");
    }
  }
  return m.attr("AnalyzerEngine")(py::arg("registry") = registry, py::arg("nlp_engine") = nlp_engine,
                                  py::arg("supported_languages") = languages,
                                  py::arg("context_aware_enhancer") = m.attr("ContextEnhancer")());
}

py::object build_analyzer(py::module_ m, py::object model_name, py::object gliner_entity_mapping,
                          py::object max_chunk_tokens, py::object overlap_sentences, py::object threshold,
                          py::object entity_thresholds, py::object flat_ner, py::object supported_language,
                          py::object spacy_model, py::object batch_size, py::object backend, py::object spacy_ner,
                          py::object keep_legal_references) {
  const char* f = "build_analyzer";
  require_str(model_name, f, "model_name");
  require_dict_or_none(gliner_entity_mapping, f, "gliner_entity_mapping");
  require_int(max_chunk_tokens, f, "max_chunk_tokens");
  require_int(overlap_sentences, f, "overlap_sentences");
  const double threshold_value = to_float(threshold, f, "threshold");
  require_dict_or_none(entity_thresholds, f, "entity_thresholds");
  const bool flat = truth(flat_ner);
  require_str(supported_language, f, "supported_language");
  require_str(spacy_model, f, "spacy_model");
  const bool with_spacy_ner = truth(spacy_ner);
  const bool keep_legal = truth(keep_legal_references);

  py::object gliner_cls = py::module_::import("tarnis.recognizers.gliner").attr("SmartGLiNERRecognizer");
  py::dict options;
  options["model_name"] = model_name;
  options["entity_mapping"] = gliner_entity_mapping;
  options["max_chunk_tokens"] = max_chunk_tokens;
  options["overlap_sentences"] = overlap_sentences;
  options["threshold"] = py::float_(threshold_value);
  options["entity_thresholds"] = entity_thresholds;
  options["flat_ner"] = py::bool_(flat);
  options["supported_language"] = supported_language;
  options["spacy_model"] = spacy_model;
  // The execution settings are checked by the recognizer; None keeps its defaults.
  if (!batch_size.is_none()) options["batch_size"] = batch_size;
  if (!backend.is_none()) options["backend"] = backend;
  py::object gliner = gliner_cls(**options);

  py::list recognizers;
  recognizers.append(gliner);
  for (const py::object& recognizer : snapshot(rule_recognizers(m, supported_language, keep_legal))) {
    recognizers.append(recognizer);
  }
  return assemble(m, recognizers, supported_language, spacy_model, with_spacy_ner);
}

// The index of the token that holds character `start`: the first token that
// starts there or ends after it. The engine's context enhancer walks the
// tokens from the first one for every result, which on a long document costs
// a token object per token per result (quadratic in the document's length).
// Token ends never decrease, so a binary search finds the same token; a token
// of no length starting at `start` just before it is taken as the walk would.
py::object find_index_of_match_token(py::object word, py::object start_obj, py::object tokens,
                                     py::object tokens_indices) {
  const py::ssize_t count = py::len(tokens);
  auto index_at = [&](py::ssize_t i) { return py::int_(tokens_indices[py::int_(i)]); };
  auto end_at = [&](py::ssize_t i) {
    return py::int_(index_at(i) + py::int_(py::len(tokens[py::int_(i)])));
  };
  require_int(start_obj, "_find_index_of_match_token", "start");
  const py::int_ start(start_obj);
  py::ssize_t lo = 0, hi = count;
  while (lo < hi) {
    const py::ssize_t mid = lo + (hi - lo) / 2;
    if (end_at(mid) > start) hi = mid; else lo = mid + 1;
  }
  while (lo > 0 && index_at(lo - 1).equal(start) && end_at(lo - 1).equal(start)) --lo;
  if (lo >= count) {
    PyErr_SetObject(PyExc_ValueError,
                    (py::str("Did not find word '") + py::str(word) +
                     py::str("' in the list of tokens although it is expected to be found")).ptr());
    throw py::error_already_set();
  }
  return py::int_(lo);
}

}  // namespace

PYBIND11_MODULE(analyzer, m) {
  m.doc() =
      "Entity catalogue and thresholds: the entity types the recognizers emit, the types that rely\n"
      "on SLM verification, default per-type thresholds, and the mapping from GLiNER labels to\n"
      "entity types with a threshold per label.";

  ModuleLogger(m, "tarnis.analyzer");
  // The models build_analyzer loads unless told otherwise.
  m.attr("DEFAULT_GLINER_MODEL") = py::str(defaults::kGlinerModel);
  m.attr("DEFAULT_SPACY_MODEL") = py::str(defaults::kSpacyModel);

  py::module_ presidio = py::module_::import("presidio_analyzer");
  py::module_ predefined = py::module_::import("presidio_analyzer.predefined_recognizers");
  m.attr("AnalyzerEngine") = presidio.attr("AnalyzerEngine");
  m.attr("RecognizerRegistry") = presidio.attr("RecognizerRegistry");
  m.attr("SpacyNlpEngine") = py::module_::import("presidio_analyzer.nlp_engine").attr("SpacyNlpEngine");
  ClassBuilder(m, "ContextEnhancer",
               py::make_tuple(py::module_::import("presidio_analyzer.context_aware_enhancers")
                                  .attr("LemmaContextAwareEnhancer")),
               "The engine's lemma-based context enhancer, finding the token of each result by binary\n"
               "search instead of a walk over the document's tokens: the same scores, in time that grows\n"
               "with the number of results times the logarithm of the number of tokens.")
      .static_method("_find_index_of_match_token", &find_index_of_match_token,
                     "The index of the token holding character `start` of `word`.", py::arg("word"),
                     py::arg("start"), py::arg("tokens"), py::arg("tokens_indices"))
      .finish();
  for (const char* name : {"EmailRecognizer", "CreditCardRecognizer", "IpRecognizer", "UrlRecognizer"}) {
    m.attr(name) = predefined.attr(name);
  }
  m.attr("RomanianStreetAddressRecognizer") =
      py::module_::import("tarnis.recognizers.domivia").attr("RomanianStreetAddressRecognizer");
  m.attr("WordBoundedUrlRecognizer") =
      py::module_::import("tarnis.recognizers.url").attr("WordBoundedUrlRecognizer");
  m.attr("CustomIbanRecognizer") = py::module_::import("tarnis.recognizers.iban").attr("CustomIbanRecognizer");
  m.attr("BICRecognizer") = py::module_::import("tarnis.recognizers.bic").attr("BICRecognizer");
  m.attr("CnpRecognizer") = py::module_::import("tarnis.recognizers.cnp").attr("CnpRecognizer");
  m.attr("IdnpRecognizer") = py::module_::import("tarnis.recognizers.idnp").attr("IdnpRecognizer");
  m.attr("PartyNameRecognizer") = py::module_::import("tarnis.recognizers.party").attr("PartyNameRecognizer");
  m.attr("CodeRecognizer") = py::module_::import("tarnis.recognizers.code").attr("CodeRecognizer");
  m.attr("IdentityCardRecognizer") =
      py::module_::import("tarnis.recognizers.idcard").attr("IdentityCardRecognizer");
  m.attr("PhoneRecognizer") = py::module_::import("tarnis.recognizers.phone").attr("CustomPhoneRecognizer");

  py::set disabled;
  m.attr("DISABLED_ENTITIES") = disabled;
  py::set slm_dependent;
  for (const char* t : {"USERNAME", "PASSWORD", "ORGANIZATION"}) slm_dependent.add(py::str(t));
  m.attr("SLM_DEPENDENT_ENTITIES") = slm_dependent;

  py::list all_entities = str_list({"DOMIVIA", "ORGANIZATION", "PERSON_NAME", "USERNAME", "PASSWORD",
                                    "EMAIL_ADDRESS", "PHONE_NUMBER", "IBAN_CODE", "CREDIT_CARD", "BIC", "URL",
                                    "IP_ADDRESS", "CODE", "CNP", "IDNP"});
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

  m.def(
      "_rule_recognizers",
      [m](py::object supported_language, py::object keep_legal_references) {
        return rule_recognizers(m, supported_language, truth(keep_legal_references));
      },
      py::arg("supported_language") = "ro", py::kw_only(), py::arg("keep_legal_references") = false,
      "The rule-based recognizers of the analyzer, newly constructed, in its order: street address,\n"
      "e-mail, phone, IBAN, card, IP, URL (without results inside words), BIC, code, identity card,\n"
      "CNP, IDNP and the names introduced by a role word (phone and the last six always on Romanian). `keep_legal_references` goes to the code recognizer.");

  m.def(
      "build_analyzer",
      [m](py::object model_name, py::object gliner_entity_mapping, py::object max_chunk_tokens,
          py::object overlap_sentences, py::object threshold, py::object entity_thresholds, py::object flat_ner,
          py::object supported_language, py::object spacy_model, py::object batch_size, py::object backend,
          py::object spacy_ner, py::object keep_legal_references) {
        return build_analyzer(m, model_name, gliner_entity_mapping, max_chunk_tokens, overlap_sentences, threshold,
                              entity_thresholds, flat_ner, supported_language, spacy_model, batch_size, backend,
                              spacy_ner, keep_legal_references);
      },
      py::arg("model_name") = defaults::kGlinerModel, py::arg("gliner_entity_mapping") = py::none(),
      py::arg("max_chunk_tokens") = 384, py::arg("overlap_sentences") = 2, py::arg("threshold") = 0.5,
      py::arg("entity_thresholds") = py::none(), py::arg("flat_ner") = false, py::arg("supported_language") = "ro",
      py::arg("spacy_model") = defaults::kSpacyModel, py::kw_only(), py::arg("batch_size") = py::none(),
      py::arg("backend") = py::none(), py::arg("spacy_ner") = false, py::arg("keep_legal_references") = false,
      "Assemble a Presidio AnalyzerEngine for Romanian text.\n\n"
      "Registers, in this order, the GLiNER recognizer, the street-address, e-mail, phone, IBAN, card, IP,\n"
      "URL, BIC, code, identity card, CNP, IDNP and role-name recognizers in a fresh registry, and loads the spaCy pipeline `spacy_model`\n"
      "into the NLP engine with its ner component removed. Pass GLINER_ENTITY_MAPPING and\n"
      "GLINER_ENTITY_THRESHOLDS to give the neural recognizer its labels. `batch_size` and `backend`\n"
      "(keyword only) go to SmartGLiNERRecognizer; None keeps its defaults (one chunk per call, PyTorch). A model or pipeline that is not\n"
      "installed raises tarnis.recognizers.gliner.ModelUnavailableError (an OSError) naming it.\n"
      "With `spacy_ner=True` (keyword only) the pipeline keeps its ner component and SpacyNerRecognizer,\n"
      "registered last, reports its persons and organizations as PERSON_NAME and ORGANIZATION; a pipeline\n"
      "without one raises tarnis.recognizers.spacy_ner.SpacyNerUnavailableError.\n"
      "`keep_legal_references` (keyword only, default False) goes to CodeRecognizer: when true, numbers\n"
      "of published acts (laws, ordinances, decisions, orders, official journals, articles) and year\n"
      "ranges are not reported as CODE.");


  m.def(
      "_assemble_analyzer",
      [m](py::object recognizers, py::object spacy_model, py::object supported_language, py::object spacy_ner) {
        require_list(recognizers, "_assemble_analyzer", "recognizers");
        require_str(spacy_model, "_assemble_analyzer", "spacy_model");
        require_str(supported_language, "_assemble_analyzer", "supported_language");
        return assemble(m, recognizers, supported_language, spacy_model, truth(spacy_ner));
      },
      py::arg("recognizers"), py::arg("spacy_model"), py::arg("supported_language") = "ro", py::kw_only(),
      py::arg("spacy_ner") = false,
      "An AnalyzerEngine over `recognizers` (a list, registered in its order) and the spaCy pipeline\n"
      "`spacy_model`, assembled as build_analyzer does; for hosts that run without the neural model.");
}
