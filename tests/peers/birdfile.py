#!/usr/bin/env python3
"""Builds and reads BIRD firmware files for the tests and the peers.

A BIRD file is the four bytes "bird", two format version bytes (0x01 0x01) and one zlib
stream (RFC 1950) holding the block data:

    u32 number of block records
    records: 1 byte type (bits 0-4) and flags (bits 5-7), u32 payload length L, L bytes
    u32 checksum

All integers are big-endian. Block types: 0 loader and 1 firmware (payload: u32 load
address, then the image), 2 serial offsets (u32 address of the 32-bit serial-number word,
u32 address of the 16-byte UTF-16LE serial-number text; 0 = none), 4 identity (four
16-byte text fields: build, version, serial "%08X", model, padded with spaces),
5 start address (u32).

As a module:

    import birdfile
    bird = birdfile.make_bird("/tmp/x.bird", build=99528558, version=(2, 12, 4),
                              serial=0x40F5849A, model="Hub8",
                              loader=b"...", firmware=[(0x0, image)],
                              serial_offsets=(0x200, 0x300))
    bird.patched_firmware(0x12345678)   # [(address, bytes)] as a device should receive them

As a command line tool:

    birdfile.py make OUT.bird --build 99528558 --version 2.12.4 --serial 40F5849A \
        --model Hub8 --firmware-random 4194304@0 --serial-offsets 0x200,0x300
    birdfile.py show FILE.bird
    birdfile.py patched FILE.bird --serial 12345678 --out PREFIX

Standard library only; it never calls the program under test.
"""

import argparse
import random
import struct
import sys
import zlib

SIGNATURE = b"bird"
FORMAT_VERSION = b"\x01\x01"

BLOCK_LOADER = 0
BLOCK_FIRMWARE = 1
BLOCK_SERIAL_OFFSETS = 2
BLOCK_IDENTITY = 4
BLOCK_START_ADDRESS = 5

TYPE_NAMES = {
    BLOCK_LOADER: "loader",
    BLOCK_FIRMWARE: "firmware",
    BLOCK_SERIAL_OFFSETS: "serial offsets",
    BLOCK_IDENTITY: "identity",
    BLOCK_START_ADDRESS: "start address",
}

DEFAULT_LOADER_ADDRESS = 0x10000000


class Block:
    """One block record: type 0-31, flags 0-7, payload bytes."""

    def __init__(self, type_, payload, flags=0, length=None):
        self.type = type_
        self.flags = flags
        self.payload = bytes(payload)
        # A declared length that differs from the payload (for damaged files).
        self.length = length

    def to_bytes(self):
        length = len(self.payload) if self.length is None else self.length
        head = ((self.flags & 0x7) << 5) | (self.type & 0x1F)
        return struct.pack(">BI", head, length) + self.payload

    @property
    def address(self):
        if self.type in (BLOCK_LOADER, BLOCK_FIRMWARE) and len(self.payload) >= 4:
            return struct.unpack(">I", self.payload[:4])[0]
        return 0

    @property
    def image(self):
        return self.payload[4:]

    def __repr__(self):
        return "Block(type=%d, flags=%d, length=%d)" % (self.type, self.flags, len(self.payload))


def image_block(type_, address, image, flags=0):
    return Block(type_, struct.pack(">I", address) + bytes(image), flags)


def text_field(text, size=16, pad=b" "):
    raw = text.encode("ascii") if isinstance(text, str) else bytes(text)
    return raw[:size].ljust(size, pad)


def version_text(version):
    if isinstance(version, (tuple, list)):
        return ".".join(str(part) for part in version)
    if isinstance(version, (bytes, bytearray)):
        return bytes(version)
    return str(version)


def identity_payload(build, version, serial, model):
    """The four 16-byte fields of an identity block."""
    build_text = build if isinstance(build, (str, bytes)) else "%d" % build
    serial_text = serial if isinstance(serial, (str, bytes)) else "%08X" % serial
    return (text_field(build_text) + text_field(version_text(version)) +
            text_field(serial_text) + text_field(model))


def key_stream(key):
    """The 16 bytes of a four-word key, most significant byte of each word first."""
    return b"".join(struct.pack(">I", word & 0xFFFFFFFF) for word in key)


