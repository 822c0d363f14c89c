"""Documents built from planted identifiers of every rule-based type, and the
check that none of them is left readable after anonymization.

`document(rng)` plants two to six identifiers (CNP, IBAN, BIC, phone, e-mail,
street address, code, card, IP address, URL) in one of several spellings each,
mostly after their keywords, next to one another in random order and joined by
commas, spaces, line breaks or short phrases; person names stand between them
as neighbours. `anonymize(engine, text)` runs the command's road for one
document through the rules-only engine, and `leaks(doc, anonymized)` names the
planted identifiers that keep three or more consecutive letters or digits of
theirs outside every placeholder.

Used by tests/test_leaks.py (a bounded number of documents) and by
bench/bench_leaks.py (10,000 documents, leak rate per type).
"""

from __future__ import annotations

import random
import re
import string
from dataclasses import dataclass, field

PLACEHOLDER_RE = re.compile(r"\[[A-Z_]+_\d+\]")

FIRST = ["Ion", "Maria", "Andrei", "Elena", "Mihai", "Ioana", "Ștefan", "Ana", "Gheorghe", "Cristina", "Radu"]
LAST = ["Popescu", "Ionescu", "Popa", "Dumitrescu", "Stoica", "Rusu", "Munteanu", "Șerban", "Moldovan", "Țurcanu"]
STREETS = ["Mihai Eminescu", "Florilor", "Unirii", "Libertății", "Ștefan cel Mare", "Avram Iancu", "Victoriei",
           "Observatorului", "Decebal", "Primăverii", "Lalelelor"]
BICS = ["BTRLRO22", "RNCBROBU", "BRDEROBU", "INGBROBU", "AGRNMD2X", "MOLDMD2X"]
DOMAINS = ["gmail.com", "yahoo.com", "firma.ro", "exemplu.md", "mail.ro"]
CNP_WEIGHTS = [2, 7, 9, 1, 4, 6, 3, 5, 8, 2, 7, 9]


@dataclass
class Planted:
    kind: str        # the type planted: CNP, IBAN, BIC, PHONE, EMAIL, ADDRESS, CODE, CARD, IP, URL
    spelling: str    # which spelling of it, e.g. "spaced", "keyword-linebreak"
    start: int
    end: int


@dataclass
class Document:
    text: str
    planted: list[Planted] = field(default_factory=list)

    def value(self, p: Planted) -> str:
        return self.text[p.start:p.end]


# --- values, each as (spelling, text) ---------------------------------------------------------

def _digits(rng, n):
    return "".join(rng.choice(string.digits) for _ in range(n))


def _group(s, size, sep=" "):
    return sep.join(s[i:i + size] for i in range(0, len(s), size))


def cnp(rng):
    digits = [rng.choice("1256"), *f"{rng.randint(50, 99):02d}", *f"{rng.randint(1, 12):02d}",
              *f"{rng.randint(1, 28):02d}", *f"{rng.randint(1, 46):02d}", *f"{rng.randint(1, 999):03d}"]
    total = sum(int(d) * w for d, w in zip(digits, CNP_WEIGHTS))
    check = total % 11
    return "compact", "".join(digits) + str(1 if check == 10 else check)


def iban(rng):
    if rng.random() < 0.75:
        country, bban = "RO", "".join(rng.choice(string.ascii_uppercase) for _ in range(4)) + _digits(rng, 16)
    else:
        country, bban = "MD", "".join(rng.choice(string.ascii_uppercase) for _ in range(2)) + _digits(rng, 18)
    numeric = "".join(str(int(c, 36)) for c in bban + country + "00")
    compact = f"{country}{98 - int(numeric) % 97:02d}{bban}"
    spelling = rng.choice(["compact", "spaced", "hyphens", "lower-spaced"])
    if spelling == "compact":
        return spelling, compact
    if spelling == "spaced":
        return spelling, _group(compact, 4)
    if spelling == "hyphens":
        return spelling, _group(compact, 4, "-")
    return spelling, _group(compact, 4).lower()


def bic(rng):
    code = rng.choice(BICS)
    return ("compact", code) if rng.random() < 0.85 else ("branch", code + "XXX")


