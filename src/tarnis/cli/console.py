"""The command's console: messages on standard error, data on standard
output, the progress bar, and the library's log records among the messages."""

from __future__ import annotations

import logging
import re
import sys
from contextlib import contextmanager

from tarnis.host.errors import escape_char as _escape_char

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

_CONTROL = re.compile(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]")

class OutputError(Exception):
    """Standard output cannot be written (a full disk, a closed terminal):
    the run stops."""


class Console:
    """Messages on standard error, data on standard output, and the progress
    bar, kept from garbling each other."""

    def __init__(self, quiet: bool = False):
        self.quiet = quiet
        self.bar = None

    def _stderr(self, line: str) -> None:
        # Names are escaped where messages are made; no control character
        # but the line breaks of a message ever reaches the terminal.
        line = _CONTROL.sub(lambda m: _escape_char(m.group()), line)
        if self.bar is not None:
            from tqdm import tqdm
            tqdm.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def error(self, message: str) -> None:
        self._stderr(f"tarnis: error: {message}")

    def warning(self, message: str) -> None:
        self._stderr(f"tarnis: warning: {message}")

    def info(self, message: str) -> None:
        if not self.quiet:
            self._stderr(f"tarnis: {message}")

    def out(self, text: str) -> None:
        """Write `text` to standard output as UTF-8, whatever the locale."""
        if self.bar is not None:
            self.bar.clear()
        try:
            sys.stdout.flush()
            sys.stdout.buffer.write(text.encode("utf-8"))
            sys.stdout.buffer.flush()
        except BrokenPipeError:
            raise                   # the reader went away: the run ends quietly
        except OSError as e:
            raise OutputError(f"cannot write to standard output: {e.strerror or e}") from None
        if self.bar is not None:
            self.bar.refresh()

    @contextmanager
    def progress_bar(self, total: int, unit: str):
        """A progress bar over `total` items on standard error, advanced by
        the caller, when there are several items and the bar is wanted."""
        from tqdm import tqdm

        disable = True if self.quiet or total < 2 else None   # None: only on a terminal
        self.bar = tqdm(total=total, unit=unit, file=sys.stderr, disable=disable, dynamic_ncols=True, leave=False)
        try:
            yield self.bar
        finally:
            self.bar.close()
            self.bar = None


class _ConsoleLogHandler(logging.Handler):
    def __init__(self, console: Console):
        super().__init__()
        self.console = console

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.console._stderr(f"tarnis: {record.levelname.lower()}: {record.name}: {record.getMessage()}")
        except Exception:  # noqa: BLE001 - logging must never stop the run
            self.handleError(record)


def setup_logging(console: Console, verbose: bool) -> None:
    handler = _ConsoleLogHandler(console)
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(logging.WARNING)
    logging.getLogger("tarnis").setLevel(logging.INFO if verbose else logging.WARNING)
    # Offline, the e-mail validation's suffix list falls back to its bundled
    # copy after a warning per run; that warning is noise unless asked for.
    logging.getLogger("tldextract").setLevel(logging.WARNING if verbose else logging.ERROR)
    # Libraries' Python warnings (deprecations inside the model loaders) are
    # for their callers' developers; shown with --verbose only.
    logging.captureWarnings(True)
    logging.getLogger("py.warnings").setLevel(logging.WARNING if verbose else logging.ERROR)


def terminate(signum, frame):  # noqa: ARG001
    """SIGTERM's handler: the run unwinds like an interrupted one, and no
    temporary file is left."""
    raise SystemExit(128 + signum)