def scramble_image(plain, key):
    """Stores an image so that descrambling with the key gives it back.

    Descrambling runs out[i] = stored[i] ^ k[i % 16] ^ out[i-1] with out[-1] = 0.
    """
    stream = key_stream(key)
    stored = bytearray(len(plain))
    previous = 0
    for i, byte in enumerate(plain):
        stored[i] = byte ^ stream[i % 16] ^ previous
        previous = byte
    return bytes(stored)


def descramble_image(stored, key):
    stream = key_stream(key)
    out = bytearray(len(stored))
    previous = 0
    for i, byte in enumerate(stored):
        previous = byte ^ stream[i % 16] ^ previous
        out[i] = previous
    return bytes(out)


def patch_serial(image, load_address, serial, serial_address=0, descriptor_address=0):
    """The image after the device serial number is patched in.

    The 32-bit word goes in little-endian at serial_address; the "%08X" text goes into the
    even bytes of the 16 bytes at descriptor_address. Places not wholly inside the image
    are left alone. Returns (bytes, word_written, text_written).
    """
    out = bytearray(image)
    end = load_address + len(image)
    word = text = False
    if serial_address and load_address <= serial_address and serial_address + 4 <= end:
        at = serial_address - load_address
        out[at:at + 4] = struct.pack("<I", serial & 0xFFFFFFFF)
        word = True
    if descriptor_address and load_address <= descriptor_address and descriptor_address + 16 <= end:
        at = descriptor_address - load_address
        for i, char in enumerate(b"%08X" % (serial & 0xFFFFFFFF)):
            out[at + 2 * i] = char
        text = True
    return bytes(out), word, text


def synthetic_image(size, seed=1):
    """Deterministic image bytes that compress roughly as code does (to about 70%)."""
    rng = random.Random(seed)
    out = bytearray()
    words = [rng.getrandbits(32).to_bytes(4, "little") for _ in range(64)]
    while len(out) < size:
        if rng.random() < 0.5:
            out += rng.getrandbits(8 * 32).to_bytes(32, "little")
        else:
            out += b"".join(rng.choice(words) for _ in range(8))
    return bytes(out[:size])


class Bird:
    """A BIRD file description: its blocks and how the file around them is written."""

    def __init__(self, blocks=None, reported_count=None, checksum=None, trailing=b"",
                 signature=SIGNATURE, format_version=FORMAT_VERSION, level=6):
        self.blocks = list(blocks or [])
        self.reported_count = reported_count
        self.checksum = checksum
        self.trailing = bytes(trailing)
        self.signature = bytes(signature)
        self.format_version = bytes(format_version)
        self.level = level
        self.scramble_key = None

    def block_data(self):
        count = len(self.blocks) if self.reported_count is None else self.reported_count
        body = struct.pack(">I", count) + b"".join(b.to_bytes() for b in self.blocks)
        checksum = zlib.crc32(body) if self.checksum is None else self.checksum
        return body + struct.pack(">I", checksum & 0xFFFFFFFF) + self.trailing

    def to_bytes(self):
        return self.signature + self.format_version + zlib.compress(self.block_data(), self.level)

    def write(self, path):
        data = self.to_bytes()
        with open(path, "wb") as handle:
            handle.write(data)
        return data

    def find(self, type_):
        return [b for b in self.blocks if b.type == type_]

    def serial_offsets(self):
        for block in self.find(BLOCK_SERIAL_OFFSETS):
            if len(block.payload) >= 8:
                return struct.unpack(">II", block.payload[:8])
            return (0, 0)
        return (0, 0)

    def firmware(self):
        """[(address, image)] of the firmware blocks as stored in the file."""
        return [(b.address, b.image) for b in self.find(BLOCK_FIRMWARE) if len(b.payload) >= 4]

    def loader(self):
        return [(b.address, b.image) for b in self.find(BLOCK_LOADER) if len(b.payload) >= 4]

    def plain_firmware(self):
        """The firmware images as the device must run them (descrambled when scrambled)."""
        images = self.firmware()
        if self.scramble_key is not None:
            images = [(a, descramble_image(i, self.scramble_key)) for a, i in images]
        return images

    def patched_firmware(self, serial):
        """[(address, bytes)]: the firmware blocks with the device serial number patched in,
        exactly as the updater must send them to a device of that serial number."""
        word_at, text_at = self.serial_offsets()
        return [(a, patch_serial(i, a, serial, word_at, text_at)[0])
                for a, i in self.plain_firmware()]

    def flash_image(self, serial, fill=0xFF):
        """One bytes object covering all patched firmware blocks from the lowest address,
        gaps filled with fill; returns (base address, bytes)."""
        parts = self.patched_firmware(serial)
        if not parts:
            return 0, b""
        base = min(a for a, _ in parts)
        end = max(a + len(i) for a, i in parts)
        out = bytearray([fill]) * (end - base)
        for address, image in parts:
            out[address - base:address - base + len(image)] = image
        return base, bytes(out)

    def identity(self):
        """(build, version, serial, model) texts of the first identity block, or None."""
        for block in self.find(BLOCK_IDENTITY):
            if len(block.payload) < 64:
                return None
            p = block.payload
            return tuple(p[i:i + 16].decode("latin-1") for i in range(0, 64, 16))
        return None


