// Generic words that must never be reported as a given entity type, and
// patterns that reject structurally wrong user names and addresses.
#include <pybind11/pybind11.h>

#include <initializer_list>

namespace py = pybind11;

namespace {

py::frozenset words(std::initializer_list<const char*> items) {
  py::list out;
  for (const char* s : items) out.append(py::str(s));
  return py::frozenset(out);
}

}  // namespace

PYBIND11_MODULE(denylists, m) {
  m.doc() =
      "Entity denylists: generic terms (role nouns, platform names, legal-form abbreviations, the word\n"
      "for password) per entity type, and reject patterns for user names and street addresses that are\n"
      "really phone numbers, domains or web addresses. Data only; words are lower case.";
  py::module_ re = py::module_::import("re");
  m.attr("re") = re;

  py::frozenset username = words({
      "instagram", "linkedin", "twitter", "x", "github", "discord", "facebook", "tiktok", "youtube", "whatsapp",
      "telegram", "reddit", "pinterest", "snapchat", "twitch", "viber", "signal", "wechat", "slack", "teams", "zoom",
      "skype", "microsoft teams", "google meet", "microsoft authenticator", "email", "online", "crm", "mfa", "kyc",
      "confluence", "jira", "cnp", "idnp", "iban"});
  py::frozenset password = words({"parola", "parole", "parolei", "parolele", "parolelor", "pin", "mfa"});
  py::frozenset organization = words({
      "cnp", "idnp", "cui", "companie", "companiei", "compania", "companii", "firma", "firmei", "firme",
      "institutie", "institutia", "societatea", "societate", "departament", "departamentul", "srl", "srl-ul", "pfa",
      "banca", "bancă", "primarie", "primărie", "sucursala"});
  py::frozenset person = words({
      "persoana", "person", "client", "clientul", "clienta", "debitoarea", "debitorul", "debitor", "comodatar",
      "comodatarul", "mandatarul", "mandantului", "defunctul", "proprietarul", "martori", "ceo", "ciso",
      "director general", "curierul"});
  m.attr("_USERNAME_DENYLIST") = username;
  m.attr("_PASSWORD_DENYLIST") = password;
  m.attr("_ORGANIZATION_DENYLIST") = organization;
  m.attr("_PERSON_NAME_DENYLIST") = person;

  py::dict by_type;
  by_type["USERNAME"] = username;
  by_type["PASSWORD"] = password;
  by_type["ORGANIZATION"] = organization;
  by_type["PERSON_NAME"] = person;
  m.attr("_ENTITY_DENYLISTS") = by_type;

  py::object compile = re.attr("compile");
  py::object ignorecase = re.attr("IGNORECASE");
  py::list username_reject;
  username_reject.append(compile(R"(^\+?\d[\d\s\-\.]{5,}$)"));
  username_reject.append(compile(R"(\.(ro|com|net|org|eu|md|info|io|dev|xyz|online)$)", ignorecase));
  username_reject.append(compile(R"(^https?://)", ignorecase));
  username_reject.append(compile(R"(^www\.)", ignorecase));
  m.attr("_USERNAME_REJECT_PATTERNS") = username_reject;

  py::list domivia_reject;
  domivia_reject.append(compile(R"(^\+?[(]?\d[\d\s\-\.()]{5,}$)"));
  m.attr("_DOMIVIA_REJECT_PATTERNS") = domivia_reject;
}
