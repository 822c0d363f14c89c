// Names of persons and organizations from the spaCy pipeline's own
// named-entity recognizer, trimmed to the name: models trained on news and
// legal text put the role word before a name into its span ("inculpatul
// Popescu Andrei-Mihai", "Martorul Vasilescu Dan") and tag role words alone
// ("avocat", "dl.").
#include <pybind11/pybind11.h>

#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/checks.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

// Lower case without Romanian diacritics (comma-below and cedilla forms alike).
char32_t fold(char32_t c) {
  switch (c) {
    case U'ă': case U'â': case U'Ă': case U'Â': return U'a';
    case U'î': case U'Î': return U'i';
    case U'ș': case U'ş': case U'Ș': case U'Ş': return U's';
    case U'ț': case U'ţ': case U'Ț': case U'Ţ': return U't';
    default: return static_cast<char32_t>(Py_UNICODE_TOLOWER(c));
  }
}

std::u32string folded(U32View word) {
  std::u32string out;
  out.reserve(word.size());
  for (char32_t c : word) out.push_back(fold(c));
  while (!out.empty() && !is_alnum(out.back())) out.pop_back();
  return out;
}

std::u32string widen(const char* ascii) {
  std::u32string out;
  for (const char* p = ascii; *p; ++p) out.push_back(static_cast<char32_t>(static_cast<unsigned char>(*p)));
  return out;
}

// Party, role, title and kinship words that introduce a name in Romanian
// court files, deeds and letters, folded, with their articled and oblique
// forms.
const std::unordered_set<std::u32string>& role_words() {
  static const std::unordered_set<std::u32string>* words = [] {
    auto* out = new std::unordered_set<std::u32string>();
    // Nouns inflected as inculpat -> inculpatul, inculpatului, inculpata,
    // inculpatei, inculpatii, inculpatilor, inculpatele, inculpatelor.
    for (const char* stem :
         {"inculpat", "reclamant", "parat", "petent", "intimat", "apelant", "recurent", "martor", "numit", "minor",
          "subsemnat", "titular", "proprietar", "chirias", "mandatar", "mandant", "imputernicit", "mostenitor",
          "defunct", "avocat", "executor", "notar", "judecator", "procuror", "grefier", "debitor", "creditor",
          "locatar", "locator", "comodatar", "comodant", "donator", "donatar", "angajat", "angajator", "asociat",
          "administrator", "reprezentant", "beneficiar", "contestator", "petitionar", "faptuitor", "condamnat",
          "invinuit", "suspect", "expert", "consilier", "director", "presedinte", "client", "pacient", "tutore",
          "curator", "succesibil", "cedent", "cesionar", "garant", "fidejusor", "imprumutat", "solicitant",
          "persoana", "cetatean", "domiciliat", "nascut", "decedat", "premier", "primar", "senator", "deputat",
          "prefect", "ministr"}) {
      const std::u32string s = widen(stem);
      for (const char* suffix : {"", "ul", "ului", "a", "ei", "ii", "ilor", "e", "ele", "elor", "i"}) {
        out->insert(s + widen(suffix));
      }
    }
    for (const char* word :
         {"vanzator", "vanzatorul", "vanzatorului", "vanzatoare", "vanzatoarea", "vanzatoarei", "cumparator",
          "cumparatorul", "cumparatorului", "cumparatoare", "cumparatoarea", "cumparatoarei", "mostenitoare",
          "mostenitoarea", "mostenitoarei", "executoare", "donatoare", "donatoarea", "partea", "partii", "parte",
          "dl", "dlui", "d-l", "d-lui", "dna", "dnei", "d-na", "d-nei", "d-nul", "d-nului", "dnul", "domn", "domnul",
          "domnului", "doamna", "doamnei", "dra", "d-ra", "domnisoara", "domnisoarei", "sr", "sra", "dr", "prof",
          "ing", "av", "ec", "jud", "col", "gen", "cpt", "lt", "mr", "mrs", "ms", "familia", "familiei", "fiul",
          "fiului", "fiica", "fiicei", "mama", "mamei", "tatal", "tatalui", "tata", "sotul", "sotului", "sotia",
          "sotiei", "fratele", "fratelui", "sora", "surorii", "bunicul", "bunicului", "bunica", "bunicii", "nepotul",
          "nepoata", "unchiul", "matusa", "ministru", "lui", "catre", "sub", "semnat", "semnata", "sus-numitul",
          "sus-numita", "susnumitul", "susnumita", "numitul", "numita", "cel", "cea"}) {
      out->insert(widen(word));
    }
    return out;
  }();
  return *words;
}

