"""`tarnis detect`: what would be anonymized, as a table or JSON lines."""

from __future__ import annotations

from collections import Counter

from tarnis.cli.console import EXIT_FAILED, EXIT_OK, Console
from tarnis.cli.driver import DETECT_AHEAD, failed_line, rate, run_documents, worker_config
from tarnis.cli.files import collect_documents
from tarnis.cli.options import engine_config, slm_stages
from tarnis.cli.outputs import detect_output
from tarnis.cli.workers import WORK_DETECT
from tarnis.host.slm import DocState, by_type


def cmd_detect(args, console: Console) -> int:
    documents, failed = collect_documents(args.paths, console)
    if not documents:
        return EXIT_FAILED
    stages = slm_stages(args, console)
    counts: Counter = Counter()
    config = engine_config(args)
    tasks = [(doc.source,) for doc in documents]
    jobs = min(args.jobs, len(tasks))

    def finish(index: int, state: DocState) -> None:
        # With --verify every detection is shown with the model's verdict;
        # only those kept are counted.
        counts.update(r.entity_type for r in state.kept)
        stages.count_verdicts(state)
        console.out(detect_output(documents[index].source, state.text, state.results, args.json, state.verdicts,
                                  state.kept))

    if not stages.verify:
        def show(_, value) -> None:
            output, found = value
            console.out(output)
            counts.update(found)

        done, failed_at, seconds, build_seconds = run_documents(
            worker_config(config, jobs, WORK_DETECT, as_json=args.json), args.jobs, console, tasks, show,
            ahead=DETECT_AHEAD)
    else:
        done, failed_at, seconds, build_seconds = run_documents(
            worker_config(config, jobs), args.jobs, console, tasks, finish=finish, stages=stages)
    failed += len(failed_at)
    console.info(f"{done} document{'s' if done != 1 else ''} analyzed, {failed} failed, in {seconds:.2f} s "
                 f"({rate(done, seconds)} documents/s; analyzer built in {build_seconds:.2f} s)")
    console.info(f"detections: {by_type(counts)}")
    for line in stages.stats.lines(stages.verify, False, stages.on_failure):
        console.info(line)
    if failed_at:
        console.info(failed_line([documents[i].source for i in failed_at]))
    return EXIT_FAILED if failed else EXIT_OK
