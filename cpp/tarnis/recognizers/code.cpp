// Reference codes and identifiers that can point to a person or a case
// (entity type CODE): structured alphanumeric references, serial and document
// numbers after a keyword, ticket numbers, vehicle registration plates, court
// dossier numbers, MAC addresses, upper-case identifiers with underscores,
// flight-like codes and other short letter-digit codes.
//
// The recognizer is a Presidio PatternRecognizer: this module supplies the
// pattern table and the flags. `analyze` finds the table's matches natively
// and builds the same results as the base class's `analyze` (which matches
// with the `regex` module); whenever the instance departs from the table
// (other patterns or flags, a subclass that replaces the matching or the
// explanation), the base class does the work.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/checks.hpp"
#include "core/codeset.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

struct Entry {
  const char* name;
  double score;
  std::string regex;
};

// --- code_structured --------------------------------------------------------
//
// A token of 9 to 32 characters from [A-Z0-9/.-], not a date, a year range, a
// number/year or a grouped number, such that the run of such characters that
// starts there holds a digit and a run of three letters or digits.
//
// That last condition, written plainly as
//   (?=[A-Z0-9/.\-]*[A-Z0-9]{3}[A-Z0-9/.\-]*\d|[A-Z0-9/.\-]*\d[A-Z0-9/.\-]*[A-Z0-9]{3})
// tries every split of the run and costs the cube of its length at every word
// start inside it (seconds for a few kilobytes of "AAAAAAAAAA-AAAAAAAAAA-...").
// It is a yes/no test, so it is written here as an equivalent one that
// settles each alternative with one forward pass:
//  - three letters or digits, then later a digit: take the first such triple
//    (any later digit follows it as well), then look for a digit after it;
//  - an ASCII digit inside the run, then later a triple: take the first ASCII
//    digit, then look for a triple after it;
//  - a digit from another script right after the run (it ends the run, so
//    only there can it be the digit), then a triple in the run that follows.
const std::string kStructuredDates =
    R"((?!\d{2}[./]\d{2}[./]\d{4})(?!\d{4}-\d{2}-\d{2})(?!(?:19[4-9]\d|20\d{2})[-\u2013](?:(?:19|20)\d{2}|PREZENT)\b)(?!\d{4}/[A-Z]+\b)\b(?!\d{1,8}[/]\d{4}\b)(?!\d{1,2}-\d{1,2}[./]\d{2}[./]\d{4})(?!\d{2}[.]\d{4}-\d{2}[.]\d{2}[.]\d{4})(?!(?:19|20)\d{2}-\d{2}[./]\d{2}[./]\d{4}))";
const std::string kGroupedNumber = R"((?!\d{1,3}(?:[.]\d{3})+(?:-\d{1,3}(?:[.]\d{3})+)?(?!\d)))";
// The same test with one group on each side of the hyphen: whenever a longer
// chain of groups fits, the one-group prefix fits too (it is followed by "."
// or "-", not by a digit), so the answer is the same without reading a long
// chain of groups from every start inside it.
const std::string kGroupedNumberBounded = R"((?!\d{1,3}[.]\d{3}(?:-\d{1,3}[.]\d{3})?(?!\d)))";
const std::string kStructuredShape =
    R"((?!\d{2,3}-\d{1,3}(?:[.]\d{3})+)(?=[A-Z0-9][A-Z0-9/.\-]{7,30}[A-Z0-9]\b))";
const std::string kStructuredHead = kStructuredDates + kGroupedNumber + kStructuredShape;
const std::string kRunChar = R"([A-Z0-9/.\-])";
const std::string kStructuredRunTest =
    "(?=(?>" + kRunChar + "*?[A-Z0-9]{3})" + kRunChar + R"(*?\d)" +
    R"(|(?>[A-Z/.\-]*+[0-9]))" + kRunChar + "*?[A-Z0-9]{3}" +
    "|" + kRunChar + R"(*+\d)" + kRunChar + "*?[A-Z0-9]{3})";
// Once the checks of kStructuredHead hold at a position, the token that
// follows always matches (the end at a word boundary that the last look-ahead
// found is never followed by a digit), so a failed search there means that
// its run holds no digit-and-triple. A later start in the same run sees a
// part of that run and fails as well: it is skipped when an earlier position
// of the run, not before the point where this search began (\G), passed the
// same checks. Without this, a long run without the digit-and-triple is read
// to its end from every word start in it.
const std::string kStructuredSkip = "(?<!" + kStructuredHead + "(?:" + kRunChar + R"((?!\G))+?))";
const std::string kStructuredToken = R"(([A-Z0-9][A-Z0-9/.\-]{7,30}[A-Z0-9])(?!\d)\b)";

