// The link engine: creation of links for each transport, the receive and send threads, the
// sync handshake, heartbeats, the user filter, pooled writes, reset and teardown.
#include "aLink.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "aDebug.h"
#include "aLinkManagerInternal.h"
#include "aStreamsocket.h"
#include "unix_streamserial.h"
#include "unix_time.h"

namespace {

const int kPollCount = 200; // thread start and forced sync: 200 x 10 ms
const uint32_t kPollMS = 10;
const uint64_t kSendWaitMS = 100;    // send thread queue wait; bounds how long a stop waits
const uint64_t kSyncRetryMS = 500;   // an unanswered handshake is started again after this;
                                     // repeated wrong answers restart it no sooner either
const uint64_t kFinalFlushMS = 1000; // a stopping send thread writes queued packets this long
const uint32_t kIOErrorPauseMS = 100;
const uint32_t kSyncSettleMS = 100;
const int kResetAttempts = 20;
const uint32_t kResetPauseMS = 100;
const uint64_t kQueryTimeoutMS = 1000;
const unsigned kSpinIdleReads = 200;    // empty reads answered by giving up the processor
const unsigned kFastIdleReads = 300;    // then by a few microseconds of sleep, then by 1 ms
const uint64_t kSelfPacedReadUS = 1000; // an empty read this long was a wait of the stream's
const size_t kPoolBufferSize = 4096;
const size_t kPoolFillLimit = kPoolBufferSize - aPACKET_MAXWIRE; // 4066: room for one more

const uint8_t kModelQuery[] = {0x03, 0x48, 0x20}; // UEI get, system option 8, index 0

// Serialises the look-up and creation of direct links so that two creates of one device
// cannot make two links.
std::mutex sCreateMutex;

bool aVALIDLINK(const aLinkRecord* record) {
    return record != nullptr && record->check.load() == aLINK_CHECK;
}

bool sAcceptAll(const aPacket*, void*) {
    return true;
}

aLinkRecord* sRecordOf(const aLinkEntryPtr& entry) {
    return entry && aVALIDLINK(&entry->record) ? &entry->record : nullptr;
}

aErr sQueueControl(aLinkRecord* r, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0;
    aPacket* packet = aPacket_CreateWithData(address, length, length ? data : &none);
    if (packet == nullptr)
        return aErrMemory;
    aErr err = aPacketFifo_Put(r->sendFifo.load(), packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr sQueueRoute(aLinkRecord* r, uint8_t value) {
    uint8_t data[1] = {value};
    return sQueueControl(r, aLINK_ROUTE_ADDRESS, 1, data);
}

void sTracePacket(const char* where, aLinkRef id, const aPacket* p) {
    if (!aDebug_Enabled(aDEBUG_PACKETS))
        return;
    aDebug_Print(" %s(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n", where, (int)id, p->address,
                 p->dataSize, p->data[0], p->data[1], p->data[2]);
}

// The packet log (type 1 sent, 2 received). The packet log operations create record->log;
// a link without one records nothing.
void sLogPacket(aLinkRecord* r, uint8_t, const aPacket*) {
    if (r->log == nullptr)
        return;
}

// --- receive side ------------------------------------------------------------------------

void sStartSync(aLinkRecord* r) {
    aDEBUG_TRACE(aDEBUG_LINK, "syncStart\n");
    r->status = kLinkStatusSyncing;
    r->syncState = kSyncStateStart;
    aPacket_Reset(r->building);
    aErr err = aErrNone;
    for (int i = 0; i < aLINK_SYNC_PACKETS; ++i)
        err = sQueueControl(r, aLINK_SYNC_ADDRESS, 0, nullptr);
    if (err == aErrNone)
        r->syncState = kSyncStateByte1;
    r->syncActivityTick = aTime_GetMSTicks();
    r->syncRoundTick = r->syncActivityTick;
}

// A new handshake (framing lost on a running link, a forced sync, a transport that came back)
// starts at once.
void sBeginSync(aLinkRecord* r) {
    r->syncRestarts = 0;
    sStartSync(r);
}

// A wrong answer restarts the handshake. The first time at once: leftovers of a packet that
// was in flight are likely. After that the module itself answers wrongly, and restarting on
// every byte would answer each of its answers with six more sync packets; so the handshake
// waits in the start state until a round is due again, and the next byte or empty read after
// that restarts it.
void sRestartSync(aLinkRecord* r) {
    if (r->syncRestarts == 0 || aTime_GetMSTicks() - r->syncRoundTick >= kSyncRetryMS) {
        r->syncRestarts++;
        sStartSync(r);
    } else {
        r->syncState = kSyncStateStart;
    }
}

// One byte of the handshake: the module answers each sync packet with an empty packet from
// its own address, so the handshake completes on address, 0, address, 0.
void sSyncByte(aLinkRecord* r, uint8_t byte) {
    aDEBUG_TRACE(aDEBUG_LINK, "sByte %d\n", byte);
    r->syncActivityTick = aTime_GetMSTicks();
    switch (r->syncState) {
    case kSyncStateStart:
        sRestartSync(r);
        break;
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            r->syncAddress = byte;
            r->syncState = kSyncStateByte2;
            aDEBUG_TRACE(aDEBUG_LINK, "sync2\n");
        } else {
            sRestartSync(r);
        }
        break;
    case kSyncStateByte2:
        if (byte == 0) {
            r->syncState = kSyncStateByte3;
            aDEBUG_TRACE(aDEBUG_LINK, "sync3\n");
        } else {
            r->syncState = kSyncStateStart;
        }
        break;
    case kSyncStateByte3:
        if (byte == r->syncAddress) {
            r->syncState = kSyncStateByte4;
            aDEBUG_TRACE(aDEBUG_LINK, "sync4\n");
        } else {
            r->syncState = kSyncStateStart;
        }
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            r->syncState = kSyncStateNone;
            r->syncRestarts = 0;
            r->status = kLinkStatusRunning;
            aDEBUG_TRACE(aDEBUG_LINK, "synced\n");
        } else {
            r->syncState = kSyncStateStart;
        }
        break;
    default:
        aDEBUG_TRACE(aDEBUG_LINK, "sync default\n");
        sBeginSync(r);
        break;
    }
}

// Answers a heartbeat from the module; true if the packet was one (it is not queued then).
bool sHandleHBBackChannel(aLinkRecord* r, const aPacket* p) {
    if (p->dataSize != 2 || p->data[0] != 0 || r->heartbeatState >= kHBStateUp)
        return false;
    uint8_t n = p->data[1];
    aDEBUG_TRACE(aDEBUG_PACKETS,
                 " sHandleHBBackChannel(%d) ==> received HB packet [data size = %d][%d,%d]\n",
                 (int)r->id, p->dataSize, p->data[0], p->data[1]);
    if (n == 0) {
        r->heartbeatState = kHBStateUp;
        aDEBUG_TRACE(aDEBUG_PACKETS, " sHandleHBBackChannel(%d) %s\n", (int)r->id, "sending HB UP");
    } else if (n == 1) {
        r->heartbeatState = kHBStateDown;
        aDEBUG_TRACE(aDEBUG_PACKETS, " sHandleHBBackChannel(%d) %s\n", (int)r->id,
                     "sending HB DOWN");
    }
    uint8_t answer[2] = {0x00, static_cast<uint8_t>(n + 2)};
    sQueueControl(r, p->address, 2, answer);
    r->heartbeatState = kHBStateIdle;
    return true;
}

aErr sHandlePacket(aLinkRecord* r) {
    aPacket* p = r->building;
    if (!aPacket_IsComplete(p))
        return aErrNone;
    sLogPacket(r, 2, p);
    bool consumed = false;
    aMutex_Lock(r->filterMutex);
    if (r->userFilter != nullptr)
        consumed = r->userFilter(p, r->userFilterRef);
    aMutex_Unlock(r->filterMutex);
    aErr err = aErrNone;
    if (!consumed && !sHandleHBBackChannel(r, p)) {
        sTracePacket("sHandlePacket", r->id, p);
        err = aPacketFifo_Put(r->receiveFifo.load(), p);
    }
    aPacket_Reset(p);
    return err;
}

// Streams that return at once when nothing is waiting (those that do not wait for a byte
// themselves) are paced here. Right after traffic a reply is likely within a fraction of a
// millisecond, so poll briskly; then back off to a short sleep, and to a millisecond once the
// link is idle, so an idle link costs little.
void sPace(unsigned idleReads) {
    if (idleReads < kSpinIdleReads)
        std::this_thread::yield();
    else if (idleReads < kFastIdleReads)
        aThread_Yield();
    else
        aTime_MSSleep(1);
}

uint64_t sMicroseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void* sInPipeProcess(void* argument) {
    aLinkRecord* r = static_cast<aLinkRecord*>(argument);
    r->heartbeatState = kHBStateIdle;
    r->syncAddress = 1;
    r->receiveReady = true;
    r->status = kLinkStatusRunning;
    r->syncState = kSyncStateNone;
    r->syncRestarts = 0;
    aDEBUG_TRACE(aDEBUG_LINK, " sInPipeProcess(%d) -- syncing\n", (int)r->id);
    unsigned idleReads = 0;
    while (r->running.load()) {
        uint8_t byte = 0;
        const uint64_t readStart = sMicroseconds();
        aErr err = aStream_Read(r->stream, &byte, 1);
        if (err == aErrNotReady) {
            uint8_t status = r->status.load();
            if (status == kLinkStatusIOError) {
                sBeginSync(r);
            } else if (status == kLinkStatusSyncing) {
                // A handshake asked for from outside starts at once; an unanswered one, or
                // one waiting after wrong answers, is repeated at a steady pace, not on every
                // empty read.
                const uint64_t now = aTime_GetMSTicks();
                if (r->syncState == kSyncStateNone)
                    sBeginSync(r);
                else if (now - r->syncActivityTick >= kSyncRetryMS ||
                         (r->syncState == kSyncStateStart && r->syncRestarts > 0 &&
                          now - r->syncRoundTick >= kSyncRetryMS))
                    sStartSync(r);
            }
            // A stream that waited for a byte itself needs no pacing (the socket and the
            // serial link streams wait a few milliseconds).
            if (sMicroseconds() - readStart >= kSelfPacedReadUS)
                idleReads = 0;
            else
                sPace(idleReads++);
            continue;
        }
        idleReads = 0;
        if (err != aErrNone) {
            r->status = kLinkStatusIOError;
            aDEBUG_TRACE(aDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n",
                         (int)r->id, (int)err);
            aTime_MSSleep(kIOErrorPauseMS);
            continue;
        }
        if (r->status.load() == kLinkStatusSyncing) {
            sSyncByte(r, byte);
            continue;
        }
        if (aPacket_AddByte(r->building, byte) != aErrNone || (r->building->address & 1)) {
            aDEBUG_TRACE(aDEBUG_LINK, "Out of sync\n");
            sBeginSync(r);
            continue;
        }
        if (sHandlePacket(r) != aErrNone)
            r->status = kLinkStatusPacketError;
    }
    aDEBUG_TRACE(aDEBUG_LINK, " sInPipeProcess(%d) terminating\n", (int)r->id);
    return nullptr;
}

// --- send side ---------------------------------------------------------------------------

void sWriteOne(aLinkRecord* r, aPacket* p) {
    uint8_t image[aPACKET_MAXWIRE];
    size_t count = 0;
    if (aPacket_GetBytes(p, image, sizeof image, &count) != aErrNone)
        return;
    aErr err = aStream_Write(r->stream, image, count);
    if (err != aErrNone)
        aDEBUG_TRACE(aDEBUG_LINK, "sOutPipeProcess error writing: %d\n", (int)err);
    sLogPacket(r, 1, p);
}

// Packs the packet and as many queued ones as fit into one write.
void sWritePooled(aLinkRecord* r, aPacket* first, uint8_t* buffer) {
    size_t total = 0;
    size_t count = 0;
    aPacket_GetBytes(first, buffer, kPoolBufferSize, &count);
    total += count;
    sLogPacket(r, 1, first);
    while (total <= kPoolFillLimit) {
        aPacket* next = aPacketFifo_Get(r->sendFifo.load());
        if (next == nullptr)
            break;
        sTracePacket("sOutPipeProcess", r->id, next);
        if (aPacket_GetBytes(next, buffer + total, kPoolBufferSize - total, &count) == aErrNone)
            total += count;
        sLogPacket(r, 1, next);
        aPacket_Destroy(&next);
    }
    aErr err = aStream_Write(r->stream, buffer, total);
    if (err != aErrNone)
        aDEBUG_TRACE(aDEBUG_LINK, "sOutPipeProcess error writing pooled: %d\n", (int)err);
}

void* sOutPipeProcess(void* argument) {
    aLinkRecord* r = static_cast<aLinkRecord*>(argument);
    uint8_t buffer[kPoolBufferSize];
    r->sendReady = true;
    while (r->running.load()) {
        aPacket* p = aPacketFifo_Await(r->sendFifo.load(), kSendWaitMS);
        if (p == nullptr)
            continue;
        sTracePacket("sOutPipeProcess", r->id, p);
        if (r->pooled.load())
            sWritePooled(r, p, buffer);
        else
            sWriteOne(r, p);
        aPacket_Destroy(&p);
    }
    // What is still queued goes out (route control 0 among it), but a dead transport must not
    // hold the stop up for long.
    const uint64_t deadline = aTime_GetMSTicks() + kFinalFlushMS;
    aPacket* p;
    while ((p = aPacketFifo_Get(r->sendFifo.load())) != nullptr) {
        if (aTime_GetMSTicks() < deadline)
            sWriteOne(r, p);
        aPacket_Destroy(&p);
    }
    aDEBUG_TRACE(aDEBUG_LINK, " sOutPipeProcess(%d) terminating\n", (int)r->id);
    return nullptr;
}

// --- control (callers hold the record's control mutex) ------------------------------------

void sDestroyFifo(std::atomic<aPacketFifoRef>& fifo, aErr* result) {
    aPacketFifoRef ref = fifo.exchange(0);
    if (ref != 0) {
        aErr err = aPacketFifo_Destroy(&ref);
        if (result)
            *result = err;
    }
}

aLinkRef sInit(aLinkEntry* entry, aStream* stream) {
    aLinkRecord* r = &entry->record;
    r->check = aLINK_CHECK;
    r->id = entry->id;
    r->running = false;
    if (r->stream != nullptr && r->stream != stream)
        aStream_Destroy(&r->stream);
    r->stream = stream;
    r->status = stream != nullptr ? kLinkStatusStopped : kLinkStatusNoStream;
    sDestroyFifo(r->receiveFifo, nullptr);
    sDestroyFifo(r->sendFifo, nullptr);
    r->receiveFifo = aPacketFifo_Create();
    r->sendFifo = aPacketFifo_Create();
    r->receiveReady = false;
    r->sendReady = false;
    r->heartbeatState = kHBStateIdle;
    r->syncState = kSyncStateNone;
    if (r->building == nullptr)
        r->building = aPacket_Create();
    else
        aPacket_Reset(r->building);
    if (r->filterMutex == nullptr) {
        char name[64];
        snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(r));
        r->filterMutex = aMutex_Create(name);
    }
    if (r->filterMutex != nullptr) {
        aMutex_Lock(r->filterMutex);
        r->userFilter = nullptr;
        r->userFilterRef = nullptr;
        aMutex_Unlock(r->filterMutex);
    }
    r->pooled = false;
    if (r->receiveFifo.load() == 0 || r->sendFifo.load() == 0 || r->building == nullptr ||
        r->filterMutex == nullptr)
        return 0;
    return entry->id;
}

