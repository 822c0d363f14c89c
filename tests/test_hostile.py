"""Every public function and class fed hostile Python objects: attributes that
raise or change the list being processed, values of every wrong type, NaN,
ints beyond 64 bits, str subclasses, objects whose __eq__, __hash__ or
__bool__ raise, entity maps nested wrongly or changed while read, and texts
with NUL, lone surrogates, information separators or a megabyte without white
space.

The contract: a Python exception (TypeError, ValueError, the callee's own) or
a correct result; never a crash, never an error left pending (CPython would
report that as SystemError), never a read outside the text."""

from __future__ import annotations

import math
import re
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from presidio_analyzer import RecognizerResult

from support import reference
from tarnis import analyzer
from tarnis import processing as P
from tarnis.recognizers.bic import BICRecognizer
from tarnis.recognizers.cnp import CnpRecognizer
from tarnis.recognizers.code import CodeRecognizer
from tarnis.recognizers.domivia import RomanianStreetAddressRecognizer
from tarnis.recognizers.gliner import SmartGLiNERRecognizer
from tarnis.recognizers.iban import CustomIbanRecognizer
from tarnis.recognizers.phone import CustomPhoneRecognizer
from tarnis.recognizers.url import WordBoundedUrlRecognizer


class Boom(Exception):
    """Raised by the hostile objects themselves."""


# Errors a caller may get: argument checks, the hostile objects' own errors,
# `re`'s own (a replacement such as "\\1" in an entity map), and what Python
# itself raises on such objects (a missing attribute, an int that does not
# fit, an index past the end). SystemError (an error left
# pending) and RuntimeError (a failed internal cast) are faults.
ALLOWED = (TypeError, ValueError, ArithmeticError, AttributeError, LookupError, OSError, ImportError, re.error,
           Boom)

HOSTILE_SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))


# The hostile dunder methods raise only while the function under test runs,
# so that the test data (dicts keyed by them, hypothesis' own bookkeeping) can
# be built.
ARMED = False


def call(fn, *args, **kwargs):
    """fn(...), its exception if it is an allowed one; then check that nothing
    was left pending for the next native call."""
    global ARMED
    ARMED = True
    try:
        result = fn(*args, **kwargs)
    except ALLOWED as e:
        result = e
    finally:
        ARMED = False
    assert P._normalize_whitespace("  ok ") == "ok"
    return result


# --- hostile values ---------------------------------------------------------------------------

class Str(str):
    """A str subclass with its own hash and equality."""

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        return str.__eq__(self, other)


class BadEq:
    def __eq__(self, other):
        if ARMED:
            raise Boom("__eq__")
        return self is other

    __hash__ = object.__hash__


class BadHash:
    def __hash__(self):
        if ARMED:
            raise Boom("__hash__")
        return id(self) >> 4


class BadBool:
    def __bool__(self):
        raise Boom("__bool__")

    def __len__(self):
        raise Boom("__len__")


class BadIndex:
    def __index__(self):
        raise Boom("__index__")


class BadFloat:
    def __float__(self):
        raise Boom("__float__")


VALUES = [0, 1, 3, 7, 13, -1, -(2**63), 2**63 - 1, 2**63, 2**70, -(2**70), True, False, 2.5, math.nan,
          math.inf, "3", Str("CNP"), Str("PERSON_NAME"), "CODE", "URL", "PERSON_NAME", "CREDIT_CARD", None,
          BadEq(), BadHash(), BadBool(), BadIndex(), BadFloat(), [1], b"CNP"]

# What reading one attribute does: give a value, raise, or change the list
# the result is in (grow it, empty it, put a non-result in) and give a value.
ACTIONS = ["value", "raise", "grow", "clear", "swap"]


@st.composite
def attribute(draw, typical):
    action = draw(st.sampled_from(ACTIONS))
    value = draw(st.sampled_from(typical) | st.sampled_from(VALUES))
    return action, value


@st.composite
def hostile_results(draw):
    """A list of result objects whose attributes are hostile in some way."""
    shapes = draw(st.lists(st.fixed_dictionaries({
        "entity_type": attribute(["CNP", "PERSON_NAME", "CODE", "PHONE_NUMBER", "DOMIVIA", "USERNAME"]),
        "start": attribute([0, 1, 2, 5, 8]),
        "end": attribute([3, 5, 9, 12, 20]),
        "score": attribute([0.3, 0.5, 0.9, 1.0]),
    }), max_size=6))
    return build_results(shapes)


