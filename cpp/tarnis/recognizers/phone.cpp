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
#include "core/native.hpp"
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

// A phone keyword and what may stand between it and the number: "tel.",
// "Tel:", "telefon", "nr. de telefon", "mobil", "fax", "tel/fax", "contact",
// as whole words, then white space and at most one ":", "-", "=" or dash.
const char32_t* const kKeywordPattern =
    UR"((?<![^\W\d_])(?:(?:nr\.?|num[aă]r(?:ul)?)\s*(?:de\s+)?tel(?:efon)?|tel(?:efon(?:ul|ului)?)?|mobil(?:ul)?|fax(?:ul)?|contact)(?:\s*/\s*fax)?\.?(?![^\W\d_])\s*(?:[:\-=\u2013]\s*)?)";
constexpr int kKeywordFlags = reflag::IGNORECASE | reflag::UNICODE;

const Regex* g_cnp = nullptr;
const Regex* g_keyword = nullptr;
const Regex* g_ipv4 = nullptr;
const Regex* g_idnp = nullptr;
const Regex* g_date = nullptr;
const Regex* g_salary = nullptr;
const Regex* g_year_amount = nullptr;

// The class's own _preceded_by_alpha, to tell whether a subclass replaced it.
const NativeMethod* g_preceded_by_alpha = nullptr;

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
// A cluster is scanned only if it can hold a number of the region: a number
// written with a plus needs a country code and the shortest national number
// of any region; one written with the region's international call prefix
// needs that prefix at the start of a digit run, followed by as many digits;
// any other is a national number of the region. At the leniency POSSIBLE
// that only needs the region's shortest length; from VALID on it must be a
// valid number of the region's country code, read from the cluster's digits
// as the library reads it (see may_hold_number). Letters of the cluster
// count as digits (the library maps letters of vanity numbers to digits). A
// region the library does not know only parses numbers written with a plus.

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
// Decimal value of a character, or -1; and whether it is a letter (ASCII
// answered without the interpreter's tables).
inline int decimal_of(char32_t c) {
  if (c < 0x80) return c >= U'0' && c <= U'9' ? static_cast<int>(c - U'0') : -1;
  return Py_UNICODE_TODECIMAL(c);
}
inline bool letter(char32_t c) {
  if (c < 0x80) return (c | 0x20) >= U'a' && (c | 0x20) <= U'z';
  return is_alpha(c);
}
// Separators of an extension label from the number and from its digits.
inline bool is_label_separator(char32_t c) {
  return c == U' ' || c == U'\u00A0' || c == U'\t' || c == U',' || c == U'-' || c == U':' || c == U'.' ||
         c == U'\uFF0E';
}
inline bool is_plus(char32_t c) { return c == U'+' || c == U'\uFF0B'; }

// A candidate's digits, as the library reads them, start where a digit run
// of the text starts and end where one ends: the candidate pattern takes
// whole runs (\d{1,20} blocks, greedy, with optional punctuation between
// them), the inner candidates split at slashes, brackets, dashes, dots and
// spaces, and the extension of a number begins with a label or separator.
// Two things cut a run: a run longer than a block (20 digits), and the digit
// limit of an extension (9, 15 or 20 digits after a label; 6 only before a
// "#", which then must follow at once). A cluster with such a run is
// "cuttable" and gets no finer test than its digit count.
constexpr size_t kBlockDigits = 20;
constexpr size_t kExtensionDigits = 6;
// The candidate pattern has at most 21 blocks, each inside one run, and an
// extension adds one more run: a candidate spans at most 22 runs.
constexpr size_t kMaxRuns = 22;
// Clusters of more runs than this (long lists of numbers run together) keep
// the digit count test, so that the finer test costs a bounded time per run.
constexpr size_t kMaxExactRuns = 64;

