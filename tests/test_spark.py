"""tarnis on Apache Spark: the dataframe functions on a real local session
(`local[2]`, shared by the module) and `tarnis spark-anonymize` as a user runs
it. Without pyspark or a Java runtime the Spark tests are skipped."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tarnis import cli
from tarnis import spark as tspark

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SAMPLES = sorted(EXAMPLES.glob("*.txt"))
DOCUMENT = "Subsemnatul, CNP 1850101123456, cont RO49AAAA1B31007593840000, tel. 0722 123 456.\n"

try:
    import pyspark  # noqa: F401
    _NO_SPARK = None
except ImportError:
    _NO_SPARK = "the spark extra (pyspark) is not installed: pip install 'tarnis[spark]'"
if _NO_SPARK is None and not (os.environ.get("JAVA_HOME") or shutil.which("java")):
    _NO_SPARK = "Spark needs a Java runtime (apt-get install openjdk-17-jre-headless); none found"
needs_spark = pytest.mark.skipif(_NO_SPARK is not None, reason=_NO_SPARK or "")


@pytest.fixture(scope="module")
def spark():
    from pyspark import cloudpickle
    from pyspark.sql import SparkSession

    # The probe functions below travel by value: this module is not importable on the workers.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    os.environ["PYSPARK_PYTHON"] = sys.executable
    session = (SparkSession.builder.master("local[2]").appName("tarnis tests")
               .config("spark.ui.enabled", "false")
               .config("spark.ui.showConsoleProgress", "false")
               .config("spark.sql.shuffle.partitions", "2")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def read_files(spark, folder: Path):
    return (spark.read.format("binaryFile").option("pathGlobFilter", "*.txt").load(str(folder))
            .selectExpr("path", "content AS text"))


@pytest.fixture(scope="module")
def command_outputs(tmp_path_factory) -> Path:
    """`tarnis anonymize --rules-only` over the sample documents."""
    out = tmp_path_factory.mktemp("command")
    proc = subprocess.run([sys.executable, "-m", "tarnis", "anonymize", str(EXAMPLES), "-o", str(out),
                           "--rules-only", "-q"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return out


@pytest.fixture(scope="module")
def anonymized_samples(spark):
    """The sample documents anonymized and restored on Spark, by file name."""
    df = tspark.anonymize_dataframe(read_files(spark, EXAMPLES), "text", rules_only=True)
    back = tspark.restore_dataframe(df, "anonymized", "entity_map")
    return {Path(row["path"]).name: row for row in back.collect()}


# --- on Spark -------------------------------------------------------------------------------

@needs_spark
def test_samples_round_trip_byte_for_byte(anonymized_samples):
    assert set(anonymized_samples) == {p.name for p in SAMPLES}
    for name, row in anonymized_samples.items():
        assert row["error"] is None and row["restore_error"] is None, name
        assert row["anonymized"] != row["text"].decode("utf-8"), f"nothing anonymized in {name}"
        assert row["restored"].encode("utf-8") == row["text"], name


@needs_spark
def test_same_text_and_map_as_the_command(anonymized_samples, command_outputs):
    for name, row in anonymized_samples.items():
        stem = name[:-len(".txt")]
        assert row["anonymized"].encode("utf-8") == (command_outputs / f"{stem}.anon.txt").read_bytes(), name
        assert row["entity_map"].encode("utf-8") == (command_outputs / f"{stem}.map.json").read_bytes(), name


def _builds_probe(key):
    def probe(batches):
        import pyarrow as pa

        from tarnis import spark as module
        for _ in batches:
            yield pa.RecordBatch.from_pylist([{"pid": os.getpid(), "builds": module._analyzer_builds().get(key, 0)}])
    return probe


@needs_spark
def test_one_analyzer_build_per_worker_process(spark):
    # A configuration of its own, so no earlier test has built its analyzer.
    df = spark.createDataFrame([(i, DOCUMENT) for i in range(48)], "id long, text string").repartition(12)
    out = tspark.anonymize_dataframe(df, rules_only=True, entities=["CNP", "IBAN_CODE"])
    rows = out.collect()
    assert len(rows) == 48 and all(r["error"] is None and "[CNP_1]" in r["anonymized"] for r in rows)

    key = tspark.make_config(rules_only=True, entities=["CNP", "IBAN_CODE"]).key()
    probes = (spark.range(0, 8, numPartitions=8)
              .mapInArrow(_builds_probe(key), "pid long, builds long").collect())
    builds = {r["pid"]: r["builds"] for r in probes}
    # Worker processes are reused from task to task: each that ran some of the
    # twelve partitions built the analyzer once and kept it.
    assert max(builds.values()) == 1, builds
    assert sum(builds.values()) < 12


@needs_spark
def test_failing_documents_give_error_rows_and_the_rest_goes_through(spark):
    df = spark.createDataFrame([(1, DOCUMENT.encode("utf-8")), (2, b"CNP 1850101123456 \xff\xfe"), (3, None),
                                (4, "Nimic personal aici.".encode("utf-8"))], "id long, text binary")
    rows = {r["id"]: r for r in tspark.anonymize_dataframe(df, rules_only=True).collect()}
    assert rows[1]["error"] is None and "1850101123456" not in rows[1]["anonymized"]
    assert rows[2]["error"] == "not valid UTF-8 (byte 0xff at offset 18)"
    assert rows[3]["error"] == "no text (null)"
    for bad in (2, 3):
        assert rows[bad]["anonymized"] is None and rows[bad]["entity_map"] is None
    assert rows[4]["error"] is None and rows[4]["anonymized"] == "Nimic personal aici." \
        and set(json.loads(rows[4]["entity_map"])) == {"tarnis:document"}
    assert [r["id"] for r in tspark.anonymize_dataframe(df, rules_only=True).collect()] == [1, 2, 3, 4]


@needs_spark
def test_rows_are_anonymized_against_a_case_map(spark):
    """Every row against the broadcast map alone: its known entities keep
    their placeholders, new ones are numbered after the map's in each row
    (not merged across rows), and each row's map restores its row."""
    case = {"CNP": {"1850101123456": "[CNP_7]"}, "IBAN_CODE": {"RO49AAAA1B31007593840000": "[IBAN_CODE_2]"},
            "tarnis:documents": {"sha256:0": "lines: own:"}}
    docs = [DOCUMENT, "CNP 1850101123456 și CNP 2850101123453.\n", "Cont RO49AAAA1B31007593840000, "
            "CNP 1780315123453.\n"]
    df = spark.createDataFrame(list(enumerate(docs)), "id long, text string").repartition(2)
    out = tspark.anonymize_dataframe(df, rules_only=True, entity_map=case)
    rows = {r["id"]: r for r in tspark.restore_dataframe(out, "anonymized", "entity_map").collect()}
    assert rows[0]["anonymized"] == "Subsemnatul, CNP [CNP_7], cont [IBAN_CODE_2], tel. [PHONE_NUMBER_1].\n"
    assert rows[1]["anonymized"] == "CNP [CNP_7] și CNP [CNP_8].\n"
    assert rows[2]["anonymized"] == "Cont [IBAN_CODE_2], CNP [CNP_8].\n"     # the same number: not merged
    for i, doc in enumerate(docs):
        assert rows[i]["error"] is None and rows[i]["restored"] == doc
    assert set(json.loads(rows[1]["entity_map"])) == {"CNP", "tarnis:document"}
    assert case["CNP"] == {"1850101123456": "[CNP_7]"}                     # the caller's map is not changed
    with pytest.raises(ValueError, match="not a placeholder"):
        tspark.anonymize_dataframe(df, rules_only=True, entity_map={"CNP": {"1850101123456": "CNP 7"}})


