#!/usr/bin/env python3
"""Bird firmware package writer and reader (standard library only).

Built from the file layout alone, so that it and the updater's own reader
check each other. Layout:

  file     "bird", two version bytes, then one zlib stream (the payload)
  payload  u32 declared block count, block records, u32 checksum
  record   u8 type|flags<<5, u32 length, length payload bytes
All integers are big-endian.

As a module:
  build_bird(blocks, ...) -> bytes      whole file
  build_payload(blocks, ...) -> bytes   the decompressed payload alone
  parse_bird(bytes) -> BirdContents     what a file holds, tolerant of damage
  encode_for_chip(blocks, fingerprint)  per-chip firmware encoding
  build_from_description(dict) -> bytes        the JSON description used by `build`

As a command:
  birdfile.py build --description FILE.json -o OUT [--raw]
  birdfile.py show FILE [--json]
  birdfile.py encode --fingerprint W0,W1,W2,W3 -i IN -o OUT [--level N]
"""

import argparse
import json
import random
import struct
import sys
import zlib
from dataclasses import dataclass, field
from typing import List, Optional, Sequence

SIGNATURE = b"bird"
VERSION = b"\x01\x01"
TYPE_MASK = 0x1F
FLAG_MASK = 0xE0

BLOCK_LOADER = 0
BLOCK_FIRMWARE = 1
BLOCK_SERIAL_OFFSETS = 2
BLOCK_INFO = 4
BLOCK_LOADER_START = 5

BLOCK_NAMES = {
    BLOCK_LOADER: "loader",
    BLOCK_FIRMWARE: "firmware",
    BLOCK_SERIAL_OFFSETS: "serial_offsets",
    BLOCK_INFO: "info",
    BLOCK_LOADER_START: "loader_start",
}

INFO_FIELD = 16
INFO_SIZE = 64


def be32(value: int) -> bytes:
    return struct.pack(">I", value & 0xFFFFFFFF)


@dataclass
class Block:
    """One block record. `declared_length` lies about the length on purpose."""

    type: int
    payload: bytes = b""
    flags: int = 0
    declared_length: Optional[int] = None

    def record(self) -> bytes:
        if not 0 <= self.type <= TYPE_MASK or not 0 <= self.flags <= 7:
            raise ValueError("type must be 0..31 and flags 0..7")
        length = len(self.payload) if self.declared_length is None else self.declared_length
        return bytes([self.type | (self.flags << 5)]) + be32(length) + self.payload


def addressed_block(kind: int, address: int, image: bytes, flags: int = 0) -> Block:
    return Block(kind, be32(address) + bytes(image), flags)


def loader_block(address: int, image: bytes, flags: int = 0) -> Block:
    return addressed_block(BLOCK_LOADER, address, image, flags)


def firmware_block(address: int, image: bytes, flags: int = 0) -> Block:
    return addressed_block(BLOCK_FIRMWARE, address, image, flags)


def _info_field(text: str) -> bytes:
    raw = text.encode("ascii")
    if len(raw) > INFO_FIELD:
        raise ValueError("INFO field longer than 16 bytes: %r" % text)
    return raw.ljust(INFO_FIELD, b" ")


def info_block(build=0, version="", serial=0, model="", flags: int = 0) -> Block:
    """The 64-byte INFO block; `serial` is a number or the field's own text."""
    serial_text = serial if isinstance(serial, str) else "%08X" % serial
    payload = b"".join(_info_field(str(v)) for v in (build, version, serial_text, model))
    return Block(BLOCK_INFO, payload, flags)


def serial_offsets_block(serial_address: int, descriptor_address: int, flags: int = 0) -> Block:
    return Block(BLOCK_SERIAL_OFFSETS, be32(serial_address) + be32(descriptor_address), flags)


def loader_start_block(address: int, flags: int = 0) -> Block:
    return Block(BLOCK_LOADER_START, be32(address), flags)


def fingerprint_key(fingerprint: Sequence[int]) -> bytes:
    """Sixteen key bytes: the four words, each most significant byte first."""
    if len(fingerprint) != 4:
        raise ValueError("a fingerprint is four 32-bit words")
    return b"".join(be32(word) for word in fingerprint)


def encode_image(image: bytes, fingerprint: Sequence[int]) -> bytes:
    """Cipher byte = plain XOR key byte XOR previous plain byte."""
    key = fingerprint_key(fingerprint)
    out = bytearray(len(image))
    previous = 0
    for i, plain in enumerate(image):
        out[i] = plain ^ key[i % 16] ^ previous
        previous = plain
    return bytes(out)


