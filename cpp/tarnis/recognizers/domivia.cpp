// Romanian and Moldovan street addresses ("DOMIVIA"): a street-type word
// (strada, bulevardul, calea, ...), a street name and, depending on the
// pattern style, a house number, then optional building details, sector,
// city, county and postal code. Three styles are tried in turn: formal (the
// house number after "nr."), informal (a bare house number) and prefix-only
// (no number at all); the score starts from a base per style and rises with
// the details found in the matched text.
#include <pybind11/pybind11.h>

#include <array>
#include <string>

#include "core/checks.hpp"
#include "core/presidio.hpp"
#include "core/pyclass.hpp"
#include "core/regex.hpp"
#include "core/text.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

// Pattern fragments, joined by plain concatenation. Both the comma-below and
// the cedilla forms of s and t appear in the letter classes.
const std::u32string kStreetType =
    UR"((?:str\.\s*(?:calea|bulevardul|intrarea|drumul)?|strad[aă]|bd\.|bulevardul|calea|aleea|pia[tțţ]a|piata|[șşs]oseaua|[șşs]os\.|intrarea|splaiul|fund[aă]tura|drumul))";
const std::u32string kStreetName =
    UR"(\s+(?:[a-zăâîșşțţ\d](?:[a-zăâîșşțţ0-9.]*(?:-[a-zăâîșşțţ]+)*))(?:\s+(?:cel|si|și|de|din|la|lui|[a-zăâîșşțţ0-9](?:[a-zăâîșşțţ0-9.]*(?:-[a-zăâîșşțţ]+)*)?)){0,5})";
const std::u32string kFormalNumber = UR"((?:,?\s*nr\.\s*\d+[A-Za-z]?))";
const std::u32string kInformalNumber = UR"((?:\s+\d{1,4}[A-Za-z]?))";
const std::u32string kBuilding =
    UR"((?:,?\s*bl\.\s*[A-Za-z0-9]+)?(?:,?\s*sc\.\s*[A-Za-z0-9]+)?(?:,?\s*(?:et\.\s*\d+|parter))?(?:,?\s*ap\.\s*\d+[A-Za-z]?)?)";
const std::u32string kSector = UR"((?:,?\s*sector(?:ul)?\s*[1-6])?)";
// The city never begins with a street-type word: after "nr. 19, Bdul
// Magheru 31" a second address begins, which the next match takes whole.
// Nor is it the "MD" of a Moldovan postal code ("MD-2001"), which the postal
// code takes with its digits.
const std::u32string kCity =
    UR"((?:,?\s*(?!MD-?\d)(?!(?:str|strad[aă]|bd|b-?dul|bul|bulevardul|calea|aleea|pia[tțţ]a|p-?[tțţ]a|[șşs]oseaua|[șşs]os|intrarea|intr|splaiul|spl|fund[aă]tura|drumul)(?!\w))[a-zăâîșşțţ]+(?:[- ][a-zăâîșşțţ]+){0,1}\b(?!\.))?)";
const std::u32string kCounty = UR"((?:,?\s*jud\.\s*[a-zăâîșşțţ]+)?)";
const std::u32string kPostalCode = UR"((?:,?\s*(?:MD-?)?\d{4,6})?)";

// The street type as the native matcher runs it. In the plain form, "str."
// followed by a long run of white space lets `\s*` and the `\s+` that opens
// the street name share the run in every possible way, which is quadratic in
// the length of the run. Here the white space is taken in one piece: either
// all of it before one of the compound words, or all of it by the street
// name's `\s+`. Every other way of splitting the run leads to the same state
// as the second choice, and the two choices are tried in the same order as
// before, so the matches are identical.
const std::u32string kStreetTypeLinear =
    UR"((?:str\.(?:\s*+(?:calea|bulevardul|intrarea|drumul))?|strad[aă]|bd\.|bulevardul|calea|aleea|pia[tțţ]a|piata|[șşs]oseaua|[șşs]os\.|intrarea|splaiul|fund[aă]tura|drumul))";

// A street type never begins inside a word ("autostradă").
const std::u32string kWordStart = UR"((?<!\w))";

