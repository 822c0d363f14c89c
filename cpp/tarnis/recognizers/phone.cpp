// Phone numbers found by the phonenumbers library, one scan of the text per
// region, minus candidates that are really personal codes, dates, amounts or
// digit runs cut out of alphanumeric codes.
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <map>
#include <string>
#include <utility>

#include "core/checks.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

// Rejection patterns, compiled without flags, in the order they are tried.
const char32_t* const kCnpPattern = UR"(\b[1-9]\d{12}\b)";
const char32_t* const kIdnpPattern = UR"(\b0\d{12}\b)";
const char32_t* const kDatePattern =
    UR"(^\(?\d{1,2}[-\u2013]\d{1,2}[./]\d{2}[./]\d{4}|^\(?\d{2}[./]\d{2}[./]\d{4}(\s.*)?$|^\d{2}[./]\d{2}[./]\d{4}-\d{2}[./]\d{2}[./]\d{4}$|^\d{2}[./]\d{2}\s*[-\u2013]\s*\d{2}[./]\d{2}[./]\d{4}$)";
const char32_t* const kSalaryPattern =
    UR"(^\d{1,3}(?:[.]\d{3})+(?:\s*[-\u2013\u2014]\s*\d{1,3}(?:[.]\d{3})+)?$)";
const char32_t* const kYearAmountPattern = UR"(^\d{4}\s*[-\u2013\u2014]\s*[\d.,]+$)";

const Regex* g_cnp = nullptr;
const Regex* g_idnp = nullptr;
const Regex* g_date = nullptr;
const Regex* g_salary = nullptr;
const Regex* g_year_amount = nullptr;

// The class's own _preceded_by_alpha, to tell whether a subclass replaced it.
PyObject* g_own_preceded_by_alpha = nullptr;

// Leniency levels of phonenumbers: POSSIBLE 0, VALID 1, STRICT_GROUPING 2,
// EXACT_GROUPING 3. The matcher accepts any other value and only fails, with
// a bare Exception, once a candidate reaches verification.
constexpr long kMinLeniency = 0;
constexpr long kMaxLeniency = 3;

void check_regions(py::handle regions, const char* func) {
  require_tuple(regions, func, "supported_regions");
  for (py::handle r : py::reinterpret_borrow<py::tuple>(regions)) {
    if (!PyUnicode_Check(r.ptr())) {
      throw py::type_error(std::string(func) + "() argument 'supported_regions' must hold region codes (str), not " +
                           Py_TYPE(r.ptr())->tp_name);
    }
  }
}

void check_leniency(py::handle leniency, const char* func) {
  require_int(leniency, func, "leniency");
  const long v = PyLong_AsLong(leniency.ptr());
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (v < kMinLeniency || v > kMaxLeniency) {
    throw py::value_error(std::string(func) +
                          "() argument 'leniency' must be a phonenumbers leniency level from 0 (POSSIBLE) "
                          "to 3 (EXACT_GROUPING), not " +
                          std::to_string(v));
  }
}

// str.isupper() on a short string: no lower-case or title-case character and
// at least one upper-case one.
bool str_isupper(U32View s) {
  bool cased = false;
  for (char32_t c : s) {
    if (Py_UNICODE_ISLOWER(c) || Py_UNICODE_ISTITLE(c)) return false;
    if (Py_UNICODE_ISUPPER(c)) cased = true;
  }
  return cased;
}

// True when the candidate at `start` directly follows a letter, or follows a
// whole two-letter upper-case word and one space ("RO 071847294"). Numbers
// written with a leading "+" are never treated so. `start` must index a
// character of the text (it is the start of a non-empty match).
bool preceded_by_alpha(U32View text, size_t start) {
  if (start == 0) return false;
  if (text[start] == U'+') return false;
  if (is_alpha(text[start - 1])) return true;
  if (text[start - 1] == U' ' && start >= 3) {
    const U32View prefix = text.substr(start - 3, 2);
    if (is_alpha(prefix[0]) && is_alpha(prefix[1]) && str_isupper(prefix)) {
      if (start < 4) return true;
      return !is_alpha(text[start - 4]);
    }
  }
  return false;
}

// The rejection tests that look at the candidate alone, in their order.
bool rejected_by_shape(U32View candidate) {
  const U32View s = strip(candidate);
  Match m;
  if (g_cnp->fullmatch(s, m)) return true;
  if (g_idnp->fullmatch(s, m)) return true;
  if (g_date->search(s, m)) return true;
  if (g_salary->match(s, m)) return true;
  // A year never begins with 0, while every Romanian or Moldovan number in
  // national form does: "0264-123456" and "0721-234567" are phone numbers,
  // not year-amount pairs.
  if (!s.empty() && s[0] != U'0' && g_year_amount->match(s, m)) return true;
  return false;
}

