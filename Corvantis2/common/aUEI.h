// Byte order and flag helpers for UEI payloads. All multi-byte values inside packet payloads
// are big-endian; these helpers are the only place that converts them.
#ifndef _aUEI_H_
#define _aUEI_H_

#include <cstddef>
#include <cstdint>

struct aPacket;

uint16_t aUEI_RetrieveShort(const uint8_t *bytes);
void aUEI_StoreShort(uint8_t *bytes, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t *bytes);
void aUEI_StoreInt(uint8_t *bytes, uint32_t value);
// Converts count consecutive 32-bit values in place from wire order to host order.
void aUEI_ModifyIntBuffer(uint8_t *buffer, size_t count);

// Sequence number of one packet of a multi-packet byte transfer (last data byte & 0x7F).
uint8_t aUEI_getBytesSequence(const aPacket *packet);
// Bit 7 of the last data byte as 1 or 0: 1 while more packets of the transfer follow.
uint8_t aUEI_getBytesContinue(const aPacket *packet);
// True when the data length is 27 or 28.
bool aUEI_getBytesFullPacket(const aPacket *packet);
// True when the command byte names a command whose payload is not a UEI value.
bool aUEI_isNotUEIPayload(const aPacket *packet);
// False for a null or invalid packet.
bool aUEI_isUEIPayload(const aPacket *packet);
// True for an unsolicited streamed value.
bool aUEI_isStreamPacket(const aPacket *packet);

#endif