struct Cluster {
  size_t start, end;   // [start, end) of the text
  size_t weight;       // characters that can stand for a digit
  bool plus;           // holds a plus sign
  bool lettered;       // holds three or more letters between its first digit or plus and its last digit
  bool exotic;         // holds a digit outside ASCII
  bool cuttable;       // holds a run a candidate may end or start inside
  std::string digits;  // its digits, as ASCII
  std::vector<std::pair<size_t, size_t>> runs;  // [start, end) of each digit run, in `digits`
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
  const uint8_t* table = char_table().data();
  auto in_cluster = [&](size_t i) {
    const char32_t c = text[i];
    if (c == U',' || c == U'\t') return near_label[i] != 0;
    return c < 0x110000 && (table[c] & kNumberChar) != 0;
  };
  // Only clusters with a digit are kept: every candidate holds one, and
  // most clusters of prose (spaces, short words) have none.
  std::vector<Cluster> out;
  for (size_t i = 0; i < n;) {
    if (!in_cluster(i)) {
      ++i;
      continue;
    }
    size_t stop = i;
    bool any_digit = false;
    for (; stop < n && in_cluster(stop); ++stop) {
      if (!any_digit && decimal_of(text[stop]) >= 0) any_digit = true;
    }
    if (!any_digit) {
      i = stop;
      continue;
    }
    Cluster c{i, i, 0, false, false, false, false, {}, {}};
    size_t letters = 0, letters_inside = 0;
    bool started = false;     // a digit or plus seen
    bool label_gap = false;   // a label character since the last run
    bool after_label = false; // the current run follows a label character
    bool in_run = false;
    auto close_run = [&] {
      if (!in_run) return;
      const size_t len = c.runs.back().second - c.runs.back().first;
      if (len > kBlockDigits || (after_label && len > kExtensionDigits)) c.cuttable = true;
      in_run = false;
    };
    for (; i < stop; ++i) {
      const char32_t ch = text[i];
      const int d = decimal_of(ch);
      if (d >= 0) {
        if (!in_run) {
          after_label = label_gap && !c.runs.empty();
          label_gap = false;
          c.runs.emplace_back(c.digits.size(), c.digits.size());
          in_run = true;
        }
        if (ch >= 0x80) c.exotic = true;
        ++c.weight;
        c.digits.push_back(static_cast<char>('0' + d));
        ++c.runs.back().second;
        started = true;
        letters_inside = letters;
        continue;
      }
      close_run();
      if (ch < 0x110000 && (table[ch] & kLabelChar)) label_gap = true;
      if (letter(ch)) {
        ++c.weight;
        if (started) ++letters;
      } else if (is_plus(ch)) {
        c.plus = true;
        started = true;
      }
    }
    close_run();
    c.end = i;
    // A candidate ends with a digit or "#" and its national number starts at
    // its first digit or plus: letters outside them never read as digits.
    c.lettered = letters_inside >= 3;
    out.push_back(std::move(c));
  }
  return out;
}

// A national prefix rule of a region: the pattern the library strips from
// the start of a national number, and the template it may rewrite the
// stripped part with (literal digits and group references).
struct PrefixRule {
  std::unique_ptr<Regex> pattern;
  bool transforms = false;
  std::vector<std::pair<std::u32string, size_t>> pieces;  // literal text, then group (0: none)
};

// The union of some number descriptions: lengths and patterns.
struct DescUnion {
  uint64_t lengths = 0;    // bit L: some description allows length L
  bool any_length = false; // some description lists no lengths
  std::unique_ptr<Regex> re;
  bool matches(const std::u32string& s, Match& m) const {
    if (!re) return false;
    if (!any_length && (s.size() >= 64 || !(lengths >> s.size() & 1))) return false;
    return re->fullmatch(s, m);
  }
};

// What a region's numbers need, from the library's metadata.
struct RegionNeeds {
  bool known = false;                 // a region the library has metadata for
  size_t national = SIZE_MAX;         // shortest national number of its country code
  std::unique_ptr<Regex> idd_then;    // its international prefix and then a shortest number
  // A valid national number (leniency VALID and up) can be checked against
  // the digits of a cluster: the regions of the country code agree on a
  // general description and a number type, and the prefix rules are ones
  // this code can apply.
  bool exact = false;
  std::u32string country_code;
  std::vector<PrefixRule> prefixes;
  DescUnion general, types;
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

// Adds a number description to a union; one without a pattern never matches
// (the library's _match_national_number) and is left out.
void add_desc(DescUnion& u, std::u32string& alternatives, py::handle desc) {
  if (desc.is_none()) return;
  py::object pattern = desc.attr("national_number_pattern");
  if (!PyUnicode_Check(pattern.ptr()) || PyUnicode_GetLength(pattern.ptr()) == 0) return;
  py::object lengths = desc.attr("possible_length");
  if (lengths.is_none()) lengths = py::tuple();
  py::object items = py::reinterpret_steal<py::object>(PySequence_List(lengths.ptr()));
  if (!items) throw py::error_already_set();
  if (PyList_GET_SIZE(items.ptr()) == 0) u.any_length = true;
  for (py::handle v : items) {
    const Py_ssize_t len = index_value(v);
    if (len >= 0 && len < 64) u.lengths |= uint64_t{1} << len;
    else u.any_length = true;
  }
  if (!alternatives.empty()) alternatives += U"|";
  alternatives += U"(?:" + std::u32string(Text(pattern).view()) + U")";
}

// The national prefix rule of one region's metadata; false when its
// transform template is not literal digits and group references.
bool prefix_rule(py::handle meta, std::vector<PrefixRule>& out) {
  py::object np = meta.attr("national_prefix_for_parsing");
  if (!PyUnicode_Check(np.ptr()) || PyUnicode_GetLength(np.ptr()) == 0) return true;
  PrefixRule rule;
  rule.pattern = std::make_unique<Regex>(std::u32string(Text(np).view()));
  py::object rule_text = meta.attr("national_prefix_transform_rule");
  if (PyUnicode_Check(rule_text.ptr()) && PyUnicode_GetLength(rule_text.ptr()) > 0) {
    rule.transforms = true;
    const std::u32string t(Text(rule_text).view());
    std::u32string literal;
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i] >= U'0' && t[i] <= U'9') {
        literal.push_back(t[i]);
      } else if (t[i] == U'\\' && i + 1 < t.size() && t[i + 1] >= U'1' && t[i + 1] <= U'9' &&
                 !(i + 2 < t.size() && t[i + 2] >= U'0' && t[i + 2] <= U'9')) {
        rule.pieces.emplace_back(literal, static_cast<size_t>(t[i + 1] - U'0'));
        literal.clear();
        ++i;
      } else {
        return false;
      }
    }
    rule.pieces.emplace_back(literal, 0);
  }
  out.push_back(std::move(rule));
  return true;
}

