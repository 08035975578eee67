#include "unix_streamserial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "aStream_CobsEncoding.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kPathField = 4096;

constexpr speed_t kSpeeds[aSTREAMSERIAL_BAUD_COUNT] = {B2400,  B4800,  B9600,   B19200,
                                                       B38400, B57600, B115200, B230400};
constexpr uint32_t kRates[aSTREAMSERIAL_BAUD_COUNT] = {2400,  4800,  9600,   19200,
                                                       38400, 57600, 115200, 230400};

struct SerialContext {
    uint16_t check = kSerialCheck;
    uint32_t baudIndex;
    char path[kPathField];
    int fd = -1;
    termios saved;    // as found at open, put back at delete
    termios applied;  // what the stream runs with
};

SerialContext* sContext(void* context) {
    auto ctx = static_cast<SerialContext*>(context);
    return ctx != nullptr && ctx->check == kSerialCheck ? ctx : nullptr;
}

aErr sOpenError(int error) {
    switch (error) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
            return aErrPermission;
        default:
            return aErrIO;
    }
}

termios sRawSettings(const termios& base, uint32_t baudIndex, bool parity, uint32_t dataBits,
                     uint32_t stopBits) {
    termios t = base;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
                (stopBits == 1 ? CSTOPB : 0);
    // A read returns at once with whatever is there, possibly nothing.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, kSpeeds[baudIndex]);
    cfsetospeed(&t, kSpeeds[baudIndex]);
    return t;
}

aErr sSerialGet(uint8_t* byte, void* context) {
    SerialContext* ctx = sContext(context);
    if (ctx == nullptr || byte == nullptr) {
        return aErrParam;
    }
    pollfd entry{ctx->fd, POLLIN, 0};
    const int ready = poll(&entry, 1, aSTREAM_IDLE_WAIT_MS);
    if (ready <= 0) {
        return ready == 0 || errno == EINTR ? aErrNotReady : aErrIO;
    }
    const ssize_t n = read(ctx->fd, byte, 1);
    if (n == 1) {
        return aErrNone;
    }
    if (n == 0) {
        // A device that has gone (unplugged, hung up) polls ready and reads as nothing.
        return (entry.revents & (POLLHUP | POLLERR)) != 0 ? aErrIO : aErrNotReady;
    }
    return errno == EAGAIN || errno == EINTR ? aErrNotReady : aErrIO;
}

aErr sWriteAll(int fd, const uint8_t* bytes, size_t length) {
    ssize_t n = 0;
    do {
        n = write(fd, bytes, length);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length) ? aErrNone : aErrIO;
}

aErr sSerialPut(uint8_t byte, void* context) {
    SerialContext* ctx = sContext(context);
    return ctx == nullptr ? aErrParam : sWriteAll(ctx->fd, &byte, 1);
}

aErr sSerialWrite(const uint8_t* bytes, size_t length, void* context) {
    SerialContext* ctx = sContext(context);
    if (ctx == nullptr || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    const aErr err = sWriteAll(ctx->fd, bytes, length);
    if (err != aErrNone) {
        return err;
    }
    return tcdrain(ctx->fd) == 0 ? aErrNone : aErrIO;
}

aErr sSerialDelete(void* context) {
    SerialContext* ctx = sContext(context);
    if (ctx == nullptr) {
        return aErrParam;
    }
    tcsetattr(ctx->fd, TCSANOW, &ctx->saved);
    close(ctx->fd);
    ctx->check = 0;
    delete ctx;
    return aErrNone;
}

// Opens and sets up the port; the context is the caller's on success.
aErr sOpen(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
           SerialContext** out) {
    if (path == nullptr || baudIndex >= aSTREAMSERIAL_BAUD_COUNT || dataBits > 1 || stopBits > 1) {
        return aErrParam;
    }
    if (std::strlen(path) >= kPathField) {
        return aErrFileNameLength;
    }
    // Opened non-blocking so that a modem line without carrier cannot hold the open,
    // then switched back to blocking writes.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return sOpenError(errno);
    }
    auto ctx = new (std::nothrow) SerialContext;
    if (ctx == nullptr) {
        close(fd);
        return aErrMemory;
    }
    ctx->fd = fd;
    ctx->baudIndex = baudIndex;
    std::strcpy(ctx->path, path);
    bool ok = fcntl(fd, F_SETFL, 0) == 0 && tcgetattr(fd, &ctx->saved) == 0;
    if (ok) {
        ctx->applied = sRawSettings(ctx->saved, baudIndex, parity, dataBits, stopBits);
        ok = tcsetattr(fd, TCSANOW, &ctx->applied) == 0 && tcflush(fd, TCIOFLUSH) == 0;
    }
    if (!ok) {
        close(fd);
        delete ctx;
        return aErrIO;
    }
    *out = ctx;
    return aErrNone;
}

}  // namespace

uint32_t aStreamSerial_BaudRate(uint32_t baudIndex) {
    return baudIndex < aSTREAMSERIAL_BAUD_COUNT ? kRates[baudIndex] : 0;
}

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStream** stream) {
    if (stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    SerialContext* ctx = nullptr;
    const aErr err = sOpen(path, baudIndex, parity, dataBits, stopBits, &ctx);
    if (err != aErrNone) {
        return err;
    }
    *stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, ctx);
    if (*stream == nullptr) {
        sSerialDelete(ctx);
        return aErrMemory;
    }
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** stream) {
    if (stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    SerialContext* ctx = nullptr;
    aErr err = sOpen(path, baudIndex, parity, dataBits, stopBits, &ctx);
    if (err != aErrNone) {
        return err;
    }
    err = aStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, ctx,
                                     stream);
    if (err != aErrNone) {
        sSerialDelete(ctx);
    }
    return err;
}
