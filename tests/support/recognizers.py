"""Straightforward Python versions of the IBAN, BIC and phone recognizers,
the baselines of the benchmarks and the references of their tests."""

from __future__ import annotations

import re
import sys

import phonenumbers
from presidio_analyzer import AnalysisExplanation, EntityRecognizer, LocalRecognizer, RecognizerResult
from presidio_analyzer.predefined_recognizers import IbanRecognizer

from tarnis.recognizers import bic, phone
from tarnis.recognizers.iban import CustomIbanRecognizer


class PyIbanRecognizer(IbanRecognizer):
    """The IBAN recognizer's spaced and separated passes written plainly in Python."""

    _SPACED_IBAN_RE = re.compile(CustomIbanRecognizer._SPACED_IBAN_RE.pattern, re.IGNORECASE)
    _MIN_IBAN_LEN = 15
    _MAX_IBAN_LEN = 34
    _GROUP_RE = re.compile(r"\S+")
    _GAP_RE = re.compile(r"\s+")

    @staticmethod
    def _validate_iban(compact):
        from schwifty import IBAN
        try:
            IBAN(compact)
            return 1.0
        except Exception as e:  # noqa: BLE001
            return 0.65 if "checksum" in str(e).lower() else None

    @staticmethod
    def _country_length(country, cache):
        if country not in cache:
            from schwifty import registry
            try:
                cache[country] = registry.get_iban_spec(country).iban_length
            except ValueError:
                cache[country] = -1
        return cache[country]

    _WORD_RE = re.compile(r"\w+")
    _PLAIN_RE = re.compile(r"[A-Za-z0-9]+")
    _SEPARATORS = {" ", "\u00a0", "-", ".", "\n", "\r", "\r\n"}

    def _separated(self, text, results, seen, lengths):
        chain, previous_end = [], None
        for m in self._WORD_RE.finditer(text):
            if not self._PLAIN_RE.fullmatch(m.group()):
                self._separated_chain(text, chain, results, seen, lengths)
                chain, previous_end = [], None
                continue
            if previous_end is None or text[previous_end:m.start()] not in self._SEPARATORS:
                self._separated_chain(text, chain, results, seen, lengths)
                chain = []
            chain.append(m.span())
            previous_end = m.end()
        self._separated_chain(text, chain, results, seen, lengths)

    def _separated_chain(self, text, chain, results, seen, lengths):
        k = 0
        while k < len(chain):
            first = text[chain[k][0]:chain[k][1]]
            opening = first[:4] if len(first) >= 4 else (
                first + text[chain[k + 1][0]:chain[k + 1][1]][:2] if len(first) == 2 and k + 1 < len(chain) else "")
            if not re.fullmatch(r"[A-Za-z]{2}\d\d", opening):
                k += 1
                continue
            size, length, last = 0, self._country_length(first[:2].upper(), lengths), None
            for j in range(k, len(chain)):
                size += chain[j][1] - chain[j][0]
                if size >= length:
                    last = j if size == length else None
                    break
            if last is None:
                k += 1
                continue
            span = (chain[k][0], chain[last][1])
            if span not in seen:
                compact = "".join(text[s:e] for s, e in chain[k:last + 1]).upper()
                if self._validate_iban(compact) != 1.0:
                    k += 1
                    continue
                seen.add(span)
                results.append(RecognizerResult(
                    entity_type="IBAN_CODE", start=span[0], end=span[1], score=1.0,
                    analysis_explanation=AnalysisExplanation(
                        recognizer=self.__class__.__name__, original_score=1.0,
                        textual_explanation="Separated IBAN validated via schwifty")))
            k = last + 1

    def analyze(self, text, entities, nlp_artifacts=None):
        results = super().analyze(text, entities, nlp_artifacts)
        seen = {(r.start, r.end) for r in results}
        lengths = {}
        self._spaced(text, results, seen, lengths)
        self._separated(text, results, seen, lengths)
        return results

    def _spaced(self, text, results, seen, lengths):
        pos = 0
        while True:
            m = self._SPACED_IBAN_RE.search(text, pos)
            if m is None:
                return
            start, end = m.span(1)
            candidate = text[start:end]
            cuts = [g.end() for g in self._GROUP_RE.finditer(candidate)]
            next_pos = m.end()
            for k, cut in enumerate([len(candidate)] + cuts[-2:0:-1]):
                compact = candidate[:cut].replace(" ", "").upper()
                if k and len("".join(compact.split())) != self._country_length(compact[:2], lengths):
                    continue
                if not (self._MIN_IBAN_LEN <= len(compact) <= self._MAX_IBAN_LEN):
                    continue
                score = self._validate_iban(compact)
                if score is None:
                    continue
                if (start, start + cut) not in seen:
                    seen.add((start, start + cut))
                    results.append(RecognizerResult(
                        entity_type="IBAN_CODE", start=start, end=start + cut, score=score,
                        analysis_explanation=AnalysisExplanation(
                            recognizer=self.__class__.__name__, original_score=score,
                            textual_explanation="Spaced IBAN validated via schwifty")))
                if k:
                    next_pos = start + cut
                break
            else:
                gap = self._GAP_RE.search(candidate)
                if gap:
                    next_pos = start + gap.end()
            pos = next_pos