// Titles written as abbreviations. In capitals and without a full stop they
// are acronyms of organizations more often than titles ("DNA Brașov", "ING
// Bank", "procurorii DNA"), so that a title is read in them only with its
// stop and before a name ("DL. POPESCU ION").
const std::unordered_set<std::u32string>& abbreviated_titles() {
  static const std::unordered_set<std::u32string>* words = [] {
    auto* out = new std::unordered_set<std::u32string>();
    for (const char* word : {"dl", "dlui", "dna", "dnei", "dnul", "dra", "sr", "sra", "dr", "prof", "ing", "av", "ec",
                             "jud", "col", "gen", "cpt", "lt", "mr", "mrs", "ms"}) {
      out->insert(widen(word));
    }
    return out;
  }();
  return *words;
}

bool all_capitals(U32View word) {
  bool letters = false;
  for (char32_t c : word) {
    if (!is_alpha(c)) continue;
    if (!is_upper(c)) return false;
    letters = true;
  }
  return letters;
}

// `word` (its trailing punctuation still on unless it ends the span) is a
// role, title or kinship word.
bool is_role_word(U32View word) {
  const std::u32string key = folded(word);
  if (role_words().count(key) == 0) return false;
  if (word.size() >= 2 && all_capitals(word) && abbreviated_titles().count(key) > 0) {
    // The stop stays on every word but the last one of the span, and a
    // title alone at the end of a span introduces no name.
    return word.back() == U'.';
  }
  return true;
}

struct Word {
  size_t start, end;
};

// The words (runs without white space) of t[start:end). Text extracted from
// web pages and PDF files runs words together ("totPremierul Viorica",
// "00:31PoliticăJobbik"): a capital right after a lower-case letter begins a
// new word, so that the glued lower-case word can leave the span.
std::vector<Word> words_of(const Text& t, size_t start, size_t end) {
  std::vector<Word> out;
  size_t i = start;
  while (i < end) {
    while (i < end && is_space(t[i])) ++i;
    const size_t s = i;
    while (i < end && !is_space(t[i])) {
      ++i;
      if (i < end && is_upper(t[i]) && Py_UNICODE_ISLOWER(t[i - 1])) break;
    }
    if (i > s) out.push_back({s, i});
  }
  return out;
}

// Leading characters that are neither letters nor digits (quotes, brackets,
// dashes) leave a word.
void trim_front(const Text& t, Word& w) {
  while (w.start < w.end && !is_alnum(t[w.start])) ++w.start;
}

// Trailing punctuation leaves a word; an organization keeps the full stop of
// an abbreviation written with stops ("S.R.L.", "S.A.").
void trim_back(const Text& t, Word& w, bool keep_abbreviation_stop) {
  while (w.start < w.end && !is_alnum(t[w.end - 1])) {
    if (keep_abbreviation_stop && t[w.end - 1] == U'.' && w.end - w.start >= 3 && is_upper(t[w.end - 2])) {
      bool inner_stop = false;
      for (size_t i = w.start; i + 1 < w.end; ++i) inner_stop = inner_stop || t[i] == U'.';
      if (inner_stop) break;
    }
    --w.end;
  }
}

bool begins_upper(const Text& t, const Word& w) { return w.start < w.end && is_upper(t[w.start]); }

// The name inside an entity span: role words and words that do not begin
// with a capital leave its ends, and so does trailing punctuation. False when
// nothing of a name is left.
bool trim_to_name(const Text& t, size_t& start, size_t& end, bool organization) {
  std::vector<Word> words = words_of(t, start, end);
  size_t first = 0, last = words.size();
  while (first < last) {
    Word& w = words[first];
    trim_front(t, w);
    if (first + 1 == last) trim_back(t, w, organization);
    if (w.start >= w.end || !begins_upper(t, w) || is_role_word(t.slice(w.start, w.end))) {
      ++first;
      continue;
    }
    break;
  }
  while (last > first) {
    Word& w = words[last - 1];
    trim_back(t, w, organization);
    if (w.start >= w.end || !begins_upper(t, w)) {
      --last;
      continue;
    }
    break;
  }
  if (first >= last) return false;
  start = words[first].start;
  end = words[last - 1].end;
  return true;
}

