// kestrix-sim itself: its configuration, its framing pinned by byte-exact vectors, and the
// executable as tests run it (ready line, raw TCP and pseudo-terminal exchanges, log,
// help, clean shutdown).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "SimFraming.h"
#include "SimProcess.h"
#include "Simulator.h"

using nlohmann::json;
using Bytes = std::vector<uint8_t>;

namespace {

// Reads until count bytes arrived or the deadline passed.
Bytes readBytes(int fd, size_t count,
                std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    Bytes bytes;
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd waiting{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        uint8_t chunk[256];
        const ssize_t got = read(fd, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

int connectTcp(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int openTerminal(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    return fd;
}

void writeAll(int fd, const Bytes& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

}  // namespace

TEST(SimConfig, RejectsWhatWouldMisleadATest) {
    const json cases[] = {
        json::object(),
        {{"modules", json::array()}},
        {{"modules", {{{"address", 4}}}}},                 // no serial
        {{"modules", {{{"serial", 1}, {"address", 5}}}}},  // odd address
        {{"modules", {{{"serial", "XYZ"}}}}},              // not hexadecimal
        {{"modules", {{{"serial", 1}, {"adress", 4}}}}},   // misspelt key
        {{"modules", {{{"serial", 1}, {"faults", {{{"kind", "explode"}}}}}}}},
        {{"modules", {{{"serial", 1}, {"faults", {{{"kind", "drop_reply"}, {"at", 0}}}}}}}},
        {{"modules",
          {{{"serial", 1},
            {"transport", {{"type", "serial"}}},
            {"faults", {{{"kind", "close"}}}}}}}},
        {{"modules", {{{"serial", 1}, {"transport", {{"type", "usb"}}}}}}},
    };
    for (const json& config : cases) {
        SCOPED_TRACE(config.dump());
        EXPECT_THROW(kxsim::parseConfig(config), std::runtime_error);
    }
    const kxsim::Config unknownUnit =
        kxsim::parseConfig({{"modules", {{{"serial", 1}, {"units", {{"teleporter", {}}}}}}}});
    EXPECT_THROW(kxsim::Simulator{unknownUnit}, std::runtime_error);
}

TEST(SimConfig, ReadsSerialNumbersAsHexTextOrNumbers) {
    const kxsim::Config config = kxsim::parseConfig(
        {{"modules", {{{"serial", "40F5849A"}}, {{"serial", 0x40F5849A}, {"model", 13}}}}});
    ASSERT_EQ(config.modules.size(), 2u);
    EXPECT_EQ(config.modules[0].serial, 0x40F5849Au);
    EXPECT_EQ(config.modules[1].serial, 0x40F5849Au);
    EXPECT_EQ(config.modules[0].address, 2);
    EXPECT_EQ(kxsim::serialText(0xABCD), "0000ABCD");
}

TEST(SimFraming, SerialFramesArePinned) {
    // CRC-8/MAXIM and COBS worked out by hand for these packets.
    struct Case {
        kxsim::Packet packet;
        Bytes frame;
    };
    const Case cases[] = {
        {{0xAF, {0x01}}, {0x05, 0xAF, 0x01, 0x01, 0x33, 0x00}},
        {{0xAD, {}}, {0x02, 0xAD, 0x02, 0x67, 0x00}},
        {{0x04, {}}, {0x02, 0x04, 0x02, 0x3B, 0x00}},
        {{0x04, {0x17}}, {0x05, 0x04, 0x01, 0x17, 0x44, 0x00}},
    };
    auto framing = kxsim::makeFraming(kxsim::TransportKind::Serial);
    for (const Case& c : cases) {
        EXPECT_EQ(framing->encode(c.packet, std::nullopt), c.frame);
        std::vector<kxsim::Packet> decoded;
        EXPECT_EQ(framing->decode(c.frame.data(), c.frame.size(), decoded), 0u);
        ASSERT_EQ(decoded.size(), 1u);
        EXPECT_EQ(decoded[0], c.packet);
    }
    // A corrupted byte keeps the CRC of the original, so the frame fails its check.
    const Bytes bad = framing->encode({0x04, {0x17}}, kxsim::Corruption{2, 0x18});
    std::vector<kxsim::Packet> decoded;
    EXPECT_EQ(framing->decode(bad.data(), bad.size(), decoded), 1u);
    EXPECT_TRUE(decoded.empty());
}

TEST(SimFraming, StreamPacketsAreCountedAcrossReads) {
    auto framing = kxsim::makeFraming(kxsim::TransportKind::Tcp);
    const Bytes wire = {0xAD, 0x00, 0x04, 0x02, 0x17, 0x55, 0x00, 0x04, 0x1D, 0x04, 0x00};
    std::vector<kxsim::Packet> packets;
    uint64_t rejected = 0;
    for (uint8_t byte : wire) {  // one byte per read
        rejected += framing->decode(&byte, 1, packets);
    }
    EXPECT_EQ(rejected, 3u);  // the zero address, then 04 with a size above 28
    EXPECT_EQ(packets, (std::vector<kxsim::Packet>{{0xAD, {}}, {0x04, {0x17, 0x55}}, {0x04, {}}}));
}

class SimExecutable : public testing::Test {
  protected:
    static json config(const std::string& log) {
        return {{"log", log},
                {"modules",
                 {{{"serial", "0000ABCD"},
                   {"address", 4},
                   {"model", 13},
                   {"heartbeat", {{"interval_ms", 50}, {"kinds", {0, 1}}}}},
                  {{"serial", "0000ABCE"}, {"address", 6}, {"transport", {{"type", "serial"}}}}}}};
    }
};

TEST_F(SimExecutable, ReadyLineNamesEveryEndpoint) {
    SimProcess sim(KX_SIM_BIN, config(""));
    const json& modules = sim.ready()["modules"];
    ASSERT_EQ(modules.size(), 2u);
    EXPECT_EQ(modules[0]["serial"], "0000ABCD");
    EXPECT_EQ(modules[0]["transport"], "tcp");
    EXPECT_EQ(modules[0]["host"], "127.0.0.1");
    EXPECT_GT(sim.port(0), 0);
    EXPECT_EQ(modules[1]["transport"], "serial");
    EXPECT_EQ(sim.serialPath(1).rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(sim.readyLine().find('\n'), std::string::npos);
    EXPECT_EQ(sim.stop(SIGINT), 0);
}

TEST_F(SimExecutable, AnswersOverTcpAndLogsEveryPacket) {
    std::string logPath;
    {
        char pattern[] = "/tmp/kx-simlog-XXXXXX";
        const int fd = mkstemp(pattern);
        close(fd);
        logPath = pattern;
    }
    SimProcess sim(KX_SIM_BIN, config(logPath));
    const int fd = connectTcp(sim.port(0));
    ASSERT_GE(fd, 0);
    writeAll(fd, {0xAD, 0x00, 0x04, 0x02, 0x17, 0x55});
    EXPECT_EQ(readBytes(fd, 6), (Bytes{0x04, 0x00, 0x04, 0x02, 0x17, 0x55}));
    // Heartbeats of the two kinds in turn, and the host's answer to one recorded.
    EXPECT_EQ(readBytes(fd, 8), (Bytes{0x04, 0x02, 0x00, 0x00, 0x04, 0x02, 0x00, 0x01}));
    writeAll(fd, {0x04, 0x02, 0x00, 0x02, 0x04, 0x01, 0x17});
    EXPECT_EQ(readBytes(fd, 3), (Bytes{0x04, 0x01, 0x17}));  // so the answer was read too
    close(fd);
    EXPECT_EQ(sim.stop(), 0);

    std::ifstream log(logPath);
    std::vector<json> lines;
    for (std::string line; std::getline(log, line);) {
        lines.push_back(json::parse(line));
        EXPECT_TRUE(lines.back()["ts"].is_number());
    }
    std::remove(logPath.c_str());
    const auto has = [&](const char* dir, const char* bytes) {
        return std::any_of(lines.begin(), lines.end(), [&](const json& line) {
            return line.value("dir", "") == dir && line.value("bytes", "") == bytes;
        });
    };
    EXPECT_TRUE(has("rx", "AD 00"));
    EXPECT_TRUE(has("tx", "04 00"));
    EXPECT_TRUE(has("rx", "04 02 17 55"));
    EXPECT_TRUE(has("tx", "04 02 00 01"));
    EXPECT_TRUE(has("rx", "04 02 00 02"));
}

TEST_F(SimExecutable, AnswersFramedPacketsOnItsPseudoTerminal) {
    SimProcess sim(KX_SIM_BIN, config(""));
    const int fd = openTerminal(sim.serialPath(1));
    ASSERT_GE(fd, 0);
    writeAll(fd, {0x02, 0xAD, 0x02, 0x67, 0x00});                        // AD 00
    EXPECT_EQ(readBytes(fd, 5), (Bytes{0x02, 0x06, 0x02, 0xAA, 0x00}));  // 06 00, CRC 0xAA
    close(fd);
}

TEST_F(SimExecutable, HelpDocumentsTheConfiguration) {
    FILE* help = popen((std::string(KX_SIM_BIN) + " --help").c_str(), "r");
    ASSERT_NE(help, nullptr);
    std::string text;
    char chunk[512];
    while (size_t got = fread(chunk, 1, sizeof chunk, help)) {
        text.append(chunk, got);
    }
    EXPECT_EQ(pclose(help), 0);
    for (const char* topic : {"--config", "\"modules\"", "heartbeat", "drop_reply", "odd_address",
                              "garbage", "stall", "close", "ready"}) {
        EXPECT_NE(text.find(topic), std::string::npos) << topic;
    }
}

TEST_F(SimExecutable, RefusesABadConfiguration) {
    EXPECT_THROW(SimProcess(KX_SIM_BIN, json{{"modules", {{{"serial", 1}, {"address", 3}}}}},
                            std::chrono::seconds(5)),
                 std::runtime_error);
}