// --- code_spaced ------------------------------------------------------------
//
// Two or more tokens (optional capitals, a digit, two or more capitals or
// digits) separated by single white-space characters; not preceded by a digit
// or by a digit and a space, not followed by a digit or by a space and a
// digit. Plainly:
//   (?<!\d)(?<!\d )(?:[A-Z]*\d[A-Z0-9]{2,})(?:\s(?:[A-Z]*\d[A-Z0-9]{2,}))+(?!\d)(?! \d)
// That form is quadratic twice over: a search starts at every capital of a
// long run of capitals and reads to the end of the run, and a chain of
// tokens that ends badly ("123 456 ... 789 5") is unwound one token at a time
// with the end tests repeated at each. The form below finds the same matches:
//
// 1. Start positions that an earlier start has already covered are skipped.
//    A search from s succeeds only if one from such an earlier start c would
//    have succeeded with the same first token end, and c was tried first and
//    failed. Covered are: s after a capital at a valid start (same letters
//    and digit ahead); s after a valid start in the same run of capitals and
//    digits when the digit ahead of s is ASCII (the earlier token reads
//    through to the same end); s inside the second token of a chain whose
//    first token begins at a valid start (the earlier search reaches s
//    through the chain). The position where the search resumed after the
//    previous match (\G) is never skipped: the start that covers it may lie
//    inside that match and was never tried on its own.
// 2. The match ends at the rightmost position of the chain where the end
//    tests hold. Instead of reading the whole chain and unwinding, the chain
//    is read lazily and an end is taken when no valid end follows it: inside
//    the same token (a later capital, or the token's end), or in a later
//    token of the chain. Each such look ahead stops at the next valid end.
const std::string kNoDigitBefore = R"((?<!\d)(?<!\d ))";
const std::string kToken = R"([A-Z]*\d[A-Z0-9]{2,})";
const std::string kTokenFull = R"([A-Z]*+\d[A-Z0-9]{2,}+)";
const std::string kEndTest = R"((?!\d)(?! \d))";
const std::string kSpacedSkip =
    R"((?:\G|)"
    "(?<!" + kNoDigitBefore + "[A-Z])" +
    "(?!(?<=" + kNoDigitBefore + "[A-Z0-9]+?)[A-Z]*+[0-9])" +
    "(?<!" + kNoDigitBefore + kToken + R"(\s[A-Z]*))" +
    "(?![A-Z]*+[0-9](?<=" + kNoDigitBefore + kToken + R"(\s[A-Z0-9]*)))" +
    ")";
const std::string kLaterValidEnd =
    R"([A-Z0-9][0-9]*+[A-Z])"
    "|[A-Z0-9]++" + kEndTest +
    "|[A-Z0-9]*+(?:\\s" + kTokenFull + R"()*?\s[A-Z]*+\d(?:[A-Z0-9]{2}[0-9]*+[A-Z]|[A-Z0-9]{2,}+)" + kEndTest + ")";
const std::string kSpaced = kNoDigitBefore + kSpacedSkip + kTokenFull + R"((?:\s[A-Z]*+\d[A-Z0-9]{2,})+?)" +
                            kEndTest + "(?!" + kLaterValidEnd + ")";

const Entry kTable[] = {
    {"code_structured", 0.6, kStructuredHead + kStructuredSkip + kStructuredRunTest + kStructuredToken},
    {"code_spaced", 0.45, kSpaced},
    {"code_ambiguous", 0.3,
     R"(\b(?:[A-Z]{1,5}-\d{3,6}\b|\d{1,8}/\d{4}\b|[A-Z]\d{2,4}/\d{4}\b|[A-Z]{1,3}\d{3,5}\b|(?!(?:DE|LA|AN|PE|IN|UE|HW|VS|I|II|III|IV|V|VI|VII|VIII|IX)\s)[A-Z]{1,2}\s\d{3,4}(?!\.\d)\b|\d{4,6}-[A-Z]{1,3}\b))"},
    {"code_hash", 0.3, R"((?<!\w)#\d{4,8}\b)"},
    {"code_serial", 0.3,
     R"(\b(?:[A-ZȘȚÂÎĂŞŢ]{1,4}\s+(?:seria|nr\.?|CF|parafa|parafă)\s+\d{4,9}(?!/)|(?:seria|nr\.?|CF|parafa|parafă)\s+[A-Z]{1,2}\s+\d{4,7}|(?:seria|nr\.?|CF|parafa|parafă)\s+\d{4,9}(?!/)|(?<=cadastral\s)\d{4,9}\b|TICKET\s*#\d{4,8})\b)"},
    {"code_plate", 0.6,
     R"(\b(?:(?:AB|AG|AR|BC|BH|BN|BR|BT|BV|BZ|CJ|CL|CS|CT|CV|DB|DJ|GJ|GL|GR|HD|HR|IF|IL|IS|MH|MM|MS|NT|OT|PH|SB|SJ|SM|SN|SV|TL|TM|TR|VL|VN|VS)\s+\d{2,3}\s+(?!RON|EUR|USD|MDL|GBP|LEI)[A-Z]{3}|B\s+\d{2,3}\s+(?!RON|EUR|USD|MDL|GBP|LEI)[A-Z]{3}|B-\d{3}-[A-Z]{3}|C\s+[A-Z]{2}\s+\d{3})\b)"},
    {"code_court_dossier", 0.6, R"(\b\d{4}/[A-Z]{1,3}[-/]\d{4,6}\b)"},
    {"code_mac", 0.7, R"(\b[0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2}){5}\b)"},
    {"code_underscore", 0.6, R"(\b(?=[A-Z0-9_]*\d)[A-Z][A-Z0-9]*(?:_[A-Z0-9]+){2,}\b)"},
    {"code_flight", 0.3, R"((?<![A-Z0-9])\b(?!Q[1-4]\s)[A-Z]\d\s+\d{3,4}\b)"},
};


constexpr size_t kCount = sizeof(kTable) / sizeof(kTable[0]);
constexpr size_t kStructuredIndex = 0;
constexpr size_t kSpacedIndex = 1;
// DOTALL | MULTILINE, the flags the table is written for.
constexpr int kTableFlags = reflag::DOTALL | reflag::MULTILINE;

// ---------------------------------------------------------------------------
// Native matching.
//
// The base class matches with the `regex` module, whose \d, \w (and so \b)
// and \s are not those of Python's `re`: its Unicode tables are newer, and its
// \s leaves out U+001C..U+001F. The three sets are therefore taken from the
// `regex` module itself, once per process on first use: each is read off as
// the spans of `regex.finditer(r"\d+")` (and so on) over a string that holds
// every code point, and handed to the core's translator as explicit ranges.
// The hand-written scanners below test characters against the same sets.

class CharTest {
 public:
  explicit CharTest(const CodeSet& set) : set_(set) {
    for (char32_t c = 0; c < 128; ++c) ascii_[c] = set_.contains(c);
  }
  bool operator()(char32_t c) const { return c < 128 ? ascii_[c] : set_.contains(c); }

