// HTTPRequest against a real kestrix-update-server on 127.0.0.1: URL building, statuses,
// transport failures with libcurl's texts, time-outs and HTTPS peer verification.
#include "HTTPRequest.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "TestCertificates.h"
#include "TestFirmwareRoot.h"
#include "UpdateServerProcess.h"
#include "temp_dir.h"

namespace {

using Query = std::map<std::string, std::string>;

TEST(HTTPRequestBuildURL, AppendsSortedUnencodedPairsEachEndedByAmpersand) {
    const std::string base = "http://h:1/cgi/u";
    const struct {
        Query query;
        std::string url;
    } cases[] = {
        {{}, base},
        {{{"op", "hi"}}, base + "?op=hi&"},
        {{{"sn", "x"}, {"op", "y"}}, base + "?op=y&sn=x&"},
        // Byte-wise order puts upper case first; nothing is percent-encoded.
        {{{"a", "1"}, {"B", "2"}}, base + "?B=2&a=1&"},
        {{{"fp", "0A%200B"}, {"e", ""}}, base + "?e=&fp=0A%200B&"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HTTPRequest::BuildURL(base.c_str(), c.query), c.url);
    }
}

// The libcurl error text GET must throw for a code.
std::string curlText(CURLcode code) {
    return curl_easy_strerror(code);
}

// The text GET throws, or nothing when it returns.
std::optional<std::string> getFailure(const std::string& url, const Query& query,
                                      const HTTPRequest::Limits& limits = {}) {
    try {
        HTTPRequest::GET(url.c_str(), query, limits);
        return std::nullopt;
    } catch (const std::runtime_error& e) {
        return std::string(e.what());
    }
}

class HTTPRequestServer : public ::testing::Test {
  protected:
    // A server with faults selected by a "case" parameter of the query.
    void SetUp() override {
        firmware.writeConfig({{"faults",
                               {{{"match", {{"case", "500"}}}, {"kind", "status"}},
                                {{"match", {{"case", "drop"}}}, {"kind", "drop"}},
                                {{"match", {{"case", "stall"}}}, {"kind", "delay"}, {"ms", 60000}},
                                {{"match", {{"case", "zero"}}},
                                 {"kind", "canned"},
                                 {"body", std::string("a\0b", 3)}}}}});
        server = std::make_unique<UpdateServerProcess>(
            UpdateServerProcess::Options{.binary = KX_UPDATE_SERVER_BIN,
                                         .root = firmware.root(),
                                         .config = firmware.configFile()});
    }

    // A server that crashed or reported a sanitizer error does not exit with 0.
    void TearDown() override {
        if (server->running()) {
            EXPECT_EQ(server->stop(), 0) << server->errorOutput();
        }
    }

