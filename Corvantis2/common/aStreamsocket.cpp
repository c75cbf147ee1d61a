// TCP client stream. The link engine gets from its receive thread and writes from its send
// thread at the same time; both may find the connection dropped and reconnect. Every use of the
// descriptor and every reconnect happens under the record's mutex, and a reconnect is done only
// by the thread that saw the failure of the current connection (its generation), so the two
// threads never replace a fresh socket under each other or touch a closed descriptor.
//
// A module that restarts (into its loader, or into new firmware) closes its port for a moment.
// When the reconnect right after the drop fails, the get side keeps trying at a steady pace for
// a while, so the link comes back by itself once the module listens again; after that window
// the stream stays disconnected until it is recreated.
#include "aStreamsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "unix_time.h"

#define aSOCKET_CHECK 0xDEAD
#define kSocketConnected 0x1

namespace {

struct SocketStream {
    uint16_t check = aSOCKET_CHECK;
    uint16_t port = 0; // host order
    struct sockaddr_in address {};
    std::mutex lock; // guards socketFd and every call on it
    int socketFd = -1;
    std::atomic<uint32_t> flags{0}; // kSocketConnected
    std::atomic<uint32_t> generation{0};
    // Reconnects after a failed one (guarded by lock): when the connection was lost (0 while
    // connected) and when the last attempt was made.
    uint64_t lostTick = 0;
    uint64_t lastAttemptTick = 0;
};

const unsigned kWriteAttempts = 10;
const uint32_t kWritePauseMS = 60;
const uint32_t kClosePauseMS = 10;
// A reconnect from the link's threads must not hold them (and a stop of the link) for the
// system's connect time-out when the host does not answer at all.
const int kReconnectTimeoutMS = 500;
const uint64_t kRetryWindowMS = 30000; // keep trying this long after the connection was lost
const uint64_t kRetryPauseMS = 250;    // between two attempts
// A get with nothing to read waits this long for a byte, so that the receive thread neither
// spins nor sleeps past an arriving reply.
const int kGetWaitMS = 5;

bool sValid(const SocketStream *s) {
    return s != nullptr && s->check == aSOCKET_CHECK;
}

bool sConnected(const SocketStream *s) {
    return (s->flags.load() & kSocketConnected) != 0;
}

bool sDropped(int err) {
    return err == ECONNRESET || err == ENOTCONN || err == ETIMEDOUT;
}

// Called with the lock held.
void sClose(SocketStream *s) {
    s->flags &= ~kSocketConnected;
    if (s->socketFd >= 0) {
        close(s->socketFd);
        s->socketFd = -1;
        aTime_MSSleep(kClosePauseMS);
    }
}

// Connects fd; timeoutMS < 0 waits as long as the system does, otherwise at most timeoutMS
// (a connect still pending then counts as timed out). 0 or the errno of the failure.
int sConnect(int fd, const struct sockaddr_in *address, int timeoutMS) {
    const struct sockaddr *to = reinterpret_cast<const struct sockaddr *>(address);
    if (timeoutMS < 0)
        return connect(fd, to, sizeof(*address)) == 0 ? 0 : errno;
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return errno;
    int err = 0;
    if (connect(fd, to, sizeof(*address)) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            struct pollfd p {};
            p.fd = fd;
            p.events = POLLOUT;
            int n = poll(&p, 1, timeoutMS);
            socklen_t length = sizeof(err);
            if (n <= 0)
                err = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
                err = errno;
        }
    }
    if (err == 0 && fcntl(fd, F_SETFL, flags) != 0)
        err = errno;
    return err;
}

// (Re)connects; called with the lock held. timeoutMS as for sConnect.
aErr sSocketStreamReset(SocketStream *s, int timeoutMS = -1) {
    if (!sValid(s))
        return aErrInitialization;
    sClose(s);
    s->generation++;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    int failed = sConnect(fd, &s->address, timeoutMS);
    if (failed != 0) {
        close(fd);
        if (failed == EAGAIN || failed == ECONNRESET || failed == ETIMEDOUT ||
            failed == ECONNREFUSED)
            return aErrConnection;
        return aErrIO;
    }
    int on = 1;
    struct timeval noTimeout {};
    // Close resets the connection rather than lingering.
    struct linger lingerOff {};
    lingerOff.l_onoff = 1;
    lingerOff.l_linger = 0;
    int flags = fcntl(fd, F_GETFL, 0);
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOff, sizeof(lingerOff)) != 0 || flags < 0 ||
        fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        close(fd);
        return aErrIO;
    }
    s->socketFd = fd;
    s->flags |= kSocketConnected;
    s->lostTick = 0;
    return aErrNone;
}

// Reconnects unless the other thread already replaced the connection that failed.
// Called with the lock held.
aErr sReconnect(SocketStream *s, uint32_t failedGeneration) {
    if (s->generation.load() != failedGeneration)
        return sConnected(s) ? aErrNone : aErrConnection;
    s->flags &= ~kSocketConnected;
    const uint64_t now = aTime_GetMSTicks();
    s->lostTick = now;
    s->lastAttemptTick = now;
    return sSocketStreamReset(s, kReconnectTimeoutMS);
}

