// The server commands of the real kestrix-updater ("-B", "-L", "-J", "-G") against a real
// kestrix-update-server on 127.0.0.1, over HTTP and HTTPS. Every run gets its own storage
// directory ("-i") and home, so nothing touches the user's store.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "../unit/temp_dir.h"
#include "ProcessRun.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestFirmwareRoot.h"
#include "UpdateServerProcess.h"
#include "base64.h"

namespace {

using nlohmann::json;

constexpr unsigned kSerial = 0x40F5849A;
const std::string kSerialText = "40F5849A";
// A device the server has never heard of.
const std::string kUnknownSerialText = "0BADF00D";

// The builds the server offers for kSerial, and one it holds but does not list.
constexpr unsigned kBuild558 = 99528558;  // 2.10.4
constexpr unsigned kBuild590 = 99528590;  // 2.9.10
constexpr unsigned kBuild600 = 99528600;  // 2.10.12, the latest offered
constexpr unsigned kUnlisted = 99528700;  // 2.11.0, not in the list

using Outcome = kxtest::ProcessResult;
using kxtest::read_file;

// Runs the updater with args and exactly the environment env. Standard output is a pipe,
// or with terminal a pseudo-terminal in raw mode (so its bytes arrive untranslated);
// standard error is a pipe.
Outcome _run_updater(const std::vector<std::string>& args, const std::vector<std::string>& env,
                     bool terminal = false) {
    std::vector<std::string> words = {KX_UPDATER_BIN};
    words.insert(words.end(), args.begin(), args.end());
    kxtest::RunOptions options;
    options.environment = env;
    options.terminalOutput = terminal;
    options.deadline = std::chrono::seconds(60);
    return kxtest::run_process(words, options);
}

// Standard output without the version line that every run starts with (checked here).
std::string _after_version_line(const std::string& out) {
    static const std::regex versionLine(
        R"(Updater \(Version: 2\.12\.5 [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}\)\n)");
    size_t end = out.find('\n');
    if (end == std::string::npos || !std::regex_match(out.substr(0, end + 1), versionLine)) {
        ADD_FAILURE() << "no version line in: " << out;
        return out;
    }
    return out.substr(end + 1);
}

std::string _text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string _base64(const std::string& bytes) {
    size_t length = 0;
    char* text =
        base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length);
    std::string result(text, length);
    std::free(text);
    return result;
}

// Every file of a directory (hidden ones included), name to contents.
std::map<std::string, std::string> _snapshot(const std::string& directory) {
    std::map<std::string, std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        files[entry.path().filename().string()] = read_file(entry.path().string());
    }
    return files;
}

