// kestrix-update-server's own units (query and parameter parsing, configuration, tokens,
// the firmware index, the protocol answers) and the process: paths, methods, request
// size limits, start-up errors and shutdown.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "FirmwareIndex.h"
#include "Jwt.h"
#include "ServerConfig.h"
#include "TestFirmwareRoot.h"
#include "UpdateServerProcess.h"
#include "UpdateService.h"
#include "temp_dir.h"

namespace {

using Params = std::map<std::string, std::string>;

TEST(ParseQuery, DecodesParametersAndRejectsMalformedOnes) {
    const struct {
        const char* raw;
        std::optional<Params> params;
    } cases[] = {
        {"", Params{}},
        {"op=hi&rv=2&", Params{{"op", "hi"}, {"rv", "2"}}},
        {"fp=0A%200B&&x=", Params{{"fp", "0A 0B"}, {"x", ""}}},
        {"a=b=c", Params{{"a", "b=c"}}},
        {"a=%41%7e+", Params{{"a", "A~+"}}},  // "+" is no blank in this protocol
        {"op", std::nullopt},
        {"=x", std::nullopt},
        {"a=1&a=2", std::nullopt},
        {"a=%2", std::nullopt},
        {"a=%zz", std::nullopt},
        {"%=1", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseQuery(c.raw), c.params) << c.raw;
    }
}

TEST(ParseParameters, AcceptOnlyTheExactForms) {
    EXPECT_EQ(ParseSerial("40F5849A"), 0x40F5849Au);
    EXPECT_EQ(ParseSerial("deadbeef"), 0xDEADBEEFu);
    for (const char* bad :
         {"", "40F5849", "40F5849AB", "../../..", "+0F5849A", " 0F5849A", "0x5849AB", "40F5849G"}) {
        EXPECT_EQ(ParseSerial(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(ParseBuild("99528558"), 99528558u);
    EXPECT_EQ(ParseBuild("4294967295"), 4294967295u);
    for (const char* bad : {"", "12a", "-1", "+5", " 5", "4294967296", "00000000001", "../1"}) {
        EXPECT_EQ(ParseBuild(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(ParseFingerprint("CAFEBABE 01234567 89abcdef DEADBEEF"),
              (Fingerprint128{0xCAFEBABE, 0x01234567, 0x89ABCDEF, 0xDEADBEEF}));
    for (const char* bad :
         {"CAFEBABE 01234567 89ABCDEF", "CAFEBABE  01234567 89ABCDEF DEADBEE",
          "CAFEBABE%2001234567%2089ABCDEF%20DEADBEEF", "CAFEBABE-01234567-89ABCDEF-DEADBEEF"}) {
        EXPECT_EQ(ParseFingerprint(bad), std::nullopt) << bad;
    }
}

TEST(ServerConfig, RejectsInvalidConfigurationsNamingTheProblem) {
    const struct {
        const char* json;
        const char* error;
    } cases[] = {
        {"[]", "configuration: must be a JSON object"},
        {R"({"devices": {"XYZ": {"firmware": "a"}}})", "devices.XYZ: the key must be"},
        {R"({"devices": {"40F5849A": {}}})", "devices.40F5849A: \"firmware\" is missing"},
        {R"({"devices": {"40F5849A": {"firmware": "a\nb"}}})", "must be a non-empty single-line"},
        {R"({"devices": {"40F5849A": {"firmware": "a"}, "40f5849a": {"firmware": "b"}}})",
         "serial number listed twice"},
        {R"({"devices": {"40F5849A": {"firmware": "a", "builds": [-1]}}})",
         "devices.40F5849A.builds: must be a build number"},
        {R"({"recovery": [{"fingerprint": "1 2 3 4", "serial": "40F5849A"}]})",
         "recovery[0].fingerprint: must be four groups"},
        {R"({"recovery": [{"fingerprint": "00000001 00000002 00000003 00000004",
             "serial": "40F5849A"}]})",
         "recovery[0].serial: names no device"},
        {R"({"devices": {"40F5849A": {"firmware": "a"}}, "recovery": [{"fingerprint":
             "00000001 00000002 00000003 00000004", "serial": "40F5849A", "scramble": true}]})",
         "recovery[0]: a scrambled recovery image needs its \"build\""},
        {R"({"faults": [{"kind": "explode"}]})", "faults[0].kind: unknown fault \"explode\""},
        {R"({"faults": [{"kind": "drop", "sn": "40F5849A"}]})", "faults[0]: unknown key \"sn\""},
        {R"({"device": {}})", "configuration: unknown key \"device\""},
        {R"({"faults": [{"kind": "delay"}]})", "faults[0]: \"ms\" is missing"},
        {R"({"faults": [{"kind": "status", "status": 99}]})", "faults[0].status: must be"},
        {R"({"faults": [{"kind": "canned"}]})", "faults[0]: \"body\" is missing"},
        {R"({"faults": [{"kind": "refuse", "match": {"sn": 5}}]})", "faults[0].match.sn: must be"},
    };
    for (const auto& c : cases) {
        try {
            ServerConfig::FromJson(nlohmann::json::parse(c.json));
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
                << e.what() << "\nwanted: " << c.error;
        }
    }
}

