#include "packetfifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long sElapsedMS(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A queue for one test, destroyed at the end unless the test destroyed it.
struct Fifo {
    aPacketFifoRef ref = aPacketFifo_Create();
    ~Fifo() {
        if (ref)
            aPacketFifo_Destroy(&ref);
    }
};

aErr sPut(aPacketFifoRef ref, uint8_t address, uint8_t tag = 0) {
    aPacket *p = aPacket_CreateWithData(address, 1, &tag);
    aErr err = aPacketFifo_Put(ref, p);
    aPacket_Destroy(&p);
    return err;
}

// Takes a packet and returns its address (0 for none), destroying it.
uint8_t sAddress(aPacket *p) {
    if (!p)
        return 0;
    uint8_t address = p->address;
    aPacket_Destroy(&p);
    return address;
}

bool sAcceptAll(const aPacket *, void *) {
    return true;
}

bool sAcceptAddress(const aPacket *p, void *ref) {
    return p->address == *static_cast<uint8_t *>(ref);
}

// Records every packet offered; accepts none.
struct Offers {
    std::mutex m;
    std::vector<uint8_t> addresses;
};
bool sRecordAndReject(const aPacket *p, void *ref) {
    Offers *offers = static_cast<Offers *>(ref);
    std::lock_guard<std::mutex> lock(offers->m);
    offers->addresses.push_back(p->address);
    return false;
}

TEST(PacketFifo, FirstInFirstOutAndCopies) {
    Fifo f;
    ASSERT_NE(f.ref, 0u);
    aPacket *mine = aPacket_CreateWithData(0x02, 0, reinterpret_cast<const uint8_t *>(""));
    EXPECT_EQ(aPacketFifo_Put(f.ref, mine), aErrNone);
    mine->address = 0x40; // the queue holds its own copy
    EXPECT_EQ(aPacketFifo_Put(f.ref, mine), aErrNone);
    aPacket_Destroy(&mine);
    EXPECT_EQ(sPut(f.ref, 0x04), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.ref), 3u);
    EXPECT_EQ(sAddress(aPacketFifo_Get(f.ref)), 0x02);
    EXPECT_EQ(sAddress(aPacketFifo_Get(f.ref)), 0x40);
    EXPECT_EQ(sAddress(aPacketFifo_Get(f.ref)), 0x04);
    EXPECT_EQ(aPacketFifo_Get(f.ref), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(f.ref), 0u);
}

TEST(PacketFifo, ReferencesAreDistinctAndNonZero) {
    Fifo a, b;
    EXPECT_NE(a.ref, 0u);
    EXPECT_NE(b.ref, 0u);
    EXPECT_NE(a.ref, b.ref);
    sPut(a.ref, 0x02);
    EXPECT_EQ(aPacketFifo_GetLength(b.ref), 0u);
}

