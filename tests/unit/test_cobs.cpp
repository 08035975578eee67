// COBS, CRC-8/MAXIM and the framing stream of serial links. The byte vectors below were
// worked out by hand from the published algorithms, not produced by this code.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "aStream_CobsEncoding.h"
#include "cobs.h"
#include "crc8.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes range(int first, int last) {
    Bytes v;
    for (int b = first; b <= last; ++b) {
        v.push_back(static_cast<uint8_t>(b));
    }
    return v;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Crc8Test, MaximCheckValueAndPieces) {
    const std::string check = "123456789";
    const auto* data = reinterpret_cast<const uint8_t*>(check.data());
    EXPECT_EQ(crc8_create(data, check.size()), 0xA1);
    EXPECT_EQ(crc8_update(crc8_create(data, 4), data + 4, 5), 0xA1);
    EXPECT_TRUE(crc8_check(data, check.size(), 0xA1));
    EXPECT_FALSE(crc8_check(data, check.size(), 0xA0));
    EXPECT_EQ(crc8_create(nullptr, 0), 0x00);
    const uint8_t packet[] = {0x04, 0x01, 0x00};
    EXPECT_EQ(crc8_create(packet, 3), 0x5A);
}

struct CobsVector {
    Bytes plain;
    Bytes encoded;
};

class CobsVectorTest : public ::testing::TestWithParam<CobsVector> {};