TEST(Jwt, CompactHs256TokenMatchesIndependentVector) {
    // Computed with an independent HMAC-SHA256 and base64url implementation.
    EXPECT_EQ(MakeJwt({{"sn", "40F5849A"}, {"iat", 1700000000}}, "secret"),
              "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9.eyJpYXQiOjE3MDAwMDAwMDAsInNuIjoiNDBGNTg0OUEifQ."
              "0_QoYcSSEdMQxSIJmeUn-iHk8cyGjbzESvyrs7eDVq8");
    EXPECT_EQ(Base64Url(""), "");
    EXPECT_EQ(Base64Url("f"), "Zg");
    EXPECT_EQ(Base64Url("\xfb\xff"), "-_8");
}

// A firmware directory, its index and the warnings the index gives.
class FirmwareIndexTest : public ::testing::Test {
  protected:
    TempDir dir;
    TestFirmwareRoot firmware{dir.path()};
    std::vector<std::string> warnings;
    FirmwareIndex index{firmware.root(), [this](const std::string& w) { warnings.push_back(w); }};
};

TEST_F(FirmwareIndexTest, BuildsComeFromInfoBlocksAndUnusableFilesAreSkipped) {
    firmware.addImage(0x40F5849A, 42, "1.2.3", TestFirmwareRoot::DefaultFirmware(), "latest.bird");
    firmware.addImage(0x40F5849A, 42, "1.2.4", TestFirmwareRoot::DefaultFirmware(), "twin.bird");
    firmware.addImage(0x40F5849A, 0, "9.9.9", TestFirmwareRoot::DefaultFirmware(), "zero.bird");
    firmware.addImage(0x40F5849A, 7, "1.0.0", TestFirmwareRoot::DefaultFirmware(), "7.bin");
    std::string folder = firmware.root() + "/40F5849A/";
    std::ofstream(folder + "junk.bird") << "not a bird file";
    std::ofstream(folder + "bird-no-payload.bird") << "bird\x01\x01"
                                                   << "garbage";

    auto images = index.Images(0x40F5849A);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images.at(42).version, "1.2.3");
    EXPECT_EQ(images.at(42).path.filename(), "latest.bird") << "the first name in order wins";
    EXPECT_EQ(warnings.size(), 4u) << "twin, zero build, junk, broken payload";
    EXPECT_TRUE(index.Images(0x0BADF00D).empty());
    index.Images(0x40F5849A);
    EXPECT_EQ(warnings.size(), 4u) << "each problem is reported once";

    // A replaced image is read again; unchanged ones are not warned about twice.
    warnings.clear();
    firmware.addImage(0x40F5849A, 43, "2.0.0", std::vector<uint8_t>(500, 1), "latest.bird");
    images = index.Images(0x40F5849A);
    EXPECT_EQ(images.at(43).version, "2.0.0");
    EXPECT_EQ(images.at(42).path.filename(), "twin.bird");
    EXPECT_TRUE(warnings.empty());
}

class UpdateServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        firmware.addImage(0x40F5849A, 100, "1.0.0");
        firmware.addImage(0x40F5849A, 200, "2.0.0");
    }
    UpdateService service(const std::string& tokenKey = "k") {
        ServerConfig config = ServerConfig::FromJson(
            {{"token_key", tokenKey},
             {"devices", {{"40F5849A", {{"firmware", "fw"}}}, {"00000001", {{"firmware", "x"}}}}},
             {"recovery",
              {{{"fingerprint", "00000001 00000002 00000003 00000004"}, {"serial", "00000001"}}}}});
        return UpdateService(config, firmware.root(), [](const std::string&) {});
    }

    TempDir dir;
    TestFirmwareRoot firmware{dir.path()};
};

