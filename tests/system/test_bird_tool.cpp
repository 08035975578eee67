// The real kestrix-bird: pack then info round-trips every block kind, the updater's
// reader loads what it writes with identical blocks, scramble is undone by the
// updater's decoding, and bad input gives clear errors and exit status 1.
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../unit/temp_dir.h"
#include "BirdChecks.h"
#include "BirdFile.h"
#include "ProcessRun.h"
#include "TestFiles.h"

namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

using Outcome = kxtest::ProcessResult;
using kxtest::read_file;

// Runs kestrix-bird with args in `dir`.
Outcome RunBird(const TempDir& dir, const std::vector<std::string>& args) {
    std::vector<std::string> words = {KX_BIRD_BIN};
    words.insert(words.end(), args.begin(), args.end());
    kxtest::RunOptions options;
    options.workingDirectory = dir.path();
    return kxtest::run_process(words, options);
}

// Every block kind, literal data given all three ways.
const char* const kEveryKind = R"({
  "blocks": [
    {"type": "loader", "address": "0x20000000", "data": "DE AD BE EF 01"},
    {"type": "firmware", "flags": 1, "address": "0x00010000", "file": "image.bin"},
    {"type": "firmware", "flags": 7, "address": 65536000,
     "pattern": {"kind": "counter", "length": 300, "value": 250}},
    {"type": "serial-offsets", "serial": "0x00010004", "descriptor": "0x00010008"},
    {"type": "info", "build": 99528558, "version": "1.2.3", "serial": "40F5849A",
     "model": "KX-HUB"},
    {"type": "loader-start", "flags": 2, "address": "0x20000100"},
    {"type": 9, "pattern": {"kind": "fill", "length": 3}}
  ]
})";

class BirdToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.write("every.json", kEveryKind);
        std::string image;
        for (int i = 0; i < 40; ++i) {
            image += char(i * 3);
        }
        dir.write("image.bin", image);
    }
    TempDir dir;
};

TEST_F(BirdToolTest, PackAndInfoRoundTripEveryBlockKind) {
    const Outcome pack = RunBird(dir, {"pack", "every.json", "-o", "every.bird"});
    ASSERT_EQ(pack.exitStatus, 0) << pack.err;
    EXPECT_EQ(pack.out, "wrote every.bird: 7 blocks\n");

    const Outcome info = RunBird(dir, {"info", "every.bird"});
    EXPECT_EQ(info.exitStatus, 0) << info.err;
    EXPECT_EQ(info.err, "");
    for (const char* line : {
             "signature:        bird\n",
             "format version:   01 01\n",
             "declared blocks:  7\n",
             "blocks:           7\n",
             "  0    0  loader           0      9           0x20000000\n",
             "  1    1  firmware         1      44          0x00010000\n",
             "  2    1  firmware         7      304         0x03E80000\n",
             "  3    2  serial-offsets   0      8           -\n",
             "  4    4  info             0      64          -\n",
             "  5    5  loader-start     2      4           -\n",
             "  6    9  (unknown)        0      3           -\n",
             "  build:          99528558\n",
             "  version:        1.2.3\n",
             "  serial number:  40F5849A\n",
             "  model:          KX-HUB\n",
             "serial offsets:   serial number word 0x00010004, descriptor text 0x00010008\n",
             "loader start:     0x20000100\n",
             "(the CRC-32 of the payload)\n",
         }) {
        EXPECT_THAT(info.out, HasSubstr(line));
    }

    BirdFile bird((dir / "every.bird").c_str());
    kxtest::expect_blocks(bird, {{0, 0, 9, 0x20000000},
                                 {1, 1, 44, 0x10000},
                                 {1, 7, 304, 65536000},
                                 {2, 0, 8, 0},
                                 {4, 0, 64, 0},
                                 {5, 2, 4, 0},
                                 {9, 0, 3, 0}});
    ASSERT_FALSE(HasFatalFailure());
    auto bytes = [&](size_t i) {
        return Bytes(bird.blocks[i].data, bird.blocks[i].data + bird.blocks[i].length);
    };
    EXPECT_EQ(bytes(0), (Bytes{0x20, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0x01}));
    EXPECT_EQ(bytes(1)[4 + 39], 39 * 3);
    EXPECT_EQ(bytes(2)[4], 250);
    EXPECT_EQ(bytes(2)[4 + 6], 0);  // the counter wraps
    EXPECT_EQ(bytes(3), (Bytes{0, 1, 0, 4, 0, 1, 0, 8}));
    EXPECT_EQ(bytes(6), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(std::string(bird.blocks[4].data, bird.blocks[4].data + 64),
              "99528558        1.2.3           40F5849A        KX-HUB          ");
    EXPECT_TRUE(BirdFile::VerifyFile((dir / "every.bird").c_str()));
    EXPECT_TRUE(bird.ReplaceSerialNumber(0x12345678));
}

TEST_F(BirdToolTest, ScrambleIsUndoneByTheUpdatersDecoding) {
    ASSERT_EQ(RunBird(dir, {"pack", "every.json", "-o", "plain.bird"}).exitStatus, 0);
    const Outcome scramble = RunBird(
        dir,
        {"scramble", "--key", "01234567,89ABCDEF,0xDEADBEEF,0BADF00D", "plain.bird", "s.bird"});
    ASSERT_EQ(scramble.exitStatus, 0) << scramble.err;
    EXPECT_EQ(scramble.out, "scrambled 2 firmware blocks of plain.bird into s.bird\n");

    BirdFile plain((dir / "plain.bird").c_str());
    BirdFile scrambled((dir / "s.bird").c_str());
    ASSERT_EQ(scrambled.payloadSize, plain.payloadSize);
    EXPECT_NE(scrambled.payload, plain.payload);
    const unsigned key[4] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D};
    scrambled.DecodeFirmwareBlocks(key);
    EXPECT_EQ(scrambled.payload, plain.payload);
}

