#include "packetfifo.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

// Lock order: the registry mutex is held only to look up, add or remove a handle and
// never while a queue mutex is taken; a queue mutex is innermost. Filters run under the
// queue mutex, which is released while waiting.

namespace {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

// Longer waits are cut to a century so that now + wait cannot overflow the clock.
constexpr uint64_t kLongestWaitMs = 100ull * 365 * 24 * 60 * 60 * 1000;

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

struct Entry {
    int64_t id;  // arrival sequence number, increasing along the queue
    PacketPtr packet;
};

// One queue; every member is guarded by mutex.
struct Fifo {
    std::mutex mutex;
    std::condition_variable changed;  // signalled by every kept put and by destruction
    std::deque<Entry> entries;
    bool active = true;
    int64_t nextId = 0;
    int64_t windowStart = 0;  // id of the oldest entry, nextId when empty

    void resync() { windowStart = entries.empty() ? nextId : entries.front().id; }

    void clear() {
        entries.clear();
        resync();
    }

    // Hands the queued packet itself to the caller: it is the queue's private copy.
    aPacket* take(std::deque<Entry>::iterator at) {
        aPacket* packet = at->packet.release();
        entries.erase(at);
        resync();
        return packet;
    }
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<aPacketFifoHandle, std::shared_ptr<Fifo>> fifos;
    aPacketFifoHandle lastHandle = 0;
};

// Never destroyed, so queues stay usable by threads still running at process exit.
Registry& sRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// A shared reference keeps the queue alive past a concurrent destroy.
std::shared_ptr<Fifo> sFind(aPacketFifoHandle handle) {
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    const auto found = registry.fifos.find(handle);
    return found == registry.fifos.end() ? nullptr : found->second;
}

Clock::time_point sDeadline(uint64_t milliseconds) {
    return Clock::now() + std::chrono::milliseconds(std::min(milliseconds, kLongestWaitMs));
}

// Runs body(queue, its held lock) on the live queue named by handle; fallback for an
// unknown or destroyed handle and for any failure, so nothing throws past the C API.
template <typename Result, typename Body>
Result sWith(aPacketFifoHandle handle, Result fallback, Body body) {
    try {
        const std::shared_ptr<Fifo> fifo = sFind(handle);
        if (fifo == nullptr) {
            return fallback;
        }
        Lock lock(fifo->mutex);
        return fifo->active ? body(*fifo, lock) : fallback;
    } catch (...) {
        return fallback;
    }
}

}  // namespace

aPacketFifoHandle aPacketFifo_Create(void) {
    try {
        auto fifo = std::make_shared<Fifo>();
        Registry& registry = sRegistry();
        std::lock_guard lock(registry.mutex);
        if (++registry.lastHandle == 0) {
            ++registry.lastHandle;
        }
        registry.fifos.emplace(registry.lastHandle, std::move(fifo));
        return registry.lastHandle;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoHandle* handle) {
    if (handle == nullptr) {
        return aErrParam;
    }
    const aPacketFifoHandle doomed = *handle;
    *handle = 0;
    try {
        std::shared_ptr<Fifo> fifo;
        {
            Registry& registry = sRegistry();
            std::lock_guard lock(registry.mutex);
            const auto found = registry.fifos.find(doomed);
            if (found == registry.fifos.end()) {
                return aErrNotFound;
            }
            fifo = std::move(found->second);
            registry.fifos.erase(found);
        }
        {
            std::lock_guard lock(fifo->mutex);
            fifo->clear();
            fifo->active = false;
        }
        fifo->changed.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    PacketPtr copy(aPacket_Copy(packet));
    if (copy == nullptr) {
        return aErrParam;
    }
    return sWith(handle, aErrParam, [&](Fifo& fifo, Lock& lock) {
        try {
            fifo.entries.push_back(Entry{fifo.nextId, std::move(copy)});
        } catch (const std::bad_alloc&) {
            return aErrResource;
        }
        ++fifo.nextId;
        if (fifo.entries.size() > aPACKETFIFO_MAX_ENTRIES) {
            fifo.clear();
            return aErrNone;
        }
        fifo.resync();
        lock.unlock();
        fifo.changed.notify_all();
        return aErrNone;
    });
}

aPacket* aPacketFifo_Get(aPacketFifoHandle handle) {
    return sWith<aPacket*>(handle, nullptr, [](Fifo& fifo, Lock&) {
        return fifo.entries.empty() ? nullptr : fifo.take(fifo.entries.begin());
    });
}

aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint64_t milliseconds) {
    const Clock::time_point deadline = sDeadline(milliseconds);
    return sWith<aPacket*>(handle, nullptr, [&](Fifo& fifo, Lock& lock) {
        fifo.changed.wait_until(lock, deadline,
                                [&] { return !fifo.entries.empty() || !fifo.active; });
        // A destroyed queue was emptied, so this also covers destruction.
        return fifo.entries.empty() ? nullptr : fifo.take(fifo.entries.begin());
    });
}

aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter, void* ref) {
    if (filter == nullptr) {
        return nullptr;
    }
    return sWith<aPacket*>(handle, nullptr, [&](Fifo& fifo, Lock&) -> aPacket* {
        for (auto at = fifo.entries.begin(); at != fifo.entries.end(); ++at) {
            if (filter(at->packet.get(), ref)) {
                return fifo.take(at);
            }
        }
        return nullptr;
    });
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter, void* ref,
                                uint64_t milliseconds) {
    if (filter == nullptr) {
        return nullptr;
    }
    const Clock::time_point deadline = sDeadline(milliseconds);
    return sWith<aPacket*>(handle, nullptr, [&](Fifo& fifo, Lock& lock) -> aPacket* {
        // Each wake-up offers the filter only the packets that arrived since the last
        // look, found by id: ids grow along the queue, whatever others took out.
        int64_t lastExamined = fifo.windowStart - 1;
        auto found = fifo.entries.end();
        const auto accepted = [&] {
            auto at =
                std::upper_bound(fifo.entries.begin(), fifo.entries.end(), lastExamined,
                                 [](int64_t id, const Entry& entry) { return id < entry.id; });
            for (; at != fifo.entries.end(); ++at) {
                lastExamined = at->id;
                if (filter(at->packet.get(), ref)) {
                    found = at;
                    return true;
                }
            }
            return !fifo.active;
        };
        if (!fifo.changed.wait_until(lock, deadline, accepted) || !fifo.active) {
            return nullptr;
        }
        return fifo.take(found);
    });
}

size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter, void* ref) {
    if (filter == nullptr) {
        return 0;
    }
    return sWith(handle, size_t{0}, [&](Fifo& fifo, Lock&) {
        const size_t before = fifo.entries.size();
        // Moving a survivor over a drained entry destroys the drained packet.
        fifo.entries.erase(
            std::remove_if(fifo.entries.begin(), fifo.entries.end(),
                           [&](const Entry& entry) { return filter(entry.packet.get(), ref); }),
            fifo.entries.end());
        fifo.resync();
        return before - fifo.entries.size();
    });
}

size_t aPacketFifo_GetLength(aPacketFifoHandle handle) {
    return sWith(handle, size_t{0}, [](Fifo& fifo, Lock&) { return fifo.entries.size(); });
}
