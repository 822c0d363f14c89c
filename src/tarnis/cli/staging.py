"""Outputs written atomically: each file staged under a temporary name in its
folder, then all renamed into place as one step; an interruption, a failure
or (found by the next writer) a process killed midway leaves the files that
were there before."""

from __future__ import annotations

import os
import re
import signal
import tempfile
from contextlib import contextmanager
from pathlib import Path

from tarnis.host.errors import DocumentError, shown

def _host_tag() -> str:
    """A short tag of this machine: a process id says nothing about a process
    of another machine writing into the same (network) folder."""
    import hashlib
    import socket

    return hashlib.sha256(socket.gethostname().encode("utf-8", "surrogateescape")).hexdigest()[:8]


_HOST_TAG = _host_tag()

# `.TARGET.PID-HOST.RANDOM.tmp`: a file being written; `.bak`: the file that
# was in place, kept until the new files are all in place. The random part
# (mkstemp's, or hexadecimal) holds no dot, so the parse is unambiguous.
_STAGED_NAME = re.compile(r"\.(?P<target>.+)\.(?P<pid>[0-9]{1,10})-(?P<host>[0-9a-f]{8})\.[a-z0-9_]+\.(?P<kind>tmp|bak)",
                          re.DOTALL)


def _temp_prefix(target: Path, pid: int) -> str:
    """Temporary files of `target` carry the writing process's id (and its
    machine), so that the files of a process that was killed can be found and
    removed."""
    return f".{target.name}.{pid}-{_HOST_TAG}."


def _staged_of(target: Path, pid: int, names) -> tuple[list[Path], list[Path]]:
    """The files being written to `target` by process `pid`, and its backups
    of the file that was there, among the `names` of its folder."""
    prefix = _temp_prefix(target, pid)
    tmps: list[Path] = []
    backups: list[Path] = []
    for name in names:
        if name.startswith(prefix):
            rest = name[len(prefix):]
            kind = rest[-4:]
            if kind in (".tmp", ".bak") and re.fullmatch(r"[a-z0-9_]+", rest[:-4]):
                (tmps if kind == ".tmp" else backups).append(target.parent / name)
    return tmps, backups


def _unlink(path) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _same_inode(a, b) -> bool:
    try:
        sa, sb = os.lstat(a), os.lstat(b)
    except OSError:
        return False
    return (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)


def remove_temporary_files(targets, pid: int) -> None:
    """Remove what a killed process `pid` left of its staged `targets` (its
    backups of the files in place included: those files stay as they are)."""
    listings: dict[Path, list[str]] = {}
    for target in targets:
        for path in sum(_staged_of(target, pid, _listing(target.parent, listings)), []):
            _unlink(path)


def _listing(folder: Path, listings: dict) -> list[str]:
    if folder not in listings:
        try:
            listings[folder] = os.listdir(folder)
        except OSError:
            listings[folder] = []
    return listings[folder]


def recover_staged(targets: list[Path], pid: int, whole_call: bool = False) -> None:
    """Put right what the dead process `pid` left of one `write_outputs` call
    over `targets` (in their order), then remove its staged files.

    That call staged every target, then renamed them into place in order: if
    it died between two renames, the targets already renamed go back to what
    they were (their backup), so that the old set stays rather than a mix. A
    target renamed without a backup (it did not exist before) is removed only
    when the caller knows that `targets` are exactly that call's
    (`whole_call`); otherwise nothing without a backup is touched."""
    listings: dict[Path, list[str]] = {}
    found = [_staged_of(t, pid, _listing(t.parent, listings)) for t in targets]
    # Renamed into place: its staged file is gone, or (a hard link made
    # without --force, the staged name not yet removed) is the target itself.
    renamed = [not tmps or any(_same_inode(tmp, t) for tmp in tmps) for t, (tmps, _) in zip(targets, found)]
    first_left = renamed.index(False) if False in renamed else len(targets)
    midway = 0 < first_left < len(targets) and not any(renamed[first_left:])
    for i, (target, (tmps, backups)) in enumerate(zip(targets, found)):
        backup = backups.pop(0) if backups else None
        try:
            if midway and i < first_left:
                if backup is not None:
                    os.replace(backup, target)
                elif whole_call:
                    os.unlink(target)
            elif backup is not None and not os.path.lexists(target):
                os.replace(backup, target)      # moved aside (no hard links there) and not replaced
        except OSError:
            pass
        for path in tmps + backups + ([backup] if backup is not None else []):
            _unlink(path)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError, ValueError):
        return True             # another user's process, or no answer: taken as alive
    return True


# Per output folder, the staged files found there the first time this
# process wrote into it: {target name: process ids}.
_found_staged: dict[str, dict[str, set[int]]] = {}


def recover_dead_writers(targets: list[Path]) -> None:
    """Before `targets` are written: what processes of this machine that no
    longer exist left of them (killed outright while writing them) is put
    right and removed. Each folder is listed once per process; the files of
    live processes are never touched."""
    pids: set[int] = set()
    for target in targets:
        folder = os.fspath(target.parent)
        staged = _found_staged.get(folder)
        if staged is None:
            staged = {}
            try:
                names = os.listdir(folder)
            except OSError:
                names = []
            for name in names:
                m = _STAGED_NAME.fullmatch(name)
                if m and m["host"] == _HOST_TAG:
                    staged.setdefault(m["target"], set()).add(int(m["pid"]))
            _found_staged[folder] = staged
        pids |= staged.pop(target.name, set())
    # Checked after the listing: a process gone now had written those files.
    for pid in sorted(pids):
        if pid != os.getpid() and not _alive(pid):
            recover_staged(targets, pid)


