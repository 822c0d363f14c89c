#include "core/codeset.hpp"

#include <Python.h>

#include <algorithm>
#include <map>
#include <mutex>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace tarnis::core {

CodeSet CodeSet::range(char32_t lo, char32_t hi) {
  CodeSet s;
  s.ranges_.emplace_back(lo, hi);
  return s;
}

void CodeSet::add_range(char32_t lo, char32_t hi) {
  if (lo > hi) return;
  if (ranges_.empty() || lo > ranges_.back().second + 1) {
    ranges_.emplace_back(lo, hi);
    return;
  }
  if (lo >= ranges_.back().first) {  // touches or overlaps the last range
    ranges_.back().second = std::max(ranges_.back().second, hi);
    return;
  }
  ranges_.emplace_back(lo, hi);
  normalize();
}

void CodeSet::add(const CodeSet& other) {
  if (other.ranges_.empty()) return;
  ranges_.insert(ranges_.end(), other.ranges_.begin(), other.ranges_.end());
  normalize();
}

void CodeSet::normalize() {
  std::sort(ranges_.begin(), ranges_.end());
  std::vector<Range> merged;
  merged.reserve(ranges_.size());
  for (const Range& r : ranges_) {
    if (!merged.empty() && r.first <= merged.back().second + 1) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  ranges_.swap(merged);
}

CodeSet CodeSet::complement() const {
  CodeSet out;
  char32_t next = 0;
  for (const Range& r : ranges_) {
    if (r.first > next) out.ranges_.emplace_back(next, r.first - 1);
    next = r.second + 1;
  }
  if (ranges_.empty() || ranges_.back().second < kMaxCodePoint) out.ranges_.emplace_back(next, kMaxCodePoint);
  return out;
}

CodeSet CodeSet::minus(const CodeSet& other) const {
  CodeSet out;
  CodeSet inv = other.complement();
  // intersection of this and inv, both sorted
  size_t i = 0, j = 0;
  while (i < ranges_.size() && j < inv.ranges_.size()) {
    char32_t lo = std::max(ranges_[i].first, inv.ranges_[j].first);
    char32_t hi = std::min(ranges_[i].second, inv.ranges_[j].second);
    if (lo <= hi) out.ranges_.emplace_back(lo, hi);
    if (ranges_[i].second < inv.ranges_[j].second) ++i; else ++j;
  }
  return out;
}

bool CodeSet::contains(char32_t c) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), Range(c, kMaxCodePoint + 1));
  if (it == ranges_.begin()) return false;
  --it;
  return c >= it->first && c <= it->second;
}

bool CodeSet::subset_of(const CodeSet& other) const { return minus(other).empty(); }

bool CodeSet::disjoint(const CodeSet& other) const {
  size_t i = 0, j = 0;
  while (i < ranges_.size() && j < other.ranges_.size()) {
    if (ranges_[i].second < other.ranges_[j].first) ++i;
    else if (other.ranges_[j].second < ranges_[i].first) ++j;
    else return false;
  }
  return true;
}

namespace {

template <class Pred>
CodeSet build_set(Pred pred) {
  CodeSet s;
  for (char32_t c = 0; c <= kMaxCodePoint; ++c) {
    if (pred(c)) s.add(c);  // appends in order: amortised O(1)
  }
  return s;
}

}  // namespace

// The sets are computed once per process; the interpreter's tables never change.
const CodeSet& digit_set() {
  static const CodeSet* s = new CodeSet(build_set([](char32_t c) { return Py_UNICODE_ISDECIMAL(c) != 0; }));
  return *s;
}

const CodeSet& space_set() {
  static const CodeSet* s = new CodeSet(build_set([](char32_t c) { return Py_UNICODE_ISSPACE(c) != 0; }));
  return *s;
}

const CodeSet& word_set() {
  static const CodeSet* s =
      new CodeSet(build_set([](char32_t c) { return c == U'_' || Py_UNICODE_ISALNUM(c) != 0; }));
  return *s;
}

char32_t simple_lower(char32_t c) { return static_cast<char32_t>(_PyUnicode_ToLowercase(c)); }
char32_t simple_upper(char32_t c) { return static_cast<char32_t>(_PyUnicode_ToUppercase(c)); }
bool is_cased(char32_t c) { return simple_lower(c) != c || simple_upper(c) != c; }

const std::vector<char32_t>& case_changing_chars() {
  static const std::vector<char32_t>* v = [] {
    auto* out = new std::vector<char32_t>();
    for (char32_t c = 0; c <= kMaxCodePoint; ++c) {
      if (is_cased(c)) out->push_back(c);
    }
    return out;
  }();
  return *v;
}

const std::vector<char32_t>* extra_cases(char32_t lower) {
  // `re` keeps these in re._casefix._EXTRA_CASES; read them from the running
  // interpreter so that every Python version is matched exactly.
  static const std::map<char32_t, std::vector<char32_t>>* table = [] {
    auto* t = new std::map<char32_t, std::vector<char32_t>>();
    py::gil_scoped_acquire gil;
    py::dict cases = py::module_::import("re._casefix").attr("_EXTRA_CASES");
    for (auto item : cases) {
      std::vector<char32_t> eq;
      for (auto v : item.second) eq.push_back(static_cast<char32_t>(v.cast<uint32_t>()));
      (*t)[static_cast<char32_t>(item.first.cast<uint32_t>())] = std::move(eq);
    }
    return t;
  }();
  auto it = table->find(lower);
  return it == table->end() ? nullptr : &it->second;
}

}  // namespace tarnis::core
