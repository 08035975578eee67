// Validated file handles over the standard buffered streams: open, read, write, line
// reading, seeking and formatted output, each returning an aErr.
#ifndef KESTRIX_UNIX_FILE_H
#define KESTRIX_UNIX_FILE_H

#include "aError.h"

KX_EXTERN_C_BEGIN

// Longest path the file functions accept; longer ones are refused.
#define aFILE_MAX_PATH 4096

typedef enum {
    aFileModeRead = 0,    // "rb"
    aFileModeWrite = 1,   // "wb", truncates
    aFileModeAppend = 2,  // "ab+", reads and writes, positioned at the end
} aFileMode;

// Origins for aFile_Seek; any other value counts from the start.
typedef enum {
    aSeekStart = 0,
    aSeekCurrent = 1,
    aSeekEnd = 2,
} aFileSeekOrigin;

// An open file; owned by the caller from aFile_Open until aFile_Close.
typedef struct aFile* aFileHandle;

// True for a path of at most 4096 characters naming an existing object that is not a
// directory.
bool aFile_Exists(const char* path);
// Opens path in one of the aFileMode modes. Null for a null, empty or too long path, an
// unknown mode, exhausted memory or a failed open (errno tells why).
aFileHandle aFile_Open(const char* path, aFileMode mode);
// Closes and frees *handle. *handle is cleared whenever handle is not null;
// aErrParam when *handle is null or not an open file.
aErr aFile_Close(aFileHandle* handle);

// Every operation below answers aErrParam for a handle that is not an open file.

// Reads up to length bytes; *read (optional) gets the count. aErrMode unless opened for
// reading or appending; aErrEOF when nothing was read although length was not 0.
aErr aFile_Read(aFileHandle handle, void* buffer, size_t length, size_t* read);
// Writes length bytes; *written (optional) gets the count. aErrMode unless opened for
// writing or appending; aErrIO when nothing was written although length was not 0.
aErr aFile_Write(aFileHandle handle, const void* data, size_t length, size_t* written);
// Reads one line of at most size - 1 characters, line feed kept, and zero-terminates
// it; *length (optional) gets its length. aErrParam when size is below 2; aErrMode
// unless readable; aErrEOF at the end of the file; aErrIO on a read error; aErrOverrun
// when the line was cut at size - 1 characters (the rest comes with the next call).
aErr aFile_ReadLine(aFileHandle handle, char* buffer, size_t size, size_t* length);
// Moves to offset from origin. aErrRange, position unchanged, when the target lies
// before the start or beyond the end; aErrIO when the stream fails.
aErr aFile_Seek(aFileHandle handle, long offset, int origin);
// The file's size in bytes; the position is left unchanged. aErrIO when the stream fails.
aErr aFile_GetSize(aFileHandle handle, size_t* size);
// The current position. aErrIO when it cannot be read.
aErr aFile_GetPosition(aFileHandle handle, long* position);
// Formatted output. aErrMode unless writable; aErrIO when the stream reports an error.
aErr aFile_Printf(aFileHandle handle, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Makes output unbuffered. aErrMode unless writable or when the stream refuses.
aErr aFile_SetUnbuffered(aFileHandle handle);
// Removes a file. aErrParam for a null path, aErrFileNameLength above 4096 characters,
// aErrNotFound when missing, aErrPermission when access is denied, else aErrIO.
aErr aFile_Delete(const char* path);

KX_EXTERN_C_END

#endif