TEST_P(CobsVectorTest, EncodesAndDecodes) {
    const CobsVector& v = GetParam();
    Bytes out(COBS_ENCODED_MAX(v.plain.size()));
    out.resize(cobs_encode(v.plain.data(), v.plain.size(), out.data()));
    EXPECT_EQ(out, v.encoded);

    Bytes back = v.encoded;  // decoded in place
    size_t n = 0;
    ASSERT_TRUE(cobs_decode(back.data(), back.size(), back.data(), &n));
    back.resize(n);
    EXPECT_EQ(back, v.plain);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, CobsVectorTest,
    ::testing::Values(CobsVector{{}, {0x01}}, CobsVector{{0x00}, {0x01, 0x01}},
                      CobsVector{{0x00, 0x00}, {0x01, 0x01, 0x01}},
                      CobsVector{{0x00, 0x11, 0x00}, {0x01, 0x02, 0x11, 0x01}},
                      CobsVector{{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
                      CobsVector{{0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
                      CobsVector{{0x04, 0x01, 0x00, 0x5A}, {0x03, 0x04, 0x01, 0x02, 0x5A}},
                      CobsVector{range(1, 254), Bytes{0xFF} + range(1, 254)},
                      CobsVector{range(1, 255), Bytes{0xFF} + range(1, 254) + Bytes{0x02, 0xFF}},
                      CobsVector{range(0, 254), Bytes{0x01, 0xFF} + range(1, 254)}));

TEST(CobsTest, MalformedEncodingsAreRefused) {
    size_t n = 0;
    uint8_t out[8];
    for (const Bytes& bad :
         {Bytes{0x00}, Bytes{0x03, 0x11}, Bytes{0x03, 0x11, 0x00}, Bytes{0x02, 0x11, 0x05, 0x22}}) {
        EXPECT_FALSE(cobs_decode(bad.data(), bad.size(), out, &n)) << bad.size();
    }
}

// The serial port below the framing layer: get replays received bytes and injected
// errors (aErrNotReady once they run out); put and write are recorded.
struct Line {
    std::deque<std::pair<uint8_t, aErr>> incoming;
    Bytes put;
    std::vector<Bytes> frames;
    aErr writeResult = aErrNone;
    int deletes = 0;

    void receive(const Bytes& bytes) {
        for (uint8_t b : bytes) {
            incoming.emplace_back(b, aErrNone);
        }
    }
    static aErr get(uint8_t* byte, void* context) {
        auto line = static_cast<Line*>(context);
        if (line->incoming.empty()) {
            return aErrNotReady;
        }
        *byte = line->incoming.front().first;
        const aErr err = line->incoming.front().second;
        line->incoming.pop_front();
        return err;
    }
    static aErr putByte(uint8_t byte, void* context) {
        static_cast<Line*>(context)->put.push_back(byte);
        return aErrNone;
    }
    static aErr write(const uint8_t* bytes, size_t length, void* context) {
        auto line = static_cast<Line*>(context);
        line->frames.emplace_back(bytes, bytes + length);
        return line->writeResult;
    }
    static aErr del(void* context) {
        ++static_cast<Line*>(context)->deletes;
        return aErrNone;
    }
};

class CobsStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aStream_CreateCobsEncoding(Line::get, Line::putByte, Line::write, Line::del,
                                             &line, &stream),
                  aErrNone);
    }
    void TearDown() override {
        ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
        EXPECT_EQ(line.deletes, 1);
    }
    aErr write(const Bytes& bytes) { return aStream_Write(stream, bytes.data(), bytes.size()); }

    // Reads until count bytes have come or an error other than not-ready, recording the
    // errors seen; at most a bounded number of calls.
    Bytes read(size_t count, std::vector<aErr>* errors = nullptr) {
        Bytes got;
        for (int calls = 0; got.size() < count && calls < 1000; ++calls) {
            uint8_t byte = 0;
            const aErr err = aStream_Read(stream, &byte, 1);
            if (err == aErrNone) {
                got.push_back(byte);
            } else if (err != aErrNotReady && errors != nullptr) {
                errors->push_back(err);
            }
        }
        return got;
    }

    Line line;
    aStream* stream = nullptr;
};

TEST_F(CobsStreamTest, PacketsGoOutAsExactFrames) {
    ASSERT_EQ(write({0x04, 0x01, 0x00}), aErrNone);
    ASSERT_EQ(write({0xAD, 0x00, 0x04, 0x02, 0x00, 0x01}), aErrNone);  // two packets, one call
    // No packet starts with 0, none is 64 bytes long: dropped. The last 04 starts 04 00.
    ASSERT_EQ(write({0x00, 0x04, 0x40, 0x04}), aErrNone);
    ASSERT_EQ(write({0x00, 0x00}), aErrNone);
    ASSERT_EQ(line.frames.size(), 4u);
    EXPECT_EQ(line.frames[0], (Bytes{0x03, 0x04, 0x01, 0x02, 0x5A, 0x00}));
    EXPECT_EQ(line.frames[1], (Bytes{0x02, 0xAD, 0x02, 0x67, 0x00}));
    EXPECT_EQ(line.frames[2], (Bytes{0x03, 0x04, 0x02, 0x03, 0x01, 0x1F, 0x00}));
    EXPECT_EQ(line.frames[3], (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
    EXPECT_TRUE(line.put.empty());
}

TEST_F(CobsStreamTest, SingleByteGoesOutUnframed) {
    ASSERT_EQ(write({0x3F}), aErrNone);
    EXPECT_EQ(line.put, Bytes{0x3F});
    EXPECT_TRUE(line.frames.empty());
}

TEST_F(CobsStreamTest, FailedLowerWriteIsReported) {
    line.writeResult = aErrIO;
    EXPECT_EQ(write({0x04, 0x00}), aErrIO);
}

TEST_F(CobsStreamTest, ReceivedFrameYieldsItsPacketBytesOnly) {
    line.receive({0x00, 0x03, 0x04, 0x01, 0x02, 0x5A, 0x00});  // a stray delimiter first
    EXPECT_EQ(read(3), (Bytes{0x04, 0x01, 0x00}));
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);  // the CRC is not handed out
}

TEST_F(CobsStreamTest, BadCrcGivesOnePacketErrorThenTheNextFrame) {
    line.receive({0x03, 0x04, 0x01, 0x02, 0x5B, 0x00});
    line.receive({0x02, 0x04, 0x02, 0x3B, 0x00});
    std::vector<aErr> errors;
    EXPECT_EQ(read(2, &errors), (Bytes{0x04, 0x00}));
    EXPECT_EQ(errors, std::vector<aErr>{aErrPacket});
}

TEST_F(CobsStreamTest, FramesFailingTheirChecksAreRejected) {
    const std::vector<Bytes> rejected = {
        {0x02, 0x04},                          // too short to hold address, size and CRC
        {0x03, 0x04, 0x01, 0x02, 0x5A, 0x01},  // size byte says 1, frame holds 2 data bytes
        {0x05, 0x04, 0x01},                    // code byte runs past the end
        Bytes(aCOBS_MAX_FRAME + 1, 0x11),      // longer than any packet's frame
    };
    for (const Bytes& frame : rejected) {
        line.receive(frame + Bytes{0x00});
    }
    line.receive({0x02, 0x04, 0x02, 0x3B, 0x00});
    std::vector<aErr> errors;
    EXPECT_EQ(read(2, &errors), (Bytes{0x04, 0x00}));
    EXPECT_EQ(errors, std::vector<aErr>(rejected.size(), aErrPacket));
}

TEST_F(CobsStreamTest, LongestFrameIsTakenOneByteMoreIsNot) {
    // 28 non-zero data bytes: the packet and its CRC encode to 32 bytes.
    Bytes packet = {0x04, 0x1C};
    for (uint8_t i = 1; i <= 28; ++i) {
        packet.push_back(i);
    }
    const uint8_t crc = crc8_create(packet.data(), packet.size());
    ASSERT_NE(crc, 0);
    const Bytes frame = Bytes{0x20} + packet + Bytes{crc};
    ASSERT_EQ(frame.size(), size_t{aCOBS_MAX_FRAME});
    line.receive(frame + Bytes{0x00});
    EXPECT_EQ(read(packet.size()), packet);

    // A lost delimiter merges two frames; the merged one must not pass as the first.
    line.receive(frame + Bytes{0x02, 0x04, 0x00});
    line.receive({0x02, 0x04, 0x02, 0x3B, 0x00});
    std::vector<aErr> errors;
    EXPECT_EQ(read(2, &errors), (Bytes{0x04, 0x00}));
    EXPECT_EQ(errors, std::vector<aErr>{aErrPacket});
}

TEST_F(CobsStreamTest, LowerErrorsOtherThanNotReadyArePassedOn) {
    line.incoming.emplace_back(0, aErrIO);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIO);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
}

TEST_F(CobsStreamTest, EveryPacketSizeRoundTrips) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byteValue(0, 255);
    for (uint8_t size = 0; size <= 28; ++size) {
        Bytes packet = {static_cast<uint8_t>(2 * byteValue(random) % 254 + 2), size};
        for (uint8_t i = 0; i < size; ++i) {
            packet.push_back(static_cast<uint8_t>(byteValue(random)));
        }
        line.frames.clear();
        ASSERT_EQ(write(packet), aErrNone);
        ASSERT_EQ(line.frames.size(), 1u) << int{size};
        const Bytes& frame = line.frames[0];
        EXPECT_LE(frame.size(), size_t{aCOBS_MAX_FRAME} + 1);
        for (size_t i = 0; i + 1 < frame.size(); ++i) {
            ASSERT_NE(frame[i], 0) << "size " << int{size} << " at " << i;
        }
        EXPECT_EQ(frame.back(), 0);
        line.receive(frame);
        std::vector<aErr> errors;
        EXPECT_EQ(read(packet.size(), &errors), packet) << int{size};
        EXPECT_TRUE(errors.empty());
    }
}

TEST(CobsStreamCreateTest, NeedsAnOutPointerAndReportsMissingProcedures) {
    Line line;
    EXPECT_EQ(aStream_CreateCobsEncoding(Line::get, nullptr, nullptr, nullptr, &line, nullptr),
              aErrParam);
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateCobsEncoding(nullptr, nullptr, nullptr, nullptr, &line, &stream),
              aErrNone);
    uint8_t bytes[2] = {0x04, 0x00};
    EXPECT_EQ(aStream_Read(stream, bytes, 1), aErrMode);
    EXPECT_EQ(aStream_Write(stream, bytes, 2), aErrMode);
    EXPECT_EQ(aStream_Write(stream, bytes, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(line.deletes, 0);
}

}  // namespace
