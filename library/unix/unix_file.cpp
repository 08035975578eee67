#include "unix_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kFileCheck = 0xFEED;

}  // namespace

struct aFile {
    uint32_t check;  // kFileCheck while open
    FILE* stream;
    aFileMode mode;
};

namespace {

bool sIsValid(const aFile* file) {
    return file != nullptr && file->check == kFileCheck;
}

bool sCanRead(const aFile* file) {
    return file->mode == aFileModeRead || file->mode == aFileModeAppend;
}

bool sCanWrite(const aFile* file) {
    return file->mode == aFileModeWrite || file->mode == aFileModeAppend;
}

bool sPathTooLong(const char* path) {
    return strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH;
}

// Size by seeking to the end and back to where the stream was.
bool sMeasure(FILE* stream, long* size) {
    const long position = ftell(stream);
    if (position < 0 || fseek(stream, 0, SEEK_END) != 0) {
        return false;
    }
    *size = ftell(stream);
    return fseek(stream, position, SEEK_SET) == 0 && *size >= 0;
}

}  // namespace

bool aFile_Exists(const char* path) {
    struct stat info;
    return path != nullptr && !sPathTooLong(path) && stat(path, &info) == 0 &&
           !S_ISDIR(info.st_mode);
}

aFileHandle aFile_Open(const char* path, aFileMode mode) {
    static const char* const kModes[] = {"rb", "wb", "ab+"};
    if (path == nullptr || *path == '\0' || sPathTooLong(path) || mode < aFileModeRead ||
        mode > aFileModeAppend) {
        return nullptr;
    }
    auto* file = new (std::nothrow) aFile{kFileCheck, nullptr, mode};
    if (file == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    file->stream = fopen(path, kModes[mode]);
    if (file->stream == nullptr) {
        const int reason = errno;
        delete file;
        errno = reason;
        return nullptr;
    }
    // Reads in append mode start where writes go: at the end.
    if (mode == aFileModeAppend) {
        fseek(file->stream, 0, SEEK_END);
    }
    return file;
}

aErr aFile_Close(aFileHandle* handle) {
    if (handle == nullptr) {
        return aErrParam;
    }
    aFile* file = *handle;
    *handle = nullptr;
    if (!sIsValid(file)) {
        return aErrParam;
    }
    file->check = 0;
    const bool closed = fclose(file->stream) == 0;
    delete file;
    return closed ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileHandle handle, void* buffer, size_t length, size_t* read) {
    if (read != nullptr) {
        *read = 0;
    }
    if (!sIsValid(handle) || buffer == nullptr) {
        return aErrParam;
    }
    if (!sCanRead(handle)) {
        return aErrMode;
    }
    const size_t count = fread(buffer, 1, length, handle->stream);
    if (read != nullptr) {
        *read = count;
    }
    return count == 0 && length != 0 ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFileHandle handle, const void* data, size_t length, size_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    if (!sIsValid(handle) || data == nullptr) {
        return aErrParam;
    }
    if (!sCanWrite(handle)) {
        return aErrMode;
    }
    const size_t count = fwrite(data, 1, length, handle->stream);
    if (written != nullptr) {
        *written = count;
    }
    return count == 0 && length != 0 ? aErrIO : aErrNone;
}

aErr aFile_ReadLine(aFileHandle handle, char* buffer, size_t size, size_t* length) {
    if (length != nullptr) {
        *length = 0;
    }
    if (buffer != nullptr && size != 0) {
        *buffer = '\0';
    }
    // A buffer with room for nothing but the terminator would never make progress.
    if (!sIsValid(handle) || buffer == nullptr || size < 2) {
        return aErrParam;
    }
    if (!sCanRead(handle)) {
        return aErrMode;
    }
    const int room = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    if (fgets(buffer, room, handle->stream) == nullptr) {
        *buffer = '\0';
        return feof(handle->stream) ? aErrEOF : aErrIO;
    }
    const size_t count = strlen(buffer);
    if (length != nullptr) {
        *length = count;
    }
    const bool filled = count == static_cast<size_t>(room) - 1;
    return filled && buffer[count - 1] != '\n' ? aErrOverrun : aErrNone;
}

aErr aFile_Seek(aFileHandle handle, long offset, int origin) {
    if (!sIsValid(handle)) {
        return aErrParam;
    }
    long size = 0;
    const long current = ftell(handle->stream);
    if (current < 0 || !sMeasure(handle->stream, &size)) {
        return aErrIO;
    }
    long base = 0;
    if (origin == aSeekCurrent) {
        base = current;
    } else if (origin == aSeekEnd) {
        base = size;
    }
    long target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size) {
        return aErrRange;
    }
    return fseek(handle->stream, target, SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_GetSize(aFileHandle handle, size_t* size) {
    if (!sIsValid(handle) || size == nullptr) {
        return aErrParam;
    }
    long measured = 0;
    if (!sMeasure(handle->stream, &measured)) {
        return aErrIO;
    }
    *size = static_cast<size_t>(measured);
    return aErrNone;
}

aErr aFile_GetPosition(aFileHandle handle, long* position) {
    if (!sIsValid(handle) || position == nullptr) {
        return aErrParam;
    }
    const long current = ftell(handle->stream);
    if (current < 0) {
        return aErrIO;
    }
    *position = current;
    return aErrNone;
}

aErr aFile_Printf(aFileHandle handle, const char* format, ...) {
    if (!sIsValid(handle) || format == nullptr) {
        return aErrParam;
    }
    if (!sCanWrite(handle)) {
        return aErrMode;
    }
    va_list args;
    va_start(args, format);
    const int result = vfprintf(handle->stream, format, args);
    va_end(args);
    return result < 0 || ferror(handle->stream) ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFileHandle handle) {
    if (!sIsValid(handle)) {
        return aErrParam;
    }
    if (!sCanWrite(handle) || setvbuf(handle->stream, nullptr, _IONBF, 0) != 0) {
        return aErrMode;
    }
    return aErrNone;
}

aErr aFile_Delete(const char* path) {
    if (path == nullptr) {
        return aErrParam;
    }
    if (sPathTooLong(path)) {
        return aErrFileNameLength;
    }
    if (unlink(path) == 0) {
        return aErrNone;
    }
    switch (errno) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
            return aErrPermission;
        default:
            return aErrIO;
    }
}
