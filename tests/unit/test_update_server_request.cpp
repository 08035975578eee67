// UpdateServerRequest against a real kestrix-update-server on 127.0.0.1: the queries as
// the server receives them, the answers it extracts from the server's firmware
// directory, every reply rule (through canned replies) and injected faults.
#include "UpdateServerRequest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BirdFile.h"
#include "TestFirmwareRoot.h"
#include "UpdateServerProcess.h"
#include "base64.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

using Builds = std::map<std::string, std::string>;
using namespace std::string_literals;

// ---- Version order -------------------------------------------------------------------

TEST(SplitKestrixVersion, ExactlyThreePartsOrNothing) {
    using Parts = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitKestrixVersion("2.10.4"), (Parts{"2", "10", "4"}));
    EXPECT_EQ(UpdateServerRequest::SplitKestrixVersion("1..2"), (Parts{"1", "", "2"}));
    EXPECT_EQ(UpdateServerRequest::SplitKestrixVersion(".."), (Parts{"", "", ""}));
    EXPECT_TRUE(UpdateServerRequest::SplitKestrixVersion("2.10").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitKestrixVersion("2.10.4.1").empty());
    EXPECT_TRUE(UpdateServerRequest::SplitKestrixVersion("").empty());
}

// The versions of SortBuildsByVersion's result, in order.
std::vector<std::string> sortedVersions(const Builds& builds) {
    std::vector<std::string> versions;
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds)) {
        EXPECT_EQ(builds.at(build), version);
        versions.push_back(version);
    }
    return versions;
}

TEST(SortBuildsByVersion, NewestFirstByNumericComponents) {
    EXPECT_EQ(sortedVersions({{"1", "2.10.4"}, {"2", "2.9.10"}, {"3", "2.10.12"}}),
              (std::vector<std::string>{"2.10.12", "2.10.4", "2.9.10"}));
    // Components are bytes: 256 counts as 0 and 257 as 1; blanks before digits and
    // anything after them are ignored.
    EXPECT_EQ(
        sortedVersions({{"1", "1.256.0"}, {"2", "1.0.5"}, {"3", "1. 1.0rc"}, {"4", "1.257.3"}}),
        (std::vector<std::string>{"1.257.3", "1. 1.0rc", "1.0.5", "1.256.0"}));
}

TEST(SortBuildsByVersion, OddVersionsGoLastInBuildOrder) {
    // Equal versions and versions that are not three numbers keep the map's (key)
    // order; the odd ones follow every proper version.
    Builds builds = {{"10", "x"},     {"11", "2.0.0"}, {"12", "1..2"}, {"13", "3.1"},
                     {"14", "1.0.0"}, {"15", ""},      {"16", "2.0.0"}};
    LogCapture log(0x20);
    auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    EXPECT_NE(log.text().find("_sortVersion: Exception converting version: stoi\n"),
              std::string::npos);
    std::vector<std::string> order;
    for (const auto& entry : sorted) {
        order.push_back(entry.first);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"11", "16", "14", "10", "12", "13", "15"}));
}

TEST(SortBuildsByVersion, ManyOddVersionsKeepTheSortWellDefined) {
    // A comparison that is not a strict weak order lets std::sort run off its range
    // on lists like this one; the sanitizer builds would catch it.
    Builds builds;
    for (int i = 0; i < 200; ++i) {
        builds[std::to_string(1000 + i)] = i % 3 == 0 ? "bad" : "1." + std::to_string(i % 7) + ".0";
    }
    auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());
    EXPECT_EQ(sorted.front().second, "1.6.0");
    EXPECT_EQ(sorted.back(), (std::pair<std::string, std::string>{"1198", "bad"}));
}

// ---- The server's firmware directory -------------------------------------------------

constexpr unsigned kHub = 0x40F5849A;     // two offered builds, one withheld
constexpr unsigned kIo = 0x0BADF00D;      // one build, served scrambled for recovery
constexpr unsigned kFaulty = 0xD0000001;  // builds 5, 6 and 7 misbehave
constexpr unsigned kRefused = 0xF0000002;
constexpr unsigned kFailing = 0xF0000001;
constexpr unsigned kFp1[4] = {1, 2, 3, 4};
constexpr unsigned kFp2[4] = {0xCAFEBABE, 0x01234567, 0x89ABCDEF, 0xDEADBEEF};
const char* const kTokenKey = "lab secret";

