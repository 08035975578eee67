// Serial streams over pseudo-terminals: the test holds the master side, the stream opens
// the slave device as it would open a serial port.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "StreamChecks.h"
#include "temp_dir.h"
#include "unix_streamserial.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class Pty {
  public:
    Pty() {
        char name[256] = {};
        ok_ = openpty(&master_, &slave_, name, nullptr, nullptr) == 0;
        path_ = name;
    }
    ~Pty() {
        closeMaster();
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return ok_; }
    const char* path() const { return path_.c_str(); }
    int slave() const { return slave_; }
    void closeMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }
    void send(const Bytes& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What arrives at the master until count bytes are there or two seconds have passed.
    Bytes receive(size_t count) const {
        Bytes got;
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (got.size() < count && Clock::now() < deadline) {
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, 50) <= 0) {
                continue;
            }
            uint8_t chunk[64];
            const ssize_t n = read(master_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

  private:
    bool ok_ = false;
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Reads count bytes one at a time while the stream is not ready, for at most two seconds;
// the first error other than not-ready ends it.
Bytes readWithin(aStream* stream, size_t count, aErr* last = nullptr) {
    Bytes got;
    aErr err = aErrNone;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (got.size() < count && Clock::now() < deadline) {
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err == aErrNone) {
            got.push_back(byte);
        } else if (err != aErrNotReady) {
            break;
        }
    }
    if (last != nullptr) {
        *last = err;
    }
    return got;
}

class SerialStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()); }
    void TearDown() override {
        if (stream != nullptr) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
    }

    Pty pty;
    aStream* stream = nullptr;
};

struct Settings {
    uint32_t baudIndex;
    bool parity;
    uint32_t dataBits;
    uint32_t stopBits;
    speed_t speed;
    tcflag_t iflag;
    tcflag_t cflag;  // besides CREAD and CLOCAL
};

class SerialSettingsTest : public SerialStreamTest,
                           public ::testing::WithParamInterface<Settings> {};

TEST_P(SerialSettingsTest, PortIsRawWithTheGivenFrameAndRestoredAfterwards) {
    const Settings& s = GetParam();
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    ASSERT_EQ(
        aStream_CreateSerial(pty.path(), s.baudIndex, s.parity, s.dataBits, s.stopBits, &stream),
        aErrNone);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(t.c_iflag, s.iflag);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    // A pseudo-terminal always keeps 8 data bits without parity, so those two settings
    // cannot be seen here; the rest of the control flags can.
    const tcflag_t visible = CSTOPB | PARODD | CREAD | CLOCAL | CRTSCTS;
    EXPECT_EQ(t.c_cflag & visible, (s.cflag | CREAD | CLOCAL) & visible);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&t), s.speed);
    EXPECT_EQ(cfgetospeed(&t), s.speed);

    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SerialSettingsTest,
    ::testing::Values(Settings{6, false, 0, 0, B115200, IGNBRK, CS8},  // 8N1, as links use
                      Settings{0, false, 0, 0, B2400, IGNBRK, CS8},
                      Settings{7, true, 1, 1, B230400, IGNBRK | IGNPAR, CS7 | PARENB | CSTOPB},
                      Settings{2, true, 0, 0, B9600, IGNBRK | IGNPAR, CS8 | PARENB}));

TEST(SerialBaudTest, IndexTable) {
    const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(aStreamSerial_BaudRate(i), rates[i]);
    }
    EXPECT_EQ(aStreamSerial_BaudRate(8), 0u);
}

TEST_F(SerialStreamTest, CarriesBytesBothWays) {
    ASSERT_EQ(aStream_CreateSerial(pty.path(), 6, false, 0, 0, &stream), aErrNone);
    pty.send({'?', 0x00, 0xFF, '\r', '\n'});  // raw: nothing is translated or swallowed
    EXPECT_EQ(readWithin(stream, 5), (Bytes{'?', 0x00, 0xFF, '\r', '\n'}));
    const Bytes out = {'S', 'y', 'n', 0x00, '\n'};
    ASSERT_EQ(aStream_Write(stream, out.data(), 1), aErrNone);  // through put
    ASSERT_EQ(aStream_Write(stream, out.data() + 1, out.size() - 1), aErrNone);
    EXPECT_EQ(pty.receive(out.size()), out);
}

