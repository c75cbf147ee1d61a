// CRC-8 of the serial frames: polynomial 0x31 processed bit-reflected (0x8C), initial value 0,
// no final XOR. The value over "123456789" is 0xA1.
#ifndef _crc8_H_
#define _crc8_H_

#include <cstddef>
#include <cstdint>

uint8_t crc8_update(uint8_t crc, uint8_t byte);
// Over length bytes, starting from 0.
uint8_t crc8_create(const uint8_t *data, size_t length);
// True when the CRC-8 of the data equals expected.
bool crc8_check(const uint8_t *data, size_t length, uint8_t expected);

#endif
