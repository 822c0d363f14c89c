"""Map files: encrypted maps (sealed, opened, refused when damaged, cut short
or under the wrong key), key files and `tarnis keygen`, and exact restore of
every spelling of an entity, for text, Word and PDF documents, encrypted or
not. The command runs in this process (its main())."""

from __future__ import annotations

import json
import os
import pickle
import stat
from pathlib import Path

import pytest

from tarnis.host import mapcrypt
from tarnis.host.mapcrypt import MAGIC, MapKeyError, MapKeys, header_fields, open_map, seal_map

PASSPHRASE = "o frază de trecere destul de lungă"
PLAIN = '{\n  "CNP": {\n    "1850101123456": "[CNP_1]"\n  }\n}\n'.encode()
IBAN = "RO49AAAA1B31007593840000"
# One IBAN and one phone number written several ways, over a line break too.
VARIANTS = (f"Cont: {IBAN}.\nAcelași cont: RO49 AAAA 1B31 0075 9384 0000.\n"
            "Tel. 0722 123 456, apoi 0722123456 și 0722 123\n456.\nCNP 1850101123456.\n")


@pytest.fixture
def quick_scrypt(monkeypatch):
    """scrypt at n=2**10 where a test seals many files (the parameters are in
    each header, so opening follows them)."""
    monkeypatch.setattr(mapcrypt, "SCRYPT_LOG2_N", 10)


def passphrase_keys(value: str = PASSPHRASE) -> MapKeys:
    return MapKeys.resolve(environ={mapcrypt.KEY_ENV: value})


def key_file(path: Path, data: bytes | None = None, mode: int = 0o600) -> Path:
    path.write_bytes(os.urandom(32) if data is None else data)
    path.chmod(mode)
    return path


# --- sealing and opening ----------------------------------------------------------------------

def test_sealed_maps_open_with_the_same_key_only(tmp_path):
    keys = passphrase_keys()
    sealer = keys.sealer()
    first, second = sealer.seal(PLAIN), sealer.seal(PLAIN)
    assert first.startswith(MAGIC) and first != second, "every file has its own nonce"
    assert header_fields(first) == {"version": 1, "kind": "passphrase", "header_bytes": 57,
                                    "ciphertext_bytes": len(PLAIN) + 16, "n": 2**15, "r": 8, "p": 1}
    assert first[10 + 3:10 + 3 + 16] == second[13:29], "one salt (one scrypt) for the maps of a run"
    # A new run derives the key again from the header's salt.
    assert passphrase_keys().open(first, "m") == PLAIN == keys.open(second, "m")
    assert open_map(PLAIN, None, "m") == PLAIN and seal_map(PLAIN, None) == PLAIN
    assert (repr(keys), repr(sealer), repr(pickle.loads(pickle.dumps(sealer)))) == ("<MapKeys>",) + ("<MapSealer>",) * 2

    keyed = MapKeys.resolve(str(key_file(tmp_path / "k")), environ={})
    sealed = keyed.sealer().seal(PLAIN)
    assert header_fields(sealed)["kind"] == "key-file" and header_fields(sealed)["header_bytes"] == 38
    assert MapKeys.resolve(str(tmp_path / "k"), environ={}).open(sealed, "m") == PLAIN

    for opener, data, message in [
        (passphrase_keys("another passphrase"), first, "the passphrase in TARNIS_MAP_KEY does not open"),
        (MapKeys.resolve(str(key_file(tmp_path / "other")), environ={}), sealed, "does not open"),
        (keyed, first, "it opens with a passphrase (TARNIS_MAP_KEY); the key file"),
        (keys, sealed, "it opens with a key file (--key-file)"),
        (MapKeys(), first, "it opens with a passphrase"),
    ]:
        with pytest.raises(MapKeyError, match=r"Nothing was restored") as e:
            opener.open(data, "m.map.json")
        assert message in str(e.value) and str(e.value).startswith("m.map.json: ")


