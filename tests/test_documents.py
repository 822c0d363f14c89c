"""Word and PDF documents: every part of a .docx read, anonymized run by run
and restored; PDF text layers; bad files refused with a reason. The files are
built here (python-docx, fpdf2 with the system's DejaVu font)."""

from __future__ import annotations

import io
import zipfile
from pathlib import Path

import pytest

docx = pytest.importorskip("docx")
from docx.oxml import OxmlElement  # noqa: E402
from docx.oxml.ns import qn  # noqa: E402
from lxml import etree  # noqa: E402

from tarnis.host import documents  # noqa: E402
from tarnis.host.documents import DocumentFormatError, anonymize_document, read_document  # noqa: E402

CNP = "1850101123456"
EMAIL = "ion.popescu@example.ro"
IBAN = "RO49AAAA1B31007593840000"
W = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
FONT = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")


@pytest.fixture(scope="module")
def engine():
    from tarnis import cli

    return cli.build_rules_engine()


def _run(parent, text, tag="w:t"):
    r = OxmlElement("w:r")
    t = OxmlElement(tag)
    t.text = text
    r.append(t)
    parent.append(r)
    return r


def _footnotes_part(document, text):
    """A footnotes part (python-docx has no API for it) holding `text`."""
    from docx.opc.constants import RELATIONSHIP_TYPE as RT
    from docx.opc.packuri import PackURI
    from docx.opc.part import Part

    xml = (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?><w:footnotes xmlns:w="{W}">'
           f'<w:footnote w:id="1"><w:p><w:r><w:t>{text}</w:t></w:r></w:p></w:footnote></w:footnotes>')
    part = Part(PackURI("/word/footnotes.xml"),
                "application/vnd.openxmlformats-officedocument.wordprocessingml.footnotes+xml", xml.encode(),
                document.part.package)
    document.part.relate_to(part, RT.FOOTNOTES)


def build_word(path: Path) -> Path:
    d = docx.Document()
    p = d.add_paragraph("Subsemnatul Ion Popescu, CNP ")
    p.add_run(CNP[:6]).bold = True                       # the CNP runs over three runs
    p.add_run(CNP[6:9]).italic = True
    p.add_run(CNP[9:] + ", tel. 0722 123 456.")
    d.add_paragraph("Paragraf fără date personale.")
    table = d.add_table(rows=1, cols=2)
    table.cell(0, 0).text = f"IBAN {IBAN}"
    inner = table.cell(0, 1).add_table(rows=1, cols=1)
    inner.cell(0, 0).text = "Cont imbricat RO21 INGB 0000 9999 0123 4567"
    section = d.sections[0]
    section.different_first_page_header_footer = True
    d.settings.odd_and_even_pages_header_footer = True
    section.header.paragraphs[0].text = f"Antet: {EMAIL}"
    section.first_page_header.paragraphs[0].text = "Prima pagină: CNP 2851122045670"
    section.even_page_footer.paragraphs[0].text = "Subsol par: tel. 0733 221 100"
    link = d.add_paragraph("Contact: ")
    rid = link.part.relate_to(f"mailto:{EMAIL}",
                              "http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink",
                              is_external=True)
    h = OxmlElement("w:hyperlink")
    h.set(qn("r:id"), rid)
    _run(h, "scrieți-mi")
    link._p.append(h)
    tracked = d.add_paragraph("Modificare: ")
    ins = OxmlElement("w:ins")
    ins.set(qn("w:author"), "Maria Ionescu")
    _run(ins, "CNP 1960709135792")
    tracked._p.append(ins)
    dele = OxmlElement("w:del")
    dele.set(qn("w:author"), "Maria Ionescu")
    _run(dele, " tel. 0745 987 654", tag="w:delText")
    tracked._p.append(dele)
    box = d.add_paragraph("Caseta: ")
    r = OxmlElement("w:r")
    pict = etree.SubElement(r, f"{{{W}}}pict")
    shape = etree.SubElement(pict, "{urn:schemas-microsoft-com:vml}shape")
    textbox = etree.SubElement(shape, "{urn:schemas-microsoft-com:vml}textbox")
    content = etree.SubElement(textbox, f"{{{W}}}txbxContent")
    inner_p = etree.SubElement(content, f"{{{W}}}p")
    _run(inner_p, "în casetă e-mail ana.pop@example.com")
    box._p.append(r)
    d.add_comment(p.runs[0], text=f"verificat CNP {CNP}", author="Maria Ionescu", initials="MI")
    _footnotes_part(d, "Nota: IBAN RO81RNCB0082044212345678")
    d.core_properties.author = "Ion Popescu"
    d.core_properties.last_modified_by = "Maria Ionescu"
    d.core_properties.title = f"Contract {EMAIL}"
    d.save(path)
    return path


