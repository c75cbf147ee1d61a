#include "cvusb_driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <numeric>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "FakeLibusb.h"

namespace {

// A library-path handle opened on the fake module "0000ABCD".
class OpenHandle : public ::testing::Test {
protected:
    FakeLibusb usb;
    cvusbRef handle = nullptr;

    void open(uint16_t packetSize = 512) {
        usb.add("0000ABCD", 0x0005, packetSize);
        handle = cvusb_create_usb(kCvusbModeLibusb);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrNone);
        ASSERT_EQ(cvusb_get_state(handle), kCvusbStateOpen);
        usb.transfers.clear();
    }
    void TearDown() override {
        if (handle) {
            EXPECT_EQ(cvusb_destroy(&handle), aErrNone);
        }
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(usb.opens, usb.closes);
        EXPECT_EQ(usb.lists, usb.freedLists);
        EXPECT_EQ(usb.configs, usb.freedConfigs);
    }
};

std::vector<uint8_t> sPattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = (uint8_t)(i * 7 + i / 256);
    return bytes;
}

} // namespace

struct IdentCase {
    uint16_t vendor;
    uint16_t product;
    bool module;
};

TEST(CvusbIdentification, VendorAndProductDecide) {
    FakeLibusb usb;
    const IdentCase cases[] = {
        {kCorvantisVendorId, 0x0005, true},
        {kCorvantisVendorId, 0x7FFF, true},
        {kCorvantisVendorId, 0x8001, false},
        {kCorvantisVendorId, 0x8000, false},
        {(uint16_t)(kCorvantisVendorId + 1), 0x0005, false},
    };
    for (const IdentCase &c : cases) {
        FakeDevice &device = usb.add("0000ABCD", c.product);
        device.vendor = c.vendor;
        EXPECT_EQ(is_corvantis_device((libusb_device *)&device), c.module)
            << std::hex << c.vendor << ":" << c.product;
    }
    EXPECT_FALSE(is_corvantis_device(nullptr));
    EXPECT_EQ(kCorvantisVendorId, 0x2F5A);
}

TEST_F(OpenHandle, OpensTheMatchingModuleAndFindsItsEndpoints) {
    usb.add("00001111");
    usb.add("0000ABCD", 0x8001); // same serial, but not a module
    open();
    EXPECT_EQ(usb.claims, 1);
    int number = -1;
    uint8_t out = 0, in = 0;
    uint16_t outSize = 0, inSize = 0;
    ASSERT_TRUE(cvusb_get_endpoints(handle, &number, &out, &in, &outSize, &inSize));
    EXPECT_EQ(number, 2);
    EXPECT_EQ(out, 0x02);
    EXPECT_EQ(in, 0x81);
    EXPECT_EQ(outSize, 512);
    EXPECT_EQ(inSize, 512);
    // Only the module that matched stays open.
    EXPECT_EQ(usb.opens - usb.closes, 1);
}

TEST_F(OpenHandle, AbsentSerialIsNotFound) {
    usb.add("00001111");
    usb.add("0000ABCD", 0x8001);
    handle = cvusb_create_usb(kCvusbModeLibusb);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrNotFound);
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateClosed);
    EXPECT_EQ(usb.claims, 0);
}

TEST_F(OpenHandle, ModuleWithoutVendorInterfaceIsAConfigurationError) {
    FakeDevice &device = usb.add("0000ABCD");
    device.interfaceProtocol = 0x11;
    handle = cvusb_create_usb(kCvusbModeLibusb);
    EXPECT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrConfiguration);
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateClosed);
    EXPECT_EQ(usb.claims, 0);
}

TEST_F(OpenHandle, MissingOutEndpointIsAConfigurationError) {
    FakeDevice &device = usb.add("0000ABCD");
    device.endpoints.pop_back();
    handle = cvusb_create_usb(kCvusbModeLibusb);
    EXPECT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrConfiguration);
}

TEST_F(OpenHandle, ControlEndpointsAreNotTaken) {
    FakeDevice &device = usb.add("0000ABCD");
    device.endpoints[1].bmAttributes = LIBUSB_TRANSFER_TYPE_CONTROL;
    handle = cvusb_create_usb(kCvusbModeLibusb);
    EXPECT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrConfiguration);
}

struct ClaimCase {
    int libusbResult;
    aErr expected;
};

