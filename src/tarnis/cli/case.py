"""`tarnis anonymize PATH... --map CASE.map.json`: every document of the run
anonymized against one entity map, the case map, which the run creates or
extends.

The documents are analyzed where the other runs analyze them (in this
process or in the workers), but anonymized here, one after another in the
order the command lists them: the numbering depends on the documents and
their order only. Each document's output is staged (written in full under a
temporary name in its folder) as it is done; at the end, or when the run is
interrupted or fails, the case map is renamed into place first and the
staged documents after it, so that no document of the run is ever in place
while the map lacks its placeholders, not even after a kill. A lock file
beside the map keeps a second run off the same map."""

from __future__ import annotations

import os
import time
from collections import Counter
from pathlib import Path

from tarnis.cli.console import EXIT_FAILED, EXIT_OK, Console
from tarnis.cli.driver import failed_line, rate, run_documents, worker_config
from tarnis.cli.files import _is_word, read_input
from tarnis.cli.options import engine_config, map_keys, slm_stages
from tarnis.cli.outputs import write_case_map
from tarnis.cli.staging import (_HOST_TAG, StagedFile, _alive, _interruptions_held, recover_dead_writers)
from tarnis.host.casemap import CaseMap
from tarnis.host.engines import ensure_sentence_pipeline
from tarnis.host.errors import DocumentError, UsageError, shown
from tarnis.host.mapcrypt import KEY_ENV, MAGIC, is_sealed
from tarnis.host.maps import MAP_INFO, read_entity_map
from tarnis.host.pipeline import anonymize_analyzed, placeholder_counts, restoration_warning
from tarnis.host.spellings import spellings_fields
from tarnis.host.slm import by_type

LOCK_SUFFIX = ".lock"


class MapLock:
    """`CASE.map.json.lock`, made with O_EXCL and holding `PID-HOST` of the
    run that holds it; removed when the run ends, however it ends. A lock
    left by a process of this machine that no longer exists is taken over;
    any other is refused (UsageError: exit status 2)."""

    def __init__(self, map_path: Path):
        self.path = map_path.with_name(map_path.name + LOCK_SUFFIX)
        self.map_path = map_path
        self.tag = f"{os.getpid()}-{_HOST_TAG}\n"
        self.held = False

    def __enter__(self) -> MapLock:
        for _ in range(3):
            try:
                fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o600)
            except FileExistsError:
                self._take_over_stale()
                continue
            except OSError as e:
                raise UsageError(f"{shown(self.path)}: cannot create the lock file of the map: "
                                 f"{e.strerror or e}") from None
            with os.fdopen(fd, "w") as f:
                f.write(self.tag)
            self.held = True
            return self
        raise UsageError(f"{shown(self.map_path)}: cannot take the lock file {shown(self.path)}")

    def _owner(self, path) -> tuple[int, str] | None:
        try:
            with open(path, encoding="ascii", errors="replace") as f:
                pid, _, host = f.read(64).strip().partition("-")
            return int(pid), host
        except (OSError, ValueError):
            return None

    def _take_over_stale(self) -> None:
        owner = self._owner(self.path)
        if owner is None:
            time.sleep(0.2)                     # a run that has just made it writes it at once
            owner = self._owner(self.path)
        if owner is not None and owner[1] == _HOST_TAG and owner[0] != os.getpid() and not _alive(owner[0]):
            # Moved aside under a name of its own, then checked: of two runs
            # taking over the same stale lock, only one gets it.
            aside = self.path.with_name(f"{self.path.name}.{os.getpid()}-{_HOST_TAG}.stale")
            try:
                os.rename(self.path, aside)
            except OSError:
                return
            if self._owner(aside) == owner:
                os.unlink(aside)
                return
            try:
                os.link(aside, self.path)       # another run's fresh lock: put back
            except OSError:
                pass
            os.unlink(aside)
        if owner is None:
            who = "a run that is starting or was stopped oddly"
        elif owner[1] != _HOST_TAG:
            who = f"process {owner[0]} of another machine"
        else:
            who = f"process {owner[0]}"
            if owner[0] != os.getpid() and not _alive(owner[0]):
                return          # went away meanwhile: try again
        raise UsageError(f"{shown(self.map_path)} is in use by another run ({who}; lock file {shown(self.path)}): "
                         "two runs must not extend one case map at once. Wait for it to end, or remove the lock "
                         "file if no run is going on")

    def __exit__(self, *exc) -> None:
        if self.held and self._owner(self.path) == (os.getpid(), _HOST_TAG):
            try:
                os.unlink(self.path)
            except OSError:
                pass
        self.held = False