class StagedFile:
    """A file written in full to a temporary name in its target folder; it
    takes its real name only on `commit`, so an interrupted run never leaves
    a half-written output."""

    def __init__(self, target: Path, data: bytes, mode: int):
        self.target = target
        target.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=_temp_prefix(target, os.getpid()), suffix=".tmp")
        self.tmp: str | None = tmp
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
            os.chmod(tmp, mode)
        except BaseException:
            self.discard()
            raise

    def commit(self, force: bool) -> None:
        """Give the file its name. Without `force` an existing file is never
        replaced, even one that appeared while this file was being written."""
        assert self.tmp is not None
        try:
            if force:
                os.replace(self.tmp, self.target)
            else:
                try:
                    os.link(self.tmp, self.target)          # fails when the target exists
                except FileExistsError:
                    raise DocumentError(f"{shown(self.target)} exists (use --force to overwrite)") from None
                except OSError:
                    # A file system without hard links: check, then rename.
                    if os.path.lexists(self.target):
                        raise DocumentError(f"{shown(self.target)} exists (use --force to overwrite)") from None
                    os.replace(self.tmp, self.target)
                    self.tmp = None
                    return
                os.unlink(self.tmp)
        except OSError as e:
            raise DocumentError(f"{shown(self.target)}: cannot write: {e.strerror or e}") from None
        self.tmp = None

    def discard(self) -> None:
        if self.tmp is not None:
            _unlink(self.tmp)
            self.tmp = None


def _backup(target: Path) -> tuple[str, bool] | None:
    """Keep the file in place at `target` under a staged name: (that name,
    whether the file was moved there rather than linked), or None when there
    is nothing to keep. A folder in the way is left: renaming over it fails."""
    if not os.path.lexists(target) or (target.is_dir() and not target.is_symlink()):
        return None
    prefix = _temp_prefix(target, os.getpid())
    while True:
        name = os.fspath(target.parent / f"{prefix}{os.urandom(6).hex()}.bak")
        try:
            os.link(target, name, follow_symlinks=False)
            return name, False
        except FileExistsError:
            continue
        except OSError:
            pass
        try:
            os.rename(target, name)       # no hard links on this file system
        except OSError as e:
            raise DocumentError(f"{shown(target)}: cannot keep the file in place while it is "
                                f"replaced: {e.strerror or e}") from None
        return name, True


def _roll_back(committed: list[Path], backups: dict) -> list[str]:
    """Undo the renames of `committed` (the files there before come back from
    `backups`, the new ones go) and drop the backups; returns what could not
    be put back."""
    problems = []
    for target in reversed(committed):
        backup = backups.pop(target, None)
        try:
            if backup is not None:
                os.replace(backup[0], target)
            else:
                os.unlink(target)
        except OSError as e:
            problems.append(f"{shown(target)}: cannot put the previous file back ({e.strerror or e})"
                            + (f"; it is kept as {shown(backup[0])}" if backup is not None else ""))
    for target, (backup, moved) in backups.items():
        if moved:
            try:
                os.replace(backup, target)
            except OSError as e:
                problems.append(f"{shown(target)}: cannot put the previous file back ({e.strerror or e}); "
                                f"it is kept as {shown(backup)}")
        else:
            _unlink(backup)
    return problems


_HELD_SIGNALS = {signal.SIGINT, signal.SIGTERM}


@contextmanager
def _interruptions_held():
    """Ctrl-C and SIGTERM wait until the block is left (in the main thread,
    where their handlers run; elsewhere they are not taken anyway)."""
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    # The mask holds the signals back from this thread only: in a process with
    # other threads the kernel hands them to one of those, and Python runs the
    # handler in this thread at once. So the handlers are replaced as well, by
    # ones that only note the signal; it is taken when the block is left.
    pending: list[int] = []
    handlers = {sig: signal.signal(sig, lambda signum, frame: pending.append(signum)) for sig in _HELD_SIGNALS}
    previous = (signal.pthread_sigmask(signal.SIG_BLOCK, _HELD_SIGNALS)
                if hasattr(signal, "pthread_sigmask") else None)
    try:
        yield
    finally:
        if previous is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)    # a held signal is noted now
        for sig, handler in handlers.items():
            signal.signal(sig, handler)
        if pending:
            handler = handlers[pending[0]]
            if callable(handler):
                handler(pending[0], None)
            elif handler == signal.SIG_DFL:
                os.kill(os.getpid(), pending[0])


def write_outputs(files: list[tuple[Path, bytes, int]], force: bool) -> None:
    """Write several files as one step: all are staged first, then renamed in
    order. Any failure, or an interruption, leaves the files that were there
    before: the files already renamed by this call are removed again, or with
    `force` the files they replaced (kept as backups until every rename has
    succeeded) are put back. What a killed process of this machine left of
    the same files is put right first."""
    recover_dead_writers([target for target, _, _ in files])
    staged: list[StagedFile] = []
    committed: list[Path] = []
    backups: dict[Path, tuple[str, bool]] = {}
    try:
        for target, data, mode in files:
            staged.append(StagedFile(target, data, mode))
        try:
            # An interruption is taken after the renames, not between them,
            # and undoes them all like a failed rename does.
            with _interruptions_held():
                if force:
                    for s in staged:
                        backup = _backup(s.target)
                        if backup is not None:
                            backups[s.target] = backup
                for s in staged:
                    s.commit(force)
                    committed.append(s.target)
        except BaseException as e:
            with _interruptions_held():
                problems = _roll_back(committed, backups)
            if problems and isinstance(e, Exception):
                raise DocumentError("; ".join([str(e), *problems])) from None
            raise
        for backup, _ in backups.values():
            _unlink(backup)
    finally:
        for s in staged:
            s.discard()