 private:
  CodeSet set_;
  bool ascii_[128];
};

inline bool is_upper_ascii(char32_t c) { return c >= U'A' && c <= U'Z'; }
inline bool is_digit_ascii(char32_t c) { return c >= U'0' && c <= U'9'; }
inline bool is_alnum_upper(char32_t c) { return is_upper_ascii(c) || is_digit_ascii(c); }  // [A-Z0-9]
inline bool is_run_char(char32_t c) { return is_alnum_upper(c) || c == U'/' || c == U'.' || c == U'-'; }

struct Native {
  CharClasses classes;
  CharTest digit, space, word;
  // Compiled table patterns, null for the two that have their own scanner.
  std::unique_ptr<Regex> regex[kCount];
  // The zero-width checks at the start of a structured token.
  std::unique_ptr<Regex> structured_head;

  explicit Native(CharClasses c)
      : classes(std::move(c)), digit(classes.digit), space(classes.space), word(classes.word) {}
};

CodeSet spans_of(py::handle finditer, const char* pattern, py::handle subject) {
  CodeSet out;
  for (py::handle found : finditer(pattern, subject)) {
    py::tuple span = found.attr("span")();
    const Py_ssize_t lo = index_value(span[0]);
    const Py_ssize_t hi = index_value(span[1]);
    if (lo < 0 || hi <= lo || hi > static_cast<Py_ssize_t>(kMaxCodePoint) + 1) {
      throw std::runtime_error("unexpected span from the regex module");
    }
    out.add_range(static_cast<char32_t>(lo), static_cast<char32_t>(hi - 1));
  }
  return out;
}

CharClasses regex_module_classes() {
  py::object finditer = py::module_::import("regex").attr("finditer");
  PyObject* raw = PyUnicode_New(static_cast<Py_ssize_t>(kMaxCodePoint) + 1, kMaxCodePoint);
  if (!raw) throw py::error_already_set();
  py::object every = py::reinterpret_steal<py::object>(raw);
  void* data = PyUnicode_DATA(raw);
  const int kind = PyUnicode_KIND(raw);
  for (char32_t c = 0; c <= kMaxCodePoint; ++c) PyUnicode_WRITE(kind, data, c, c);
  return {spans_of(finditer, R"(\d+)", every), spans_of(finditer, R"(\s+)", every),
          spans_of(finditer, R"(\w+)", every)};
}

std::u32string widen(const std::string& utf8) {
  py::str s(utf8);
  Text wide(s);
  return std::u32string(wide.view());
}

Native* g_native = nullptr;

const Native& native() {
  if (g_native) return *g_native;
  auto built = std::make_unique<Native>(regex_module_classes());
  for (size_t i = 0; i < kCount; ++i) {
    if (i == kStructuredIndex || i == kSpacedIndex) continue;
    built->regex[i] = std::make_unique<Regex>(widen(kTable[i].regex), kTableFlags, &built->classes);
  }
  built->structured_head = std::make_unique<Regex>(
      widen(kStructuredDates + kGroupedNumberBounded + kStructuredShape), kTableFlags, &built->classes);
  // Building ran Python code, during which another thread may have built it too.
  if (!g_native) g_native = built.release();  // kept for the life of the process
  return *g_native;
}

using Spans = std::vector<std::pair<size_t, size_t>>;

// code_structured. A match starts at s when all of these hold, and then ends
// at the largest length the token can take; the search goes on from there.
//  - the token: s starts 9 to 32 characters of [A-Z0-9/.-] that begin and end
//    with [A-Z0-9], followed by neither a digit nor a word character;
//  - the run of [A-Z0-9/.-] that starts at s holds a triple of [A-Z0-9] and
//    then a digit, or a digit and then a triple (a digit from another script
//    can only be the character that ends the run; a triple after it then lies
//    in the run that follows it);
//  - the checks against dates, year ranges and grouped numbers, run by PCRE2
//    at s (with the bounded form of the grouped-number test).
// The conditions do not depend on where the search began, so trying every
// start in turn finds what the backtracking search finds; the run test is
// answered from cursors that only move forward within a run, so the scan is
// linear in the text.
class StructuredScanner {
 public:
  StructuredScanner(const Native& nat, U32View text) : nat_(nat), t_(text), n_(text.size()) {}

  void run(Spans& out) {
    size_t i = 0;
    while (i < n_) {
      if (!is_run_char(t_[i])) {
        ++i;
        continue;
      }
      size_t e = i;
      while (e < n_ && is_run_char(t_[e])) ++e;
      if (e - i >= 9) scan_run(i, e, out);
      i = e;
    }
  }

 private:
  void scan_run(size_t a, size_t e, Spans& out) {
    a_ = a;
    e_ = e;
    triple_at_ = triple_after_digit_ = digit_at_ = a;
    last_digit_known_ = after_known_ = false;
    size_t s = a;
    while (s + 9 <= e) {
      size_t end;
      if (is_alnum_upper(t_[s]) && (s == 0 || !nat_.word(t_[s - 1])) && token_end(s, end) && run_test(s) &&
          head(s)) {
        out.emplace_back(s, end);
        s = end;
      } else {
        ++s;
      }
    }
  }

  // The largest end of the token at s, if it has one.
  bool token_end(size_t s, size_t& end) const {
    const size_t longest = std::min<size_t>(32, e_ - s);
    for (size_t len = longest; len >= 9; --len) {
      const size_t p = s + len;
      if (!is_alnum_upper(t_[p - 1])) continue;
      if (p < n_ && (nat_.digit(t_[p]) || nat_.word(t_[p]))) continue;
      end = p;
      return true;
    }
    return false;
  }

  bool triple(size_t p) const {
    return p + 3 <= e_ && is_alnum_upper(t_[p]) && is_alnum_upper(t_[p + 1]) && is_alnum_upper(t_[p + 2]);
  }

