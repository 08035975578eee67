#include "AtomicWrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

// Tries at most this many temporary names before giving up on a crowded directory.
constexpr int kNameAttempts = 16;

// Creates a hidden, not yet existing temporary file next to `path`. Opened the way
// fopen would create the target, so the new file gets the usual umask-based mode.
int CreateTemporary(const std::string& path, std::string& temporary) {
    static std::atomic<unsigned> sequence{0};
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        char suffix[40];
        snprintf(suffix, sizeof suffix, ".tmp.%ld.%u", long(getpid()), sequence++);
        temporary = directory + "." + name + suffix;
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

bool WriteAll(int fd, const unsigned char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= size_t(written);
    }
    return true;
}

// Makes the rename itself durable; a directory that cannot be synced only loses that.
void SyncDirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

aErr AtomicWrite(const std::string& path, const void* data, size_t length, int* osError) {
    std::string temporary;
    const int fd = CreateTemporary(path, temporary);
    if (fd < 0) {
        if (osError) {
            *osError = errno;
        }
        return aErrNotFound;
    }
    bool ok = WriteAll(fd, static_cast<const unsigned char*>(data), length) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        if (osError) {
            *osError = error;
        }
        return aErrIO;
    }
    SyncDirectoryOf(path);
    return aErrNone;
}