TEST(CvusbOpen, ClaimFailuresMapToErrors) {
    const ClaimCase cases[] = {
        {LIBUSB_ERROR_BUSY, aErrBusy},
        {LIBUSB_ERROR_NO_DEVICE, aErrBusy},
        {LIBUSB_ERROR_ACCESS, aErrPermission},
        {LIBUSB_ERROR_OTHER, aErrUnknown},
    };
    for (const ClaimCase &c : cases) {
        FakeLibusb usb;
        usb.add("0000ABCD").claimResult = c.libusbResult;
        cvusbRef handle = cvusb_create_usb(kCvusbModeLibusb);
        EXPECT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), c.expected);
        EXPECT_EQ(cvusb_get_state(handle), kCvusbStateClosed);
        EXPECT_EQ(usb.opens, usb.closes) << c.libusbResult;
        cvusb_destroy(&handle);
    }
}

struct ChunkCase {
    uint16_t packetSize;
    size_t length;
    std::vector<int> chunks;
};

TEST(CvusbWrite, ChunksFollowThePacketSize) {
    const ChunkCase cases[] = {
        {512, 1200, {511, 511, 178}}, {512, 512, {511, 1}},      {512, 511, {511}},
        {64, 150, {64, 64, 22}},      {1024, 1500, {1024, 476}}, {512, 1, {1}},
    };
    for (const ChunkCase &c : cases) {
        FakeLibusb usb;
        usb.add("0000ABCD", 0x0005, c.packetSize);
        cvusbRef handle = cvusb_create_usb(kCvusbModeLibusb);
        ASSERT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrNone);
        std::vector<uint8_t> bytes = sPattern(c.length);
        EXPECT_EQ(cvusb_write_to_device(handle, bytes.data(), bytes.size()), aErrNone);
        EXPECT_EQ(usb.outLengths(), c.chunks) << c.packetSize << "/" << c.length;
        std::vector<uint8_t> wire;
        for (const FakeTransfer &t : usb.transfers) {
            EXPECT_EQ(t.endpoint, 0x02);
            EXPECT_EQ(t.timeout, 50u);
            wire.insert(wire.end(), t.data.begin(), t.data.end());
        }
        EXPECT_EQ(wire, bytes);
        cvusb_destroy(&handle);
    }
}

TEST_F(OpenHandle, StalledWriteIsClearedAndTheChunkResent) {
    open();
    usb.outReplies.push_back({LIBUSB_ERROR_PIPE, 0, {}});
    std::vector<uint8_t> bytes = sPattern(100);
    EXPECT_EQ(cvusb_write_to_device(handle, bytes.data(), bytes.size()), aErrNone);
    ASSERT_EQ(usb.clearedEndpoints, std::vector<unsigned char>{0x02});
    ASSERT_EQ(usb.transfers.size(), 2u);
    EXPECT_EQ(usb.transfers[1].data, bytes);
}

TEST_F(OpenHandle, TimedOutWriteDoesNotSendBytesTwice) {
    open();
    // The first chunk times out after 100 of its 511 bytes went out.
    usb.outReplies.push_back({LIBUSB_ERROR_TIMEOUT, 100, {}});
    std::vector<uint8_t> bytes = sPattern(1200);
    EXPECT_EQ(cvusb_write_to_device(handle, bytes.data(), bytes.size()), aErrNone);
    std::vector<uint8_t> wire;
    for (const FakeTransfer &t : usb.transfers)
        wire.insert(wire.end(), t.data.begin(), t.data.end());
    EXPECT_EQ(wire, bytes);
    EXPECT_EQ(usb.outLengths().front(), 100);
}

TEST_F(OpenHandle, WriteGivesUpAfterTenFailedTransfers) {
    open();
    for (int i = 0; i < 12; ++i)
        usb.outReplies.push_back({LIBUSB_ERROR_TIMEOUT, 0, {}});
    uint8_t bytes[20] = {0};
    EXPECT_EQ(cvusb_write_to_device(handle, bytes, sizeof(bytes)), aErrWrite);
    EXPECT_EQ(usb.transfers.size(), 10u);
    // Nine failures then a success: everything arrives.
    usb.transfers.clear();
    usb.outReplies.clear();
    for (int i = 0; i < 9; ++i)
        usb.outReplies.push_back({LIBUSB_ERROR_TIMEOUT, 0, {}});
    EXPECT_EQ(cvusb_write_to_device(handle, bytes, sizeof(bytes)), aErrNone);
    EXPECT_EQ(usb.transfers.size(), 10u);
}

