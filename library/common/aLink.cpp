#include "aLink.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "aLinkManagerInternal.h"
#include "aStreamsocket.h"
#include "unix_streamserial.h"
#include "unix_streamusb.h"
#include "unix_time.h"

// The client stream of a sharing server lives in the server's own unit; it is linked
// weakly so that the engine builds and runs without that unit, client links then failing.
extern "C" aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream)
    __attribute__((weak));

namespace {

constexpr uint64_t kPollMs = 10;         // start, sync and await loops look again this often
constexpr int kStartPolls = 200;         // 2 s for the threads to come up
constexpr int kSyncPolls = 200;          // 2 s for the handshake
constexpr uint64_t kSyncSettleMs = 100;  // for the last handshake answers, before draining
constexpr uint64_t kIOErrorPauseMs = 100;
// How long the writer waits for a packet before it looks at the running flag again; this
// bounds how late it notices a stop whose route switch it took before the flag fell.
constexpr uint64_t kWriterWaitMs = 100;
// While a module stays silent, the handshake is sent again this often. Restarting on every
// quiet read instead would flood the module with requests and, on a serial link whose
// framing reports every frame byte as not-ready, reset the machine between the two answers
// it needs, so it could never complete.
constexpr uint64_t kSyncRetryMs = 1000;
constexpr int kSyncRequests = 6;  // AD 00 requests per handshake
constexpr size_t kPoolBufferSize = 4096;
// A batch grows while it holds at most this much, so one more packet always fits.
constexpr size_t kPoolLimit = kPoolBufferSize - (2 + aPACKET_MAX_DATA);
constexpr int kResetAttempts = 20;
constexpr uint64_t kResetPauseMs = 100;
constexpr uint64_t kModuleQueryMs = 1000;
constexpr uint32_t kCallerStreamId = 0xFFFFFFFF;  // identifier of links over a caller's stream

// Serial speeds by baud index of the serial stream.
constexpr uint32_t kBaudRates[aSTREAMSERIAL_BAUD_COUNT] = {2400,  4800,  9600,   19200,
                                                           38400, 57600, 115200, 230400};

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// Process-wide sequence number that tells apart client links to the same server.
std::atomic<uint32_t> sClientSequence{0};

bool sAcceptAll(const aPacket*, void*) {
    return true;
}

aErr sQueue(aPacketFifoHandle fifo, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t kNoData[1] = {0};  // AD 00 has no data, but the create wants a buffer
    PacketPtr packet(aPacket_CreateWithData(address, length, data != nullptr ? data : kNoData));
    if (!packet) {
        return aErrMemory;
    }
    return aPacketFifo_Put(fifo, packet.get());
}

aErr sQueueRouteSwitch(aLink& link, uint8_t value) {
    return sQueue(link.outbound, cmdFORCEROUTE, 1, &value);
}

aErr sWritePacket(aLink& link, const aPacket& packet) {
    aPacketDebug_Record(link, aPacketLogSent, packet);
    return aStream_Write(link.stream, &packet.address, 2u + packet.dataSize);
}

// ---- Reader thread -----------------------------------------------------------------

void sRestartSync(aLink& link) {
    link.status = linkStatusSyncing;
    link.syncState = kSyncStateStart;
    link.lastSyncRestartMs = aTime_GetMSTicks();
    aPacket_Reset(link.receive);
    aErr queued = aErrNone;
    for (int i = 0; i < kSyncRequests; ++i) {
        queued = sQueue(link.outbound, aLINK_ADDRESS_QUERY, 0, nullptr);
    }
    if (queued == aErrNone) {
        link.syncState = kSyncStateByte1;
    }
}

// The link is synchronised after two empty packets from the same even address, the
// module's answers to AD 00.
void sSyncStep(aLink& link, uint8_t byte) {
    switch (link.syncState) {
        case kSyncStateByte1:
            if (byte == 0 || (byte & 1) != 0) {
                sRestartSync(link);
                return;
            }
            link.syncAddress = byte;
            link.syncState = kSyncStateByte2;
            return;
        case kSyncStateByte2:
            link.syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
            return;
        case kSyncStateByte3:
            link.syncState = byte == link.syncAddress ? kSyncStateByte4 : kSyncStateStart;
            return;
        case kSyncStateByte4:
            if (byte != 0) {
                link.syncState = kSyncStateStart;
                return;
            }
            link.syncState = kSyncStateSynchronised;
            link.status = linkStatusRunning;
            return;
        default:
            sRestartSync(link);
            return;
    }
}

// Nothing to read: a link in error starts the handshake, a syncing one repeats it now and
// then (and at once when the handshake was asked for from outside).
void sOnQuiet(aLink& link) {
    const linkStatus status = link.status;
    const bool retryDue = aTime_GetMSTicks() - link.lastSyncRestartMs >= kSyncRetryMs;
    if (status == linkStatusIOError ||
        (status == linkStatusSyncing && (link.syncState == kSyncStateSynchronised || retryDue))) {
        sRestartSync(link);
    }
}

// A heartbeat is answered here and never queued, so waiting callers are not woken by it.
aErr sHandlePacket(aLink& link, const aPacket& packet) {
    aPacketDebug_Record(link, aPacketLogReceived, packet);
    {
        std::lock_guard lock(link.filterLock);
        if (link.userFilter != nullptr && link.userFilter(&packet, link.userFilterRef)) {
            return aErrNone;
        }
    }
    if (packet.dataSize == 2 && packet.data[0] == 0) {
        const uint8_t reply[2] = {0, static_cast<uint8_t>(packet.data[1] + 2)};
        return sQueue(link.outbound, packet.address, 2, reply);
    }
    return aPacketFifo_Put(link.inbound, &packet);
}

void sReceiveByte(aLink& link, uint8_t byte) {
    aPacket& packet = *link.receive;
    if (aPacket_AddByte(&packet, byte) != aErrNone || (packet.address & 1) != 0) {
        // A bad length, an over-long packet or an odd address: out of sync. Packets
        // already queued stay; only the one being assembled is lost.
        sRestartSync(link);
        return;
    }
    if (aPacket_IsComplete(&packet)) {
        if (sHandlePacket(link, packet) != aErrNone) {
            link.status = linkStatusQueueError;
        }
        aPacket_Reset(&packet);
    }
}

void sReaderThread(void* ref) {
    aLink& link = *static_cast<aLink*>(ref);
    link.syncAddress = 1;
    link.syncState = kSyncStateSynchronised;
    link.status = linkStatusRunning;
    link.readerStarted = true;
    while (link.running) {
        uint8_t byte = 0;
        const aErr read = aStream_Read(link.stream, &byte, 1);
        if (read == aErrNotReady) {
            sOnQuiet(link);
        } else if (read != aErrNone) {
            link.status = linkStatusIOError;
            aTime_MSSleep(kIOErrorPauseMs);
        } else if (link.status == linkStatusSyncing) {
            sSyncStep(link, byte);
        } else {
            sReceiveByte(link, byte);
        }
    }
}

// ---- Writer thread -----------------------------------------------------------------

// Sends first and, in pooled mode, every further packet already queued, in one write of
// at most kPoolBufferSize bytes.
void sWriteBatch(aLink& link, const aPacket& first) {
    if (!link.pooled) {
        sWritePacket(link, first);
        return;
    }
    aPacketDebug_Record(link, aPacketLogSent, first);
    uint8_t batch[kPoolBufferSize];
    size_t length = 0;
    const auto append = [&](const aPacket& packet) {
        std::memcpy(batch + length, &packet.address, 2u + packet.dataSize);
        length += 2u + packet.dataSize;
    };
    append(first);
    while (length <= kPoolLimit) {
        PacketPtr next(aPacketFifo_Get(link.outbound));
        if (!next) {
            break;
        }
        append(*next);
    }
    aStream_Write(link.stream, batch, length);
}

void sWriterThread(void* ref) {
    aLink& link = *static_cast<aLink*>(ref);
    link.writerStarted = true;
    while (link.running) {
        PacketPtr packet(aPacketFifo_Await(link.outbound, kWriterWaitMs));
        if (packet) {
            sWriteBatch(link, *packet);
        }
    }
    // What is still queued (the closing route switch among it) goes out one packet per
    // write. A transport that fails a write is gone: the rest is dropped rather than
    // retried against it packet by packet, which could hold the stop for minutes.
    while (PacketPtr packet{aPacketFifo_Get(link.outbound)}) {
        if (sWritePacket(link, *packet) != aErrNone) {
            break;
        }
    }
}

// ---- Lifecycle (all under the link's control lock) ---------------------------------

// Releases the queues and the stream, leaving the link invalid; the threads must be
// stopped. Returns the result of releasing the outbound queue.
aErr sReleaseTransport(aLink& link) {
    aPacketFifoHandle inbound = link.inbound.exchange(0);
    aPacketFifoHandle outbound = link.outbound.exchange(0);
    if (inbound != 0) {
        aPacketFifo_Destroy(&inbound);
    }
    const aErr result = outbound != 0 ? aPacketFifo_Destroy(&outbound) : aErrNone;
    if (link.stream != nullptr) {
        aStream_Destroy(&link.stream);
    }
    link.status = linkStatusInvalid;
    return result;
}

// Sets the link up over stream, which it owns from here on, keeping the user's options
// (filter, pooled mode, capture) of an earlier set-up. False when memory is exhausted.
bool sInit(aLink& link, aLinkHandle handle, aStream* stream) {
    sReleaseTransport(link);
    link.stream = stream;
    link.handle = handle;
    link.inbound = aPacketFifo_Create();
    link.outbound = aPacketFifo_Create();
    if (link.receive == nullptr) {
        link.receive = aPacket_Create();
    }
    aPacket_Reset(link.receive);
    link.syncState = kSyncStateSynchronised;
    link.readerStarted = false;
    link.writerStarted = false;
    link.status = stream != nullptr ? linkStatusStopped : linkStatusInvalid;
    link.check = aLINK_CHECK;
    return link.inbound != 0 && link.outbound != 0 && link.receive != nullptr;
}

aErr sStart(aLink& link) {
    if (link.running) {
        return aErrNone;
    }
    if (link.stream == nullptr) {
        return aErrConnection;
    }
    link.running = true;
    link.status = linkStatusStarting;
    link.readerStarted = false;
    link.writerStarted = false;
    link.reader = aThread_Create(sReaderThread, &link);
    link.writer = link.reader != nullptr ? aThread_Create(sWriterThread, &link) : nullptr;
    if (link.writer == nullptr) {
        link.running = false;
        if (link.reader != nullptr) {
            aThread_Destroy(&link.reader);
        }
        link.status = linkStatusStopped;
        return aErrResource;
    }
    // The reader reports running before it raises its flag.
    int polls = 0;
    while (!(link.readerStarted && link.writerStarted) && polls++ < kStartPolls) {
        aTime_MSSleep(kPollMs);
    }
    if (!(link.readerStarted && link.writerStarted)) {
        return aErrIndexRange;
    }
    return sQueueRouteSwitch(link, 1);
}

aErr sStop(aLink& link) {
    const linkStatus status = link.status;
    if (status == linkStatusStopping || status == linkStatusStopped || link.reader == nullptr) {
        return aErrNone;
    }
    link.status = linkStatusStopping;
    aErr result = sQueueRouteSwitch(link, 0);
    link.running = false;
    if (aThread_Destroy(&link.reader) != 0) {
        result = aErrUnknown;
    }
    if (aThread_Destroy(&link.writer) != 0) {
        result = aErrUnknown;
    }
    link.readerStarted = false;
    link.writerStarted = false;
    aPacket_Reset(link.receive);
    link.status = linkStatusStopped;
    return result;
}

// Stops and releases everything the extracted entry owns, then its paired link.
aErr sTeardown(aLinkEntry& entry) {
    aLink& link = entry.link;
    aErr result;
    {
        std::lock_guard control(link.control);
        {
            std::lock_guard filter(link.filterLock);
            link.userFilter = nullptr;
        }
        sStop(link);
        if (entry.server != nullptr && entry.serverDestroy != nullptr) {
            entry.serverDestroy(&entry.server);
        }
        result = sReleaseTransport(link);
        aPacket_Destroy(&link.receive);
        aPacketDebug_Release(link);
        link.check = 0;
    }
    // Outside this link's lock: the paired link is torn down with its own.
    aLinkHandle paired = entry.paired;
    if (paired != 0) {
        aLink_Destroy(&paired);
    }
    return result;
}

// Opens the stream of a link by its type and identifiers; aErrParam for the types whose
// stream cannot be made from them (serial ports, caller's streams).
aErr sOpenStream(linkType type, uint32_t id1, uint32_t id2, uint32_t id3, aStream** stream) {
    switch (type) {
        case USB:
            return aStream_CreateUSB(id1, stream);
        case TCPIP:
            return aStream_CreateSocket(id2, static_cast<uint16_t>(id3), stream);
        case AWEAVE:
        case AWEAVE_USB:
        case AWEAVE_TCPIP:
        case AWEAVE_SERIAL:
            return aStream_CreateClient != nullptr
                       ? aStream_CreateClient(id1, static_cast<uint16_t>(id2), stream)
                       : aErrUnimplemented;
        default:
            return aErrParam;
    }
}

using StreamOpener = std::function<aErr(aStream**)>;

// Registers a link, opens its stream, starts it (and synchronises it when asked); the new
// handle with use count 1, or 0 with nothing left behind.
aLinkHandle sCreate(linkType type, uint32_t id1, uint32_t id2, uint32_t id3,
                    const StreamOpener& open, bool synchronise) {
    const aLinkEntryRef entry = aLinkManager_Register(type, id1, id2, id3);
    if (!entry) {
        return 0;
    }
    const aLinkHandle handle = entry->handle;
    aStream* stream = nullptr;
    bool ok = open(&stream) == aErrNone;
    if (ok) {
        std::lock_guard control(entry->link.control);
        ok = sInit(entry->link, handle, stream) && sStart(entry->link) == aErrNone;
    }
    ok = ok && (!synchronise || aLink_Sync(handle) == aErrNone);
    if (!ok) {
        if (aLinkEntryRef removed = aLinkManager_Remove(handle)) {
            sTeardown(*removed);
        }
        return 0;
    }
    aLinkManager_Retain(handle);
    return handle;
}

aLinkHandle sCreateByType(linkType type, uint32_t id1, uint32_t id2, uint32_t id3,
                          bool synchronise) {
    return sCreate(
        type, id1, id2, id3,
        [&](aStream** stream) { return sOpenStream(type, id1, id2, id3, stream); }, synchronise);
}

}  // namespace