TEST(PacketFifo, UnregisteredReferenceGivesNeutralResults) {
    aPacketFifoRef gone = aPacketFifo_Create();
    aPacketFifoRef copy = gone;
    ASSERT_EQ(aPacketFifo_Destroy(&gone), aErrNone);
    EXPECT_EQ(gone, 0u);
    uint8_t addr = 2;
    EXPECT_EQ(sPut(copy, 0x02), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(copy), 0u);
    EXPECT_EQ(aPacketFifo_Get(copy), nullptr);
    EXPECT_EQ(aPacketFifo_Await(copy, 50), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(copy, sAcceptAll, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(copy, sAcceptAddress, &addr, 50), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(copy, sAcceptAll, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
    EXPECT_NE(copy, 0u) << "an unknown reference is left unchanged";
    EXPECT_EQ(aPacketFifo_Destroy(&gone), aErrNotFound) << "zeroed reference";
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

TEST(PacketFifo, PutRefusesInvalidPackets) {
    Fifo f;
    aPacket bogus{};
    EXPECT_EQ(aPacketFifo_Put(f.ref, &bogus), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(f.ref, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(f.ref), 0u);
}

TEST(PacketFifo, ThousandPacketsStayThousandAndOneDiscardsAll) {
    Fifo f;
    for (int i = 0; i < 1000; i++)
        ASSERT_EQ(sPut(f.ref, 0x02, static_cast<uint8_t>(i)), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.ref), 1000u);
    int64_t window = -1, next = -1;
    ASSERT_EQ(aPacketFifo_GetWindow(f.ref, &window, &next), aErrNone);
    EXPECT_EQ(window, 0);
    EXPECT_EQ(next, 1000);

    EXPECT_EQ(sPut(f.ref, 0x02), aErrNone) << "the overflowing put still succeeds";
    EXPECT_EQ(aPacketFifo_GetLength(f.ref), 0u);
    ASSERT_EQ(aPacketFifo_GetWindow(f.ref, &window, &next), aErrNone);
    EXPECT_EQ(next, 1001);
    EXPECT_EQ(window, next);

    // The queue keeps working, and ids keep growing.
    EXPECT_EQ(sPut(f.ref, 0x08), aErrNone);
    ASSERT_EQ(aPacketFifo_GetWindow(f.ref, &window, &next), aErrNone);
    EXPECT_EQ(window, 1001);
    EXPECT_EQ(sAddress(aPacketFifo_Get(f.ref)), 0x08);
}

TEST(PacketFifo, GetFirstTakesOldestMatchAndKeepsTheRest) {
    Fifo f;
    for (uint8_t a : {0x02, 0x04, 0x06, 0x04})
        sPut(f.ref, a, a);
    uint8_t want = 0x04;
    aPacket *p = aPacketFifo_GetFirst(f.ref, sAcceptAddress, &want);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 0x04);
    aPacket_Destroy(&p);
    want = 0x10;
    EXPECT_EQ(aPacketFifo_GetFirst(f.ref, sAcceptAddress, &want), nullptr);
    EXPECT_EQ(sAddress(aPacketFifo_Get(f.ref)), 0x02);
    EXPECT_EQ(sAddress(aPacketFifo_Get(f.ref)), 0x06);
    EXPECT_EQ(sAddress(aPacketFifo_Get(f.ref)), 0x04);
}

TEST(PacketFifo, DrainRemovesMatchesInOrderAndSyncsWindow) {
    Fifo f;
    for (uint8_t a : {0x02, 0x04, 0x02, 0x06, 0x02})
        sPut(f.ref, a);
    uint8_t two = 0x02;
    EXPECT_EQ(aPacketFifo_DrainPackets(f.ref, sAcceptAddress, &two), 3u);
    int64_t window = 0, next = 0;
    aPacketFifo_GetWindow(f.ref, &window, &next);
    EXPECT_EQ(window, 1) << "oldest remaining is the second packet put";
    EXPECT_EQ(aPacketFifo_DrainPackets(f.ref, sAcceptAll, nullptr), 2u);
    aPacketFifo_GetWindow(f.ref, &window, &next);
    EXPECT_EQ(window, next);
    EXPECT_EQ(next, 5);
    EXPECT_EQ(aPacketFifo_DrainPackets(f.ref, sAcceptAll, nullptr), 0u);
}

TEST(PacketFifo, AwaitTimeoutZero) {
    Fifo f;
    auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(f.ref, 0), nullptr);
    EXPECT_LT(sElapsedMS(start), 50);
    sPut(f.ref, 0x02);
    sPut(f.ref, 0x04);
    EXPECT_EQ(sAddress(aPacketFifo_Await(f.ref, 0)), 0x02);
}

TEST(PacketFifo, AwaitTimesOutAfterItsTimeout) {
    Fifo f;
    auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(f.ref, 120), nullptr);
    long elapsed = sElapsedMS(start);
    EXPECT_GE(elapsed, 115);
    EXPECT_LT(elapsed, 1000);

    uint8_t want = 0x04;
    sPut(f.ref, 0x02);
    start = Clock::now();
    EXPECT_EQ(aPacketFifo_AwaitFirst(f.ref, sAcceptAddress, &want, 120), nullptr);
    elapsed = sElapsedMS(start);
    EXPECT_GE(elapsed, 115);
    EXPECT_LT(elapsed, 1000);
    EXPECT_EQ(aPacketFifo_GetLength(f.ref), 1u) << "rejected packets stay queued";
}

TEST(PacketFifo, AwaitWakesOnPutFromAnotherThread) {
    Fifo f;
    auto start = Clock::now();
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sPut(f.ref, 0x0C);
    });
    EXPECT_EQ(sAddress(aPacketFifo_Await(f.ref, 5000)), 0x0C);
    EXPECT_LT(sElapsedMS(start), 2000);
    producer.join();
}

