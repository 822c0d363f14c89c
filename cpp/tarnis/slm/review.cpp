// The review pass: anonymized text is sent in sentence-aligned overlapping
// chunks to a small language model, which names the persons and
// organizations still written in clear; `apply` replaces them by new
// numbered placeholders and records them in the entity map.
//
// Substitution: a name becomes the pattern "its text, every space standing
// for a run of white space, \b at an end that is a word character", replaced
// everywhere outside placeholders, names in list order, each on the text the
// previous ones left. For names of the usual shape (no white space at either
// end, no white space other than plain spaces) this is matched here in one
// linear pass per name over the text folded into tokens; other shapes go
// through `_replace_outside_placeholders` and Python's `re` with the pattern
// itself.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cwchar>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/checks.hpp"
#include "core/defaults.hpp"
#include "core/log.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/sentences.hpp"
#include "core/slm.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

static_assert(sizeof(wchar_t) == sizeof(char32_t), "wmemchr is used on UCS-4 tokens");

namespace {

const char* const kClassName = "SLMReviewPass";
// From this many names on, `apply` indexes the text by character.
constexpr size_t kIndexFrom = 16;
const char* const kLogFile = "slm_review_log.jsonl";
// Where `scan` keeps the chunks without an answer; read through the property
// `unanswered_chunks`.
const char* const kUnanswered = "_unanswered_chunks";
const char* const kScanned = "_scanned_chunks";
const char32_t* const kPlaceholderNumber = UR"(_(\d+)\]$)";

// Leaked on purpose: they hold Python objects that must outlive the module.
py::module_* g_module = nullptr;
ModuleLogger* g_log = nullptr;
const Regex* g_placeholder = nullptr;
const Regex* g_number = nullptr;

// Module attributes are read at each call, so that a host or a test that
// replaces one (or the pipeline behind `_get_nlp_ro`) is obeyed.
py::object mod_attr(const char* name) { return g_module->attr(name); }

// A Python int as a long long, clamped to +-2^60 so that sums of word counts
// (at most the text length) never overflow.
long long clamped(py::handle v, const char* func, const char* arg) {
  require_int(v, func, arg);
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
  constexpr long long kLimit = 1LL << 60;
  if (overflow > 0 || x > kLimit) return kLimit;
  if (overflow < 0 || x < -kLimit) return -kLimit;
  return x;
}

void require_real(py::handle v, const char* arg) {
  if (PyFloat_Check(v.ptr()) || PyLong_Check(v.ptr())) return;
  if (PyObject_IsInstance(v.ptr(), py::module_::import("numbers").attr("Real").ptr()) == 1) return;
  if (PyErr_Occurred()) throw py::error_already_set();
  raise_type_error(kClassName, arg, "a real number", v);
}

py::object as_float(py::handle v) {
  PyObject* f = PyNumber_Float(v.ptr());
  if (!f) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(f);
}

// ---------------------------------------------------------------------------
// Constructor

void init(py::object self, py::object client, py::object model, py::object system_prompt, py::object max_chunk_tokens,
          py::object overlap_sentences, py::object max_tokens, py::object temperature, py::object top_p,
          py::object top_k, py::object presence_penalty, py::object extra_body, py::object max_retries,
          py::object log_dir) {
  require_str(model, kClassName, "model");
  require_str(system_prompt, kClassName, "system_prompt");
  require_int(max_chunk_tokens, kClassName, "max_chunk_tokens");
  require_int(overlap_sentences, kClassName, "overlap_sentences");
  require_int(max_tokens, kClassName, "max_tokens");
  require_real(temperature, "temperature");
  require_real(top_p, "top_p");
  require_int(top_k, kClassName, "top_k");
  require_real(presence_penalty, "presence_penalty");
  require_dict_or_none(extra_body, kClassName, "extra_body");
  require_int(max_retries, kClassName, "max_retries");
  if (!log_dir.is_none() && !PyUnicode_Check(log_dir.ptr()) &&
      !py::isinstance(log_dir, py::module_::import("os").attr("PathLike"))) {
    raise_type_error(kClassName, "log_dir", "a path (str or os.PathLike) or None", log_dir);
  }
  // A negative overlap would make chunks skip sentences that no request sees.
  if (clamped(overlap_sentences, kClassName, "overlap_sentences") < 0) {
    throw py::value_error("SLMReviewPass() argument 'overlap_sentences' must not be negative, got " +
                          py::repr(overlap_sentences).cast<std::string>());
  }

  self.attr("client") = client;
  self.attr("model") = model;
  self.attr("system_prompt") = system_prompt;
  self.attr("max_chunk_tokens") = max_chunk_tokens;
  self.attr("overlap_sentences") = overlap_sentences;
  self.attr("max_tokens") = max_tokens;
  self.attr("temperature") = as_float(temperature);
  self.attr("top_p") = as_float(top_p);
  self.attr("top_k") = top_k;
  self.attr("presence_penalty") = as_float(presence_penalty);
  self.attr("extra_body") = extra_body;
  self.attr("max_retries") = max_retries;
  self.attr("log_dir") = truth(log_dir) ? log_dir : py::module_::import("pathlib").attr("Path")("results");
}

// ---------------------------------------------------------------------------
// Chunks

py::list chunk_text(py::object self, py::object text) {
  require_str(text, "_chunk_text", "text");
  const long long budget = clamped(self.attr("max_chunk_tokens"), "_chunk_text", "max_chunk_tokens");
  const long long overlap = clamped(self.attr("overlap_sentences"), "_chunk_text", "overlap_sentences");
  py::object nlp = mod_attr("_get_nlp_ro")();
  Text t(text);
  py::list chunks;
  // A blank text has nothing to review (a pipeline may still report its
  // white space as a sentence).
  if (strip(t.view()).empty()) return chunks;
  const std::vector<SentenceSpan> sentences = sentences_of(nlp, text, t, "[review]");
  if (sentences.empty()) {
    chunks.append(text);
    return chunks;
  }
  if (static_cast<long long>(count_words(t.view())) <= budget) {
    chunks.append(text);
    return chunks;
  }

  // prefix[k] = words of sentences 0..k-1. A chunk takes sentences while the
  // count stays within the budget and always its first sentence; the next
  // chunk starts `overlap` sentences before this one's end, at least one
  // sentence later, until the start passes the last sentence.
  const size_t n = sentences.size();
  std::vector<long long> prefix(n + 1, 0);
  for (size_t k = 0; k < n; ++k) {
    prefix[k + 1] = prefix[k] + static_cast<long long>(count_words(t.slice(sentences[k].start, sentences[k].end)));
  }
  for (size_t i = 0; i < n;) {
    const long long limit = prefix[i] + budget;
    const auto past = std::upper_bound(prefix.begin() + static_cast<std::ptrdiff_t>(i) + 1, prefix.end(), limit);
    const size_t fit = static_cast<size_t>(past - prefix.begin()) - 1;
    const size_t j = std::max(i + 1, fit);
    chunks.append(substring(text, static_cast<Py_ssize_t>(sentences[i].start), static_cast<Py_ssize_t>(sentences[j - 1].end)));
    const long long taken = static_cast<long long>(j - i);
    i += static_cast<size_t>(std::max<long long>(taken - overlap, 1));
  }
  return chunks;
}

// ---------------------------------------------------------------------------
// Model calls

// The chunks that got a usable answer during a `scan` running on this thread,
// for the instance running it; `_call_slm` records them here. Per thread, as
// the model calls release the interpreter lock; a stack, as a scan may run
// inside another (a subclass's hook scanning with a second instance).
struct ScanFrame {
  PyObject* self;
  std::vector<long long> answered;
};
thread_local std::vector<ScanFrame> t_scans;

class ScanScope {
 public:
  explicit ScanScope(py::handle self) { t_scans.push_back({self.ptr(), {}}); }
  ~ScanScope() { t_scans.pop_back(); }
  ScanScope(const ScanScope&) = delete;
  ScanScope& operator=(const ScanScope&) = delete;
  bool answered(long long chunk_idx) const {
    const auto& a = t_scans.back().answered;
    return std::find(a.begin(), a.end(), chunk_idx) != a.end();
  }
};

void note_answered(py::handle self, py::handle chunk_idx) {
  for (auto it = t_scans.rbegin(); it != t_scans.rend(); ++it) {
    if (it->self != self.ptr()) continue;
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(chunk_idx.ptr(), &overflow);
    if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (!overflow) it->answered.push_back(i);
    return;
  }
}

py::list call_slm(py::object self, py::object chunk, py::object chunk_idx) {
  require_str(chunk, "_call_slm", "chunk");
  require_int(chunk_idx, "_call_slm", "chunk_idx");
  py::object max_retries = self.attr("max_retries");
  const long long attempts = clamped(max_retries, "_call_slm", "max_retries");
  py::str ok("ok"), error("error"), person("PERSON_NAME"), organization("ORGANIZATION");
  py::str text_key("text"), type_key("type");

  for (long long attempt = 0; attempt < attempts; ++attempt) {
    py::list valid;
    py::object exc = slm::catch_exception([&] {
      py::dict body = slm::extra_body(self.attr("top_k"), self.attr("extra_body"));
      py::object model = self.attr("model"), client = self.attr("client"), system_prompt = self.attr("system_prompt");
      py::object temperature = self.attr("temperature"), top_p = self.attr("top_p");
      py::object presence_penalty = self.attr("presence_penalty"), max_tokens = self.attr("max_tokens");
      slm::ChatRequest req{client, model, system_prompt, chunk, temperature, top_p, presence_penalty, max_tokens, body};
      py::object content = slm::chat_content(req);
      py::object raw = truth(content) ? content : py::str("");
      py::object parsed = self.attr("_repair_json")(raw);
      py::object entities = parsed.attr("get")("entities", py::list());
      for (const py::object& e : items_of(entities)) {
        if (!PyDict_Check(e.ptr()) || !contains(e, text_key) || !contains(e, type_key)) continue;
        py::object type = get_item(e, type_key);
        if (!equals(type, "PERSON_NAME") && !equals(type, "ORGANIZATION")) continue;
        py::object text = get_item(e, text_key);
        if (!PyUnicode_Check(text.ptr())) {
          throw py::type_error("an entity's \"text\" must be a string, not " + type_name(text));
        }
        Text chars(text);
        if (strip(chars.view()).size() <= 2) continue;
        py::dict kept;
        kept[text_key] = text;
        kept[type_key] = type;
        valid.append(kept);
      }
      note_answered(self, chunk_idx);
      self.attr("_log")(chunk_idx, attempt, ok, raw, valid);
    });
    if (!exc) return valid;
    self.attr("_log")(chunk_idx, attempt, error, py::str(exc), py::list());
    // The error's text may quote the answer (an answer that cannot be
    // parsed is quoted in it): the warning names the error only, the text is
    // in the review log and in the debug line.
    py::str label = slm::error_label(exc);
    g_log->warning("[review] Chunk %d attempt %d failed: %s", chunk_idx, attempt + 1, label);
    if (!label.equal(py::str(exc))) g_log->debug("[review] Chunk %d attempt %d failed: %s", chunk_idx, attempt + 1, exc);
  }
  g_log->error("[review] Chunk %d: all %d attempts failed", chunk_idx, max_retries);
  return py::list();
}

py::object repair(py::object, py::object raw) {
  require_str(raw, "_repair_json", "raw");
  return slm::repair_json(raw, false);
}

void write_log(py::object self, py::object chunk_idx, py::object attempt, py::object status, py::object raw_response,
               py::object entities) {
  py::dict entry;
  entry["timestamp"] = slm::now_iso();
  entry["chunk_idx"] = chunk_idx;
  entry["attempt"] = attempt;
  entry["status"] = status;
  entry["raw_response"] = raw_response[py::slice(0, 500, 1)];
  entry["entities_found"] = entities;
  try {
    slm::append_jsonl(self.attr("log_dir"), kLogFile, entry);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
  }
}

py::list deduplicate(py::object, py::object entities) {
  py::object strip_diacritics = mod_attr("_strip_ro_diacritics");
  py::set seen;
  py::list result;
  py::str text_key("text"), type_key("type");
  for (const py::object& e : items_of(entities)) {
    py::object lowered = get_item(e, text_key).attr("lower")();
    py::tuple key = py::make_tuple(strip_diacritics(lowered), get_item(e, type_key));
    if (contains(seen, key)) continue;
    seen.add(key);
    result.append(e);
  }
  return result;
}

// A copy, so that a caller may keep or change it.
py::list unanswered_chunks(py::object self) {
  PyObject* v = PyObject_GetAttrString(self.ptr(), kUnanswered);
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::list();
  }
  py::object stored = py::reinterpret_steal<py::object>(v);
  return to_list(items_of(stored));
}

