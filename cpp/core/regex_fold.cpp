// Character sets under IGNORECASE with the exact semantics of `re` for str
// patterns: a character matches when its simple case mappings do.
#include "core/regex_impl.hpp"


namespace tarnis::core::regex_impl {

namespace {

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

}  // namespace

CodeSet literal_ignorecase(char32_t c) {
  if (!is_cased(c)) return CodeSet::of(c);
  const char32_t lo = simple_lower(c);
  CodeSet targets = CodeSet::of(lo);
  add_extra_cases(targets, lo);
  return case_closure(targets, [&](char32_t ch) { return targets.contains(simple_lower(ch)); });
}


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

}  // namespace tarnis::core::regex_impl