// ---- Creating and sharing ----------------------------------------------------------

aLinkHandle aLink_CreateUSB(uint32_t serialNumber) {
    bool served = false;
    if (const aLinkEntryRef existing = aLinkManager_RetainDirect(serialNumber, USB, &served)) {
        return existing->handle;
    }
    if (served) {
        return 0;  // a sharing server stands in front of it: connect as its client
    }
    return sCreateByType(USB, serialNumber, 0, 0, true);
}

aLinkHandle aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
    bool served = false;
    if (const aLinkEntryRef existing = aLinkManager_RetainDirect(serialNumber, TCPIP, &served)) {
        return existing->handle;
    }
    if (served) {
        return 0;  // a sharing server stands in front of it: connect as its client
    }
    return sCreateByType(TCPIP, serialNumber, address, port, false);
}

aLinkHandle aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
    if (const aLinkEntryRef existing = aLinkManager_RetainDirect(serialNumber, SERIAL, nullptr)) {
        return existing->handle;
    }
    const uint32_t* baud = std::find(std::begin(kBaudRates), std::end(kBaudRates), baudRate);
    if (portName == nullptr || baud == std::end(kBaudRates)) {
        return 0;
    }
    const auto baudIndex = static_cast<uint32_t>(baud - std::begin(kBaudRates));
    return sCreate(
        SERIAL, serialNumber, 0, 0,
        [&](aStream** stream) {
            return aStream_CreateSerial_Packetized(portName, baudIndex, false, 0, 0, stream);
        },
        false);
}

