"""The one driver of the command: each document read and analyzed in this
process (--jobs 1 or a single document) or in the worker processes, then
either done with there (written, or its printout made) or brought back to
the command for what only it can do (verification over several documents,
the review, printing the verdicts); messages in the documents' order, the
progress bar, the failures counted."""

from __future__ import annotations

import time
from dataclasses import replace
from itertools import islice

from tarnis.cli.console import Console, OutputError
from tarnis.cli.files import _default_file_mode
from tarnis.cli.workers import WORK_ANALYZE, WorkerConfig, WorkerPool, do_document, usable_cores
from tarnis.host.config import EngineConfig
from tarnis.host.defaults import DEFAULT_GLINER_BACKEND, DEFAULT_GLINER_MODEL, DEFAULT_NER, VERIFY_GROUP
from tarnis.host.engines import build_engine
from tarnis.host.errors import DocumentError, listed, shown
from tarnis.host.slm import DocState

# Documents of `detect` processed at most this far ahead of the first one not
# yet done: their printouts wait in the command until they can be shown in order.
DETECT_AHEAD = 256


def worker_config(config: EngineConfig, jobs: int, work: str = WORK_ANALYZE, *, force: bool = False,
                  as_json: bool = False, map_sealer=None) -> WorkerConfig:
    return WorkerConfig(config, threads=max(1, usable_cores() // jobs), work=work, force=force,
                        text_mode=_default_file_mode(), as_json=as_json, map_sealer=map_sealer)


def export_once(config: EngineConfig) -> None:
    """The ONNX export of the neural model made here, once, before the workers
    start: each would otherwise make its own, at the same time, into the same
    folder. A failure is left for the workers to report with its remedy."""
    if config.rules_only or (config.ner or DEFAULT_NER) == "spacy" or \
            (config.gliner_backend or DEFAULT_GLINER_BACKEND) == "torch":
        return
    try:
        from tarnis.host.engines import model_argument
        from tarnis.recognizers.gliner import export_onnx

        export_onnx(model_argument(config.gliner_model or DEFAULT_GLINER_MODEL, "--gliner-model"))
    except Exception:  # noqa: BLE001 - each worker reports it when it builds its analyzer
        pass


def _in_order(results, arrived=None):
    """The (index, ...) results of tasks 0, 1, 2... in that order, each as
    soon as it and all before it are there; `arrived()` is called as each
    one comes."""
    waiting = {}
    upcoming = 0
    for result in results:
        if arrived is not None:
            arrived()
        waiting[result[0]] = result
        while upcoming in waiting:
            yield waiting.pop(upcoming)
            upcoming += 1


def _guarded(console: Console, source, fn, *args) -> tuple[bool, object]:
    """(True, fn(*args)), or (False, None) after reporting the document's
    failure by name."""
    try:
        return True, fn(*args)
    except DocumentError as e:
        console.error(str(e))
    except (KeyboardInterrupt, SystemExit, MemoryError, BrokenPipeError, OutputError):
        raise  # the whole run ends (a closed pipe quietly, in main)
    except Exception as e:  # noqa: BLE001 - one bad document must not stop the batch
        console.error(f"{shown(source)}: {type(e).__name__}: {e}")
    return False, None


def run_documents(config: WorkerConfig, jobs: int, console: Console, tasks: list[tuple], on_result=None, *,
                  finish=None, stages=None, ready=None, on_lost=None,
                  ahead: int | None = None) -> tuple[int, list[int], float, float]:
    """Each task (a tuple, the document's path first) read, analyzed and
    worked on as `config.work` says, in this process (`jobs` 1 or a single
    document) or in `jobs` worker processes; `on_result(index, what came
    back)` for each document done. With `finish`, the documents' analyses
    come back instead (as DocStates, in their order), go through the
    verification of `stages` in groups whose doubtful detections share one
    stream of batches (with --verify), then `finish(index, state)`.
    `ready()` is called once the analyzer is built. Messages come in the
    documents' order; a failing document is reported by name and the others
    go on; the progress bar counts documents. Returns (done, indices of the
    failed tasks, seconds, seconds to build the analyzer)."""
    jobs = min(jobs, len(tasks))
    if finish is not None:
        config = replace(config, work=WORK_ANALYZE)
        # Analyses run at most this far ahead of the one the command waits for.
        ahead = max(4 * jobs, VERIFY_GROUP + 2 * jobs)
    pool = None
    if jobs <= 1:
        engine, build_seconds = build_engine(config.engine, console.warning)
        results = ((index, *do_document(engine, config, task)) for index, task in enumerate(tasks))
    else:
        export_once(config.engine)
        pool = WorkerPool(config, jobs, console, on_lost)
        build_seconds = pool.build_seconds
        results = pool.run(tasks, ahead)
    done = 0
    failed: list[int] = []
    try:
        if ready is not None:
            ready()
        started = time.perf_counter()
        with console.progress_bar(len(tasks), unit="doc") as bar:
            if finish is None:
                for index, ok, warnings, value in _in_order(results, lambda: bar.update(1)):
                    for message in warnings:
                        console.warning(message)
                    if ok:
                        on_result(index, value)
                        done += 1
                    else:
                        console.error(value)
                        failed.append(index)
            else:
                verify = stages is not None and stages.verify
                size = VERIFY_GROUP if verify else 1
                ordered = _in_order(results)
                for g in range(0, len(tasks), size):
                    states = []
                    for index, ok, warnings, value in islice(ordered, min(size, len(tasks) - g)):
                        for message in warnings:
                            console.warning(message)
                        if ok:
                            states.append((index, DocState(tasks[index][0], *value)))
                        else:
                            console.error(value)
                            failed.append(index)
                            bar.update(1)
                    if verify and states:
                        _verify(stages, [state for _, state in states], console)
                    for index, state in states:
                        if state.error is not None:
                            console.error(str(state.error))
                            ok = False
                        else:
                            ok, _ = _guarded(console, state.source, finish, index, state)
                        if ok:
                            done += 1
                        else:
                            failed.append(index)
                        bar.update(1)
        seconds = time.perf_counter() - started
    except BaseException:
        if pool is not None:
            pool.close(at_once=True)
        raise
    if pool is not None:
        pool.close()
    return done, failed, seconds, build_seconds


def _verify(stages, states: list, console: Console) -> None:
    def progress(done, total):
        if console.bar is not None:
            if done is None:
                console.bar.set_postfix_str("")
            else:
                console.bar.set_postfix_str(f"verifying {done}/{total}", refresh=True)

    stages.verify_group(states, progress)


def rate(count: int, seconds: float) -> str:
    return f"{count / seconds:.1f}" if seconds > 0 else "-"


def failed_line(sources: list) -> str:
    return f"failed: {listed([shown(source) for source in sources])}"
