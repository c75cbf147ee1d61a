#include "Listings.h"

#include <cstring>

#include "UpdateServerRequest.h"
#include "aDefs.h"

namespace {

const char kApplicationName[] = "Updater";
const char kVersionNumber[] = "2.12.4";
const char kBuildDate[] = __DATE__; // "Mmm dd yyyy"

// The copyright runs to the year the tool was built.
std::string sBuildYear() {
    const char *year = kBuildDate + strlen(kBuildDate) - 4;
    return std::string(year);
}

} // namespace

void _display_app_version(UpdaterDisplayInterface &display) {
    std::string version = std::string("Version: ") + kVersionNumber + " " + kBuildDate;
    display.message(UpdaterDisplayInterface::Info, "%s (%s)", kApplicationName, version.c_str());
}

void _display_copyright(UpdaterDisplayInterface &display) {
    display.message(UpdaterDisplayInterface::Info,
                    "Copyright (c) 2014-%s Veltrona Instruments. All rights reserved.",
                    sBuildYear().c_str());
}

void _display_device_list(UpdaterDisplayInterface &display, const std::vector<DeviceInfo> &list,
                          int type) {
    const char *typeName = type == USB ? "USB" : type == TCPIP ? "TCPIP" : "Unknown";
    display.message(UpdaterDisplayInterface::Info, "Discovered Devices: (%s)", typeName);
    if (list.empty()) {
        display.message(UpdaterDisplayInterface::Info, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(UpdaterDisplayInterface::Info,
                        "    Device    Module   Router  Model          Firmware Version (Build)"
                        "    Device Name");
    else
        display.message(UpdaterDisplayInterface::Info,
                        "    Device    Module   Router  Model          Firmware Version (Build)"
                        "   [IP address]       Device Name");

    for (const DeviceInfo &device : list) {
        const linkSpec &spec = device.spec;
        const char *model = aDefs_GetModelName(spec.model);
        if (spec.type == TCPIP) {
            // The address lies in the record most significant byte first (network order).
            const unsigned char *a = reinterpret_cast<const unsigned char *>(&spec.ip_address);
            char ip[32];
            snprintf(ip, sizeof(ip), "[%d.%d.%d.%d]", a[0], a[1], a[2], a[3]);
            display.message(
                UpdaterDisplayInterface::Info,
                "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                spec.serial_num, spec.module, spec.router, model, (int)device.versionMajor,
                (int)device.versionMinor, (int)device.versionPatch, device.build, ip,
                device.deviceName.c_str());
        } else if (device.error != aErrNone) {
            display.message(UpdaterDisplayInterface::Info,
                            "    %08X  [Error (%d): Device in use. Close all other Veltrona "
                            "associated applications.]",
                            spec.serial_num, (int)device.error);
        } else {
            display.message(UpdaterDisplayInterface::Info,
                            "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                            spec.serial_num, spec.module, spec.router, model,
                            (int)device.versionMajor, (int)device.versionMinor,
                            (int)device.versionPatch, device.build, device.deviceName.c_str());
        }
    }
}

void _display_builds(UpdaterDisplayInterface &display,
                     const std::map<std::string, std::string> &builds, unsigned serial) {
    if (builds.empty()) {
        display.message(UpdaterDisplayInterface::Info, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(UpdaterDisplayInterface::Info, "Build List for device [%08X]:\n", serial);
    display.message(UpdaterDisplayInterface::Info, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto &entry : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(UpdaterDisplayInterface::Info, "%-15.15s\t%-15.15s", entry.first.c_str(),
                        entry.second.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface &display, const Fingerprint &fingerprint) {
    display.message(UpdaterDisplayInterface::Info, "[ %08X %08X %08X %08X ]", fingerprint.words[0],
                    fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
}

void _display_jwt(UpdaterDisplayInterface &display, const std::string &token) {
    display.message(UpdaterDisplayInterface::Info, "%s", token.c_str());
}
