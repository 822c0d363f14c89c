// The parser: Python's `re` syntax, read with the rules of re._parser,
// into the tree of regex_impl.hpp.
#include "core/regex_impl.hpp"

#include <map>
#include <pybind11/pybind11.h>

namespace tarnis::core::regex_impl {

namespace {

struct Flags {
  bool ignorecase = false;
  bool multiline = false;
  bool dotall = false;
};

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
    ClassItem item{ClassItem::Literal, 0, 0, {}};
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

}  // namespace

NodePtr parse(std::u32string_view pattern, int flags, const CharClasses& classes, size_t& groups) {
  Parser parser(pattern, flags, classes);
  NodePtr root = parser.parse();
  groups = parser.groups();
  return root;
}

}  // namespace tarnis::core::regex_impl
