#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "unix_mutex.h"
#include "unix_thread.h"
#include "unix_time.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The thread sanitizer reports deliberate mutex misuse itself, so the tests that
// provoke it run only in other builds.
#if defined(__SANITIZE_THREAD__)
constexpr bool kMisuseIsReported = true;
#else
constexpr bool kMisuseIsReported = false;
#endif

struct MutexDeleter {
    void operator()(aMutex* mutex) const { aMutex_Destroy(&mutex); }
};
using MutexPtr = std::unique_ptr<aMutex, MutexDeleter>;

TEST(Mutex, NamesUpTo255Characters) {
    const std::string longest(aMUTEX_MAX_NAME, 'n');
    MutexPtr named(aMutex_Create(longest.c_str()));
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(aMutex_Identifier(named.get()), longest);

    EXPECT_EQ(aMutex_Create(std::string(aMUTEX_MAX_NAME + 1, 'n').c_str()), nullptr);

    MutexPtr unnamed(aMutex_Create(nullptr));
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed.get()), "");
    EXPECT_EQ(aMutex_Identifier(nullptr), nullptr);
}

TEST(Mutex, TryLockNeverWaitsForAnotherHolder) {
    MutexPtr mutex(aMutex_Create("try"));
    ASSERT_EQ(aMutex_Lock(mutex.get()), aErrNone);
    aErr fromOther = aErrNone;
    std::thread([&] { fromOther = aMutex_TryLock(mutex.get()); }).join();
    EXPECT_EQ(fromOther, aErrBusy);
    EXPECT_EQ(aMutex_Unlock(mutex.get()), aErrNone);

    std::thread([&] {
        fromOther = aMutex_TryLock(mutex.get());
        aMutex_Unlock(mutex.get());
    }).join();
    EXPECT_EQ(fromOther, aErrNone);
}

TEST(Mutex, KeepsThreadsApart) {
    MutexPtr mutex(aMutex_Create("counter"));
    long counter = 0;  // deliberately not atomic: only the mutex protects it
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                ASSERT_EQ(aMutex_Lock(mutex.get()), aErrNone);
                ++counter;
                ASSERT_EQ(aMutex_Unlock(mutex.get()), aErrNone);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, kThreads * kRounds);
}

TEST(Mutex, MisuseIsAnErrorNotADeadlock) {
    if (kMisuseIsReported) {
        GTEST_SKIP() << "the sanitizer reports the misuse this test provokes";
    }
    MutexPtr mutex(aMutex_Create("misuse"));
    EXPECT_EQ(aMutex_Unlock(mutex.get()), aErrPermission) << "not locked at all";
    ASSERT_EQ(aMutex_Lock(mutex.get()), aErrNone);
    EXPECT_EQ(aMutex_Lock(mutex.get()), aErrDuplicate) << "not recursive";
    EXPECT_EQ(aMutex_TryLock(mutex.get()), aErrBusy);
    aErr fromOther = aErrNone;
    std::thread([&] { fromOther = aMutex_Unlock(mutex.get()); }).join();
    EXPECT_EQ(fromOther, aErrPermission);
    EXPECT_EQ(aMutex_Unlock(mutex.get()), aErrNone);

    ASSERT_EQ(aMutex_Lock(mutex.get()), aErrNone);
    aMutex* held = mutex.release();
    EXPECT_EQ(aMutex_Destroy(&held), aErrBusy);
    EXPECT_EQ(held, nullptr);
}

TEST(Mutex, DestroyClearsThePointer) {
    aMutex* mutex = aMutex_Create("once");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
}

void sStore(void* ref) {
    *static_cast<int*>(ref) = 42;
}

TEST(Thread, RunsTheProcedureAndJoins) {
    int result = 0;
    aThread* thread = aThread_Create(sStore, &result);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(result, 42) << "the join makes the thread's writes visible";

    EXPECT_NE(aThread_Destroy(&thread), 0);
    EXPECT_NE(aThread_Destroy(nullptr), 0);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
}

// The thread outlives the test (it ends detached), so what it touches has static
// storage and trivial destruction.
std::atomic<aThread*> gSelf{nullptr};
std::atomic<int> gSelfResult{-1};

void sDestroySelf(void*) {
    aThread* thread;
    while ((thread = gSelf.load()) == nullptr) {
        aThread_Yield();
    }
    gSelfResult = aThread_Destroy(&thread);
}

TEST(Thread, DestroyFromTheThreadItselfFailsWithoutHanging) {
    aThread* thread = aThread_Create(sDestroySelf, nullptr);
    ASSERT_NE(thread, nullptr);
    gSelf = thread;
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    while (gSelfResult == -1 && steady_clock::now() < deadline) {
        aThread_Yield();
    }
    EXPECT_EQ(gSelfResult, EDEADLK);
}

long long sSteadyMs() {
    return std::chrono::duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TEST(Time, TicksFollowTheMonotonicClock) {
    const long long before = sSteadyMs();
    const uint64_t ticks = aTime_GetMSTicks();
    const long long after = sSteadyMs();
    EXPECT_GE(static_cast<long long>(ticks), before);
    EXPECT_LE(static_cast<long long>(ticks), after);
}

TEST(Time, SleepLastsAtLeastTheTimeGiven) {
    EXPECT_EQ(aTime_MSSleep(0), aErrNone);
    const auto start = steady_clock::now();
    EXPECT_EQ(aTime_MSSleep(30), aErrNone);
    EXPECT_GE(steady_clock::now() - start, milliseconds(30));
}

void sIgnoreAlarm(int) {}

TEST(Time, SleepResumesAfterASignal) {
    struct sigaction action = {};
    action.sa_handler = sIgnoreAlarm;  // no SA_RESTART: the sleep is interrupted
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer = {};
    timer.it_value.tv_usec = 10000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    const auto start = steady_clock::now();
    EXPECT_EQ(aTime_MSSleep(100), aErrNone);
    EXPECT_GE(steady_clock::now() - start, milliseconds(100));
    sigaction(SIGALRM, &previous, nullptr);
}

}  // namespace
