#include "common/sid_text.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace lumet::common {
namespace {

// The native build decides with the portable rule, Windows with CompareStringOrdinal: both must
// agree on every text a SID can be made of. All pairs of ASCII characters cover every letter,
// digit and separator, including the neighbours of the letter ranges.
TEST(SidTextWinTest, PortableRuleAgreesWithSystemOnAscii) {
    for (wchar_t a = 1; a < 128; ++a) {
        for (wchar_t b = 1; b < 128; ++b) {
            const std::wstring x = L"S-1-5-" + std::wstring(1, a);
            const std::wstring y = L"s-1-5-" + std::wstring(1, b);
            ASSERT_EQ(SidTextEquals(x, y), SidTextEqualsPortable(x, y))
                << static_cast<int>(a) << " vs " << static_cast<int>(b);
        }
    }
    const wchar_t* texts[] = {L"S-1-5-21-3623811015-3361044348-30300820-1013",
                              L"s-1-5-21-3623811015-3361044348-30300820-1013",
                              L"S-1-5-21-3623811015-3361044348-30300820-1014",
                              L"S-1-5-21-3623811015-3361044348-30300820-101",
                              L"S-1-5-18",
                              L"S-1-5-32-544",
                              L""};
    for (const wchar_t* x : texts) {
        for (const wchar_t* y : texts) {
            EXPECT_EQ(SidTextEquals(x, y), SidTextEqualsPortable(x, y)) << x << " vs " << y;
        }
    }
}

}  // namespace
}  // namespace lumet::common
