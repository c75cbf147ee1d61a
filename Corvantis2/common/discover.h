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

#endif