// Street-type abbreviations written without their dot (and a few forms that
// are always abbreviations). They begin an address only with a house number
// and a street name that starts with a capital letter or a digit, so that
// they are tried by the formal and informal patterns only. "al" and "cal"
// are also common words ("al Consiliului nr. 5", "cal"): those are taken only
// with a capital (Al, AL, Cal, CAL) and with the formal number.
const std::u32string kAbbreviation =
    UR"((?:str|bd|b-?dul\.?|bul|[șşs]os|p-?[tțţ]a|intr|spl))";
const std::u32string kCommonWordAbbreviation = UR"((?-i:A[lL]|C(?:al|AL)))";
const std::u32string kCapitalisedName = UR"((?=\s+(?-i:[A-ZĂÂÎȘŞȚŢ0-9])))";

// Scoring and rejection patterns; the three checks are case-sensitive.
const std::u32string kBuildingCheck = UR"(bl\.|sc\.|et\.|\bap\.|parter)";
const std::u32string kCityCheck = UR"([Ss]ector|,\s*[A-ZĂÂÎȘŞȚŢ][a-zăâîșşțţ]{2,})";
const std::u32string kPostalCheck = UR"((?:MD-?)?\d{4,6}\s*$)";
const std::u32string kNonStreetStarts =
    UR"(^(?:de|spre|prin|pe|cu|pentru|fără|fara|între|intre|sub|peste|din|conform|în|in)\b)";

// Where an address ends: a contact or identifier keyword ("telefon", "tel.",
// "e-mail", "CNP", "cont", "cod", "BIC", "card", ...) in any case and inflection, with the
// "nr. de" / "număr de" that may precede it. "cod poștal" belongs to the
// address.
const std::u32string kContactKeyword =
    UR"((?<!\w)(?:(?:nr\.?|num[aă]r(?:ul)?)\s+de\s+)?(?:tel(?:efon(?:ul|ului|ic|ice)?|efoane(?:le)?|efax)?|mobil(?:ul|ului)?|mob|fax(?:ul|ului)?|e-?mail(?:ul|ului|uri)?|mail|cnp(?:-?ul(?:ui)?)?|idnp(?:-?ul(?:ui)?)?|iban(?:-?ul(?:ui)?)?|cont(?:ul|ului|uri)?|cod(?:ul|ului)?(?!\s+po[sșş]tal)|cui|cif|contact(?:ul)?|bic|swift|card(?:ul|ului|uri)?)(?!\w))";
// A number right after one of these words is a year, a count or an hour
// ("din 2017", "de 17", "la ora 10"), not a house number.
const std::u32string kBeforeNonHouseNumber =
    UR"((?:de|din|la|în|in|pe|cu|până|pana|după|dupa|spre|peste|sub|între|intre|anul|anii|ora|orele|circa|cca\.?|aproximativ|și|si|sau))";
// A lower-case street-type word followed by one of these is a phrase
// ("piața a păstrat", "calea ferată", "drumul public", "intrarea în vigoare")
// or a road designation ("drumul DN 6", "drumul E 70").
const std::u32string kNotAStreetName =
    UR"(^(?:d[njc]\d*|e\d+|în|in|pe|spre|prin|cu|pentru|fără|fara|între|intre|sub|peste|din|conform|a|al|ale|ai|și|si|sau|ce|care|se|nu|e|este|era|va|vor|fi|fiind|o|un|una|unei|unui|său|sau|lor|județean|judetean|comunal|național|national|european|forestier|public|principal|vicinal|expres|ferat[aă])(?!\w))";
const std::u32string kFormalNumberCheck = UR"(nr\.\s*\d)";
// After a comma, a conjunction or a word of direction carries the sentence on
// ("str. S. Bărnuțiu, iar Alpha Bank", "Magheru din municipiul Oradea, înspre
// Piața", "str. Ciocârliei, intersecția Căii"): the address ends at the comma.
const std::u32string kClauseAfterComma =
    UR"(,\s*(?:iar|și|şi|si|dar|însă|insa|ci|sau|ori|unde|care|înspre|inspre|spre|către|catre|intersec[tțţ]ia|l[aâ]ng[aă]|vizavi)(?!\w))";

