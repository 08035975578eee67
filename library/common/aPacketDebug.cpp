#include "aPacketDebug.h"

#include <new>
#include <vector>

#include "aLinkManagerInternal.h"

namespace {

constexpr uint32_t kRingCheck = 0x10C5;

}  // namespace

// Records are stored circularly as type, length, bytes. The ring never fills completely,
// so read == write always means empty.
struct aPacketLog {
    uint32_t check = kRingCheck;
    bool enabled = false;
    std::vector<uint8_t> storage;
    size_t read = 0;
    size_t write = 0;

    size_t used() const { return (write + storage.size() - read) % storage.size(); }
    size_t advance(size_t index, size_t by) const { return (index + by) % storage.size(); }
    uint8_t at(size_t index) const { return storage[index % storage.size()]; }
    void push(uint8_t byte) {
        storage[write] = byte;
        write = advance(write, 1);
    }
    void dropOldest() { read = advance(read, 2u + at(read + 1)); }
};

namespace {

bool sValid(const aPacketLog* ring) {
    return ring != nullptr && ring->check == kRingCheck;
}

}  // namespace

aPacketLog* aPacketLog_Create(size_t size) {
    if (size == 0) {
        return nullptr;
    }
    auto* ring = new (std::nothrow) aPacketLog;
    if (ring == nullptr) {
        return nullptr;
    }
    try {
        ring->storage.resize(size);
    } catch (const std::bad_alloc&) {
        delete ring;
        return nullptr;
    }
    return ring;
}

aErr aPacketLog_Put(aPacketLog* ring, uint8_t type, size_t length, const uint8_t* bytes) {
    if (!sValid(ring) || (bytes == nullptr && length != 0)) {
        return aErrParam;
    }
    if (length > aPACKETLOG_MAX_RECORD) {
        return aErrSize;
    }
    const size_t needed = length + 2;
    if (needed >= ring->storage.size()) {
        return aErrOverrun;
    }
    while (ring->storage.size() - ring->used() <= needed) {
        ring->dropOldest();
    }
    ring->push(type);
    ring->push(static_cast<uint8_t>(length));
    for (size_t i = 0; i < length; ++i) {
        ring->push(bytes[i]);
    }
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* ring, uint8_t* type, size_t* length, uint8_t* buffer) {
    if (!sValid(ring) || type == nullptr || length == nullptr || buffer == nullptr) {
        return aErrParam;
    }
    if (ring->read == ring->write) {
        return aErrNotFound;
    }
    const size_t capacity = *length;
    *type = ring->at(ring->read);
    *length = ring->at(ring->read + 1);
    if (capacity < *length) {
        return aErrOverrun;
    }
    for (size_t i = 0; i < *length; ++i) {
        buffer[i] = ring->at(ring->read + 2 + i);
    }
    ring->dropOldest();
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** ring) {
    if (ring == nullptr || !sValid(*ring)) {
        return aErrParam;
    }
    (*ring)->check = 0;
    delete *ring;
    *ring = nullptr;
    return aErrNone;
}

// ---- Capture on a link -------------------------------------------------------------

void aPacketDebug_Record(aLink& link, aPacketLogType type, const aPacket& packet) {
    if (link.packetLog.load() == nullptr) {
        return;
    }
    std::lock_guard lock(link.logLock);
    if (aPacketLog* ring = link.packetLog.load()) {
        aPacketLog_Put(ring, type, 2u + packet.dataSize, &packet.address);
    }
}

void aPacketDebug_Release(aLink& link) {
    std::lock_guard lock(link.logLock);
    aPacketLog* ring = link.packetLog.exchange(nullptr);
    if (ring != nullptr) {
        aPacketLog_Destroy(&ring);
    }
}

aErr aLink_PacketDebug_SetLogSize(aLinkHandle handle, int64_t bytes) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry || bytes > aPACKETLOG_MAX_SIZE) {
        return aErrParam;
    }
    std::lock_guard lock(entry->link.logLock);
    if (entry->link.packetLog.load() != nullptr) {
        return aErrBusy;
    }
    entry->link.packetLogSize = bytes < 0 ? 0 : bytes;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkHandle handle) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return aErrParam;
    }
    aLink& link = entry->link;
    std::lock_guard lock(link.logLock);
    aPacketLog* ring = link.packetLog.load();
    if (ring == nullptr) {
        const int64_t size = link.packetLogSize;
        ring = aPacketLog_Create(size == 0 ? aPACKETLOG_DEFAULT_SIZE : static_cast<size_t>(size));
        if (ring == nullptr) {
            return aErrResource;
        }
        link.packetLog = ring;
    }
    ring->enabled = true;
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(aLinkHandle handle) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return aErrParam;
    }
    std::lock_guard lock(entry->link.logLock);
    aPacketLog* ring = entry->link.packetLog.load();
    if (ring == nullptr) {
        return aErrNotReady;
    }
    ring->enabled = false;
    return aErrNone;
}

aErr aLink_PacketDebug_Read(aLinkHandle handle, uint8_t* type, size_t* length, uint8_t* buffer) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return aErrParam;
    }
    std::lock_guard lock(entry->link.logLock);
    aPacketLog* ring = entry->link.packetLog.load();
    return ring != nullptr ? aPacketLog_Get(ring, type, length, buffer) : aErrNotReady;
}

aErr aLink_PacketDebug_Write(aLinkHandle handle, uint8_t type, size_t length,
                             const uint8_t* bytes) {
    const aLinkEntryRef entry = aLinkManager_FindLive(handle);
    if (!entry) {
        return aErrParam;
    }
    std::lock_guard lock(entry->link.logLock);
    aPacketLog* ring = entry->link.packetLog.load();
    return ring != nullptr ? aPacketLog_Put(ring, type, length, bytes) : aErrNotReady;
}
