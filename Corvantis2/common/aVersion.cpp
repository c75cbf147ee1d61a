#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 4
#define aVERSION_PHASE_SEPARATOR "."

namespace {
struct sFeature {
    const char *name;
    const char *description;
};

const sFeature sFeatures[] = {
    {"VERSION", "Version Query API"},
};
} // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return (aVERSION_CURRENT_TAG << 24) | (static_cast<uint32_t>(major) << 16) |
               (static_cast<uint32_t>(minor) << 8) | patch;
    return (static_cast<uint32_t>(major) << 28) | (static_cast<uint32_t>(minor & 0x0F) << 24) |
           patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
    // Legacy values stay below 2.15 in the nibble split; 0x2F reads as exactly 2.15.
    return aVersion_IsAtLeastCompare(2, 15, 0, static_cast<uint8_t>(version >> 28),
                                     static_cast<uint8_t>((version >> 24) & 0x0F), 255);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
    if (aVersion_IsLegacyFormat(version))
        return static_cast<uint8_t>(version >> 28);
    return static_cast<uint8_t>(version >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
    if (aVersion_IsLegacyFormat(version))
        return static_cast<uint8_t>((version >> 24) & 0x0F);
    return static_cast<uint8_t>(version >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t version) {
    if (aVersion_IsLegacyFormat(version))
        return version & 0x00FFFFFFu;
    return version & 0xFFu;
}

aErr aVersion_ParseString(uint32_t version, char *buffer, size_t size) {
    if (!buffer || size == 0)
        return aErrParam;
    snprintf(buffer, size, "%u.%u.%u", aVersion_ParseMajor(version), aVersion_ParseMinor(version),
             aVersion_ParsePatch(version));
    return aErrNone;
}

bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3, uint8_t b1, uint8_t b2,
                               uint8_t b3) {
    if (a1 != b1)
        return a1 > b1;
    if (a2 != b2)
        return a2 > b2;
    return a3 >= b3;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

uint8_t aVersion_GetMajor() {
    return aVERSION_MAJOR;
}
uint8_t aVersion_GetMinor() {
    return aVERSION_MINOR;
}
uint8_t aVersion_GetPatch() {
    return aVERSION_PATCH;
}

const char *aVersion_GetString() {
    static char text[15];
    // Built once; a function-local static initialiser is thread-safe.
    static const bool built = [] {
        snprintf(text, sizeof(text), "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR,
                 aVERSION_PHASE_SEPARATOR, aVERSION_PATCH);
        return true;
    }();
    (void)built;
    return text;
}

bool aVersion_HasFeature(const char *name) {
    if (!name)
        return false;
    for (const sFeature &feature : sFeatures)
        if (strcmp(feature.name, name) == 0)
            return true;
    return false;
}

char *aVersion_GetFeatureList() {
    std::string list;
    for (const sFeature &feature : sFeatures) {
        list += feature.name;
        list += " - ";
        list += feature.description;
        list += "\n";
    }
    char *text = static_cast<char *>(malloc(list.size() + 1));
    if (text)
        memcpy(text, list.c_str(), list.size() + 1);
    return text;
}

void aVersion_DestroyFeatureList(char **list) {
    if (!list)
        return;
    free(*list);
    *list = nullptr;
}
