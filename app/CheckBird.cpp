#include "CheckBird.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "BirdFile.h"
#include "unix_file.h"

namespace {

const char *sTypeName(uint8_t type) {
    switch (type) {
    case BirdFile::BLOCK_LOADER:
        return "loader";
    case BirdFile::BLOCK_FIRMWARE:
        return "firmware";
    case BirdFile::BLOCK_SERIAL_OFFSETS:
        return "serial offsets";
    case BirdFile::BLOCK_IDENTITY:
        return "identity";
    case BirdFile::BLOCK_START_ADDRESS:
        return "start address";
    default:
        return "unused";
    }
}

// The first bytes and the size of the file, read without interpreting them.
struct Head {
    bool opened = false;
    size_t size = 0;
    uint8_t bytes[6] = {0};
    size_t count = 0;
};

Head sReadHead(const std::string &path) {
    Head head;
    aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (!file)
        return head;
    head.opened = true;
    aFile_GetSize(file, &head.size);
    aFile_Read(file, head.bytes, sizeof(head.bytes), &head.count);
    aFile_Close(&file);
    return head;
}

// Why the quick check refused the file, in the user's words.
std::string sVerifyFailure(const Head &head) {
    if (head.count < sizeof(head.bytes))
        return "it is only " + std::to_string(head.size) +
               " bytes long, too short for a BIRD file header";
    if (BirdFile::GetInt(head.bytes) != BirdFile::BIRD_FILE_SIGNATURE)
        return "it does not begin with the BIRD signature \"bird\"";
    return "its format version bytes are not valid";
}

std::string sDetail(const BirdBlock &block) {
    char text[96] = "";
    if (BirdFile::IsShortBlock(block)) {
        snprintf(text, sizeof(text), "too short to use");
    } else if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE) {
        snprintf(text, sizeof(text), "0x%08X", block.address);
    } else if (block.type == BirdFile::BLOCK_SERIAL_OFFSETS) {
        snprintf(text, sizeof(text), "serial number at 0x%08X, descriptor text at 0x%08X",
                 BirdFile::GetInt(block.data), BirdFile::GetInt(block.data + 4));
    } else if (block.type == BirdFile::BLOCK_START_ADDRESS) {
        snprintf(text, sizeof(text), "starts at 0x%08X", BirdFile::GetInt(block.data));
    }
    return text;
}

// The model field of the first identity block without its padding.
std::string sModel(const BirdFile &bird) {
    std::vector<BirdBlock> identity = bird.FindBlocks(BirdFile::BLOCK_IDENTITY);
    if (identity.empty() || identity[0].length < BirdFile::IDENTITY_SIZE)
        return std::string();
    const char *field =
        reinterpret_cast<const char *>(identity[0].data) + 3 * BirdFile::IDENTITY_FIELD_SIZE;
    size_t n = strnlen(field, BirdFile::IDENTITY_FIELD_SIZE);
    while (n > 0 && field[n - 1] == ' ')
        --n;
    return std::string(field, n);
}

void sShowIdentity(UpdaterDisplayInterface &display, const BirdFile &bird) {
    std::vector<BirdBlock> identity = bird.FindBlocks(BirdFile::BLOCK_IDENTITY);
    if (identity.empty() || identity[0].length < BirdFile::IDENTITY_SIZE) {
        display.message(UpdaterDisplayInterface::Info, "Identity:      none in this file");
        return;
    }
    display.message(UpdaterDisplayInterface::Info, "Build:         %u", bird.GetBuild());
    display.message(UpdaterDisplayInterface::Info, "Version:       %s", bird.GetVersion().c_str());
    display.message(UpdaterDisplayInterface::Info, "Serial number: %08X", bird.GetSerialNumber());
    display.message(UpdaterDisplayInterface::Info, "Model:         %s", sModel(bird).c_str());
}

