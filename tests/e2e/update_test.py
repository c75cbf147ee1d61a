"""End-to-end tests of the firmware update (-U, -G -U) against a module peer with its
upgrade entity over a simulated flash (tests/peers/module_peer.py --upgrade) and the update
server peer. USB finds nothing here; the tool then finds the module by TCP/IP discovery,
which the peer answers inside the private network namespace of tests/e2e/netns_run.
"""
import json
import os
import pty
import re
import select
import shutil
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

sys.path.insert(0, harness.PEERS_DIR)
import birdfile  # noqa: E402

SERIAL = 0x40F5849A
SERIAL_TEXT = "%08X" % SERIAL
MODEL = 0x13  # AnalogScope
MODEL_NAME = "AnalogScope"
LATEST = 99528558
NEWER = 99530000
LOADER_ADDRESS = 0x10000000
# Where the serial number goes in the first firmware block: the 32-bit word and the text.
SERIAL_OFFSETS = (0x200, 0x300)


def make_image(path, build, serial=SERIAL, model=MODEL_NAME, serial_offsets=SERIAL_OFFSETS):
    """A BIRD file with one loader block and two firmware blocks (the second spans several
    chunks of the peer's default 1024-byte block size)."""
    return birdfile.make_bird(
        path, build=build, version="2.12.4", serial=serial, model=model,
        loader=birdfile.synthetic_image(300, seed=build + 1),
        loader_address=LOADER_ADDRESS,
        firmware=[(0x0, birdfile.synthetic_image(1500, seed=build)),
                  (0x4000, birdfile.synthetic_image(2600, seed=build + 2))],
        serial_offsets=serial_offsets)


# The device to update: module_peer.py with its upgrade entity.
DEVICE = ("--upgrade", "--serial", hex(SERIAL), "--model", hex(MODEL))


class ModulePeer:
    """module_peer.py with its system entity on, answering TCP/IP discovery."""

    def __init__(self, *args):
        self.peer = harness.Peer("module_peer.py", "--tcp", "0", "--discovery", "--system",
                                 *args)
        key, _, value = self.peer.ready_line.partition("=")
        if key != "control_port":
            self.peer.stop()
            raise RuntimeError("unexpected start-up line " + self.peer.ready_line)
        self.sock = socket.create_connection(("127.0.0.1", int(value)), timeout=10)
        self.file = self.sock.makefile("rwb", buffering=0)

    def control(self, line):
        self.file.write((line + "\n").encode())
        answer = self.file.readline().decode().strip()
        if not answer.startswith("OK"):
            raise RuntimeError("%s: %s" % (line, answer))
        return answer[2:].strip()

    def status(self):
        return dict(word.split("=", 1) for word in self.control("upgrade-status").split())

    def flash(self, path):
        answer = dict(w.split("=", 1) for w in self.control("flash-dump " + path).split())
        with open(path, "rb") as f:
            return int(answer["base"], 16), f.read()

    def stop(self):
        self.file.close()
        self.sock.close()
        self.peer.stop()


