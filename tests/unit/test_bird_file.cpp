// BirdFile: the file layout pinned by images built byte by byte here, patching
// (serial number, descrambling), and hostile images that must neither crash nor read
// beyond the payload (run under AddressSanitizer too).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "BirdChecks.h"
#include "BirdFile.h"
#include "BirdWriter.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;
using ::testing::Not;

void Append(Bytes& out, std::initializer_list<uint8_t> bytes) {
    out.insert(out.end(), bytes);
}

void AppendBE32(Bytes& out, uint32_t value) {
    Append(out, {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)});
}

// One block as the file lays it out: type/flags byte, big-endian length, data.
void AppendBlock(Bytes& out, uint8_t typeFlags, const Bytes& data) {
    out.push_back(typeFlags);
    AppendBE32(out, uint32_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

Bytes InfoData(const std::string& build, const std::string& version, const std::string& serial,
               const std::string& model) {
    Bytes data;
    for (const std::string& field : {build, version, serial, model}) {
        std::string padded = field;
        padded.resize(16, ' ');
        data.insert(data.end(), padded.begin(), padded.end());
    }
    return data;
}

// Header bytes, then `payload` deflated by zlib directly (not by the writer).
Bytes FileImage(const Bytes& payload, uint8_t version0 = 1, uint8_t version1 = 1) {
    uLongf size = compressBound(uLong(payload.size()));
    Bytes image = {'b', 'i', 'r', 'd', version0, version1};
    image.resize(6 + size);
    EXPECT_EQ(compress(image.data() + 6, &size, payload.data(), uLong(payload.size())), Z_OK);
    image.resize(6 + size);
    return image;
}

std::string WriteFile(const TempDir& dir, const std::string& name, const Bytes& bytes) {
    return dir.write(name, std::string(bytes.begin(), bytes.end()));
}

Bytes BlockBytes(const BirdBlock& block) {
    return Bytes(block.data, block.data + block.length);
}

// Every accessor and patch, so a malformed image gets exercised everywhere it is read.
void TouchEverything(BirdFile& bird) {
    bird.GetBuild();
    bird.GetVersion();
    bird.GetSerialNumber();
    bird.ValidateModel("KX");
    bird.serialNumberOffset = bird.serialNumberOffset ? bird.serialNumberOffset : 0x1000;
    bird.descriptorOffset = bird.descriptorOffset ? bird.descriptorOffset : 0x1000;
    bird.ReplaceSerialNumber(0x40F5849A);
    const unsigned key[4] = {1, 2, 3, 4};
    bird.DecodeFirmwareBlocks(key);
    const unsigned char pattern[2] = {0, 0};
    bird.ValidateData(pattern, 2);
    for (const BirdBlock& block : bird.blocks) {
        volatile uint8_t sum = 0;
        for (uint32_t i = 0; i < block.length; ++i) {
            sum = uint8_t(sum + block.data[i]);
        }
    }
}

class BirdFileTest : public ::testing::Test {
  protected:
    TempDir dir;
};

// count 2; firmware block 0x21 (type 1, flags 1) at 0x00010000 with AA BB CC DD; info
// block; checksum 12 34 56 78.
Bytes HandBuiltPayload() {
    Bytes p;
    AppendBE32(p, 2);
    AppendBlock(p, 0x21, {0x00, 0x01, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD});
    AppendBlock(p, 0x04, InfoData("99528558", "1.2.3", "40F5849A", "ABC"));
    AppendBE32(p, 0x12345678);
    return p;
}

TEST_F(BirdFileTest, LoadsAnImageBuiltByteByByte) {
    const Bytes payload = HandBuiltPayload();
    const std::string path = WriteFile(dir, "hand.bird", FileImage(payload));
    LogCapture log(kLogBirdFile);
    BirdFile bird(path.c_str());

    EXPECT_EQ(bird.path, path);
    EXPECT_EQ(bird.signature, 0x62697264u);
    EXPECT_EQ(bird.version, 0x0101);
    EXPECT_EQ(bird.payloadSize, payload.size());
    EXPECT_EQ(Bytes(bird.payload.begin(), bird.payload.end()), payload);
    EXPECT_EQ(bird.checksum, 0x12345678u);
    ASSERT_EQ(bird.blockCount, 2u);
    ASSERT_EQ(bird.blocks.size(), 2u);
    const BirdBlock& firmware = bird.blocks[0];
    EXPECT_EQ(firmware.type, 1);
    EXPECT_EQ(firmware.flags, 1);
    EXPECT_EQ(firmware.length, 8u);
    EXPECT_EQ(firmware.address, 0x00010000u);
    EXPECT_EQ(firmware.data, bird.payload.data() + 9);
    EXPECT_EQ(bird.blocks[1].type, 4);
    EXPECT_EQ(bird.blocks[1].address, 0u);
    EXPECT_EQ(bird.GetBuild(), 99528558u);
    EXPECT_EQ(bird.GetVersion(), "1.2.3");
    EXPECT_EQ(bird.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(bird.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(bird.ValidateSerialNumber(0x40F5849B));
    EXPECT_FALSE(bird.hasSerialNumberBlock);

    EXPECT_EQ(log.text(), "BIRDFILE: Loading File [" + path +
                              "]\n"
                              "BIRDFILE:\t\t File reports 2 blocks\n"
                              "BIRDFILE: Bird file objects:\n"
                              "BIRDFILE: \t\tType Flags Length\n"
                              "BIRDFILE:\t\t 01   01   8\n"
                              "BIRDFILE:\t\t 04   00   64\n"
                              "BIRDFILE:\t\t \t[99528558        ]\n"
                              "BIRDFILE:\t\t \t[1.2.3           ]\n"
                              "BIRDFILE:\t\t \t[40F5849A        ]\n"
                              "BIRDFILE:\t\t \t[ABC             ]\n"
                              "BIRDFILE:\t\t File checksum 12345678\n");
}

TEST_F(BirdFileTest, ModelMatchesTheFieldOrItsBeginning) {
    const std::string path = WriteFile(dir, "m.bird", FileImage(HandBuiltPayload()));
    BirdFile bird(path.c_str());
    struct Case {
        const char* model;
        bool matches;
    } cases[] = {{"ABC", true},   {"AB", true},   {"", true},
                 {"ABCD", false}, {"ABD", false}, {"abc", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(bird.ValidateModel(c.model), c.matches) << c.model;
    }
    LogCapture log(kLogBirdFile);
    bird.ValidateModel("AB");
    EXPECT_EQ(log.text(), "Model matches model number ([ABC] == [AB])\n");
}

TEST_F(BirdFileTest, ImageWithoutInfoBlockAnswersNothing) {
    Bytes p;
    AppendBE32(p, 1);
    AppendBlock(p, 0x01, {0, 0, 0, 0, 1});
    AppendBE32(p, 0);
    const std::string path = WriteFile(dir, "noinfo.bird", FileImage(p));
    BirdFile bird(path.c_str());
    EXPECT_EQ(bird.GetBuild(), 0u);
    EXPECT_EQ(bird.GetVersion(), "");
    EXPECT_EQ(bird.GetSerialNumber(), 0u);
    EXPECT_FALSE(bird.ValidateModel(""));
    EXPECT_TRUE(bird.FindBlocks(BirdFile::BLOCK_INFO).empty());
}

TEST_F(BirdFileTest, VerifyFileLooksOnlyAtTheHeader) {
    const Bytes payload = HandBuiltPayload();
    const Bytes good = FileImage(payload);
    struct Case {
        const char* name;
        Bytes bytes;
        bool verifies;
        bool loads;
    } cases[] = {
        {"good", good, true, true},
        {"zero version byte 4", FileImage(payload, 0, 1), false, true},
        {"zero version byte 5", FileImage(payload, 1, 0), false, true},
        {"other signature",
         [&] {
             Bytes b = good;
             b[3] = 'x';
             return b;
         }(),
         false, true},
        {"header only", {'b', 'i', 'r', 'd', 1, 1}, true, false},
        {"five bytes", {'b', 'i', 'r', 'd', 1}, false, false},
        {"empty", {}, false, false},
        {"header and garbage", {'b', 'i', 'r', 'd', 1, 1, 0xDE, 0xAD, 0xBE, 0xEF}, true, false},
    };
    for (const Case& c : cases) {
        const std::string path = WriteFile(dir, "v.bird", c.bytes);
        EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.verifies) << c.name;
        if (c.loads) {
            EXPECT_NO_THROW(BirdFile{path.c_str()}) << c.name;
        } else {
            EXPECT_THROW(BirdFile{path.c_str()}, std::runtime_error) << c.name;
        }
    }
}

TEST_F(BirdFileTest, MissingFileFailsWithItsLogLines) {
    const std::string path = dir / "absent.bird";
    LogCapture log(kLogBirdFile);
    EXPECT_FALSE(BirdFile::VerifyFile(path.c_str()));
    EXPECT_EQ(log.text(), "BIRDFILE: Error - cannot open bird file: '" + path + "'\n");
    try {
        BirdFile bird(path.c_str());
        FAIL() << "loaded a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
    EXPECT_THAT(log.text(), HasSubstr("BIRDFILE: BIRD file not found [" + path + "]\n"));
}

TEST_F(BirdFileTest, CountAndSizeMismatchesAreLoggedButLoad) {
    Bytes p;
    AppendBE32(p, 2);
    for (uint8_t i = 0; i < 3; ++i) {
        AppendBlock(p, 0x01, {0, 0, 0x10, i, 0xEE});
    }
    AppendBE32(p, 0xCAFEF00D);
    const std::string path = WriteFile(dir, "count.bird", FileImage(p));
    LogCapture log(kLogBirdFile);
    BirdFile bird(path.c_str());
    EXPECT_EQ(bird.blockCount, 3u);
    ASSERT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 3u);
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[2].address, 0x1002u);
    EXPECT_EQ(bird.checksum, 0xCAFEF00Du);
    EXPECT_THAT(log.text(),
                HasSubstr("BIRDFILE: Block parsing mismatch in number of blocks. (3 != 2)\n"));
    EXPECT_THAT(log.text(), Not(HasSubstr("data size")));

    // A payload that ends in fewer bytes than a checksum takes.
    p.resize(p.size() - 2);
    const std::string cut = WriteFile(dir, "cut.bird", FileImage(p));
    LogCapture cutLog(kLogBirdFile);
    BirdFile shortTail(cut.c_str());
    EXPECT_EQ(shortTail.blockCount, 3u);
    EXPECT_EQ(shortTail.checksum, 0u);
    EXPECT_THAT(cutLog.text(),
                HasSubstr("BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n"));
}

TEST_F(BirdFileTest, FindBlocksCopiesRecordsInFileOrder) {
    BirdWriter writer;
    writer.AddImageBlock(1, 0, 0x3000, {1});
    writer.AddImageBlock(0, 2, 0x9000, {2});
    writer.AddImageBlock(1, 3, 0x1000, {3, 4});
    writer.AddRawBlock(9, 0, {7, 7, 7});
    const std::string path = WriteFile(dir, "order.bird", writer.Image());
    BirdFile bird(path.c_str());
    const std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 2u);
    EXPECT_EQ(firmware[0].address, 0x3000u);
    EXPECT_EQ(firmware[1].address, 0x1000u);
    EXPECT_EQ(firmware[1].flags, 3);
    EXPECT_EQ(firmware[1].data, bird.blocks[2].data);
    // Blocks of types the reader does not know stay in the list.
    ASSERT_EQ(bird.blocks.size(), 4u);
    EXPECT_EQ(bird.blocks[3].type, 9);
    EXPECT_EQ(bird.blocks[3].length, 3u);
}

TEST_F(BirdFileTest, MovingCarriesBlocksAndPayloadTogether) {
    const std::string path = WriteFile(dir, "move.bird", FileImage(HandBuiltPayload()));
    BirdFile source(path.c_str());
    const uint8_t* data = source.blocks[0].data;
    BirdFile moved(std::move(source));
    EXPECT_EQ(moved.blocks[0].data, data);
    EXPECT_EQ(moved.blocks[0].data, moved.payload.data() + 9);
    EXPECT_EQ(moved.GetBuild(), 99528558u);
    EXPECT_EQ(source.blockCount, 0u);
    EXPECT_TRUE(source.blocks.empty());
    EXPECT_TRUE(source.payload.empty());
    EXPECT_EQ(source.payloadSize, 0u);

    BirdFile assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.blocks[0].data, data);
    EXPECT_EQ(assigned.path, path);
    EXPECT_EQ(moved.blockCount, 0u);
}

// Firmware block at 0x1000 with 64 image bytes; the serial word at 0x1010, the
// descriptor text at 0x1020 (UTF-16LE, high bytes 0x77 so we see they stay).
Bytes SerialImagePayload(bool withOffsets, uint32_t serialOffset = 0x1010,
                         uint32_t descriptorOffset = 0x1020) {
    Bytes image(64, 0x00);
    for (int i = 0; i < 4; ++i) {
        image[0x10 + i] = uint8_t(0x11 * (i + 1));  // old word 44332211 little-endian
    }
    for (int i = 0; i < 16; i += 2) {
        image[0x20 + i] = '0';
        image[0x21 + i] = 0x77;
    }
    Bytes data = {0x00, 0x00, 0x10, 0x00};
    data.insert(data.end(), image.begin(), image.end());
    Bytes p;
    AppendBE32(p, withOffsets ? 2 : 1);
    if (withOffsets) {
        Bytes offsets;
        AppendBE32(offsets, serialOffset);
        AppendBE32(offsets, descriptorOffset);
        AppendBlock(p, 0x02, offsets);
    }
    AppendBlock(p, 0x01, data);
    AppendBE32(p, 0);
    return p;
}

TEST_F(BirdFileTest, ReplaceSerialNumberWritesWordAndDescriptor) {
    const std::string path = WriteFile(dir, "sn.bird", FileImage(SerialImagePayload(true)));
    LogCapture log(kLogBirdFile);
    BirdFile bird(path.c_str());
    EXPECT_TRUE(bird.hasSerialNumberBlock);
    EXPECT_EQ(bird.serialNumberOffset, 0x1010u);
    EXPECT_EQ(bird.descriptorOffset, 0x1020u);
    EXPECT_THAT(log.text(),
                HasSubstr("BIRDFILE: Offsets: Serial number: 4112, Descriptor: 4128\n"));

    ASSERT_TRUE(bird.ReplaceSerialNumber(0x40F5849A));
    const uint8_t* image = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].data + 4;
    EXPECT_EQ(Bytes(image + 0x10, image + 0x14), (Bytes{0x9A, 0x84, 0xF5, 0x40}));
    const Bytes expectedText = {'4', 0x77, '0', 0x77, 'F', 0x77, '5', 0x77,
                                '8', 0x77, '4', 0x77, '9', 0x77, 'A', 0x77};
    EXPECT_EQ(Bytes(image + 0x20, image + 0x30), expectedText);
    EXPECT_EQ(image[0x0F], 0x00);
    EXPECT_EQ(image[0x14], 0x00);
    EXPECT_THAT(log.text(),
                HasSubstr("BIRDFILE: updating serial number from 44332211 ==> 40F5849A\n"));
}