size_t scanned_chunks(py::object self) {
  PyObject* v = PyObject_GetAttrString(self.ptr(), kScanned);
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return 0;
  }
  py::object stored = py::reinterpret_steal<py::object>(v);
  return stored.cast<size_t>();
}

py::list scan(py::object self, py::object anonymized_text) {
  require_str(anonymized_text, "scan", "anonymized_text");
  py::object chunks = self.attr("_chunk_text")(anonymized_text);
  std::vector<py::object> items = items_of(chunks);
  g_log->info("[review] Scanning %d chunks for missed entities", items.size());
  py::list found;
  // Filled as the chunks are asked, so that after an error it names those
  // known to be without an answer so far.
  py::list unanswered;
  self.attr(kUnanswered) = unanswered;
  self.attr(kScanned) = py::int_(items.size());
  py::object call = self.attr("_call_slm");
  ScanScope scope(self);
  for (size_t i = 0; i < items.size(); ++i) {
    py::object part = call(items[i], py::arg("chunk_idx") = i);
    if (!scope.answered(static_cast<long long>(i))) unanswered.append(py::int_(i));
    for (const py::object& e : items_of(part)) found.append(e);
  }
  py::list deduped = self.attr("_deduplicate")(found);
  g_log->info("[review] Found %d unique missed entities", py::len(deduped));
  return deduped;
}

