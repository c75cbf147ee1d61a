// Packet queues: a registry of reference -> queue, each queue a deque of numbered packets under
// its own mutex and condition variable.
#include "packetfifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

class SerialPacket {
public:
    SerialPacket(int64_t id, PacketPtr packet) : mId(id), mPacket(std::move(packet)) {}
    int64_t getId() const { return mId; }
    aPacket *getPacket() const { return mPacket.get(); }
    aPacket *releasePacket() { return mPacket.release(); }

private:
    int64_t mId;
    PacketPtr mPacket;
};

typedef std::chrono::steady_clock Clock;

// Deadline now + timeout, kept far from the clock's range limit.
Clock::time_point sDeadline(uint64_t timeoutMS) {
    const uint64_t kLongest = 10ull * 365 * 24 * 3600 * 1000; // ten years
    if (timeoutMS > kLongest)
        timeoutMS = kLongest;
    return Clock::now() + std::chrono::milliseconds(timeoutMS);
}

} // namespace

class packetFifo {
public:
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<SerialPacket> packets;
    std::atomic<bool> alive{true};
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};

    // All of the following run with mutex held.
    void syncWindow() { windowStart = packets.empty() ? nextId.load() : packets.front().getId(); }
    void clearAndSyncWindow() {
        packets.clear();
        windowStart = nextId.load();
    }
    void eraseAndSyncWindow(std::deque<SerialPacket>::iterator it) {
        packets.erase(it);
        syncWindow();
    }
    // Hands the chosen packet to the caller and removes its element.
    aPacket *stealPacket(std::deque<SerialPacket>::iterator it) {
        aPacket *packet = it->releasePacket();
        eraseAndSyncWindow(it);
        return packet;
    }
    std::deque<SerialPacket>::iterator findFirst(aPacketFilterProc filter, void *reference) {
        for (auto it = packets.begin(); it != packets.end(); ++it)
            if (filter(it->getPacket(), reference))
                return it;
        return packets.end();
    }
};

static std::mutex gpPacketFifoDictionaryMutex;
static std::map<aPacketFifoRef, std::shared_ptr<packetFifo>> gpPacketFifoDictionary;
static std::atomic<aPacketFifoRef> gpSequentialId{1};

static std::shared_ptr<packetFifo> sGetFifo(aPacketFifoRef ref) {
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(ref);
    if (it == gpPacketFifoDictionary.end())
        return nullptr;
    return it->second;
}

static std::shared_ptr<packetFifo> sExtractFifo(aPacketFifoRef ref) {
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(ref);
    if (it == gpPacketFifoDictionary.end())
        return nullptr;
    std::shared_ptr<packetFifo> fifo = std::move(it->second);
    gpPacketFifoDictionary.erase(it);
    return fifo;
}