  // Smallest p >= from (from non-decreasing between calls) with pred(p), or e_.
  template <class Pred>
  size_t forward(size_t& cursor, size_t from, Pred pred) const {
    if (cursor < from) cursor = from;
    while (cursor < e_ && !pred(cursor)) ++cursor;
    return cursor;
  }

  bool run_test(size_t s) {
    auto is_triple = [this](size_t p) { return triple(p); };
    auto is_digit = [this](size_t p) { return is_digit_ascii(t_[p]); };
    if (!after_known_) {
      // The run ends in a digit of another script: then it can be the digit,
      // with a triple after it in the run that follows.
      after_known_ = true;
      digit_after_ = e_ < n_ && nat_.digit(t_[e_]);
      triple_beyond_ = false;
      if (digit_after_) {
        int count = 0;
        for (size_t p = e_ + 1; p < n_ && is_run_char(t_[p]) && !triple_beyond_; ++p) {
          count = is_alnum_upper(t_[p]) ? count + 1 : 0;
          triple_beyond_ = count >= 3;
        }
      }
    }
    if (!last_digit_known_) {
      last_digit_known_ = true;
      last_digit_ = e_;
      for (size_t p = e_; p > a_; --p) {
        if (is_digit_ascii(t_[p - 1])) {
          last_digit_ = p - 1;
          break;
        }
      }
    }
    // A triple, then a digit after it.
    const size_t first_triple = forward(triple_at_, s, is_triple);
    if (first_triple < e_ && ((last_digit_ < e_ && last_digit_ >= first_triple + 3) || digit_after_)) return true;
    // A digit, then a triple after it.
    const size_t first_digit = forward(digit_at_, s, is_digit);
    if (first_digit < e_ && forward(triple_after_digit_, first_digit + 1, is_triple) < e_) return true;
    return digit_after_ && triple_beyond_;
  }

  bool head(size_t s) const {
    Match m;
    return nat_.structured_head->match(t_, m, s);
  }

  const Native& nat_;
  U32View t_;
  size_t n_;
  size_t a_ = 0, e_ = 0;
  size_t triple_at_ = 0, triple_after_digit_ = 0, digit_at_ = 0;
  bool last_digit_known_ = false, after_known_ = false;
  size_t last_digit_ = 0;
  bool digit_after_ = false, triple_beyond_ = false;
};

// code_spaced. A token is [A-Z]* (as many as there are), one digit, then two
// or more of [A-Z0-9]; tokens of a chain are separated by one white-space
// character. A match starts at s when no digit (nor a digit and a space)
// precedes s, a token starts at s and at least one token follows it in the
// chain; it ends at the rightmost place in the later tokens where neither a
// digit nor a space and a digit follows. (The backtracking search reaches the
// ends of a chain from the right: the first token and every one before the
// last can only end at the end of their run of [A-Z0-9], where the next
// separator is; the last one may stop early before a capital.)
//
// The first token of a match from s ends where the run of [A-Z0-9] after its
// digit ends, whatever s is within the capitals before the digit, and the
// rest depends only on that end: so each chain is read once, its best ends
// are computed from the right, and starts are looked up in it.
class SpacedScanner {
 public:
  SpacedScanner(const Native& nat, U32View text) : nat_(nat), t_(text), n_(text.size()) {}

  void run(Spans& out) {
    size_t s = 0;
    while (s < n_) {
      size_t end;
      if (match_at(s, end)) {
        out.emplace_back(s, end);
        s = end;
      } else {
        ++s;
      }
    }
  }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  bool end_test(size_t p) const {
    if (p >= n_) return true;
    if (nat_.digit(t_[p])) return false;
    return !(t_[p] == U' ' && p + 1 < n_ && nat_.digit(t_[p + 1]));
  }

  // End of the run of [A-Z0-9] from p (p itself if there is none).
  size_t alnum_end(size_t p) {
    if (p >= an_lo_ && p < an_hi_) return an_hi_;
    size_t q = p;
    while (q < n_ && is_alnum_upper(t_[q])) ++q;
    if (q > p) {
      an_lo_ = p;
      an_hi_ = q;
    }
    return q;
  }

  // The token starting at p: its digit and its end (at the end of the run).
  bool token(size_t p, size_t& digit, size_t& end) {
    size_t q = p;
    if (is_upper_ascii(t_[p])) {
      if (p >= up_lo_ && p < up_hi_) {
        q = up_hi_;
      } else {
        while (q < n_ && is_upper_ascii(t_[q])) ++q;
        up_lo_ = p;
        up_hi_ = q;
      }
    }
    if (q >= n_ || !nat_.digit(t_[q])) return false;
    const size_t e = alnum_end(q + 1);
    if (e - (q + 1) < 2) return false;
    digit = q;
    end = e;
    return true;
  }

  bool match_at(size_t s, size_t& end) {
    const char32_t c = t_[s];
    if (!is_upper_ascii(c) && !nat_.digit(c)) return false;
    if (s >= 1 && nat_.digit(t_[s - 1])) return false;
    if (s >= 2 && t_[s - 1] == U' ' && nat_.digit(t_[s - 2])) return false;
    size_t digit, first_end;
    if (!token(s, digit, first_end)) return false;
    end = best_after(first_end);
    return end != kNone;
  }

  // The rightmost valid end in the tokens that follow a token ending at e.
  size_t best_after(size_t e) {
    while (chain_pos_ < chain_.size() && chain_[chain_pos_].first < e) ++chain_pos_;
    if (chain_pos_ < chain_.size() && chain_[chain_pos_].first == e) return chain_[chain_pos_].second;
    read_chain(e);
    return chain_[0].second;
  }