def anonymize(engine, path: Path, out: Path):
    from tarnis import cli

    doc = read_document(path)
    results = cli.detections(engine, doc.text, None)
    anonymized, entity_map, data = anonymize_document(doc, results)
    out.write_bytes(data)
    return doc, anonymized, entity_map


def all_xml(path: Path) -> str:
    with zipfile.ZipFile(path) as z:
        return "\n".join(z.read(n).decode("utf-8", "replace") for n in z.namelist() if n.endswith((".xml", ".rels")))


def test_every_part_is_anonymized_and_restored(engine, tmp_path):
    src = build_word(tmp_path / "contract.docx")
    doc, anonymized, entity_map = anonymize(engine, src, tmp_path / "contract.anon.docx")
    for part in ("Subsemnatul", "IBAN RO49", "Cont imbricat", "Antet:", "Prima pagină", "Subsol par", "mailto:",
                 "Modificare: CNP", "tel. 0745", "în casetă", "verificat CNP", "Nota: IBAN", "Contract "):
        assert part in doc.text, part
    xml = all_xml(tmp_path / "contract.anon.docx")
    for secret in (CNP, "2851122045670", "1960709135792", EMAIL, "ana.pop@example.com", IBAN, "0722 123 456",
                   "0733 221 100", "0745 987 654", "RO81RNCB0082044212345678", "INGB 0000 9999",
                   "Maria Ionescu", ">Ion Popescu<"):
        assert secret not in xml, secret
    assert f"mailto:{EMAIL}" in doc.text and "mailto:[EMAIL_ADDRESS_" in anonymized
    assert len(entity_map["CNP"]) == 3

    back = read_document(tmp_path / "contract.anon.docx").restored(entity_map)
    (tmp_path / "back.docx").write_bytes(back)
    restored = read_document(tmp_path / "back.docx")
    assert restored.text.splitlines() == doc.text.splitlines()


def test_layout_is_kept_run_by_run(engine, tmp_path):
    src = build_word(tmp_path / "c.docx")
    anonymize(engine, src, tmp_path / "c.anon.docx")
    original = docx.Document(src).paragraphs
    anon = docx.Document(tmp_path / "c.anon.docx").paragraphs
    runs = [(r.text, r.bold, r.italic) for r in anon[0].runs]
    # The placeholder takes the first run of the CNP (bold); the others lose only its characters.
    at = next(i for i, r in enumerate(runs) if r[0].startswith("[CNP_"))
    assert runs[at][1] is True and runs[at + 1] == ("", None, True)
    assert runs[at + 2][0].startswith(", tel. [PHONE_NUMBER_")
    assert etree.tostring(anon[1]._p) == etree.tostring(original[1]._p)      # untouched paragraph, same XML
    with zipfile.ZipFile(src) as a, zipfile.ZipFile(tmp_path / "c.anon.docx") as b:
        assert a.read("word/styles.xml") == b.read("word/styles.xml")
        assert set(a.namelist()) - set(b.namelist()) == {"docProps/thumbnail.jpeg"}     # a picture of page 1
        assert set(b.namelist()) <= set(a.namelist())

    entity_map = anonymize(engine, src, tmp_path / "c2.anon.docx")[2]
    (tmp_path / "back.docx").write_bytes(read_document(tmp_path / "c2.anon.docx").restored(entity_map))
    back = docx.Document(tmp_path / "back.docx").paragraphs
    assert (CNP, True, None) in [(r.text, r.bold, r.italic) for r in back[0].runs]
    assert back[0].text == original[0].text


