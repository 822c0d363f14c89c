"""Verification of doubtful detections by a language model, run through the
real `openai` client against the scripted server of slm_server.py."""

from __future__ import annotations

import dataclasses
import json
import logging
import os
import stat
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from presidio_analyzer import RecognizerResult

from support.slm_server import DROP, Raw, accept_all, payload_of, reject_all, verdicts
from tarnis.slm import fallback as F
from tarnis.slm import prompts

LOGGER = "tarnis.slm.fallback"


def R(entity_type, start, end, score=0.5, recognizer="CodeRecognizer"):
    meta = {"recognizer_name": recognizer} if recognizer else None
    return RecognizerResult(entity_type=entity_type, start=start, end=end, score=score, recognition_metadata=meta)


def state(r):
    """Everything of a result except its entity type."""
    return (r.start, r.end, r.score, r.recognition_metadata, r.analysis_explanation)


@pytest.fixture
def make(slm_server, tmp_path):
    """make(script=None, models=None, fast=True, **kwargs) -> (fallback, server).
    `fast` turns the client's own retries off, so failing tests stay quick."""

    def build(script=None, models=None, fast=True, **kwargs):
        server = slm_server(script, models)
        kwargs.setdefault("log_dir", tmp_path / "logs")
        fb = F.SLMFallback(server.base_url, **kwargs)
        if fast:
            fb.client = fb.client.with_options(max_retries=0)
        return fb, server

    return build


def read_jsonl(path):
    return [json.loads(line) for line in Path(path).read_text(encoding="utf-8").splitlines()]


TEXT = "Conform Legea nr. 153/2017 și dosarul nr. 1234/3/2023 al lui Ion, contul ion.popescu85 rămâne activ."


def span(sub, entity_type="CODE", score=0.5, recognizer="CodeRecognizer", text=TEXT):
    start = text.index(sub)
    return R(entity_type, start, start + len(sub), score, recognizer)


# --- module surface -----------------------------------------------------------------------------

def test_module_is_native_and_binds_its_names():
    assert F.__file__.endswith(".so")
    import openai
    assert F.OpenAI is openai.OpenAI and F.RecognizerResult is RecognizerResult
    for name in ("PERSON_NAME", "CODE", "ORGANIZATION", "USERNAME", "DOMIVIA", "PASSWORD"):
        assert getattr(F, f"{name}_SYSTEM_PROMPT") is getattr(prompts, f"{name}_SYSTEM_PROMPT")
    assert logging.getLogger(LOGGER) is F.logger


def test_data_model():
    cfg_fields = dataclasses.fields(F.EntityFallbackConfig)
    assert [(f.name, f.default) for f in cfg_fields] == [
        ("slm_threshold", dataclasses.MISSING), ("context_words", None), ("filter_sources", None),
        ("system_prompt", None)]
    assert F.EntityFallbackConfig.__doc__ == "Per-entity SLM fallback configuration."
    assert F.EntityFallbackConfig.__module__ == "tarnis.slm.fallback"
    assert [(f.name, f.default) for f in dataclasses.fields(F.SLMVerdict)] == [
        ("result", dataclasses.MISSING), ("accepted", dataclasses.MISSING), ("reason", dataclasses.MISSING),
        ("original_entity_type", "")]
    assert F.SLMVerdict(R("CODE", 0, 1), True, "x") == F.SLMVerdict(R("CODE", 0, 1), True, "x", "")
    assert issubclass(F.SLMUnavailableError, Exception)
    assert F.SLMUnavailableError.__doc__ == "Raised when on_failure='error' and the SLM server becomes unavailable."
    assert F.SLMUnavailableError.__module__ == "tarnis.slm.fallback"


def test_constants():
    table = {k: (v.slm_threshold, v.context_words, v.filter_sources, v.system_prompt)
             for k, v in F.DEFAULT_PER_ENTITY_CONFIG.items()}
    assert list(table) == ["PERSON_NAME", "CODE", "ORGANIZATION", "USERNAME", "DOMIVIA", "PASSWORD"]
    assert table["PERSON_NAME"] == (0.7, 10, None, prompts.PERSON_NAME_SYSTEM_PROMPT)
    assert table["DOMIVIA"] == (0.65, None, {"SmartGLiNERRecognizer"}, prompts.DOMIVIA_SYSTEM_PROMPT)
    assert type(table["USERNAME"][0]) is int and type(table["PASSWORD"][0]) is int
    assert F.DEFAULT_SLM_ENTITY_TYPES == {"CODE", "USERNAME", "PASSWORD", "ORGANIZATION"}
    assert F._NO_SLM_RECLASSIFY == {"CNP", "IDNP"}
    assert type(F._UNSET) is object


def test_class_texts():
    cls = F.SLMFallback
    assert cls.__doc__ == ("\n    Post-filter layer that routes low-confidence RecognizerResults through\n"
                           "    an OpenAI-compatible local SLM for context-aware verification.\n    ")
    prompt = cls.DEFAULT_SYSTEM_PROMPT
    assert len(prompt) == 1414
    lines = prompt.split("\n")
    assert lines[0].startswith("You are a Romanian document analyzer") and lines[1] == ""
    assert lines[2].startswith("        Your task") and lines[-1] == " " * 8
    assert lines[-2] == ('        {"results": [{"id": <int>, "reason": "<max 15 words>", "pii": <bool>, '
                         '"entity_type": "<string or null>"}]}')
    assert cls.USER_TEMPLATE == "Entities:\n{entities_json}"


@pytest.mark.parametrize("name", ["PERSON_NAME", "CODE", "ORGANIZATION", "USERNAME", "DOMIVIA", "PASSWORD"])
def test_prompts_ask_for_the_verdict_object(name):
    prompt = getattr(prompts, f"{name}_SYSTEM_PROMPT")
    assert prompt.rstrip().endswith('"entity_type": "<string or null>"}]}')
    assert len(prompt) < 3000


# --- constructor --------------------------------------------------------------------------------

def test_defaults_without_a_request(make):
    fb, server = make(required=False)
    assert server.calls == []
    assert fb.model == "qwen3.5:9b" and fb.slm_threshold == 0.4 and type(fb.slm_threshold) is float
    assert (fb.context_words, fb.batch_size, fb.max_tokens, fb.top_k) == (6, 10, 2048, 20)
    assert (fb.temperature, fb.top_p, fb.presence_penalty) == (0.7, 0.8, 1.5)
    assert fb.per_entity_config == F.DEFAULT_PER_ENTITY_CONFIG
    assert fb.per_entity_config is not F.DEFAULT_PER_ENTITY_CONFIG
    assert fb.per_entity_config["CODE"] is F.DEFAULT_PER_ENTITY_CONFIG["CODE"]
    assert fb.slm_entity_types == F.DEFAULT_SLM_ENTITY_TYPES and fb.slm_entity_types is not F.DEFAULT_SLM_ENTITY_TYPES
    assert (fb._slm_available, fb._health_error, fb._consecutive_failures, fb.last_verdicts) == (None, None, 0, [])
    assert fb.on_failure == "accept" and fb.max_consecutive_failures == 2
    assert fb.allowed_entity_types is None and fb.extra_body is None and fb.filter_sources is None


def test_default_address_and_log_dir(monkeypatch):
    seen = {}

    class Client:
        def __init__(self, **kwargs):
            seen.update(kwargs)

    monkeypatch.setattr(F, "OpenAI", Client)
    fb = F.SLMFallback(required=False)
    assert seen == {"api_key": "local-no-auth", "base_url": "http://localhost:11434/v1"}
    assert isinstance(fb.client, Client) and fb.log_dir == Path("results")