def decode_image(image: bytes, fingerprint: Sequence[int]) -> bytes:
    key = fingerprint_key(fingerprint)
    out = bytearray(len(image))
    previous = 0
    for i, cipher in enumerate(image):
        previous = cipher ^ key[i % 16] ^ previous
        out[i] = previous
    return bytes(out)


def encode_for_chip(blocks: Sequence[Block], fingerprint: Sequence[int]) -> List[Block]:
    """Copies of the blocks with every firmware image encoded for one chip;
    the address word stays plain and the chain restarts at every block."""
    result = []
    for block in blocks:
        if block.type == BLOCK_FIRMWARE and len(block.payload) >= 4:
            payload = block.payload[:4] + encode_image(block.payload[4:], fingerprint)
            block = Block(block.type, payload, block.flags, block.declared_length)
        result.append(block)
    return result


def embed_info(blocks: List[Block], offset: Optional[int] = None) -> None:
    """Copies the INFO record into the first firmware image, as a build keeps
    its identity in its image: at `offset` into the image, or appended."""
    info = next((b for b in blocks if b.type == BLOCK_INFO), None)
    firmware = next((b for b in blocks if b.type == BLOCK_FIRMWARE), None)
    if info is None or firmware is None:
        raise ValueError("embed_info needs an info block and a firmware block")
    record = info.payload[:INFO_SIZE]
    if offset is None:
        firmware.payload = firmware.payload + record
    else:
        at = 4 + _number(offset)
        image = bytearray(firmware.payload.ljust(at + len(record), b"\xff"))
        image[at:at + len(record)] = record
        firmware.payload = bytes(image)


def build_payload(blocks: Sequence[Block], declared_count: Optional[int] = None,
                  checksum: Optional[int] = None, checksum_bytes: int = 4,
                  trailing: bytes = b"") -> bytes:
    """The decompressed payload. The checksum defaults to the CRC-32 of what
    precedes it; `checksum_bytes` < 4 truncates it; `trailing` follows it."""
    count = len(blocks) if declared_count is None else declared_count
    body = be32(count) + b"".join(block.record() for block in blocks)
    value = zlib.crc32(body) if checksum is None else checksum
    return body + be32(value)[:checksum_bytes] + trailing


def wrap_payload(payload: bytes, level: int = 9, signature: bytes = SIGNATURE,
                 version: bytes = VERSION) -> bytes:
    return signature + version + zlib.compress(payload, level)


def build_bird(blocks: Sequence[Block], level: int = 9, signature: bytes = SIGNATURE,
               version: bytes = VERSION, **payload_options) -> bytes:
    return wrap_payload(build_payload(blocks, **payload_options), level, signature, version)


def build_at_ratio(blocks: Sequence[Block], ratio: int = 8, extra: int = 0, level: int = 9,
                   **payload_options) -> bytes:
    """A file whose payload is exactly ratio x its compressed size + extra
    bytes, reached by appending a zero-filled block of a meaningless type."""
    for fill in range(0, 1 << 20):
        padded = list(blocks) + [Block(3, bytes(fill))]
        payload = build_payload(padded, **payload_options)
        compressed = zlib.compress(payload, level)
        if len(payload) == ratio * len(compressed) + extra:
            return SIGNATURE + VERSION + compressed
    raise ValueError("no padding reaches that ratio")


@dataclass
class ParsedBlock:
    type: int
    flags: int
    length: int
    payload: bytes
    truncated: bool = False

    @property
    def address(self) -> Optional[int]:
        if self.type in (BLOCK_LOADER, BLOCK_FIRMWARE) and len(self.payload) >= 4:
            return struct.unpack(">I", self.payload[:4])[0]
        return None


@dataclass
class BirdContents:
    signature: bytes = b""
    version: bytes = b""
    declared_count: Optional[int] = None
    blocks: List[ParsedBlock] = field(default_factory=list)
    checksum: Optional[int] = None
    leftover: int = 0
    payload_size: int = 0
    compressed_size: int = 0
    problems: List[str] = field(default_factory=list)


def parse_payload(payload: bytes, contents: Optional[BirdContents] = None) -> BirdContents:
    """Splits a payload into blocks; damage is reported, never raised.
    Records are taken while more than the 4 checksum bytes remain."""
    contents = contents or BirdContents()
    contents.payload_size = len(payload)
    if len(payload) < 4:
        contents.problems.append("payload shorter than its block count")
        return contents
    contents.declared_count = struct.unpack(">I", payload[:4])[0]
    cursor = 4
    while len(payload) - cursor > 4:
        kind = payload[cursor]
        length = struct.unpack(">I", payload[cursor + 1:cursor + 5])[0]
        start = cursor + 5
        end = start + length
        if end > len(payload):
            contents.blocks.append(ParsedBlock(kind & TYPE_MASK, kind >> 5, length,
                                               payload[start:], truncated=True))
            contents.problems.append("block %d runs past the payload" % len(contents.blocks))
            cursor = len(payload)
            break
        contents.blocks.append(ParsedBlock(kind & TYPE_MASK, kind >> 5, length, payload[start:end]))
        cursor = end
    tail = payload[cursor:]
    if len(tail) == 4:
        contents.checksum = struct.unpack(">I", tail)[0]
    elif cursor < len(payload):
        contents.problems.append("checksum truncated to %d bytes" % len(tail))
    if contents.declared_count != len(contents.blocks):
        contents.problems.append("declares %d blocks, holds %d"
                                 % (contents.declared_count, len(contents.blocks)))
    return contents