  // Reads the chain of tokens after the token ending at e and records, for
  // e and for the end of every token in it, the best end after it.
  void read_chain(size_t e) {
    std::vector<std::pair<size_t, size_t>> tokens;  // (digit, end)
    size_t pos = e;
    while (pos + 1 < n_ && nat_.space(t_[pos])) {
      size_t digit, end;
      if (!token(pos + 1, digit, end)) break;
      tokens.emplace_back(digit, end);
      pos = end;
    }
    chain_.assign(tokens.size() + 1, {0, kNone});
    chain_[0].first = e;
    for (size_t k = 0; k < tokens.size(); ++k) chain_[k + 1].first = tokens[k].second;
    size_t best = kNone;
    for (size_t k = tokens.size(); k-- > 0;) {
      if (best == kNone) best = best_in(tokens[k].first, tokens[k].second);
      chain_[k].second = best;
    }
    chain_pos_ = 0;
  }

  // The rightmost valid end inside one token (kNone if there is none).
  size_t best_in(size_t digit, size_t end) const {
    if (end_test(end)) return end;
    for (size_t p = end - 1; p >= digit + 3; --p) {
      if (is_upper_ascii(t_[p])) return p;
    }
    return kNone;
  }

  const Native& nat_;
  U32View t_;
  size_t n_;
  size_t an_lo_ = 0, an_hi_ = 0, up_lo_ = 0, up_hi_ = 0;
  std::vector<std::pair<size_t, size_t>> chain_;  // (token end, best end after it)
  size_t chain_pos_ = 0;
};

void find_spans(const Native& nat, size_t index, U32View text, Spans& out) {
  if (index == kStructuredIndex) {
    StructuredScanner(nat, text).run(out);
  } else if (index == kSpacedIndex) {
    SpacedScanner(nat, text).run(out);
  } else {
    MatchIterator it(*nat.regex[index], text);
    Match m;
    while (it.next(m)) out.emplace_back(m.start(), m.end());
  }
}

// ---------------------------------------------------------------------------
// Public references: what `keep_legal_references` leaves in the text.
//
// Numbers of acts of public authorities as published (laws, ordinances,
// government decisions, decrees, orders, official journal issues), the
// articles, paragraphs, letters and points of an act, and year ranges or
// school years are not personal data. A CODE result is one of these when
//  - its text is a year range (a year from 1000 to 2099, a hyphen or an en
//    dash, a later year at most 300 years on) or two consecutive years
//    joined by "/" (2003/2004); or
//  - its text is a number of the shape acts are numbered with (digits
//    joined by "/", "." or "-": 8/1996, 863/26.09.2005), after an optional
//    "nr.", and the text right before it names such an act: the act's word
//    in any inflection or abbreviation, then either the number (after an
//    optional "nr.") or a few words that qualify the act ("a Guvernului",
//    "ministrului muncii, solidarității sociale și familiei", "al României,
//    Partea I,") and "nr." before the number; or the result is itself an
//    act's abbreviation and number ("HG nr. 1234"); or the name of an
//    article, paragraph, letter or point comes right before it; or
//  - its text is an official journal series and number ("L 346") after "JO";
//  - its text is a date with a one-digit day or month (the table already
//    leaves out those with two digits), or an amount: a number or a range
//    of numbers followed by a currency ("545000-2653000 de lei").
// The judgement is made for each result alone, on its own span and what
// precedes it: a contract number after a law (`Legea nr. 8/1996, contract
// nr. 4512/2023`) is preceded by the law's number, not by a law, and stays.
// Words that introduce references to persons or cases (contract, dosar,
// factură, poliță, ...) stop the qualifying words.
//
// Done here rather than after overlap resolution: the recognizer is the one
// place that knows a CODE result is a reference number and not something
// found by another recognizer, every engine built with it (the analyzer, the
// command's rules-only engine, Spark's executors) gets the same results, and
// whatever comes later (overlap resolution, the language-model stage) never
// sees what is kept.

// Letters written with and without diacritics (comma and cedilla forms).
#define RO_A "[ăâa]"
#define RO_I "[îâi]"
#define RO_T "[țţt]"
#define RO_S "[șşs]"

const std::string kActWord =
    "(?:leg(?:ea|ii|e|ile|ilor)(?:-cadru)?"
    "|ordonan" RO_T "(?:a|ei|" RO_A "|e|ele|elor)"
    "|hot" RO_A "r[âîai]r(?:ea|ii|e|i|ile|ilor)"
    "|decret(?:ul|ului|ele|elor|e)?"
    "|ordin(?:ul|ului|ele|elor|e)?"
    "|dispozi" RO_T "i(?:a|ei|e|ile|ilor)"
    "|regulament(?:ul|ului|ele|elor|e)?"
    "|directiv(?:a|ei|" RO_A "|e|ele|elor)"
    "|monitorul(?:ui)?\\s+oficial|stas"
    "|o\\.?\\s?u\\.?\\s?g|o\\.?\\s?g|h\\.?\\s?g|h\\.?\\s?c\\.?\\s?l|m\\.\\s?of?|mo"
    ")\\.?(?!\\w)";
// Words that begin a reference to a person, a case or a private document.
const std::string kStopWord =
    "(?:contract|dosar|factur|poli" RO_T "|client|cont(?:ul|ului|uri|urile)?(?!\\w)|cerer|sentin|" RO_I "nchei"
    "|" RO_I "nregistr|" RO_I "nmatricul|proces|certificat|chitan|bon(?:ul|uri)?(?!\\w)|aviz|autoriza|comand"
    "|abonament|card|seri|adres|buletin|pa" RO_S "aport|permis|fi" RO_S "|act(?:ul|ului|e|ele)?(?!\\w)|tren"
    "|zbor|telefon|decizi|cauz|pl" RO_A "ngeri|reclama|peti" RO_T "|not(?:a|" RO_A "|ei|ele)(?!\\w)|proiect"
    "|lot(?:ul)?(?!\\w)|parcel|cadastr|carte|cf(?!\\w)|apartament|cod(?:ul)?(?!\\w)|cnp|iban|matricol|legitima"
    "|pachet|colet|comand|ofert|licita|lucrar|cupon|bilet|voucher|loc(?:ul)?(?!\\w)|camer)";
