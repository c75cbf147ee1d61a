// Packet records: creation, byte-by-byte building and the wire image.
#include "aPacket.h"

#include <cstdlib>
#include <cstring>
#include <new>

aPacket *aPacket_Create() {
    aPacket *packet = static_cast<aPacket *>(std::calloc(1, sizeof(aPacket)));
    if (packet)
        packet->check = aPACKET_CHECK;
    return packet;
}

aPacket *aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t *data) {
    if (data == nullptr || length > aPACKET_MAXDATA)
        return nullptr;
    aPacket *packet = aPacket_Create();
    if (packet) {
        packet->address = address;
        packet->dataSize = length;
        std::memcpy(packet->data, data, length);
        packet->fillCount = static_cast<uint8_t>(length + 2);
    }
    return packet;
}

aPacket *aPacket_Copy(const aPacket *packet) {
    if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAXDATA)
        return nullptr;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket *packet, uint8_t *command) {
    if (command == nullptr)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize < 1)
        return aErrPacket;
    *command = packet->data[0];
    return aErrNone;
}

aErr aPacket_GetOption(const aPacket *packet, uint8_t *option) {
    if (option == nullptr)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize < 2)
        return aErrPacket;
    *option = packet->data[1] & 0x3F;
    return aErrNone;
}

aErr aPacket_GetIndex(const aPacket *packet, uint8_t *index) {
    if (index == nullptr)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize < 3)
        return aErrPacket;
    *index = packet->data[2] & 0x1F;
    return aErrNone;
}

aErr aPacket_Reset(aPacket *packet) {
    if (!aVALIDPACKET(packet))
        return aErrParam;
    packet->fillCount = 0;
    packet->address = 0;
    packet->dataSize = 0;
    std::memset(packet->data, 0, sizeof(packet->data));
    return aErrNone;
}

aErr aPacket_AddByte(aPacket *packet, uint8_t byte) {
    if (!aVALIDPACKET(packet))
        return aErrParam;
    // A refused byte still counts; the count stops just past the limit so that a caller that
    // keeps feeding without a reset keeps getting aErrOverrun instead of wrapping around.
    if (packet->fillCount > aPACKET_MAXWIRE)
        return aErrOverrun;
    packet->fillCount++;
    if (packet->fillCount > aPACKET_MAXWIRE)
        return aErrOverrun;
    if (packet->address == 0) {
        if (byte == 0)
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->dataSize == 0) {
        packet->dataSize = byte;
        if (byte > aPACKET_MAXDATA)
            return aErrPacket;
        return aErrNone;
    }
    if (packet->fillCount > packet->dataSize + 2)
        return aErrPacket;
    packet->data[packet->fillCount - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket *packet) {
    return aVALIDPACKET(packet) && packet->fillCount == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket *packet, uint8_t *buffer, size_t bufferLength, size_t *count) {
    if (!aVALIDPACKET(packet) || buffer == nullptr)
        return aErrParam;
    // A length byte above 28 can only come from a failed build; never copy past the data.
    if (packet->dataSize > aPACKET_MAXDATA)
        return aErrPacket;
    size_t size = static_cast<size_t>(packet->dataSize) + 2;
    if (bufferLength < size)
        return aErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    std::memcpy(buffer + 2, packet->data, packet->dataSize);
    if (count)
        *count = size;
    return aErrNone;
}

aErr aPacket_Destroy(aPacket **packet) {
    if (packet == nullptr || *packet == nullptr)
        return aErrParam;
    aErr err = aErrNone;
    if ((*packet)->check == aPACKET_CHECK) {
        (*packet)->check = 0;
        std::free(*packet);
    } else {
        err = aErrParam;
    }
    *packet = nullptr;
    return err;
}