def test_all_twenty_parameters_by_position(make, tmp_path):
    server_fb, server = make(required=False)
    args = [server.base_url, "m", "key", 0.5, 3, 4, 100, {"X"}, None, None, {"PERSON_NAME"}, 0.1, 0.2, 5, 0.3,
            {"seed": 1}, tmp_path, False, "reject", 7]
    fb = F.SLMFallback(*args)
    assert (fb.model, fb.slm_threshold, fb.context_words, fb.batch_size, fb.max_tokens) == ("m", 0.5, 3, 4, 100)
    assert (fb.filter_sources, fb.per_entity_config, fb.slm_entity_types) == ({"X"}, {}, None)
    assert (fb.allowed_entity_types, fb.temperature, fb.top_p, fb.top_k, fb.presence_penalty) == (
        {"PERSON_NAME"}, 0.1, 0.2, 5, 0.3)
    assert (fb.extra_body, fb.log_dir, fb.on_failure, fb.max_consecutive_failures) == ({"seed": 1}, tmp_path, "reject", 7)
    with pytest.raises(TypeError):
        F.SLMFallback(*args, "extra")


def test_per_entity_config_and_types_are_normalized(make):
    types = {"CODE"}
    fb, _ = make(required=False, per_entity_config={"CODE": {"slm_threshold": 0.8, "filter_sources": ["Code"]}},
                 slm_entity_types=types)
    assert fb.per_entity_config == {"CODE": F.EntityFallbackConfig(0.8, None, {"Code"}, None)}
    assert fb.slm_entity_types == {"CODE"} and fb.slm_entity_types is not types
    source = {"slm_threshold": 0.8, "filter_sources": ["Code"]}
    assert F._normalize_entity_config(source).filter_sources == {"Code"}
    assert source["filter_sources"] == ["Code"]
    cfg = F.EntityFallbackConfig(0.3)
    assert F._normalize_entity_config(cfg) is cfg
    assert make(required=False, per_entity_config={})[0].per_entity_config == {}


@pytest.mark.parametrize("kwargs, exc", [
    ({"base_url": 1}, TypeError),
    ({"model": None}, TypeError),
    ({"api_key": 5}, TypeError),
    ({"slm_threshold": "0.4"}, TypeError),
    ({"context_words": 2.0}, TypeError),
    ({"context_words": -1}, ValueError),
    ({"batch_size": "10"}, TypeError),
    ({"batch_size": 0}, ValueError),
    ({"max_tokens": None}, TypeError),
    ({"filter_sources": ["Code"]}, TypeError),
    ({"filter_sources": {1}}, TypeError),
    ({"per_entity_config": ["CODE"]}, TypeError),
    ({"per_entity_config": {"CODE": {"threshold": 0.5}}}, TypeError),
    ({"per_entity_config": {"CODE": {}}}, TypeError),
    ({"per_entity_config": {"CODE": {"slm_threshold": "high"}}}, TypeError),
    ({"per_entity_config": {"CODE": {"slm_threshold": 0.5, "context_words": -2}}}, ValueError),
    ({"slm_entity_types": "CODE"}, TypeError),
    ({"allowed_entity_types": ["CODE"]}, TypeError),
    ({"temperature": None}, TypeError),
    ({"top_k": 20.0}, TypeError),
    ({"extra_body": [("top_k", 1)]}, TypeError),
    ({"log_dir": 3}, TypeError),
    ({"on_failure": None}, TypeError),
    ({"max_consecutive_failures": 2.5}, TypeError),
])
def test_bad_arguments(make, kwargs, exc):
    with pytest.raises(exc):
        make(required=False, **kwargs)


def test_real_numbers_are_stored_as_floats(make):
    fb, _ = make(required=False, slm_threshold=1, temperature=0, top_p=True, presence_penalty=2)
    assert [type(v) for v in (fb.slm_threshold, fb.temperature, fb.top_p, fb.presence_penalty)] == [float] * 4


def test_client_is_built_through_the_module_attribute(monkeypatch, make):
    made = []
    real = F.OpenAI
    monkeypatch.setattr(F, "OpenAI", lambda **kw: made.append(kw) or real(**kw))
    fb, server = make(required=False)
    assert made == [{"api_key": "local-no-auth", "base_url": server.base_url}]


# --- health check -------------------------------------------------------------------------------

@pytest.mark.parametrize("models, model, ok", [
    (["qwen3.5:9b"], "qwen3.5:9b", True),
    (["qwen3.5:9b:latest"], "qwen3.5:9b", True),
    (["qwen3.5:9b"], "qwen3.5:9b:latest", False),
    (["Qwen3.5:9B"], "qwen3.5:9b", False),
    ([], "anything", True),
    (["a", "b"], "c", False),
])
def test_model_matching(make, caplog, models, model, ok):
    fb, server = make(models=models, model=model, required=False)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert fb._check_health() is ok
    assert fb._slm_available is ok
    if ok:
        assert caplog.messages == [f"SLM server available at {server.base_url} (model: {model})"]
    else:
        expected = (f"SLM model {model!r} not found on server at {server.base_url}. "
                    f"Available models: {', '.join(models)}")
        assert fb._health_error == expected
        assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.WARNING, expected)]


@pytest.mark.parametrize("on_failure, action", [("accept", "kept"), ("reject", "rejected")])
def test_unreachable_server(make, caplog, on_failure, action):
    fb, server = make(required=False, on_failure=on_failure)
    server.stop()
    with caplog.at_level(logging.INFO, logger=LOGGER):
        assert fb._check_health() is False
    assert fb._slm_available is False
    assert fb._health_error.startswith(f"SLM server unavailable at {server.base_url}: ")
    assert caplog.messages == [
        f"SLM fallback disabled ({fb._health_error}) — low-confidence entities will be {action}. "
        "To enable, start an OpenAI-compatible server at that address."]


def test_required_check_raises_the_health_error(make, slm_server, tmp_path):
    server = slm_server(models=["other"])
    with pytest.raises(RuntimeError) as info:
        F.SLMFallback(server.base_url, log_dir=tmp_path)
    assert info.value.args == (
        f"SLM model 'qwen3.5:9b' not found on server at {server.base_url}. Available models: other",)
    fb, _ = make(models=500, required=False)
    assert fb._check_health() is False and fb._health_error.startswith("SLM server unavailable at ")
    ok, server = make()
    assert ok._slm_available is True and [c[0] for c in server.calls] == ["GET"]
    assert server.calls[0][1].endswith("/v1/models") and server.calls[0][2] == "Bearer local-no-auth"


# --- routing ------------------------------------------------------------------------------------

