#include "UpdaterMain.h"

#include "CheckBird.h"
#include "DeviceInfoCommand.h"
#include "Listings.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "Usage.h"
#include "aDirectory.h"
#include "path.h"

namespace {

const uint16_t kStorageMode = 0755;
const uint32_t kUnknownChipSerial = 0xDEADDEAD;

// Operations still missing from this build are named to the user instead of being run.
bool sAvailable(UpdaterDisplayInterface &display, const char *operation, const char *what) {
    if (Updater::IsAvailable(operation))
        return true;
    display.message(UpdaterDisplayInterface::Error, "%s is not available in this build", what);
    return false;
}

// Home directory (or -i), then "updater" inside it; made when missing.
bool sPrepareStorage(UpdaterDisplayInterface &display, Parameters &parameters) {
    if (parameters.storageDirectory.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", (int)err);
            return false;
        }
        parameters.storageDirectory = BuildPath(home, ".veltrona", nullptr);
    }
    parameters.storageDirectory = BuildPath(parameters.storageDirectory, "updater", nullptr);
    if (aDirectory_Ensure(parameters.storageDirectory.c_str(), kStorageMode) != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s",
                        parameters.storageDirectory.c_str());
        return false;
    }
    return true;
}

int sDiscover(UpdaterDisplayInterface &display, Updater &updater, const Parameters &parameters) {
    int transport = parameters.transportGiven && parameters.transport != kTransportRecover
                        ? parameters.transport
                        : 0;
    if (parameters.routerSerialNumber != 0) {
        if (!sAvailable(display, "Discover_CVNetwork_Devices", "Network device discovery (-D -r)"))
            return 1;
        display.message(UpdaterDisplayInterface::Error,
                        "Searching for Corvantis Network devices connected to %08X",
                        parameters.routerSerialNumber);
        auto devices =
            updater.Discover_CVNetwork_Devices(parameters.routerSerialNumber, (linkType)transport);
        _display_device_list(display, devices, transport);
        return 0;
    }
    if (!sAvailable(display, "Discover_Devices", "Device discovery (-D)"))
        return 1;
    display.message(UpdaterDisplayInterface::Error, "Searching for Corvantis devices");
    // Without a transport option only USB is searched.
    int searched = transport == 0 ? (int)USB : transport;
    auto devices = updater.Discover_Devices((linkType)searched);
    _display_device_list(display, devices, searched);
    return 0;
}

int sUpdate(UpdaterDisplayInterface &display, Updater &updater, const Parameters &parameters) {
    const char *end = nullptr;
    // An empty or non-numeric build means the latest one.
    unsigned build = _get_int_arg(parameters.build.c_str(), &end);
    updater.Set_UEIBytes_Load(parameters.ueiBytes);
    bool ok;
    if (parameters.transport == kTransportRecover) {
        if (!sAvailable(display, "Recover_Firmware", "Firmware recovery (-U -t RECOVER)"))
            return 1;
        ok = updater.Recover_Firmware(parameters.serialPort, build, parameters.baudRate,
                                      parameters.serialNumber, parameters.birdFile,
                                      parameters.override);
    } else {
        if (parameters.serialNumber == 0) {
            display.message(UpdaterDisplayInterface::Error,
                            "Must specify the specific device to be updated");
            return 1;
        }
        if (!sAvailable(display, "Update_Firmware", "Firmware update (-U)"))
            return 1;
        ok = updater.Update_Firmware(parameters.serialNumber, build, parameters.birdFile,
                                     parameters.moduleAddress, parameters.routerSerialNumber,
                                     parameters.override);
    }
    return ok ? 0 : 1;
}

// -B, -L and -J need a device; without one the short usage follows the message.
bool sHaveSerial(UpdaterDisplayInterface &display, const Parameters &parameters,
                 const char *message) {
    if (parameters.serialNumber != 0)
        return true;
    display.message(UpdaterDisplayInterface::Error, "%s", message);
    _display_usage(false, false);
    return false;
}