// One qualifying word: letters (inner "-" or "/"), or abbreviations of up to
// four letters each with a dot ("M.S."), with an optional opening quote or
// parenthesis and an optional closing one; a word that ends a sentence
// ("aplicată. Pentru") is none.
const std::string kQualifier =
    "(?:,?\\s+[(\"„«]?(?!" + kStopWord + ")(?:(?:[^\\W\\d_]{1,4}\\.)+|[^\\W\\d_]+(?:[-/][^\\W\\d_]+)*)[)\"”»]?)";
const std::string kNumberWord = "(?:nr|num" RO_A "r(?:ul)?)\\s*\\.?\\s*:?";
const std::string kQuotes = "[\\s\"„”«»]*";
// The number of an act: digits joined by "/", "." or "-".
const std::string kNumber = "[0-9]+(?:[/.\\-][0-9]+)*";
// An act, then the number, which ends the subject. After qualifying words
// the number must follow "nr." ("Legea contractelor ... 12/2020" is not the
// number of the law); right after the act's word it may come alone
// ("Legii 61/1991"). "nr." may be part of the result.
const std::string kActThenNumber = "(?<!\\w)" + kActWord + "(?:" + kQualifier + "{1,12}," + "?" + kQuotes +
                                   kNumberWord + "|," + "?" + kQuotes + "(?:" + kNumberWord + ")?)\\s*" + kNumber +
                                   "\\Z";
// An article, paragraph, letter or point, then its number.
const std::string kArticleThenNumber =
    "(?<!\\w)(?:art|alin|lit|pct|par|articol(?:ul|ului)|alineat(?:ul|ului)|liter(?:a|ei)|punct(?:ul|ului)"
    "|paragraf(?:ul|ului))\\.?\\s*(?:" + kNumberWord + "\\s*)?" + kNumber + "\\Z";
// An official journal's series and number ("JO L 346").
const std::string kJournalThenNumber = "(?<!\\w)J\\.?\\s?O\\.?\\s+[LC]\\s+[0-9]+(?:/[0-9]+)?\\Z";
// What the result itself may be: a number, after "nr." and after the
// abbreviation of an act ("HG nr. 1234", which needs nothing before it).
const std::string kActNumber = "(?:" + kNumberWord + "\\s*)?" + kNumber + "|[LC]\\s+[0-9]+(?:/[0-9]+)?";
const std::string kActInside = "(?:" + kActWord + ")\\s+" + kNumberWord + "\\s*" + kNumber;
// Amounts: a number or a range of numbers, then a currency ("179472074 mii
// lei", "545000-2653000 de lei").
const std::string kAmount = "[0-9]+(?:-[0-9]+)?";
const std::string kCurrencyAfter =
    "\\s*(?:de\\s+)?(?:(?:mii|milioane|miliarde|mil\\.|mld\\.)\\s+)?(?:de\\s+)?"
    "(?:lei|ron|euro|eur|usd|dolari|mdl|%)(?!\\w)";
// Dates written with a one-digit day or month (1.01.2008, 28.2.2011).
const std::string kShortDate = "(?:0?[1-9]|[12][0-9]|3[01])([./])(?:0?[1-9]|1[0-2])\\1(?:1[0-9]|20)[0-9]{2}";

#undef RO_A
#undef RO_I
#undef RO_T
#undef RO_S

struct PublicReferences {
  Regex act, article, journal, number, inside, amount, currency_after, short_date;
  PublicReferences()
      : act(widen(kActThenNumber), reflag::IGNORECASE),
        article(widen(kArticleThenNumber), reflag::IGNORECASE),
        journal(widen(kJournalThenNumber)),
        number(widen(kActNumber), reflag::IGNORECASE),
        inside(widen(kActInside), reflag::IGNORECASE),
        amount(widen(kAmount)),
        currency_after(widen(kCurrencyAfter), reflag::IGNORECASE),
        short_date(widen(kShortDate)) {}
};

PublicReferences* g_public = nullptr;

const PublicReferences& public_references() {
  if (!g_public) g_public = new PublicReferences();  // kept for the life of the process
  return *g_public;
}

// How far before a result the name of an act is looked for.
constexpr size_t kActWindow = 240;

bool ascii_number(U32View s, size_t& value) {
  if (s.empty() || s.size() > 4) return false;
  value = 0;
  for (char32_t c : s) {
    if (!is_digit_ascii(c)) return false;
    value = value * 10 + static_cast<size_t>(c - U'0');
  }
  return true;
}

// 1668-1738, 1805–1857, 2003/2004.
bool year_range(U32View r) {
  if (r.size() != 9) return false;
  const char32_t sep = r[4];
  size_t a, b;
  if (!ascii_number(r.substr(0, 4), a) || !ascii_number(r.substr(5, 4), b)) return false;
  if (a < 1000 || b > 2099) return false;
  if (sep == U'/') return b == a + 1;
  return (sep == U'-' || sep == U'\u2013') && b > a && b - a <= 300;
}

bool public_reference(const PublicReferences& p, U32View text, size_t start, size_t end) {
  const U32View r = text.substr(start, end - start);
  if (year_range(r)) return true;
  Match m;
  if (p.short_date.fullmatch(r, m)) return true;
  if (p.amount.fullmatch(r, m) && p.currency_after.match(text, m, end)) return true;
  if (!p.number.fullmatch(r, m)) return p.inside.fullmatch(r, m);
  // The subject ends with the result; a match must take it in whole.
  const U32View upto = text.substr(0, end);
  const size_t from = start > kActWindow ? start - kActWindow : 0;
  for (const Regex* re : {&p.act, &p.article, &p.journal}) {
    if (re->search(upto, m, from) && m.start() <= start) return true;
  }
  return false;
}

