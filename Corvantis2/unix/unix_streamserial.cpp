// Serial ports as streams: termios raw mode, reads that return at once (the link's framed stream
// waits a few milliseconds for a byte), writes that wait until the bytes have left.
#include "unix_streamserial.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "aStream_CobsEncoding.h"

namespace {

struct SerialStream {
    uint16_t check;
    uint32_t baudIndex;
    char path[aSERIAL_MAXPATH];
    int fd;
    struct termios saved;   // settings found at open, restored at close
    struct termios applied; // raw settings in use
};

const speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const size_t kSpeedCount = sizeof(kSpeeds) / sizeof(kSpeeds[0]);

bool sValid(const SerialStream *s) {
    return s != nullptr && s->check == aSERIAL_CHECK;
}

aErr sOpenError(int err) {
    if (err == ENOENT)
        return aErrNotFound;
    if (err == EACCES || err == EPERM)
        return aErrPermission;
    return aErrIO;
}

aErr sSerialOpen(SerialStream *s, uint8_t parity, uint8_t dataBitsMode, uint8_t stopBitsMode) {
    s->fd = open(s->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s->fd < 0)
        return sOpenError(errno);
    int flags = fcntl(s->fd, F_GETFL, 0);
    if (flags < 0 || fcntl(s->fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        tcgetattr(s->fd, &s->saved) != 0) {
        close(s->fd);
        s->fd = -1;
        return aErrIO;
    }
    struct termios raw;
    aStream_SerialRawSettings(&raw, s->baudIndex, parity, dataBitsMode, stopBitsMode);
    s->applied = raw;
    if (tcsetattr(s->fd, TCSANOW, &s->applied) != 0 || tcflush(s->fd, TCIOFLUSH) != 0) {
        tcsetattr(s->fd, TCSANOW, &s->saved);
        close(s->fd);
        s->fd = -1;
        return aErrIO;
    }
    return aErrNone;
}

aErr sSerialGet(uint8_t *byte, void *reference) {
    SerialStream *s = static_cast<SerialStream *>(reference);
    if (!sValid(s) || byte == nullptr)
        return aErrParam;
    ssize_t n = read(s->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

// The link's framed stream: with nothing to read, wait a few milliseconds for a byte, so that
// the link's receive thread neither spins nor sleeps past an arriving frame.
const int kLinkGetWaitMS = 5;

aErr sSerialGetWaiting(uint8_t *byte, void *reference) {
    aErr err = sSerialGet(byte, reference);
    if (err != aErrNotReady)
        return err;
    struct pollfd p {};
    p.fd = static_cast<SerialStream *>(reference)->fd;
    p.events = POLLIN;
    if (poll(&p, 1, kLinkGetWaitMS) <= 0)
        return aErrNotReady;
    return sSerialGet(byte, reference);
}

aErr sSerialWrite(const uint8_t *bytes, size_t length, void *reference) {
    SerialStream *s = static_cast<SerialStream *>(reference);
    if (!sValid(s) || (bytes == nullptr && length > 0))
        return aErrParam;
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(s->fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return aErrIO;
        done += static_cast<size_t>(n);
    }
    if (tcdrain(s->fd) != 0)
        return aErrIO;
    return aErrNone;
}

aErr sSerialPut(uint8_t byte, void *reference) {
    return sSerialWrite(&byte, 1, reference);
}

aErr sSerialDelete(void *reference) {
    SerialStream *s = static_cast<SerialStream *>(reference);
    if (!sValid(s))
        return aErrParam;
    aErr err = aErrNone;
    if (s->fd >= 0) {
        tcsetattr(s->fd, TCSANOW, &s->saved);
        if (close(s->fd) != 0)
            err = aErrIO;
        s->fd = -1;
    }
    s->check = 0;
    std::free(s);
    return err;
}

// Opens the port into a new record; the caller owns the record on success.
aErr sSerialCreate(const char *path, uint32_t baudIndex, uint8_t parity, uint8_t dataBitsMode,
                   uint8_t stopBitsMode, SerialStream **record) {
    if (path == nullptr || dataBitsMode > 1 || stopBitsMode > 1 ||
        std::strlen(path) >= aSERIAL_MAXPATH)
        return aErrParam;
    SerialStream *s = static_cast<SerialStream *>(std::calloc(1, sizeof(SerialStream)));
    if (s == nullptr)
        return aErrMemory;
    s->check = aSERIAL_CHECK;
    s->baudIndex = baudIndex;
    s->fd = -1;
    std::strcpy(s->path, path);
    aErr err = sSerialOpen(s, parity, dataBitsMode, stopBitsMode);
    if (err != aErrNone) {
        s->check = 0;
        std::free(s);
        return err;
    }
    *record = s;
    return aErrNone;
}

} // namespace

void aStream_SerialRawSettings(struct termios *settings, uint32_t baudIndex, uint8_t parity,
                               uint8_t dataBitsMode, uint8_t stopBitsMode) {
    if (settings == nullptr)
        return;
    struct termios &raw = *settings;
    std::memset(&raw, 0, sizeof(raw));
    raw.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    raw.c_oflag = 0;
    raw.c_lflag = 0;
    raw.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBitsMode == 0 ? CS8 : CS7) |
                  (stopBitsMode == 1 ? CSTOPB : 0);
    speed_t speed = baudIndex < kSpeedCount ? kSpeeds[baudIndex] : B0;
    cfsetispeed(&raw, speed);
    cfsetospeed(&raw, speed);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
}

int aStream_SerialBaudIndex(uint32_t baudRate) {
    for (size_t i = 0; i < kSpeedCount; i++)
        if (kRates[i] == baudRate)
            return static_cast<int>(i);
    return -1;
}

aErr aStream_CreateSerial(const char *path, uint32_t baudIndex, uint8_t parity,
                          uint8_t dataBitsMode, uint8_t stopBitsMode, aStream **stream) {
    if (stream == nullptr)
        return aErrParam;
    SerialStream *s = nullptr;
    aErr err = sSerialCreate(path, baudIndex, parity, dataBitsMode, stopBitsMode, &s);
    if (err != aErrNone)
        return err;
    aStream *created = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, s);
    if (created == nullptr) {
        sSerialDelete(s);
        return aErrResource;
    }
    *stream = created;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char *path, uint32_t baudIndex, uint8_t parity,
                                     uint8_t dataBitsMode, uint8_t stopBitsMode, aStream **stream) {
    if (stream == nullptr)
        return aErrParam;
    SerialStream *s = nullptr;
    aErr err = sSerialCreate(path, baudIndex, parity, dataBitsMode, stopBitsMode, &s);
    if (err != aErrNone)
        return err;
    err = aStream_CreateCobsEncoding(sSerialGetWaiting, sSerialPut, sSerialWrite, sSerialDelete, s,
                                     stream);
    if (err != aErrNone)
        sSerialDelete(s);
    return err;
}
