"""Encrypted maps: sealing and opening a map file of --entities entities
(20,000 by default), scrypt included, as two runs do it (anonymize derives the
key once and seals; restore derives it again from the header and opens), and
the exactness data (spellings) of a document whose entities are written
several ways.

Prints, over --repeat rounds: scrypt alone, seal (scrypt + AES-256-GCM), open
(scrypt + check + AES-256-GCM), their sum, and for a key file (no scrypt);
best and worst of the rounds, the map's size, and the load average before and
after. The target is seal + open under 0.5 s with the passphrase.
"""

from __future__ import annotations

import argparse
import os
import random
import time


def entity_map(count: int, seed: int = 3) -> bytes:
    """A map file of `count` entities of five types, as anonymize writes it."""
    from tarnis.host.maps import entity_map_json

    rng = random.Random(seed)
    first = ["Ion", "Maria", "Andrei", "Elena", "Mihai", "Ioana", "Ștefan", "Ana"]
    last = ["Popescu", "Ionescu", "Țurcanu", "Rusu", "Munteanu", "Ciobanu", "Lungu"]
    types = {"PERSON_NAME": lambda i: f"{rng.choice(first)} {rng.choice(last)} {i}",
             "DOMIVIA": lambda i: f"Str. {rng.choice(last)} nr. {i}, ap. {rng.randint(1, 90)}",
             "IBAN_CODE": lambda i: f"RO{rng.randint(10, 99)}BTRL{i:016d}",
             "PHONE_NUMBER": lambda i: f"07{rng.randint(10, 99)} {i % 1000:03d} {i // 1000:03d}",
             "CNP": lambda i: f"{rng.choice('1256')}{i:012d}"}
    emap: dict = {t: {} for t in types}
    names = list(types)
    for i in range(count):
        t = names[i % len(names)]
        emap[t][types[t](i)] = f"[{t}_{i // len(names) + 1}]"
    anonymized = " ".join(p for inner in emap.values() for p in inner.values())
    return entity_map_json(emap, anonymized).encode("utf-8")


def main() -> None:
    from tarnis.host.mapcrypt import MapKeys

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entities", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    data = entity_map(args.entities)
    environ = {"TARNIS_MAP_KEY": "a passphrase for the benchmark"}
    key_path = "/tmp/bench_mapcrypt.key"
    if not os.path.exists(key_path):
        with open(os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as f:
            f.write(os.urandom(32))
    print(f"map of {args.entities:,} entities: {len(data) / 2**20:.2f} MiB; load average before "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    rows: dict[str, list[float]] = {k: [] for k in ("scrypt", "seal", "open", "seal+open", "key file seal+open")}
    for _ in range(args.repeat):
        from tarnis.host.mapcrypt import _scrypt

        t0 = time.perf_counter()
        _scrypt(b"x", os.urandom(16), 15, 8, 1)
        t1 = time.perf_counter()
        sealed = MapKeys.resolve(environ=environ).sealer().seal(data)      # the anonymize run
        t2 = time.perf_counter()
        opened = MapKeys.resolve(environ=environ).open(sealed, "bench")     # the restore run
        t3 = time.perf_counter()
        assert opened == data
        keyed = MapKeys.resolve(key_path, environ={})
        assert keyed.open(keyed.sealer().seal(data), "bench") == data
        t4 = time.perf_counter()
        for k, v in zip(rows, (t1 - t0, t2 - t1, t3 - t2, t3 - t1, t4 - t3)):
            rows[k].append(v)
    for k, v in rows.items():
        print(f"  {k:<20} best {min(v) * 1000:7.1f} ms   worst {max(v) * 1000:7.1f} ms")
    print(f"target: seal+open under 500 ms: {'met' if min(rows['seal+open']) < 0.5 else 'NOT met'}; "
          f"load average after {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    spellings_bench()


def spellings_bench() -> None:
    """Exactness data of a 200 KB document whose every entity occurs in
    three spellings: the time to find them (anonymize) and to check them
    (restore)."""
    from presidio_analyzer import RecognizerResult

    from tarnis.host.maps import map_file_json, parse_entity_map
    from tarnis.host.pipeline import anonymize_results
    from tarnis.host.spellings import exact_occurrences, put_in

    parts, spans, at = [], [], 0
    for i in range(1500):
        name = f"Ion Popescu{'' if i % 2 else 'u'} {i}"
        for spelling in (name, name.upper(), name.replace(" ", "\n", 1)):
            piece = f"Domnul {spelling} a semnat contractul de închiriere. "
            spans.append(RecognizerResult("PERSON_NAME", at + 7, at + 7 + len(spelling), 0.9))
            parts.append(piece)
            at += len(piece)
    text = "".join(parts)
    anonymized, emap = anonymize_results(text, spans)
    t0 = time.perf_counter()
    content, exact = map_file_json(text, anonymized, emap)
    t1 = time.perf_counter()
    occurrences = exact_occurrences(anonymized, emap, parse_entity_map(content).info)
    t2 = time.perf_counter()
    assert exact and put_in(anonymized, occurrences) == text
    print(f"spellings of a {len(text) / 1000:.0f} KB document, {len(spans):,} occurrences: written in "
          f"{(t1 - t0) * 1000:.0f} ms, checked in {(t2 - t1) * 1000:.0f} ms (map {len(content) / 1000:.0f} KB)")


if __name__ == "__main__":
    main()
