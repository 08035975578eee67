// The command line of the real kestrix-updater: one table of command lines with the
// parameters they parse to and the exit status, standard output and standard error of
// the binary; the usage texts against hand-written golden files; the storage directory.
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../unit/temp_dir.h"
#include "CapturingDisplay.h"
#include "Log.h"
#include "Parameters.h"
#include "ProcessRun.h"
#include "TestFiles.h"

namespace {

const std::string kBinary = KX_UPDATER_BIN;

using Outcome = kxtest::ProcessResult;
using kxtest::CapturingDisplay;
using kxtest::replace_all;

// Runs the binary with args, HOME pointing at home and a umask of 0, so the storage
// directory shows the mode the updater asked for. Both streams are pipes (not a
// terminal).
Outcome _run(const std::vector<std::string>& args, const std::string& home) {
    std::vector<std::string> words = {kBinary};
    words.insert(words.end(), args.begin(), args.end());
    kxtest::RunOptions options;
    options.environment = std::vector<std::string>{"HOME=" + home};
    options.clearUmask = true;
    options.deadline = std::chrono::seconds(30);
    return kxtest::run_process(words, options);
}

// A golden usage text, which must be there.
std::string _golden(const std::string& path) {
    EXPECT_TRUE(std::ifstream(path, std::ios::binary).good()) << path;
    return kxtest::read_file(path);
}

// One command line. In args "@DIR@" is a fresh empty directory and "@FILE@" a regular
// file. In the expected output "@V@" is the version line, "@N@" the notice line,
// "@SHORT@", "@FULL@" and "@EXT@" the golden usage texts and "@ARGV0@" the binary's
// path.
struct Row {
    std::vector<std::string> args;
    int parseResult;
    std::function<void(const Parameters&)> parameters;  // empty: nothing to check
    std::optional<Outcome> run;  // empty: the command reaches the updater's operations
};

class UpdaterCommandLine : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        shortUsage = _golden(KX_GOLDEN_DIR "/usage_short.txt");
        fullUsage = _golden(KX_GOLDEN_DIR "/usage_full.txt");
        extendedUsage = _golden(KX_GOLDEN_DIR "/usage_full_extended.txt");

        // With no command the updater prints the version and notice lines, then the
        // short usage; the two lines are taken from here for the table.
        TempDir home;
        Outcome plain = _run({}, home.path());
        std::smatch lines;
        ASSERT_TRUE(std::regex_match(
            plain.out, lines,
            std::regex(R"((Updater \(Version: 2\.12\.5 [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}\)\n))"
                       R"((\([^\n]+\)\n))")))
            << plain.out;
        versionLine = lines[1];
        noticeLine = lines[2];
    }

    std::string expand(std::string text, const TempDir& dir) const {
        replace_all(text, "@V@", versionLine);
        replace_all(text, "@N@", noticeLine);
        replace_all(text, "@SHORT@", shortUsage);
        replace_all(text, "@FULL@", fullUsage);
        replace_all(text, "@EXT@", extendedUsage);
        replace_all(text, "@ARGV0@", kBinary);
        replace_all(text, "@DIR@", dir.path());
        replace_all(text, "@FILE@", dir / "file");
        return text;
    }

    static inline std::string shortUsage, fullUsage, extendedUsage, versionLine, noticeLine;
};

const std::string kMultipleUrls =
    "Multiple update server URLs specified. Choose one of: --https, --http, or -U "
    "<host:port>.\n";
const std::string kHttpUrl = "http://update.tessarin.example/cgi/u";
const std::string kHttpsUrl = "https://update.tessarin.example/cgi/u";

// The outcome of a command line that prints the usage: version, notice, usage.
Outcome _usage(int exitStatus, const std::string& err) {
    return {exitStatus, "@V@@N@", err};
}

auto _serial(uint32_t expected) {
    return [expected](const Parameters& p) { EXPECT_EQ(p.serialNumber, expected); };
}

