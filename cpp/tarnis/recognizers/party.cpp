// Names of persons introduced by their role: the one to four capitalised words
// that directly follow a party or address word of legal text and contracts
// ("inculpatul POPESCU ION", "reclamanta Georgescu Ioana", "d-na Ionescu",
// "titular Ion Popescu", "martorului lui Vasile Dan"). No model is needed.
//
// A role word (any letter case, every inflection, with and without Romanian
// diacritics) is found by a pattern; the name is then read word by word:
// after white space that holds no line break, optionally "lui", words in
// Title case or all capitals (hyphenated parts allowed, each part Title case
// or capitals), separated by white space without a line break. Reading stops
// at punctuation, a word that begins in lower case, a word holding a digit,
// a line break, or after the fourth word. Titles and functions that stand
// between the role and the name ("domnul Președinte Ion Pop") are passed
// over; a name holding an organization word or a legal form ("reclamanta
// Societatea ...", "pârâta Alfa SRL") is no person and is not reported.
#include <pybind11/pybind11.h>

#include <string>
#include <unordered_set>
#include <utility>

#include "core/checks.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

// Letter classes with and without diacritics: ă/â -> [ăâa], î -> [îi],
// ș in comma-below and cedilla forms -> [șşs], ț likewise -> [țţt]. With
// IGNORECASE the capitals match too.
const char32_t* const kRolePattern =
    UR"(\b(?:)"
    // "titularul contului" before "titular" alone
    UR"(titular(?:ul|ului|a|ei)?\s+contului)"
    UR"(|(?:inculpat|reclamant|p[âa]r[âa]t|petent|intimat|apelant|recurent|martor|proprietar|chiria[șşs])"
    UR"(|mandatar|[îi]mputernicit|titular)(?:ul|ului|a|ei|[ăa])?)"
    UR"(|mo[șşs]tenit(?:or(?:ul|ului)?|oare(?:a|i)?))"
    UR"(|(?:numit|minor|defunct)(?:ul|ului|a|ei))"
    UR"(|subsemnat(?:ul|a))"
    UR"(|(?:partea|p[ăa]r[țţt]ii|persoana|persoanei)\s+(?:v[ăa]t[ăa]mat[ăa]|v[ăa]t[ăa]mate|civil[ăa]|civile))"
    UR"(|domn(?:ul|ului|i[șşs]oara|i[șşs]oarei)|doamn(?:a|ei))"
    UR"(|d-(?:na|nei|l|lui|[șşs]oara)|dl\.?|dlui\.?|dna\.?|dnei\.?|d[șşs]oara\.?)"
    UR"()(?!\w))";

// Titles and functions passed over between the role word and the name, in
// folded form (lower case, no diacritics).
const char* const kTitleWords[] = {
    "domnul", "domnului", "doamna", "doamnei", "dl", "dna", "dr", "prof", "ing", "av", "conf", "lect",
    "presedinte", "presedintele", "presedintelui", "vicepresedinte", "vicepresedintele", "ministru", "ministrul",
    "ministrului", "prim-ministru", "prim-ministrul", "premier", "premierul", "judecator", "judecatorul",
    "judecatoarea", "procuror", "procurorul", "procuroarea", "avocat", "avocatul", "avocata", "avocatei",
    "doctor", "doctorul", "doctora", "profesor", "profesorul", "profesoara", "inginer", "inginerul", "director",
    "directorul", "directoarea", "primar", "primarul", "primarului", "deputat", "deputatul", "senator",
    "senatorul", "consilier", "consilierul", "general", "generalul", "colonel", "colonelul", "maior", "maiorul",
    "capitan", "capitanul", "locotenent", "comisar", "comisarul", "inspector", "inspectorul", "agent", "agentul",
    "executor", "executorul", "notar", "notarul", "notarului", "secretar", "secretarul", "grefier", "grefierul",
    "expert", "expertul", "administrator", "administratorul", "lichidator", "lichidatorul", "sef", "seful",
    "academician", "rector", "rectorul", "decan", "decanul", "preot", "preotul", "parintele", "ambasador",
    "ambasadorul", "comandant", "comandantul", "ofiter", "ofiterul", "mediator", "mediatorul", "reprezentant",
    "reprezentantul", "mandatar", "mandatarul", "imputernicit", "imputernicitul", "consul", "guvernator",
    "guvernatorul", "prefect", "prefectul", "presedinta", "europarlamentar", "europarlamentarul"};

