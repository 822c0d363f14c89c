"""`tarnis anonymize`: NAME.txt -> NAME.anon.txt and NAME.map.json."""

from __future__ import annotations

import os
from collections import Counter
from pathlib import Path

from tarnis.cli.console import EXIT_FAILED, EXIT_OK, Console
from tarnis.cli.driver import failed_line, rate, run_documents, worker_config
from tarnis.cli.files import Document, _default_file_mode, _is_word, collect_documents, read_input
from tarnis.cli.options import engine_config, map_sealer, slm_stages
from tarnis.cli.outputs import write_anonymized
from tarnis.cli.staging import recover_staged
from tarnis.cli.workers import WORK_ANONYMIZE
from tarnis.host.engines import ensure_sentence_pipeline
from tarnis.host.errors import UsageError, shown
from tarnis.host.pipeline import anonymize_analyzed
from tarnis.host.slm import DocState, by_type


def _remove_partial_outputs(anon: Path, emap: Path, pid: int, force: bool) -> None:  # noqa: ARG001
    """What the killed process `pid` may have left of a document's outputs:
    its staged files, and an entity map renamed into place whose text never
    followed, which gives way to the map that was there before (with
    --force), or goes."""
    recover_staged([emap, anon], pid, whole_call=True)


def _plan(args, console: Console, outdir: Path | None) -> tuple[list[tuple[Document, Path, Path]], int]:
    """The documents and their outputs, planned before anything is loaded or
    written, and the number of arguments or documents that failed. With a
    case map (--map) no per-document map is written, so only the anonymized
    texts count."""
    documents, failed = collect_documents(args.paths, console)
    jobs: list[tuple[Document, Path, Path]] = []
    planned: dict[str, Path] = {}
    inputs = {os.path.realpath(d.source): d.source for d in documents}
    case = getattr(args, "map", None) is not None
    for doc in documents:
        anon, emap = doc.outputs(outdir)
        for out in ((anon,) if case else (anon, emap)):
            key = os.path.realpath(out)
            if key in planned:
                raise UsageError(f"{shown(planned[key])} and {shown(doc.source)} would both be written to {shown(out)}; "
                                 "name them differently or anonymize them separately")
            if key in inputs:
                raise UsageError(f"the output {shown(out)} of {shown(doc.source)} is itself an input; "
                                 "inputs are never overwritten")
            planned[key] = doc.source
        jobs.append((doc, anon, emap))

    if not args.force:
        ready = []
        for doc, anon, emap in jobs:
            existing = [shown(p) for p in ((anon,) if case else (anon, emap)) if os.path.lexists(p)]
            if existing:
                console.error(f"{shown(doc.source)}: {' and '.join(existing)} already exist"
                              f"{'s' if len(existing) == 1 else ''} (use --force to overwrite)")
                failed += 1
            else:
                ready.append((doc, anon, emap))
        jobs = ready
    return jobs, failed


def cmd_anonymize(args, console: Console) -> int:
    outdir = Path(args.output) if args.output else None
    if outdir is not None and outdir.exists() and not outdir.is_dir():
        raise UsageError(f"-o {shown(args.output)}: not a folder")
    sealer = map_sealer(args, console.warning)
    jobs, failed = _plan(args, console, outdir)
    if getattr(args, "map", None) is not None:
        from tarnis.cli.case import run_case

        return run_case(args, console, jobs, failed, sealer)
    if not jobs:
        console.info(f"nothing anonymized, {failed} failed")
        return EXIT_FAILED if failed else EXIT_OK

    stages = slm_stages(args, console)
    counts: Counter = Counter()
    text_mode = _default_file_mode()
    config = engine_config(args)

    def finish(index: int, state: DocState) -> None:
        doc, anon, emap = jobs[index]
        results = state.kept if stages.verify else state.results
        reread = (lambda: read_input(doc.source)) if _is_word(doc.source) else None
        anonymized, entity_map, data, added = anonymize_analyzed(doc.source, state.text, results, reread=reread,
                                                                 stages=stages)
        counts.update(write_anonymized(doc.source, state.text, anonymized, entity_map, anon, emap, args.force,
                                       text_mode, console.warning, data, sealer))
        if stages.verify:
            stages.count_verdicts(state)
        if stages.review:
            stages.count_review(added)

    tasks = [(doc.source, anon, emap) for doc, anon, emap in jobs]
    if not (stages.verify or stages.review):
        # Nothing to do between the analysis and the writing but in order:
        # the workers write the outputs themselves.
        def on_lost(task, pid: int) -> None:
            _remove_partial_outputs(task[1], task[2], pid, args.force)

        done, failed_at, seconds, build_seconds = run_documents(
            worker_config(config, min(args.jobs, len(tasks)), WORK_ANONYMIZE, force=args.force, map_sealer=sealer),
            args.jobs,
            console, tasks, lambda _, found: counts.update(found), on_lost=on_lost)
    else:
        done, failed_at, seconds, build_seconds = run_documents(
            worker_config(config, min(args.jobs, len(tasks))), args.jobs, console, tasks, finish=finish,
            stages=stages, ready=(lambda: ensure_sentence_pipeline(config)) if stages.review else None)
    failed += len(failed_at)

    console.info(f"{done} document{'s' if done != 1 else ''} anonymized, {failed} failed, in {seconds:.2f} s "
                 f"({rate(done, seconds)} documents/s; analyzer built in {build_seconds:.2f} s)")
    console.info(f"entities replaced: {by_type(counts)}")
    for line in stages.stats.lines(stages.verify, stages.review, stages.on_failure):
        console.info(line)
    if failed_at:
        console.info(failed_line([jobs[i][0].source for i in failed_at]))
    return EXIT_FAILED if failed else EXIT_OK
