// TCP client socket stream. Gets and writes never block for long; the stream reconnects by
// itself when the connection drops during a get or a write. A failed reconnect leaves it
// disconnected: every later get or write returns aErrConnection until the stream is recreated.
#ifndef _aStreamsocket_H_
#define _aStreamsocket_H_

#include <cstdint>

#include "aStream.h"

// Connects to the IPv4 address (network byte order) and port (host order). On success stores
// the stream in *stream and returns 0; on any failure returns aErrResource and, given an out
// pointer, stores null.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream **stream);

#endif