def test_every_changed_byte_and_every_cut_is_refused(quick_scrypt, tmp_path):
    keys = passphrase_keys()
    for sealed in (keys.sealer().seal(PLAIN), MapKeys.resolve(str(key_file(tmp_path / "k")), environ={})
                   .sealer().seal(PLAIN)):
        opener = passphrase_keys() if sealed[9] == 1 else MapKeys.resolve(str(tmp_path / "k"), environ={})
        assert opener.open(sealed, "m") == PLAIN
        header = header_fields(sealed)["header_bytes"]
        for at in range(len(sealed)):
            changed = bytearray(sealed)
            changed[at] ^= 0x01
            with pytest.raises(MapKeyError) as e:
                opener.open(bytes(changed), "m")
            message = str(e.value)
            if at >= header:
                assert "was changed or cut short" in message, at
            elif at >= 8:
                assert any(s in message for s in ("damaged", "does not open", "not known", "opens with")), at
        for size in range(len(sealed)):
            with pytest.raises(MapKeyError, match="cut short"):
                opener.open(sealed[:size], "m")


def test_headers_that_ask_too_much_or_are_unknown_are_refused():
    sealed = bytearray(passphrase_keys().sealer().seal(PLAIN))
    for offset, value, message in [(8, 2, "format version 2, not known"), (9, 7, "unknown key kind 7"),
                                   (10, 30, "out of bounds"), (11, 255, "out of bounds"), (12, 0, "out of bounds")]:
        edited = bytearray(sealed)
        edited[offset] = value
        with pytest.raises(MapKeyError, match=message):
            passphrase_keys().open(bytes(edited), "m")


# --- key files ------------------------------------------------------------------------------

@pytest.mark.parametrize("data, mode, message", [
    (b"k" * 31, 0o600, "31 bytes, not a key"),
    (b"k" * 33, 0o600, "more than bytes, not a key"),
    (b"", 0o600, "0 bytes, not a key"),
    (b"k" * 32, 0o644, "readable or writable by others (mode 644); make it private: chmod 600"),
    (b"k" * 32, 0o620, "(mode 620)"),
])
def test_key_files_of_the_wrong_length_or_mode_are_refused(tmp_path, data, mode, message):
    path = key_file(tmp_path / "k", data, mode)
    with pytest.raises(MapKeyError, match=message.replace("(", r"\(").replace(")", r"\)")):
        MapKeys.resolve(str(path), environ={})


def test_key_sources_are_refused_when_ambiguous_or_absent(tmp_path):
    path = key_file(tmp_path / "k")
    with pytest.raises(MapKeyError, match="both --key-file and the variable TARNIS_MAP_KEY"):
        MapKeys.resolve(str(path), environ={"TARNIS_MAP_KEY": PASSPHRASE})
    with pytest.raises(MapKeyError, match="not a regular file"):
        MapKeys.resolve(str(tmp_path), environ={})
    with pytest.raises(MapKeyError, match="cannot read"):
        MapKeys.resolve(str(tmp_path / "missing"), environ={})
    # An empty variable is no passphrase: nothing to seal with.
    for environ in ({}, {"TARNIS_MAP_KEY": ""}):
        assert not MapKeys.resolve(None, environ=environ).available
        with pytest.raises(MapKeyError, match="--encrypt-map needs a key"):
            MapKeys.resolve(None, environ=environ).sealer()
    assert MapKeys.resolve(str(path), environ={"TARNIS_MAP_KEY": ""}).available


def test_keygen_makes_a_private_key_and_never_overwrites(tmp_path, capsys):
    from tarnis.cli import main

    path = tmp_path / "case.key"
    assert main(["keygen", str(path)]) == 0
    key = path.read_bytes()
    assert len(key) == 32 and stat.S_IMODE(path.stat().st_mode) == 0o600
    assert MapKeys.resolve(str(path), environ={}).available
    assert main(["keygen", str(path)]) == 2 and path.read_bytes() == key
    assert "already exists; a key file is never overwritten" in capsys.readouterr().err
    assert main(["keygen", str(tmp_path / "no" / "k")]) == 2 and not (tmp_path / "no").exists()
    os.symlink(tmp_path / "target", tmp_path / "link")
    assert main(["keygen", str(tmp_path / "link")]) == 2 and not (tmp_path / "target").exists()
    key_file(tmp_path / "other")
    assert main(["keygen", str(tmp_path / "other")]) == 2


# --- exact restore in the library's terms -----------------------------------------------------

def _anonymized(text: str, spans: list[tuple[str, int, int]]):
    from presidio_analyzer import RecognizerResult

    from tarnis.host.pipeline import anonymize_results

    return anonymize_results(text, [RecognizerResult(t, a, b, 0.9) for t, a, b in spans])