aLinkHandle aLink_CreateClient(uint32_t address, uint16_t port, aLinkHandle existing) {
    if (existing != 0) {
        const aLinkEntryRef entry = aLinkManager_Retain(existing);
        return entry ? entry->handle : 0;
    }
    return sCreateByType(AWEAVE, address, port, sClientSequence++, false);
}

aLinkHandle aLink_Create(aStream* stream) {
    return sCreate(
        linkTypeNone, kCallerStreamId, 0, 0,
        [&](aStream** opened) {
            *opened = stream;
            return stream != nullptr ? aErrNone : aErrParam;
        },
        false);
}

aErr aLink_Destroy(aLinkHandle* handle) {
    if (handle == nullptr) {
        return aErrParam;
    }
    bool found = false;
    const aLinkEntryRef last = aLinkManager_Release(*handle, &found);
    *handle = 0;
    if (!found) {
        return aErrParam;
    }
    return last ? sTeardown(*last) : aErrNone;
}

// ---- Running -----------------------------------------------------------------------

aLinkHandle aLink_Init(aLinkHandle handle, aStream* stream) {
    const aLinkEntryRef entry = aLinkManager_Find(handle);
    if (!entry) {
        return 0;
    }
    std::lock_guard control(entry->link.control);
    if (entry->link.running) {
        return 0;
    }
    return sInit(entry->link, handle, stream) ? handle : 0;
}

