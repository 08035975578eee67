#include "aStream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "unix_file.h"

namespace {

constexpr uint16_t aSTREAMCHECK = 0x4321;
constexpr size_t aSTREAMBUFCHUNK = 512;  // the push-back ring starts and grows by this

// Bytes handed back by reads that ran dry, oldest first. Grows by whole chunks when full
// so that a long burst of partial reads never drops a byte.
class PushBackRing {
  public:
    size_t count() const { return count_; }

    bool push(uint8_t byte) {
        if (!reserve(1)) {
            return false;
        }
        storage_[(read_ + count_) % capacity_] = byte;
        ++count_;
        return true;
    }

    // Puts n bytes back in front of the oldest, in their order: they come out first.
    bool pushFront(const uint8_t* bytes, size_t n) {
        if (!reserve(n)) {
            return false;
        }
        for (size_t i = n; i > 0; --i) {
            read_ = (read_ + capacity_ - 1) % capacity_;
            storage_[read_] = bytes[i - 1];
        }
        count_ += n;
        return true;
    }

    // Removes the oldest n bytes (n <= count) into out, or just drops them when out is null.
    void take(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (out != nullptr) {
                out[i] = storage_[read_];
            }
            read_ = (read_ + 1) % capacity_;
        }
        count_ -= n;
    }

  private:
    bool reserve(size_t more) {
        if (count_ + more <= capacity_) {
            return true;
        }
        size_t capacity = capacity_;
        while (capacity < count_ + more) {
            capacity += aSTREAMBUFCHUNK;
        }
        std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[capacity]);
        if (!storage) {
            return false;
        }
        const size_t held = count_;
        take(storage.get(), held);  // unrolled into the new storage, oldest first
        storage_ = std::move(storage);
        capacity_ = capacity;
        read_ = 0;
        count_ = held;
        return true;
    }

    std::unique_ptr<uint8_t[]> storage_;
    size_t capacity_ = 0;
    size_t count_ = 0;
    size_t read_ = 0;
};

}  // namespace

struct aStream {
    uint16_t check = aSTREAMCHECK;
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    void* context;
    PushBackRing pushBack;
};

namespace {

bool sIsValid(const aStream* stream) {
    return stream != nullptr && stream->check == aSTREAMCHECK;
}

// Puts bytes taken by a read back in front of the stream, to be read again first.
bool sUnread(aStream* stream, const uint8_t* bytes, size_t n) {
    return stream->pushBack.pushFront(bytes, n);
}

// A block goes out in one write call. A single byte goes through put, so that a framing
// layer can tell a lone byte from a block; so does everything when there is no write.
aErr sWriteAll(aStream* stream, const uint8_t* bytes, size_t length) {
    if (stream->write != nullptr && (length > 1 || stream->put == nullptr)) {
        return stream->write(bytes, length, stream->context);
    }
    for (size_t i = 0; i < length; ++i) {
        const aErr err = stream->put(bytes[i], stream->context);
        if (err != aErrNone) {
            return err;
        }
    }
    return aErrNone;
}

}  // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* context) {
    return new (std::nothrow) aStream{aSTREAMCHECK, get, put, write, del, context, {}};
}

