"""Checks the module peer's upgrade entity (tests/peers/upgrade_entity.py) on the wire.

A small host written here speaks raw packets (address, length, data) over TCP to
module_peer.py --upgrade, runs the upgrade exchange (INIT, PREPARE, DATA or UEI byte strings,
SUM, WRITE, LOAD, REBOOT) and checks the flash, the restarts and every misbehaviour the peer
offers. It needs no Updater binary.
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True
PEERS_DIR = os.environ.get("PEERS_DIR", os.path.join(os.path.dirname(__file__), "..", "peers"))
sys.path.insert(0, PEERS_DIR)
import birdfile  # noqa: E402

ADDRESS = 6
SERIAL = 0x12345678
UP = 0x5F
INIT, DATA, LOAD, PREPARE, SUM, WRITE, REBOOT, STATUS = range(8)
LOADER_BASE = 0x10000000


class Host:
    """One TCP connection to the peer, as the host's link sees it."""

    def __init__(self, port, timeout=3.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=1.0)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = bytearray()
        self.queue = []
        self.closed = False
        self.address = ADDRESS  # module the requests go to

    def close(self):
        self.sock.close()

    def send(self, data, address=None):
        address = self.address if address is None else address
        self.sock.sendall(bytes([address, len(data)]) + bytes(data))

    def send_many(self, packets):
        """Several packets in one write, as the pooled mode of the link sends them."""
        self.sock.sendall(b"".join(bytes([self.address, len(p)]) + bytes(p) for p in packets))

    def _read(self, timeout):
        self.sock.settimeout(max(timeout, 0.001))
        try:
            data = self.sock.recv(4096)
        except socket.timeout:
            return
        except OSError:
            data = b""
        if not data:
            self.closed = True
            return
        self.buffer += data
        while len(self.buffer) >= 2 and len(self.buffer) >= 2 + self.buffer[1]:
            n = self.buffer[1]
            self.queue.append((self.buffer[0], bytes(self.buffer[2:2 + n])))
            del self.buffer[:2 + n]

    def receive(self, prefix, timeout=1.0):
        """The data of the first packet whose data starts with prefix, or None."""
        deadline = time.monotonic() + timeout
        while True:
            for i, (_, data) in enumerate(self.queue):
                if data.startswith(bytes(prefix)):
                    del self.queue[i]
                    return data
            left = deadline - time.monotonic()
            if left <= 0 or self.closed:
                return None
            self._read(left)

    def sync(self):
        self.send(b"", address=0xAD)
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            for i, (address, data) in enumerate(self.queue):
                if not data:
                    del self.queue[i]
                    return address
            self._read(deadline - time.monotonic())
        raise AssertionError("no answer to the sync packet")

    def wait_closed(self, timeout=2.0):
        deadline = time.monotonic() + timeout
        while not self.closed and time.monotonic() < deadline:
            self._read(deadline - time.monotonic())
        return self.closed

    # --- the upgrade exchange ---

    def status_reply(self):
        return self.receive([UP, STATUS])

    def init(self):
        self.send([UP, INIT])
        return self.receive([UP, INIT])

    def prepare(self, address, flags=0):
        self.send(struct.pack(">BBBI", UP, PREPARE, flags, address))
        reply = self.status_reply()
        return reply[2], struct.unpack(">H", reply[3:5])[0]

    def data(self, piece):
        self.send(bytes([UP, DATA]) + bytes(piece))
        return self.receive([UP, DATA])[2]

    def send_pieces(self, content):
        """DATA pieces of up to 26 bytes; a piece answered with a wrong count goes again."""
        for at in range(0, len(content), 26):
            piece = content[at:at + 26]
            for _ in range(3):
                if self.data(piece) == len(piece):
                    break

    def sum(self):
        self.send([UP, SUM])
        reply = self.status_reply()
        return reply[2], struct.unpack(">I", reply[3:7])[0]

    def write(self, count):
        self.send(struct.pack(">BBH", UP, WRITE, count))
        return self.status_reply()

    def uei_bytes(self, content, option=10, first_sequence=0):
        packets = []
        chunks = [content[i:i + 24] for i in range(0, len(content), 24)] or [b""]
        for n, chunk in enumerate(chunks):
            more = 0x80 if n + 1 < len(chunks) else 0
            sequence = ((first_sequence + n) & 0x7F) | more
            packets.append(bytes([UP, 0x80 | option, 0x20]) + chunk + bytes([sequence]))
        self.send_many(packets)
        return self.receive([UP, 0xC0 | option])

    # --- system entity and module queries ---

    def get32(self, option):
        self.send([0x03, 0x40 | option, 0x20])
        reply = self.receive([0x03, option])
        return struct.unpack(">I", reply[3:7])[0]

    def has_uei(self, command, option, index, flags):
        self.send([0x49, 1, command, option, index, flags])
        return self.receive([0x49, 1])