aErr sStart(aLinkRecord* r) {
    if (!aVALIDLINK(r) || r->stream == nullptr)
        return aErrParam;
    if (r->running.load())
        return aErrNone;
    r->running = true;
    r->status = kLinkStatusStarting;
    r->heartbeatState = kHBStateIdle;
    r->receiveReady = false;
    r->sendReady = false;
    r->receiveThread = aThread_Create(sInPipeProcess, r);
    if (r->receiveThread != nullptr)
        r->sendThread = aThread_Create(sOutPipeProcess, r);
    if (r->receiveThread == nullptr || r->sendThread == nullptr) {
        r->running = false;
        if (r->receiveThread != nullptr)
            aThread_Destroy(&r->receiveThread);
        r->status = kLinkStatusStopped;
        return aErrResource;
    }
    bool started = false;
    for (int i = 0; i < kPollCount && !started; ++i) {
        started =
            r->receiveReady.load() && r->sendReady.load() && r->status.load() == kLinkStatusRunning;
        if (!started)
            aTime_MSSleep(kPollMS);
    }
    if (!started)
        return aErrIndexRange;
    return sQueueRoute(r, 1);
}

aErr sStop(aLinkRecord* r) {
    uint8_t status = r->status.load();
    if (status == kLinkStatusStopping || status == kLinkStatusStopped)
        return aErrNone;
    if (r->receiveThread == nullptr && r->sendThread == nullptr) {
        r->running = false;
        r->status = r->stream != nullptr ? kLinkStatusStopped : kLinkStatusNoStream;
        return aErrNone;
    }
    r->status = kLinkStatusStopping;
    sQueueRoute(r, 0);
    r->running = false;
    aErr err = aErrNone;
    if (r->receiveThread != nullptr && aThread_Destroy(&r->receiveThread) != 0)
        err = aErrUnknown;
    if (r->sendThread != nullptr && aThread_Destroy(&r->sendThread) != 0)
        err = aErrUnknown;
    r->receiveReady = false;
    r->sendReady = false;
    aPacket_Reset(r->building);
    r->status = kLinkStatusStopped;
    r->heartbeatState = kHBStateIdle;
    r->syncState = kSyncStateNone;
    return err;
}

