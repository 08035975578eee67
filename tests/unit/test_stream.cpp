#include "aStream.h"

#include <gtest/gtest.h>

#include <deque>
#include <numeric>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

// A transport whose get replays a script of bytes and errors (aNotReady when it runs out)
// and which records what put and write receive.
struct Transport {
    struct Step {
        uint8_t byte;
        aErr error;
    };
    std::deque<Step> script;
    std::vector<uint8_t> put;
    std::vector<std::vector<uint8_t>> writes;
    size_t putsBeforeFailure = SIZE_MAX;
    int deletes = 0;

    void bytes(const std::vector<uint8_t>& values) {
        for (uint8_t b : values) {
            script.push_back({b, aErrNone});
        }
    }
    void counting(size_t from, size_t count) {
        for (size_t i = from; i < from + count; ++i) {
            script.push_back({static_cast<uint8_t>(i % 251), aErrNone});
        }
    }
    void text(const std::string& s) { bytes(std::vector<uint8_t>(s.begin(), s.end())); }
    void error(aErr e) { script.push_back({0, e}); }

    static aErr get(uint8_t* byte, void* context) {
        auto t = static_cast<Transport*>(context);
        if (t->script.empty()) {
            return aErrNotReady;
        }
        const Step step = t->script.front();
        t->script.pop_front();
        *byte = step.byte;
        return step.error;
    }
    static aErr putByte(uint8_t byte, void* context) {
        auto t = static_cast<Transport*>(context);
        if (t->put.size() == t->putsBeforeFailure) {
            return aErrWrite;
        }
        t->put.push_back(byte);
        return aErrNone;
    }
    static aErr write(const uint8_t* bytes, size_t length, void* context) {
        static_cast<Transport*>(context)->writes.emplace_back(bytes, bytes + length);
        return aErrNone;
    }
    static aErr del(void* context) {
        ++static_cast<Transport*>(context)->deletes;
        return aErrBusy;  // distinctive, to see that destroy passes it on
    }
};

std::vector<uint8_t> counted(size_t from, size_t count) {
    std::vector<uint8_t> v(count);
    for (size_t i = 0; i < count; ++i) {
        v[i] = static_cast<uint8_t>((from + i) % 251);
    }
    return v;
}

class StreamTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (stream != nullptr) {
            aStream_Destroy(&stream);
        }
    }
    aStream* make(bool withGet = true, bool withPut = true, bool withWrite = true) {
        stream = aStream_Create(withGet ? Transport::get : nullptr,
                                withPut ? Transport::putByte : nullptr,
                                withWrite ? Transport::write : nullptr, Transport::del, &t);
        return stream;
    }
    std::vector<uint8_t> read(size_t n, aErr expected = aErrNone) {
        std::vector<uint8_t> buffer(n, 0xEE);
        EXPECT_EQ(aStream_Read(stream, buffer.data(), n), expected);
        return buffer;
    }

    Transport t;
    aStream* stream = nullptr;
};

TEST_F(StreamTest, DryReadHandsItsBytesBackInOrder) {
    make();
    t.bytes({1, 2, 3, 4});
    t.error(aErrNotReady);
    t.bytes({5, 6, 7, 8, 9, 10, 11});
    EXPECT_EQ(read(10, aErrNotReady), std::vector<uint8_t>(10, 0xEE));  // buffer untouched
    EXPECT_EQ(read(10), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(read(1), std::vector<uint8_t>{11});
}

TEST_F(StreamTest, PushBackGrowsPastItsFirstChunkKeepingOrder) {
    make();
    t.counting(0, 300);
    read(400, aErrNotReady);
    EXPECT_EQ(read(100), counted(0, 100));  // leaves the ring's start offset at 100
    t.counting(300, 300);
    read(600, aErrNotReady);  // 500 held, wrapped around the end of the first chunk
    t.counting(600, 400);
    read(2000, aErrNotReady);  // 900 held: grown while wrapped
    t.counting(1000, 100);
    EXPECT_EQ(read(1000), counted(100, 1000));
    EXPECT_EQ(read(1, aErrNotReady), std::vector<uint8_t>{0xEE});
}

TEST_F(StreamTest, EndOfFileDeliversWhatArrivedOtherErrorsLoseIt) {
    make();
    t.bytes({1, 2, 3});
    t.error(aErrEOF);
    std::vector<uint8_t> got = read(5, aErrEOF);
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3, 0xEE, 0xEE}));

    t.bytes({4, 5});
    t.error(aErrIO);
    t.bytes({6});
    read(3, aErrIO);
    EXPECT_EQ(read(1), std::vector<uint8_t>{6});
}

