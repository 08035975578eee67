#include "aLogger.h"

#include <atomic>
#include <new>
#include <thread>

#include "unix_thread.h"

namespace {

constexpr uint16_t kLoggerCheck = 0xDEED;

}  // namespace

struct aLogger {
    uint16_t check = kLoggerCheck;
    aLinkHandle link = 0;
    aLoggerReadProc reader = nullptr;
    aFileHandle file = nullptr;
    aThread* thread = nullptr;
    std::atomic<bool> enabled{false};
    std::atomic<std::thread::id> self{};  // the logger thread, while it runs
};

namespace {

bool sValid(const aLogger* logger) {
    return logger != nullptr && logger->check == kLoggerCheck;
}

void sRun(void* ref) {
    aLogger& logger = *static_cast<aLogger*>(ref);
    logger.self = std::this_thread::get_id();
    while (logger.enabled) {
        logger.reader(logger.file, logger.link);
    }
}

}  // namespace

aLogger* aLogger_Create(aLinkHandle link, aLoggerReadProc reader, const char* path) {
    if (reader == nullptr) {
        return nullptr;
    }
    aFileHandle file = aFile_Open(path, aFileModeAppend);
    if (file == nullptr) {
        return nullptr;
    }
    auto* logger = new (std::nothrow) aLogger;
    if (logger == nullptr) {
        aFile_Close(&file);
        return nullptr;
    }
    aFile_SetUnbuffered(file);
    logger->link = link;
    logger->reader = reader;
    logger->file = file;
    return logger;
}

aErr aLogger_Enable(aLogger* logger) {
    if (!sValid(logger)) {
        return aErrParam;
    }
    if (logger->enabled) {
        return aErrNone;
    }
    logger->enabled = true;
    logger->thread = aThread_Create(sRun, logger);
    if (logger->thread == nullptr) {
        logger->enabled = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
    if (!sValid(logger)) {
        return aErrParam;
    }
    if (logger->self.load() == std::this_thread::get_id()) {
        return aErrNone;  // the thread cannot wait for itself
    }
    logger->enabled = false;
    if (logger->thread == nullptr) {
        return aErrNone;
    }
    const int joined = aThread_Destroy(&logger->thread);
    logger->self = std::thread::id{};
    return joined == 0 ? aErrNone : aErrUnknown;
}

void aLogger_Destroy(aLogger** logger) {
    if (logger == nullptr || !sValid(*logger) ||
        (*logger)->self.load() == std::this_thread::get_id()) {
        return;
    }
    aLogger_Disable(*logger);
    aFile_Close(&(*logger)->file);
    (*logger)->check = 0;
    delete *logger;
    *logger = nullptr;
}
