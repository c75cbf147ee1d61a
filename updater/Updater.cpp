#include "Updater.h"

Updater::Updater(const char* serverUrl, const char* storageDirectory,
                 UpdaterDisplayInterface& display)
    : serverUrl(serverUrl ? serverUrl : ""),
      storageDirectory(storageDirectory ? storageDirectory : ""), display(display) {}

Updater::~Updater() = default;