TEST_F(BirdToolTest, BadFilesGiveClearErrors) {
    ASSERT_EQ(RunBird(dir, {"pack", "every.json", "-o", "good.bird"}).exitStatus, 0);
    const std::string good = read_file(dir / "good.bird");
    dir.write("text.bird", "this is not a firmware image");
    dir.write("short.bird", "bird\x01\x01");
    dir.write("cut.bird", good.substr(0, good.size() - 8));
    std::string zero = good;
    zero[5] = 0;
    dir.write("zero.bird", zero);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"info", "absent.bird"},
         1,
         "kestrix-bird: cannot open absent.bird: No such file or directory\n"},
        {{"info", "text.bird"},
         1,
         "kestrix-bird: text.bird is not a BIRD file (it starts with 74 68 69 73, not \"bird\")\n"},
        {{"info", "short.bird"}, 1, "short.bird is too short for a BIRD file (6 bytes"},
        {{"info", "cut.bird"}, 1, "cut.bird: the compressed payload does not inflate"},
        {{"info", "zero.bird"},
         1,
         "warning: zero.bird: format version 01 00 has a zero byte; the updater refuses"},
        {{"info"}, 1, "kestrix-bird: needs a BIRD file\n"},
        {{"scramble", "--key", "1,2,3", "good.bird", "x.bird"},
         1,
         "the key \"1,2,3\" is not four comma-separated hexadecimal words"},
        {{"scramble", "--key", "1,2,3,123456789", "good.bird", "x.bird"}, 1, "is not four"},
        {{"scramble", "--key", "1,2,3,4", "text.bird", "x.bird"}, 1, "is not a BIRD file"},
        {{"frobnicate"}, 1, "kestrix-bird: unknown verb \"frobnicate\"\n"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = RunBird(dir, c.args);
        EXPECT_EQ(outcome.exitStatus, c.status) << c.args[0] << " " << c.args.back();
        EXPECT_THAT(outcome.err, HasSubstr(c.err)) << c.args.back();
    }
    EXPECT_FALSE(std::ifstream(dir / "x.bird").good());
}