class UpdateCase(unittest.TestCase):
    def setUp(self):
        harness.require_binary(self)
        if os.environ.get("UPDATER_IN_NETNS") != "1":
            self.skipTest("needs the private network namespace of tests/e2e/netns_run")
        if not os.environ.get("UPDATER_NETNS_VETH"):
            self.skipTest("no veth pair in the namespace: TCP/IP discovery has no interface")
        self.tmp = harness.TempDir().__enter__()
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.birds = os.path.join(self.tmp, "birds")
        os.mkdir(self.birds)
        self.storage = os.path.join(self.tmp, "home")
        self.device_dir = os.path.join(self.storage, "updater", SERIAL_TEXT)
        self.requests = os.path.join(self.tmp, "requests.log")
        self.server = None
        self.module = None

    def tearDown(self):
        if self.module:
            self.module.stop()
        if self.server:
            self.server.stop()

    def start_server(self, latest=LATEST, builds=(LATEST,)):
        data = {"devices": {SERIAL_TEXT: {"firmware": "CVT-SCOPE", "latest": str(latest),
                                          "builds": {str(b): "2.12.4" for b in builds}}}}
        path = os.path.join(self.tmp, "devices.json")
        with open(path, "w") as f:
            json.dump(data, f)
        self.server = harness.Peer("update_server.py", "--data", path, "--birds", self.birds,
                                   "--log", self.requests, "--port", "0")
        self.url = "http://127.0.0.1:%s/cgi/u" % self.server.ready_line.split()[1]

    def start_module(self, *options):
        # As a real module: it answers LOAD, drops its link ~20 ms later and listens again
        # ~200 ms after that, running its loader.
        self.module = ModulePeer(*(DEVICE + options))
        return self.module

    def run_tool(self, *args):
        url = getattr(self, "url", harness.NO_SERVER_URL)
        return harness.run(["-i", self.storage, "-u", url] + list(args), timeout=120)

    def store_image(self, build, **options):
        os.makedirs(self.device_dir, exist_ok=True)
        return make_image(os.path.join(self.device_dir, "%d.bird" % build), build, **options)

    def settings(self):
        path = os.path.join(self.device_dir, ".settings")
        if not os.path.exists(path):
            return {}
        with open(path) as f:
            return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)

    def server_requests(self):
        if not os.path.exists(self.requests):
            return []
        with open(self.requests) as f:
            return [line.strip() for line in f]

    def assert_flash_holds(self, bird, serial=SERIAL):
        base, data = self.module.flash(os.path.join(self.tmp, "flash.bin"))
        want_base, want = bird.flash_image(serial)
        self.assertEqual(base, want_base)
        self.assertEqual(len(data), len(want))
        self.assertTrue(data == want, "the flash differs from the patched firmware")

    def assert_in_order(self, lines, expected):
        """The expected lines appear in lines, in this order (others may lie between)."""
        at = 0
        for line in lines:
            if at < len(expected) and line == expected[at]:
                at += 1
        self.assertEqual(at, len(expected), "missing %r in\n%s" % (
            expected[at] if at < len(expected) else None, "\n".join(lines)))

    def transfer_lines(self, bird):
        loader = bird.loader()
        firmware = bird.firmware()
        lines = ["Transferring loader to device"]
        lines += ["Transferring loader block %d of %d, %d bytes" % (n + 1, len(loader),
                                                                    len(image) + 4)
                  for n, (_, image) in enumerate(loader)]
        lines += ["Transferred %d blocks, %d total bytes" % (
            len(loader), sum(len(i) + 4 for _, i in loader)), "Starting Load on Device"]
        lines += ["Transferring firmware block %d of %d, %d bytes" % (n + 1, len(firmware),
                                                                      len(image) + 4)
                  for n, (_, image) in enumerate(firmware)]
        lines += ["Transferred %d blocks, %d total bytes" % (
            len(firmware), sum(len(i) + 4 for _, i in firmware))]
        return lines