// ---------------------------------------------------------------------------
// Substitution

constexpr char32_t kGap = 0x110000;      // a maximal run of white space
constexpr char32_t kBarrier = 0x110001;  // a character of a placeholder: never matched

// The current text folded into tokens: a character stands for itself, a
// maximal run of white space is one gap token, every character of a
// placeholder is a barrier. Names replaced since the last fold are recorded
// as claims and their tokens turned into barriers; the text itself is
// rebuilt only when needed.
struct Folded {
  std::u32string text;
  std::u32string tok;
  std::vector<size_t> at;   // token -> position in text
  std::vector<size_t> len;  // token -> characters it stands for
  struct Claim {
    size_t start, end, placeholder;
  };
  std::vector<Claim> claims;
  std::vector<std::u32string> placeholders;
  // Token positions of each character, built on demand when many names are
  // looked for, so that each name costs the occurrences of its first
  // character rather than a pass over the whole text. Claims only turn
  // tokens into barriers, so the lists stay valid until the next fold.
  std::unordered_map<char32_t, std::vector<size_t>> positions;
  bool indexed = false;

  const std::vector<size_t>* occurrences(char32_t c) {
    if (!indexed) {
      for (size_t i = 0; i < tok.size(); ++i) {
        if (tok[i] < kGap) positions[tok[i]].push_back(i);
      }
      indexed = true;
    }
    auto it = positions.find(c);
    return it == positions.end() ? nullptr : &it->second;
  }