def parse_bird(data: bytes) -> BirdContents:
    contents = BirdContents(signature=data[:4], version=data[4:6])
    if contents.signature != SIGNATURE or len(contents.version) != 2 or 0 in contents.version:
        contents.problems.append("bad header")
    contents.compressed_size = max(len(data) - 6, 0)
    try:
        payload = zlib.decompress(data[6:])
    except zlib.error as error:
        contents.problems.append("payload does not decompress: %s" % error)
        return contents
    return parse_payload(payload, contents)


def info_fields(payload: bytes) -> List[str]:
    return [payload[i:i + INFO_FIELD].decode("ascii", "replace")
            for i in range(0, min(len(payload), INFO_SIZE), INFO_FIELD)]


def describe(contents: BirdContents) -> str:
    lines = ["signature %r version %s" % (contents.signature, contents.version.hex()),
             "payload %d bytes from %d compressed" % (contents.payload_size, contents.compressed_size),
             "declared blocks %s, parsed %d" % (contents.declared_count, len(contents.blocks))]
    for index, block in enumerate(contents.blocks):
        name = BLOCK_NAMES.get(block.type, "type %d" % block.type)
        text = "  [%d] %-14s flags %d length %d" % (index, name, block.flags, block.length)
        if block.address is not None:
            text += " address 0x%08X" % block.address
        if block.type == BLOCK_INFO:
            text += " " + "|".join(info_fields(block.payload))
        elif block.type in (BLOCK_SERIAL_OFFSETS, BLOCK_LOADER_START):
            words = [struct.unpack(">I", block.payload[i:i + 4])[0]
                     for i in range(0, len(block.payload) - 3, 4)]
            text += " " + " ".join("0x%08X" % w for w in words)
        lines.append(text)
    lines.append("checksum %s" % ("none" if contents.checksum is None else "%08X" % contents.checksum))
    lines.extend("problem: " + p for p in contents.problems)
    return "\n".join(lines) + "\n"


def contents_json(contents: BirdContents) -> dict:
    return {
        "signature": contents.signature.hex(),
        "version": contents.version.hex(),
        "declared_count": contents.declared_count,
        "checksum": contents.checksum,
        "payload_size": contents.payload_size,
        "problems": contents.problems,
        "blocks": [{"type": b.type, "flags": b.flags, "length": b.length, "address": b.address,
                    "payload": b.payload.hex(), "truncated": b.truncated} for b in contents.blocks],
    }


# --- JSON descriptions -------------------------------------------------------

def _number(value) -> int:
    return int(value, 0) if isinstance(value, str) else int(value)


def fill_bytes(desc: dict) -> bytes:
    """Deterministic filler: "random" bytes, a "counter", or "firmware"-like
    data (random runs mixed with repeats and zeros, compressing about 1.5:1)."""
    length = _number(desc["length"])
    rng = random.Random(desc.get("seed", 0))
    pattern = desc.get("pattern", "random")
    if pattern == "random":
        return rng.randbytes(length)
    if pattern == "counter":
        return bytes(i & 0xFF for i in range(length))
    if pattern == "firmware":
        out = bytearray()
        while len(out) < length:
            roll = rng.random()
            if roll < 0.3 or len(out) < 256:
                out += rng.randbytes(64)
            elif roll < 0.9:
                start = rng.randrange(0, len(out) - 64)
                out += out[start:start + 64]
            else:
                out += bytes(64)
        return bytes(out[:length])
    raise ValueError("unknown fill pattern %r" % pattern)


def _bytes_of(desc: dict, key: str) -> bytes:
    value = desc.get(key, "")
    if isinstance(value, dict):
        return fill_bytes(value)
    return bytes.fromhex(value)


