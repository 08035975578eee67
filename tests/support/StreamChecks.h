// Checks every stream kind must pass.
#ifndef KESTRIX_TESTS_STREAMCHECKS_H
#define KESTRIX_TESTS_STREAMCHECKS_H

#include <chrono>
#include <cstdint>

#include <gtest/gtest.h>

#include "aStream.h"

namespace kxtest {

// A read with nothing to read waits about the idle wait, not much less (a busy loop)
// nor far longer, then reports aErrNotReady; several times over.
inline void expect_idle_reads_wait_briefly(aStream* stream) {
    using Clock = std::chrono::steady_clock;
    for (int i = 0; i < 3; ++i) {
        uint8_t byte = 0;
        const auto start = Clock::now();
        EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(aSTREAM_IDLE_WAIT_MS / 2));
        EXPECT_LT(waited, std::chrono::seconds(1));
    }
}

}  // namespace kxtest

#endif
