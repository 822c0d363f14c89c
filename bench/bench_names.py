"""How many names of persons and organizations each configuration leaves in
clear, measured on the gold entities of the RoNEC test split.

Every sentence is one document and goes through the whole pipeline: analysis,
overlap resolution, the denylist filter, anonymization and propagation. A gold
PERSON or ORG entity *leaks* when any of its non-space characters is left
outside a placeholder. A predicted name is *stray* when it touches no gold
PERSON or ORG entity. Configurations:

- raw spaCy: the trained pipeline's own PERSON and ORG spans, nothing after;
- rules: the rule-based recognizers over a blank pipeline (names only where
  a role word introduces them), as `--rules-only`;
- spacy: the spaCy recognizer (`--ner spacy`) with the rule-based recognizers
  other than the role-word one;
- spacy + roles: everything `--ner spacy` runs.

Leak rates are given over all gold entities and over those written as names
(a word with a capital): RoNEC labels common nouns for persons (`acționari`,
`antrenorul`) as PERSON too, and the denylist filter drops lower-case common
nouns tagged as names on purpose.

    python bench/bench_names.py [--data FILE] [--spacy-model ro_legal_fl] [--limit N]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import time
import warnings
from collections import defaultdict
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_DATA = REPO.parent / "shared" / "data" / "ronec" / "test.json"
GOLD = {"PERSON": "PERSON_NAME", "ORG": "ORGANIZATION"}
PLACEHOLDER = re.compile(r"(\[[A-Z_]+_\d+\])")


def load(path: Path, limit: int | None):
    """(text, [(gold type, start, end)]) per sentence."""
    out = []
    for row in json.loads(path.read_text("utf-8"))[:limit]:
        text, offsets = "", []
        for tok, space in zip(row["tokens"], row["space_after"]):
            offsets.append((len(text), len(text) + len(tok)))
            text += tok + (" " if space else "")
        spans, current = [], None
        for (s, e), tag in zip(offsets, row["ner_tags"]):
            kind, _, label = tag.partition("-")
            if kind == "B" or (kind == "I" and (current is None or current[0] != label)):
                current = [label, s, e]
                spans.append(current)
            elif kind == "I":
                current[2] = e
            else:
                current = None
        out.append((text, [(GOLD[label], s, e) for label, s, e in spans if label in GOLD]))
    return out


def covered(text: str, results) -> list[bool]:
    """Characters of `text` inside a placeholder after anonymize_text and the
    propagation. The final text is walked against the original: each
    placeholder stands for the stretch up to where the next literal stretch
    resumes and whose white-space-normalized text is a key of the map."""
    from tarnis.processing import anonymize_text, postprocess_anonymized

    anonymized, entity_map = anonymize_text(text, list(results))
    final = postprocess_anonymized(anonymized, entity_map)
    keys, every_key = defaultdict(set), set()
    for inner in entity_map.values():
        for key, placeholder in inner.items():
            keys[placeholder].add(key)
            every_key.add(key)
    parts = PLACEHOLDER.split(final)
    mask = [False] * len(text)
    assert text.startswith(parts[0])
    pos = len(parts[0])
    for i in range(1, len(parts), 2):
        placeholder, literal = parts[i], parts[i + 1]
        for candidates in (keys[placeholder], every_key):
            end = next((x for x in range(pos + 1, len(text) + 1)
                        if " ".join(text[pos:x].split()) in candidates and text.startswith(literal, x)), None)
            if end is not None:
                break
        else:
            raise AssertionError(f"cannot align {placeholder} in {text!r}")
        mask[pos:end] = [True] * (end - pos)
        pos = end + len(literal)
    return mask


def is_name(text: str) -> bool:
    """A gold entity written as a name: one of its words begins with a capital.
    RoNEC also labels common nouns for persons (`acționari`, `antrenorul`) as
    PERSON; the denylist filter drops those on purpose."""
    return any(w[:1].isupper() for w in text.split())


# Role, office, title and kinship nouns that RoNEC labels PERSON when written
# with a capital ("Domnul", "Reprezentanții", "Președinte", "Fiul", "Tatăl", "Lt Cmdr"):
# no personal data, so they are counted apart ("role nouns") and leave the
# characters of a name ("Judecătorul Serghei Furdui" counts "Serghei Furdui").
_FOLD = str.maketrans("ăâîșşțţ", "aaisstt")
_ROLE_STEMS = ("domn", "doamn", "fiu", "fiic", "tat", "mam", "sot", "frat", "sor", "consilier", "presedint",
               "director", "inculpat", "procuror", "judecator", "reprezentant", "purtator", "cetatean",
               "proprietar", "premier", "ministr", "primar", "senator", "deputat", "lt", "cmdr", "martor")
_ROLE_SUFFIXES = ("", "l", "ul", "ului", "u", "a", "ei", "ii", "i", "ilor", "e", "ele", "elor", "ia", "iei",
                  "ul", "alui", "ala", "ii", "lor", "ele", "nul", "nului", "na", "nei", "ile", "ilor", "te", "tele")
ROLE_NOUNS = {stem + suffix for stem in _ROLE_STEMS for suffix in _ROLE_SUFFIXES} | {"tatal"}


def is_role_noun(word: str) -> bool:
    return word.lower().translate(_FOLD).strip(".,;:") in ROLE_NOUNS


def leaks(text: str, gold, mask) -> dict:
    out = {}
    for kind, s, e in gold:
        leaked = any(not mask[c] and not text[c].isspace() for c in range(s, e))
        out.setdefault(kind, []).append(leaked)
        if is_name(text[s:e]):
            # Only the words of the name count: a role noun inside the gold
            # span ("pugilistul Flavius Biea") is not personal data.
            name_chars = [c for w in re.finditer(r"\S+", text[s:e]) if w.group()[:1].isupper()
                          for c in range(s + w.start(), s + w.end()) if text[c].isalnum()]
            out.setdefault(kind + " named", []).append(any(not mask[c] for c in name_chars))
            words = [w for w in re.finditer(r"\S+", text[s:e]) if w.group()[:1].isupper()
                     and not is_role_noun(w.group())]
            if not words:
                out.setdefault(kind + " role noun", []).append(any(not mask[c] for c in name_chars))
                continue
            chars = [c for w in words for c in range(s + w.start(), s + w.end()) if text[c].isalnum()]
            out.setdefault(kind + " name", []).append(any(not mask[c] for c in chars))
    return out


def stray(results, gold) -> tuple[int, int]:
    names = [r for r in results if r.entity_type in ("PERSON_NAME", "ORGANIZATION")]
    touching = sum(1 for r in names if any(r.start < e and s < r.end for _, s, e in gold))
    return len(names), len(names) - touching


def pipeline(text, results):
    from tarnis.processing import filter_entity_denylist, resolve_overlaps

    return filter_entity_denylist(text, resolve_overlaps(list(results), text))


class Tally:
    def __init__(self, name):
        self.name, self.gold, self.leaked, self.names, self.stray, self.seconds = name, {}, {}, 0, 0, 0.0

    def add(self, text, gold, results):
        mask = covered(text, results)
        for kind, flags in leaks(text, gold, mask).items():
            self.gold[kind] = self.gold.get(kind, 0) + len(flags)
            self.leaked[kind] = self.leaked.get(kind, 0) + sum(flags)
        n, s = stray(results, gold)
        self.names += n
        self.stray += s

    def line(self, words):
        rates = "  ".join(f"{k} leak {100 * self.leaked.get(k, 0) / max(1, self.gold.get(k, 0)):5.1f}% "
                          f"({self.leaked.get(k, 0)}/{self.gold.get(k, 0)})" for k in ("PERSON_NAME", "PERSON_NAME named", "PERSON_NAME name", "PERSON_NAME role noun",
                                    "ORGANIZATION", "ORGANIZATION named"))
        speed = f"{words / self.seconds:8.0f} words/s" if self.seconds else " " * 16
        return (f"{self.name:<14}\n    {rates}\n    stray {100 * self.stray / max(1, self.names):5.1f}% "
                f"({self.stray}/{self.names})  {speed}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA)
    ap.add_argument("--spacy-model", default="ro_legal_fl")
    ap.add_argument("--limit", type=int)
    args = ap.parse_args()
    warnings.filterwarnings("ignore")

    from tarnis import analyzer, cli

    corpus = load(args.data, args.limit)
    words = sum(len(text.split()) for text, _ in corpus)
    print(f"{len(corpus)} sentences, {words} words, gold: "
          f"{sum(k == 'PERSON_NAME' for _, g in corpus for k, *_ in g)} PERSON, "
          f"{sum(k == 'ORGANIZATION' for _, g in corpus for k, *_ in g)} ORG; load average "
          f"{' '.join(f'{x:.1f}' for x in os.getloadavg())}")

    rules_engine = cli.build_rules_engine()
    spacy_engine = analyzer._assemble_analyzer(analyzer._rule_recognizers("ro"), args.spacy_model, "ro",
                                               spacy_ner=True)
    rule_names = {r.name for r in rules_engine.registry.recognizers}
    role_names = {r.name for r in rules_engine.registry.recognizers if "PERSON_NAME" in r.supported_entities}

    raw, rules, spacy_only, both = (Tally("raw spaCy"), Tally("rules"), Tally("spacy"), Tally("spacy + roles"))
    nlp_engine = spacy_engine.nlp_engine
    for text, gold in corpus:
        started = time.perf_counter()
        artifacts = nlp_engine.process_text(text, "ro")
        results = spacy_engine.analyze(text=text, language="ro", nlp_artifacts=artifacts)
        both.seconds += time.perf_counter() - started
        from types import SimpleNamespace
        raw.add(text, gold, [SimpleNamespace(entity_type=e.label_, start=e.start_char, end=e.end_char,
                                             score=1.0, recognition_metadata={})
                             for e in artifacts.entities])
        both.add(text, gold, pipeline(text, results))
        spacy_only.add(text, gold, pipeline(text, [r for r in results
                                                   if r.recognition_metadata["recognizer_name"] not in role_names]))
        started = time.perf_counter()
        rule_results = pipeline(text, rules_engine.analyze(text=text, language="ro"))
        rules.seconds += time.perf_counter() - started
        rules.add(text, gold, rule_results)
    spacy_only.seconds = both.seconds
    print(f"rule-based recognizers: {', '.join(sorted(rule_names))}; role-word recognizers: "
          f"{', '.join(sorted(role_names)) or 'none'}")
    for tally in (raw, rules, spacy_only, both):
        print(tally.line(words))
    print("(spacy and spacy + roles share one analysis: the words/s is that of `--ner spacy`'s analyzer)")


if __name__ == "__main__":
    main()