  void fold() {
    positions.clear();
    indexed = false;
    tok.clear();
    at.clear();
    len.clear();
    auto push = [&](char32_t c, size_t pos, size_t n) {
      tok.push_back(c);
      at.push_back(pos);
      len.push_back(n);
    };
    MatchIterator it(*g_placeholder, text);
    Match m;
    size_t pos = 0;
    auto plain = [&](size_t end) {
      while (pos < end) {
        if (is_space(text[pos])) {
          size_t q = pos;
          while (q < end && is_space(text[q])) ++q;
          push(kGap, pos, q - pos);
          pos = q;
        } else {
          push(text[pos], pos, 1);
          ++pos;
        }
      }
    };
    while (it.next(m)) {
      plain(m.start());
      push(kBarrier, m.start(), m.end() - m.start());
      pos = m.end();
    }
    plain(text.size());
  }

  // Applies the claims to the text and folds it again.
  void materialize() {
    if (claims.empty()) return;
    std::sort(claims.begin(), claims.end(), [](const Claim& a, const Claim& b) { return a.start < b.start; });
    std::u32string out;
    out.reserve(text.size());
    size_t last = 0;
    for (const Claim& c : claims) {
      out.append(text, last, c.start - last);
      out.append(placeholders[c.placeholder]);
      last = c.end;
    }
    out.append(text, last, std::u32string::npos);
    text.swap(out);
    claims.clear();
    placeholders.clear();
    fold();
  }
};

