// -G: fetches one BIRD file from the update server into the device's store folder. The
// request runs on a worker thread while the main thread keeps the console spinner turning.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "base64.h"

namespace {

struct Freer {
    void operator()(void *p) const { free(p); }
};

// A decimal number of at most 32 bits made of digits only.
bool sParseBuild(const std::string &text, uint32_t &value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    unsigned long long number = strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || number > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(number);
    return true;
}

// Same, with the log line the engine writes for a text that is not a build number.
uint32_t sConvertBuild(const std::string &text) {
    uint32_t value = 0;
    if (!sParseBuild(text, value)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return value;
}

// Writes the bytes under a hidden temporary name in the device folder and renames it into
// place, so the store never holds a partly written BIRD file under its real name.
aErr sStoreFile(const UpdaterStoreItem &item, const std::string &fileName,
                const unsigned char *data, size_t length) {
    std::string temporary = "." + fileName + ".part";
    std::string folder = item.basePath + "/" + item.name;
    aErr err = item.WriteFile(temporary, data, length);
    if (err == aErrNone &&
        std::rename((folder + "/" + temporary).c_str(), (folder + "/" + fileName).c_str()) != 0)
        err = aErrIO;
    if (err != aErrNone)
        std::remove((folder + "/" + temporary).c_str());
    return err;
}

} // namespace

bool _valid_build(unsigned serial, unsigned build, const char *url) {
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, url))
        return false;
    for (const auto &entry : builds) {
        uint32_t value = 0;
        if (!sParseBuild(entry.first, value)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
            continue;
        }
        if (value == build)
            return true;
    }
    return false;
}

uint32_t Updater::Download_Firmware(unsigned serial, std::string build, bool override,
                                    bool noCalibration) {
    using Level = UpdaterDisplayInterface::Level;
    uint32_t buildNumber = 0;
    if (!build.empty() && !sParseBuild(build, buildNumber)) {
        display.message(Level::Error, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serial == 0) {
        display.message(Level::Error, "Serial Number must be non-zero");
        return 0;
    }
    const char *url = serverUrl.c_str();
    if (!UpdateServerRequest::ping(url)) {
        display.message(Level::Error, "Server request failed for %s", url);
        return 0;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storageDirectory, "Download_Firmware");
    if (!store)
        return 0;

    UpdaterStoreItem item;
    if (!store->FindDevice(serial, &item)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            item = store->AddDevice(serial);
        } catch (const std::runtime_error &) {
            display.message(Level::Error, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    // Asked even when the build is given: the answer also names the firmware identifier
    // that the file request needs.
    std::string latest, firmware;
    if (!UpdateServerRequest::QueryBuild(serial, latest, firmware, url)) {
        display.message(Level::Error, "No build information for device");
        return 0;
    }
    if (buildNumber == 0)
        buildNumber = sConvertBuild(latest);

    display.message(Level::Info, "Retrieving build %u", buildNumber);
    if (!override) {
        display.message(Level::Info, "Validating build %u with server", buildNumber);
        if (!_valid_build(serial, buildNumber, url)) {
            display.message(Level::Error, "No valid build %u", buildNumber);
            return 0;
        }
        display.message(Level::Info, "Build %u is valid", buildNumber);
    } else {
        display.message(Level::Info, "Override specified, skipping validation of build %u",
                        buildNumber);
    }

    // The worker only runs the request and fills `encoded`; the main thread reads it after
    // the future is ready and the worker is joined.
    std::string buildText = std::to_string(buildNumber);
    std::string encoded;
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread worker;
    try {
        worker = std::thread(
            [serial, firmware, buildText, noCalibration, url = serverUrl, &encoded, &done]() {
                done.set_value(UpdateServerRequest::GetBuild(serial, firmware, buildText, encoded,
                                                             url.c_str(), noCalibration));
            });
    } catch (const std::system_error &) {
        display.message(Level::Error, "Download failed");
        return 0;
    }
    display.update_spinner(true, "Downloading");
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    if (!result.get())
        display.message(Level::Error, "Download failed");
    worker.join();

    if (encoded.empty()) {
        display.message(Level::Error, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    size_t length = 0;
    std::unique_ptr<unsigned char, Freer> data(
        base64_decode(encoded.data(), encoded.size(), &length));
    if (data) {
        std::string fileName = buildText + ".bird";
        std::string when = KeyValueStore::TimeText();
        aErr err = sStoreFile(item, fileName, data.get(), length);
        data.reset();
        if (err != aErrNone) {
            // Only a file that is really there may be recorded as downloaded.
            display.message(Level::Error, "Failed to write file with %d", static_cast<int>(err));
            return 0;
        }
        item.settings.Add("LATEST_DOWNLOAD", fileName);
        item.settings.Add("LAST_DOWNLOAD_DATE", when);
        item.settings.Save();
    } else {
        Log::log(DEBUG_Updater, "Download_Firmware: answer for build %u is not Base64\n",
                 buildNumber);
    }
    return buildNumber;
}

uint32_t Updater::Download_Firmware(const Fingerprint &fingerprint, std::string build,
                                    bool override) {
    unsigned serial = 0, recoveryBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serial, recoveryBuild,
                                              serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::Error,
                        "Failed to retrieve recovery information from Veltrona update server");
        return 0;
    }
    uint32_t chosen = build.empty() ? 0 : sConvertBuild(build);
    if (chosen != 0)
        recoveryBuild = chosen;
    return Download_Firmware(serial, std::to_string(recoveryBuild), override, false);
}
