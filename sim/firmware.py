"""What a module's firmware says about itself: the packed version word and
the identity record that a firmware image carries.

Version words come in two layouts. Current: 0x2F in the top byte, then
major, minor, patch (8 bits each). Legacy: major in bits 28-31, minor in
bits 24-27, a 24-bit patch. Versions up to 2.14.x are packed legacy, later
ones current, unless a layout is asked for.

A firmware image names its build and version in a 64-byte record of four
16-byte space-padded ASCII fields: build (decimal), version text, serial
number (8 hex digits, then 8 bytes), model name; the same record as the
package's INFO block. After a reboot into new firmware the module finds
that record in the flash it was given and reports what it says.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

FIELD = 16
RECORD = 64
_VERSION_TEXT = re.compile(rb"(\d{1,3})\.(\d{1,3})\.(\d{1,8}) *")
_BUILD_TEXT = re.compile(rb"\d{1,15} *")


def pack_version(major: int, minor: int, patch: int, layout: str = "auto") -> int:
    """layout: "auto" (by the version), "current" or "legacy"."""
    if layout == "auto":
        layout = "current" if major > 2 or (major == 2 and minor > 14) else "legacy"
    if layout == "current":
        return 0x2F000000 | (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF)
    if layout == "legacy":
        return (major & 0xF) << 28 | (minor & 0xF) << 24 | (patch & 0xFFFFFF)
    raise ValueError("version layout is auto, current or legacy")


def is_legacy(word: int) -> bool:
    return (word >> 28, (word >> 24) & 0xF) < (2, 15)


def unpack_version(word: int) -> tuple[int, int, int]:
    if is_legacy(word):
        return word >> 28, (word >> 24) & 0xF, word & 0xFFFFFF
    return (word >> 16) & 0xFF, (word >> 8) & 0xFF, word & 0xFF


def parse_version(text: str) -> int:
    """"2.11.4", "2.11.4/legacy", "2.15.0/current" or a raw word "0x2F020F00"."""
    text = text.strip()
    if text.lower().startswith("0x"):
        return int(text, 16)
    numbers, _, layout = text.partition("/")
    parts = [int(p) for p in numbers.split(".")]
    if len(parts) != 3:
        raise ValueError("a version is MAJOR.MINOR.PATCH")
    return pack_version(*parts, layout=layout or "auto")


def version_text(word: int) -> str:
    return "%d.%d.%d" % unpack_version(word)


@dataclass
class Identity:
    build: int
    version: str
    serial: str
    model: str

    def version_word(self) -> int:
        major, minor, patch = (int(p) for p in self.version.split("."))
        return pack_version(major, minor, patch)


def identity_record(build: int, version: str, serial: int | str = 0, model: str = "") -> bytes:
    """The 64-byte record, as a build embeds it in its image."""
    serial_text = serial if isinstance(serial, str) else "%08X" % serial
    fields = [str(build), version, serial_text, model]
    return b"".join(f.encode("ascii")[:FIELD].ljust(FIELD, b" ") for f in fields)


def find_identity(image: bytes) -> Identity | None:
    """The first identity record in an image, or None."""
    for match in _VERSION_TEXT.finditer(image):
        start = match.start() - FIELD
        if start < 0 or len(image) < start + RECORD:
            continue
        build_field = image[start:start + FIELD]
        version_field = image[match.start():match.start() + FIELD]
        if not _BUILD_TEXT.fullmatch(build_field) or not _VERSION_TEXT.fullmatch(version_field):
            continue
        text = lambda at: image[start + at:start + at + FIELD].decode("ascii", "replace")
        version = version_field.decode("ascii").strip()
        return Identity(int(build_field), version, text(32)[:8].strip(), text(48).strip())
    return None
