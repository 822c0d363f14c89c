"""`tarnis keygen FILE`: a new random key for encrypted maps."""

from __future__ import annotations

from pathlib import Path

from tarnis.cli.console import EXIT_OK, Console
from tarnis.host.errors import shown
from tarnis.host.mapcrypt import KEY_BYTES, write_key_file


def cmd_keygen(args, console: Console) -> int:
    path = Path(args.file)
    write_key_file(path)
    console.info(f"wrote a new {KEY_BYTES}-byte key to {shown(path)} (mode 600); keep a copy in a safe place: "
                 "the maps encrypted with it cannot be opened without it")
    return EXIT_OK
