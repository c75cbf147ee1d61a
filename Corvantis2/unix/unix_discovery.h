// The platform side of discovery: USB enumeration through the shared libusb context, the
// TCP/IP multicast request, and the host's IPv4 interfaces.
#ifndef _unix_discovery_H_
#define _unix_discovery_H_

#include <cstdint>

#include "discover.h"

// Reports every attached module whose USB serial string is eight hexadecimal digits.
uint8_t aDiscovery_EnumerateUSBModules(aDiscoveryModuleFoundProc callback, void *reference);
// Asks the modules on the network by multicast and reports each distinct answer; ends 2 s
// after the last answer.
uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryModuleFoundProc callback, void *reference,
                                         uint32_t interfaceAddress);

// Remembers the records of one search so that repeated answers are reported once; a record
// is the same when its serial number, address, port and type are.
struct aDiscoverySeen {
    linkSpec *records;
    uint32_t count;
    uint32_t capacity;
};
// True if the record was seen before; otherwise remembers it and returns false.
bool aDiscoverySeen_Check(aDiscoverySeen *seen, const linkSpec *spec);
void aDiscoverySeen_Free(aDiscoverySeen *seen);

#endif