TEST_F(BirdToolTest, InfoWarnsAboutWhatTheReaderOnlyLogs) {
    dir.write("count.json", R"({"declaredBlocks": 2, "blocks": [
        {"type": "firmware", "data": "01"}, {"type": "firmware"}, {"type": "firmware"}]})");
    ASSERT_EQ(RunBird(dir, {"pack", "count.json", "-o", "count.bird"}).exitStatus, 0);
    Outcome info = RunBird(dir, {"info", "count.bird"});
    EXPECT_EQ(info.exitStatus, 0);
    EXPECT_EQ(info.err, "kestrix-bird: warning: count.bird: declares 2 blocks, 3 parsed\n");

    dir.write("short.json", R"({"blocks": [{"type": "info", "data": "3132"},
        {"type": "firmware", "address": 16}]})");
    ASSERT_EQ(RunBird(dir, {"pack", "short.json", "-o", "short.bird"}).exitStatus, 0);
    info = RunBird(dir, {"info", "-v", "short.bird"});
    EXPECT_EQ(info.exitStatus, 0);
    EXPECT_THAT(info.out, HasSubstr("blocks:           1\n"));
    EXPECT_THAT(info.out, HasSubstr("info block:       none\n"));
    EXPECT_THAT(info.err, HasSubstr("declares 2 blocks, 1 parsed"));
    EXPECT_THAT(info.err, HasSubstr("the parsed blocks and checksum take 17 bytes of a 24-byte"));
    EXPECT_THAT(info.err, HasSubstr("BIRDFILE: Loading File [short.bird]\n"));  // --verbose
}

TEST_F(BirdToolTest, PackRejectsBadDescriptions) {
    struct Case {
        const char* json;
        const char* err;
    } cases[] = {
        {"{", "not valid JSON"},
        {R"({"blocks": {}})", "an object with a \"blocks\" array"},
        {R"({"blocks": [], "extra": 1})", "extra: unknown key"},
        {R"({"blocks": [{"type": "bogus"}]})", "blocks[0].type: unknown type \"bogus\""},
        {R"({"blocks": [{"type": 32}]})", "blocks[0].type: 32 is above 31"},
        {R"({"blocks": [{"type": "firmware", "flags": 8}]})", "blocks[0].flags: 8 is above 7"},
        {R"({"blocks": [{"type": "firmware", "build": 1}]})",
         "blocks[0]: key \"build\" does not belong to a block of type 1"},
        {R"({"blocks": [{"type": "firmware", "data": "ABC"}]})",
         "odd number of hexadecimal digits"},
        {R"({"blocks": [{"type": "firmware", "data": "00", "file": "image.bin"}]})", "only one of"},
        {R"({"blocks": [{"type": "firmware", "file": "nope.bin"}]})", "cannot read file"},
        {R"({"blocks": [{"type": "loader", "address": "0x1G"}]})", "\"0x1G\" is not a number"},
        {R"({"blocks": [{"type": "loader", "address": 4294967296}]})", "is above 4294967295"},
        {R"({"blocks": [{"type": "info", "version": "1234567890123456"}]})",
         "blocks[0]: info version \"1234567890123456\" is longer than 15 characters"},
        {R"({"blocks": [{"type": "info", "model": "x", "data": "00"}]})",
         "cannot be combined with literal data"},
        {R"({"blocks": [{"type": 3, "pattern": {"kind": "zigzag", "length": 1}}]})",
         "\"zigzag\" is not one of fill, counter, random"},
    };
    for (const Case& c : cases) {
        dir.write("bad.json", c.json);
        const Outcome outcome = RunBird(dir, {"pack", "bad.json", "-o", "bad.bird"});
        EXPECT_EQ(outcome.exitStatus, 1) << c.json;
        EXPECT_THAT(outcome.err, HasSubstr(c.err)) << c.json;
    }
    EXPECT_FALSE(std::ifstream(dir / "bad.bird").good());
    EXPECT_EQ(RunBird(dir, {"pack", "every.json"}).exitStatus, 1);
}

TEST_F(BirdToolTest, EveryVerbHasAManualPage) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--help"},
                                               {"help", "pack"},
                                               {"pack", "--help"},
                                               {"info", "--help"},
                                               {"scramble", "-h"}}) {
        const Outcome outcome = RunBird(dir, args);
        EXPECT_EQ(outcome.exitStatus, 0) << args[0];
        EXPECT_THAT(outcome.out, HasSubstr("NAME\n    kestrix-bird")) << args[0];
        EXPECT_THAT(outcome.out, HasSubstr("SYNOPSIS\n")) << args[0];
        EXPECT_THAT(outcome.out, HasSubstr("EXIT STATUS\n")) << args[0];
    }
    EXPECT_EQ(RunBird(dir, {"help", "nothing"}).exitStatus, 1);
}

}  // namespace