// Organization words and legal forms: a name holding one is no person.
const char* const kOrganizationWords[] = {
    "sc", "srl", "sa", "snc", "scs", "sca", "ra", "pfa", "ii", "if", "ong", "srl-d", "scm",
    "societatea", "societatii", "compania", "companiei", "asociatia", "asociatiei", "fundatia", "fundatiei",
    "banca", "bancii", "primaria", "primariei", "municipiul", "municipiului", "orasul", "orasului", "comuna",
    "comunei", "judetul", "judetului", "statul", "statului", "ministerul", "ministerului", "directia",
    "directiei", "agentia", "agentiei", "consiliul", "consiliului", "inspectoratul", "inspectoratului",
    "parchetul", "parchetului", "tribunalul", "tribunalului", "curtea", "curtii", "judecatoria",
    "judecatoriei", "administratia", "administratiei", "universitatea", "universitatii", "institutul",
    "institutului", "spitalul", "spitalului", "partidul", "partidului", "serviciul", "serviciului", "oficiul",
    "oficiului", "regia", "regiei", "uniunea", "uniunii", "federatia", "federatiei", "cabinetul", "biroul",
    "casa", "casei", "centrul", "centrului", "clubul", "clubului", "grupul", "grupului", "guvernul",
    "guvernului", "parlamentul", "senatul", "camera", "autoritatea", "autoritatii", "garda", "politia",
    "politiei", "jandarmeria", "colegiul", "liceul", "scoala", "scolii", "academia", "firma", "firmei",
    "intreprinderea", "cooperativa", "sindicatul", "biserica", "bisericii", "parohia", "manastirea", "romania",
    "republica", "moldova", "holding", "group", "company", "ltd", "gmbh", "inc", "bank", "trust", "invest",
    "construct", "impex", "prod", "com", "trans", "service", "grup"};

// Words that never belong to a name, written in capitals as often as not in
// headings and forms: identifier keywords ("titularul CNP ...", "Subsemnatul
// NUMĂR DE ÎNREGISTRARE ...", "Domnul Calea Libertății nr. 182"), street-type
// words and function words. A name ends before one.
const char* const kNotNameWords[] = {
    "cnp", "idnp", "iban", "bic", "swift", "nr", "numar", "numarul", "cod", "codul", "cont", "contul", "tel",
    "telefon", "telefonul", "mobil", "fax", "email", "e-mail", "bi", "ci", "seria", "serie", "cui", "cif",
    "dosar", "dosarul", "contract", "contractul", "inregistrare", "inmatriculare", "de", "din", "la", "cu", "si",
    "in", "al", "a", "ai", "ale", "pe", "pentru", "prin", "sau", "ori", "iar", "dar", "ca", "care", "este",
    "sunt", "domiciliat", "domiciliata", "nascut", "nascuta", "legitimat", "legitimata", "avand", "str",
    "strada", "bd", "bdul", "b-dul", "bulevardul", "calea", "aleea", "piata", "p-ta", "soseaua", "sos",
    "intrarea", "splaiul", "fundatura", "drumul", "jud", "sector"};

const Regex* g_role = nullptr;
std::unordered_set<std::u32string>* g_not_names = nullptr;
std::unordered_set<std::u32string>* g_titles = nullptr;
std::unordered_set<std::u32string>* g_organizations = nullptr;

// Lines end where str.splitlines() ends them.
bool is_line_break(char32_t c) {
  switch (c) {
    case U'\n': case U'\r': case U'\v': case U'\f': case U'\x1c': case U'\x1d': case U'\x1e': case U'\x85':
    case U'\u2028': case U'\u2029':
      return true;
    default:
      return false;
  }
}
bool is_blank(char32_t c) { return is_space(c) && !is_line_break(c); }
// Combining diacritical marks (a letter written as base letter plus mark).
bool is_mark(char32_t c) { return c >= 0x300 && c <= 0x36F; }
bool is_lower(char32_t c) { return Py_UNICODE_ISLOWER(c) != 0; }