def phone(rng):
    """A Romanian or Moldovan number; "unallocated" ones (a mobile range not
    given out, which the phone-number library calls invalid) only ever follow
    a phone keyword."""
    mobile = f"7{rng.choice('2345679')}{_digits(rng, 7)}"
    spelling = rng.choice(["national-spaced", "national-compact", "national-hyphens", "national-dots",
                           "international-spaced", "international-compact", "international-00", "landline",
                           "landline-brackets", "moldova", "unallocated"])
    if spelling == "national-spaced":
        return spelling, f"0{mobile[:3]} {mobile[3:6]} {mobile[6:]}"
    if spelling == "national-compact":
        return spelling, f"0{mobile}"
    if spelling == "national-hyphens":
        return spelling, f"0{mobile[:3]}-{mobile[3:6]}-{mobile[6:]}"
    if spelling == "national-dots":
        return spelling, f"0{mobile[:3]}.{mobile[3:6]}.{mobile[6:]}"
    if spelling == "international-spaced":
        return spelling, f"+40 {mobile[:3]} {mobile[3:6]} {mobile[6:]}"
    if spelling == "international-compact":
        return spelling, f"+40{mobile}"
    if spelling == "international-00":
        return spelling, f"0040 {mobile[:3]} {mobile[3:6]} {mobile[6:]}"
    if spelling == "landline":
        return spelling, f"021 {rng.randint(300, 399)} {_digits(rng, 2)} {_digits(rng, 2)}"
    if spelling == "landline-brackets":
        return spelling, f"(021) {rng.randint(300, 399)} {_digits(rng, 2)} {_digits(rng, 2)}"
    if spelling == "moldova":
        return spelling, f"+373 {rng.choice(['22', '69', '79'])} {rng.randint(100000, 999999)}"
    return spelling, f"+40 78{rng.randint(2, 9)} {_digits(rng, 3)} {_digits(rng, 3)}"


def email(rng):
    local = f"{rng.choice(FIRST).lower()}.{rng.choice(LAST).lower()}{rng.randint(1, 99)}"
    local = local.translate(str.maketrans("șțăîâ", "staia"))
    spelling = rng.choice(["lower", "mixed-case"])
    value = f"{local}@{rng.choice(DOMAINS)}"
    return spelling, value if spelling == "lower" else value.title()


def address(rng):
    street = rng.choice(STREETS)
    kind = rng.choice(["str-nr", "strada-nr", "bd-building", "str-nr-nospace", "calea-nr", "str-nodot"])
    number = rng.randint(1, 200)
    if kind == "str-nr":
        value = f"str. {street} nr. {number}"
    elif kind == "strada-nr":
        value = f"strada {street}, nr. {number}"
    elif kind == "bd-building":
        value = f"bd. {street} nr. {number}, bl. {rng.choice('ABCD')}{rng.randint(1, 9)}, sc. {rng.randint(1, 4)}, " \
                f"ap. {rng.randint(1, 99)}"
    elif kind == "str-nr-nospace":
        value = f"Str. {street}, nr.{number}"
    elif kind == "calea-nr":
        value = f"Calea {street} nr. {number}"
    else:
        value = f"str {street}, nr.{number}"   # street type without its dot
    return kind, value


def code(rng):
    kind = rng.choice(["case-number", "plate", "serial"])
    if kind == "case-number":
        return kind, f"{rng.randint(1000, 9999)}/{rng.randint(100, 999)}/{rng.randint(2015, 2025)}"
    if kind == "plate":
        return kind, f"{rng.choice(['CJ', 'IS', 'TM', 'BV'])} {rng.randint(10, 99)} " \
                     f"{''.join(rng.choice('BCDFGHKLMNPRSTVXZ') for _ in range(3))}"
    return kind, f"{''.join(rng.choice(string.ascii_uppercase) for _ in range(2))}{_digits(rng, 6)}"


def card(rng):
    digits = [*rng.choice(["4", "51", "52", "53", "54", "55"])]
    digits += _digits(rng, 15 - len(digits))
    total = 0
    for i, d in enumerate(reversed(digits)):
        v = int(d) * (2 if i % 2 == 0 else 1)
        total += v - 9 if v > 9 else v
    number = "".join(digits) + str((10 - total % 10) % 10)
    spelling = rng.choice(["compact", "spaced", "hyphens"])
    if spelling == "compact":
        return spelling, number
    return spelling, _group(number, 4, " " if spelling == "spaced" else "-")


def ip(rng):
    if rng.random() < 0.8:
        return "v4", ".".join(str(rng.randint(1, 254)) for _ in range(4))
    return "v6", f"2001:db8:{rng.randint(1, 0xfff):x}::{rng.randint(1, 0xfff):x}"


def url(rng):
    host = f"{rng.choice(LAST).lower()}{rng.randint(1, 99)}".translate(str.maketrans("șțăîâ", "staia"))
    tld = rng.choice(["ro", "md", "com"])
    spelling = rng.choice(["https-path", "www", "http"])
    if spelling == "https-path":
        return spelling, f"https://www.{host}.{tld}/profil/{rng.randint(100, 999)}"
    if spelling == "www":
        return spelling, f"www.{host}.{tld}"
    return spelling, f"http://{host}.{tld}"


