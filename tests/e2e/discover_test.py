"""End-to-end tests of discovery (-D): module peers that answer TCP/IP discovery inside the
private network namespace, the device table they produce, and discovery behind a router."""
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import run, TempDir, PEERS_DIR  # noqa: E402

IP_HEADER = ("    Device    Module   Router  Model          Firmware Version (Build)"
             "   [IP address]       Device Name")


def tcpip_row(serial, module, router, model, version, build, ip, name):
    """One TCP/IP row of the device table, as the tool formats it."""
    major, minor, patch = version
    return ("    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s"
            % (serial, module, router, model, major, minor, patch, build, "[%s]" % ip, name))


class ModulePeer:
    """tests/peers/module_peer.py as a child process, with its control port."""

    def __init__(self, *args):
        self.dir = tempfile.mkdtemp(prefix="discover-peer-")
        info = os.path.join(self.dir, "info")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(PEERS_DIR, "module_peer.py"), "--tcp", "0",
             "--discovery", "--info-file", info] + [str(a) for a in args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not os.path.exists(info):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                err = self.proc.stderr.read().decode() if self.proc.poll() is not None else ""
                self.stop()
                raise RuntimeError("module peer did not start: " + err)
            time.sleep(0.02)
        with open(info) as f:
            values = dict(line.split("=", 1) for line in f.read().split())
        self.control_port = int(values["control_port"])
        self.control_sock = socket.create_connection(("127.0.0.1", self.control_port))
        self.control_file = self.control_sock.makefile("rwb", buffering=0)

    def control(self, line):
        self.control_file.write((line + "\n").encode())
        answer = self.control_file.readline().decode().strip()
        if not answer.startswith("OK"):
            raise RuntimeError("%s: %s" % (line, answer))
        return answer[2:].strip()

    def stop(self):
        for closer in (getattr(self, "control_file", None), getattr(self, "control_sock", None)):
            if closer:
                closer.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stderr.close()
        for name in os.listdir(self.dir):
            os.remove(os.path.join(self.dir, name))
        os.rmdir(self.dir)


class DiscoverTest(unittest.TestCase):
    def setUp(self):
        harness.require_binary(self)
        if os.environ.get("UPDATER_IN_NETNS") != "1":
            self.skipTest("multicast discovery runs only inside the namespace of netns_run")
        self.peers = []
        self.store = TempDir()
        self.store_path = self.store.__enter__()

    def tearDown(self):
        for peer in getattr(self, "peers", []):
            peer.stop()
        if hasattr(self, "store"):
            self.store.__exit__(None, None, None)

    def peer(self, *args):
        p = ModulePeer(*args)
        self.peers.append(p)
        return p

    def discover(self, *args):
        result = run(["-D", "-i", self.store_path, "-u", "http://127.0.0.1:9/cgi/u"]
                     + list(args), timeout=120)
        self.assertEqual(result.code, 0, result)
        self.assertTrue(result.out_lines and result.out_lines[0].startswith("Updater ("), result)
        return result

    def test_usb_search_without_modules_is_quick(self):
        # No module of the family is attached here: the USB search lists nothing at once.
        start = time.monotonic()
        result = self.discover()
        elapsed = time.monotonic() - start
        self.assertEqual(result.err_lines, ["Searching for Corvantis devices"], result)
        self.assertEqual(result.out_lines[1:],
                         ["Discovered Devices: (USB)", "    No devices found."], result)
        sys.stderr.write("\n-D over USB with no modules: %.3f s wall time\n" % elapsed)
        self.assertLess(elapsed, 2.0, result)

    def test_two_modules_over_tcpip(self):
        self.peer("--system", "--serial", "0x1000AAAA", "--address", "6", "--model", "0x13",
                  "--fw-version", "2.10.4", "--build", "1234", "--name", "Alpha box")
        self.peer("--system", "--serial", "0x2000BBBB", "--address", "8", "--model", "5",
                  "--fw-version", "2.10.3", "--build", "4294967295", "--name", "Beta")
        result = self.discover("-t", "TCPIP")
        self.assertEqual(result.err_lines, ["Searching for Corvantis devices"], result)
        self.assertEqual(result.out_lines[1:3], ["Discovered Devices: (TCPIP)", IP_HEADER],
                         result)
        # A module with firmware 2.10.3 has no stored name to read; 2.10.4 shows its name.
        expected = [
            tcpip_row(0x1000AAAA, 6, 6, "AnalogScope", (2, 10, 4), 1234, "127.0.0.1",
                      "Alpha box"),
            tcpip_row(0x2000BBBB, 8, 8, "HubCore8", (2, 10, 3), 4294967295, "127.0.0.1", ""),
        ]
        self.assertEqual(sorted(result.out_lines[3:]), expected, result)

    def test_module_answering_no_queries_gets_a_full_row(self):
        # No system entity: it answers only the address query and discovery.
        self.peer("--serial", "0x3000CCCC", "--address", "0x0A", "--model", "0x13")
        result = self.discover("-t", "TCPIP")
        self.assertEqual(result.out_lines[1:], [
            "Discovered Devices: (TCPIP)", IP_HEADER,
            tcpip_row(0x3000CCCC, 0x0A, 0x0A, "AnalogScope", (0, 0, 0), 0, "127.0.0.1", ""),
        ], result)

    def test_modules_behind_a_router(self):
        router = self.peer("--system", "--serial", "0x4000DDDD", "--address", "6",
                           "--model", "17", "--fw-version", "2.10.4",
                           "--behind", "0x30:0x0000C030:21:2.10.3:303:Thermo",
                           "--behind", "0x0A:0x0000C00A:19:2.11.0:110:Scope",
                           "--behind", "0x20:0x0000C020:4:3.0.1:200:Hub")
        result = self.discover("-t", "TCPIP", "-r", "4000DDDD")
        self.assertEqual(result.err_lines,
                         ["Searching for Corvantis Network devices connected to 4000DDDD"],
                         result)
        # In address order, with the router's IP address; names are not read here.
        self.assertEqual(result.out_lines[1:], [
            "Discovered Devices: (TCPIP)", IP_HEADER,
            tcpip_row(0xC00A, 0x0A, 6, "AnalogScope", (2, 11, 0), 110, "127.0.0.1", ""),
            tcpip_row(0xC020, 0x20, 6, "HubCore4", (3, 0, 1), 200, "127.0.0.1", ""),
            tcpip_row(0xC030, 0x30, 6, "ThermoSense", (2, 10, 3), 303, "127.0.0.1", ""),
        ], result)
        # Every even address from 2 to 252 but the router's own, in rising order.
        probes = [int(x, 16) for x in router.control("router-probes").split()]
        self.assertEqual(probes, [a for a in range(2, 254, 2) if a != 6])
        # The router routes to the host only during the search.
        self.assertEqual(router.control("sys-get route_to_me"), "0")

    def test_router_without_transport_option_is_listed_as_unknown(self):
        self.peer("--system", "--serial", "0x4100DDDD", "--address", "4",
                  "--behind", "0x08:0x0000C108:19:2.10.4:8:Eight")
        result = self.discover("-r", "4100DDDD")
        self.assertEqual(result.out_lines[1:], [
            "Discovered Devices: (Unknown)", IP_HEADER,
            tcpip_row(0xC108, 0x08, 4, "AnalogScope", (2, 10, 4), 8, "127.0.0.1", ""),
        ], result)

    def test_unknown_router_gives_an_empty_list_and_no_message(self):
        self.peer("--system", "--serial", "0x4200DDDD", "--address", "6",
                  "--behind", "0x08:0x0000C208")
        result = self.discover("-t", "TCPIP", "-r", "0BADF00D")
        self.assertEqual(result.err_lines,
                         ["Searching for Corvantis Network devices connected to 0BADF00D"],
                         result)
        self.assertEqual(result.out_lines[1:],
                         ["Discovered Devices: (TCPIP)", "    No devices found."], result)


if __name__ == "__main__":
    unittest.main(verbosity=2)