// Phone and account numbers have seven digits or more; house, block, flat and
// postal numbers fewer.
constexpr size_t kLongNumberDigits = 7;

constexpr int kAddressFlags = reflag::IGNORECASE | reflag::UNICODE;

inline bool is_digit(char32_t c) { return Py_UNICODE_ISDECIMAL(c) != 0; }
inline bool is_number_separator(char32_t c) { return c == U' ' || c == U'.' || c == U'-' || c == U'/'; }

const char* const kStyles[3] = {"formal", "informal", "prefix_only"};

std::u32string tail() { return kBuilding + kSector + kCity + kCounty + kPostalCode; }

// The three address patterns, in style order, from a given street-type
// fragment: the formal pattern also takes every abbreviation without its dot,
// the informal one those that are not common words, the prefix-only one none.
std::array<std::u32string, 3> assemble(const std::u32string& street_type) {
  const std::u32string formal_type = kWordStart + UR"((?:)" + street_type + U"|" + kAbbreviation +
                                     kCapitalisedName + U"|" + kCommonWordAbbreviation + kCapitalisedName + U")";
  const std::u32string informal_type =
      kWordStart + UR"((?:)" + street_type + U"|" + kAbbreviation + kCapitalisedName + U")";
  return {formal_type + kStreetName + kFormalNumber + tail(),
          informal_type + kStreetName + kInformalNumber + tail(),
          kWordStart + street_type + kStreetName + tail()};
}

struct Native {
  std::array<std::u32string, 3> texts;          // pattern texts as `_compile_patterns` builds them
  std::array<const Regex*, 3> address{};        // linear forms, same matches
  std::array<py::object*, 3> default_compiled{};  // the `re` objects of `texts`
  const Regex* building = nullptr;
  const Regex* city = nullptr;
  const Regex* postal = nullptr;
  const Regex* non_street = nullptr;
  const Regex* contact = nullptr;
  const Regex* before_non_house = nullptr;
  const Regex* not_a_street_name = nullptr;
  const Regex* formal_number = nullptr;
  const Regex* clause_after_comma = nullptr;
  py::object* non_street_py = nullptr;    // the module's `_NON_STREET_STARTS` at import
  py::object* compute_score_fn = nullptr;  // the class's own `_compute_score`
  py::object* re_pattern_type = nullptr;
};

Native g;

struct Scores {
  double base, prefix_base, building, city, postal, informal_penalty, max;
};

Scores read_scores(py::handle self) {
  return {float_attr(self, "BASE_SCORE"),     float_attr(self, "PREFIX_ONLY_BASE_SCORE"),
          float_attr(self, "BUILDING_BONUS"), float_attr(self, "CITY_BONUS"),
          float_attr(self, "POSTAL_BONUS"),   float_attr(self, "INFORMAL_PENALTY"),
          float_attr(self, "MAX_SCORE")};
}

enum class Style { Other, Informal, PrefixOnly };

Style style_of(py::handle style) {
  if (!PyUnicode_Check(style.ptr())) return Style::Other;
  if (PyUnicode_CompareWithASCIIString(style.ptr(), "prefix_only") == 0) return Style::PrefixOnly;
  if (PyUnicode_CompareWithASCIIString(style.ptr(), "informal") == 0) return Style::Informal;
  return Style::Other;
}

// Operations in this order, so that the floating-point result is the same
// as adding the bonuses one by one to the base.
double compute_score(const Scores& s, U32View match_text, Style style) {
  double score = style == Style::PrefixOnly ? s.prefix_base : s.base;
  if (style == Style::Informal) score = score - s.informal_penalty;
  Match m;
  if (g.building->search(match_text, m)) score = score + s.building;
  if (g.city->search(match_text, m)) score = score + s.city;
  if (g.postal->search(match_text, m)) score = score + s.postal;
  return s.max < score ? s.max : score;
}