int sRun(UpdaterDisplayInterface &display, Parameters &parameters) {
    Updater updater(parameters.serverUrl.c_str(), parameters.storageDirectory.c_str(), display);
    int result = 0;

    if (parameters.commands.IsSet(CMD_FINGERPRINT)) {
        if (parameters.serialPort.empty()) {
            display.message(UpdaterDisplayInterface::Error,
                            "Must specify the serial port used for connecting");
            return 1;
        }
        if (!sAvailable(display, "Get_Fingerprint", "Fingerprint reading (-N)"))
            return 1;
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, parameters.serialPort, kUnknownChipSerial,
                                    parameters.birdFile, parameters.baudRate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(UpdaterDisplayInterface::Error, "Got no response from chip");
            result = 1;
        }
    }

    if (parameters.commands.IsSet(CMD_GET_BUILD)) {
        if (parameters.serialNumber == 0) {
            display.message(UpdaterDisplayInterface::Error,
                            "-G must specify a specific device via -d");
            display.message(UpdaterDisplayInterface::Error, "--help for usage information");
            return 1;
        }
        if (!sAvailable(display, "Download_Firmware", "Firmware download (-G)"))
            return 1;
        display.message(UpdaterDisplayInterface::Info,
                        "Retrieving firmware for device with serial number %08X",
                        parameters.serialNumber);
        if (parameters.build.empty()) {
            display.message(UpdaterDisplayInterface::Info, "No build specified");
            display.message(UpdaterDisplayInterface::Info, "Using Latest build");
        } else {
            display.message(UpdaterDisplayInterface::Info, "Retrieving firmware build %s",
                            parameters.build.c_str());
        }
        uint32_t stored = updater.Download_Firmware(parameters.serialNumber, parameters.build,
                                                    parameters.override, false);
        if (stored != 0) {
            // A following update uses the build just stored.
            parameters.build = std::to_string(stored);
            result = 0;
        } else {
            result = 1;
        }
    }

    if (parameters.commands.IsSet(CMD_DISCOVER))
        return sDiscover(display, updater, parameters);
    if (parameters.commands.IsSet(CMD_UPDATE))
        return sUpdate(display, updater, parameters);
    if (parameters.commands.IsSet(CMD_LIST_BUILDS)) {
        if (!sHaveSerial(display, parameters,
                         "Error must supply a serial number for the List Builds command"))
            return 1;
        if (!sAvailable(display, "Get_BuildList", "Server build list (-B)"))
            return 1;
        _display_builds(display, updater.Get_BuildList(parameters.serialNumber),
                        parameters.serialNumber);
        return 0;
    }
    if (parameters.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
        if (!sHaveSerial(display, parameters,
                         "Error must supply a serial number for the List Local Builds command"))
            return 1;
        if (!sAvailable(display, "Get_BuildListLocal", "Local build list (-L)"))
            return 1;
        _display_builds(display, updater.Get_BuildListLocal(parameters.serialNumber),
                        parameters.serialNumber);
        return 0;
    }
    if (parameters.commands.IsSet(CMD_GET_JWT)) {
        if (!sHaveSerial(display, parameters,
                         "Error must supply a serial number for the Get JWT command"))
            return 1;
        if (!sAvailable(display, "Get_JWT", "Features token (-J)"))
            return 1;
        _display_jwt(display, updater.Get_JWT(parameters.serialNumber));
        return 0;
    }
    if (parameters.commands.IsSet(CMD_CHECK_BIRD)) {
        if (parameters.birdFile.empty()) {
            display.message(UpdaterDisplayInterface::Error, "-C must specify a BIRD file via -f");
            return 1;
        }
        return _check_bird_file(display, parameters.birdFile);
    }
    if (parameters.commands.IsSet(CMD_INFO)) {
        if (parameters.serialNumber == 0) {
            display.message(UpdaterDisplayInterface::Error,
                            "-I must specify a specific device via -d");
            return 1;
        }
        return _show_device_info(display, parameters.storageDirectory, parameters.serialNumber);
    }
    return result;
}

} // namespace

int _updater_main(UpdaterDisplayInterface &display, int argc, char *argv[]) {
    Parameters parameters;

    if (_get_params(display, argc, argv, parameters) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(parameters);
        return 1;
    }

    _display_app_version(display);

    if (parameters.commands.IsSet(CMD_HELP) || !parameters.commands.IsSet(kCommandMask)) {
        _display_copyright(display);
        _display_usage(parameters.extendedUsage, parameters.helpRequested);
        _release_params(parameters);
        return 0;
    }

    int result = 1;
    if (sPrepareStorage(display, parameters))
        result = sRun(display, parameters);
    _release_params(parameters);
    return result;
}