def build_results(shapes):
    holder: list = []

    def prop(name, action, value):
        def get(self):
            if action == "raise":
                raise Boom(name)
            if action == "grow":
                holder.extend(make(shape) for shape in shapes[:2] * 50)
            elif action == "clear":
                holder.clear()
            elif action == "swap":
                holder[:] = [object()] * len(holder)
            return value

        def set_(self, v):  # anonymize_text moves person names' offsets
            self.__dict__[name] = v
        return property(get, set_)

    def make(shape):
        ns = {name: prop(name, *shape[name]) for name in shape}
        ns["analysis_explanation"] = None
        ns["recognition_metadata"] = {}
        return type("HostileResult", (), ns)()

    holder.extend(make(shape) for shape in shapes)
    return holder


texts = st.one_of(
    st.text(st.sampled_from("Ion Popescu CNP 1850101123456 str. Lungă nr. 5 \x00\x1c\x1d\x1e\x1f\ud800\udfff"
                            "ăîșț[]_-.,:;/\n\t\u00a0"), max_size=60),
    st.text(max_size=40),
    st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF, categories=None), max_size=30),
)


# --- processing with hostile results --------------------------------------------------------------

@HOSTILE_SETTINGS
@given(results=hostile_results(), text=texts)
def test_resolve_overlaps(results, text):
    before = list(results)
    got = call(P.resolve_overlaps, results, text)
    if isinstance(got, list):
        # the results given, or copies of them narrowed around a trusted result
        assert all(any(r is b or type(r) is type(b) for b in before) for r in got)


@HOSTILE_SETTINGS
@given(results=hostile_results(), text=texts)
def test_anonymize_text(results, text):
    got = call(P.anonymize_text, text, results)
    if isinstance(got, tuple):
        anonymized, entity_map = got
        assert isinstance(anonymized, str) and isinstance(entity_map, dict)


@HOSTILE_SETTINGS
@given(results=hostile_results(), text=texts,
       extra=st.sampled_from([None, {}, {"PERSON_NAME": {"ion"}}, {"CNP": BadBool()}, {"CODE": [1, 2]},
                              {"PERSON_NAME": frozenset({Str("Ion")})}, {BadHash(): {"x"}}, {"CNP": 5}]))
def test_filter_entity_denylist(results, text, extra, monkeypatch):
    # A tagger that sees no proper nouns, so that lower-case names reach the noun test.
    monkeypatch.setattr(P, "_nlp_ro", lambda span: [SimpleNamespace(pos_="NOUN")])
    got = call(P.filter_entity_denylist, text, results, extra)
    if isinstance(got, list):
        assert len(got) <= len(results) + 100


@pytest.mark.parametrize("fn", [P.resolve_overlaps, P.filter_entity_denylist, P.anonymize_text])
@pytest.mark.parametrize("bad", [None, (), "x", {}, b"", 3, iter([]), BadBool()])
def test_processing_argument_types(fn, bad):
    text_first = fn is not P.resolve_overlaps
    with pytest.raises(TypeError, match="results"):
        fn("text", bad) if text_first else fn(bad, "text")
    if not isinstance(bad, str):
        with pytest.raises(TypeError, match="text"):
            fn(bad, []) if text_first else fn([RecognizerResult("CNP", 0, 1, 0.5)], bad)


# --- entity maps ------------------------------------------------------------------------------------

keys = st.sampled_from(["Ion Popescu", "Ion\x00Popescu", "ion popescu", "[X_1]", "", " ", "\ud800abcde",
                        "Ana-Maria Pop", 3, None, Str("Maria Pop"), BadHash(), BadEq(), b"Ion", ("a",)])
values = st.sampled_from(["[PERSON_NAME_1]", "[CNP_1]", "[X_1]", "", "\\1", "[A_", 1, None, Str("[ORG_1]"),
                          BadEq(), ["[P_1]"]])
types = st.sampled_from(["PERSON_NAME", "CNP", "ORGANIZATION", "URL", "NOT_A_TYPE", Str("DOMIVIA"), 5, BadHash(),
                         None])
entity_maps = st.dictionaries(types, st.one_of(st.dictionaries(keys, values, max_size=4), values, st.lists(keys)),
                              max_size=4) | st.sampled_from([[], "map", None, {"PERSON_NAME": None}])


