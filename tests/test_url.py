"""Web addresses that start or end inside a word are fragments of run-together
sentences, not addresses."""

from __future__ import annotations

import pytest
from presidio_analyzer.predefined_recognizers import UrlRecognizer

from tarnis.recognizers.url import WordBoundedUrlRecognizer


def urls(recognizer, text):
    return [text[r.start:r.end] for r in recognizer.analyze(text, ["URL"])]


@pytest.mark.parametrize("text, fragment", [
    ("Oamenii erau prăpădiți.Recent au primit ajutor.", "i.Re"),
    ("Au venit la Tribunal.Pentru asta au plătit.", "l.Pe"),
    ("Documentele sunt la ANAF.Georgiana le-a trimis.", "F.Ge"),
])
def test_fragments_of_words_are_dropped(text, fragment):
    assert any(fragment in u for u in urls(UrlRecognizer(supported_language="ro"), text))
    assert urls(WordBoundedUrlRecognizer(supported_language="ro"), text) == []


@pytest.mark.parametrize("text, url", [
    ("Detalii pe https://www.exemplu.ro/contact azi", "https://www.exemplu.ro/contact"),
    ("Vezi www.anaf.ro, secțiunea formulare.", "www.anaf.ro"),
    ("(adresa: portal.just.ro)", "portal.just.ro"),
    ("exemplu.md", "exemplu.md"),
])
def test_addresses_between_non_word_characters_are_kept(text, url):
    assert urls(UrlRecognizer(supported_language="ro"), text) == [url]
    assert urls(WordBoundedUrlRecognizer(supported_language="ro"), text) == [url]


def test_the_analyzer_and_the_command_use_it():
    from tarnis import analyzer, cli
    names = [type(r).__name__ for r in analyzer._rule_recognizers("ro")]
    assert "WordBoundedUrlRecognizer" in names and "UrlRecognizer" not in names
    engine = cli.build_rules_engine()
    text = "Oamenii erau prăpădiți.Recent au primit ajutor; detalii pe www.anaf.ro."
    found = [text[r.start:r.end] for r in cli.detections(engine, text, ["URL"])]
    assert found == ["www.anaf.ro"]
