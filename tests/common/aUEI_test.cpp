#include "aUEI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "aPacket.h"

namespace {
using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;

PacketPtr makePacket(std::vector<uint8_t> data) {
    return PacketPtr(aPacket_CreateWithData(2, static_cast<uint8_t>(data.size()), data.data()));
}
} // namespace

TEST(aUEI, BigEndianValues) {
    uint8_t bytes[4] = {};
    aUEI_StoreShort(bytes, 0x1234);
    EXPECT_EQ(0x12, bytes[0]);
    EXPECT_EQ(0x34, bytes[1]);
    EXPECT_EQ(0x1234, aUEI_RetrieveShort(bytes));

    aUEI_StoreInt(bytes, 0xA1B2C3D4);
    const uint8_t expected[4] = {0xA1, 0xB2, 0xC3, 0xD4};
    EXPECT_EQ(0, memcmp(expected, bytes, 4));
    EXPECT_EQ(0xA1B2C3D4u, aUEI_RetrieveInt(bytes));

    const uint8_t wire[8] = {0x00, 0x00, 0x01, 0x02, 0xFF, 0x00, 0x00, 0x01};
    uint8_t buffer[8];
    memcpy(buffer, wire, sizeof(buffer));
    aUEI_ModifyIntBuffer(buffer, 2);
    uint32_t values[2];
    memcpy(values, buffer, sizeof(values));
    EXPECT_EQ(0x00000102u, values[0]);
    EXPECT_EQ(0xFF000001u, values[1]);
}

TEST(aUEI, ByteTransferFlags) {
    PacketPtr p = makePacket({0x10, 0x20, 0x85});
    ASSERT_TRUE(p);
    EXPECT_EQ(5, aUEI_getBytesSequence(p.get()));
    EXPECT_EQ(1, aUEI_getBytesContinue(p.get()));
    EXPECT_FALSE(aUEI_getBytesFullPacket(p.get()));

    PacketPtr last = makePacket({0x10, 0x7F});
    EXPECT_EQ(0x7F, aUEI_getBytesSequence(last.get()));
    EXPECT_EQ(0, aUEI_getBytesContinue(last.get()));

    for (size_t length : {26u, 27u, 28u}) {
        PacketPtr full = makePacket(std::vector<uint8_t>(length, 0x01));
        EXPECT_EQ(length != 26, aUEI_getBytesFullPacket(full.get())) << length;
    }
    EXPECT_EQ(0, aUEI_getBytesSequence(nullptr));
    EXPECT_EQ(0, aUEI_getBytesContinue(nullptr));
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
    PacketPtr empty(aPacket_Create());
    EXPECT_EQ(0, aUEI_getBytesSequence(empty.get()));
    EXPECT_EQ(0, aUEI_getBytesContinue(empty.get()));
}

TEST(aUEI, PayloadKinds) {
    const uint8_t notUEI[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int command = 0; command < 256; ++command) {
        bool listed = memchr(notUEI, command, sizeof(notUEI)) != nullptr;
        PacketPtr p = makePacket({static_cast<uint8_t>(command), 0x01});
        EXPECT_EQ(listed, aUEI_isNotUEIPayload(p.get())) << command;
        EXPECT_EQ(!listed, aUEI_isUEIPayload(p.get())) << command;
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
}

TEST(aUEI, StreamPackets) {
    struct Case {
        std::vector<uint8_t> data;
        bool stream;
    };
    const Case cases[] = {
        {{0x12, 0x03, 0x40, 0x00, 0x01}, true},
        {{0x12, 0x03, 0x40, 0x00}, false},       // too short
        {{0x12, 0x43, 0x40, 0x00, 0x01}, false}, // option byte has a top bit
        {{0x12, 0x83, 0x40, 0x00, 0x01}, false},
        {{0x12, 0x03, 0x00, 0x00, 0x01}, false}, // not streamed
        {{0x08, 0x03, 0x40, 0x00, 0x01}, false}, // not a UEI payload
        {{0x12, 0x3F, 0xFF, 0x00, 0x01, 0x02}, true},
    };
    for (const Case &c : cases) {
        PacketPtr p = makePacket(c.data);
        EXPECT_EQ(c.stream, aUEI_isStreamPacket(p.get()))
            << int(c.data[0]) << " " << int(c.data[1]) << " " << int(c.data[2]);
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}
