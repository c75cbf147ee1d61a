// Inside of the link engine: the link record, the link table and its entries. Only the link
// engine and the parts built on it (sharing server, packet log, transports that add a create
// operation) include this header.
#ifndef _aLinkManagerInternal_H_
#define _aLinkManagerInternal_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "aLink.h"
#include "discover.h"
#include "unix_mutex.h"
#include "unix_thread.h"

#define aLINK_CHECK 0xCEED

struct aPacketLog;
struct aServer;

// Sync handshake states of the receive thread.
enum {
    kSyncStateNone = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

// Heartbeat states of the receive thread.
enum {
    kHBStateIdle = 0,
    kHBStateUp = 2,
    kHBStateDown = 3,
};

// The engine state of one link. Words shared between the threads and callers are atomic; the
// rest is touched by the receive thread only, or by the control operations while the threads
// are not running (the control mutex orders those).
struct aLinkRecord {
    std::atomic<uint16_t> check{0}; // aLINK_CHECK while valid
    aLinkRef id = 0;
    std::atomic<bool> running{false};
    std::atomic<uint8_t> status{kLinkStatusNoStream};
    std::atomic<aPacketFifoRef> receiveFifo{0};
    std::atomic<aPacketFifoRef> sendFifo{0};
    aPacket* building = nullptr; // the packet being built from received bytes
    aThreadRef receiveThread = nullptr;
    aThreadRef sendThread = nullptr;
    std::atomic<bool> receiveReady{false};
    std::atomic<bool> sendReady{false};
    aStream* stream = nullptr; // owned
    int heartbeatState = kHBStateIdle;
    std::atomic<int> syncState{kSyncStateNone}; // written by the receive thread only
    uint8_t syncAddress = 1;
    uint64_t syncActivityTick = 0; // last handshake start or handshake byte
    uint64_t syncRoundTick = 0;    // last round of sync packets queued
    unsigned syncRestarts = 0;     // restarts on wrong answers since the handshake began
    // Packet log (filled in by the packet log operations).
    aPacketLog* log = nullptr;
    int32_t logSize = 0;
    aMutexRef logMutex = nullptr;
    // User filter, swapped and run under filterMutex.
    aPacketFilterProc userFilter = nullptr;
    void* userFilterRef = nullptr;
    aMutexRef filterMutex = nullptr;
    std::atomic<bool> pooled{false};
    // Orders start, stop, reset and teardown of this link against each other.
    std::mutex control;

    aLinkRecord() = default;
    aLinkRecord(const aLinkRecord&) = delete;
    aLinkRecord& operator=(const aLinkRecord&) = delete;
    // Frees what the teardown left: the filter mutex always (a caller may have looked the link
    // up just before the teardown), everything else only for a link that was never torn down.
    ~aLinkRecord();
};

// Makes the transport stream of an entry (first creation and reset).
struct aLinkEntry;
typedef aErr (*aLinkStreamMaker)(const aLinkEntry* entry, aStream** stream);

// One entry of the link table.
struct aLinkEntry {
    aLinkRef id = 0;
    uint32_t ident0 = 0; // serial number; server address for a client; -1 for a caller stream
    uint32_t ident1 = 0; // IPv4 address (TCP/IP); server port (client)
    uint32_t ident2 = 0; // TCP port (TCP/IP); client sequence number (client)
    uint32_t type = INVALID;
    int16_t useCount = 0;                  // guarded by the table mutex
    aServer* server = nullptr;             // the sharing server serving this link, if any
    aLinkRef parent = 0;                   // the served link of a server's client link
    std::string portName;                  // serial links: the device path
    uint32_t baudRate = 0;                 // serial links
    aLinkStreamMaker makeStream = nullptr; // null: the stream cannot be rebuilt
    aLinkRecord record;
};

typedef std::shared_ptr<aLinkEntry> aLinkEntryPtr;

// The link table. Every operation holds the table mutex ("aLink_Managed") for its duration only;
// the entries handed out are shared owners, so a record stays in memory while anybody uses it.

// A new entry (use count 0) with the next identifier, added to the table.
aLinkEntryPtr aLinkManager_CreateEntry(uint32_t type, uint32_t ident0, uint32_t ident1,
                                       uint32_t ident2);
// The entry with that identifier, or empty.
aLinkEntryPtr aLinkManager_LookupByID(aLinkRef id);
// The entry of a direct link (USB, TCP/IP, serial) by serial number and type, or empty.
aLinkEntryPtr aLinkManager_LookupBySerial(uint32_t serial, uint32_t type);
// The client link entry with that triple, or empty.
aLinkEntryPtr aLinkManager_LookupClient(uint32_t address, uint32_t port, uint32_t sequence);
// Adds a holder; false if the identifier is not in the table.
bool aLinkManager_AddHolder(aLinkRef id);
// Drops a holder. Returns the entry taken out of the table when that was the last holder, else
// empty (remaining holds the count left, -1 if the identifier was not in the table).
aLinkEntryPtr aLinkManager_DropHolder(aLinkRef id, int* remaining);
// Number of entries in the table (for tests).
size_t aLinkManager_Count();

// The shared create path of direct links: finds the link of (type, serial) and adds a holder,
// or makes a new entry, its stream (maker), initialises, adds the first holder, starts and, with
// sync, forces a sync. 0 on failure (nothing left behind). For a type whose existing entry
// serves a sharing server the result is 0. configure (may be null) fills the new entry's
// transport details before its stream is made.
typedef void (*aLinkEntryConfigure)(aLinkEntry* entry, const void* reference);
aLinkRef aLink_CreateDirect(uint32_t type, uint32_t serial, uint32_t ident1, uint32_t ident2,
                            aLinkStreamMaker maker, aLinkEntryConfigure configure,
                            const void* configureRef, bool sync, const char* name);

// Stops the threads of a record (route control 0 goes out first). aErrParam for null,
// aErrUnknown if a join failed.
aErr aLink_Stop(aLinkRecord* record);

#endif
