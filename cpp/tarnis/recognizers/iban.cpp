// IBANs written with irregular spacing ("RO49AAAA1B31 0075 9384 0000",
// "ro49 aaaa1b310075 93840000"), on top of Presidio's own IBAN recognizer,
// which only knows the compact form and groups of four. A candidate is a run
// of alphanumeric groups separated by single white-space characters; its
// spaces are removed and schwifty decides whether it is an IBAN. The span is
// reported as written in the text.
//
// A further pass finds what that pass cannot: IBANs whose country code and
// check digits stand apart ("RO 49 AAAA ..."), whose groups are split by
// dashes, dots or a line break, or written compact in lower case. A candidate
// there is a chain of whole words made of ASCII letters and digits, joined by
// single separators, opening with the country code and the check digits; it
// is cut at the first word end where its compact form reaches the IBAN length
// registered for its country, and reported only when schwifty accepts it.
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/checks.hpp"
#include "core/native.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

const char32_t* const kSpacedPattern = UR"(\b([A-Z]{2}\d{2}[A-Z0-9]+(?:\s[A-Z0-9]+){1,9})\b)";

constexpr double kValidScore = 1.0;
constexpr double kChecksumScore = 0.65;
const char* const kExplanation = "Spaced IBAN validated via schwifty";
const char* const kSeparatedExplanation = "Separated IBAN validated via schwifty";
// No IBAN of any country is longer.
constexpr size_t kLongestIban = 34;

const Regex* g_spaced = nullptr;
// The re.Pattern bound as the class attribute at import. While an instance
// still sees this very object, matching runs on the native compilation of the
// same text; a replaced pattern is matched by its own finditer.
PyObject* g_default_pattern = nullptr;
PyObject* g_class = nullptr;
// The class's own `_validate_iban`: while an instance uses it, candidates are
// screened natively before schwifty is asked.
const NativeMethod* g_validate = nullptr;
PyObject* g_module = nullptr;

using Span = std::pair<Py_ssize_t, Py_ssize_t>;