aErr sTeardown(const aLinkEntryPtr& entry) {
    aLinkRecord* r = &entry->record;
    if (r->filterMutex != nullptr) {
        aMutex_Lock(r->filterMutex);
        r->userFilter = nullptr;
        r->userFilterRef = nullptr;
        aMutex_Unlock(r->filterMutex);
    }
    std::lock_guard<std::mutex> control(r->control);
    sStop(r);
    // A sharing server in front of the link (entry->server) is torn down by the server code
    // that put it there; none exists without it.
    if (entry->parent != 0) {
        aLinkRef parent = entry->parent;
        entry->parent = 0;
        aLink_Destroy(&parent);
    }
    aErr err = aErrNone;
    sDestroyFifo(r->receiveFifo, nullptr);
    sDestroyFifo(r->sendFifo, &err);
    aPacket_Destroy(&r->building);
    if (r->logMutex != nullptr)
        aMutex_Destroy(&r->logMutex);
    aDEBUG_TRACE(aDEBUG_LINK, " Destroy stream\n");
    if (r->stream != nullptr)
        aStream_Destroy(&r->stream);
    r->status = kLinkStatusNoStream;
    r->check = 0;
    // The filter mutex stays until the last owner of the entry lets go (see the destructor),
    // since a caller that looked the link up just before may still be about to lock it.
    return err;
}

