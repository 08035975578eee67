// The link engine: turns a byte stream to one module into a packet channel. Each link runs
// a reader thread (parses bytes into packets, keeps the link synchronised, answers
// heartbeats, queues the rest) and a writer thread (sends queued packets). Links are named
// by handles kept in a process-wide registry with use counts, so several users in one
// process share one connection to a module.
//
// Wire protocol on byte-stream transports: packets back to back as address, size, data,
// with no delimiter; serial links carry the same bytes COBS-framed with a CRC. Module
// addresses are even; odd addresses are link-level packets:
//   AD 00          host -> module  address query / synchronisation request
//   addr 00        module -> host  answer to AD 00 from the module's own address
//   AF 01 v        host -> module  route switch: 1 when a link starts, 0 when it stops
//   addr 02 00 k   module -> host  heartbeat of kind k
//   addr 02 00 k+2 host -> module  heartbeat reply
// Packets cross this interface as copies: the caller owns, and destroys, its own.
#ifndef KESTRIX_ALINK_H
#define KESTRIX_ALINK_H

#include "aLinkSpec.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

KX_EXTERN_C_BEGIN

// Names one link; 0 means none. Never reused within the process.
typedef uint32_t aLinkHandle;

// The engine state of one link, owned by the registry (aLinkManagerInternal.h).
typedef struct aLink aLink;

typedef enum {
    linkStatusStopped = 0,     // set up with a stream, threads not running
    linkStatusStarting = 1,    // threads being started
    linkStatusRunning = 2,     // synchronised; packets flow
    linkStatusStopping = 3,    // stop in progress
    linkStatusSyncing = 4,     // handshake in progress; received bytes go to the sync machine
    linkStatusInvalid = 5,     // no stream, or no such link
    linkStatusIOError = 6,     // the last read failed; synchronisation follows once quiet
    linkStatusQueueError = 8,  // a received packet could not be queued
} linkStatus;

// Link-level addresses (odd, never a module's).
#define aLINK_ADDRESS_QUERY 0xAD  // AD 00: the module answers with an empty packet
#define cmdFORCEROUTE 0xAF        // AF 01 v: route switch

// Creating and sharing links. Each returns a handle, 0 on failure; a failure leaves no
// registry entry behind. A link created again for the same module returns the existing
// handle with its use count raised; every create is matched by one aLink_Destroy.

// A link to the module attached by USB with this serial number, synchronised before it
// returns (0 when the module does not answer within 2 s). 0 when a sharing server stands
// in front of an existing link to it: connect as a client instead.
aLinkHandle aLink_CreateUSB(uint32_t serialNumber);
// A link over TCP to address (IPv4, network byte order) and port (host order), running
// without a handshake. Reuse as for USB, keyed by the serial number.
aLinkHandle aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// A COBS-framed 8N1 link on the serial device at portName. baudRate must be 2400, 4800,
// 9600, 19200, 38400, 57600, 115200 or 230400.
aLinkHandle aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// A client link to the sharing server at address:port. With a non-zero existing handle,
// that registered link is shared instead (0 when it is not registered).
aLinkHandle aLink_CreateClient(uint32_t address, uint16_t port, aLinkHandle existing);
// A link over a stream supplied by the caller, running without a handshake. The link owns
// the stream from this call on, also when the create fails.
aLinkHandle aLink_Create(aStream* stream);
// Lowers the use count; the last destroy stops the link and releases everything it owns
// (its sharing server and paired link included). Always clears *handle. aErrParam for an
// unknown handle; otherwise the result of releasing the outbound queue.
aErr aLink_Destroy(aLinkHandle* handle);

// Running a link.

// (Re)initialises the registered link over stream (which it then owns): new queues, a
// fresh receive packet, status linkStatusStopped, or linkStatusInvalid without a stream.
// Returns handle; 0 for an unknown handle or a link that is running.
aLinkHandle aLink_Init(aLinkHandle handle, aStream* stream);
// Starts the reader and writer threads and returns once they run, then queues AF 01 01.
// Success at once when already running. aErrParam for an unknown handle, aErrConnection
// for a link without a stream, aErrResource when a thread cannot be made, aErrIndexRange
// when the threads are not up within 2 s.
aErr aLink_Start(aLinkHandle handle);
// Stops the threads of a link object: queues AF 01 00, which the writer still sends, and
// joins both threads. Success at once when stopped. aErrParam for null, aErrUnknown when
// a thread cannot be joined. Never call it from the link's own threads.
aErr aLink_Stop(aLink* link);
// Runs the synchronisation handshake, waiting up to 2 s for linkStatusRunning; then
// empties both queues of the handshake's leftovers. aErrNotReady on time-out, aErrParam
// for an unknown handle.
aErr aLink_Sync(aLinkHandle handle);
// Rebuilds the link's stream in place (same handle), trying up to 20 times, and starts it
// again; returns the start's result. A serial link or one over a caller's stream cannot
// be rebuilt: it is left without a stream (linkStatusInvalid, aErrConnection). aErrParam
// for an unknown handle.
aErr aLink_Reset(aLinkHandle handle);
// Queues the route switch AF 01 value. aErrNotFound for an unknown handle, aErrMemory
// when the packet cannot be made.
aErr aLink_ForceRoute(aLinkHandle handle, uint8_t value);
// The link's status; linkStatusInvalid for an unknown handle.
linkStatus aLink_GetStatus(aLinkHandle handle);

// Packets. Received packets come out as new copies the caller destroys.

// Queues a copy of packet for writing. aErrParam for an unknown handle or invalid packet.
aErr aLink_PutPacket(aLinkHandle handle, const aPacket* packet);
// The oldest received packet, or null. Never waits.
aPacket* aLink_GetPacket(aLinkHandle handle);
// The oldest received packet, waiting up to milliseconds; null on time-out.
aPacket* aLink_AwaitPacket(aLinkHandle handle, uint64_t milliseconds);
// The oldest received packet filter accepts, or null. Never waits.
aPacket* aLink_GetFirst(aLinkHandle handle, aPacketFilter filter, void* ref);
// Waits up to milliseconds for a received packet filter accepts. Null on time-out, and at
// once while the link is not running: a resynchronisation ends the wait.
aPacket* aLink_AwaitFirst(aLinkHandle handle, aPacketFilter filter, void* ref,
                          uint64_t milliseconds);
// Destroys every received packet filter accepts; returns how many.
size_t aLink_DrainPackets(aLinkHandle handle, aPacketFilter filter, void* ref);
// Installs filter (null removes it). The reader offers it every received packet first,
// on the reader thread; a packet it accepts is consumed. It must not call
// aLink_InstallUserPacketFilter. aErrParam for an unknown handle.
aErr aLink_InstallUserPacketFilter(aLinkHandle handle, aPacketFilter filter, void* ref);
// Pooled mode: the writer sends queued packets in batches of up to 4096 bytes.
aErr aLink_EnablePooledPackets(aLinkHandle handle, bool enable);

// Module information (used by the sharing server).

// Queues AD 00 and takes the next received packet within 1000 ms: an empty packet from a
// non-zero address gives that address. aErrIO for another packet, aErrTimeout for none.
aErr _aLink_GetModuleAddress(aLinkHandle handle, uint8_t* address);
// Asks module for its model (system entity get 03 48 20) and takes the next received
// packet within 1000 ms: it must come from module with 4 data bytes and command 3; its
// fourth byte is the model. aErrIO for another packet, aErrTimeout for none.
aErr _aLink_GetModel(aLinkHandle handle, uint8_t module, uint8_t* model);

KX_EXTERN_C_END

#endif
