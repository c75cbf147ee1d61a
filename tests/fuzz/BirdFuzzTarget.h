// The BIRD reader as a fuzz target, and a small structure-aware mutator for drivers that
// have no fuzzing engine. Shared by the bounded test in tests/store and tests/fuzz.
#ifndef _BirdFuzzTarget_H_
#define _BirdFuzzTarget_H_

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include "BirdFile.h"

namespace birdfuzz {

inline void putInt(std::vector<uint8_t> &out, uint32_t v) {
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

inline void putBlock(std::vector<uint8_t> &out, uint8_t head, const std::vector<uint8_t> &payload) {
    out.push_back(head);
    putInt(out, uint32_t(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

// Block data of a plausible image: identity, serial offsets, loader, two firmware blocks.
inline std::vector<uint8_t> seedBlockData(uint32_t variant) {
    std::vector<uint8_t> data;
    putInt(data, 5);
    std::string identity = "99528558        2.12.4          40F5849A        Hub8            ";
    putBlock(data, 4, std::vector<uint8_t>(identity.begin(), identity.end()));
    std::vector<uint8_t> offsets;
    putInt(offsets, 0x1000 + (variant % 64));
    putInt(offsets, 0x1020 - (variant % 32));
    putBlock(data, 2 | 0x20, offsets);
    std::vector<uint8_t> loader;
    putInt(loader, 0x10000000);
    loader.resize(4 + 24 + variant % 17, 0x5A);
    putBlock(data, 0, loader);
    for (uint32_t n = 0; n < 2; ++n) {
        std::vector<uint8_t> image;
        putInt(image, 0x1000 + n * 0x40);
        for (uint32_t i = 0; i < 0x40; ++i)
            image.push_back(uint8_t(i * 7 + n + variant));
        putBlock(data, 1 | uint8_t(n << 5), image);
    }
    putInt(data, 0xC0FFEE00 + variant);
    return data;
}

inline std::vector<uint8_t> wrapFile(const std::vector<uint8_t> &blockData) {
    uLongf size = compressBound(uLong(blockData.size()));
    std::vector<uint8_t> out = {'b', 'i', 'r', 'd', 1, 1};
    out.resize(6 + size);
    compress(out.data() + 6, &size, blockData.data(), uLong(blockData.size()));
    out.resize(6 + size);
    return out;
}

// Exercises every reader and patcher on one parsed file.
inline void exercise(BirdFile &bird) {
    static const uint8_t pattern[] = {0x07, 0x0E, 0x15};
    static const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0, 0xFFFFFFFF};
    for (uint8_t type = 0; type < 8; ++type) {
        for (const BirdBlock &block : bird.FindBlocks(type)) {
            // Touch the first and last payload byte of everything handed out.
            volatile uint8_t sink = 0;
            if (block.length > 0)
                sink = uint8_t(block.data[0] ^ block.data[block.length - 1]);
            (void)sink;
        }
    }
    bird.GetBuild();
    bird.GetVersion();
    bird.GetSerialNumber();
    bird.ValidateModel("Hub8");
    bird.ValidateModel("");
    bird.ValidateData(pattern, sizeof(pattern));
    bird.ValidateData(pattern, 1);
    bird.ReplaceSerialNumber(0xA5A5A5A5);
    bird.ReplaceVectorChecksum();
    bird.DecodeFirmwareBlocks(key);
    bird.DumpBlocks(BirdFile::BLOCK_IDENTITY);
}

// One input, read three ways: as block data scanned in a buffer of exactly its size (any
// read past the end is caught by the address sanitizer), as block data wrapped into a
// well-formed file, and as a file image of its own.
inline void runInput(const uint8_t *bytes, size_t size) {
    {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[size ? size : 1]);
        if (size)
            memcpy(exact.get(), bytes, size);
        BirdFile bird;
        bird.ScanBlocks(exact.get(), size);
        bird.FindSerialNumberOffsets();
        exercise(bird);
    }
    {
        std::vector<uint8_t> file = wrapFile(std::vector<uint8_t>(bytes, bytes + size));
        BirdFile bird;
        bird.LoadData(file.data(), file.size());
        exercise(bird);
        BirdFile moved(std::move(bird));
        exercise(moved);
    }
    {
        BirdFile bird;
        bird.LoadData(bytes, size);
        exercise(bird);
    }
}

// Sends the standard output to /dev/null while it lives (the block dumps print there).
class QuietStdout {
public:
    QuietStdout() {
        fflush(stdout);
        saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            close(null);
        }
    }
    ~QuietStdout() {
        fflush(stdout);
        if (saved >= 0) {
            dup2(saved, 1);
            close(saved);
        }
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

private:
    int saved = -1;
};

// Changes block data the way damaged files differ from good ones.
class Mutator {
public:
    explicit Mutator(uint32_t seed) : rng(seed) {}

    std::vector<uint8_t> mutate(std::vector<uint8_t> data) {
        unsigned rounds = 1 + pick(4);
        for (unsigned r = 0; r < rounds; ++r) {
            if (data.empty()) {
                data.push_back(uint8_t(pick(256)));
                continue;
            }
            size_t at = pick(data.size());
            switch (pick(8)) {
            case 0: // bit flip
                data[at] ^= uint8_t(1u << pick(8));
                break;
            case 1: { // interesting byte
                static const uint8_t values[] = {0,    1,    3,    4,    5,    7,    8,    0x1F,
                                                 0x20, 0x3F, 0x40, 0x7F, 0x80, 0xE0, 0xFE, 0xFF};
                data[at] = values[pick(sizeof(values))];
                break;
            }
            case 2: { // a 32-bit field set to a length-like value
                static const uint32_t values[] = {
                    0,  1,  3,  4,  5,          7,          8,          15,
                    16, 63, 64, 65, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFB, 0xFFFFFFFF};
                uint32_t v = pick(2) ? values[pick(sizeof(values) / 4)]
                                     : uint32_t(data.size() - at + pick(9) - 4);
                for (int i = 0; i < 4 && at + i < data.size(); ++i)
                    data[at + i] = uint8_t(v >> (24 - 8 * i));
                break;
            }
            case 3: // truncate
                data.resize(at);
                break;
            case 4: // insert bytes
                data.insert(data.begin() + long(at), 1 + pick(8), uint8_t(pick(256)));
                break;
            case 5: { // erase bytes
                size_t n = std::min(data.size() - at, size_t(1 + pick(8)));
                data.erase(data.begin() + long(at), data.begin() + long(at + n));
                break;
            }
            case 6: { // duplicate a slice
                size_t n = std::min(data.size() - at, size_t(1 + pick(70)));
                std::vector<uint8_t> slice(data.begin() + long(at), data.begin() + long(at + n));
                size_t to = pick(data.size() + 1);
                data.insert(data.begin() + long(to), slice.begin(), slice.end());
                break;
            }
            default: // random byte
                data[at] = uint8_t(pick(256));
                break;
            }
        }
        return data;
    }

    // A fresh input: mutated block data of a plausible image.
    std::vector<uint8_t> next(uint32_t iteration) { return mutate(seedBlockData(iteration % 97)); }

private:
    uint32_t pick(size_t n) { return uint32_t(rng() % (n ? n : 1)); }
    std::mt19937 rng;
};

} // namespace birdfuzz

#endif