// What one analyze call needs from Python, looked up once per call.
struct Calls {
  explicit Calls(py::handle module) : results(module) {}
  ResultFactory results;
  py::object parse, region_of, parse_error;
  py::str entity_type = py::str("PHONE_NUMBER");
  py::str start_attr = py::str("start"), end_attr = py::str("end");
};

// The region written in an international-form number, or a null object when
// phonenumbers cannot parse the text without a default region (raised as
// NumberParseException). Any other error propagates.
py::object parsed_region(const Calls& c, py::handle raw) {
  PyObject* number = PyObject_CallOneArg(c.parse.ptr(), raw.ptr());
  PyObject* region = number ? PyObject_CallOneArg(c.region_of.ptr(), number) : nullptr;
  Py_XDECREF(number);
  if (region) return py::reinterpret_steal<py::object>(region);
  if (!PyErr_ExceptionMatches(c.parse_error.ptr())) throw py::error_already_set();
  PyErr_Clear();
  return py::object();
}

py::object make_result(const Calls& c, py::handle cls_name, size_t start, size_t end, py::handle score,
                       py::handle region) {
  py::str note = py::str("Recognized as ") + py::str(region) + py::str(" phone number");
  return c.results.make(c.entity_type, start, end, score, cls_name, note);
}

py::object analyze(py::module_ m, py::object self, py::object text, py::object entities) {
  require_str(text, "analyze", "text");
  require_list(entities, "analyze", "entities");
  py::object regions = self.attr("supported_regions");
  check_regions(regions, "analyze");
  py::object leniency = self.attr("leniency");
  check_leniency(leniency, "analyze");
  py::object score = self.attr("SCORE");
  py::object cls_name = py::type::of(self).attr("__name__");

  // Set when a subclass (or the instance) replaced _preceded_by_alpha.
  py::object own_test = self.attr("_preceded_by_alpha");
  if (own_test.ptr() == g_own_preceded_by_alpha) own_test = py::object();

  py::object pn = m.attr("phonenumbers");
  py::object matcher_cls = pn.attr("PhoneNumberMatcher");
  Calls c(m);
  c.parse = pn.attr("parse");
  c.region_of = pn.attr("region_code_for_number");
  c.parse_error = pn.attr("NumberParseException");
  // The matcher gives up silently after `max_tries` rejected candidates
  // (65,535 by default), which a long document of dense numbers exceeds.
  // Each candidate starts after the previous one, so the scan ends on its
  // own after a number of tries bounded by the text length: no limit needed.
  py::int_ max_tries(PY_SSIZE_T_MAX);

  Text t(text);
  const U32View view = t.view();
  const size_t n = t.size();

  // Outcome per span, shared by the region passes: whether it was rejected,
  // and the region parsed from it (null when it has no international form,
  // in which case each pass names its own region).
  struct Seen {
    bool rejected;
    py::object parsed_region;
  };
  std::map<std::pair<size_t, size_t>, Seen> seen;
  py::list results;

  for (py::handle region : py::reinterpret_borrow<py::tuple>(regions)) {
    py::object matcher = matcher_cls(text, region, py::arg("leniency") = leniency, py::arg("max_tries") = max_tries);
    for (py::handle match : matcher) {
      const Py_ssize_t s = index_value(match.attr(c.start_attr));
      const Py_ssize_t e = index_value(match.attr(c.end_attr));
      if (s < 0 || e <= s || static_cast<size_t>(e) > n) {
        throw py::value_error("phone matcher returned the span (" + std::to_string(s) + ", " + std::to_string(e) +
                              ") for a text of length " + std::to_string(n));
      }
      const std::pair<size_t, size_t> span{static_cast<size_t>(s), static_cast<size_t>(e)};
      auto it = seen.find(span);
      if (it == seen.end()) {
        Seen entry{false, py::object()};
        if (rejected_by_shape(view.substr(span.first, span.second - span.first))) {
          entry.rejected = true;
        } else if (own_test) {
          const int truth = PyObject_IsTrue(own_test(text, s).ptr());
          if (truth < 0) throw py::error_already_set();
          entry.rejected = truth != 0;
        } else {
          entry.rejected = preceded_by_alpha(view, span.first);
        }
        if (!entry.rejected) {
          py::object raw = py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), s, e));
          if (!raw) throw py::error_already_set();
          entry.parsed_region = parsed_region(c, raw);
        }
        it = seen.emplace(span, std::move(entry)).first;
      }
      if (it->second.rejected) continue;
      py::handle detected = it->second.parsed_region ? py::handle(it->second.parsed_region) : region;
      results.append(make_result(c, cls_name, span.first, span.second, score, detected));
    }
  }
  return self.attr("remove_duplicates")(results);
}

}  // namespace