@pytest.mark.parametrize("result, kwargs, ambiguous", [
    (R("PERSON_NAME", 0, 3, 0.5), {}, False),                          # not an eligible type by default
    (R("PERSON_NAME", 0, 3, 0.5), {"slm_entity_types": None}, True),   # 0.5 < 0.7
    (R("CODE", 0, 3, 0.65), {}, False),                                # the band is strict
    (R("CODE", 0, 3, 0.6499), {}, True),
    (R("CODE", 0, 3, 0.0), {}, True),                                  # no lower edge
    (R("USERNAME", 0, 3, 0.99), {}, True),                             # threshold 1
    (R("USERNAME", 0, 3, 1.0), {}, False),
    (R("ORGANIZATION", 0, 3, 0.89), {}, True),
    (R("DOMIVIA", 0, 3, 0.5, "StreetAddressRecognizer"), {"slm_entity_types": None}, False),
    (R("DOMIVIA", 0, 3, 0.5, "SmartGLiNERRecognizer"), {"slm_entity_types": None}, True),
    (R("DOMIVIA", 0, 3, 0.5, None), {"slm_entity_types": None}, False),  # "<no_name>" fails the filter
    (R("CODE", 0, 3, 0.5, None), {}, True),                            # no filter applies
    (R("EMAIL_ADDRESS", 0, 3, 0.39), {"slm_entity_types": None}, True),  # instance threshold 0.4
    (R("EMAIL_ADDRESS", 0, 3, 0.4), {"slm_entity_types": None}, False),
    (R("EMAIL_ADDRESS", 0, 3, 0.1, "EmailRecognizer"), {"slm_entity_types": None, "filter_sources": {"Email"}}, True),
    (R("EMAIL_ADDRESS", 0, 3, 0.1, "EmailRecognizer"), {"slm_entity_types": None, "filter_sources": {"Phone"}}, False),
    (R("EMAIL_ADDRESS", 0, 3, 0.1), {"slm_entity_types": None, "filter_sources": set()}, False),
    # a per-entity config replaces the instance-wide threshold and sources
    (R("CODE", 0, 3, 0.7), {"per_entity_config": {"CODE": {"slm_threshold": 0.8}}, "slm_threshold": 0.1,
                            "filter_sources": {"Nope"}}, True),
    (R("CODE", 0, 3, 0.5), {"per_entity_config": None}, False),         # falls back to 0.4
])
def test_routing(make, result, kwargs, ambiguous):
    fb, _ = make(required=False, **kwargs)
    certain, amb = fb._split([result])
    assert (amb, certain) == (([result], []) if ambiguous else ([], [result]))


def test_split_keeps_order_and_logs(make, caplog):
    fb, _ = make(required=False)
    rs = [R("CODE", 0, 1, 0.9), R("CODE", 1, 2, 0.3), R("PERSON_NAME", 2, 3, 0.1), R("ORGANIZATION", 3, 4, 0.5, None)]
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        certain, amb = fb._split(rs)
    assert certain == [rs[0], rs[2]] and amb == [rs[1], rs[3]]
    assert caplog.messages == [
        "[split] CODE          score=0.90  in_band=False  source_match=True   recognizer=CodeRecognizer"
        + " " * 21 + " → CERTAIN",
        "[split] CODE          score=0.30  in_band=True   source_match=True   recognizer=CodeRecognizer"
        + " " * 21 + " → AMBIGUOUS",
        "[split] ORGANIZATION  score=0.50  in_band=True   source_match=True   recognizer=<no_name>"
        + " " * 26 + " → AMBIGUOUS",
        "[split] total=4  certain=2  ambiguous=2",
    ]


def test_batches(make):
    fb, _ = make(required=False)
    assert [len(b) for b in fb._batches(list(range(25)))] == [10, 10, 5]
    assert fb._batches([]) == []
    fb.batch_size = 0
    with pytest.raises(ValueError):
        fb._batches([1])


def test_system_prompt_choice(make):
    fb, _ = make(required=False, per_entity_config={"CODE": {"slm_threshold": 0.5, "system_prompt": ""},
                                                    "USERNAME": {"slm_threshold": 1, "system_prompt": "U"}})
    assert fb._get_system_prompt("CODE") == fb.DEFAULT_SYSTEM_PROMPT
    assert fb._get_system_prompt("USERNAME") == "U"
    assert fb._get_system_prompt("PERSON_NAME") == fb.DEFAULT_SYSTEM_PROMPT


# --- context snippet ----------------------------------------------------------------------------

WORDS = "w1 w2 w3 w4 w5 w6 w7 w8 "


@pytest.mark.parametrize("text, sub, entity_type, expected", [
    (WORDS + "SPAN " + WORDS.replace("w", "v"), "SPAN", "CODE", "w3 w4 w5 w6 w7 w8 >>>SPAN<<< v1 v2 v3 v4 v5 v6"),
    ("SPAN a  b\n\nc", "SPAN", "CODE", ">>>SPAN<<< a b c"),
    ("a\tb SPAN", "SPAN", "CODE", "a b >>>SPAN<<<"),
    ("x " * 12 + "Ion  Pop" + " y" * 12, "Ion  Pop", "PERSON_NAME", "x " * 9 + "x >>>Ion  Pop<<< " + "y " * 9 + "y"),
    ("ab", "ab", "CODE", ">>>ab<<<"),
    ("pre-SPAN-post tail", "SPAN", "CODE", "pre- >>>SPAN<<< -post tail"),
])
def test_context(make, text, sub, entity_type, expected):
    fb, _ = make(required=False)
    start = text.index(sub)
    assert fb._context(text, R(entity_type, start, start + len(sub))) == expected


def test_context_uses_slice_semantics(make):
    fb, _ = make(required=False, context_words=1)
    text = "one two three"
    assert fb._context(text, R("CODE", -5, 10**30)) == "two >>>three<<<"
    assert fb._context(text, R("CODE", 8, 4)) == "two >>><<< two"
    fb.context_words = 0
    assert fb._context(text, R("CODE", 4, 7)) == ">>>two<<<"


def test_context_override_is_used(make):
    fb, server = make()
    fb._context = lambda text, result: "CTX"
    fb.filter(TEXT, [span("153/2017")])
    assert payload_of(server.requests[0])[0]["context"] == "CTX"


# --- answer repair ------------------------------------------------------------------------------

GOOD = {"results": [{"id": 0, "reason": "ok", "pii": True}]}


@pytest.mark.parametrize("raw, expected", [
    ('{"results": [{"id": 0, "reason": "ok", "pii": true}]}', GOOD),
    ('```json\n{"results": [{"id": 0, "reason": "ok", "pii": true}]}\n```', GOOD),
    ('```{"results": []}```', None),  # no newline: the fence is not stripped and the object still parses
    ('Sure! Here it is: {"results": [{"id": 0, "reason": "ok", "pii": true}]} Hope this helps {x}', GOOD),
    ('{"results": [{"id": 0, "reason": "ok", "pii": true}, {"id": 1, "reason": "cut he',
     {"results": [GOOD["results"][0], {"id": 1, "reason": "cut he"}]}),
    ('{"results": [{"id": 0, "reason": "ok", "pii": true}', GOOD),
    ('{"results": [{"id": 0, "reason": "ok", "pii": true}]', GOOD),
    ("{'results': [{'id': 0, 'reason': 'ok', 'pii': true}]}", GOOD),
    ("{ 'results': [{ 'id': 0,  'reason' : 'ok', 'pii': true}]}", GOOD),
    ('{"results": [{"id": 0, "reason": "the "Legea" reference", "pii": true}]}',
     {"results": [{"id": 0, "reason": 'the "Legea" reference', "pii": True}]}),
    ('{"a": "x \\"}\\" y"}', {"a": 'x "}" y'}),
])
def test_repair(make, raw, expected):
    fb, _ = make(required=False)
    parsed = fb._repair_json(raw)
    assert parsed == (expected if expected is not None else {"results": []})


@pytest.mark.parametrize("raw, message", [
    ("no object here", "No JSON object found in response"),
    ("", "No JSON object found in response"),
    ("{not json at all", "Could not repair JSON: {not json at all}..."),
])
def test_repair_failures(make, raw, message):
    fb, _ = make(required=False)
    with pytest.raises(ValueError) as info:
        fb._repair_json(raw)
    assert str(info.value) == message


# --- requests -----------------------------------------------------------------------------------