// The results that are not public references, in their order.
py::object without_public_references(py::handle text, py::object results) {
  if (!PyUnicode_Check(text.ptr()) || !PyList_Check(results.ptr()) || PyList_GET_SIZE(results.ptr()) == 0) {
    return results;
  }
  const PublicReferences& p = public_references();
  Text t(text);
  const size_t n = t.view().size();
  py::list kept;
  for (const py::object& r : snapshot(results)) {
    py::object type = r.attr("entity_type");
    const Py_ssize_t start = clipped_index_value(r.attr("start"));
    const Py_ssize_t stop = clipped_index_value(r.attr("end"));
    const bool code = PyUnicode_Check(type.ptr()) && PyUnicode_CompareWithASCIIString(type.ptr(), "CODE") == 0;
    // Offsets outside the text are not judged: such a result is kept as it is.
    if (code && start >= 0 && start < stop && static_cast<size_t>(stop) <= n &&
        public_reference(p, t.view(), static_cast<size_t>(start), static_cast<size_t>(stop))) {
      continue;
    }
    kept.append(r);
  }
  return std::move(kept);
}

// ---------------------------------------------------------------------------
// Results as PatternRecognizer.analyze builds them.

struct Base {
  py::object recognizer_cls, entity_recognizer_cls, pattern_cls, explanation_cls, result_cls;
  py::object analyze_fn, analyze_patterns_fn, build_explanation_fn, validate_fn, invalidate_fn;
  py::str table_regex[kCount];
};

Base* g_base = nullptr;

// The function behind a bound method, or null.
PyObject* method_function(py::handle bound) {
  return PyMethod_Check(bound.ptr()) ? PyMethod_GET_FUNCTION(bound.ptr()) : nullptr;
}

// The hook of `self` when it differs from PatternRecognizer's own, else None.
py::object override_of(py::handle self, const char* name, const py::object& base_fn) {
  py::object bound = self.attr(name);
  if (method_function(bound) == base_fn.ptr()) return py::none();
  return bound;
}

std::optional<size_t> table_index(py::handle regex) {
  if (!PyUnicode_Check(regex.ptr())) return std::nullopt;
  for (size_t i = 0; i < kCount; ++i) {
    const int eq = PyUnicode_Compare(regex.ptr(), g_base->table_regex[i].ptr());
    if (eq == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (eq == 0) return i;
  }
  return std::nullopt;
}

struct PatternRow {
  py::object pattern, name, regex, score;
  size_t index;
};

// None when the base class must run: the matching or the explanation is a
// subclass's own, the flags are not the table's, or a pattern is not one of
// the table's (a deny list, a user's pattern, a Pattern subclass).
std::optional<std::vector<PatternRow>> native_patterns(py::handle self, py::handle flags) {
  const Base& b = *g_base;
  if (method_function(self.attr("_PatternRecognizer__analyze_patterns")) != b.analyze_patterns_fn.ptr()) {
    return std::nullopt;
  }
  py::object build_explanation = self.attr("build_regex_explanation");
  if (!build_explanation.is(b.build_explanation_fn)) return std::nullopt;
  if (!PyLong_Check(flags.ptr())) return std::nullopt;
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(flags.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow || value != kTableFlags) return std::nullopt;
  py::object patterns = self.attr("patterns");
  if (!PyList_Check(patterns.ptr()) && !PyTuple_Check(patterns.ptr())) return std::nullopt;
  std::vector<PatternRow> rows;
  for (const py::object& p : snapshot(patterns)) {
    if (!py::type::of(p).is(b.pattern_cls)) return std::nullopt;
    py::object regex = p.attr("regex");
    auto index = table_index(regex);
    if (!index) return std::nullopt;
    rows.push_back({p, p.attr("name"), regex, p.attr("score"), *index});
  }
  return rows;
}

py::object keyword_names(std::initializer_list<const char*> names) {
  py::tuple t(names.size());
  size_t i = 0;
  for (const char* n : names) t[i++] = py::str(n);
  return std::move(t);
}

// PatternRecognizer.analyze with the pattern table.
py::object analyze_table(py::object self, py::object text, py::object entities, py::object nlp_artifacts,
                         py::object regex_flags) {
  const Base& b = *g_base;
  py::object flags = truth(regex_flags) ? regex_flags : py::object(self.attr("global_regex_flags"));
  auto rows = native_patterns(self, flags);
  if (!rows) return b.analyze_fn(self, text, entities, nlp_artifacts, regex_flags);
  if (rows->empty()) return py::list();
  require_str(text, "analyze", "text");

  const Native& nat = native();
  Text t(text);
  py::object validate = override_of(self, "validate_result", b.validate_fn);
  py::object invalidate = override_of(self, "invalidate_result", b.invalidate_fn);
  py::object name = self.attr("name");
  py::object id = self.attr("id");
  py::object entity;  // read at the first match, as the base class reads it per match
  py::object name_key = b.result_cls.attr("RECOGNIZER_NAME_KEY");
  py::object id_key = b.result_cls.attr("RECOGNIZER_IDENTIFIER_KEY");
  py::object min_score = b.entity_recognizer_cls.attr("MIN_SCORE");
  py::object max_score = b.entity_recognizer_cls.attr("MAX_SCORE");
  // Kept for the life of the process (never released after the interpreter is gone).
  static const py::object& explanation_names = *new py::object(keyword_names(
      {"recognizer", "original_score", "pattern_name", "pattern", "validation_result", "regex_flags",
       "textual_explanation"}));
  static const py::object& result_names = *new py::object(keyword_names(
      {"entity_type", "start", "end", "score", "analysis_explanation", "recognition_metadata"}));
  const py::str score_attr("score");

  py::list results;
  Spans spans;
  for (const PatternRow& row : *rows) {
    spans.clear();
    find_spans(nat, row.index, t.view(), spans);
    py::object textual = py::str("Detected by `{}` using pattern `{}`").format(name, row.name);
    for (const auto& [start, end] : spans) {
      if (start == end) continue;
      py::object current;
      if (!validate.is_none() || !invalidate.is_none()) current = to_str(t.slice(start, end));
      py::object validation = validate.is_none() ? py::none() : validate(current);
      py::object explanation = call_with_keywords(
          b.explanation_cls, {name, row.score, row.name, row.regex, validation, flags, textual}, explanation_names);
      if (!entity) entity = self.attr("supported_entities")[py::int_(0)];
      py::dict metadata;
      metadata[name_key] = name;
      metadata[id_key] = id;
      py::object result = call_with_keywords(
          b.result_cls, {entity, py::int_(start), py::int_(end), row.score, explanation, metadata}, result_names);
      if (!validation.is_none()) result.attr(score_attr) = truth(validation) ? max_score : min_score;
      if (!invalidate.is_none()) {
        py::object invalidation = invalidate(current);
        if (!invalidation.is_none() && truth(invalidation)) result.attr(score_attr) = min_score;
      }
      py::object score = result.attr(score_attr);
      const int keep = PyObject_RichCompareBool(score.ptr(), min_score.ptr(), Py_GT);
      if (keep < 0) throw py::error_already_set();
      if (keep) results.append(result);
      explanation.attr(score_attr) = score;
    }
  }
  return b.entity_recognizer_cls.attr("remove_duplicates")(results);
}

py::object analyze(py::object self, py::object text, py::object entities, py::object nlp_artifacts,
                   py::object regex_flags) {
  py::object results = analyze_table(self, text, entities, nlp_artifacts, regex_flags);
  if (!truth(self.attr("keep_legal_references"))) return results;
  return without_public_references(text, results);
}

}  // namespace

