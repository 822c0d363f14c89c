// Regular expressions written in Python's `re` dialect, matched by PCRE2.
//
// Patterns are parsed with the rules of Python's `re` parser and translated
// into PCRE2 syntax in which every character class (\d, \w, \s, ".", literal
// letters under IGNORECASE, [...] sets) is spelled out as explicit code point
// ranges computed from the running interpreter's own Unicode tables, and \b/\B
// become look-arounds over that \w set. PCRE2 then runs on 32-bit code units
// without UTF mode: one code unit is one Python character, so offsets are
// Python indices and lone surrogates are ordinary characters, as in `re`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/codeset.hpp"
#include "core/text.hpp"

namespace tarnis::core {

// Flag values of Python's `re` module.
namespace reflag {
inline constexpr int IGNORECASE = 2;
inline constexpr int LOCALE = 4;
inline constexpr int MULTILINE = 8;
inline constexpr int DOTALL = 16;
inline constexpr int UNICODE = 32;
inline constexpr int VERBOSE = 64;
inline constexpr int ASCII = 256;
}  // namespace reflag

// The pattern is not valid Python `re` syntax, or uses a construct this
// wrapper does not translate. Raised as ValueError in Python.
class PatternError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// PCRE2 reported a failure while matching (resource limits). Never reported
// as "no match". Raised as RuntimeError in Python.
class MatchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What \d, \s and \w stand for in a pattern (and so \b and \B, which are
// read over \w). By default the sets of Python's `re`; a caller whose
// results must agree with another engine passes that engine's sets. Case
// folding under IGNORECASE stays `re`'s either way.
struct CharClasses {
  CodeSet digit, space, word;
};

// The sets of Python's `re` (the default).
const CharClasses& re_classes();

struct Match {
  static constexpr size_t npos = static_cast<size_t>(-1);
  // spans[0] is the whole match; spans[g] is group g or (npos, npos).
  std::vector<std::pair<size_t, size_t>> spans;

  size_t start(size_t g = 0) const { return spans[g].first; }
  size_t end(size_t g = 0) const { return spans[g].second; }
  bool matched(size_t g) const { return g < spans.size() && spans[g].first != npos; }
};

class Regex {
 public:
  // `classes`, when given, replaces the `re` meaning of \d, \s and \w; it
  // is read during construction only.
  explicit Regex(std::u32string_view pattern, int flags = 0, const CharClasses* classes = nullptr);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  const std::u32string& pattern() const { return pattern_; }
  int flags() const { return flags_; }
  size_t groups() const { return groups_; }
  // The translated PCRE2 pattern (for diagnostics).
  const std::u32string& translated() const { return translated_; }

  // Python semantics: `subject` plays the role of string[:endpos]; `pos` is
  // where the search starts (look-behinds still see what lies before it).
  bool search(U32View subject, Match& m, size_t pos = 0) const;
  bool match(U32View subject, Match& m, size_t pos = 0) const;
  bool fullmatch(U32View subject, Match& m, size_t pos = 0) const;

  // pattern.sub with a literal replacement (no template processing).
  std::u32string sub(U32View subject, U32View replacement, size_t count = 0, size_t* replaced = nullptr) const;
  // pattern.split; unmatched groups are std::nullopt.
  std::vector<std::optional<std::u32string>> split(U32View subject, size_t maxsplit = 0) const;

 private:
  friend class MatchIterator;
  // Runs one match attempt; returns false on no match, throws MatchError on failure.
  bool exec(U32View subject, size_t pos, uint32_t options, Match& m, void* match_data) const;
  void* new_match_data() const;

  std::u32string pattern_;
  std::u32string translated_;
  int flags_;
  size_t groups_ = 0;
  void* code_ = nullptr;  // pcre2_code_32*
};

// finditer: non-overlapping matches from left to right, with Python's rule
// that an empty match may not start where the previous empty match was.
class MatchIterator {
 public:
  MatchIterator(const Regex& re, U32View subject, size_t pos = 0);
  ~MatchIterator();
  MatchIterator(const MatchIterator&) = delete;
  MatchIterator& operator=(const MatchIterator&) = delete;
  bool next(Match& m);

 private:
  const Regex& re_;
  U32View subject_;
  size_t pos_;
  bool last_empty_ = false;
  bool done_ = false;
  void* match_data_;
};

}  // namespace tarnis::core