TEST_F(BirdFileTest, ReplaceSerialNumberLeavesImagesItCannotPatch) {
    struct Case {
        const char* name;
        Bytes payload;
        bool result;
    } cases[] = {
        {"no serial-offsets block", SerialImagePayload(false), false},
        // A word that straddles the end of the block, and a descriptor before it: the
        // serial offset still counts, nothing is written.
        {"offsets outside the block", SerialImagePayload(true, 0x103E, 0x0FF0), true},
        {"descriptor only, outside", SerialImagePayload(true, 0, 0x1031), false},
    };
    for (const Case& c : cases) {
        const std::string path = WriteFile(dir, "p.bird", FileImage(c.payload));
        BirdFile bird(path.c_str());
        const Bytes before(bird.payload.begin(), bird.payload.end());
        EXPECT_EQ(bird.ReplaceSerialNumber(0x40F5849A), c.result) << c.name;
        EXPECT_EQ(Bytes(bird.payload.begin(), bird.payload.end()), before) << c.name;
    }
}

// c[j] = b[j] ^ K[j % 16] ^ b[j-1], written out independently of the code under test.
Bytes Scrambled(const Bytes& plain, const unsigned key[4]) {
    Bytes out(plain.size());
    for (size_t j = 0; j < plain.size(); ++j) {
        const uint8_t k = uint8_t(key[(j % 16) / 4] >> (24 - 8 * (j % 4)));
        out[j] = uint8_t(plain[j] ^ k ^ (j ? plain[j - 1] : 0));
    }
    return out;
}

