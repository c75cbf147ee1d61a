#include "aUEI.h"

#include <cstring>

#include "aPacket.h"

uint16_t aUEI_RetrieveShort(const uint8_t *bytes) {
    if (!bytes)
        return 0;
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

void aUEI_StoreShort(uint8_t *bytes, uint16_t value) {
    if (!bytes)
        return;
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t *bytes) {
    if (!bytes)
        return 0;
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

void aUEI_StoreInt(uint8_t *bytes, uint32_t value) {
    if (!bytes)
        return;
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint8_t *buffer, size_t count) {
    if (!buffer)
        return;
    for (size_t i = 0; i < count; ++i) {
        uint32_t value = aUEI_RetrieveInt(buffer + 4 * i);
        memcpy(buffer + 4 * i, &value, sizeof(value));
    }
}

static bool sHasData(const aPacket *packet) {
    return aVALIDPACKET(packet) && packet->dataSize > 0 && packet->dataSize <= aPACKET_MAXDATA;
}

uint8_t aUEI_getBytesSequence(const aPacket *packet) {
    if (!sHasData(packet))
        return 0;
    return packet->data[packet->dataSize - 1] & 0x7F;
}

uint8_t aUEI_getBytesContinue(const aPacket *packet) {
    if (!sHasData(packet))
        return 0;
    return (packet->data[packet->dataSize - 1] & 0x80) ? 1 : 0;
}

bool aUEI_getBytesFullPacket(const aPacket *packet) {
    return aVALIDPACKET(packet) && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket *packet) {
    if (!aVALIDPACKET(packet))
        return false;
    // An empty packet has no command byte and so no UEI value.
    if (packet->dataSize == 0)
        return true;
    switch (packet->data[0]) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
        return true;
    default:
        return false;
    }
}

bool aUEI_isUEIPayload(const aPacket *packet) {
    return aVALIDPACKET(packet) && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket *packet) {
    if (!aVALIDPACKET(packet) || packet->dataSize <= 4)
        return false;
    return aUEI_isUEIPayload(packet) && (packet->data[1] & 0xC0) == 0 &&
           (packet->data[2] & 0x40) != 0;
}