def _restored(text: str, anonymized: str, entity_map: dict) -> str:
    from tarnis.host.maps import map_file_json, parse_entity_map
    from tarnis.host.spellings import exact_occurrences, has_spellings, put_in
    from tarnis.processing import deanonymize_text

    content, exact = map_file_json(text, anonymized, entity_map)
    assert exact
    # The file is still the library's map: deanonymize_text gives what it gave.
    assert deanonymize_text(anonymized, json.loads(content)) == deanonymize_text(anonymized, entity_map)
    info = parse_entity_map(content).info
    if not has_spellings(info):
        assert deanonymize_text(anonymized, entity_map) == text
        return deanonymize_text(anonymized, entity_map)
    return put_in(anonymized, exact_occurrences(anonymized, entity_map, info))


def test_spellings_restore_case_space_line_breaks_and_punctuation():
    text = ("ION POPESCU, domiciliat în Str. Mihai\nEminescu nr. 5, a semnat. Ion Popescu\n"
            "și Ion-Popescu; ion  popescu a plătit. Adresa: str. mihai eminescu nr. 5 [CNP_1].")
    spans = [("PERSON_NAME", m.start(), m.end()) for m in __import__("re").finditer(
        r"(?i)ion[\s-]+popescu", text)]
    spans += [("DOMIVIA", text.index("Str. Mihai"), text.index("nr. 5,") + 5),
              ("DOMIVIA", text.index("str. mihai"), text.index("nr. 5 [") + 5)]
    anonymized, entity_map = _anonymized(text, spans)
    assert "[CNP_1]" in anonymized and len(set(entity_map["PERSON_NAME"].values())) == 1
    assert _restored(text, anonymized, entity_map) == text


def test_a_map_that_restores_exactly_is_written_as_before():
    from tarnis.host.maps import entity_map_json, map_file_json

    text = "Cont RO49AAAA1B31007593840000, iar contul RO49AAAA1B31007593840000."
    anonymized, entity_map = _anonymized(text, [("IBAN_CODE", 5, 29)])
    assert map_file_json(text, anonymized, entity_map) == (entity_map_json(entity_map, anonymized), True)
    # Asked always (a map that will grow), the spellings go in even when empty.
    content, _ = map_file_json(text, anonymized, entity_map, always=True)
    assert '"spellings": "spellings:[]"' in content


def test_the_warning_stays_where_exact_restore_is_not_available(tmp_path):
    """An anonymized text that does not follow its original (here a changed
    full stop) cannot get spellings: the map is written as before and the
    command warns, naming line and column."""
    from tarnis.cli.outputs import write_anonymized

    warnings: list[str] = []
    entity_map = {"CNP": {"1850101123456": "[CNP_1]"}}
    write_anonymized(Path("d.txt"), "Titular:\nCNP 1850101123456.", "Titular:\nCNP [CNP_1]!", entity_map,
                     tmp_path / "d.anon.txt", tmp_path / "d.map.json", False, 0o644, warnings.append)
    assert len(warnings) == 1 and "will not give back this text exactly (first difference at line 2" in warnings[0]
    assert "spellings" not in (tmp_path / "d.map.json").read_text("utf-8")
    warnings.clear()
    # The same with the text it came from: exact, no warning, spellings of what differs.
    write_anonymized(Path("d.txt"), "Titular:\nCNP 1850101123456 / [CNP_1].", "Titular:\nCNP [CNP_1] / [CNP_1].",
                     entity_map, tmp_path / "e.anon.txt", tmp_path / "e.map.json", False, 0o644, warnings.append)
    info = json.loads((tmp_path / "e.map.json").read_text("utf-8"))["tarnis:document"]
    assert warnings == [] and info["spellings"] == 'spellings:[[1,"[CNP_1]"]]'


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

_WORDS = ["Ion", "Popescu", "Ștefan", "Țurcanu"]


@st.composite
def _spelling(draw):
    """One spelling of one of two names: each letter in either case, words
    joined by white space (line breaks too) or a hyphen."""
    first = draw(st.sampled_from([0, 2]))
    words = []
    for word in _WORDS[first:first + 2]:
        words.append("".join(c.upper() if draw(st.booleans()) else c.lower() for c in word))
    return words[0] + draw(st.sampled_from([" ", "  ", "\n", " \n ", "-", "\t"])) + words[1]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(_spelling(), st.sampled_from([", ", " și ", "\n", ". ", " ", ""]), st.booleans()),
                min_size=1, max_size=8))