def test_request_fields_and_payload(make):
    fb, server = make(top_k=7, extra_body={"seed": 3}, allowed_entity_types={"CNP", "PERSON_NAME", "CODE"})
    text = "Dosarul nr. 1234/3/2023 privind pârâta Ștefănescu."
    r = span("1234/3/2023", score=0.123456, text=text)
    assert fb.filter(text, [r]) == [r]
    (body,) = server.requests
    assert body["model"] == "qwen3.5:9b"
    assert (body["temperature"], body["top_p"], body["presence_penalty"], body["max_tokens"]) == (0.7, 0.8, 1.5, 2048)
    assert (body["top_k"], body["reasoning_effort"], body["seed"]) == (7, "none", 3)
    assert "extra_body" not in body
    system, user = body["messages"]
    assert system == {"role": "system", "content": prompts.CODE_SYSTEM_PROMPT}
    assert user["role"] == "user"
    payload = [{"id": 0, "entity_type": "CODE", "value": "1234/3/2023",
                "context": "Dosarul nr. >>>1234/3/2023<<< privind pârâta Ștefănescu.", "score": 0.123}]
    assert user["content"] == ("Supported entity types: CODE, PERSON_NAME\n\nEntities:\n"
                               + json.dumps(payload, ensure_ascii=False, indent=2))
    assert list(payload_of(body)[0]) == ["id", "entity_type", "value", "context", "score"]


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.text(max_size=6) | st.integers(), children, max_size=4),
    max_leaves=25)


_ONE_PER_TEST = {}


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(payload=st.lists(JSON_VALUES, max_size=4))
def test_user_message_is_the_indented_json_of_the_payload(make, payload):
    """The payload is sent exactly as json.dumps(payload, ensure_ascii=False, indent=2) writes it."""
    if id(make) not in _ONE_PER_TEST:
        _ONE_PER_TEST.clear()
        _ONE_PER_TEST[id(make)] = make(lambda b: '{"results": []}')
    fb, server = _ONE_PER_TEST[id(make)]
    assert fb._call_slm(payload, "CODE") == []
    assert server.requests[-1]["messages"][1]["content"] == (
        "Entities:\n" + json.dumps(payload, ensure_ascii=False, indent=2))


@pytest.mark.parametrize("kwargs, fields, prefix", [
    ({"extra_body": {"top_k": 99, "reasoning_effort": "high"}}, (99, "high"), "Entities:\n"),
    ({"allowed_entity_types": {"CNP"}}, (20, "none"), "Supported entity types: \n\nEntities:\n"),
    ({"allowed_entity_types": set()}, (20, "none"), "Entities:\n"),
])
def test_extra_fields_and_supported_types(make, kwargs, fields, prefix):
    fb, server = make(**kwargs)
    fb.filter(TEXT, [span("153/2017")])
    (body,) = server.requests
    assert (body["top_k"], body["reasoning_effort"]) == fields
    assert body["messages"][1]["content"].startswith(prefix)


def test_half_even_score_rounding(make):
    fb, server = make()
    fb.filter(TEXT, [span("153/2017", score=0.0625), span("1234/3/2023", score=0.1235)])
    assert [i["score"] for i in payload_of(server.requests[0])] == [round(0.0625, 3), round(0.1235, 3)]


# --- verdicts -----------------------------------------------------------------------------------

def three():
    return [span("153/2017"), span("1234/3/2023"), span("ion.popescu85")]


@pytest.mark.parametrize("verdict, allowed, kept_type, accepted", [
    ({"id": 0, "pii": True, "entity_type": "CNP"}, None, "CODE", True),
    ({"id": 0, "pii": True, "entity_type": "PERSON_NAME"}, {"ORGANIZATION"}, "CODE", True),
    ({"id": 0, "pii": True, "entity_type": "PERSON_NAME"}, None, "PERSON_NAME", True),
    ({"id": 0, "pii": True, "entity_type": "ORGANIZATION"}, {"ORGANIZATION"}, "ORGANIZATION", True),
    ({"id": 0, "pii": True, "entity_type": None}, None, "CODE", True),
    ({"id": 0, "pii": True, "entity_type": ""}, None, "CODE", True),
    ({"id": 0, "pii": True, "entity_type": ["PERSON_NAME"]}, None, "CODE", True),   # not a type name: ignored
    ({"id": 0, "pii": False, "entity_type": "PERSON_NAME"}, None, "CODE", False),
])
def test_reclassification(make, verdict, allowed, kept_type, accepted):
    fb, server = make(lambda body: verdicts(verdict), allowed_entity_types=allowed)
    r = span("153/2017")
    before = state(r)
    out = fb.filter(TEXT, [r])
    assert out == ([r] if accepted else [])
    assert r.entity_type == kept_type and state(r) == before
    (v,) = fb.last_verdicts
    assert (v.result, v.accepted, v.original_entity_type) == (r, accepted, "CODE")
    assert len(server.requests) == 1


def test_results_are_unchanged_apart_from_reclassification(make):
    rs = three()
    before = [state(r) for r in rs]
    fb, _ = make(lambda body: verdicts({"id": 0, "pii": True, "entity_type": "PERSON_NAME"},
                                       {"id": 1, "pii": False}, {"id": 2, "pii": True}), slm_entity_types=None)
    fb.filter(TEXT, rs)
    assert [state(r) for r in rs] == before
    assert [r.entity_type for r in rs] == ["PERSON_NAME", "CODE", "CODE"]


def test_empty_answer_retries_all_then_keeps_them(make, caplog):
    fb, server = make(lambda body: verdicts())
    rs = three()
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        out = fb.filter(TEXT, rs)
    assert out == rs and fb._consecutive_failures == 0
    assert [i["id"] for i in payload_of(server.requests[1])] == [0, 1, 2]
    assert [v.reason for v in fb.last_verdicts] == ["retry_still_missing"] * 3
    assert ("[retry] 3 entities need retry (missing pii key or absent from response): "
            "[\"CODE='153/2017'\", \"CODE='1234/3/2023'\", \"CODE='ion.popescu85'\"]") in caplog.messages
    assert "[retry] DEFAULT_ACCEPT  id=2  CODE='ion.popescu85'  (still missing after retry)" in caplog.messages


def test_retry_ids_map_back_to_batch_positions(make, caplog):
    def script(body):
        payload = payload_of(body)
        if len(payload) == 3:
            return verdicts({"id": 1, "reason": "lege", "pii": False})
        return verdicts({"id": 1, "reason": "cont", "pii": True}, {"id": 0, "pii": False, "reason": "x"})

    fb, server = make(script)
    rs = three()
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        out = fb.filter(TEXT, rs)
    assert [i["value"] for i in payload_of(server.requests[1])] == ["153/2017", "ion.popescu85"]
    assert [i["id"] for i in payload_of(server.requests[1])] == [0, 1]
    assert out == [rs[2]]
    assert [(v.result, v.accepted, v.reason) for v in fb.last_verdicts] == [
        (rs[1], False, "lege"), (rs[2], True, "retry: cont"), (rs[0], False, "retry: x")]
    assert "[retry] ACCEPTED  id=2  CODE='ion.popescu85'  reason=cont" in caplog.messages
    assert "[retry] REJECTED  id=0  CODE='153/2017'  reason=x" in caplog.messages
    log = read_jsonl(fb.log_dir / "slm_request_log.jsonl")
    assert [e["is_retry"] for e in log] == [False, True]


@pytest.mark.parametrize("bad", [{"id": 7, "pii": True}, {"id": "0", "pii": True}, {"id": -1, "pii": True},
                                 {"id": None, "pii": True}, {"pii": True}, {"id": 0.0, "pii": True},
                                 {"id": 10**40, "pii": True}])
