"""Own overhead of the language-model verification stage.

`filter_multi` runs over 10,000 ambiguous results from 200 generated
documents against the scripted OpenAI-compatible server of the tests, which
answers at once. The time spent inside the client's chat call (HTTP, the
server) is measured apart and subtracted: what remains is the stage's own
work - routing, context and payload building, JSON repair, verdict
application, the JSON-lines logs. The same steps written plainly in Python
run beside it against the same server, and each step is also timed alone.
"""

from __future__ import annotations

import dataclasses
import json
import logging
import os
import random
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path
from types import SimpleNamespace

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from presidio_analyzer import RecognizerResult  # noqa: E402

from support.slm_server import ScriptedServer, payload_of, verdicts  # noqa: E402
from tarnis.slm import fallback as F  # noqa: E402

DOCS = 200
PER_DOC = 50
TYPES = ["CODE", "ORGANIZATION", "USERNAME", "PASSWORD"]
WORDS = ("contractul încheiat între părți conform legii privind datele personale ale chiriașului domiciliat "
         "în municipiul București sectorul județul Cluj societatea comercială reprezentată legal de "
         "administratorul său cu sediul social la adresa").split()


def make_documents(seed: int = 7):
    rng = random.Random(seed)
    items = []
    for d in range(DOCS):
        parts, spans = [], []
        pos = 0
        for k in range(PER_DOC):
            filler = " ".join(rng.choice(WORDS) for _ in range(rng.randint(8, 20)))
            parts.append(filler + " ")
            pos += len(filler) + 1
            value = f"{rng.choice(['nr.', 'cod', 'user'])}{d}-{k}/{rng.randint(1000, 9999)}"
            spans.append((pos, pos + len(value)))
            parts.append(value + " ")
            pos += len(value) + 1
        text = "".join(parts)
        for k, (s, e) in enumerate(spans):
            r = RecognizerResult(entity_type=TYPES[(d + k) % 4], start=s, end=e, score=0.3 + (k % 4) * 0.1,
                                 recognition_metadata={"recognizer_name": "CodeRecognizer"})
            items.append((text, r))
    return items


def script(body):
    """Accepts most items, rejects every fifth, reclassifies every seventh."""
    out = []
    for item in payload_of(body):
        i = item["id"]
        v = {"id": i, "reason": "identifies a person", "pii": i % 5 != 4}
        if i % 7 == 6:
            v["entity_type"] = "PERSON_NAME"
        out.append(v)
    return verdicts(*out)


class TimedClient:
    """Wraps a client and adds up the time spent in chat calls."""

    def __init__(self, client):
        self._client = client
        self.seconds = 0.0
        self.calls = 0
        self.chat = SimpleNamespace(completions=SimpleNamespace(create=self._create))
        self.models = client.models

    def _create(self, **kwargs):
        start = time.perf_counter()
        try:
            return self._client.chat.completions.create(**kwargs)
        finally:
            self.seconds += time.perf_counter() - start
            self.calls += 1

    def with_options(self, **kwargs):
        return self._client.with_options(**kwargs)


# --- the same steps, written plainly in Python ----------------------------------------------------

log = logging.getLogger("bench.plain")


@dataclasses.dataclass
class Verdict:
    result: RecognizerResult
    accepted: bool
    reason: str
    original_entity_type: str = ""


