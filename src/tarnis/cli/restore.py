"""`tarnis restore`: the original text put back in place of the placeholders."""

from __future__ import annotations

from pathlib import Path

from tarnis.cli.console import EXIT_FAILED, EXIT_OK, Console
from tarnis.cli.files import _is_word, _same_file, read_input
from tarnis.cli.options import map_keys
from tarnis.cli.outputs import MAP_FILE_MODE
from tarnis.cli.staging import write_outputs
from tarnis.host.defaults import PLACEHOLDER as _PLACEHOLDER
from tarnis.host.errors import DocumentError, UsageError, shown
from tarnis.host.errors import count as _count
from tarnis.host.errors import listed as _shown
from tarnis.host.maps import (_RESTORE_FLOOR, _RESTORE_GROWTH, case_document, map_mismatch, read_entity_map,
                              restored_length)
from tarnis.host.spellings import SpellingsError, exact_occurrences, has_spellings, put_in


def cmd_restore(args, console: Console) -> int:
    from tarnis.processing import deanonymize_text

    source, map_path = Path(args.file), Path(args.map)
    out = Path(args.output) if args.output else None
    if out is not None:
        for given in (source, map_path):
            if _same_file(out, given):
                raise UsageError(f"-o {shown(out)} is an input of this command; inputs are never overwritten")
    word = _is_word(source)
    if word and out is None:
        raise UsageError(f"restoring the Word document {shown(source)} needs -o OUT.docx")
    keys = map_keys(args)
    try:
        document = read_input(source)
        text = document.text
        loaded = read_entity_map(map_path, keys)
    except DocumentError as e:
        console.error(str(e))
        return EXIT_FAILED
    entity_map = loaded.entity_map
    own = loaded.own
    case = loaded.documents is not None
    info = loaded.info
    if case:
        # The document of the case this text is: its fingerprint, and the
        # placeholder-shaped texts it held itself (which later documents may
        # have given to entities: in this text they stay as they are).
        info, own = case_document(text, loaded.documents)
        if own:
            entity_map = {t: {k: v for k, v in inner.items() if v not in own} for t, inner in entity_map.items()}

    mismatch = None
    if case and info is None:
        console.warning(f"{shown(map_path)}: a case map without documents: it cannot be checked against {source}, "
                        "only its placeholders can")
    elif info is None:
        console.warning(f"{shown(map_path)}: a map without the fingerprint of its text (written by an earlier "
                        f"version): it cannot be checked against {source}, only its placeholders can")
    else:
        mismatch = map_mismatch(text, info, f"the case map {map_path}" if case else str(map_path))
        if mismatch is not None and case and mismatch.startswith("not the text"):
            mismatch = (f"not a document of the case map {shown(map_path)} (none of its "
                        f"{_count(len(loaded.documents), 'document')} shares half its lines; a document of "
                        "another case?)")
        if mismatch is not None:
            if not args.partial:
                console.error(f"{shown(source)}: {mismatch}; nothing was restored (--partial restores a text edited "
                              "on purpose)")
                return EXIT_FAILED
            console.warning(f"{shown(source)}: {mismatch}; restored anyway (--partial)")
    # The spelling of every occurrence, for the text the map was made for.
    exact = None
    if mismatch is None and info is not None and has_spellings(info):
        try:
            exact = exact_occurrences(text, entity_map, info)
        except SpellingsError as e:
            if not args.partial:
                console.error(f"{shown(map_path)}: {e}; nothing was restored (--partial restores with the "
                              "map's texts, one spelling per placeholder)")
                return EXIT_FAILED
            console.warning(f"{shown(map_path)}: {e}; restored with the map's texts, one spelling per "
                            "placeholder (--partial)")

    known = {p for inner in entity_map.values() for p in inner.values()}
    found = list(dict.fromkeys(_PLACEHOLDER.findall(text)))
    unknown = [p for p in found if p not in known and p not in own]
    if unknown:
        # Most likely the map of another document: restoring the placeholders
        # the two share would put that document's data into this one.
        what = f"{_count(len(unknown), 'placeholder')} not in {shown(map_path)}: {_shown(unknown)}"
        if not args.partial:
            console.error(f"{shown(source)}: {what}; is it the map of this document? Nothing was restored "
                          "(--partial restores the placeholders the map knows and leaves the others)")
            return EXIT_FAILED
        console.warning(f"{shown(source)}: {what}; left as they are")
    present = set(found)
    # A case map holds the placeholders of every document of the case.
    unused = [] if case else [p for inner in entity_map.values() for p in inner.values() if p not in present]
    if unused:
        unused = list(dict.fromkeys(unused))
        console.warning(f"{shown(source)}: {_count(len(unused), 'placeholder')} of {shown(map_path)} not in the text "
                        f"(text removed after anonymizing?): {_shown(unused)}")
    size = restored_length(text, entity_map) if exact is None else len(text) + sum(map(len, exact)) - sum(
        map(len, _PLACEHOLDER.findall(text)))
    limit = max(_RESTORE_GROWTH * len(text), _RESTORE_FLOOR)
    if size > limit:
        console.error(f"{shown(source)}: restoring from {shown(map_path)} would give {size:,} characters, more than "
                      f"{limit:,} ({_RESTORE_GROWTH} times the text, at least {_RESTORE_FLOOR:,}); "
                      "is it a map made by tarnis anonymize? Nothing was restored")
        return EXIT_FAILED
    if word:
        restored = document.restored(entity_map, exact)
    else:
        restored = (deanonymize_text(text, entity_map) if exact is None else put_in(text, exact)).encode("utf-8")

    if out is None:
        console.out(restored.decode("utf-8"))
    else:
        try:
            # The restored text is the original document: as private as the map.
            write_outputs([(out, restored, MAP_FILE_MODE)], force=args.force)
        except DocumentError as e:
            console.error(str(e))
            return EXIT_FAILED
        except OSError as e:
            console.error(f"{shown(out)}: cannot write: {e.strerror or e}")
            return EXIT_FAILED
    replaced = sum(1 for m in _PLACEHOLDER.finditer(text) if m.group(0) in known)
    console.info(f"restored {replaced} placeholder{'s' if replaced != 1 else ''}"
                 f"{f' into {shown(out)}' if out is not None else ''}")
    return EXIT_OK