@HOSTILE_SETTINGS
@given(text=texts, entity_map=entity_maps)
def test_postprocess_and_deanonymize(text, entity_map):
    for fn in (P.postprocess_anonymized, P.deanonymize_text):
        got = call(fn, text, entity_map)
        assert isinstance(got, (str, Exception))


def plain(entity_map) -> bool:
    return isinstance(entity_map, dict) and all(
        type(t) is str and type(inner) is dict
        and all(type(k) is str and type(v) is str for k, v in inner.items())
        for t, inner in entity_map.items())


def restore_in_one_pass(text: str, entity_map: dict) -> str:
    """Each placeholder of the text once, by the first text the map holds for
    it; values that are not placeholders stand for nothing."""
    first: dict[str, str] = {}
    for inner in entity_map.values():
        for original, placeholder in inner.items():
            if reference.PLACEHOLDER_RE.fullmatch(placeholder):
                first.setdefault(placeholder, original)
    return reference.PLACEHOLDER_RE.sub(lambda m: first.get(m.group(0), m.group(0)), text)


@HOSTILE_SETTINGS
@given(text=texts, entity_map=entity_maps)
def test_plain_maps_give_the_reference_result(text, entity_map):
    if not plain(entity_map):
        return
    assert P.deanonymize_text(text, entity_map) == restore_in_one_pass(text, entity_map)
    try:
        expected = reference.postprocess_anonymized(text, entity_map)
    except Exception as e:  # noqa: BLE001 - the re module refuses the pattern
        with pytest.raises(type(e)):
            P.postprocess_anonymized(text, entity_map)
    else:
        assert P.postprocess_anonymized(text, entity_map) == expected


def test_map_changed_while_it_is_read():
    inner = {}

    class Mutating(str):
        def __hash__(self):
            inner.clear()
            inner.update({f"Ion {i}": f"[PERSON_NAME_{i}]" for i in range(100)})
            return str.__hash__(self)

        __eq__ = str.__eq__

    inner.update({Mutating("Ion Popescu"): "[PERSON_NAME_1]", "Maria Pop": "[PERSON_NAME_2]"})
    for fn in (P.postprocess_anonymized, P.deanonymize_text):
        call(fn, "Ion Popescu și Maria Pop [PERSON_NAME_1]", {"PERSON_NAME": inner})


@HOSTILE_SETTINGS
@given(results=hostile_results(), text=texts,
       entity_map=entity_maps | st.builds(lambda m: {**m, "tarnis:document": BadBool()}, entity_maps.filter(
           lambda m: isinstance(m, dict))))
def test_anonymize_against_hostile_maps(results, text, entity_map):
    got = call(P.anonymize_text, text, results, entity_map=entity_map)
    if isinstance(got, tuple) and entity_map is not None:
        assert got[1] is entity_map


class GrowingMap(dict):
    """A map whose keys change it while they are hashed (inner texts) or
    whose result attributes change it while the results are read."""


def case_map():
    inner: dict = {}

    class Mutating(str):
        def __hash__(self):
            if ARMED:
                inner.clear()
                inner.update({f"Ion {i}": f"[PERSON_NAME_{i}]" for i in range(100)})
                outer["PERSON_NAME"] = ["not", "a", "dict"]
            return str.__hash__(self)

        __eq__ = str.__eq__

    outer = GrowingMap(PERSON_NAME=inner, CODE={"A-1": "[CODE_99999999999999999999]"})
    inner.update({Mutating("Ion Popescu"): "[PERSON_NAME_1]", "Maria Pop": "[PERSON_NAME_2]"})
    return outer


def mutating_results(entity_map, action):
    class Result:
        entity_type = "PERSON_NAME"
        start, end, score = 0, 11, 0.9
        analysis_explanation = None
        recognition_metadata: dict = {}

        @property
        def entity_type(self):
            if action == "clear":
                entity_map.clear()
            elif action == "swap":
                entity_map["PERSON_NAME"] = "[PERSON_NAME_1]"
            elif action == "grow":
                entity_map.update({f"T{i}": {f"x{i}": f"[T{i}_1]"} for i in range(200)})
            return "PERSON_NAME"

    return [Result(), R_("CODE", 12, 15)]


def R_(entity_type, start, end):
    return RecognizerResult(entity_type, start, end, 0.9)