@needs_spark
def test_an_analyzer_that_cannot_be_built_fails_every_row_not_the_job(spark):
    df = spark.createDataFrame([(DOCUMENT,)] * 3, "text string")
    rows = tspark.anonymize_dataframe(df, gliner_model="./no/such/gliner-folder").collect()
    assert len(rows) == 3
    for row in rows:
        assert row["anonymized"] is None and row["entity_map"] is None
        assert row["error"].startswith("cannot build the analyzer: cannot load --gliner-model ./no/such/gliner-folder")


@needs_spark
def test_empty_dataframe(spark):
    df = spark.createDataFrame([], "id long, text string")
    out = tspark.anonymize_dataframe(df, rules_only=True)
    assert out.columns == ["id", "text", "anonymized", "entity_map", "error"]
    assert out.collect() == []
    assert tspark.restore_dataframe(out, "anonymized", "entity_map").collect() == []
    assert tspark.detect_dataframe(df, rules_only=True).collect() == []


@needs_spark
def test_documents_of_one_megabyte(spark):
    sample = SAMPLES[0].read_text(encoding="utf-8")
    filler = "Părțile au convenit asupra clauzelor de mai jos, în deplină cunoștință de cauză.\r\n"
    body = filler * ((1_000_000 - 2 * len(sample)) // len(filler))
    documents = [(i, sample + body[i:] + sample) for i in range(2)]
    df = spark.createDataFrame(documents, "id long, text string").repartition(2)
    out = tspark.restore_dataframe(tspark.anonymize_dataframe(df, rules_only=True), "anonymized", "entity_map")
    rows = sorted(out.collect(), key=lambda r: r["id"])
    for (_, text), row in zip(documents, rows):
        assert row["error"] is None and row["restore_error"] is None
        assert "1780315123453" not in row["anonymized"] and "[CNP_1]" in row["anonymized"]
        assert row["restored"] == text


@needs_spark
def test_detect_dataframe_gives_the_commands_detections(spark):
    df = spark.createDataFrame([("a", DOCUMENT), ("b", None)], "doc string, text string")
    rows = tspark.detect_dataframe(df, "text", id_col="doc", rules_only=True).collect()
    engine = cli.build_rules_engine()
    expected = [("a", r.entity_type, r.start, r.end, DOCUMENT[r.start:r.end])
                for r in cli.detections(engine, DOCUMENT, None)]
    assert [(r["doc"], r["entity_type"], r["start"], r["end"], r["text"]) for r in rows if r["error"] is None] \
        == expected
    assert [(r["doc"], r["entity_type"], r["error"]) for r in rows if r["error"]] == [("b", None, "no text (null)")]


@needs_spark
@pytest.mark.parametrize("call, error", [
    (lambda df: tspark.anonymize_dataframe(df, "missing"), ValueError),
    (lambda df: tspark.anonymize_dataframe(df, "id"), TypeError),
    (lambda df: tspark.anonymize_dataframe(df, output_cols=("id", "map")), ValueError),
    (lambda df: tspark.anonymize_dataframe(df, output_cols=("a", "a")), ValueError),
    (lambda df: tspark.anonymize_dataframe(df, rules_only=True, spacy_model="x"), ValueError),
    (lambda df: tspark.anonymize_dataframe(df, rules_only=True, entities=["NOPE"]), ValueError),
    (lambda df: tspark.anonymize_dataframe(df, rules_only=True, verify="http://x"), TypeError),
    (lambda df: tspark.restore_dataframe(df, "text", "text", output_col="id"), ValueError),
    (lambda df: tspark.detect_dataframe(df, id_col="nope"), ValueError),
])
def test_bad_arguments_are_refused_before_any_job(spark, call, error):
    df = spark.createDataFrame([(1, DOCUMENT)], "id long, text string")
    with pytest.raises(error):
        call(df)


# --- the command ----------------------------------------------------------------------------

@needs_spark
def test_command_writes_a_committed_dataset_and_exits_1_on_failed_documents(tmp_path, command_outputs):
    inputs = tmp_path / "in"
    shutil.copytree(EXAMPLES, inputs)
    (inputs / "bad.txt").write_bytes(b"CNP 1850101123456 \xff")
    (inputs / "old.anon.txt").write_text("[CNP_1]", encoding="utf-8")   # an earlier output: not an input
    out = tmp_path / "out"
    proc = subprocess.run([sys.executable, "-m", "tarnis", "spark-anonymize", str(inputs), str(out),
                           "--rules-only", "--master", "local[2]", "--output-format", "json"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 1, proc.stderr
    assert "bad.txt: not valid UTF-8 (byte 0xff at offset 18)" in proc.stderr
    assert "3 documents anonymized, 1 failed" in proc.stderr
    assert (out / "_SUCCESS").exists()
    rows = [json.loads(line) for part in sorted(out.glob("part-*.json")) for line in part.open(encoding="utf-8")]
    by_name = {Path(r["path"]).name: r for r in rows}
    assert set(by_name) == {p.name for p in SAMPLES} | {"bad.txt"}
    assert by_name["bad.txt"].get("anonymized") is None and by_name["bad.txt"].get("text") is None
    for sample in SAMPLES:
        row = by_name[sample.name]
        assert row["text"] == sample.read_text(encoding="utf-8")
        assert row["entity_map"] == (command_outputs / f"{sample.stem}.map.json").read_text(encoding="utf-8")
        assert "1780315123453" not in proc.stderr + proc.stdout   # no document text in the messages

    again = subprocess.run([sys.executable, "-m", "tarnis", "spark-anonymize", str(inputs), str(out),
                            "--rules-only"], capture_output=True, text=True, timeout=120)
    assert again.returncode == 2 and "exists (use --force" in again.stderr


# --- one batch, without Spark ---------------------------------------------------------------

class _Result:
    def __init__(self, entity_type, start, end, score=0.5):
        self.entity_type, self.start, self.end, self.score = entity_type, start, end, score
        self.recognition_metadata = {"recognizer_name": "Test"}
        self.analysis_explanation = None


def test_an_exception_in_one_document_withholds_its_message(monkeypatch):
    real = tspark.anonymize_results

    def flaky(text, results):
        if "BOOM" in text:
            raise RuntimeError(f"cannot handle {text!r}")
        return real(text, results)

    monkeypatch.setattr(tspark, "anonymize_results", flaky)
    config = tspark.make_config(rules_only=True)
    anonymized, maps, errors = tspark.anonymize_values(config, [DOCUMENT, "BOOM Ion CNP 1850101123456", DOCUMENT])
    assert errors[1] == "RuntimeError while anonymizing (message withheld: it may quote the document)"
    assert anonymized[1] is None and maps[1] is None
    assert errors[0] is errors[2] is None and anonymized[0] == anonymized[2] and "[CNP_1]" in anonymized[0]


class _Fallback:
    """Stands in for the verification stage: rejects every CODE result,
    turns IBAN_CODE results into CNP ones, or fails."""

    def __init__(self, fail=False):
        self.fail = fail
        self.last_verdicts = []
        self.calls = 0

    def filter_multi(self, items):
        from types import SimpleNamespace

        self.calls += 1
        if self.fail:
            raise ConnectionError("server went away while reading " + items[0][0])
        self.last_verdicts = []
        for _, r in items:
            if r.entity_type == "IBAN_CODE":
                r.entity_type = "CNP"
            self.last_verdicts.append(SimpleNamespace(result=r, accepted=r.entity_type != "PHONE_NUMBER"))


@pytest.mark.parametrize("fail", [False, True])
def test_verification_runs_once_per_batch_and_keeps_what_it_accepts(monkeypatch, fail):
    fallback = _Fallback(fail)
    monkeypatch.setattr(tspark, "_fallback", lambda config: (fallback, None))
    config = tspark.make_config(rules_only=True, verify={"model": "test"})
    anonymized, maps, errors = tspark.anonymize_values(config, [DOCUMENT, DOCUMENT.upper(), None])
    assert fallback.calls == 1
    assert errors[2] == "no text (null)"
    if fail:
        assert errors[:2] == ["ConnectionError while verifying (message withheld: it may quote the document)"] * 2
        assert anonymized[:2] == [None, None]
        return
    assert errors[:2] == [None, None]
    for text in anonymized[:2]:
        assert "0722 123 456" in text                      # rejected: left in the text
        assert "RO49" not in text and "[PHONE_NUMBER" not in text and "[IBAN_CODE" not in text
    assert set(json.loads(maps[0])) == {"CNP", "tarnis:document"}


@pytest.mark.parametrize("anonymized, entity_map, restored, error", [
    ("[CNP_1] ok", '{"CNP": {"1850101123456": "[CNP_1]"}}', "1850101123456 ok", None),
    (None, "{}", None, "anonymized text: no text (null)"),
    ("x", None, None, "no entity map (null)"),
    ("x", '{"CNP": ["1850101123456"]}', None, "not an entity map (expected {entity type: {text: placeholder}})"),
    ("x", '{"CNP": {"1850101123456": ', None, "not a JSON entity map (Expecting value at offset 26)"),
    (b"\xc3", "{}", None, "anonymized text: not valid UTF-8 (byte 0xc3 at offset 0)"),
])
def test_restore_values(anonymized, entity_map, restored, error):
    assert tspark.restore_values([anonymized], [entity_map]) == ([restored], [error])


@pytest.mark.parametrize("sizes, limit, slices", [
    ([], 10, [(0, 0)]),
    ([3, 3, 3], 10, [(0, 3)]),
    ([6, 6, 6], 10, [(0, 1), (1, 2), (2, 3)]),
    ([20, 1, 1], 10, [(0, 1), (1, 3)]),
])
def test_output_batches_stay_under_the_arrow_limit(sizes, limit, slices):
    assert list(tspark._row_slices(sizes, limit)) == slices


def test_only_the_configuration_travels(monkeypatch):
    import functools
    import pickle

    config = tspark.make_config(rules_only=True)
    payload = pickle.dumps(functools.partial(tspark._anonymize_batches, config, "text", ("a", "m", "e"), False))
    assert len(payload) < 1000
    monkeypatch.chdir(EXAMPLES.parent)          # a model folder given relative is passed on absolute
    assert tspark.make_config(spacy_model="examples").spacy_model == str(EXAMPLES)
    assert tspark.make_config(spacy_model="ro_core_news_sm").spacy_model == "ro_core_news_sm"


@needs_spark
def test_verification_on_spark_gives_the_commands_output(spark, slm_server, tmp_path, anonymized_samples):
    from support.slm_server import reject_all

    server = slm_server(reject_all)
    out = tmp_path / "command"
    proc = subprocess.run([sys.executable, "-m", "tarnis", "anonymize", str(EXAMPLES), "-o", str(out), "-q",
                           "--rules-only", "--verify", "--slm-url", server.base_url,
                           "--slm-log-dir", str(tmp_path / "command-logs")],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    asked = len(server.requests)
    assert asked > 0
    verify = {"base_url": server.base_url, "model": cli.DEFAULT_SLM_MODEL, "log_dir": tmp_path / "spark-logs"}
    rows = tspark.anonymize_dataframe(read_files(spark, EXAMPLES), rules_only=True, verify=verify).collect()
    assert len(server.requests) > asked
    changed = 0
    for row in rows:
        stem = Path(row["path"]).stem
        assert row["error"] is None
        assert row["anonymized"] == (out / f"{stem}.anon.txt").read_text(encoding="utf-8"), stem
        assert row["entity_map"] == (out / f"{stem}.map.json").read_text(encoding="utf-8"), stem
        changed += row["anonymized"] != anonymized_samples[Path(row["path"]).name]["anonymized"]
    assert changed, "the rejected detections made no difference"


def test_the_executors_analyzer_gets_the_neural_options(tiny_gliner_dir, blank_ro_spacy_dir, monkeypatch):
    """What an executor builds from the configuration: the GLiNER recognizer
    runs with the batch size and backend the caller gave."""
    monkeypatch.setattr(tspark, "_analyzers", {})
    config = tspark.make_config(gliner_model=tiny_gliner_dir, spacy_model=blank_ro_spacy_dir,
                                gliner_batch_size=3, gliner_backend="torch")
    engine, error = tspark._analyzer(config)
    assert error is None
    gliner = next(r for r in engine.registry.recognizers if r.name == "SmartGLiNERRecognizer")
    assert (gliner.batch_size, gliner.backend) == (3, "torch")
    assert "SpacyNerRecognizer" not in [r.name for r in engine.registry.recognizers]


@pytest.mark.parametrize("options", [
    {"ner": "spacy", "gliner_batch_size": 2},
    {"rules_only": True, "ner": "both"},
    {"gliner_backend": "tensorrt"},
    {"gliner_batch_size": 0},
    {"ner": "flair"},
])
def test_neural_options_that_would_be_ignored_are_refused(options):
    with pytest.raises(ValueError):
        tspark.make_config(**options)


def test_spark_command_offers_only_options_it_honours():
    help_text = cli.build_parser()._subparsers._group_actions[0].choices["spark-anonymize"].format_help()
    assert "--jobs" not in help_text and "--ner" in help_text and "--gliner-backend" in help_text


def test_rows_restore_byte_for_byte_whatever_the_spellings():
    """The executors' functions, without a Spark session: a row whose entity
    is written in several ways gives back every byte, and its map is the
    command's."""
    from tarnis.host.maps import map_file_json
    config = tspark.make_config(rules_only=True)
    text = "Cont RO49AAAA1B31007593840000 și același cont RO49 AAAA 1B31\n0075 9384 0000.\n"
    anonymized, maps, errors = tspark.anonymize_values(config, [text])
    assert errors == [None] and anonymized[0].count("[IBAN_CODE_1]") == 2
    assert maps[0] == map_file_json(text, anonymized[0], {
        k: v for k, v in json.loads(maps[0]).items() if not k.startswith("tarnis:")})[0]
    restored, errors = tspark.restore_values(anonymized, maps)
    assert (restored, errors) == ([text], [None])
    # a spelling entry edited by hand: refused, or with partial=True restored from the map's texts
    data = json.loads(maps[0])
    data["tarnis:document"]["spellings"] = data["tarnis:document"]["spellings"].replace("RO49", "RO00")
    edited = json.dumps(data)
    assert tspark.restore_values(anonymized, [edited])[1][0].startswith("entity map: ")
    back, errors = tspark.restore_values(anonymized, [edited], partial=True)
    base = next(iter(data["IBAN_CODE"]))       # the first text the map holds for the placeholder
    assert errors == [None] and back[0] == anonymized[0].replace("[IBAN_CODE_1]", base)
