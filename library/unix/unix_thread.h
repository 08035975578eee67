// Joinable threads.
#ifndef KESTRIX_UNIX_THREAD_H
#define KESTRIX_UNIX_THREAD_H

#include "aError.h"

KX_EXTERN_C_BEGIN

typedef void (*aThreadProc)(void* ref);
typedef struct aThread aThread;

// Starts a joinable thread running procedure(ref). Null for no procedure, exhausted
// memory or when the platform refuses.
aThread* aThread_Create(aThreadProc procedure, void* ref);
// Waits for the thread to end, frees it and clears *thread. Does not ask the thread to
// stop: the owner signals it first. 0, or the platform's error number (EINVAL for no
// thread, EDEADLK when called from the thread itself, which then runs on detached).
int aThread_Destroy(aThread** thread);
// Gives up the processor for a moment (5 microseconds).
void aThread_Yield(void);

KX_EXTERN_C_END

#endif
