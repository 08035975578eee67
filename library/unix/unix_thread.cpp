#include "unix_thread.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>
#include <new>

namespace {

constexpr uint32_t kThreadCheck = 0x7EAD;

}  // namespace

struct aThread {
    uint32_t check;  // kThreadCheck while alive
    pthread_t thread;
    aThreadProc procedure;
    void* ref;
};

namespace {

void* sRun(void* record) {
    const auto* thread = static_cast<const aThread*>(record);
    thread->procedure(thread->ref);
    return nullptr;
}

}  // namespace

aThread* aThread_Create(aThreadProc procedure, void* ref) {
    if (procedure == nullptr) {
        return nullptr;
    }
    auto* thread = new (std::nothrow) aThread{kThreadCheck, {}, procedure, ref};
    if (thread == nullptr) {
        return nullptr;
    }
    if (pthread_create(&thread->thread, nullptr, sRun, thread) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

int aThread_Destroy(aThread** thread) {
    if (thread == nullptr || *thread == nullptr || (*thread)->check != kThreadCheck) {
        return EINVAL;
    }
    aThread* doomed = *thread;
    *thread = nullptr;
    int result = EDEADLK;
    if (pthread_equal(doomed->thread, pthread_self())) {
        // A thread cannot wait for itself: let it release its own resources when it
        // returns. Its procedure is already running, so it no longer needs the record.
        pthread_detach(doomed->thread);
    } else {
        result = pthread_join(doomed->thread, nullptr);
    }
    doomed->check = 0;
    delete doomed;
    return result;
}

void aThread_Yield(void) {
    const timespec pause{0, 5000};
    nanosleep(&pause, nullptr);
}
