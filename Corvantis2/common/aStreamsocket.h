// TCP client socket stream. Gets and writes never block for long (a get with nothing to read
// waits a few milliseconds for a byte); the stream reconnects by itself when the connection
// drops during a get or a write. When that reconnect fails the stream is disconnected: gets and
// writes return aErrConnection, while gets try to connect again every 250 ms for 30 s after the
// loss (a restarting module comes back); after that it stays disconnected until recreated.
#ifndef _aStreamsocket_H_
#define _aStreamsocket_H_

#include <cstdint>

#include "aStream.h"

// Connects to the IPv4 address (network byte order) and port (host order). On success stores
// the stream in *stream and returns 0; on any failure returns aErrResource and, given an out
// pointer, stores null.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream **stream);

#endif
