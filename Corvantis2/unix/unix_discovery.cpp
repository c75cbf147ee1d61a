#include "unix_discovery.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "Corvantis_libusb_context.h"
#include "aDebug.h"
#include "cvusb_driver.h"

bool aDiscoverySeen_Check(aDiscoverySeen *seen, const linkSpec *spec) {
    for (uint32_t i = 0; i < seen->count; ++i) {
        const linkSpec *old = &seen->records[i];
        if (old->serial_num == spec->serial_num && old->ip_address == spec->ip_address &&
            old->ip_port == spec->ip_port && old->type == spec->type)
            return true;
    }
    if (seen->count == seen->capacity) {
        uint32_t capacity = seen->capacity ? seen->capacity * 2 : 8;
        linkSpec *records = (linkSpec *)realloc(seen->records, capacity * sizeof(linkSpec));
        // Without room the record is reported, just not remembered.
        if (!records)
            return false;
        seen->records = records;
        seen->capacity = capacity;
    }
    seen->records[seen->count++] = *spec;
    return false;
}

void aDiscoverySeen_Free(aDiscoverySeen *seen) {
    free(seen->records);
    seen->records = nullptr;
    seen->count = seen->capacity = 0;
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t *addresses, uint32_t maximum) {
    if (!addresses)
        return 0;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    uint32_t count = 0;
    for (struct ifaddrs *entry = list; entry && count < maximum; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        addresses[count++] = ((const struct sockaddr_in *)entry->ifa_addr)->sin_addr.s_addr;
    }
    freeifaddrs(list);
    return count;
}

uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char *buffer, uint32_t size) {
    if (!buffer || size < INET_ADDRSTRLEN)
        return 0;
    struct in_addr in;
    in.s_addr = address;
    if (!inet_ntop(AF_INET, &in, buffer, size))
        return 0;
    return (uint32_t)strlen(buffer);
}

// A serial number string counts only as exactly eight hexadecimal digits.
static bool sParseSerial(const unsigned char *text, int length, uint32_t *serial) {
    if (length != 8)
        return false;
    uint32_t value = 0;
    for (int i = 0; i < 8; ++i) {
        if (!isxdigit(text[i]))
            return false;
        char digit[2] = {(char)text[i], 0};
        value = (value << 4) | (uint32_t)strtoul(digit, nullptr, 16);
    }
    *serial = value;
    return true;
}

uint8_t aDiscovery_EnumerateUSBModules(aDiscoveryModuleFoundProc callback, void *reference) {
    if (!callback)
        return 0;
    const Corvantis_libusb_ops *usb = Corvantis_libusb();
    libusb_context *context = Corvantis_libusb_context();
    if (!context)
        return 0;
    libusb_device **list = nullptr;
    ssize_t count = usb->get_device_list(context, &list);
    uint8_t found = 0;
    bool goOn = true;
    for (ssize_t i = 0; goOn && i < count; ++i) {
        struct libusb_device_descriptor descriptor;
        unsigned char text[33];
        int length = -1;
        libusb_device_handle *opened =
            cvusb_open_with_serial(list[i], &descriptor, text, 32, &length);
        if (!opened)
            continue;
        uint32_t serial = 0;
        if (sParseSerial(text, length, &serial)) {
            linkSpec *spec = aLinkSpec_Create(USB);
            if (spec) {
                spec->serial_num = serial;
                spec->module = 0;
                spec->model = descriptor.idProduct & 0xFF;
                spec->router = 0;
                spec->router_serial_num = 0;
                memcpy(spec->transport, &serial, sizeof(serial));
                bool accepted = false;
                goOn = callback(spec, &accepted, reference);
                if (accepted && found < 0xFF)
                    ++found;
                aLinkSpec_Destroy(&spec);
            }
        } else {
            aDEBUG_TRACE(aDEBUG_USB, "aDiscovery: skipping a device with serial length %d\n",
                         length);
        }
        usb->close(opened);
    }
    if (list)
        usb->free_device_list(list, 1);
    return found;
}

// Dotted text of an address for trace lines (inet_ntoa's shared buffer is not thread-safe).
struct sAddressText {
    char text[INET_ADDRSTRLEN];
    explicit sAddressText(struct in_addr address) {
        if (!inet_ntop(AF_INET, &address, text, sizeof(text)))
            text[0] = '\0';
    }
};