void sShowBlocks(UpdaterDisplayInterface &display, const BirdFile &bird) {
    display.message(UpdaterDisplayInterface::Info, "Blocks:        %u", bird.blockCount);
    if (bird.blocks.empty())
        return;
    display.message(UpdaterDisplayInterface::Info, "  %5s  %-18s  %5s  %10s  %s", "Block", "Type",
                    "Flags", "Length", "Load address / contents");
    unsigned n = 0;
    for (const BirdBlock &block : bird.blocks) {
        char type[32];
        snprintf(type, sizeof(type), "%s (%u)", sTypeName(block.type), block.type);
        char line[256];
        snprintf(line, sizeof(line), "  %5u  %-18s  %5u  %10u  %s", ++n, type, block.flags,
                 block.length, sDetail(block).c_str());
        std::string text(line);
        text.erase(text.find_last_not_of(' ') + 1);
        display.message(UpdaterDisplayInterface::Info, "%s", text.c_str());
    }
}

// Why a loaded file should not be sent to a device, or empty when it is fine.
std::string sUnusable(const BirdFile &bird) {
    if (!bird.ScanComplete()) {
        uint32_t reported = bird.DataSize() >= 4 ? BirdFile::GetInt(bird.Data()) : 0;
        if (reported != bird.blockCount)
            return "its block data is damaged: it reports " + std::to_string(reported) +
                   " blocks but holds " + std::to_string(bird.blockCount);
        return "its block data is damaged: the blocks and the checksum do not fill the data "
               "exactly";
    }
    if (bird.blockCount == 0)
        return "it holds no blocks";
    unsigned n = 0;
    for (const BirdBlock &block : bird.blocks) {
        ++n;
        if (BirdFile::IsShortBlock(block))
            return "block " + std::to_string(n) + " (" + sTypeName(block.type) +
                   ") is too short to use (" + std::to_string(block.length) + " bytes)";
    }
    if (bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty())
        return "it holds no firmware block";
    return std::string();
}

} // namespace

int _check_bird_file(UpdaterDisplayInterface &display, const std::string &path) {
    display.message(UpdaterDisplayInterface::Info, "Checking BIRD file %s", path.c_str());

    Head head = sReadHead(path);
    if (!head.opened) {
        display.message(UpdaterDisplayInterface::Error, "BIRD file check failed: cannot open %s",
                        path.c_str());
        return 1;
    }
    display.message(UpdaterDisplayInterface::Info, "File size:     %zu bytes", head.size);
    if (!BirdFile::VerifyFile(path)) {
        display.message(UpdaterDisplayInterface::Info, "Verified:      no");
        display.message(UpdaterDisplayInterface::Error,
                        "BIRD file check failed: %s is not a BIRD file: %s", path.c_str(),
                        sVerifyFailure(head).c_str());
        return 1;
    }
    display.message(UpdaterDisplayInterface::Info,
                    "Verified:      yes (signature \"bird\", format version %u.%u)", head.bytes[4],
                    head.bytes[5]);

    BirdFile bird;
    try {
        bird = BirdFile(path);
    } catch (const std::exception &) {
        display.message(UpdaterDisplayInterface::Info, "Loaded:        no");
        display.message(UpdaterDisplayInterface::Error,
                        "BIRD file check failed: %s does not load: its compressed data is "
                        "truncated or damaged",
                        path.c_str());
        return 1;
    }
    display.message(UpdaterDisplayInterface::Info, "Loaded:        yes (%zu bytes of block data)",
                    bird.DataSize());

    sShowIdentity(display, bird);
    sShowBlocks(display, bird);
    display.message(UpdaterDisplayInterface::Info, "Checksum:      %08X (stored, not checked)",
                    bird.checksum);

    std::string problem = sUnusable(bird);
    if (!problem.empty()) {
        display.message(UpdaterDisplayInterface::Error, "BIRD file check failed: %s: %s",
                        path.c_str(), problem.c_str());
        return 1;
    }
    display.message(UpdaterDisplayInterface::Info, "Result:        usable");
    return 0;
}