// --- stream makers ------------------------------------------------------------------------

aErr sMakeSocketStream(const aLinkEntry* entry, aStream** stream) {
    return aStream_CreateSocket(entry->ident1, static_cast<uint16_t>(entry->ident2), stream);
}

aErr sMakeSerialStream(const aLinkEntry* entry, aStream** stream) {
    int index = aStream_SerialBaudIndex(entry->baudRate);
    if (index < 0)
        return aErrParam;
    return aStream_CreateSerial_Packetized(entry->portName.c_str(), static_cast<uint32_t>(index), 0,
                                           0, 0, stream);
}

struct SerialConfig {
    const char* portName;
    uint32_t baudRate;
};

void sConfigureSerial(aLinkEntry* entry, const void* reference) {
    const SerialConfig* config = static_cast<const SerialConfig*>(reference);
    entry->portName = config->portName;
    entry->baudRate = config->baudRate;
}

const char* sRecreateText(uint32_t type) {
    switch (type) {
    case USB:
        return " recreate USB stream\n";
    case TCPIP:
        return " recreate TCPIP stream\n";
    case SERIAL:
        return " recreate serial stream\n";
    case AFABRIC:
    case AFABRIC_USB:
    case AFABRIC_TCPIP:
    case AFABRIC_SERIAL:
        return " recreate aFabric stream\n";
    default:
        return " recreate invalid stream type\n";
    }
}

} // namespace

