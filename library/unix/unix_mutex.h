// Named, non-recursive mutexes with platform errors mapped onto aErr codes.
#ifndef KESTRIX_UNIX_MUTEX_H
#define KESTRIX_UNIX_MUTEX_H

#include "aError.h"

KX_EXTERN_C_BEGIN

// Longest name a mutex takes.
#define aMUTEX_MAX_NAME 255

typedef struct aMutex aMutex;

// A new unlocked mutex named name (null: empty). Null for a name longer than 255
// characters, exhausted memory or a failed initialisation. Locking it again from the
// thread that holds it, or unlocking it from another thread, is reported as an error.
aMutex* aMutex_Create(const char* name);
// The name given at creation; null for an invalid mutex.
const char* aMutex_Identifier(const aMutex* mutex);
// Destroys and frees *mutex and clears it whenever mutex is not null. aErrParam for no
// mutex; aErrBusy while it is locked (it is freed all the same); aErrResource,
// aErrUnknown for other platform failures.
aErr aMutex_Destroy(aMutex** mutex);
// Blocks until held. aErrDuplicate when this thread already holds it; aErrParam for an
// invalid mutex; aErrUnknown for other failures.
aErr aMutex_Lock(aMutex* mutex);
// Takes the mutex only if it is free, never blocking: aErrBusy when held (by any
// thread); aErrParam for an invalid mutex; aErrUnknown for other failures.
aErr aMutex_TryLock(aMutex* mutex);
// Releases the mutex. aErrPermission when this thread does not hold it; aErrParam for
// an invalid mutex; aErrUnknown for other failures.
aErr aMutex_Unlock(aMutex* mutex);

KX_EXTERN_C_END

#endif
