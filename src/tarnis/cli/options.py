"""The command line: the options of each command, and the configuration of
the host layer made from them."""

from __future__ import annotations

import argparse
import os
from pathlib import Path

from tarnis.cli.workers import usable_cores
from tarnis.host.config import EngineConfig
from tarnis.host.defaults import CLIENT_TRIES as _CLIENT_TRIES
from tarnis.host.defaults import (DEFAULT_GLINER_BATCH_SIZE, DEFAULT_GLINER_MODEL, DEFAULT_SLM_MODEL,
                                  DEFAULT_SLM_ON_FAILURE, DEFAULT_SLM_TIMEOUT, DEFAULT_SLM_URL, DEFAULT_SPACY_MODEL,
                                  GLINER_BACKENDS, NER_SOURCES, SLM_LOG_FOLDER, SLM_ON_FAILURE)
from tarnis.host.defaults import REVIEW_ATTEMPTS as _REVIEW_ATTEMPTS
from tarnis.host.defaults import VERIFY_ATTEMPTS as _VERIFY_ATTEMPTS
from tarnis.host.errors import UsageError
from tarnis.host.mapcrypt import KEY_ENV, MapKeys, MapSealer
from tarnis.host.slm import SLMStages


def engine_config(args) -> EngineConfig:
    """The configuration of the analysis that the options of `args` ask for."""
    entities = getattr(args, "entities", None)
    return EngineConfig(rules_only=args.rules_only, gliner_model=args.gliner_model, spacy_model=args.spacy_model,
                        entities=tuple(entities) if entities is not None else None,
                        ner=getattr(args, "ner", None), gliner_backend=getattr(args, "gliner_backend", None),
                        gliner_batch_size=getattr(args, "gliner_batch_size", None),
                        keep_legal_references=not getattr(args, "anonymize_legal_references", False),
                        raw=getattr(args, "raw", False))


def slm_log_dir(args) -> Path:
    """--slm-log-dir, else `slm-logs` under the output folder, else beside
    the first input."""
    if args.slm_log_dir:
        return Path(args.slm_log_dir)
    if getattr(args, "output", None) and args.command == "anonymize":
        return Path(args.output) / SLM_LOG_FOLDER
    first = Path(args.paths[0])
    return first.absolute().parent / SLM_LOG_FOLDER


def slm_stages(args, console) -> SLMStages:
    """The language-model stages `args` ask for, checked (see SLMStages)."""
    verify, review = bool(getattr(args, "verify", False)), bool(getattr(args, "review", False))
    return SLMStages(verify=verify, review=review, url=args.slm_url, model=args.slm_model,
                     on_failure=args.slm_on_failure, log_dir=slm_log_dir(args) if verify or review else None,
                     timeout=args.slm_timeout, info=console.info)


def map_keys(args) -> MapKeys:
    """The key source of the maps of this run: --key-file, or the passphrase
    in TARNIS_MAP_KEY, or none (resolved once; MapKeyError says what is wrong)."""
    return MapKeys.resolve(getattr(args, "key_file", None))


def map_sealer(args, warn) -> MapSealer | None:
    """What seals the maps of an anonymize run (--encrypt-map), its key
    derived here once; None for plain maps (`warn` is told when a passphrase
    is set all the same)."""
    if not getattr(args, "encrypt_map", False):
        if getattr(args, "key_file", None) is not None:
            raise UsageError("--key-file: the maps are written in clear unless --encrypt-map is given")
        if os.environ.get(KEY_ENV):
            warn(f"{KEY_ENV} is set, but the maps are written in clear: --encrypt-map encrypts them")
        return None
    return map_keys(args).sealer()


def _add_map_keys(p: argparse.ArgumentParser, anonymize: bool) -> None:
    g = p.add_argument_group("encrypted maps (AES-256-GCM; see docs/map-files.md)")
    if anonymize:
        g.add_argument("--encrypt-map", action="store_true",
                       help=f"write every map encrypted, with the key of --key-file or one derived (scrypt) from "
                            f"the passphrase in the environment variable {KEY_ENV}; restore then needs the same key")
    g.add_argument("--key-file", metavar="FILE",
                   help="a raw 32-byte key, readable by its owner only (made by `tarnis keygen FILE`); not together "
                        f"with {KEY_ENV}" + ("" if anonymize else "; needed only for an encrypted map"))


def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary (warnings and errors are still shown)")
    p.add_argument("-v", "--verbose", action="store_true", help="log what the library does (model loading)")


