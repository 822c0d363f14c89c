"""`tarnis`: the options checked, the console set up, the command run and its
end (an error, an interruption, a closed pipe) turned into an exit status."""

from __future__ import annotations

import os
import signal
import sys

from tarnis.cli.console import EXIT_FAILED, EXIT_USAGE, Console, OutputError, setup_logging, terminate
from tarnis.cli.parser import build_parser
from tarnis.host.defaults import DEFAULT_SLM_MODEL, DEFAULT_SLM_ON_FAILURE, DEFAULT_SLM_TIMEOUT, DEFAULT_SLM_URL
from tarnis.host.engines import entity_types, import_presidio_without_torch
from tarnis.host.errors import UsageError


def _drop_stdout() -> None:
    """Standard output cannot take more: what is still buffered for it is
    dropped, so that leaving the interpreter does not try to write it again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "rules_only", False) and (args.gliner_model or args.spacy_model or args.gliner_backend
                                               or args.gliner_batch_size):
        parser.error("--rules-only takes no --gliner-model, --spacy-model, --gliner-backend or --gliner-batch-size")
    if getattr(args, "rules_only", False) and getattr(args, "ner", None):
        parser.error("--rules-only takes no --ner (rules find no names from a model)")
    if getattr(args, "ner", None) == "spacy" and (args.gliner_model or args.gliner_backend or args.gliner_batch_size):
        parser.error("--ner spacy runs no neural model: it takes no --gliner-model, --gliner-backend or "
                     "--gliner-batch-size")

    if getattr(args, "raw", False) and args.verify:
        parser.error("--raw shows the recognizers' results before filtering; it takes no --verify")
    if hasattr(args, "verify") and not (args.verify or getattr(args, "review", False)):
        given = [o for o, v, d in (("--slm-url", args.slm_url, DEFAULT_SLM_URL),
                                   ("--slm-model", args.slm_model, DEFAULT_SLM_MODEL),
                                   ("--slm-on-failure", args.slm_on_failure, DEFAULT_SLM_ON_FAILURE),
                                   ("--slm-log-dir", args.slm_log_dir, None),
                                   ("--slm-timeout", args.slm_timeout, DEFAULT_SLM_TIMEOUT)) if v != d]
        if given:
            parser.error(f"{', '.join(given)}: no language-model stage asked for (add --verify"
                         f"{' or --review' if args.command == 'anonymize' else ''})")

    console = Console(quiet=args.quiet)
    setup_logging(console, args.verbose)
    if getattr(args, "rules_only", False) or getattr(args, "ner", None) == "spacy":
        import_presidio_without_torch()
    try:
        if hasattr(args, "entities"):
            args.entities = entity_types(args.entities)
    except UsageError as e:
        parser.error(str(e))
    # A terminated run unwinds like an interrupted one: temporary files are removed.
    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        return args.run(args, console)
    except UsageError as e:
        console.error(str(e))
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader of standard output went away (`tarnis detect ... | head`).
        _drop_stdout()
        return EXIT_FAILED
    except OutputError as e:
        _drop_stdout()
        console.error(str(e))
        return EXIT_FAILED
    except KeyboardInterrupt:
        console.error("interrupted; no output was left half-written")
        return 128 + signal.SIGINT
    except SystemExit as e:
        if e.code == 128 + signal.SIGTERM:
            console.error("terminated; no output was left half-written")
        raise
    finally:
        signal.signal(signal.SIGTERM, previous)
