// Post-processing of detections: overlap resolution, anonymization with
// numbered placeholders, propagation to further occurrences, restoration.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cwchar>
#include <map>
#include <memory>
#include <tuple>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/checks.hpp"
#include "core/defaults.hpp"
#include "core/log.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

static_assert(sizeof(wchar_t) == sizeof(char32_t), "wmemchr is used on UCS-4 text");

namespace {

const char32_t* const kNamePrefixPattern =
    UR"(^(?:prof\.?\s+dr\.?|dr\.?|prof\.?|ing\.?|av\.?|dl\.?|dna\.?|doamna|domnul|doamnei|domnului|familia|tata|mama|so[țt]ul|so[țt]ia|fiul|fiica|bunica|bunicul|fratele|sora)\s+)";

const Regex* g_placeholder = nullptr;
const Regex* g_name_prefixes = nullptr;

// The module and its logger live as long as the process; module attributes
// are read at each call so that a host or a test may replace them.
py::module_* g_module = nullptr;
ModuleLogger* g_logger = nullptr;

py::module_& module() { return *g_module; }
ModuleLogger& logger() { return *g_logger; }

// ---------------------------------------------------------------------------
// Normalizations

std::u32string normalize_entity(U32View s) {
  std::u32string kept;
  kept.reserve(s.size());
  bool ascii = true;
  for (char32_t c : s) {
    const bool keep = (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') ||
                      (c >= 0xC0 && c <= 0x24F);
    if (!keep) continue;
    kept.push_back(c);
    if (c >= 0x80) ascii = false;
  }
  if (ascii) {
    for (char32_t& c : kept) {
      if (c >= U'A' && c <= U'Z') c += 32;
    }
    return kept;
  }
  // Full case mapping (U+0130 lowers to two characters): let str.lower do it.
  py::str lowered = to_str(kept).attr("lower")();
  Text t(lowered);
  return std::u32string(t.view());
}

// The key under which two entity texts share a placeholder. Texts whose
// normalized form is empty (only symbols, or letters outside Latin script)
// are keyed by their white-space-normalized text instead, so that two
// different such texts never share one placeholder. The NUL prefix keeps the
// two kinds of keys apart (normalized forms never contain NUL).
std::u32string dedup_key(const std::u32string& whitespace_normalized) {
  std::u32string key = normalize_entity(whitespace_normalized);
  if (!key.empty()) return key;
  std::u32string fallback(1, U'\0');
  fallback += whitespace_normalized;
  return fallback;
}

// ---------------------------------------------------------------------------
// Results as read from Presidio RecognizerResult objects

struct Item {
  py::object obj;
  py::object type;
  Py_ssize_t start = 0, end = 0;
  double score = 0;
  bool is_code = false, is_high_spec = false, is_cnp = false, is_card = false;
  // Set by overlap resolution on a result it narrowed: `obj` is then a copy
  // of the caller's result carrying the narrowed offsets.
  bool trimmed = false;
  // Only asked of valid items (start < end); unsigned, as the difference of
  // two offsets near the ends of their range does not fit a signed value.
  size_t length() const { return static_cast<size_t>(end) - static_cast<size_t>(start); }
  bool overlaps(const Item& o) const { return start < o.end && o.start < end; }
};

std::string describe(py::handle obj) { return py::repr(obj).cast<std::string>(); }

// An offset of a result; ints that do not fit 64 bits lie outside any text
// and cannot be compared natively.
Py_ssize_t offset_value(py::handle r, const char* name) {
  py::object v = r.attr(name);
  const Py_ssize_t i = PyNumber_AsSsize_t(v.ptr(), PyExc_OverflowError);
  if (i == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
    PyErr_Clear();
    throw py::value_error(std::string("result ") + name + " " + describe(v) + " does not fit in 64 bits: " +
                          describe(r));
  }
  return i;
}

Item read_item(py::handle r, py::handle high_spec) {
  Item it;
  it.obj = py::reinterpret_borrow<py::object>(r);
  it.type = r.attr("entity_type");
  it.start = offset_value(r, "start");
  it.end = offset_value(r, "end");
  py::object score = r.attr("score");
  it.score = PyFloat_AsDouble(score.ptr());
  if (it.score == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (std::isnan(it.score)) throw py::value_error("result has a NaN score: " + describe(r));
  it.is_code = equals(it.type, "CODE");
  it.is_cnp = equals(it.type, "CNP");
  it.is_card = equals(it.type, "CREDIT_CARD");
  it.is_high_spec = contains(high_spec, it.type);
  return it;
}

std::vector<Item> read_items(py::handle results) {
  py::object high_spec = module().attr("_HIGH_SPECIFICITY_TYPES");
  // Reading an attribute may run Python code that changes the list.
  const std::vector<py::object> objects = snapshot(results);
  std::vector<Item> items;
  items.reserve(objects.size());
  for (const py::object& r : objects) items.push_back(read_item(r, high_spec));
  return items;
}

// The trusted span is the part of the code after a hyphen.
bool code_contains_hs_as_suffix(const Item& code, const Item& hs, const Text* text) {
  if (!text || text->size() == 0) return false;
  if (!(code.start < hs.start && hs.start <= hs.end && hs.end <= code.end)) return false;
  if (hs.start <= 0) return false;
  if (static_cast<size_t>(hs.start - 1) >= text->size()) {
    throw py::index_error("result offsets lie outside the text: " + describe(hs.obj));
  }
  return (*text)[static_cast<size_t>(hs.start - 1)] == U'-';
}

// A copy of a result with other offsets. The caller's result is never
// written (other lists may hold it, and anonymize_text resolves overlaps once
// more on what it is given); its metadata dictionary and explanation are
// copied too, so that later stages writing into the copy's leave the
// original's alone.
py::object trimmed_copy(const Item& it) {
  py::object copy = py::module_::import("copy").attr("copy");
  py::object dup = copy(it.obj);
  dup.attr("start") = py::int_(it.start);
  dup.attr("end") = py::int_(it.end);
  for (const char* name : {"recognition_metadata", "analysis_explanation"}) {
    if (!py::hasattr(it.obj, name)) continue;
    py::object value = it.obj.attr(name);
    if (value.is_none()) continue;
    if (PyDict_CheckExact(value.ptr())) {
      PyObject* own = PyDict_Copy(value.ptr());
      if (!own) throw py::error_already_set();
      dup.attr(name) = py::reinterpret_steal<py::object>(own);
    } else {
      dup.attr(name) = copy(value);
    }
  }
  return dup;
}

// Narrowing at a cut leaves out the white space and punctuation there: the
// text beside a cut is a separator ("nr. 52, telefon 0734": the address ends
// at "telefon"). Without the text (or outside it) the cut stays where it is.
bool strippable(const Text* text, Py_ssize_t i) {
  if (!text || i < 0 || static_cast<size_t>(i) >= text->size()) return false;
  return !is_alnum((*text)[static_cast<size_t>(i)]);
}

struct Piece {
  Py_ssize_t start, end;
};

// [start, end) minus the non-alphanumeric characters at the cut ends.
Piece strip_cuts(Piece p, bool cut_start, bool cut_end, const Text* text) {
  if (cut_start) {
    while (p.start < p.end && strippable(text, p.start)) ++p.start;
  }
  if (cut_end) {
    while (p.end > p.start && strippable(text, p.end - 1)) --p.end;
  }
  return p;
}

// Greedy selection that leaves no part of a high-specificity result in clear.
//
// When a high-specificity candidate (a phone number, a CNP, an IBAN, ...)
// only partly overlaps a result already kept (neither holds the other), the
// plain greedy walk would drop it, and the part of it outside the winner
// would stay in the text: "str. Observatorului nr. 52, telefon 0734" beats
// the phone number "0734 780 217" and "780 217" is left. Instead both are
// kept, the winner narrowed to what lies outside the candidate. Narrowing
// was chosen over widening the winner across the union: widening files the
// phone number under the address's type and text, so a further occurrence
// of the number elsewhere in the document is no longer known as a phone
// number and is not replaced, and the widened span may run into further
// results. Narrowing keeps each identifier whole under its own type; what the
// winner loses is only the overlap, which the candidate covers.
//
// A winner of high specificity itself is not narrowed (its span was
// validated as a whole): the candidate is narrowed to what lies outside it
// instead, possibly into several pieces. A candidate that lies inside a kept
// result is covered and dropped; one that only holds kept results inside it
// is dropped, as in the plain walk.
//
// Nothing is uncovered by this: the union of the kept spans only grows, less
// the separators left out at cuts. A non-high-specificity winner overlaps at
// most one piece of a candidate (it cannot reach across a kept result), and
// holds no piece with room on both sides (it would then hold the candidate
// or overlap a kept result), so it keeps one part or none.
class Selection {
 public:
  explicit Selection(const Text* text) : text_(text) {}

  void offer(const Item& c) {
    std::vector<size_t> over = overlapping(c.start, c.end);
    if (over.empty()) {
      add(c);
      return;
    }
    if (!c.is_high_spec) return;
    bool partial = false;
    for (size_t k : over) {
      const Item& w = kept_[k];
      if (w.start <= c.start && c.end <= w.end) return;  // covered
      if (!(c.start <= w.start && w.end <= c.end)) partial = true;
    }
    if (!partial) return;

    // The candidate less the high-specificity results it overlaps.
    std::vector<Piece> pieces;
    Py_ssize_t from = c.start;
    for (size_t k : over) {
      const Item& w = kept_[k];
      if (!w.is_high_spec) continue;
      if (w.start > from) pieces.push_back(strip_cuts({from, w.start}, from != c.start, true, text_));
      from = std::max(from, w.end);
    }
    if (from < c.end) pieces.push_back(strip_cuts({from, c.end}, from != c.start, false, text_));
    pieces.erase(std::remove_if(pieces.begin(), pieces.end(), [](const Piece& p) { return p.start >= p.end; }),
                 pieces.end());
    if (pieces.empty()) return;

    for (size_t k : over) {
      if (!kept_[k].is_high_spec) narrow(k, pieces);
    }
    for (const Piece& p : pieces) {
      Item piece = c;
      piece.start = p.start;
      piece.end = p.end;
      piece.trimmed = c.trimmed || p.start != c.start || p.end != c.end;
      add(piece);
    }
  }

  // The kept results in selection order, narrowed ones as copies.
  std::vector<Item> take(size_t* narrowed) {
    std::vector<Item> out;
    out.reserve(kept_.size());
    *narrowed = 0;
    for (size_t k = 0; k < kept_.size(); ++k) {
      if (!alive_[k]) continue;
      Item& it = kept_[k];
      if (it.trimmed) {
        it.obj = trimmed_copy(it);
        ++*narrowed;
      }
      out.push_back(std::move(it));
    }
    return out;
  }

 private:
  // Kept spans never overlap one another, so those overlapping [s, e) are
  // the ones before e, walked back while they end after s; returned in text
  // order.
  std::vector<size_t> overlapping(Py_ssize_t s, Py_ssize_t e) const {
    std::vector<size_t> out;
    auto it = by_start_.lower_bound(e);
    while (it != by_start_.begin()) {
      --it;
      if (kept_[it->second].end <= s) break;
      out.push_back(it->second);
    }
    std::reverse(out.begin(), out.end());
    return out;
  }

  void add(const Item& it) {
    by_start_.emplace(it.start, kept_.size());
    kept_.push_back(it);
    alive_.push_back(true);
  }

  // Kept result k less the pieces, cut clean; dropped if nothing is left.
  void narrow(size_t k, const std::vector<Piece>& pieces) {
    Item& w = kept_[k];
    std::vector<Piece> parts{{w.start, w.end}};
    for (const Piece& p : pieces) {
      std::vector<Piece> next;
      for (const Piece& q : parts) {
        if (p.end <= q.start || q.end <= p.start) {
          next.push_back(q);
          continue;
        }
        if (q.start < p.start) next.push_back(strip_cuts({q.start, p.start}, false, true, text_));
        if (p.end < q.end) next.push_back(strip_cuts({p.end, q.end}, true, false, text_));
      }
      parts = std::move(next);
    }
    // At most one part has anything left (see above); should there be more,
    // the longest is kept.
    const Piece* best = nullptr;
    for (const Piece& q : parts) {
      if (q.start < q.end && (!best || q.end - q.start > best->end - best->start)) best = &q;
    }
    by_start_.erase(w.start);
    if (!best) {
      alive_[k] = false;
      return;
    }
    if (best->start != w.start || best->end != w.end) {
      w.start = best->start;
      w.end = best->end;
      w.trimmed = true;
    }
    by_start_.emplace(w.start, k);
  }

  const Text* text_;
  std::vector<Item> kept_;
  std::vector<bool> alive_;
  std::map<Py_ssize_t, size_t> by_start_;
};

// Overlap resolution; returns the kept items in selection order. `text`
// serves the hyphen rule (absent in anonymize_text's pass), `cut_text` the
// clean cuts of narrowed results.
std::vector<Item> resolve(const std::vector<Item>& input, const Text* text, const Text* cut_text,
                          size_t* narrowed) {
  std::vector<Item> valid;
  valid.reserve(input.size());
  for (const Item& it : input) {
    if (it.start < it.end) valid.push_back(it);
  }

  std::vector<const Item*> high_spec;
  for (const Item& it : valid) {
    if (it.is_high_spec) high_spec.push_back(&it);
  }
  auto overlaps_high_spec = [&](const Item& r) {
    for (const Item* hs : high_spec) {
      if (!r.overlaps(*hs)) continue;
      if (r.is_code && code_contains_hs_as_suffix(r, *hs, text)) continue;
      return true;
    }
    return false;
  };

  std::vector<Item> rest;
  rest.reserve(valid.size());
  for (const Item& it : valid) {
    if (it.is_code && overlaps_high_spec(it)) continue;
    rest.push_back(it);
  }

  std::set<std::pair<Py_ssize_t, Py_ssize_t>> cnp_spans;
  for (const Item& it : rest) {
    if (it.is_cnp) cnp_spans.emplace(it.start, it.end);
  }
  if (!cnp_spans.empty()) {
    rest.erase(std::remove_if(rest.begin(), rest.end(),
                              [&](const Item& it) {
                                return it.is_card && it.length() == 13 && cnp_spans.count({it.start, it.end});
                              }),
               rest.end());
  }

  std::stable_sort(rest.begin(), rest.end(), [](const Item& a, const Item& b) {
    if (a.score != b.score) return a.score > b.score;
    if (a.length() != b.length()) return a.length() > b.length();
    return a.start < b.start;
  });

  Selection selection(cut_text);
  for (const Item& it : rest) selection.offer(it);
  return selection.take(narrowed);
}

py::object resolve_overlaps(py::object results, py::object text) {
  require_list(results, "resolve_overlaps", "results");
  require_str(text, "resolve_overlaps", "text");
  if (PyList_GET_SIZE(results.ptr()) == 0) return results;
  Text t(text);
  std::vector<Item> input = read_items(results);
  const size_t count = input.size();
  size_t narrowed = 0;
  std::vector<Item> kept = resolve(input, &t, &t, &narrowed);
  py::list out;
  for (const Item& it : kept) out.append(it.obj);
  if (kept.size() != count) {
    // A result cut in two by trusted results may leave more than came in.
    const long long removed = static_cast<long long>(count) - static_cast<long long>(kept.size());
    logger().debug("[processing] Overlap resolution removed %d entities (input=%d, output=%d)", removed, count,
                   kept.size());
  }
  if (narrowed) {
    logger().debug("[processing] Overlap resolution narrowed %d entities to keep partly overlapping "
                   "high-specificity entities whole",
                   narrowed);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Entity maps given by the caller

// Top-level keys of a map file that are not entity types (entity types are
// upper-case letters and underscores): reserved entries, skipped.
bool is_reserved_key(py::handle key) {
  if (!PyUnicode_Check(key.ptr())) return false;
  static const char32_t kPrefix[] = U"tarnis:";
  constexpr size_t n = sizeof(kPrefix) / sizeof(kPrefix[0]) - 1;
  Text t(key);
  return t.size() >= n && t.view().substr(0, n) == U32View(kPrefix, n);
}

// Every (text, placeholder, entity type) of a map, in map order, reserved
// entries skipped. Owned snapshots: reading a key may run Python code (a str
// subclass's __hash__ is not called here, but the map may be a dict subclass
// changed by code that runs between the calls of the caller).
struct MapEntry {
  std::u32string text;
  std::u32string placeholder;
  py::object type;
};

std::string quoted(py::handle v) {
  std::string r = describe(v);
  return r.size() > 60 ? r.substr(0, 57) + "..." : r;
}

std::vector<MapEntry> map_entries(py::handle entity_map, const char* func, bool placeholders_only) {
  std::vector<MapEntry> entries;
  for (const auto& outer : snapshot_items(entity_map)) {
    if (is_reserved_key(outer.first)) continue;
    if (placeholders_only && !PyUnicode_Check(outer.first.ptr())) {
      throw py::type_error(std::string(func) + "(): entity_map keys must be entity types (str), not " +
                           type_name(outer.first));
    }
    if (!PyDict_Check(outer.second.ptr())) {
      throw py::type_error(std::string(func) + "(): entity map values must be dict, not " +
                           type_name(outer.second) +
                           (placeholders_only ? " (under " + quoted(outer.first) + ")" : std::string()));
    }
    for (const auto& inner : snapshot_items(outer.second)) {
      require_str(inner.first, func, "entity_map text");
      require_str(inner.second, func, "entity_map placeholder");
      Text k(inner.first), v(inner.second);
      if (placeholders_only) {
        Match m;
        if (!g_placeholder->fullmatch(v.view(), m)) {
          // The text is personal data: only the value is shown.
          throw py::value_error(std::string(func) + "(): entity_map[" + quoted(outer.first) +
                                "] maps a text to " + quoted(inner.second) +
                                ", which is not a placeholder [TYPE_N]");
        }
      }
      entries.push_back({std::u32string(k.view()), std::u32string(v.view()), outer.first});
    }
  }
  return entries;
}

// One entry per text, as the map reads when flattened: a later entry for the
// same text replaces the placeholder and type of an earlier one, in the
// earlier one's place.
std::vector<MapEntry> flatten_entries(std::vector<MapEntry> entries) {
  std::vector<MapEntry> flat;
  std::unordered_map<std::u32string, size_t> index;
  for (MapEntry& e : entries) {
    auto it = index.find(e.text);
    if (it == index.end()) {
      index.emplace(e.text, flat.size());
      flat.push_back(std::move(e));
    } else {
      flat[it->second].placeholder = std::move(e.placeholder);
      flat[it->second].type = std::move(e.type);
    }
  }
  return flat;
}

// The canonical placeholder of each dedup key: that of the shortest text of
// the key (map order among texts of one length). Further occurrences and
// entities anonymized against a map both take it, so the two agree.
std::unordered_map<std::u32string, std::u32string> canonical_placeholders(const std::vector<MapEntry>& flat,
                                                                          std::vector<std::u32string>* keys_out) {
  std::vector<size_t> by_length(flat.size());
  for (size_t i = 0; i < flat.size(); ++i) by_length[i] = i;
  std::stable_sort(by_length.begin(), by_length.end(),
                   [&](size_t a, size_t b) { return flat[a].text.size() < flat[b].text.size(); });
  std::unordered_map<std::u32string, std::u32string> canonical;
  std::vector<std::u32string> keys(flat.size());
  for (size_t i : by_length) {
    keys[i] = dedup_key(collapse_whitespace(flat[i].text));
    canonical.emplace(keys[i], flat[i].placeholder);
  }
  if (keys_out != nullptr) keys_out->swap(keys);
  return canonical;
}

// A placeholder's number as ASCII decimal digits without leading zeros, of
// any length: numbers are compared and counted as strings, so a map holding
// [CODE_99999999999999999999] goes on with [CODE_100000000000000000000].
struct Number {
  std::string digits = "0";

  bool less_than(const std::string& other) const {
    return digits.size() != other.size() ? digits.size() < other.size() : digits < other;
  }
  void raise_to(const std::string& other) {
    if (less_than(other)) digits = other;
  }
  const std::string& next() {
    size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) {
      digits.insert(digits.begin(), '1');
    } else {
      ++digits[i - 1];
    }
    return digits;
  }
};

// The label and number of a placeholder "[LABEL_N]" (a full match of the
// placeholder pattern, whose \d takes any decimal digit).
void split_placeholder(const std::u32string& p, std::u32string& label, std::string& digits) {
  const size_t underscore = p.rfind(U'_');
  label.assign(p, 1, underscore - 1);
  digits.clear();
  for (size_t i = underscore + 1; i + 1 < p.size(); ++i) {
    const int d = Py_UNICODE_TODECIMAL(p[i]);
    if (d < 0 || (digits.empty() && d == 0)) continue;
    digits.push_back(static_cast<char>('0' + d));
  }
  if (digits.empty()) digits = "0";
}

std::u32string placeholder(const std::u32string& label, const std::string& number) {
  std::u32string out = U"[";
  out += label;
  out += U"_";
  for (char c : number) out.push_back(static_cast<char32_t>(c));
  out += U"]";
  return out;
}

// ---------------------------------------------------------------------------
// A map read once for many calls
//
// A case's map is given to anonymize_text and postprocess_anonymized with
// every document, and grows by a few entries each time. What both read of
// it (flattened entries, dedup keys, canonical placeholders, counters, the
// keys propagation finds candidates by) is kept for the last map seen, with
// owned references to every key and value it was read from. A later call
// checks, by identity of those objects (str objects cannot change), that
// what was read is still the start of the map; the entries after it are
// read in that call alone, and the whole is read again once they are many.
// Any other change (an entry removed, replaced or moved) reads the map anew.

constexpr size_t kKeyChars = 8;
constexpr uint64_t kBase = 0x100000001B3ULL;
inline uint64_t mix_key(uint64_t h, size_t len) { return h + len * 0x9E3779B97F4A7C15ULL; }

// Calls `f(pos, key)` for every place of `s` where an entity could start (a
// character that is not white space, at a word start or itself no word
// character: one that starts with a word character needs a boundary) and
// every key length `len` marked in `lengths`, with the candidate key of the
// `len` characters there that are not white space.
template <class F>
void for_each_key_at(U32View s, const bool* lengths, F&& f) {
  const size_t n = s.size();
  std::vector<size_t> at;  // positions of the characters that are not white space
  std::vector<uint64_t> prefix(1, 0);
  at.reserve(n);
  prefix.reserve(n + 1);
  for (size_t i = 0; i < n; ++i) {
    if (is_space(s[i])) continue;
    at.push_back(i);
    prefix.push_back(prefix.back() * kBase + static_cast<uint64_t>(s[i]) + 1);
  }
  uint64_t power[kKeyChars + 1];
  power[0] = 1;
  for (size_t len = 1; len <= kKeyChars; ++len) power[len] = power[len - 1] * kBase;
  for (size_t j = 0; j < at.size(); ++j) {
    const size_t pos = at[j];
    if (pos > 0 && is_word(s[pos]) && is_word(s[pos - 1])) continue;
    for (size_t len = 1; len <= kKeyChars && j + len <= at.size(); ++len) {
      if (lengths[len]) f(pos, mix_key(prefix[j + len] - prefix[j] * power[len], len));
    }
  }
}

// The key propagation finds an entity's candidates by: its first (up to)
// kKeyChars characters that are not white space, hashed.
std::pair<uint64_t, size_t> candidate_key(const std::u32string& t) {
  uint64_t h = 0;
  size_t len = 0;
  for (size_t i = 0; i < t.size() && len < kKeyChars; ++i) {
    if (is_space(t[i])) continue;
    h = h * kBase + static_cast<uint64_t>(t[i]) + 1;
    ++len;
  }
  return {mix_key(h, len), len};
}

struct FlatInfo {
  std::u32string key;     // dedup key
  uint64_t hash = 0;      // candidate key
  size_t hash_len = 0;
  bool direct = false;    // matchable without the regular-expression engine, not starting with white space
};

FlatInfo flat_info(const std::u32string& text) {
  FlatInfo f;
  f.key = dedup_key(collapse_whitespace(text));
  std::tie(f.hash, f.hash_len) = candidate_key(text);
  // As EntityPattern tells it: no white space after a space, not starting with one.
  f.direct = !text.empty() && text[0] != U' ' && !is_space(text[0]);
  for (size_t i = 1; i < text.size() && f.direct; ++i) {
    if (text[i - 1] == U' ' && text[i] != U' ' && is_space(text[i])) f.direct = false;
  }
  return f;
}

struct PreparedMap {
  py::object map;  // the dict read
  struct Outer {
    py::object key, inner;
    std::vector<std::pair<py::object, py::object>> items;
  };
  std::vector<Outer> outers;
  size_t entries = 0;
  bool strict = true;  // every outer key a str, every value a placeholder (what anonymize_text asks)
  std::vector<MapEntry> flat;
  std::vector<FlatInfo> info;
  std::unordered_map<std::u32string, size_t> index;      // text -> flat
  std::unordered_map<std::u32string, size_t> canonical;  // dedup key -> flat (shortest text, then first)
  std::unordered_map<std::u32string, Number> counters;
  std::unordered_map<uint64_t, std::vector<size_t>> by_hash;
  std::vector<size_t> indirect;  // flat entries that are not `direct`: always tried
  bool lengths[kKeyChars + 1] = {};
  // What calls found of the texts after the prepared start, until they join it.
  mutable std::unordered_map<std::u32string, FlatInfo> memo;
};

// The last map read; a call holds its own reference while it uses it, and
// a map that is in use is never changed, only replaced.
std::shared_ptr<PreparedMap>* g_prepared = nullptr;

// Whether (key, value) would be refused by the lenient checks of both
// functions (dict values, str texts and placeholders), and by the strict
// ones of anonymize_text.
bool entry_ok(py::handle k, py::handle v) { return PyUnicode_Check(k.ptr()) && PyUnicode_Check(v.ptr()); }

bool strict_ok(py::handle outer_key, py::handle v) {
  if (!PyUnicode_Check(outer_key.ptr())) return false;
  Text t(v);
  Match m;
  return g_placeholder->fullmatch(t.view(), m);
}

// The entries of `entity_map` beyond what `p` read: (outer key, text,
// placeholder) in map order. False when what `p` read is no longer the
// start of the map, or an entry fails the lenient checks.
struct NewEntry {
  py::object type, text, placeholder;
};

bool entries_after(const PreparedMap& p, py::handle entity_map, std::vector<NewEntry>& out, bool& strict) {
  if (p.map.ptr() != entity_map.ptr()) return false;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  size_t i = 0;
  strict = p.strict;
  while (PyDict_Next(entity_map.ptr(), &pos, &key, &value)) {
    const bool known = i < p.outers.size();
    if (known && (p.outers[i].key.ptr() != key || p.outers[i].inner.ptr() != value)) return false;
    const bool reserved = is_reserved_key(key);
    if (!reserved) {
      if (!PyDict_Check(value)) return false;
      if (!PyUnicode_Check(key)) strict = false;
      PyObject *k, *v;
      Py_ssize_t ipos = 0;
      size_t j = 0;
      const std::vector<std::pair<py::object, py::object>>* items = known ? &p.outers[i].items : nullptr;
      while (PyDict_Next(value, &ipos, &k, &v)) {
        if (items != nullptr && j < items->size()) {
          if ((*items)[j].first.ptr() != k || (*items)[j].second.ptr() != v) return false;
        } else {
          if (!entry_ok(k, v)) return false;
          if (strict && !strict_ok(key, v)) strict = false;
          out.push_back({py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(k),
                         py::reinterpret_borrow<py::object>(v)});
        }
        ++j;
      }
      if (items != nullptr && j < items->size()) return false;
    }
    ++i;
  }
  return i >= p.outers.size();
}

// Adds one entry of the map to what `p` read of it.
void add_entry(PreparedMap& p, py::handle outer_key, py::handle k, py::handle v) {
  if (p.strict && !strict_ok(outer_key, v)) p.strict = false;
  Text kt(k), vt(v);
  MapEntry e{std::u32string(kt.view()), std::u32string(vt.view()), py::reinterpret_borrow<py::object>(outer_key)};
  if (p.strict) {
    std::u32string label;
    std::string digits;
    split_placeholder(e.placeholder, label, digits);
    p.counters[label].raise_to(digits);
  }
  ++p.entries;
  auto found = p.index.find(e.text);
  if (found != p.index.end()) {
    p.flat[found->second].placeholder = std::move(e.placeholder);
    p.flat[found->second].type = std::move(e.type);
    return;
  }
  const size_t i = p.flat.size();
  p.index.emplace(e.text, i);
  p.info.push_back(flat_info(e.text));
  p.flat.push_back(std::move(e));
  const FlatInfo& f = p.info.back();
  auto c = p.canonical.find(f.key);
  if (c == p.canonical.end()) {
    p.canonical.emplace(f.key, i);
  } else if (p.flat[i].text.size() < p.flat[c->second].text.size()) {
    c->second = i;
  }
  if (f.direct) {
    p.by_hash[f.hash].push_back(i);
    p.lengths[f.hash_len] = true;
  } else {
    p.indirect.push_back(i);
  }
}

// Reads what the map holds beyond what `p` read (all of it for a new one),
// which entries_after has found to be only appended; false when an entry
// fails the lenient checks.
bool extend(PreparedMap& p, py::handle entity_map) {
  const auto outers = snapshot_items(entity_map);
  for (size_t i = 0; i < outers.size(); ++i) {
    const auto& [key, inner] = outers[i];
    if (i == p.outers.size()) p.outers.push_back({key, inner, {}});
    if (is_reserved_key(key)) continue;
    if (!PyDict_Check(inner.ptr())) return false;
    if (!PyUnicode_Check(key.ptr())) p.strict = false;
    auto& items = p.outers[i].items;
    const auto now = snapshot_items(inner);
    if (now.size() > items.size()) p.memo.clear();
    for (size_t j = items.size(); j < now.size(); ++j) {
      if (!entry_ok(now[j].first, now[j].second)) return false;
      add_entry(p, key, now[j].first, now[j].second);
      items.push_back(now[j]);
    }
  }
  return true;
}

// Below this many entries after the prepared start, a call reads them for
// itself (a host that takes a document's entries out again, as the Spark
// rows do, keeps the start valid); from it on they join the prepared map.
constexpr size_t kOwnEntries = 256;

// One call's view of a map: the prepared start of it, and the entries
// after it, read for this call.
struct MapView {
  std::shared_ptr<PreparedMap> owner;
  const PreparedMap* base = nullptr;
  bool strict = true;
  std::unordered_map<size_t, std::pair<std::u32string, py::object>> overridden;  // base flat -> placeholder, type
  std::vector<MapEntry> extra;   // flat entries after the base's
  std::vector<FlatInfo> extra_info;
  std::unordered_map<std::u32string, size_t> canonical;  // dedup key -> flat, where it differs from the base's
  std::unordered_map<std::u32string, Number> counters;

  size_t size() const { return base->flat.size() + extra.size(); }
  const std::u32string& text(size_t i) const {
    return i < base->flat.size() ? base->flat[i].text : extra[i - base->flat.size()].text;
  }
  const std::u32string& placeholder_at(size_t i) const {
    if (i >= base->flat.size()) return extra[i - base->flat.size()].placeholder;
    auto o = overridden.find(i);
    return o != overridden.end() ? o->second.first : base->flat[i].placeholder;
  }
  const py::object& type(size_t i) const {
    if (i >= base->flat.size()) return extra[i - base->flat.size()].type;
    auto o = overridden.find(i);
    return o != overridden.end() ? o->second.second : base->flat[i].type;
  }
  const FlatInfo& info(size_t i) const {
    return i < base->info.size() ? base->info[i] : extra_info[i - base->flat.size()];
  }
  // The canonical placeholder of a dedup key, or nullptr.
  const std::u32string* canonical_of(const std::u32string& key) const {
    auto c = canonical.find(key);
    if (c != canonical.end()) return &placeholder_at(c->second);
    auto b = base->canonical.find(key);
    return b != base->canonical.end() ? &placeholder_at(b->second) : nullptr;
  }
};

// The view of `entity_map` for one call, preparing it when needed; false
// when the map must be read the plain way (an entry fails the checks).
bool view_of(py::handle entity_map, MapView& view) {
  if (g_prepared == nullptr) g_prepared = new std::shared_ptr<PreparedMap>();
  std::shared_ptr<PreparedMap>& current = *g_prepared;
  std::vector<NewEntry> fresh;
  bool strict = true;
  const bool valid = current && entries_after(*current, entity_map, fresh, strict);
  if (!valid || fresh.size() >= kOwnEntries) {
    if (!valid || current.use_count() > 1) {
      auto p = std::make_shared<PreparedMap>();
      p->map = py::reinterpret_borrow<py::object>(entity_map);
      current = p;
    }
    std::shared_ptr<PreparedMap> held = current;
    if (!extend(*held, entity_map)) {
      if (current == held) current.reset();
      return false;
    }
    fresh.clear();
    strict = held->strict;
  }
  view.owner = current;
  const PreparedMap& p = *view.owner;
  view.base = &p;
  view.strict = strict;
  view.counters = p.counters;
  std::unordered_map<std::u32string, size_t> extra_index;
  std::u32string label;
  std::string digits;
  for (const NewEntry& n : fresh) {
    Text kt(n.text), vt(n.placeholder);
    std::u32string text(kt.view()), placeholder(vt.view());
    if (strict) {
      split_placeholder(placeholder, label, digits);
      view.counters[label].raise_to(digits);
    }
    auto b = p.index.find(text);
    if (b != p.index.end()) {
      view.overridden[b->second] = {placeholder, n.type};
      continue;
    }
    auto e = extra_index.find(text);
    if (e != extra_index.end()) {
      view.extra[e->second].placeholder = placeholder;
      view.extra[e->second].type = n.type;
      continue;
    }
    extra_index.emplace(text, view.extra.size());
    view.extra.push_back({text, placeholder, n.type});
  }
  for (size_t k = 0; k < view.extra.size(); ++k) {
    auto memo = p.memo.find(view.extra[k].text);
    if (memo == p.memo.end()) memo = p.memo.emplace(view.extra[k].text, flat_info(view.extra[k].text)).first;
    view.extra_info.push_back(memo->second);
    const std::u32string& key = view.extra_info.back().key;
    const size_t i = p.flat.size() + k;
    auto c = view.canonical.find(key);
    size_t current = c != view.canonical.end() ? c->second : SIZE_MAX;
    if (current == SIZE_MAX) {
      auto b = p.canonical.find(key);
      if (b != p.canonical.end()) current = b->second;
    }
    if (current == SIZE_MAX || view.text(i).size() < view.text(current).size()) view.canonical[key] = i;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Anonymization


// Which of the `needles` occur as a substring of one of the `texts`. Every
// window of every text with a length some needle has goes into a hash set, so
// the cost grows with the total length of the texts, not with their number
// times the number of needles.
std::vector<bool> occur_in_any(const std::vector<std::u32string>& texts, const std::vector<std::u32string>& needles) {
  std::vector<bool> found(needles.size(), false);
  if (texts.empty()) return found;
  std::set<size_t> lengths;
  for (const auto& n : needles) lengths.insert(n.size());
  std::unordered_set<std::u32string_view> windows;
  for (const auto& t : texts) {
    for (size_t len : lengths) {
      if (len > t.size()) break;
      for (size_t i = 0; i + len <= t.size(); ++i) windows.insert(U32View(t).substr(i, len));
    }
  }
  for (size_t k = 0; k < needles.size(); ++k) found[k] = windows.count(needles[k]) > 0;
  return found;
}

py::tuple anonymize_text(py::object text, py::object results, py::object entity_map_arg) {
  require_str(text, "anonymize_text", "text");
  require_list(results, "anonymize_text", "results");
  require_dict_or_none(entity_map_arg, "anonymize_text", "entity_map");
  const bool given_map = !entity_map_arg.is_none();

  // What the given map already holds: the placeholder of each dedup key and
  // the highest number of each label. Read before the results, whose
  // attributes may run code that changes the map.
  std::unordered_map<std::u32string, std::u32string> by_key;
  std::unordered_map<std::u32string, Number> counters;
  MapView view;
  const bool use_view = given_map && view_of(entity_map_arg, view) && view.strict;
  if (use_view) {
    counters = view.counters;
  } else if (given_map) {
    std::vector<MapEntry> entries = map_entries(entity_map_arg, "anonymize_text", true);
    std::u32string label;
    std::string digits;
    for (const MapEntry& e : entries) {
      split_placeholder(e.placeholder, label, digits);
      counters[label].raise_to(digits);
    }
    by_key = canonical_placeholders(flatten_entries(std::move(entries)), nullptr);
  }

  Text t(text);
  const Py_ssize_t n = static_cast<Py_ssize_t>(t.size());
  std::vector<Item> input = read_items(results);

  // Offsets that do not lie inside the text belong to some other text:
  // replacing them would corrupt the document.
  for (const Item& it : input) {
    if (it.start < it.end && (it.start < 0 || it.end > n)) {
      throw py::value_error("result " + describe(it.obj) + " has offsets outside the text (length " +
                            std::to_string(n) + ")");
    }
  }

  size_t narrowed = 0;
  std::vector<Item> cleaned = resolve(input, nullptr, &t, &narrowed);

  std::vector<std::u32string> non_code, codes;
  for (const Item& it : cleaned) {
    (it.is_code ? codes : non_code).push_back(collapse_whitespace(t.slice(it.start, it.end)));
  }
  const std::vector<bool> code_inside = occur_in_any(non_code, codes);
  std::vector<Item> kept;
  kept.reserve(cleaned.size());
  size_t code_index = 0;
  for (const Item& it : cleaned) {
    if (it.is_code && code_inside[code_index++]) continue;
    kept.push_back(it);
  }

  std::stable_sort(kept.begin(), kept.end(), [](const Item& a, const Item& b) { return a.start > b.start; });

  for (Item& it : kept) {
    if (!equals(it.type, "PERSON_NAME")) continue;
    Py_ssize_t start = it.start, end = it.end;
    Match m;
    if (g_name_prefixes->match(t.slice(start, end), m)) start += static_cast<Py_ssize_t>(m.end());
    while (end > start) {
      const char32_t c = t[static_cast<size_t>(end - 1)];
      if (c != U'.' && c != U',' && c != U';' && c != U':') break;
      --end;
    }
    if (start != it.start) it.obj.attr("start") = start;
    if (end != it.end) it.obj.attr("end") = end;
    it.start = start;
    it.end = end;
  }

  std::vector<std::u32string> replacements(kept.size());
  std::vector<py::str> originals(kept.size());
  for (size_t k = 0; k < kept.size(); ++k) {
    const Item& it = kept[k];
    if (!PyUnicode_Check(it.type.ptr())) {
      throw py::type_error("entity_type must be str, not " + std::string(Py_TYPE(it.type.ptr())->tp_name) + ": " +
                           describe(it.obj));
    }
    if (given_map && is_reserved_key(it.type)) {
      throw py::value_error("entity_type " + quoted(it.type) + " is reserved for entries of map files: " +
                            describe(it.obj));
    }
    Text label_text(it.type);
    std::u32string label(label_text.view());
    std::u32string normalized = collapse_whitespace(t.slice(it.start, it.end));
    std::u32string key = dedup_key(normalized);
    auto found = by_key.find(key);
    if (found == by_key.end()) {
      const std::u32string* known = use_view ? view.canonical_of(key) : nullptr;
      found = by_key.emplace(key, known != nullptr ? *known : placeholder(label, counters[label].next())).first;
    }
    originals[k] = to_str(normalized);
    replacements[k] = found->second;
  }

  // The map is written once every placeholder is known. An entry the given
  // map holds already stays as it is: an earlier document restores from it.
  py::dict entity_map = given_map ? py::reinterpret_borrow<py::dict>(entity_map_arg) : py::dict();
  for (size_t k = 0; k < kept.size(); ++k) {
    const py::object& type = kept[k].type;
    PyObject* inner = PyDict_GetItemWithError(entity_map.ptr(), type.ptr());
    if (inner == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      py::dict fresh;
      if (PyDict_SetItem(entity_map.ptr(), type.ptr(), fresh.ptr()) < 0) throw py::error_already_set();
      inner = fresh.ptr();
    } else if (!PyDict_Check(inner)) {
      // Only code run by the results' attributes can have put it there.
      throw py::type_error("anonymize_text(): entity_map[" + quoted(type) + "] is no longer a dict but " +
                           Py_TYPE(inner)->tp_name);
    }
    py::object value = to_str(replacements[k]);
    if (PyDict_SetDefault(inner, originals[k].ptr(), value.ptr()) == nullptr) throw py::error_already_set();
  }

  // One pass from the start: the spans do not overlap and are sorted by
  // descending start, so walk them backwards.
  std::u32string out;
  out.reserve(t.size());
  size_t last = 0;
  for (size_t k = kept.size(); k-- > 0;) {
    out.append(t.slice(last, static_cast<size_t>(kept[k].start)));
    out.append(replacements[k]);
    last = static_cast<size_t>(kept[k].end);
  }
  out.append(t.slice(last, t.size()));
  return py::make_tuple(to_str(out), entity_map);
}

// ---------------------------------------------------------------------------
// Placeholders in text

struct Span {
  size_t start, end;
};

std::vector<Span> find_placeholders(U32View s) {
  std::vector<Span> out;
  MatchIterator it(*g_placeholder, s);
  Match m;
  while (it.next(m)) out.push_back({m.start(), m.end()});
  return out;
}

py::str replace_outside_placeholders(py::object text, py::object pattern, py::object replacement) {
  require_str(text, "_replace_outside_placeholders", "text");
  if (!py::isinstance(pattern, py::module_::import("re").attr("Pattern"))) {
    raise_type_error("_replace_outside_placeholders", "pattern", "re.Pattern", pattern);
  }
  require_str(replacement, "_replace_outside_placeholders", "replacement");
  Text t(text);
  py::object sub = pattern.attr("sub");
  std::u32string out;
  out.reserve(t.size());
  size_t last = 0;
  auto stretch = [&](size_t a, size_t b) {
    py::str replaced = sub(replacement, to_str(t.slice(a, b)));
    Text r(replaced);
    out.append(r.view());
  };
  for (const Span& p : find_placeholders(t.view())) {
    stretch(last, p.start);
    out.append(t.slice(p.start, p.end));
    last = p.end;
  }
  stretch(last, t.size());
  return to_str(out);
}

// ---------------------------------------------------------------------------
// Further occurrences of known entities

// The pattern of one known entity is its text with every space standing for a
// run of white space (\s+), a word boundary at an end that is a word
// character, and for one-word person names a guard against a preceding "de ".
// For the usual shapes this is matched directly below, stretch by stretch
// between placeholders, exactly as the regular expression would match it;
// unusual shapes go through Python's `re` with the same pattern text.
struct EntityPattern {
  // A literal character, or a white-space run. Kept apart by a flag rather
  // than by a reserved character: entity texts may hold any code point.
  struct Token {
    char32_t ch;      // literal character (not a run)
    size_t min_run;   // for runs: number of spaces merged into it
    bool run;
  };
  std::vector<Token> tokens;
  bool word_start = false, word_end = false, not_after_de = false;
  bool direct = true;  // matchable without backtracking

  EntityPattern(U32View text, bool one_word_person) {
    for (char32_t c : text) {
      if (c == U' ') {
        if (!tokens.empty() && tokens.back().run) {
          ++tokens.back().min_run;
        } else {
          tokens.push_back({0, 1, true});
        }
      } else {
        if (!tokens.empty() && tokens.back().run && is_space(c)) direct = false;
        tokens.push_back({c, 0, false});
      }
    }
    if (tokens.empty() || tokens[0].run) direct = false;
    word_start = !text.empty() && is_word(text.front());
    word_end = !text.empty() && is_word(text.back());
    not_after_de = one_word_person;
  }

  // Whether the literal characters and white-space runs match at `pos` when
  // nothing bounds them: a match inside a stretch implies this one (a
  // stretch ends before a "[", where a run stops as well), so it is a cheap
  // first test for a candidate.
  bool tokens_match(const std::u32string& s, size_t pos) const {
    const size_t b = s.size();
    size_t p = pos;
    for (const Token& tok : tokens) {
      if (!tok.run) {
        if (p >= b || s[p] != tok.ch) return false;
        ++p;
      } else {
        size_t q = p;
        while (q < b && is_space(s[q])) ++q;
        if (q - p < tok.min_run) return false;
        p = q;
      }
    }
    return true;
  }

  // Match at `s` inside the stretch [a, b); returns the end or npos.
  size_t match_at(const std::u32string& s, size_t pos, size_t a, size_t b) const {
    if (not_after_de && pos - a >= 3 && (s[pos - 3] == U'd' || s[pos - 3] == U'D') &&
        (s[pos - 2] == U'e' || s[pos - 2] == U'E') && s[pos - 1] == U' ') {
      return std::u32string::npos;
    }
    if (word_start && pos > a && is_word(s[pos - 1])) return std::u32string::npos;
    size_t p = pos;
    for (const Token& tok : tokens) {
      if (!tok.run) {
        if (p >= b || s[p] != tok.ch) return std::u32string::npos;
        ++p;
      } else {
        size_t q = p;
        while (q < b && is_space(s[q])) ++q;
        if (q - p < tok.min_run) return std::u32string::npos;
        p = q;
      }
    }
    if (word_end && p < b && is_word(s[p])) return std::u32string::npos;
    return p;
  }
};

// Python's re.escape, then every escaped space turned into \s+.
std::u32string python_pattern_text(U32View text, const EntityPattern& ep) {
  static const std::u32string special = U"()[]{}?*+-|^$\\.&~# \t\n\r\v\f";
  std::u32string body;
  for (char32_t c : text) {
    if (c == U' ') {
      body += UR"(\s+)";
    } else {
      if (special.find(c) != std::u32string::npos) body.push_back(U'\\');
      body.push_back(c);
    }
  }
  std::u32string pattern;
  if (ep.not_after_de) pattern += UR"((?<![dD][eE] ))";
  if (ep.word_start) pattern += UR"(\b)";
  pattern += body;
  if (ep.word_end) pattern += UR"(\b)";
  return pattern;
}

// Replaces the further occurrences of one entity in `cur`; returns whether
// anything changed. `placeholders` holds the placeholder spans of `cur`.
bool replace_entity(std::u32string& cur, std::vector<Span>& placeholders, U32View text,
                    const std::u32string& replacement, bool one_word_person) {
  EntityPattern ep(text, one_word_person);
  const bool literal_replacement = replacement.find(U'\\') == std::u32string::npos;
  if (!ep.direct || !literal_replacement) {
    py::object re = py::module_::import("re");
    py::object compiled = re.attr("compile")(to_str(python_pattern_text(text, ep)));
    py::str result = replace_outside_placeholders(to_str(cur), compiled, to_str(replacement));
    Text r(result);
    if (r.view() == U32View(cur)) return false;
    cur.assign(r.view());
    placeholders = find_placeholders(cur);
    return true;
  }

  std::vector<Span> matches;
  const wchar_t first = static_cast<wchar_t>(ep.tokens[0].ch);
  size_t pos = 0, ph = 0;
  while (pos < cur.size()) {
    const auto* hit = std::wmemchr(reinterpret_cast<const wchar_t*>(cur.data()) + pos, first, cur.size() - pos);
    if (!hit) break;
    const size_t s = static_cast<size_t>(hit - reinterpret_cast<const wchar_t*>(cur.data()));
    while (ph < placeholders.size() && placeholders[ph].end <= s) ++ph;
    if (ph < placeholders.size() && placeholders[ph].start <= s) {
      pos = placeholders[ph].end;  // inside a placeholder
      continue;
    }
    const size_t a = ph == 0 ? 0 : placeholders[ph - 1].end;
    const size_t b = ph < placeholders.size() ? placeholders[ph].start : cur.size();
    const size_t e = ep.match_at(cur, s, a, b);
    if (e == std::u32string::npos) {
      pos = s + 1;
    } else {
      matches.push_back({s, e});
      pos = e;
    }
  }
  if (matches.empty()) return false;

  std::u32string out;
  out.reserve(cur.size());
  size_t last = 0;
  for (const Span& m : matches) {
    out.append(cur, last, m.start - last);
    out.append(replacement);
    last = m.end;
  }
  out.append(cur, last, std::u32string::npos);
  cur.swap(out);
  placeholders = find_placeholders(cur);
  return true;
}

struct Propagated {
  const std::u32string* text;
  const std::u32string* placeholder;
  bool one_word_person;
};

// The entities of `todo`, in order, each replaced in the text the ones before
// it left, exactly as replace_entity would do one after the other, but in time
// linear in the text: matches are found in the original text through an index
// of the windows of its characters that entities begin with, and the spans
// replaced so far are kept as intervals of the original text, which bound the
// stretches a later match must lie in.
// Returns false, changing nothing, when some entity needs the regular
// expression engine (a pattern that is not matched directly) or its
// replacement is not a placeholder; the caller then goes entity by entity.
bool propagate_in_one_text(std::u32string& text, const std::vector<Span>& placeholders,
                           const std::vector<Propagated>& todo, bool& changed) {
  std::vector<EntityPattern> patterns;
  patterns.reserve(todo.size());
  // Candidates are found by the first (up to) kKeyChars characters that are
  // not white space: a match holds the entity's own in the same order. The
  // text's windows of those characters are hashed once per key length in use
  // (a rolling hash), and only the windows some entity has are kept.
  std::unordered_map<uint64_t, std::vector<size_t>> candidates_of;
  std::vector<uint64_t> keys(todo.size());
  bool lengths[kKeyChars + 1] = {};
  for (size_t k = 0; k < todo.size(); ++k) {
    const std::u32string& t = *todo[k].text;
    patterns.emplace_back(t, todo[k].one_word_person);
    // A replacement that is not one placeholder would change the stretches
    // around it in ways the intervals do not follow.
    Match m;
    if (!patterns.back().direct || is_space(t[0]) || !g_placeholder->fullmatch(*todo[k].placeholder, m)) {
      return false;
    }
    const auto [key, len] = candidate_key(t);
    lengths[len] = true;
    keys[k] = key;
    candidates_of.try_emplace(keys[k]);
  }
  const U32View s(text);
  const size_t n = s.size();
  for_each_key_at(s, lengths, [&](size_t pos, uint64_t key) {
    auto found = candidates_of.find(key);
    if (found != candidates_of.end()) found->second.push_back(pos);
  });

  // start -> (end, replacement + 1; 0 for a placeholder of the text itself)
  std::map<size_t, std::pair<size_t, size_t>> taken;
  for (const Span& p : placeholders) taken.emplace(p.start, std::make_pair(p.end, size_t{0}));
  bool any = false;
  for (size_t k = 0; k < todo.size(); ++k) {
    const EntityPattern& ep = patterns[k];
    const std::vector<size_t>& candidates = candidates_of[keys[k]];
    for (size_t pos : candidates) {
      if (!ep.tokens_match(text, pos)) continue;
      auto next = taken.upper_bound(pos);
      size_t a = 0;
      if (next != taken.begin()) {
        auto prev = std::prev(next);
        if (prev->second.first > pos) continue;  // inside a placeholder or a replaced span
        a = prev->second.first;
      }
      const size_t b = next == taken.end() ? n : next->first;
      const size_t e = ep.match_at(text, pos, a, b);
      if (e == std::u32string::npos) continue;
      taken.emplace_hint(next, pos, std::make_pair(e, k + 1));
      any = true;
    }
  }
  changed = any;
  if (!any) return true;
  std::u32string out;
  out.reserve(n);
  size_t last = 0;
  for (const auto& [start, span] : taken) {
    out.append(s.substr(last, start - last));
    if (span.second == 0) {
      out.append(s.substr(start, span.first - start));
    } else {
      out.append(*todo[span.second - 1].placeholder);
    }
    last = span.first;
  }
  out.append(s.substr(last));
  text.swap(out);
  return true;
}

// The flat entries of `view` whose candidate key occurs at a place of
// `text` where a match could start, with those that are always tried: the
// others cannot match anywhere in the text (a match lies inside one stretch
// between placeholders, and stretches only shrink as entities are replaced
// by placeholders).
std::vector<size_t> candidates_in(const MapView& view, U32View s) {
  const PreparedMap& p = *view.base;
  std::vector<size_t> out(p.indirect);
  for (size_t k = 0; k < view.extra.size(); ++k) out.push_back(p.flat.size() + k);
  if (!p.by_hash.empty()) {
    std::unordered_set<size_t> seen;
    for_each_key_at(s, p.lengths, [&](size_t, uint64_t key) {
      auto found = p.by_hash.find(key);
      if (found == p.by_hash.end()) return;
      for (size_t i : found->second) {
        if (seen.insert(i).second) out.push_back(i);
      }
    });
  }
  return out;
}

bool run_propagation(std::u32string& cur, std::vector<Span>& placeholders, const std::vector<Propagated>& todo);

py::str postprocess_with_view(py::object anonymized, const MapView& view) {
  Text source(anonymized);
  std::u32string cur(source.view());
  std::vector<size_t> found = candidates_in(view, cur);
  // Longest first; equal lengths keep map order.
  std::sort(found.begin(), found.end(), [&](size_t a, size_t b) {
    const size_t la = view.text(a).size(), lb = view.text(b).size();
    return la != lb ? la > lb : a < b;
  });
  py::object types = module().attr("_POSTPROCESS_ENTITY_TYPES");
  std::vector<const std::u32string*> replacement;
  std::vector<Propagated> todo;
  for (size_t i : found) {
    const std::u32string& text = view.text(i);
    if (text.size() < 5) continue;
    int member = PySequence_Contains(types.ptr(), view.type(i).ptr());
    if (member < 0) throw py::error_already_set();
    if (!member) continue;
    const bool one_word_person = equals(view.type(i), "PERSON_NAME") && strip(text).find(U' ') == U32View::npos;
    todo.push_back({&text, view.canonical_of(view.info(i).key), one_word_person});
  }
  std::vector<Span> placeholders = find_placeholders(cur);
  if (run_propagation(cur, placeholders, todo)) {
    logger().debug("[processing] Post-process replaced additional entity occurrences");
  }
  return to_str(cur);
}

bool run_propagation(std::u32string& cur, std::vector<Span>& placeholders, const std::vector<Propagated>& todo) {
  bool changed = false;
  if (!propagate_in_one_text(cur, placeholders, todo, changed)) {
    for (const Propagated& p : todo) {
      changed |= replace_entity(cur, placeholders, *p.text, *p.placeholder, p.one_word_person);
    }
  }
  return changed;
}

py::str postprocess_anonymized(py::object anonymized, py::object entity_map) {
  require_str(anonymized, "postprocess_anonymized", "anonymized");
  require_dict(entity_map, "postprocess_anonymized", "entity_map");
  {
    MapView view;
    if (view_of(entity_map, view) && view.strict) return postprocess_with_view(anonymized, view);
  }
  std::vector<MapEntry> flat = flatten_entries(map_entries(entity_map, "postprocess_anonymized", false));

  std::vector<size_t> by_length(flat.size());
  for (size_t i = 0; i < flat.size(); ++i) by_length[i] = i;
  std::stable_sort(by_length.begin(), by_length.end(),
                   [&](size_t a, size_t b) { return flat[a].text.size() < flat[b].text.size(); });
  std::vector<std::u32string> keys;
  std::unordered_map<std::u32string, std::u32string> canonical = canonical_placeholders(flat, &keys);
  for (size_t i = 0; i < flat.size(); ++i) flat[i].placeholder = canonical[keys[i]];

  // Longest first; equal lengths keep map order (a stable sort).
  std::vector<size_t> longest_first(by_length);
  std::stable_sort(longest_first.begin(), longest_first.end(),
                   [&](size_t a, size_t b) { return flat[a].text.size() > flat[b].text.size(); });

  Text source(anonymized);
  std::u32string cur(source.view());
  std::vector<Span> placeholders = find_placeholders(cur);
  py::object types = module().attr("_POSTPROCESS_ENTITY_TYPES");
  std::vector<Propagated> todo;
  for (size_t i : longest_first) {
    const MapEntry& e = flat[i];
    int member = PySequence_Contains(types.ptr(), e.type.ptr());
    if (member < 0) throw py::error_already_set();
    if (!member || e.text.size() < 5) continue;
    const bool one_word_person = equals(e.type, "PERSON_NAME") && strip(e.text).find(U' ') == U32View::npos;
    todo.push_back({&e.text, &e.placeholder, one_word_person});
  }
  if (run_propagation(cur, placeholders, todo)) {
    logger().debug("[processing] Post-process replaced additional entity occurrences");
  }
  return to_str(cur);
}

// ---------------------------------------------------------------------------
// Restoration

// One pass over the placeholders of the text: each occurrence is replaced by
// the first text the map holds for it, and nothing that is put in is looked
// at again, so no entry can rewrite the text another one restored. Map values
// that are not placeholders stand for nothing in the text and are ignored.
py::str deanonymize_text(py::object anonymized_text, py::object entity_map) {
  require_str(anonymized_text, "deanonymize_text", "anonymized_text");
  require_dict(entity_map, "deanonymize_text", "entity_map");
  std::unordered_map<std::u32string, std::u32string> first_text;  // placeholder -> text
  for (const auto& outer : snapshot_items(entity_map)) {
    if (is_reserved_key(outer.first)) continue;
    if (!PyDict_Check(outer.second.ptr())) {
      throw py::type_error(std::string("deanonymize_text(): entity map values must be dict, not ") +
                           Py_TYPE(outer.second.ptr())->tp_name);
    }
    for (const auto& inner : snapshot_items(outer.second)) {
      require_str(inner.first, "deanonymize_text", "entity_map text");
      require_str(inner.second, "deanonymize_text", "entity_map placeholder");
      Text k(inner.first), v(inner.second);
      Match m;
      if (!g_placeholder->fullmatch(v.view(), m)) continue;
      first_text.emplace(std::u32string(v.view()), std::u32string(k.view()));
    }
  }
  Text source(anonymized_text);
  const U32View cur = source.view();
  std::u32string out;
  out.reserve(cur.size());
  size_t last = 0;
  std::u32string key;
  for (const Span& s : find_placeholders(cur)) {
    key.assign(cur.substr(s.start, s.end - s.start));
    auto found = first_text.find(key);
    if (found == first_text.end()) continue;
    out.append(cur.substr(last, s.start - last));
    out.append(found->second);
    last = s.end;
  }
  out.append(cur.substr(last));
  return to_str(out);
}


// ---------------------------------------------------------------------------
// Denylist filtering

const char32_t kDiacritics[] = U"ăâîșțşţĂÂÎȘȚŞŢ";
const char32_t kPlainLetters[] = U"aaiststAAISTST";

std::u32string strip_ro_diacritics(U32View s) {
  std::u32string out(s);
  for (char32_t& c : out) {
    for (size_t k = 0; kDiacritics[k]; ++k) {
      if (c == kDiacritics[k]) {
        c = kPlainLetters[k];
        break;
      }
    }
  }
  return out;
}

// lower() (full case mapping, through str.lower) then diacritic folding.
std::u32string fold(py::handle word) {
  if (!PyUnicode_Check(word.ptr())) {
    throw py::type_error(std::string("denylist words must be str, not ") + Py_TYPE(word.ptr())->tp_name);
  }
  py::str lowered = py::reinterpret_borrow<py::object>(word).attr("lower")();
  Text t(lowered);
  return strip_ro_diacritics(t.view());
}

// Python slice semantics for text[start:end]: negative values count from the
// end and everything is clamped, so no offset can read outside the text.
U32View py_slice(const Text& t, Py_ssize_t start, Py_ssize_t end) {
  const SliceBounds b = slice_bounds(start, end, static_cast<Py_ssize_t>(t.size()));
  return t.slice(static_cast<size_t>(b.start), static_cast<size_t>(b.end));
}

py::object get_nlp_ro() {
  py::module_& m = module();
  py::object nlp = m.attr("_nlp_ro");
  if (!nlp.is_none()) return nlp;
  py::list disable;
  disable.append("ner");
  disable.append("parser");
  try {
    nlp = py::module_::import("spacy").attr("load")(defaults::kSpacyModel, py::arg("disable") = disable);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ImportError)) throw;
    py::object cause = e.value();
    py::object err = py::reinterpret_borrow<py::object>(PyExc_OSError)(
        py::str("cannot load the spaCy pipeline '{0}' used for part-of-speech tags: install it with "
                "`python -m spacy download {0}` (needs network access), or load a Romanian pipeline "
                "yourself and pass it to tarnis.processing.use_pipeline()")
            .format(defaults::kSpacyModel));
    PyException_SetCause(err.ptr(), cause.release().ptr());
    PyErr_SetObject(PyExc_OSError, err.ptr());
    throw py::error_already_set();
  }
  nlp.attr("add_pipe")("sentencizer");
  m.attr("_nlp_ro") = nlp;
  return nlp;
}

void use_pipeline(py::object nlp) {
  if (!nlp.is_none() && !PyCallable_Check(nlp.ptr())) {
    raise_type_error("use_pipeline", "nlp", "a spaCy pipeline (a callable) or None", nlp);
  }
  module().attr("_nlp_ro") = nlp;
}

bool is_common_noun_span(py::object span_text) {
  require_str(span_text, "_is_common_noun_span", "span_text");
  py::object nlp = module().attr("_get_nlp_ro")();
  py::str propn("PROPN");
  for (auto token : nlp(span_text)) {
    if (py::object(token.attr("pos_")).equal(propn)) return false;
  }
  return true;
}

py::list filter_entity_denylist(py::object text, py::object results, py::object extra_denylist) {
  require_str(text, "filter_entity_denylist", "text");
  require_list(results, "filter_entity_denylist", "results");
  require_dict_or_none(extra_denylist, "filter_entity_denylist", "extra_denylist");
  py::module_& m = module();
  py::dict denylists = m.attr("_ENTITY_DENYLISTS");
  const std::vector<py::object> username_reject = snapshot(m.attr("_USERNAME_REJECT_PATTERNS"));
  const std::vector<py::object> domivia_reject = snapshot(m.attr("_DOMIVIA_REJECT_PATTERNS"));
  const bool has_extra = !extra_denylist.is_none() && py::len(extra_denylist) > 0;
  py::object empty = py::frozenset(py::list());
  Text t(text);

  // Folded word sets per entity type, built on first need within this call.
  std::unordered_map<std::string, std::unordered_set<std::u32string>> folded;
  auto words_for = [&](py::handle entity_type) -> const std::unordered_set<std::u32string>& {
    const std::string key = py::repr(entity_type).cast<std::string>();
    auto it = folded.find(key);
    if (it != folded.end()) return it->second;
    py::object words = denylists.attr("get")(entity_type, empty);
    if (has_extra) {
      py::object extra = extra_denylist.attr("get")(entity_type);
      if (!extra.is_none() && truth(extra)) {
        PyObject* u = PyNumber_Or(words.ptr(), extra.ptr());
        if (!u) throw py::error_already_set();
        words = py::reinterpret_steal<py::object>(u);
      }
    }
    std::unordered_set<std::u32string> set;
    for (auto w : words) set.insert(fold(w));
    return folded.emplace(key, std::move(set)).first->second;
  };
  auto any_search = [](const std::vector<py::object>& patterns, const py::str& span) {
    for (const py::object& p : patterns) {
      if (!p.attr("search")(span).is_none()) return true;
    }
    return false;
  };

  py::list kept;
  py::dict rejected;  // entity type -> count, in order of first rejection
  size_t rejections = 0;
  // Owned references: attribute reads and the tagger may run code that
  // changes the list.
  for (const py::object& r : snapshot(results)) {
    py::object entity_type = r.attr("entity_type");
    const U32View span =
        strip(py_slice(t, clipped_index_value(r.attr("start")), clipped_index_value(r.attr("end"))));
    bool reject = false;
    const auto& words = words_for(entity_type);
    if (!words.empty()) {
      reject = words.count(fold(to_str(span))) > 0;
    }
    if (!reject && equals(entity_type, "PERSON_NAME")) {
      reject = !span.empty() && !is_upper(span[0]) &&
               truth(module().attr("_is_common_noun_span")(to_str(span)));
    } else if (!reject && equals(entity_type, "USERNAME")) {
      reject = any_search(username_reject, to_str(span));
    } else if (!reject && equals(entity_type, "DOMIVIA")) {
      reject = any_search(domivia_reject, to_str(span));
    }
    if (reject) {
      ++rejections;
      rejected[entity_type] = (rejected.contains(entity_type) ? rejected[entity_type].cast<long>() : 0) + 1;
    } else {
      kept.append(r);
    }
  }
  if (rejections) logger().debug("[processing] Denylist filtered %d entities: %s", rejections, rejected);
  return kept;
}
}  // namespace

PYBIND11_MODULE(processing, m) {
  m.doc() =
      "Post-processing of detections: overlap resolution, anonymization with numbered\n"
      "placeholders such as [PERSON_NAME_1], propagation to further occurrences, restoration.";
  py::module_ re = py::module_::import("re");
  m.attr("re") = re;
  g_module = new py::module_(m);
  g_logger = new ModuleLogger(m, "tarnis.processing");

  py::module_ denylists = py::module_::import("tarnis.denylists");
  for (const char* name : {"_ENTITY_DENYLISTS", "_USERNAME_REJECT_PATTERNS", "_DOMIVIA_REJECT_PATTERNS"}) {
    m.attr(name) = denylists.attr(name);
  }
  m.attr("_RO_DIACRITICS") = py::str().attr("maketrans")(to_str(kDiacritics), to_str(kPlainLetters));
  m.attr("_nlp_ro") = py::none();

  py::list high_spec;
  for (const char* t : {"IBAN_CODE", "CREDIT_CARD", "BIC", "EMAIL_ADDRESS", "PHONE_NUMBER", "IP_ADDRESS", "URL", "CNP",
                        "IDNP"})
    high_spec.append(t);
  m.attr("_HIGH_SPECIFICITY_TYPES") = py::frozenset(high_spec);

  py::list postprocess;
  for (const char* t : {"PERSON_NAME", "ORGANIZATION", "EMAIL_ADDRESS", "PHONE_NUMBER", "IBAN_CODE", "CREDIT_CARD",
                        "BIC", "URL", "IP_ADDRESS", "DOMIVIA", "CNP", "IDNP"})
    postprocess.append(t);
  m.attr("_POSTPROCESS_ENTITY_TYPES") = py::frozenset(postprocess);

  m.attr("_NAME_PREFIXES") = re.attr("compile")(to_str(kNamePrefixPattern),
                                                re.attr("IGNORECASE") | re.attr("UNICODE"));
  m.attr("PLACEHOLDER_PATTERN") = py::str(defaults::kPlaceholderPattern);
  m.attr("_PLACEHOLDER_RE") = re.attr("compile")(m.attr("PLACEHOLDER_PATTERN"));
  g_placeholder = new Regex(defaults::kPlaceholderPattern32);
  g_name_prefixes = new Regex(kNamePrefixPattern, reflag::IGNORECASE | reflag::UNICODE);

  m.def(
      "_normalize_whitespace",
      [](py::object text) {
        require_str(text, "_normalize_whitespace", "text");
        Text t(text);
        return to_str(collapse_whitespace(t.view()));
      },
      py::arg("text"), "Replace every run of white space by one space and trim both ends.");
  m.def(
      "_normalize_entity",
      [](py::object text) {
        require_str(text, "_normalize_entity", "text");
        Text t(text);
        return to_str(normalize_entity(t.view()));
      },
      py::arg("text"),
      "Keep only ASCII letters and digits and characters U+00C0 to U+024F, then lower-case.");
  m.def(
      "_strip_ro_diacritics",
      [](py::object text) {
        require_str(text, "_strip_ro_diacritics", "text");
        Text t(text);
        return to_str(strip_ro_diacritics(t.view()));
      },
      py::arg("text"), "Fold Romanian letters with diacritics (comma-below and cedilla forms) to plain letters.");
  m.def("_get_nlp_ro", &get_nlp_ro,
        "The shared Romanian spaCy pipeline (ro_core_news_sm without ner and parser, plus a sentencizer),\n"
        "loaded on first use and kept in the module attribute _nlp_ro.");
  m.def("use_pipeline", &use_pipeline, py::arg("nlp"),
        "Make `nlp` the shared spaCy pipeline that the denylist filter asks for part-of-speech tags and\n"
        "the review pass for sentences (any callable that turns a text into tokens with `pos_` and\n"
        "sentences with `sents`, typically a loaded Romanian pipeline); None forgets it, and the next\n"
        "use loads the default pipeline again. Kept in the module attribute _nlp_ro.");
  m.def("_is_common_noun_span", &is_common_noun_span, py::arg("span_text"),
        "True when no token of the text is tagged PROPN by the shared pipeline.");
  m.def("filter_entity_denylist", &filter_entity_denylist, py::arg("text"), py::arg("results"),
        py::arg("extra_denylist") = py::none(),
        "Drop results that are generic words for their type, lower-case person names the tagger sees as\n"
        "common nouns, and user names or addresses that are phone numbers, domains or web addresses.\n"
        "Returns a new list of the kept results in input order.");
  m.def("resolve_overlaps", &resolve_overlaps, py::arg("results"), py::arg("text") = "",
        "Reduce results to a non-overlapping set.\n\n"
        "A CODE overlapping a trusted type (IBAN, card, BIC, e-mail, phone, IP, URL, CNP) is dropped\n"
        "unless the trusted span follows a hyphen inside it (needs `text`); a 13-character card on\n"
        "exactly the span of a CNP is dropped; then results are taken greedily by score, length and\n"
        "position. A trusted result that only partly overlaps one already taken is kept as well: the\n"
        "other is narrowed to what lies outside it (a trusted one is never narrowed; the later one is,\n"
        "instead), cut clean of white space and punctuation, and dropped if nothing is left.\n"
        "Returns a new list of the same objects, narrowed ones as copies (the caller's results are\n"
        "never changed), or the input list itself when empty.");
  m.def("anonymize_text", &anonymize_text, py::arg("text"), py::arg("results"), py::kw_only(),
        py::arg("entity_map") = py::none(),
        "Replace every detected span by a numbered placeholder.\n\n"
        "Returns (anonymized text, entity map) where the map is entity type -> white-space-normalized\n"
        "original text -> placeholder. Person-name results lose leading titles and trailing\n"
        "punctuation; their start and end are updated in place. Raises ValueError when a result's\n"
        "offsets lie outside the text.\n\n"
        "With `entity_map` (the map of earlier documents of the same case), an entity whose dedup key\n"
        "the map knows gets the map's placeholder (that of its shortest text of the key), new ones are\n"
        "numbered after the highest number the map holds for their type, and the map is extended in\n"
        "place (existing entries are never changed) and returned. Top-level keys beginning with\n"
        "\"tarnis:\" (reserved entries of map files) are skipped. A map that is not a dict of dicts of\n"
        "text -> placeholder raises TypeError or ValueError before any work.");
  m.def("postprocess_anonymized", &postprocess_anonymized, py::arg("anonymized"), py::arg("entity_map"),
        "Replace further verbatim occurrences of known entities, never inside placeholders. Top-level\n"
        "keys of the map beginning with \"tarnis:\" (reserved entries of map files) are skipped.");
  m.def("deanonymize_text", &deanonymize_text, py::arg("anonymized_text"), py::arg("entity_map"),
        "Restore the original texts from the entity map: each placeholder of the text is replaced,\n"
        "once, by the first text the map holds for it; map values that are not placeholders and\n"
        "placeholders the map does not know change nothing.");
  m.def("_replace_outside_placeholders", &replace_outside_placeholders, py::arg("text"), py::arg("pattern"),
        py::arg("replacement"),
        "Apply pattern.sub(replacement, ...) to the stretches of text between placeholders.");
}