@pytest.mark.parametrize("action", ["clear", "swap", "grow"])
def test_map_changed_while_anonymizing_against_it(action):
    entity_map = case_map()
    got = call(P.anonymize_text, "Ion Popescu A-1 și Maria Pop", mutating_results(entity_map, action),
               entity_map=entity_map)
    if isinstance(got, tuple):
        assert got[1] is entity_map and got[0].startswith("[PERSON_NAME_")
    # the map's own hostile key: a dict that changes while its texts are hashed
    got = call(P.anonymize_text, "Ion Popescu A-1", [R_("PERSON_NAME", 0, 11), R_("CODE", 12, 15)],
               entity_map=case_map())
    assert isinstance(got, (tuple, TypeError))


@pytest.mark.parametrize("entity_map", [
    {BadHash(): {}}, {BadEq(): {}}, {Str("PERSON_NAME"): {Str("Ion Popescu"): Str("[PERSON_NAME_1]")}},
    {"PERSON_NAME": {"Ion Popescu": BadEq()}}, {"PERSON_NAME": {BadHash(): "[PERSON_NAME_1]"}},
    {"PERSON_NAME": GrowingMap({"Ion Popescu": "[PERSON_NAME_1]"})},
    {"CODE": {"x": "[CODE_" + "9" * 5000 + "]"}}, {"CODE": {"x": "[CODE_" + "0" * 50 + "]"}},
])
def test_hostile_keys_and_values_of_a_map(entity_map):
    results = [R_("PERSON_NAME", 0, 11), R_("CODE", 12, 15)]
    got = call(P.anonymize_text, "Ion Popescu A-1", results, entity_map=entity_map)
    if isinstance(got, tuple):
        anonymized, returned = got
        assert returned is entity_map
        code = re.search(r"\[CODE_(\d+)\]", anonymized)
        known = [p for inner in entity_map.values() for p in inner.values()]
        if code and any(p.startswith("[CODE_9") for p in known):
            assert code.group(1) == "1" + "0" * 5000        # numbered after the highest, however large


@pytest.mark.parametrize("thresholds", [
    {"PERSON_NAME": 0.3}, {BadHash(): 1}, {BadEq(): 1}, {"PERSON_NAME": BadFloat()}, {3: None}, [], None,
])
def test_resolve_entity_thresholds(thresholds):
    got = call(analyzer.resolve_entity_thresholds, thresholds)
    if isinstance(got, dict):
        assert set(got) == set(analyzer._ALL_GLINER_ENTITY_THRESHOLDS)


# --- texts -------------------------------------------------------------------------------------------

MEGABYTE = "a" * 1_000_000
SPECIAL_TEXTS = [
    "", "\x00", "\ud800", "\udfff\ud800", "\x1c\x1d\x1e\x1f", "CNP\x001850101123456", "CNP 1850101123456\ud800",
    "tel.\x1c0722 123 456", "IBAN RO49\x1fAAAA 1B31 0075 9384 0000", "str.\x00Lungă nr. 5",
    "www.\ud800.ro", "BTRLRO22\x00",
]


@pytest.mark.parametrize("text", [MEGABYTE, "Ion\x00Popescu " * 50_000, "\ud800" * 1_000_000])
def test_processing_on_a_megabyte(text):
    results = [RecognizerResult("ORGANIZATION", 0, 11, 0.9), RecognizerResult("CNP", len(text) - 13, len(text), 0.9)]
    kept = P.filter_entity_denylist(text, P.resolve_overlaps(results, text))
    anonymized, entity_map = P.anonymize_text(text, kept)
    assert (anonymized, entity_map) == reference.anonymize_text(text, [RecognizerResult(
        r.entity_type, r.start, r.end, r.score) for r in kept])
    propagated = P.postprocess_anonymized(anonymized, entity_map)
    assert P.deanonymize_text(propagated, entity_map).count("\x00") == text.count("\x00")


def recognizers():
    return [CnpRecognizer(), CustomIbanRecognizer(), BICRecognizer(), CustomPhoneRecognizer(),
            RomanianStreetAddressRecognizer(), CodeRecognizer(), WordBoundedUrlRecognizer(supported_language="ro")]


RECOGNIZERS = recognizers()


def check_results(results, text):
    for r in results:
        assert 0 <= r.start < r.end <= len(text), (r, len(text))
        assert 0 <= r.score <= 1