aErr aLink_Start(aLinkHandle handle) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return aErrParam;
    }
    std::lock_guard control(entry->link.control);
    return sStart(entry->link);
}

aErr aLink_Stop(aLink* link) {
    if (link == nullptr || link->check != aLINK_CHECK) {
        return aErrParam;
    }
    std::lock_guard control(link->control);
    return sStop(*link);
}

aErr aLink_Sync(aLinkHandle handle) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return aErrParam;
    }
    aLink& link = entry->link;
    link.status = linkStatusSyncing;
    for (int polls = 0; link.status != linkStatusRunning && polls < kSyncPolls; ++polls) {
        aTime_MSSleep(kPollMs);
    }
    const bool synchronised = link.status == linkStatusRunning;
    // The remaining requests are not needed any more, and their answers are no news.
    aPacketFifo_DrainPackets(link.outbound, sAcceptAll, nullptr);
    aTime_MSSleep(kSyncSettleMs);
    aPacketFifo_DrainPackets(link.inbound, sAcceptAll, nullptr);
    return synchronised ? aErrNone : aErrNotReady;
}

aErr aLink_Reset(aLinkHandle handle) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return aErrParam;
    }
    aLink& link = entry->link;
    std::lock_guard control(link.control);
    sStop(link);
    sReleaseTransport(link);
    const auto open = [&](aStream** stream) {
        return sOpenStream(entry->type, entry->id1, entry->id2, entry->id3, stream);
    };
    aStream* stream = nullptr;
    aErr opened = open(&stream);
    for (int attempt = 1; opened != aErrNone && opened != aErrParam && attempt < kResetAttempts;
         ++attempt) {
        aTime_MSSleep(kResetPauseMs);
        opened = open(&stream);
    }
    if (opened == aErrNone) {
        sInit(link, handle, stream);
    }
    return sStart(link);
}