# Each kind: its value maker and its keywords (the value follows one of them).
KINDS = {
    "CNP": (cnp, ["CNP", "CNP:", "C.N.P.", "cod numeric personal", "având CNP"]),
    "IBAN": (iban, ["IBAN", "IBAN:", "cont", "contul nr.", "în contul"]),
    "BIC": (bic, ["BIC", "BIC:", "cod SWIFT", "SWIFT/BIC:"]),
    "PHONE": (phone, ["tel.", "tel", "Tel:", "telefon", "telefon:", "mobil", "fax", "nr. de telefon", "contact:"]),
    "EMAIL": (email, ["e-mail", "email:", "E-mail:", "adresa de e-mail"]),
    "ADDRESS": (address, ["domiciliat în", "cu domiciliul în", "adresa:", "sediul în", "locuiește pe"]),
    "CODE": (code, ["dosar nr.", "nr. înmatriculare", "seria", "număr de înregistrare"]),
    "CARD": (card, ["card", "cardul nr.", "card bancar"]),
    "IP": (ip, ["IP", "adresa IP", "IP:"]),
    "URL": (url, ["site", "pagina", "profil:"]),
}

JOINERS = [", ", " ", "; ", "\n", ",\n", " și ", ". ", " - ", " / ", "  "]
KEY_GAPS = [" ", ": ", "\n", " "]


def _person(rng):
    name = f"{rng.choice(FIRST)} {rng.choice(LAST)}"
    return name.upper() if rng.random() < 0.2 else name


def document(rng: random.Random) -> Document:
    """One document of two to six planted identifiers, each with or without
    its keyword, in random order and with random joiners."""
    parts: list[str] = []
    planted: list[Planted] = []
    length = 0

    def add(s):
        nonlocal length
        parts.append(s)
        length += len(s)

    if rng.random() < 0.5:
        add(rng.choice(["Subsemnatul ", "Domnul ", "Între părți: ", "Date de contact: ", ""]))
    count = rng.randint(2, 6)
    for i in range(count):
        if i:
            add(rng.choice(JOINERS))
        if rng.random() < 0.2:
            add(_person(rng) + rng.choice([", ", " ", " cu "]))
        kind = rng.choice(list(KINDS))
        make, keywords = KINDS[kind]
        spelling, value = make(rng)
        with_keyword = rng.random() < 0.75 or (kind == "PHONE" and spelling == "unallocated")
        if with_keyword:
            gap = rng.choice(KEY_GAPS)
            if gap == "\n":
                spelling += "+keyword-linebreak"
            keyword = rng.choice(keywords)
            if rng.random() < 0.15:
                keyword = keyword.upper()
            add(keyword + (gap if not keyword.endswith(":") or gap != ": " else " "))
        planted.append(Planted(kind, spelling, length, length + len(value)))
        add(value)
    add(rng.choice(["", ".", ".\n", " ", ";"]))
    return Document("".join(parts), planted)


def documents(count: int, seed: int):
    rng = random.Random(seed)
    return [document(rng) for _ in range(count)]


# --- the road of one document, and the leak check ------------------------------------------------

def rules_engine():
    """The engine of `tarnis --rules-only`."""
    from tarnis.host.engines import build_rules_engine, import_presidio_without_torch
    import_presidio_without_torch()
    return build_rules_engine()


def anonymize(engine, text: str) -> tuple[str, dict, list]:
    """Analysis, overlap resolution, denylist filter, anonymization and
    propagation, as the command runs them; also returns the raw results."""
    from tarnis.processing import anonymize_text, filter_entity_denylist, postprocess_anonymized, resolve_overlaps

    raw = engine.analyze(text=text, language="ro")
    kept = filter_entity_denylist(text, resolve_overlaps(list(raw), text))
    anonymized, entity_map = anonymize_text(text, kept)
    return postprocess_anonymized(anonymized, entity_map), entity_map, raw


def clear_mask(text: str, anonymized: str) -> list[bool]:
    """For each character of `text`, whether it is still in the anonymized
    text outside every placeholder. Anonymization only replaces non-empty
    stretches by placeholders, so the text outside placeholders is the
    original's, in order; the stretches in between are found by matching."""
    pieces = PLACEHOLDER_RE.split(anonymized)
    pattern = "(.+?)".join(re.escape(p) for p in pieces)
    m = re.fullmatch(pattern, text, re.DOTALL)
    if m is None:
        raise AssertionError(f"anonymized text is not the original with stretches replaced:\n{text!r}\n{anonymized!r}")
    clear = [True] * len(text)
    for g in range(1, len(pieces)):
        for i in range(*m.span(g)):
            clear[i] = False
    return clear


def leaked_run(doc: Document, p: Planted, clear: list[bool]) -> str:
    """The longest run of the identifier's own letters and digits (in their
    order, separators skipped) that is left in clear; '' when none reaches
    three characters."""
    best, run = "", ""
    for i in range(p.start, p.end):
        c = doc.text[i]
        if not c.isalnum():
            continue
        if clear[i]:
            run += c
            if len(run) > len(best):
                best = run
        else:
            run = ""
    return best if len(best) >= 3 else ""


def leaks(doc: Document, anonymized: str) -> list[tuple[Planted, str]]:
    clear = clear_mask(doc.text, anonymized)
    out = []
    for p in doc.planted:
        run = leaked_run(doc, p, clear)
        if run:
            out.append((p, run))
    return out