// The key=value lines of a settings file.
std::map<std::string, std::string> _settings(const std::string& path) {
    std::map<std::string, std::string> entries;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        size_t equals = line.find('=');
        if (equals != std::string::npos) {
            entries[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return entries;
}

bool _is_time_stamp(const std::string& text) {
    static const std::regex ctimeForm(
        R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4})");
    return std::regex_match(text, ctimeForm);
}

size_t _count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// The output a download prints before it fetches the image.
std::string _download_preamble(const std::string& asked, unsigned build, bool overrideModel) {
    std::string text = "Retrieving firmware for device with serial number " + kSerialText + "\n";
    text += asked.empty() ? "No build specified\nUsing Latest build\n"
                          : "Retrieving firmware build " + asked + "\n";
    const std::string number = std::to_string(build);
    text += "Retrieving build " + number + "\n";
    if (overrideModel) {
        return text + "Override specified, skipping validation of build " + number + "\n";
    }
    return text + "Validating build " + number + " with server\nBuild " + number + " is valid\n";
}

// A firmware root with four images for kSerial, of which the server lists three.
class UpdaterServer : public ::testing::Test {
  protected:
    void SetUp() override {
        images[kBuild558] = _text(firmware.addImage(kSerial, kBuild558, "2.10.4"));
        images[kBuild590] = _text(firmware.addImage(kSerial, kBuild590, "2.9.10"));
        images[kBuild600] = _text(firmware.addImage(kSerial, kBuild600, "2.10.12"));
        images[kUnlisted] = _text(firmware.addImage(kSerial, kUnlisted, "2.11.0"));
        std::filesystem::create_directories(home);
    }

    // Starts (or restarts) the server with these faults; HTTPS when certificates are given.
    void startServer(const json& faults = json::array(), const TestCertificates* tls = nullptr) {
        server.reset();
        const std::string config = dir / ("server-" + std::to_string(++configs) + ".json");
        json device = {{"firmware", "kx-hub"},
                       {"builds", {kBuild558, kBuild590, kBuild600}},
                       {"claims", {{"features", {"capture"}}}}};
        std::ofstream(config) << json{
            {"token_key", "lab secret"},
            {"devices", {{kSerialText, device}}},
            {"faults", faults}}.dump();
        UpdateServerProcess::Options options{
            .binary = KX_UPDATE_SERVER_BIN, .root = firmware.root(), .config = config};
        if (tls != nullptr) {
            options.certFile = tls->certFile;
            options.keyFile = tls->keyFile;
        }
        server = std::make_unique<UpdateServerProcess>(options);
        url = server->url();
    }

    // The updater with the server URL, the test's storage directory and args.
    Outcome run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                bool terminal = false) {
        std::vector<std::string> words = {"-u", url, "-i", store};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<std::string> variables = {"HOME=" + home};
        variables.insert(variables.end(), env.begin(), env.end());
        return _run_updater(words, variables, terminal);
    }

    std::string deviceDir() const { return store + "/updater/" + kSerialText; }

    // The image requests the server has seen, in order.
    std::vector<std::string> imageRequests() const {
        std::vector<std::string> targets;
        for (const std::string& target : server->requestTargets()) {
            if (target.find("op=bird&") != std::string::npos) {
                targets.push_back(target);
            }
        }
        return targets;
    }

    // Expects a successful download of build: the output, the stored file (and nothing
    // else but the settings) and both settings keys.
    void expectStored(const Outcome& outcome, const std::string& asked, unsigned build,
                      bool overrideModel = false) {
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(_after_version_line(outcome.out),
                  _download_preamble(asked, build, overrideModel));
        const std::string fileName = std::to_string(build) + ".bird";
        std::map<std::string, std::string> files = _snapshot(deviceDir());
        EXPECT_EQ(files.count(fileName), 1u);
        EXPECT_TRUE(files[fileName] == images[build]) << fileName << " differs from the image";
        files.erase(fileName);
        files.erase(".settings");
        for (const auto& [name, contents] : files) {
            EXPECT_NE(name.front(), '.') << "left behind: " << name;
        }
        std::map<std::string, std::string> settings = _settings(deviceDir() + "/.settings");
        EXPECT_EQ(settings["LATEST_DOWNLOAD"], fileName);
        EXPECT_TRUE(_is_time_stamp(settings["LAST_DOWNLOAD_DATE"]))
            << settings["LAST_DOWNLOAD_DATE"];
    }

    TempDir dir;
    TestFirmwareRoot firmware{dir.path()};
    std::map<unsigned, std::string> images;
    const std::string home = dir / "home";
    const std::string store = dir / "store";
    std::unique_ptr<UpdateServerProcess> server;
    std::string url;
    int configs = 0;
};

const std::string kBuildTable =
    "Build List for device [40F5849A]:\n"
    "\n"
    "Build          \tVersion        \n"
    "99528600       \t2.10.12        \n"
    "99528558       \t2.10.4         \n"
    "99528590       \t2.9.10         \n";

TEST_F(UpdaterServer, ServerBuildListIsPrintedNewestVersionFirst) {
    startServer();
    Outcome listed = run({"-B", "-d", kSerialText});
    EXPECT_EQ(listed.exitStatus, 0);
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(_after_version_line(listed.out), kBuildTable);

    Outcome unknown = run({"-B", "-d", kUnknownSerialText});
    EXPECT_EQ(unknown.exitStatus, 0);
    EXPECT_EQ(unknown.err, "Failed to retrieve builds for 0BADF00D\n");
    EXPECT_EQ(_after_version_line(unknown.out), "No builds found for device [0BADF00D]\n");
}