def test_people_are_cleared_and_images_warned(tmp_path):
    src = build_word(tmp_path / "c.docx")
    doc = read_document(src)
    data = doc.with_lines(doc.text.split("\n"), {})
    (tmp_path / "same.docx").write_bytes(data)
    out = docx.Document(tmp_path / "same.docx")
    assert out.core_properties.author == "" and out.core_properties.last_modified_by == ""
    assert "Maria Ionescu" not in all_xml(tmp_path / "same.docx")
    assert doc.warnings == []
    d = docx.Document()
    d.add_paragraph("Poză:")
    d.add_picture(io.BytesIO(_png()))
    d.save(tmp_path / "img.docx")
    assert any("images or embedded objects" in w for w in read_document(tmp_path / "img.docx").warnings)


def _png() -> bytes:
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"\x00\xff\x00\x00")) + chunk(b"IEND", b""))


def test_an_entity_over_a_paragraph_break_is_cut_at_it(engine, tmp_path):
    from presidio_analyzer import RecognizerResult

    d = docx.Document()
    d.add_paragraph("Strada Lungă")
    d.add_paragraph("nr. 5, Brașov")
    d.save(tmp_path / "a.docx")
    doc = read_document(tmp_path / "a.docx")
    end = doc.text.index("Brașov") + len("Brașov")
    anonymized, entity_map, data = anonymize_document(doc, [RecognizerResult("DOMIVIA", 0, end, 0.9)])
    assert anonymized.split("\n")[:2] == ["[DOMIVIA_2]", "[DOMIVIA_1]"]
    (tmp_path / "a.anon.docx").write_bytes(data)
    assert [p.text for p in docx.Document(tmp_path / "a.anon.docx").paragraphs] == anonymized.split("\n")[:2]


def _zip(entries: dict) -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries.items():
            z.writestr(name, data)
    return out.getvalue()


@pytest.mark.parametrize("data, reason", [
    (b"plain text, not a package", "not a ZIP package"),
    (_zip({"other.xml": "<a/>"}), "no word/document.xml"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 512, "password-protected or legacy"),
    (_zip({"[Content_Types].xml": '<Types><Override ContentType="application/vnd.ms-word.document.macroEnabled.'
                                  'main+xml"/></Types>', "word/document.xml": "<w/>"}), "macro-enabled"),
    (_zip({"word/document.xml": "<w/>", "word/big.bin": b"\0" * (3 * 1024 * 1024)}), "ZIP bomb"),
    (_zip({"[Content_Types].xml": "<Types/>", "word/document.xml": "<w:document"}), "damaged Word document"),
])
def test_bad_word_files_are_refused_with_a_reason(tmp_path, data, reason):
    path = tmp_path / "bad.docx"
    path.write_bytes(data)
    with pytest.raises(DocumentFormatError, match=reason):
        read_document(path)


def test_the_total_inflated_size_is_bounded(tmp_path, monkeypatch):
    monkeypatch.setattr(documents, "MAX_INFLATED_BYTES", 10_000)
    path = tmp_path / "big.docx"
    path.write_bytes(_zip({"word/document.xml": "x" * 20_000}))
    with pytest.raises(DocumentFormatError, match="inflates to more than"):
        read_document(path)


# --- PDF -------------------------------------------------------------------------------------

