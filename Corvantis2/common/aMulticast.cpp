#include "aMulticast.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "aDebug.h"

#define aMULTICAST_VALID 0x3AC7

struct aMulticast {
    uint16_t check;
    bool sender;
    int fd;
    struct addrinfo *groupAddress;
    struct addrinfo *bindAddress;
    struct addrinfo *interfaceAddress;
};

static bool sValid(aMulticastRef socket) {
    return socket != nullptr && socket->check == aMULTICAST_VALID;
}

// Numeric resolution only: the texts are always dotted addresses, never host names.
static struct addrinfo *_resolveAddress(const char *host, const char *port, bool passive) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    struct addrinfo *result = nullptr;
    if (getaddrinfo(host, port, &hints, &result) != 0)
        return nullptr;
    return result;
}

static int _setReuse(int fd, int on) {
    return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

static int _joinMulticastGroup(int fd, const struct addrinfo *group,
                               const struct addrinfo *interfaceAddress) {
    if (group->ai_family != AF_INET || interfaceAddress->ai_family != AF_INET) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "Attempting to join group for invalid address family!\n");
        return -1;
    }
    struct ip_mreq request;
    request.imr_multiaddr = ((const struct sockaddr_in *)group->ai_addr)->sin_addr;
    request.imr_interface = ((const struct sockaddr_in *)interfaceAddress->ai_addr)->sin_addr;
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request));
}

static int _setSendInterface(int fd, const struct addrinfo *interfaceAddress) {
    if (interfaceAddress->ai_family != AF_INET) {
        aDEBUG_TRACE(aDEBUG_MULTICAST,
                     "Attempting to set send interface for invalid address family!\n");
        return -1;
    }
    struct in_addr address = ((const struct sockaddr_in *)interfaceAddress->ai_addr)->sin_addr;
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof(address));
}

static int _setMulticastTtl(int fd, const struct addrinfo *group) {
    if (group->ai_family != AF_INET) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "Attempting to set TTL for invalid address family!\n");
        return -1;
    }
    unsigned char ttl = 1;
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
}

static int _setReceiveTimeout(int fd) {
    struct timeval timeout;
    timeout.tv_sec = 1;
    timeout.tv_usec = 0;
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

static int _setMulticastLoopBack(int fd, const struct addrinfo *group) {
    if (group->ai_family != AF_INET) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "Attempting to set loopback for invalid address family!\n");
        return -1;
    }
    unsigned char loop = 1;
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
}

static void sRelease(aMulticastRef socket) {
    if (socket->fd >= 0)
        close(socket->fd);
    if (socket->groupAddress)
        freeaddrinfo(socket->groupAddress);
    if (socket->bindAddress)
        freeaddrinfo(socket->bindAddress);
    if (socket->interfaceAddress)
        freeaddrinfo(socket->interfaceAddress);
    socket->check = 0;
    free(socket);
}

aMulticastRef aMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port,
                                bool sender) {
    if (interfaceAddress == 0)
        interfaceAddress = htonl(INADDR_LOOPBACK);

    char groupText[INET_ADDRSTRLEN];
    char interfaceText[INET_ADDRSTRLEN];
    char portText[8];
    struct in_addr address;
    address.s_addr = group;
    if (!inet_ntop(AF_INET, &address, groupText, sizeof(groupText)))
        return nullptr;
    address.s_addr = interfaceAddress;
    if (!inet_ntop(AF_INET, &address, interfaceText, sizeof(interfaceText)))
        return nullptr;
    snprintf(portText, sizeof(portText), "%d", port);

    aMulticastRef socket = (aMulticastRef)calloc(1, sizeof(struct aMulticast));
    if (!socket)
        return nullptr;
    socket->check = aMULTICAST_VALID;
    socket->sender = sender;
    socket->fd = -1;

    int rc = 0;
    socket->groupAddress = _resolveAddress(groupText, portText, false);
    socket->bindAddress = sender ? _resolveAddress(interfaceText, "0", false)
                                 : _resolveAddress(nullptr, portText, true);
    socket->interfaceAddress = _resolveAddress(interfaceText, "0", false);
    if (!socket->groupAddress || !socket->bindAddress || !socket->interfaceAddress)
        goto cleanup;

    socket->fd = ::socket(socket->groupAddress->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket->fd < 0)
        goto cleanup;

    if ((rc = _setReuse(socket->fd, 0)) != 0) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "Failed to _setReuse rc: %d - %d\n", rc, errno);
        goto cleanup;
    }
    if (!sender &&
        bind(socket->fd, socket->bindAddress->ai_addr, socket->bindAddress->ai_addrlen) != 0) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "bind() failed with error code %d \n", errno);
        goto cleanup;
    }
    if ((rc = _joinMulticastGroup(socket->fd, socket->groupAddress, socket->interfaceAddress)) !=
        0) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "_joinMulticastGroup %d - %d\n", rc, errno);
        goto cleanup;
    }
    if ((rc = _setSendInterface(socket->fd, socket->interfaceAddress)) != 0) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "_setSendInterface %d - %d\n", rc, errno);
        goto cleanup;
    }
    if ((rc = _setMulticastTtl(socket->fd, socket->groupAddress)) != 0) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "_setMulticastTtl %d - %d\n", rc, errno);
        goto cleanup;
    }
    if ((rc = _setReceiveTimeout(socket->fd)) != 0) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "_setReceiveTimeout %d - %d\n", rc, errno);
        goto cleanup;
    }
    if ((rc = _setMulticastLoopBack(socket->fd, socket->groupAddress)) != 0) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "_setMulticastLoopBack %d - %d\n", rc, errno);
        goto cleanup;
    }
    return socket;

cleanup:
    aDEBUG_TRACE(aDEBUG_MULTICAST, "in cleanup function\n");
    sRelease(socket);
    return nullptr;
}

int aMulticast_Send(aMulticastRef socket, const uint8_t *bytes, size_t length) {
    if (!sValid(socket))
        return -2;
    if (!socket->sender)
        return -3;
    if (!bytes && length)
        return -1;
    ssize_t sent = sendto(socket->fd, bytes, length, MSG_NOSIGNAL, socket->groupAddress->ai_addr,
                          socket->groupAddress->ai_addrlen);
    if (sent < 0) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "sendto() failed with error code %d\n", errno);
        return -1;
    }
    return (int)sent;
}

int aMulticast_Receive(aMulticastRef socket, uint8_t *buffer, size_t size) {
    if (!sValid(socket))
        return -2;
    if (socket->sender)
        return -3;
    if (!buffer)
        return -1;
    ssize_t received = recvfrom(socket->fd, buffer, size, 0, nullptr, nullptr);
    if (received < 0) {
        aDEBUG_TRACE(aDEBUG_MULTICAST, "recvfrom() failed with error code %d\n", errno);
        return -1;
    }
    return (int)received;
}

int aMulticast_Destroy(aMulticastRef *socket) {
    if (!socket || !sValid(*socket))
        return -2;
    sRelease(*socket);
    *socket = nullptr;
    return 0;
}