class DownloadAndUpdate(UpdateCase):
    def test_download_then_update_writes_the_patched_firmware(self):
        bird = make_image(os.path.join(self.birds, "%d.bird" % LATEST), LATEST)
        self.start_server()
        module = self.start_module()
        result = self.run_tool("-G", "-U", "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 0, result)
        self.assert_in_order(result.out_lines, [
            "Retrieving firmware for device with serial number %s" % SERIAL_TEXT,
            "Retrieving build %d" % LATEST,
            "Updating firmware with build: %d" % LATEST] + self.transfer_lines(bird))
        self.assertTrue(result.out_lines[-1].startswith("Update time: "), result)
        self.assertTrue(result.out_lines[-1].endswith(" sec"), result)
        self.assert_flash_holds(bird)
        # The loader went into RAM at its address, as stored in the file.
        ram = self.module.control("ram-read %d 300" % LOADER_ADDRESS)
        self.assertEqual(ram, bird.loader()[0][1].hex().upper())
        status = module.status()
        self.assertEqual(status["load"], "1")
        self.assertEqual(status["reboot"], "1")
        self.assertEqual(status["sum_bad"], "0")
        settings = self.settings()
        self.assertEqual(settings.get("LATEST_DOWNLOAD"), "%d.bird" % LATEST)
        self.assertEqual(settings.get("LATEST_TRANSFER"), "%d.bird" % LATEST)
        self.assertEqual(len(settings.get("LAST_TRANSFER_DATE", "")), 24, settings)
        # The serial number went into the word and the text of the first block.
        word = self.module.control("flash-read %d 4" % SERIAL_OFFSETS[0])
        self.assertEqual(int(word, 16).to_bytes(4, "big"),
                         bird.patched_firmware(SERIAL)[0][1][0x200:0x204])
        self.assertNotEqual(bird.patched_firmware(SERIAL)[0][1], bird.firmware()[0][1])


class UEIBytes(UpdateCase):
    def test_firmware_goes_as_byte_strings_where_the_device_takes_them(self):
        bird = self.store_image(LATEST)
        module = self.start_module()
        module.control("upgrade-uei on")
        module.control("upgrade-pooled on")
        # Byte strings are the default (-m 1).
        result = self.run_tool("-U", "-b", str(LATEST), "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 0, result)
        self.assert_flash_holds(bird)
        status = module.status()
        # The loader still goes in data packets; each firmware chunk is one string.
        self.assertEqual(status["data"], str((300 + 25) // 26))
        chunks = sum((len(i) + 1023) // 1024 for _, i in bird.firmware())
        self.assertEqual(status["uei_strings"], str(chunks))
        self.assertEqual(status["sum"], str(1 + chunks))

    def test_data_packets_without_device_support_or_with_m_0(self):
        for uei, option in (("off", "1"), ("on", "0")):
            with self.subTest(device_uei=uei, m=option):
                bird = self.store_image(LATEST)
                module = self.start_module()
                module.control("upgrade-uei " + uei)
                result = self.run_tool("-U", "-b", str(LATEST), "-d", SERIAL_TEXT, "-m", option)
                self.assertEqual(result.code, 0, result)
                self.assert_flash_holds(bird)
                self.assertEqual(module.status()["uei_strings"], "0")
                module.stop()
                self.module = None


class ChoosingTheBuild(UpdateCase):
    def test_latest_download_is_used_when_the_current_build_is_not_stored(self):
        bird = self.store_image(LATEST)
        with open(os.path.join(self.device_dir, ".settings"), "w") as f:
            f.write("LATEST_DOWNLOAD=%d.bird\n" % LATEST)
        self.start_server(latest=NEWER, builds=(NEWER, LATEST))
        self.start_module()
        result = self.run_tool("-U", "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 0, result)
        self.assert_in_order(result.out_lines, [
            "New firmware is available.  Updater will proceed if valid firmware is found "
            "locally.",
            "Updating with the Latest Download",
            "Updating firmware with build: %d" % LATEST])
        self.assert_flash_holds(bird)
        self.assertFalse([r for r in self.server_requests() if "op=bird" in r],
                         "the update must not download")
        self.assertEqual(self.settings().get("LATEST_TRANSFER"), "%d.bird" % LATEST)

    def test_latest_transfer_is_the_last_resort(self):
        bird = self.store_image(LATEST)
        with open(os.path.join(self.device_dir, ".settings"), "w") as f:
            f.write("LATEST_TRANSFER=%d.bird\n" % LATEST)
        self.start_module()
        # No server answers: the current build is not known.
        result = self.run_tool("-U", "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 0, result)
        self.assert_in_order(result.out_lines, ["Updating with the Latest Transfer",
                                                "Updating firmware with build: %d" % LATEST])
        self.assert_flash_holds(bird)

    def test_nothing_to_choose_from(self):
        self.start_module()
        result = self.run_tool("-U", "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.err_lines[-1], "Could not find valid build for this device.")
        self.assertEqual(self.module.status()["init"], "0")

    def test_build_not_in_the_store_is_not_downloaded(self):
        make_image(os.path.join(self.birds, "%d.bird" % NEWER), NEWER)
        self.store_image(LATEST)
        self.start_server(latest=NEWER, builds=(NEWER, LATEST))
        self.start_module()
        result = self.run_tool("-U", "-b", str(NEWER), "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.err_lines[-1], "Failed to load bird file")
        self.assertEqual(self.server_requests(), [])
        self.assertEqual(self.module.status()["init"], "0")
        self.assertFalse(os.path.exists(os.path.join(self.device_dir, "%d.bird" % NEWER)))


class Validation(UpdateCase):
    def foreign_file(self, **options):
        path = os.path.join(self.tmp, "foreign.bird")
        # No serial-number block: the file is bound to the serial number it names.
        bird = make_image(path, LATEST, serial=0x11112222, serial_offsets=None, **options)
        return path, bird

    def test_file_of_another_serial_number_fails_validation(self):
        path, _ = self.foreign_file()
        self.start_module()
        result = self.run_tool("-U", "-f", path, "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 1, result)
        self.assertIn("Updating from Birdfile: %s" % path, result.out_lines)
        self.assertEqual(result.err_lines[-1], "Birdfile failed validation")
        self.assertEqual(self.module.status()["init"], "0")
        self.assertEqual(self.settings(), {})

    def test_override_goes_ahead_and_records_the_file(self):
        path, bird = self.foreign_file()
        self.start_module()
        result = self.run_tool("-U", "-f", path, "-d", SERIAL_TEXT, "-OVERRIDE")
        self.assertEqual(result.code, 0, result)
        self.assert_in_order(result.out_lines, self.transfer_lines(bird))
        # Without a serial-number block the image goes as it is.
        self.assert_flash_holds(bird, serial=0x11112222)
        self.assertEqual(bird.patched_firmware(SERIAL), bird.firmware())
        # The device was new to the store: its settings go into its own folder.
        self.assertEqual(self.settings().get("LATEST_TRANSFER"), path)

    def test_model_mismatch(self):
        path = os.path.join(self.tmp, "hub.bird")
        make_image(path, LATEST, model="HubCore4")
        self.start_module()
        result = self.run_tool("-U", "-f", path, "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.err_lines[-2:], [
            "Connected device model and Bird file model do not match [%s] (0)" % MODEL_NAME,
            "Birdfile failed validation"])
        self.assertEqual(self.module.status()["init"], "0")

    def test_unknown_device(self):
        path, _ = self.foreign_file()
        self.start_module()
        result = self.run_tool("-U", "-f", path, "-d", "0BADBEEF")
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.err_lines[-1], "Failed to connect to module [0BADBEEF]")


class Retries(UpdateCase):
    def test_block_that_fails_four_times_succeeds_on_the_fifth(self):
        bird = self.store_image(LATEST)
        module = self.start_module()
        module.control("upgrade-fail-block 0x4000 4 sum")
        result = self.run_tool("-U", "-b", str(LATEST), "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 0, result)
        size = len(bird.firmware()[1][1]) + 4
        block2 = "Transferring firmware block 2 of 2, %d bytes" % size
        lines = [l for l in result.out_lines if l == block2 or l.startswith("  Retry")]
        self.assertEqual(lines, [block2, block2, "  Retry 1", block2, "  Retry 2", block2,
                                 "  Retry 3", block2, "  Retry 4"])
        self.assertIn("Transferred 2 blocks, %d total bytes" % (
            sum(len(i) + 4 for _, i in bird.firmware())), result.out_lines)
        self.assert_flash_holds(bird)

    def test_block_that_fails_five_times_fails_the_update(self):
        bird = self.store_image(LATEST)
        module = self.start_module()
        module.control("upgrade-fail-block 0x4000 5 write")
        result = self.run_tool("-U", "-b", str(LATEST), "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 1, result)
        self.assertIn("  Retry 4", result.out_lines)
        self.assertNotIn("  Retry 5", result.out_lines)
        self.assertEqual(result.out_lines[-1], "Transferred 1 blocks, %d total bytes" % (
            len(bird.firmware()[0][1]) + 4))
        # Without -X the log writes only its always-on lines: the transfer's failure line,
        # once for each of the five attempts, and nothing else.
        self.assertEqual(result.err_lines, ["NETWORK: Failed to transfer firmware"] * 5)
        status = module.status()
        self.assertEqual(status["reboot"], "0")
        self.assertNotIn("LATEST_TRANSFER", self.settings())


class ConsoleAndLog(UpdateCase):
    """What a full update writes where: message lines only on a redirected standard output,
    and the log lines of the packages that -X names."""

    def run_with_stdout(self, stdout, args):
        """Runs the tool with its standard output on `stdout` (a file descriptor); returns the
        process and its standard error text."""
        env = dict(os.environ, HOME=self.tmp)
        proc = subprocess.Popen([harness.UPDATER_BIN, "-i", self.storage, "-u", self.url] + args,
                                stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                                env=env)
        return proc

    def download_and_update(self):
        bird = make_image(os.path.join(self.birds, "%d.bird" % LATEST), LATEST)
        self.start_server()
        self.start_module()
        return bird, ["-G", "-U", "-d", SERIAL_TEXT]

    def test_stdout_redirected_to_a_file_holds_only_the_message_lines(self):
        bird, args = self.download_and_update()
        path = os.path.join(self.tmp, "stdout.txt")
        with open(path, "wb") as out:
            proc = self.run_with_stdout(out, args)
            _, err = proc.communicate(timeout=120)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(err, b"")
        with open(path, "rb") as f:
            data = f.read()
        self.assertNotIn(b"\r", data)
        lines = data.decode().split("\n")
        self.assertEqual(lines[-1], "")
        self.assertTrue(lines[0].startswith("Updater (Version: "), lines)
        self.assertRegex(lines[-2], r"^Update time: \d+\.\d{4} sec$")
        self.assertEqual(lines[1:-2], [
            "Retrieving firmware for device with serial number %s" % SERIAL_TEXT,
            "No build specified", "Using Latest build", "Retrieving build %d" % LATEST,
            "Validating build %d with server" % LATEST, "Build %d is valid" % LATEST,
            "Updating firmware with build: %d" % LATEST] + self.transfer_lines(bird))
        self.assert_flash_holds(bird)

    def test_on_a_terminal_the_bar_is_drawn(self):
        # The same update on a terminal draws its progress bar over one line: the file above
        # is free of it because the display knows where it writes.
        bird, args = self.download_and_update()
        master, slave = pty.openpty()
        try:
            proc = self.run_with_stdout(slave, args)
            os.close(slave)
            slave = None
            data = b""
            while True:
                ready, _, _ = select.select([master], [], [], 60)
                if not ready:
                    break
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the terminal's other side is closed
                    break
                if not chunk:
                    break
                data += chunk
            proc.wait(timeout=60)
            proc.stderr.close()
        finally:
            os.close(master)
            if slave is not None:
                os.close(slave)
        self.assertEqual(proc.returncode, 0, data)
        self.assertIn(b"\r[", data)
        self.assertIn(b"(100% )", data)
        self.assert_flash_holds(bird)

    def log_lines(self, mask):
        self.store_image(LATEST)
        self.start_module()
        result = self.run_tool("-U", "-b", str(LATEST), "-d", SERIAL_TEXT, "-X", mask)
        self.assertEqual(result.code, 0, result)
        self.module.stop()
        self.module = None
        # Log lines that begin with a new line leave empty lines between them.
        return [line for line in result.err_lines if line]

    def test_x_0x400_shows_the_upgrade_exchange_and_0x401_adds_the_engine(self):
        exchange = self.log_lines("0x400")
        for line in exchange:
            self.assertTrue(line.startswith("NETWORK: ") or
                            line in ("Waiting for link to drop.", "Rebooting Device"), line)
        for line in ("NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}",
                     "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}",
                     "NETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}",
                     "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, 1024}",
                     "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}"):
            self.assertIn(line, exchange)

        both = self.log_lines("0x401")
        path = os.path.join(self.device_dir, "%d.bird" % LATEST)
        for line in ("Setting serial number into firmware...  Serial Number inserted into "
                     "firmware.",
                     "UpdateFirmware() Connecting to device",
                     "Transferring firmware to device %s" % path,
                     "Updating device firmware: "):
            self.assertNotIn(line, exchange)
            self.assertIn(line, both)
        # The exchange's own lines are the same with the engine's added (timings aside).
        timed = re.compile(r"\[\d+ ms\]$")
        self.assertEqual([l for l in exchange if not timed.search(l)],
                         [l for l in both if l.startswith("NETWORK: ") and not timed.search(l)
                          or l in ("Waiting for link to drop.", "Rebooting Device")])


class RestartIntoTheLoader(UpdateCase):
    """LOAD restarts the device into its loader; the firmware waits until it is back."""

    def update(self, *options):
        bird = self.store_image(LATEST)
        module = self.start_module(*options)
        result = self.run_tool("-U", "-b", str(LATEST), "-d", SERIAL_TEXT)
        self.assertEqual(result.code, 0, result)
        self.assert_in_order(result.out_lines, self.transfer_lines(bird))
        self.assert_flash_holds(bird)
        status = module.status()
        self.assertEqual((status["load"], status["reboot"]), ("1", "1"))
        return result, status

    def test_device_that_is_down_for_a_while_after_answering_load(self):
        # Listening again only 1.5 s after the drop: the host reconnects when it is back,
        # and the first PREPARE already reaches the loader.
        result, status = self.update("--upgrade-down-ms", "1500")
        self.assertFalse([l for l in result.out_lines if l.startswith("  Retry")], result)
        self.assertEqual(status["prepare"], str(1 + 2))
        self.assertEqual(status["restarts"], "2")
        self.assertEqual(status["mode"], "app")

    def test_other_answers_to_load(self):
        # Unanswered with the answer held until the host is back, never answered, answered
        # late and then restarting.
        for how in ("after-reconnect", "never", "late 400"):
            with self.subTest(load_reply=how):
                bird = self.store_image(LATEST)
                module = self.start_module()
                module.control("upgrade-load-reply " + how)
                result = self.run_tool("-U", "-b", str(LATEST), "-d", SERIAL_TEXT)
                self.assertEqual(result.code, 0, result)
                self.assert_in_order(result.out_lines, self.transfer_lines(bird))
                self.assert_flash_holds(bird)
                self.assertEqual(module.status()["restarts"], "2")
                module.stop()
                self.module = None

    def test_loader_under_the_default_serial_number(self):
        # The loader answers discovery as 0xDEADDEAD; the host reconnects to the address it
        # used, so the update goes on, and the new firmware has the serial number again.
        result, status = self.update("--upgrade-deaddead")
        self.assertEqual(status["serial"], SERIAL_TEXT)
        self.assertEqual(self.settings().get("LATEST_TRANSFER"), "%d.bird" % LATEST)


class ThroughARouter(UpdateCase):
    ROUTER = 0x0A0A0A0A
    TARGET_ADDRESS = 8

    def start_router(self, behind_serial):
        # The router answers discovery; the device sits behind it at TARGET_ADDRESS and
        # hears its packets whatever route-to-me says (discovery sets it back to 0).
        self.module = ModulePeer(
            "--serial", hex(self.ROUTER), "--model", "17", "--address", "2", "--router-forward",
            "--behind", "%d:%s:%d" % (self.TARGET_ADDRESS, hex(behind_serial), MODEL))
        return self.module

    def test_update_of_a_module_behind_a_router(self):
        # The device behind answers LOAD and restarts into its loader while the router's
        # link stays up. Down for 1.5 s it misses the first PREPAREs, which are asked again.
        for down_ms, missed in ((200, False), (1500, True)):
            with self.subTest(down_ms=down_ms):
                path = os.path.join(self.tmp, "target.bird")
                bird = make_image(path, LATEST)
                router = self.start_router(SERIAL)
                router.control("upgrade-behind %d" % self.TARGET_ADDRESS)
                router.control("upgrade-timing 20 %d" % down_ms)
                result = self.run_tool("-U", "-f", path, "-d", SERIAL_TEXT,
                                       "-r", "%08X" % self.ROUTER)
                self.assertEqual(result.code, 0, result)
                self.assert_in_order(result.out_lines, self.transfer_lines(bird))
                retries = [l for l in result.out_lines if l.startswith("  Retry")]
                self.assertEqual(retries, ["  Retry %d" % n for n in range(1, len(retries) + 1)])
                self.assertEqual(bool(retries), missed, result)
                self.assert_flash_holds(bird)
                status = router.status()
                self.assertEqual((status["load"], status["reboot"]), ("1", "1"))
                # PREPAREs that reach the device behind only while it is restarting go unseen.
                self.assertEqual(status["prepare"], "3")
                router.stop()
                self.module = None

    def test_serial_number_the_router_does_not_see(self):
        path = os.path.join(self.tmp, "target.bird")
        make_image(path, LATEST)
        self.start_router(0x12121212)
        result = self.run_tool("-U", "-f", path, "-d", SERIAL_TEXT, "-r", "%08X" % self.ROUTER)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.err_lines[-1],
                         "Module address required for indirect firmware update, could not "
                         "find serial number [0x%s] on network" % SERIAL_TEXT)


if __name__ == "__main__":
    unittest.main()