aErr aLink_ForceRoute(aLinkHandle handle, uint8_t value) {
    const aLinkEntryRef entry = aLinkManager_Find(handle);
    if (!entry) {
        return aErrNotFound;
    }
    if (entry->link.check != aLINK_CHECK) {
        return aErrParam;
    }
    return sQueueRouteSwitch(entry->link, value);
}

linkStatus aLink_GetStatus(aLinkHandle handle) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    return entry ? entry->link.status.load() : linkStatusInvalid;
}

// ---- Packets -----------------------------------------------------------------------

aErr aLink_PutPacket(aLinkHandle handle, const aPacket* packet) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    return entry ? aPacketFifo_Put(entry->link.outbound, packet) : aErrParam;
}

aPacket* aLink_GetPacket(aLinkHandle handle) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    return entry ? aPacketFifo_Get(entry->link.inbound) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkHandle handle, uint64_t milliseconds) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    return entry ? aPacketFifo_Await(entry->link.inbound, milliseconds) : nullptr;
}

aPacket* aLink_GetFirst(aLinkHandle handle, aPacketFilter filter, void* ref) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    return entry ? aPacketFifo_GetFirst(entry->link.inbound, filter, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkHandle handle, aPacketFilter filter, void* ref,
                          uint64_t milliseconds) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return nullptr;
    }
    const aLink& link = entry->link;
    const uint64_t start = aTime_GetMSTicks();
    const uint64_t deadline = start + std::min(milliseconds, UINT64_MAX - start);
    // Waits in short slices so that a stop or a resynchronisation ends the wait; the
    // queue is looked at once even with no time to wait.
    aPacket* found = nullptr;
    for (uint64_t now = aTime_GetMSTicks();
         found == nullptr && link.running && link.status == linkStatusRunning;
         now = aTime_GetMSTicks()) {
        const uint64_t left = deadline > now ? deadline - now : 0;
        found = aPacketFifo_AwaitFirst(link.inbound, filter, ref, std::min(left, kPollMs));
        if (left == 0) {
            break;
        }
    }
    return found;
}