py::list analyze(py::module_ m, py::object self, py::object text, py::object entities, py::object nlp_artifacts) {
  require_str(text, "analyze", "text");
  py::list results;
  if (nlp_artifacts.is_none()) return results;
  py::object supported = self.attr("supported_entities");
  const bool any_entity = entities.is_none();
  Text t(text);
  const ResultFactory factory(m);
  py::object name = self.attr("name");
  std::set<std::pair<std::string, std::pair<size_t, size_t>>> seen;
  for (const py::object& ent : snapshot(nlp_artifacts.attr("entities"))) {
    py::object label = ent.attr("label_");
    if (!PyUnicode_Check(label.ptr())) continue;
    if (!any_entity) {
      const int wanted = PySequence_Contains(entities.ptr(), label.ptr());
      if (wanted < 0) throw py::error_already_set();
      if (!wanted) continue;
    }
    const int ours = PySequence_Contains(supported.ptr(), label.ptr());
    if (ours < 0) throw py::error_already_set();
    if (!ours) continue;
    const std::string type = label.cast<std::string>();
    const Py_ssize_t n = static_cast<Py_ssize_t>(t.size());
    Py_ssize_t s = clipped_index_value(ent.attr("start_char"));
    Py_ssize_t e = clipped_index_value(ent.attr("end_char"));
    s = std::max<Py_ssize_t>(0, std::min(s, n));
    e = std::max<Py_ssize_t>(0, std::min(e, n));
    if (s >= e) continue;
    size_t start = static_cast<size_t>(s), end = static_cast<size_t>(e);
    if (!trim_to_name(t, start, end, type == "ORGANIZATION")) continue;
    if (!seen.insert({type, {start, end}}).second) continue;
    py::object score = self.attr(type == "ORGANIZATION" ? "ORGANIZATION_SCORE" : "PERSON_NAME_SCORE");
    py::object explanation = py::str(self.attr("EXPLANATION")).attr("format")(label);
    results.append(factory.make(label, start, end, score, name, explanation));
  }
  return results;
}

// The engine's pipeline must name persons or organizations: map its labels
// to the catalogue's types, ignore the others.
void configure_nlp_engine(py::module_ m, py::object nlp_engine, py::object language, py::object pipeline_name) {
  require_str(language, "configure_nlp_engine", "language");
  py::object nlp = nlp_engine.attr("nlp")[language];
  py::object error = m.attr("SpacyNerUnavailableError");
  const int has_ner = PySequence_Contains(nlp.attr("pipe_names").ptr(), py::str("ner").ptr());
  if (has_ner < 0) throw py::error_already_set();
  if (!has_ner) {
    PyErr_SetObject(error.ptr(),
                    py::str("the spaCy pipeline '{}' has no named-entity recognizer (no 'ner' component; its "
                            "components: {}), so it cannot find names; use a pipeline with one, such as "
                            "ro_legal_fl (pip install --no-deps ro-legal-fl)")
                        .format(pipeline_name, py::str(", ").attr("join")(nlp.attr("pipe_names")))
                        .ptr());
    throw py::error_already_set();
  }
  py::dict targets = m.attr("LABEL_TO_ENTITY");
  py::dict mapping;
  py::list ignored;
  std::vector<py::object> labels = snapshot(nlp.attr("get_pipe")("ner").attr("labels"));
  for (const py::object& label : labels) {
    const int known = PyDict_Contains(targets.ptr(), label.ptr());
    if (known < 0) throw py::error_already_set();
    if (known) mapping[label] = targets[label];
    else ignored.append(label);
  }
  if (py::len(mapping) == 0) {
    py::list names;
    for (const py::object& label : labels) names.append(label);
    PyErr_SetObject(error.ptr(),
                    py::str("the spaCy pipeline '{}' labels neither persons nor organizations (its labels: {}; "
                            "expected PERSON or ORG)")
                        .format(pipeline_name, py::len(names) ? py::str(", ").attr("join")(names) : py::str("none"))
                        .ptr());
    throw py::error_already_set();
  }
  py::object config_cls = py::module_::import("presidio_analyzer.nlp_engine").attr("NerModelConfiguration");
  nlp_engine.attr("ner_model_configuration") =
      config_cls(py::arg("model_to_presidio_entity_mapping") = mapping, py::arg("labels_to_ignore") = ignored,
                 py::arg("low_score_entity_names") = py::list(), py::arg("default_score") = 1.0);
}

}  // namespace

