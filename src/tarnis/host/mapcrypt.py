"""Encrypted map files: the bytes of a map file sealed with AES-256-GCM
under a key from a passphrase (scrypt) or from a key file, and opened again.

A sealed file is a header followed by the ciphertext and its 16-byte tag:

    offset  size  field
    0       8     magic b"\\x89TARNIS\\n"
    8       1     version, 1
    9       1     key kind: 1 passphrase (scrypt), 2 key file (raw 32-byte key)
    10      19    passphrase only: log2(n), r, p (one byte each), 16-byte salt
    ..      12    nonce (random for every file)
    ..      16    key check: HMAC-SHA256 of the header before it, truncated
    ..      ...   AES-256-GCM ciphertext of the map's JSON, then the 16-byte tag

The whole header is the associated data of the cipher, so a changed header
byte fails like a changed ciphertext byte. The master key (from scrypt or the
key file) is never used directly: HKDF-SHA256 derives from it the cipher key
and the key-check key, and the key check tells a wrong key from a damaged
file before decryption is tried.

The key source is resolved once per run (`MapKeys`): a passphrase goes
through scrypt once for all the maps a run writes (one salt per run, a fresh
nonce per file), and once per salt for the maps a run reads. No key,
passphrase or derived key is ever logged, printed or put in a message: the
objects that hold one show nothing of it.
"""

from __future__ import annotations

import hmac
import os
import stat
from dataclasses import dataclass
from hashlib import sha256
from pathlib import Path

from tarnis.host.errors import UsageError, shown

MAGIC = b"\x89TARNIS\n"
VERSION = 1
KIND_PASSPHRASE = 1
KIND_KEY_FILE = 2

KEY_ENV = "TARNIS_MAP_KEY"
KEY_BYTES = 32
SALT_BYTES = 16
NONCE_BYTES = 12
CHECK_BYTES = 16
TAG_BYTES = 16

# scrypt as written: 2**15 x 8 x 128 bytes = 32 MiB, about 0.1 s here.
SCRYPT_LOG2_N = 15
SCRYPT_R = 8
SCRYPT_P = 1
# What a file's header may ask for when read: enough for stronger settings,
# not so much that an edited header could exhaust memory or time.
SCRYPT_MAX_MEMORY = 256 * 2**20
SCRYPT_MAX_LOG2_N = 20
SCRYPT_MAX_P = 16

_INFO_CIPHER = b"tarnis map v1 aes-256-gcm"
_INFO_CHECK = b"tarnis map v1 key check"


class MapKeyError(UsageError):
    """A map that cannot be sealed or opened: no key, a wrong key, a key file
    that is not one, a damaged or truncated encrypted file (exit status 2).
    Messages never hold a key or a passphrase."""


def is_sealed(data: bytes) -> bool:
    """Whether `data` is (or begins like) an encrypted map file. A JSON map
    begins with "{" (or white space); the magic's first byte is no UTF-8 text."""
    return len(data) > 0 and data[:len(MAGIC)] == MAGIC[:len(data)]


def _derive(master: bytes) -> tuple[bytes, bytes]:
    """(cipher key, key-check key) of a master key."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.kdf.hkdf import HKDF

    keys = []
    for info in (_INFO_CIPHER, _INFO_CHECK):
        keys.append(HKDF(algorithm=hashes.SHA256(), length=KEY_BYTES, salt=None, info=info).derive(master))
    return keys[0], keys[1]


def _scrypt(passphrase: bytes, salt: bytes, log2_n: int, r: int, p: int) -> bytes:
    from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

    return Scrypt(salt=salt, length=KEY_BYTES, n=2**log2_n, r=r, p=p).derive(passphrase)


def _check(check_key: bytes, header: bytes) -> bytes:
    return hmac.new(check_key, header, sha256).digest()[:CHECK_BYTES]


class _Hidden:
    """Holds key material; shows none of it."""

    __slots__ = ()

    def __repr__(self) -> str:
        return f"<{type(self).__name__}>"


class MapSealer(_Hidden):
    """Seals the map files of one run: the key is derived once (for a
    passphrase, with one random salt for the run), each file gets its own
    nonce. Picklable, so worker processes can seal the maps they write."""

    __slots__ = ("_prefix", "_cipher", "_check")

    def __init__(self, prefix: bytes, cipher_key: bytes, check_key: bytes):
        self._prefix, self._cipher, self._check = prefix, cipher_key, check_key

    def __getstate__(self):
        return self._prefix, self._cipher, self._check

    def __setstate__(self, state):
        self._prefix, self._cipher, self._check = state

    def seal(self, data: bytes) -> bytes:
        """The encrypted file of the map file's bytes `data`."""
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM

        nonce = os.urandom(NONCE_BYTES)
        header = self._prefix + nonce
        header += _check(self._check, header)
        return header + AESGCM(self._cipher).encrypt(nonce, data, header)