def test_invalid_ids_are_skipped_and_retried(make, caplog, bad):
    answers = iter([verdicts(bad), verdicts({"id": 0, "pii": False, "reason": "r"})])
    fb, server = make(lambda body: next(answers))
    r = span("153/2017")
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert fb.filter(TEXT, [r]) == []
    assert f"[verdict] INVALID/MISSING id — skipping verdict: keys={list(bad)}" in caplog.messages
    assert [(v.accepted, v.reason) for v in fb.last_verdicts] == [(False, "retry: r")]


def logged(caplog, level):
    return [r.getMessage() for r in caplog.records if r.levelno == level]


def test_missing_pii_and_retry_defaults(make, caplog):
    answers = iter([verdicts({"id": 0, "reason": "?"}), verdicts({"id": 0, "reason": "sure"})])
    fb, _ = make(lambda body: next(answers))
    r = span("153/2017")
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert fb.filter(TEXT, [r]) == [r]
    # The warning names the result by position and type; its text is in the debug line.
    assert "[verdict] MISSING_PII  id=0  CODE  keys=['id', 'reason'] — will retry" in logged(caplog, logging.WARNING)
    assert ("[verdict] MISSING_PII  id=0  CODE='153/2017'  keys=['id', 'reason'] — will retry"
            in logged(caplog, logging.DEBUG))
    assert [(v.accepted, v.reason) for v in fb.last_verdicts] == [(True, "retry: sure")]


def test_failed_retry_defaults_to_pii(make, caplog):
    answers = iter([verdicts({"id": 1, "pii": False})] + [500] * 5)
    fb, server = make(lambda body: next(answers))
    rs = three()
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert fb.filter(TEXT, rs) == [rs[0], rs[2]]
    assert len(server.requests) == 6 and fb._consecutive_failures == 0
    assert [v.reason for v in fb.last_verdicts] == ["", "retry_failed_default_pii", "retry_failed_default_pii"]
    assert "[retry] DEFAULT_ACCEPT  id=2  CODE  (retry failed, defaulting to PII)" in logged(caplog, logging.WARNING)
    assert ("[retry] DEFAULT_ACCEPT  id=2  CODE='ion.popescu85'  (retry failed, defaulting to PII)"
            in logged(caplog, logging.DEBUG))
    # A failed retry request keeps its results whatever on_failure says, and its report says so.
    assert ("SLM batch FAILED after 5 attempts — keeping 2 entities (retry request: kept as PII): [2 CODE] | "
            "last error: InternalServerError (HTTP 500)") in logged(caplog, logging.ERROR)


def test_repeated_id_is_applied_again(make):
    fb, _ = make(lambda body: verdicts({"id": 0, "pii": True}, {"id": 0, "pii": False}))
    r = span("153/2017")
    assert fb.filter(TEXT, [r]) == [r]
    assert [v.accepted for v in fb.last_verdicts] == [True, False]


# --- failed attempts ----------------------------------------------------------------------------

def truncated(body):
    return Raw(200, b'{"id": "x", "choices": [{"index": 0, "message": {"role": "assis')


@pytest.mark.parametrize("answer, error_part", [
    (lambda b: Raw(200, b"<html><body>Bad gateway</body></html>", "text/html"), ""),
    (lambda b: Raw(200, json.dumps({"object": "chat.completion"}).encode()), ""),   # no choices
    (lambda b: Raw(200, json.dumps({"choices": []}).encode()), ""),
    (lambda b: Raw(200, b"\x00\xff not json", "application/octet-stream"), ""),
    (truncated, ""),
    (lambda b: None, "No JSON object found in response"),
    (lambda b: "I think these are all fine.", "No JSON object found in response"),
    (lambda b: '{"verdicts": []}', "results"),
    (lambda b: '{"results": {"id": 0, "pii": true}}', "is not a list"),
    (lambda b: '{"results": [1, 2]}', "instead of a verdict object"),
    (lambda b: '{"results": ["x"]}', "instead of a verdict object"),
    (lambda b: 503, ""),
    (lambda b: DROP, ""),
])
def test_malformed_answers_are_failed_attempts(make, answer, error_part):
    fb, server = make(answer, max_consecutive_failures=10)
    r = span("153/2017")
    out = fb.filter(TEXT, [r])
    assert out == [r] and [v.reason for v in fb.last_verdicts] == ["slm_unavailable_accept"]
    assert len(server.requests) == 5
    log = read_jsonl(fb.log_dir / "slm_request_log.jsonl")
    assert [(e["attempt"], e["status"], e["parsed_verdicts"]) for e in log] == [(i, "error", None) for i in range(1, 6)]
    assert all(error_part in e["error"] for e in log)
    (err,) = read_jsonl(fb.log_dir / "slm_error_log.jsonl")
    assert list(err) == ["timestamp", "error", "raw_response", "payload"] and err["error"] == log[-1]["error"]


@pytest.mark.parametrize("on_failure, fate, kept", [("accept", "keeping", 5), ("reject", "rejecting", 0),
                                                    ("drop", "rejecting", 0)])
def test_attempt_logging(make, caplog, on_failure, fate, kept):
    fb, server = make(lambda b: "nope", batch_size=5, max_consecutive_failures=10, on_failure=on_failure)
    rs = [span("153/2017"), span("1234/3/2023"), span("ion.popescu85"), span("Legea"), span("Conform")]
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert len(fb.filter(TEXT, rs)) == kept
    why = f"on_failure={on_failure!r}"
    # Warnings and errors: counts, types and the error, never the values or the answer.
    warnings = [m for m in logged(caplog, logging.WARNING) if m.startswith("SLM batch failed")]
    assert warnings == [f"SLM batch failed (attempt {i}/5): No JSON object found in response | "
                        "entities: [5 CODE] — retrying..." for i in range(1, 5)]
    assert logged(caplog, logging.ERROR) == [
        f"SLM batch FAILED after 5 attempts — {fate} 5 entities ({why}): [5 CODE] | "
        "last error: No JSON object found in response"]
    # The debug companions carry the values and the answer.
    preview = "153/2017(CODE), 1234/3/2023(CODE), ion.popescu85(CODE)..."
    debug = logged(caplog, logging.DEBUG)
    assert [m for m in debug if m.startswith("SLM batch failed")] == [
        f"SLM batch failed (attempt {i}/5): No JSON object found in response | entities: [{preview}] — retrying..."
        for i in range(1, 5)]
    assert (f"SLM batch FAILED after 5 attempts — {fate} 5 entities ({why}): [{preview}] | "
            "last error: No JSON object found in response | raw: nope") in debug
    log = read_jsonl(fb.log_dir / "slm_request_log.jsonl")
    assert [e["raw_response"] for e in log] == ["nope"] * 5


def test_failure_with_on_failure_error_says_it_raises(make, caplog):
    fb, _ = make(lambda b: "nope", on_failure="error")
    with caplog.at_level(logging.ERROR, logger=LOGGER), pytest.raises(F.SLMUnavailableError):
        fb.filter(TEXT, [span("153/2017")])
    assert logged(caplog, logging.ERROR) == [
        "SLM batch FAILED after 5 attempts — raising an error for 1 entities (on_failure='error'): [1 CODE] | "
        "last error: No JSON object found in response"]


def test_failure_report_of_a_foreign_payload(make, caplog):
    fb, _ = make(lambda b: 500, max_consecutive_failures=10)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert fb._call_slm([1, {"value": "abc"}], "CODE") is None
    assert logged(caplog, logging.ERROR)[-1].startswith(
        "SLM batch FAILED after 5 attempts — keeping 2 entities (on_failure='accept'): [2 other] |")
    assert "keeping 2 entities (on_failure='accept'): [1, {'value': 'abc'}] |" in logged(caplog, logging.DEBUG)[-1]