class PeerProcess:
    def __init__(self, *options):
        self.dir = tempfile.mkdtemp(prefix="upgrade-peer-")
        info = os.path.join(self.dir, "info")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(PEERS_DIR, "module_peer.py"), "--tcp", "0",
             "--system", "--upgrade", "--serial", "0x%X" % SERIAL, "--address", str(ADDRESS),
             "--info-file", info] + list(options),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(info):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("module_peer.py did not start")
            time.sleep(0.02)
        with open(info) as f:
            values = dict(line.split("=", 1) for line in f.read().split())
        self.port = int(values["tcp_port"])
        self.control = socket.create_connection(("127.0.0.1", int(values["control_port"])))
        self.control_file = self.control.makefile("rwb", buffering=0)

    def __call__(self, line):
        """Sends one control command; returns the text after OK (fails on ERR)."""
        self.control_file.write((line + "\n").encode())
        answer = self.control_file.readline().decode().strip()
        if not answer.startswith("OK"):
            raise AssertionError("%s -> %s" % (line, answer))
        return answer[3:]

    def status(self):
        return dict(w.split("=", 1) for w in self("upgrade-status").split())

    def stop(self):
        if getattr(self, "control", None):
            self.control_file.close()
            self.control.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=5)
        for name in os.listdir(self.dir):
            os.unlink(os.path.join(self.dir, name))
        os.rmdir(self.dir)


def byte_sum(data):
    return sum(data) & 0xFFFFFFFF