def _positive_count(value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of at least 1: {value!r}")
    return n


def _positive_seconds(value: str) -> float:
    try:
        n = float(value)
    except ValueError:
        n = 0.0
    if not (0 < n < float("inf")):
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {value!r}")
    return n


def _add_models(p: argparse.ArgumentParser, jobs: bool = True) -> None:
    g = p.add_argument_group("models")
    g.add_argument("--rules-only", action="store_true",
                   help="only the rule-based recognizers, over a blank Romanian pipeline; needs no download; "
                        "finds the names of persons that directly follow a role word (inculpatul, reclamanta, "
                        "domnul, subsemnatul, titular, ...), but no other names and no organizations")
    g.add_argument("--ner", choices=NER_SOURCES, metavar="{" + ",".join(NER_SOURCES) + "}",
                   help="where names of persons and organizations come from: gliner (the neural model, the "
                        "default), spacy (the named-entity recognizer of the spaCy pipeline, e.g. --spacy-model "
                        "ro_legal_fl; no neural model needed), or both (overlap resolution chooses)")
    g.add_argument("--gliner-model", metavar="NAME|DIR",
                   help=f"GLiNER model name on the model hub or local folder (default {DEFAULT_GLINER_MODEL})")
    g.add_argument("--spacy-model", metavar="NAME|DIR",
                   help=f"spaCy Romanian pipeline package or folder (default {DEFAULT_SPACY_MODEL})")
    g.add_argument("--gliner-backend", choices=GLINER_BACKENDS, metavar="{" + ",".join(GLINER_BACKENDS) + "}",
                   help="how the neural model runs: torch (PyTorch, the default); onnx (ONNX Runtime on the CPU, "
                        "faster, the same findings; exported once into the folder 'onnx' of the model folder); "
                        "onnx-int8 (8-bit weights: faster still, scores differ slightly)")
    g.add_argument("--gliner-batch-size", type=_positive_count, metavar="N",
                   help=f"chunks of text the neural model reads at once (default {DEFAULT_GLINER_BATCH_SIZE}; "
                        "the same findings for every N; lower it to save memory, 1: one chunk at a time)")
    g.add_argument("--anonymize-legal-references", action="store_true",
                   help="also anonymize numbers of published acts (Legea nr. 8/1996, H.G. nr. 1027/2014, "
                        "M.O. nr. 863/2005, art. 228), which stay in the text by default, and year ranges "
                        "(1805-1857, 2003/2004)")
    g.add_argument("--entities", metavar="TYPE,...",
                   help="only these entity types (for example CNP,IBAN_CODE); default: all")
    if jobs:
        g.add_argument("-j", "--jobs", type=_positive_count, default=usable_cores(), metavar="N",
                       help="process documents in N worker processes, each with its own analyzer and a share "
                            "of the cores (default: the usable cores, here %(default)s); 1: in this process")


def _add_slm(p: argparse.ArgumentParser, review: bool) -> None:
    g = p.add_argument_group("language-model stages (a local OpenAI-compatible chat-completion server)")
    g.add_argument("--verify", action="store_true",
                   help="ask the model about doubtful detections (CODE, ORGANIZATION, USERNAME, PASSWORD "
                        "below their thresholds) and drop those it rejects")
    if review:
        g.add_argument("--review", action="store_true",
                       help="after anonymizing, ask the model for names of persons and organizations left in "
                            "the text and replace them too; a document the model cannot review fails")
    g.add_argument("--slm-url", metavar="URL", default=DEFAULT_SLM_URL,
                   help=f"the server's base address (default {DEFAULT_SLM_URL})")
    g.add_argument("--slm-model", metavar="NAME", default=DEFAULT_SLM_MODEL,
                   help=f"the model to ask (default {DEFAULT_SLM_MODEL})")
    g.add_argument("--slm-on-failure", choices=SLM_ON_FAILURE, default=DEFAULT_SLM_ON_FAILURE,
                   help="when the model cannot answer during --verify: keep the doubtful detections "
                        "(accept, the default: they are anonymized), drop them (reject: personal data among "
                        "them stays in clear), or fail the document (error)")
    g.add_argument("--slm-log-dir", metavar="DIR",
                   help=f"folder of the model logs, which hold document text (default: {SLM_LOG_FOLDER} in the "
                        "output folder, or beside the first input)")
    verify_tries, review_tries = _CLIENT_TRIES * _VERIFY_ATTEMPTS, _CLIENT_TRIES * _REVIEW_ATTEMPTS
    worst = (f"the client tries a request up to {_CLIENT_TRIES} times and --verify makes up to {_VERIFY_ATTEMPTS} "
             f"attempts, so a server that never answers holds one batch for up to {verify_tries} x SECONDS "
             f"({verify_tries * DEFAULT_SLM_TIMEOUT / 60:g} min by default; twice that when the model leaves part of "
             f"the batch unanswered and is asked again for the rest)")
    if review:
        worst += (f"; --review makes {_REVIEW_ATTEMPTS} attempts: up to {review_tries} x SECONDS per part of a "
                  f"document ({review_tries * DEFAULT_SLM_TIMEOUT / 60:g} min)")
    g.add_argument("--slm-timeout", type=_positive_seconds, default=DEFAULT_SLM_TIMEOUT, metavar="SECONDS",
                   help=f"how long one request waits for the server (default {DEFAULT_SLM_TIMEOUT:g}); {worst}")
