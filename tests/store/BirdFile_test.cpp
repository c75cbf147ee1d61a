#include "BirdFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "BirdTestSupport.h"

using birdtest::LogCapture;
using birdtest::readFile;
using birdtest::runBuilder;
using birdtest::StdoutCapture;
using birdtest::TempDir;
using birdtest::writeFile;

namespace {

std::string blockBytes(const BirdBlock &block, uint32_t skip = 0) {
    return std::string(reinterpret_cast<const char *>(block.data) + skip, block.length - skip);
}

std::string imageOf(const BirdBlock &block) {
    return blockBytes(block, 4);
}

class BirdFileTest : public ::testing::Test {
protected:
    std::string path(const std::string &name) const { return dir / name; }
    TempDir dir;
};

TEST_F(BirdFileTest, VerifyFileLooksAtTheFirstSixBytesOnly) {
    struct Case {
        const char *name;
        std::string bytes;
        bool ok;
    } cases[] = {
        {"good", std::string("bird\x01\x01", 6) + "anything at all", true},
        {"head only", std::string("bird\x01\x01", 6), true},
        {"other version", std::string("bird\x02\x07", 6), true},
        {"second version byte zero", std::string("bird\x01\x00", 6) + "xx", false},
        {"first version byte zero", std::string("bird\x00\x01", 6) + "xx", false},
        {"five bytes", std::string("bird\x01", 5), false},
        {"empty", std::string(), false},
        {"upper case signature", std::string("BIRD\x01\x01", 6), false},
        {"signature shifted", std::string("xbird\x01\x01", 7), false},
    };
    for (const Case &c : cases) {
        writeFile(path(c.name), c.bytes);
        EXPECT_EQ(BirdFile::VerifyFile(path(c.name)), c.ok) << c.name;
    }
    LogCapture log(DEBUG_BirdFile);
    EXPECT_FALSE(BirdFile::VerifyFile(path("missing")));
    EXPECT_EQ(log.text(), "BIRDFILE: Error - cannot open bird file: '" + path("missing") + "'\n");
}

TEST_F(BirdFileTest, LoadsIdentityBlocksAndOffsets) {
    runBuilder(dir.path(), R"(
b.make_bird('good.bird', build=99528558, version=(2, 12, 4), serial=0x40F5849A, model='Hub8',
            loader=[(0x10000000, bytes(range(40)))],
            firmware=[(0x1000, bytes(range(256)) * 2), (0x8000, b'\x5a' * 10)],
            serial_offsets=(0x1010, 0x1100), start_address=0x20000200,
            extra_blocks=[(9, b'xyz', 5)], checksum=0x12345678, flags=2)
)");
    LogCapture log(DEBUG_BirdFile);
    BirdFile bird(path("good.bird"));

    EXPECT_EQ(bird.signature, BirdFile::BIRD_FILE_SIGNATURE);
    EXPECT_EQ(bird.version, BirdFile::BIRD_FILE_VERSION);
    EXPECT_EQ(bird.checksum, 0x12345678u);
    EXPECT_TRUE(bird.ScanComplete());
    ASSERT_EQ(bird.blockCount, 7u);
    ASSERT_EQ(bird.blocks.size(), 7u);
    const uint8_t types[] = {4, 2, 5, 0, 1, 1, 9};
    const uint32_t lengths[] = {64, 8, 4, 44, 516, 14, 3};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(bird.blocks[i].type, types[i]) << i;
        EXPECT_EQ(bird.blocks[i].length, lengths[i]) << i;
    }
    EXPECT_EQ(bird.blocks[0].flags, 2);
    EXPECT_EQ(bird.blocks[6].flags, 5);
    EXPECT_EQ(bird.blocks[2].address, 0u); // only image blocks carry an address

