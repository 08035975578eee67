#include "cobs.h"

namespace {

constexpr uint8_t kLongestRunCode = 0xFF;  // 254 data bytes, no zero after them

}  // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
    size_t codeIndex = 0;  // where the code byte of the current run goes
    size_t out = 1;
    uint8_t code = 1;
    for (size_t in = 0; in < length; ++in) {
        if (source[in] != 0) {
            destination[out++] = source[in];
            ++code;
        }
        // A zero ends its run; so does a run that has reached its longest, unless it is
        // the end of the input anyway (then the final code byte below closes it).
        if (source[in] == 0 || (code == kLongestRunCode && in + 1 < length)) {
            destination[codeIndex] = code;
            codeIndex = out++;
            code = 1;
        }
    }
    destination[codeIndex] = code;
    return out;
}

bool cobs_decode(const uint8_t* source, size_t length, uint8_t* destination, size_t* decoded) {
    size_t out = 0;
    size_t in = 0;
    while (in < length) {
        const uint8_t code = source[in++];
        if (code == 0 || in + code - 1 > length) {
            return false;
        }
        for (uint8_t i = 1; i < code; ++i) {
            if (source[in] == 0) {
                return false;
            }
            destination[out++] = source[in++];
        }
        // Every run but a longest one was ended by a zero, except the last run.
        if (code != kLongestRunCode && in < length) {
            destination[out++] = 0;
        }
    }
    *decoded = out;
    return true;
}
