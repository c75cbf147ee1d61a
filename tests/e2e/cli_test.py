"""End-to-end tests of the command line: exact output and exit codes of the real binary."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import run, TempDir, NO_SERVER_URL, unavailable  # noqa: E402

SERVER_HOST = os.environ.get("UPDATER_SERVER_HOST", "updates.veltrona.example")
HTTP_URL = "http://" + SERVER_HOST + "/cgi/u"
HTTPS_URL = "https://" + SERVER_HOST + "/cgi/u"

SHORT_USAGE = ("\nApplication Usage:\nUpdater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
               "    [-d serial_num]\n    [-t transport] [-r router_serial]\n"
               "    [-s serial_port] [-o baud_rate]\n\n"
               "  Corvantis Update and Maintenance Application\n"
               "    -H -h or --help for full usage information.\n\n")

PARAMETERS_BLOCK = [
    "  Parameters to commands:",
    "     -i <veltrona_directory>  - The Veltrona directory used for storage of ",
    "                                firmware files. [Default: ~/.veltrona ].",
    "     -b <build number>        - Build version of the firmware to transfer.",
    "                                [Default: latest version available].",
    "     -d <device>              - Device serial number of the device to access.",
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].",
    "     -f <bird file>           - Firmware file to be transferred to device.",
    "     -r <router serial>       - indirect connection through router device",
    "     -s <serial port>         - name of serial port to use for recovery",
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,",
    "                                19200, 38400, 57600, 115200, 230400)",
    "  Commands:",
    "     -B                       - list the Builds available for given device.",
    "",
    "     -L                       - list the local Builds available for given device.",
    "",
    "     -D                       - Discover devices that are currently connected.",
    "",
    "     -G                       - Get build file from the Veltrona server and",
    "                                store on local machine for download to device.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to obtain the latest build for the",
    "                                given device, override with \"-b\" option.",
    "",
    "     -U                       - Update the firmware on device specified.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to download the latest build for the",
    "                                given device, override with \"-b\" option or",
    "                                specify specific BIRD file using \"-f\" option.",
    "     -J                       - Get a JWT containing the devices software features",
    "     -H or -h                 - Display extended usage information.",
    "",
    "     --http                   - Use HTTP for the update server (" + HTTP_URL + ").",
    "     --https                  - Use HTTPS for the update server (" + HTTPS_URL + ").",
    "                                Recommended; HTTPS will be the default in the next major version.",
]

EXTENDED_BLOCK = [
    "  Extended Parameters:",
    "     -e                       - echoing of bytes enabled during recovery.",
    "",
    "     -m                       - Attemps to use UEIBytes for faster loading",
    "     -l 'log message'         - message to place in device history log",
    "     -k <filename>            - log messages written into given filename",
    "                                Default:[APP.log]",
    "     -u <host:port>           - The hostname and port of the update server",
    "                                Default: " + SERVER_HOST + ":port",
    "  Extended Commands:",
    "     -I                       - View stored device information.",
    "                                Must either use DISCOVER command [\"-D\"] or",
    "                                specify a specific device [\"-d\" option].",
    "",
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.",
    "                                This option should only be used when authorized by",
    "                                Veltrona development engineers.",
    "",
    "     -N                       - Get fingerprint from a device, requires -s",
    "",
    "     -X <BIT_MASK>            - Bitmask for Logging",
    "                                DEBUG_Updater       0x00000001",
    "                                DEBUG_History       0x00000002",
    "                                DEBUG_Attributes    0x00000004",
    "                                DEBUG_BirdFile      0x00000008",
    "                                DEBUG_Network       0x00000010",
    "                                DEBUG_ServerComm    0x00000020",
    "",
    "                                DEBUG_Network       0x00000100",
    "                                DEBUG_Network_SR    0x00000200",
    "                                DEBUG_Network_FIRM  0x00000400",
    "",
    "                                DEBUG_NXPSerial     0x00001000",
    "                                DEBUG_NXPSerial_E   0x00002000",
    "                                DEBUG_NXPSerial_SR  0x00004000",
    "",
    "                                DEBUG_APP           0x00010000",
    "",
    "                                DEBUG_iMXSerial     0x10000000",
    "",
    "     -C                       - Check the given BIRDFILE",
    "",
]

SAMPLES_BLOCK = [
    " Sample usage:",
    "",
    "-D                             Discover all devices connected by either USB or TCPIP.",
    "                               Records the device information into the settings for that device.",
    "",
    "-D -t USB                      Discover all the devices connected by USB. Records the",
    "                               device information into the settings for that device.",
    "",
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)",
    "",
    "-G -d 40F5849A                 Get the latest firmware for the given device.",
    "                               Downloads the firmware file into the updater specific device directory.",
    "",
    "-U -d 40F5849A                 Update the firmware on the specific device.",
    "                               Without other options, this command will try to locate",
    "                               the latest firmware version to be used for updating the device.",
    "",
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.",
    "                               Downloads the firmware file into the updater's specific",
    "                               device directory with the build number as the filename.",
    "",
    "-G -U -d 40F5849A              Get the latest firmware for the given device.",
    "                               Downloads the firmware file into the updater specific",
    "                               device directory. After download, update the firmware",
    "                               using the latest release.",
    "",
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface",
    "                               in communicating with the device to install the latest firmware.",
    "",
    " Sample usage for network discovery and updates:",
    "",
    "-D -r D272031D                 Discover all devices connected to the I2C Corvantis network",
    "                               of the given routing device D272031D.",
    "",
    "-G -U -d 2181F0EE -r D272031D",
    "                               Get and Update to the latest firmware for device 2181F0EE",
    "                               indirectly through routing device D272031D.",
    "",
]


def block(lines):
    return "".join(line + "\n" for line in lines)


FULL_USAGE = SHORT_USAGE + block(PARAMETERS_BLOCK) + block(SAMPLES_BLOCK)
EXTENDED_USAGE = SHORT_USAGE + block(PARAMETERS_BLOCK) + block(EXTENDED_BLOCK) + block(SAMPLES_BLOCK)

VERSION_RE = re.compile(
    r"^Updater \(Version: 2\.12\.4 (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    r"[ 123]\d (\d{4})\)$")
COPYRIGHT_FORMAT = "Copyright (c) 2014-%s Veltrona Instruments. All rights reserved."

MULTIPLE_URLS = ("Multiple update server URLs specified. Choose one of: --https, --http, "
                 "or -U <host:port>.")


class CommandLine(unittest.TestCase):
    def setUp(self):
        harness.require_binary(self)

    # --- helpers -------------------------------------------------------------------------

    def assertIdentification(self, result, with_copyright=True):
        """The version line (with the build date) and, when expected, the copyright."""
        lines = result.out_lines
        self.assertGreaterEqual(len(lines), 1, result)
        match = VERSION_RE.match(lines[0])
        self.assertIsNotNone(match, result)
        if with_copyright:
            self.assertGreaterEqual(len(lines), 2, result)
            self.assertEqual(lines[1], COPYRIGHT_FORMAT % match.group(2), result)
        return lines[2:] if with_copyright else lines[1:]

    def assertRejected(self, args, errors):
        """An option rejected by the parser: its messages, then the short usage; exit 1."""
        result = run(args)
        self.assertEqual(result.code, 1, result)
        self.assertEqual(self.assertIdentification(result), [], result)
        self.assertEqual(result.stderr, block(errors) + SHORT_USAGE, result)
        return result

    def assertUsage(self, args, usage):
        result = run(args)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(self.assertIdentification(result), [], result)
        self.assertEqual(result.stderr, usage, result)
        return result

    def assertUnavailable(self, result, what):
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.err_lines[-1:], [what + harness.UNAVAILABLE_SUFFIX], result)

    # --- usage -----------------------------------------------------------------------------

    def test_no_arguments_prints_short_usage(self):
        self.assertUsage([], SHORT_USAGE)

    def test_help_prints_full_usage(self):
        for word in ("-h", "-H", "--help", "--he"):
            with self.subTest(word=word):
                self.assertUsage([word], FULL_USAGE)

    def test_debug_mask_before_help_adds_extended_block(self):
        self.assertUsage(["-X", "0", "-h"], EXTENDED_USAGE)
        self.assertUsage(["-X", "1", "-h"], EXTENDED_USAGE)

    def test_debug_mask_after_help_is_never_parsed(self):
        self.assertUsage(["-h", "-X", "1"], FULL_USAGE)

    def test_stray_words_have_no_effect(self):
        self.assertUsage(["word"], SHORT_USAGE)
        self.assertUsage(["first", "-X", "0", "middle", "-h", "last"], EXTENDED_USAGE)

    def test_no_command_is_accepted_options_only(self):
        # Valid parameters without a command: the short usage and exit 0.
        for args in (["-d", "40F5849A"], ["-d", "0x40F5849A"], ["-t", "TCPIP"], ["-t", "USB"],
                     ["--https"], ["-u", NO_SERVER_URL], ["-OVERRIDE"], ["-b", "x"]):
            with self.subTest(args=args):
                self.assertUsage(args, SHORT_USAGE)

    def test_unknown_and_ambiguous_options_are_dropped_silently(self):
        self.assertUsage(["-Q", "--ht", "-b5", "-d"], SHORT_USAGE)

    # --- rejected options -----------------------------------------------------------------

    def test_invalid_serial_numbers(self):
        self.assertRejected(["-d", "0"], ["Invalid serial number obtained from argument [0]"])
        self.assertRejected(["-d", "0x0", "-D"],
                            ["Invalid serial number obtained from argument [0]"])
        self.assertRejected(["-d", "40F5849G", "-D"],
                            ["Invalid serial number obtained from argument [40F5849G]"])
        self.assertRejected(["-r", "0xQ"],
                            ["Invalid router serial number obtained from argument [Q]"])

    def test_lower_case_transport_is_rejected(self):
        self.assertRejected(["-t", "tcp", "-D"],
                            ["Invalid transport type:[tcp]",
                             "Must be one of the following: USB, TCPIP, RECOVER"])

    def test_server_choices_are_exclusive(self):
        self.assertRejected(["-u", NO_SERVER_URL, "--https", "-B", "-d", "1"], [MULTIPLE_URLS])
        self.assertRejected(["--http", "--https"], [MULTIPLE_URLS])

    def test_unhandled_command(self):
        self.assertRejected(["-Y"], ["Unhandled command: [-Y]"])

    # --- commands --------------------------------------------------------------------------

    def test_serial_with_and_without_prefix_agree(self):
        with TempDir() as store:
            results = [run(["-X", "1", "-G", "-d", serial, "-i", store, "-u", NO_SERVER_URL])
                       for serial in ("0x40F5849A", "40F5849A")]
        # The prefix is dropped (and says so on the log); otherwise the runs are the same.
        self.assertEqual(results[0].err_lines[0], "Discarding '0x' serial number prefix",
                         results[0])
        self.assertEqual(results[0].err_lines[1:], results[1].err_lines, results)
        self.assertEqual(results[0].code, results[1].code)
        for result in results:
            # Nothing answers at NO_SERVER_URL: the download fails after naming the device.
            self.assertEqual(result.code, 1, result)
            self.assertEqual(result.out_lines[1:], [
                "Retrieving firmware for device with serial number 40F5849A",
                "No build specified",
                "Using Latest build"], result)
            self.assertEqual(result.err_lines[-1:], ["Server request failed for " + NO_SERVER_URL],
                             result)

    def test_bad_debug_mask_still_runs_discovery(self):
        # 0x10000 (DEBUG_APP) would log the parameters if the mask had been activated.
        for value in ("0x41G", "0x10000G"):
            with self.subTest(value=value), TempDir() as store:
                result = run(["-X", value, "-D", "-i", store], timeout=120)
                self.assertEqual(result.code, 0, result)
                self.assertEqual(result.err_lines, [
                    'Invalid format for "-X" parameter, unprocessed characters [G]',
                    "Searching for Corvantis devices"], result)
                self.assertEqual(self.assertIdentification(result, with_copyright=False),
                                 ["Discovered Devices: (USB)", "    No devices found."], result)

    def test_storage_directory_is_updater_inside_the_i_directory(self):
        with TempDir() as parent:
            result = run(["-D", "-i", parent], timeout=120)
            self.assertTrue(os.path.isdir(os.path.join(parent, "updater")), result)
            self.assertEqual(os.listdir(parent), ["updater"])
            self.assertEqual(os.listdir(os.path.join(parent, "updater")), [])
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.err_lines, ["Searching for Corvantis devices"], result)

    def test_storage_directory_that_cannot_be_made(self):
        with TempDir() as parent:
            blocker = os.path.join(parent, "file")
            with open(blocker, "w") as f:
                f.write("x")
            result = run(["-D", "-i", blocker])
        self.assertEqual(result.code, 1, result)
        self.assertEqual(result.err_lines,
                         ["Could not find updater directory at " + blocker + "/updater"], result)
        self.assertEqual(self.assertIdentification(result, with_copyright=False), [], result)

    def test_tcpip_discovery(self):
        with TempDir() as store:
            result = run(["-D", "-t", "TCPIP", "-i", store], timeout=120)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.err_lines, ["Searching for Corvantis devices"], result)
        lines = self.assertIdentification(result, with_copyright=False)
        self.assertEqual(lines[:1], ["Discovered Devices: (TCPIP)"], result)

    def test_commands_that_need_a_device(self):
        cases = [
            (["-G"], ["-G must specify a specific device via -d", "--help for usage information"],
             ""),
            (["-U"], ["Must specify the specific device to be updated"], ""),
            (["-B"], ["Error must supply a serial number for the List Builds command"],
             SHORT_USAGE),
            (["-L"], ["Error must supply a serial number for the List Local Builds command"],
             SHORT_USAGE),
            (["-J"], ["Error must supply a serial number for the Get JWT command"], SHORT_USAGE),
            (["-N"], ["Must specify the serial port used for connecting"], ""),
            (["-C"], ["-C must specify a BIRD file via -f"], ""),
            (["-I"], ["-I must specify a specific device via -d"], ""),
        ]
        with TempDir() as store:
            for args, errors, usage in cases:
                with self.subTest(args=args):
                    result = run(args + ["-i", store, "-u", NO_SERVER_URL])
                    self.assertEqual(result.code, 1, result)
                    self.assertEqual(result.stderr, block(errors) + usage, result)
                    self.assertEqual(self.assertIdentification(result, with_copyright=False),
                                     [], result)

    def test_recovery_commands_not_yet_available_say_so(self):
        # Recovery is not part of this build yet: one Error line each and exit code 1.
        cases = [
            (["-N", "-s", "/dev/null"], "Fingerprint reading (-N)"),
            (["-U", "-t", "RECOVER", "-s", "/dev/null"], "Firmware recovery (-U -t RECOVER)"),
        ]
        with TempDir() as store:
            for args, what in cases:
                with self.subTest(args=args):
                    result = run(args + ["-i", store, "-u", NO_SERVER_URL])
                    if not unavailable(result):
                        self.skipTest("recovery is available now; its own tests cover it")
                    self.assertUnavailable(result, what)
                    self.assertEqual(result.err_lines, [what + harness.UNAVAILABLE_SUFFIX],
                                     result)
                    self.assertEqual(self.assertIdentification(result, with_copyright=False),
                                     [], result)


if __name__ == "__main__":
    unittest.main()
