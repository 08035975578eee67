#include "UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "AtomicWrite.h"
#include "Log.h"
#include "aDirectory.h"

namespace {

constexpr unsigned kLogPackage = kLogUpdater;
constexpr uint16_t kDirectoryMode = 0755;

std::string SerialText(unsigned serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// The entry's name: the part of its full path after the last separator.
const char* EntryName(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool IsDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Creates `path` (with its ancestors) unless it already is a directory.
void EnsureDirectory(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) {
            throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
        }
        Log::log(kLogPackage, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    const aErr err = aDirectory_Ensure(path.c_str(), kDirectoryMode);
    if (err != aErrNone) {
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(int(err)));
    }
    Log::log(kLogPackage, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// The search state of one directory walk for an entry.
struct result_t {
    bool found = false;
    const char* name = nullptr;
    UpdaterStoreItem* item = nullptr;
};

// Matches the searched text against the entry's own name only: its full path would
// also contain the store's location, which may hold the same characters.
bool _find_item(const aDirectoryListData* entry, void* ref) {
    result_t* result = static_cast<result_t*>(ref);
    Log::log(kLogPackage, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             entry->isDirectory, entry->size, result->name);
    const char* name = EntryName(entry->path);
    if (IsDotEntry(name) || !strstr(name, result->name)) {
        return true;
    }
    result->found = true;
    if (result->item) {
        const std::string directory(entry->path, name == entry->path ? name : name - 1);
        *result->item = UpdaterStoreItem(
            directory.c_str(), name, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

bool FindEntry(const std::string& directory, const char* name, UpdaterStoreItem* item) {
    result_t result;
    result.name = name ? name : "";
    result.item = item;
    aDirectory_List(directory.c_str(), _find_item, &result);
    Log::log(kLogPackage, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
             result.name);
    return result.found;
}

struct ListState {
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* ref) {
    ListState* state = static_cast<ListState*>(ref);
    Log::log(kLogPackage, "%s([%s], %d, %d)\n", "_find_items", entry->path, entry->isDirectory,
             entry->size);
    const char* name = EntryName(entry->path);
    if (name[0] != '.') {
        state->items->emplace_back(state->directory.c_str(), name,
                                   entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return true;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const char* itemDirectory, const char* itemName,
                                   store_item_t itemKind)
    : directory(itemDirectory ? itemDirectory : ""),
      name(itemName ? itemName : ""),
      kind(itemKind) {
    settings.Load(
        BuildPath(directory.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr)
            .c_str());
}

bool UpdaterStoreItem::IsValid() const {
    return !directory.empty() && !name.empty();
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* data, size_t length) {
    // An empty item has no directory of its own; its path would point at the root.
    if (!data || !fileName || !IsValid()) {
        return aErrNotFound;
    }
    // The image goes in under a temporary name and is renamed into place, so an
    // interrupted download never leaves a truncated BUILD.bird behind.
    return AtomicWrite(BuildPath(directory.c_str(), name.c_str(), fileName, nullptr), data, length);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) const {
    const std::string path =
        BuildPath(directory.c_str(), name.c_str(), fileName ? fileName : "", nullptr);
    if (!BirdFile::VerifyFile(path.c_str())) {
        throw std::runtime_error("Invalid bird " + path);
    }
    return BirdFile(path.c_str());
}

bool UpdaterStoreItem::FileExists(const char* fileName) const {
    return FindEntry(BuildPath(directory.c_str(), name.c_str(), nullptr), fileName, nullptr);
}

UpdaterStore::UpdaterStore(const char* path) : basePath(path ? path : "") {
    EnsureDirectory(basePath);
}

const char* UpdaterStore::BasePath() const {
    return basePath.c_str();
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned serial) {
    return AddDevice(SerialText(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    EnsureDirectory(BuildPath(basePath.c_str(), name, nullptr));
    return UpdaterStoreItem(basePath.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
    return FindEntry(basePath, name, item);
}

bool UpdaterStore::FindDevice(unsigned serial, UpdaterStoreItem* item) {
    return FindDevice(SerialText(serial).c_str(), item);
}

bool UpdaterStore::FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem device;
    if (FindDevice(serial, &device)) {
        ListState state{BuildPath(device.directory.c_str(), device.name.c_str(), nullptr), &items};
        aDirectory_List(state.directory.c_str(), _find_items, &state);
    }
    return true;
}