// --- creation ----------------------------------------------------------------------------

aLinkRef aLink_CreateDirect(uint32_t type, uint32_t serial, uint32_t ident1, uint32_t ident2,
                            aLinkStreamMaker maker, aLinkEntryConfigure configure,
                            const void* configureRef, bool sync, const char* name) {
    if (maker == nullptr)
        return 0;
    std::lock_guard<std::mutex> serialise(sCreateMutex);
    aLinkEntryPtr existing = aLinkManager_LookupBySerial(serial, type);
    if (existing) {
        if (existing->server != nullptr && type != SERIAL) {
            aDEBUG_TRACE(aDEBUG_LINK, "This device is already being used as a \"SERVER\". \nYou "
                                      "must connect by \"CLIENT\" ");
            return 0;
        }
        if (aLinkManager_AddHolder(existing->id))
            return existing->id;
        // Its last holder let go meanwhile and it is being torn down: make a new link.
    }
    aLinkEntryPtr entry = aLinkManager_CreateEntry(type, serial, ident1, ident2);
    if (!entry)
        return 0;
    entry->makeStream = maker;
    if (configure != nullptr)
        configure(entry.get(), configureRef);
    aLinkRef id = entry->id;
    aStream* stream = nullptr;
    aErr err = maker(entry.get(), &stream);
    if (err != aErrNone) {
        aDEBUG_TRACE(aDEBUG_LINK, " %s() error creating stream %d\n", name, (int)err);
        stream = nullptr;
    }
    if (aLink_Init(id, stream) != id && err == aErrNone)
        err = aErrConnection;
    if (err == aErrNone) {
        aLinkManager_AddHolder(id);
        err = aLink_Start(id);
        if (err == aErrNone && sync)
            err = aLink_Sync(id);
    }
    if (err != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

aLinkRef aLink_CreateTCPIP(uint32_t serial, uint32_t address, uint16_t port) {
    return aLink_CreateDirect(TCPIP, serial, address, port, sMakeSocketStream, nullptr, nullptr,
                              false, "aLink_CreateTCPIP");
}

aLinkRef aLink_CreateSerial(uint32_t serial, const char* portName, uint32_t baudRate) {
    // A rate the port cannot take leaves no entry behind.
    if (portName == nullptr || aStream_SerialBaudIndex(baudRate) < 0) {
        aDEBUG_TRACE(aDEBUG_LINK, " aLink_CreateSerial() error creating stream %d\n",
                     (int)aErrParam);
        return 0;
    }
    SerialConfig config{portName, baudRate};
    return aLink_CreateDirect(SERIAL, serial, 0, 0, sMakeSerialStream, sConfigureSerial, &config,
                              false, "aLink_CreateSerial");
}

aLinkRef aLink_CreateClient(uint32_t, uint16_t, aLinkRef reference) {
    if (reference != 0) {
        if (aLinkManager_AddHolder(reference))
            return reference;
        aDEBUG_TRACE(aDEBUG_LINK, "The provided ref is invalid.\n");
        return 0;
    }
    // A new client link needs the sharing server's client stream, which this build lacks.
    return 0;
}

aLinkRef aLink_CreateServer(aLinkRef served, uint16_t* port, uint32_t* interfaceAddress, uint8_t) {
    if (port == nullptr || interfaceAddress == nullptr || served == 0)
        return 0;
    if (!aLinkManager_LookupByID(served)) {
        aDEBUG_TRACE(aDEBUG_LINK, "FAIL: sLookupEntryByID:\n");
    } else {
        // The sharing server is not part of this build.
        aDEBUG_TRACE(aDEBUG_LINK, "FAIL: aServer_Create:\n");
    }
    aDEBUG_TRACE(aDEBUG_SERVER, "Failed to create server\n");
    return 0;
}

aLinkRef aLink_Create(aStream** stream) {
    if (stream == nullptr)
        return 0;
    aStream* s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s))
        return 0;
    aLinkEntryPtr entry = aLinkManager_CreateEntry(INVALID, 0xFFFFFFFFu, 0, 0);
    if (!entry) {
        aStream_Destroy(&s);
        return 0;
    }
    aLinkRef id = entry->id;
    aDEBUG_TRACE(aDEBUG_LINK, "aLink_Create(%08X) OLD VERSION\n", (unsigned)id);
    aErr err = aLink_Init(id, s) == id ? aErrNone : aErrConnection;
    if (err == aErrNone) {
        aLinkManager_AddHolder(id);
        err = aLink_Start(id);
    }
    if (err != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

// --- lifetime and control ------------------------------------------------------------------

aLinkRef aLink_Init(aLinkRef link, aStream* stream) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link);
    if (!entry)
        return 0;
    std::lock_guard<std::mutex> control(entry->record.control);
    // The threads read the stream and the queues: never swap them under a running link.
    if (entry->record.running.load())
        return 0;
    return sInit(entry.get(), stream);
}