TEST_F(UpdateServiceTest, MalformedOrUnknownRequestsAreRefused) {
    UpdateService answers = service();
    const struct {
        const char* query;
        const char* body;
    } cases[] = {
        {"op=hi&rv=2&", "ok\n"},
        {"op=builds&sn=40F5849A&", "ok\n100;1.0.0\n200;2.0.0\n"},
        {"op=qu&sn=40f5849a&", "ok\n200\nfw\n"},
        {"", "refused: missing parameter op\n"},
        {"op=hi&rv=3&", "refused: unsupported rv value\n"},
        {"op=hi&op=hi&rv=2&", "refused: malformed query\n"},
        {"op=format&sn=40F5849A&", "refused: unknown operation\n"},
        {"op=qu&sn=..%2F..%2Fetc&", "refused: sn must be eight hexadecimal digits\n"},
        {"op=qu&sn=12345678&", "refused: unknown device 12345678\n"},
        {"op=qu&sn=00000001&", "refused: no builds for 00000001\n"},
        {"op=bird&sn=40F5849A&fw=fw&bld=..%2F100&no_cal=false&",
         "refused: bld must be a decimal build number\n"},
        {"op=bird&sn=40F5849A&fw=fw&bld=300&no_cal=false&",
         "refused: build 300 is not offered for 40F5849A\n"},
        {"op=bird&sn=40F5849A&fw=other&bld=100&no_cal=false&",
         "refused: firmware name does not match the device\n"},
        {"op=bird&sn=40F5849A&fw=fw&bld=100&no_cal=maybe&", "refused: unsupported no_cal value\n"},
        {"op=bird&sn=40F5849A&fw=fw&no_cal=true&", "refused: missing parameter bld\n"},
        {"op=fix&fp=00000001%2000000002%2000000003%2000000004&brief=true&",
         "refused: no builds for 00000001\n"},
        {"op=fix&fp=00000009%2000000002%2000000003%2000000004&brief=true&",
         "refused: unknown fingerprint\n"},
        {"op=fix&fp=00000001%2000000002%2000000003%2000000004&brief=false&",
         "refused: unsupported brief value\n"},
        {"op=ent_jwt&sn=40F5849A&json=true&", "refused: unsupported json value\n"},
    };
    for (const auto& c : cases) {
        Reply reply = answers.Answer(c.query);
        EXPECT_EQ(reply.status, 200) << c.query;
        EXPECT_EQ(reply.body, c.body) << c.query;
        EXPECT_TRUE(reply.fault.empty());
    }
    EXPECT_EQ(service("").Answer("op=ent_jwt&sn=40F5849A&json=false&").body,
              "refused: no tokens are issued here\n");
}

// ---- The process ---------------------------------------------------------------------

// Sends raw request text to 127.0.0.1:port and returns the reply's status line.
std::string rawRequest(int port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[512];
        ssize_t n;
        while (reply.find("\r\n") == std::string::npos &&
               (n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
            reply.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return reply.substr(0, reply.find("\r\n"));
}

class UpdateServerProcessTest : public ::testing::Test {
  protected:
    UpdateServerProcess::Options options() const {
        return {.binary = KX_UPDATE_SERVER_BIN,
                .root = firmware.root(),
                .config = firmware.configFile()};
    }
    TempDir dir;
    TestFirmwareRoot firmware{dir.path()};
};

TEST_F(UpdateServerProcessTest, ServesOnlyTheProtocolPathsAndBoundedGets) {
    firmware.writeConfig(nlohmann::json::object());
    UpdateServerProcess server(options());
    const int port = server.port();
    auto get = [&](const std::string& target) {
        return rawRequest(port,
                          "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    };
    EXPECT_EQ(get("/cgi/u?op=hi&rv=2&"), "HTTP/1.1 200 OK");
    EXPECT_EQ(get("/?op=hi&rv=2&"), "HTTP/1.1 200 OK");
    EXPECT_EQ(get("/cgi/u/../../server.json"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(get("/server.json"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(rawRequest(port, "POST /cgi/u HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nhi"),
              "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(get("/cgi/u?op=hi&pad=" + std::string(10000, 'x')), "HTTP/1.1 414 URI Too Long");
    EXPECT_EQ(rawRequest(port, "GET /cgi/u HTTP/1.1\r\nHost: x\r\nX-Pad: " +
                                   std::string(10000, 'x') + "\r\n\r\n"),
              "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(server.accessLog().size(), 5u) << "one line for each request that was read";
}

TEST_F(UpdateServerProcessTest, StopsCleanlyOnSigintAndSigtermWithARequestInFlight) {
    firmware.writeConfig({{"faults", {{{"kind", "delay"}, {"ms", 600000}}}}});
    for (int signal : {SIGINT, SIGTERM}) {
        UpdateServerProcess server(options());
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(server.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        std::string request = "GET /cgi/u?op=hi&rv=2& HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        EXPECT_EQ(server.stop(signal), 0) << "signal " << signal;
        close(fd);
    }
}

TEST_F(UpdateServerProcessTest, BadConfigurationStopsTheStart) {
    firmware.writeConfig({{"devices", {{"nonsense", {{"firmware", "x"}}}}}});
    try {
        UpdateServerProcess server(options());
        ADD_FAILURE() << "started";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(
                      "devices.nonsense: the key must be eight hexadecimal digits"),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