TEST_F(OpenHandle, ReadsAreBufferedOneTransferPerBurst) {
    open();
    usb.inReplies.push_back({0, 0, {0x06, 0x00, 0x06, 0x00, 0x42}});
    std::vector<uint8_t> got;
    uint8_t byte = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(cvusb_get_from_device(handle, &byte), aErrNone);
        got.push_back(byte);
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{0x06, 0x00, 0x06, 0x00, 0x42}));
    ASSERT_EQ(usb.transfers.size(), 1u);
    EXPECT_EQ(usb.transfers[0].endpoint, 0x81);
    EXPECT_EQ(usb.transfers[0].length, 1024);
    EXPECT_EQ(usb.transfers[0].timeout, 1000u);
    // Nothing more: the time-out with nothing received is "no data".
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrNotReady);
    EXPECT_EQ(usb.transfers.size(), 2u);
}

struct ReadCase {
    const char *name;
    FakeReply reply;
    aErr expected;
    std::vector<unsigned char> cleared;
};

TEST_F(OpenHandle, ReadResultsByTransferOutcome) {
    open();
    const ReadCase cases[] = {
        {"stall", {LIBUSB_ERROR_PIPE, 0, {}}, aErrNotReady, {0x81}},
        {"time-out, nothing", {LIBUSB_ERROR_TIMEOUT, 0, {}}, aErrNotReady, {}},
        {"time-out, some bytes", {LIBUSB_ERROR_TIMEOUT, 0, {0x33}}, aErrNone, {}},
        {"empty success", {0, 0, {}}, aErrNotReady, {}},
    };
    for (const ReadCase &c : cases) {
        usb.clearedEndpoints.clear();
        usb.inReplies.push_back(c.reply);
        uint8_t byte = 0;
        EXPECT_EQ(cvusb_get_from_device(handle, &byte), c.expected) << c.name;
        EXPECT_EQ(usb.clearedEndpoints, c.cleared) << c.name;
        if (c.expected == aErrNone) {
            EXPECT_EQ(byte, 0x33);
        }
        EXPECT_EQ(cvusb_get_state(handle), kCvusbStateOpen) << c.name;
    }
}

TEST_F(OpenHandle, FifthConsecutiveIOErrorFailsTheHandle) {
    open();
    for (int i = 0; i < 5; ++i)
        usb.inReplies.push_back({LIBUSB_ERROR_IO, 0, {}});
    usb.inReplies.push_back({0, 0, {0x01, 0x02}});
    uint8_t byte = 0;
    // Four tolerated errors bring no byte: reported as "no data" to keep the framing.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrNotReady) << i;
        EXPECT_EQ(cvusb_get_state(handle), kCvusbStateOpen);
    }
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrIO);
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateFailed);
    size_t transfers = usb.transfers.size();
    // From now on every read and write fails without touching the device.
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrIO);
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrIO);
    uint8_t out[3] = {1, 2, 3};
    EXPECT_EQ(cvusb_write_to_device(handle, out, sizeof(out)), aErrIO);
    EXPECT_EQ(usb.transfers.size(), transfers);
    // Close and open again: working.
    EXPECT_EQ(cvusb_close_corvantis_device(handle), aErrNone);
    EXPECT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrNone);
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrNone);
    EXPECT_EQ(byte, 0x01);
}

TEST_F(OpenHandle, FailedHandleStaysFailedAfterASuccessOfTheOtherDirection) {
    open();
    for (int i = 0; i < 5; ++i)
        usb.inReplies.push_back({LIBUSB_ERROR_IO, 0, {}});
    uint8_t byte = 0;
    for (int i = 0; i < 5; ++i)
        cvusb_get_from_device(handle, &byte);
    ASSERT_EQ(cvusb_get_state(handle), kCvusbStateFailed);
    // A write that started before the failure finishes well and resets the count.
    EXPECT_EQ(_handleErrorTolerance(handle, aErrNone), aErrNone);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrIO) << i;
        EXPECT_EQ(cvusb_write_to_device(handle, &byte, 1), aErrIO) << i;
    }
}

TEST(CvusbTolerance, CountsOnlyConsecutiveIOErrors) {
    FakeLibusb usb;
    cvusbRef handle = cvusb_create_usb(kCvusbModeLibusb);
    const aErr results[] = {aErrIO, aErrIO, aErrIO, aErrNotReady, aErrIO, aErrIO, aErrIO, aErrIO};
    const aErr reported[] = {aErrNone, aErrNone, aErrNone, aErrNotReady,
                             aErrNone, aErrNone, aErrNone, aErrNone};
    for (size_t i = 0; i < sizeof(results) / sizeof(results[0]); ++i)
        EXPECT_EQ(_handleErrorTolerance(handle, results[i]), reported[i]) << i;
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateCreated);
    EXPECT_EQ(_handleErrorTolerance(handle, aErrIO), aErrIO);
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateFailed);
    EXPECT_EQ(_handleErrorTolerance(handle, aErrTimeout), aErrTimeout);
    cvusb_destroy(&handle);
}

