#include "common/session_win.h"

#include <gtest/gtest.h>

namespace lumet::common {
namespace {

TEST(SessionTest, WellKnownSidTexts) {
    EXPECT_EQ(LocalSystemSidText(), L"S-1-5-18");
    EXPECT_EQ(AdministratorsSidText(), L"S-1-5-32-544");
}

// A handle that is no token, or lacks TOKEN_QUERY, gives nothing rather than a wrong SID.
TEST(SessionTest, TokenUserOfNonTokenIsNothing) {
    EXPECT_FALSE(TokenUserSidText(nullptr).has_value());
    EXPECT_FALSE(TokenUserSidText(GetCurrentProcess()).has_value());
}

}  // namespace
}  // namespace lumet::common
