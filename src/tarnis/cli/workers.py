"""Worker processes: each builds its own analyzer and does with the documents
it is sent what the command would do with them in-process."""

from __future__ import annotations

import multiprocessing
import os
import signal
import time
from collections import Counter, deque
from contextlib import contextmanager
from dataclasses import dataclass
from multiprocessing.connection import wait

from tarnis.cli.console import Console, setup_logging, terminate
from tarnis.cli.files import read_input
from tarnis.cli.outputs import detect_output, write_anonymized
from tarnis.host.config import EngineConfig
from tarnis.host.engines import build_engine, import_presidio_without_torch
from tarnis.host.errors import DocumentError, UsageError, shown
from tarnis.host.pipeline import analyze, anonymize_input

# What becomes of a document past its analysis, in a worker or in-process.
WORK_ANALYZE = "analyze"        # text and results go back: the command verifies, anonymizes, writes
WORK_ANONYMIZE = "anonymize"    # anonymized and written; the placeholder counts go back
WORK_DETECT = "detect"          # the printout and the counts by type go back


def usable_cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:      # no affinity on this platform
        return os.cpu_count() or 1


@dataclass(frozen=True)
class WorkerConfig:
    """What a worker process needs to build its own analyzer and do with each
    document what the command would do in-process."""
    engine: EngineConfig
    threads: int = 1                    # the model's intra-op threads in each worker
    work: str = WORK_ANALYZE
    force: bool = False                 # anonymize: --force
    text_mode: int = 0o644              # anonymize: permissions of the anonymized texts
    as_json: bool = False               # detect: --json
    map_sealer: object = None           # anonymize --encrypt-map: seals the maps (shows no key)


class _CollectingConsole(Console):
    """A worker's console: warnings go back to the parent, which shows each
    once (not once per worker)."""

    def __init__(self):
        super().__init__(quiet=True)
        self.warnings: list[str] = []

    def warning(self, message: str) -> None:
        self.warnings.append(message)


def document_failure(source, e: BaseException) -> str:
    """How the command reports a document that failed with `e`."""
    return str(e) if isinstance(e, DocumentError) else f"{shown(source)}: {type(e).__name__}: {e}"


def work_on(engine, config: WorkerConfig, task: tuple, warn):
    """Read and analyze the document of `task` (its path first), then do the
    configured work with it; returns what goes back to the command, raises
    when the document fails."""
    source = task[0]
    document = read_input(source)
    for warning in document.warnings:
        warn(f"{shown(source)}: {warning}")
    text = document.text
    results = analyze(engine, config.engine, text)
    if config.work == WORK_ANONYMIZE:
        anonymized, entity_map, data = anonymize_input(document, results)
        return write_anonymized(source, text, anonymized, entity_map, task[1], task[2], config.force,
                                config.text_mode, warn, data, config.map_sealer)
    if config.work == WORK_DETECT:
        return detect_output(source, text, results, config.as_json), Counter(r.entity_type for r in results)
    return text, results


def do_document(engine, config: WorkerConfig, task: tuple) -> tuple[bool, list[str], object]:
    """(True, warnings, what goes back) or (False, warnings, error message)
    for one document; one bad document does not stop the batch."""
    warnings: list[str] = []
    try:
        return True, warnings, work_on(engine, config, task, warnings.append)
    except (KeyboardInterrupt, SystemExit, MemoryError):
        raise
    except Exception as e:  # noqa: BLE001 - reported by name, the others go on
        return False, warnings, document_failure(task[0], e)


