// Reference codes and identifiers that can point to a person or a case
// (entity type CODE): structured alphanumeric references, serial and document
// numbers after a keyword, ticket numbers, vehicle registration plates, court
// dossier numbers, MAC addresses, upper-case identifiers with underscores,
// flight-like codes and other short letter-digit codes.
//
// The recognizer is a plain Presidio PatternRecognizer: this module supplies
// the pattern table and the flags, and matching, scoring and result building
// are the base class's (Presidio matches with the `regex` module).
#include <pybind11/pybind11.h>

#include <string>

#include "core/checks.hpp"
#include "core/pyclass.hpp"

namespace py = pybind11;
using namespace tarnis::core;

namespace {

struct Entry {
  const char* name;
  double score;
  std::string regex;
};

// --- code_structured --------------------------------------------------------
//
// A token of 9 to 32 characters from [A-Z0-9/.-], not a date, a year range, a
// number/year or a grouped number, such that the run of such characters that
// starts there holds a digit and a run of three letters or digits.
//
// That last condition, written plainly as
//   (?=[A-Z0-9/.\-]*[A-Z0-9]{3}[A-Z0-9/.\-]*\d|[A-Z0-9/.\-]*\d[A-Z0-9/.\-]*[A-Z0-9]{3})
// tries every split of the run and costs the cube of its length at every word
// start inside it (seconds for a few kilobytes of "AAAAAAAAAA-AAAAAAAAAA-...").
// It is a yes/no test, so it is written here as an equivalent one that
// settles each alternative with one forward pass:
//  - three letters or digits, then later a digit: take the first such triple
//    (any later digit follows it as well), then look for a digit after it;
//  - an ASCII digit inside the run, then later a triple: take the first ASCII
//    digit, then look for a triple after it;
//  - a digit from another script right after the run (it ends the run, so
//    only there can it be the digit), then a triple in the run that follows.
const std::string kStructuredHead =
    R"((?!\d{2}[./]\d{2}[./]\d{4})(?!\d{4}-\d{2}-\d{2})(?!(?:19[4-9]\d|20\d{2})[-\u2013](?:(?:19|20)\d{2}|PREZENT)\b)(?!\d{4}/[A-Z]+\b)\b(?!\d{1,8}[/]\d{4}\b)(?!\d{1,2}-\d{1,2}[./]\d{2}[./]\d{4})(?!\d{2}[.]\d{4}-\d{2}[.]\d{2}[.]\d{4})(?!(?:19|20)\d{2}-\d{2}[./]\d{2}[./]\d{4})(?!\d{1,3}(?:[.]\d{3})+(?:-\d{1,3}(?:[.]\d{3})+)?(?!\d))(?!\d{2,3}-\d{1,3}(?:[.]\d{3})+)(?=[A-Z0-9][A-Z0-9/.\-]{7,30}[A-Z0-9]\b))";
const std::string kRunChar = R"([A-Z0-9/.\-])";
const std::string kStructuredRunTest =
    "(?=(?>" + kRunChar + "*?[A-Z0-9]{3})" + kRunChar + R"(*?\d)" +
    R"(|(?>[A-Z/.\-]*+[0-9]))" + kRunChar + "*?[A-Z0-9]{3}" +
    "|" + kRunChar + R"(*+\d)" + kRunChar + "*?[A-Z0-9]{3})";
// Once the checks of kStructuredHead hold at a position, the token that
// follows always matches (the end at a word boundary that the last look-ahead
// found is never followed by a digit), so a failed search there means that
// its run holds no digit-and-triple. A later start in the same run sees a
// part of that run and fails as well: it is skipped when an earlier position
// of the run, not before the point where this search began (\G), passed the
// same checks. Without this, a long run without the digit-and-triple is read
// to its end from every word start in it.
const std::string kStructuredSkip = "(?<!" + kStructuredHead + "(?:" + kRunChar + R"((?!\G))+?))";
const std::string kStructuredToken = R"(([A-Z0-9][A-Z0-9/.\-]{7,30}[A-Z0-9])(?!\d)\b)";

// --- code_spaced ------------------------------------------------------------
//
// Two or more tokens (optional capitals, a digit, two or more capitals or
// digits) separated by single white-space characters; not preceded by a digit
// or by a digit and a space, not followed by a digit or by a space and a
// digit. Plainly:
//   (?<!\d)(?<!\d )(?:[A-Z]*\d[A-Z0-9]{2,})(?:\s(?:[A-Z]*\d[A-Z0-9]{2,}))+(?!\d)(?! \d)
// That form is quadratic twice over: a search starts at every capital of a
// long run of capitals and reads to the end of the run, and a chain of
// tokens that ends badly ("123 456 ... 789 5") is unwound one token at a time
// with the end tests repeated at each. The form below finds the same matches:
//
// 1. Start positions that an earlier start has already covered are skipped.
//    A search from s succeeds only if one from such an earlier start c would
//    have succeeded with the same first token end, and c was tried first and
//    failed. Covered are: s after a capital at a valid start (same letters
//    and digit ahead); s after a valid start in the same run of capitals and
//    digits when the digit ahead of s is ASCII (the earlier token reads
//    through to the same end); s inside the second token of a chain whose
//    first token begins at a valid start (the earlier search reaches s
//    through the chain). The position where the search resumed after the
//    previous match (\G) is never skipped: the start that covers it may lie
//    inside that match and was never tried on its own.
// 2. The match ends at the rightmost position of the chain where the end
//    tests hold. Instead of reading the whole chain and unwinding, the chain
//    is read lazily and an end is taken when no valid end follows it: inside
//    the same token (a later capital, or the token's end), or in a later
//    token of the chain. Each such look ahead stops at the next valid end.
const std::string kNoDigitBefore = R"((?<!\d)(?<!\d ))";
const std::string kToken = R"([A-Z]*\d[A-Z0-9]{2,})";
const std::string kTokenFull = R"([A-Z]*+\d[A-Z0-9]{2,}+)";
const std::string kEndTest = R"((?!\d)(?! \d))";
const std::string kSpacedSkip =
    R"((?:\G|)"
    "(?<!" + kNoDigitBefore + "[A-Z])" +
    "(?!(?<=" + kNoDigitBefore + "[A-Z0-9]+?)[A-Z]*+[0-9])" +
    "(?<!" + kNoDigitBefore + kToken + R"(\s[A-Z]*))" +
    "(?![A-Z]*+[0-9](?<=" + kNoDigitBefore + kToken + R"(\s[A-Z0-9]*)))" +
    ")";
const std::string kLaterValidEnd =
    R"([A-Z0-9][0-9]*+[A-Z])"
    "|[A-Z0-9]++" + kEndTest +
    "|[A-Z0-9]*+(?:\\s" + kTokenFull + R"()*?\s[A-Z]*+\d(?:[A-Z0-9]{2}[0-9]*+[A-Z]|[A-Z0-9]{2,}+)" + kEndTest + ")";
const std::string kSpaced = kNoDigitBefore + kSpacedSkip + kTokenFull + R"((?:\s[A-Z]*+\d[A-Z0-9]{2,})+?)" +
                            kEndTest + "(?!" + kLaterValidEnd + ")";

const Entry kTable[] = {
    {"code_structured", 0.6, kStructuredHead + kStructuredSkip + kStructuredRunTest + kStructuredToken},
    {"code_spaced", 0.45, kSpaced},
    {"code_ambiguous", 0.3,
     R"(\b(?:[A-Z]{1,5}-\d{3,6}\b|\d{1,8}/\d{4}\b|[A-Z]\d{2,4}/\d{4}\b|[A-Z]{1,3}\d{3,5}\b|(?!(?:DE|LA|AN|PE|IN|UE|HW|VS|I|II|III|IV|V|VI|VII|VIII|IX)\s)[A-Z]{1,2}\s\d{3,4}(?!\.\d)\b|\d{4,6}-[A-Z]{1,3}\b))"},
    {"code_hash", 0.3, R"((?<!\w)#\d{4,8}\b)"},
    {"code_serial", 0.3,
     R"(\b(?:[A-ZȘȚÂÎĂŞŢ]{1,4}\s+(?:seria|nr\.?|CF|parafa|parafă)\s+\d{4,9}(?!/)|(?:seria|nr\.?|CF|parafa|parafă)\s+[A-Z]{1,2}\s+\d{4,7}|(?:seria|nr\.?|CF|parafa|parafă)\s+\d{4,9}(?!/)|(?<=cadastral\s)\d{4,9}\b|TICKET\s*#\d{4,8})\b)"},
    {"code_plate", 0.6,
     R"(\b(?:(?:AB|AG|AR|BC|BH|BN|BR|BT|BV|BZ|CJ|CL|CS|CT|CV|DB|DJ|GJ|GL|GR|HD|HR|IF|IL|IS|MH|MM|MS|NT|OT|PH|SB|SJ|SM|SN|SV|TL|TM|TR|VL|VN|VS)\s+\d{2,3}\s+(?!RON|EUR|USD|MDL|GBP|LEI)[A-Z]{3}|B\s+\d{2,3}\s+(?!RON|EUR|USD|MDL|GBP|LEI)[A-Z]{3}|B-\d{3}-[A-Z]{3}|C\s+[A-Z]{2}\s+\d{3})\b)"},
    {"code_court_dossier", 0.6, R"(\b\d{4}/[A-Z]{1,3}[-/]\d{4,6}\b)"},
    {"code_mac", 0.7, R"(\b[0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2}){5}\b)"},
    {"code_underscore", 0.6, R"(\b(?=[A-Z0-9_]*\d)[A-Z][A-Z0-9]*(?:_[A-Z0-9]+){2,}\b)"},
    {"code_flight", 0.3, R"((?<![A-Z0-9])\b(?!Q[1-4]\s)[A-Z]\d\s+\d{3,4}\b)"},
};

}  // namespace

