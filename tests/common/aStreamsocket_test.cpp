// The TCP socket stream against a listener on 127.0.0.1 run by the test itself.
#include "aStreamsocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

class Listener {
public:
    // Listens on the given port (0: any free one).
    explicit Listener(uint16_t onPort = 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = kLoopback;
        addr.sin_port = htons(onPort);
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
        listen(fd, 4);
        socklen_t len = sizeof(addr);
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~Listener() { closeListener(); }
    void closeListener() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    // An accepted connection, or -1 after the timeout.
    int accept(int timeoutMS = 2000) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMS) != 1)
            return -1;
        return ::accept(fd, nullptr, nullptr);
    }
    int fd;
    uint16_t port;
};

// Closes a connection so that the other side sees a reset.
void sReset(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

// Reads exactly n bytes from a connection within the timeout.
std::string sReceive(int fd, size_t n, int timeoutMS = 2000) {
    std::string got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMS);
    while (got.size() < n && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) != 1)
            continue;
        char buffer[256];
        ssize_t r = recv(fd, buffer, std::min(sizeof(buffer), n - got.size()), 0);
        if (r <= 0)
            break;
        got.append(buffer, static_cast<size_t>(r));
    }
    return got;
}

void sSend(int fd, const std::string &text) {
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Reads n bytes from the stream, polling while it is not ready. Stops at any other error.
aErr sStreamReceive(aStream *stream, size_t n, std::string *out, int timeoutMS = 2000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMS);
    aErr err = aErrNotReady;
    while (out->size() < n && Clock::now() < deadline) {
        uint8_t byte;
        err = aStream_Read(stream, &byte, 1);
        if (err == aErrNone)
            out->push_back(static_cast<char>(byte));
        else if (err == aErrNotReady)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        else
            return err;
    }
    if (out->size() == n)
        return aErrNone;
    return err;
}

aErr sStreamSend(aStream *stream, const std::string &text) {
    return aStream_Write(stream, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

TEST(SocketStream, ExchangesBytesBothWays) {
    Listener listener;
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port, &stream), aErrNone);
    ASSERT_NE(stream, nullptr);
    int conn = listener.accept();
    ASSERT_GE(conn, 0);

    uint8_t byte;
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 4) << "an empty get waits a few milliseconds for a byte";
    EXPECT_LT(waited, 100) << "but not for long";

    // A byte that arrives while the get waits is returned by that same get.
    std::thread later([conn] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        send(conn, "w", 1, MSG_NOSIGNAL);
    });
    aErr waitedFor = aErrNotReady;
    for (int i = 0; i < 20 && waitedFor == aErrNotReady; i++) // tolerates a slow scheduler
        waitedFor = aStream_Read(stream, &byte, 1);
    later.join();
    EXPECT_EQ(waitedFor, aErrNone);
    EXPECT_EQ(byte, 'w');

    EXPECT_EQ(sStreamSend(stream, "hello"), aErrNone);
    EXPECT_EQ(sStreamSend(stream, "!"), aErrNone);
    EXPECT_EQ(sReceive(conn, 6), "hello!");
    sSend(conn, std::string("x\0z", 3));
    std::string got;
    EXPECT_EQ(sStreamReceive(stream, 3, &got), aErrNone);
    EXPECT_EQ(got, std::string("x\0z", 3));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(sReceive(conn, 1, 500), "") << "the peer sees the connection end";
    close(conn);
}

TEST(SocketStream, RefusedConnectionGivesNoStream) {
    uint16_t port;
    {
        Listener gone;
        port = gone.port;
    }
    aStream *stream = reinterpret_cast<aStream *>(0x1);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, port, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, port, nullptr), aErrResource);
}

// How the peer drops the first connection.
enum class Drop { Reset, OrderlyClose };

class SocketReconnect : public ::testing::TestWithParam<Drop> {};