TEST_F(StreamTest, SingleBytesGoThroughPutBlocksThroughOneWrite) {
    make();
    const uint8_t bytes[] = {9, 8, 7, 6, 5};
    ASSERT_EQ(aStream_Write(stream, bytes, 1), aErrNone);
    ASSERT_EQ(aStream_Write(stream, bytes, 5), aErrNone);
    EXPECT_EQ(t.put, std::vector<uint8_t>{9});
    ASSERT_EQ(t.writes.size(), 1u);
    EXPECT_EQ(t.writes[0], std::vector<uint8_t>(bytes, bytes + 5));
}

TEST_F(StreamTest, WithoutWriteEveryBytePutsUpToTheFirstFailure) {
    make(true, true, false);
    t.putsBeforeFailure = 2;
    const uint8_t bytes[] = {1, 2, 3, 4};
    EXPECT_EQ(aStream_Write(stream, bytes, 4), aErrWrite);
    EXPECT_EQ(t.put, (std::vector<uint8_t>{1, 2}));
}

TEST_F(StreamTest, MissingProceduresAreModeErrors) {
    make(false, false, false);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrMode);
    EXPECT_EQ(aStream_Write(stream, &byte, 1), aErrMode);
    Transport other;
    aStream* out = aStream_Create(nullptr, nullptr, Transport::write, nullptr, &other);
    EXPECT_EQ(aStream_Flush(stream, out), aErrMode);
    // A write-only transport takes single bytes through write.
    EXPECT_EQ(aStream_Write(out, &byte, 1), aErrNone);
    EXPECT_EQ(other.writes.size(), 1u);
    aStream_Destroy(&out);
}

TEST_F(StreamTest, DestroyDeletesOnceAndClearsThePointer) {
    make();
    EXPECT_EQ(aStream_Destroy(&stream), aErrBusy);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(t.deletes, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Write(nullptr, &byte, 1), aErrParam);
}

TEST_F(StreamTest, FlushCopiesUntilEndOfInput) {
    make();
    Transport sink;
    aStream* out = aStream_Create(nullptr, Transport::putByte, nullptr, nullptr, &sink);
    t.bytes({1, 2, 3});
    t.error(aErrEOF);
    EXPECT_EQ(aStream_Flush(stream, out), aErrNone);
    EXPECT_EQ(sink.put, (std::vector<uint8_t>{1, 2, 3}));

    t.bytes({4});  // then not ready
    EXPECT_EQ(aStream_Flush(stream, out), aErrNotReady);
    sink.putsBeforeFailure = sink.put.size();
    t.bytes({5});
    EXPECT_EQ(aStream_Flush(stream, out), aErrWrite);
    aStream_Destroy(&out);
}

struct RecordCase {
    const char* input;
    const char* terminator;
    size_t bufferSize;
    aErr result;
    const char* record;
    const char* left;  // what the stream still holds afterwards
};

class RecordTest : public StreamTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(RecordTest, ReadsUpToTheTerminator) {
    const RecordCase& c = GetParam();
    make();
    t.text(c.input);
    if (std::string(c.input).find('|') == std::string::npos) {
        t.error(aErrEOF);
    }
    uint8_t buffer[64] = {};
    size_t length = 99;
    const std::string terminator = c.terminator;
    EXPECT_EQ(
        aStream_ReadRecord(stream, buffer, &length, c.bufferSize,
                           reinterpret_cast<const uint8_t*>(terminator.data()), terminator.size()),
        c.result);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), c.record);
    std::string left;
    uint8_t byte = 0;
    while (aStream_Read(stream, &byte, 1) == aErrNone) {
        left += static_cast<char>(byte);
    }
    EXPECT_EQ(left, c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordTest,
    ::testing::Values(RecordCase{"abc\nde|", "\n", 64, aErrNone, "abc", "de|"},
                      RecordCase{"abcdef|", "\n", 4, aErrNone, "abcd", "ef|"},
                      RecordCase{"abc", "\n", 64, aErrNone, "abc", ""},  // ended by EOF
                      RecordCase{"a\r\rb\r\nz|", "\r\n", 64, aErrNone, "a\r\rb", "z|"},
                      RecordCase{"ab\r\n|", "\r\n", 2, aErrNone, "ab", "\r\n|"},
                      RecordCase{"abc\rd|", "\r\n", 4, aErrNone, "abc\r", "d|"},
                      RecordCase{"ab\r\r|", "\r\n", 3, aErrNone, "ab\r", "\r|"},
                      RecordCase{"", "\n", 8, aErrEOF, "", ""}));

