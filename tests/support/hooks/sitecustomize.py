"""Test-only hook, imported at start-up by processes that have this folder on
their PYTHONPATH (see support.kill_workers_on): a worker process of the
command kills itself (SIGKILL) when given the document of the file name
TARNIS_TEST_KILL_WORKER_ON names ("NAME"), or once it has written the entity
map of that document and before the anonymized text takes its name
("NAME:writing"), so that tests see how the command copes with a worker that
dies. The command's own process is never touched."""

import os

KILL_WORKER_ENV = "TARNIS_TEST_KILL_WORKER_ON"


def _in_worker() -> bool:
    import multiprocessing

    return multiprocessing.parent_process() is not None


def _kill_self() -> None:
    import signal

    os.kill(os.getpid(), signal.SIGKILL)


def _arm(kill_on: str) -> None:
    from tarnis.cli import staging, workers

    name, _, when = kill_on.partition(":")
    if when == "writing":
        commit = staging.StagedFile.commit

        def commit_or_die(self, force):
            target = self.target.name
            if _in_worker() and target.endswith(".anon.txt") and target[:-len(".anon.txt")] + ".txt" == name:
                _kill_self()
            commit(self, force)

        staging.StagedFile.commit = commit_or_die
        return
    do_document = workers.do_document

    def do_or_die(engine, config, task):
        if _in_worker() and task[0].name == name:
            _kill_self()
        return do_document(engine, config, task)

    workers.do_document = do_or_die


if os.environ.get(KILL_WORKER_ENV):
    _arm(os.environ[KILL_WORKER_ENV])
