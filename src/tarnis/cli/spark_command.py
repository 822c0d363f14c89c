"""`tarnis spark-anonymize`: a folder of text files or a Parquet or JSON-lines
dataset anonymized on Spark (tarnis.spark.anonymize_dataframe) and written
through Spark's output committer."""

from __future__ import annotations

import os
import shutil
import sys
import time
from pathlib import Path

from tarnis.cli.console import EXIT_FAILED, EXIT_OK
from tarnis.cli.driver import rate
from tarnis.cli.options import _add_common, _add_models, _add_slm
from tarnis.host import _library
from tarnis.host.errors import UsageError
from tarnis.host.slm import START_SERVER, make_log_dir
from tarnis.spark import ERROR_COL, anonymize_dataframe

FORMATS = ("parquet", "json", "text")
_INSTALL_SPARK = "install the Spark extra: pip install 'tarnis[spark]'"
_INSTALL_JAVA = ("Spark needs a Java runtime, 17 or newer (on Debian: apt-get install openjdk-17-jre-headless), "
                 "found through JAVA_HOME or on the PATH")


def add_spark_command(sub) -> None:
    """The `spark-anonymize` subcommand of `tarnis`."""
    p = sub.add_parser(
        "spark-anonymize", help="anonymize a corpus on Apache Spark (local by default)",
        description="Anonymize a folder of UTF-8 text files (*.txt below it) or a Parquet or JSON-lines "
                    "dataset on Spark and write a dataset with the original columns plus the anonymized "
                    "text, the entity map (JSON, as `anonymize` writes it) and an error column. The output "
                    "holds the personal data (the original text and the maps): keep it as safe as the input.")
    p.add_argument("input", metavar="INPUT", help="folder of text files, or a Parquet or JSON-lines dataset")
    p.add_argument("output", metavar="OUTPUT", help="output dataset (a folder); must not exist without --force")
    p.add_argument("--format", choices=FORMATS,
                   help="format of INPUT (default: parquet or json when a local INPUT holds such files, "
                        "else text)")
    p.add_argument("--output-format", choices=("parquet", "json"), default="parquet",
                   help="format of OUTPUT: Parquet (default) or JSON lines")
    p.add_argument("--text-col", default="text", metavar="NAME",
                   help="column of the documents in a Parquet or JSON dataset (default: text)")
    p.add_argument("--drop-text", action="store_true", help="leave the original text out of the output")
    p.add_argument("--master", metavar="URL",
                   help="Spark master (default: local[*], or the one spark-submit was given)")
    p.add_argument("-f", "--force", action="store_true", help="replace OUTPUT if it exists")
    _add_models(p, jobs=False)
    _add_slm(p, review=False)
    _add_common(p)
    p.set_defaults(run=cmd_spark_anonymize)


def _local_path(path: str) -> Path | None:
    if path.startswith("file://"):
        return Path(path[7:])
    if path.startswith("file:"):
        return Path(path[5:])
    if "://" in path:
        return None
    return Path(path)


def _guess_format(path: str) -> str:
    local = _local_path(path)
    if local is None:
        return "text"
    if local.is_file():
        files = [local]
    elif local.is_dir():
        files = [Path(folder) / name for folder, _, names in os.walk(local) for name in names]
    else:
        return "text"
    suffixes = {f.suffix.lower() for f in files}
    if ".parquet" in suffixes:
        return "parquet"
    if suffixes & {".json", ".jsonl"}:
        return "json"
    return "text"


def _verify_settings(args) -> dict | None:
    """The fallback's settings for `--verify`; the request logs go to
    --slm-log-dir, by default `slm-logs` beside OUTPUT."""
    if not args.verify:
        return None
    log_dir = args.slm_log_dir
    if log_dir is None:
        local = _local_path(args.output)
        log_dir = str(local.absolute().parent / "slm-logs") if local is not None else "slm-logs"
    return {"base_url": args.slm_url, "model": args.slm_model, "on_failure": args.slm_on_failure,
            "log_dir": Path(log_dir), "timeout": args.slm_timeout}


def _check_verification(settings: dict) -> None:
    """Stop before any work when the server does not answer: a user who
    asked for verification never silently gets none."""
    try:
        from tarnis.slm.fallback import SLMFallback
    except ImportError as e:
        raise UsageError(f"--verify: the verification stage is not available in this installation ({e})") from None
    fallback = SLMFallback(**{**settings, "required": False})
    healthy, why = _library.check_health(fallback)
    if not healthy:
        raise UsageError(f"--verify needs a language model: {why}\n"
                         + START_SERVER.format(model=settings["model"], stages="--verify"))
    if _local_path(str(settings["log_dir"])) is not None:
        make_log_dir(Path(settings["log_dir"]))


