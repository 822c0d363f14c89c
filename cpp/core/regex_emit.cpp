// The emitter: the tree in PCRE2 syntax, in ASCII only, every character
// class spelled out as code point ranges.
#include "core/regex_impl.hpp"

#include <cstdio>

namespace tarnis::core::regex_impl {

namespace {

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

}  // namespace

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


std::u32string emit(const Node& root, const CodeSet& word) { return Emitter(word).emit(root); }

}  // namespace tarnis::core::regex_impl