def test_any_mix_of_spellings_restores_byte_for_byte(pieces):
    text, spans = "Părțile: ", []
    for spelling, joiner, reported in pieces:
        if reported or not spans:
            spans.append(("PERSON_NAME", len(text), len(text) + len(spelling)))
        text += spelling + joiner
    text += "\nSfârșit."
    anonymized, entity_map = _anonymized(text, spans)
    assert _restored(text, anonymized, entity_map) == text


# --- through the command ----------------------------------------------------------------------

def _word(path: Path) -> Path:
    import docx

    d = docx.Document()
    d.add_paragraph(f"Cont {IBAN}, tel. 0722 123 456.")
    p = d.add_paragraph("Același cont: RO49 AAAA ")
    p.add_run("1B31 0075 9384 0000").bold = True
    d.add_paragraph("Telefon 0722123456.")
    d.save(path)
    return path


def _pdf(path: Path) -> Path | None:
    fpdf = pytest.importorskip("fpdf")
    font = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
    if not font.exists():
        return None
    pdf = fpdf.FPDF()
    pdf.add_font("DejaVu", "", str(font))
    pdf.set_font("DejaVu", size=11)
    pdf.add_page()
    pdf.multi_cell(0, 6, f"Cont {IBAN}.\nAcelași cont: RO49 AAAA 1B31 0075 9384 0000, tel. 0722 123 456.")
    path.write_bytes(bytes(pdf.output()))
    return path


@pytest.fixture(scope="module")
def case(tmp_path_factory):
    """A folder of documents with entities written several ways, anonymized
    once with plain maps and once with encrypted ones."""
    from tarnis.cli import main

    folder = tmp_path_factory.mktemp("case")
    src = folder / "in"
    src.mkdir()
    (src / "cerere.txt").write_text(VARIANTS, encoding="utf-8")
    (src / "crlf.txt").write_bytes(VARIANTS.replace("\n", "\r\n").encode())
    _word(src / "contract.docx")
    pdf = _pdf(src / "scrisoare.pdf")
    saved = os.environ.get(mapcrypt.KEY_ENV)
    os.environ[mapcrypt.KEY_ENV] = PASSPHRASE
    try:
        assert main(["anonymize", str(src), "-o", str(folder / "enc"), "--rules-only", "-q", "-j", "1",
                     "--encrypt-map"]) == 0
        os.environ.pop(mapcrypt.KEY_ENV)
        assert main(["anonymize", str(src), "-o", str(folder / "plain"), "--rules-only", "-q", "-j", "1"]) == 0
    finally:
        if saved is None:
            os.environ.pop(mapcrypt.KEY_ENV, None)
        else:
            os.environ[mapcrypt.KEY_ENV] = saved
    names = ["cerere", "crlf", "contract"] + (["scrisoare"] if pdf else [])
    return folder, names


def _anon(folder: Path, name: str) -> Path:
    return folder / (f"{name}.anon.docx" if name == "contract" else f"{name}.anon.txt")


def _original_text(folder: Path, name: str) -> str:
    from tarnis.host.documents import read_document

    path = next((folder / "in").glob(f"{name}.*"))
    return read_document(path).text


def restore(folder: Path, name: str, mode: str, out: Path, *extra: str) -> int:
    from tarnis.cli import main

    return main(["restore", str(_anon(folder / mode, name)), "--map", str(folder / mode / f"{name}.map.json"),
                 "-o", str(out), "-q", *extra])


@pytest.mark.parametrize("mode", ["plain", "enc"])
def test_every_document_restores_byte_for_byte(case, mode, tmp_path, monkeypatch, capsys):
    from tarnis.host.documents import read_document

    folder, names = case
    monkeypatch.setenv(mapcrypt.KEY_ENV, PASSPHRASE) if mode == "enc" else monkeypatch.delenv(
        mapcrypt.KEY_ENV, raising=False)
    capsys.readouterr()
    for name in names:
        emap = folder / mode / f"{name}.map.json"
        assert stat.S_IMODE(emap.stat().st_mode) == 0o600
        assert emap.read_bytes().startswith(MAGIC) == (mode == "enc")
        anonymized = read_document(_anon(folder / mode, name)).text
        assert IBAN not in anonymized and "9384" not in anonymized and "0722" not in anonymized, name
        out = tmp_path / (f"{name}.docx" if name == "contract" else f"{name}.txt")
        assert restore(folder, name, mode, out) == 0, capsys.readouterr().err
        if name == "contract":
            assert read_document(out).text == _original_text(folder, name)
        elif name == "scrisoare":
            assert out.read_text("utf-8") == _original_text(folder, name)
        else:
            assert out.read_bytes() == next((folder / "in").glob(f"{name}.txt")).read_bytes()
    assert "warning" not in capsys.readouterr().err