PYBIND11_MODULE(code, m) {
  m.doc() = "Recognizer for reference codes and identifiers (entity type CODE).";
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  m.attr("re") = re;
  m.attr("Pattern") = presidio.attr("Pattern");
  m.attr("PatternRecognizer") = presidio.attr("PatternRecognizer");
  m.attr("EntityRecognizer") = presidio.attr("EntityRecognizer");
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");

  {
    auto* b = new Base();  // kept for the life of the process
    b->recognizer_cls = m.attr("PatternRecognizer");
    b->entity_recognizer_cls = m.attr("EntityRecognizer");
    b->pattern_cls = m.attr("Pattern");
    b->explanation_cls = m.attr("AnalysisExplanation");
    b->result_cls = m.attr("RecognizerResult");
    py::dict own = b->recognizer_cls.attr("__dict__");
    b->analyze_fn = b->recognizer_cls.attr("analyze");
    b->analyze_patterns_fn = own["_PatternRecognizer__analyze_patterns"];
    b->build_explanation_fn = b->recognizer_cls.attr("build_regex_explanation");
    b->validate_fn = own["validate_result"];
    b->invalidate_fn = own["invalidate_result"];
    for (size_t i = 0; i < kCount; ++i) b->table_regex[i] = py::str(kTable[i].regex);
    g_base = b;
  }

  // (name, regex, score) in registration order.
  py::list table;
  for (const Entry& e : kTable) table.append(py::make_tuple(e.name, py::str(e.regex), py::float_(e.score)));
  m.attr("_CODE_PATTERNS") = py::tuple(table);
  // No IGNORECASE: [A-Z] means upper-case ASCII letters, and keywords match as written.
  m.attr("_CODE_REGEX_FLAGS") = re.attr("DOTALL") | re.attr("MULTILINE");

  ClassBuilder(m, "CodeRecognizer", py::make_tuple(m.attr("PatternRecognizer")),
               "Detects reference codes (entity type CODE): structured references, keyworded serial\n"
               "numbers, tickets, registration plates, court dossiers, MAC addresses, underscore\n"
               "identifiers, flight-like and other short letter-digit codes.")
      .init(
          [m](py::object self, py::object keep_legal_references) {
            self.attr("keep_legal_references") = py::bool_(truth(keep_legal_references));
            py::object pattern_cls = m.attr("Pattern");
            py::list patterns;
            for (const py::object& row : snapshot(m.attr("_CODE_PATTERNS"))) {
              if (!PyTuple_Check(row.ptr()) || PyTuple_GET_SIZE(row.ptr()) != 3) {
                throw py::type_error("_CODE_PATTERNS must hold (name, regex, score) tuples, not " +
                                     py::repr(row).cast<std::string>());
              }
              py::tuple t = py::reinterpret_borrow<py::tuple>(row);
              patterns.append(pattern_cls(py::arg("name") = t[0], py::arg("regex") = t[1], py::arg("score") = t[2]));
            }
            m.attr("PatternRecognizer")
                .attr("__init__")(self, py::arg("supported_entity") = "CODE", py::arg("patterns") = patterns,
                                  py::arg("supported_language") = "ro",
                                  py::arg("global_regex_flags") = m.attr("_CODE_REGEX_FLAGS"));
          },
          "Recognizer for entity type CODE, language \"ro\", with the module's pattern table.\n\n"
          "keep_legal_references (keyword only, default False): leave out the results that are\n"
          "public references, the numbers of published acts (laws, ordinances, government\n"
          "decisions, decrees, orders, official journal issues, articles of an act) and year\n"
          "ranges or school years.",
          py::kw_only(), py::arg("keep_legal_references") = false)
      .attr("keep_legal_references", py::bool_(false))
      .method("analyze", &analyze,
              "PatternRecognizer.analyze: every pattern's matches, in table order, scored and\n"
              "explained as the base class does, duplicates removed. With the module's own table and\n"
              "flags the matching is native; otherwise the base class runs. With\n"
              "keep_legal_references true, results that are public references are left out.",
              py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none(),
              py::arg("regex_flags") = py::none())
      .finish();
}
