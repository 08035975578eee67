#include "aStreamsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>

#include "unix_time.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kSettleMs = 10;    // after closing a socket, before the next connect
constexpr int kWriteRetryMs = 60;     // between send attempts that made no full progress
constexpr int kWriteMaxRetries = 10;  // attempts without progress before a write gives up

// The descriptor number stays the same for the life of the stream: a reconnect dup3()s
// the new connection onto it. The reader and the writer run on different threads and
// either may reconnect, so neither can ever use a number that was closed and reused.
struct SocketContext {
    uint16_t check = kSocketCheck;
    uint16_t port;
    sockaddr_in peer;
    int fd = -1;
    std::atomic<bool> connected{false};
    std::mutex reconnecting;
    std::atomic<unsigned> generation{0};  // counts reconnects, so one loss is mended once
};

SocketContext* sContext(void* context) {
    auto ctx = static_cast<SocketContext*>(context);
    return ctx != nullptr && ctx->check == kSocketCheck ? ctx : nullptr;
}

bool sLostPeer(int error) {
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

aErr sConnectError(int error) {
    return error == ECONNRESET || error == ETIMEDOUT || error == ECONNREFUSED ? aErrConnection
                                                                              : aErrIO;
}

// Waits until fd reports one of events, at most ms milliseconds. False on time-out.
bool sAwait(int fd, short events, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

aErr sSetOptions(int fd) {
    const int on = 1;
    const timeval noTimeout{0, 0};
    const linger resetOnClose{1, 0};  // closing drops the connection at once
    const int flags = fcntl(fd, F_GETFL);
    const bool ok =
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) == 0 &&
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) == 0 &&
        flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
    return ok ? aErrNone : aErrIO;
}

// Opens a new connection to peer in *fd: non-blocking connect, at most 5 s.
aErr sConnect(const sockaddr_in& peer, int* fd) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return aErrIO;
    }
    int error = 0;
    if (connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EAGAIN) {
            socklen_t size = sizeof error;
            if (!sAwait(s, POLLOUT, aSTREAMSOCKET_CONNECT_TIMEOUT_MS)) {
                error = ETIMEDOUT;
            } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
        }
    }
    aErr err = error == 0 ? sSetOptions(s) : sConnectError(error);
    if (err != aErrNone) {
        close(s);
        aTime_MSSleep(kSettleMs);
        return err;
    }
    *fd = s;
    return aErrNone;
}

// Replaces a lost connection, unless another thread already did since this one saw the
// loss (the generation it read then has moved on).
aErr sReconnect(SocketContext* ctx, unsigned seenGeneration) {
    std::lock_guard<std::mutex> lock(ctx->reconnecting);
    if (ctx->generation.load() != seenGeneration) {
        return ctx->connected ? aErrNone : aErrConnection;
    }
    ctx->connected = false;
    shutdown(ctx->fd, SHUT_RDWR);
    aTime_MSSleep(kSettleMs);
    int fresh = -1;
    aErr err = sConnect(ctx->peer, &fresh);
    if (err == aErrNone) {
        if (dup3(fresh, ctx->fd, O_CLOEXEC) < 0) {
            err = aErrIO;
        }
        close(fresh);
    }
    ctx->connected = err == aErrNone;
    ctx->generation.fetch_add(1);
    return err;
}

aErr sSocketGet(uint8_t* byte, void* context) {
    SocketContext* ctx = sContext(context);
    if (ctx == nullptr || byte == nullptr) {
        return aErrParam;
    }
    if (!ctx->connected) {
        return aErrConnection;
    }
    const unsigned generation = ctx->generation.load();
    if (!sAwait(ctx->fd, POLLIN, aSTREAM_IDLE_WAIT_MS)) {
        return aErrNotReady;
    }
    ssize_t peeked = recv(ctx->fd, byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked < 0 && sLostPeer(errno)) {
        const aErr err = sReconnect(ctx, generation);
        if (err != aErrNone) {
            return err;
        }
        peeked = recv(ctx->fd, byte, 1, MSG_PEEK | MSG_DONTWAIT);
    }
    if (peeked < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? aErrNotReady
                                                                         : aErrConnection;
    }
    if (peeked == 0) {
        // The peer has closed its side: the socket stays readable for good, so wait here
        // instead of letting the reader spin. The next write reconnects.
        aTime_MSSleep(aSTREAM_IDLE_WAIT_MS);
        return aErrNotReady;
    }
    if (recv(ctx->fd, byte, 1, MSG_DONTWAIT) == 1) {
        return aErrNone;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return aErrEOF;
    }
    return sLostPeer(errno) ? aErrNotReady : aErrIO;
}

aErr sSocketWrite(const uint8_t* bytes, size_t length, void* context) {
    SocketContext* ctx = sContext(context);
    if (ctx == nullptr || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    if (!ctx->connected) {
        // A connection that could not be mended earlier gets one more try per write, so a
        // module that was away for longer than one reconnect is found again.
        const aErr err = sReconnect(ctx, ctx->generation.load());
        if (err != aErrNone) {
            return err;
        }
    }
    size_t sent = 0;
    int retries = 0;
    while (sent < length && retries < kWriteMaxRetries) {
        const unsigned generation = ctx->generation.load();
        const ssize_t n = send(ctx->fd, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            retries = 1;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            ++retries;
        } else if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
            ctx->connected = false;
            const aErr err = sReconnect(ctx, generation);
            if (err != aErrNone) {
                return err;
            }
            ++retries;
        } else if (errno != EINTR) {
            return aErrWrite;
        }
        if (sent < length) {
            sAwait(ctx->fd, POLLOUT, kWriteRetryMs);
        }
    }
    return sent == length ? aErrNone : aErrWrite;
}

aErr sSocketPut(uint8_t byte, void* context) {
    return sSocketWrite(&byte, 1, context);
}

aErr sSocketDelete(void* context) {
    SocketContext* ctx = sContext(context);
    if (ctx == nullptr) {
        return aErrParam;
    }
    close(ctx->fd);
    ctx->check = 0;
    delete ctx;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
    if (stream == nullptr) {
        return aErrResource;
    }
    *stream = nullptr;
    auto ctx = new (std::nothrow) SocketContext;
    if (ctx == nullptr) {
        return aErrResource;
    }
    ctx->port = port;
    ctx->peer = sockaddr_in{};
    ctx->peer.sin_family = AF_INET;
    ctx->peer.sin_port = htons(port);
    ctx->peer.sin_addr.s_addr = address;
    const aErr err = sConnect(ctx->peer, &ctx->fd);
    if (err != aErrNone) {
        delete ctx;
        return err;
    }
    ctx->connected = true;
    *stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, ctx);
    if (*stream == nullptr) {
        sSocketDelete(ctx);
        return aErrResource;
    }
    return aErrNone;
}