class Plain:
    def __init__(self, client, log_dir, cfg, system_prompt):
        self.client, self.log_dir, self.cfg, self.system_prompt = client, Path(log_dir), cfg, system_prompt
        self.batch_size, self.context_words, self.last_verdicts = 10, 6, []

    def context(self, text, r):
        before, after = text[:r.start].split(), text[r.end:].split()
        n = self.context_words
        left = " ".join(before[-n:]) if n else ""
        return (left + " >>>" + text[r.start:r.end] + "<<< " + " ".join(after[:n])).strip()

    def payload(self, pairs):
        return [{"id": i, "entity_type": r.entity_type, "value": t[r.start:r.end], "context": self.context(t, r),
                 "score": round(r.score, 3)} for i, (t, r) in enumerate(pairs)]

    def repair(self, raw):
        text = raw.strip()
        start = text.find("{")
        depth, in_string, escape = 0, False, False
        for i in range(start, len(text)):
            c = text[i]
            if escape:
                escape = False
            elif c == "\\":
                escape = True
            elif c == '"':
                in_string = not in_string
            elif not in_string:
                if c == "{":
                    depth += 1
                elif c == "}":
                    depth -= 1
                    if depth == 0:
                        return json.loads(text[start:i + 1])
        raise ValueError("Could not repair JSON")

    def log_request(self, payload, raw, parsed, attempt, status, user_msg):
        entry = {"timestamp": time.strftime("%Y-%m-%dT%H:%M:%S"), "attempt": attempt, "status": status,
                 "is_retry": False, "entity_type": payload[0]["entity_type"], "system_prompt": self.system_prompt,
                 "user_msg": user_msg, "payload": payload, "raw_response": raw, "parsed_verdicts": parsed,
                 "error": None}
        self.log_dir.mkdir(parents=True, exist_ok=True)
        with open(self.log_dir / "slm_request_log.jsonl", "a", encoding="utf-8") as f:
            f.write(json.dumps(entry, ensure_ascii=False) + "\n")

    def call(self, payload):
        user_msg = "Entities:\n" + json.dumps(payload, ensure_ascii=False, indent=2)
        response = self.client.chat.completions.create(
            model="qwen3.5:9b", messages=[{"role": "system", "content": self.system_prompt},
                                          {"role": "user", "content": user_msg}],
            temperature=0.7, top_p=0.8, presence_penalty=1.5, max_tokens=2048,
            extra_body={"top_k": 20, "reasoning_effort": "none"})
        raw = (response.choices[0].message.content or "").strip()
        log.debug("[batch] raw SLM response (attempt %d):\n%s", 1, raw)
        results = self.repair(raw)["results"]
        self.log_request(payload, raw, results, 1, "success", user_msg)
        return results

    def apply(self, verdicts_, pairs):
        original = [r.entity_type for _, r in pairs]
        kept, seen = [], set()
        for v in verdicts_:
            idx = v.get("id")
            if not isinstance(idx, int) or not 0 <= idx < len(pairs):
                continue
            text, r = pairs[idx]
            span = text[r.start:r.end]
            seen.add(idx)
            reason = v.get("reason", "")
            if v["pii"]:
                new = v.get("entity_type")
                if new and new != "CNP" and new != r.entity_type:
                    r.entity_type = new
                    log.debug("[verdict] RECLASSIFIED  id=%d  %s → %s  %r", idx, original[idx], new, span)
                kept.append(r)
                self.last_verdicts.append(Verdict(r, True, reason, original[idx]))
                log.debug("[verdict] ACCEPTED  id=%d  %s=%r  reason=%s", idx, r.entity_type, span, reason)
            else:
                self.last_verdicts.append(Verdict(r, False, reason, original[idx]))
                log.debug("[verdict] REJECTED  id=%d  %s=%r  reason=%s", idx, r.entity_type, span, reason)
        return kept

    def filter_multi(self, items):
        self.last_verdicts = []
        groups = defaultdict(list)
        for text, r in items:
            cfg = self.cfg.get(r.entity_type)
            if cfg is not None and r.score < cfg.slm_threshold:
                name = (r.recognition_metadata or {}).get("recognizer_name", "<no_name>")
                if cfg.filter_sources is None or any(s in name for s in cfg.filter_sources):
                    groups[r.entity_type].append((text, r))
        for group in groups.values():
            for i in range(0, len(group), self.batch_size):
                batch = group[i:i + self.batch_size]
                self.apply(self.call(self.payload(batch)), batch)


# --- measurements ---------------------------------------------------------------------------------

def fresh(items):
    """New result objects, so that reclassification in one run does not change the next."""
    return [(t, RecognizerResult(entity_type=r.entity_type, start=r.start, end=r.end, score=r.score,
                                 recognition_metadata=r.recognition_metadata)) for t, r in items]


def per_call(fn, n):
    start = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - start) / n