// A name of the usual shape as tokens: its characters, and one gap token per
// run of spaces with the number of spaces (the least run length it matches).
struct NamePattern {
  std::u32string tok;
  std::vector<size_t> min_run;       // per token; 0 for characters
  std::vector<size_t> long_gaps;     // tokens whose gap needs more than one character
  std::vector<size_t> fail;          // prefix function
  bool word_start = false, word_end = false;

  // False when the name is not of the usual shape.
  bool build(U32View name) {
    if (name.empty() || is_space(name.front()) || is_space(name.back())) return false;
    for (char32_t c : name) {
      if (c == U' ') {
        if (!tok.empty() && tok.back() == kGap) {
          ++min_run.back();
        } else {
          tok.push_back(kGap);
          min_run.push_back(1);
        }
      } else {
        if (is_space(c)) return false;  // a literal tab, line break, no-break space...
        tok.push_back(c);
        min_run.push_back(0);
      }
    }
    for (size_t k = 0; k < tok.size(); ++k) {
      if (min_run[k] > 1) long_gaps.push_back(k);
    }
    word_start = is_word(name.front());
    word_end = is_word(name.back());
    fail.assign(tok.size(), 0);
    for (size_t k = 1, q = 0; k < tok.size(); ++k) {
      while (q > 0 && tok[k] != tok[q]) q = fail[q - 1];
      if (tok[k] == tok[q]) ++q;
      fail[k] = q;
    }
    return true;
  }
};

bool word_token(char32_t c) { return c < kGap && is_word(c); }

// Finds the matches of the name as `pattern.sub` would, left to right and
// without overlap, outside placeholders and earlier claims; claims them. A
// prefix-function (Knuth-Morris-Pratt) scan: linear in the text whatever the
// name, jumping to the next occurrence of the name's first character
// whenever nothing is matched so far.
void claim_matches(Folded& f, const NamePattern& p, size_t placeholder, bool use_index) {
  const size_t n = f.tok.size(), m = p.tok.size();
  const auto* base = reinterpret_cast<const wchar_t*>(f.tok.data());
  const auto first = static_cast<wchar_t>(p.tok[0]);
  const std::vector<size_t>* occ = use_index ? f.occurrences(p.tok[0]) : nullptr;
  if (use_index && !occ) return;
  size_t q = 0, next = 0;
  for (size_t i = 0; i < n; ++i) {
    if (q == 0) {
      if (occ) {
        while (next < occ->size() && (*occ)[next] < i) ++next;
        if (next == occ->size()) break;
        i = (*occ)[next];
      } else {
        const wchar_t* hit = std::wmemchr(base + i, first, n - i);
        if (!hit) break;
        i = static_cast<size_t>(hit - base);
      }
    }
    while (q > 0 && f.tok[i] != p.tok[q]) q = p.fail[q - 1];
    if (f.tok[i] == p.tok[q]) ++q;
    if (q < m) continue;
    const size_t s = i + 1 - m;
    bool ok = !(p.word_start && s > 0 && word_token(f.tok[s - 1])) &&
              !(p.word_end && i + 1 < n && word_token(f.tok[i + 1]));
    for (size_t k : p.long_gaps) {
      if (!ok) break;
      ok = f.len[s + k] >= p.min_run[k];
    }
    if (!ok) {
      q = p.fail[q - 1];
      continue;
    }
    f.claims.push_back({f.at[s], f.at[i] + f.len[i], placeholder});
    for (size_t k = s; k <= i; ++k) f.tok[k] = kBarrier;
    q = 0;
  }
}

// The pattern text of a name for Python's `re`: re.escape with every escaped
// space turned into \s+, and \b at an end that is a word character.
py::object python_pattern(py::object name, const Text& chars) {
  py::module_ re = py::module_::import("re");
  py::object escaped = re.attr("escape")(name).attr("replace")("\\ ", "\\s+");
  std::u32string prefix, suffix;
  if (is_word(chars[0])) prefix = UR"(\b)";
  if (is_word(chars[chars.size() - 1])) suffix = UR"(\b)";
  return re.attr("compile")(to_str(prefix) + escaped + to_str(suffix));
}

