// A BIRD firmware file: "bird", a two-byte format version and one zlib stream holding the
// block data. The whole file is read and inflated into memory; the image blocks are patched
// or descrambled there before they go to a device. The file on disk is never written.
#ifndef _BirdFile_H_
#define _BirdFile_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One parsed block record. Copies are cheap: data points into the owning BirdFile's buffer
// and stays valid as long as that object (or the one it was moved into) lives.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;       // the three flag bits as a number 0 to 7
    uint32_t length = 0;     // payload length
    uint32_t address = 0;    // load address of loader and firmware blocks, else 0
    uint8_t *data = nullptr; // first payload byte (the address field of an image block)
};

class BirdFile {
public:
    static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_IDENTITY = 4,
        BLOCK_START_ADDRESS = 5,
    };

    // Sizes a block must have to be usable. Shorter blocks are carried and listed but never
    // read past their end: image blocks without their address field are not handed out.
    static constexpr uint32_t IMAGE_ADDRESS_SIZE = 4;
    static constexpr uint32_t SERIAL_OFFSETS_SIZE = 8;
    static constexpr uint32_t IDENTITY_FIELD_SIZE = 16;
    static constexpr uint32_t IDENTITY_SIZE = 4 * IDENTITY_FIELD_SIZE;

    BirdFile();
    // Loads the file; throws std::runtime_error("Failed to load bird data") when that fails.
    explicit BirdFile(const std::string &path);
    BirdFile(BirdFile &&other) noexcept;
    BirdFile &operator=(BirdFile &&other) noexcept;
    BirdFile(const BirdFile &) = delete;
    BirdFile &operator=(const BirdFile &) = delete;
    ~BirdFile();

    // Big-endian readers of the file's multi-byte integers.
    static uint32_t GetInt(const uint8_t *bytes);
    static uint16_t GetShort(const uint8_t *bytes);

    // True when the file begins with "bird" and two non-zero version bytes.
    static bool VerifyFile(const std::string &path);

    bool Load();
    // The steps of Load after the file is read: header, inflation and scan of a file image.
    bool LoadData(const uint8_t *bytes, size_t length);
    // Inflates into a buffer of eight times the compressed length; replaces the earlier
    // buffer and drops the block records that pointed into it.
    bool DecompressData(const uint8_t *bytes, size_t length);
    // Parses block data into blocks (a fresh list). False when the structure does not add up;
    // the records parsed up to that point are kept.
    bool ScanBlocks(uint8_t *bytes, size_t length);
    // Copies of the blocks of a type in file order; loader and firmware blocks too short to
    // hold their load address are left out.
    std::vector<BirdBlock> FindBlocks(uint8_t type) const;
    bool FindSerialNumberOffsets();
    // True when every non-zero serial-number address was patched into some firmware image.
    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    bool DecodeFirmwareBlocks(const uint32_t key[4]);
    bool ValidateData(const uint8_t *pattern, size_t length) const;
    bool ValidateModel(const char *model) const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    bool DumpBlocks(uint8_t type) const;

    const std::string &Path() const { return path; }
    const uint8_t *Data() const { return buffer.get(); }
    size_t DataSize() const { return dataSize; }
    // Whether the last scan found the record structure complete (no count or size mismatch).
    bool ScanComplete() const { return scanComplete; }
    // A block whose payload is too short for what its type carries.
    static bool IsShortBlock(const BirdBlock &block);

    uint32_t signature = 0;
    uint16_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialNumberBlock = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;

private:
    // The first identity block, or null when there is none or it is too short to read.
    const BirdBlock *identity() const;
    // Copy of one identity field, at most count characters, zero-terminated.
    std::string identityField(unsigned index, size_t count) const;
    void reset();

    std::string path;
    std::unique_ptr<uint8_t[]> buffer;
    size_t dataSize = 0;
    bool scanComplete = false;
};

#endif