// Lower case without Romanian diacritics, marks dropped.
std::u32string fold(U32View s) {
  std::u32string out;
  out.reserve(s.size());
  for (char32_t c : s) {
    if (is_mark(c)) continue;
    c = Py_UNICODE_TOLOWER(c);
    switch (c) {
      case U'ă': case U'â': c = U'a'; break;
      case U'î': c = U'i'; break;
      case U'ș': case U'ş': c = U's'; break;
      case U'ț': case U'ţ': c = U't'; break;
      default: break;
    }
    out.push_back(c);
  }
  return out;
}

// One hyphen-free part of a name word: a capital, then at least one more
// letter, all lower case (Title case) or all capitals.
bool name_part(U32View p) {
  size_t letters = 0;
  bool lower = false, upper = false;
  for (size_t i = 0; i < p.size(); ++i) {
    const char32_t c = p[i];
    if (is_mark(c)) {
      if (i == 0) return false;
      continue;
    }
    if (!is_alpha(c)) return false;
    ++letters;
    if (i == 0) {
      if (!is_upper(c)) return false;
      continue;
    }
    if (is_lower(c)) lower = true;
    else if (is_upper(c)) upper = true;
    else return false;  // a letter without case: not a Romanian name
  }
  return letters >= 2 && !(lower && upper);
}

bool name_word(U32View w) {
  size_t begin = 0;
  while (true) {
    const size_t dash = w.find(U'-', begin);
    const U32View part = w.substr(begin, dash == U32View::npos ? U32View::npos : dash - begin);
    if (!name_part(part)) return false;
    if (dash == U32View::npos) return true;
    begin = dash + 1;
  }
}

// The end of the token that starts at `i`: letters, digits, marks, "_" and
// hyphens between them.
size_t token_end(U32View t, size_t i) {
  size_t j = i;
  while (j < t.size()) {
    const char32_t c = t[j];
    if (is_word(c) || is_mark(c)) {
      ++j;
    } else if (c == U'-' && j > i && j + 1 < t.size() && (is_word(t[j + 1]))) {
      ++j;
    } else {
      break;
    }
  }
  return j;
}

// The legal form written with dots that may follow a name ("S.R.L.", "S.A.").
bool legal_form_follows(U32View t, size_t i) {
  std::u32string letters;
  size_t j = i;
  while (j < t.size() && (is_alpha(t[j]) || t[j] == U'.') && j - i < 12) {
    if (t[j] != U'.') letters.push_back(t[j]);
    ++j;
  }
  return !letters.empty() && j > i && g_organizations->count(fold(letters)) > 0;
}

struct Found {
  size_t start = 0, end = 0;
  bool ok = false;
};

// The name after a role word ending at `pos`.
Found read_name(U32View t, size_t pos, size_t max_words) {
  Found f;
  size_t i = pos;
  auto skip_blanks = [&]() {
    const size_t from = i;
    while (i < t.size() && is_blank(t[i])) ++i;
    return i > from;
  };
  if (!skip_blanks()) return f;
  {
    const size_t e = token_end(t, i);
    if (t.substr(i, e - i) == U"lui" && e < t.size() && is_blank(t[e])) {
      i = e;
      skip_blanks();
    }
  }
  size_t words = 0;
  size_t last_end = 0;
  while (i < t.size() && words < max_words) {
    const size_t e = token_end(t, i);
    if (e == i) break;  // punctuation or a line break
    const U32View token = t.substr(i, e - i);
    if (!name_word(token)) {
      if (words > 0 && legal_form_follows(t, i)) return Found{};
      break;
    }
    const std::u32string folded = fold(token);
    if (g_organizations->count(folded)) return Found{};
    if (g_not_names->count(folded)) break;
    if (words == 0 && g_titles->count(folded)) {
      i = e;
      if (!skip_blanks()) break;
      continue;
    }
    if (g_titles->count(folded)) break;
    if (words == 0) f.start = i;
    ++words;
    last_end = e;
    i = e;
    if (!skip_blanks()) break;
  }
  if (words == 0) return f;
  // A legal form written after the fourth word or after white space.
  if (i < t.size() && i > last_end && legal_form_follows(t, i)) return Found{};
  f.end = last_end;
  f.ok = true;
  return f;
}

