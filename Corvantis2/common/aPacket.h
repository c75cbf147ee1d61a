// One Corvantis packet: address byte, length byte 0 to 28 and up to 28 data bytes, with no
// delimiter and no check byte of its own. A heap record owned by whoever created or received it.
#ifndef _aPacket_H_
#define _aPacket_H_

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aPACKET_CHECK 0xBEEF
// Largest payload and largest wire image (address, length, data).
#define aPACKET_MAXDATA 28
#define aPACKET_MAXWIRE 30

typedef struct aPacket {
    uint16_t check;                // aPACKET_CHECK while the record is valid
    uint8_t fillCount;             // wire bytes accepted so far when built byte by byte
    uint8_t address;               // module address
    uint8_t dataSize;              // the wire length byte, 0 to 28
    uint8_t data[aPACKET_MAXDATA]; // payload
} aPacket;

// True for a non-null record that carries the packet validity word.
inline bool aVALIDPACKET(const aPacket *packet) {
    return packet != nullptr && packet->check == aPACKET_CHECK;
}

// New empty packet (all zero but the validity word), or null when memory is short.
aPacket *aPacket_Create();
// New complete packet with address, length and the first length bytes of data. Null for a null
// data pointer (even with length 0), a length above 28, or no memory.
aPacket *aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t *data);
// New complete packet with the same address, length and data; null for an invalid packet.
aPacket *aPacket_Copy(const aPacket *packet);

// Data byte 0. aErrParam for a null out pointer, aErrPacket for an invalid or empty packet.
aErr aPacket_GetCmd(const aPacket *packet, uint8_t *command);
// Data byte 1 AND 0x3F. aErrPacket if invalid or shorter than 2 data bytes.
aErr aPacket_GetOption(const aPacket *packet, uint8_t *option);
// Data byte 2 AND 0x1F. aErrPacket if invalid or shorter than 3 data bytes.
aErr aPacket_GetIndex(const aPacket *packet, uint8_t *index);

// Clears fillCount, address, dataSize and the data. aErrParam if invalid.
aErr aPacket_Reset(aPacket *packet);
// Feeds one received wire byte. aErrParam (invalid packet), aErrOverrun (more than 30 bytes),
// aErrPacket (zero address, length above 28, byte beyond the announced length). After an error
// the caller resets the packet before feeding more bytes.
aErr aPacket_AddByte(aPacket *packet, uint8_t byte);
// True if valid and fillCount equals dataSize + 2.
bool aPacket_IsComplete(const aPacket *packet);
// Writes the wire image (address, length, data) into buffer and its size into *count (count
// may be null). aErrParam for an invalid packet or null buffer; aErrOverrun if bufferLength is
// below dataSize + 2 (nothing is written then).
aErr aPacket_GetBytes(const aPacket *packet, uint8_t *buffer, size_t bufferLength, size_t *count);
// Frees the packet and nulls *packet. aErrParam if either pointer is null; a record without the
// validity word is not freed (aErrParam) but *packet is still nulled.
aErr aPacket_Destroy(aPacket **packet);

// For std::unique_ptr<aPacket, aPacketDeleter>.
struct aPacketDeleter {
    void operator()(aPacket *packet) const { aPacket_Destroy(&packet); }
};

#endif
