// The 128-bit identifier a microcontroller's boot ROM reports, as four words.
#ifndef KESTRIX_FINGERPRINT_H
#define KESTRIX_FINGERPRINT_H

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {};
};

#endif