def test_raw_response_of_an_earlier_attempt_is_kept(make):
    answers = iter(["garbage", 500, 500, 500, 500])
    fb, _ = make(lambda b: next(answers), max_consecutive_failures=10)
    fb.filter(TEXT, [span("153/2017")])
    log = read_jsonl(fb.log_dir / "slm_request_log.jsonl")
    assert [e["raw_response"] for e in log] == ["garbage"] * 5
    assert read_jsonl(fb.log_dir / "slm_error_log.jsonl")[0]["raw_response"] == "garbage"


def test_recovers_on_a_later_attempt(make):
    answers = iter([500, "x", accept_all])
    fb, server = make(lambda b: (lambda a: a(b) if callable(a) else a)(next(answers)))
    r = span("153/2017")
    assert fb.filter(TEXT, [r]) == [r]
    log = read_jsonl(fb.log_dir / "slm_request_log.jsonl")
    assert [e["status"] for e in log] == ["error", "error", "success"]
    assert log[-1]["parsed_verdicts"] == [{"id": 0, "reason": "ok", "pii": True}]
    assert not (fb.log_dir / "slm_error_log.jsonl").exists()


def test_default_client_retries_inside_each_attempt(make):
    """With the client's defaults each of the five attempts is retried twice by the client."""
    fb, server = make(lambda b: 500, fast=False)
    start = time.monotonic()
    fb.filter(TEXT, [span("153/2017")])
    assert len(server.requests) == 15
    assert time.monotonic() - start < 60


# --- circuit breaker and on_failure ---------------------------------------------------------------

def code_results(n, score=0.5):
    return [R("CODE", i, i + 1, score) for i in range(n)]


def test_circuit_breaker_accept(make, caplog):
    fb, server = make(lambda b: 500, batch_size=2)
    rs = code_results(6)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        out = fb.filter("x" * 10, rs)
    assert out == rs and len(server.requests) == 10          # the third batch is not sent
    assert fb._slm_available is False and fb._consecutive_failures == 2
    assert [v.reason for v in fb.last_verdicts] == ["slm_unavailable_accept"] * 4
    assert [m for m in caplog.messages if "circuit breaker" in m] == [
        "SLM circuit breaker: 2 consecutive failures, disabling SLM for remaining batches (on_failure='accept')"]
    fb.filter("x" * 10, code_results(1))                     # stays off across calls
    assert len(server.requests) == 10


def test_answered_batch_resets_the_counter(make):
    answers = iter([500] * 5 + ['{"results": [{"id": 0, "pii": true}]}'] + [500] * 5)
    fb, server = make(lambda b: next(answers), batch_size=1)
    fb.filter("xyz", code_results(3))
    assert fb._slm_available is True and fb._consecutive_failures == 1


def test_error_mode_raises_on_first_failed_batch(make):
    fb, server = make(lambda b: 500, on_failure="error", batch_size=1)
    with pytest.raises(F.SLMUnavailableError) as info:
        fb.filter("xyz", code_results(3))
    assert str(info.value) == f"SLM server unavailable at {server.base_url} after 1 consecutive failures"
    assert len(server.requests) == 5 and fb.last_verdicts == []


def test_reject_mode_drops_failed_batches(make):
    fb, _ = make(lambda b: 500, on_failure="reject", batch_size=1)
    certain = R("CODE", 0, 1, 0.99)
    assert fb.filter("xyz", [certain] + code_results(3)) == [certain]
    assert [(v.accepted, v.reason) for v in fb.last_verdicts] == [(False, "batch_failed")] * 2


@pytest.mark.parametrize("on_failure", ["accept", "reject", "error"])
def test_filter_with_the_server_down(make, on_failure):
    fb, server = make(required=False, on_failure=on_failure)
    server.stop()
    certain = R("CODE", 0, 1, 0.99)
    results = [certain, R("CODE", 1, 2, 0.1)]
    if on_failure == "error":
        with pytest.raises(F.SLMUnavailableError, match="and on_failure='error'"):
            fb.filter("xyz", results)
    elif on_failure == "accept":
        assert fb.filter("xyz", results) is results
    else:
        assert fb.filter("xyz", results) == [certain]
    assert fb.last_verdicts == [] and fb._slm_available is False


# --- filter -------------------------------------------------------------------------------------

def test_no_ambiguous_results_means_no_request(make):
    fb, server = make(required=False)
    rs = [R("CODE", 0, 1, 0.9), R("CNP", 1, 2, 0.1)]
    out = fb.filter("xyz", rs)
    assert out == rs and out is not rs and server.calls == [] and fb._slm_available is None


def test_batch_order_across_types(make, caplog):
    fb, server = make()
    rs = code_results(6) + [R("ORGANIZATION", 7, 8, 0.5)] + code_results(6) + \
        [R("ORGANIZATION", 9, 10, 0.5), R("ORGANIZATION", 10, 11, 0.5), R("CODE", 11, 12, 0.9)]
    with caplog.at_level(logging.INFO, logger=LOGGER):
        out = fb.filter("x" * 20, rs)
    sizes = [(payload_of(b)[0]["entity_type"], len(payload_of(b))) for b in server.requests]
    assert sizes == [("CODE", 10), ("CODE", 2), ("ORGANIZATION", 3)]
    assert out[0] is rs[-1] and out[1:] == [r for r in rs[:-1] if r.entity_type == "CODE"] + \
        [r for r in rs if r.entity_type == "ORGANIZATION"]
    assert caplog.messages[-1] == "SLMFallback: 15 ambiguous → 15 accepted, 0 rejected"


def test_filter_checks_its_arguments(make):
    fb, _ = make(required=False)
    with pytest.raises(TypeError, match="text"):
        fb.filter(b"abc", [])
    with pytest.raises(TypeError, match="results"):
        fb.filter("abc", (R("CODE", 0, 1),))


def test_filter_snapshots_the_list(make):
    """A result whose attribute reads change the caller's list cannot disturb the loop."""
    rs = []

    class Noisy(RecognizerResult):
        @property
        def score(self):
            rs.append(R("CODE", 0, 1, 0.99))
            return 0.1

        @score.setter
        def score(self, value):
            pass

    rs.extend(Noisy("CODE", 0, 1, 0.1) for _ in range(3))
    fb, server = make()
    out = fb.filter("xyz", rs)
    assert len(out) == 3 and len(payload_of(server.requests[0])) == 3


# --- filter_multi --------------------------------------------------------------------------------

def test_filter_multi_mixes_documents(make, caplog):
    doc1, doc2 = "utilizator ion.pop parola", "contul maria_i și user andrei"
    rs1 = [R("USERNAME", 11, 18, 0.9)]
    rs2 = [R("USERNAME", 7, 14, 0.8), R("USERNAME", 23, 29, 0.8), R("USERNAME", 0, 6, 0.7)]
    items = [(doc1, rs1[0])] + [(doc2, r) for r in rs2] + [(doc1, R("CODE", 0, 3, 0.99))]
    progress = []
    fb, server = make(lambda b: verdicts({"id": 0, "pii": True}, {"id": 1, "pii": False}, {"id": 2, "pii": True},
                                         {"id": 3, "pii": True, "entity_type": "PERSON_NAME"}))
    with caplog.at_level(logging.INFO, logger=LOGGER):
        assert fb.filter_multi(items, progress_callback=lambda *a: progress.append(a)) is None
    (body,) = server.requests
    assert [(i["value"], i["context"]) for i in payload_of(body)] == [
        ("ion.pop", "utilizator >>>ion.pop<<< parola"), ("maria_i", "contul >>>maria_i<<< și user andrei"),
        ("andrei", "contul maria_i și user >>>andrei<<<"), ("contul", ">>>contul<<< maria_i și user andrei")]
    assert progress == [(4, 4)]
    assert [(v.accepted, v.original_entity_type) for v in fb.last_verdicts] == [
        (True, "USERNAME"), (False, "USERNAME"), (True, "USERNAME"), (True, "USERNAME")]
    assert rs2[2].entity_type == "PERSON_NAME"
    assert caplog.messages[-1] == "SLMFallback filter_multi: 4 ambiguous → 3 accepted, 1 rejected"


