#include "aDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

const char aDIR_PATH_SEP[] = "/";

namespace {

constexpr char kSep = '/';

bool sMakeDirectory(const std::string& path, uint16_t mode) {
    return aDirectory_Exists(path.c_str()) || mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

std::string sChildPath(const char* directory, const char* name) {
    std::string path(directory);
    path += kSep;
    path += name;
    return path;
}

bool sIsDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Opens a directory without following a symbolic link in its last component, so a
// tree walk never strays outside the tree it was given.
DIR* sOpenOwnDirectory(const char* path) {
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
    }
    return dir;
}

aErr sCopyOut(const char* text, char* buffer, size_t size) {
    const size_t length = strlen(text);
    if (length >= size) {
        buffer[0] = '\0';
        return aErrOverrun;
    }
    memcpy(buffer, text, length + 1);
    return aErrNone;
}

bool sInside(const char* text, const char* buffer, size_t size) {
    const auto at = reinterpret_cast<std::uintptr_t>(text);
    const auto start = reinterpret_cast<std::uintptr_t>(buffer);
    return at >= start && at - start < size;
}

aErr sJoin(char* buffer, size_t size, const char* const* parts, size_t count) {
    if (buffer == nullptr || size == 0) {
        return aErrParam;
    }
    for (size_t i = 0; i < count; ++i) {
        if (sInside(parts[i], buffer, size)) {
            count = 0;
        }
    }
    buffer[0] = '\0';
    if (count == 0) {
        return aErrParam;
    }
    size_t length = strlen(parts[0]);
    if (length >= size - 1) {
        return aErrOverrun;
    }
    memcpy(buffer, parts[0], length + 1);
    for (size_t i = 1; i < count; ++i) {
        const char* part = parts[i];
        size_t room = size - length - 1;
        const bool separate =
            room > 1 && (length == 0 || buffer[length - 1] != kSep) && part[0] != kSep;
        if (separate) {
            --room;
        }
        const size_t partLength = strlen(part);
        // A component must be shorter than the room left, so one byte always stays free.
        if (partLength >= room) {
            return aErrOverrun;
        }
        if (separate) {
            buffer[length++] = kSep;
        }
        memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
    struct stat info;
    return path != nullptr && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
    if (path == nullptr || *path == '\0') {
        return aErrParam;
    }
    if (aDirectory_Exists(path)) {
        return aErrNone;
    }
    // Every separator that follows a non-empty component ends an ancestor; create the
    // missing ones from the top down. The root is never created.
    const std::string full(path);
    for (size_t at = full.find(kSep, 1); at != std::string::npos; at = full.find(kSep, at + 1)) {
        if (full[at - 1] != kSep && !sMakeDirectory(full.substr(0, at), mode)) {
            return aErrPermission;
        }
    }
    // A regular file in the way also counts as failure, not just a failed mkdir.
    return sMakeDirectory(full, mode) && aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* ref) {
    if (path == nullptr || callback == nullptr) {
        return aErrParam;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return aErrNotFound;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string entryPath = sChildPath(path, entry->d_name);
        struct stat info;
        if (stat(entryPath.c_str(), &info) != 0) {
            continue;
        }
        const aDirectoryListData data{entryPath.c_str(), static_cast<uint32_t>(info.st_size),
                                      S_ISDIR(info.st_mode) ? 1u : 0u};
        if (!callback(&data, ref)) {
            break;
        }
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    return path != nullptr && rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (path == nullptr) {
        return aErrParam;
    }
    DIR* dir = sOpenOwnDirectory(path);
    if (dir == nullptr) {
        return aErrNotFound;
    }
    while (const dirent* entry = readdir(dir)) {
        if (sIsDotEntry(entry->d_name)) {
            continue;
        }
        const std::string child = sChildPath(path, entry->d_name);
        struct stat info;
        if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            aDirectory_DeleteTree(child.c_str());
        } else if (unlink(child.c_str()) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", child.c_str());
            break;
        }
    }
    closedir(dir);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    return buffer != nullptr && size != 0 && getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return aErrParam;
    }
    buffer[0] = '\0';
    const ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length < 0) {
        return aErrRead;
    }
    buffer[length] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return aErrParam;
    }
    buffer[0] = '\0';
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    passwd entry;
    passwd* found = nullptr;
    int result;
    while ((result = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found)) ==
               ERANGE &&
           scratch.size() < (1u << 20)) {
        scratch.resize(scratch.size() * 2);
    }
    if (result == 0 && found != nullptr && found->pw_dir != nullptr && *found->pw_dir != '\0') {
        return sCopyOut(found->pw_dir, buffer, size);
    }
    const char* home = getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return sCopyOut(home, buffer, size);
    }
    return aErrNotFound;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name) {
    return aDirectory_BuildPath(buffer, size, directory, name, nullptr);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    const char* parts[aDIRECTORY_MAX_COMPONENTS];
    size_t count = 0;
    va_list args;
    va_start(args, first);
    for (const char* part = first; part != nullptr; part = va_arg(args, const char*)) {
        if (count == aDIRECTORY_MAX_COMPONENTS) {
            count = 0;  // one too many: refused like a missing first
            break;
        }
        parts[count++] = part;
    }
    va_end(args);
    return sJoin(buffer, size, parts, count);
}

std::string BuildPath(const char* first, ...) {
    std::string path(first != nullptr ? first : "");
    va_list args;
    va_start(args, first);
    while (const char* part = va_arg(args, const char*)) {
        path += aDIR_PATH_SEP;
        path += part;
    }
    va_end(args);
    return path;
}
