#include "aLinkManagerInternal.h"

#include <forward_list>
#include <new>

namespace {

// The process-wide registry: entries newest first, every field guarded by mutex
// ("aLink_Managed"). Never destroyed, so links stay reachable from threads still running
// at process exit.
struct Registry {
    std::mutex mutex;
    std::forward_list<aLinkEntryRef> entries;
    aLinkHandle lastHandle = 0;
};

Registry& sRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

template <typename Match>
aLinkEntryRef sFindLocked(Registry& registry, Match match) {
    for (const aLinkEntryRef& entry : registry.entries) {
        if (match(*entry)) {
            return entry;
        }
    }
    return nullptr;
}

aLinkEntryRef sFindHandleLocked(Registry& registry, aLinkHandle handle) {
    return sFindLocked(registry, [&](const aLinkEntry& entry) { return entry.handle == handle; });
}

aLinkEntryRef sExtractLocked(Registry& registry, aLinkHandle handle) {
    aLinkEntryRef extracted;
    registry.entries.remove_if([&](const aLinkEntryRef& entry) {
        if (entry->handle != handle) {
            return false;
        }
        extracted = entry;
        return true;
    });
    return extracted;
}

}  // namespace

aLinkEntryRef aLinkManager_Register(linkType type, uint32_t id1, uint32_t id2, uint32_t id3) {
    auto entry = std::shared_ptr<aLinkEntry>(new (std::nothrow) aLinkEntry);
    if (!entry) {
        return nullptr;
    }
    entry->type = type;
    entry->id1 = id1;
    entry->id2 = id2;
    entry->id3 = id3;
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    entry->handle = ++registry.lastHandle;
    registry.entries.push_front(entry);
    return entry;
}

aLinkEntryRef aLinkManager_Find(aLinkHandle handle) {
    if (handle == 0) {
        return nullptr;
    }
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    return sFindHandleLocked(registry, handle);
}

aLinkEntryRef aLinkManager_FindLive(aLinkHandle handle) {
    aLinkEntryRef entry = aLinkManager_Find(handle);
    return entry && entry->link.check == aLINK_CHECK ? entry : nullptr;
}

aLinkEntryRef aLinkManager_RetainDirect(uint32_t id1, linkType type, bool* served) {
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    aLinkEntryRef entry = sFindLocked(
        registry, [&](const aLinkEntry& entry) { return entry.id1 == id1 && entry.type == type; });
    if (!entry) {
        return nullptr;
    }
    if (served != nullptr && entry->server != nullptr) {
        *served = true;
        return nullptr;
    }
    ++entry->useCount;
    return entry;
}

aLinkEntryRef aLinkManager_FindClient(uint32_t id1, uint32_t id2, uint32_t id3) {
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    return sFindLocked(registry, [&](const aLinkEntry& entry) {
        return entry.type == AWEAVE && entry.id1 == id1 && entry.id2 == id2 && entry.id3 == id3;
    });
}

aLinkEntryRef aLinkManager_Retain(aLinkHandle handle) {
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    aLinkEntryRef entry = sFindHandleLocked(registry, handle);
    if (entry) {
        ++entry->useCount;
    }
    return entry;
}

aLinkEntryRef aLinkManager_Release(aLinkHandle handle, bool* found) {
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    aLinkEntryRef entry = sFindHandleLocked(registry, handle);
    *found = entry != nullptr;
    if (!entry || --entry->useCount > 0) {
        return nullptr;
    }
    // Extracting in the same step as the last release keeps a concurrent create from
    // picking up a link that is about to be torn down.
    return sExtractLocked(registry, handle);
}

aLinkEntryRef aLinkManager_Remove(aLinkHandle handle) {
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    return sExtractLocked(registry, handle);
}

int aLinkManager_UseCount(aLinkHandle handle) {
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    aLinkEntryRef entry = sFindHandleLocked(registry, handle);
    return entry ? entry->useCount : -1;
}

aErr aLinkManager_SetServer(aLinkHandle handle, aServer* server, aServerDestroyProc destroy) {
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    aLinkEntryRef entry = sFindHandleLocked(registry, handle);
    if (!entry) {
        return aErrParam;
    }
    entry->server = server;
    entry->serverDestroy = destroy;
    return aErrNone;
}

aErr aLinkManager_SetPairedLink(aLinkHandle handle, aLinkHandle paired) {
    Registry& registry = sRegistry();
    std::lock_guard lock(registry.mutex);
    aLinkEntryRef entry = sFindHandleLocked(registry, handle);
    if (!entry) {
        return aErrParam;
    }
    entry->paired = paired;
    return aErrNone;
}
