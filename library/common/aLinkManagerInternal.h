// Inside the link engine: the link object, the registry of links ("aLink_Managed") and
// the hooks the engine's units share. For the engine, the sharing server and tests; not
// part of the library's interface.
//
// Lock order, outermost first:
// 1. a link's control lock (start, stop, init, reset, teardown); taken by caller threads
//    only, never by the link's own threads, so a stop can join them while holding it;
// 2. the registry mutex "aLink_Managed", held only inside one registry operation and
//    never while calling into a link, a stream or a queue;
// 3. a link's filter lock "aLink(%p)->userFilterSema", held by the reader while the user
//    filter runs (the filter must not install filters);
// 4. a link's log lock "LOG_SEMA_%p", guarding the capture ring's contents;
// 5. the packet queues' own locks, innermost.
#ifndef KESTRIX_ALINKMANAGERINTERNAL_H
#define KESTRIX_ALINKMANAGERINTERNAL_H

#ifndef __cplusplus
#error "aLinkManagerInternal.h is for the engine's C++ units"
#endif

#include <atomic>
#include <memory>
#include <mutex>

#include "aLink.h"
#include "aPacketDebug.h"
#include "unix_thread.h"

// The sharing server that may stand in front of a link, made by its own unit, and the
// procedure that destroys it with the link.
typedef struct aServer aServer;
typedef aErr (*aServerDestroyProc)(aServer** server);

#define aLINK_CHECK 0xCEED

// Synchronisation machine states; the reader alone moves them.
enum aLinkSyncState {
    kSyncStateSynchronised = 0,
    kSyncStateStart = 1,  // the next byte restarts the handshake
    kSyncStateByte1 = 2,  // awaiting an even, non-zero address
    kSyncStateByte2 = 3,  // awaiting its empty length
    kSyncStateByte3 = 4,  // awaiting the same address again
    kSyncStateByte4 = 5,  // awaiting its empty length: then synchronised
};

// The engine state of one link. Words polled across threads are atomic; the stream, the
// receive packet and the sync fields belong to the threads named beside them.
struct aLink {
    std::atomic<uint16_t> check{0};  // aLINK_CHECK from the first init until teardown
    aLinkHandle handle = 0;
    std::atomic<bool> running{false};  // the threads run while set
    std::atomic<linkStatus> status{linkStatusInvalid};
    std::atomic<aPacketFifoHandle> inbound{0};   // received from the module
    std::atomic<aPacketFifoHandle> outbound{0};  // waiting to be written
    std::atomic<bool> pooled{false};

    // Replaced only under the control lock while the threads are stopped; in between the
    // reader alone reads it and the writer alone writes it.
    aStream* stream = nullptr;

    // The reader's own.
    aPacket* receive = nullptr;  // the packet being assembled
    aLinkSyncState syncState = kSyncStateSynchronised;
    uint8_t syncAddress = 1;
    uint64_t lastSyncRestartMs = 0;

    // Under the control lock.
    std::mutex control;
    aThread* reader = nullptr;
    aThread* writer = nullptr;
    std::atomic<bool> readerStarted{false};
    std::atomic<bool> writerStarted{false};

    // Capture ring: made once under logLock, read without it only to test for null,
    // released at teardown after the threads have gone.
    std::mutex logLock;  // "LOG_SEMA_%p"
    std::atomic<aPacketLog*> packetLog{nullptr};
    std::atomic<int64_t> packetLogSize{0};  // capacity for the next ring, 0 = default

    std::mutex filterLock;  // "aLink(%p)->userFilterSema"
    aPacketFilter userFilter = nullptr;
    void* userFilterRef = nullptr;
};

// One registry entry. The identifiers and the type are fixed at registration; the use
// count, the server and the paired link change only under the registry mutex.
struct aLinkEntry {
    aLinkHandle handle = 0;
    linkType type = linkTypeNone;
    uint32_t id1 = 0;  // serial number; client: server address; caller's stream: 0xFFFFFFFF
    uint32_t id2 = 0;  // TCP/IP: module address; client: server port
    uint32_t id3 = 0;  // TCP/IP: port; client: client sequence number
    int16_t useCount = 0;
    aLinkHandle paired = 0;     // the device link a sharing server's client link stands for
    aServer* server = nullptr;  // the sharing server in front of this link
    aServerDestroyProc serverDestroy = nullptr;
    aLink link;
};

// References keep an entry (and its link object) alive past a concurrent destroy.
using aLinkEntryRef = std::shared_ptr<aLinkEntry>;

// Registers a new entry with the next handle, use count 0 and an uninitialised link
// object; null when memory is exhausted.
aLinkEntryRef aLinkManager_Register(linkType type, uint32_t id1, uint32_t id2, uint32_t id3);
// The entry of handle; null when unknown.
aLinkEntryRef aLinkManager_Find(aLinkHandle handle);
// The entry of handle when its link object is initialised and not torn down.
aLinkEntryRef aLinkManager_FindLive(aLinkHandle handle);
// The newest direct link of type to the module id1, with its use count raised; null when
// there is none. With served given, a link that a sharing server stands in front of is not
// taken: null, and *served set.
aLinkEntryRef aLinkManager_RetainDirect(uint32_t id1, linkType type, bool* served);
// The client link with these identifiers; null when there is none.
aLinkEntryRef aLinkManager_FindClient(uint32_t id1, uint32_t id2, uint32_t id3);
// Raises the use count of handle; null when unknown.
aLinkEntryRef aLinkManager_Retain(aLinkHandle handle);
// Lowers the use count of handle. When it reaches 0 or below the entry leaves the registry
// and is returned for teardown; otherwise null. *found tells whether handle was known.
aLinkEntryRef aLinkManager_Release(aLinkHandle handle, bool* found);
// Takes handle out of the registry whatever its use count; null when unknown.
aLinkEntryRef aLinkManager_Remove(aLinkHandle handle);
// The use count of handle; -1 when unknown.
int aLinkManager_UseCount(aLinkHandle handle);
// Attaches (or with null detaches) the sharing server of handle, which destroy releases
// when the link is torn down. aErrParam when unknown.
aErr aLinkManager_SetServer(aLinkHandle handle, aServer* server, aServerDestroyProc destroy);
// Makes paired the device link that handle stands for. aErrParam when unknown.
aErr aLinkManager_SetPairedLink(aLinkHandle handle, aLinkHandle paired);

// Records packet in the link's capture ring, when it has one.
void aPacketDebug_Record(aLink& link, aPacketLogType type, const aPacket& packet);
// Releases the link's capture ring; for teardown, once the threads have gone.
void aPacketDebug_Release(aLink& link);

#endif