constexpr bool ascii_letter(char32_t c) { return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z'); }
constexpr bool ascii_digit(char32_t c) { return c >= U'0' && c <= U'9'; }
inline char ascii_upper(char32_t c) { return static_cast<char>(c >= U'a' && c <= U'z' ? c - 32 : c); }

// Classes of the ASCII characters: a letter or digit, or "_", the other word
// character of that range.
enum : unsigned char { kAlnum = 1, kUnderscore = 2 };
constexpr std::array<unsigned char, 128> ascii_classes() {
  std::array<unsigned char, 128> out{};
  for (char32_t c = 0; c < 128; ++c) {
    if (ascii_letter(c) || ascii_digit(c)) out[c] = kAlnum;
  }
  out[U'_'] = kUnderscore;
  return out;
}
constexpr std::array<unsigned char, 128> kAsciiClass = ascii_classes();

inline bool ascii_alnum(char32_t c) { return c < 128 && kAsciiClass[c] == kAlnum; }
// is_word, without CPython's tables for ASCII.
inline bool word_char(char32_t c) { return c < 128 ? kAsciiClass[c] != 0 : is_word(c); }

// Length of the separator that starts at `i` and may join two groups of a
// separated IBAN: one space (a no-break space too), dash or dot, or one line
// break, "\r\n" included. 0 when there is none.
size_t separator_length(const Text& text, size_t i) {
  if (i >= text.size()) return 0;
  switch (text[i]) {
    case U' ':
    case U'\u00a0':
    case U'-':
    case U'.':
    case U'\n':
      return 1;
    case U'\r':
      return i + 1 < text.size() && text[i + 1] == U'\n' ? 2 : 1;
    default:
      return 0;
  }
}

// `from schwifty import IBAN`, at each call, with the ImportError that
// statement raises when the name is missing.
py::object import_iban() {
  py::module_ schwifty = py::module_::import("schwifty");
  if (!py::hasattr(schwifty, "IBAN")) {
    PyErr_SetString(PyExc_ImportError, "cannot import name 'IBAN' from 'schwifty'");
    throw py::error_already_set();
  }
  return schwifty.attr("IBAN");
}

// Score for a rejection by schwifty: its message mentions the checksum, or
// the candidate is not an IBAN at all (None). An exception whose text cannot
// even be produced counts as the latter.
py::object rejection_score(const py::error_already_set& err) {
  try {
    py::str message = py::str(err.value());
    py::object lowered = message.attr("lower")();
    int has = PyUnicode_Contains(lowered.ptr(), py::str("checksum").ptr());
    if (has < 0) throw py::error_already_set();
    return has ? py::object(py::float_(kChecksumScore)) : py::object(py::none());
  } catch (py::error_already_set& inner) {
    if (!inner.matches(PyExc_Exception)) throw;
    return py::none();
  }
}

py::object validate_iban(py::object compact) {
  py::object iban = import_iban();
  try {
    iban(compact);
    return py::float_(kValidScore);
  } catch (py::error_already_set& err) {
    // Interrupts and exits are not validation results.
    if (!err.matches(PyExc_Exception)) throw;
    return rejection_score(err);
  }
}

// One analyze call: the per-instance values read once, the spans already
// reported, and the results list being extended.
class SpacedScan {
 public:
  SpacedScan(py::object self, const Text& text, py::object results)
      : self_(std::move(self)), text_(text), results_(std::move(results)), factory_(py::handle(g_module)) {
    min_len_ = self_.attr("_MIN_IBAN_LEN");
    max_len_ = self_.attr("_MAX_IBAN_LEN");
    py::object own = g_validate->override_in(self_);
    screen_ = !own;
    validate_ = screen_ ? self_.attr("_validate_iban") : own;
    class_name_ = self_.attr("__class__").attr("__name__");
    // Attribute reads can run Python code: walk an owned copy of the list.
    PyObject* copy = PySequence_List(results_.ptr());
    if (!copy) throw py::error_already_set();
    py::list earlier = py::reinterpret_steal<py::list>(copy);
    for (size_t i = 0; i < earlier.size(); ++i) {
      py::object r = earlier[i];
      seen_.insert({index_value(r.attr("start")), index_value(r.attr("end"))});
    }
    lengths_.fill(kNotLooked);
    allowed_.fill(-1);
  }

  // What the scan does after a candidate.
  struct Next {
    enum Kind { Continue, Restart } kind = Continue;
    size_t pos = 0;
  };

  // Candidate [start, end) of the text. Tried whole first; when that is not
  // an IBAN, shorter versions ending at a group boundary (at least two groups
  // kept) are tried, longest first, so that words following an IBAN after a
  // single space ("... 9384 0000 si banca") do not hide it. When none is an
  // IBAN the scan resumes at the candidate's second group, so that an IBAN
  // preceded by a word of the same shape ("RO12345678 cont RO49...") is still
  // seen as a candidate of its own.
  Next candidate(size_t start, size_t end) {
    U32View cand = text_.slice(start, end);
    // Group ends, in text order: the end of every group followed by white space.
    std::vector<size_t> cuts;
    size_t first_gap_end = 0;
    bool gap = false;
    for (size_t i = 0; i < cand.size(); ++i) {
      if (is_space(cand[i])) {
        if (i > 0 && !is_space(cand[i - 1])) cuts.push_back(i);
        gap = true;
      } else if (gap && first_gap_end == 0) {
        first_gap_end = i;
      }
    }
    // Whole candidate first, then prefixes keeping at least two groups.
    std::vector<size_t> ends{cand.size()};
    for (size_t k = cuts.size(); k-- > 1;) ends.push_back(cuts[k]);

    for (size_t k = 0; k < ends.size(); ++k) {
      U32View piece = cand.substr(0, ends[k]);
      if (k > 0 && !worth_validating(piece)) continue;
      py::object score = try_piece(piece);
      if (score.is_none()) continue;
      Span span{static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(start + ends[k])};
      if (seen_.insert(span).second) append(span, score, kExplanation);
      if (k == 0) return {};
      return {Next::Restart, start + ends[k]};
    }
    if (first_gap_end > 0) return {Next::Restart, start + first_gap_end};
    return {};
  }

  // The further pass over the whole text: words are maximal runs of word
  // characters, so a candidate never starts or ends inside one; a word with
  // anything but ASCII letters and digits ends the chain.
  void separated() {
    const size_t n = text_.size();
    Chain chain;
    size_t i = 0;
    while (i < n) {
      if (!word_char(text_[i])) {
        ++i;
        continue;
      }
      size_t start = i;
      bool plain = true;
      for (; i < n && word_char(text_[i]); ++i) plain = plain && ascii_alnum(text_[i]);
      if (plain) {
        chain.groups.push_back({start, i});
        size_t sep = separator_length(text_, i);
        if (sep > 0 && i + sep < n && word_char(text_[i + sep])) {
          i += sep;
          scan_chain(chain, false);
          continue;
        }
      }
      scan_chain(chain, true);
    }
    scan_chain(chain, true);
  }

 private:
  // A word of a chain: [start, end) in the text.
  struct Group {
    size_t start, end;
    size_t size() const { return end - start; }
  };

  // The groups of the chain being read, and the first not yet tried as the
  // opening of a candidate.
  struct Chain {
    std::vector<Group> groups;
    size_t next = 0;
  };

  // Candidates of a chain, from each group in turn; after a reported IBAN
  // the scan goes on past its last group. While the chain can still grow,
  // only groups followed by enough groups to hold any IBAN are tried, and the
  // groups left behind are dropped, so a chain of any length takes little
  // memory.
  void scan_chain(Chain& chain, bool ended) {
    std::vector<Group>& groups = chain.groups;
    while (chain.next < groups.size() && (ended || groups.size() - chain.next > kLongestIban + 1)) {
      size_t after = separated_from(groups, chain.next);
      chain.next = after > chain.next ? after : chain.next + 1;
    }
    if (ended) {
      groups.clear();
      chain.next = 0;
    } else if (chain.next >= kDropAfter) {
      groups.erase(groups.begin(), groups.begin() + static_cast<std::ptrdiff_t>(chain.next));
      chain.next = 0;
    }
  }
  static constexpr size_t kDropAfter = 1024;

  // The candidate opening at group k: the country code and the check digits
  // at the start of this group, or the country code as the whole group and
  // the check digits at the start of the next. Returns the index after its
  // last group when an IBAN is there (reported now or by an earlier pass),
  // else 0.
  size_t separated_from(const std::vector<Group>& chain, size_t k) {
    const Group& g = chain[k];
    const char32_t* p = text_.data() + g.start;
    if (g.size() < 2 || !ascii_letter(p[0]) || !ascii_letter(p[1])) return 0;
    if (g.size() >= 4) {
      if (!ascii_digit(p[2]) || !ascii_digit(p[3])) return 0;
    } else {
      if (g.size() != 2 || k + 1 >= chain.size() || chain[k + 1].size() < 2) return 0;
      const char32_t* q = text_.data() + chain[k + 1].start;
      if (!ascii_digit(q[0]) || !ascii_digit(q[1])) return 0;
    }
    // Longer lengths are not IBANs; they would also need more groups than
    // scan_chain keeps ahead.
    Py_ssize_t registered = ascii_country_length(p[0], p[1]);
    if (registered == kNoSuchCountry || registered > static_cast<Py_ssize_t>(kLongestIban)) return 0;

    // Last groups at which the compact form has a length worth validating:
    // the registered one, or any when the registry cannot say.
    std::vector<size_t> lasts;
    size_t compact_size = 0;
    for (size_t j = k; j < chain.size(); ++j) {
      compact_size += chain[j].size();
      if (registered >= 0) {
        if (compact_size == static_cast<size_t>(registered)) lasts.push_back(j);
        if (compact_size >= static_cast<size_t>(registered)) break;
      } else {
        if (compact_size > kLongestIban) break;
        lasts.push_back(j);
      }
    }
    // Longest first: the candidate shortened from the right.
    for (size_t m = lasts.size(); m-- > 0;) {
      size_t j = lasts[m];
      Span span{static_cast<Py_ssize_t>(g.start), static_cast<Py_ssize_t>(chain[j].end)};
      if (seen_.count(span)) return j + 1;
      std::string compact;
      for (size_t h = k; h <= j; ++h) {
        for (size_t c = chain[h].start; c < chain[h].end; ++c) compact.push_back(ascii_upper(text_[c]));
      }
      if (!length_allowed(compact.size()) || !accepted(compact)) continue;
      seen_.insert(span);
      append(span, py::float_(kValidScore), kSeparatedExplanation);
      return j + 1;
    }
    return 0;
  }

  // Whether `self._validate_iban` gives the score of a valid IBAN. Verdicts
  // are kept for the call, so a text repeating one candidate validates it once.
  bool accepted(const std::string& compact) {
    auto found = verdicts_.find(compact);
    if (found != verdicts_.end()) return found->second;
    py::object score = validate_(py::str(compact));
    bool valid = false;
    if (!score.is_none()) {
      int eq = PyObject_RichCompareBool(score.ptr(), py::float_(kValidScore).ptr(), Py_EQ);
      if (eq < 0) throw py::error_already_set();
      valid = eq != 0;
    }
    verdicts_.emplace(compact, valid);
    return valid;
  }

  // The instance's length bounds, compared once per length.
  bool length_allowed(size_t size) {
    if (size >= allowed_.size()) return within(min_len_, py::int_(size), max_len_);
    if (allowed_[size] < 0) allowed_[size] = within(min_len_, py::int_(size), max_len_) ? 1 : 0;
    return allowed_[size] == 1;
  }

  Py_ssize_t ascii_country_length(char32_t a, char32_t b) {
    char hi = ascii_upper(a), lo = ascii_upper(b);
    Py_ssize_t& slot = lengths_[static_cast<size_t>(hi - 'A') * 26 + static_cast<size_t>(lo - 'A')];
    if (slot == kNotLooked) slot = country_length(std::u32string{static_cast<char32_t>(hi), static_cast<char32_t>(lo)});
    return slot;
  }

  // A shorter version of a candidate is only handed to schwifty when it has
  // the IBAN length of its country, as schwifty's registry gives it: any other
  // length is rejected without a checksum verdict, so skipping it changes no
  // result and keeps a text full of IBAN-shaped words from costing a
  // validation per word and group. Only done for the default validator; when
  // the registry cannot say, every version is validated.
  bool worth_validating(U32View piece) {
    if (!screen_ || piece.size() < 2) return true;
    std::u32string country(piece.substr(0, 2));
    auto found = iban_length_.find(country);
    if (found == iban_length_.end()) found = iban_length_.emplace(country, country_length(country)).first;
    if (found->second == kUnscreened) return true;
    size_t letters = 0;
    for (char32_t c : piece) letters += !is_space(c);
    return static_cast<Py_ssize_t>(letters) == found->second;
  }

  static constexpr Py_ssize_t kNotLooked = -3;
  static constexpr Py_ssize_t kUnscreened = -2;
  static constexpr Py_ssize_t kNoSuchCountry = -1;

  static Py_ssize_t country_length(const std::u32string& country) {
    py::object get_spec;
    try {
      get_spec = py::module_::import("schwifty.registry").attr("get_iban_spec");
    } catch (py::error_already_set& err) {
      if (!err.matches(PyExc_Exception)) throw;
      return kUnscreened;
    }
    try {
      py::object code = to_str(country).attr("upper")();
      return index_value(get_spec(code).attr("iban_length"));
    } catch (py::error_already_set& err) {
      if (!err.matches(PyExc_Exception)) throw;
      return err.matches(PyExc_ValueError) ? kNoSuchCountry : kUnscreened;
    }
  }

  // Length bounds, then schwifty. None when the piece is not reported.
  py::object try_piece(U32View piece) {
    size_t spaces = 0;
    for (char32_t c : piece) spaces += (c == U' ');
    py::int_ length(piece.size() - spaces);
    if (!within(min_len_, length, max_len_)) return py::none();
    std::u32string compact;
    compact.reserve(piece.size() - spaces);
    for (char32_t c : piece) {
      if (c != U' ') compact.push_back(c);
    }
    py::object upper = to_str(compact).attr("upper")();
    return validate_(upper);
  }

  static bool within(const py::object& lo, const py::int_& n, const py::object& hi) {
    int a = PyObject_RichCompareBool(lo.ptr(), n.ptr(), Py_LE);
    if (a < 0) throw py::error_already_set();
    if (!a) return false;
    int b = PyObject_RichCompareBool(n.ptr(), hi.ptr(), Py_LE);
    if (b < 0) throw py::error_already_set();
    return b != 0;
  }

  void append(const Span& span, const py::object& score, const char* explanation) {
    results_.attr("append")(factory_.make(py::str("IBAN_CODE"), static_cast<size_t>(span.first),
                                          static_cast<size_t>(span.second), score, class_name_,
                                          py::str(explanation)));
  }

  py::object self_;
  const Text& text_;
  py::object results_;
  ResultFactory factory_;
  py::object min_len_, max_len_, validate_, class_name_;
  std::set<Span> seen_;
  bool screen_ = false;
  std::map<std::u32string, Py_ssize_t> iban_length_;
  // Registered IBAN length by ASCII country code, "AA" to "ZZ".
  std::array<Py_ssize_t, 26 * 26> lengths_;
  std::unordered_map<std::string, bool> verdicts_;
  std::array<signed char, kLongestIban + 1> allowed_{};
};

void scan_native(SpacedScan& scan, const Text& text) {
  auto it = std::make_unique<MatchIterator>(*g_spaced, text.view());
  Match m;
  while (it->next(m)) {
    SpacedScan::Next next = scan.candidate(m.start(1), m.end(1));
    if (next.kind == SpacedScan::Next::Restart) it = std::make_unique<MatchIterator>(*g_spaced, text.view(), next.pos);
  }
}

// A pattern set by a subclass or an instance: its own finditer, group 1 as
// the candidate. Matches whose group 1 did not take part are passed over.
void scan_python(SpacedScan& scan, const Text& text, py::object pattern, py::object text_obj) {
  py::object it = py::iter(pattern.attr("finditer")(text_obj));
  size_t restarted_at = 0;
  while (true) {
    PyObject* raw = PyIter_Next(it.ptr());
    if (!raw) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    py::object m = py::reinterpret_steal<py::object>(raw);
    py::tuple span = m.attr("span")(1);
    Py_ssize_t s = index_value(span[0]), e = index_value(span[1]);
    if (s < 0 || e < s || static_cast<size_t>(e) > text.size()) continue;
    SpacedScan::Next next = scan.candidate(static_cast<size_t>(s), static_cast<size_t>(e));
    // Restart positions only ever grow, whatever the pattern looks like.
    if (next.kind == SpacedScan::Next::Restart && next.pos > restarted_at) {
      restarted_at = next.pos;
      it = py::iter(pattern.attr("finditer")(text_obj, next.pos));
    }
  }
}

py::object analyze(py::object self, py::object text, py::object entities, py::object nlp_artifacts) {
  require_str(text, "analyze", "text");
  py::object super = py::module_::import("builtins").attr("super");
  py::object results =
      super(py::handle(g_class), self).attr("analyze")(text, entities, nlp_artifacts);

  Text t(text);
  SpacedScan scan(self, t, results);
  py::object pattern = self.attr("_SPACED_IBAN_RE");
  if (pattern.ptr() == g_default_pattern) {
    scan_native(scan, t);
  } else {
    scan_python(scan, t, pattern, text);
  }
  scan.separated();
  return results;
}

}  // namespace