    std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 2u);
    EXPECT_EQ(firmware[0].address, 0x1000u);
    EXPECT_EQ(firmware[1].address, 0x8000u);
    std::string expected;
    for (int r = 0; r < 2; ++r)
        for (int i = 0; i < 256; ++i)
            expected.push_back(char(i));
    EXPECT_EQ(imageOf(firmware[0]), expected);
    EXPECT_EQ(imageOf(firmware[1]), std::string(10, '\x5a'));
    std::vector<BirdBlock> loader = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    ASSERT_EQ(loader.size(), 1u);
    EXPECT_EQ(loader[0].address, 0x10000000u);
    EXPECT_EQ(blockBytes(loader[0], 0).substr(0, 4), std::string("\x10\x00\x00\x00", 4));
    EXPECT_TRUE(bird.FindBlocks(3).empty());

    EXPECT_TRUE(bird.hasSerialNumberBlock);
    EXPECT_EQ(bird.serialNumberOffset, 0x1010u);
    EXPECT_EQ(bird.descriptorOffset, 0x1100u);
    EXPECT_EQ(bird.GetBuild(), 99528558u);
    EXPECT_EQ(bird.GetVersion(), "2.12.4");
    EXPECT_EQ(bird.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(bird.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(bird.ValidateSerialNumber(0x40F5849B));

    std::string text = log.text();
    EXPECT_NE(text.find("BIRDFILE: Loading File [" + path("good.bird") + "]\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE:\t\t File reports 7 blocks\nBIRDFILE: Bird file objects:\n"
                        "BIRDFILE: \t\tType Flags Length\nBIRDFILE:\t\t 04   02   64\n"
                        "BIRDFILE:\t\t \t[99528558        ]\nBIRDFILE:\t\t \t[2.12.4          ]\n"
                        "BIRDFILE:\t\t \t[40F5849A        ]\nBIRDFILE:\t\t \t[Hub8            ]\n"
                        "BIRDFILE:\t\t 02   02   8\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("BIRDFILE:\t\t 09   05   3\nBIRDFILE:\t\t File checksum 12345678\n"),
              std::string::npos);
    EXPECT_NE(text.find("BIRDFILE: Offsets: Serial number: 4112, Descriptor: 4352\n"),
              std::string::npos);
    EXPECT_EQ(text.find("mismatch"), std::string::npos);
}

TEST_F(BirdFileTest, FailedLoadsThrow) {
    runBuilder(dir.path(), R"(
data = b.make_bird(firmware=[(0, bytes(range(256)) * 8)]).to_bytes()
open('cut.bird', 'wb').write(data[:len(data) // 2])
open('six.bird', 'wb').write(data[:6])
open('garbage.bird', 'wb').write(data[:6] + b'not a zlib stream at all')
)");
    struct Case {
        const char *name;
        const char *line;
    } cases[] = {
        {"missing.bird", "BIRDFILE: BIRD file not found ["},
        {"cut.bird", "BIRDFILE: Error (-3) decompressing bird file.\n"},
        {"six.bird", "holds no block data (6 bytes)"},
        {"garbage.bird", "BIRDFILE: Error (-3) decompressing bird file.\n"},
    };
    for (const Case &c : cases) {
        LogCapture log(DEBUG_BirdFile);
        try {
            BirdFile bird(path(c.name));
            ADD_FAILURE() << c.name << " loaded";
        } catch (const std::runtime_error &e) {
            EXPECT_STREQ(e.what(), "Failed to load bird data") << c.name;
        }
        EXPECT_TRUE(log.has(c.line)) << c.name << "\n" << log.text();
    }
}

TEST_F(BirdFileTest, DecompressionCapacityIsEightTimesTheStream) {
    runBuilder(dir.path(), R"(
b.make_expanding('x8.bird', extra=0)
b.make_expanding('x8plus1.bird', extra=1)
)");
    size_t compressed = readFile(path("x8.bird")).size() - 6;
    BirdFile bird(path("x8.bird"));
    EXPECT_EQ(bird.DataSize(), 8 * compressed);
    EXPECT_EQ(bird.blockCount, 1u);
    EXPECT_TRUE(bird.ScanComplete());

    LogCapture log(DEBUG_BirdFile);
    EXPECT_THROW(BirdFile(path("x8plus1.bird")), std::runtime_error);
    EXPECT_TRUE(log.has("BIRDFILE: Error (-5) decompressing bird file.\n"));

    // Called directly, a failed inflation leaves no data behind.
    std::string file = readFile(path("x8plus1.bird"));
    BirdFile direct;
    EXPECT_FALSE(
        direct.DecompressData(reinterpret_cast<const uint8_t *>(file.data()) + 6, file.size() - 6));
    EXPECT_EQ(direct.DataSize(), 0u);
}

TEST_F(BirdFileTest, StructureMismatchesLoadWithWhatWasParsed) {
    runBuilder(dir.path(), R"(
two = [(0, b'\x01' * 8), (0x100, b'\x02' * 8)]
b.make_bird('count.bird', identity=False, firmware=two, reported_count=3)
b.make_bird('extra.bird', identity=False, firmware=two, trailing=b'\0\0\0\0')
past = b.Block(1, b'\0\0\0\0' + b'\x03' * 8, length=5000)
b.make_bird('past.bird', identity=False, firmware=two, extra_blocks=[past])
# A record that fits the data only by eating the checksum is as damaged.
eats = b.Block(1, b'\0\0\0\0' + b'\x03' * 8, length=14)
b.make_bird('eats.bird', identity=False, firmware=two, extra_blocks=[eats])
huge = b.Block(1, b'\0\0\0\0', length=0xFFFFFFFF)
b.make_bird('huge.bird', identity=False, firmware=two[:1], extra_blocks=[huge], reported_count=2)
)");
    struct Case {
        const char *name;
        uint32_t blocks;
        const char *line;
    } cases[] = {
        {"count.bird", 2, "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"},
        {"extra.bird", 2, "BIRDFILE: Block parsing mismatch in data size. (4 bytes remaining)\n"},
        {"past.bird", 2, "BIRDFILE: Block parsing mismatch in data size. (17 bytes remaining)\n"},
        {"eats.bird", 2, "BIRDFILE: Block parsing mismatch in data size. (17 bytes remaining)\n"},
        {"huge.bird", 1, "BIRDFILE: Block parsing mismatch in data size. (9 bytes remaining)\n"},
    };
    for (const Case &c : cases) {
        LogCapture log(DEBUG_BirdFile);
        BirdFile bird(path(c.name));
        EXPECT_FALSE(bird.ScanComplete()) << c.name;
        EXPECT_EQ(bird.blockCount, c.blocks) << c.name;
        EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), c.blocks) << c.name;
        for (const BirdBlock &block : bird.blocks) {
            // Every record handed out lies inside the data.
            EXPECT_LE(block.data + block.length, bird.Data() + bird.DataSize()) << c.name;
        }
        EXPECT_TRUE(log.has(c.line)) << c.name << "\n" << log.text();
    }
}

TEST_F(BirdFileTest, ScanOfTinyBlockDataStaysInside) {
    // Exact-size heap copies, so a read past the end shows under the address sanitizer.
    const uint8_t source[8] = {0, 0, 0, 1, 0xAA, 0xBB, 0xCC, 0xDD};
    for (size_t n = 0; n <= sizeof(source); ++n) {
        std::unique_ptr<uint8_t[]> data(new uint8_t[n ? n : 1]);
        memcpy(data.get(), source, n);
        BirdFile bird;
        EXPECT_FALSE(bird.ScanBlocks(data.get(), n)) << n;
        EXPECT_EQ(bird.blockCount, 0u);
        EXPECT_EQ(bird.checksum, n == 8 ? 0xAABBCCDDu : 0u) << n;
    }
    uint8_t empty[8] = {0, 0, 0, 0, 1, 2, 3, 4};
    BirdFile bird;
    EXPECT_TRUE(bird.ScanBlocks(empty, sizeof(empty)));
    EXPECT_EQ(bird.checksum, 0x01020304u);
}

TEST_F(BirdFileTest, ShortBlocksAreNeverReadPastTheirEnd) {
    runBuilder(dir.path(), R"(
fw = [(0x100, b'\x11' * 32)]
b.make_bird('shortfw.bird', firmware=fw, serial_offsets=(0x100, 0),
            extra_blocks=[(1, b'\xAB\xCD'), (0, b'\x01')])
b.make_bird('shortid.bird', identity=False, firmware=fw,
            extra_blocks=[(4, b.identity_payload(7, '1.0', 0x1234, 'Hub8')[:63])])
b.make_bird('shortoffsets.bird', identity=False, firmware=fw,
            extra_blocks=[(2, b'\0\0\x01\0\0\0\0')])
)");
    BirdFile fw(path("shortfw.bird"));
    EXPECT_EQ(fw.blockCount, 5u);
    ASSERT_EQ(fw.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(fw.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].address, 0x100u);
    EXPECT_TRUE(fw.FindBlocks(BirdFile::BLOCK_LOADER).empty());
    EXPECT_EQ(fw.blocks[3].address, 0u);
    EXPECT_TRUE(fw.ReplaceSerialNumber(0xCAFEF00D));

    BirdFile id(path("shortid.bird"));
    EXPECT_EQ(id.GetBuild(), 0u);
    EXPECT_EQ(id.GetVersion(), "");
    EXPECT_EQ(id.GetSerialNumber(), 0u);
    EXPECT_FALSE(id.ValidateModel(""));

    LogCapture log(DEBUG_BirdFile);
    BirdFile offsets(path("shortoffsets.bird"));
    EXPECT_TRUE(offsets.hasSerialNumberBlock);
    EXPECT_EQ(offsets.serialNumberOffset, 0u);
    EXPECT_EQ(offsets.descriptorOffset, 0u);
    std::string before = imageOf(offsets.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]);
    EXPECT_FALSE(offsets.ReplaceSerialNumber(0xCAFEF00D));
    EXPECT_EQ(imageOf(offsets.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), before);
    EXPECT_TRUE(log.has("BIRDFILE: Block of type 2 is too short (7 bytes), not used\n"));
}

// Serial-number patching at the edges of a 64-byte image at 0x2000, checked against the
// builder's own patcher and against the bytes themselves.
TEST_F(BirdFileTest, SerialNumberPatchingAtImageEdges) {
    struct Case {
        const char *name;
        uint32_t word;
        uint32_t text;
        bool result;
        bool wordChanged;
        bool textChanged;
    } cases[] = {
        {"word_last4", 0x2000 + 60, 0, true, true, false},
        {"word_first", 0x2000, 0, true, true, false},
        {"word_last3", 0x2000 + 61, 0, false, false, false},
        {"word_before", 0x2000 - 1, 0, false, false, false},
        {"text_last16", 0, 0x2000 + 48, true, false, true},
        {"text_first", 0, 0x2000, true, false, true},
        {"text_last15", 0, 0x2000 + 49, false, false, false},
        {"text_before", 0, 0x2000 - 1, false, false, false},
        {"both_in", 0x2000 + 4, 0x2000 + 16, true, true, true},
        {"word_in_text_out", 0x2000 + 4, 0x2000 + 49, false, true, false},
        {"both_zero", 0, 0, false, false, false},
    };
    std::string code = "img = bytes((0xE0 + i) & 0xFF for i in range(64))\n";
    for (const Case &c : cases) {
        code += "bird = b.make_bird('" + std::string(c.name) +
                ".bird', firmware=[(0x2000, img)], "
                "serial_offsets=(" +
                std::to_string(c.word) + ", " + std::to_string(c.text) + "))\nopen('" + c.name +
                ".expect', 'wb').write(bird.patched_firmware(0x4A0BC5D1)[0][1])\n";
    }
    runBuilder(dir.path(), code);

    std::string original;
    for (int i = 0; i < 64; ++i)
        original.push_back(char((0xE0 + i) & 0xFF));
    for (const Case &c : cases) {
        LogCapture log(DEBUG_BirdFile);
        BirdFile bird(path(std::string(c.name) + ".bird"));
        EXPECT_EQ(bird.ReplaceSerialNumber(0x4A0BC5D1), c.result) << c.name;
        std::string image = imageOf(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]);
        EXPECT_EQ(image, readFile(path(std::string(c.name) + ".expect"))) << c.name;

        std::string expected = original;
        if (c.wordChanged)
            expected.replace(c.word - 0x2000, 4, "\xD1\xC5\x0B\x4A", 4);
        if (c.textChanged)
            for (int i = 0; i < 8; ++i)
                expected[c.text - 0x2000 + 2 * i] = "4A0BC5D1"[i];
        EXPECT_EQ(image, expected) << c.name;
        if (c.wordChanged) {
            char line[96];
            snprintf(line, sizeof(line),
                     "BIRDFILE: updating serial number from %08X ==> 4A0BC5D1\n",
                     unsigned(uint8_t(original[c.word - 0x2000])) |
                         unsigned(uint8_t(original[c.word - 0x2000 + 1])) << 8 |
                         unsigned(uint8_t(original[c.word - 0x2000 + 2])) << 16 |
                         unsigned(uint8_t(original[c.word - 0x2000 + 3])) << 24);
            EXPECT_TRUE(log.has(line)) << c.name << "\n" << log.text();
        }
    }
}

