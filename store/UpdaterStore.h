// The local firmware store: one folder per device, named by its serial number as "%08X",
// holding the device's BIRD files (BUILD ".bird") and its ".settings" file.
#ifndef _UpdaterStore_H_
#define _UpdaterStore_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

typedef enum {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
} store_item_t;

// One entry of the store: a device folder or a file in one, with its settings.
class UpdaterStoreItem {
public:
    UpdaterStoreItem();
    // Loads settings from basePath/name/".settings", creating that file when its folder exists.
    UpdaterStoreItem(const std::string &basePath, const std::string &name, store_item_t type);

    bool IsValid() const { return !basePath.empty() && !name.empty(); }
    // Whether the item's folder holds an entry of exactly that name.
    bool FileExists(const std::string &fileName) const;
    // Creates or truncates basePath/name/fileName with the bytes; aErrNotFound without data
    // or when the file does not open.
    aErr WriteFile(const std::string &fileName, const uint8_t *data, size_t length) const;
    // The BIRD file basePath/name/fileName; throws std::runtime_error "Invalid bird <path>"
    // when it is missing or fails the quick check, "Failed to load bird data" when it does
    // not load.
    BirdFile ReadBirdFile(const std::string &fileName) const;

    std::string basePath;
    std::string name;
    store_item_t type;
    KeyValueStore settings;
};

class UpdaterStore {
public:
    // Creates the base folder when needed; throws std::runtime_error when that fails.
    explicit UpdaterStore(const std::string &basePath);

    const std::string &BasePath() const { return basePath; }

    // Ensures the device folder (throws as the constructor) and returns its item.
    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const std::string &name);
    // Finds the entry of the base folder named exactly "%08X" of the serial, or the text.
    bool FindDevice(uint32_t serial, UpdaterStoreItem *item);
    bool FindDevice(const std::string &text, UpdaterStoreItem *item);
    // Appends one item per non-hidden entry of the device's folder; always true.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem> &items);

private:
    std::string basePath;
};

#endif
