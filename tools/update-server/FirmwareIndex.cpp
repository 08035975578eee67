#include "FirmwareIndex.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "BirdFile.h"

namespace fs = std::filesystem;

FirmwareIndex::FirmwareIndex(fs::path root, Warn warn)
    : root(std::move(root)), warn(std::move(warn)) {}

std::map<unsigned, FirmwareImage> FirmwareIndex::Images(unsigned serial) {
    char folder[9];
    std::snprintf(folder, sizeof folder, "%08X", serial);
    std::map<unsigned, FirmwareImage> images;
    std::error_code error;
    fs::directory_iterator it(root / folder, error);
    // Sorted, so that of two files with one build number the same one always wins.
    std::map<fs::path, fs::directory_entry> entries;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const fs::path& path = it->path();
        std::error_code entryError;
        if (path.extension() == ".bird" && path.filename().string()[0] != '.' &&
            it->is_regular_file(entryError)) {
            entries.emplace(path, *it);
        }
    }
    for (const auto& [path, entry] : entries) {
        std::error_code entryError;
        uintmax_t size = entry.file_size(entryError);
        fs::file_time_type modified = entry.last_write_time(entryError);
        if (entryError) {
            continue;
        }
        std::optional<FirmwareImage> image = Inspect(path, size, modified);
        if (!image) {
            continue;
        }
        auto [known, added] = images.emplace(image->build, *image);
        if (!added && FirstTwinSighting(path)) {
            warn(path.string() + ": build " + std::to_string(image->build) + " is also " +
                 known->second.path.string() + "; ignored");
        }
    }
    return images;
}

bool FirmwareIndex::FirstTwinSighting(const fs::path& path) {
    std::lock_guard lock(mutex);
    return warnedTwins.insert(path).second;
}

std::optional<FirmwareImage> FirmwareIndex::Inspect(const fs::path& path, uintmax_t size,
                                                    fs::file_time_type modified) {
    {
        std::lock_guard lock(mutex);
        auto it = cache.find(path);
        if (it != cache.end() && it->second.size == size && it->second.modified == modified) {
            return it->second.image;
        }
    }
    // Loading inflates the whole image, so it happens outside the lock.
    std::optional<FirmwareImage> image;
    try {
        // The updater will not keep an image whose header does not verify.
        if (!BirdFile::VerifyFile(path.c_str())) {
            throw std::runtime_error("not a BIRD file");
        }
        BirdFile bird(path.c_str());
        std::string version = bird.GetVersion();
        if (bird.GetBuild() == 0) {
            warn(path.string() + ": no build number in its info block; not served");
        } else if (version.find_first_of(";\r\n") != std::string::npos) {
            // The version travels inside a "build;version" reply line.
            warn(path.string() + ": version text unfit for a build list; not served");
        } else {
            image = FirmwareImage{bird.GetBuild(), version, path};
        }
    } catch (const std::exception& e) {
        warn(path.string() + ": " + e.what() + "; not served");
    }
    std::lock_guard lock(mutex);
    cache[path] = CachedImage{modified, size, image};
    return image;
}

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open " + path.string());
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    if (file.bad()) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return bytes;
}
