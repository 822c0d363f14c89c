// Sets of Unicode code points as sorted, disjoint, inclusive ranges, and the
// character categories of the running interpreter (\d, \w, \s, simple case
// mappings) expressed as such sets.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace tarnis::core {

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

class CodeSet {
 public:
  using Range = std::pair<char32_t, char32_t>;  // inclusive

  CodeSet() = default;
  static CodeSet of(char32_t c) { return range(c, c); }
  static CodeSet range(char32_t lo, char32_t hi);
  static CodeSet all() { return range(0, kMaxCodePoint); }

  void add(char32_t c) { add_range(c, c); }
  void add_range(char32_t lo, char32_t hi);
  void add(const CodeSet& other);

  CodeSet complement() const;
  CodeSet minus(const CodeSet& other) const;
  bool contains(char32_t c) const;
  bool empty() const { return ranges_.empty(); }
  bool is_single() const { return ranges_.size() == 1 && ranges_[0].first == ranges_[0].second; }
  bool subset_of(const CodeSet& other) const;
  bool disjoint(const CodeSet& other) const;
  const std::vector<Range>& ranges() const { return ranges_; }
  bool operator==(const CodeSet& o) const { return ranges_ == o.ranges_; }

 private:
  void normalize();
  std::vector<Range> ranges_;
};

// Character categories exactly as Python's `re` sees them for str patterns:
// \d is str.isdecimal(), \s is str.isspace(), \w is str.isalnum() or "_".
// Built once per process from the interpreter's own Unicode tables.
const CodeSet& digit_set();
const CodeSet& space_set();
const CodeSet& word_set();

// Simple (one-to-one) case mappings as used by `re` with IGNORECASE.
char32_t simple_lower(char32_t c);
char32_t simple_upper(char32_t c);
bool is_cased(char32_t c);

// Code points whose simple lower or upper mapping differs from themselves.
const std::vector<char32_t>& case_changing_chars();

// Extra case equivalences `re` applies beyond the simple mappings
// (for example "s" and U+017F), keyed by the lower-case character.
const std::vector<char32_t>* extra_cases(char32_t lower);

}  // namespace tarnis::core
