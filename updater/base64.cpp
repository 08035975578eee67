#include "base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Characters outside the alphabet, "=" included, map to a value with this bit set, so
// one OR over a whole text tells whether any of them was invalid.
constexpr uint8_t kInvalid = 0x80;

constexpr std::array<uint8_t, 256> makeDecodeTable() {
    std::array<uint8_t, 256> table{};
    table.fill(kInvalid);
    for (uint8_t value = 0; value < 64; ++value) {
        table[static_cast<unsigned char>(kAlphabet[value])] = value;
    }
    return table;
}

constexpr std::array<uint8_t, 256> kDecode = makeDecodeTable();

}  // namespace

char* base64_encode(const unsigned char* data, size_t length, size_t* outputLength) {
    if (outputLength != nullptr) {
        *outputLength = 0;
    }
    if ((data == nullptr && length != 0) || length > (SIZE_MAX - 1) / 4 * 3) {
        return nullptr;
    }
    const size_t size = (length + 2) / 3 * 4;
    auto* text = static_cast<char*>(malloc(size + 1));
    if (text == nullptr) {
        return nullptr;
    }
    char* out = text;
    size_t at = 0;
    for (; at + 3 <= length; at += 3) {
        const uint32_t bits = data[at] << 16 | data[at + 1] << 8 | data[at + 2];
        *out++ = kAlphabet[bits >> 18];
        *out++ = kAlphabet[(bits >> 12) & 0x3F];
        *out++ = kAlphabet[(bits >> 6) & 0x3F];
        *out++ = kAlphabet[bits & 0x3F];
    }
    if (at < length) {
        const bool two = at + 2 == length;
        const uint32_t bits = data[at] << 16 | (two ? data[at + 1] << 8 : 0);
        *out++ = kAlphabet[bits >> 18];
        *out++ = kAlphabet[(bits >> 12) & 0x3F];
        *out++ = two ? kAlphabet[(bits >> 6) & 0x3F] : kPad;
        *out++ = kPad;
    }
    *out = '\0';
    if (outputLength != nullptr) {
        *outputLength = size;
    }
    return text;
}

unsigned char* base64_decode(const char* text, size_t length, size_t* outputLength) {
    if (outputLength != nullptr) {
        *outputLength = 0;
    }
    if ((text == nullptr && length != 0) || length % 4 != 0) {
        return nullptr;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    size_t padding = 0;
    if (length != 0 && in[length - 1] == kPad) {
        padding = in[length - 2] == kPad ? 2 : 1;
    }
    const size_t size = length / 4 * 3 - padding;
    auto* bytes = static_cast<unsigned char*>(malloc(size + 1));
    if (bytes == nullptr) {
        return nullptr;
    }
    unsigned char* out = bytes;
    uint32_t seen = 0;  // OR of every looked-up value: kInvalid set means a bad character
    const size_t fullGroups = length / 4 - (padding != 0 ? 1 : 0);
    for (size_t group = 0; group < fullGroups; ++group, in += 4) {
        const uint32_t a = kDecode[in[0]], b = kDecode[in[1]], c = kDecode[in[2]],
                       d = kDecode[in[3]];
        seen |= a | b | c | d;
        const uint32_t bits = a << 18 | b << 12 | c << 6 | d;
        out[0] = static_cast<unsigned char>(bits >> 16);
        out[1] = static_cast<unsigned char>(bits >> 8);
        out[2] = static_cast<unsigned char>(bits);
        out += 3;
    }
    if (padding != 0) {
        // "xx==" carries one byte, "xxx=" two; a "=" anywhere else looks up as invalid.
        const uint32_t a = kDecode[in[0]], b = kDecode[in[1]];
        const uint32_t c = padding == 1 ? kDecode[in[2]] : 0;
        seen |= a | b | c;
        const uint32_t bits = a << 18 | b << 12 | c << 6;
        *out++ = static_cast<unsigned char>(bits >> 16);
        if (padding == 1) {
            *out++ = static_cast<unsigned char>(bits >> 8);
        }
    }
    if ((seen & kInvalid) != 0) {
        free(bytes);
        return nullptr;
    }
    *out = 0;
    if (outputLength != nullptr) {
        *outputLength = size;
    }
    return bytes;
}