TEST(PacketFifo, AwaitFirstOffersEachPacketOnce) {
    Fifo f;
    for (uint8_t a : {0x02, 0x04, 0x06})
        sPut(f.ref, a);
    Offers offers;
    std::thread producer([&] {
        for (uint8_t a : {0x08, 0x0A, 0x0C}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            sPut(f.ref, a);
        }
        // Wakes without a new packet must not re-offer old ones: drain a packet nobody wants.
        uint8_t none = 0xFE;
        aPacketFifo_DrainPackets(f.ref, sAcceptAddress, &none);
    });
    auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_AwaitFirst(f.ref, sRecordAndReject, &offers, 400), nullptr);
    EXPECT_GE(sElapsedMS(start), 395);
    producer.join();
    std::vector<uint8_t> expected = {0x02, 0x04, 0x06, 0x08, 0x0A, 0x0C};
    EXPECT_EQ(offers.addresses, expected);
    EXPECT_EQ(aPacketFifo_GetLength(f.ref), 6u);
}

TEST(PacketFifo, AwaitFirstReturnsLaterMatchAndLeavesOthers) {
    Fifo f;
    sPut(f.ref, 0x02);
    uint8_t want = 0x06;
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        sPut(f.ref, 0x04);
        sPut(f.ref, 0x06);
        sPut(f.ref, 0x06, 1);
    });
    aPacket *p = aPacketFifo_AwaitFirst(f.ref, sAcceptAddress, &want, 5000);
    producer.join();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 0x06);
    EXPECT_EQ(p->data[0], 0) << "the older of the two matches";
    aPacket_Destroy(&p);
    EXPECT_EQ(aPacketFifo_GetLength(f.ref), 3u);
}

TEST(PacketFifo, DestroyWakesEveryWaiter) {
    aPacketFifoRef ref = aPacketFifo_Create();
    uint8_t want = 0x10;
    std::atomic<int> started{0};
    auto waitAny = std::async(std::launch::async, [&] {
        started++;
        auto start = Clock::now();
        aPacket *p = aPacketFifo_Await(ref, 20000);
        return std::make_pair(p, sElapsedMS(start));
    });
    auto waitFiltered = std::async(std::launch::async, [&] {
        started++;
        auto start = Clock::now();
        aPacket *p = aPacketFifo_AwaitFirst(ref, sAcceptAddress, &want, 20000);
        return std::make_pair(p, sElapsedMS(start));
    });
    while (started < 2)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sPut(ref, 0x02); // taken by the plain waiter; not accepted by the filtered one
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sPut(ref, 0x04);
    aPacketFifoRef copy = ref;
    ASSERT_EQ(aPacketFifo_Destroy(&ref), aErrNone);
    EXPECT_EQ(ref, 0u);
    auto any = waitAny.get();
    auto filtered = waitFiltered.get();
    EXPECT_EQ(sAddress(any.first), 0x02);
    EXPECT_EQ(filtered.first, nullptr);
    EXPECT_LT(filtered.second, 2000) << "the filtered waiter returns promptly after destroy";
    EXPECT_EQ(aPacketFifo_Destroy(&ref), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
}

TEST(PacketFifo, DestroyWakesPlainWaiter) {
    aPacketFifoRef ref = aPacketFifo_Create();
    auto waiter = std::async(std::launch::async, [ref] {
        auto start = Clock::now();
        aPacket *p = aPacketFifo_Await(ref, 20000);
        return std::make_pair(p, sElapsedMS(start));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(aPacketFifo_Destroy(&ref), aErrNone);
    auto result = waiter.get();
    EXPECT_EQ(result.first, nullptr);
    EXPECT_LT(result.second, 2000);
}

// Several producers and consumers: every packet arrives exactly once.
TEST(PacketFifo, ConcurrentProducersAndConsumers) {
    Fifo f;
    const int kProducers = 3, kPerProducer = 200;
    std::atomic<int> received{0};
    std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; c++)
        threads.emplace_back([&] {
            while (!done || aPacketFifo_GetLength(f.ref) > 0) {
                aPacket *p = aPacketFifo_Await(f.ref, 20);
                if (!p)
                    continue;
                int id = p->data[0] * 256 + p->data[1];
                seen[id]++;
                received++;
                aPacket_Destroy(&p);
            }
        });
    std::vector<std::thread> producers;
    for (int pr = 0; pr < kProducers; pr++)
        producers.emplace_back([&, pr] {
            for (int i = 0; i < kPerProducer; i++) {
                int id = pr * kPerProducer + i;
                uint8_t data[2] = {static_cast<uint8_t>(id / 256), static_cast<uint8_t>(id % 256)};
                aPacket *p = aPacket_CreateWithData(0x02, 2, data);
                EXPECT_EQ(aPacketFifo_Put(f.ref, p), aErrNone);
                aPacket_Destroy(&p);
            }
        });
    for (auto &t : producers)
        t.join();
    done = true;
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(received.load(), kProducers * kPerProducer);
    for (auto &s : seen)
        EXPECT_EQ(s.load(), 1);
}

} // namespace
