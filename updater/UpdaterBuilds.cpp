// The read-only queries behind -B, -L and -J: server build list, local build list and the
// device features token.
#include <stdexcept>

#include "BirdFile.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"

std::map<std::string, std::string> Updater::Get_BuildList(unsigned serial) {
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::Error, "Server request failed for %s",
                        serverUrl.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl.c_str()))
        display.message(UpdaterDisplayInterface::Error, "Failed to retrieve builds for %08X",
                        serial);
    return builds;
}

std::string Updater::Get_JWT(unsigned serial) {
    std::string token;
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::Error, "Server request failed for %s",
                        serverUrl.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, serverUrl.c_str()))
        display.message(UpdaterDisplayInterface::Error, "Failed to retrieve jwt for %08X", serial);
    return token;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned serial) {
    std::map<std::string, std::string> builds;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storageDirectory, "Get_BuildListLocal");
    if (!store)
        return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem &item : items) {
        std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            std::string path = item.basePath + "/" + item.name;
            if (BirdFile::VerifyFile(path)) {
                // A file that starts right but does not load is listed without a version.
                try {
                    BirdFile bird(path);
                    std::string found = bird.GetVersion();
                    if (!found.empty()) {
                        version = found;
                        Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n",
                                 path.c_str());
                    }
                } catch (const std::runtime_error &e) {
                    Log::log(DEBUG_Updater, "Could not load birdfile: %s (%s)\n", path.c_str(),
                             e.what());
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, version);
    }
    return builds;
}