aPacketFifoRef aPacketFifo_Create() {
    try {
        auto fifo = std::make_shared<packetFifo>();
        aPacketFifoRef ref = 0;
        while (ref == 0)
            ref = gpSequentialId++;
        std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
        gpPacketFifoDictionary.emplace(ref, std::move(fifo));
        return ref;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoRef *ref) {
    if (ref == nullptr)
        return aErrParam;
    try {
        std::shared_ptr<packetFifo> fifo = sExtractFifo(*ref);
        if (!fifo)
            return aErrNotFound;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->alive = false;
        }
        fifo->cv.notify_all();
        *ref = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoRef ref) {
    try {
        std::shared_ptr<packetFifo> fifo = sGetFifo(ref);
        if (!fifo)
            return 0;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        return fifo->packets.size();
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Put(aPacketFifoRef ref, const aPacket *packet) {
    try {
        std::shared_ptr<packetFifo> fifo = sGetFifo(ref);
        if (!fifo || !aVALIDPACKET(packet))
            return aErrParam;
        PacketPtr copy(aPacket_Copy(packet));
        if (!copy)
            return aErrParam;
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            // A destroyed queue takes nothing more.
            if (!fifo->alive)
                return aErrParam;
            fifo->packets.emplace_back(fifo->nextId.load(), std::move(copy));
            fifo->nextId++;
            fifo->syncWindow();
            if (fifo->packets.size() > aPACKETFIFO_MAXPACKETS) {
                // Nobody is reading this queue; drop the backlog rather than grow without end.
                fifo->clearAndSyncWindow();
            } else {
                wake = true;
            }
        }
        if (wake)
            fifo->cv.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrResource;
    }
}

aPacket *aPacketFifo_Get(aPacketFifoRef ref) {
    try {
        std::shared_ptr<packetFifo> fifo = sGetFifo(ref);
        if (!fifo)
            return nullptr;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        if (fifo->packets.empty())
            return nullptr;
        return fifo->stealPacket(fifo->packets.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket *aPacketFifo_Await(aPacketFifoRef ref, uint64_t timeoutMS) {
    try {
        const Clock::time_point deadline = sDeadline(timeoutMS);
        std::shared_ptr<packetFifo> fifo = sGetFifo(ref);
        if (!fifo)
            return nullptr;
        std::unique_lock<std::mutex> lock(fifo->mutex);
        bool woken = fifo->cv.wait_until(
            lock, deadline, [&fifo] { return !fifo->packets.empty() || !fifo->alive; });
        if (!woken || fifo->packets.empty())
            return nullptr;
        return fifo->stealPacket(fifo->packets.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket *aPacketFifo_GetFirst(aPacketFifoRef ref, aPacketFilterProc filter, void *reference) {
    if (filter == nullptr)
        return nullptr;
    try {
        std::shared_ptr<packetFifo> fifo = sGetFifo(ref);
        if (!fifo)
            return nullptr;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        auto it = fifo->findFirst(filter, reference);
        if (it == fifo->packets.end())
            return nullptr;
        return fifo->stealPacket(it);
    } catch (...) {
        return nullptr;
    }
}

aPacket *aPacketFifo_AwaitFirst(aPacketFifoRef ref, aPacketFilterProc filter, void *reference,
                                uint64_t timeoutMS) {
    if (filter == nullptr)
        return nullptr;
    try {
        const Clock::time_point deadline = sDeadline(timeoutMS);
        std::shared_ptr<packetFifo> fifo = sGetFifo(ref);
        if (!fifo)
            return nullptr;
        std::unique_lock<std::mutex> lock(fifo->mutex);
        // Each packet is offered to the filter once per call: the scan skips ids already seen.
        int64_t lastOffered = fifo->windowStart - 1;
        // Iterators of a deque do not survive puts made while we sleep; the accepted one is
        // used only right after the scan that found it, with the lock still held.
        bool found = false;
        std::deque<SerialPacket>::iterator accepted;
        auto satisfied = [&] {
            for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
                if (it->getId() <= lastOffered)
                    continue;
                lastOffered = it->getId();
                if (filter(it->getPacket(), reference)) {
                    accepted = it;
                    found = true;
                    return true;
                }
            }
            return !fifo->alive;
        };
        fifo->cv.wait_until(lock, deadline, satisfied);
        if (!found || !fifo->alive)
            return nullptr;
        return fifo->stealPacket(accepted);
    } catch (...) {
        return nullptr;
    }
}

size_t aPacketFifo_DrainPackets(aPacketFifoRef ref, aPacketFilterProc filter, void *reference) {
    if (filter == nullptr)
        return 0;
    try {
        std::shared_ptr<packetFifo> fifo = sGetFifo(ref);
        if (!fifo)
            return 0;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        size_t before = fifo->packets.size();
        // Ask the filter about every packet before touching the queue.
        std::deque<bool> drop;
        for (auto &element : fifo->packets)
            drop.push_back(filter(element.getPacket(), reference));
        std::deque<SerialPacket> kept;
        for (size_t i = 0; i < before; i++)
            if (!drop[i])
                kept.push_back(std::move(fifo->packets[i]));
        fifo->packets.swap(kept);
        fifo->syncWindow();
        return before - fifo->packets.size();
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_GetWindow(aPacketFifoRef ref, int64_t *windowStart, int64_t *nextId) {
    if (windowStart == nullptr || nextId == nullptr)
        return aErrParam;
    try {
        std::shared_ptr<packetFifo> fifo = sGetFifo(ref);
        if (!fifo)
            return aErrNotFound;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        *windowStart = fifo->windowStart;
        *nextId = fifo->nextId;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}