PYBIND11_MODULE(spacy_ner, m) {
  m.doc() = "Persons and organizations from the spaCy pipeline's named-entity recognizer, trimmed to the name.";
  py::module_ presidio = py::module_::import("presidio_analyzer");
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");
  m.attr("SpacyRecognizer") = py::module_::import("presidio_analyzer.predefined_recognizers").attr("SpacyRecognizer");

  py::dict label_to_entity;
  label_to_entity["PERSON"] = "PERSON_NAME";
  label_to_entity["PER"] = "PERSON_NAME";
  label_to_entity["ORG"] = "ORGANIZATION";
  label_to_entity["ORGANIZATION"] = "ORGANIZATION";
  m.attr("LABEL_TO_ENTITY") = label_to_entity;

  py::object value_error = py::reinterpret_borrow<py::object>(PyExc_ValueError);
  PyObject* err = PyErr_NewExceptionWithDoc(
      "tarnis.recognizers.spacy_ner.SpacyNerUnavailableError",
      "The spaCy pipeline has no named-entity recognizer, or one that labels neither persons nor\n"
      "organizations.",
      value_error.ptr(), nullptr);
  if (!err) throw py::error_already_set();
  m.attr("SpacyNerUnavailableError") = py::reinterpret_steal<py::object>(err);

  m.def(
      "configure_nlp_engine",
      [m](py::object nlp_engine, py::object language, py::object pipeline_name) {
        configure_nlp_engine(m, nlp_engine, language, pipeline_name);
      },
      py::arg("nlp_engine"), py::arg("language"), py::arg("pipeline_name"),
      "Map the loaded pipeline's person and organization labels (PERSON, PER, ORG, ORGANIZATION) to\n"
      "PERSON_NAME and ORGANIZATION in the engine's NER configuration and ignore its other labels.\n"
      "Raises SpacyNerUnavailableError naming the pipeline when it has no 'ner' component, or naming\n"
      "its labels when none of them is a person or organization label.");

  m.def(
      "_trim_to_name",
      [](py::object text, py::object start, py::object end, py::object organization) -> py::object {
        require_str(text, "_trim_to_name", "text");
        Text t(text);
        const Py_ssize_t n = static_cast<Py_ssize_t>(t.size());
        Py_ssize_t s = std::max<Py_ssize_t>(0, std::min(clipped_index_value(start), n));
        Py_ssize_t e = std::max<Py_ssize_t>(0, std::min(clipped_index_value(end), n));
        if (s >= e) return py::none();
        size_t a = static_cast<size_t>(s), b = static_cast<size_t>(e);
        if (!trim_to_name(t, a, b, truth(organization))) return py::none();
        return py::make_tuple(a, b);
      },
      py::arg("text"), py::arg("start"), py::arg("end"), py::arg("organization") = false,
      "The (start, end) of the name inside text[start:end], or None when no name is left.");

  ClassBuilder(m, "SpacyNerRecognizer", py::make_tuple(m.attr("SpacyRecognizer")),
               "Reports the PERSON_NAME and ORGANIZATION entities of the engine's spaCy pipeline (its labels\n"
               "mapped by the NLP engine's configuration, see configure_nlp_engine), each trimmed to the name:\n"
               "leading role, title and kinship words and words that do not begin with a capital leave the\n"
               "span, and so do trailing lower-case words and punctuation; a span with no capitalised word\n"
               "left is dropped.")
      .attr("ENTITIES", [] {
        py::list l;
        l.append("PERSON_NAME");
        l.append("ORGANIZATION");
        return l;
      }())
      .attr("PERSON_NAME_SCORE", py::float_(0.85))
      .attr("ORGANIZATION_SCORE", py::float_(0.85))
      .attr("EXPLANATION", py::str("Identified as {} by the spaCy pipeline's named-entity recognizer"))
      .init(
          [m](py::object self, py::object supported_language) {
            require_str(supported_language, "SpacyNerRecognizer", "supported_language");
            m.attr("SpacyRecognizer")
                .attr("__init__")(self, py::arg("supported_language") = supported_language,
                                  py::arg("supported_entities") = self.attr("ENTITIES"),
                                  py::arg("name") = "SpacyNerRecognizer");
          },
          "Recognizer of PERSON_NAME and ORGANIZATION for `supported_language`.",
          py::arg("supported_language") = "ro")
      .method(
          "analyze",
          [m](py::object self, py::object text, py::object entities, py::object nlp_artifacts) {
            return analyze(m, self, text, entities, nlp_artifacts);
          },
          "The pipeline's persons and organizations among `entities`, trimmed to the name.", py::arg("text"),
          py::arg("entities"), py::arg("nlp_artifacts") = py::none())
      .finish();
}
