// UDP sockets on an IPv4 multicast group. The local discovery query and the sharing server's
// answer use them; a query finds a server by the fact that the port it holds cannot be bound
// a second time, so receivers bind without address reuse.
#ifndef _aMulticast_H_
#define _aMulticast_H_

#include <cstddef>
#include <cstdint>

typedef struct aMulticast *aMulticastRef;

// Opens a sender (sender true) or a receiver for the group (IPv4, network order) and port,
// tied to the interface (network order; 0 or 127.0.0.1 mean 127.0.0.1). Null on failure.
aMulticastRef aMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port,
                                bool sender);
// Sends one datagram to the group; the bytes sent, -1 on failure, -2 for a null socket,
// -3 for a receiver.
int aMulticast_Send(aMulticastRef socket, const uint8_t *bytes, size_t length);
// Receives one datagram (waits at most 1 s); its length, -1 on time-out or failure, -2 for a
// null socket, -3 for a sender.
int aMulticast_Receive(aMulticastRef socket, uint8_t *buffer, size_t size);
// Closes and frees the socket and nulls the pointer; 0, or -2 for a null socket.
int aMulticast_Destroy(aMulticastRef *socket);

#endif