std::string base64(const std::vector<uint8_t>& bytes) {
    size_t length = 0;
    std::unique_ptr<char, decltype(&std::free)> text(
        base64_encode(bytes.data(), bytes.size(), &length), &std::free);
    return std::string(text.get(), length);
}

std::vector<uint8_t> unbase64(const std::string& text) {
    size_t length = 0;
    std::unique_ptr<unsigned char, decltype(&std::free)> bytes(
        base64_decode(text.data(), text.size(), &length), &std::free);
    return bytes ? std::vector<uint8_t>(bytes.get(), bytes.get() + length) : std::vector<uint8_t>{};
}

class UpdateServerRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hubImage = firmware.addImage(kHub, 99528558, "2.10.4");
        firmware.addImage(kHub, 99528600, "2.10.12");
        firmware.addImage(kHub, 99528700, "2.11.0");  // in the folder, not offered
        firmware.addImage(kIo, 1000, "1.0.0");
        faultyImage = firmware.addImage(kFaulty, 5, "1.0.0");
        firmware.addImage(kFaulty, 6, "1.0.1");
        firmware.addImage(kFaulty, 7, "1.0.2");
        nlohmann::json faults = nlohmann::json::array({
            {{"match", {{"sn", "D0000001"}, {"bld", "5"}}}, {"kind", "truncate"}},
            {{"match", {{"sn", "D0000001"}, {"bld", "6"}}}, {"kind", "drop"}},
            {{"match", {{"sn", "D0000001"}, {"bld", "7"}}}, {"kind", "delay"}, {"ms", 300}},
            {{"match", {{"sn", "F0000001"}}}, {"kind", "status"}},
            {{"match", {{"sn", "F0000002"}}}, {"kind", "refuse"}},
        });
        for (const auto& fault : extraFaults()) {
            faults.push_back(fault);
        }
        firmware.writeConfig({
            {"token_key", kTokenKey},
            {"devices",
             {{"40F5849A",
               {{"firmware", "kx-hub"},
                {"builds", {99528558, 99528600}},
                {"claims", {{"features", {"capture", "streams"}}}}}},
              {"0BADF00D", {{"firmware", "kx-io"}}},
              {"D0000001", {{"firmware", "kx-faulty"}}}}},
            {"recovery",
             {{{"fingerprint", "00000001 00000002 00000003 00000004"}, {"serial", "40F5849A"}},
              {{"fingerprint", "CAFEBABE 01234567 89ABCDEF DEADBEEF"},
               {"serial", "0BADF00D"},
               {"build", 1000},
               {"scramble", true}}}},
            {"faults", faults},
        });
        server = std::make_unique<UpdateServerProcess>(
            UpdateServerProcess::Options{.binary = KX_UPDATE_SERVER_BIN,
                                         .root = firmware.root(),
                                         .config = firmware.configFile()});
        url = server->url();
    }

    // A server that crashed or reported a sanitizer error does not exit with 0.
    void TearDown() override {
        if (server->running()) {
            EXPECT_EQ(server->stop(), 0) << server->errorOutput();
        }
    }

    // Further faults a test adds to the configuration.
    virtual nlohmann::json extraFaults() const { return nlohmann::json::array(); }

    TempDir dir;
    TestFirmwareRoot firmware{dir.path()};
    std::unique_ptr<UpdateServerProcess> server;
    std::string url;
    std::vector<uint8_t> hubImage;
    std::vector<uint8_t> faultyImage;
};

