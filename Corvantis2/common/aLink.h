// The link engine: turns a byte stream to a Corvantis module into two packet queues. Every
// link has a receive thread (reads bytes, builds packets, answers heartbeats, offers each packet
// to an optional user filter and queues the rest) and a send thread (writes queued packets).
// Links live in one process-wide table under nonzero identifiers shared by use counts.
#ifndef _aLink_H_
#define _aLink_H_

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

typedef uint32_t aLinkRef;

typedef enum : uint8_t {
    kLinkStatusStopped = 0,     // initialised with a stream, threads not running
    kLinkStatusStarting = 1,    // threads being started
    kLinkStatusRunning = 2,     // receiving packets; framing trusted
    kLinkStatusStopping = 3,    // stop in progress
    kLinkStatusSyncing = 4,     // sync handshake in progress
    kLinkStatusNoStream = 5,    // no stream; also the status of an unknown identifier
    kLinkStatusIOError = 6,     // the last stream read failed
    kLinkStatusPacketError = 8, // the receive queue refused a complete packet
} aLinkStatus;

// Control packets of the engine.
#define aLINK_SYNC_ADDRESS 0xAD  // sync / module-address query, no data
#define aLINK_ROUTE_ADDRESS 0xAF // route control: 0xAF, 0x01, value
#define cmdFORCEROUTE aLINK_ROUTE_ADDRESS
#define aLINK_SYNC_PACKETS 6 // sync packets sent to start a handshake

// Creation: the new or existing identifier, 0 on failure.

// A link to the USB module with that serial number, synced after the start (defined with the
// USB stream, unix_streamusb.cpp). Fails (0) when the device already has a sharing server.
aLinkRef aLink_CreateUSB(uint32_t serial);
// A link to a module's TCP port. address: IPv4 in network order; port in host order.
// A second create for the same serial number adds a holder to the existing link.
aLinkRef aLink_CreateTCPIP(uint32_t serial, uint32_t address, uint16_t port);
// A link over a serial port carrying COBS frames (8 data bits, 1 stop bit, no parity).
// baudRate must be 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400.
aLinkRef aLink_CreateSerial(uint32_t serial, const char* portName, uint32_t baudRate);
// With a nonzero reference, adds a holder to that link. With 0, a new link to a sharing server
// (needs the sharing server's client stream; until it exists this returns 0).
aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef reference);
// Puts a sharing server in front of a directly attached link and returns a client link through
// it (needs the sharing server; until it exists this returns 0).
aLinkRef aLink_CreateServer(aLinkRef served, uint16_t* port, uint32_t* interfaceAddress,
                            uint8_t option);
// A link over the caller's stream, started without a sync. The link owns the stream from the
// call on (also when the call fails) and *stream is nulled.
aLinkRef aLink_Create(aStream** stream);

// Lifetime and control.

// (Re)initialises the link record with the stream (null: status 5): fresh queues, no filter,
// pooled mode off. The identifier, or 0 if there is no such link. The link must be stopped.
aLinkRef aLink_Init(aLinkRef link, aStream* stream);
// Starts the threads: 0; aErrParam (unknown link or no stream), aErrResource (a thread cannot
// start), aErrIndexRange (not running within 2 s), or the route-control result. A running link
// is left alone.
aErr aLink_Start(aLinkRef link);
// Forces the sync handshake and waits up to 2 s for it; then empties both queues.
// aErrNotReady if the link did not reach running; aErrParam for an unknown link.
aErr aLink_Sync(aLinkRef link);
// Rebuilds the stream and the queues and restarts the link.
aErr aLink_Reset(aLinkRef link);
// Queues route control (0xAF, 0x01, value). aErrNotFound for an unknown link.
aErr aLink_ForceRoute(aLinkRef link, uint8_t value);
// Drops one holder; the last one stops and tears the link down. Always zeroes *link.
// aErrParam for a null pointer or an unknown link.
aErr aLink_Destroy(aLinkRef* link);
// The status; kLinkStatusNoStream for an unknown link.
aLinkStatus aLink_GetStatus(aLinkRef link);

// Packets. Packets passed in are copied; packets handed out belong to the caller.

// Queues a copy for sending. aErrParam for an unknown link.
aErr aLink_PutPacket(aLinkRef link, const aPacket* packet);
// The oldest received packet, or null.
aPacket* aLink_GetPacket(aLinkRef link);
// The oldest received packet, waiting up to timeoutMS.
aPacket* aLink_AwaitPacket(aLinkRef link, uint64_t timeoutMS);
// The oldest received packet that filter accepts, or null.
aPacket* aLink_GetFirst(aLinkRef link, aPacketFilterProc filter, void* reference);
// Waits up to timeoutMS for a received packet that filter accepts, only while the link is
// running: a link that is not running returns null at once.
aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilterProc filter, void* reference,
                          uint64_t timeoutMS);
// Removes the received packets that filter accepts; their count (0 for an unknown link).
size_t aLink_DrainPackets(aLinkRef link, aPacketFilterProc filter, void* reference);
// Installs (null: removes) the filter that sees every complete received packet first, on the
// receive thread; returning true consumes the packet. It must not install or remove filters.
// aErrParam for an unknown link.
aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilterProc filter, void* reference);
// Lets the send thread pack several queued packets into one write. aErrParam for an unknown
// link.
aErr aLink_EnablePooledPackets(aLinkRef link, bool on);

// Queries used when a sharing server is put in front of a link.

// Asks the attached module for its address (a sync packet; the answer is an empty packet from
// the module's address). aErrIO for another answer, aErrTimeout for none within 1000 ms.
aErr _aLink_GetModuleAddress(aLinkRef link, uint8_t* address);
// Asks the module at address for its model code. aErrIO for another answer, aErrTimeout for
// none within 1000 ms.
aErr _aLink_GetModel(aLinkRef link, uint8_t address, uint8_t* model);

#endif
