// Packet queues shared between threads: the inbound and outbound queues of every link.
// Queues are named by handles, hold their own copies of packets, and let a caller wait
// for the first packet a predicate accepts while unrelated packets stay queued.
#ifndef KESTRIX_PACKETFIFO_H
#define KESTRIX_PACKETFIFO_H

#include "aPacket.h"

KX_EXTERN_C_BEGIN

// Names one queue; never 0, never reused within the process.
typedef uint64_t aPacketFifoHandle;

// Accepts or rejects a packet. Runs with the queue locked: it must not call back into
// the queue.
typedef bool (*aPacketFilter)(const aPacket* packet, void* ref);

// Most packets a queue holds: putting one more empties the queue entirely, which
// bounds the memory of a queue that nobody consumes.
#define aPACKETFIFO_MAX_ENTRIES 1000

// Every operation below that takes a handle treats an unknown (or destroyed) one as an
// empty queue: null, 0, or the error given.

// A new empty queue; 0 when it cannot be made.
aPacketFifoHandle aPacketFifo_Create(void);
// Removes the queue, destroys its packets and wakes every waiter, which then returns
// null; clears *fifo. aErrParam for a null fifo, aErrNotFound for an unknown handle,
// aErrUnknown when the platform fails.
aErr aPacketFifo_Destroy(aPacketFifoHandle* fifo);
// Appends a copy of packet (the caller keeps its own) and wakes the waiters; when that
// makes 1001 entries, empties the queue instead. aErrParam for an unknown handle or an
// invalid packet; aErrResource when storage fails.
aErr aPacketFifo_Put(aPacketFifoHandle fifo, const aPacket* packet);

// Packets taken out below belong to the caller, who destroys them with aPacket_Destroy.

// Takes out the oldest packet; null when empty. Never waits.
aPacket* aPacketFifo_Get(aPacketFifoHandle fifo);
// Waits up to milliseconds for a packet and takes out the oldest; null on time-out or
// when the queue is destroyed meanwhile.
aPacket* aPacketFifo_Await(aPacketFifoHandle fifo, uint64_t milliseconds);
// Takes out the oldest packet filter accepts; null when none does or filter is null.
// Never waits.
aPacket* aPacketFifo_GetFirst(aPacketFifoHandle fifo, aPacketFilter filter, void* ref);
// Waits up to milliseconds for a packet filter accepts and takes it out, leaving the
// others in order; null on time-out, for a null filter, or when the queue is destroyed
// meanwhile. During one wait the filter sees each packet at most once: the queued ones
// at entry, then each new one as it arrives.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle fifo, aPacketFilter filter, void* ref,
                                uint64_t milliseconds);
// Destroys every packet filter accepts, keeps the others in order; returns how many
// went (0 for a null filter).
size_t aPacketFifo_DrainPackets(aPacketFifoHandle fifo, aPacketFilter filter, void* ref);
// Number of queued packets.
size_t aPacketFifo_GetLength(aPacketFifoHandle fifo);

KX_EXTERN_C_END

#endif