// The native pattern that matches exactly like `pattern`, or nullptr when
// `pattern` is not one of the three default address patterns.
const Regex* native_for(py::handle pattern) {
  for (size_t i = 0; i < 3; ++i) {
    if (pattern.is(*g.default_compiled[i])) return g.address[i];
  }
  if (!py::isinstance(pattern, *g.re_pattern_type)) return nullptr;
  py::object text = pattern.attr("pattern");
  if (!PyUnicode_Check(text.ptr())) return nullptr;
  if (pattern.attr("flags").cast<long>() != kAddressFlags) return nullptr;
  Text t(text);
  for (size_t i = 0; i < 3; ++i) {
    if (t.view() == U32View(g.texts[i])) return g.address[i];
  }
  return nullptr;
}

// The second white-space separated word of `s`, if there is one.
bool second_word(U32View s, U32View& word) {
  size_t i = 0;
  const size_t n = s.size();
  auto skip_space = [&] { while (i < n && is_space(s[i])) ++i; };
  auto skip_word = [&] { while (i < n && !is_space(s[i])) ++i; };
  skip_space();
  if (i == n) return false;
  skip_word();
  skip_space();
  if (i == n) return false;
  const size_t start = i;
  skip_word();
  word = s.substr(start, i - start);
  return true;
}

class Analysis {
 public:
  Analysis(py::module_ m, py::object self, py::object text)
      : m_(std::move(m)), self_(std::move(self)), text_obj_(std::move(text)), text_(text_obj_) {
    py::object cls = py::type::of(self_);
    py::object compute_fn = cls.attr("_compute_score");
    native_score_ = compute_fn.is(*g.compute_score_fn);
    if (native_score_) scores_ = read_scores(self_);
    else compute_ = self_.attr("_compute_score");
    non_street_ = m_.attr("_NON_STREET_STARTS");
    native_non_street_ = non_street_.is(*g.non_street_py);
    name_ = self_.attr("name");
  }

  py::list run() {
    py::object patterns = self_.attr("_patterns");
    for (py::handle pair : patterns) {
      if (!(PyTuple_Check(pair.ptr()) || PyList_Check(pair.ptr())) || py::len(pair) != 2) {
        throw py::type_error("_patterns must hold (style, pattern) pairs");
      }
      py::sequence seq = py::reinterpret_borrow<py::sequence>(pair);
      py::object style = seq[0];
      py::object pattern = seq[1];
      style_ = style;
      kind_ = style_of(style);
      explanation_text_ = py::str("Matched Romanian address pattern ({})").format(style);
      if (const Regex* native = native_for(pattern)) {
        MatchIterator it(*native, text_.view());
        Match mt;
        while (it.next(mt)) add(mt.start(), mt.end());
      } else {
        const size_t n = text_.size();
        for (py::handle found : pattern.attr("finditer")(text_obj_)) {
          py::tuple span = found.attr("span")();
          const Py_ssize_t s = index_value(span[0]);
          const Py_ssize_t e = index_value(span[1]);
          if (s < 0 || e < s || static_cast<size_t>(e) > n) {
            throw py::value_error("address pattern returned a span outside the text");
          }
          add(static_cast<size_t>(s), static_cast<size_t>(e));
        }
      }
    }
    return results_;
  }

 private:
  void add(size_t start, size_t end) {
    U32View whole = text_.slice(start, end);
    size_t lead = 0;
    while (lead < whole.size() && is_space(whole[lead])) ++lead;
    U32View matched = strip(whole);
    const size_t cut = address_length(start + lead, matched.size());
    if (cut < matched.size()) {
      matched = matched.substr(0, cut);
      // What the cut took away may have been the house number itself.
      Match m;
      if (kind_ != Style::PrefixOnly && !g.formal_number->search(matched, m) &&
          (kind_ != Style::Informal || !has_number_word(matched))) {
        return;
      }
    }
    matched = matched.substr(0, without_trailing_common_words(matched));
    const size_t min_len = kind_ == Style::PrefixOnly ? 15 : 10;
    if (matched.size() < min_len) return;
    if (kind_ == Style::PrefixOnly && starts_with_preposition(matched)) return;
    if (!street_name_follows(matched)) return;
    if (kind_ == Style::Informal && number_after_function_word(matched)) return;

    py::object score;
    if (native_score_) score = py::float_(compute_score(scores_, matched, kind_));
    else score = compute_(to_str(matched), style_);

    // Leading white space (possible only with patterns other than the
    // defaults) is skipped too, so the span always covers the text scored.
    const size_t s = start + lead;
    results_.append(factory_.make(entity_type_, s, s + matched.size(), score, name_, explanation_text_));
  }

