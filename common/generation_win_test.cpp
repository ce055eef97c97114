#include "common/generation.h"

#include <gtest/gtest.h>

#include <set>

namespace lumet::common {
namespace {

// Two processes must not share a generation by construction: the draws are random and never 0.
TEST(GenerationTest, DrawsAreNonZeroAndVary) {
    std::set<uint32_t> seen;
    for (int i = 0; i < 16; ++i) {
        const uint32_t value = DrawGenerationValue();
        EXPECT_NE(value, 0u);
        seen.insert(value);
    }
    EXPECT_GT(seen.size(), 8u);
}

}  // namespace
}  // namespace lumet::common