TEST_F(SerialStreamTest, IdleGetWaitsBrieflyThenIsNotReady) {
    ASSERT_EQ(aStream_CreateSerial(pty.path(), 6, false, 0, 0, &stream), aErrNone);
    kxtest::expect_idle_reads_wait_briefly(stream);
}

TEST_F(SerialStreamTest, LostDeviceIsAnIOError) {
    ASSERT_EQ(aStream_CreateSerial(pty.path(), 6, false, 0, 0, &stream), aErrNone);
    pty.closeMaster();
    aErr err = aErrNone;
    readWithin(stream, 1, &err);
    EXPECT_EQ(err, aErrIO);
}

TEST_F(SerialStreamTest, OpenErrorsAreMapped) {
    TempDir dir;
    int marker = 0;
    stream = reinterpret_cast<aStream*>(&marker);
    EXPECT_EQ(aStream_CreateSerial((dir / "ttyMissing").c_str(), 6, false, 0, 0, &stream),
              aErrNotFound);
    EXPECT_EQ(stream, nullptr);
    // Not a terminal: it opens but cannot be set up.
    const std::string plain = dir.write("plain", "x");
    EXPECT_EQ(aStream_CreateSerial(plain.c_str(), 6, false, 0, 0, &stream), aErrIO);
    EXPECT_EQ(aStream_CreateSerial(pty.path(), 8, false, 0, 0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(pty.path(), 6, false, 2, 0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(pty.path(), 6, false, 0, 2, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, 0, 0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(pty.path(), 6, false, 0, 0, nullptr), aErrParam);
    const std::string longPath(4096, 'a');
    EXPECT_EQ(aStream_CreateSerial(longPath.c_str(), 6, false, 0, 0, &stream), aErrFileNameLength);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(SerialStreamTest, DeviceWithoutAccessIsAPermissionError) {
    // Root may open anything, so the open is tried by a child that has become nobody.
    ASSERT_EQ(fchmod(pty.slave(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(100);
        }
        aStream* s = nullptr;
        const aErr err = aStream_CreateSerial(pty.path(), 6, false, 0, 0, &s);
        _exit(geteuid() == 0 ? 101 : static_cast<int>(err));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 101) {
        GTEST_SKIP() << "this process cannot give up root";
    }
    EXPECT_EQ(WEXITSTATUS(status), aErrPermission);
}

TEST_F(SerialStreamTest, PacketizedPortFramesPacketsBothWays) {
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path(), 6, false, 0, 0, &stream), aErrNone);
    const Bytes packet = {0x04, 0x01, 0x00};
    ASSERT_EQ(aStream_Write(stream, packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(pty.receive(6), (Bytes{0x03, 0x04, 0x01, 0x02, 0x5A, 0x00}));
    const uint8_t lone = 0x3F;
    ASSERT_EQ(aStream_Write(stream, &lone, 1), aErrNone);  // unframed
    EXPECT_EQ(pty.receive(1), Bytes{0x3F});

    pty.send({0x02, 0x04, 0x02, 0x3B, 0x00});
    EXPECT_EQ(readWithin(stream, 2), (Bytes{0x04, 0x00}));
}

TEST_F(SerialStreamTest, PacketizedPortReportsALostDevice) {
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path(), 6, false, 0, 0, &stream), aErrNone);
    pty.closeMaster();
    aErr err = aErrNone;
    readWithin(stream, 1, &err);
    EXPECT_EQ(err, aErrIO);
}

TEST_F(SerialStreamTest, PacketizedOpenErrorsAreThoseOfThePort) {
    TempDir dir;
    EXPECT_EQ(
        aStream_CreateSerial_Packetized((dir / "ttyMissing").c_str(), 6, false, 0, 0, &stream),
        aErrNotFound);
    EXPECT_EQ(stream, nullptr);
}

}  // namespace