def main():
    logging.basicConfig(level=logging.WARNING)
    items = make_documents()
    server = ScriptedServer(script)
    tmp = Path(tempfile.mkdtemp(prefix="bench_slm_"))
    try:
        fb = F.SLMFallback(server.base_url, log_dir=tmp / "tarnis", batch_size=10)
        cfg = {k: v for k, v in fb.per_entity_config.items() if k in fb.slm_entity_types}
        plain = Plain(None, tmp / "plain", cfg, fb.DEFAULT_SYSTEM_PROMPT)

        rows = []
        for name in ("tarnis", "plain", "tarnis", "plain"):   # warm-up, then measured
            run_items = fresh(items)
            client = TimedClient(F.OpenAI(api_key="x", base_url=server.base_url))
            start = time.perf_counter()
            if name == "tarnis":
                fb.client = client
                fb.filter_multi(run_items)
                n = len(fb.last_verdicts)
            else:
                plain.client = client
                plain.filter_multi(run_items)
                n = len(plain.last_verdicts)
            total = time.perf_counter() - start
            rows.append((name, n, client.calls, total, client.seconds))
        rows = rows[2:]
        print(f"filter_multi over {len(items)} ambiguous results from {DOCS} documents, batch size 10, "
              "scripted server answering at once")
        print(f"{'':8} {'results':>8} {'requests':>9} {'total s':>8} {'in client s':>12} {'own µs/result':>14} "
              f"{'own µs/request':>15}")
        own = {}
        for name, n, calls, total, client_s in rows:
            own[name] = total - client_s
            print(f"{name:8} {n:8d} {calls:9d} {total:8.2f} {client_s:12.2f} {own[name] / n * 1e6:14.1f} "
                  f"{own[name] / calls * 1e6:15.1f}")
        print(f"own time tarnis / plain Python: {own['tarnis'] / own['plain']:.2f}")

        # Each step alone, on one batch of ten from one document.
        text = items[0][0]
        pairs = [(t, r) for t, r in items[:PER_DOC] if r.entity_type == "CODE"][:10]
        batch = [r for _, r in pairs]
        payload = plain.payload(pairs)
        raw = script({"messages": [{}, {"content": "Entities:\n" + json.dumps(payload)}]})
        answer = json.loads(raw)["results"]
        user_msg = "Entities:\n" + json.dumps(payload, ensure_ascii=False, indent=2)
        reps = 2000

        def without_type(v):
            return {k: x for k, x in v.items() if k != "entity_type"}   # nothing is reclassified twice

        def tarnis_context():
            return [fb._context(text, r) for r in batch]

        def plain_context():
            return [plain.context(text, r) for r in batch]

        canned = SimpleNamespace(choices=[SimpleNamespace(message=SimpleNamespace(content=raw))])
        instant = SimpleNamespace(chat=SimpleNamespace(completions=SimpleNamespace(create=lambda **kw: canned)))

        def tarnis_apply():
            fb.last_verdicts = []
            fb._process_verdicts([without_type(v) for v in answer], batch, pairs)

        def plain_apply():
            plain.last_verdicts = []
            plain.apply([without_type(v) for v in answer], pairs)

        steps = [
            ("context of 10 results", tarnis_context, plain_context),
            ("one request, instant client", lambda: fb._call_slm(payload, "CODE"), lambda: plain.call(payload)),
            ("JSON repair (one answer)", lambda: fb._repair_json(raw), lambda: plain.repair(raw)),
            ("verdict application (10 verdicts)", tarnis_apply, plain_apply),
            ("request log entry", lambda: fb._log_request(payload, raw, answer, 1, "success",
                                                           system_prompt=fb.DEFAULT_SYSTEM_PROMPT,
                                                           user_msg=user_msg),
             lambda: plain.log_request(payload, raw, answer, 1, "success", user_msg)),
        ]
        fb.client = plain.client = instant
        print()
        print(f"{'step':36} {'tarnis µs':>10} {'plain µs':>10} {'ratio':>6}")
        for label, a, b in steps:
            per_call(a, 50)
            per_call(b, 50)
            ta, tb = per_call(a, reps), per_call(b, reps)
            print(f"{label:36} {ta * 1e6:10.1f} {tb * 1e6:10.1f} {ta / tb:6.2f}")
    finally:
        server.stop()
        for root, dirs, files in os.walk(tmp, topdown=False):
            for f in files:
                os.unlink(os.path.join(root, f))
            for d in dirs:
                os.rmdir(os.path.join(root, d))
        os.rmdir(tmp)


if __name__ == "__main__":
    main()