aErr aLink_Start(aLinkRef link) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link);
    if (!entry)
        return aErrParam;
    std::lock_guard<std::mutex> control(entry->record.control);
    return sStart(&entry->record);
}

aErr aLink_Stop(aLinkRecord* record) {
    if (record == nullptr)
        return aErrParam;
    std::lock_guard<std::mutex> control(record->control);
    return sStop(record);
}

aErr aLink_Sync(aLinkRef link) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link);
    aLinkRecord* r = sRecordOf(entry);
    if (r == nullptr)
        return aErrParam;
    // Without its threads nobody would ever finish the handshake.
    if (!r->running.load())
        return aErrNotReady;
    r->status = kLinkStatusSyncing;
    bool synced = false;
    for (int i = 0; i < kPollCount && !synced; ++i) {
        synced = r->status.load() == kLinkStatusRunning;
        if (!synced)
            aTime_MSSleep(kPollMS);
    }
    // The answers to the other sync packets are not for readers.
    aPacketFifo_DrainPackets(r->sendFifo.load(), sAcceptAll, nullptr);
    aTime_MSSleep(kSyncSettleMS);
    aPacketFifo_DrainPackets(r->receiveFifo.load(), sAcceptAll, nullptr);
    return synced ? aErrNone : aErrNotReady;
}

