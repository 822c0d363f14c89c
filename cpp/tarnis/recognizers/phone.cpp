// Phone numbers found by the phonenumbers library, one scan of the text per
// region, minus candidates that are really personal codes, dates, amounts or
// digit runs cut out of alphanumeric codes.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <vector>
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

// ---------------------------------------------------------------------------
// Windows of the text that can hold a number
//
// The phone-number matcher scans the text for candidates with one pattern
// (digits, punctuation, a leading plus or bracket, an optional extension)
// and parses and verifies each candidate in Python, which is what a long
// text costs. A candidate is a run of characters that its pattern can
// match: digits, the library's punctuation, plus signs, brackets and the
// characters of extension labels ("ext", "anexo", "int", "#", ...).
// Commas and tabs occur in a candidate only next to an extension label.
// Every other character ends a candidate, so the text falls apart into
// clusters of such characters, separated by at least one character that no
// candidate contains; the pattern has no look-behind or anchors. The
// matcher's decisions about a candidate look at the candidate itself, at the
// character before it, and at the characters after it up to the first one
// that is not in its cluster. So a scan of a cluster with one character of
// context on each side finds exactly the matches the whole-text scan finds
// there, and the scan of the whole text is the scans of its clusters in
// order (each search resumes at or before the next cluster's first
// candidate, which lies in that cluster).
//
// A cluster is scanned only if it has enough digits to be a number of the
// region: a number written with a plus needs a country code and the
// shortest national number of any region; one written with the region's
// international call prefix needs that prefix followed by as many digits;
// any other is a national number of the region, at least as long as the
// region's shortest one. Letters of the cluster count as digits (the
// library maps letters of vanity numbers to digits). A region the library
// does not know only parses numbers written with a plus.

// Characters a candidate may contain anywhere (matched with IGNORECASE, as
// the library's pattern is): digits, the library's punctuation (dashes,
// spaces, brackets, dots, slashes, tildes, "x"), plus signs, the characters
// of extension labels and the punctuation around them.
const char32_t* const kNumberCharClass =
    UR"([\d\-x\u2010-\u2015\u2212\u30FC\uFF0D-\uFF0F \u00A0\u00AD\u200B\u2060\u3000()\uFF08\uFF09\uFF3B\uFF3D.\[\]/~\u2053\u223C\uFF5E+\uFF0B;=:\uFF0E#\uFF03\uFF5Eextnsioa\u00F3\u0301\u0434\u043E\u0431\uFF45\uFF58\uFF54\uFF4E\uFF49])";
// Characters an extension label may begin or end with.
const char32_t* const kLabelCharClass =
    UR"([extnsioa\u00F3\u0301\u0434\u043E\u0431\uFF45\uFF58\uFF54\uFF4E\uFF49#\uFF03~\uFF5E])";
constexpr int kNumberCharFlags = reflag::IGNORECASE | reflag::UNICODE;

constexpr uint8_t kNumberChar = 1;  // may occur anywhere in a candidate
constexpr uint8_t kLabelChar = 2;   // may begin or end an extension label

// One byte of flags per code point, built on first use.
const std::vector<uint8_t>& char_table() {
  static const std::vector<uint8_t> table = [] {
    std::u32string all(0x110000, U'\0');
    for (char32_t c = 0; c < 0x110000; ++c) all[c] = c;
    std::vector<uint8_t> t(0x110000, 0);
    const std::pair<const char32_t*, uint8_t> classes[] = {{kNumberCharClass, kNumberChar},
                                                           {kLabelCharClass, kLabelChar}};
    for (const auto& [pattern, bit] : classes) {
      Regex re(pattern, kNumberCharFlags);
      MatchIterator it(re, U32View(all));
      Match m;
      while (it.next(m)) t[m.start()] |= bit;
    }
    return t;
  }();
  return table;
}

inline uint8_t char_flags(char32_t c) { return c < 0x110000 ? char_table()[c] : 0; }
// Separators of an extension label from the number and from its digits.
inline bool is_label_separator(char32_t c) {
  return c == U' ' || c == U'\u00A0' || c == U'\t' || c == U',' || c == U'-' || c == U':' || c == U'.' ||
         c == U'\uFF0E';
}
inline bool is_plus(char32_t c) { return c == U'+' || c == U'\uFF0B'; }

struct Cluster {
  size_t start, end;   // [start, end) of the text
  size_t weight;       // characters that can stand for a digit
  bool plus;           // holds a plus sign
  bool lettered;       // holds three or more letters
  std::string digits;  // its digits, as ASCII
};

