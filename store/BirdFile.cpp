#include "BirdFile.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <zlib.h>

#include "Log.h"
#include "unix_file.h"

namespace {

// Closes the file on every path out of a function.
class FileHandle {
public:
    FileHandle(const char *path, aFileMode mode) : file(aFile_Open(path, mode)) {}
    ~FileHandle() { close(); }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    explicit operator bool() const { return file != nullptr; }
    aFileRef get() const { return file; }
    void close() {
        if (file)
            aFile_Close(&file);
    }

private:
    aFileRef file;
};

// Whether count bytes at device address x lie inside the image of a firmware block.
bool sInImage(const BirdBlock &block, uint32_t x, uint32_t count) {
    uint64_t start = block.address;
    uint64_t end = start + (block.length - BirdFile::IMAGE_ADDRESS_SIZE);
    return x >= start && uint64_t(x) + count <= end;
}

uint8_t *sImageAt(const BirdBlock &block, uint32_t x) {
    return block.data + BirdFile::IMAGE_ADDRESS_SIZE + (x - block.address);
}

uint32_t sGetLE(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void sPutLE(uint8_t *p, uint32_t value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

bool sIsImage(const BirdBlock &block) {
    return block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
}

// Firmware blocks that carry their load address; the image operations work on these only.
bool sUsableFirmware(const BirdBlock &block) {
    return block.type == BirdFile::BLOCK_FIRMWARE && !BirdFile::IsShortBlock(block);
}

} // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const std::string &filePath) : path(filePath) {
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile &&other) noexcept {
    *this = std::move(other);
}

BirdFile &BirdFile::operator=(BirdFile &&other) noexcept {
    if (this != &other) {
        // The heap buffer changes owner but not address, so the block pointers stay valid.
        path = std::move(other.path);
        buffer = std::move(other.buffer);
        blocks = std::move(other.blocks);
        dataSize = other.dataSize;
        signature = other.signature;
        version = other.version;
        checksum = other.checksum;
        blockCount = other.blockCount;
        hasSerialNumberBlock = other.hasSerialNumberBlock;
        serialNumberOffset = other.serialNumberOffset;
        descriptorOffset = other.descriptorOffset;
        scanComplete = other.scanComplete;
        other.path.clear();
        other.reset();
        other.signature = 0;
        other.version = 0;
    }
    return *this;
}

BirdFile::~BirdFile() = default;

void BirdFile::reset() {
    buffer.reset();
    dataSize = 0;
    blocks.clear();
    blockCount = 0;
    checksum = 0;
    hasSerialNumberBlock = false;
    serialNumberOffset = 0;
    descriptorOffset = 0;
    scanComplete = false;
}

uint32_t BirdFile::GetInt(const uint8_t *bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
           uint32_t(bytes[3]);
}

uint16_t BirdFile::GetShort(const uint8_t *bytes) {
    return uint16_t(uint16_t(bytes[0]) << 8 | bytes[1]);
}

bool BirdFile::IsShortBlock(const BirdBlock &block) {
    switch (block.type) {
    case BLOCK_LOADER:
    case BLOCK_FIRMWARE:
        return block.length < IMAGE_ADDRESS_SIZE;
    case BLOCK_SERIAL_OFFSETS:
        return block.length < SERIAL_OFFSETS_SIZE;
    case BLOCK_IDENTITY:
        return block.length < IDENTITY_SIZE;
    case BLOCK_START_ADDRESS:
        return block.length < 4;
    default:
        return false;
    }
}

bool BirdFile::VerifyFile(const std::string &filePath) {
    FileHandle file(filePath.c_str(), aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filePath.c_str());
        return false;
    }
    uint8_t head[6] = {0};
    size_t count = 0;
    aFile_Read(file.get(), head, sizeof(head), &count);
    return count == sizeof(head) && GetInt(head) == BIRD_FILE_SIGNATURE && head[4] != 0 &&
           head[5] != 0;
}

bool BirdFile::Load() {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    FileHandle file(path.c_str(), aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    size_t fileSize = 0;
    aErr err = aFile_GetSize(file.get(), &fileSize);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err),
                 path.c_str());
        return false;
    }

    std::vector<uint8_t> raw(fileSize);
    size_t count = 0;
    if (fileSize > 0) {
        err = aFile_Read(file.get(), raw.data(), fileSize, &count);
        if (err != aErrNone) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), path.c_str());
            return false;
        }
    }
    file.close();
    if (count != fileSize) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path.c_str(), count, fileSize);
        return false;
    }
    return LoadData(raw.data(), fileSize);
}

