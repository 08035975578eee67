#include "unix_mutex.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kMutexCheck = 0xD00D;

}  // namespace

struct aMutex {
    uint32_t check;  // kMutexCheck while alive
    pthread_mutex_t mutex;
    char name[aMUTEX_MAX_NAME + 1];
};

namespace {

bool sIsValid(const aMutex* mutex) {
    return mutex != nullptr && mutex->check == kMutexCheck;
}

// One mapping serves every call: each pthread call only returns its own subset.
aErr sMapError(int result) {
    switch (result) {
        case 0:
            return aErrNone;
        case EAGAIN:
            return aErrResource;
        case EBUSY:
            return aErrBusy;
        case EINVAL:
            return aErrParam;
        case EDEADLK:
            return aErrDuplicate;
        case EPERM:
            return aErrPermission;
        default:
            return aErrUnknown;
    }
}

// An error-checking mutex: a relock by its holder or an unlock by another thread
// comes back as an error instead of a deadlock or a silently broken exclusion.
bool sInit(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return false;
    }
    const bool done = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                      pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return done;
}

}  // namespace

aMutex* aMutex_Create(const char* name) {
    if (name == nullptr) {
        name = "";
    }
    const size_t length = strnlen(name, aMUTEX_MAX_NAME + 1);
    if (length > aMUTEX_MAX_NAME) {
        return nullptr;
    }
    auto* mutex = new (std::nothrow) aMutex;
    if (mutex == nullptr) {
        return nullptr;
    }
    if (!sInit(&mutex->mutex)) {
        delete mutex;
        return nullptr;
    }
    memcpy(mutex->name, name, length);
    mutex->name[length] = '\0';
    mutex->check = kMutexCheck;
    return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) {
    return sIsValid(mutex) ? mutex->name : nullptr;
}

aErr aMutex_Destroy(aMutex** mutex) {
    if (mutex == nullptr) {
        return aErrParam;
    }
    aMutex* doomed = *mutex;
    *mutex = nullptr;
    if (!sIsValid(doomed)) {
        return aErrParam;
    }
    const int result = pthread_mutex_destroy(&doomed->mutex);
    doomed->check = 0;
    delete doomed;
    return sMapError(result);
}

aErr aMutex_Lock(aMutex* mutex) {
    if (!sIsValid(mutex)) {
        return aErrParam;
    }
    return sMapError(pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutex* mutex) {
    if (!sIsValid(mutex)) {
        return aErrParam;
    }
    return sMapError(pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutex* mutex) {
    if (!sIsValid(mutex)) {
        return aErrParam;
    }
    return sMapError(pthread_mutex_unlock(&mutex->mutex));
}