TEST_F(BirdFileTest, DecodingUndoesScrambling) {
    const unsigned key[4] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D};
    Bytes first(40), second(21);
    for (size_t i = 0; i < first.size(); ++i) {
        first[i] = uint8_t(i * 7 + 3);
    }
    for (size_t i = 0; i < second.size(); ++i) {
        second[i] = uint8_t(0xF0 - i);
    }
    BirdWriter writer;
    writer.AddImageBlock(1, 0, 0x1000, Scrambled(first, key));
    writer.AddImageBlock(0, 0, 0x2000, Scrambled(first, key));  // a loader block stays as it is
    writer.AddImageBlock(1, 0, 0x3000, Scrambled(second, key));
    const std::string path = WriteFile(dir, "s.bird", writer.Image());
    BirdFile bird(path.c_str());

    EXPECT_TRUE(bird.DecodeFirmwareBlocks(key));
    auto image = [&](size_t i) {
        const BirdBlock& b = bird.blocks[i];
        return Bytes(b.data + 4, b.data + b.length);
    };
    EXPECT_EQ(image(0), first);
    EXPECT_EQ(image(1), Scrambled(first, key));
    EXPECT_EQ(image(2), second);  // the chaining starts afresh in every block
    EXPECT_EQ(BlockBytes(bird.blocks[0]).size(), 44u);
    EXPECT_EQ(bird.blocks[0].address, 0x1000u);

    bird.DecodeFirmwareBlocks(key);
    EXPECT_NE(image(0), Scrambled(first, key));
    EXPECT_NE(image(0), first);

    // kestrix-bird's scrambler is the same inverse.
    BirdFile again(path.c_str());
    again.DecodeFirmwareBlocks(key);
    ScrambleFirmwareBlocks(again, key);
    EXPECT_EQ(Bytes(again.blocks[0].data + 4, again.blocks[0].data + 44), Scrambled(first, key));
}