TEST_F(OpenHandle, FailedStallClearOnWriteCountsAsIOError) {
    open();
    usb.clearHaltResult = LIBUSB_ERROR_NO_DEVICE;
    uint8_t bytes[4] = {1, 2, 3, 4};
    for (int i = 0; i < 4; ++i) {
        usb.outReplies.push_back({LIBUSB_ERROR_PIPE, 0, {}});
        EXPECT_EQ(cvusb_write_to_device(handle, bytes, sizeof(bytes)), aErrNone) << i;
    }
    usb.outReplies.push_back({LIBUSB_ERROR_PIPE, 0, {}});
    EXPECT_EQ(cvusb_write_to_device(handle, bytes, sizeof(bytes)), aErrIO);
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateFailed);
}

TEST(CvusbState, ResultsOutsideTheOpenState) {
    FakeLibusb usb;
    usb.add("0000ABCD");
    cvusbRef handle = cvusb_create_usb(kCvusbModeLibusb);
    uint8_t byte = 0;
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrNotReady);
    EXPECT_EQ(cvusb_write_to_device(handle, &byte, 1), aErrNotReady);
    EXPECT_EQ(cvusb_close_corvantis_device(handle), aErrMode);
    ASSERT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrNone);
    EXPECT_EQ(cvusb_close_corvantis_device(handle), aErrNone);
    EXPECT_EQ(usb.releases, 1);
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateClosed);
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrConnection);
    EXPECT_EQ(cvusb_write_to_device(handle, &byte, 1), aErrConnection);
    EXPECT_EQ(cvusb_close_corvantis_device(handle), aErrMode);
    // Paths do not mix.
    EXPECT_EQ(cvusb_open_corvantis_kernel_device(handle, "0000ABCD"), aErrMode);
    EXPECT_EQ(cvusb_get_from_kernel_device(handle, &byte), aErrMode);
    EXPECT_EQ(cvusb_write_to_kernel_device(handle, &byte, 1), aErrMode);
    EXPECT_EQ(cvusb_close_kernel_device(handle), aErrMode);
    EXPECT_EQ(cvusb_destroy(&handle), aErrNone);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(cvusb_destroy(&handle), aErrParam);
    EXPECT_EQ(cvusb_destroy(nullptr), aErrParam);
    EXPECT_EQ(cvusb_create_usb(7), nullptr);
}

TEST(CvusbState, DestroyClosesAnOpenDevice) {
    FakeLibusb usb;
    usb.add("0000ABCD");
    cvusbRef handle = cvusb_create_usb(kCvusbModeLibusb);
    ASSERT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrNone);
    EXPECT_EQ(cvusb_destroy(&handle), aErrNone);
    EXPECT_EQ(usb.opens, usb.closes);
    EXPECT_EQ(usb.releases, 1);
}

TEST(CvusbContext, ExitThenOpenMakesAFreshContext) {
    FakeLibusb usb;
    usb.add("0000ABCD");
    cvusbRef first = cvusb_create_usb(kCvusbModeLibusb);
    cvusbRef second = cvusb_create_usb(kCvusbModeLibusb);
    EXPECT_EQ(usb.inits, 1);
    libusb_context *before = Corvantis_libusb_context();
    EXPECT_EQ(usb.inits, 1);
    cvusb_destroy(&first);
    cvusb_destroy(&second);
    Corvantis_libusb_exit();
    EXPECT_EQ(usb.exits, 1);
    Corvantis_libusb_exit(); // nothing left to end
    EXPECT_EQ(usb.exits, 1);
    cvusbRef handle = cvusb_create_usb(kCvusbModeLibusb);
    EXPECT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrNone);
    EXPECT_EQ(usb.inits, 2);
    EXPECT_NE(Corvantis_libusb_context(), before);
    cvusb_destroy(&handle);
}

TEST(CvusbContext, KernelHandlesDoNotNeedTheLibrary) {
    FakeLibusb usb;
    cvusbRef handle = cvusb_create_usb(kCvusbModeKernel);
    EXPECT_EQ(usb.inits, 0);
    cvusb_destroy(&handle);
}