TEST_F(BirdFileTest, SerialNumberSpreadOverTwoBlocks) {
    runBuilder(dir.path(), R"(
bird = b.make_bird('two.bird', firmware=[(0x0, bytes(32)), (0x100, bytes(32))],
                   serial_offsets=(0x8, 0x110))
for n, (a, img) in enumerate(bird.patched_firmware(0xABCDEF01)):
    open('two.%d' % n, 'wb').write(img)
b.make_bird('none.bird', firmware=[(0x0, bytes(32))])
b.make_bird('nofw.bird', loader=bytes(32), serial_offsets=(0x10000008, 0))
)");
    BirdFile two(path("two.bird"));
    EXPECT_TRUE(two.ReplaceSerialNumber(0xABCDEF01));
    std::vector<BirdBlock> fw = two.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(imageOf(fw[0]), readFile(path("two.0")));
    EXPECT_EQ(imageOf(fw[1]), readFile(path("two.1")));
    EXPECT_EQ(imageOf(fw[0]).substr(8, 4), std::string("\x01\xEF\xCD\xAB", 4));
    EXPECT_EQ(imageOf(fw[1]).substr(16, 16), std::string("A\0B\0C\0D\0E\0F\0"
                                                         "0\0"
                                                         "1\0",
                                                         16));

    BirdFile none(path("none.bird"));
    EXPECT_FALSE(none.hasSerialNumberBlock);
    EXPECT_EQ(none.serialNumberOffset, 0u);
    EXPECT_EQ(none.descriptorOffset, 0u);
    EXPECT_FALSE(none.ReplaceSerialNumber(0xABCDEF01));
    EXPECT_EQ(imageOf(none.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), std::string(32, '\0'));

    // Loader blocks are never patched.
    BirdFile nofw(path("nofw.bird"));
    EXPECT_FALSE(nofw.ReplaceSerialNumber(0xABCDEF01));
    EXPECT_EQ(imageOf(nofw.FindBlocks(BirdFile::BLOCK_LOADER)[0]), std::string(32, '\0'));
}