TEST_F(UpdateServerRequestTest, ServerReceivesEachQueryExactly) {
    std::string build, name, data, token;
    Builds builds;
    unsigned serial = 0, recoveryBuild = 0;
    UpdateServerRequest::ping(url.c_str());
    UpdateServerRequest::QueryBuild(kHub, build, name, url.c_str());
    UpdateServerRequest::GetBuild(kHub, "kx-hub", "99528558", data, url.c_str(), false);
    UpdateServerRequest::GetBuild(kHub, "kx-hub", "99528558", data, url.c_str(), true);
    UpdateServerRequest::GetBuildList(kHub, builds, url.c_str());
    UpdateServerRequest::GetRecoveryInfo(kFp2, &serial, &recoveryBuild, url.c_str());
    UpdateServerRequest::GetDeviceJWT(0x0000ABCD, token, url.c_str());
    // The "-u host:port" form of the server URL asks the server's root.
    std::string hostPort = "127.0.0.1:" + std::to_string(server->port());
    EXPECT_TRUE(UpdateServerRequest::ping(hostPort.c_str()));

    EXPECT_EQ(server->requestTargets(),
              (std::vector<std::string>{
                  "/cgi/u?op=hi&rv=2&",
                  "/cgi/u?op=qu&sn=40F5849A&",
                  "/cgi/u?bld=99528558&fw=kx-hub&no_cal=false&op=bird&sn=40F5849A&",
                  "/cgi/u?bld=99528558&fw=kx-hub&no_cal=true&op=bird&sn=40F5849A&",
                  "/cgi/u?op=builds&sn=40F5849A&",
                  "/cgi/u?brief=true&fp=CAFEBABE%2001234567%2089ABCDEF%20DEADBEEF&op=fix&",
                  "/cgi/u?json=false&op=ent_jwt&sn=0000ABCD&",
                  "/?op=hi&rv=2&",
              }));
}

TEST_F(UpdateServerRequestTest, AnswersComeFromTheFirmwareDirectory) {
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));

    std::string build, name;
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(kHub, build, name, url.c_str()));
    EXPECT_EQ(build, "99528600");  // the highest offered build, not the withheld one
    EXPECT_EQ(name, "kx-hub");

    Builds builds = {{"stale", "entry"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(kHub, builds, url.c_str()));
    EXPECT_EQ(builds, (Builds{{"99528558", "2.10.4"}, {"99528600", "2.10.12"}}));

    std::string data;
    ASSERT_TRUE(
        UpdateServerRequest::GetBuild(kHub, "kx-hub", "99528558", data, url.c_str(), false));
    EXPECT_EQ(unbase64(data), hubImage);

    unsigned serial = 0, recoveryBuild = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFp1, &serial, &recoveryBuild, url.c_str()));
    EXPECT_EQ(serial, kHub);
    EXPECT_EQ(recoveryBuild, 99528600u);
}

// The base64url text of bytes, as JWT parts carry them.
std::string base64url(const std::vector<uint8_t>& bytes) {
    std::string text = base64(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return text;
}

nlohmann::json decodeJwtPart(std::string part) {
    for (char& c : part) {
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    part.append((4 - part.size() % 4) % 4, '=');
    std::vector<uint8_t> json = unbase64(part);
    return nlohmann::json::parse(json.begin(), json.end());
}

TEST_F(UpdateServerRequestTest, DeviceTokenIsSignedWithTheConfiguredKey) {
    std::string token;
    ASSERT_TRUE(UpdateServerRequest::GetDeviceJWT(kHub, token, url.c_str()));
    size_t first = token.find('.');
    size_t second = token.find('.', first + 1);
    ASSERT_NE(second, std::string::npos);
    std::string signingInput = token.substr(0, second);

    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned macLength = 0;
    HMAC(EVP_sha256(), kTokenKey, static_cast<int>(std::strlen(kTokenKey)),
         reinterpret_cast<const unsigned char*>(signingInput.data()), signingInput.size(), mac,
         &macLength);
    EXPECT_EQ(token.substr(second + 1), base64url(std::vector<uint8_t>(mac, mac + macLength)));

    EXPECT_EQ(decodeJwtPart(token.substr(0, first)),
              (nlohmann::json{{"alg", "HS256"}, {"typ", "JWT"}}));
    nlohmann::json claims = decodeJwtPart(token.substr(first + 1, second - first - 1));
    EXPECT_EQ(claims["sn"], "40F5849A");
    EXPECT_EQ(claims["features"], (nlohmann::json{"capture", "streams"}));
}

TEST_F(UpdateServerRequestTest, ScrambledRecoveryImageComesBackWithTheChipIdentifier) {
    unsigned serial = 0, build = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFp2, &serial, &build, url.c_str()));
    EXPECT_EQ(serial, kIo);
    EXPECT_EQ(build, 1000u);

    std::string data;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(serial, "kx-io", std::to_string(build).c_str(), data,
                                              url.c_str(), false));
    std::string path = dir / "recovery.bird";
    std::vector<uint8_t> bytes = unbase64(data);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    BirdFile image(path.c_str());
    auto blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(blocks.size(), 1u);
    auto content = [&] {
        return std::vector<uint8_t>(blocks[0].data + 4, blocks[0].data + blocks[0].length);
    };
    EXPECT_NE(content(), TestFirmwareRoot::DefaultFirmware());
    EXPECT_EQ(image.GetBuild(), 1000u) << "the info block stays readable";
    image.DecodeFirmwareBlocks(kFp2);
    EXPECT_EQ(content(), TestFirmwareRoot::DefaultFirmware());
}

