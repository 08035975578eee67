// The tool's local store: one directory per device under a base directory, named by
// the device's serial number ("%08X"), holding downloaded BIRD images ("BUILD.bird")
// and a ".settings" file that records what was downloaded and transferred and when.
#ifndef KESTRIX_UPDATERSTORE_H
#define KESTRIX_UPDATERSTORE_H

#include <cstddef>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t {
    STORE_ITEM_FILE = 0,       // a regular file (or anything but a directory)
    STORE_ITEM_DIRECTORY = 1,  // a device directory
    STORE_ITEM_NONE = 2,       // not filled in
};

// One entry of the store (a device directory, or a file inside one) with the
// settings loaded from directory/name/.settings. Items are plain values.
class UpdaterStoreItem {
  public:
    // An empty item: no directory or name, kind STORE_ITEM_NONE, unbound settings.
    UpdaterStoreItem();
    // Loads (or first creates) directory/name/.settings into `settings`.
    UpdaterStoreItem(const char* directory, const char* name, store_item_t kind);

    // True when both directory and name are set.
    bool IsValid() const;

    // Writes `length` bytes to directory/name/fileName, replacing any earlier file as a
    // whole (a failed write never leaves a partial image under that name).
    // aErrNotFound for null data, an empty item or a file that cannot be created;
    // aErrIO when writing fails; aErrNone on success.
    aErr WriteFile(const char* fileName, const unsigned char* data, size_t length);

    // Loads directory/name/fileName. Throws std::runtime_error("Invalid bird " + path)
    // when its header does not verify, or "Failed to load bird data" when it does not load.
    BirdFile ReadBirdFile(const char* fileName) const;

    // True when directory/name holds an entry whose name contains `fileName`.
    bool FileExists(const char* fileName) const;

    std::string directory;
    std::string name;
    store_item_t kind = STORE_ITEM_NONE;
    KeyValueStore settings;
};

class UpdaterStore {
  public:
    // Settings keys of a device directory (see also KeyValueStore's time stamp keys).
    static constexpr const char* KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";        // "BUILD.bird"
    static constexpr const char* KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";  // time stamp
    static constexpr const char* KEY_LATEST_TRANSFER = "LATEST_TRANSFER";  // "BUILD.bird" or path
    static constexpr const char* KEY_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";  // time stamp

    // Binds the store to `path` and makes sure that directory exists (mode 0755).
    // Throws std::runtime_error when it cannot be created or is not a directory.
    explicit UpdaterStore(const char* path);

    const char* BasePath() const;

    // Makes sure the device directory exists and returns its item (settings loaded,
    // created on first use). Throws std::runtime_error like the constructor.
    UpdaterStoreItem AddDevice(unsigned serial);
    UpdaterStoreItem AddDevice(const char* name);

    // True when the base directory holds an entry whose name contains `name`; fills
    // `*item` with the first such entry when `item` is not null.
    bool FindDevice(const char* name, UpdaterStoreItem* item);
    bool FindDevice(unsigned serial, UpdaterStoreItem* item);

    // Appends one item for every entry of the device's directory whose name does not
    // start with ".", in listing order; leaves `items` alone for an unknown device.
    // Always true.
    bool FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items);

  private:
    std::string basePath;
};

#endif