@dataclass(frozen=True)
class _Header:
    kind: int
    params: tuple[int, int, int] | None      # scrypt's log2(n), r, p
    salt: bytes | None
    nonce: bytes
    check: bytes
    raw: bytes


def _parse_header(data: bytes, name: str) -> _Header:
    """The header of the sealed file `data` (named `name` in messages)."""
    def short() -> MapKeyError:
        return MapKeyError(f"{name}: an encrypted map cut short ({len(data)} bytes); the file is damaged")

    if data[:len(MAGIC)] != MAGIC[:len(data)]:
        raise MapKeyError(f"{name}: not an encrypted map (no tarnis header)")
    if len(data) < len(MAGIC) + 2:
        raise short()
    version, kind = data[len(MAGIC)], data[len(MAGIC) + 1]
    if version != VERSION:
        raise MapKeyError(f"{name}: an encrypted map of format version {version}, not known to this version "
                          f"(it reads version {VERSION})")
    at = len(MAGIC) + 2
    params = salt = None
    if kind == KIND_PASSPHRASE:
        if len(data) < at + 3 + SALT_BYTES:
            raise short()
        params = tuple(data[at:at + 3])
        salt = data[at + 3:at + 3 + SALT_BYTES]
        at += 3 + SALT_BYTES
        log2_n, r, p = params
        if not (1 <= log2_n <= SCRYPT_MAX_LOG2_N and r >= 1 and 1 <= p <= SCRYPT_MAX_P
                and 128 * r * 2**log2_n <= SCRYPT_MAX_MEMORY):
            raise MapKeyError(f"{name}: the header asks for scrypt parameters out of bounds (n=2**{log2_n}, r={r}, "
                              f"p={p}); the file is damaged or was not written by tarnis")
    elif kind != KIND_KEY_FILE:
        raise MapKeyError(f"{name}: unknown key kind {kind} in the header of an encrypted map; the file is damaged")
    if len(data) < at + NONCE_BYTES + CHECK_BYTES + TAG_BYTES:
        raise short()
    nonce = data[at:at + NONCE_BYTES]
    check = data[at + NONCE_BYTES:at + NONCE_BYTES + CHECK_BYTES]
    return _Header(kind, params, salt, nonce, check, data[:at + NONCE_BYTES + CHECK_BYTES])


def _kind_name(kind: int) -> str:
    return f"a passphrase ({KEY_ENV})" if kind == KIND_PASSPHRASE else "a key file (--key-file)"


class MapKeys(_Hidden):
    """Where the key of a run's maps comes from: a passphrase (the variable
    TARNIS_MAP_KEY), a key file, or nowhere (plain maps only). Resolved once
    per run; derived keys are kept for the salts already seen."""

    __slots__ = ("_passphrase", "_key", "_key_file", "_derived")

    def __init__(self, passphrase: bytes | None = None, key: bytes | None = None, key_file: str | None = None):
        self._passphrase, self._key, self._key_file = passphrase, key, key_file
        self._derived: dict = {}

    @classmethod
    def resolve(cls, key_file: str | None = None, environ=None) -> MapKeys:
        """The key source of a run: `key_file` (a raw 32-byte key, readable
        by its owner only) or the passphrase in TARNIS_MAP_KEY; both given is
        an error (which one was meant?). An empty variable counts as unset."""
        environ = os.environ if environ is None else environ
        value = environ.get(KEY_ENV) or None
        if key_file is not None and value is not None:
            raise MapKeyError(f"both --key-file and the variable {KEY_ENV} give a map key; unset the variable "
                              f"({KEY_ENV}= tarnis ...) or leave out --key-file")
        if key_file is not None:
            return cls(key=read_key_file(Path(key_file)), key_file=key_file)
        if value is not None:
            return cls(passphrase=os.fsencode(value))
        return cls()

    @property
    def available(self) -> bool:
        return self._passphrase is not None or self._key is not None

    def _where(self) -> str:
        if self._key is not None:
            return f"the key file {shown(self._key_file)}"
        return f"the passphrase in {KEY_ENV}"

    def sealer(self) -> MapSealer:
        """What seals the maps of this run (a passphrase's key derived here,
        once, with a new random salt)."""
        prefix = MAGIC + bytes([VERSION])
        if self._key is not None:
            return MapSealer(prefix + bytes([KIND_KEY_FILE]), *_derive(self._key))
        if self._passphrase is None:
            raise MapKeyError(f"--encrypt-map needs a key: a passphrase in the variable {KEY_ENV}, or "
                              "--key-file FILE (made by `tarnis keygen FILE`)")
        params = (SCRYPT_LOG2_N, SCRYPT_R, SCRYPT_P)
        salt = os.urandom(SALT_BYTES)
        keys = self._keys(KIND_PASSPHRASE, params, salt)
        return MapSealer(prefix + bytes([KIND_PASSPHRASE, *params]) + salt, *keys)

    def _keys(self, kind: int, params, salt) -> tuple[bytes, bytes]:
        if kind == KIND_KEY_FILE:
            return _derive(self._key)
        cached = self._derived.get((params, salt))
        if cached is None:
            try:
                master = _scrypt(self._passphrase, salt, *params)
            except (ValueError, MemoryError):
                raise MapKeyError(f"scrypt with n=2**{params[0]}, r={params[1]}, p={params[2]} is not available "
                                  "here") from None
            cached = self._derived[(params, salt)] = _derive(master)
        return cached

    def open(self, data: bytes, name: str) -> bytes:
        """The map file's bytes of the sealed file `data` (named `name` in
        messages): MapKeyError for a missing or wrong key and for a file
        damaged, truncated or changed in any byte."""
        from cryptography.exceptions import InvalidTag
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM

        header = _parse_header(data, name)
        needed = _kind_name(header.kind)
        if header.kind == KIND_KEY_FILE and self._key is None or \
                header.kind == KIND_PASSPHRASE and self._passphrase is None:
            given = f"; {self._where()} is not that" if self.available else ""
            raise MapKeyError(f"{name}: an encrypted map; it opens with {needed}{given}. Nothing was restored")
        cipher_key, check_key = self._keys(header.kind, header.params, header.salt)
        if not hmac.compare_digest(_check(check_key, header.raw[:-CHECK_BYTES]), header.check):
            raise MapKeyError(f"{name}: {self._where()} does not open this encrypted map (a wrong key, or its "
                              "header was changed). Nothing was restored")
        try:
            return AESGCM(cipher_key).decrypt(header.nonce, data[len(header.raw):], header.raw)
        except InvalidTag:
            raise MapKeyError(f"{name}: the encrypted map was changed or cut short after it was written (its "
                              "authentication fails); the file is damaged. Nothing was restored") from None