PYBIND11_MODULE(iban, m) {
  m.doc() = "IBAN recognizer that also finds IBANs split by irregular spacing.";
  g_module = m.inc_ref().ptr();
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  py::object base = py::module_::import("presidio_analyzer.predefined_recognizers").attr("IbanRecognizer");
  m.attr("re") = re;
  m.attr("IbanRecognizer") = base;
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");

  py::object pattern = re.attr("compile")(to_str(kSpacedPattern), re.attr("IGNORECASE"));
  g_default_pattern = pattern.inc_ref().ptr();
  g_spaced = new Regex(kSpacedPattern, reflag::IGNORECASE);

  py::object cls =
      ClassBuilder(m, "CustomIbanRecognizer", py::make_tuple(base),
                   "Extends built-in IbanRecognizer to handle space-separated IBANs.\n\n"
                   "Besides what the base recognizer reports, finds IBANs whose characters are split\n"
                   "irregularly by single white-space characters (a long run followed by shorter\n"
                   "groups, in any letter case): the spaces are stripped, the compact form is\n"
                   "validated with schwifty, and the span is reported as written in the text.\n\n"
                   "A further pass finds IBANs split anywhere by a single space, dash or dot or by one\n"
                   "line break, the country code and the check digits possibly apart, or written\n"
                   "compact in any letter case: each candidate is cut where its compact form has the\n"
                   "IBAN length of its country and is reported only when schwifty accepts it.")
          .attr("_SPACED_IBAN_RE", pattern)
          .attr("_MIN_IBAN_LEN", py::int_(15))
          .attr("_MAX_IBAN_LEN", py::int_(34))
          .method(
              "analyze",
              [](py::object self, py::object text, py::object entities, py::object nlp_artifacts) {
                return analyze(self, text, entities, nlp_artifacts);
              },
              "The base recognizer's results, extended in place with the spaced IBANs found in\n"
              "`text` (entity IBAN_CODE, score 1.0, or 0.65 when only the check digits are wrong),\n"
              "then with the valid separated IBANs of the further pass (score 1.0). A span already\n"
              "reported is not reported twice.",
              py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
          .static_method(
              "_validate_iban", [](py::object compact) { return validate_iban(compact); },
              "1.0 when schwifty accepts `compact` as an IBAN, 0.65 when it rejects it with a\n"
              "message about a checksum, None for any other rejection.",
              py::arg("compact"))
          .finish();
  g_class = cls.inc_ref().ptr();
  g_validate = new NativeMethod(cls, "_validate_iban");
}