TEST_F(StreamTest, RecordCutShortByNotReadyComesBackWhole) {
    make();
    t.text("ab\r");
    uint8_t buffer[16];
    size_t length = 0;
    const uint8_t crlf[] = {'\r', '\n'};
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, &length, sizeof buffer, crlf, 2), aErrNotReady);
    EXPECT_EQ(length, 0u);
    t.text("\ncd");
    ASSERT_EQ(aStream_ReadRecord(stream, buffer, &length, sizeof buffer, crlf, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "ab");
}

// Bytes written by one stream, read by another.
struct Pipe {
    std::deque<uint8_t> bytes;
    static aErr get(uint8_t* byte, void* context) {
        auto p = static_cast<Pipe*>(context);
        if (p->bytes.empty()) {
            return aErrNotReady;
        }
        *byte = p->bytes.front();
        p->bytes.pop_front();
        return aErrNone;
    }
    static aErr putByte(uint8_t byte, void* context) {
        static_cast<Pipe*>(context)->bytes.push_back(byte);
        return aErrNone;
    }
};

TEST(StreamCStringTest, StringsAndStringRecordsRoundTrip) {
    Pipe pipe;
    aStream* s = aStream_Create(Pipe::get, Pipe::putByte, nullptr, nullptr, &pipe);
    ASSERT_EQ(aStream_WriteCString(s, "hello"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(s, "one", "\r\n"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(s, "two", "\r\n"), aErrNone);
    ASSERT_EQ(aStream_WriteCString(s, "truncated"), aErrNone);
    EXPECT_EQ(std::string(pipe.bytes.begin(), pipe.bytes.begin() + 12),
              std::string("hello\0one\r\n\0", 12));

    char text[16];
    ASSERT_EQ(aStream_ReadCString(s, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "hello");
    ASSERT_EQ(aStream_ReadCStringRecord(s, text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "one");
    ASSERT_EQ(aStream_ReadCStringRecord(s, text, sizeof text, "\r\n"), aErrNone);
    EXPECT_STREQ(text, "two");
    ASSERT_EQ(aStream_ReadCString(s, text, 6), aErrNone);  // at most 5 characters
    EXPECT_STREQ(text, "trunc");
    ASSERT_EQ(aStream_ReadCString(s, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "ated");
    EXPECT_EQ(aStream_ReadCString(s, text, sizeof text), aErrNotReady);
    EXPECT_EQ(aStream_ReadCString(s, text, 0), aErrParam);
    aStream_Destroy(&s);
}

TEST(FileStreamTest, WritesThenReadsAFile) {
    TempDir dir;
    const std::string path = dir / "data.bin";
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    const uint8_t bytes[] = {0, 1, 2, 0xFF, 4};
    ASSERT_EQ(aStream_Write(out, bytes, 1), aErrNone);
    ASSERT_EQ(aStream_Write(out, bytes + 1, 4), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode);
    ASSERT_EQ(aStream_Destroy(&out), aErrNone);

    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    EXPECT_EQ(aStream_Write(in, bytes, 2), aErrMode);
    uint8_t got[8] = {};
    EXPECT_EQ(aStream_Read(in, got, 8), aErrEOF);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 5), std::vector<uint8_t>(bytes, bytes + 5));
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST(FileStreamTest, FailuresAreResourceErrorsWithoutAStream) {
    TempDir dir;
    int marker = 0;
    aStream* s = reinterpret_cast<aStream*>(&marker);  // must be cleared
    EXPECT_EQ(aStream_CreateFileInput((dir / "missing").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput((dir / "no/such/dir").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileOutput(dir.path().c_str(), nullptr), aErrResource);
}

}  // namespace
