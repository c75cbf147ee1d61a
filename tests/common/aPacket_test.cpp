#include "aPacket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct CreateCase {
    uint8_t length;
    bool nullData;
    bool expectPacket;
};

class PacketCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(PacketCreate, LengthAndDataRules) {
    const CreateCase &c = GetParam();
    uint8_t data[32];
    for (int i = 0; i < 32; i++)
        data[i] = static_cast<uint8_t>(0xA0 + i);
    aPacket *p = aPacket_CreateWithData(0x06, c.length, c.nullData ? nullptr : data);
    ASSERT_EQ(p != nullptr, c.expectPacket);
    if (!p)
        return;
    EXPECT_TRUE(aPacket_IsComplete(p));
    EXPECT_EQ(p->fillCount, c.length + 2);
    uint8_t wire[40];
    size_t count = 0;
    ASSERT_EQ(aPacket_GetBytes(p, wire, sizeof(wire), &count), aErrNone);
    ASSERT_EQ(count, static_cast<size_t>(c.length) + 2);
    EXPECT_EQ(wire[0], 0x06);
    EXPECT_EQ(wire[1], c.length);
    EXPECT_EQ(std::memcmp(wire + 2, data, c.length), 0);
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lengths, PacketCreate,
                         ::testing::Values(CreateCase{0, false, true}, CreateCase{1, false, true},
                                           CreateCase{28, false, true},
                                           CreateCase{29, false, false},
                                           CreateCase{255, false, false},
                                           CreateCase{0, true, false}, CreateCase{5, true, false}));

TEST(Packet, NewPacketIsEmptyButValid) {
    aPacket *p = aPacket_Create();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->check, aPACKET_CHECK);
    EXPECT_EQ(p->fillCount, 0);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->dataSize, 0);
    for (uint8_t b : p->data)
        EXPECT_EQ(b, 0);
    EXPECT_FALSE(aPacket_IsComplete(p));
    aPacket_Destroy(&p);
}

TEST(Packet, BuiltByteByByte) {
    aPacket *p = aPacket_Create();
    const uint8_t bytes[] = {0x06, 0x02, 0x11, 0x22};
    for (size_t i = 0; i < sizeof(bytes); i++) {
        EXPECT_FALSE(aPacket_IsComplete(p)) << i;
        EXPECT_EQ(aPacket_AddByte(p, bytes[i]), aErrNone) << i;
    }
    EXPECT_TRUE(aPacket_IsComplete(p));
    EXPECT_EQ(p->address, 6);
    EXPECT_EQ(p->dataSize, 2);
    EXPECT_EQ(p->data[0], 0x11);
    EXPECT_EQ(p->data[1], 0x22);
    EXPECT_EQ(aPacket_AddByte(p, 0x33), aErrPacket);

    // After a reset the same record builds the next packet.
    EXPECT_EQ(aPacket_Reset(p), aErrNone);
    EXPECT_EQ(p->fillCount, 0);
    EXPECT_EQ(p->data[0], 0);
    EXPECT_EQ(aPacket_AddByte(p, 0x08), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p, 0x00), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p)) << "a zero length byte completes the packet";
    EXPECT_EQ(p->fillCount, 2);
    aPacket_Destroy(&p);
}

TEST(Packet, RefusedBytes) {
    aPacket *p = aPacket_Create();
    EXPECT_EQ(aPacket_AddByte(p, 0x00), aErrPacket) << "zero address";
    EXPECT_EQ(p->fillCount, 1) << "a refused byte still counts";
    aPacket_Reset(p);
    EXPECT_EQ(aPacket_AddByte(p, 0x06), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p, 29), aErrPacket) << "length above 28";
    EXPECT_EQ(p->dataSize, 29);
    aPacket_Reset(p);

    // 30 bytes make the largest packet; the 31st without a reset overruns, and so does every
    // later one (the count must not wrap around and start accepting again).
    EXPECT_EQ(aPacket_AddByte(p, 0x06), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p, 28), aErrNone);
    for (int i = 0; i < 28; i++)
        EXPECT_EQ(aPacket_AddByte(p, static_cast<uint8_t>(i + 1)), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p));
    EXPECT_EQ(aPacket_AddByte(p, 0x55), aErrOverrun);
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(aPacket_AddByte(p, 0x55), aErrOverrun) << i;
    EXPECT_EQ(p->data[27], 28);
    aPacket_Destroy(&p);
}

