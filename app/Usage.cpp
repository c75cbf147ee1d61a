#include "Usage.h"

#include "Parameters.h"

namespace {

const char kProgramName[] = "Updater";

void sParametersAndCommands(FILE *out) {
    fputs("  Parameters to commands:\n", out);
    fputs("     -i <veltrona_directory>  - The Veltrona directory used for storage of \n", out);
    fputs("                                firmware files. [Default: ~/.veltrona ].\n", out);
    fputs("     -b <build number>        - Build version of the firmware to transfer.\n", out);
    fputs("                                [Default: latest version available].\n", out);
    fputs("     -d <device>              - Device serial number of the device to access.\n", out);
    fputs("     -t <transport type>      - communications method [USB,TCP,RECOVER].\n", out);
    fputs("     -f <bird file>           - Firmware file to be transferred to device.\n", out);
    fputs("     -r <router serial>       - indirect connection through router device\n", out);
    fputs("     -s <serial port>         - name of serial port to use for recovery\n", out);
    fputs("     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,\n", out);
    fputs("                                19200, 38400, 57600, 115200, 230400)\n", out);
    fputs("  Commands:\n", out);
    fputs("     -B                       - list the Builds available for given device.\n", out);
    fputs("\n", out);
    fputs("     -L                       - list the local Builds available for given device.\n",
          out);
    fputs("\n", out);
    fputs("     -D                       - Discover devices that are currently connected.\n", out);
    fputs("\n", out);
    fputs("     -G                       - Get build file from the Veltrona server and\n", out);
    fputs("                                store on local machine for download to device.\n", out);
    fputs("                                Must specify a specific device [\"-d\" option].\n", out);
    fputs("                                Default is to obtain the latest build for the\n", out);
    fputs("                                given device, override with \"-b\" option.\n", out);
    fputs("\n", out);
    fputs("     -U                       - Update the firmware on device specified.\n", out);
    fputs("                                Must specify a specific device [\"-d\" option].\n", out);
    fputs("                                Default is to download the latest build for the\n", out);
    fputs("                                given device, override with \"-b\" option or\n", out);
    fputs("                                specify specific BIRD file using \"-f\" option.\n", out);
    fputs("     -J                       - Get a JWT containing the devices software features\n",
          out);
    fputs("     -H or -h                 - Display extended usage information.\n", out);
    fputs("\n", out);
    fprintf(out, "     --http                   - Use HTTP for the update server (%s).\n",
            _default_server_url(false).c_str());
    fprintf(out, "     --https                  - Use HTTPS for the update server (%s).\n",
            _default_server_url(true).c_str());
    fputs("                                Recommended; HTTPS will be the default in the next "
          "major version.\n",
          out);
}

void sExtended(FILE *out) {
    fputs("  Extended Parameters:\n", out);
    fputs("     -e                       - echoing of bytes enabled during recovery.\n", out);
    fputs("\n", out);
    fputs("     -m                       - Attemps to use UEIBytes for faster loading\n", out);
    fputs("     -l 'log message'         - message to place in device history log\n", out);
    fputs("     -k <filename>            - log messages written into given filename\n", out);
    fputs("                                Default:[APP.log]\n", out);
    fputs("     -u <host:port>           - The hostname and port of the update server\n", out);
    fprintf(out, "                                Default: %s:port\n", UPDATER_SERVER_HOST);
    fputs("  Extended Commands:\n", out);
    fputs("     -I                       - View stored device information.\n", out);
    fputs("                                Must either use DISCOVER command [\"-D\"] or\n", out);
    fputs("                                specify a specific device [\"-d\" option].\n", out);
    fputs("\n", out);
    fputs("     -OVERRIDE                - Override the model checks for BIRD firmware files.\n",
          out);
    fputs("                                This option should only be used when authorized by\n",
          out);
    fputs("                                Veltrona development engineers.\n", out);
    fputs("\n", out);
    fputs("     -N                       - Get fingerprint from a device, requires -s\n", out);
    fputs("\n", out);
    fputs("     -X <BIT_MASK>            - Bitmask for Logging\n", out);
    fputs("                                DEBUG_Updater       0x00000001\n", out);
    fputs("                                DEBUG_History       0x00000002\n", out);
    fputs("                                DEBUG_Attributes    0x00000004\n", out);
    fputs("                                DEBUG_BirdFile      0x00000008\n", out);
    fputs("                                DEBUG_Network       0x00000010\n", out);
    fputs("                                DEBUG_ServerComm    0x00000020\n", out);
    fputs("\n", out);
    fputs("                                DEBUG_Network       0x00000100\n", out);
    fputs("                                DEBUG_Network_SR    0x00000200\n", out);
    fputs("                                DEBUG_Network_FIRM  0x00000400\n", out);
    fputs("\n", out);
    fputs("                                DEBUG_NXPSerial     0x00001000\n", out);
    fputs("                                DEBUG_NXPSerial_E   0x00002000\n", out);
    fputs("                                DEBUG_NXPSerial_SR  0x00004000\n", out);
    fputs("\n", out);
    fputs("                                DEBUG_APP           0x00010000\n", out);
    fputs("\n", out);
    fputs("                                DEBUG_iMXSerial     0x10000000\n", out);
    fputs("\n", out);
    fputs("     -C                       - Check the given BIRDFILE\n", out);
    fputs("\n", out);
}

void sSamples(FILE *out) {
    fputs(" Sample usage:\n", out);
    fputs("\n", out);
    fputs("-D                             Discover all devices connected by either USB or TCPIP.\n",
          out);
    fputs("                               Records the device information into the settings for "
          "that device.\n",
          out);
    fputs("\n", out);
    fputs("-D -t USB                      Discover all the devices connected by USB. Records the\n",
          out);
    fputs("                               device information into the settings for that device.\n",
          out);
    fputs("\n", out);
    fputs("-D -t USB -d 0F5849A           Discover settings of the specific device (serial number "
          "0x40F5849A)\n",
          out);
    fputs("\n", out);
    fputs("-G -d 40F5849A                 Get the latest firmware for the given device.\n", out);
    fputs("                               Downloads the firmware file into the updater specific "
          "device directory.\n",
          out);
    fputs("\n", out);
    fputs("-U -d 40F5849A                 Update the firmware on the specific device.\n", out);
    fputs("                               Without other options, this command will try to locate\n",
          out);
    fputs("                               the latest firmware version to be used for updating the "
          "device.\n",
          out);
    fputs("\n", out);
    fputs(
        "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.\n",
        out);
    fputs(
        "                               Downloads the firmware file into the updater's specific\n",
        out);
    fputs(
        "                               device directory with the build number as the filename.\n",
        out);
    fputs("\n", out);
    fputs("-G -U -d 40F5849A              Get the latest firmware for the given device.\n", out);
    fputs("                               Downloads the firmware file into the updater specific\n",
          out);
    fputs("                               device directory. After download, update the firmware\n",
          out);
    fputs("                               using the latest release.\n", out);
    fputs("\n", out);
    fputs("-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the "
          "serial interface\n",
          out);
    fputs("                               in communicating with the device to install the latest "
          "firmware.\n",
          out);
    fputs("\n", out);
    fputs(" Sample usage for network discovery and updates:\n", out);
    fputs("\n", out);
    fputs("-D -r D272031D                 Discover all devices connected to the I2C Corvantis "
          "network\n",
          out);
    fputs("                               of the given routing device D272031D.\n", out);
    fputs("\n", out);
    fputs("-G -U -d 2181F0EE -r D272031D\n", out);
    fputs("                               Get and Update to the latest firmware for device "
          "2181F0EE\n",
          out);
    fputs("                               indirectly through routing device D272031D.\n", out);
    fputs("\n", out);
}

} // namespace

void _write_usage(FILE *out, bool extended, bool full) {
    fprintf(out,
            "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
            "    [-d serial_num]\n    [-t transport] [-r router_serial]\n"
            "    [-s serial_port] [-o baud_rate]\n\n"
            "  Corvantis Update and Maintenance Application\n"
            "    -H -h or --help for full usage information.\n\n",
            kProgramName);
    if (full)
        sParametersAndCommands(out);
    if (full && extended)
        sExtended(out);
    if (full)
        sSamples(out);
}

void _display_usage(bool extended, bool full) {
    _write_usage(stderr, extended, full);
}
