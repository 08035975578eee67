#include "base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;
using Bytes = std::unique_ptr<unsigned char, FreeDeleter>;

std::string encode(const std::string& data) {
    size_t length = 0;
    Text text(
        base64_encode(reinterpret_cast<const unsigned char*>(data.data()), data.size(), &length));
    EXPECT_NE(text, nullptr);
    EXPECT_EQ(length, strlen(text.get()));
    return std::string(text.get(), length);
}

// Decodes text into *data; false when base64_decode refuses it.
bool decode(const std::string& text, std::string* data) {
    size_t length = 12345;
    Bytes bytes(base64_decode(text.data(), text.size(), &length));
    if (bytes == nullptr) {
        EXPECT_EQ(length, 0u);
        return false;
    }
    EXPECT_EQ(bytes.get()[length], 0) << "decoded buffer ends with a zero byte";
    data->assign(reinterpret_cast<const char*>(bytes.get()), length);
    return true;
}

std::vector<unsigned char> randomBytes(size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(length);
    for (auto& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    return bytes;
}

TEST(Base64, KnownVectors) {
    const struct {
        const char* data;
        const char* text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"ABC", "QUJD"},
        {"AB", "QUI="},
        {"\xff\xfe\xfd", "//79"},
        {"\xfb\xef", "++8="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.data), c.text) << c.data;
        std::string decoded;
        ASSERT_TRUE(decode(c.text, &decoded)) << c.text;
        EXPECT_EQ(decoded, c.data) << c.text;
    }
}

TEST(Base64, RoundTripsEveryLengthOfBinaryData) {
    for (size_t length = 0; length <= 300; ++length) {
        const auto data = randomBytes(length, static_cast<unsigned>(length));
        size_t textLength = 0;
        Text text(base64_encode(data.data(), data.size(), &textLength));
        ASSERT_NE(text, nullptr);
        ASSERT_EQ(textLength, (length + 2) / 3 * 4);
        ASSERT_EQ(text.get()[textLength], '\0');

        size_t decodedLength = 0;
        Bytes decoded(base64_decode(text.get(), textLength, &decodedLength));
        ASSERT_NE(decoded, nullptr) << length;
        ASSERT_EQ(decodedLength, length);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), decoded.get())) << length;
    }
}

TEST(Base64, RoundTripsAFirmwareSizedImage) {
    const auto data = randomBytes(4u << 20, 7);
    size_t textLength = 0;
    Text text(base64_encode(data.data(), data.size(), &textLength));
    ASSERT_NE(text, nullptr);
    size_t decodedLength = 0;
    Bytes decoded(base64_decode(text.get(), textLength, &decodedLength));
    ASSERT_NE(decoded, nullptr);
    ASSERT_EQ(decodedLength, data.size());
    EXPECT_EQ(memcmp(decoded.get(), data.data(), data.size()), 0);
}

TEST(Base64, RejectsTextThatIsNotCanonical) {
    const std::string cases[] = {
        "QUJDR",       // not a multiple of 4
        "QUJ",         //
        "QU!D",        // outside the alphabet
        "QUJD\r\n  ",  // line endings and blanks
        "QUJ-",
        "QUJ_",                   // URL-safe alphabet
        std::string("QU\0D", 4),  // embedded zero
        "QUJ\xc3",                // high byte
        "=QUJ",
        "Q=JD",
        "QU=D",  // padding before the end
        "Q===",
        "====",      // too much padding
        "QUI=QUJD",  // padding in a group that is not the last
        "QUJDQ=I=",  // padding not at the very end
    };
    for (const auto& text : cases) {
        std::string decoded;
        EXPECT_FALSE(decode(text, &decoded)) << text;
    }
}

TEST(Base64, EmptyInputGivesEmptyResults) {
    size_t length = 99;
    Text text(base64_encode(nullptr, 0, &length));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(text.get(), "");

    Bytes bytes(base64_decode("", 0, &length));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(bytes.get()[0], 0);

    EXPECT_EQ(base64_decode(nullptr, 4, &length), nullptr);
    EXPECT_EQ(base64_encode(nullptr, 3, &length), nullptr);
}

}  // namespace