aErr aStream_Destroy(aStream** stream) {
    if (stream == nullptr || !sIsValid(*stream)) {
        return aErrParam;
    }
    aStream* s = *stream;
    *stream = nullptr;
    const aErr err = s->del != nullptr ? s->del(s->context) : aErrNone;
    s->check = 0;
    delete s;
    return err;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size) {
    if (!sIsValid(stream) || (buffer == nullptr && size > 0)) {
        return aErrParam;
    }
    if (stream->get == nullptr) {
        return aErrMode;
    }
    // New bytes gather behind the pushed-back ones, so a read that runs dry has already
    // handed them back in order and the caller's buffer is only filled on completion.
    PushBackRing& ring = stream->pushBack;
    aErr err = aErrNone;
    while (ring.count() < size) {
        uint8_t byte = 0;
        err = stream->get(&byte, stream->context);
        if (err != aErrNone) {
            break;
        }
        if (!ring.push(byte)) {
            err = aErrMemory;
            break;
        }
    }
    if (err == aErrNotReady) {
        return err;
    }
    const size_t obtained = ring.count() < size ? ring.count() : size;
    ring.take(err == aErrNone || err == aErrEOF ? buffer : nullptr, obtained);
    return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length) {
    if (!sIsValid(stream) || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    if (stream->put == nullptr && stream->write == nullptr) {
        return aErrMode;
    }
    return sWriteAll(stream, bytes, length);
}

aErr aStream_Flush(aStream* input, aStream* output) {
    if (!sIsValid(input) || !sIsValid(output)) {
        return aErrParam;
    }
    if (input->get == nullptr || output->put == nullptr) {
        return aErrMode;
    }
    for (;;) {
        uint8_t byte = 0;
        const aErr err = aStream_Read(input, &byte, 1);
        if (err != aErrNone) {
            return err == aErrEOF ? aErrNone : err;
        }
        const aErr putErr = output->put(byte, output->context);
        if (putErr != aErrNone) {
            return putErr;
        }
    }
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length,
                         const uint8_t* terminator, size_t terminatorLength) {
    const aErr err = aStream_Write(stream, bytes, length);
    return err != aErrNone ? err : aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t bufferSize,
                        const uint8_t* terminator, size_t terminatorLength) {
    if (!sIsValid(stream) || buffer == nullptr || length == nullptr ||
        (terminator == nullptr && terminatorLength > 0)) {
        return aErrParam;
    }
    *length = 0;
    size_t stored = 0;
    size_t matched = 0;  // leading bytes of the terminator seen so far, held aside
    while (matched > 0 || stored < bufferSize) {
        uint8_t byte = 0;
        const aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNotReady) {
            const bool kept =
                sUnread(stream, terminator, matched) && sUnread(stream, buffer, stored);
            return kept ? err : aErrMemory;
        }
        if (err == aErrEOF && stored + matched > 0) {
            const size_t fit = std::min(matched, bufferSize - stored);
            std::copy_n(terminator, fit, buffer + stored);
            stored += fit;
            break;
        }
        if (err != aErrNone) {
            return err;
        }
        if (matched < terminatorLength && byte == terminator[matched]) {
            if (++matched == terminatorLength) {
                break;
            }
            continue;
        }
        // The held bytes were not the terminator after all: they are content, and so is
        // this byte unless it starts the terminator afresh. What no longer fits goes back.
        const size_t held = matched;
        const bool restarts = terminatorLength > 0 && byte == terminator[0];
        const size_t fit = std::min(held, bufferSize - stored);
        std::copy_n(terminator, fit, buffer + stored);
        stored += fit;
        matched = 0;
        if (fit < held || (!restarts && stored == bufferSize)) {
            if (!sUnread(stream, &byte, 1) || !sUnread(stream, terminator + fit, held - fit)) {
                return aErrMemory;
            }
            break;
        }
        if (restarts) {
            matched = 1;
        } else {
            buffer[stored++] = byte;
        }
    }
    *length = stored;
    return aErrNone;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
    if (text == nullptr) {
        return aErrParam;
    }
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1);
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
    return aStream_ReadCStringRecord(stream, buffer, size, "");  // the zero byte alone
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator) {
    if (text == nullptr || terminator == nullptr) {
        return aErrParam;
    }
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text),
                               reinterpret_cast<const uint8_t*>(terminator),
                               std::strlen(terminator) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator) {
    if (buffer == nullptr || size == 0 || terminator == nullptr) {
        return aErrParam;
    }
    buffer[0] = '\0';
    size_t length = 0;
    const aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length,
                                        size - 1, reinterpret_cast<const uint8_t*>(terminator),
                                        std::strlen(terminator) + 1);
    buffer[err == aErrNone ? length : 0] = '\0';
    return err;
}

namespace {

aErr sFileGet(uint8_t* byte, void* context) {
    return aFile_Read(static_cast<aFileHandle>(context), byte, 1, nullptr);
}

aErr sFilePut(uint8_t byte, void* context) {
    return aFile_Write(static_cast<aFileHandle>(context), &byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* bytes, size_t length, void* context) {
    return aFile_Write(static_cast<aFileHandle>(context), bytes, length, nullptr);
}

aErr sFileDelete(void* context) {
    auto handle = static_cast<aFileHandle>(context);
    return aFile_Close(&handle);
}

aErr sCreateFileStream(const char* path, aFileMode mode, aStream** stream) {
    if (stream == nullptr) {
        return aErrResource;
    }
    *stream = nullptr;
    aFileHandle file = path != nullptr ? aFile_Open(path, mode) : nullptr;
    if (file == nullptr) {
        return aErrResource;
    }
    const bool reading = mode == aFileModeRead;
    *stream = aStream_Create(reading ? sFileGet : nullptr, reading ? nullptr : sFilePut,
                             reading ? nullptr : sFileWrite, sFileDelete, file);
    if (*stream == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
    return sCreateFileStream(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
    return sCreateFileStream(path, aFileModeWrite, stream);
}