def _pdf(pages, encrypt=False) -> bytes:
    fpdf = pytest.importorskip("fpdf")
    if not FONT.exists():
        pytest.skip("the DejaVu font (fonts-dejavu-core) is not installed")
    pdf = fpdf.FPDF()
    pdf.add_font("DejaVu", "", str(FONT))
    pdf.set_font("DejaVu", size=11)
    for text in pages:
        pdf.add_page()
        if text:
            pdf.multi_cell(0, 6, text)
        else:
            pdf.rect(10, 10, 50, 50)
    if encrypt:
        pdf.set_encryption(owner_password="o", user_password="u")
    return bytes(pdf.output())


def test_pdf_text_is_read_page_by_page_with_diacritics(tmp_path):
    path = tmp_path / "a.pdf"
    path.write_bytes(_pdf(["Subsemnatul Ștefan Țurcanu, din Iași, CNP 1850101123456, am înțeles con-\ndițiile.",
                           "Pagina a doua: Şoseaua Ţiglina."]))
    doc = read_document(path)
    assert doc.kind == "pdf" and doc.pages == 2
    assert "Ștefan Țurcanu" in doc.text and "Şoseaua Ţiglina" in doc.text and "con-\ndițiile" in doc.text
    assert doc.text.index("Pagina a doua") > doc.text.index("\f")


@pytest.mark.parametrize("make, reason", [
    (lambda: _pdf([""]), "no text layer: run OCR first"),
    (lambda: _pdf(["Secret"], encrypt=True), "encrypted PDF"),
    (lambda: _pdf(["Text"])[:200], "damaged PDF"),
])
def test_bad_pdfs_are_refused_with_a_reason(tmp_path, make, reason):
    path = tmp_path / "bad.pdf"
    path.write_bytes(make())
    with pytest.raises(DocumentFormatError, match=reason):
        read_document(path)


# --- through the command ---------------------------------------------------------------------

def _command(*args, cwd):
    import os
    import subprocess
    import sys

    env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1")
    return subprocess.run([sys.executable, "-m", "tarnis", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, timeout=300)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_command_anonymizes_and_restores_word_and_pdf_documents(tmp_path, jobs):
    src = tmp_path / "dosar"
    src.mkdir()
    build_word(src / "contract.docx")
    (src / "scrisoare.pdf").write_bytes(_pdf([f"Stimate domn, CNP {CNP}, cont {IBAN}."]))
    (src / "~$contract.docx").write_bytes(b"lock file of an open document")
    (src / "stricat.docx").write_bytes(b"not a package")
    proc = _command("anonymize", src, "-o", tmp_path / "out", "--rules-only", "-j", jobs, cwd=tmp_path)
    err = proc.stderr.decode()
    assert proc.returncode == 1 and "stricat.docx: not a Word document (not a ZIP package)" in err
    assert "~$" not in err
    out = tmp_path / "out"
    assert sorted(p.name for p in out.iterdir()) == ["contract.anon.docx", "contract.map.json",
                                                     "scrisoare.anon.txt", "scrisoare.map.json"]
    assert CNP not in (out / "scrisoare.anon.txt").read_text(encoding="utf-8")
    assert CNP not in all_xml(out / "contract.anon.docx")

    proc = _command("restore", out / "contract.anon.docx", "--map", out / "contract.map.json", cwd=tmp_path)
    assert proc.returncode == 2 and "needs -o" in proc.stderr.decode()
    proc = _command("restore", out / "contract.anon.docx", "--map", out / "contract.map.json",
                    "-o", tmp_path / "back.docx", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr.decode()
    assert (tmp_path / "back.docx").stat().st_mode & 0o777 == 0o600
    assert read_document(tmp_path / "back.docx").text.splitlines() == \
        read_document(src / "contract.docx").text.splitlines()
    # A map of another document is refused for the Word document as for a text.
    proc = _command("restore", out / "contract.anon.docx", "--map", out / "scrisoare.map.json",
                    "-o", tmp_path / "other.docx", cwd=tmp_path)
    assert proc.returncode == 1 and not (tmp_path / "other.docx").exists()
