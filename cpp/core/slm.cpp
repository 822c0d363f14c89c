#include "core/slm.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/regex.hpp"
#include "core/text.hpp"

namespace tarnis::core::slm {

namespace {

constexpr char32_t kFence[] = U"```";

bool truthy(py::handle v) {
  int t = PyObject_IsTrue(v.ptr());
  if (t < 0) throw py::error_already_set();
  return t == 1;
}

py::object json_module() { return py::module_::import("json"); }

// json.loads(candidate), or an empty object when it is not valid JSON. The
// decode error is kept in `error` for the pass that needs its position; any
// other error propagates.
py::object try_loads(py::handle loads, py::handle decode_error, py::handle candidate, py::object* error = nullptr) {
  PyObject* parsed = PyObject_CallOneArg(loads.ptr(), candidate.ptr());
  if (parsed) return py::reinterpret_steal<py::object>(parsed);
  if (!PyErr_ExceptionMatches(decode_error.ptr())) throw py::error_already_set();
  py::error_already_set err;  // fetches and clears the pending error
  if (error) *error = err.value();
  return py::object();
}

// The single-quote pass: '...' strings that stand after "{", ",", ":" or "["
// and before ":", ",", "}" or "]" become "..." (their content is kept as it
// is; the spaces before the opening quote go).
const Regex& single_quoted() {
  static const Regex* re = new Regex(U"(?<=[{,:\\[]) *'((?:[^'\\\\]|\\\\.)*)'(?= *[:,}\\]])");
  return *re;
}

py::str requote(py::handle candidate) {
  Text text(candidate);
  const Regex& re = single_quoted();
  MatchIterator it(re, text.view());
  Match m;
  std::u32string out;
  size_t last = 0;
  while (it.next(m)) {
    out.append(text.slice(last, m.start()));
    out.push_back(U'"');
    out.append(text.slice(m.start(1), m.end(1)));
    out.push_back(U'"');
    last = m.end();
  }
  if (last == 0) return py::reinterpret_borrow<py::str>(candidate);
  out.append(text.slice(last, text.size()));
  return to_str(out);
}

}  // namespace

py::object repair_json(py::handle raw, bool escape_stray_quotes) {
  py::object json = json_module();
  py::object loads = json.attr("loads");
  py::object decode_error = json.attr("JSONDecodeError");

  py::object text = raw.attr("strip")();
  if (truthy(text.attr("startswith")(to_str(kFence)))) {
    py::list parts = text.attr("split")("\n", 1);
    text = parts[parts.size() > 1 ? 1 : 0];
    py::list inner = text.attr("rsplit")(to_str(kFence), 1);
    text = py::object(inner[0]).attr("strip")();
  }
  if (!PyUnicode_Check(text.ptr())) throw py::type_error("model answer must be a str");

  Text chars(text);
  size_t start = 0;
  while (start < chars.size() && chars[start] != U'{') ++start;
  if (start == chars.size()) throw py::value_error("No JSON object found in response");

  // The end of the first balanced object, tracking strings and escapes.
  bool found_end = false, in_string = false, escape = false;
  size_t end = 0;
  long depth = 0;
  for (size_t i = start; i < chars.size(); ++i) {
    char32_t c = chars[i];
    if (escape) {
      escape = false;
      continue;
    }
    if (c == U'\\') {
      escape = true;
      continue;
    }
    if (c == U'"') {
      in_string = !in_string;
      continue;
    }
    if (in_string) continue;
    if (c == U'{') {
      ++depth;
    } else if (c == U'}') {
      if (--depth == 0) {
        end = i;
        found_end = true;
        break;
      }
    }
  }

  std::vector<py::str> candidates;
  if (found_end) {
    candidates.push_back(to_str(chars.slice(start, end + 1)));
  } else {
    std::u32string fragment(chars.slice(start, chars.size()));
    if (in_string) fragment.push_back(U'"');
    for (const char32_t* suffix : {U"}", U"]}", U"}]}", U"\"}]}"}) candidates.push_back(to_str(fragment + suffix));
  }

  for (const py::str& c : candidates) {
    py::object parsed = try_loads(loads, decode_error, c);
    if (parsed) return parsed;
  }
  for (const py::str& c : candidates) {
    py::object parsed = try_loads(loads, decode_error, requote(c));
    if (parsed) return parsed;
  }
  if (escape_stray_quotes) {
    for (const py::str& c : candidates) {
      py::str fix = c;
      for (int round = 0; round < 10; ++round) {
        py::object error;
        py::object parsed = try_loads(loads, decode_error, fix, &error);
        if (parsed) return parsed;
        py::object pos_obj = error.attr("pos");
        if (pos_obj.is_none()) break;
        Py_ssize_t pos = PyNumber_AsSsize_t(pos_obj.ptr(), PyExc_OverflowError);
        if (pos == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (pos < 2) break;
        Text fix_chars(fix);
        size_t limit = static_cast<size_t>(pos) < fix_chars.size() ? static_cast<size_t>(pos) : fix_chars.size();
        size_t q = limit;
        while (q > 0 && fix_chars[q - 1] != U'"') --q;
        if (q <= 1) break;  // no quote before pos, or only at index 0
        --q;
        std::u32string next(fix_chars.slice(0, q));
        next += U"\\\"";
        next.append(fix_chars.slice(q + 1, fix_chars.size()));
        fix = to_str(next);
      }
    }
  }
  py::object first = candidates.front()[py::slice(0, 200, 1)];
  py::object message = py::str("Could not repair JSON: ") + first + py::str("...");
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw py::error_already_set();
}

py::dict extra_body(py::handle top_k, py::handle extra) {
  py::dict body;
  body["top_k"] = top_k;
  body["reasoning_effort"] = "none";
  if (truthy(extra)) body.attr("update")(extra);
  return body;
}

py::object chat_content(const ChatRequest& req) {
  py::dict system, user;
  system["role"] = "system";
  system["content"] = req.system_prompt;
  user["role"] = "user";
  user["content"] = req.user_msg;
  py::list messages;
  messages.append(system);
  messages.append(user);

  py::dict kwargs;
  kwargs["model"] = req.model;
  kwargs["messages"] = messages;
  kwargs["temperature"] = req.temperature;
  kwargs["top_p"] = req.top_p;
  kwargs["presence_penalty"] = req.presence_penalty;
  kwargs["max_tokens"] = req.max_tokens;
  kwargs["extra_body"] = req.extra_body;
  py::object response = req.client.attr("chat").attr("completions").attr("create")(**kwargs);
  py::object choices = response.attr("choices");
  return choices[py::int_(0)].attr("message").attr("content");
}

py::object now_iso() {
  return py::module_::import("datetime").attr("datetime").attr("now")().attr("isoformat")();
}

void append_jsonl(py::handle log_dir, const char* filename, py::handle entry) {
  // Serialized first: an entry that cannot be written creates nothing.
  py::object dumps = json_module().attr("dumps");
  py::str line = py::str(dumps(entry, py::arg("ensure_ascii") = false)) + py::str("\n");
  PyObject* encoded = PyUnicode_AsEncodedString(line.ptr(), "utf-8", "backslashreplace");
  if (!encoded) throw py::error_already_set();
  py::bytes data = py::reinterpret_steal<py::bytes>(encoded);

  py::object dir = py::module_::import("pathlib").attr("Path")(log_dir);
  py::object path = dir.attr("__truediv__")(filename);
  PyObject* fs_path = nullptr;
  if (!PyUnicode_FSConverter(path.ptr(), &fs_path)) throw py::error_already_set();
  py::object fs_keep = py::reinterpret_steal<py::object>(fs_path);
  const char* c_path = PyBytes_AS_STRING(fs_path);

  // New files are readable by their owner only; an existing file keeps its
  // mode. The directory is created (with its parents) only when missing.
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
  int fd = ::open(c_path, flags, 0600);
  if (fd < 0 && errno == ENOENT) {
    dir.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
    fd = ::open(c_path, flags, 0600);
  }
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
  }
  // A file that was already there (made by an earlier version, by hand, or
  // under another umask) may be readable by others: it becomes the owner's
  // only before document text goes into it. Pipes and devices hold nothing
  // and keep their modes.
  struct stat st;
  if (::fstat(fd, &st) < 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
  }
  if (S_ISREG(st.st_mode) && (st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) < 0 && (st.st_mode & 077) != 0) {
    const int saved = errno;
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
    py::object message = py::str("cannot make the log file readable by its owner only (mode {}: {}); nothing "
                                  "was written to it")
                              .format(mode, py::str(std::strerror(saved)));
    PyObject* exc = PyObject_CallFunction(PyExc_PermissionError, "iOO", saved, message.ptr(), path.ptr());
    if (!exc) throw py::error_already_set();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
    throw py::error_already_set();
  }
  // One write for the whole line in the usual case, so that concurrent
  // appenders do not interleave within a line.
  const char* p = PyBytes_AS_STRING(data.ptr());
  size_t left = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) {
        if (PyErr_CheckSignals() == 0) continue;
        ::close(fd);
        throw py::error_already_set();
      }
      const int saved = errno;
      ::close(fd);
      errno = saved;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
      throw py::error_already_set();
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::close(fd) < 0 && errno != EINTR) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
  }
}