TEST_F(BirdFileTest, DescramblingRunsPerBlock) {
    runBuilder(dir.path(), R"(
b.make_bird('zeros.bird', loader=bytes(range(1, 9)), firmware=[(0, bytes(40)), (0x100, bytes(range(1, 21)))])
plain = bytes((i * 37 + 5) & 0xFF for i in range(300))
key = (0x01234567, 0x89ABCDEF, 0x0BADF00D, 0xFFFFFFFF)
b.make_bird('keyed.bird', firmware=[(0, plain), (0x1000, plain[:33])], scramble_key=key)
open('plain', 'wb').write(plain)
)");
    const uint32_t zero[4] = {0, 0, 0, 0};
    BirdFile zeros(path("zeros.bird"));
    EXPECT_TRUE(zeros.DecodeFirmwareBlocks(zero));
    std::vector<BirdBlock> fw = zeros.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(imageOf(fw[0]), std::string(40, '\0'));
    // b'(i) = b(i) ^ b'(i-1), restarting from 0 in the second block.
    std::string second = imageOf(fw[1]);
    uint8_t previous = 0;
    for (int i = 0; i < 20; ++i) {
        previous = uint8_t((i + 1) ^ previous);
        EXPECT_EQ(uint8_t(second[i]), previous) << i;
    }
    EXPECT_EQ(fw[1].address, 0x100u);
    std::string loader = imageOf(zeros.FindBlocks(BirdFile::BLOCK_LOADER)[0]);
    EXPECT_EQ(loader, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));

    const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0x0BADF00D, 0xFFFFFFFF};
    BirdFile keyed(path("keyed.bird"));
    std::string plain = readFile(path("plain"));
    EXPECT_NE(imageOf(keyed.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), plain);
    EXPECT_TRUE(keyed.DecodeFirmwareBlocks(key));
    fw = keyed.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(imageOf(fw[0]), plain);
    EXPECT_EQ(imageOf(fw[1]), plain.substr(0, 33));
}