TEST_F(UpdateServerRequestTest, RefusalsLeaveOutputsUntouched) {
    std::string build = "-", name = "-", data = "-", token = "-";
    Builds builds = {{"stale", "entry"}};
    unsigned serial = 7, recoveryBuild = 7;
    const unsigned unknownFingerprint[4] = {9, 9, 9, 9};
    const char* u = url.c_str();
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x12345678, build, name, u));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x12345678, builds, u));
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(0x12345678, token, u));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(0x12345678, "kx-hub", "99528558", data, u, false));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kHub, "kx-hub", "99528700", data, u, false))
        << "a withheld build";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kHub, "kx-io", "99528558", data, u, false))
        << "another device's firmware name";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kHub, "kx-hub", "../99528558", data, u, false));
    EXPECT_FALSE(
        UpdateServerRequest::GetRecoveryInfo(unknownFingerprint, &serial, &recoveryBuild, u));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(kRefused, build, name, u));
    EXPECT_EQ(build + name + data + token, "----");
    EXPECT_TRUE(builds.empty()) << "the list is emptied before the request";
    EXPECT_EQ(serial, 7u);
    EXPECT_EQ(recoveryBuild, 7u);
}

TEST_F(UpdateServerRequestTest, InjectedFaults) {
    const char* u = url.c_str();
    std::string data;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(kFaulty, "kx-faulty", "5", data, u, false));
    std::string whole = base64(faultyImage);
    EXPECT_EQ(data, whole.substr(0, whole.size() / 2)) << "truncated Base64 still counts as ok";

    data = "-";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kFaulty, "kx-faulty", "6", data, u, false));
    EXPECT_EQ(data, "-") << "a dropped connection";

    ASSERT_TRUE(UpdateServerRequest::GetBuild(kFaulty, "kx-faulty", "7", data, u, false))
        << "a slow server is waited for";
    EXPECT_FALSE(data.empty());

    Builds builds;
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(kFailing, builds, u)) << "status 500";
}

TEST_F(UpdateServerRequestTest, LogLinesNameTheOperationAndWhatHappened) {
    LogCapture log(0x20);
    std::string build, name, token;
    Builds builds;
    unsigned serial = 0, recoveryBuild = 0;
    UpdateServerRequest::GetBuildList(kFailing, builds, url.c_str());
    UpdateServerRequest::QueryBuild(kRefused, build, name, url.c_str());
    UpdateServerRequest::GetBuildList(kHub, builds, url.c_str());
    UpdateServerRequest::GetRecoveryInfo(kFp1, &serial, &recoveryBuild, url.c_str());
    UpdateServerRequest::GetDeviceJWT(kHub, token, url.c_str());
    std::string text = log.text();
    for (const std::string& line : {
             "GET(" + url + "?op=builds&sn=F0000001&)\n",
             "GetBuildList ==> [500] [injected failure\n]\n"s,
             "ServerCommClass: QueryBuild failed [" + url + "?op=qu&sn=F0000002&]\n",
             "GetBuildList processing entry: [99528558;2.10.4]\n"s,
             "GetBuildList [99528558][2.10.4]\n"s,
             "GetRecoveryInfo [ok][40F5849A][99528600]\n"s,
             "GetDeviceJWT processing entry: [" + token + "]\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << "missing log line: " << line;
    }
}

TEST_F(UpdateServerRequestTest, ConcurrentClientsAllGetTheirAnswer) {
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            for (int j = 0; j < 10; ++j) {
                Builds builds;
                if (UpdateServerRequest::GetBuildList(kHub, builds, url.c_str()) &&
                    builds.size() == 2) {
                    ++answered;
                }
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(answered.load(), 40);
}

TEST_F(UpdateServerRequestTest, ServerThatIsDownFailsEveryOperation) {
    ASSERT_EQ(server->stop(), 0);
    LogCapture log(0x20);
    std::string build, name, data, token;
    Builds builds;
    unsigned serial = 0, recoveryBuild = 0;
    const char* u = url.c_str();
    EXPECT_FALSE(UpdateServerRequest::ping(u));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(kHub, build, name, u));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kHub, "kx-hub", "99528558", data, u, false));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(kHub, builds, u));
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(kFp1, &serial, &recoveryBuild, u));
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(kHub, token, u));
    std::string text = log.text();
    for (const char* op :
         {"ping", "QueryBuild", "GetBuild", "GetBuildList", "GetRecoveryInfo", "GetDeviceJWT"}) {
        EXPECT_NE(text.find(std::string(op) + " ==> [Couldn't connect to server]\n"),
                  std::string::npos)
            << op;
    }
}