TEST_F(BirdFileTest, ValidateDataLogsEveryHit) {
    BirdWriter writer;
    writer.AddImageBlock(1, 0, 0x00AB0000, {0xAB, 0x00, 0xAB});
    writer.AddImageBlock(0, 0, 0, {0xAB, 0x00});
    const std::string path = WriteFile(dir, "d.bird", writer.Image());
    BirdFile bird(path.c_str());
    const unsigned char pattern[] = {0xAB, 0x00};
    LogCapture log(kLogBirdFile);
    EXPECT_TRUE(bird.ValidateData(pattern, 2));
    // The address bytes 00 AB 00 00 count too.
    EXPECT_EQ(log.text(), "BIRDFILE: looking for data pattern in [" + path +
                              "]\nFound data at 1\nFound data at 4\n\n");
    const unsigned char absent[] = {0xCD};
    EXPECT_FALSE(bird.ValidateData(absent, 1));
}

TEST_F(BirdFileTest, DumpBlocksPrintsHexAndText) {
    BirdWriter writer;
    writer.AddRawBlock(7, 0, {'A', 0x01, 'B'});
    const std::string path = WriteFile(dir, "dump.bird", writer.Image());
    BirdFile bird(path.c_str());
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(bird.DumpBlocks(BirdFile::BLOCK_TYPE(7)));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "BIRDFILE: BLOCK DUMP [" + path + "]\n \r\n000000: 41 01 42  A B\n\n");
}