TEST_F(BirdFileTest, IdentityFieldCuts) {
    runBuilder(dir.path(), R"(
def ident(name, build, version, serial, model):
    b.make_bird(name + '.bird', build=build, version=version, serial=serial, model=model)
ident('a', '0000000123456789', '1.2.3', '40f5849a', 'Hub8 Pro')
ident('b', '  42abc', b'1.2.3-beta.45678', 'DEADBEEF12345678', 'Hub8')
ident('c', 'x1', b'2.0\0junk', ' 1F', b'Hub8\0Pro')
ident('d', '4294967296', b' lead', 'G', '')
)");
    struct Case {
        const char *name;
        uint32_t build;
        const char *version;
        uint32_t serial;
    } cases[] = {
        {"a", 12345678, "1.2.3", 0x40F5849A},
        {"b", 42, "1.2.3-beta.4567", 0xDEADBEEF},
        {"c", 0, "2.0", 0x1F},
        {"d", 0, "", 0},
    };
    for (const Case &c : cases) {
        BirdFile bird(path(std::string(c.name) + ".bird"));
        EXPECT_EQ(bird.GetBuild(), c.build) << c.name;
        EXPECT_EQ(bird.GetVersion(), c.version) << c.name;
        EXPECT_EQ(bird.GetSerialNumber(), c.serial) << c.name;
    }

    struct Model {
        const char *file;
        const char *name;
        bool match;
    } models[] = {
        {"a", "Hub8", true},       {"a", "Hub8 Pro", true},
        {"a", "Hub8 Pro ", false}, {"a", "Hub9", false},
        {"a", "", true},           {"b", "Hub8", true},
        {"b", "Hub8 ", false},     {"c", "Hub8", true},
        {"c", "Hub8Pro", false},   {"d", "", true},
        {"d", "H", false},         {"a", "Hub8 Pro and a much longer name", false},
    };
    for (const Model &m : models) {
        LogCapture log(DEBUG_BirdFile);
        BirdFile bird(path(std::string(m.file) + ".bird"));
        EXPECT_EQ(bird.ValidateModel(m.name), m.match) << m.file << " [" << m.name << "]";
        EXPECT_EQ(log.has("Model matches model number ("), m.match);
    }
    LogCapture log(DEBUG_BirdFile);
    BirdFile a(path("a.bird"));
    a.ValidateModel("Hub8");
    EXPECT_TRUE(log.has("Model matches model number ([Hub8 Pro] == [Hub8])\n"));

    runBuilder(dir.path(), "b.make_bird('noid.bird', identity=False, firmware=[(0, bytes(8))])");
    BirdFile noid(path("noid.bird"));
    EXPECT_EQ(noid.GetBuild(), 0u);
    EXPECT_EQ(noid.GetVersion(), "");
    EXPECT_EQ(noid.GetSerialNumber(), 0u);
    EXPECT_FALSE(noid.ValidateModel(""));
    EXPECT_FALSE(noid.ValidateSerialNumber(1));
    EXPECT_TRUE(noid.ValidateSerialNumber(0));
}