@pytest.mark.parametrize("recognizer", RECOGNIZERS, ids=lambda r: type(r).__name__)
@pytest.mark.parametrize("text", SPECIAL_TEXTS + [MEGABYTE], ids=lambda t: repr(t[:12]))
def test_recognizers_on_special_texts(recognizer, text):
    results = recognizer.analyze(text, list(recognizer.supported_entities))
    check_results(results, text)


@pytest.mark.parametrize("recognizer", RECOGNIZERS, ids=lambda r: type(r).__name__)
@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(text=texts)
def test_recognizers_on_generated_texts(recognizer, text):
    results = call(recognizer.analyze, text, list(recognizer.supported_entities))
    if isinstance(results, list):
        check_results(results, text)


entity_lists = st.lists(st.sampled_from(["CNP", "URL", Str("IBAN_CODE"), "PHONE_NUMBER", BadEq(), BadHash(), 3,
                                         None, "DOMIVIA", "CODE", "BIC"]), max_size=4)


@pytest.mark.parametrize("recognizer", RECOGNIZERS, ids=lambda r: type(r).__name__)
@settings(max_examples=30, deadline=None, suppress_health_check=list(HealthCheck))
@given(entities=entity_lists, text=st.sampled_from(SPECIAL_TEXTS[5:]))
def test_recognizers_with_hostile_arguments(recognizer, entities, text):
    call(recognizer.analyze, text, entities)
    for bad in (None, b"CNP 1850101123456", 3, Str("CNP 1850101123456"), BadEq()):
        got = call(recognizer.analyze, bad, ["CNP"])
        if isinstance(got, list):
            assert isinstance(bad, str)


@pytest.mark.parametrize("cls, kwargs", [
    (CustomIbanRecognizer, {"supported_language": BadEq()}),
    (CustomPhoneRecognizer, {"supported_regions": ("RO", BadHash())}),
    (CustomPhoneRecognizer, {"supported_regions": ["RO"]}),
    (CustomPhoneRecognizer, {"leniency": 2**70}),
    (CustomPhoneRecognizer, {"leniency": BadIndex()}),
    (CustomPhoneRecognizer, {"context": BadBool()}),
    (RomanianStreetAddressRecognizer, {"supported_language": 3}),
    (RomanianStreetAddressRecognizer, {"supported_entities": [BadHash()]}),
    (WordBoundedUrlRecognizer, {"supported_language": None}),
])
def test_constructors_with_hostile_arguments(cls, kwargs):
    rec = call(cls, **kwargs)
    if not isinstance(rec, Exception):
        call(rec.analyze, "CNP 1850101123456 tel. 0722 123 456 www.anaf.ro", None)


@pytest.mark.parametrize("name, value", [
    ("_MIN_IBAN_LEN", BadIndex()), ("_MAX_IBAN_LEN", 2**70), ("_validate_iban", lambda code: BadBool()),
    ("_preceded_by_alpha", lambda text, start: BadBool()), ("_compute_score", lambda *a: BadFloat()),
    ("_compute_score", lambda *a: math.nan), ("_patterns", [("formal", BadEq())]), ("_patterns", [BadHash()]),
    ("name", BadEq()), ("_bic8", BadBool()), ("_in_registry", lambda bic: BadBool()),
])
@pytest.mark.parametrize("cls", [CustomIbanRecognizer, CustomPhoneRecognizer, RomanianStreetAddressRecognizer,
                                 BICRecognizer, CnpRecognizer])
def test_recognizers_with_hostile_overrides(cls, name, value):
    rec = cls()
    try:
        setattr(rec, name, value)
    except (AttributeError, TypeError):
        return
    text = "CNP 1850101123456, IBAN RO49AAAA1B31007593840000, tel. 0722 123 456, str. Lungă nr. 5, BTRLRO22"
    got = call(rec.analyze, text, list(rec.supported_entities))
    if isinstance(got, list):
        check_results(got, text)


# --- the neural recognizer with a hostile model ------------------------------------------------------

class HostileModel:
    def __init__(self, predictions, max_len=None):
        self.predictions = predictions
        self.config = SimpleNamespace(max_len=max_len)

    def predict_entities(self, text, labels, threshold=0.5, flat_ner=False):
        return self.predictions(text) if callable(self.predictions) else self.predictions


