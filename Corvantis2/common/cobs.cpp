// Consistent Overhead Byte Stuffing: every zero byte of the input becomes the length of the
// block before it, so the output holds no zero; blocks of 254 non-zero bytes get code 0xFF.
#include "cobs.h"

size_t cobs_encode(const uint8_t *source, size_t length, uint8_t *destination) {
    if ((source == nullptr && length > 0) || destination == nullptr)
        return 0;
    size_t codePos = 0;
    size_t write = 1;
    uint8_t code = 1;
    for (size_t read = 0; read < length; read++) {
        if (source[read] == 0) {
            destination[codePos] = code;
            codePos = write++;
            code = 1;
            continue;
        }
        destination[write++] = source[read];
        if (++code == 0xFF) {
            destination[codePos] = code;
            codePos = write++;
            code = 1;
        }
    }
    destination[codePos] = code;
    return write;
}

namespace {

// The in-place encoder writes ahead of its reading position; input bytes that are about to be
// overwritten are first saved in this small ring.
struct ReadAhead {
    static const size_t kSize = 10;
    uint8_t *buffer;
    size_t length;
    uint8_t ring[kSize];
    size_t head = 0;  // ring index of the next unconsumed input byte
    size_t count = 0; // bytes saved and not yet consumed
    size_t read = 0;  // next input position not yet saved

    // Saves input up to and including position; false if the ring would overflow.
    bool cover(size_t position) {
        while (read <= position && read < length) {
            if (count == kSize)
                return false;
            ring[(head + count) % kSize] = buffer[read++];
            count++;
        }
        return true;
    }
    uint8_t take() {
        uint8_t byte = ring[head];
        head = (head + 1) % kSize;
        count--;
        return byte;
    }
};

} // namespace

size_t cobs_encode_inplace(uint8_t *buffer, size_t length) {
    if (buffer == nullptr)
        return 0;
    ReadAhead input{buffer, length, {}};
    size_t codePos = 0;
    size_t write = 1;
    uint8_t code = 1;
    if (!input.cover(0))
        return 0;
    for (size_t consumed = 0; consumed < length; consumed++) {
        if (!input.cover(consumed))
            return 0;
        uint8_t byte = input.take();
        if (byte == 0) {
            buffer[codePos] = code;
            codePos = write++;
            if (!input.cover(codePos))
                return 0;
            code = 1;
            continue;
        }
        if (!input.cover(write))
            return 0;
        buffer[write++] = byte;
        if (++code == 0xFF) {
            buffer[codePos] = code;
            codePos = write++;
            if (!input.cover(codePos))
                return 0;
            code = 1;
        }
    }
    buffer[codePos] = code;
    return write;
}

size_t cobs_decode(const uint8_t *source, size_t length, uint8_t *destination) {
    if (source == nullptr || (destination == nullptr && length > 0))
        return 0;
    size_t read = 0;
    size_t write = 0;
    while (read < length) {
        uint8_t code = source[read];
        // A zero cannot appear in an encoded block, and a block may not run past the end.
        if (code == 0 || (read + code > length && code != 1))
            return 0;
        read++;
        for (uint8_t i = 1; i < code; i++)
            destination[write++] = source[read++];
        if (code != 0xFF && read != length)
            destination[write++] = 0;
    }
    return write;
}

size_t cobs_decode_inplace(uint8_t *buffer, size_t length) {
    // The output never gets ahead of the input, so decoding in place is safe.
    return cobs_decode(buffer, length, buffer);
}
