// Packed 32-bit firmware versions and the library's own version.
//
// Two layouts, told apart by the top byte:
//   legacy:  major (bits 31..28), minor (bits 27..24), patch (bits 23..0)
//   current: 0x2F (bits 31..24), major (23..16), minor (15..8), patch (7..0)
#ifndef _aVersion_H_
#define _aVersion_H_

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Top byte of every value in the current layout.
#define aVERSION_CURRENT_TAG 0x2Fu

// Current layout when major > 2, or major 2 and minor > 14; else the legacy layout.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
// True when the value reads in the legacy layout (below version 2.15.255 in the nibble split).
bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch", truncated to size; aErrParam for a null or empty buffer.
aErr aVersion_ParseString(uint32_t version, char *buffer, size_t size);

// True when version a is at least version b.
bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3, uint8_t b1, uint8_t b2,
                               uint8_t b3);
// True when the library version is at least the given one.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
// "2.12.4"; a static text.
const char *aVersion_GetString();

bool aVersion_HasFeature(const char *name);
// A new text, one line per feature: "name - description". Free with aVersion_DestroyFeatureList.
char *aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char **list);

#endif