py::list analyze(py::module_ m, py::object self, py::object text) {
  require_str(text, "analyze", "text");
  Text t(text);
  py::list results;
  py::object max_obj = self.attr("MAX_WORDS");
  require_int(max_obj, "analyze", "MAX_WORDS");
  const long max_words = max_obj.cast<long>();
  if (max_words < 1) throw py::value_error("MAX_WORDS must be at least 1");
  py::object score = self.attr("SCORE");
  py::object recognizer = self.attr("__class__").attr("__name__");
  py::object note = py::str("Name introduced by a role word");
  const ResultFactory make(m);
  const U32View v = t.view();

  MatchIterator roles(*g_role, v);
  Match match;
  size_t covered = 0;  // end of the last name reported: names never overlap
  while (roles.next(match)) {
    if (match.start() < covered) continue;
    // "așa-numitul X" (so-called) introduces no person; "DNA" in capitals
    // is the anticorruption directorate, not "dna" (doamna).
    if (match.start() > 0 && v[match.start() - 1] == U'-') continue;
    if (v.substr(match.start(), match.end() - match.start()) == U"DNA") continue;
    const Found f = read_name(v, match.end(), static_cast<size_t>(max_words));
    if (!f.ok) continue;
    results.append(make.make(py::str("PERSON_NAME"), f.start, f.end, score, recognizer, note));
    covered = f.end;
  }
  return results;
}

template <size_t N>
py::frozenset word_set(const char* const (&items)[N], std::unordered_set<std::u32string>*& native) {
  native = new std::unordered_set<std::u32string>();
  py::list out;
  for (const char* s : items) {
    py::str w(s);
    Text tw(w);
    native->insert(std::u32string(tw.view()));
    out.append(w);
  }
  return py::frozenset(out);
}

}  // namespace

PYBIND11_MODULE(party, m) {
  m.doc() = "Recognizer for names of persons introduced by a party or address word (rules only).";
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  m.attr("re") = re;
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("LocalRecognizer") = presidio.attr("LocalRecognizer");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");

  m.attr("_ROLE_RE") = re.attr("compile")(to_str(kRolePattern), re.attr("IGNORECASE"));
  g_role = new Regex(kRolePattern, reflag::IGNORECASE);
  m.attr("_TITLE_WORDS") = word_set(kTitleWords, g_titles);
  m.attr("_ORGANIZATION_WORDS") = word_set(kOrganizationWords, g_organizations);
  m.attr("_NOT_NAME_WORDS") = word_set(kNotNameWords, g_not_names);

  ClassBuilder(m, "PartyNameRecognizer", py::make_tuple(m.attr("LocalRecognizer")),
               "Detects names of persons introduced by a party or address word (inculpatul, reclamanta,\n"
               "martorul, domnul, d-na, subsemnatul, titularul contului, ...): one to four words in Title\n"
               "case or capitals directly after it.")
      .attr("SCORE", py::float_(0.75))
      .attr("MAX_WORDS", py::int_(4))
      .init(
          [m](py::object self) {
            py::list entities;
            entities.append("PERSON_NAME");
            m.attr("LocalRecognizer").attr("__init__")(self, py::arg("supported_entities") = entities,
                                                       py::arg("supported_language") = "ro",
                                                       py::arg("name") = "PartyNameRecognizer");
          },
          "Recognizer for entity type PERSON_NAME, language \"ro\".")
      .method(
          "load", [](py::object) {}, "Nothing to load.")
      .method(
          "analyze",
          [m](py::object self, py::object text, py::object, py::object) { return analyze(m, self, text); },
          "Find the names that directly follow a role word, each reported once at SCORE.\n"
          "`entities` and `nlp_artifacts` are accepted for the Presidio interface and not consulted.",
          py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
      .finish();
}