TEST_P(SocketReconnect, GetReconnectsByItself) {
    Listener listener;
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port, &stream), aErrNone);
    int first = listener.accept();
    ASSERT_GE(first, 0);
    if (GetParam() == Drop::Reset)
        sReset(first);
    else
        close(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    // The next gets notice the drop and connect again.
    uint8_t byte;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    int second = listener.accept();
    ASSERT_GE(second, 0) << "the stream connected again";
    sSend(second, "ok");
    std::string got;
    EXPECT_EQ(sStreamReceive(stream, 2, &got), aErrNone);
    EXPECT_EQ(got, "ok");
    EXPECT_EQ(sStreamSend(stream, "back"), aErrNone);
    EXPECT_EQ(sReceive(second, 4), "back");
    aStream_Destroy(&stream);
    close(second);
}

INSTANTIATE_TEST_SUITE_P(Drops, SocketReconnect,
                         ::testing::Values(Drop::Reset, Drop::OrderlyClose));

TEST(SocketStream, WriteReconnectsAndSendsTheWholeBlock) {
    Listener listener;
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port, &stream), aErrNone);
    int first = listener.accept();
    ASSERT_GE(first, 0);
    sReset(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sStreamSend(stream, "packet"), aErrNone);
    int second = listener.accept();
    ASSERT_GE(second, 0);
    EXPECT_EQ(sReceive(second, 6), "packet");
    aStream_Destroy(&stream);
    close(second);
}

TEST(SocketStream, FailedReconnectLeavesItDisconnected) {
    Listener listener;
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port, &stream), aErrNone);
    int first = listener.accept();
    ASSERT_GE(first, 0);
    listener.closeListener();
    sReset(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
    EXPECT_EQ(sStreamSend(stream, "lost"), aErrConnection);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

// A module that restarts closes its port for a moment: once it listens again, gets connect
// the stream again by themselves (at a steady pace, not on every get).
TEST(SocketStream, ComesBackWhenThePeerListensAgain) {
    auto listener = std::make_unique<Listener>();
    const uint16_t port = listener->port;
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, port, &stream), aErrNone);
    int first = listener->accept();
    ASSERT_GE(first, 0);
    listener.reset();
    sReset(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
    EXPECT_EQ(sStreamSend(stream, "lost"), aErrConnection) << "writes do not wait for it";

    listener = std::make_unique<Listener>(port);
    ASSERT_GE(listener->fd, 0);
    auto start = Clock::now();
    int gets = 0;
    aErr err = aErrConnection;
    while (err == aErrConnection && Clock::now() - start < std::chrono::seconds(3)) {
        err = aStream_Read(stream, &byte, 1);
        gets++;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(err, aErrNotReady) << "connected again, nothing to read yet";
    int second = listener->accept(500);
    ASSERT_GE(second, 0);
    EXPECT_EQ(listener->accept(100), -1) << "one new connection, not one per get";
    EXPECT_LE(gets, 40) << "attempts are paced (250 ms apart)";
    EXPECT_EQ(sStreamSend(stream, "back"), aErrNone);
    EXPECT_EQ(sReceive(second, 4), "back");
    sSend(second, "k");
    std::string got;
    EXPECT_EQ(sStreamReceive(stream, 1, &got), aErrNone);
    EXPECT_EQ(got, "k");
    aStream_Destroy(&stream);
    close(second);
}

// The link engine reads from one thread and writes from another; a drop seen by both must
// leave one working connection.
TEST(SocketStream, ReaderAndWriterThreadsSurviveADrop) {
    Listener listener;
    aStream *stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port, &stream), aErrNone);
    int first = listener.accept();
    ASSERT_GE(first, 0);

    std::atomic<bool> stop{false};
    std::atomic<int> received{0};
    std::thread reader([&] {
        while (!stop) {
            uint8_t byte;
            if (aStream_Read(stream, &byte, 1) == aErrNone && byte == 'R')
                received++;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread writer([&] {
        while (!stop) {
            sStreamSend(stream, "W");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    EXPECT_EQ(sReceive(first, 3), "WWW");
    sReset(first);
    int second = listener.accept();
    ASSERT_GE(second, 0);
    // Whichever thread reconnected, the other one uses the same new connection.
    EXPECT_EQ(sReceive(second, 3).size(), 3u);
    sSend(second, "R");
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (received == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(received.load(), 1);
    EXPECT_EQ(listener.accept(100), -1) << "no third connection";
    stop = true;
    reader.join();
    writer.join();
    aStream_Destroy(&stream);
    close(second);
}

} // namespace