aErr aLink_Reset(aLinkRef link) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link);
    if (!entry)
        return aErrParam;
    aLinkRecord* r = &entry->record;
    std::lock_guard<std::mutex> control(r->control);
    if (!aVALIDLINK(r))
        return aErrParam;
    sStop(r);
    sDestroyFifo(r->receiveFifo, nullptr);
    sDestroyFifo(r->sendFifo, nullptr);
    if (r->stream != nullptr)
        aStream_Destroy(&r->stream);
    r->status = kLinkStatusNoStream;
    if (entry->makeStream == nullptr) {
        aDEBUG_TRACE(aDEBUG_LINK, "%s", sRecreateText(INVALID));
        return aErrParam;
    }
    aStream* stream = nullptr;
    aErr err = aErrNone;
    for (int attempt = 0; attempt < kResetAttempts; ++attempt) {
        aDEBUG_TRACE(aDEBUG_LINK, "%s", sRecreateText(entry->type));
        err = entry->makeStream(entry.get(), &stream);
        if (err == aErrNone && stream != nullptr)
            break;
        stream = nullptr;
        aTime_MSSleep(kResetPauseMS);
    }
    if (stream == nullptr) {
        aDEBUG_TRACE(aDEBUG_LINK, " ERROR - could not recreate stream: %d\n", (int)err);
        return err != aErrNone ? err : static_cast<aErr>(aErrConnection);
    }
    if (sInit(entry.get(), stream) != entry->id)
        return aErrConnection;
    return sStart(r);
}

aErr aLink_ForceRoute(aLinkRef link, uint8_t value) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link);
    if (!entry)
        return aErrNotFound;
    aLinkRecord* r = sRecordOf(entry);
    if (r == nullptr)
        return aErrParam;
    return sQueueRoute(r, value);
}

aErr aLink_Destroy(aLinkRef* link) {
    if (link == nullptr)
        return aErrParam;
    int remaining = 0;
    aLinkEntryPtr entry = aLinkManager_DropHolder(*link, &remaining);
    aLinkRef id = *link;
    *link = 0;
    if (!entry) {
        if (remaining < 0)
            return aErrParam;
        aDEBUG_TRACE(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", remaining);
        (void)id;
        return aErrNone;
    }
    return sTeardown(entry);
}

aLinkStatus aLink_GetStatus(aLinkRef link) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link);
    if (!entry)
        return kLinkStatusNoStream;
    return static_cast<aLinkStatus>(entry->record.status.load());
}

// --- packets ---------------------------------------------------------------------------------

aErr aLink_PutPacket(aLinkRef link, const aPacket* packet) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link); // keeps the record alive
    aLinkRecord* r = sRecordOf(entry);
    if (r == nullptr)
        return aErrParam;
    return aPacketFifo_Put(r->sendFifo.load(), packet);
}

