// Packet capture: a ring of records (type, length, bytes) that a link fills with every
// packet it sends and receives while a ring exists, and that a reader (the logger thread,
// aLogger.h) drains. When the ring is full the oldest records make room for new ones.
#ifndef KESTRIX_APACKETDEBUG_H
#define KESTRIX_APACKETDEBUG_H

#include "aLink.h"

KX_EXTERN_C_BEGIN

typedef enum {
    aPacketLogSent = 1,
    aPacketLogReceived = 2,
    aPacketLogText = 3,
} aPacketLogType;

#define aPACKETLOG_DEFAULT_SIZE 0x10000  // ring size when none was requested
#define aPACKETLOG_MAX_SIZE 0x4000000    // largest ring a link takes (64 MiB)
#define aPACKETLOG_MAX_RECORD 255        // bytes one record holds

typedef struct aPacketLog aPacketLog;

// A new empty ring of size bytes; null for size 0 or exhausted memory.
aPacketLog* aPacketLog_Create(size_t size);
// Appends a record, dropping the oldest records until it fits. aErrOverrun when it could
// never fit (length + 2 >= size), aErrSize above aPACKETLOG_MAX_RECORD bytes, aErrParam for
// an invalid ring or null bytes with a non-zero length. Not locked: see the link calls.
aErr aPacketLog_Put(aPacketLog* ring, uint8_t type, size_t length, const uint8_t* bytes);
// Reports the oldest record's type and length and, when *length (the buffer's capacity)
// holds it, copies it out and consumes it. aErrNotFound when empty, aErrOverrun (record
// kept) when the buffer is too small, aErrParam for a null argument.
aErr aPacketLog_Get(aPacketLog* ring, uint8_t* type, size_t* length, uint8_t* buffer);
// Frees *ring and clears it; aErrParam for null.
aErr aPacketLog_Destroy(aPacketLog** ring);

// Capture on a link. The link serialises every put and get on its ring. aErrParam for an
// unknown handle throughout.

// Sets the size of the ring made by the next enable; negative sizes mean the default.
// aErrParam above aPACKETLOG_MAX_SIZE, aErrBusy once the ring exists.
aErr aLink_PacketDebug_SetLogSize(aLinkHandle handle, int64_t bytes);
// Makes the ring if there is none and marks it enabled; aErrResource when it cannot be made.
aErr aLink_PacketDebug_Enable(aLinkHandle handle);
// Marks the ring disabled (records keep arriving while it exists); aErrNotReady without one.
aErr aLink_PacketDebug_Disable(aLinkHandle handle);
// aPacketLog_Get on the link's ring; aErrNotReady without one.
aErr aLink_PacketDebug_Read(aLinkHandle handle, uint8_t* type, size_t* length, uint8_t* buffer);
// aPacketLog_Put on the link's ring; aErrNotReady without one.
aErr aLink_PacketDebug_Write(aLinkHandle handle, uint8_t type, size_t length, const uint8_t* bytes);

KX_EXTERN_C_END

#endif