size_t aLink_DrainPackets(aLinkHandle handle, aPacketFilter filter, void* ref) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    return entry ? aPacketFifo_DrainPackets(entry->link.inbound, filter, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkHandle handle, aPacketFilter filter, void* ref) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return aErrParam;
    }
    std::lock_guard lock(entry->link.filterLock);
    entry->link.userFilter = filter;
    entry->link.userFilterRef = ref;
    return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkHandle handle, bool enable) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return aErrParam;
    }
    entry->link.pooled = enable;
    return aErrNone;
}

// ---- Module information ------------------------------------------------------------

aErr _aLink_GetModuleAddress(aLinkHandle handle, uint8_t* address) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry || address == nullptr) {
        return aErrParam;
    }
    const aErr queued = sQueue(entry->link.outbound, aLINK_ADDRESS_QUERY, 0, nullptr);
    if (queued != aErrNone) {
        return queued;
    }
    const PacketPtr reply(aLink_AwaitPacket(handle, kModuleQueryMs));
    if (!reply) {
        return aErrTimeout;
    }
    if (reply->dataSize != 0 || reply->address == 0) {
        return aErrIO;
    }
    *address = reply->address;
    return aErrNone;
}

aErr _aLink_GetModel(aLinkHandle handle, uint8_t module, uint8_t* model) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry || model == nullptr) {
        return aErrParam;
    }
    // System entity (command 3), get of option 8 (the model), index 0.
    const uint8_t request[3] = {3, 0x48, 0x20};
    const aErr queued = sQueue(entry->link.outbound, module, sizeof request, request);
    if (queued != aErrNone) {
        return queued;
    }
    const PacketPtr reply(aLink_AwaitPacket(handle, kModuleQueryMs));
    if (!reply) {
        return aErrTimeout;
    }
    if (reply->address != module || reply->dataSize != 4 || reply->data[0] != 3) {
        return aErrIO;
    }
    *model = reply->data[3];
    return aErrNone;
}
