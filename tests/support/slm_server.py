"""A scripted OpenAI-compatible server on the loopback interface.

It answers `GET {base}/models` with its model list and
`POST {base}/chat/completions` from a script: a function of the parsed request
body returning

- a str (or None): the assistant message content of a normal answer;
- an int: that HTTP status with an OpenAI-style error body;
- a `Raw(status, body, content_type)`: exactly those bytes;
- `DROP`: the connection is closed without an answer.

Every chat request body is recorded in `requests` (and the request paths and
authorization headers in `calls`), so tests can check what the client sent.
The real `openai` client talks to it over HTTP; nothing is mocked.
"""

from __future__ import annotations

import json
import threading
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable

DROP = object()


@dataclass
class Raw:
    status: int
    body: bytes
    content_type: str = "application/json"


def completion(content: str | None, model: str = "scripted") -> dict:
    """The body of a chat-completion answer carrying `content`."""
    return {
        "id": "chatcmpl-scripted",
        "object": "chat.completion",
        "created": 0,
        "model": model,
        "choices": [{"index": 0, "finish_reason": "stop",
                     "message": {"role": "assistant", "content": content}}],
        "usage": {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 0},
    }


def verdicts(*items: dict) -> str:
    """A verdict answer {"results": [...]} as the model would write it."""
    return json.dumps({"results": list(items)})


def accept_all(body: dict) -> str:
    """Script: every payload item of the request is PII."""
    return verdicts(*({"id": item["id"], "reason": "ok", "pii": True} for item in payload_of(body)))


def reject_all(body: dict) -> str:
    return verdicts(*({"id": item["id"], "reason": "generic", "pii": False} for item in payload_of(body)))


def payload_of(body: dict) -> list:
    """The payload list embedded in a fallback request's user message."""
    user = body["messages"][1]["content"]
    return json.loads(user[user.index("Entities:\n") + len("Entities:\n"):])


class ScriptedServer:
    def __init__(self, script: Callable[[dict], Any] | None = None, models: list[str] | int | None = None):
        self.script = script or accept_all
        self.models = ["qwen3.5:9b"] if models is None else models
        self.requests: list[dict] = []
        self.calls: list[tuple[str, str, str | None]] = []
        self._lock = threading.Lock()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()
        self._stopped = False

    @property
    def port(self) -> int:
        return self._httpd.server_address[1]

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}/v1"

    def stop(self) -> None:
        """Stops answering: later connections are refused."""
        if not self._stopped:
            self._stopped = True
            self._httpd.shutdown()
            self._httpd.server_close()
            self._thread.join(timeout=5)

    def __enter__(self) -> "ScriptedServer":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def _handler(self):
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            disable_nagle_algorithm = True  # answers go out at once, not after a delayed ACK

            def log_message(self, *args):  # keep test output clean
                pass

            def _send(self, status: int, body: bytes, content_type: str = "application/json") -> None:
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def _send_json(self, status: int, obj: Any) -> None:
                self._send(status, json.dumps(obj).encode())

            def _record(self, method: str) -> None:
                with server._lock:
                    server.calls.append((method, self.path, self.headers.get("Authorization")))

            def do_GET(self):
                self._record("GET")
                if not self.path.endswith("/models"):
                    return self._send_json(404, {"error": {"message": "not found"}})
                if isinstance(server.models, int):
                    return self._send_json(server.models, {"error": {"message": "scripted models error"}})
                self._send_json(200, {"object": "list", "data": [
                    {"id": m, "object": "model", "created": 0, "owned_by": "scripted"} for m in server.models]})

            def do_POST(self):
                self._record("POST")
                length = int(self.headers.get("Content-Length") or 0)
                raw = self.rfile.read(length)
                if not self.path.endswith("/chat/completions"):
                    return self._send_json(404, {"error": {"message": "not found"}})
                body = json.loads(raw)
                with server._lock:
                    server.requests.append(body)
                answer = server.script(body)
                if answer is DROP:
                    self.close_connection = True
                    self.connection.close()
                elif isinstance(answer, Raw):
                    self._send(answer.status, answer.body, answer.content_type)
                elif isinstance(answer, int) and not isinstance(answer, bool):
                    self._send_json(answer, {"error": {"message": f"scripted status {answer}"}})
                else:
                    self._send_json(200, completion(answer, body.get("model", "scripted")))

        return Handler