bool BirdFile::LoadData(const uint8_t *bytes, size_t length) {
    if (length <= 6) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s holds no block data (%zu bytes)\n",
                 path.c_str(), length);
        return false;
    }
    signature = GetInt(bytes);
    version = GetShort(bytes + 4);
    if (!DecompressData(bytes + 6, length - 6))
        return false;

    // A structure that does not add up is logged by the scan; the records it parsed are used.
    ScanBlocks(buffer.get(), dataSize);
    FindSerialNumberOffsets();
    for (const BirdBlock &block : blocks) {
        if (block.type == BLOCK_SERIAL_OFFSETS) {
            hasSerialNumberBlock = true;
            FindSerialNumberOffsets();
            break;
        }
    }
    return true;
}

bool BirdFile::DecompressData(const uint8_t *bytes, size_t length) {
    // Any records still pointing into the old buffer go with it.
    reset();
    uint64_t capacity = uint64_t(length) * 8;
    if (capacity > UINT32_MAX) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }
    buffer.reset(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
    if (!buffer) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }
    uLongf produced = uLongf(capacity);
    int zerr = uncompress(buffer.get(), &produced, bytes, uLong(length));
    if (zerr != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", zerr);
        dataSize = 0;
        return false;
    }
    dataSize = produced;
    return true;
}

bool BirdFile::ScanBlocks(uint8_t *bytes, size_t length) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    scanComplete = false;

    uint32_t reported = length >= 4 ? GetInt(bytes) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(reported));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    size_t pos = length >= 4 ? 4 : length;
    // Every record must fit, header and payload, in front of the closing checksum; one that
    // does not ends the scan and its bytes count as left over.
    while (length - pos > 4) {
        size_t room = length - pos - 4;
        if (room < 5)
            break;
        BirdBlock block;
        block.type = bytes[pos] & BIRD_FILE_TYPE_MASK;
        block.flags = uint8_t((bytes[pos] & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = GetInt(bytes + pos + 1);
        if (uint64_t(block.length) > room - 5)
            break;
        block.data = bytes + pos + 5;
        if (sIsImage(block) && block.length >= IMAGE_ADDRESS_SIZE)
            block.address = GetInt(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 int(block.length));
        if (block.type == BLOCK_IDENTITY && block.length >= IDENTITY_SIZE) {
            for (unsigned field = 0; field < 4; ++field)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char *>(block.data) + field * IDENTITY_FIELD_SIZE);
        }
        if (IsShortBlock(block))
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Block of type %d is too short (%u bytes), not used\n", block.type,
                     block.length);
        pos += 5 + size_t(block.length);
        ++blockCount;
        blocks.push_back(block);
    }

    bool result = true;
    size_t remaining = length - pos;
    if (remaining >= 4) {
        checksum = GetInt(bytes + pos);
        remaining -= 4;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    }
    if (remaining > 0 || length < 8) {
        // Data too short for a count and a checksum also lands here, with what was left.
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(remaining));
        result = false;
    }
    if (blockCount != reported) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(blockCount), int(reported));
        result = false;
    }
    scanComplete = result;
    return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock &block : blocks) {
        if (block.type != type)
            continue;
        // An image block without its address cannot be placed, so it is never sent.
        if (sIsImage(block) && IsShortBlock(block))
            continue;
        found.push_back(block);
    }
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount == 0)
        return false;
    for (const BirdBlock &block : blocks) {
        if (block.type != BLOCK_SERIAL_OFFSETS)
            continue;
        // Only the first such block counts; a short one has no usable addresses.
        if (!block.data || block.length < SERIAL_OFFSETS_SIZE)
            return false;
        serialNumberOffset = GetInt(block.data);
        descriptorOffset = GetInt(block.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 int(serialNumberOffset), int(descriptorOffset));
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof(text), "%08X", serial);

    bool anyFirmware = false;
    bool wordWritten = false;
    bool textWritten = false;
    for (const BirdBlock &block : blocks) {
        if (!sUsableFirmware(block))
            continue;
        anyFirmware = true;
        if (serialNumberOffset != 0 && sInImage(block, serialNumberOffset, 4)) {
            uint8_t *word = sImageAt(block, serialNumberOffset);
            Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                     sGetLE(word), serial);
            sPutLE(word, serial);
            wordWritten = true;
        }
        if (descriptorOffset != 0 && sInImage(block, descriptorOffset, 16)) {
            // The low bytes of an 8-character UTF-16LE string.
            uint8_t *chars = sImageAt(block, descriptorOffset);
            for (int i = 0; i < 8; ++i)
                chars[2 * i] = uint8_t(text[i]);
            textWritten = true;
        }
    }
    if (!anyFirmware || (serialNumberOffset == 0 && descriptorOffset == 0))
        return false;
    // Firmware sent without the device's serial number would be a wrong image; every place
    // the file names must have been patched.
    if (serialNumberOffset != 0 && !wordWritten) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: serial number address %08X is in no firmware image\n",
                 serialNumberOffset);
        return false;
    }
    if (descriptorOffset != 0 && !textWritten) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: descriptor address %08X is in no firmware image\n",
                 descriptorOffset);
        return false;
    }
    return true;
}