TEST_F(UpdaterServer, LocalBuildListShowsEveryStoredFile) {
    startServer();
    ASSERT_EQ(run({"-G", "-d", kSerialText, "-b", std::to_string(kBuild558)}).exitStatus, 0);
    ASSERT_EQ(run({"-G", "-d", kSerialText}).exitStatus, 0);
    // Files whose version cannot be read: not an image, an image header over a payload that
    // does not inflate, and a file that is no build at all.
    std::ofstream(deviceDir() + "/99528000.bird") << "no image here";
    std::ofstream(deviceDir() + "/99527000.bird") << std::string("bird\x01\x01", 6) << "junk";
    std::ofstream(deviceDir() + "/notes.txt") << "lab notes";
    server->stop();  // a local listing needs no server

    Outcome listed = run({"-L", "-d", kSerialText});
    EXPECT_EQ(listed.exitStatus, 0);
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(_after_version_line(listed.out),
              "Build List for device [40F5849A]:\n"
              "\n"
              "Build          \tVersion        \n"
              "99528600       \t2.10.12        \n"
              "99528558       \t2.10.4         \n"
              "99527000       \t               \n"
              "99528000       \t               \n"
              "notes.txt      \t               \n");

    Outcome unknown = run({"-L", "-d", kUnknownSerialText});
    EXPECT_EQ(unknown.exitStatus, 0);
    EXPECT_EQ(unknown.err, "");
    EXPECT_EQ(_after_version_line(unknown.out), "No builds found for device [0BADF00D]\n");
    EXPECT_FALSE(std::filesystem::exists(store + "/updater/" + kUnknownSerialText));
}

TEST_F(UpdaterServer, DownloadStoresTheBuildAndRecordsIt) {
    startServer();
    const struct {
        std::string build;  // "-b" argument, empty: none
        unsigned stored;
    } cases[] = {
        {"", kBuild600},
        {std::to_string(kBuild558), kBuild558},
        {"0", kBuild600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("-b " + c.build);
        std::vector<std::string> args = {"-G", "-d", kSerialText};
        if (!c.build.empty()) {
            args.insert(args.end(), {"-b", c.build});
        }
        expectStored(run(args), c.build, c.stored);
        ASSERT_FALSE(imageRequests().empty());
        EXPECT_EQ(imageRequests().back(), "/cgi/u?bld=" + std::to_string(c.stored) +
                                              "&fw=kx-hub&no_cal=false&op=bird&sn=40F5849A&");
    }
}

TEST_F(UpdaterServer, UnlistedBuildIsFetchedOnlyWithOverride) {
    // A server that hands out a build it does not list: what -OVERRIDE is for.
    startServer(json::array({{{"match", {{"op", "bird"}, {"bld", std::to_string(kUnlisted)}}},
                              {"kind", "canned"},
                              {"body", "ok\n" + _base64(images[kUnlisted]) + "\n"}}}));
    const std::string build = std::to_string(kUnlisted);

    Outcome refused = run({"-G", "-d", kSerialText, "-b", build});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.err, "No valid build 99528700\n");
    EXPECT_EQ(_after_version_line(refused.out),
              "Retrieving firmware for device with serial number 40F5849A\n"
              "Retrieving firmware build 99528700\n"
              "Retrieving build 99528700\n"
              "Validating build 99528700 with server\n");
    EXPECT_TRUE(imageRequests().empty());
    EXPECT_FALSE(std::filesystem::exists(deviceDir() + "/99528700.bird"));

    expectStored(run({"-G", "-d", kSerialText, "-b", build, "-OVERRIDE"}), build, kUnlisted, true);
    EXPECT_EQ(imageRequests().size(), 1u);
}