void exact_needs(Library& lib, py::handle region, py::handle cc, RegionNeeds& needs) {
  static const char* const kTypes[] = {"premium_rate", "toll_free", "shared_cost", "voip", "personal_number",
                                       "pager",        "uan",       "voicemail",   "fixed_line", "mobile"};
  py::object md = lib.module.attr("PhoneMetadata");
  py::object same = py::reinterpret_steal<py::object>(
      PySequence_List(lib.module.attr("region_codes_for_country_code")(cc).ptr()));
  if (!same) throw py::error_already_set();
  std::u32string general, types;
  for (py::handle r : same) {
    py::object meta = md.attr("metadata_for_region")(r);
    if (meta.is_none()) continue;
    add_desc(needs.general, general, meta.attr("general_desc"));
    for (const char* t : kTypes) add_desc(needs.types, types, meta.attr(t));
  }
  // National prefixes are stripped with the metadata of the region being
  // scanned, and after a country code with that of the code's main region.
  py::object main = lib.module.attr("region_code_for_country_code")(cc);
  std::vector<py::object> sources{py::reinterpret_borrow<py::object>(region)};
  if (!main.equal(region)) sources.push_back(main);
  for (const py::object& r : sources) {
    py::object meta = md.attr("metadata_for_region")(r);
    if (meta.is_none()) continue;
    if (!prefix_rule(meta, needs.prefixes)) return;
  }
  if (!general.empty()) needs.general.re = std::make_unique<Regex>(general);
  if (!types.empty()) needs.types.re = std::make_unique<Regex>(types);
  needs.country_code = std::u32string(Text(py::str(cc)).view());
  needs.exact = true;
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
    for (py::handle r : same) needs.national = std::min(needs.national, shortest(md.attr("metadata_for_region")(r)));
    try {
      exact_needs(lib, region, cc, needs);
    } catch (const PatternError&) {
      // A pattern the core's regex cannot take: count digits only.
      needs.exact = false;
    }
    if (!needs.exact) {
      needs.prefixes.clear();
      needs.general = DescUnion();
      needs.types = DescUnion();
    }
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

// The number left after one national prefix rule, as the library's
// _maybe_strip_national_prefix_carrier_code gives it when it strips; false
// when the rule does not match.
bool strip_prefix(const PrefixRule& rule, const std::u32string& number, std::u32string& out, Match& m) {
  if (!rule.pattern->match(number, m)) return false;
  const size_t groups = m.spans.size() - 1;
  if (!rule.transforms || groups == 0 || !m.matched(groups)) {
    out = number.substr(m.end());
    return true;
  }
  out.clear();
  for (const auto& [literal, group] : rule.pieces) {
    out += literal;
    if (group > 0 && m.matched(group)) out.append(number, m.start(group), m.end(group) - m.start(group));
  }
  out.append(number, m.end(), std::u32string::npos);
  return true;
}

// Whether some national significant number the library can read from the
// digits D[s:j] (a candidate's digits before any extension) is valid for
// the country code: it is D[s:j] itself, or what is left after the country
// code and up to two national prefixes are stripped (the library strips the
// country code and a prefix in _maybe_extract_country_code, and a prefix
// again in parse). Every stripping is also tried where the library might
// refuse it, so the set holds every number the library can arrive at.
bool valid_national(const RegionNeeds& needs, std::u32string number, Match& m) {
  std::vector<std::u32string> seen;
  const size_t cc = needs.country_code.size();
  if (number.size() > cc && number.compare(0, cc, needs.country_code) == 0) seen.push_back(number.substr(cc));
  seen.push_back(std::move(number));
  size_t from = 0;
  std::u32string stripped;
  for (int level = 0; level < 2; ++level) {
    const size_t to = seen.size();
    for (size_t k = from; k < to; ++k) {
      for (const PrefixRule& rule : needs.prefixes) {
        if (strip_prefix(rule, seen[k], stripped, m)) seen.push_back(stripped);
      }
    }
    from = to;
  }
  for (const std::u32string& s : seen) {
    if (needs.general.matches(s, m) && needs.types.matches(s, m)) return true;
  }
  return false;
}

// Whether the matcher can find a number of `region` in the cluster.
//
// A number written with a plus holds a country code and a national number.
// From the leniency VALID on (is_valid_number), a number in national form
// must match the general description and a number type of a region of its
// country code, and its digits are those of a candidate between run
// boundaries, less the country code and prefixes the library strips. One
// written with the international prefix of the region holds that prefix at
// the start of a run, then a country code and a national number. Letters may
// read as digits (vanity numbers) and the library may read a non-ASCII digit
// differently: such clusters are judged by their length alone.
bool may_hold_number(Library& lib, const RegionNeeds& needs, const Cluster& c, bool valid_only) {
  // Every candidate holds a digit: a cluster of letters and punctuation
  // alone (most of them in prose) has none.
  if (c.digits.empty()) return false;
  const size_t with_plus = 1 + any_national(lib);
  if (c.plus && c.weight >= with_plus) return true;
  if (!needs.known) return false;
  if (c.lettered || c.exotic) return c.weight >= std::min(with_plus, needs.national);
  const std::u32string digits(c.digits.begin(), c.digits.end());
  Match m;
  if (!valid_only || !needs.exact || c.cuttable || c.runs.size() > kMaxExactRuns) {
    if (c.weight >= needs.national) return true;
    return needs.idd_then && needs.idd_then->search(digits, m);
  }
  const size_t runs = c.runs.size();
  for (size_t a = 0; a < runs; ++a) {
    const size_t s = c.runs[a].first;
    for (size_t b = a; b < runs && b < a + kMaxRuns; ++b) {
      if (valid_national(needs, digits.substr(s, c.runs[b].second - s), m)) return true;
    }
  }
  if (needs.idd_then) {
    for (const auto& run : c.runs) {
      if (needs.idd_then->match(U32View(digits).substr(run.first), m)) return true;
    }
  }
  return false;
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

// ---------------------------------------------------------------------------
// Numbers after a phone keyword
//
// Right after "tel.", "telefon:", "mobil", "fax", "contact" and the like, a
// number is personal data whether or not its range is given out today: the
// matcher, at the leniency VALID, passes over "+40 782 512 470" because no
// operator holds that range. There a number is taken when the library calls
// it possible (its length fits a region), and only where the region passes
// found nothing, so that their results stay as they are.

bool is_gap_char(char32_t ch) {
  return ch == U' ' || ch == U'\u00A0' || ch == U'-' || ch == U'.' || ch == U'/' || ch == U'\u2013' || ch == U'(' ||
         ch == U')';
}

// The ends of the phone-shaped run at `start`: an optional "+", then groups
// of ASCII digits with at most three of " -./()" (and NBSP, en dash) between
// them, up to 17 digits. A number may end where the run ends or before white
// space; not inside "211.28.170.140" or "4516/993/2017", whose rest would be
// left out. Empty when no digit group begins there, or when the run is an
// IPv4 address.
std::vector<size_t> number_ends(U32View text, size_t start) {
  constexpr size_t kMaxDigits = 17;
  constexpr size_t kMaxGap = 3;
  std::vector<size_t> ends;
  const size_t n = text.size();
  size_t i = start;
  if (i < n && is_plus(text[i])) ++i;
  if (i < n && text[i] == U'(') ++i;
  size_t digits = 0;
  while (i < n && text[i] >= U'0' && text[i] <= U'9') {
    while (i < n && text[i] >= U'0' && text[i] <= U'9') {
      ++i;
      ++digits;
    }
    if (digits > kMaxDigits) break;
    const size_t end = i;
    size_t gap = 0;
    bool spaced = false;
    while (i < n && gap <= kMaxGap && is_gap_char(text[i])) {
      spaced = spaced || text[i] == U' ' || text[i] == U'\u00A0';
      ++i;
      ++gap;
    }
    const bool run_goes_on = gap <= kMaxGap && i < n && text[i] >= U'0' && text[i] <= U'9';
    if (!run_goes_on || spaced) ends.push_back(end);
    if (gap > kMaxGap) break;
  }
  if (!ends.empty()) {
    Match m;
    if (g_ipv4->fullmatch(text.substr(start, ends.back() - start), m)) return {};
  }
  return ends;
}

void add_after_keywords(py::handle pn, const Calls& c, py::handle cls_name, py::handle score, py::handle regions,
                        py::handle text, U32View view, py::list& results) {
  // A stand-in for the library (bound on the module by a host, a test or a
  // benchmark) that has no possibility test cannot judge these numbers.
  if (!py::hasattr(pn, "is_possible_number")) return;
  Match m;
  if (!g_keyword->search(view, m)) return;
  const size_t n = view.size();
  // What the region passes found: a number after a keyword is added only
  // where it overlaps none of it.
  std::vector<bool> taken(n + 1, false);
  for (py::handle r : snapshot(results)) {
    const Py_ssize_t s = index_value(r.attr(c.start_attr));
    const Py_ssize_t e = index_value(r.attr(c.end_attr));
    for (Py_ssize_t i = std::max<Py_ssize_t>(s, 0); i < e && static_cast<size_t>(i) < n; ++i) taken[i] = true;
  }
  auto free_span = [&](size_t s, size_t e) {
    for (size_t i = s; i < e; ++i) {
      if (taken[i]) return false;
    }
    return true;
  };
  // Looked up when first needed: most keywords are followed by a number the
  // region passes found.
  py::object possible;
  py::object parse_with_region = c.parse;
  std::vector<std::pair<size_t, size_t>> added;
  MatchIterator it(*g_keyword, view);
  while (it.next(m)) {
    const size_t start = m.end();
    if (start >= n || taken[start]) continue;
    const std::vector<size_t> ends = number_ends(view, start);
    if (ends.empty()) continue;
    const bool plus = is_plus(view[start]);
    // The longest run the library calls possible, trying the regions in
    // order (a number with "+" names its own).
    py::object found_region;
    size_t found_end = 0;
    const py::tuple region_list = py::reinterpret_borrow<py::tuple>(regions);
    const size_t passes = plus ? 1 : region_list.size();
    for (size_t k = 0; k < passes && !found_end; ++k) {
      py::object region = plus ? py::object(py::none()) : py::object(region_list[k]);
      for (size_t j = ends.size(); j-- > 0;) {
        const size_t end = ends[j];
        if (end < n && is_alpha(view[end])) continue;
        if (!free_span(start, end) || rejected_by_shape(view.substr(start, end - start))) continue;
        py::object raw = py::reinterpret_steal<py::object>(
            PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end)));
        if (!raw) throw py::error_already_set();
        PyObject* number = PyObject_CallFunctionObjArgs(parse_with_region.ptr(), raw.ptr(), region.ptr(), nullptr);
        if (!number) {
          if (!PyErr_ExceptionMatches(c.parse_error.ptr())) throw py::error_already_set();
          PyErr_Clear();
          continue;
        }
        py::object parsed = py::reinterpret_steal<py::object>(number);
        if (!possible) possible = pn.attr("is_possible_number");
        const int ok = PyObject_IsTrue(possible(parsed).ptr());
        if (ok < 0) throw py::error_already_set();
        if (!ok) continue;
        found_end = end;
        found_region = plus ? parsed_region(c, raw) : region;
        if (!found_region || found_region.is_none()) found_region = py::str("ZZ");
        break;
      }
    }
    if (!found_end) continue;
    for (size_t i = start; i < found_end; ++i) taken[i] = true;
    results.append(make_result(c, cls_name, start, found_end, score, found_region));
  }
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
  py::object own_test = g_preceded_by_alpha->override_in(self);

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
  add_after_keywords(pn, c, cls_name, score, regions, text, view, results);
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
  m.attr("_PHONE_KEYWORD_RE") = re.attr("compile")(to_str(kKeywordPattern), re.attr("IGNORECASE") | re.attr("UNICODE"));
  g_keyword = new Regex(kKeywordPattern, kKeywordFlags);
  g_ipv4 = new Regex(UR"(\d{1,3}(?:\.\d{1,3}){3})");

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
  g_preceded_by_alpha = new NativeMethod(cls, "_preceded_by_alpha");
}
