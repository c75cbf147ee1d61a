// A small record of text keys and text values kept in a plain text file, one "key=value"
// line per entry. Each device folder of the store has one (".settings").
#ifndef _KeyValueStore_H_
#define _KeyValueStore_H_

#include <cstdint>
#include <map>
#include <string>

#include "aError.h"

class KeyValueStore {
public:
    static constexpr const char *DEFAULT_FILENAME = ".settings";
    static constexpr const char *KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char *KEY_UPDATED_TIME = "UPDATED_TIME";

    // Empty record; loads path when it is not null.
    explicit KeyValueStore(const char *path = nullptr);
    KeyValueStore(const KeyValueStore &other) = default;
    KeyValueStore &operator=(const KeyValueStore &other) = default;

    // The value of key, or null when absent. Never adds the key.
    const char *operator[](const char *key) const;

    // The typed getters enter an absent key with an empty value (changed flag untouched) and
    // return the default for an absent or empty value.
    int GetInt(const char *key, int defaultValue);
    uint32_t GetHex(const char *key, uint32_t defaultValue);
    bool GetBOOL(const char *key, bool defaultValue);
    double GetDouble(const char *key, double defaultValue);
    // A copy of the value when present (also when empty), else the default or "". Never adds.
    std::string GetString(const char *key, const char *defaultValue = nullptr) const;

    // Each Add sets the changed flag only when the stored text differs. All return true.
    bool Add(const char *key, int value);         // "%d"
    bool Add(const char *key, double value);      // "%f"
    bool Add(const char *key, const char *value); // null stores ""
    bool Add(const char *key, const std::string &value);
    bool AddHex(const char *key, uint32_t value); // "0x%08X"
    // Copies every entry of other, replacing equal keys; marks changed once per entry.
    bool Add(const KeyValueStore &other);
    bool Clear();

    // Merges the file into the record; a file that does not open is created.
    aErr Load(const char *path);
    // Writes the record to path (or the current file name) through a temporary file in the
    // same folder that replaces the old file, so a failed save leaves the old file whole.
    aErr Save(const char *path = nullptr);

    const std::string &FileName() const { return filename_; }
    bool Changed() const { return changed_; }
    const std::map<std::string, std::string> &Entries() const { return entries_; }

    // The current local time as the 24-character C time text without its line end.
    static std::string TimeText();

private:
    bool set(const char *key, const std::string &value);
    void parseLine(const char *line);

    std::string filename_;
    std::map<std::string, std::string> entries_;
    bool changed_ = false;
};

#endif