prediction = st.fixed_dictionaries({
    "label": st.sampled_from(["persoană", "companie", "necunoscut", Str("persoană"), BadHash(), 3, None]),
    "score": st.sampled_from([0.9, 0.1, math.nan, math.inf, "0.9", BadFloat(), True, None]),
    "start": st.sampled_from([0, 2, 5, -1, 2**63, 2**70, True, 2.0, BadIndex(), None]),
    "end": st.sampled_from([3, 9, 12, 2**63 - 1, -(2**70), BadIndex(), None]),
})


@pytest.fixture(scope="module")
def gliner(blank_ro_spacy_dir):
    class Offline(SmartGLiNERRecognizer):
        def load(self):
            if self.nlp is None:
                import spacy
                self.nlp = spacy.load(blank_ro_spacy_dir)

    return Offline(entity_mapping=dict(analyzer.GLINER_ENTITY_MAPPING),
                   entity_thresholds=dict(analyzer.GLINER_ENTITY_THRESHOLDS), spacy_model=blank_ro_spacy_dir)


@HOSTILE_SETTINGS
@given(preds=st.lists(prediction, max_size=5) | st.sampled_from([None, 3, [None], [{}], "x", [BadEq()]]),
       text=texts, max_len=st.sampled_from([None, 0, 1, 3, 2**70, -5, "384", BadIndex()]),
       entities=entity_lists | st.just(["PERSON_NAME", "ORGANIZATION"]))
def test_gliner_with_hostile_predictions(gliner, preds, text, max_len, entities):
    gliner.model = HostileModel(preds, max_len)
    got = call(gliner.analyze, text, entities)
    if isinstance(got, list):
        check_results(got, text)


@pytest.mark.parametrize("chunks", [
    ([(2**63 - 1, 2**63, "Ion")], [(0, 3)]), ([(0, 3, "Ion")], [(-(2**63), 2**63 - 1)]),
    ([(0, 3, b"Ion")], [(0, 3)]), ([(0, 3)], [(0, 3)]), ([BadEq()], [(0, 3)]), ([(0, 3, "Ion")], []),
    ([(-1, 3, "Ion")], [(0, 3)]), ([(0, 3, "Ion")], [(0, 2**70)]),
])
def test_gliner_with_hostile_chunks(gliner, chunks, monkeypatch):
    gliner.model = HostileModel([{"label": "persoană", "score": 0.9, "start": 0, "end": 3}])
    monkeypatch.setattr(gliner, "_build_chunks", lambda text: chunks)
    got = call(gliner.analyze, "Ion Pop", ["PERSON_NAME"])
    if isinstance(got, list):
        check_results(got, "Ion Pop")


@pytest.mark.parametrize("kwargs", [
    {"entity_mapping": {"persoană": BadEq()}}, {"entity_mapping": {BadHash(): "PERSON_NAME"}},
    {"entity_mapping": {"persoană": Str("PERSON_NAME")}}, {"entity_thresholds": {"persoană": BadFloat()}},
    {"entity_thresholds": {"persoană": math.nan}}, {"max_chunk_tokens": 2**70}, {"max_chunk_tokens": -1},
    {"overlap_sentences": True}, {"threshold": BadFloat()}, {"flat_ner": BadBool()}, {"model_name": None},
])
def test_gliner_constructor_with_hostile_arguments(kwargs, blank_ro_spacy_dir):
    class Offline(SmartGLiNERRecognizer):
        def load(self):
            pass

    call(Offline, spacy_model=blank_ro_spacy_dir, **kwargs)


@pytest.mark.parametrize("kwargs", [
    {"flat_ner": BadBool()}, {"threshold": BadFloat()}, {"threshold": "x"}, {"max_chunk_tokens": BadIndex()},
    {"entity_thresholds": {"persoană": BadFloat()}}, {"gliner_entity_mapping": {BadHash(): "X"}},
    {"supported_language": Str("ro")}, {"spacy_model": 3},
])
def test_build_analyzer_with_hostile_arguments(kwargs):
    got = call(analyzer.build_analyzer, model_name="/nonexistent/gliner", **kwargs)
    assert isinstance(got, Exception)


@pytest.mark.parametrize("language", [None, 3, BadEq(), Str("ro")])
def test_rule_recognizers_with_hostile_language(language):
    call(analyzer._rule_recognizers, language)