def test_encrypted_maps_hold_what_the_plain_ones_hold(case, monkeypatch):
    folder, names = case
    for name in names:
        plain = (folder / "plain" / f"{name}.map.json").read_bytes()
        opened = passphrase_keys().open((folder / "enc" / f"{name}.map.json").read_bytes(), name)
        if name != "contract":      # a Word package is not byte-identical between two runs
            assert opened == plain
        info = json.loads(opened)["tarnis:document"]
        assert info["spellings"].startswith("spellings:[[") and info["original-sha256"].startswith("sha256:")
    assert PASSPHRASE.encode() not in b"".join(p.read_bytes() for p in (folder / "enc").iterdir())


@pytest.mark.parametrize("setting, cut, message", [
    (None, None, "an encrypted map; it opens with a passphrase (TARNIS_MAP_KEY)"),
    ("wrong passphrase", None, "does not open this encrypted map"),
    (PASSPHRASE, 20, "cut short"),
    (PASSPHRASE, -1, "was changed or cut short after it was written"),
    (PASSPHRASE, "flip", "was changed or cut short after it was written"),
    ("key-file", None, "both --key-file and the variable TARNIS_MAP_KEY"),
])
def test_encrypted_maps_without_their_key_or_damaged_stop_with_status_2(case, tmp_path, monkeypatch, capsys,
                                                                       setting, cut, message):
    folder, _ = case
    emap = folder / "enc" / "cerere.map.json"
    data = emap.read_bytes()
    if cut is not None:
        data = data[:cut] if cut != "flip" else data[:100] + bytes([data[100] ^ 0x40]) + data[101:]
        emap = tmp_path / "cerere.map.json"
        emap.write_bytes(data)
        emap.chmod(0o600)
    extra = []
    if setting == "key-file":
        extra = ["--key-file", str(key_file(tmp_path / "k"))]
        monkeypatch.setenv(mapcrypt.KEY_ENV, PASSPHRASE)
    elif setting is None:
        monkeypatch.delenv(mapcrypt.KEY_ENV, raising=False)
    else:
        monkeypatch.setenv(mapcrypt.KEY_ENV, setting)
    from tarnis.cli import main

    out = tmp_path / "out.txt"
    capsys.readouterr()
    status = main(["restore", str(folder / "enc" / "cerere.anon.txt"), "--map", str(emap), "-o", str(out), *extra])
    err = capsys.readouterr().err
    assert status == 2 and message in err and "Traceback" not in err, err
    assert not out.exists() and len(err.strip().splitlines()) == 1
    assert PASSPHRASE not in err and "wrong passphrase" not in err


def test_anonymize_refuses_to_encrypt_without_a_key(tmp_path, monkeypatch, capsys):
    from tarnis.cli import main

    doc = tmp_path / "a.txt"
    doc.write_text("CNP 1850101123456.\n")
    monkeypatch.delenv(mapcrypt.KEY_ENV, raising=False)
    assert main(["anonymize", str(doc), "--rules-only", "--encrypt-map", "-q"]) == 2
    assert "--encrypt-map needs a key" in capsys.readouterr().err
    assert main(["anonymize", str(doc), "--rules-only", "--key-file", str(key_file(tmp_path / "k")), "-q"]) == 2
    assert "unless --encrypt-map is given" in capsys.readouterr().err
    assert main(["anonymize", str(doc), "--rules-only", "--encrypt-map", "--key-file",
                 str(key_file(tmp_path / "open", mode=0o640)), "-q"]) == 2
    assert "chmod 600" in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt", "k", "open"], "nothing was written"
    # A passphrase without --encrypt-map: plain maps, and the run says so.
    monkeypatch.setenv(mapcrypt.KEY_ENV, PASSPHRASE)
    assert main(["anonymize", str(doc), "--rules-only", "-q"]) == 0
    err = capsys.readouterr().err
    assert "TARNIS_MAP_KEY is set, but the maps are written in clear" in err and PASSPHRASE not in err
    assert (tmp_path / "a.map.json").read_bytes().startswith(b"{")


