#include "aMulticast.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>

#include "PrivateNetwork.h"

// Everything here stays on the loopback interface (interface 0 means 127.0.0.1), and each test
// runs inside the private network namespace, so no multicast datagram can leave the machine.
namespace {

uint32_t sGroup() {
    uint32_t group = 0;
    inet_pton(AF_INET, "224.0.0.7", &group);
    return group;
}

// A port that no other receiver holds right now.
uint16_t sFreePort() {
    for (uint16_t port = 39250; port < 39400; ++port) {
        aMulticastRef probe = aMulticast_Create(0, sGroup(), port, false);
        if (probe) {
            aMulticast_Destroy(&probe);
            return port;
        }
    }
    return 0;
}

} // namespace

TEST(Multicast, SecondReceiverOnAPortFails) {
    RUN_IN_PRIVATE_NETWORK(false);
    uint16_t port = sFreePort();
    ASSERT_NE(port, 0);
    aMulticastRef first = aMulticast_Create(0, sGroup(), port, false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(aMulticast_Create(0, sGroup(), port, false), nullptr);
    EXPECT_EQ(aMulticast_Create(htonl(INADDR_LOOPBACK), sGroup(), port, false), nullptr);
    EXPECT_EQ(aMulticast_Destroy(&first), 0);
    EXPECT_EQ(first, nullptr);
    // Free again once the holder is gone.
    aMulticastRef again = aMulticast_Create(0, sGroup(), port, false);
    EXPECT_NE(again, nullptr);
    aMulticast_Destroy(&again);
}

TEST(Multicast, SenderAndReceiverInOneProcessExchangeADatagram) {
    RUN_IN_PRIVATE_NETWORK(false);
    uint16_t port = sFreePort();
    ASSERT_NE(port, 0);
    aMulticastRef receiver = aMulticast_Create(0, sGroup(), port, false);
    aMulticastRef sender = aMulticast_Create(0, sGroup(), port, true);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    const uint8_t query[4] = {0xBA, 0xDC, 0xCD, 0xAB};
    EXPECT_EQ(aMulticast_Send(sender, query, sizeof(query)), 4);
    uint8_t buffer[128];
    ASSERT_EQ(aMulticast_Receive(receiver, buffer, sizeof(buffer)), 4);
    EXPECT_EQ(memcmp(buffer, query, 4), 0);
    // A second sender on the same port is fine: senders do not bind.
    aMulticastRef other = aMulticast_Create(0, sGroup(), port, true);
    EXPECT_NE(other, nullptr);
    aMulticast_Destroy(&other);
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&receiver);
}

TEST(Multicast, ReceiveTimesOutAfterOneSecond) {
    RUN_IN_PRIVATE_NETWORK(false);
    uint16_t port = sFreePort();
    aMulticastRef receiver = aMulticast_Create(0, sGroup(), port, false);
    ASSERT_NE(receiver, nullptr);
    uint8_t buffer[16];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof(buffer)), -1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    aMulticast_Destroy(&receiver);
}

TEST(Multicast, RoleAndHandleErrors) {
    RUN_IN_PRIVATE_NETWORK(false);
    uint16_t port = sFreePort();
    aMulticastRef receiver = aMulticast_Create(0, sGroup(), port, false);
    aMulticastRef sender = aMulticast_Create(0, sGroup(), port, true);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    uint8_t buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof(buffer)), -3);
    EXPECT_EQ(aMulticast_Send(receiver, buffer, sizeof(buffer)), -3);
    EXPECT_EQ(aMulticast_Send(nullptr, buffer, sizeof(buffer)), -2);
    EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof(buffer)), -2);
    EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
    aMulticastRef none = nullptr;
    EXPECT_EQ(aMulticast_Destroy(&none), -2);
    EXPECT_EQ(aMulticast_Destroy(&sender), 0);
    EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
}

TEST(Multicast, NonMulticastGroupIsRefused) {
    RUN_IN_PRIVATE_NETWORK(false);
    uint32_t unicast = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(aMulticast_Create(0, unicast, sFreePort(), false), nullptr);
}