def _session(master: str | None, quiet: bool, verbose: bool):
    try:
        from pyspark.sql import SparkSession
    except ImportError as e:
        raise UsageError(f"cannot load Spark: {e}; {_INSTALL_SPARK}") from None
    submitted = "PYSPARK_GATEWAY_PORT" in os.environ           # started by spark-submit
    if not submitted and not (os.environ.get("JAVA_HOME") or shutil.which("java")):
        raise UsageError(f"cannot start Spark: no Java runtime. {_INSTALL_JAVA}")
    builder = SparkSession.builder.appName("tarnis spark-anonymize")
    if master is not None or not submitted:
        master = master or "local[*]"
        builder = builder.master(master)
        if master.startswith("local"):
            # The workers run this interpreter, where tarnis is installed.
            os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    builder = builder.config("spark.ui.showConsoleProgress", "false" if quiet else "true")
    try:
        spark = builder.getOrCreate()
    except Exception as e:  # noqa: BLE001
        raise UsageError(f"cannot start Spark: {type(e).__name__}: {e}\n{_INSTALL_JAVA}") from None
    spark.sparkContext.setLogLevel("INFO" if verbose else "ERROR")
    return spark


def _read_input(spark, args, fmt: str):
    from pyspark.sql import functions as F

    if fmt == "text":
        df = (spark.read.format("binaryFile")
              .option("pathGlobFilter", "*.txt")
              .option("recursiveFileLookup", "true")
              .load(args.input))
        # Outputs of `tarnis anonymize` lying in the same folder are not inputs.
        df = df.where(~F.lower(F.col("path")).endswith(".anon.txt"))
        return df.select("path", F.col("content").alias("text")), "text"
    reader = spark.read.parquet if fmt == "parquet" else spark.read.json
    return reader(args.input), args.text_col


def cmd_spark_anonymize(args, console) -> int:
    fmt = args.format or _guess_format(args.input)
    local_out = _local_path(args.output)
    if local_out is not None and local_out.exists() and not args.force:
        raise UsageError(f"{args.output} exists (use --force to replace it)")
    local_in = _local_path(args.input)
    if local_in is not None and not local_in.exists():
        raise UsageError(f"{args.input}: no such file or folder")
    if local_in is not None and local_out is not None and local_out.exists() and (
            os.path.realpath(local_in) == os.path.realpath(local_out)
            or os.path.realpath(local_in).startswith(os.path.realpath(local_out) + os.sep)):
        raise UsageError(f"{args.output} holds the input; inputs are never overwritten")
    verify = _verify_settings(args)
    if verify is not None:
        _check_verification(verify)

    spark = _session(args.master, args.quiet, args.verbose)
    started = time.perf_counter()
    try:
        df, text_col = _read_input(spark, args, fmt)
        try:
            out = anonymize_dataframe(df, text_col, rules_only=args.rules_only, gliner_model=args.gliner_model,
                                      spacy_model=args.spacy_model, entities=args.entities, verify=verify,
                                      ner=args.ner, gliner_backend=args.gliner_backend,
                                      gliner_batch_size=args.gliner_batch_size,
                                      keep_legal_references=not args.anonymize_legal_references)
        except (TypeError, ValueError) as e:
            raise UsageError(str(e)) from None
        from pyspark.sql import functions as F
        if args.drop_text:
            out = out.drop(text_col)
        elif fmt == "text":
            # The files were read as bytes; those that were valid UTF-8 are kept as text.
            out = out.withColumn(text_col, F.when(F.col(ERROR_COL).isNull(), F.col(text_col).cast("string")))
        writer = out.write.mode("overwrite" if args.force else "errorifexists")
        try:
            (writer.parquet if args.output_format == "parquet" else writer.json)(args.output)
        except Exception as e:  # noqa: BLE001 - Spark's messages may quote data: type only unless -v
            detail = f": {e}" if args.verbose else " (run with -v for Spark's message)"
            console.error(f"the Spark job failed, {args.output} is incomplete (no _SUCCESS marker): "
                          f"{type(e).__name__}{detail}")
            return EXIT_FAILED
        seconds = time.perf_counter() - started
        written = spark.read.parquet(args.output) if args.output_format == "parquet" else spark.read.json(args.output)
        if ERROR_COL not in written.columns:         # JSON lines leave out columns that are null everywhere
            written = written.withColumn(ERROR_COL, F.lit(None).cast("string"))
        counts = written.agg(F.count(F.lit(1)).alias("n"),
                             F.count(F.col(ERROR_COL)).alias("failed")).collect()[0]
        failed_rows = written.where(F.col(ERROR_COL).isNotNull())
        shown = [c for c in ("path",) if c in written.columns]
        for row in failed_rows.select(*shown, ERROR_COL).limit(20).collect():
            console.error(f"{row['path'] + ': ' if shown else ''}{row[ERROR_COL]}")
        if counts["failed"] > 20:
            console.error(f"... and {counts['failed'] - 20} more failed documents (rows with an {ERROR_COL})")
        if counts["n"] == 0:
            console.error(f"{args.input}: no documents" + (" (no .txt files)" if fmt == "text" else ""))
            return EXIT_FAILED
        done = counts["n"] - counts["failed"]
        console.info(f"{done} document{'s' if done != 1 else ''} anonymized, {counts['failed']} failed, in "
                     f"{seconds:.2f} s ({rate(done, seconds)} documents/s) into {args.output}")
        return EXIT_FAILED if counts["failed"] else EXIT_OK
    finally:
        spark.stop()