const std::vector<Row> kRows = {
    // Defaults and usage.
    {{},
     0,
     [](const Parameters& p) {
         EXPECT_FALSE(p.commands.IsSet(kAnyCommand));
         EXPECT_EQ(p.serialNumber, 0u);
         EXPECT_EQ(p.transport, USB);
         EXPECT_FALSE(p.transportGiven);
         EXPECT_EQ(p.baudRate, 115200u);
         EXPECT_EQ(p.serverUrl, kHttpUrl);
         EXPECT_EQ(p.logFile, "Updater.log");
         EXPECT_TRUE(p.ueiBytesLoad);
         EXPECT_EQ(p.appName, "kestrix-updater");
         EXPECT_EQ(p.moduleAddress, 0);
         EXPECT_TRUE(p.build.empty());
         EXPECT_TRUE(p.storageDir.empty());
     },
     _usage(0, "@SHORT@")},
    {{"--help"},
     0,
     [](const Parameters& p) {
         EXPECT_TRUE(p.helpRequested);
         EXPECT_TRUE(p.commands.IsSet(CMD_HELP));
     },
     _usage(0, "@FULL@")},
    {{"-h"}, 0, nullptr, _usage(0, "@FULL@")},
    {{"-H"}, 0, nullptr, _usage(0, "@FULL@")},
    {{"--he"}, 0, nullptr, _usage(0, "@FULL@")},
    // The extended block needs "-X" before the help option: parsing stops at help.
    {{"-X", "0x30", "-h"},
     0,
     [](const Parameters& p) {
         EXPECT_TRUE(p.logMaskGiven);
         EXPECT_EQ(p.logMask, 0x30u);
     },
     _usage(0, "@EXT@")},
    {{"-h", "-X", "0x30"},
     0,
     [](const Parameters& p) { EXPECT_FALSE(p.logMaskGiven); },
     _usage(0, "@FULL@")},
    {{"-X", "0x30"}, 0, nullptr, _usage(0, "@SHORT@")},
    // A rejected option before help is reported, but help still wins.
    {{"-Y", "-h"}, 0, nullptr, _usage(0, "Unhandled command: [-Y]\n@FULL@")},

    // Rejected options.
    {{"-Y"}, 1, nullptr, _usage(1, "Unhandled command: [-Y]\n@SHORT@")},
    {{"-d", "0"},
     1,
     nullptr,
     _usage(1, "Invalid serial number obtained from argument [0]\n@SHORT@")},
    {{"-d", "xyz"},
     1,
     nullptr,
     _usage(1, "Invalid serial number obtained from argument [xyz]\n@SHORT@")},
    {{"-d", "0x"},
     1,
     nullptr,
     _usage(1, "Invalid serial number obtained from argument []\n@SHORT@")},
    {{"-r", "0X0"},
     1,
     nullptr,
     _usage(1, "Invalid router serial number obtained from argument [0]\n@SHORT@")},
    {{"-t", "usb"},
     1,
     [](const Parameters& p) {
         EXPECT_EQ(p.transport, 0);
         EXPECT_TRUE(p.transportGiven);
     },
     _usage(1,
            "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, "
            "RECOVER\n@SHORT@")},
    // A parameter given twice keeps its last value; the rejection still counts.
    {{"-d", "0", "-d", "40F5849A"},
     1,
     _serial(0x40F5849A),
     _usage(1, "Invalid serial number obtained from argument [0]\n@SHORT@")},
    // Any two server choices clash, even the same one twice.
    {{"--http", "--https"}, 1, nullptr, _usage(1, kMultipleUrls + "@SHORT@")},
    {{"--https", "-u", "host:1234"}, 1, nullptr, _usage(1, kMultipleUrls + "@SHORT@")},
    {{"--http", "--http"}, 1, nullptr, _usage(1, kMultipleUrls + "@SHORT@")},
    // An unprocessed log mask is reported but not a failure; the mask stays off.
    {{"-X", "0x3z"},
     0,
     [](const Parameters& p) { EXPECT_TRUE(p.logMaskGiven); },
     _usage(0, "Invalid format for \"-X\" parameter, unprocessed characters [z]\n@SHORT@")},

    // Words dropped without a message.
    {{"--htt"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.serverUrl, kHttpUrl); },
     _usage(0, "@SHORT@")},
    {{"-Q"}, 0, nullptr, _usage(0, "@SHORT@")},
    {{"-"}, 0, nullptr, _usage(0, "@SHORT@")},
    {{"-d"}, 0, _serial(0), _usage(0, "@SHORT@")},
    {{"-d40F5849A"}, 0, _serial(0), _usage(0, "@SHORT@")},
    {{"-DU"}, 0, nullptr, _usage(0, "@SHORT@")},
    {{"--https=yes"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.serverUrl, kHttpUrl); },
     _usage(0, "@SHORT@")},
    {{"40F5849A"}, 0, _serial(0), _usage(0, "@SHORT@")},
    // A missing argument: the next word is an option of its own.
    {{"-i", "@DIR@", "-d", "-G"},
     0,
     [](const Parameters& p) {
         EXPECT_EQ(p.serialNumber, 0u);
         EXPECT_TRUE(p.commands.IsSet(CMD_GET));
     },
     Outcome{1, "@V@", "-G must specify a specific device via -d\n--help for usage information\n"}},

    // Accepted values.
    {{"--http"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.serverUrl, kHttpUrl); },
     _usage(0, "@SHORT@")},
    {{"--https"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.serverUrl, kHttpsUrl); },
     _usage(0, "@SHORT@")},
    {{"-u", "localhost:8080"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.serverUrl, "localhost:8080"); },
     _usage(0, "@SHORT@")},
    {{"-u=localhost:8080"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.serverUrl, "localhost:8080"); },
     _usage(0, "@SHORT@")},
    {{"-d", "40F5849A"}, 0, _serial(0x40F5849A), _usage(0, "@SHORT@")},
    {{"-d", "0X40F5849A"}, 0, _serial(0x40F5849A), _usage(0, "@SHORT@")},
    {{"-d=0x40F5849A"}, 0, _serial(0x40F5849A), _usage(0, "@SHORT@")},
    {{"-X", "1", "-d", "0x40F5849A"},
     0,
     _serial(0x40F5849A),
     _usage(0, "Discarding '0x' serial number prefix\n@SHORT@")},
    {{"-X", "1", "-r", "0xD272031D"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.routerSerial, 0xD272031Du); },
     _usage(0, "Discarding '0x' router serial number prefix\n@SHORT@")},
    // More than eight digits are held at FFFFFFFF rather than cut to the low 32 bits.
    {{"-d", "140F5849A"}, 0, _serial(0xFFFFFFFF), _usage(0, "@SHORT@")},
    {{"-b", "99528558"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.build, "99528558"); },
     _usage(0, "@SHORT@")},
    {{"-b", "abc"}, 0, [](const Parameters& p) { EXPECT_EQ(p.build, "0"); }, _usage(0, "@SHORT@")},
    {{"-b", "99999999999"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.build, "4294967295"); },
     _usage(0, "@SHORT@")},
    {{"-o", "9600"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.baudRate, 9600u); },
     _usage(0, "@SHORT@")},
    {{"-D", "-t", "TCP"},
     0,
     [](const Parameters& p) {
         EXPECT_EQ(p.transport, TCPIP);
         EXPECT_TRUE(p.transportGiven);
         EXPECT_TRUE(p.commands.IsSet(CMD_DISCOVER));
     },
     std::nullopt},
    {{"-t", "USB"},
     0,
     [](const Parameters& p) { EXPECT_EQ(p.transport, USB); },
     _usage(0, "@SHORT@")},
    {{"-U", "-t", "RECOVER", "-s", "/dev/ttyS9"},
     0,
     [](const Parameters& p) {
         EXPECT_EQ(p.transport, kTransportRecover);
         EXPECT_EQ(p.serialPort, "/dev/ttyS9");
         EXPECT_TRUE(p.commands.IsSet(CMD_UPDATE));
     },
     std::nullopt},
    {{"-m", "0"},
     0,
     [](const Parameters& p) { EXPECT_FALSE(p.ueiBytesLoad); },
     _usage(0, "@SHORT@")},
    {{"-m", "yes"},
     0,
     [](const Parameters& p) { EXPECT_FALSE(p.ueiBytesLoad); },
     _usage(0, "@SHORT@")},
    {{"-m", "0", "-m", "true"},
     0,
     [](const Parameters& p) { EXPECT_TRUE(p.ueiBytesLoad); },
     _usage(0, "@SHORT@")},
    {{"-OVER"},
     0,
     [](const Parameters& p) {
         EXPECT_TRUE(p.overrideModel);
         EXPECT_FALSE(p.commands.IsSet(kAnyCommand));
     },
     _usage(0, "@SHORT@")},
    // Options recorded only: accepted, and no command acts on them.
    {{"-i", "@DIR@", "-e", "-n", "-f", "a.bird", "-s", "/dev/ttyS9", "-k", "k.log", "-l", "note",
      "-Z", "1"},
     0,
     [](const Parameters& p) {
         EXPECT_TRUE(p.echoBytes);
         EXPECT_TRUE(p.nFlag);
         EXPECT_EQ(p.birdFile, "a.bird");
         EXPECT_EQ(p.serialPort, "/dev/ttyS9");
         EXPECT_EQ(p.logFile, "k.log");
         EXPECT_EQ(p.logMessage, "note");
         EXPECT_TRUE(p.commands.IsSet(CMD_Z));
     },
     Outcome{0, "@V@", ""}},
    {{"-I", "-i", "@DIR@"},
     0,
     [](const Parameters& p) { EXPECT_TRUE(p.commands.IsSet(CMD_INFO)); },
     Outcome{0, "@V@", ""}},
    {{"-C", "-i", "@DIR@"}, 0, nullptr, Outcome{0, "@V@", ""}},
    {{"-X", "0x10000", "-I", "-i", "@DIR@"},
     0,
     nullptr,
     Outcome{0, "@V@",
             "\nApplication parameters:[kestrix-updater]\n\t[@ARGV0@]\n\t[-X]\n\t[0x10000]\n\t[-I]"
             "\n\t[-i]\n\t[@DIR@]\n"}},

    // Command checks, in the order the commands run.
    {{"-N", "-i", "@DIR@"},
     0,
     nullptr,
     Outcome{1, "@V@", "Must specify the serial port used for connecting\n"}},
    {{"-N", "-G", "-i", "@DIR@"},
     0,
     nullptr,
     Outcome{1, "@V@", "Must specify the serial port used for connecting\n"}},
    {{"-G", "-U", "-D", "-i", "@DIR@"},
     0,
     nullptr,
     Outcome{1, "@V@", "-G must specify a specific device via -d\n--help for usage information\n"}},
    {{"-U", "-B", "-i", "@DIR@"},
     0,
     nullptr,
     Outcome{1, "@V@", "Must specify the specific device to be updated\n"}},
    {{"-B", "-L", "-J", "-i", "@DIR@"},
     0,
     nullptr,
     Outcome{1, "@V@", "Error must supply a serial number for the List Builds command\n@SHORT@"}},
    {{"-L", "-J", "-i", "@DIR@"},
     0,
     nullptr,
     Outcome{1, "@V@",
             "Error must supply a serial number for the List Local Builds command\n@SHORT@"}},
    {{"-J", "-i", "@DIR@"},
     0,
     nullptr,
     Outcome{1, "@V@", "Error must supply a serial number for the Get JWT command\n@SHORT@"}},
    {{"-I", "-i", "@FILE@/store"},
     0,
     nullptr,
     Outcome{1, "@V@", "Could not find updater directory at @FILE@/store/updater\n"}},
};