TEST(Packet, GetBytesBufferTooShortWritesNothing) {
    const uint8_t data[] = {1, 2, 3};
    aPacket *p = aPacket_CreateWithData(0x04, 3, data);
    uint8_t buffer[5];
    std::memset(buffer, 0xEE, sizeof(buffer));
    size_t count = 99;
    EXPECT_EQ(aPacket_GetBytes(p, buffer, 4, &count), aErrOverrun);
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(aPacket_GetBytes(p, buffer, 5, nullptr), aErrNone);
    EXPECT_EQ(aPacket_GetBytes(p, nullptr, 5, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetBytes(nullptr, buffer, 5, nullptr), aErrParam);
    aPacket_Destroy(&p);
}

TEST(Packet, CommandOptionIndex) {
    const uint8_t data[] = {0x03, 0xC8, 0xE5, 0x00};
    aPacket *p = aPacket_CreateWithData(0x02, 4, data);
    uint8_t v = 0;
    EXPECT_EQ(aPacket_GetCmd(p, &v), aErrNone);
    EXPECT_EQ(v, 0x03);
    EXPECT_EQ(aPacket_GetOption(p, &v), aErrNone);
    EXPECT_EQ(v, 0x08);
    EXPECT_EQ(aPacket_GetIndex(p, &v), aErrNone);
    EXPECT_EQ(v, 0x05);
    EXPECT_EQ(aPacket_GetCmd(p, nullptr), aErrParam);
    aPacket_Destroy(&p);

    struct {
        uint8_t length;
        aErr cmd, option, index;
    } rows[] = {{0, aErrPacket, aErrPacket, aErrPacket},
                {1, aErrNone, aErrPacket, aErrPacket},
                {2, aErrNone, aErrNone, aErrPacket},
                {3, aErrNone, aErrNone, aErrNone}};
    for (auto &row : rows) {
        aPacket *q = aPacket_CreateWithData(0x02, row.length, data);
        EXPECT_EQ(aPacket_GetCmd(q, &v), row.cmd) << int(row.length);
        EXPECT_EQ(aPacket_GetOption(q, &v), row.option) << int(row.length);
        EXPECT_EQ(aPacket_GetIndex(q, &v), row.index) << int(row.length);
        aPacket_Destroy(&q);
    }
    EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

TEST(Packet, CopyIsIndependentAndComplete) {
    aPacket *p = aPacket_Create();
    for (uint8_t b : {0x0A, 0x03, 0x01, 0x02, 0x03})
        aPacket_AddByte(p, b);
    aPacket *c = aPacket_Copy(p);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, p);
    EXPECT_TRUE(aPacket_IsComplete(c));
    EXPECT_EQ(c->address, 0x0A);
    EXPECT_EQ(c->dataSize, 3);
    EXPECT_EQ(c->data[2], 0x03);
    p->data[2] = 0x77;
    EXPECT_EQ(c->data[2], 0x03);
    aPacket_Destroy(&p);
    aPacket_Destroy(&c);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(Packet, InvalidRecordsAreRefused) {
    aPacket fake;
    std::memset(&fake, 0, sizeof(fake));
    EXPECT_EQ(aPacket_Reset(&fake), aErrParam);
    EXPECT_EQ(aPacket_AddByte(&fake, 1), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&fake));
    EXPECT_EQ(aPacket_Copy(&fake), nullptr);
    EXPECT_EQ(aPacket_AddByte(nullptr, 1), aErrParam);
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);

    // Destroying a record without the validity word must not free it.
    aPacket *pointer = &fake;
    EXPECT_EQ(aPacket_Destroy(&pointer), aErrParam);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_EQ(aPacket_Destroy(&pointer), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

} // namespace
