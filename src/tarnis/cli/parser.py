"""The command line of `tarnis`: its commands and their options."""

from __future__ import annotations

import argparse

from tarnis import __version__
from tarnis.cli.anonymize import cmd_anonymize
from tarnis.cli.detect import cmd_detect
from tarnis.cli.keygen import cmd_keygen
from tarnis.cli.options import _add_common, _add_map_keys, _add_models, _add_slm
from tarnis.cli.restore import cmd_restore
from tarnis.cli.spark_command import add_spark_command


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnis",
        description="Find personal data in Romanian and Moldovan documents, replace it by numbered "
                    "placeholders, and restore it later from the entity map.",
        epilog="Exit status: 0 success, 1 some documents failed, 2 usage error or models not available.")
    parser.add_argument("--version", action="version", version=f"tarnis {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("anonymize", help="anonymize documents: NAME.txt -> NAME.anon.txt and NAME.map.json",
                       description="Anonymize UTF-8 text files. A folder stands for every *.txt below it "
                                   "(files named *.anon.txt excepted). NAME.txt gives NAME.anon.txt (the "
                                   "anonymized text) and NAME.map.json (the entity map, readable only by "
                                   "you), next to the input or under OUTDIR with the folder structure kept.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="text file or folder")
    p.add_argument("-o", "--output", metavar="OUTDIR", help="folder for the outputs (default: beside each input)")
    p.add_argument("-f", "--force", action="store_true", help="overwrite existing outputs")
    p.add_argument("--map", metavar="CASE.map.json",
                   help="anonymize every document against one entity map, the case map: the same entity gets "
                        "the same placeholder in every document, new ones are numbered after those the map "
                        "holds; the file is extended when it exists (every earlier placeholder kept) and "
                        "created otherwise. No NAME.map.json is written per document in this mode; "
                        "`tarnis restore FILE --map CASE.map.json` restores any document of the case. The "
                        "numbering depends only on the documents and their order, not on --jobs; a second "
                        "run on the same map at once is refused (lock file CASE.map.json.lock)")
    _add_models(p)
    _add_slm(p, review=True)
    _add_map_keys(p, anonymize=True)
    _add_common(p)
    p.set_defaults(run=cmd_anonymize)

    p = sub.add_parser("restore", help="restore an anonymized document from its entity map",
                       description="Put the original texts back in place of the placeholders, every "
                                   "occurrence as it was spelt (the map records the spellings). A text "
                                   "holding placeholders that the map does not know (the map of another "
                                   "document?) is an error and nothing is written, unless --partial.")
    p.add_argument("file", metavar="FILE", help="anonymized text file")
    p.add_argument("--map", required=True, metavar="MAP.json",
                   help="the entity map written by anonymize: the document's own NAME.map.json, or the case "
                        "map of anonymize --map (an encrypted one needs its key: the passphrase in "
                        "TARNIS_MAP_KEY or --key-file)")
    p.add_argument("-o", "--output", metavar="OUT", help="file to write (default: standard output)")
    p.add_argument("-f", "--force", action="store_true", help="overwrite OUT if it exists")
    p.add_argument("--partial", action="store_true",
                   help="restore what the map knows even when the text holds placeholders it does not know "
                        "(they are left as they are, with a warning), or was edited, or the map's spellings do not "
                        "fit (then one spelling per placeholder comes back)")
    _add_map_keys(p, anonymize=False)
    _add_common(p)
    p.set_defaults(run=cmd_restore)

    p = sub.add_parser("keygen", help="make a key file for encrypted maps",
                       description="Write a new random 32-byte key to FILE, readable by you only, for "
                                   "`anonymize --encrypt-map --key-file FILE` and `restore --key-file FILE`. "
                                   "An existing FILE is never overwritten.")
    p.add_argument("file", metavar="FILE", help="the key file to create")
    _add_common(p)
    p.set_defaults(run=cmd_keygen)

    p = sub.add_parser("detect", help="print what would be anonymized",
                       description="Print the detections of each document (after overlap resolution and "
                                   "the denylist filter): entity type, offsets, score, recognizer and text.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="text file or folder")
    p.add_argument("--json", action="store_true", help="one JSON object per detection and line")
    p.add_argument("--raw", action="store_true",
                   help="every result of the recognizers, before overlap resolution and the denylist filter")
    _add_models(p)
    _add_slm(p, review=False)
    _add_common(p)
    p.set_defaults(run=cmd_detect)

    add_spark_command(sub)     # Spark itself is imported only when that command runs
    return parser
