#include "UpdaterStore.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Log.h"
#include "aDirectory.h"
#include "path.h"
#include "unix_file.h"

namespace {

// The search record of a folder search.
struct result_t {
    bool found = false;
    std::string search;
    UpdaterStoreItem *item = nullptr;
};

// The builds listing of one device folder.
struct listing_t {
    std::string folder;
    std::vector<UpdaterStoreItem> *items = nullptr;
};

const char *sEntryName(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::string sSerialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

void sEnsure(const std::string &path) {
    if (aDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (aFile_Exists(path.c_str()))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    aErr err = aDirectory_Ensure(path.c_str(), 0755);
    if (err != aErrNone)
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(err));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// Device folders and store files are found by their exact entry name; a match anywhere in
// the full path would let the store's own path select an unrelated first entry.
bool _find_item(const aDirectoryListData *data, void *reference) {
    result_t *result = static_cast<result_t *>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path,
             int(data->isDirectory), int(data->size), result->search.c_str());
    const char *name = sEntryName(data->path);
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return true;
    if (result->search != name)
        return true;
    result->found = true;
    if (result->item) {
        UpdaterStoreItem &item = *result->item;
        std::string full(data->path);
        size_t slash = full.rfind('/');
        item.basePath = slash == std::string::npos ? std::string() : full.substr(0, slash);
        item.name = name;
        item.type = data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
        item.settings.Load(
            BuildPath(item.basePath, item.name, KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
    }
    return false;
}

bool _find_items(const aDirectoryListData *data, void *reference) {
    listing_t *listing = static_cast<listing_t *>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path, int(data->isDirectory),
             int(data->size));
    const char *name = sEntryName(data->path);
    // Also skips "." and "..", ".settings" and every hidden file.
    if (name[0] == '.')
        return true;
    listing->items->push_back(UpdaterStoreItem(
        listing->folder, name, data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE));
    return true;
}

bool sSearch(const std::string &folder, const std::string &text, UpdaterStoreItem *item) {
    result_t result;
    result.search = text;
    result.item = item;
    aDirectory_List(folder.c_str(), _find_item, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", text.c_str());
    return result.found;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem() : type(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const std::string &base, const std::string &itemName,
                                   store_item_t itemType)
    : basePath(base), name(itemName), type(itemType),
      settings(BuildPath(base, itemName, KeyValueStore::DEFAULT_FILENAME, nullptr).c_str()) {}

bool UpdaterStoreItem::FileExists(const std::string &fileName) const {
    return sSearch(BuildPath(basePath, name, nullptr), fileName, nullptr);
}

aErr UpdaterStoreItem::WriteFile(const std::string &fileName, const uint8_t *data,
                                 size_t length) const {
    aErr result = aErrNotFound;
    if (!data || length == 0)
        return result;
    std::string path = BuildPath(basePath, name, fileName, nullptr);
    aFileRef file = aFile_Open(path.c_str(), aFileModeWriteOnly);
    if (!file)
        return aErrNotFound;
    result = aFile_Write(file, data, length, nullptr);
    aFile_Close(&file);
    return result;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string &fileName) const {
    std::string path = BuildPath(basePath, name, fileName, nullptr);
    if (!BirdFile::VerifyFile(path))
        throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

UpdaterStore::UpdaterStore(const std::string &base) : basePath(base) {
    sEnsure(basePath);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) {
    return AddDevice(sSerialText(serial));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string &deviceName) {
    sEnsure(BuildPath(basePath, deviceName, nullptr));
    return UpdaterStoreItem(basePath, deviceName, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem *item) {
    return FindDevice(sSerialText(serial), item);
}

bool UpdaterStore::FindDevice(const std::string &text, UpdaterStoreItem *item) {
    return sSearch(basePath, text, item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem> &items) {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device))
        return true;
    listing_t listing;
    listing.folder = BuildPath(device.basePath, device.name, nullptr);
    listing.items = &items;
    aDirectory_List(listing.folder.c_str(), _find_items, &listing);
    return true;
}