TEST_F(BirdFileTest, WriterOutputLoadsWithIdenticalBlocks) {
    BirdWriter writer;
    writer.AddImageBlock(0, 0, 0x20000000, {0xDE, 0xAD});
    writer.AddImageBlock(1, 7, 0x00010000, Bytes(300, 0x5A));
    writer.AddSerialOffsetsBlock(0x10100, 0x10200, 1);
    writer.AddInfoBlock({"99528558", "2.12.5", "40F5849A", "KX-HUB"}, 2);
    writer.AddLoaderStartBlock(0x20000100);
    writer.AddRawBlock(31, 5, {1, 2, 3});
    const Bytes payload = writer.Payload();
    const std::string path = WriteFile(dir, "w.bird", writer.Image());
    BirdFile bird(path.c_str());
    EXPECT_EQ(Bytes(bird.payload.begin(), bird.payload.end()), payload);
    EXPECT_EQ(bird.checksum, BirdChecksum(payload.data(), payload.size() - 4));
    kxtest::expect_blocks(bird, {{0, 0, 6, 0x20000000},
                                 {1, 7, 304, 0x10000},
                                 {2, 1, 8, 0},
                                 {4, 2, 64, 0},
                                 {5, 0, 4, 0},
                                 {31, 5, 3, 0}});
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(BlockBytes(bird.blocks[4]), (Bytes{0x20, 0x00, 0x01, 0x00}));
    EXPECT_EQ(bird.GetVersion(), "2.12.5");
    EXPECT_TRUE(bird.ValidateModel("KX-HUB"));
    EXPECT_EQ(bird.serialNumberOffset, 0x10100u);
}