// ---- Reply rules, through canned replies -----------------------------------------------

enum class Op { QueryBuild, GetBuild, GetBuildList, GetRecoveryInfo, GetDeviceJWT };

struct ReplyCase {
    Op op;
    int status;
    const char* body;
    bool result;
    // The outputs after the call, as render() writes them; they start as "-" (texts),
    // {"stale": "entry"} (build list), serial 0xAAAA and build 7.
    const char* outputs;
};

const ReplyCase kReplyCases[] = {
    // The first line must begin with "ok", in lower case, and the status must be 200.
    {Op::QueryBuild, 200, "okay\n123\nfw\r\n", true, "123|fw"},
    {Op::QueryBuild, 200, "OK\n123\nfw\n", false, "-|-"},
    {Op::QueryBuild, 200, "refused: no\n", false, "-|-"},
    {Op::QueryBuild, 200, "", false, "-|-"},
    {Op::QueryBuild, 404, "ok\n123\nfw\n", false, "-|-"},
    {Op::QueryBuild, 500, "ok\n123\nfw\n", false, "-|-"},
    // Empty lines are skipped everywhere; missing lines leave their output alone.
    {Op::QueryBuild, 200, "\n\nok\n\n123\n\n\nfw\n", true, "123|fw"},
    {Op::QueryBuild, 200, "ok\n123\r\n", true, "123\r|-"},
    {Op::QueryBuild, 200, "ok\n", true, "-|-"},
    {Op::QueryBuild, 200, "ok\n123\nfw;x\rjunk\n", true, "123|fw;x"},
    // An image: line 2, or nothing at all.
    {Op::GetBuild, 200, "ok\nQUJD\n\n", true, "QUJD"},
    {Op::GetBuild, 200, "ok\n", true, ""},
    {Op::GetBuild, 200, "OK\nQUJD\n", false, "-"},
    // Build lists: the first line of a build wins; short lines are skipped; a line
    // without ";" is a build without version.
    {Op::GetBuildList, 200, "ok\n99528558;2.10.4\nx\n99528558;2.10.5\n", true, "99528558=2.10.4"},
    {Op::GetBuildList, 200, "ok\n12345\r\n", true, "12345="},
    {Op::GetBuildList, 200, "ok\n;;;\n7;1.2.3;extra\nab\n", true, "7=1.2.3"},
    {Op::GetBuildList, 200, "ok\n", true, ""},
    {Op::GetBuildList, 200, "no\n1;2.3.4\n", false, ""},
    // Recovery: the serial number is hexadecimal, the build's base follows its prefix.
    {Op::GetRecoveryInfo, 200, "ok\n40F5849A\n0x1F\n", true, "40F5849A|31"},
    {Op::GetRecoveryInfo, 200, "ok\n1\n017\n", true, "1|15"},
    {Op::GetRecoveryInfo, 200, "ok\nbeef\n", true, "BEEF|7"},
    {Op::GetRecoveryInfo, 200, "ok\n", true, "AAAA|7"},
    {Op::GetRecoveryInfo, 200, "OK\n1\n2\n", false, "AAAA|7"},
    // Tokens: three parts of at least 2 characters; the signature runs to the line end.
    {Op::GetDeviceJWT, 200, "ok\naa.bb.cc\r\n", true, "aa.bb.cc"},
    {Op::GetDeviceJWT, 200, "ok\naa.bb.cc.dd\n", true, "aa.bb.cc.dd"},
    {Op::GetDeviceJWT, 200, "ok\naa.b.cc\n", false, "-"},
    {Op::GetDeviceJWT, 200, "ok\naa.bb.c\n", false, "-"},
    {Op::GetDeviceJWT, 200, "ok\naa.bb\n", false, "-"},
    {Op::GetDeviceJWT, 200, "ok\nab\n", false, "-"},
    {Op::GetDeviceJWT, 200, "ok\n", false, "-"},
};