  // The length of the address that begins at `s` and was matched over `len`
  // characters: it ends before a contact or identifier keyword and before a
  // number of seven digits or more (a phone, an account), read in the whole
  // text so that a match ending inside such a number is caught too. Separators
  // left at the new end are trimmed.
  size_t address_length(size_t s, size_t len) const {
    U32View matched = text_.slice(s, s + len);
    size_t cut = len;
    Match m;
    if (g.contact->search(matched, m, 1)) cut = m.start();
    if (g.clause_after_comma->search(matched.substr(0, cut), m)) cut = m.start();
    cut = std::min(cut, sentence_end(matched.substr(0, cut)));
    const size_t n = text_.size();
    for (size_t i = 1; i < cut; ++i) {
      const size_t p = s + i;
      if (!is_digit(text_[p]) || is_digit(text_[p - 1])) continue;
      // The digit groups joined by single separators from here on.
      size_t j = p, digits = 0, first_end = 0, groups = 0;
      while (true) {
        while (j < n && is_digit(text_[j])) ++j, ++digits;
        if (++groups == 1) first_end = j;
        if (j + 1 < n && is_number_separator(text_[j]) && is_digit(text_[j + 1])) ++j;
        else break;
      }
      if (digits < kLongNumberDigits) continue;
      // A short house number followed by a space and then a phone number
      // ("12 0722123456") stays; a leading zero or plus marks the phone. A
      // number that comes after the house number with only white space
      // between ("nr. 86\n5184 1077 9447 6226", a card) is no house number.
      const size_t first = first_end - p;
      size_t before = i;
      while (before > 0 && is_space(text_[s + before - 1])) --before;
      const bool after_number = before < i && before > 0 && is_digit(text_[s + before - 1]);
      if (groups > 1 && first <= 4 && text_[p] != U'0' && text_[first_end] == U' ' && !after_number &&
          digits - first >= kLongNumberDigits) {
        cut = first_end - s;
        break;
      }
      size_t at = i;
      if (at > 0 && (text_[s + at - 1] == U'+' || text_[s + at - 1] == U'(')) --at;
      cut = at;
      break;
    }
    if (cut == len) return len;
    while (cut > 0) {
      const char32_t c = matched[cut - 1];
      if (is_space(c) || c == U',' || c == U';' || c == U':' || c == U'-' || c == U'/' || c == U'(' ||
          c == U'\u2013' || c == U'\u2014' || (c == U'.' && cut >= 2 && is_digit(matched[cut - 2]))) {
        --cut;
      } else if (cut >= 2 && (matched[cut - 1] == U'r' || matched[cut - 1] == U'R') &&
                 (matched[cut - 2] == U'n' || matched[cut - 2] == U'N') && (cut == 2 || is_space(matched[cut - 3]))) {
        cut -= 2;  // a house-number mark left without its number
      } else if (cut >= 3 && c == U'.' && (matched[cut - 2] == U'r' || matched[cut - 2] == U'R') &&
                 (matched[cut - 3] == U'n' || matched[cut - 3] == U'N') && (cut == 3 || is_space(matched[cut - 4]))) {
        cut -= 3;
      } else {
        break;
      }
    }
    return cut;
  }