class PyBICRecognizer(LocalRecognizer):
    """The BIC recognizer written plainly in Python."""

    def __init__(self):
        self._bic8, self._bic11, self._loaded = set(), set(), False
        super().__init__(supported_entities=["BIC"], supported_language="ro", name="PyBICRecognizer")

    def load(self):
        if self._loaded:
            return
        self._loaded = True
        for line in bic._read_bic_registry().removeprefix("\ufeff").splitlines():
            code = line.strip().upper()
            if len(code) == 8:
                self._bic8.add(code)
            elif len(code) == 11:
                self._bic8.add(code[:8])
                self._bic11.add(code)

    def _in_registry(self, code):
        if len(code) == 8:
            return code in self._bic8
        if len(code) == 11:
            return code in self._bic11 or code[:8] in self._bic8
        return False

    def analyze(self, text, entities, nlp_artifacts=None):
        self.load()
        results = []
        for m in bic._BIC_RE.finditer(text):
            if self._in_registry(m.group(1).upper()):
                results.append(RecognizerResult(
                    entity_type="BIC", start=m.start(1), end=m.end(1), score=0.95,
                    analysis_explanation=AnalysisExplanation(
                        recognizer=self.__class__.__name__, original_score=0.95,
                        textual_explanation="BIC matched against registry")))
        return results


def phone_results(rec, text, pn=phonenumbers):
    """The phone recognizer `rec`'s analyze written plainly in Python, over
    `pn` (phonenumbers, or a stand-in that times or replays it)."""
    results = []
    for region in rec.supported_regions:
        for match in pn.PhoneNumberMatcher(text, region, leniency=rec.leniency, max_tries=sys.maxsize):
            raw = text[match.start:match.end]
            s = raw.strip()
            if (phone._CNP_RE.fullmatch(s) or phone._IDNP_RE.fullmatch(s) or phone._DATE_RE.search(s)
                    or phone._SALARY_RE.match(s) or (not s.startswith("0") and phone._YEAR_AMOUNT_RE.match(s))
                    or preceded_by_alpha(text, match.start)):
                continue
            try:
                detected = pn.region_code_for_number(pn.parse(raw))
            except pn.NumberParseException:
                detected = region
            expl = AnalysisExplanation(recognizer=type(rec).__name__, original_score=rec.SCORE,
                                       textual_explanation=f"Recognized as {detected} phone number")
            results.append(RecognizerResult(entity_type="PHONE_NUMBER", start=match.start, end=match.end,
                                            score=rec.SCORE, analysis_explanation=expl))
    return EntityRecognizer.remove_duplicates(results)


def preceded_by_alpha(text, start):
    if start == 0 or text[start] == "+":
        return False
    if text[start - 1].isalpha():
        return True
    if text[start - 1] == " " and start >= 3:
        prefix = text[start - 3:start - 1]
        if prefix.isalpha() and prefix.isupper() and len(prefix) == 2:
            return start < 4 or not text[start - 4].isalpha()
    return False