// Case i answers for serial number C0000000 + i, or for that number as the first word
// of a fingerprint.
unsigned caseSerial(size_t i) {
    return 0xC0000000u + static_cast<unsigned>(i);
}

class ReplyRules : public UpdateServerRequestTest {
  protected:
    nlohmann::json extraFaults() const override {
        nlohmann::json faults = nlohmann::json::array();
        for (size_t i = 0; i < std::size(kReplyCases); ++i) {
            char key[40];
            nlohmann::json match;
            if (kReplyCases[i].op == Op::GetRecoveryInfo) {
                std::snprintf(key, sizeof key, "%08X 00000000 00000000 00000000", caseSerial(i));
                match = {{"fp", key}};
            } else {
                std::snprintf(key, sizeof key, "%08X", caseSerial(i));
                match = {{"sn", key}};
            }
            faults.push_back({{"match", match},
                              {"kind", "canned"},
                              {"status", kReplyCases[i].status},
                              {"body", kReplyCases[i].body}});
        }
        return faults;
    }

    // Runs the case's operation and renders its outputs.
    std::pair<bool, std::string> run(size_t i) {
        const unsigned serial = caseSerial(i);
        const char* u = url.c_str();
        std::string a = "-", b = "-";
        switch (kReplyCases[i].op) {
            case Op::QueryBuild: {
                bool ok = UpdateServerRequest::QueryBuild(serial, a, b, u);
                return {ok, a + "|" + b};
            }
            case Op::GetBuild:
                return {UpdateServerRequest::GetBuild(serial, "fw", "1", a, u, false), a};
            case Op::GetBuildList: {
                Builds builds = {{"stale", "entry"}};
                bool ok = UpdateServerRequest::GetBuildList(serial, builds, u);
                std::string text;
                for (const auto& [build, version] : builds) {
                    text += (text.empty() ? "" : ",") + build + "=" + version;
                }
                return {ok, text};
            }
            case Op::GetRecoveryInfo: {
                const unsigned fingerprint[4] = {serial, 0, 0, 0};
                unsigned found = 0xAAAA, build = 7;
                bool ok = UpdateServerRequest::GetRecoveryInfo(fingerprint, &found, &build, u);
                char text[32];
                std::snprintf(text, sizeof text, "%X|%u", found, build);
                return {ok, text};
            }
            case Op::GetDeviceJWT:
                return {UpdateServerRequest::GetDeviceJWT(serial, a, u), a};
        }
        return {false, "?"};
    }
};

TEST_F(ReplyRules, EachReplyShape) {
    for (size_t i = 0; i < std::size(kReplyCases); ++i) {
        const ReplyCase& c = kReplyCases[i];
        auto [result, outputs] = run(i);
        EXPECT_EQ(result, c.result) << "case " << i << ": " << c.body;
        EXPECT_EQ(outputs, c.outputs) << "case " << i << ": " << c.body;
    }
}

// ping needs a server of its own for each reply, since its query carries no serial.
TEST(UpdateServerPing, AcceptsOnlyOkReplies) {
    const struct {
        int status;
        const char* body;
        bool result;
        const char* logLine;
    } cases[] = {
        {200, "okay\n", true, nullptr},
        {200, "OK\n", false, "ServerCommClass: ping failed ["},
        {500, "ok\n", false, "PING ==> [500] [ok\n]\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        TestFirmwareRoot firmware(dir.path());
        firmware.writeConfig(
            {{"faults", {{{"kind", "canned"}, {"status", c.status}, {"body", c.body}}}}});
        UpdateServerProcess server({.binary = KX_UPDATE_SERVER_BIN,
                                    .root = firmware.root(),
                                    .config = firmware.configFile()});
        LogCapture log(0x20);
        EXPECT_EQ(UpdateServerRequest::ping(server.url().c_str()), c.result) << c.body;
        if (c.logLine != nullptr) {
            EXPECT_NE(log.text().find(c.logLine), std::string::npos) << log.text();
        }
    }
}

}  // namespace
