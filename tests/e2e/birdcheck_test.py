"""End-to-end tests of -C: checking a BIRD file made by the builder of tests/peers."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import run, TempDir, NO_SERVER_URL  # noqa: E402

sys.dont_write_bytecode = True
sys.path.insert(0, harness.PEERS_DIR)
import birdfile  # noqa: E402

BLOCK_HEADER = "  Block  Type                Flags      Length  Load address / contents"


class BirdCheckTest(unittest.TestCase):
    def setUp(self):
        harness.require_binary(self)
        self.tmp = TempDir()
        self.dir = self.tmp.__enter__()

    def tearDown(self):
        self.tmp.__exit__(None, None, None)

    def check(self, path):
        return run(["-C", "-f", path, "-i", self.dir, "-u", NO_SERVER_URL])

    def report(self, result):
        """The lines of the report, from its first line on (the version line comes before)."""
        lines = result.out_lines
        starts = [i for i, line in enumerate(lines) if line.startswith("Checking BIRD file ")]
        self.assertEqual(len(starts), 1, result)
        return lines[starts[0]:]

    def test_good_file(self):
        path = os.path.join(self.dir, "99528558.bird")
        bird = birdfile.make_bird(path, build=99528558, version=(2, 12, 4), serial=0x40F5849A,
                                  model="Hub8", loader=bytes(1000),
                                  firmware=[(0x0, birdfile.synthetic_image(300000)),
                                            (0x60000, bytes(50))],
                                  serial_offsets=(0x200, 0x300), checksum=0x0BADCAFE)
        size = os.path.getsize(path)
        data_size = len(bird.block_data())
        result = self.check(path)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.stderr, "", result)
        self.assertEqual(self.report(result), [
            "Checking BIRD file %s" % path,
            "File size:     %d bytes" % size,
            'Verified:      yes (signature "bird", format version 1.1)',
            "Loaded:        yes (%d bytes of block data)" % data_size,
            "Build:         99528558",
            "Version:       2.12.4",
            "Serial number: 40F5849A",
            "Model:         Hub8",
            "Blocks:        5",
            BLOCK_HEADER,
            "      1  identity (4)            0          64",
            "      2  serial offsets (2)      0           8  "
            "serial number at 0x00000200, descriptor text at 0x00000300",
            "      3  loader (0)              0        1004  0x10000000",
            "      4  firmware (1)            0      300004  0x00000000",
            "      5  firmware (1)            0          54  0x00060000",
            "Checksum:      0BADCAFE (stored, not checked)",
            "Result:        usable",
        ])

    def test_truncated_file(self):
        path = os.path.join(self.dir, "cut.bird")
        data = birdfile.make_bird(firmware=[(0, birdfile.synthetic_image(100000))]).to_bytes()
        with open(path, "wb") as handle:
            handle.write(data[:len(data) // 2])
        result = self.check(path)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(self.report(result)[2:], [
            'Verified:      yes (signature "bird", format version 1.1)',
            "Loaded:        no",
        ])
        self.assertEqual(result.err_lines, [
            "BIRD file check failed: %s does not load: its compressed data is truncated or "
            "damaged" % path], result)

    def test_wrong_signature(self):
        path = os.path.join(self.dir, "wrong.bird")
        data = birdfile.make_bird(firmware=[(0, bytes(100))], signature=b"BIRD").to_bytes()
        with open(path, "wb") as handle:
            handle.write(data)
        result = self.check(path)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(self.report(result)[2:], ["Verified:      no"])
        self.assertEqual(result.err_lines, [
            'BIRD file check failed: %s is not a BIRD file: it does not begin with the BIRD '
            'signature "bird"' % path], result)

    def test_damaged_structures(self):
        cases = [
            ("count", dict(reported_count=4),
             "its block data is damaged: it reports 4 blocks but holds 3"),
            ("trailing", dict(trailing=b"\0\0\0\0"),
             "its block data is damaged: the blocks and the checksum do not fill the data "
             "exactly"),
            ("shortfw", dict(extra_blocks=[(1, b"\x01\x02")]),
             "block 4 (firmware) is too short to use (2 bytes)"),
            ("nofw", dict(firmware=[]), "it holds no firmware block"),
        ]
        for name, options, why in cases:
            with self.subTest(name):
                path = os.path.join(self.dir, name + ".bird")
                arguments = dict(build=7, loader=bytes(8), firmware=[(0, bytes(16))])
                arguments.update(options)
                birdfile.make_bird(path, **arguments)
                result = self.check(path)
                self.assertEqual(result.code, 1, result)
                self.assertEqual(result.err_lines,
                                 ["BIRD file check failed: %s: %s" % (path, why)], result)
                self.assertIn("Build:         7", result.out_lines)

    def test_missing_and_tiny_files(self):
        missing = os.path.join(self.dir, "missing.bird")
        result = self.check(missing)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.err_lines, ["BIRD file check failed: cannot open " + missing])
        tiny = os.path.join(self.dir, "tiny.bird")
        with open(tiny, "wb") as handle:
            handle.write(b"bird\x01")
        result = self.check(tiny)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.err_lines, [
            "BIRD file check failed: %s is not a BIRD file: it is only 5 bytes long, too short "
            "for a BIRD file header" % tiny])


if __name__ == "__main__":
    unittest.main()