py::tuple apply(py::object, py::object anonymized, py::object entity_map, py::object missed) {
  require_str(anonymized, "apply", "anonymized");
  require_dict(entity_map, "apply", "entity_map");
  require_list(missed, "apply", "missed");
  if (PyList_GET_SIZE(missed.ptr()) == 0) return py::make_tuple(anonymized, entity_map);
  const std::vector<py::object> entries = items_of(missed);

  // The highest placeholder number per entity type.
  py::dict counters;
  for (const auto& [label, type_map] : snapshot_items(entity_map)) {
    if (!PyDict_Check(type_map.ptr())) {
      throw py::type_error("apply(): entity map values must be dict, not " + type_name(type_map));
    }
    for (const py::object& placeholder : items_of(type_map.attr("values")())) {
      if (!PyUnicode_Check(placeholder.ptr())) {
        throw py::type_error("apply(): entity map placeholders must be str, not " + type_name(placeholder));
      }
      Text ph(placeholder);
      Match match;
      if (!g_number->search(ph.view(), match)) continue;
      py::object number = py::int_(py::reinterpret_steal<py::object>(
          PyLong_FromUnicodeObject(to_str(ph.slice(match.start(1), match.end(1))).ptr(), 10)));
      if (contains(counters, label)) {
        py::object current = counters[label];
        int greater = PyObject_RichCompareBool(number.ptr(), current.ptr(), Py_GT);
        if (greater < 0) throw py::error_already_set();
        if (!greater) continue;
      }
      counters[label] = number;
    }
  }

  Folded f;
  {
    Text source(anonymized);
    f.text.assign(source.view());
  }
  f.fold();
  py::str text_key("text"), type_key("type");
  py::object replace_outside = mod_attr("_replace_outside_placeholders");
  for (const py::object& entry : entries) {
    py::object text = get_item(entry, text_key);
    py::object label = get_item(entry, type_key);
    if (!PyUnicode_Check(text.ptr())) {
      throw py::type_error("apply(): a missed entry's \"text\" must be str, not " + type_name(text));
    }
    if (PyUnicode_GET_LENGTH(text.ptr()) <= 2) continue;
    if (!PyUnicode_Check(label.ptr())) {
      throw py::type_error("apply(): a missed entry's \"type\" must be str, not " + type_name(label));
    }
    if (!contains(entity_map, label)) entity_map[label] = py::dict();
    py::object type_map = get_item(entity_map, label);
    if (!PyDict_Check(type_map.ptr())) {
      throw py::type_error("apply(): entity map values must be dict, not " + type_name(type_map));
    }
    if (contains(type_map, text)) continue;
    py::object number = py::int_(1);
    if (contains(counters, label)) {
      PyObject* next = PyNumber_Add(py::object(counters[label]).ptr(), number.ptr());
      if (!next) throw py::error_already_set();
      number = py::reinterpret_steal<py::object>(next);
    }
    counters[label] = number;
    py::str placeholder = py::str("[{}_{}]").format(label, number);
    type_map[text] = placeholder;

    Text chars(text), ph(placeholder);
    NamePattern pattern;
    Match whole;
    if (g_placeholder->fullmatch(ph.view(), whole) && pattern.build(chars.view())) {
      f.placeholders.emplace_back(ph.view());
      claim_matches(f, pattern, f.placeholders.size() - 1, entries.size() > kIndexFrom);
      continue;
    }
    // Any other shape, or a placeholder the text would not show as one:
    // the pattern itself through Python's `re`, on the text as it stands.
    f.materialize();
    py::object replacement = placeholder.attr("replace")("\\", "\\\\");
    py::str result = replace_outside(to_str(f.text), python_pattern(text, chars), replacement);
    Text r(result);
    f.text.assign(r.view());
    f.fold();
  }
  if (f.claims.empty() && f.text == U32View(Text(anonymized).view())) {
    return py::make_tuple(anonymized, entity_map);
  }
  f.materialize();
  return py::make_tuple(to_str(f.text), entity_map);
}

}  // namespace

