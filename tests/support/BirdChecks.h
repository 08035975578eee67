// Checks of a loaded BIRD image's block table.
#ifndef KESTRIX_TESTS_BIRDCHECKS_H
#define KESTRIX_TESTS_BIRDCHECKS_H

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "BirdFile.h"

namespace kxtest {

struct ExpectedBlock {
    uint8_t type, flags;
    uint32_t length, address;
};

// The image's blocks are exactly these, in this order.
inline void expect_blocks(const BirdFile& bird, const std::vector<ExpectedBlock>& expected) {
    ASSERT_EQ(bird.blocks.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(bird.blocks[i].type, expected[i].type) << i;
        EXPECT_EQ(bird.blocks[i].flags, expected[i].flags) << i;
        EXPECT_EQ(bird.blocks[i].length, expected[i].length) << i;
        EXPECT_EQ(bird.blocks[i].address, expected[i].address) << i;
    }
}

}  // namespace kxtest

#endif
