// The inside of the regular-expression wrapper, shared by its parts:
//   regex_fold.cpp   character sets under IGNORECASE, as `re` folds case
//   regex_parse.cpp  the parser, which follows re._parser and builds the tree
//   regex_emit.cpp   the emitter, which writes the tree in PCRE2 syntax
//   regex.cpp        compilation and matching with PCRE2
// Not for use outside cpp/core.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/codeset.hpp"
#include "core/regex.hpp"

namespace tarnis::core::regex_impl {

inline constexpr uint32_t kInfinite = std::numeric_limits<uint32_t>::max();
inline constexpr uint32_t kPcreMaxRepeat = 65535;
// Python's parser gives up (RecursionError) on groups nested more than 495
// deep under the default recursion limit; patterns nested deeper are refused.
inline constexpr size_t kMaxNesting = 495;

// Pattern text for messages: ASCII as it is, anything else as "?".
inline std::string narrow(std::u32string_view s) {
  std::string out;
  for (char32_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

inline bool is_ascii_letter(char32_t c) { return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z'); }

// ---------------------------------------------------------------------------
// Syntax tree

struct Node;
using NodePtr = std::unique_ptr<Node>;

enum class Kind { Set, Seq, Alt, Group, Repeat, Assert, Backref, Cond };
enum class GroupKind { Capture, NonCapture, Atomic, LookAhead, NegLookAhead, LookBehind, NegLookBehind };
enum class RepeatMode { Greedy, Lazy, Possessive };
enum class AssertKind { Bol, Eol, StartA, EndZ, WordB, NonWordB };

struct Node {
  Kind kind;
  CodeSet set;                     // Set
  std::vector<NodePtr> children;   // Seq, Alt, Group (one Alt/Seq child), Repeat (one child), Cond (yes[, no])
  GroupKind group = GroupKind::NonCapture;
  uint32_t min = 0, max = 0;       // Repeat
  RepeatMode mode = RepeatMode::Greedy;
  AssertKind assertion = AssertKind::Bol;
  bool multiline = false;          // Bol/Eol
  int ref = 0;                     // Backref, Cond

  explicit Node(Kind k) : kind(k) {}
};

inline NodePtr make(Kind k) { return std::make_unique<Node>(k); }

inline NodePtr make_set(CodeSet s) {
  auto n = make(Kind::Set);
  n->set = std::move(s);
  return n;
}

// Whether `n` matches without consuming a character (an assertion or a look-around).
bool zero_width(const Node& n);
// The set of the first (or last) character any match of `n` consumes, when
// that can be told; std::nullopt otherwise.
std::optional<CodeSet> edge_set(const Node& n, bool first);

// ---------------------------------------------------------------------------
// Case folding (regex_fold.cpp)

// The characters a literal `c` matches under IGNORECASE.
CodeSet literal_ignorecase(char32_t c);

// One item of a [...] set: a character, a range or a category (\d, \w, \s).
struct ClassItem {
  enum { Literal, Range, Category } type;
  char32_t lo = 0, hi = 0;
  CodeSet category;
};

// The characters a [...] set of `items` matches.
CodeSet class_set(const std::vector<ClassItem>& items, bool ignorecase);

// ---------------------------------------------------------------------------
// Parser and emitter

// The tree of `pattern` under `flags`; `groups` receives the number of
// capturing groups. PatternError for what `re` refuses or this wrapper does
// not translate.
NodePtr parse(std::u32string_view pattern, int flags, const CharClasses& classes, size_t& groups);
// The tree in PCRE2 syntax (ASCII only), \b and \B read over `word`.
std::u32string emit(const Node& root, const CodeSet& word);

}  // namespace tarnis::core::regex_impl
