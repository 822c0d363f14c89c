#include "core/regex.hpp"

#include <pcre2.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "core/codeset.hpp"

namespace tarnis::core {

namespace {

constexpr uint32_t kInfinite = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kPcreMaxRepeat = 65535;

std::string narrow(std::u32string_view s) {
  std::string out;
  for (char32_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

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

NodePtr make(Kind k) { return std::make_unique<Node>(k); }

NodePtr make_set(CodeSet s) {
  auto n = make(Kind::Set);
  n->set = std::move(s);
  return n;
}

bool zero_width(const Node& n) {
  if (n.kind == Kind::Assert) return true;
  if (n.kind == Kind::Group) {
    return n.group == GroupKind::LookAhead || n.group == GroupKind::NegLookAhead ||
           n.group == GroupKind::LookBehind || n.group == GroupKind::NegLookBehind;
  }
  return false;
}

// The set of the first (or last) character any match of `n` consumes, when
// that is known; used to simplify \b next to it.
std::optional<CodeSet> edge_set(const Node& n, bool first) {
  switch (n.kind) {
    case Kind::Set:
      return n.set;
    case Kind::Group:
      if (zero_width(n)) return std::nullopt;
      return edge_set(*n.children[0], first);
    case Kind::Alt: {
      CodeSet u;
      for (const auto& c : n.children) {
        auto s = edge_set(*c, first);
        if (!s) return std::nullopt;
        u.add(*s);
      }
      return u;
    }
    case Kind::Seq: {
      const size_t count = n.children.size();
      for (size_t k = 0; k < count; ++k) {
        const Node& c = *n.children[first ? k : count - 1 - k];
        if (zero_width(c)) continue;
        return edge_set(c, first);
      }
      return std::nullopt;
    }
    case Kind::Repeat:
      if (n.min >= 1) return edge_set(*n.children[0], first);
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

// ---------------------------------------------------------------------------
// Case-insensitive sets with the exact semantics of `re` for str patterns.

const CodeSet& case_changing_set() {
  static const CodeSet* s = [] {
    auto* out = new CodeSet();
    for (char32_t c : case_changing_chars()) out->add(c);
    return out;
  }();
  return *s;
}

// {ch : pred(ch)} where pred(ch) reduces to `ch in plain` for every character
// that case mapping leaves unchanged.
template <class Pred>
CodeSet case_closure(const CodeSet& plain, Pred pred) {
  CodeSet out = plain.minus(case_changing_set());
  for (char32_t c : case_changing_chars()) {
    if (pred(c)) out.add(c);
  }
  return out;
}

void add_extra_cases(CodeSet& s, char32_t lower) {
  if (const auto* extra = extra_cases(lower)) {
    for (char32_t k : *extra) s.add(k);
  }
}

CodeSet literal_ignorecase(char32_t c) {
  if (!is_cased(c)) return CodeSet::of(c);
  const char32_t lo = simple_lower(c);
  CodeSet targets = CodeSet::of(lo);
  add_extra_cases(targets, lo);
  return case_closure(targets, [&](char32_t ch) { return targets.contains(simple_lower(ch)); });
}

struct ClassItem {
  enum { Literal, Range, Category } type;
  char32_t lo = 0, hi = 0;
  CodeSet category;
};

CodeSet class_set(const std::vector<ClassItem>& items, bool ignorecase) {
  CodeSet plain;
  for (const auto& it : items) {
    if (it.type == ClassItem::Category) plain.add(it.category);
    else plain.add_range(it.lo, it.hi);
  }
  if (!ignorecase) return plain;

  // Mirrors re._compiler._optimize_charset with a lower-casing fixup:
  // members are lower-cased (plus extra equivalences) into `lowered`, and a
  // character matches when its lower-case form is a member.
  bool hascased = false;
  CodeSet lowered;
  CodeSet literal_tail;  // non-BMP literals, compared as written
  std::vector<std::pair<char32_t, char32_t>> wide_ranges;
  const CodeSet& changing = case_changing_set();
  for (const auto& it : items) {
    if (it.type == ClassItem::Category) {
      lowered.add(it.category);
    } else if (it.type == ClassItem::Literal) {
      const char32_t lo = simple_lower(it.lo);
      if (lo > 0xFFFF) {
        literal_tail.add(it.lo);
        hascased = true;
        continue;
      }
      lowered.add(lo);
      add_extra_cases(lowered, lo);
      if (is_cased(it.lo)) hascased = true;
    } else {
      const char32_t bmp_hi = std::min<char32_t>(it.hi, 0xFFFF);
      if (it.lo <= bmp_hi) {
        CodeSet part = CodeSet::range(it.lo, bmp_hi);
        CodeSet image = part.minus(changing);
        for (char32_t c : case_changing_chars()) {
          if (c >= it.lo && c <= bmp_hi) image.add(simple_lower(c));
        }
        for (const auto& r : image.ranges()) {
          for (char32_t k = r.first; k <= r.second && k <= 0xFFFF; ++k) {
            if (extra_cases(k)) add_extra_cases(lowered, k);
          }
        }
        lowered.add(image);
        if (!part.disjoint(changing)) hascased = true;
      }
      if (it.hi > 0xFFFF) {
        wide_ranges.emplace_back(it.lo, it.hi);
        hascased = true;
      }
    }
  }
  if (!hascased) return plain;

  CodeSet base = lowered;
  base.add(literal_tail);
  for (const auto& r : wide_ranges) base.add_range(r.first, r.second);
  return case_closure(base, [&](char32_t ch) {
    const char32_t lo = simple_lower(ch);
    if (lowered.contains(lo) || literal_tail.contains(lo)) return true;
    for (const auto& r : wide_ranges) {
      if (lo >= r.first && lo <= r.second) return true;
      const char32_t up = simple_upper(lo);
      if (up >= r.first && up <= r.second) return true;
    }
    return false;
  });
}

// ---------------------------------------------------------------------------
// Parser: follows re._parser, producing the tree above.

struct Flags {
  bool ignorecase = false;
  bool multiline = false;
  bool dotall = false;
};

bool is_ascii_letter(char32_t c) { return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z'); }
bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }
bool is_octal(char32_t c) { return c >= U'0' && c <= U'7'; }
bool is_hex(char32_t c) {
  return is_digit(c) || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F');
}
int hex_value(char32_t c) {
  if (is_digit(c)) return static_cast<int>(c - U'0');
  if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
  return static_cast<int>(c - U'A' + 10);
}

// Python's parser gives up (RecursionError) on groups nested more than 495
// deep under the default recursion limit; patterns nested deeper are refused.
constexpr size_t kMaxNesting = 495;

class Parser {
 public:
  Parser(std::u32string_view p, int flags, const CharClasses& classes) : p_(p), classes_(classes) {
    if (flags & (reflag::LOCALE | reflag::VERBOSE | reflag::ASCII)) {
      throw PatternError("unsupported flags: only IGNORECASE, MULTILINE, DOTALL and UNICODE are translated");
    }
    flags_.ignorecase = flags & reflag::IGNORECASE;
    flags_.multiline = flags & reflag::MULTILINE;
    flags_.dotall = flags & reflag::DOTALL;
  }

  NodePtr parse() {
    NodePtr n = parse_alt(true);
    if (pos_ < p_.size()) {
      if (p_[pos_] == U')') fail("unbalanced parenthesis");
      fail("unexpected character");
    }
    return n;
  }

  size_t groups() const { return groups_; }

 private:
  [[noreturn]] void fail(const std::string& msg) const {
    throw PatternError(msg + " at position " + std::to_string(pos_));
  }
  bool at_end() const { return pos_ >= p_.size(); }
  char32_t peek() const { return at_end() ? 0 : p_[pos_]; }
  bool match(char32_t c) {
    if (!at_end() && p_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  char32_t get() {
    if (at_end()) fail("unexpected end of pattern");
    return p_[pos_++];
  }

  NodePtr parse_alt(bool first = false) {
    auto alt = make(Kind::Alt);
    alt->children.push_back(parse_seq(first));
    while (match(U'|')) alt->children.push_back(parse_seq());
    if (alt->children.size() == 1) return std::move(alt->children[0]);
    return alt;
  }

  NodePtr set_node(CodeSet s) { return make_set(std::move(s)); }

  NodePtr literal(char32_t c) {
    return set_node(flags_.ignorecase ? literal_ignorecase(c) : CodeSet::of(c));
  }

  NodePtr parse_seq(bool first = false) {
    // Each group or conditional nests one sequence. Deeper patterns are
    // refused before the recursion here, in the emitter and in the tree's
    // destructor can exhaust the C stack.
    if (depth_ > kMaxNesting) fail("too many nested groups (more than " + std::to_string(kMaxNesting) + ")");
    struct Leave {
      size_t& d;
      ~Leave() { --d; }
    } leave{++depth_};
    auto seq = make(Kind::Seq);
    auto& items = seq->children;
    while (!at_end()) {
      const char32_t c = peek();
      if (c == U'|' || c == U')') break;
      ++pos_;
      if (c == U'\\') {
        items.push_back(escape());
      } else if (c == U'[') {
        items.push_back(char_class());
      } else if (c == U'*' || c == U'+' || c == U'?' || c == U'{') {
        uint32_t mn = 0, mx = kInfinite;
        const size_t here = pos_;
        if (c == U'?') {
          mx = 1;
        } else if (c == U'+') {
          mn = 1;
        } else if (c == U'{') {
          if (peek() == U'}') {
            items.push_back(literal(c));
            continue;
          }
          std::u32string lo, hi;
          while (is_digit(peek())) lo.push_back(get());
          if (match(U',')) {
            while (is_digit(peek())) hi.push_back(get());
          } else {
            hi = lo;
          }
          if (!match(U'}')) {
            pos_ = here;
            items.push_back(literal(c));
            continue;
          }
          if (!lo.empty()) mn = parse_count(lo);
          if (!hi.empty()) mx = parse_count(hi);
          if (!hi.empty() && mx < mn) fail("min repeat greater than max repeat");
        }
        if (items.empty() || items.back()->kind == Kind::Assert) fail("nothing to repeat");
        if (items.back()->kind == Kind::Repeat) fail("multiple repeat");
        auto rep = make(Kind::Repeat);
        rep->min = mn;
        rep->max = mx;
        if (mn > kPcreMaxRepeat || (mx != kInfinite && mx > kPcreMaxRepeat)) {
          fail("repeat count above 65535 is not supported");
        }
        if (match(U'?')) rep->mode = RepeatMode::Lazy;
        else if (match(U'+')) rep->mode = RepeatMode::Possessive;
        rep->children.push_back(std::move(items.back()));
        items.back() = std::move(rep);
      } else if (c == U'.') {
        items.push_back(set_node(flags_.dotall ? CodeSet::all() : CodeSet::of(U'\n').complement()));
      } else if (c == U'(') {
        NodePtr g = group(first && items.empty());
        if (g) items.push_back(std::move(g));
      } else if (c == U'^') {
        auto a = make(Kind::Assert);
        a->assertion = AssertKind::Bol;
        a->multiline = flags_.multiline;
        items.push_back(std::move(a));
      } else if (c == U'$') {
        auto a = make(Kind::Assert);
        a->assertion = AssertKind::Eol;
        a->multiline = flags_.multiline;
        items.push_back(std::move(a));
      } else {
        items.push_back(literal(c));
      }
    }
    return seq;
  }

  uint32_t parse_count(const std::u32string& digits) {
    uint64_t v = 0;
    for (char32_t d : digits) {
      v = v * 10 + (d - U'0');
      if (v > kPcreMaxRepeat) fail("repeat count above 65535 is not supported");
    }
    return static_cast<uint32_t>(v);
  }

  std::u32string get_until(char32_t term, const char* what) {
    std::u32string name;
    while (true) {
      if (at_end()) fail(std::string("missing ") + narrow(std::u32string(1, term)) + ", unterminated name");
      char32_t c = get();
      if (c == term) break;
      name.push_back(c);
    }
    if (name.empty()) fail(std::string("missing ") + what);
    return name;
  }

  // Returns null for constructs that produce no node (comments, global flags).
  NodePtr group(bool at_start) {
    const size_t start = pos_ - 1;
    if (!match(U'?')) return capture_group(std::u32string());
    const char32_t c = get();
    if (c == U'P') {
      if (match(U'<')) {
        std::u32string name = get_until(U'>', "group name");
        check_name(name);
        return capture_group(name);
      }
      if (match(U'=')) {
        std::u32string name = get_until(U')', "group name");
        auto it = names_.find(name);
        if (it == names_.end()) fail("unknown group name '" + narrow(name) + "'");
        return backref(it->second);
      }
      fail("unknown extension ?P");
    }
    if (c == U':') return plain_group(GroupKind::NonCapture, flags_);
    if (c == U'>') return plain_group(GroupKind::Atomic, flags_);
    if (c == U'#') {
      while (true) {
        if (at_end()) fail("missing ), unterminated comment");
        if (get() == U')') return nullptr;
      }
    }
    if (c == U'=') return plain_group(GroupKind::LookAhead, flags_);
    if (c == U'!') return plain_group(GroupKind::NegLookAhead, flags_);
    if (c == U'<') {
      const char32_t d = get();
      if (d == U'=') return plain_group(GroupKind::LookBehind, flags_);
      if (d == U'!') return plain_group(GroupKind::NegLookBehind, flags_);
      fail("unknown extension ?<");
    }
    if (c == U'(') {
      std::u32string cond = get_until(U')', "group name");
      int ref = 0;
      if (std::all_of(cond.begin(), cond.end(), is_digit)) {
        ref = static_cast<int>(parse_count(cond));
        if (ref == 0) fail("bad group number");
      } else {
        auto it = names_.find(cond);
        if (it == names_.end()) fail("unknown group name '" + narrow(cond) + "'");
        ref = it->second;
      }
      auto n = make(Kind::Cond);
      n->ref = ref;
      n->children.push_back(parse_seq());
      if (match(U'|')) {
        n->children.push_back(parse_seq());
        if (peek() == U'|') fail("conditional backref with more than two branches");
      }
      if (!match(U')')) fail("missing ), unterminated subpattern");
      return n;
    }
    // Inline flags: (?imsux) at the start, or scoped (?ims-ims:...).
    pos_ -= 1;
    Flags add, del;
    bool any_add = false, any_del = false;
    auto read_flags = [&](Flags& into, bool& any) {
      while (!at_end()) {
        const char32_t f = peek();
        if (f == U'i') into.ignorecase = true;
        else if (f == U'm') into.multiline = true;
        else if (f == U's') into.dotall = true;
        else if (f == U'u') {
        } else if (f == U'a' || f == U'L' || f == U'x') {
          fail("unsupported inline flag");
        } else {
          break;
        }
        any = true;
        ++pos_;
      }
    };
    read_flags(add, any_add);
    if (match(U')')) {
      if (!any_add) fail("missing flag");
      if (!at_start) {
        pos_ = start;
        fail("global flags not at the start of the expression");
      }
      flags_.ignorecase |= add.ignorecase;
      flags_.multiline |= add.multiline;
      flags_.dotall |= add.dotall;
      return nullptr;
    }
    if (match(U'-')) {
      read_flags(del, any_del);
      if (!any_del) fail("missing flag");
    }
    if (!match(U':')) fail("missing :");
    Flags scoped = flags_;
    scoped.ignorecase = (scoped.ignorecase || add.ignorecase) && !del.ignorecase;
    scoped.multiline = (scoped.multiline || add.multiline) && !del.multiline;
    scoped.dotall = (scoped.dotall || add.dotall) && !del.dotall;
    return plain_group(GroupKind::NonCapture, scoped);
  }

  void check_name(const std::u32string& name) {
    if (name.empty()) fail("missing group name");
    py::str s = to_str(name);
    if (!s.attr("isidentifier")().cast<bool>()) fail("bad character in group name '" + narrow(name) + "'");
    if (names_.count(name)) fail("redefinition of group name '" + narrow(name) + "'");
  }

  NodePtr capture_group(const std::u32string& name) {
    const int index = static_cast<int>(++groups_);
    if (!name.empty()) names_[name] = index;
    open_.push_back(index);
    NodePtr g = plain_group(GroupKind::Capture, flags_);
    open_.pop_back();
    return g;
  }

  NodePtr plain_group(GroupKind kind, const Flags& inner) {
    Flags saved = flags_;
    flags_ = inner;
    auto g = make(Kind::Group);
    g->group = kind;
    g->children.push_back(parse_alt());
    flags_ = saved;
    if (!match(U')')) fail("missing ), unterminated subpattern");
    return g;
  }

  NodePtr backref(int index) {
    if (std::find(open_.begin(), open_.end(), index) != open_.end()) fail("cannot refer to an open group");
    if (flags_.ignorecase) fail("back-references under IGNORECASE are not supported");
    auto n = make(Kind::Backref);
    n->ref = index;
    return n;
  }

  char32_t hex_escape(size_t digits) {
    uint32_t v = 0;
    for (size_t k = 0; k < digits; ++k) {
      if (at_end() || !is_hex(peek())) fail("incomplete escape");
      v = v * 16 + static_cast<uint32_t>(hex_value(get()));
    }
    if (v > kMaxCodePoint) fail("bad escape (code point out of range)");
    return static_cast<char32_t>(v);
  }

  char32_t named_escape() {
    if (!match(U'{')) fail("missing {");
    std::u32string name = get_until(U'}', "character name");
    try {
      py::object ch = py::module_::import("unicodedata").attr("lookup")(to_str(name));
      return static_cast<char32_t>(PyUnicode_READ_CHAR(ch.ptr(), 0));
    } catch (py::error_already_set&) {
      fail("undefined character name '" + narrow(name) + "'");
    }
  }

  // Escapes common to both contexts; returns true and sets `out` for a
  // single character.
  bool char_escape(char32_t c, char32_t& out) {
    switch (c) {
      case U'a': out = 0x07; return true;
      case U'f': out = 0x0C; return true;
      case U'n': out = 0x0A; return true;
      case U'r': out = 0x0D; return true;
      case U't': out = 0x09; return true;
      case U'v': out = 0x0B; return true;
      case U'\\': out = U'\\'; return true;
      case U'x': out = hex_escape(2); return true;
      case U'u': out = hex_escape(4); return true;
      case U'U': out = hex_escape(8); return true;
      case U'N': out = named_escape(); return true;
      default: return false;
    }
  }

  std::optional<CodeSet> category(char32_t c) {
    switch (c) {
      case U'd': return classes_.digit;
      case U'D': return classes_.digit.complement();
      case U's': return classes_.space;
      case U'S': return classes_.space.complement();
      case U'w': return classes_.word;
      case U'W': return classes_.word.complement();
      default: return std::nullopt;
    }
  }

  NodePtr escape() {
    const char32_t c = get();
    auto assertion = [&](AssertKind k) {
      auto a = make(Kind::Assert);
      a->assertion = k;
      return a;
    };
    if (c == U'A') return assertion(AssertKind::StartA);
    if (c == U'Z') return assertion(AssertKind::EndZ);
    if (c == U'b') return assertion(AssertKind::WordB);
    if (c == U'B') return assertion(AssertKind::NonWordB);
    if (auto cat = category(c)) return set_node(std::move(*cat));
    char32_t ch;
    if (char_escape(c, ch)) return literal(ch);
    if (c == U'0') {
      uint32_t v = 0;
      for (int k = 0; k < 2 && is_octal(peek()); ++k) v = v * 8 + (get() - U'0');
      return literal(static_cast<char32_t>(v));
    }
    if (is_digit(c)) {
      std::u32string digits(1, c);
      if (is_digit(peek())) {
        digits.push_back(get());
        if (is_octal(digits[0]) && is_octal(digits[1]) && is_octal(peek())) {
          digits.push_back(get());
          uint32_t v = 0;
          for (char32_t d : digits) v = v * 8 + (d - U'0');
          if (v > 0377) fail("octal escape value outside of range 0-0o377");
          return literal(static_cast<char32_t>(v));
        }
      }
      const int index = static_cast<int>(parse_count(digits));
      if (index > static_cast<int>(groups_)) fail("invalid group reference " + std::to_string(index));
      return backref(index);
    }
    if (c < 0x80 && is_ascii_letter(c)) fail("bad escape \\" + narrow(std::u32string(1, c)));
    return literal(c);
  }

  ClassItem class_escape() {
    const char32_t c = get();
    ClassItem item{ClassItem::Literal};
    if (auto cat = category(c)) {
      item.type = ClassItem::Category;
      item.category = std::move(*cat);
      return item;
    }
    char32_t ch;
    if (c == U'b') {
      item.lo = item.hi = 0x08;
      return item;
    }
    if (char_escape(c, ch)) {
      item.lo = item.hi = ch;
      return item;
    }
    if (is_octal(c)) {
      uint32_t v = c - U'0';
      for (int k = 0; k < 2 && is_octal(peek()); ++k) v = v * 8 + (get() - U'0');
      if (v > 0377) fail("octal escape value outside of range 0-0o377");
      item.lo = item.hi = static_cast<char32_t>(v);
      return item;
    }
    if (is_digit(c) || is_ascii_letter(c)) fail("bad escape \\" + narrow(std::u32string(1, c)));
    item.lo = item.hi = c;
    return item;
  }

  NodePtr char_class() {
    const bool negate = match(U'^');
    std::vector<ClassItem> items;
    while (true) {
      if (at_end()) fail("unterminated character set");
      const char32_t c = get();
      if (c == U']' && !items.empty()) break;
      ClassItem code1 = c == U'\\' ? class_escape() : ClassItem{ClassItem::Literal, c, c, {}};
      if (match(U'-')) {
        if (at_end()) fail("unterminated character set");
        const char32_t that = get();
        if (that == U']') {
          items.push_back(std::move(code1));
          items.push_back(ClassItem{ClassItem::Literal, U'-', U'-', {}});
          break;
        }
        ClassItem code2 = that == U'\\' ? class_escape() : ClassItem{ClassItem::Literal, that, that, {}};
        if (code1.type != ClassItem::Literal || code2.type != ClassItem::Literal || code2.lo < code1.lo) {
          fail("bad character range");
        }
        items.push_back(ClassItem{ClassItem::Range, code1.lo, code2.lo, {}});
      } else {
        items.push_back(std::move(code1));
      }
    }
    CodeSet s;
    if (items.size() == 1 && items[0].type == ClassItem::Literal) {
      // A one-character class is that literal (re does the same).
      s = flags_.ignorecase ? literal_ignorecase(items[0].lo) : CodeSet::of(items[0].lo);
    } else {
      s = class_set(items, flags_.ignorecase);
    }
    return set_node(negate ? s.complement() : std::move(s));
  }

  std::u32string_view p_;
  const CharClasses& classes_;
  size_t pos_ = 0;
  Flags flags_;
  size_t groups_ = 0;
  size_t depth_ = 0;  // sequences being parsed, the whole pattern's included
  std::vector<int> open_;
  std::map<std::u32string, int> names_;
};

// ---------------------------------------------------------------------------
// Emitter: PCRE2 syntax, ASCII only.

class Emitter {
 public:
  explicit Emitter(const CodeSet& word) : word_(word) {}

  std::u32string emit(const Node& root) {
    node(root);
    return out_;
  }

 private:
  void put(const char* s) {
    while (*s) out_.push_back(static_cast<char32_t>(*s++));
  }

  void code_point(char32_t c) {
    if ((c >= U'0' && c <= U'9') || is_ascii_letter(c)) {
      out_.push_back(c);
      return;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\x{%x}", static_cast<unsigned>(c));
    put(buf);
  }

  void ranges(const CodeSet& s) {
    for (const auto& r : s.ranges()) {
      code_point(r.first);
      if (r.second == r.first) continue;
      if (r.second != r.first + 1) out_.push_back(U'-');
      code_point(r.second);
    }
  }

  void set(const CodeSet& s) {
    if (s.empty()) {
      put("(?!)");
      return;
    }
    if (s.is_single()) {
      code_point(s.ranges()[0].first);
      return;
    }
    CodeSet comp = s.complement();
    if (!comp.empty() && comp.ranges().size() < s.ranges().size()) {
      put("[^");
      ranges(comp);
    } else {
      put("[");
      ranges(s);
    }
    put("]");
  }

  const std::u32string& word_class() {
    if (word_class_.empty()) {
      std::swap(out_, word_class_);
      set(word_);
      std::swap(out_, word_class_);
    }
    return word_class_;
  }

  void look(const char* open) {
    put(open);
    out_ += word_class();
    put(")");
  }

  void boundary(const Node& n, const Node* prev, const Node* next) {
    const CodeSet& w = word_;
    auto word_side = [&](const Node* side, bool first) -> int {  // 1 word, 0 not word, -1 unknown
      if (!side) return -1;
      auto s = edge_set(*side, first);
      if (!s || s->empty()) return -1;
      if (s->subset_of(w)) return 1;
      if (s->disjoint(w)) return 0;
      return -1;
    };
    const int before = word_side(prev, false);
    const int after = word_side(next, true);
    const bool want_change = n.assertion == AssertKind::WordB;
    if (before >= 0 && after >= 0) {
      if ((before != after) != want_change) put("(?!)");
      return;
    }
    if (before >= 0) {
      // The next character decides: a boundary needs it to differ from `before`.
      const bool next_word = want_change ? before == 0 : before == 1;
      look(next_word ? "(?=" : "(?!");
      return;
    }
    if (after >= 0) {
      const bool prev_word = want_change ? after == 0 : after == 1;
      look(prev_word ? "(?<=" : "(?<!");
      return;
    }
    if (want_change) {
      put("(?:");
      look("(?<=");
      look("(?!");
      put("|");
      look("(?<!");
      look("(?=");
      put(")");
    } else {
      // \B never matches in an empty string.
      put("(?:");
      look("(?<=");
      look("(?=");
      put("|");
      look("(?<!");
      look("(?!");
      put("(?:(?<=[\\x{0}-\\x{10ffff}])|(?=[\\x{0}-\\x{10ffff}])))");
    }
  }

  void assertion(const Node& n, const Node* prev, const Node* next) {
    switch (n.assertion) {
      case AssertKind::Bol:
        put(n.multiline ? "(?:\\A|(?<=\\x{a}))" : "\\A");
        break;
      case AssertKind::Eol:
        put(n.multiline ? "(?=\\x{a}|\\z)" : "(?=\\x{a}?\\z)");
        break;
      case AssertKind::StartA:
        put("\\A");
        break;
      case AssertKind::EndZ:
        put("\\z");
        break;
      case AssertKind::WordB:
      case AssertKind::NonWordB:
        boundary(n, prev, next);
        break;
    }
  }

  static const Node* neighbour(const std::vector<NodePtr>& items, size_t i, int step) {
    for (long k = static_cast<long>(i) + step; k >= 0 && k < static_cast<long>(items.size()); k += step) {
      if (!zero_width(*items[static_cast<size_t>(k)])) return items[static_cast<size_t>(k)].get();
    }
    return nullptr;
  }

  void atom(const Node& n) {
    const bool single = n.kind == Kind::Set || n.kind == Kind::Group || n.kind == Kind::Backref;
    if (!single) put("(?:");
    node(n);
    if (!single) put(")");
  }

  void count(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u", v);
    put(buf);
  }

  void node(const Node& n) {
    switch (n.kind) {
      case Kind::Set:
        set(n.set);
        break;
      case Kind::Seq:
        for (size_t i = 0; i < n.children.size(); ++i) {
          const Node& c = *n.children[i];
          if (c.kind == Kind::Assert) {
            assertion(c, neighbour(n.children, i, -1), neighbour(n.children, i, +1));
          } else {
            node(c);
          }
        }
        break;
      case Kind::Alt:
        for (size_t i = 0; i < n.children.size(); ++i) {
          if (i) out_.push_back(U'|');
          node(*n.children[i]);
        }
        break;
      case Kind::Group: {
        static const char* const opens[] = {"(", "(?:", "(?>", "(?=", "(?!", "(?<=", "(?<!"};
        put(opens[static_cast<int>(n.group)]);
        node(*n.children[0]);
        put(")");
        break;
      }
      case Kind::Repeat: {
        atom(*n.children[0]);
        if (n.min == 0 && n.max == kInfinite) put("*");
        else if (n.min == 1 && n.max == kInfinite) put("+");
        else if (n.min == 0 && n.max == 1) put("?");
        else {
          put("{");
          count(n.min);
          if (n.max != n.min) {
            put(",");
            if (n.max != kInfinite) count(n.max);
          }
          put("}");
        }
        if (n.mode == RepeatMode::Lazy) put("?");
        else if (n.mode == RepeatMode::Possessive) put("+");
        break;
      }
      case Kind::Assert:
        assertion(n, nullptr, nullptr);
        break;
      case Kind::Backref:
        put("\\g{");
        count(static_cast<uint32_t>(n.ref));
        put("}");
        break;
      case Kind::Cond:
        put("(?(");
        count(static_cast<uint32_t>(n.ref));
        put(")");
        node(*n.children[0]);
        if (n.children.size() > 1) {
          put("|");
          node(*n.children[1]);
        }
        put(")");
        break;
    }
  }

  const CodeSet& word_;
  std::u32string out_;
  std::u32string word_class_;
};

// ---------------------------------------------------------------------------
// PCRE2 plumbing

pcre2_code* as_code(void* p) { return static_cast<pcre2_code*>(p); }

pcre2_jit_stack* jit_stack_for_thread(void*) {
  thread_local struct Holder {
    pcre2_jit_stack* stack = pcre2_jit_stack_create(64 * 1024, 64 * 1024 * 1024, nullptr);
    ~Holder() {
      if (stack) pcre2_jit_stack_free(stack);
    }
  } holder;
  return holder.stack;
}

pcre2_match_context* match_context() {
  thread_local struct Holder {
    pcre2_match_context* ctx = [] {
      pcre2_match_context* c = pcre2_match_context_create(nullptr);
      // Python's `re` has no step or depth limit; neither do we.
      pcre2_set_match_limit(c, std::numeric_limits<uint32_t>::max());
      pcre2_set_depth_limit(c, std::numeric_limits<uint32_t>::max());
      pcre2_set_heap_limit(c, 1024u * 1024);  // KiB: 1 GiB
      pcre2_jit_stack_assign(c, jit_stack_for_thread, nullptr);
      return c;
    }();
    ~Holder() { pcre2_match_context_free(ctx); }
  } holder;
  return holder.ctx;
}

std::string pcre_error(int code) {
  PCRE2_UCHAR buf[256];
  pcre2_get_error_message(code, buf, 256);
  std::string out;
  for (size_t i = 0; i < 256 && buf[i]; ++i) out.push_back(buf[i] < 0x80 ? static_cast<char>(buf[i]) : '?');
  return out;
}

}  // namespace

const CharClasses& re_classes() {
  static const CharClasses* c = new CharClasses{digit_set(), space_set(), word_set()};
  return *c;
}

Regex::Regex(std::u32string_view pattern, int flags, const CharClasses* classes)
    : pattern_(pattern), flags_(flags) {
  const CharClasses& cls = classes ? *classes : re_classes();
  Parser parser(pattern_, flags, cls);
  NodePtr root = parser.parse();
  groups_ = parser.groups();
  translated_ = Emitter(cls.word).emit(*root);

  int err = 0;
  PCRE2_SIZE offset = 0;
  // PCRE2's own nesting limit (250 by default) is raised to cover every
  // pattern the parser accepts, translated groups included.
  static pcre2_compile_context* context = [] {
    pcre2_compile_context* c = pcre2_compile_context_create(nullptr);
    if (c) pcre2_set_parens_nest_limit(c, 4 * kMaxNesting + 16);
    return c;
  }();
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated_.data()), translated_.size(),
                                   PCRE2_NEVER_UTF | PCRE2_NEVER_UCP, &err, &offset, context);
  if (!code) {
    throw PatternError("cannot compile pattern: " + pcre_error(err) + " (translated offset " +
                       std::to_string(offset) + ")");
  }
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // falls back to the interpreter when unavailable
  code_ = code;
}

Regex::~Regex() {
  if (code_) pcre2_code_free(as_code(code_));
}

void* Regex::new_match_data() const {
  pcre2_match_data* md = pcre2_match_data_create_from_pattern(as_code(code_), nullptr);
  if (!md) throw std::bad_alloc();
  return md;
}

bool Regex::exec(U32View subject, size_t pos, uint32_t options, Match& m, void* match_data) const {
  auto* md = static_cast<pcre2_match_data*>(match_data);
  if (pos > subject.size()) pos = subject.size();
  auto* data = reinterpret_cast<PCRE2_SPTR>(subject.data());
  static const char32_t empty = 0;
  if (!data) data = reinterpret_cast<PCRE2_SPTR>(&empty);
  int rc = pcre2_match(as_code(code_), data, subject.size(), pos, options, md, match_context());
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc = pcre2_match(as_code(code_), data, subject.size(), pos, options | PCRE2_NO_JIT, md, match_context());
  }
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc < 0) throw MatchError("regular expression matching failed: " + pcre_error(rc));
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
  m.spans.assign(groups_ + 1, {Match::npos, Match::npos});
  const size_t pairs = std::min<size_t>(pcre2_get_ovector_count(md), groups_ + 1);
  for (size_t g = 0; g < pairs; ++g) {
    if (ov[2 * g] != PCRE2_UNSET) m.spans[g] = {ov[2 * g], ov[2 * g + 1]};
  }
  return true;
}

namespace {
struct MatchDataGuard {
  void* p;
  ~MatchDataGuard() { pcre2_match_data_free(static_cast<pcre2_match_data*>(p)); }
};
}  // namespace

bool Regex::search(U32View subject, Match& m, size_t pos) const {
  MatchDataGuard md{new_match_data()};
  return exec(subject, pos, 0, m, md.p);
}

bool Regex::match(U32View subject, Match& m, size_t pos) const {
  MatchDataGuard md{new_match_data()};
  return exec(subject, pos, PCRE2_ANCHORED, m, md.p);
}

bool Regex::fullmatch(U32View subject, Match& m, size_t pos) const {
  MatchDataGuard md{new_match_data()};
  return exec(subject, pos, PCRE2_ANCHORED | PCRE2_ENDANCHORED, m, md.p);
}

std::u32string Regex::sub(U32View subject, U32View replacement, size_t count, size_t* replaced) const {
  std::u32string out;
  size_t last = 0, n = 0;
  MatchIterator it(*this, subject);
  Match m;
  while ((count == 0 || n < count) && it.next(m)) {
    out.append(subject.substr(last, m.start() - last));
    out.append(replacement);
    last = m.end();
    ++n;
  }
  if (n == 0) {
    if (replaced) *replaced = 0;
    return std::u32string(subject);
  }
  out.append(subject.substr(last));
  if (replaced) *replaced = n;
  return out;
}

std::vector<std::optional<std::u32string>> Regex::split(U32View subject, size_t maxsplit) const {
  std::vector<std::optional<std::u32string>> out;
  size_t last = 0, n = 0;
  MatchIterator it(*this, subject);
  Match m;
  while ((maxsplit == 0 || n < maxsplit) && it.next(m)) {
    out.emplace_back(std::u32string(subject.substr(last, m.start() - last)));
    for (size_t g = 1; g <= groups_; ++g) {
      if (m.matched(g)) out.emplace_back(std::u32string(subject.substr(m.start(g), m.end(g) - m.start(g))));
      else out.emplace_back(std::nullopt);
    }
    last = m.end();
    ++n;
  }
  out.emplace_back(std::u32string(subject.substr(last)));
  return out;
}

MatchIterator::MatchIterator(const Regex& re, U32View subject, size_t pos)
    : re_(re), subject_(subject), pos_(std::min(pos, subject.size())), match_data_(re.new_match_data()) {}

MatchIterator::~MatchIterator() { pcre2_match_data_free(static_cast<pcre2_match_data*>(match_data_)); }

bool MatchIterator::next(Match& m) {
  if (done_) return false;
  const uint32_t options = last_empty_ ? PCRE2_NOTEMPTY_ATSTART : 0;
  if (!re_.exec(subject_, pos_, options, m, match_data_)) {
    done_ = true;
    return false;
  }
  last_empty_ = m.start() == m.end();
  pos_ = m.end();
  return true;
}

}  // namespace tarnis::core
