#include "common/sid_text.h"

#include <gtest/gtest.h>

namespace lumet::common {
namespace {

using namespace std::string_view_literals;

struct SidCase {
    std::wstring_view a;
    std::wstring_view b;
    bool equal;
};

const SidCase kSidCases[] = {
    {L"S-1-5-18"sv, L"S-1-5-18"sv, true},
    {L"S-1-5-18"sv, L"s-1-5-18"sv, true},
    {L"S-1-5-21-1004336348-1177238915-682003330-512"sv,
     L"s-1-5-21-1004336348-1177238915-682003330-512"sv, true},
    {L""sv, L""sv, true},
    {L"S-1-5-18"sv, L"S-1-5-180"sv, false},  // a prefix is not a match
    {L"S-1-5-180"sv, L"S-1-5-18"sv, false},
    {L"S-1-5-18"sv, L""sv, false},
    {L"S-1-5-18"sv, L"S-1-5-19"sv, false},
    {L"S-1-5-32-544"sv, L"S-1-5-32-545"sv, false},
    {L"S-1-5-18"sv, L"S_1_5_18"sv, false},
    {L"AbC"sv, L"aBc"sv, true},
    {L"S-1-5\0-18"sv, L"S-1-5\0-19"sv, false},  // an embedded NUL does not end the comparison
    {L"["sv, L"{"sv, false},                    // neighbours of the letter ranges are not letters
    {L"@"sv, L"`"sv, false},
};

// Runs against the platform implementation: the portable rule natively, CompareStringOrdinal
// under Wine.
TEST(SidTextTest, EqualityTable) {
    for (size_t i = 0; i < std::size(kSidCases); ++i) {
        const SidCase& c = kSidCases[i];
        EXPECT_EQ(SidTextEquals(c.a, c.b), c.equal) << "case " << i;
        EXPECT_EQ(SidTextEquals(c.b, c.a), c.equal) << "case " << i << " reversed";
        EXPECT_EQ(SidTextEqualsPortable(c.a, c.b), c.equal) << "case " << i;
    }
}

}  // namespace
}  // namespace lumet::common