def load_case_map(map_path: Path, keys=None, encrypting: bool = False) -> CaseMap:
    """The case map at `map_path` (an encrypted one opened with `keys`), or
    a new one when there is no file; UsageError when the file is not a case
    map, or is encrypted and the run would write it in clear (nothing is
    written then)."""
    if not os.path.lexists(map_path):
        return CaseMap()
    if not encrypting:
        try:
            with open(map_path, "rb") as f:
                sealed = is_sealed(f.read(len(MAGIC)))
        except OSError:
            sealed = False          # read_entity_map says what is wrong
        if sealed:
            raise UsageError(f"--map {shown(map_path)}: an encrypted case map; give --encrypt-map (with its key, "
                             f"--key-file or {KEY_ENV}) so that it stays encrypted; nothing was anonymized")
    try:
        loaded = read_entity_map(map_path, keys)
    except DocumentError as e:
        raise UsageError(f"--map {e}; nothing was anonymized") from None
    if loaded.info is not None:
        raise UsageError(f"--map {shown(map_path)}: the map of one document (written without --map, its entry "
                         f"{MAP_INFO!r}), not a case map; give a new file name to start a case map, and anonymize "
                         "that document again with it to bring it into the case")
    return CaseMap(loaded.entity_map, loaded.documents)


def check_map_path(map_path: Path, inputs: list, outputs: list) -> None:
    folder = map_path.parent
    if not folder.is_dir():
        raise UsageError(f"--map {shown(map_path)}: the folder {shown(folder)} does not exist")
    if map_path.is_dir():
        raise UsageError(f"--map {shown(map_path)}: a folder, not a map file")
    key = os.path.realpath(map_path)
    for path in inputs:
        if os.path.realpath(path) == key:
            raise UsageError(f"--map {shown(map_path)} is an input of this command; inputs are never overwritten")
    for path in outputs:
        if os.path.realpath(path) == key:
            raise UsageError(f"--map {shown(map_path)} is also the output of a document")


class _Staged:
    """The documents of the run, staged in order, and what each gives."""

    def __init__(self):
        self.files: list[tuple[int, StagedFile]] = []

    def discard(self) -> None:
        for _, f in self.files:
            f.discard()
        self.files = []


def run_case(args, console: Console, jobs: list, failed: int, sealer=None) -> int:
    """Anonymize the planned `jobs` ((document, anonymized output, unused
    map output)) against the case map --map; `failed` arguments or
    documents already failed in planning."""
    map_path = Path(args.map)
    check_map_path(map_path, [d.source for d, _, _ in jobs], [anon for _, anon, _ in jobs])
    with MapLock(map_path):
        case = load_case_map(map_path, map_keys(args) if sealer is not None else None, sealer is not None)
        if not jobs:
            console.info(f"nothing anonymized, {failed} failed; {shown(map_path)} unchanged")
            return EXIT_FAILED if failed else EXIT_OK
        return _run(args, console, jobs, failed, case, map_path, sealer)