def block_from_description(desc: dict) -> Block:
    kind = desc.get("kind")
    flags = _number(desc.get("flags", 0))
    if kind in ("loader", "firmware"):
        maker = loader_block if kind == "loader" else firmware_block
        block = maker(_number(desc.get("address", 0)), _bytes_of(desc, "image"), flags)
    elif kind == "info":
        block = info_block(desc.get("build", 0), desc.get("version", ""),
                           desc.get("serial", 0), desc.get("model", ""), flags)
    elif kind == "serial_offsets":
        block = serial_offsets_block(_number(desc.get("serial_address", 0)),
                                     _number(desc.get("descriptor_address", 0)), flags)
    elif kind == "loader_start":
        block = loader_start_block(_number(desc["address"]), flags)
    elif kind is None:
        block = Block(_number(desc["type"]), _bytes_of(desc, "payload"), flags)
    else:
        raise ValueError("unknown block kind %r" % kind)
    if "truncate" in desc:
        block.payload = block.payload[:_number(desc["truncate"])]
    if "declared_length" in desc:
        block.declared_length = _number(desc["declared_length"])
    return block


def _payload_options(desc: dict) -> dict:
    options = {}
    for key in ("declared_count", "checksum", "checksum_bytes"):
        if key in desc:
            options[key] = _number(desc[key])
    if "trailing" in desc:
        options["trailing"] = bytes.fromhex(desc["trailing"])
    return options


def payload_from_description(desc: dict) -> bytes:
    if "raw_payload" in desc:
        return _bytes_of(desc, "raw_payload")
    blocks = [block_from_description(b) for b in desc.get("blocks", [])]
    if desc.get("embed_info"):
        embed_info(blocks, desc.get("info_offset"))
    if "fingerprint" in desc:
        blocks = encode_for_chip(blocks, [_number(w) for w in desc["fingerprint"]])
    return build_payload(blocks, **_payload_options(desc))


def build_from_description(desc: dict) -> bytes:
    """Keys: blocks, level, signature (text), version (hex), declared_count,
    checksum, checksum_bytes, trailing (hex), fingerprint, raw_payload,
    embed_info (copy the INFO record into the first firmware image, at
    info_offset into the image or at its end),
    raw_compressed (hex bytes after the header, as they are), ratio/extra."""
    signature = desc.get("signature", "bird").encode("ascii")
    version = bytes.fromhex(desc.get("version", "0101"))
    level = _number(desc.get("level", 9))
    if "raw_compressed" in desc:
        return signature + version + _bytes_of(desc, "raw_compressed")
    if "ratio" in desc:
        blocks = [block_from_description(b) for b in desc.get("blocks", [])]
        return build_at_ratio(blocks, _number(desc["ratio"]), _number(desc.get("extra", 0)),
                              level, **_payload_options(desc))
    return wrap_payload(payload_from_description(desc), level, signature, version)


# --- command line ------------------------------------------------------------

def _write(path: str, data: bytes) -> None:
    if path == "-":
        sys.stdout.buffer.write(data)
    else:
        with open(path, "wb") as out:
            out.write(data)


def _command_build(args) -> int:
    with open(args.description) as source:
        desc = json.load(source)
    _write(args.output, payload_from_description(desc) if args.raw else build_from_description(desc))
    return 0


def _command_show(args) -> int:
    with open(args.file, "rb") as source:
        contents = parse_bird(source.read())
    if args.json:
        print(json.dumps(contents_json(contents)))
    else:
        sys.stdout.write(describe(contents))
    return 1 if contents.problems else 0


def _command_encode(args) -> int:
    fingerprint = [int(w, 16) for w in args.fingerprint.split(",")]
    with open(args.input, "rb") as source:
        data = source.read()
    contents = parse_bird(data)
    if contents.problems:
        sys.stderr.write(describe(contents))
        return 1
    blocks = [Block(b.type, b.payload, b.flags) for b in contents.blocks]
    _write(args.output, wrap_payload(
        build_payload(encode_for_chip(blocks, fingerprint), checksum=contents.checksum),
        args.level, contents.signature, contents.version))
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Bird firmware package writer and reader")
    commands = parser.add_subparsers(dest="command", required=True)
    build = commands.add_parser("build", help="write a file from a JSON description")
    build.add_argument("--description", required=True)
    build.add_argument("-o", "--output", required=True)
    build.add_argument("--raw", action="store_true", help="write the uncompressed payload only")
    build.set_defaults(run=_command_build)
    show = commands.add_parser("show", aliases=["dump"], help="print what a file holds")
    show.add_argument("file")
    show.add_argument("--json", action="store_true")
    show.set_defaults(run=_command_show)
    encode = commands.add_parser("encode", help="encode firmware blocks for one chip")
    encode.add_argument("--fingerprint", required=True, help="four hex words, comma separated")
    encode.add_argument("-i", "--input", required=True)
    encode.add_argument("-o", "--output", required=True)
    encode.add_argument("--level", type=int, default=9)
    encode.set_defaults(run=_command_encode)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
