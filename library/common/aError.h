// The error codes of the device link library. Every fallible call returns one; modules
// send the same numbers back in error replies, so the numbering is wire protocol.
#ifndef KESTRIX_AERROR_H
#define KESTRIX_AERROR_H

#include "aDefs.h"

KX_EXTERN_C_BEGIN

// Changes together with the name and description tables in aError.cpp.
typedef enum {
    aErrNone = 0,
    aErrMemory = 1,
    aErrParam = 2,
    aErrNotFound = 3,
    aErrFileNameLength = 4,
    aErrBusy = 5,
    aErrIO = 6,
    aErrMode = 7,
    aErrWrite = 8,
    aErrRead = 9,
    aErrEOF = 10,
    aErrNotReady = 11,
    aErrPermission = 12,
    aErrRange = 13,
    aErrSize = 14,
    aErrOverrun = 15,
    aErrParse = 16,
    aErrConfiguration = 17,
    aErrTimeout = 18,
    aErrInitialization = 19,
    aErrVersion = 20,
    aErrUnimplemented = 21,
    aErrDuplicate = 22,
    aErrCancel = 23,
    aErrPacket = 24,
    aErrConnection = 25,
    aErrIndexRange = 26,
    aErrShortCommand = 27,
    aErrInvalidEntity = 28,
    aErrInvalidOption = 29,
    aErrResource = 30,
    aErrMedia = 31,
    aErrAsyncReturn = 32,
    aErrStreamStale = 33,
    aErrUnknown = 34,
} aErr;

// Name of a code ("aErrNotFound"); codes above 34 give "aErrUnknown".
const char* aError_GetErrorText(unsigned int code);
// Description of a code ("Not found"); codes above 34 give that of aErrUnknown.
const char* aError_GetErrorDescription(unsigned int code);

KX_EXTERN_C_END

#endif