def _run(args, console: Console, jobs: list, failed: int, case: CaseMap, map_path: Path, sealer=None) -> int:
    from tarnis.cli.files import _default_file_mode

    stages = slm_stages(args, console)
    counts: Counter = Counter()
    text_mode = _default_file_mode()
    config = engine_config(args)
    staged = _Staged()
    before = len(case.documents)

    def finish(index: int, state) -> None:
        doc, anon, _ = jobs[index]
        results = state.kept if stages.verify else state.results
        reread = (lambda: read_input(doc.source)) if _is_word(doc.source) else None
        # A document that fails (or is interrupted) takes its entries back
        # out of the map, and its staged output goes.
        mark = case.checkpoint()
        output = None
        try:
            anonymized, _, data, added = anonymize_analyzed(doc.source, state.text, results, reread=reread,
                                                            stages=stages, entity_map=case.entity_map)
            own_map = case.entries_for(anonymized)
            # The spelling of every occurrence is kept with the document's
            # entry: later documents add to the map but never change the
            # text a placeholder restores by default.
            exact = spellings_fields(state.text, anonymized, own_map)
            warning = None if exact is not None else restoration_warning(doc.source, state.text, anonymized,
                                                                          own_map)
            recover_dead_writers([anon])
            output = StagedFile(anon, anonymized.encode("utf-8") if data is None else data, text_mode)
            case.commit(anonymized, exact)
        except BaseException:
            if output is not None:
                output.discard()
            case.rollback(mark)
            raise
        staged.files.append((index, output))
        if warning is not None:
            console.warning(warning)
        counts.update(placeholder_counts(anonymized, own_map))
        if stages.verify:
            stages.count_verdicts(state)
        if stages.review:
            stages.count_review(added)

    tasks = [(doc.source, anon, emap) for doc, anon, emap in jobs]
    try:
        done, failed_at, seconds, build_seconds = run_documents(
            worker_config(config, min(args.jobs, len(tasks))), args.jobs, console, tasks, finish=finish,
            stages=stages, ready=(lambda: ensure_sentence_pipeline(config)) if stages.review else None)
    except BaseException:
        # Interrupted or stopped: what is done is kept, as without --map.
        if staged.files:
            _commit(case, map_path, staged, jobs, args.force, console, sealer)
        staged.discard()
        raise
    lost = _commit(case, map_path, staged, jobs, args.force, console, sealer) if staged.files else []
    failed_at = sorted(set(failed_at) | set(lost))
    done -= len(lost)
    failed += len(failed_at)

    console.info(f"{done} document{'s' if done != 1 else ''} anonymized, {failed} failed, in {seconds:.2f} s "
                 f"({rate(done, seconds)} documents/s; analyzer built in {build_seconds:.2f} s)")
    console.info(f"entities replaced: {by_type(counts)}")
    console.info(f"case map {shown(map_path)}: {sum(len(inner) for inner in case.entity_map.values())} entries, "
                 f"{len(case.documents)} documents ({len(case.documents) - before} new)")
    for line in stages.stats.lines(stages.verify, stages.review, stages.on_failure):
        console.info(line)
    if failed_at:
        console.info(failed_line([jobs[i][0].source for i in failed_at]))
    return EXIT_FAILED if failed else EXIT_OK


def _commit(case: CaseMap, map_path: Path, staged: _Staged, jobs: list, force: bool, console: Console,
            sealer=None) -> list[int]:
    """The case map into place, then the staged documents; returns the
    indices of documents that could not be put in place (their entries stay
    in the map, unused). When the map cannot be written, no document is
    put in place and the run fails."""
    lost: list[int] = []
    with _interruptions_held():
        try:
            write_case_map(map_path, case.entity_map, case.documents, sealer)
        except (DocumentError, OSError) as e:
            staged.discard()
            message = str(e) if isinstance(e, DocumentError) else f"{shown(map_path)}: cannot write: {e.strerror or e}"
            raise UsageError(f"{message}; no document of this run was written") from None
        for index, f in staged.files:
            try:
                f.commit(force)
            except DocumentError as e:
                console.error(str(e))
                lost.append(index)
        staged.discard()
    return lost