PYBIND11_MODULE(code, m) {
  m.doc() = "Recognizer for reference codes and identifiers (entity type CODE).";
  py::module_ re = py::module_::import("re");
  py::module_ presidio = py::module_::import("presidio_analyzer");
  m.attr("re") = re;
  m.attr("Pattern") = presidio.attr("Pattern");
  m.attr("PatternRecognizer") = presidio.attr("PatternRecognizer");

  // (name, regex, score) in registration order.
  py::list table;
  for (const Entry& e : kTable) table.append(py::make_tuple(e.name, py::str(e.regex), py::float_(e.score)));
  m.attr("_CODE_PATTERNS") = py::tuple(table);
  // No IGNORECASE: [A-Z] means upper-case ASCII letters, and keywords match as written.
  m.attr("_CODE_REGEX_FLAGS") = re.attr("DOTALL") | re.attr("MULTILINE");

  ClassBuilder(m, "CodeRecognizer", py::make_tuple(m.attr("PatternRecognizer")),
               "Detects reference codes (entity type CODE): structured references, keyworded serial\n"
               "numbers, tickets, registration plates, court dossiers, MAC addresses, underscore\n"
               "identifiers, flight-like and other short letter-digit codes.")
      .init(
          [m](py::object self) {
            py::object pattern_cls = m.attr("Pattern");
            py::list patterns;
            for (const py::object& row : snapshot(m.attr("_CODE_PATTERNS"))) {
              if (!PyTuple_Check(row.ptr()) || PyTuple_GET_SIZE(row.ptr()) != 3) {
                throw py::type_error("_CODE_PATTERNS must hold (name, regex, score) tuples, not " +
                                     py::repr(row).cast<std::string>());
              }
              py::tuple t = py::reinterpret_borrow<py::tuple>(row);
              patterns.append(pattern_cls(py::arg("name") = t[0], py::arg("regex") = t[1], py::arg("score") = t[2]));
            }
            m.attr("PatternRecognizer")
                .attr("__init__")(self, py::arg("supported_entity") = "CODE", py::arg("patterns") = patterns,
                                  py::arg("supported_language") = "ro",
                                  py::arg("global_regex_flags") = m.attr("_CODE_REGEX_FLAGS"));
          },
          "Recognizer for entity type CODE, language \"ro\", with the module's pattern table.")
      .finish();
}