  // Where the address runs into the next sentence or word: a full stop after
  // a word of six letters or more (not an abbreviation such as "Str.",
  // "Prof.", "Episc.") at the end of the match or before a capital ("Calea
  // Șagului. Informații", "Bd. Mihai Viteazul."), or a capital glued to a
  // lower-case letter ("Piața VictorieiEXCLUSIV"). `m.size()` when neither.
  static size_t sentence_end(U32View m) {
    const size_t n = m.size();
    for (size_t i = 1; i < n; ++i) {
      if (is_upper(m[i]) && Py_UNICODE_ISLOWER(m[i - 1])) return i;
      if (m[i] != U'.') continue;
      size_t letters = 0;
      while (letters < i && is_alpha(m[i - 1 - letters])) ++letters;
      if (letters < 6 || (letters < i && m[i - 1 - letters] == U'.')) continue;
      size_t j = i + 1;
      if (j < n && !is_space(m[j])) continue;
      while (j < n && is_space(m[j])) ++j;
      if (j == n || is_upper(m[j])) return i;
    }
    return n;
  }

  // The street name, and the city after the house number, run on into the
  // words of the sentence ("Piața Victoriei, se va", "nr. 5 și în"): the
  // length without the lower-case words at its end (and the separators before
  // them). "parter" and the county after "jud." are address details and stay.
  static size_t without_trailing_common_words(U32View m) {
    auto separator = [](char32_t c) {
      return is_space(c) || c == U',' || c == U';' || c == U':' || c == U'(' || c == U'-' || c == U'\u2013' ||
             c == U'\u2014';
    };
    size_t end = m.size();
    while (true) {
      size_t e = end;
      while (e > 0 && separator(m[e - 1])) --e;
      size_t b = e;
      while (b > 0 && !is_space(m[b - 1])) --b;
      if (b == 0) break;
      const U32View w = m.substr(b, e - b);
      if (!is_alpha(w[0]) || is_upper(w[0]) || w == U32View(U"parter")) break;
      if (b >= 5 && is_space(m[b - 1]) && (m[b - 5] == U'j' || m[b - 5] == U'J') &&
          (m[b - 4] == U'u' || m[b - 4] == U'U') && (m[b - 3] == U'd' || m[b - 3] == U'D') && m[b - 2] == U'.' &&
          (b == 5 || is_space(m[b - 6]))) {
        break;
      }
      bool letters = true;
      for (char32_t c : w) letters = letters && (is_alpha(c) || c == U'-');
      if (!letters) break;
      end = b;
      while (end > 0 && separator(m[end - 1])) --end;
    }
    return end;
  }

  // Some word after the first one begins with a digit.
  static bool has_number_word(U32View matched) {
    for (size_t i = 1; i < matched.size(); ++i) {
      if (is_digit(matched[i]) && is_space(matched[i - 1])) return true;
    }
    return false;
  }

  // A street-type word written in full and in lower case ("piața", "calea",
  // "drumul") is a common noun more often than a street: it begins an address
  // only when a street name and a house number follow. Abbreviations and
  // capitalised words are taken as they are.
  bool street_name_follows(U32View matched) const {
    size_t first_end = 0;
    while (first_end < matched.size() && !is_space(matched[first_end])) ++first_end;
    const U32View first = matched.substr(0, first_end);
    if (first.empty() || !is_alpha(first[0]) || is_upper(first[0])) return true;
    if (first.find(U'.') != U32View::npos) return true;
    if (kind_ == Style::PrefixOnly) return false;
    U32View word;
    if (!second_word(matched, word)) return false;
    Match m;
    return !g.not_a_street_name->match(word, m);
  }

  // The informal house number comes right after a word such as "din", "de"
  // or "ora": a year, an age or an hour.
  static bool number_after_function_word(U32View matched) {
    size_t prev_start = U32View::npos, prev_end = 0, i = 0;
    const size_t n = matched.size();
    while (i < n) {
      while (i < n && is_space(matched[i])) ++i;
      const size_t start = i;
      while (i < n && !is_space(matched[i])) ++i;
      if (start == i) break;
      if (prev_start != U32View::npos && is_digit(matched[start])) {
        Match m;
        if (g.before_non_house->fullmatch(matched.substr(prev_start, prev_end - prev_start), m)) return true;
      }
      prev_start = start;
      prev_end = i;
    }
    return false;
  }

