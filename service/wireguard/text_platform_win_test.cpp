// Holds the Win32 UTF-8 decision (MultiByteToWideChar with MB_ERR_INVALID_CHARS) against the
// portable validator that the native build and the fuzzer use, over every short sequence built
// from the bytes where UTF-8's rules change. A disagreement means the fuzzed code is not the code
// that ships.
#include "service/wireguard/text_platform.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

namespace lumet::service::wireguard {
namespace {

// Boundaries of every lead and continuation range, plus ASCII and NUL.
constexpr unsigned char kInterestingBytes[] = {
    0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
    0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFF,
};

TEST(TextPlatformWinTest, Utf8AgreesWithPortableOnEveryShortSequence) {
    size_t compared = 0;
    size_t valid = 0;
    std::string text;
    for (size_t length = 1; length <= 4; ++length) {
        size_t total = 1;
        for (size_t i = 0; i < length; ++i) {
            total *= std::size(kInterestingBytes);
        }
        for (size_t n = 0; n < total; ++n) {
            text.clear();
            for (size_t i = 0, rest = n; i < length; ++i, rest /= std::size(kInterestingBytes)) {
                text += static_cast<char>(kInterestingBytes[rest % std::size(kInterestingBytes)]);
            }
            const bool portable = IsValidUtf8Portable(text);
            ASSERT_EQ(IsValidUtf8(text), portable) << testing::PrintToString(text);
            ++compared;
            valid += portable ? 1 : 0;
        }
    }
    // Both outcomes must have occurred, or the table proves nothing.
    EXPECT_GT(valid, 1000u);
    EXPECT_GT(compared - valid, 1000u);
}

TEST(TextPlatformWinTest, Utf8AgreesOnEveryTwoByteSequence) {
    std::string text(2, '\0');
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            text[0] = static_cast<char>(a);
            text[1] = static_cast<char>(b);
            ASSERT_EQ(IsValidUtf8(text), IsValidUtf8Portable(text)) << a << " " << b;
        }
    }
}

// The size-only call must judge a long text as a whole, not stop at the first few characters.
TEST(TextPlatformWinTest, Utf8FaultFarIntoLongText) {
    std::string text(32000, 'a');
    EXPECT_TRUE(IsValidUtf8(text));
    text[31990] = static_cast<char>(0xC3);
    EXPECT_FALSE(IsValidUtf8(text));
    text[31991] = static_cast<char>(0xA9);
    EXPECT_TRUE(IsValidUtf8(text));
}

}  // namespace
}  // namespace lumet::service::wireguard