    TempDir dir;
    TestFirmwareRoot firmware{dir.path()};
    std::unique_ptr<UpdateServerProcess> server;
};

TEST_F(HTTPRequestServer, ReturnsStatusBodyAndRequestedUrl) {
    HTTPResponse response = HTTPRequest::GET(server->url().c_str(), {{"rv", "2"}, {"op", "hi"}});
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_STREQ(response.get_response(), "ok\n");
    EXPECT_EQ(std::string(response.get_request()), server->url() + "?op=hi&rv=2&");
    EXPECT_EQ(server->requestTargets(), std::vector<std::string>{"/cgi/u?op=hi&rv=2&"});
}

TEST_F(HTTPRequestServer, HttpErrorStatusesAreReturnedNotThrown) {
    std::string other = "http://127.0.0.1:" + std::to_string(server->port()) + "/elsewhere";
    HTTPResponse missing = HTTPRequest::GET(other.c_str(), {});
    EXPECT_EQ(missing.get_status(), 404);
    EXPECT_STREQ(missing.get_response(), "not found\n");

    HTTPResponse failing = HTTPRequest::GET(server->url().c_str(), {{"case", "500"}});
    EXPECT_EQ(failing.get_status(), 500);
    EXPECT_STREQ(failing.get_response(), "injected failure\n");
}

TEST_F(HTTPRequestServer, BodyKeepsEveryByte) {
    HTTPResponse response = HTTPRequest::GET(server->url().c_str(), {{"case", "zero"}});
    EXPECT_EQ(std::string(response.get_response(), response.get_response_size()),
              std::string("a\0b", 3));
}

TEST_F(HTTPRequestServer, ConnectionDroppedMidReplyThrowsLibcurlText) {
    EXPECT_EQ(getFailure(server->url(), {{"case", "drop"}, {"op", "hi"}, {"rv", "2"}}),
              curlText(CURLE_PARTIAL_FILE));
}

TEST_F(HTTPRequestServer, StalledServerTimesOut) {
    HTTPRequest::Limits shortLimits{std::chrono::milliseconds(2000), std::chrono::seconds(1)};
    EXPECT_EQ(getFailure(server->url(), {{"case", "stall"}}, shortLimits),
              curlText(CURLE_OPERATION_TIMEDOUT));
    // The stalled reply must not hold up a clean shutdown.
    EXPECT_EQ(server->stop(), 0);
}

TEST_F(HTTPRequestServer, ServerThatIsDownThrowsLibcurlText) {
    std::string url = server->url();
    ASSERT_EQ(server->stop(), 0);
    EXPECT_EQ(getFailure(url, {{"op", "hi"}}), curlText(CURLE_COULDNT_CONNECT));
}

// HTTPS peers are verified: only a certificate for the host, from a CA the client
// trusts (CURL_CA_BUNDLE names a private one), is accepted.
class HTTPRequestTls : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        pkiDir = new TempDir();
        certificates = new TestCertificates(TestCertificates::Make(pkiDir->path()));
    }
    static void TearDownTestSuite() {
        delete certificates;
        delete pkiDir;
    }

    void SetUp() override {
        if (const char* value = std::getenv("CURL_CA_BUNDLE")) {
            savedBundle = value;
        }
        firmware.writeConfig(nlohmann::json::object());
    }
    void TearDown() override {
        if (savedBundle) {
            setenv("CURL_CA_BUNDLE", savedBundle->c_str(), 1);
        } else {
            unsetenv("CURL_CA_BUNDLE");
        }
    }

    std::unique_ptr<UpdateServerProcess> start(const std::string& cert, const std::string& key) {
        return std::make_unique<UpdateServerProcess>(
            UpdateServerProcess::Options{.binary = KX_UPDATE_SERVER_BIN,
                                         .root = firmware.root(),
                                         .config = firmware.configFile(),
                                         .certFile = cert,
                                         .keyFile = key});
    }

    static inline TempDir* pkiDir = nullptr;
    static inline TestCertificates* certificates = nullptr;
    std::optional<std::string> savedBundle;
    TempDir dir;
    TestFirmwareRoot firmware{dir.path()};
};

TEST_F(HTTPRequestTls, CertificateFromTrustedPrivateCaSucceeds) {
    auto server = start(certificates->certFile, certificates->keyFile);
    ASSERT_EQ(server->url().substr(0, 8), "https://");
    setenv("CURL_CA_BUNDLE", certificates->caFile.c_str(), 1);
    HTTPResponse response = HTTPRequest::GET(server->url().c_str(), {{"op", "hi"}, {"rv", "2"}});
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_STREQ(response.get_response(), "ok\n");
}

TEST_F(HTTPRequestTls, UntrustedOrMisnamedCertificateFails) {
    const std::string failure = curlText(CURLE_PEER_FAILED_VERIFICATION);
    auto server = start(certificates->certFile, certificates->keyFile);

    unsetenv("CURL_CA_BUNDLE");  // the system trust store knows no test CA
    EXPECT_EQ(getFailure(server->url(), {{"op", "hi"}}), failure);
    setenv("CURL_CA_BUNDLE", certificates->otherCaFile.c_str(), 1);
    EXPECT_EQ(getFailure(server->url(), {{"op", "hi"}}), failure);

    auto misnamed = start(certificates->wrongHostCertFile, certificates->wrongHostKeyFile);
    setenv("CURL_CA_BUNDLE", certificates->caFile.c_str(), 1);
    EXPECT_EQ(getFailure(misnamed->url(), {{"op", "hi"}}), failure);

    EXPECT_TRUE(server->requestTargets().empty()) << "no request may reach an unverified peer";
}

}  // namespace