py::str error_label(py::handle exc) {
  std::string m;
  PyObject* text = PyObject_Str(exc.ptr());
  if (!text) {
    PyErr_Clear();
  } else {
    py::str message = py::reinterpret_steal<py::str>(text);
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(message.ptr(), &n);
    if (!utf8) {
      PyErr_Clear();
    } else {
      m.assign(utf8, static_cast<size_t>(n));
    }
  }
  // Messages whose whole text is fixed (or names only JSON types) are shown
  // as they are; a message that goes on to quote the answer keeps its fixed
  // head; any other gives the class of the error (and the HTTP status).
  static const char* const kWhole[] = {"No JSON object found in response", "Request timed out.",
                                       "Connection error.", "'results'"};
  for (const char* w : kWhole) {
    if (m == w) return py::str(m);
  }
  static const char* const kTyped = "SLM answer \"results\" ";
  if (m.rfind(kTyped, 0) == 0 && m.find('\n') == std::string::npos && m.size() < 120) return py::str(m);
  static const char* const kHead = "Could not repair JSON";
  if (m.rfind(kHead, 0) == 0) return py::str(std::string(kHead) + " (the answer is in the log)");
  std::string out = py::str(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))).attr("__name__"));
  PyObject* status = PyObject_GetAttrString(exc.ptr(), "status_code");
  if (!status) {
    PyErr_Clear();
  } else {
    py::object keep = py::reinterpret_steal<py::object>(status);
    if (PyLong_Check(status)) out += " (HTTP " + std::string(py::str(keep)) + ")";
  }
  return py::str(out);
}

}  // namespace tarnis::core::slm