std::vector<Cluster> clusters_of(U32View text) {
  const size_t n = text.size();
  // Whether the separator run around i borders on a label character, on the
  // left and on the right: a comma or a tab counts only then.
  std::vector<uint8_t> near_label(n, 0);
  for (size_t i = 0; i < n;) {
    if (!is_label_separator(text[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && is_label_separator(text[j])) ++j;
    const bool left = i > 0 && (char_flags(text[i - 1]) & kLabelChar);
    const bool right = j < n && (char_flags(text[j]) & kLabelChar);
    if (left || right) std::fill(near_label.begin() + i, near_label.begin() + j, 1);
    i = j;
  }
  auto in_cluster = [&](size_t i) {
    const char32_t c = text[i];
    if (c == U',' || c == U'\t') return near_label[i] != 0;
    return (char_flags(c) & kNumberChar) != 0;
  };
  std::vector<Cluster> out;
  for (size_t i = 0; i < n;) {
    if (!in_cluster(i)) {
      ++i;
      continue;
    }
    Cluster c{i, i, 0, false, false, {}};
    size_t letters = 0;
    for (; i < n && in_cluster(i); ++i) {
      const char32_t ch = text[i];
      const int d = Py_UNICODE_TODECIMAL(ch);
      if (d >= 0) {
        ++c.weight;
        c.digits.push_back(static_cast<char>('0' + d));
      } else if (is_alpha(ch)) {
        ++c.weight;
        ++letters;
      } else if (is_plus(ch)) {
        c.plus = true;
      }
    }
    c.end = i;
    c.lettered = letters >= 3;
    out.push_back(std::move(c));
  }
  return out;
}

// What a region's numbers need, from the library's metadata.
struct RegionNeeds {
  bool known = false;                 // a region the library has metadata for
  size_t national = SIZE_MAX;         // shortest national number of its country code
  std::unique_ptr<Regex> idd_then;    // its international prefix and then a shortest number
  // The national number patterns of the regions that share its country code,
  // or none when a national number need not be digits of the text as written
  // (a prefix transformation rule rewrites them).
  std::vector<std::unique_ptr<Regex>> national_patterns;
};

size_t shortest(py::handle metadata) {
  size_t best = SIZE_MAX;
  if (metadata.is_none()) return best;
  py::object desc = metadata.attr("general_desc");
  if (desc.is_none()) return best;
  for (const char* attr : {"possible_length", "possible_length_local_only"}) {
    py::object lengths = desc.attr(attr);
    if (lengths.is_none()) continue;
    py::object items = py::reinterpret_steal<py::object>(PySequence_List(lengths.ptr()));
    if (!items) throw py::error_already_set();
    for (py::handle v : items) {
      const Py_ssize_t len = index_value(v);
      if (len >= 0) best = std::min(best, static_cast<size_t>(len));
    }
  }
  return best;
}

struct Library {
  py::object module;
  size_t any_national = SIZE_MAX;  // shortest national number of any country
  std::map<std::string, RegionNeeds> regions;
};

Library* g_library = nullptr;  // the phonenumbers module imported with this one

size_t any_national(Library& lib) {
  if (lib.any_national != SIZE_MAX) return lib.any_national;
  py::object md = lib.module.attr("PhoneMetadata");
  size_t best = SIZE_MAX;
  py::object regions = py::reinterpret_steal<py::object>(PySequence_List(lib.module.attr("SUPPORTED_REGIONS").ptr()));
  if (!regions) throw py::error_already_set();
  for (py::handle r : regions) best = std::min(best, shortest(md.attr("metadata_for_region")(r)));
  py::object codes = py::reinterpret_steal<py::object>(
      PySequence_List(lib.module.attr("COUNTRY_CODES_FOR_NON_GEO_REGIONS").ptr()));
  if (!codes) throw py::error_already_set();
  for (py::handle cc : codes) best = std::min(best, shortest(md.attr("metadata_for_nongeo_region")(cc)));
  lib.any_national = best == SIZE_MAX ? 0 : best;
  return lib.any_national;
}

const RegionNeeds& needs_of(Library& lib, py::handle region) {
  const std::string code = py::str(region).cast<std::string>();
  auto it = lib.regions.find(code);
  if (it != lib.regions.end()) return it->second;
  RegionNeeds needs;
  const int known = PySequence_Contains(lib.module.attr("SUPPORTED_REGIONS").ptr(), region.ptr());
  if (known < 0) throw py::error_already_set();
  needs.known = known == 1;
  if (needs.known) {
    py::object md = lib.module.attr("PhoneMetadata");
    py::object cc = lib.module.attr("country_code_for_region")(region);
    py::object same = py::reinterpret_steal<py::object>(
        PySequence_List(lib.module.attr("region_codes_for_country_code")(cc).ptr()));
    if (!same) throw py::error_already_set();
    bool rewritten = false;
    std::vector<std::unique_ptr<Regex>> patterns;
    for (py::handle r : same) {
      py::object meta = md.attr("metadata_for_region")(r);
      needs.national = std::min(needs.national, shortest(meta));
      if (meta.is_none()) continue;
      if (!meta.attr("national_prefix_transform_rule").is_none()) rewritten = true;
      py::object desc = meta.attr("general_desc");
      py::object nnp = desc.is_none() ? py::object(py::none()) : py::object(desc.attr("national_number_pattern"));
      if (!PyUnicode_Check(nnp.ptr())) {
        rewritten = true;  // no pattern to check against: rely on the length alone
        continue;
      }
      patterns.push_back(std::make_unique<Regex>(std::u32string(Text(nnp).view())));
    }
    if (!rewritten) needs.national_patterns = std::move(patterns);
    py::object own = md.attr("metadata_for_region")(region);
    py::object idd = py::none();
    if (!own.is_none()) idd = own.attr("international_prefix");
    if (PyUnicode_Check(idd.ptr())) {
      // The prefix, then a country code and the shortest national number.
      const std::string count = std::to_string(1 + any_national(lib));
      const std::u32string pattern = U"(?:" + std::u32string(Text(idd).view()) + U")\\d{" +
                                     std::u32string(count.begin(), count.end()) + U"}";
      needs.idd_then = std::make_unique<Regex>(pattern);
    }
  }
  return lib.regions.emplace(code, std::move(needs)).first->second;
}

// Whether the matcher can find a number of `region` in the cluster. From
// the leniency VALID on, a national number must match the national number
// pattern of a region of its country code, and it is written as a run of
// the cluster's digits (after a national prefix, before an extension).
bool may_hold_number(Library& lib, const RegionNeeds& needs, const Cluster& c, bool valid_only) {
  // Every candidate holds a digit: a cluster of letters and punctuation
  // alone (most of them in prose) has none.
  if (c.digits.empty()) return false;
  const size_t with_plus = 1 + any_national(lib);
  if (c.plus && c.weight >= with_plus) return true;
  if (!needs.known) return false;
  // Letters may read as digits, the international prefix among them.
  if (c.lettered) return c.weight >= std::min(with_plus, needs.national);
  const std::u32string digits(c.digits.begin(), c.digits.end());
  Match m;
  if (c.weight >= needs.national) {
    if (!valid_only || needs.national_patterns.empty()) return true;
    for (const auto& p : needs.national_patterns) {
      if (p->search(digits, m)) return true;
    }
  }
  return needs.idd_then && needs.idd_then->search(digits, m);
}

// [start, end) pieces of the text to scan for `region`: the clusters that
// may hold one of its numbers with a character of context on each side.
// Pieces that touch are joined; any other gap may hold clusters that need
// no scan, so it is left out.

std::vector<std::pair<size_t, size_t>> windows_for(Library& lib, py::handle region, const std::vector<Cluster>& clusters,
                                                   size_t n, bool valid_only) {
  const RegionNeeds& needs = needs_of(lib, region);
  std::vector<std::pair<size_t, size_t>> out;
  for (const Cluster& c : clusters) {
    if (!may_hold_number(lib, needs, c, valid_only)) continue;
    const size_t from = c.start > 0 ? c.start - 1 : 0;
    const size_t to = std::min(n, c.end + 1);
    if (!out.empty() && from <= out.back().second) {
      out.back().second = to;
    } else {
      out.emplace_back(from, to);
    }
  }
  return out;
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

  // The matcher runs on the pieces of the text that can hold a number, when
  // it is the library's own; one bound on the module by a host or a test is
  // given the whole text.
  const bool windowed = g_library && pn.is(g_library->module);
  const bool valid_only = PyLong_AsLong(leniency.ptr()) >= 1;  // checked to be 0..3 above
  std::vector<Cluster> clusters;
  if (windowed) clusters = clusters_of(view);

  for (py::handle region : py::reinterpret_borrow<py::tuple>(regions)) {
    std::vector<std::pair<size_t, size_t>> pieces;
    if (windowed) pieces = windows_for(*g_library, region, clusters, n, valid_only);
    else pieces.emplace_back(0, n);
    for (const auto& [from, to] : pieces) {
    py::object piece = text;
    if (from != 0 || to != n) {
      piece = py::reinterpret_steal<py::object>(
          PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(from), static_cast<Py_ssize_t>(to)));
      if (!piece) throw py::error_already_set();
    }
    py::object matcher = matcher_cls(piece, region, py::arg("leniency") = leniency, py::arg("max_tries") = max_tries);
    for (py::handle match : matcher) {
      const Py_ssize_t ls = index_value(match.attr(c.start_attr));
      const Py_ssize_t le = index_value(match.attr(c.end_attr));
      const size_t len = to - from;
      if (ls < 0 || le <= ls || static_cast<size_t>(le) > len) {
        throw py::value_error("phone matcher returned the span (" + std::to_string(ls) + ", " +
                              std::to_string(le) + ") for a text of length " + std::to_string(len));
      }
      const Py_ssize_t s = ls + static_cast<Py_ssize_t>(from);
      const Py_ssize_t e = le + static_cast<Py_ssize_t>(from);
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
  g_library = new Library{m.attr("phonenumbers"), SIZE_MAX, {}};
  m.attr("_NUMBER_CHAR_RE") = re.attr("compile")(to_str(kNumberCharClass), re.attr("IGNORECASE") | re.attr("UNICODE"));
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
