"""Reading and writing Word documents against analyzing their text.

Builds a 20-page Word document (paragraphs with runs of mixed formatting,
tables, headers and footers, a few hundred planted identifiers), then times,
interleaved over several rounds in one process: reading it
(`read_document`), analyzing its text with the command's rules-only engine
(analysis, overlap resolution, denylist filter), anonymizing and writing the
anonymized package, and restoring it. Prints the medians with their spread,
the share of reading + writing in the analysis time, and the peak memory.

    python bench/bench_documents.py [--pages 20] [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import statistics
import tempfile
import time
from pathlib import Path


def build(path: Path, pages: int, seed: int = 7) -> int:
    import docx

    rng = random.Random(seed)
    d = docx.Document()
    planted = 0
    words = ("contractul", "părțile", "convin", "următoarele", "clauze", "privind", "plata", "chiriei",
             "lunare", "și", "obligațiile", "locatarului", "față", "de", "proprietar", "conform", "legii")
    for page in range(pages):
        d.add_heading(f"Capitolul {page + 1}", level=1)
        for _ in range(9):
            p = d.add_paragraph()
            for k in range(rng.randint(3, 7)):
                run = p.add_run(" ".join(rng.choice(words) for _ in range(rng.randint(4, 12))) + " ")
                run.bold = k % 3 == 0
            if rng.random() < 0.6:
                cnp = f"1{rng.randint(50, 99):02d}{rng.randint(1, 12):02d}{rng.randint(1, 28):02d}{rng.randint(0, 999999):06d}"
                p.add_run(f"CNP {cnp}, tel. 07{rng.randint(20, 99)} {rng.randint(100, 999)} {rng.randint(100, 999)}, ")
                p.add_run(f"e-mail persoana{rng.randint(1, 9999)}@example.ro.").italic = True
                planted += 3
        table = d.add_table(rows=4, cols=3)
        for row in table.rows:
            row.cells[0].text = f"IBAN RO49AAAA1B3100759384{rng.randint(1000, 9999)}"
            row.cells[1].text = f"str. Observatorului nr. {rng.randint(1, 200)}"
            row.cells[2].text = "sumă achitată integral"
            planted += 2
        d.add_page_break()
    d.sections[0].header.paragraphs[0].text = "Contract de închiriere - anexa 1, CNP 1850101123456"
    d.sections[0].footer.paragraphs[0].text = "Pagina de semnături: tel. 0722 123 456"
    d.save(path)
    return planted


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pages", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    from tarnis import cli
    from tarnis.host.documents import anonymize_document, read_document

    folder = Path(tempfile.mkdtemp(prefix="tarnis-bench-docx-"))
    src = folder / "contract.docx"
    planted = build(src, args.pages)
    engine = cli.build_rules_engine()
    times = {"read": [], "analyze": [], "anonymize": [], "write": [], "restore (read + write)": []}
    for _ in range(args.rounds):
        t = time.perf_counter()
        doc = read_document(src)
        times["read"].append(time.perf_counter() - t)
        t = time.perf_counter()
        results = cli.detections(engine, doc.text, None)
        times["analyze"].append(time.perf_counter() - t)
        t = time.perf_counter()
        anonymized, entity_map, data = anonymize_document(doc, results)
        times["anonymize"].append(time.perf_counter() - t)
        fresh = read_document(src)
        t = time.perf_counter()
        (folder / "contract.anon.docx").write_bytes(fresh.with_lines(anonymized.split("\n"), entity_map))
        times["write"].append(time.perf_counter() - t)
        # anonymize_document writes the package too: its own time is the rest.
        times["anonymize"][-1] -= times["write"][-1]
        t = time.perf_counter()
        (folder / "back.docx").write_bytes(read_document(folder / "contract.anon.docx").restored(entity_map))
        times["restore (read + write)"].append(time.perf_counter() - t)
    print(f"{args.pages} pages, {len(doc.pieces)} pieces of text, {len(doc.text):,} characters, {planted} planted "
          f"identifiers, {len(results)} detections; {args.rounds} interleaved rounds; load average "
          f"{' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    for name, values in times.items():
        print(f"  {name:<24} median {statistics.median(values) * 1000:8.1f} ms   "
              f"(min {min(values) * 1000:.1f}, max {max(values) * 1000:.1f})")
    io_share = [(r + w) / a for r, w, a in zip(times["read"], times["write"], times["analyze"])]
    print(f"  reading + writing the package as a share of analyzing its text, per round: "
          f"{', '.join(f'{100 * x:.0f}%' for x in io_share)} (median {100 * statistics.median(io_share):.0f}%)")
    print(f"  peak resident memory: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
