// A handle on one link of the link engine: finds a device, creates the link for its transport,
// waits until it runs, and carries the raw packet and UEI exchanges that entities use.
#ifndef _Link_H_
#define _Link_H_

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "aError.h"
#include "aLink.h"
#include "discover.h"
#include "packetfifo.h"

// Kinds of value a UEI record carries (the numbers are the wire's own; 3 does not exist).
enum : int {
    kUEITypeNone = 0,
    kUEITypeByte = 1,
    kUEITypeShort = 2,
    kUEITypeInt = 4,
    kUEITypeBytes = 5,
};

// Flag bits of the option and index bytes of a UEI packet.
#define aUEI_OPTION_GET 0x40
#define aUEI_OPTION_SET 0x80
#define aUEI_OPTION_ACK 0xC0
#define aUEI_OPTION_MASK 0x3F
#define aUEI_INDEX_REQUEST 0x20
#define aUEI_INDEX_STREAM 0x40
#define aUEI_INDEX_ERROR 0x80
#define aUEI_INDEX_MASK 0x1F
// Value bytes per packet of a byte string, and the continue bit of its sequence byte.
#define aUEI_BYTES_CHUNK 24
#define aUEI_BYTES_CONTINUE 0x80
#define aUEI_BYTES_SEQUENCE 0x7F
// Byte strings longer than this get the long acknowledgment wait.
#define aUEI_BYTES_LARGE 1000
#define aUEI_WAIT_MS 1000
#define aUEI_WAIT_LARGE_MS 4000

// A byte string: a send uses data and length; a receive appends at data, length being the
// capacity and *count the bytes arrived so far.
struct ueiBytes {
    uint8_t *data;
    uint8_t sequence;     // expected (receive) sequence number
    uint8_t continueFlag; // 1 while more packets of the string follow
    size_t length;
    size_t *count;
};

// One UEI exchange, in either direction.
struct uei {
    uint8_t module;
    uint8_t command;
    uint8_t option;    // option code with its get / set / acknowledgment bits
    uint8_t specifier; // index with its request / stream / error bits
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        ueiBytes bytes;
    } v;
    int type; // kUEIType...
};

namespace Veltrona {
namespace Corvantis {

// Networking configuration of one link (passed by value).
struct aFabricConfig {
    bool enabled = true;   // put a sharing server in front of a directly attached device
    bool fallback = true;  // retry discovery once with the other family of transports
    bool localOnly = true; // the sharing server binds to and announces the loopback only
    uint16_t assignedPort = 0;
    uint32_t networkInterface = htonl(INADDR_LOOPBACK); // IPv4, network byte order
};

// True for the aFabric kinds (4 to 7): client links to a sharing server.
bool isAFABRIC(uint32_t type);

class Link {
public:
    Link(linkSpec spec, const char *name);
    explicit Link(const char *name);
    virtual ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    aErr getConfig(aFabricConfig *out) const;
    // aErrMode while connected.
    aErr setConfig(const aFabricConfig &config);
    // aErrNotFound without a specifier.
    aErr getLinkSpecifier(linkSpec *out) const;
    // aErrBusy while connected.
    aErr setLinkSpecifier(const linkSpec &spec);
    const char *getName() const;

    // Discovery (with one fallback to the other transport family) and connection.
    aErr discoverAndConnect(linkType type, uint32_t serial, uint8_t model = 0);
    // aErrConnection when a link identifier is already held.
    aErr connect();
    // Shares other's link (a device behind a router module).
    aErr connectThroughLinkModule(Link *other);
    bool isConnected() const;
    // The engine's status; kLinkStatusPacketError without a link.
    aLinkStatus getStatus() const;
    aErr disconnect();
    aErr reset();
    aErr enablePooledPackets(bool enable);
    // The link identifier (0 without a link).
    aLinkRef getLinkRef() const;

    // Asks the directly attached device for its module address (0 on failure).
    aErr getModuleAddress(uint8_t *out);

    // Raw packet to module: command byte, then length (at most 27) bytes of data.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t *data);
    // Waits 1000 ms for the first packet whose first *length data bytes equal match; then
    // *length is its data size and data (28 bytes) receives its data bytes.
    aErr receivePacket(uint8_t module, const uint8_t *match, uint8_t *length, uint8_t *data);

    // UEI exchanges.
    aErr sendUEI(const uei &record);
    aErr sendUEI(const uei &record, uint8_t subindex);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                    uei *record);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei *record,
                    aPacketFilterProc filter);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);
    // The last streamed value of one option: aErrNone when fresh, aErrStreamStale when already
    // read, aErrNotFound when the option is not streamed.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        uint8_t subindex, uei *out);

    struct impl;

private:
    std::unique_ptr<impl> m_impl;
};

// Filter of UEI replies: the record names the module, command, exact option and index; an
// accepted packet's value (or error code) is written into the record.
bool sUEIFilter(const aPacket *packet, void *record);

// Test seam: the discovery calls of Link. Null puts the real discovery back.
struct LinkDiscoveryOps {
    linkSpec *(*findModule)(uint32_t type, uint32_t serial, uint32_t interfaceAddress);
    uint8_t (*enumerateModules)(uint32_t type, aDiscoveryModuleFoundProc callback, void *reference,
                                uint32_t interfaceAddress);
};
void Link_SetDiscoveryOps(const LinkDiscoveryOps *ops);

} // namespace Corvantis
} // namespace Veltrona

#endif