aPacket* aLink_GetPacket(aLinkRef link) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link); // keeps the record alive
    aLinkRecord* r = sRecordOf(entry);
    return r != nullptr ? aPacketFifo_Get(r->receiveFifo.load()) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef link, uint64_t timeoutMS) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link); // keeps the record alive
    aLinkRecord* r = sRecordOf(entry);
    return r != nullptr ? aPacketFifo_Await(r->receiveFifo.load(), timeoutMS) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef link, aPacketFilterProc filter, void* reference) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link); // keeps the record alive
    aLinkRecord* r = sRecordOf(entry);
    return r != nullptr ? aPacketFifo_GetFirst(r->receiveFifo.load(), filter, reference) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilterProc filter, void* reference,
                          uint64_t timeoutMS) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link); // keeps the record alive
    aLinkRecord* r = sRecordOf(entry);
    if (r == nullptr)
        return nullptr;
    const uint64_t deadline = aTime_GetMSTicks() + timeoutMS;
    aPacket* found = nullptr;
    // At least one look, so that a timeout of 0 still finds a packet already queued.
    bool first = true;
    while (found == nullptr && r->running.load() && r->status.load() == kLinkStatusRunning) {
        uint64_t now = aTime_GetMSTicks();
        if (now >= deadline && !first)
            break;
        first = false;
        found = aPacketFifo_AwaitFirst(r->receiveFifo.load(), filter, reference,
                                       now < deadline ? deadline - now : 0);
    }
    return found;
}

size_t aLink_DrainPackets(aLinkRef link, aPacketFilterProc filter, void* reference) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link); // keeps the record alive
    aLinkRecord* r = sRecordOf(entry);
    return r != nullptr ? aPacketFifo_DrainPackets(r->receiveFifo.load(), filter, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilterProc filter, void* reference) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link);
    aLinkRecord* r = sRecordOf(entry);
    if (r == nullptr || r->filterMutex == nullptr)
        return aErrParam;
    aErr err = aMutex_Lock(r->filterMutex);
    if (err != aErrNone)
        return err;
    r->userFilter = filter;
    r->userFilterRef = filter != nullptr ? reference : nullptr;
    return aMutex_Unlock(r->filterMutex);
}

aErr aLink_EnablePooledPackets(aLinkRef link, bool on) {
    aLinkEntryPtr entry = aLinkManager_LookupByID(link); // keeps the record alive
    aLinkRecord* r = sRecordOf(entry);
    if (r == nullptr)
        return aErrParam;
    r->pooled = on;
    return aErrNone;
}

// --- module queries ------------------------------------------------------------------------

aErr _aLink_GetModuleAddress(aLinkRef link, uint8_t* address) {
    if (address == nullptr)
        return aErrParam;
    *address = 0;
    aLinkEntryPtr entry = aLinkManager_LookupByID(link); // keeps the record alive
    aLinkRecord* r = sRecordOf(entry);
    if (r == nullptr)
        return aErrParam;
    aErr err = sQueueControl(r, aLINK_SYNC_ADDRESS, 0, nullptr);
    if (err != aErrNone)
        return err;
    aPacket* answer = aLink_AwaitPacket(link, kQueryTimeoutMS);
    if (answer == nullptr)
        return aErrTimeout;
    if (answer->dataSize == 0 && answer->address != 0)
        *address = answer->address;
    else
        err = aErrIO;
    aPacket_Destroy(&answer);
    return err;
}

aErr _aLink_GetModel(aLinkRef link, uint8_t address, uint8_t* model) {
    if (model == nullptr)
        return aErrParam;
    *model = 0;
    aLinkEntryPtr entry = aLinkManager_LookupByID(link); // keeps the record alive
    aLinkRecord* r = sRecordOf(entry);
    if (r == nullptr)
        return aErrParam;
    aErr err = sQueueControl(r, address, sizeof kModelQuery, kModelQuery);
    if (err != aErrNone)
        return err;
    aPacket* answer = aLink_AwaitPacket(link, kQueryTimeoutMS);
    if (answer == nullptr)
        return aErrTimeout;
    if (answer->address == address && answer->dataSize == 4 && answer->data[0] == 0x03)
        *model = answer->data[3];
    else
        err = aErrIO;
    aPacket_Destroy(&answer);
    return err;
}
