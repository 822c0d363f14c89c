"""Seeded generator of Romanian contract-like documents with known entities.

`generate(size, entities, seed)` returns the text and the list of
(entity_type, start, end) spans it planted, so benchmarks can feed realistic
results to the post-processing functions without running any model.
"""

from __future__ import annotations

import random
import string

FIRST = ["Ion", "Maria", "Andrei", "Elena", "Mihai", "Ioana", "Ștefan", "Ana", "Gheorghe", "Cristina",
         "Vasile", "Mădălina", "Dumitru", "Alexandra", "Constantin", "Raluca", "Țugui", "Florin", "Irina", "Radu"]
LAST = ["Popescu", "Ionescu", "Popa", "Dumitrescu", "Stan", "Stoica", "Gheorghiu", "Rusu", "Munteanu", "Matei",
        "Constantinescu", "Șerban", "Moldovan", "Ciobanu", "Țurcanu", "Lungu", "Băsescu", "Năstase", "Vlad", "Marin"]
STREETS = ["Mihai Eminescu", "Florilor", "Unirii", "Libertății", "Independenței", "Ștefan cel Mare", "Avram Iancu",
           "Victoriei", "Republicii", "Traian", "Dacia", "Decebal", "Primăverii", "Lalelelor", "Trandafirilor"]
STREET_TYPES = ["Str.", "strada", "Bd.", "bulevardul", "Calea", "Aleea", "Șoseaua", "Piața"]
CITIES = ["București", "Cluj-Napoca", "Iași", "Timișoara", "Constanța", "Brașov", "Chișinău", "Bălți", "Sibiu", "Oradea"]
COUNTIES = ["CJ", "IS", "TM", "CT", "BV", "SB", "BH", "AG", "DJ", "PH"]
BICS = ["BTRLRO22", "RNCBROBU", "BRDEROBU", "INGBROBU", "RZBRROBU", "BACXROBU", "CECEROBU", "AGRNMD2X",
        "MOLDMD2X", "MOBBMD22"]
FILLER = ("contractul părțile semnatare prezentul obiect preț plata termen obligațiile vânzătorul cumpărătorul "
          "se obligă să respecte clauzele stabilite prin acord comun în conformitate cu legislația în vigoare "
          "iar litigiile vor fi soluționate pe cale amiabilă sau de instanța competentă din raza teritorială "
          "a domiciliului pârâtului conform codului de procedură civilă și al dispozițiilor speciale").split()

CNP_WEIGHTS = [2, 7, 9, 1, 4, 6, 3, 5, 8, 2, 7, 9]


def cnp(rng: random.Random) -> str:
    digits = [rng.choice("1256"), *f"{rng.randint(50, 99):02d}", *f"{rng.randint(1, 12):02d}",
              *f"{rng.randint(1, 28):02d}", *f"{rng.randint(1, 52):02d}", *f"{rng.randint(1, 999):03d}"]
    total = sum(int(d) * w for d, w in zip(digits, CNP_WEIGHTS))
    check = total % 11
    return "".join(digits) + str(1 if check == 10 else check)


def iban(rng: random.Random) -> str:
    if rng.random() < 0.8:
        country, bban = "RO", "".join(rng.choice(string.ascii_uppercase) for _ in range(4)) + \
            "".join(rng.choice(string.digits) for _ in range(16))
    else:
        country, bban = "MD", "".join(rng.choice(string.ascii_uppercase) for _ in range(2)) + \
            "".join(rng.choice(string.digits) for _ in range(18))
    numeric = "".join(str(int(c, 36)) for c in bban + country + "00")
    check = 98 - int(numeric) % 97
    compact = f"{country}{check:02d}{bban}"
    style = rng.random()
    if style < 0.4:
        return compact
    if style < 0.7:
        return " ".join(compact[i:i + 4] for i in range(0, len(compact), 4))
    cut = rng.randint(6, 12)
    rest = compact[cut:]
    return compact[:cut] + " " + " ".join(rest[i:i + 4] for i in range(0, len(rest), 4))


def phone(rng: random.Random) -> str:
    kind = rng.randrange(4)
    if kind == 0:
        return f"07{rng.randint(20, 89)} {rng.randint(100, 999)} {rng.randint(100, 999)}"
    if kind == 1:
        return f"+40 7{rng.randint(20, 89)} {rng.randint(100, 999)} {rng.randint(100, 999)}"
    if kind == 2:
        return f"021 {rng.randint(300, 399)} {rng.randint(10, 99)} {rng.randint(10, 99)}"
    return f"+373 {rng.choice(['22', '69', '79'])} {rng.randint(100000, 999999)}"


def address(rng: random.Random) -> str:
    out = f"{rng.choice(STREET_TYPES)} {rng.choice(STREETS)} nr. {rng.randint(1, 200)}"
    if rng.random() < 0.5:
        out += f", bl. {rng.choice('ABCDEFG')}{rng.randint(1, 20)}, ap. {rng.randint(1, 99)}"
    return out + f", {rng.choice(CITIES)}"


def code(rng: random.Random) -> str:
    kind = rng.randrange(3)
    if kind == 0:
        return f"{rng.choice(COUNTIES)} {rng.randint(10, 99)} {''.join(rng.choice('BCDFGHKLMNPRSTVXZ') for _ in range(3))}"
    if kind == 1:
        return f"{rng.randint(1000, 9999)}/{rng.randint(100, 999)}/{rng.randint(2015, 2025)}"
    return f"{''.join(rng.choice(string.ascii_uppercase) for _ in range(3))}{rng.randint(100000, 999999)}"


def person(rng: random.Random) -> str:
    return f"{rng.choice(FIRST)} {rng.choice(LAST)}"


TEMPLATES = [
    ("PERSON_NAME", "Domnul {} ", person),
    ("CNP", "CNP: {} ", cnp),
    ("CNP", "cod numeric personal {} ", cnp),
    ("IBAN_CODE", "în contul IBAN {} ", iban),
    ("BIC", "cod BIC {} ", lambda rng: rng.choice(BICS)),
    ("PHONE_NUMBER", "telefon {} ", phone),
    ("DOMIVIA", "cu domiciliul în {} ", address),
    ("CODE", "dosar {} ", code),
    ("PERSON_NAME", "semnat de {}, ", person),
]


def generate(size: int = 1_000_000, entities: int = 2_000, seed: int = 1234):
    """Return (text, spans): a document of about `size` characters holding
    about `entities` planted entities, and their (type, start, end)."""
    rng = random.Random(seed)
    parts: list[str] = []
    spans: list[tuple[str, int, int]] = []
    length = 0
    filler_per_entity = max(1, size // max(entities, 1) - 45)
    while length < size:
        chunk = []
        chunk_len = 0
        while chunk_len < filler_per_entity:
            word = rng.choice(FILLER)
            chunk.append(word)
            chunk_len += len(word) + 1
        sentence = " ".join(chunk)
        sentence = sentence[0].upper() + sentence[1:] + ". "
        parts.append(sentence)
        length += len(sentence)
        entity_type, template, make = rng.choice(TEMPLATES)
        value = make(rng)
        prefix, suffix = template.split("{}")
        start = length + len(prefix)
        piece = prefix + value + suffix
        parts.append(piece)
        spans.append((entity_type, start, start + len(value)))
        length += len(piece)
        if rng.random() < 0.05:
            parts.append("\n\n")
            length += 2
    return "".join(parts), spans