TEST_F(BirdFileTest, DumpFormat) {
    runBuilder(dir.path(), R"(
b.make_bird('dump.bird', identity=False, extra_blocks=[(3, b'a\x01b'), (3, bytes(range(0x30, 0x30 + 51)))],
            firmware=[(0, b'zz')])
)");
    BirdFile bird(path("dump.bird"));
    StdoutCapture out;
    EXPECT_TRUE(bird.DumpBlocks(3));
    std::string text = out.finish();

    std::string second = " \r\n000000: ";
    std::string chars;
    for (int i = 0; i < 50; ++i) {
        char hex[4];
        snprintf(hex, sizeof(hex), "%02X ", 0x30 + i);
        second += hex;
        chars.push_back(char(0x30 + i));
    }
    second += " " + chars + "\r\n000050: 62  b\n";
    EXPECT_EQ(text, "BIRDFILE: BLOCK DUMP [" + path("dump.bird") +
                        "]\n \r\n000000: 61 01 62  a b\n" + second + "\n");

    StdoutCapture none;
    EXPECT_TRUE(bird.DumpBlocks(7));
    EXPECT_EQ(none.finish(), "BIRDFILE: BLOCK DUMP [" + path("dump.bird") + "]\n\n");
}

TEST_F(BirdFileTest, ValidateDataSearchesWholeFirmwarePayloads) {
    runBuilder(dir.path(), R"(
b.make_bird('data.bird', loader=b'NEEDLE', firmware=[(0x01020304, b'..NEEDLE..END'), (0, b'xEND')])
)");
    struct Case {
        std::string pattern;
        bool found;
        const char *position;
    } cases[] = {
        {"NEEDLE", true, "Found data at 6\n"},
        {"END", true, "Found data at 14\n"},             // the last position of the first block
        {"xEND", true, "Found data at 4\n"},             // the whole image of the second block
        {"\x01\x02\x03\x04", true, "Found data at 0\n"}, // the address field is payload too
        {"NEEDLES", false, nullptr},
        {"a much longer pattern than any block", false, nullptr},
    };
    BirdFile bird(path("data.bird"));
    for (const Case &c : cases) {
        LogCapture log(DEBUG_BirdFile);
        EXPECT_EQ(bird.ValidateData(reinterpret_cast<const uint8_t *>(c.pattern.data()),
                                    c.pattern.size()),
                  c.found)
            << c.pattern;
        std::string text = log.text();
        EXPECT_EQ(
            text.rfind("BIRDFILE: looking for data pattern in [" + path("data.bird") + "]\n", 0),
            0u);
        EXPECT_EQ(text.substr(text.size() - 1), "\n");
        if (c.position) {
            EXPECT_NE(text.find(c.position), std::string::npos) << text;
        }
    }
    EXPECT_FALSE(bird.ValidateData(reinterpret_cast<const uint8_t *>(""), 0));
}