bool BirdFile::ReplaceVectorChecksum() {
    static const uint32_t summed[] = {0x00, 0x04, 0x08, 0x0C, 0x10, 0x18};
    bool updated = false;
    for (const BirdBlock &block : blocks) {
        if (!sUsableFirmware(block) || block.address != 0 ||
            block.length - IMAGE_ADDRESS_SIZE < 0x20)
            continue;
        uint8_t *image = block.data + IMAGE_ADDRESS_SIZE;
        uint32_t sum = 0;
        for (uint32_t offset : summed)
            sum += sGetLE(image + offset);
        uint32_t value = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 sGetLE(image + 0x1C), value);
        sPutLE(image + 0x1C, value);
        updated = true;
    }
    return updated;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
    uint8_t stream[16];
    for (int word = 0; word < 4; ++word)
        for (int byte = 0; byte < 4; ++byte)
            stream[word * 4 + byte] = uint8_t(key[word] >> (24 - 8 * byte));
    for (const BirdBlock &block : blocks) {
        if (!sUsableFirmware(block))
            continue;
        uint8_t *image = block.data + IMAGE_ADDRESS_SIZE;
        uint32_t size = block.length - IMAGE_ADDRESS_SIZE;
        uint8_t previous = 0;
        for (uint32_t i = 0; i < size; ++i) {
            uint8_t value = image[i] ^ stream[i % 16] ^ previous;
            image[i] = value;
            previous = value;
        }
    }
    return true;
}

bool BirdFile::ValidateData(const uint8_t *pattern, size_t length) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern && length > 0) {
        for (const BirdBlock &block : blocks) {
            if (!sUsableFirmware(block) || length > block.length)
                continue;
            // Every position, the last one included.
            for (size_t at = 0; at + length <= block.length; ++at) {
                if (memcmp(block.data + at, pattern, length) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", int(at));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

const BirdBlock *BirdFile::identity() const {
    for (const BirdBlock &block : blocks) {
        if (block.type == BLOCK_IDENTITY)
            return block.length >= IDENTITY_SIZE ? &block : nullptr;
    }
    return nullptr;
}

std::string BirdFile::identityField(unsigned index, size_t count) const {
    const BirdBlock *block = identity();
    if (!block)
        return std::string();
    const char *field = reinterpret_cast<const char *>(block->data) + index * IDENTITY_FIELD_SIZE;
    size_t n = 0;
    while (n < count && n < IDENTITY_FIELD_SIZE && field[n] != '\0')
        ++n;
    return std::string(field, n);
}

uint32_t BirdFile::GetBuild() const {
    std::string field = identityField(0, 15);
    size_t i = 0;
    while (i < field.size() && isspace(static_cast<unsigned char>(field[i])))
        ++i;
    uint64_t value = 0;
    for (; i < field.size() && isdigit(static_cast<unsigned char>(field[i])); ++i)
        value = value * 10 + uint64_t(field[i] - '0');
    return uint32_t(value);
}

std::string BirdFile::GetVersion() const {
    std::string field = identityField(1, 15);
    size_t space = field.find(' ');
    return space == std::string::npos ? field : field.substr(0, space);
}

uint32_t BirdFile::GetSerialNumber() const {
    std::string field = identityField(2, 8);
    size_t i = 0;
    while (i < field.size() && isspace(static_cast<unsigned char>(field[i])))
        ++i;
    uint32_t value = 0;
    for (; i < field.size() && isxdigit(static_cast<unsigned char>(field[i])); ++i) {
        char c = field[i];
        uint32_t digit = isdigit(static_cast<unsigned char>(c)) ? uint32_t(c - '0')
                                                                : uint32_t(toupper(c) - 'A' + 10);
        value = value << 4 | digit;
    }
    return value;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const {
    return GetSerialNumber() == serial;
}

bool BirdFile::ValidateModel(const char *model) const {
    const BirdBlock *block = identity();
    if (!block || !model)
        return false;
    char field[IDENTITY_FIELD_SIZE + 1];
    memcpy(field, block->data + 3 * IDENTITY_FIELD_SIZE, IDENTITY_FIELD_SIZE);
    field[IDENTITY_FIELD_SIZE] = '\0';
    size_t end = strlen(field);
    while (end > 0 && field[end - 1] == ' ')
        field[--end] = '\0';
    if (strncmp(field, model, strlen(model)) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, model);
    return true;
}

bool BirdFile::DumpBlocks(uint8_t type) const {
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock &block : blocks) {
        if (block.type != type)
            continue;
        std::string text;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", text.c_str(), int(i));
                text.clear();
            }
            uint8_t byte = block.data[i];
            printf("%02X ", byte);
            text.push_back(isprint(byte) ? char(byte) : ' ');
        }
        printf(" %s\n", text.c_str());
    }
    printf("\n");
    return true;
}