def make_bird(path=None, build=1, version=(2, 12, 4), serial=0, model="Hub8",
              loader=None, firmware=(), serial_offsets=None, start_address=None,
              identity=True, extra_blocks=(), loader_address=DEFAULT_LOADER_ADDRESS,
              scramble_key=None, flags=0, **file_options):
    """Describes (and writes, when path is given) a BIRD file; returns its Bird object.

    build, version ((2, 12, 4) or "2.12.4"), serial (number or text) and model fill the
    identity block (left out with identity=False). loader is bytes (placed at
    loader_address) or a list of (address, bytes); firmware a list of (address, bytes).
    serial_offsets is (word address, descriptor address); None leaves the block out.
    scramble_key (four 32-bit words) stores the firmware scrambled as recovery images are.
    extra_blocks is a list of Block objects or (type, payload[, flags]) tuples appended
    at the end. file_options go to Bird: reported_count, checksum, trailing, signature,
    format_version, level.
    """
    blocks = []
    if identity:
        blocks.append(Block(BLOCK_IDENTITY, identity_payload(build, version, serial, model), flags))
    if serial_offsets is not None:
        blocks.append(Block(BLOCK_SERIAL_OFFSETS, struct.pack(">II", *serial_offsets), flags))
    if start_address is not None:
        blocks.append(Block(BLOCK_START_ADDRESS, struct.pack(">I", start_address), flags))
    if loader is not None:
        loaders = [(loader_address, loader)] if isinstance(loader, (bytes, bytearray)) else loader
        for address, image in loaders:
            blocks.append(image_block(BLOCK_LOADER, address, image, flags))
    for address, image in firmware:
        if scramble_key is not None:
            image = scramble_image(image, scramble_key)
        blocks.append(image_block(BLOCK_FIRMWARE, address, image, flags))
    for extra in extra_blocks:
        blocks.append(extra if isinstance(extra, Block) else Block(*extra))
    bird = Bird(blocks, **file_options)
    bird.scramble_key = scramble_key
    if path is not None:
        bird.write(path)
    return bird