static bool sIsLocal(uint32_t interfaceAddress) {
    return interfaceAddress == 0 || interfaceAddress == htonl(INADDR_LOOPBACK);
}

// Sends the request out of one interface (0: the system's default); true if it left.
static bool sSendRequest(uint32_t interfaceAddress, bool setInterface) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool sent = false;
    int on = 1;
    struct in_addr out;
    out.s_addr = interfaceAddress;
    uint8_t request[aDISCOVERY_TCPIP_MESSAGE] = {1};
    struct sockaddr_in group;
    memset(&group, 0, sizeof(group));
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_TCPIP_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_TCPIP_GROUP, &group.sin_addr);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
        (!setInterface || setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof(out)) == 0))
        sent = sendto(fd, request, sizeof(request), MSG_NOSIGNAL, (const struct sockaddr *)&group,
                      sizeof(group)) == (ssize_t)sizeof(request);
    aDEBUG_TRACE(aDEBUG_DISCOVERY, "TCPIP discovery request via %s: %s\n", sAddressText(out).text,
                 sent ? "sent" : "failed");
    close(fd);
    return sent;
}

uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryModuleFoundProc callback, void *reference,
                                         uint32_t interfaceAddress) {
    if (!callback)
        return 0;
    bool local = sIsLocal(interfaceAddress);

    int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return 0;
    bool ready = false;
    int on = 1;
    struct timeval timeout = {2, 0};
    struct sockaddr_in bindAddress;
    memset(&bindAddress, 0, sizeof(bindAddress));
    bindAddress.sin_family = AF_INET;
    bindAddress.sin_port = htons(aDISCOVERY_TCPIP_ANSWER_PORT);
    bindAddress.sin_addr.s_addr = local ? htonl(INADDR_ANY) : interfaceAddress;
    if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
        setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0 &&
        bind(listener, (const struct sockaddr *)&bindAddress, sizeof(bindAddress)) == 0)
        ready = true;

    bool requested = false;
    if (ready) {
        if (!local) {
            requested = sSendRequest(interfaceAddress, true);
        } else {
            uint32_t addresses[aDISCOVERY_MAX_INTERFACES];
            uint32_t count = aDiscovery_GetIPv4Interfaces(addresses, aDISCOVERY_MAX_INTERFACES);
            if (count == 0) {
                requested = sSendRequest(0, false);
            } else {
                for (uint32_t i = 0; i < count; ++i)
                    if (addresses[i] != htonl(INADDR_LOOPBACK) && addresses[i] != 0)
                        requested = sSendRequest(addresses[i], true) || requested;
            }
        }
    }

    uint8_t found = 0;
    aDiscoverySeen seen = {nullptr, 0, 0};
    bool goOn = ready && requested;
    while (goOn) {
        uint8_t answer[aDISCOVERY_TCPIP_MESSAGE + 1];
        struct sockaddr_in sender;
        socklen_t senderLength = sizeof(sender);
        ssize_t length = recvfrom(listener, answer, sizeof(answer), 0, (struct sockaddr *)&sender,
                                  &senderLength);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        // Only a whole answer is read; anything else on the port is not one.
        if (length != aDISCOVERY_TCPIP_MESSAGE)
            continue;
        linkSpec *spec = aLinkSpec_Create(TCPIP);
        if (!spec)
            break;
        spec->serial_num = (uint32_t)answer[4] | (uint32_t)answer[5] << 8 |
                           (uint32_t)answer[6] << 16 | (uint32_t)answer[7] << 24;
        spec->module = answer[1];
        spec->router = answer[1];
        spec->router_serial_num = spec->serial_num;
        spec->model = answer[12];
        spec->ip_address = sender.sin_addr.s_addr;
        spec->ip_port = (uint32_t)answer[2] | (uint32_t)answer[3] << 8;
        if (!aDiscoverySeen_Check(&seen, spec)) {
            aDEBUG_TRACE(aDEBUG_DISCOVERY, "TCPIP module SN: 0x%08X - %s:%u\n", spec->serial_num,
                         sAddressText(sender.sin_addr).text, spec->ip_port);
            bool accepted = false;
            goOn = callback(spec, &accepted, reference);
            if (accepted && found < 0xFF)
                ++found;
        }
        aLinkSpec_Destroy(&spec);
    }
    aDiscoverySeen_Free(&seen);
    close(listener);
    return found;
}
