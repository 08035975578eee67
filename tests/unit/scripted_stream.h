// A stream whose transport is the test itself: it records every write as one block, can
// hold or fail writes, and never has a byte to read. For the engine behaviour that only
// the transport sees (write boundaries, writes during a stop, a read that blocks).
#ifndef KESTRIX_TESTS_SCRIPTED_STREAM_H
#define KESTRIX_TESTS_SCRIPTED_STREAM_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "aStream.h"

namespace kxtest {

class ScriptedStream {
  public:
    // A new stream over this transport; the transport must outlive it.
    aStream* stream() { return aStream_Create(sGet, sPut, sWrite, sDelete, this); }

    // How long a get waits before it reports not-ready.
    void setReadWait(std::chrono::milliseconds wait) {
        std::lock_guard lock(mutex_);
        readWait_ = wait;
    }
    // While held, writes wait; released, they fail when failing is set.
    void holdWrites(bool hold, bool failing = false) {
        std::lock_guard lock(mutex_);
        hold_ = hold;
        failing_ = failing;
        changed_.notify_all();
    }
    std::vector<std::vector<uint8_t>> writes() {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    size_t writeCalls() {
        std::lock_guard lock(mutex_);
        return writeCalls_;
    }
    void clearWrites() {
        std::lock_guard lock(mutex_);
        writes_.clear();
    }
    size_t bytesWritten() {
        std::lock_guard lock(mutex_);
        size_t total = 0;
        for (const auto& write : writes_) {
            total += write.size();
        }
        return total;
    }
    bool deleted() {
        std::lock_guard lock(mutex_);
        return deleted_;
    }

  private:
    static ScriptedStream& self(void* context) { return *static_cast<ScriptedStream*>(context); }

    static aErr sGet(uint8_t* byte, void* context) {
        ScriptedStream& s = self(context);
        std::chrono::milliseconds wait;
        {
            std::lock_guard lock(s.mutex_);
            wait = s.readWait_;
        }
        std::this_thread::sleep_for(wait);
        *byte = 0;
        return aErrNotReady;
    }
    static aErr sPut(uint8_t byte, void* context) { return sWrite(&byte, 1, context); }
    static aErr sWrite(const uint8_t* bytes, size_t length, void* context) {
        ScriptedStream& s = self(context);
        std::unique_lock lock(s.mutex_);
        ++s.writeCalls_;
        s.changed_.wait(lock, [&] { return !s.hold_; });
        if (s.failing_) {
            return aErrIO;
        }
        s.writes_.emplace_back(bytes, bytes + length);
        return aErrNone;
    }
    static aErr sDelete(void* context) {
        ScriptedStream& s = self(context);
        std::lock_guard lock(s.mutex_);
        s.deleted_ = true;
        return aErrNone;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::milliseconds readWait_{10};
    std::vector<std::vector<uint8_t>> writes_;
    size_t writeCalls_ = 0;
    bool hold_ = false;
    bool failing_ = false;
    bool deleted_ = false;
};

}  // namespace kxtest

#endif
