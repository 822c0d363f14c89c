"""The `tarnis` command: anonymize, restore and inspect documents from the shell.

    tarnis anonymize PATH... [-o OUTDIR]     NAME.txt -> NAME.anon.txt + NAME.map.json
    tarnis restore FILE --map MAP.json [-o OUT]
    tarnis detect PATH... [--json]
    tarnis keygen FILE                       a key file for --encrypt-map
    tarnis spark-anonymize INPUT OUTPUT

Each document goes through the host layer's road (tarnis.host.pipeline):
the engine's analysis, overlap resolution and the denylist filter, then
(with --verify) a local language model's verdict on the doubtful
detections; `anonymize` then replaces the detections by placeholders,
propagates them to further occurrences, (with --review) lets the model look
for names left in the text, and writes the text and its entity map.

Exit status: 0 when every document went through, 1 when some failed (each is
reported by name, the others are still processed), 2 for usage errors and
models that cannot be loaded.

The modules: console (messages, data, progress bar), files (finding and
reading documents), staging (atomic outputs), workers (the worker
processes), driver (one run over the documents, in-process or pooled),
outputs (what a document leaves), anonymize, restore, detect, keygen and
spark_command (the commands), options and parser (the command line), main.
"""

from tarnis.cli.console import EXIT_FAILED, EXIT_OK, EXIT_USAGE, Console, OutputError
from tarnis.cli.driver import run_documents, worker_config
from tarnis.cli.files import Document, collect_documents, read_document, read_input
from tarnis.cli.anonymize import _remove_partial_outputs, cmd_anonymize
from tarnis.cli.detect import cmd_detect
from tarnis.cli.main import main
from tarnis.cli.options import engine_config, slm_log_dir, slm_stages
from tarnis.cli.outputs import detect_output, write_anonymized
from tarnis.cli.parser import build_parser
from tarnis.cli.restore import cmd_restore
from tarnis.cli.staging import _HOST_TAG, StagedFile, _temp_prefix, recover_dead_writers, recover_staged, write_outputs
from tarnis.host.defaults import DEFAULT_GLINER_MODEL, DEFAULT_SLM_MODEL, DEFAULT_SLM_URL, DEFAULT_SPACY_MODEL
from tarnis.host.engines import build_engine, build_full_engine, build_rules_engine, build_spacy_engine, rule_recognizers
from tarnis.host.engines import import_presidio_without_torch as _import_presidio_without_torch
from tarnis.host.errors import DocumentError, UsageError, shown
from tarnis.host.maps import MAP_INFO, entity_map_json, map_mismatch, parse_entity_map, read_entity_map
from tarnis.host.pipeline import anonymize_document, anonymize_results, detections
from tarnis.host.slm import SLMStages, SLMStats

__all__ = [
    "EXIT_FAILED", "EXIT_OK", "EXIT_USAGE", "Console", "OutputError", "run_documents", "worker_config", "Document",
    "collect_documents", "read_document", "read_input", "cmd_anonymize", "cmd_detect", "cmd_restore", "main",
    "engine_config", "slm_log_dir", "slm_stages", "detect_output", "write_anonymized", "build_parser",
    "StagedFile", "recover_dead_writers", "recover_staged", "write_outputs", "DEFAULT_GLINER_MODEL",
    "DEFAULT_SLM_MODEL", "DEFAULT_SLM_URL", "DEFAULT_SPACY_MODEL", "build_engine", "build_full_engine",
    "build_rules_engine", "build_spacy_engine", "rule_recognizers", "DocumentError", "UsageError", "shown",
    "MAP_INFO", "entity_map_json", "map_mismatch", "parse_entity_map", "read_entity_map", "anonymize_document",
    "anonymize_results", "detections", "SLMStages", "SLMStats", "_HOST_TAG", "_temp_prefix",
    "_remove_partial_outputs", "_import_presidio_without_torch",
]