def test_workers_seal_with_a_key_file(tmp_path, monkeypatch, capsys):
    """Two worker processes get the run's sealer and write maps that open."""
    from tarnis.cli import main

    monkeypatch.delenv(mapcrypt.KEY_ENV, raising=False)
    for i in range(2):
        (tmp_path / "in").mkdir(exist_ok=True)
        (tmp_path / "in" / f"d{i}.txt").write_text(VARIANTS, encoding="utf-8")
    key = key_file(tmp_path / "k")
    assert main(["anonymize", str(tmp_path / "in"), "-o", str(tmp_path / "out"), "--rules-only", "-q", "-j", "2",
                 "--encrypt-map", "--key-file", str(key)]) == 0, capsys.readouterr().err
    for i in range(2):
        sealed = (tmp_path / "out" / f"d{i}.map.json").read_bytes()
        assert header_fields(sealed)["kind"] == "key-file"
        assert main(["restore", str(tmp_path / "out" / f"d{i}.anon.txt"), "--map", str(tmp_path / "out" /
                     f"d{i}.map.json"), "--key-file", str(key), "-o", str(tmp_path / f"r{i}.txt"), "-q"]) == 0
        assert (tmp_path / f"r{i}.txt").read_text("utf-8") == VARIANTS


# --- maps without spellings, and edited spellings ----------------------------------------------

def _edited_map(case, tmp_path: Path, edit) -> Path:
    folder, _ = case
    data = json.loads((folder / "plain" / "cerere.map.json").read_text("utf-8"))
    edit(data)
    path = tmp_path / "edited.map.json"
    path.write_text(json.dumps(data, ensure_ascii=False, indent=2) + "\n", encoding="utf-8")
    return path


def _drop_spellings(data):
    del data["tarnis:document"]["spellings"], data["tarnis:document"]["original-sha256"]


@pytest.mark.parametrize("edit, status, message", [
    (_drop_spellings, 0, None),
    (lambda d: d.pop("tarnis:document"), 0, "a map without the fingerprint of its text"),
    (lambda d: d["tarnis:document"].update(spellings=d["tarnis:document"]["spellings"].replace("9384", "9385")),
     1, "the text its spellings make is not the original (the map was edited?)"),
    (lambda d: d.update(IBAN_CODE={"RO49AAAA1B31007593840001": "[IBAN_CODE_1]"}), 1,
     "the text its spellings make is not the original"),
    (lambda d: d["tarnis:document"].update(spellings="spellings:[[99,\"x\"]]"), 1,
     "spelling 1 is for occurrence 99, which the text does not have"),
    (lambda d: d["tarnis:document"].update(spellings="spellings:[[1,2]]"), 1, "is not an [occurrence, text] pair"),
    (lambda d: d["tarnis:document"].update(spellings="spellings:{"), 1, "is not valid JSON"),
    (lambda d: d["tarnis:document"].update(spellings="[[0,\"x\"]]"), 1, "its spellings entry is damaged"),
])
def test_maps_without_or_with_edited_spellings(case, tmp_path, monkeypatch, capsys, edit, status, message):
    from tarnis.cli import main

    folder, _ = case
    monkeypatch.delenv(mapcrypt.KEY_ENV, raising=False)
    emap = _edited_map(case, tmp_path, edit)
    out = tmp_path / "out.txt"
    args = ["restore", str(folder / "plain" / "cerere.anon.txt"), "--map", str(emap), "-o", str(out)]
    capsys.readouterr()
    assert main(args) == status
    err = capsys.readouterr().err
    if status:
        assert message in err and "nothing was restored (--partial restores with the map's texts" in err
        assert not out.exists()
        # --partial falls back to the map's texts, one spelling per placeholder, and says so.
        assert main(args + ["--partial"]) == 0
        assert "restored with the map's texts" in capsys.readouterr().err
    elif message:
        assert message in err
    # Without (usable) spellings, restore gives one spelling back, as maps always did.
    from tarnis.processing import deanonymize_text

    anonymized = (folder / "plain" / "cerere.anon.txt").read_text("utf-8")
    assert out.read_text("utf-8") == deanonymize_text(anonymized, json.loads(emap.read_text("utf-8"))) != VARIANTS