// Images that compress far better than 8:1, up to the payload cap, still load.
TEST_F(BirdFileTest, HighlyCompressibleImagesLoad) {
    BirdWriter writer;
    writer.AddImageBlock(1, 0, 0, Bytes(4 * 1024 * 1024, 0xFF));
    const Bytes image = writer.Image();
    ASSERT_LT(image.size() * 100, 4u * 1024 * 1024);
    const std::string path = WriteFile(dir, "ff.bird", image);
    BirdFile bird(path.c_str());
    ASSERT_EQ(bird.blockCount, 1u);
    EXPECT_EQ(bird.blocks[0].length, 4u * 1024 * 1024 + 4);
    EXPECT_EQ(bird.blocks[0].data[4 * 1024 * 1024 + 3], 0xFF);
}

// A zlib stream of `size` zero bytes, deflated piecewise so the test never holds them.
Bytes ZeroStream(size_t size) {
    z_stream zs{};
    EXPECT_EQ(deflateInit(&zs, Z_BEST_SPEED), Z_OK);
    const Bytes zeros(1024 * 1024, 0);
    Bytes out(1024 * 1024);
    size_t produced = 0;
    size_t left = size;
    int rc;
    do {
        const size_t piece = std::min(left, zeros.size());
        zs.next_in = const_cast<Bytef*>(zeros.data());
        zs.avail_in = uInt(piece);
        left -= piece;
        do {
            if (produced == out.size()) {
                out.resize(out.size() * 2);
            }
            zs.next_out = out.data() + produced;
            zs.avail_out = uInt(out.size() - produced);
            rc = deflate(&zs, left ? Z_NO_FLUSH : Z_FINISH);
            produced = size_t(zs.next_out - out.data());
        } while (zs.avail_out == 0 || (left == 0 && rc != Z_STREAM_END));
    } while (left > 0);
    deflateEnd(&zs);
    out.resize(produced);
    Bytes image = {'b', 'i', 'r', 'd', 1, 1};
    image.insert(image.end(), out.begin(), out.end());
    return image;
}