PYBIND11_MODULE(phone, m) {
  m.doc() = "Recognizer for phone numbers in Romanian-language text.";
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  m.attr("re") = re;
  m.attr("phonenumbers") = py::module_::import("phonenumbers");
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("LocalRecognizer") = presidio.attr("LocalRecognizer");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");

  m.attr("_CNP_RE") = re.attr("compile")(to_str(kCnpPattern));
  m.attr("_IDNP_RE") = re.attr("compile")(to_str(kIdnpPattern));
  m.attr("_DATE_RE") = re.attr("compile")(to_str(kDatePattern));
  m.attr("_SALARY_RE") = re.attr("compile")(to_str(kSalaryPattern));
  m.attr("_YEAR_AMOUNT_RE") = re.attr("compile")(to_str(kYearAmountPattern));
  g_cnp = new Regex(kCnpPattern);
  g_idnp = new Regex(kIdnpPattern);
  g_date = new Regex(kDatePattern);
  g_salary = new Regex(kSalaryPattern);
  g_year_amount = new Regex(kYearAmountPattern);

  py::list context;
  for (const char* word : {"telefon", "mobil", "tel", "fax", "phone", "number", "contact", "apel"}) context.append(word);
  py::tuple regions = py::make_tuple("RO", "MD", "US", "UK", "IL", "CA", "BR");

  py::object cls =
      ClassBuilder(m, "CustomPhoneRecognizer", py::make_tuple(m.attr("LocalRecognizer")),
                   "Detects phone numbers in Romanian-language text with the phonenumbers library,\n"
                   "scanning once per region of `supported_regions`, and drops candidates that are\n"
                   "personal numeric codes, dates, amounts or digits cut out of alphanumeric codes.")
          .attr("SCORE", py::float_(0.65))
          .attr("CONTEXT", context)
          .attr("SUPPORTED_REGIONS", regions)
          .init(
              [m, regions](py::object self, py::object context, py::object supported_regions, py::object leniency) {
                require_list_or_none(context, "CustomPhoneRecognizer", "context");
                // Left at its default, the region list follows the class
                // attribute, so that a subclass may change it.
                if (supported_regions.is(regions)) supported_regions = self.attr("SUPPORTED_REGIONS");
                check_regions(supported_regions, "CustomPhoneRecognizer");
                check_leniency(leniency, "CustomPhoneRecognizer");
                self.attr("supported_regions") = supported_regions;
                self.attr("leniency") = leniency;
                // An empty list counts as absent. The default list is copied so
                // that changing one instance's context leaves the class alone.
                py::object words = context;
                if (context.is_none() || py::len(context) == 0) {
                  words = py::reinterpret_steal<py::object>(PySequence_List(self.attr("CONTEXT").ptr()));
                  if (!words) throw py::error_already_set();
                }
                py::list entities;
                entities.append("PHONE_NUMBER");
                m.attr("LocalRecognizer")
                    .attr("__init__")(self, py::arg("supported_entities") = entities,
                                      py::arg("supported_language") = "ro", py::arg("context") = words,
                                      py::arg("name") = "RomanianPhoneRecognizer");
              },
              "Recognizer for entity type PHONE_NUMBER, language \"ro\".\n\n"
              "`context`: context words (None or an empty list gives CONTEXT); `supported_regions`:\n"
              "a tuple of region codes, each scanned once; `leniency`: the phonenumbers leniency\n"
              "level (1, VALID, by default).",
              py::arg("context") = py::none(), py::arg("supported_regions") = regions, py::arg("leniency") = 1)
          .method(
              "load", [](py::object) {}, "Nothing to load.")
          .static_method(
              "_preceded_by_alpha",
              [](py::object text, py::object start) {
                require_str(text, "_preceded_by_alpha", "text");
                require_int(start, "_preceded_by_alpha", "start");
                Text t(text);
                const Py_ssize_t s = index_value(start);
                if (s == 0) return false;
                if (s < 0 || static_cast<size_t>(s) >= t.size()) {
                  throw py::index_error("_preceded_by_alpha(): start " + std::to_string(s) +
                                        " is outside a text of length " + std::to_string(t.size()));
                }
                return preceded_by_alpha(t.view(), static_cast<size_t>(s));
              },
              "True when the character before `start` is a letter, or when `start` follows one\n"
              "space after a whole two-letter upper-case word (as in 'RO 071847294'). Never true\n"
              "at offset 0 or for a number starting with '+'.",
              py::arg("text"), py::arg("start"))
          .method(
              "analyze",
              [m](py::object self, py::object text, py::object entities, py::object) {
                return analyze(m, self, text, entities);
              },
              "Find phone numbers in `text`, one PHONE_NUMBER result per span with score SCORE.\n"
              "`entities` and `nlp_artifacts` are accepted for the Presidio interface and not consulted.",
              py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
          .finish();
  py::object own = cls.attr("_preceded_by_alpha");
  g_own_preceded_by_alpha = own.release().ptr();
}
