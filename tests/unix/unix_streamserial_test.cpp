// Serial streams on a pseudo-terminal: the stream opens the slave side with the real termios
// code, the test plays the device on the master side.
#include "unix_streamserial.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
typedef std::vector<uint8_t> Bytes;

struct Pty : ::testing::Test {
    int master = -1;
    int slave = -1;
    char name[256] = {0};
    void SetUp() override {
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        // Keep the slave open so the line stays up; give it recognisable settings.
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        t.c_lflag |= ECHO; // must not survive raw mode, and must come back afterwards
        cfsetospeed(&t, B9600);
        cfsetispeed(&t, B9600);
        tcsetattr(slave, TCSANOW, &t);
    }
    void TearDown() override {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
    Bytes masterRead(size_t n, int timeoutMS = 2000) {
        Bytes got;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMS);
        while (got.size() < n && Clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            uint8_t buffer[64];
            ssize_t r = read(master, buffer, std::min(sizeof(buffer), n - got.size()));
            if (r <= 0)
                break;
            got.insert(got.end(), buffer, buffer + r);
        }
        return got;
    }
    void masterWrite(const Bytes &bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

// Reads n bytes from the stream while it reports "not ready"; collects frame errors.
Bytes sStreamRead(aStream *stream, size_t n, int *packetErrors = nullptr, int timeoutMS = 2000) {
    Bytes got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMS);
    while (got.size() < n && Clock::now() < deadline) {
        uint8_t byte;
        aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNone)
            got.push_back(byte);
        else if (err == aErrPacket && packetErrors)
            (*packetErrors)++;
        else if (err == aErrNotReady)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            break;
    }
    return got;
}

struct LineCase {
    uint32_t baudIndex;
    uint8_t parity, dataBits, stopBits;
    speed_t speed;
    tcflag_t size;
    bool parityOn, twoStop;
};

class SerialSettings : public Pty, public ::testing::WithParamInterface<LineCase> {};

TEST_P(SerialSettings, AppliesRawModeAndRestoresOnDelete) {
    const LineCase &c = GetParam();
    termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, c.baudIndex, c.parity, c.dataBits, c.stopBits, &stream),
              aErrNone);
    termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    // The pseudo-terminal driver forces eight data bits without parity whatever is asked;
    // a real port keeps them. The other settings below survive on a pseudo-terminal.
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ((t.c_cflag & PARODD) != 0, false) << "even parity";
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_NE(t.c_iflag & IGNBRK, 0u);
    EXPECT_EQ((t.c_iflag & IGNPAR) != 0, c.parityOn);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | INLCR), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);

    termios after;
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(cfgetospeed(&after), B9600);
}

TEST_P(SerialSettings, RawSettingsAsBuilt) {
    const LineCase &c = GetParam();
    termios t;
    aStream_SerialRawSettings(&t, c.baudIndex, c.parity, c.dataBits, c.stopBits);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & CSIZE, c.size);
    EXPECT_EQ((t.c_cflag & PARENB) != 0, c.parityOn);
    EXPECT_EQ(t.c_cflag & PARODD, 0u);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | (c.parityOn ? IGNPAR : 0)));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
}

INSTANTIATE_TEST_SUITE_P(Lines, SerialSettings,
                         ::testing::Values(LineCase{6, 0, 0, 0, B115200, CS8, false, false},
                                           LineCase{0, 1, 1, 1, B2400, CS7, true, true},
                                           LineCase{7, 0, 0, 1, B230400, CS8, false, true},
                                           LineCase{2, 1, 0, 0, B9600, CS8, true, false}));

TEST_F(Pty, PlainStreamMovesBytesAndNeverWaits) {
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, 6, 0, 0, 0, &stream), aErrNone);
    uint8_t byte;
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              100);

    const Bytes out = {0x06, 0x00, 0x0D, 0x0A, 0xFF, 0x11, 0x13};
    EXPECT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
    EXPECT_EQ(masterRead(out.size()), out) << "raw: no CR/LF translation, no flow control";
    masterWrite({0x0D, 0x00, 0x03, 0x7F});
    EXPECT_EQ(sStreamRead(stream, 4), (Bytes{0x0D, 0x00, 0x03, 0x7F}));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(Pty, PacketizedStreamFramesBothWays) {
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(name, 6, 0, 0, 0, &stream), aErrNone);
    const Bytes image = {0x02, 0x03, 0x03, 0x48, 0x20};
    EXPECT_EQ(aStream_Write(stream, image.data(), image.size()), aErrNone);
    EXPECT_EQ(masterRead(8), (Bytes{0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x21, 0x00}));

    // A bad CRC, stray zeros, then a good frame.
    masterWrite({0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x20, 0x00, 0x00});
    masterWrite({0x07, 0x02, 0x03, 0x03, 0x48, 0x20, 0x21, 0x00});
    int errors = 0;
    EXPECT_EQ(sStreamRead(stream, 5, &errors), image);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(Pty, CreationErrors) {
    aStream *stream = nullptr;
    EXPECT_EQ(aStream_CreateSerial(name, 6, 0, 2, 0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(name, 6, 0, 0, 2, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial_Packetized(name, 6, 0, 2, 0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 6, 0, 0, 0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(name, 6, 0, 0, 0, nullptr), aErrParam);
    EXPECT_EQ(aStream_CreateSerial("/dev/no-such-serial-port", 6, 0, 0, 0, &stream), aErrNotFound);
    EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, 0, 0, 0, &stream), aErrIO) << "not a terminal";
    std::string tooLong(5000, 'a');
    EXPECT_EQ(aStream_CreateSerial(tooLong.c_str(), 6, 0, 0, 0, &stream), aErrParam);
    EXPECT_EQ(stream, nullptr);
}

TEST(SerialBaud, UnknownIndexHangsUp) {
    termios t;
    aStream_SerialRawSettings(&t, 8, 0, 0, 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B0));
}

TEST(SerialBaud, IndexOfRate) {
    const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(aStream_SerialBaudIndex(rates[i]), i);
    EXPECT_EQ(aStream_SerialBaudIndex(1200), -1);
    EXPECT_EQ(aStream_SerialBaudIndex(0), -1);
    EXPECT_EQ(aStream_SerialBaudIndex(460800), -1);
}

} // namespace
