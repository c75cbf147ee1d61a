#include "DeviceInfoCommand.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "aDirectory.h"
#include "unix_file.h"

namespace {

bool sCollect(const aDirectoryListData *data, void *reference) {
    const char *slash = strrchr(data->path, '/');
    const char *name = slash ? slash + 1 : data->path;
    if (!data->isDirectory && name[0] != '.')
        static_cast<std::vector<std::string> *>(reference)->push_back(name);
    return true;
}

bool sEndsWith(const std::string &text, const char *suffix) {
    size_t n = strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

} // namespace

int _show_device_info(UpdaterDisplayInterface &display, const std::string &storageDirectory,
                      unsigned serial) {
    using Level = UpdaterDisplayInterface::Level;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storageDirectory, "_show_device_info");
    if (!store)
        return 1;
    // Looked up without an item so that a folder lacking its settings file stays as it is:
    // this command only reads.
    if (!store->FindDevice(serial, nullptr)) {
        display.message(Level::Error, "No stored information for device [%08X]", serial);
        return 1;
    }
    char name[16];
    snprintf(name, sizeof(name), "%08X", serial);
    std::string folder = store->BasePath() + "/" + name;

    display.message(Level::Info, "Stored information for device [%08X]", serial);
    display.message(Level::Info, "Folder: %s", folder.c_str());

    std::string settingsPath = folder + "/" + KeyValueStore::DEFAULT_FILENAME;
    if (aFile_Exists(settingsPath.c_str())) {
        KeyValueStore settings(settingsPath.c_str());
        display.message(Level::Info, "Settings:");
        for (const auto &entry : settings.Entries())
            display.message(Level::Info, "    %s=%s", entry.first.c_str(), entry.second.c_str());
    } else {
        display.message(Level::Info, "Settings: none");
    }

    std::vector<std::string> files;
    aDirectory_List(folder.c_str(), sCollect, &files);
    std::sort(files.begin(), files.end());
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const std::string &f) { return !sEndsWith(f, ".bird"); }),
                files.end());
    if (files.empty()) {
        display.message(Level::Info, "BIRD files: none");
        return 0;
    }
    display.message(Level::Info, "BIRD files:");
    for (const std::string &file : files) {
        std::string path = folder + "/" + file;
        bool shown = false;
        if (BirdFile::VerifyFile(path)) {
            try {
                BirdFile bird(path);
                display.message(Level::Info, "    %-20s build %u, version %s", file.c_str(),
                                bird.GetBuild(), bird.GetVersion().c_str());
                shown = true;
            } catch (const std::runtime_error &) {
            }
        }
        if (!shown)
            display.message(Level::Info, "    %-20s not a valid BIRD file", file.c_str());
    }
    return 0;
}