class UpgradePeerTest(unittest.TestCase):
    def start(self, *options):
        peer = PeerProcess("--upgrade-drop-ms", "10", "--upgrade-down-ms", "100", *options)
        self.addCleanup(peer.stop)
        return peer

    def connect(self, peer):
        host = Host(peer.port)
        self.addCleanup(host.close)
        self.assertEqual(host.sync(), ADDRESS)
        return host

    def reconnect_after_drop(self, peer, host):
        self.assertTrue(host.wait_closed(), "the peer kept the link after a restart")
        host.close()
        return self.connect(peer)

    def test_whole_update_lands_in_flash_and_reboots_into_new_identity(self):
        bird = birdfile.make_bird(
            build=99528559, serial=0, loader=birdfile.synthetic_image(100, seed=3),
            firmware=[(0x0, birdfile.synthetic_image(2500, seed=4)),
                      (0x8000, birdfile.synthetic_image(1000, seed=5))],
            serial_offsets=(0x200, 0x300))
        peer = self.start("--build", "1000", "--fw-version", "2.10.4",
                          "--upgrade-next-build", "99528559", "--upgrade-next-version", "2.12.5")
        host = self.connect(peer)
        self.assertEqual(host.get32(43), 1000)

        reply = host.init()
        self.assertEqual(reply, struct.pack(">BBI", UP, INIT, LOADER_BASE))
        expected_trace = ["I"]
        (address, loader), = bird.loader()
        self.assertEqual(host.prepare(address), (0, 1024))
        host.send_pieces(loader)
        self.assertEqual(host.sum(), (0, byte_sum(loader)))
        expected_trace += ["P%X" % address] + ["D%d" % len(loader[i:i + 26])
                                               for i in range(0, len(loader), 26)] + ["S"]
        self.assertEqual(peer("ram-read 0x%X %d" % (address, len(loader))), loader.hex().upper())

        host.send([UP, LOAD])
        self.assertEqual(host.receive([UP, LOAD]), bytes([UP, LOAD]))
        expected_trace.append("L")
        host = self.reconnect_after_drop(peer, host)
        self.assertEqual(peer.status()["mode"], "loader")

        chunks = 0
        for address, image in bird.patched_firmware(SERIAL):
            status, block_size = host.prepare(address)
            self.assertEqual((status, block_size), (0, 1024))
            expected_trace.append("P%X" % address)
            for at in range(0, len(image), block_size):
                chunk = image[at:at + block_size]
                host.send_pieces(chunk)
                self.assertEqual(host.sum(), (0, byte_sum(chunk)))
                self.assertEqual(host.write(len(chunk)), bytes([UP, STATUS, 0]))
                expected_trace += ["D%d" % len(chunk[i:i + 26])
                                   for i in range(0, len(chunk), 26)]
                expected_trace += ["S", "W%d" % len(chunk)]
                chunks += 1
        host.send([UP, REBOOT])
        expected_trace.append("R")
        self.assertIsNone(host.receive([UP], timeout=0.05), "REBOOT must not be answered")
        host = self.reconnect_after_drop(peer, host)

        # The new firmware reports its identity; the serial number is the device's own.
        self.assertEqual(host.get32(43), 99528559)
        self.assertEqual(host.get32(7), (2 << 28) | (12 << 24) | 5)
        self.assertEqual(host.get32(9), SERIAL)
        host.send([0x49, 0xFF])
        self.assertEqual(host.receive([0x49, 0xFF]), struct.pack(">BBI", 0x49, 0xFF, 99528559))

        dump = os.path.join(peer.dir, "flash.bin")
        answer = peer("flash-dump " + dump)
        base, image = bird.flash_image(SERIAL)
        self.assertEqual(answer, "base=0x%X length=%d extents=2" % (base, len(image)))
        with open(dump, "rb") as f:
            self.assertEqual(f.read(), image)
        self.assertEqual(peer("flash-extents"), "0:2500 8000:1000")
        # The serial number went in as patched: word little-endian, text in the even bytes.
        self.assertEqual(peer("flash-read 0x200 4"), "78563412")
        self.assertEqual(bytes.fromhex(peer("flash-read 0x300 16"))[::2], b"12345678")

        self.assertEqual(peer("upgrade-trace").split(), expected_trace)
        status = peer.status()
        data_packets = sum(1 for w in expected_trace if w.startswith("D"))
        self.assertEqual(status["data"], str(data_packets))
        self.assertEqual(status["data_bytes"], str(100 + 2500 + 1000))
        self.assertEqual(status["sum"], str(1 + chunks))
        self.assertEqual(status["write"], str(chunks))
        self.assertEqual(status["write_bytes"], "3500")
        self.assertEqual(status["load"], "1")
        self.assertEqual(status["reboot"], "1")
        self.assertEqual(status["restarts"], "2")
        self.assertEqual(status["sum_bad"], "0")
        # Every request but REBOOT got exactly one answer.
        self.assertEqual(status["replies"], str(len(expected_trace) - 1))
        self.assertEqual(status["mode"], "app")

    def test_uei_byte_strings_and_pooled_packets(self):
        peer = self.start("--upgrade-mode", "loader", "--upgrade-uei", "--upgrade-pooled")
        host = self.connect(peer)
        self.assertEqual(host.has_uei(UP, 10, 0, 0x80), bytes([0x49, 1, UP, 10, 0, 0]))
        self.assertEqual(host.has_uei(UP, 10, 0, 0x40)[5], 29)
        self.assertEqual(host.get32(45) & 0x80000000, 0x80000000)

        chunk = birdfile.synthetic_image(1000, seed=9)
        self.assertEqual(host.prepare(0x4000), (0, 1024))
        # 42 sequenced packets in one write; one acknowledgment for the whole string.
        self.assertEqual(host.uei_bytes(chunk), bytes([UP, 0xCA, 0x00]))
        self.assertIsNone(host.receive([UP, 0xCA], timeout=0.1))
        self.assertEqual(host.sum(), (0, byte_sum(chunk)))
        self.assertEqual(host.write(1000), bytes([UP, STATUS, 0]))
        self.assertEqual(peer("flash-read 0x4000 1000"), chunk.hex().upper())
        status = peer.status()
        self.assertEqual((status["uei_strings"], status["uei_packets"], status["uei_bytes"]),
                         ("1", "42", "1000"))
        self.assertEqual(peer("upgrade-trace"), "P4000 U1000 S W1000")

        # A string that does not start at sequence number 0 is refused (aErrMemory).
        self.assertEqual(host.uei_bytes(b"abc", first_sequence=5), bytes([UP, 0xCA, 0x80, 1]))
        # Switched off: the question says no, strings are refused, feature bit 31 is clear.
        peer("upgrade-uei off")
        peer("upgrade-pooled off")
        self.assertEqual(host.has_uei(UP, 10, 0, 0x80)[5], 29)
        self.assertEqual(host.uei_bytes(chunk[:50]), bytes([UP, 0xCA, 0x80, 29]))
        self.assertEqual(host.get32(45) & 0x80000000, 0)
        # Other module queries still reach the system entity.
        self.assertEqual(host.has_uei(0x03, 9, 0, 0x40)[5], 0)

    def test_misbehaviours(self):
        peer = self.start("--upgrade-mode", "loader", "--upgrade-block-size", "64")
        host = self.connect(peer)
        piece = bytes(range(1, 27))
        cases = [
            # (control command, steps of the attempt, expected answers)
            ("upgrade-refuse-prepare", "prepare", [(1, 0), (0, 64)]),
            ("upgrade-corrupt-sum", "sum", [(0, byte_sum(piece) + 1), (0, byte_sum(piece))]),
            ("upgrade-short-count", "data", [25, 26]),
            ("upgrade-short-write", "write", [bytes([UP, STATUS]), bytes([UP, STATUS, 0])]),
        ]
        for command, step, expected in cases:
            with self.subTest(command=command):
                peer("flash-clear")
                peer(command)
                answers = []
                for _ in range(2):
                    if step == "prepare":
                        answers.append(host.prepare(0x100))
                        continue
                    self.assertEqual(host.prepare(0x100), (0, 64))
                    if step == "data":
                        answers.append(host.data(piece))
                        continue
                    self.assertEqual(host.data(piece), 26)
                    if step == "sum":
                        answers.append(host.sum())
                        continue
                    answers.append(host.write(26))
                self.assertEqual(answers, expected)
                if step == "write":
                    # The refused write committed nothing; the second one did.
                    self.assertEqual(peer("flash-extents"), "100:26")

        # A piece answered with a short count is dropped: sent again, it counts once.
        peer("upgrade-short-count")
        self.assertEqual(host.prepare(0x200), (0, 64))
        host.send_pieces(piece + piece[:4])
        self.assertEqual(host.sum(), (0, byte_sum(piece + piece[:4])))
        self.assertEqual(host.write(30), bytes([UP, STATUS, 0]))
        self.assertEqual(peer("flash-read 0x200 30"), (piece + piece[:4]).hex().upper())

        # A block that fails its sum twice, then goes through; other blocks are not hit.
        peer("upgrade-fail-block 0x300 2 sum")
        for attempt in range(3):
            self.assertEqual(host.prepare(0x300), (0, 64))
            host.send_pieces(piece)
            self.assertEqual(host.sum(), (2 if attempt < 2 else 0, byte_sum(piece)))
            self.assertEqual(host.prepare(0x400), (0, 64))
            host.send_pieces(piece)
            self.assertEqual(host.sum(), (0, byte_sum(piece)))
        # "*" sticks to the next block prepared; its writes fail and commit nothing.
        peer("upgrade-fail-block * 2 write")
        for address, answer in [(0x500, 2), (0x580, 0), (0x500, 2), (0x500, 0)]:
            self.assertEqual(host.prepare(address), (0, 64))
            host.send_pieces(piece)
            self.assertEqual(host.write(26), bytes([UP, STATUS, answer]))
        self.assertEqual(peer("flash-read 0x500 26"), piece.hex().upper())
        # More than is pending is a malformed write; PREPARE forgets what was pending.
        self.assertEqual(host.prepare(0x600), (0, 64))
        host.send_pieces(piece)
        self.assertEqual(host.write(27), bytes([UP, STATUS, 3]))
        self.assertEqual(host.prepare(0x600), (0, 64))
        self.assertEqual(host.write(1), bytes([UP, STATUS, 3]))
        self.assertNotIn("600", peer("flash-extents"))
        # The application cannot write its own flash.
        peer("upgrade-mode app")
        self.assertEqual(host.prepare(0x700), (0, 64))
        host.send_pieces(piece)
        self.assertEqual(host.write(26), bytes([UP, STATUS, 2]))
        self.assertEqual(peer("ram-read 0x700 26"), piece.hex().upper())
        status = peer.status()
        self.assertEqual(status["prepare_refused"], "1")
        self.assertEqual(status["data_short"], "2")
        self.assertEqual(status["sum_bad"], "3")

    def test_load_answers(self):
        peer = self.start("--upgrade-deaddead")
        cases = [
            ("late 1200", "late"),
            ("never", "none"),
            ("after-reconnect", "after"),
            ("now", "now"),
        ]
        for mode, expect in cases:
            with self.subTest(mode=mode):
                host = self.connect(peer)
                peer("upgrade-load-reply " + mode)
                started = time.monotonic()
                host.send([UP, LOAD])
                reply = host.receive([UP, LOAD], timeout=1.0)
                if expect == "now":
                    self.assertEqual(reply, bytes([UP, LOAD]))
                else:
                    self.assertIsNone(reply)
                if expect == "late":
                    self.assertEqual(host.receive([UP, LOAD], timeout=1.0), bytes([UP, LOAD]))
                    self.assertGreaterEqual(time.monotonic() - started, 1.15)
                host = self.reconnect_after_drop(peer, host)
                # The loader came back under the pseudo serial number.
                self.assertEqual(host.get32(9), 0xDEADDEAD)
                reply = host.receive([UP, LOAD], timeout=0.5)
                if expect == "after":
                    self.assertEqual(reply, bytes([UP, LOAD]))
                    # Only once: a later sync brings no second answer.
                    host.sync()
                    self.assertIsNone(host.receive([UP, LOAD], timeout=0.2))
                else:
                    self.assertIsNone(reply)
                host.send([UP, REBOOT])
                host = self.reconnect_after_drop(peer, host)
                self.assertEqual(host.get32(9), SERIAL)
                host.close()
        self.assertEqual(peer.status()["restarts"], "8")

    def test_module_behind_router_restarts_without_dropping_the_link(self):
        peer = self.start("--behind", "8:0x0A0B0C0D")
        host = self.connect(peer)
        host.send([0x03, 0x80 | 20, 0x20, 1])  # route to me
        self.assertEqual(host.receive([0x03, 0xC0 | 20]), bytes([0x03, 0xD4, 0]))
        peer("upgrade-behind 8")
        peer("upgrade-next-identity 77 3.1.0")
        host.address = 8
        self.assertEqual(host.init()[2:], struct.pack(">I", LOADER_BASE))
        host.send([UP, LOAD])
        self.assertEqual(host.receive([UP, LOAD]), bytes([UP, LOAD]))
        self.assertFalse(host.wait_closed(0.3), "the router's link must stay up")
        self.assertEqual(peer.status()["mode"], "loader")
        image = birdfile.synthetic_image(300, seed=2)
        self.assertEqual(host.prepare(0x2000), (0, 1024))
        host.send_pieces(image)
        self.assertEqual(host.sum(), (0, byte_sum(image)))
        self.assertEqual(host.write(300), bytes([UP, STATUS, 0]))
        host.send([UP, REBOOT])
        self.assertFalse(host.wait_closed(0.3))
        self.assertEqual(host.get32(43), 77)
        self.assertEqual(host.get32(9), 0x0A0B0C0D)
        self.assertEqual(peer("flash-read 0x2000 300"), image.hex().upper())
        # The router itself kept its identity and an empty flash.
        peer("upgrade-behind self")
        self.assertEqual(peer("flash-extents"), "")
        host.address = ADDRESS
        self.assertEqual(host.get32(43), 1000)

    def test_discovery_answer_follows_the_serial_number(self):
        if os.environ.get("UPDATER_IN_NETNS") != "1":
            self.skipTest("discovery answers only inside the test network namespace")
        peer = self.start("--upgrade-deaddead", "--discovery")
        answers = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(answers.close)
        answers.bind(("127.0.0.1", 9889))
        answers.settimeout(1.0)

        def discovered_serial():
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as request:
                request.bind(("127.0.0.1", 0))
                request.sendto(bytes([1]) + bytes(15), ("127.0.0.1", 9888))
            answer = answers.recv(64)
            self.assertEqual(struct.unpack("<H", answer[2:4])[0], peer.port)
            return struct.unpack("<I", answer[4:8])[0]

        self.assertEqual(discovered_serial(), SERIAL)
        host = self.connect(peer)
        host.send([UP, LOAD])
        host = self.reconnect_after_drop(peer, host)
        self.assertEqual(discovered_serial(), 0xDEADDEAD)
        host.send([UP, REBOOT])
        self.reconnect_after_drop(peer, host)
        self.assertEqual(discovered_serial(), SERIAL)


if __name__ == "__main__":
    unittest.main()
