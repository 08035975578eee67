// Replacing a file's contents so that readers and crashes only ever see the old
// file or the complete new one: the bytes go to a hidden temporary file in the same
// directory, are flushed to disk, and the temporary file is renamed over the target.
#ifndef KESTRIX_ATOMICWRITE_H
#define KESTRIX_ATOMICWRITE_H

#include <cstddef>
#include <string>

#include "aError.h"

// Writes `length` bytes of `data` to `path`, replacing any earlier file.
// aErrNone on success; aErrNotFound when the temporary file cannot be created (its
// directory is missing or not writable); aErrIO when writing, flushing or renaming
// fails. On failure the earlier file is untouched, no temporary file is left behind
// and `*osError` (if not null) receives the errno of the failed call.
aErr AtomicWrite(const std::string& path, const void* data, size_t length, int* osError = nullptr);

#endif
