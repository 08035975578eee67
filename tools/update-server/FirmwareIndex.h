// The firmware images of the served root directory: one folder per device serial number
// ("%08X") holding BIRD files. An image's build number and version come from its info
// block, so file names are only a convention (BUILD.bird).
#ifndef KESTRIX_UPDATE_SERVER_FIRMWAREINDEX_H
#define KESTRIX_UPDATE_SERVER_FIRMWAREINDEX_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct FirmwareImage {
    unsigned build = 0;
    std::string version;
    std::filesystem::path path;
};

class FirmwareIndex {
  public:
    using Warn = std::function<void(const std::string&)>;

    // warn receives one line about each image that cannot be served (unreadable, no
    // build number, a build number another file already has).
    FirmwareIndex(std::filesystem::path root, Warn warn);

    // The images now in the device's folder, by build number; empty when it has none.
    // Images are read once and again only when their size or time stamp changes.
    // Safe to call from several threads.
    std::map<unsigned, FirmwareImage> Images(unsigned serial);

  private:
    struct CachedImage {
        std::filesystem::file_time_type modified;
        uintmax_t size = 0;
        std::optional<FirmwareImage> image;  // none: not a usable image
    };

    std::optional<FirmwareImage> Inspect(const std::filesystem::path& path, uintmax_t size,
                                         std::filesystem::file_time_type modified);
    // True the first time path is found duplicating another file's build, so every
    // request does not repeat the warning.
    bool FirstTwinSighting(const std::filesystem::path& path);

    const std::filesystem::path root;
    const Warn warn;
    std::mutex mutex;  // guards cache and warnedTwins
    std::map<std::filesystem::path, CachedImage> cache;
    std::set<std::filesystem::path> warnedTwins;
};

// The file's bytes; throws std::runtime_error when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);

#endif
