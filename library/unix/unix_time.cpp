#include "unix_time.h"

#include <cerrno>
#include <ctime>

namespace {

constexpr uint64_t kMillisPerSecond = 1000;
constexpr long kNanosPerMilli = 1000000;
constexpr long kNanosPerSecond = 1000000000;

}  // namespace

uint64_t aTime_GetMSTicks(void) {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * kMillisPerSecond +
           static_cast<uint64_t>(now.tv_nsec / kNanosPerMilli);
}

aErr aTime_MSSleep(uint64_t milliseconds) {
    if (milliseconds == 0) {
        return aErrNone;
    }
    // Sleeping to an absolute deadline keeps the total right across interruptions.
    timespec deadline;
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
        return aErrUnknown;
    }
    deadline.tv_sec += static_cast<time_t>(milliseconds / kMillisPerSecond);
    deadline.tv_nsec += static_cast<long>(milliseconds % kMillisPerSecond) * kNanosPerMilli;
    if (deadline.tv_nsec >= kNanosPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNanosPerSecond;
    }
    int result;
    while ((result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr)) ==
           EINTR) {
    }
    return result == 0 ? aErrNone : aErrUnknown;
}