TEST(CvusbContext, RealLibraryContextCanBeEndedAndMadeAgain) {
    libusb_context *context = Corvantis_libusb_context();
    if (!context)
        GTEST_SKIP() << "libusb cannot initialise here";
    Corvantis_libusb_exit();
    EXPECT_NE(Corvantis_libusb_context(), nullptr);
    Corvantis_libusb_exit();
}

// The kernel-driver node stands in as a pseudo-terminal in raw mode that returns at once when
// no byte is waiting, as the driver does.
class KernelNode : public ::testing::Test {
protected:
    int master = -1;
    int slave = -1;
    std::string folder;
    std::string node;

    void SetUp() override {
        char name[256];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        struct termios settings;
        ASSERT_EQ(tcgetattr(slave, &settings), 0);
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &settings), 0);
        char temp[] = "/tmp/cvusb_nodeXXXXXX";
        ASSERT_NE(mkdtemp(temp), nullptr);
        folder = temp;
        node = folder + "/corvantis.0000ABCD";
        ASSERT_EQ(symlink(name, node.c_str()), 0);
        cvusb_set_kernel_node_dir(folder.c_str());
    }
    void TearDown() override {
        cvusb_set_kernel_node_dir(nullptr);
        unlink(node.c_str());
        rmdir(folder.c_str());
        close(slave);
        close(master);
    }
    std::string readMaster(size_t count) {
        std::string got;
        for (int tries = 0; got.size() < count && tries < 100; ++tries) {
            char buffer[256];
            ssize_t n = read(master, buffer, sizeof(buffer));
            if (n > 0)
                got.append(buffer, (size_t)n);
            else
                usleep(10000);
        }
        return got;
    }
};

static int sOpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            ++count;
    return count;
}

TEST_F(KernelNode, NodeDecidesThePath) {
    EXPECT_TRUE(cvusb_is_kernel_driver_installed(0xABCD));
    EXPECT_FALSE(cvusb_is_kernel_driver_installed(0xABCE));
    cvusb_set_kernel_node_dir(nullptr);
    EXPECT_FALSE(cvusb_is_kernel_driver_installed(0xABCD));
}

TEST_F(KernelNode, ReadsAndWritesThroughTheNode) {
    cvusbRef handle = cvusb_create_usb(kCvusbModeKernel);
    ASSERT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrNone);
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateOpen);
    uint8_t byte = 0;
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrNotReady);
    ASSERT_EQ(write(master, "\x06\x00", 2), 2);
    usleep(20000);
    ASSERT_EQ(cvusb_get_from_device(handle, &byte), aErrNone);
    EXPECT_EQ(byte, 0x06);
    ASSERT_EQ(cvusb_get_from_device(handle, &byte), aErrNone);
    EXPECT_EQ(byte, 0x00);
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrNotReady);

    std::vector<uint8_t> bytes = sPattern(1200);
    EXPECT_EQ(cvusb_write_to_device(handle, bytes.data(), bytes.size()), aErrNone);
    EXPECT_EQ(readMaster(bytes.size()), std::string(bytes.begin(), bytes.end()));

    // Library-path operations refuse a kernel handle.
    EXPECT_EQ(cvusb_get_from_USBlib_device(handle, &byte), aErrMode);
    EXPECT_EQ(cvusb_write_to_USBlib_device(handle, &byte, 1), aErrMode);
    EXPECT_EQ(cvusb_close_USBlib_device(handle), aErrMode);

    EXPECT_EQ(cvusb_close_corvantis_device(handle), aErrNone);
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateClosed);
    EXPECT_EQ(cvusb_close_corvantis_device(handle), aErrMode);
    EXPECT_EQ(cvusb_get_from_device(handle, &byte), aErrConnection);
    cvusb_destroy(&handle);
}

TEST_F(KernelNode, MissingNodeIsAnIOError) {
    cvusbRef handle = cvusb_create_usb(kCvusbModeKernel);
    EXPECT_EQ(cvusb_open_corvantis_device(handle, "0000ABCE"), aErrIO);
    EXPECT_EQ(cvusb_get_state(handle), kCvusbStateClosed);
    cvusb_destroy(&handle);
}

TEST_F(KernelNode, DestroyClosesAnOpenNode) {
    int before = sOpenDescriptors();
    cvusbRef handle = cvusb_create_usb(kCvusbModeKernel);
    ASSERT_EQ(cvusb_open_corvantis_device(handle, "0000ABCD"), aErrNone);
    EXPECT_EQ(sOpenDescriptors(), before + 1);
    cvusb_destroy(&handle);
    EXPECT_EQ(sOpenDescriptors(), before);
}
