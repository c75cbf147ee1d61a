#!/usr/bin/env python3
"""Reference framing of Corvantis packets on serial lines: CRC-8 and COBS.

Written from the wire description alone, bit by bit and without tables, so that it can check
the device library's table-driven code. Usable as a module by serial device peers, and from
the command line by unit tests:

    cobs_crc8.py crc8 HEX             -> CRC-8 of the bytes, two hex digits
    cobs_crc8.py encode HEX           -> COBS encoding (no delimiter)
    cobs_crc8.py decode HEX           -> COBS decoding, or "malformed"
    cobs_crc8.py frame ADDR HEX       -> whole frame of a packet: COBS(image + CRC) + 00
    cobs_crc8.py unframe HEX          -> packet image of one frame (without delimiter), or "bad"

HEX is a string of hex digits, possibly empty ("-" also means empty).
"""
import sys


def crc8(data):
    """CRC-8, polynomial x^8 + x^5 + x^4 + 1 processed least significant bit first, init 0."""
    crc = 0
    for byte in data:
        for bit in range(8):
            mix = (crc ^ (byte >> bit)) & 1
            crc >>= 1
            if mix:
                crc ^= 0x8C
    return crc


def cobs_encode(data):
    out = bytearray()
    block = bytearray()
    for byte in data:
        if byte == 0:
            out.append(len(block) + 1)
            out += block
            block = bytearray()
        else:
            block.append(byte)
            if len(block) == 254:
                out.append(0xFF)
                out += block
                block = bytearray()
    out.append(len(block) + 1)
    out += block
    return bytes(out)


def cobs_decode(data):
    """Decoded bytes, or None when the input is malformed."""
    out = bytearray()
    i = 0
    while i < len(data):
        code = data[i]
        if code == 0 or i + code > len(data):
            return None
        out += data[i + 1:i + code]
        i += code
        if code != 0xFF and i < len(data):
            out.append(0)
    return bytes(out)


def frame(address, payload):
    """The frame of one packet: address, length, data, CRC-8, COBS-encoded, then 0x00."""
    image = bytes([address, len(payload)]) + bytes(payload)
    return cobs_encode(image + bytes([crc8(image)])) + b"\x00"


def unframe(encoded):
    """The packet image carried by one frame body, or None if its length or CRC is wrong."""
    decoded = cobs_decode(encoded)
    if decoded is None or len(decoded) <= 2 or len(decoded) != decoded[1] + 3:
        return None
    if crc8(decoded[:-1]) != decoded[-1]:
        return None
    return decoded[:-1]


def _hex(text):
    return b"" if text == "-" else bytes.fromhex(text)


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    cmd, args = argv[1], argv[2:]
    if cmd == "crc8":
        print("%02x" % crc8(_hex(args[0] if args else "-")))
    elif cmd == "encode":
        print(cobs_encode(_hex(args[0] if args else "-")).hex())
    elif cmd == "decode":
        result = cobs_decode(_hex(args[0]))
        print("malformed" if result is None else result.hex())
    elif cmd == "frame":
        print(frame(int(args[0], 16), _hex(args[1] if len(args) > 1 else "-")).hex())
    elif cmd == "unframe":
        result = unframe(_hex(args[0]))
        print("bad" if result is None else result.hex())
    else:
        print(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
