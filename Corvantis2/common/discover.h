// Transport kinds and the 128-byte link specifier that discovery produces and the link
// engine consumes. The record is sent on the network byte for byte as it lies in memory.
#ifndef _discover_H_
#define _discover_H_

#include <cstdint>

#include "aError.h"

typedef enum : uint32_t {
    INVALID = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AFABRIC = 4,
    AFABRIC_USB = 5,
    AFABRIC_TCPIP = 6,
    AFABRIC_SERIAL = 7,
} linkType;

typedef struct linkSpec {
    uint32_t type;              // linkType
    uint32_t serial_num;        // the module's serial number
    uint32_t module;            // module address (low byte)
    uint32_t router;            // address of the routing module (low byte)
    uint32_t router_serial_num; // serial number of the routing module
    uint32_t model;             // model code (low byte)
    union {
        struct {
            uint32_t ip_address; // IPv4 address, most significant byte first
            uint32_t ip_port;    // TCP port (low 16 bits)
        };
        struct {
            uint32_t baud_rate;
            char serial_port[100];
        };
        uint8_t transport[104];
    };
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");

// Called for each record found: set *accepted to count it; return true to go on searching,
// false to stop. The record is valid only during the call; copy all 128 bytes to keep it.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec *spec, bool *accepted, void *reference);

// Discovery protocols: TCP/IP modules answer a request to a multicast group; sharing servers
// answer a query on the loopback interface, or a UDP beacon on a network interface.
#define aDISCOVERY_TCPIP_GROUP "232.2.2.2"
#define aDISCOVERY_TCPIP_REQUEST_PORT 9888
#define aDISCOVERY_TCPIP_ANSWER_PORT 9889
#define aDISCOVERY_TCPIP_MESSAGE 16
#define aDISCOVERY_LOCAL_GROUP "224.0.0.7"
#define aDISCOVERY_LOCAL_QUERY_PORT 9850
#define aDISCOVERY_LOCAL_ANSWER_PORT 9950
#define aDISCOVERY_LOCAL_PORTS 50
#define aDISCOVERY_LOCAL_MAGIC 0xABCDDCBAu
#define aDISCOVERY_BEACON_PORT 8585
#define aDISCOVERY_BEACON_PREFIX "Corvantis2-Discovery"
#define aDISCOVERY_MAX_INTERFACES 50

// Runs the discovery for one link type and returns the number of records the callback
// accepted. 4 to 7 run the sharing-server discovery, 1 USB, 2 TCP/IP; 0 and 3 find nothing;
// above 7 returns 0 at once. interfaceAddress is IPv4 in network order; 0 or 127.0.0.1 mean
// the local host.
uint8_t aDiscovery_EnumerateModules(uint32_t type, aDiscoveryModuleFoundProc callback,
                                    void *reference, uint32_t interfaceAddress);
// A new record (destroy it with aLinkSpec_Destroy) for the first module of the type with that
// serial number, or null.
linkSpec *aDiscovery_FindModule(uint32_t type, uint32_t serial, uint32_t interfaceAddress);
// A new record for the first module of the type with a nonzero serial number, or null.
linkSpec *aDiscovery_FindFirstModule(uint32_t type, uint32_t interfaceAddress);
// The sharing-server discovery: the loopback query for the local host, else the beacon on the
// interface.
uint8_t aDiscovery_Enumerate_aFabricModules(aDiscoveryModuleFoundProc callback, void *reference,
                                            uint32_t interfaceAddress);
// Fills up to maximum IPv4 addresses (network order) of the host's interfaces, in the order
// the system lists them; their count, 0 for a null array.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t *addresses, uint32_t maximum);
// Writes the dotted text of an IPv4 address (network order); its length, or 0 if the buffer is
// smaller than 16 bytes or the conversion fails.
uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char *buffer, uint32_t size);

// A new zeroed record with the type set; null if memory is short.
linkSpec *aLinkSpec_Create(uint32_t type);
// A new record holding a copy of the 128 bytes; null for a null record.
linkSpec *aLinkSpec_Copy(const linkSpec *spec);
// Frees the record and nulls the pointer; aErrParam for a null record.
aErr aLinkSpec_Destroy(linkSpec **spec);

#endif