def make_expanding(path, extra=0, compressed_target=4096, seed=7):
    """Writes a file whose zlib stream inflates to exactly 8 times its own length plus
    extra bytes (extra=0 is the largest that fits an 8x buffer). Returns the Bird."""
    rng = random.Random(seed)
    noise = bytes(rng.getrandbits(8) for _ in range(compressed_target // 2))

    def attempt(zeros):
        bird = Bird([Block(3, noise + bytes(zeros))])
        compressed = zlib.compress(bird.block_data(), 6)
        return bird, len(bird.block_data()) - (8 * len(compressed) + extra)

    # Deflate's output grows unevenly with the input, so get close first, then walk.
    zeros = 0
    for _ in range(20):
        bird, miss = attempt(zeros)
        if miss == 0:
            bird.write(path)
            return bird
        zeros = max(0, zeros - miss)
    for step in range(1, 4000):
        for candidate in (zeros + step, zeros - step):
            if candidate < 0:
                continue
            bird, miss = attempt(candidate)
            if miss == 0:
                bird.write(path)
                return bird
    raise RuntimeError("could not reach the expansion ratio")


def parse_bird(data):
    """Reads a BIRD file's bytes into a Bird (raises ValueError on a malformed file)."""
    if len(data) <= 6 or data[:4] != SIGNATURE:
        raise ValueError("not a BIRD file")
    body = zlib.decompress(data[6:])
    if len(body) < 8:
        raise ValueError("block data too short")
    count = struct.unpack(">I", body[:4])[0]
    pos, blocks = 4, []
    while len(body) - pos > 4:
        head, length = struct.unpack(">BI", body[pos:pos + 5])
        if pos + 5 + length > len(body) - 4:
            raise ValueError("block runs past the data")
        blocks.append(Block(head & 0x1F, body[pos + 5:pos + 5 + length], head >> 5))
        pos += 5 + length
    checksum = struct.unpack(">I", body[pos:pos + 4])[0]
    return Bird(blocks, reported_count=count, checksum=checksum,
                signature=data[:4], format_version=data[4:6])


def read_bird(path):
    with open(path, "rb") as handle:
        return parse_bird(handle.read())


def _number(text):
    return int(text, 0)


def _placed(text, default_address=0):
    """"WHAT@ADDRESS" into (WHAT, address)."""
    if "@" in text:
        what, address = text.rsplit("@", 1)
        return what, _number(address)
    return text, default_address


def _main(argv):
    parser = argparse.ArgumentParser(description="Build or read BIRD firmware files.")
    sub = parser.add_subparsers(dest="command", required=True)

    make = sub.add_parser("make", help="write a BIRD file")
    make.add_argument("out")
    make.add_argument("--build", type=int, default=1)
    make.add_argument("--version", default="2.12.4")
    make.add_argument("--serial", type=lambda t: int(t, 16), default=0)
    make.add_argument("--model", default="Hub8")
    make.add_argument("--loader-file", help="FILE[@ADDRESS]")
    make.add_argument("--loader-random", help="SIZE[@ADDRESS]")
    make.add_argument("--firmware-file", action="append", default=[], help="FILE@ADDRESS")
    make.add_argument("--firmware-random", action="append", default=[], help="SIZE@ADDRESS")
    make.add_argument("--serial-offsets", help="WORD,DESCRIPTOR addresses")
    make.add_argument("--no-identity", action="store_true")
    make.add_argument("--seed", type=int, default=1)

    show = sub.add_parser("show", help="list a BIRD file's identity and blocks")
    show.add_argument("file")

    patched = sub.add_parser("patched", help="write the firmware a device of SERIAL must get")
    patched.add_argument("file")
    patched.add_argument("--serial", type=lambda t: int(t, 16), required=True)
    patched.add_argument("--out", required=True, help="prefix: PREFIX.ADDRESS.bin per block")

    args = parser.parse_args(argv)
    if args.command == "make":
        loader = None
        if args.loader_file:
            name, address = _placed(args.loader_file, DEFAULT_LOADER_ADDRESS)
            loader = [(address, open(name, "rb").read())]
        elif args.loader_random:
            size, address = _placed(args.loader_random, DEFAULT_LOADER_ADDRESS)
            loader = [(address, synthetic_image(_number(size), args.seed + 1000))]
        firmware = []
        for item in args.firmware_file:
            name, address = _placed(item)
            firmware.append((address, open(name, "rb").read()))
        for n, item in enumerate(args.firmware_random):
            size, address = _placed(item)
            firmware.append((address, synthetic_image(_number(size), args.seed + n)))
        offsets = None
        if args.serial_offsets:
            offsets = tuple(_number(x) for x in args.serial_offsets.split(","))
        make_bird(args.out, build=args.build, version=args.version, serial=args.serial,
                  model=args.model, loader=loader, firmware=firmware,
                  serial_offsets=offsets, identity=not args.no_identity)
        return 0
    bird = read_bird(args.file)
    if args.command == "show":
        ident = bird.identity()
        if ident:
            print("build %s version %s serial %s model %s" % tuple(f.strip() for f in ident))
        for block in bird.blocks:
            print("type %d (%s) flags %d length %d address 0x%08X" % (
                block.type, TYPE_NAMES.get(block.type, "unused"), block.flags,
                len(block.payload), block.address))
        return 0
    for address, image in bird.patched_firmware(args.serial):
        with open("%s.%08X.bin" % (args.out, address), "wb") as handle:
            handle.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
