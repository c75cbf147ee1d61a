// Thread-safe first-in-first-out packet queues with blocking, filtered and timed waits.
// Queues are named by integer references into a process-wide registry; 0 is never a queue.
// Packets put in are copied (the caller keeps its own); packets handed out belong to the caller.
#ifndef _packetfifo_H_
#define _packetfifo_H_

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

typedef uint64_t aPacketFifoRef;

// Selects a packet: returns true to take it. Runs with the queue's lock held, so it must be
// short and must not call back into the same queue.
typedef bool (*aPacketFilterProc)(const aPacket *packet, void *reference);

// Most packets a queue holds; a put that makes it hold more discards every queued packet.
#define aPACKETFIFO_MAXPACKETS 1000

// Reference of a new empty queue; 0 on failure.
aPacketFifoRef aPacketFifo_Create();
// Unregisters the queue, empties it, wakes every waiter (they return null) and sets *fifo to 0.
// aErrParam for a null pointer, aErrNotFound for an unregistered reference (left unchanged),
// aErrUnknown for an internal failure.
aErr aPacketFifo_Destroy(aPacketFifoRef *fifo);
// Number of queued packets; 0 for an unregistered reference.
size_t aPacketFifo_GetLength(aPacketFifoRef fifo);
// Appends a copy of packet and wakes all waiters. aErrParam for an unregistered reference, an
// invalid packet or a failed copy; aErrResource if the append fails. Returns 0 also when the
// put overflows the queue and every queued packet is discarded.
aErr aPacketFifo_Put(aPacketFifoRef fifo, const aPacket *packet);
// The oldest packet, removed; null if the queue is empty or unregistered.
aPacket *aPacketFifo_Get(aPacketFifoRef fifo);
// Like aPacketFifo_Get, waiting up to timeoutMS milliseconds for a packet; null on time-out or
// when the queue is destroyed meanwhile. Timeout 0 does not wait.
aPacket *aPacketFifo_Await(aPacketFifoRef fifo, uint64_t timeoutMS);
// The oldest packet that filter accepts, removed; null if none.
aPacket *aPacketFifo_GetFirst(aPacketFifoRef fifo, aPacketFilterProc filter, void *reference);
// Like aPacketFifo_GetFirst, waiting up to timeoutMS for an accepted packet. Within one call
// each packet is offered to the filter at most once: first those queued at entry, then each
// new arrival. Null on time-out or when the queue is destroyed meanwhile.
aPacket *aPacketFifo_AwaitFirst(aPacketFifoRef fifo, aPacketFilterProc filter, void *reference,
                                uint64_t timeoutMS);
// Removes and destroys every packet that filter accepts; returns how many (0 if unregistered).
size_t aPacketFifo_DrainPackets(aPacketFifoRef fifo, aPacketFilterProc filter, void *reference);

// Diagnostics: the sequence id of the oldest queued packet (or nextId when empty) and the id
// that the next put receives. aErrParam for null out pointers, aErrNotFound if unregistered.
aErr aPacketFifo_GetWindow(aPacketFifoRef fifo, int64_t *windowStart, int64_t *nextId);

#endif
