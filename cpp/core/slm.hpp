// What both small-language-model stages share: the chat-completion call with
// its extra body fields, the tolerant parsing of the model's JSON answer, and
// the owner-only JSON-lines logs.
#pragma once

#include <pybind11/pybind11.h>

namespace tarnis::core::slm {

namespace py = pybind11;

// Parses a model answer into a JSON object (a dict). Repairs, in this order:
// a code fence around the answer, prose before and after the object, an
// answer cut off inside the object (closing suffixes are tried), single-quoted
// keys and strings, and, when `escape_stray_quotes` is set, unescaped double
// quotes inside string values. Raises ValueError("No JSON object found in
// response") or ValueError("Could not repair JSON: ..."); only JSON syntax
// errors are caught on the way.
py::object repair_json(py::handle raw, bool escape_stray_quotes);

// {"top_k": top_k, "reasoning_effort": "none"}, updated with `extra` when it
// is truthy (its keys override and add).
py::dict extra_body(py::handle top_k, py::handle extra);

// client.chat.completions.create(model=, messages=[system, user],
// temperature=, top_p=, presence_penalty=, max_tokens=, extra_body=) and the
// answer's choices[0].message.content (None or a str). A malformed answer
// raises whatever reading it raises.
struct ChatRequest {
  py::handle client, model, system_prompt, user_msg;
  py::handle temperature, top_p, presence_penalty, max_tokens, extra_body;
};
py::object chat_content(const ChatRequest& req);

// datetime.now().isoformat().
py::object now_iso();

// Appends json.dumps(entry, ensure_ascii=False) and a newline to
// log_dir / filename, creating log_dir with its parents. The logs hold
// document text: a new file is created readable and writable by its owner
// only, and an existing file is made so before anything is written to it
// (when it cannot be, because another user owns it, it is written only if
// nobody else can read it; otherwise PermissionError). Text that UTF-8 cannot
// encode (lone surrogates) is written as backslash escapes. Errors of the file
// system propagate as Python's OSError.
void append_jsonl(py::handle log_dir, const char* filename, py::handle entry);

// An exception described without anything the model or the document may
// have put into its message, for lines that reach terminals: a message of
// fixed text ("No JSON object found in response", "Connection error.") as it
// is, the fixed head of one that quotes the answer ("Could not repair
// JSON"), otherwise the class name and the HTTP status of an error answer.
// The full text goes to the JSON-lines logs and to debug lines.
py::str error_label(py::handle exc);

// Runs `fn`; returns the exception it raised when that is an Exception
// (none is left pending), or an empty object when it returned normally.
// Anything else (KeyboardInterrupt, SystemExit) propagates.
template <class F>
py::object catch_exception(F&& fn) {
  try {
    fn();
    return py::object();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return e.value();
  } catch (const py::builtin_exception& e) {
    e.set_error();
    py::error_already_set err;
    return err.value();
  }
}

}  // namespace tarnis::core::slm