def _worker_main(conn, config: WorkerConfig) -> None:
    """A worker process: builds the analyzer once, then does the configured
    work with the documents it is sent, one at a time, until it is sent None.
    Each answer is small: a status, the document's messages and, unless the
    command anonymizes or verifies itself, no text. When the command is gone
    (killed), the worker ends quietly: there is nobody left to answer."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)     # the parent stops its workers
    try:
        _serve(conn, config)
    except (BrokenPipeError, ConnectionError, EOFError):
        pass


def _serve(conn, config: WorkerConfig) -> None:
    # Stopped by the parent, it unwinds like an interrupted run: no staged
    # file is left behind.
    signal.signal(signal.SIGTERM, terminate)
    console = _CollectingConsole()
    setup_logging(console, False)
    try:
        if config.engine.rules_only or config.engine.ner == "spacy":
            import_presidio_without_torch()
        else:
            # Before the model is loaded: an ONNX Runtime session takes its
            # thread count from torch's when it is created.
            try:
                import torch
            except ImportError:
                pass            # reported with its remedy when the analyzer is built
            else:
                torch.set_num_threads(config.threads)
        engine, seconds = build_engine(config.engine, console.warning)
    except UsageError as e:
        conn.send(("usage", str(e)))
        return
    except Exception as e:  # noqa: BLE001 - reported by the parent
        conn.send(("usage", f"cannot build the analyzer: {type(e).__name__}: {e}"))
        return
    conn.send(("ready", seconds, console.warnings))
    while True:
        try:
            task = conn.recv()
        except EOFError:
            return
        if task is None:
            return
        index, task = task[0], task[1:]
        try:
            ok, warnings, payload = do_document(engine, config, task)
        except MemoryError as e:
            ok, warnings, payload = False, [], document_failure(task[0], e)
        try:
            conn.send((index, ok, warnings, payload))
        except (BrokenPipeError, ConnectionError):
            raise
        except Exception as e:  # noqa: BLE001 - results that cannot be passed back
            conn.send((index, False, warnings,
                       f"{shown(task[0])}: cannot pass the results to the command: {type(e).__name__}: {e}"))


def _death(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = f"signal {-exitcode}"
        return f"killed by {name}" + (" (out of memory?)" if -exitcode == signal.SIGKILL else "")
    return f"exit status {exitcode}"


@contextmanager
def _sigint_ignored():
    """SIGINT ignored in the block (in the main thread); one that comes meanwhile
    is held and taken after it."""
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, handler)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


class _Worker:
    def __init__(self, ctx, config: WorkerConfig):
        self.conn, child = ctx.Pipe()
        self.process = ctx.Process(target=_worker_main, args=(child, config), daemon=True,
                                   name="tarnis-worker")
        # The worker starts with Ctrl-C ignored (inherited by the new
        # program): the parent stops its workers, and a Ctrl-C while one
        # starts would otherwise print its traceback.
        with _sigint_ignored():
            self.process.start()
        child.close()           # the pipe reads as closed once the worker is gone
        self.ready = False
        # (index, task) sent and not yet answered, in the order the worker
        # takes them; the next one waits there while the first is worked on.
        self.tasks: deque[tuple[int, tuple]] = deque()

    def exitcode(self) -> int | None:
        self.process.join(timeout=5)
        return self.process.exitcode


class WorkerPool:
    """Worker processes, each with its own analyzer, that do the configured
    work with documents ("spawn": nothing of the parent's threads or models is
    inherited). A worker that dies fails the document it was working on and is
    replaced; `on_lost(task, pid)` then removes what it may have left of that
    document's outputs."""

    def __init__(self, config: WorkerConfig, jobs: int, console: Console, on_lost=None):
        self.ctx = multiprocessing.get_context("spawn")
        self.config = config
        self.on_lost = on_lost
        self.workers: list[_Worker] = []
        started = time.perf_counter()
        try:
            self.workers = [_Worker(self.ctx, config) for _ in range(jobs)]
            warnings: list[str] = []
            for w in self.workers:
                message = self._receive(w)
                if message is None:
                    raise UsageError(f"a worker process died while building the analyzer "
                                     f"({_death(w.exitcode())})")
                if message[0] == "usage":
                    raise UsageError(message[1])
                w.ready = True
                warnings.extend(m for m in message[2] if m not in warnings)
        except BaseException:
            self.close(at_once=True)
            raise
        for m in warnings:
            console.warning(m)
        self.build_seconds = time.perf_counter() - started

    @staticmethod
    def _receive(w: _Worker):
        try:
            return w.conn.recv()
        except (EOFError, OSError):
            return None

    def run(self, tasks: list[tuple], ahead: int | None = None):
        """(index, ok, warnings, what goes back or error message) for each
        task (a tuple, the document's path first), as the tasks finish. No
        task is started `ahead` or more places after the first one not yet
        finished (no limit when None)."""
        todo = deque(enumerate(tasks))
        finished = [False] * len(tasks)
        first = 0
        left = len(tasks)
        ahead = len(tasks) if ahead is None else ahead
        while left:
            while first < len(tasks) and finished[first]:
                first += 1
            for w in self.workers:
                while w.ready and len(w.tasks) < 2 and todo and todo[0][0] < first + ahead:
                    w.tasks.append(todo.popleft())
                    try:
                        w.conn.send((w.tasks[-1][0], *w.tasks[-1][1]))
                    except OSError:
                        break       # it died: its pipe reads as closed below, and it is replaced
            busy = [w for w in self.workers if w.tasks or not w.ready]
            if not busy:
                # Every worker is gone: the documents left fail.
                while todo:
                    index, task = todo.popleft()
                    finished[index] = True
                    left -= 1
                    yield index, False, [], f"{shown(task[0])}: not processed: no worker process left"
                continue
            for conn in wait([w.conn for w in busy]):
                w = next(w for w in busy if w.conn is conn)
                message = self._receive(w)
                if message is None:
                    lost = self._lost(w, todo)
                    if lost is None:
                        continue
                    message = lost
                elif not w.ready:
                    if message[0] == "ready":
                        w.ready = True
                    else:
                        self.workers.remove(w)
                    continue
                elif w.tasks and message[0] == w.tasks[0][0]:
                    w.tasks.popleft()
                else:
                    continue
                finished[message[0]] = True
                left -= 1
                yield message

    def _lost(self, w: _Worker, todo: deque):
        """A worker died: the document it was working on fails (returned as
        a result, or None), those waiting for it go back to the others; a
        worker that was running is replaced."""
        self.workers.remove(w)
        how = _death(w.exitcode())
        failed = None
        if w.tasks:
            index, task = w.tasks.popleft()
            if self.on_lost is not None:
                self.on_lost(task, w.process.pid)
            failed = (index, False, [], f"{shown(task[0])}: the worker process analyzing it died ({how}); "
                                        "the document was not processed")
            todo.extendleft(reversed(w.tasks))      # all before those not yet sent
        if w.ready:
            self.workers.append(_Worker(self.ctx, self.config))
        return failed

    def close(self, at_once: bool = False) -> None:
        """Stop every worker: at once when the run was interrupted, else after
        they read their last message. Workers that write are stopped so that
        they remove their staged files; what a worker killed outright leaves
        is removed here."""
        writes = self.on_lost is not None
        for w in self.workers:
            if at_once:
                if writes:
                    w.process.terminate()
                else:
                    w.process.kill()        # it holds no files
            else:
                try:
                    w.conn.send(None)
                except OSError:
                    pass
        deadline = time.monotonic() + 5
        for w in self.workers:
            w.process.join(timeout=max(0.0, deadline - time.monotonic()))
            if w.process.is_alive():
                w.process.kill()
                w.process.join()
            if writes and w.tasks:
                self.on_lost(w.tasks[0][1], w.process.pid)
            w.conn.close()
        self.workers = []