def test_filter_multi_without_ambiguous_pairs(make, caplog):
    fb, server = make(required=False)
    progress = []
    with caplog.at_level(logging.INFO, logger=LOGGER):
        fb.filter_multi([("abc", R("CODE", 0, 1, 0.9))], progress.append)
    assert server.calls == [] and progress == []
    assert caplog.messages == ["SLMFallback filter_multi: 0 ambiguous → 0 accepted, 0 rejected"]


@pytest.mark.parametrize("on_failure, accepted, reason", [("accept", True, "slm_unavailable_accept"),
                                                          ("reject", False, "batch_failed")])
def test_filter_multi_when_unavailable(make, caplog, on_failure, accepted, reason):
    fb, server = make(on_failure=on_failure, batch_size=2)
    fb._slm_available = False
    progress = []
    with caplog.at_level(logging.INFO, logger=LOGGER):
        fb.filter_multi([("abc", r) for r in code_results(3)], lambda *a: progress.append(a))
    assert len(server.requests) == 0 and progress == [(2, 3), (3, 3)]
    assert [(v.accepted, v.reason) for v in fb.last_verdicts] == [(accepted, reason)] * 3
    n = 3 if accepted else 0
    assert caplog.messages[-1] == f"SLMFallback filter_multi: 3 ambiguous → {n} accepted, {3 - n} rejected"


def test_filter_multi_error_mode(make):
    fb, server = make(on_failure="error", required=False)
    fb._slm_available = False
    with pytest.raises(F.SLMUnavailableError, match="and on_failure='error'"):
        fb.filter_multi([("abc", R("CODE", 0, 1, 0.1))])


def test_filter_multi_checks_the_server_once_when_not_yet_checked(make):
    fb, server = make(required=False)
    fb.filter_multi([("abc", R("CODE", 0, 1, 0.1))])
    assert [c[0] for c in server.calls] == ["GET", "POST"] and fb._slm_available is True
    assert [v.accepted for v in fb.last_verdicts] == [True]


def test_filter_multi_circuit_breaker(make):
    fb, server = make(lambda b: 500, batch_size=1)
    fb.filter_multi([("abc", r) for r in code_results(3)])
    assert len(server.requests) == 10
    assert [v.reason for v in fb.last_verdicts] == ["slm_unavailable_accept"] * 3


@pytest.mark.parametrize("items, exc", [
    ([("abc", R("CODE", 0, 1, 0.1), "extra")], ValueError),
    ([("abc",)], ValueError),
    ([5], TypeError),
    ([(b"abc", R("CODE", 0, 1, 0.1))], TypeError),
    (("abc", R("CODE", 0, 1, 0.1)), TypeError),
])
def test_filter_multi_bad_items(make, items, exc):
    fb, server = make(required=False)
    good = ("abc", R("CODE", 0, 1, 0.1))
    with pytest.raises(exc):
        fb.filter_multi([good] + items if isinstance(items, list) else items)
    assert server.calls == []


# --- logs ---------------------------------------------------------------------------------------

def test_request_log_entry(make):
    fb, server = make(reject_all)
    text = "Contractul nr. 45/2021 încheiat la Iași"
    r = span("45/2021", text=text)
    fb.filter(text, [r])
    path = fb.log_dir / "slm_request_log.jsonl"
    line = path.read_text(encoding="utf-8")
    assert "Iași" in line and line.endswith("}\n") and line.count("\n") == 1
    (entry,) = read_jsonl(path)
    assert list(entry) == ["timestamp", "attempt", "status", "is_retry", "entity_type", "system_prompt", "user_msg",
                           "payload", "raw_response", "parsed_verdicts", "error"]
    assert (entry["attempt"], entry["status"], entry["is_retry"], entry["entity_type"], entry["error"]) == (
        1, "success", False, "CODE", None)
    assert entry["system_prompt"] == prompts.CODE_SYSTEM_PROMPT
    assert entry["user_msg"] == server.requests[0]["messages"][1]["content"]
    assert entry["payload"] == payload_of(server.requests[0])
    assert entry["parsed_verdicts"] == [{"id": 0, "reason": "generic", "pii": False}]
    assert json.dumps(entry, ensure_ascii=False) + "\n" == line
    assert "T" in entry["timestamp"] and "+" not in entry["timestamp"]


def test_logs_are_private_and_appended(make, tmp_path):
    fb, _ = make(lambda b: 500, max_consecutive_failures=10)
    fb.filter(TEXT, [span("153/2017")])
    fb.filter(TEXT, [span("153/2017")])
    for name, lines in (("slm_request_log.jsonl", 10), ("slm_error_log.jsonl", 2)):
        path = fb.log_dir / name
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
        assert len(read_jsonl(path)) == lines


def test_unwritable_request_log_costs_a_warning(make, tmp_path, caplog):
    blocker = tmp_path / "file"
    blocker.write_text("")
    fb, _ = make(log_dir=blocker / "logs")
    r = span("153/2017")
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert fb.filter(TEXT, [r]) == [r]
    assert [m for m in caplog.messages if m.startswith("Failed to write SLM request log: ")]


