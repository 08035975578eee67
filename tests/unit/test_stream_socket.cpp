#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "StreamChecks.h"
#include "aStreamsocket.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

sockaddr_in loopbackAddress(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = kLoopback;
    return address;
}

bool readable(int fd, int ms) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, ms) > 0;
}

// Closes with a reset, the way a module that drops off the network looks to the host
// once its reset reaches us.
void resetAndClose(int fd) {
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

// A TCP listener on 127.0.0.1 standing in for a module.
class Peer {
  public:
    explicit Peer(uint16_t port = 0, int backlog = 8) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = loopbackAddress(port);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, backlog), 0);
        socklen_t size = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~Peer() {
        if (connection_ >= 0) {
            close(connection_);
        }
        close(listener_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    uint16_t port() const { return port_; }
    int connection() const { return connection_; }

    // Takes the next connection within two seconds.
    bool accept() {
        if (!readable(listener_, 2000)) {
            return false;
        }
        if (connection_ >= 0) {
            close(connection_);
        }
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return connection_ >= 0;
    }
    bool hasPendingConnection(int ms) const { return readable(listener_, ms); }

    void drop() {
        resetAndClose(connection_);
        connection_ = -1;
    }

    void send(const std::string& text) const {
        ASSERT_EQ(::send(connection_, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // Everything that arrives until count bytes are there or two seconds have passed.
    std::string receive(size_t count) const {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (got.size() < count && Clock::now() < deadline) {
            char chunk[256];
            if (!readable(connection_, 50)) {
                continue;
            }
            const ssize_t n = recv(connection_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

  private:
    int listener_ = -1;
    int connection_ = -1;
    uint16_t port_ = 0;
};

// Reads count bytes, retrying while the stream is not ready, for at most two seconds.
aErr readWithin(aStream* stream, uint8_t* buffer, size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    aErr err = aErrNotReady;
    while (err == aErrNotReady && Clock::now() < deadline) {
        err = aStream_Read(stream, buffer, count);
    }
    return err;
}

aErr write(aStream* stream, const std::string& text) {
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

class SocketStreamTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (stream != nullptr) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
    }
    void connect() {
        ASSERT_EQ(aStream_CreateSocket(kLoopback, peer.port(), &stream), aErrNone);
        ASSERT_NE(stream, nullptr);
        ASSERT_TRUE(peer.accept());
    }

    Peer peer;
    aStream* stream = nullptr;
};

TEST_F(SocketStreamTest, CarriesBytesBothWays) {
    connect();
    peer.send("module");
    uint8_t got[6] = {};
    ASSERT_EQ(readWithin(stream, got, sizeof got), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), sizeof got), "module");

    ASSERT_EQ(write(stream, "h"), aErrNone);  // through put
    ASSERT_EQ(write(stream, "ost"), aErrNone);
    EXPECT_EQ(peer.receive(4), "host");
}

TEST_F(SocketStreamTest, IdleGetWaitsBrieflyThenIsNotReady) {
    connect();
    kxtest::expect_idle_reads_wait_briefly(stream);
}

TEST_F(SocketStreamTest, PeerThatClosedReadsAsSilentWithoutSpinning) {
    connect();
    close(peer.connection());  // an orderly close: the socket stays readable for good
    uint8_t byte = 0;
    const auto start = Clock::now();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    }
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(3 * aSTREAM_IDLE_WAIT_MS / 2));
}

TEST_F(SocketStreamTest, RefusedConnectIsAConnectionError) {
    // A bound socket that does not listen holds the port and answers with a reset.
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
    int marker = 0;
    stream = reinterpret_cast<aStream*>(&marker);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, ntohs(address.sin_port), &stream), aErrConnection);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, peer.port(), nullptr), aErrResource);
    close(holder);
}

TEST_F(SocketStreamTest, UnansweredConnectGivesUpAfterFiveSeconds) {
    // A listener whose accept queue is full drops further connection requests unanswered,
    // as an address without a host behind it would.
    Peer full(0, 0);
    const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(full.port());
    ASSERT_EQ(::connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(full.hasPendingConnection(2000));

    const auto start = Clock::now();
    EXPECT_EQ(aStream_CreateSocket(kLoopback, full.port(), &stream), aErrConnection);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(aSTREAMSOCKET_CONNECT_TIMEOUT_MS - 500));
    EXPECT_LT(waited, std::chrono::seconds(30));
    EXPECT_EQ(stream, nullptr);
    close(filler);
}

TEST_F(SocketStreamTest, WriteReconnectsToAPeerThatCameBack) {
    connect();
    peer.drop();
    // Until the reset has reached us a send may still land on the old connection; the
    // write that meets the lost connection reconnects and delivers.
    bool reconnected = false;
    for (int attempt = 0; attempt < 5 && !reconnected; ++attempt) {
        ASSERT_EQ(write(stream, "again"), aErrNone);
        reconnected = peer.hasPendingConnection(200);
    }
    ASSERT_TRUE(reconnected);
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.receive(5), "again");
}

TEST_F(SocketStreamTest, GetReconnectsAfterAReset) {
    connect();
    peer.drop();
    uint8_t byte = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (!peer.hasPendingConnection(0) && Clock::now() < deadline) {
        EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    }
    ASSERT_TRUE(peer.accept());
    peer.send("x");
    ASSERT_EQ(readWithin(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'x');
}

TEST(SocketStreamPeerGoneTest, FailedReconnectIsRetriedByTheNextWrite) {
    aStream* stream = nullptr;
    uint16_t port = 0;
    {
        Peer peer;
        port = peer.port();
        ASSERT_EQ(aStream_CreateSocket(kLoopback, port, &stream), aErrNone);
        ASSERT_TRUE(peer.accept());
        peer.drop();
    }  // the module is gone altogether: reconnecting is refused
    uint8_t byte = 0;
    EXPECT_EQ(readWithin(stream, &byte, 1), aErrConnection);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);  // not connected any more
    EXPECT_EQ(write(stream, "lost"), aErrConnection);

    Peer back(port);  // the module is back on its port
    ASSERT_EQ(write(stream, "found"), aErrNone);
    ASSERT_TRUE(back.accept());
    EXPECT_EQ(back.receive(5), "found");
    back.send("y");
    ASSERT_EQ(readWithin(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'y');
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(SocketStreamTest, ReaderAndWriterThreadsShareAReconnect) {
    connect();
    std::atomic<bool> running{true};
    std::atomic<int> bytesRead{0};
    std::thread reader([&] {
        while (running) {
            uint8_t byte = 0;
            if (aStream_Read(stream, &byte, 1) == aErrNone) {
                ++bytesRead;
            }
        }
    });
    peer.send("ab");
    peer.drop();
    bool reconnected = false;
    for (int attempt = 0; attempt < 5 && !reconnected; ++attempt) {
        EXPECT_EQ(write(stream, "w"), aErrNone);
        reconnected = peer.hasPendingConnection(200);
    }
    ASSERT_TRUE(reconnected);
    ASSERT_TRUE(peer.accept());
    // Both threads may have reconnected; what matters is that the newest connection works.
    while (peer.hasPendingConnection(100)) {
        ASSERT_TRUE(peer.accept());
    }
    const int before = bytesRead;
    peer.send("cd");
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (bytesRead < before + 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    running = false;
    reader.join();
    EXPECT_EQ(bytesRead, before + 2);
}

TEST_F(SocketStreamTest, DestroyResetsTheConnection) {
    connect();
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    ASSERT_TRUE(readable(peer.connection(), 2000));
    char byte = 0;
    EXPECT_LE(recv(peer.connection(), &byte, 1, 0), 0);
}

}  // namespace
