#include "common/wine.h"

#include <gtest/gtest.h>

namespace lumet::common {
namespace {

// The suite runs under Wine; if detection failed, every Wine accommodation would silently be off.
TEST(WineTest, DetectsWineHere) {
    EXPECT_TRUE(RunningUnderWine());
}

}  // namespace
}  // namespace lumet::common