TEST_F(BirdFileTest, VectorChecksum) {
    runBuilder(dir.path(), R"(
import struct
words = [0x10008000, 0x00000101, 0x00000201, 0x00000301, 0x00000401, 0xFFFFFFFF, 0x00000601, 0xAAAAAAAA]
b.make_bird('vec.bird', firmware=[(0, struct.pack('<8I', *words) + b'rest'), (0x100, struct.pack('<8I', *words))])
b.make_bird('small.bird', firmware=[(0, bytes(0x1F))])
)");
    uint32_t sum = 0x10008000u + 0x101 + 0x201 + 0x301 + 0x401 + 0x601;
    uint32_t expected = 0u - sum;
    LogCapture log(DEBUG_BirdFile);
    BirdFile bird(path("vec.bird"));
    EXPECT_TRUE(bird.ReplaceVectorChecksum());
    std::vector<BirdBlock> fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const uint8_t *word = fw[0].data + 4 + 0x1C;
    EXPECT_EQ(uint32_t(word[0] | word[1] << 8 | word[2] << 16 | uint32_t(word[3]) << 24), expected);
    // Only the image loaded at address 0 holds the vector table.
    EXPECT_EQ(imageOf(fw[1]).substr(0x1C, 4), std::string("\xAA\xAA\xAA\xAA", 4));
    char line[80];
    snprintf(line, sizeof(line), "BIRDFILE: updating vector checksum from AAAAAAAA ==> %08X\n",
             expected);
    EXPECT_TRUE(log.has(line));

    BirdFile small(path("small.bird"));
    EXPECT_FALSE(small.ReplaceVectorChecksum());
}

TEST_F(BirdFileTest, MoveKeepsBlockPointers) {
    runBuilder(dir.path(), R"(
b.make_bird('m.bird', build=77, firmware=[(0x40, b'payload-bytes')], serial_offsets=(0x40, 0))
)");
    BirdFile first(path("m.bird"));
    const uint8_t *data = first.blocks.back().data;
    BirdFile second(std::move(first));
    EXPECT_EQ(second.blocks.back().data, data);
    EXPECT_EQ(imageOf(second.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), "payload-bytes");
    EXPECT_EQ(second.Path(), path("m.bird"));
    EXPECT_EQ(first.blockCount, 0u);
    EXPECT_TRUE(first.blocks.empty());
    EXPECT_EQ(first.DataSize(), 0u);
    EXPECT_EQ(first.GetBuild(), 0u);

    BirdFile third;
    third = std::move(second);
    EXPECT_EQ(third.GetBuild(), 77u);
    EXPECT_TRUE(third.ReplaceSerialNumber(0x11223344));
    EXPECT_EQ(imageOf(third.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]).substr(0, 4),
              "\x44\x33\x22\x11");
    EXPECT_EQ(third.blocks.back().data, data);

    static_assert(!std::is_copy_constructible<BirdFile>::value, "BirdFile is not copyable");
    static_assert(std::is_nothrow_move_constructible<BirdFile>::value, "moves do not throw");
}

} // namespace
