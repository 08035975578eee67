// Millisecond time for time-outs and elapsed times.
#ifndef KESTRIX_UNIX_TIME_H
#define KESTRIX_UNIX_TIME_H

#include "aError.h"

KX_EXTERN_C_BEGIN

// Milliseconds on the monotonic clock, counted from an arbitrary start: unaffected when
// the system clock is set, so good for deadlines and elapsed times but not a date.
// 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks(void);
// Sleeps for milliseconds (0 returns at once), resuming after signals until the whole
// time has passed. aErrUnknown when the clock cannot be read.
aErr aTime_MSSleep(uint64_t milliseconds);

KX_EXTERN_C_END

#endif
