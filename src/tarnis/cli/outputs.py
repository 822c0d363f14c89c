"""What the command leaves of one document: the anonymized text and its map
written as one step, or what `detect` prints about it."""

from __future__ import annotations

import json
import re
from collections import Counter
from pathlib import Path

from tarnis.cli.staging import write_outputs
from tarnis.host.errors import shown
from tarnis.host.mapcrypt import seal_map
from tarnis.host.maps import entity_map_json, map_file_json
from tarnis.host.pipeline import placeholder_counts, restoration_warning

# The entity map holds the personal data itself: only its owner may read it.
MAP_FILE_MODE = 0o600


def write_anonymized(source: Path, text: str, anonymized: str, entity_map: dict, anon: Path, emap: Path,
                     force: bool, text_mode: int, warn, data: bytes | None = None, sealer=None) -> Counter:
    """Write a document's entity map (with the spellings that restore `text`
    exactly where the map alone would not; encrypted with `sealer`, a
    tarnis.host.mapcrypt.MapSealer, unless None), then its anonymized text
    (or `data`, the anonymized Word package); `warn` is told when restoring
    would not give back `text`. Returns the placeholders in the text by type."""
    content, exact = map_file_json(text, anonymized, entity_map)
    if not exact:
        warn(restoration_warning(source, text, anonymized, entity_map))
    map_data = seal_map(content.encode("utf-8"), sealer)
    anonymized_data = anonymized.encode("utf-8") if data is None else data
    write_outputs([(emap, map_data, MAP_FILE_MODE), (anon, anonymized_data, text_mode)], force=force)
    return placeholder_counts(anonymized, entity_map)


def write_case_map(path: Path, entity_map: dict, documents: dict, sealer=None) -> None:
    """Write a case map (replacing the one in place, which it extends) as
    one step: staged, then renamed; encrypted with `sealer` unless None."""
    content = entity_map_json(entity_map, documents=documents).encode("utf-8")
    write_outputs([(path, seal_map(content, sealer), MAP_FILE_MODE)], force=True)


_SURROGATE = re.compile(r"[\ud800-\udfff]")


def _json_line(record: dict) -> str:
    """One JSON line, non-ASCII text as it is; the bytes of a file name that
    are not UTF-8 (lone surrogates here) as JSON escapes, which read back as
    the same name."""
    line = json.dumps(record, ensure_ascii=False)
    return _SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", line) + "\n"


def detect_output(source: Path, text: str, results: list, as_json: bool, verdicts: dict | None = None,
                  kept: list | None = None) -> str:
    """What `detect` prints for one document: one JSON line per detection, or
    a header and a table. With `verdicts` (--verify) each detection shows the
    model's verdict and `kept` those that stay."""
    if as_json:
        return "".join(_json_line({
            "file": str(source),
            "entity_type": r.entity_type,
            "start": r.start,
            "end": r.end,
            "score": r.score,
            "recognizer": (r.recognition_metadata or {}).get("recognizer_name"),
            "text": text[r.start:r.end],
            **(_verdict_fields(r, verdicts) if verdicts is not None else {}),
        }) for r in results)
    header = f"== {shown(source)}: {len(results)} detection{'s' if len(results) != 1 else ''}"
    if verdicts is not None:
        header += f", {len(kept)} kept after verification"
    return header + "\n" + (_table(results, text, verdicts) if results else "") + "\n"


def _verdict_fields(r, verdicts: dict) -> dict:
    """What the model said about one detection: sent or not, its verdict
    (accepted, rejected, reclassified), its reason and the type before a
    reclassification."""
    if id(r) not in verdicts:
        return {"slm_sent": False, "slm_verdict": None, "slm_reason": None, "slm_original_type": None}
    v = verdicts[id(r)]
    if v is None:
        return {"slm_sent": True, "slm_verdict": None, "slm_reason": None, "slm_original_type": None}
    reclassified = v.accepted and r.entity_type != v.original_entity_type
    verdict = "reclassified" if reclassified else "accepted" if v.accepted else "rejected"
    return {"slm_sent": True, "slm_verdict": verdict, "slm_reason": v.reason,
            "slm_original_type": v.original_entity_type if reclassified else None}


def _escaped(value: str) -> str:
    return json.dumps(value, ensure_ascii=False)[1:-1]


def _table(results, text: str, verdicts: dict | None = None) -> str:
    rows = []
    for r in results:
        row = [r.entity_type, str(r.start), str(r.end), f"{r.score:.2f}",
               str(r.recognition_metadata.get("recognizer_name", "") if r.recognition_metadata else "")]
        if verdicts is not None:
            f = _verdict_fields(r, verdicts)
            verdict = "-" if not f["slm_sent"] else (f["slm_verdict"] or "no answer")
            if f["slm_original_type"]:
                verdict += f" (was {f['slm_original_type']})"
            row += [verdict, _escaped(f["slm_reason"] or "")]
        rows.append(row + [_escaped(text[r.start:r.end])])
    header = ["TYPE", "START", "END", "SCORE", "RECOGNIZER"] + (["SLM", "REASON"] if verdicts is not None else [])
    header.append("TEXT")
    padded = len(header) - 1
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(padded)]
    right = {1, 2, 3}

    def line(row):
        cells = [row[i].rjust(widths[i]) if i in right else row[i].ljust(widths[i]) for i in range(padded)]
        return "  ".join(cells + [row[padded]])

    return "\n".join(line(row) for row in [header, *rows]) + "\n"