def test_unwritable_error_log_raises(make, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    fb, _ = make(lambda b: 500, log_dir=blocker / "logs")
    with pytest.raises(OSError):
        fb.filter(TEXT, [span("153/2017")])


def test_log_request_directly(make):
    fb, _ = make(required=False)
    fb._log_request([], None, None, 1, "error", "boom")
    (entry,) = read_jsonl(fb.log_dir / "slm_request_log.jsonl")
    assert (entry["entity_type"], entry["error"], entry["system_prompt"], entry["is_retry"]) == ("", "boom", None, False)


# --- what the log lines that reach terminals hold -----------------------------------------------

SECRET_TEXT = ("Subsemnatul Ion Popescu, CNP 1780315123453, dosarul 12345/299/2023 și "
               "BI nr. 004512, placa CJ 21 XTR, contul ion.popescu85.")
SECRETS = ["Popescu", "1780315123453", "12345/299/2023", "004512", "CJ 21 XTR", "ion.popescu85", "Subsemnatul"]


def echo_prompt(body):
    """A model that repeats what it was sent."""
    return body["messages"][1]["content"]


def echo_keys(body):
    """Verdicts whose keys and types are the document's words."""
    return verdicts(*({"id": item["id"], item["value"]: True, "reason": item["context"]} for item in payload_of(body)))


def echo_types(body):
    return verdicts(*({"id": item["id"], "pii": True, "entity_type": item["value"]} for item in payload_of(body)))


def half_missing(body):
    """First pass: only the first item, without "pii"; then the echo."""
    payload = payload_of(body)
    if len(payload) == 4:
        return verdicts({"id": 0, "reason": payload[0]["value"]})
    return echo_prompt(body)


@pytest.mark.parametrize("script", [echo_prompt, echo_keys, echo_types, half_missing, lambda b: verdicts(),
                                    lambda b: '{"results": [{"id": 0, "pii": tru' + SECRET_TEXT, lambda b: 500])
@pytest.mark.parametrize("on_failure", ["accept", "reject"])
def test_warnings_and_errors_quote_neither_document_nor_answer(make, caplog, script, on_failure):
    fb, _ = make(script, on_failure=on_failure, max_consecutive_failures=10)
    rs = [span(s, text=SECRET_TEXT) for s in ("12345/299/2023", "004512", "CJ 21 XTR", "ion.popescu85")]
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        fb.filter(SECRET_TEXT, rs)
    shown = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    assert shown, "the failure must still be reported"
    for line in shown:
        assert not [s for s in SECRETS if s in line], line
    # Nothing is lost: the texts are in the debug lines and in the request log.
    debug = "\n".join(r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG)
    assert "12345/299/2023" in debug
    assert "12345/299/2023" in (fb.log_dir / "slm_request_log.jsonl").read_text(encoding="utf-8")


def test_known_verdict_keys_are_shown_invented_ones_counted(make, caplog):
    answers = iter([verdicts({"id": 9, "pii": True, "Ion Popescu": 1, "x": 2}), verdicts({"id": 0, "pii": False})])
    fb, _ = make(lambda body: next(answers))
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert fb.filter(TEXT, [span("153/2017")]) == []
    assert logged(caplog, logging.WARNING)[0] == (
        "[verdict] INVALID/MISSING id — skipping verdict: keys=['id', 'pii'] and 2 other keys")
    assert ("[verdict] INVALID/MISSING id — skipping verdict: keys=['id', 'pii', 'Ion Popescu', 'x']"
            in logged(caplog, logging.DEBUG))


# --- reclassification only into the catalogue ---------------------------------------------------

def test_reclassification_types_are_the_catalogue():
    from tarnis import analyzer
    assert list(F._CATALOGUE_ENTITY_TYPES) == list(analyzer.ENTITIES)


@pytest.mark.parametrize("bogus", ["EVIL] [X", "person_name", 7, ["PERSON_NAME"]])
@pytest.mark.parametrize("retry", [False, True])
@pytest.mark.parametrize("on_failure, kept, reason", [("accept", True, "invalid_entity_type_accept"),
                                                      ("reject", False, "invalid_entity_type")])
def test_a_type_outside_the_catalogue_is_a_failed_verdict(make, bogus, retry, on_failure, kept, reason):
    bad = {"id": 0, "pii": True, "entity_type": bogus}
    answers = iter([verdicts(), verdicts(bad)] if retry else [verdicts(bad, {"id": 1, "pii": True,
                                                                             "entity_type": "PERSON_NAME"})])
    fb, _ = make(lambda body: next(answers), on_failure=on_failure, allowed_entity_types=None)
    rs = [span("153/2017"), span("1234/3/2023")]
    out = fb.filter(TEXT, rs)
    assert rs[0].entity_type == "CODE"
    assert (rs[0] in out) is kept
    v = next(v for v in fb.last_verdicts if v.result is rs[0])
    assert (v.accepted, v.reason, v.original_entity_type) == (kept, reason, "CODE")
    if not retry:   # the other verdict of the answer is applied as usual
        assert rs[1] in out and rs[1].entity_type == "PERSON_NAME"


def test_a_type_outside_the_catalogue_with_on_failure_error(make):
    fb, _ = make(lambda body: verdicts({"id": 0, "pii": True, "entity_type": "EVIL] [X"}), on_failure="error")
    with pytest.raises(F.SLMUnavailableError, match="outside the catalogue"):
        fb.filter(TEXT, [span("153/2017")])


def test_no_placeholder_from_a_made_up_type(make):
    from tarnis.processing import anonymize_text
    fb, _ = make(lambda body: verdicts({"id": 0, "pii": True, "entity_type": "EVIL] [X"}))
    r = span("153/2017")
    anonymized, entity_map = anonymize_text(TEXT, fb.filter(TEXT, [r]))
    assert "EVIL" not in anonymized and set(entity_map) == {"CODE"} and "153/2017" not in anonymized


# --- time limit of the chat requests ------------------------------------------------------------

def test_timeout_reaches_the_client(make, monkeypatch):
    fb, server = make(required=False, timeout=7)
    assert fb.timeout == 7.0 and fb.client.timeout == 7.0
    plain, _ = make(required=False)
    assert plain.timeout is None and plain.client.timeout != 7.0
    for bad, error in ((0, ValueError), (-1, ValueError), (float("nan"), ValueError), ("5", TypeError)):
        with pytest.raises(error):
            F.SLMFallback(server.base_url, required=False, timeout=bad)


def test_a_server_that_never_answers_costs_the_timeout_per_attempt(make):
    import threading
    release = threading.Event()

    def hang(body):
        release.wait(30)
        return DROP      # the client has gone; nothing to write to

    try:
        fb, server = make(hang, timeout=0.2, max_consecutive_failures=10)
        r = span("153/2017")
        assert fb.filter(TEXT, [r]) == [r]
        assert [v.reason for v in fb.last_verdicts] == ["slm_unavailable_accept"]
        log = read_jsonl(fb.log_dir / "slm_request_log.jsonl")
        assert [e["status"] for e in log] == ["error"] * 5
        assert all("timed out" in e["error"] for e in log)
    finally:
        release.set()


# --- modes of the logs --------------------------------------------------------------------------

def test_logs_that_already_exist_become_the_owners_only(make, tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    for name in ("slm_request_log.jsonl", "slm_error_log.jsonl"):
        (logs / name).write_text('{"earlier": 1}\n', encoding="utf-8")
        os.chmod(logs / name, 0o644)
    fb, _ = make(lambda b: "nope", log_dir=logs)
    fb.filter(TEXT, [span("153/2017")])
    for name in ("slm_request_log.jsonl", "slm_error_log.jsonl"):
        assert stat.S_IMODE((logs / name).stat().st_mode) == 0o600, name
        lines = read_jsonl(logs / name)
        assert lines[0] == {"earlier": 1} and len(lines) > 1


# --- the public names hosts use ----------------------------------------------------------------

def test_public_health_check_and_partition_are_the_hooks_filter_uses(make):
    fb, server = make(models=["other"], required=False)
    assert fb.check_health() is False and fb._slm_available is False
    assert fb.health_error == fb._health_error and fb.health_error.startswith("SLM model 'qwen3.5:9b' not found")
    rs = [R("CODE", 0, 1, 0.9), R("CODE", 1, 2, 0.3)]
    assert fb.partition(rs) == fb._split(rs) == ([rs[0]], [rs[1]])

    class Sub(F.SLMFallback):
        """Overrides the hooks `filter` calls; the public names follow them."""
        def _check_health(self):
            self._slm_available = True
            return True

        def _split(self, results):
            return [], list(results)

    sub = Sub(server.base_url, required=False, log_dir=fb.log_dir)
    assert sub.check_health() is True and sub._slm_available is True
    assert F.SLMFallback.__new__(F.SLMFallback).health_error is None   # before any check
    assert sub.partition(rs) == ([], rs)


def test_defaults_are_the_constructor_defaults():
    fb = F.SLMFallback(required=False)
    assert (fb.base_url, fb.model) == (F.DEFAULT_SLM_URL, F.DEFAULT_SLM_MODEL)
    assert str(fb.client.base_url).rstrip("/") == F.DEFAULT_SLM_URL