TEST_F(BirdFileTest, PayloadCapStopsZipBombs) {
    const std::string atCap = WriteFile(dir, "cap.bird", ZeroStream(BirdFile::MAX_PAYLOAD_SIZE));
    {
        BirdFile bird(atCap.c_str());
        EXPECT_EQ(bird.payloadSize, BirdFile::MAX_PAYLOAD_SIZE);
    }
    const std::string bomb =
        WriteFile(dir, "bomb.bird", ZeroStream(BirdFile::MAX_PAYLOAD_SIZE + 1));
    LogCapture log(kLogBirdFile);
    EXPECT_THROW(BirdFile{bomb.c_str()}, std::runtime_error);
    EXPECT_THAT(log.text(), HasSubstr("BIRDFILE: Error (-5) decompressing bird file.\n"));
}

TEST_F(BirdFileTest, CorruptOrTruncatedStreamsFailToLoad) {
    const Bytes image = FileImage(HandBuiltPayload());
    for (size_t cut = 7; cut < image.size(); ++cut) {
        const std::string path =
            WriteFile(dir, "cut.bird", Bytes(image.begin(), image.begin() + cut));
        LogCapture log(kLogBirdFile);
        EXPECT_THROW(BirdFile{path.c_str()}, std::runtime_error) << cut;
        EXPECT_THAT(log.text(), HasSubstr("decompressing bird file.\n")) << cut;
    }
    Bytes garbage = {'b', 'i', 'r', 'd', 1, 1};
    for (int i = 0; i < 200; ++i) {
        garbage.push_back(uint8_t(i * 37 + 11));
    }
    const std::string path = WriteFile(dir, "garbage.bird", garbage);
    LogCapture log(kLogBirdFile);
    EXPECT_THROW(BirdFile{path.c_str()}, std::runtime_error);
    EXPECT_THAT(log.text(), HasSubstr("BIRDFILE: Error (-3) decompressing bird file.\n"));
}

TEST_F(BirdFileTest, BlocksRunningPastThePayloadAreDropped) {
    Bytes p;
    AppendBE32(p, 2);
    AppendBlock(p, 0x01, {0, 0, 0x10, 0, 0xAA});
    Append(p, {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0});  // claims 4 GiB
    const std::string path = WriteFile(dir, "long.bird", FileImage(p));
    LogCapture log(kLogBirdFile);
    BirdFile bird(path.c_str());
    ASSERT_EQ(bird.blockCount, 1u);
    EXPECT_EQ(bird.blocks[0].address, 0x1000u);
    EXPECT_EQ(bird.checksum, 0u);
    EXPECT_THAT(log.text(), HasSubstr("runs past the end of the payload"));
    EXPECT_THAT(log.text(), HasSubstr("(10 bytes remaining)"));
    EXPECT_THAT(log.text(), HasSubstr("(1 != 2)"));
    TouchEverything(bird);
}