def read_key_file(path: Path) -> bytes:
    """The raw key in `path`: exactly 32 bytes, a regular file that only its
    owner can read or write."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    except OSError as e:
        raise MapKeyError(f"--key-file {shown(path)}: cannot read: {e.strerror or e}") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise MapKeyError(f"--key-file {shown(path)}: not a regular file")
        if info.st_mode & 0o077:
            raise MapKeyError(f"--key-file {shown(path)}: readable or writable by others (mode "
                              f"{stat.S_IMODE(info.st_mode):03o}); make it private: chmod 600 {shown(path)}")
        data = os.read(fd, KEY_BYTES + 1)
    except OSError as e:
        raise MapKeyError(f"--key-file {shown(path)}: cannot read: {e.strerror or e}") from None
    finally:
        os.close(fd)
    if len(data) != KEY_BYTES:
        raise MapKeyError(f"--key-file {shown(path)}: {'more' if len(data) > KEY_BYTES else len(data)} "
                          f"{'than ' if len(data) > KEY_BYTES else ''}bytes, not a key (a key file holds "
                          f"exactly {KEY_BYTES} bytes; make one with `tarnis keygen FILE`)")
    return data


def write_key_file(path: Path) -> None:
    """A new random key in `path`, mode 600; an existing file is never
    overwritten, and nothing is left of a key that could not be written whole."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), 0o600)
    except FileExistsError:
        raise MapKeyError(f"{shown(path)} already exists; a key file is never overwritten (the maps "
                          "sealed with it could no longer be opened)") from None
    except OSError as e:
        raise MapKeyError(f"{shown(path)}: cannot create: {e.strerror or e}") from None
    try:
        os.fchmod(fd, 0o600)
        view = memoryview(os.urandom(KEY_BYTES))
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    except OSError as e:
        os.close(fd)
        os.unlink(path)
        raise MapKeyError(f"{shown(path)}: cannot write: {e.strerror or e}") from None
    os.close(fd)


def seal_map(data: bytes, sealer: MapSealer | None) -> bytes:
    """The map file's bytes as written: sealed with `sealer`, or as they are."""
    return data if sealer is None else sealer.seal(data)


def open_map(data: bytes, keys: MapKeys | None, name: str) -> bytes:
    """The map file's bytes of a file's content `data`: opened with `keys`
    when it is sealed, else as they are."""
    if not is_sealed(data):
        return data
    return (keys or MapKeys()).open(data, name)


def header_fields(data: bytes) -> dict:
    """What the header of a sealed file says, for tools and tests: the key
    kind, scrypt's parameters and the sizes (no key material)."""
    header = _parse_header(data, "the data")
    fields = {"version": VERSION, "kind": "passphrase" if header.kind == KIND_PASSPHRASE else "key-file",
              "header_bytes": len(header.raw), "ciphertext_bytes": len(data) - len(header.raw)}
    if header.params is not None:
        fields.update(n=2**header.params[0], r=header.params[1], p=header.params[2])
    return fields