// The payload of a compact token, decoded.
std::string _token_payload(const std::string& token) {
    size_t first = token.find('.');
    size_t second = token.find('.', first + 1);
    std::string text = token.substr(first + 1, second - first - 1);
    for (char& c : text) {
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    text.append((4 - text.size() % 4) % 4, '=');
    size_t length = 0;
    unsigned char* bytes = base64_decode(text.data(), text.size(), &length);
    std::string payload = bytes ? std::string(reinterpret_cast<char*>(bytes), length) : "";
    std::free(bytes);
    return payload;
}

TEST_F(UpdaterServer, FeatureTokenIsPrintedAsReceived) {
    startServer();
    Outcome token = run({"-J", "-d", kSerialText});
    EXPECT_EQ(token.exitStatus, 0);
    EXPECT_EQ(token.err, "");
    std::string line = _after_version_line(token.out);
    ASSERT_TRUE(std::regex_match(line, std::regex(R"([\w-]{2,}\.[\w-]{2,}\.[\w-]{2,}\n)"))) << line;
    json claims = json::parse(_token_payload(line.substr(0, line.size() - 1)));
    EXPECT_EQ(claims["sn"], kSerialText);
    EXPECT_EQ(claims["features"], json({"capture"}));

    Outcome unknown = run({"-J", "-d", kUnknownSerialText});
    EXPECT_EQ(unknown.exitStatus, 0);
    EXPECT_EQ(unknown.err, "Failed to retrieve jwt for 0BADF00D\n");
    EXPECT_EQ(_after_version_line(unknown.out), "\n");
}

TEST_F(UpdaterServer, ServerThatIsDownIsReported) {
    startServer();
    server->stop();
    const std::string failed = "Server request failed for " + url + "\n";
    const std::string preamble =
        "Retrieving firmware for device with serial number 40F5849A\n"
        "No build specified\nUsing Latest build\n";
    const struct {
        std::vector<std::string> args;
        int exitStatus;
        std::string out;
    } cases[] = {
        {{"-B", "-d", kSerialText}, 0, "No builds found for device [40F5849A]\n"},
        {{"-J", "-d", kSerialText}, 0, "\n"},
        {{"-G", "-d", kSerialText}, 1, preamble},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Outcome outcome = run(c.args);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
        EXPECT_EQ(outcome.err, failed);
        EXPECT_EQ(_after_version_line(outcome.out), c.out);
    }
    EXPECT_FALSE(std::filesystem::exists(deviceDir()));
}

TEST_F(UpdaterServer, ServerErrorStatusesAreReported) {
    startServer(json::array({{{"match", {{"op", "hi"}}}, {"kind", "status"}}}));
    Outcome ping = run({"-B", "-d", kSerialText});
    EXPECT_EQ(ping.exitStatus, 0);
    EXPECT_EQ(ping.err, "Server request failed for " + url + "\n");
    EXPECT_EQ(_after_version_line(ping.out), "No builds found for device [40F5849A]\n");

    startServer(json::array({{{"match", {{"op", "builds"}}}, {"kind", "status"}},
                             {{"match", {{"op", "bird"}}}, {"kind", "status"}}}));
    Outcome list = run({"-B", "-d", kSerialText});
    EXPECT_EQ(list.exitStatus, 0);
    EXPECT_EQ(list.err, "Failed to retrieve builds for 40F5849A\n");
    EXPECT_EQ(_after_version_line(list.out), "No builds found for device [40F5849A]\n");

    Outcome validate = run({"-G", "-d", kSerialText});
    EXPECT_EQ(validate.exitStatus, 1);
    EXPECT_EQ(validate.err, "No valid build 99528600\n");

    Outcome download = run({"-G", "-d", kSerialText, "-OVERRIDE"});
    EXPECT_EQ(download.exitStatus, 1);
    EXPECT_EQ(download.err, "Download failed\nFailed to retrieve a valid BIRD file\n");
    EXPECT_EQ(_snapshot(deviceDir()).count("99528600.bird"), 0u);
}

// A reply that is not a loadable image must change nothing that an earlier download
// stored: not the file of the same build, not the settings, and nothing is left behind.
TEST_F(UpdaterServer, DamagedImageReplyLeavesTheStoreUntouched) {
    startServer();
    expectStored(run({"-G", "-d", kSerialText}), "", kBuild600);
    const std::map<std::string, std::string> before = _snapshot(deviceDir());

    const struct {
        const char* name;
        json fault;
        std::string err;
    } cases[] = {
        {"decodes to bytes that are no image",
         {{"kind", "canned"}, {"body", "ok\n" + _base64("this is no firmware image") + "\n"}},
         "Failed to retrieve a valid BIRD file\n"},
        {"image header over a payload that does not inflate",
         {{"kind", "canned"},
          {"body", "ok\n" + _base64(std::string("bird\x01\x01", 6) + "no zlib here") + "\n"}},
         "Failed to retrieve a valid BIRD file\n"},
        {"does not decode",
         {{"kind", "canned"}, {"body", "ok\n#not*base64#\n"}},
         "Failed to retrieve a valid BIRD file\n"},
        {"cut to half its length",
         {{"kind", "truncate"}},
         "Failed to retrieve a valid BIRD file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json fault = c.fault;
        fault["match"] = {{"op", "bird"}};
        startServer(json::array({fault}));
        Outcome outcome = run({"-G", "-d", kSerialText});
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(_after_version_line(outcome.out), _download_preamble("", kBuild600, false));
        EXPECT_TRUE(_snapshot(deviceDir()) == before) << "the store changed";
    }
}

TEST_F(UpdaterServer, HttpsWithTrustedPrivateCa) {
    TestCertificates tls = TestCertificates::Make(dir.path());
    startServer(json::array(), &tls);
    ASSERT_EQ(url.rfind("https://", 0), 0u) << url;
    const std::string trusted = "CURL_CA_BUNDLE=" + tls.caFile;

    Outcome listed = run({"-B", "-d", kSerialText}, {trusted});
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(_after_version_line(listed.out), kBuildTable);
    expectStored(run({"-G", "-d", kSerialText, "-b", std::to_string(kBuild558)}, {trusted}),
                 std::to_string(kBuild558), kBuild558);
}

TEST_F(UpdaterServer, HttpsWithUntrustedCertificateFails) {
    TestCertificates tls = TestCertificates::Make(dir.path());
    startServer(json::array(), &tls);
    const struct {
        const char* name;
        std::vector<std::string> env;
    } cases[] = {
        {"system trust store", {}},
        {"another private CA", {"CURL_CA_BUNDLE=" + tls.otherCaFile}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome listed = run({"-B", "-d", kSerialText}, c.env);
        EXPECT_EQ(listed.exitStatus, 0);
        EXPECT_EQ(listed.err, "Server request failed for " + url + "\n");
        EXPECT_EQ(_after_version_line(listed.out), "No builds found for device [40F5849A]\n");
        Outcome download = run({"-G", "-d", kSerialText}, c.env);
        EXPECT_EQ(download.exitStatus, 1);
        EXPECT_EQ(download.err, "Server request failed for " + url + "\n");
    }
    EXPECT_TRUE(server->requestTargets().empty()) << "a request got through";
}

// On a terminal the spinner turns while the image comes: at least one frame even for an
// instant answer, one more for every 100 ms of waiting, then the line is cleared.
TEST_F(UpdaterServer, SpinnerTurnsOnATerminal) {
    const std::string frame = "\r (Downloading) ";
    const std::string clear = "\r" + std::string(88, ' ') + "\r";
    const struct {
        int delayMs;
        size_t minimumFrames;
    } cases[] = {{0, 1}, {450, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE("delay " + std::to_string(c.delayMs) + " ms");
        startServer(
            json::array({{{"match", {{"op", "bird"}}}, {"kind", "delay"}, {"ms", c.delayMs}}}));
        Outcome outcome = run({"-G", "-d", kSerialText}, {}, true);
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        EXPECT_GE(_count(outcome.out, frame), c.minimumFrames) << outcome.out;
        size_t first = outcome.out.find(frame + ".      \r");
        size_t cleared = outcome.out.rfind(clear);
        ASSERT_NE(first, std::string::npos) << outcome.out;
        ASSERT_NE(cleared, std::string::npos) << outcome.out;
        EXPECT_GT(cleared, outcome.out.rfind(frame));
        EXPECT_LT(outcome.out.find("Build 99528600 is valid\n"), first);
    }
}

}  // namespace