TEST_F(BirdFileTest, BlocksTooShortForTheirTypeAreDropped) {
    struct Case {
        uint8_t type;
        uint32_t length;
    } cases[] = {{0, 3}, {1, 0}, {1, 3}, {2, 7}, {4, 63}, {4, 16}, {5, 3}};
    for (const Case& c : cases) {
        Bytes p;
        AppendBE32(p, 2);
        AppendBlock(p, c.type, Bytes(c.length, '7'));
        AppendBlock(p, 0x01, {0, 0, 0x20, 0, 0xBB});
        AppendBE32(p, 0x55555555);
        const std::string path = WriteFile(dir, "short.bird", FileImage(p));
        LogCapture log(kLogBirdFile);
        BirdFile bird(path.c_str());
        ASSERT_EQ(bird.blockCount, 1u) << int(c.type) << "/" << c.length;
        EXPECT_EQ(bird.blocks[0].address, 0x2000u);
        EXPECT_EQ(bird.checksum, 0x55555555u);
        EXPECT_FALSE(bird.hasSerialNumberBlock);
        EXPECT_EQ(bird.GetBuild(), 0u);
        EXPECT_THAT(log.text(), HasSubstr("dropped"));
        TouchEverything(bird);
    }
}

void ExpectInsidePayload(BirdFile& bird) {
    for (const BirdBlock& block : bird.blocks) {
        ASSERT_LE(block.data + block.length, bird.payload.data() + bird.payloadSize);
    }
    TouchEverything(bird);
}

// Every type at every length from 0 to 70, back to back, ending with no checksum, a
// cut one or a whole one; and alone at the very end of the payload, fitting exactly
// or claiming one byte more than is left.
TEST_F(BirdFileTest, BlocksOfEveryOddSizeStayInsideThePayload) {
    for (uint8_t type : {0, 1, 2, 4, 5, 6}) {
        const uint32_t needed = type == 4 ? 64 : type == 2 ? 8 : type == 6 ? 0 : 4;
        for (size_t tail : {0u, 2u, 4u}) {
            Bytes p;
            AppendBE32(p, 71);
            uint32_t usable = 0;
            for (uint32_t length = 0; length <= 70; ++length) {
                Bytes data(length);
                for (uint32_t i = 0; i < length; ++i) {
                    data[i] = uint8_t('0' + i % 10);
                }
                AppendBlock(p, type, data);
                usable += length >= needed ? 1 : 0;
            }
            p.insert(p.end(), tail, 0xEE);
            const std::string path = WriteFile(dir, "odd.bird", FileImage(p));
            BirdFile bird(path.c_str());
            EXPECT_EQ(bird.blockCount, usable) << int(type) << "/" << tail;
            ExpectInsidePayload(bird);
        }
        for (uint32_t length : {0, 1, 3, 4, 5, 7, 8, 15, 16, 63, 64, 65}) {
            for (uint32_t extra : {0, 1}) {
                Bytes p;
                AppendBE32(p, 1);
                p.push_back(type);
                AppendBE32(p, length + extra);
                p.insert(p.end(), length, 0x30);
                const std::string path = WriteFile(dir, "last.bird", FileImage(p));
                BirdFile bird(path.c_str());
                EXPECT_EQ(bird.blockCount, extra == 0 && length >= needed ? 1u : 0u)
                    << int(type) << "/" << length << "+" << extra;
                ExpectInsidePayload(bird);
            }
        }
    }
}

TEST_F(BirdFileTest, PayloadsTooShortForCountOrChecksum) {
    for (const Bytes& p :
         {Bytes{}, Bytes{0}, Bytes{0, 0, 0}, Bytes{0, 0, 0, 0}, Bytes{0, 0, 0, 0, 1, 2}}) {
        const std::string path = WriteFile(dir, "tiny.bird", FileImage(p));
        BirdFile bird(path.c_str());
        EXPECT_EQ(bird.blockCount, 0u);
        EXPECT_EQ(bird.checksum, 0u);
        TouchEverything(bird);
    }
}

}  // namespace
