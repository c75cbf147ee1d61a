#include "Updater.h"

#include <stdexcept>

#include "UpdaterStore.h"

Updater::Updater(const char *serverUrl, const char *storageDirectory,
                 UpdaterDisplayInterface &display)
    : serverUrl(serverUrl ? serverUrl : ""),
      storageDirectory(storageDirectory ? storageDirectory : ""), display(display) {}

Updater::~Updater() = default;

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface &display,
                                                  const std::string &path, const char *caller) {
    try {
        return std::unique_ptr<UpdaterStore>(new UpdaterStore(path));
    } catch (const std::runtime_error &e) {
        display.message(UpdaterDisplayInterface::Error,
                        "Failed to Create UpdaterStore in: %s - Exception: %s", caller, e.what());
        return nullptr;
    }
}