// A disconnected stream, within the window after the loss: another attempt when it is due.
// Called with the lock held.
aErr sRetry(SocketStream *s) {
    const uint64_t now = aTime_GetMSTicks();
    if (s->lostTick == 0 || now - s->lostTick >= kRetryWindowMS ||
        now - s->lastAttemptTick < kRetryPauseMS)
        return aErrConnection;
    s->lastAttemptTick = now;
    const uint64_t lost = s->lostTick;
    aErr err = sSocketStreamReset(s, kReconnectTimeoutMS);
    if (err != aErrNone)
        s->lostTick = lost; // the window counts from the first loss
    return err;
}

// One get without waiting; with nothing to read, *waitFd is the descriptor to wait on.
aErr sGetNow(SocketStream *s, uint8_t *byte, int *waitFd) {
    std::lock_guard<std::mutex> guard(s->lock);
    if (!sConnected(s) && sRetry(s) != aErrNone)
        return aErrConnection;
    uint8_t peek = 0;
    ssize_t n = recv(s->socketFd, &peek, 1, MSG_PEEK | MSG_DONTWAIT);
    int err = errno;
    // An orderly close by the peer is a dropped connection as well; without a reconnect here
    // the stream would report "nothing yet" for ever and lose the next write.
    if ((n < 0 && sDropped(err)) || n == 0) {
        aErr e = sReconnect(s, s->generation.load());
        if (e != aErrNone)
            return e;
        n = recv(s->socketFd, &peek, 1, MSG_PEEK | MSG_DONTWAIT);
        err = errno;
    }
    if (n < 0) {
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || sDropped(err)) {
            *waitFd = s->socketFd;
            return aErrNotReady;
        }
        return aErrConnection;
    }
    if (n == 0)
        return aErrNotReady;
    n = recv(s->socketFd, byte, 1, MSG_DONTWAIT);
    if (n == 1)
        return aErrNone;
    err = errno;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK))
        return aErrEOF;
    if (n == 0 || sDropped(err))
        return aErrNotReady;
    return aErrIO;
}

aErr sSocketStreamGet(uint8_t *byte, void *reference) {
    SocketStream *s = static_cast<SocketStream *>(reference);
    if (!sValid(s) || byte == nullptr)
        return aErrParam;
    int waitFd = -1;
    aErr err = sGetNow(s, byte, &waitFd);
    if (err != aErrNotReady || waitFd < 0)
        return err;
    // Wait for a byte without the lock, so the writer goes on meanwhile. Should the writer
    // replace the connection, this wait merely ends early or runs out; the second get uses
    // whatever connection is current.
    struct pollfd p {};
    p.fd = waitFd;
    p.events = POLLIN;
    if (poll(&p, 1, kGetWaitMS) <= 0)
        return aErrNotReady;
    waitFd = -1;
    return sGetNow(s, byte, &waitFd);
}

aErr sSocketStreamWrite(const uint8_t *bytes, size_t length, void *reference) {
    SocketStream *s = static_cast<SocketStream *>(reference);
    if (!sValid(s) || (bytes == nullptr && length > 0))
        return aErrParam;
    if (!sConnected(s))
        return aErrConnection;
    size_t sent = 0;
    unsigned failed = 0;
    while (sent < length) {
        bool reconnected = false;
        ssize_t n;
        int err = 0;
        {
            std::lock_guard<std::mutex> guard(s->lock);
            if (!sConnected(s))
                return aErrConnection;
            n = send(s->socketFd, bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            err = errno;
            if (n < 0 && (err == EPIPE || err == ECONNRESET || err == ENOTCONN)) {
                if (sReconnect(s, s->generation.load()) != aErrNone)
                    return aErrConnection;
                reconnected = true;
            }
        }
        if (n > 0) {
            sent += static_cast<size_t>(n);
            if (sent < length) {
                failed = 0;
                aTime_MSSleep(kWritePauseMS);
            }
            continue;
        }
        // A fresh connection gets the whole block, not the tail of a packet.
        if (reconnected)
            sent = 0;
        if (++failed >= kWriteAttempts)
            return aErrIO;
        aTime_MSSleep(kWritePauseMS);
    }
    return aErrNone;
}

aErr sSocketStreamPut(uint8_t byte, void *reference) {
    return sSocketStreamWrite(&byte, 1, reference);
}

aErr sSocketStreamDelete(void *reference) {
    SocketStream *s = static_cast<SocketStream *>(reference);
    if (!sValid(s))
        return aErrParam;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        sClose(s);
    }
    s->check = 0;
    delete s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream **stream) {
    if (stream == nullptr)
        return aErrResource;
    *stream = nullptr;
    SocketStream *s = new (std::nothrow) SocketStream;
    if (s == nullptr)
        return aErrResource;
    s->port = port;
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = address;
    aErr err;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        err = sSocketStreamReset(s);
    }
    aStream *created = nullptr;
    if (err == aErrNone)
        created = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                 sSocketStreamDelete, s);
    if (created == nullptr) {
        sSocketStreamDelete(s);
        return aErrResource;
    }
    *stream = created;
    return aErrNone;
}
