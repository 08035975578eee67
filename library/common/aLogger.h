// The packet-capture logger: a thread that keeps calling a reader procedure, which moves
// captured records of one link into a file, while the logger is enabled.
#ifndef KESTRIX_ALOGGER_H
#define KESTRIX_ALOGGER_H

#include "aLink.h"
#include "unix_file.h"

KX_EXTERN_C_BEGIN

// Moves what is captured on link into file; expected to pause briefly when nothing is.
typedef aErr (*aLoggerReadProc)(aFileHandle file, aLinkHandle link);

typedef struct aLogger aLogger;

// A disabled logger appending to the file at path (unbuffered); null when the file cannot
// be opened, reader is null or memory is exhausted.
aLogger* aLogger_Create(aLinkHandle link, aLoggerReadProc reader, const char* path);
// Starts the thread; success when already enabled. aErrResource when it cannot start,
// aErrParam for an invalid logger.
aErr aLogger_Enable(aLogger* logger);
// Stops and joins the thread; does nothing when called from the logger's own thread.
// aErrUnknown when the join fails, aErrParam for an invalid logger.
aErr aLogger_Disable(aLogger* logger);
// Disables the logger, closes its file, frees it and clears *logger. An invalid logger, or
// a call from the logger's own thread, is ignored.
void aLogger_Destroy(aLogger** logger);

KX_EXTERN_C_END

#endif