  // A street-type word followed by a preposition ("strada de la ...") is a
  // phrase, not an address.
  bool starts_with_preposition(U32View matched) const {
    U32View word;
    if (!second_word(matched, word)) return false;
    if (native_non_street_) {
      Match m;
      return g.non_street->match(word, m);
    }
    return py::bool_(non_street_.attr("match")(to_str(word)));
  }

  py::module_ m_;
  py::object self_;
  py::object text_obj_;
  Text text_;
  bool native_score_ = true;
  Scores scores_{};
  py::object compute_;
  py::object non_street_;
  bool native_non_street_ = true;
  py::object name_;
  ResultFactory factory_{m_};
  py::str entity_type_{"DOMIVIA"};
  py::object style_;
  Style kind_ = Style::Other;
  py::object explanation_text_;
  py::list results_;
};

py::list compile_patterns(py::module_ m) {
  py::object compile = m.attr("re").attr("compile");
  py::object flags = py::int_(kAddressFlags);
  py::list out;
  for (size_t i = 0; i < 3; ++i) out.append(py::make_tuple(kStyles[i], compile(to_str(g.texts[i]), flags)));
  return out;
}

}  // namespace

PYBIND11_MODULE(domivia, m) {
  m.doc() = "Recognizer for Romanian and Moldovan street addresses (entity type DOMIVIA).";
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  m.attr("re") = re;
  m.attr("AnalysisExplanation") = presidio.attr("AnalysisExplanation");
  m.attr("EntityRecognizer") = presidio.attr("EntityRecognizer");
  m.attr("RecognizerResult") = presidio.attr("RecognizerResult");

  m.attr("_STREET_TYPE") = to_str(kStreetType);
  m.attr("_STREET_NAME") = to_str(kStreetName);
  m.attr("_FORMAL_NUMBER") = to_str(kFormalNumber);
  m.attr("_INFORMAL_NUMBER") = to_str(kInformalNumber);
  m.attr("_BUILDING") = to_str(kBuilding);
  m.attr("_SECTOR") = to_str(kSector);
  m.attr("_CITY") = to_str(kCity);
  m.attr("_COUNTY") = to_str(kCounty);
  m.attr("_POSTAL_CODE") = to_str(kPostalCode);
  m.attr("_STREET_TYPE_LINEAR") = to_str(kStreetTypeLinear);
  m.attr("_ADDRESS_FLAGS") = py::int_(kAddressFlags);

  py::object compile = re.attr("compile");
  g.texts = assemble(kStreetType);
  const std::array<std::u32string, 3> linear = assemble(kStreetTypeLinear);
  py::list defaults, natives;
  for (size_t i = 0; i < 3; ++i) {
    py::object compiled = compile(to_str(g.texts[i]), kAddressFlags);
    g.default_compiled[i] = new py::object(compiled);
    g.address[i] = new Regex(linear[i], kAddressFlags);
    defaults.append(py::make_tuple(kStyles[i], compiled));
    natives.append(py::make_tuple(kStyles[i], compile(to_str(linear[i]), kAddressFlags)));
  }
  // The default (style, pattern) pairs, and the forms the native matcher runs
  // for them (same matches, linear time).
  m.attr("_DEFAULT_PATTERNS") = defaults;
  m.attr("_NATIVE_PATTERNS") = natives;

  m.attr("_BUILDING_CHECK") = compile(to_str(kBuildingCheck));
  m.attr("_CITY_CHECK") = compile(to_str(kCityCheck));
  m.attr("_POSTAL_CHECK") = compile(to_str(kPostalCheck));
  m.attr("_NON_STREET_STARTS") = compile(to_str(kNonStreetStarts), kAddressFlags);
  g.building = new Regex(kBuildingCheck);
  g.city = new Regex(kCityCheck);
  g.postal = new Regex(kPostalCheck);
  g.non_street = new Regex(kNonStreetStarts, kAddressFlags);
  g.contact = new Regex(kContactKeyword, kAddressFlags);
  g.before_non_house = new Regex(kBeforeNonHouseNumber, kAddressFlags);
  g.not_a_street_name = new Regex(kNotAStreetName, kAddressFlags);
  g.formal_number = new Regex(kFormalNumberCheck, kAddressFlags);
  g.clause_after_comma = new Regex(kClauseAfterComma, kAddressFlags);
  m.attr("_CLAUSE_AFTER_COMMA") = compile(to_str(kClauseAfterComma), kAddressFlags);
  m.attr("_CONTACT_KEYWORD") = compile(to_str(kContactKeyword), kAddressFlags);
  m.attr("_NOT_A_STREET_NAME") = compile(to_str(kNotAStreetName), kAddressFlags);
  m.attr("_BEFORE_NON_HOUSE_NUMBER") = compile(to_str(kBeforeNonHouseNumber), kAddressFlags);
  g.non_street_py = new py::object(m.attr("_NON_STREET_STARTS"));
  g.re_pattern_type = new py::object(re.attr("Pattern"));

  py::object cls =
      ClassBuilder(m, "RomanianStreetAddressRecognizer", py::make_tuple(m.attr("EntityRecognizer")),
                   "Detects Romanian and Moldovan street addresses (entity type DOMIVIA) in three pattern\n"
                   "styles: formal (\"nr.\" before the house number), informal (bare house number) and\n"
                   "prefix-only (no number). Scores rise with building details, sector or city, and a\n"
                   "postal code.")
          .attr("BASE_SCORE", py::float_(0.65))
          .attr("PREFIX_ONLY_BASE_SCORE", py::float_(0.5))
          .attr("BUILDING_BONUS", py::float_(0.1))
          .attr("CITY_BONUS", py::float_(0.05))
          .attr("POSTAL_BONUS", py::float_(0.05))
          .attr("INFORMAL_PENALTY", py::float_(0.05))
          .attr("MAX_SCORE", py::float_(0.85))
          .init(
              [m](py::object self, py::object supported_language, py::object supported_entities) {
                require_str(supported_language, "RomanianStreetAddressRecognizer", "supported_language");
                require_list_or_none(supported_entities, "RomanianStreetAddressRecognizer", "supported_entities");
                py::object entities = supported_entities;
                if (entities.is_none() || py::len(entities) == 0) {
                  py::list fallback;
                  fallback.append("DOMIVIA");
                  entities = fallback;
                }
                self.attr("_patterns") = self.attr("_compile_patterns")();
                m.attr("EntityRecognizer")
                    .attr("__init__")(self, py::arg("supported_entities") = entities,
                                      py::arg("supported_language") = supported_language,
                                      py::arg("name") = "RomanianStreetAddressRecognizer");
              },
              "Recognizer for entity type DOMIVIA; `supported_entities` defaults to [\"DOMIVIA\"].",
              py::arg("supported_language") = "ro", py::arg("supported_entities") = py::none())
          .method(
              "load", [](py::object) {}, "Nothing to load: the patterns are compiled at import.")
          .method(
              "_compile_patterns", [m](py::object) { return compile_patterns(m); },
              "The (style, compiled pattern) pairs, in the order formal, informal, prefix_only.")
          .method(
              "_compute_score",
              [](py::object self, py::object match_text, py::object style) {
                require_str(match_text, "_compute_score", "match_text");
                require_str(style, "_compute_score", "style");
                Text t(match_text);
                return py::float_(compute_score(read_scores(self), t.view(), style_of(style)));
              },
              "Base score of the style (less the informal penalty), plus the building, city and\n"
              "postal bonuses found in `match_text`, capped at MAX_SCORE.",
              py::arg("match_text"), py::arg("style"))
          .method(
              "analyze",
              [m](py::object self, py::object text, py::object, py::object) {
                require_str(text, "analyze", "text");
                return Analysis(m, self, text).run();
              },
              "Find street addresses in `text`: formal matches first, then informal, then\n"
              "prefix-only, each in text order; one address may be reported by several styles.\n"
              "`entities` and `nlp_artifacts` are accepted for the Presidio interface and not consulted.",
              py::arg("text"), py::arg("entities"), py::arg("nlp_artifacts") = py::none())
          .finish();
  g.compute_score_fn = new py::object(cls.attr("_compute_score"));
}
