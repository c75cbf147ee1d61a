// Consistent Overhead Byte Stuffing: encodes bytes so that the result holds no zero byte.
#ifndef _cobs_H_
#define _cobs_H_

#include <cstddef>
#include <cstdint>

// Encodes length bytes of source into destination (room for length + length / 254 + 1 bytes);
// returns the encoded length.
size_t cobs_encode(const uint8_t *source, size_t length, uint8_t *destination);
// Encodes in the same buffer (room as above); returns the encoded length, or 0 if the output
// would overtake input not yet read (not for inputs shorter than 254 bytes).
size_t cobs_encode_inplace(uint8_t *buffer, size_t length);
// Decodes length bytes of source into destination (room for length bytes); returns the
// decoded length, 0 for a malformed input.
size_t cobs_decode(const uint8_t *source, size_t length, uint8_t *destination);
// Decodes in the same buffer; returns the decoded length, 0 for a malformed input.
size_t cobs_decode_inplace(uint8_t *buffer, size_t length);

#endif
