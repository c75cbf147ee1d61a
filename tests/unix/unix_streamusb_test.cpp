#include "unix_streamusb.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "FakeLibusb.h"
#include "aLink.h"
#include "aPacket.h"

namespace {

int sOpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            ++count;
    return count;
}

// A pseudo-terminal in raw mode standing in for the kernel-driver node "corvantis.0000ABCD"
// in a folder of its own. A read of the node waits at most waitTenths tenths of a second and
// then returns nothing, as the driver does when no byte is ready.
class PtyNode {
public:
    int master = -1;
    int slave = -1;
    std::string folder;
    std::string node;

    bool open(int waitTenths) {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return false;
        struct termios settings;
        if (tcgetattr(slave, &settings) != 0)
            return false;
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = (cc_t)waitTenths;
        if (tcsetattr(slave, TCSANOW, &settings) != 0)
            return false;
        char temp[] = "/tmp/cvusb_nodeXXXXXX";
        if (!mkdtemp(temp))
            return false;
        folder = temp;
        node = folder + "/corvantis.0000ABCD";
        if (symlink(name, node.c_str()) != 0)
            return false;
        cvusb_set_kernel_node_dir(folder.c_str());
        return true;
    }
    ~PtyNode() {
        cvusb_set_kernel_node_dir(nullptr);
        unlink(node.c_str());
        rmdir(folder.c_str());
        if (slave >= 0)
            close(slave);
        if (master >= 0)
            close(master);
    }
    std::string read(size_t count) {
        std::string got;
        for (int tries = 0; got.size() < count && tries < 100; ++tries) {
            char buffer[256];
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 10) == 1) {
                ssize_t n = ::read(master, buffer, sizeof(buffer));
                if (n > 0)
                    got.append(buffer, (size_t)n);
            }
        }
        return got;
    }
};

// A module on the far side of the node: raw packets (address, length, data). It answers a
// sync packet with an empty packet from its address and echoes packets sent to it.
class NodeModule {
public:
    explicit NodeModule(int fd, uint8_t address) : m_fd(fd), m_address(address) {
        m_thread = std::thread([this] { run(); });
    }
    ~NodeModule() {
        m_stop = true;
        m_thread.join();
    }
    int syncs() const { return m_syncs; }

private:
    void run() {
        std::vector<uint8_t> pending;
        while (!m_stop) {
            struct pollfd p = {m_fd, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            uint8_t buffer[512];
            ssize_t n = ::read(m_fd, buffer, sizeof(buffer));
            if (n <= 0)
                continue;
            pending.insert(pending.end(), buffer, buffer + n);
            while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
                std::vector<uint8_t> packet(pending.begin(), pending.begin() + 2 + pending[1]);
                pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
                if (packet[0] == 0xAD && packet[1] == 0) {
                    ++m_syncs;
                    const uint8_t answer[2] = {m_address, 0};
                    (void)!::write(m_fd, answer, 2);
                } else if (packet[0] == m_address) {
                    (void)!::write(m_fd, packet.data(), packet.size());
                }
            }
        }
    }
    int m_fd;
    uint8_t m_address;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_syncs{0};
    std::thread m_thread;
};

bool sAny(const aPacket *, void *) {
    return true;
}

} // namespace

TEST(UsbStream, PrefersTheKernelNode) {
    FakeLibusb usb; // a library open would show up here
    int before = sOpenDescriptors();
    {
        PtyNode node;
        ASSERT_TRUE(node.open(0));
        aStream *stream = nullptr;
        ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone);
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(usb.lists, 0);
        const uint8_t packet[] = {0xAD, 0x00};
        EXPECT_EQ(aStream_Write(stream, packet, sizeof(packet)), aErrNone);
        EXPECT_EQ(node.read(2), std::string("\xAD\x00", 2));
        uint8_t got[2] = {0};
        EXPECT_EQ(aStream_Read(stream, got, 2), aErrNotReady);
        ASSERT_EQ(write(node.master, "\x06\x00", 2), 2);
        usleep(20000);
        EXPECT_EQ(aStream_Read(stream, got, 2), aErrNone);
        EXPECT_EQ(got[0], 0x06);
        EXPECT_EQ(got[1], 0x00);
        EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        EXPECT_EQ(stream, nullptr);
    }
    EXPECT_EQ(sOpenDescriptors(), before);
}

TEST(UsbStream, OpensThroughTheLibraryWithoutANode) {
    FakeLibusb usb;
    usb.add("00C0FFEE");
    usb.inReplies.push_back({0, 0, {0x08, 0x00}});
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0xC0FFEE, &stream), aErrNone);
    uint8_t got[2] = {0};
    EXPECT_EQ(aStream_Read(stream, got, 2), aErrNone);
    EXPECT_EQ(got[0], 0x08);
    std::vector<uint8_t> bytes(1200, 0x5A);
    EXPECT_EQ(aStream_Write(stream, bytes.data(), bytes.size()), aErrNone);
    EXPECT_EQ(usb.outLengths(), (std::vector<int>{511, 511, 178}));
    // A single byte goes through the put procedure, the same transport write.
    EXPECT_EQ(aStream_Write(stream, bytes.data(), 1), aErrNone);
    EXPECT_EQ(usb.outLengths().back(), 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(usb.opens, usb.closes);
    EXPECT_EQ(usb.releases, 1);
}

TEST(UsbStream, CreationErrors) {
    FakeLibusb usb;
    usb.add("00001111");
    aStream *stream = (aStream *)0x1;
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x1234, nullptr), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0xC0FFEE, &stream), aErrNotFound);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(usb.opens, usb.closes);
    EXPECT_EQ(usb.lists, usb.freedLists);
}

TEST(UsbLink, CreatesSyncsAndSharesTheLink) {
    PtyNode node;
    ASSERT_TRUE(node.open(1));
    NodeModule module(node.master, 0x06);
    aLinkRef link = aLink_CreateUSB(0xABCD);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    EXPECT_GE(module.syncs(), 6);
    // The leftover answers to the sync packets were drained.
    aPacket *stale = aLink_GetFirst(link, sAny, nullptr);
    EXPECT_EQ(stale, nullptr);
    aPacket_Destroy(&stale);

    const uint8_t data[] = {0x17, 0x01, 0x02};
    aPacket *ping = aPacket_CreateWithData(0x06, sizeof(data), data);
    ASSERT_NE(ping, nullptr);
    EXPECT_EQ(aLink_PutPacket(link, ping), aErrNone);
    aPacket *reply = aLink_AwaitFirst(link, sAny, nullptr, 1000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 0x06);
    ASSERT_EQ(reply->dataSize, 3);
    EXPECT_EQ(reply->data[0], 0x17);
    aPacket_Destroy(&reply);
    aPacket_Destroy(&ping);

    aLinkRef again = aLink_CreateUSB(0xABCD);
    EXPECT_EQ(again, link);
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(again, 0u);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusNoStream);
}

TEST(UsbLink, ModuleThatNeverSyncsIsNoLink) {
    PtyNode node;
    ASSERT_TRUE(node.open(1));
    int before = sOpenDescriptors();
    EXPECT_EQ(aLink_CreateUSB(0xABCD), 0u);
    EXPECT_EQ(sOpenDescriptors(), before);
}

TEST(UsbLink, AbsentModuleIsNoLink) {
    FakeLibusb usb;
    EXPECT_EQ(aLink_CreateUSB(0xABCD), 0u);
    EXPECT_EQ(aLink_CreateUSB(0), 0u);
}
