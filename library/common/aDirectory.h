// Directory tests, recursive creation, listing and removal, the well-known directories
// of the process, and the path joiners.
#ifndef KESTRIX_ADIRECTORY_H
#define KESTRIX_ADIRECTORY_H

#include "aError.h"

KX_EXTERN_C_BEGIN

// The path separator, "/".
extern const char aDIR_PATH_SEP[];

// Most components aDirectory_BuildPath joins, the first included.
#define aDIRECTORY_MAX_COMPONENTS 10

// One entry handed to an aDirectory_List callback.
typedef struct aDirectoryListData {
    const char* path;      // directory, separator, entry name; valid during the call only
    uint32_t size;         // size in bytes as stat reports it, cut to 32 bits
    uint32_t isDirectory;  // 1 for a directory, else 0
} aDirectoryListData;

// Called for each listed entry; returning false ends the listing.
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* entry, void* ref);

// True when path names an existing directory.
bool aDirectory_Exists(const char* path);
// Makes sure path and all its missing ancestors exist as directories, creating each
// with the permission bits mode (less the umask). aErrParam for a null or empty path;
// aErrPermission when path is not a directory afterwards.
aErr aDirectory_Ensure(const char* path, uint16_t mode);
// Calls callback for each entry of path in the system's order, "." and ".." included;
// entries that cannot be stat'ed are passed over. aErrParam for a null path or
// callback; aErrNotFound when the directory cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* ref);
// Removes an empty directory; aErrUnknown on any failure.
aErr aDirectory_Delete(const char* path);
// Removes path with everything below it, depth first; symbolic links are removed, not
// followed. A file that cannot be removed is reported on the console and ends the walk
// of its directory. aErrNotFound when path cannot be opened, else the result of
// removing path itself.
aErr aDirectory_DeleteTree(const char* path);
// The working directory; aErrParam when it does not fit or cannot be read.
aErr aDirectory_CWD(char* buffer, size_t size);
// The path of the running executable, cut to size - 1 characters; aErrParam for no
// room, aErrRead when it cannot be read.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
// The current user's home directory from the password database, else from HOME.
// aErrNotFound when neither names one; aErrOverrun, buffer empty, when it does not fit.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
// aDirectory_BuildPath(buffer, size, directory, name, NULL).
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name);
// Joins first and further components, up to a null pointer, with one "/" between
// them unless one side already has it. aErrParam, buffer empty, for a null buffer or
// first, a component inside buffer, or more than 10 components; aErrOverrun when first
// is not shorter than size - 1, or a component not shorter than the room left (buffer
// keeps the components joined before it).
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
    __attribute__((sentinel));

KX_EXTERN_C_END

#ifdef __cplusplus
#include <string>

// first, then "/" and each further component up to a null pointer; always inserts the
// separator, even next to one, and has no length limit. A null first counts as empty.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
#endif

#endif