TEST_F(UpdaterCommandLine, EveryRowParsesAndRunsAsExpected) {
    for (const Row& row : kRows) {
        TempDir dir;
        dir.write("file", "not a directory");
        std::vector<std::string> args;
        std::string line;
        for (const std::string& arg : row.args) {
            args.push_back(expand(arg, dir));
            line += " " + arg;
        }
        SCOPED_TRACE("command line:" + line);

        std::vector<std::string> words = {kBinary};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        Parameters params;
        CapturingDisplay display;
        Log::DeactivatePackage(~0u);
        EXPECT_EQ(_get_params(display, static_cast<int>(argv.size()), argv.data(), &params),
                  row.parseResult);
        Log::DeactivatePackage(~0u);
        if (row.parameters) {
            row.parameters(params);
        }

        if (row.run) {
            Outcome outcome = _run(args, dir.path());
            EXPECT_EQ(outcome.exitStatus, row.run->exitStatus);
            EXPECT_EQ(outcome.out, expand(row.run->out, dir));
            EXPECT_EQ(outcome.err, expand(row.run->err, dir));
        }
    }
}

TEST_F(UpdaterCommandLine, StorageDirectoryIsMadeUnderTheGivenDirectoryWithMode0755) {
    TempDir dir;
    const std::string base = dir / "a/b";
    Outcome outcome = _run({"-I", "-i", base}, dir.path());
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    struct stat info {};
    ASSERT_EQ(stat((base + "/updater").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    ASSERT_EQ(stat(base.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
}

}  // namespace
