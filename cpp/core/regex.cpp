// Compilation and matching: the pattern parsed and translated (regex_parse.cpp,
// regex_emit.cpp), compiled by PCRE2 with JIT, and matched with Python's
// semantics for search, match, fullmatch, finditer, sub and split.
#include "core/regex.hpp"

#include <pcre2.h>

#include <algorithm>
#include <limits>

#include "core/regex_impl.hpp"

namespace tarnis::core {

namespace {

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
  regex_impl::NodePtr root = regex_impl::parse(pattern_, flags, cls, groups_);
  translated_ = regex_impl::emit(*root, cls.word);

  int err = 0;
  PCRE2_SIZE offset = 0;
  // PCRE2's own nesting limit (250 by default) is raised to cover every
  // pattern the parser accepts, translated groups included.
  static pcre2_compile_context* context = [] {
    pcre2_compile_context* c = pcre2_compile_context_create(nullptr);
    if (c) pcre2_set_parens_nest_limit(c, 4 * regex_impl::kMaxNesting + 16);
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