PYBIND11_MODULE(review, m) {
  m.doc() =
      "Review of anonymized text by a small language model: names of persons and organizations the\n"
      "pipeline missed are found chunk by chunk and replaced by new numbered placeholders.";
  g_module = new py::module_(m);
  g_log = new ModuleLogger(m, "tarnis.slm.review");
  g_placeholder = new Regex(defaults::kPlaceholderPattern32);
  g_number = new Regex(kPlaceholderNumber);

  m.attr("OpenAI") = py::module_::import("openai").attr("OpenAI");
  py::object prompt = py::module_::import("tarnis.slm.prompts").attr("SLM_REVIEW_SYSTEM_PROMPT");
  m.attr("SLM_REVIEW_SYSTEM_PROMPT") = prompt;
  py::module_ processing = py::module_::import("tarnis.processing");
  for (const char* name : {"_get_nlp_ro", "_replace_outside_placeholders", "_strip_ro_diacritics"}) {
    m.attr(name) = processing.attr(name);
  }

  ClassBuilder(m, kClassName, py::tuple(), "Scan anonymized text for remaining PII that the pipeline missed.")
      .init(
          [](py::object self, py::object client, py::object model, py::object system_prompt,
             py::object max_chunk_tokens, py::object overlap_sentences, py::object max_tokens, py::object temperature,
             py::object top_p, py::object top_k, py::object presence_penalty, py::object extra_body,
             py::object max_retries, py::object log_dir) {
            init(self, client, model, system_prompt, max_chunk_tokens, overlap_sentences, max_tokens, temperature,
                 top_p, top_k, presence_penalty, extra_body, max_retries, log_dir);
          },
          "`client` is an openai.OpenAI client configured for the server, `model` the model asked.\n"
          "Chunks hold at most `max_chunk_tokens` whitespace-separated words (a longer sentence is a\n"
          "chunk of its own) and share `overlap_sentences` sentences; each chunk is tried\n"
          "`max_retries` times. The review log goes to `log_dir` (default the relative folder\n"
          "\"results\").",
          py::arg("client"), py::arg("model"), py::arg("system_prompt") = prompt,
          py::arg("max_chunk_tokens") = 2500, py::arg("overlap_sentences") = 2, py::arg("max_tokens") = 2048,
          py::arg("temperature") = 0.7, py::arg("top_p") = 0.8, py::arg("top_k") = 20,
          py::arg("presence_penalty") = 1.5, py::arg("extra_body") = py::none(), py::arg("max_retries") = 3,
          py::arg("log_dir") = py::none())
      .attr("unanswered_chunks",
            py::module_::import("builtins")
                .attr("property")(py::cpp_function(&unanswered_chunks, py::arg("self")), py::none(), py::none(),
                                  "The indices of the chunks (ascending) that got no usable answer in the last\n"
                                  "`scan`, after every attempt; [] before the first scan."))
      .attr("scanned_chunks",
            py::module_::import("builtins")
                .attr("property")(py::cpp_function(&scanned_chunks, py::arg("self")), py::none(), py::none(),
                                  "The number of chunks the last `scan` cut the text into; 0 before the first."))
      .method("scan", &scan,
              "Return the names of persons and organizations the model finds in the anonymized text, one\n"
              "dict {\"text\", \"type\"} per name, repeats across chunks removed. Never fails because of\n"
              "the model: a chunk without an answer after every attempt contributes nothing, and its\n"
              "index is listed in `unanswered_chunks` (ascending; [] when every chunk was answered).",
              py::arg("anonymized_text"))
      .method("apply", &apply,
              "Replace the missed names by new placeholders, numbered after the highest of their type in\n"
              "`entity_map`, everywhere outside existing placeholders (case-sensitive, any run of white\n"
              "space where the name has a space). Extends `entity_map` in place; returns (text, map).",
              py::arg("anonymized"), py::arg("entity_map"), py::arg("missed"))
      .method("_chunk_text", &chunk_text, "Split a text into chunks of whole sentences.", py::arg("text"))
      .method("_call_slm", &call_slm,
              "Ask the model about one chunk; its found names, or [] when every attempt failed.",
              py::arg("chunk"), py::arg("chunk_idx") = 0)
      .method("_repair_json", &repair, "Parse a model answer into a JSON object; ValueError when impossible.",
              py::arg("raw"))
      .method("_deduplicate", &deduplicate,
              "Keep the first of the names equal in lower case without Romanian diacritics, per type.",
              py::arg("entities"))
      .method("_log", &write_log, "Append one line to the review log; file-system errors are ignored.",
              py::arg("chunk_idx"), py::arg("attempt"), py::arg("status"), py::arg("raw_response"),
              py::arg("entities"))
      .finish();
}
