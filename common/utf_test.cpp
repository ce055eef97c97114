#include "common/utf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumet::common {
namespace {

struct ValidCase {
    const char* label;
    std::string utf8;
    std::wstring wide;
};

// Boundaries of every sequence length, plus text that must survive unchanged (NUL, BOM).
const std::vector<ValidCase>& ValidCases() {
    static const std::vector<ValidCase> cases = {
        {"empty", "", L""},
        {"ascii", "wg0 [Peer]", L"wg0 [Peer]"},
        {"embedded nul", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {"U+007F", "\x7F", L"\u007F"},
        {"U+0080", "\xC2\x80", L"\u0080"},
        {"latin", "caf\xC3\xA9", L"caf\u00E9"},
        {"U+07FF", "\xDF\xBF", L"\u07FF"},
        {"U+0800", "\xE0\xA0\x80", L"\u0800"},
        {"U+D7FF", "\xED\x9F\xBF", L"\uD7FF"},
        {"U+E000", "\xEE\x80\x80", L"\uE000"},
        {"bom kept", "\xEF\xBB\xBFx", L"\uFEFFx"},
        {"U+FFFF", "\xEF\xBF\xBF", std::wstring(1, static_cast<wchar_t>(0xFFFF))},
        {"U+10000", "\xF0\x90\x80\x80", L"\U00010000"},
        {"emoji in text", "a\xF0\x9F\x98\x80z", L"a\U0001F600z"},
        {"U+10FFFF", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
        {"mixed", "\xE4\xB8\xAD\xE6\x96\x87 ok", L"\u4E2D\u6587 ok"},
    };
    return cases;
}

TEST(Utf, WellFormedTextConvertsBothWaysInBothModes) {
    for (const auto& c : ValidCases()) {
        SCOPED_TRACE(c.label);
        EXPECT_TRUE(IsValidUtf8(c.utf8));
        EXPECT_EQ(TryUtf8ToWide(c.utf8), c.wide);
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
        EXPECT_EQ(TryWideToUtf8(c.wide), c.utf8);
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
    }
}

// Each is placed between "a" and "z" to check that the lenient conversion keeps its neighbours.
const std::vector<std::pair<const char*, std::string>>& IllFormedUtf8() {
    static const std::vector<std::pair<const char*, std::string>> cases = {
        {"stray continuation", "\x80"},
        {"two stray continuations", "\x80\xBF"},
        {"truncated 2", "\xC3"},
        {"truncated 3", "\xE2\x82"},
        {"truncated 4", "\xF0\x9F\x98"},
        {"lead then lead", "\xC3\xC3"},
        {"overlong C0", "\xC0\xAF"},
        {"overlong C1", "\xC1\xBF"},
        {"overlong 3", "\xE0\x80\xAF"},
        {"overlong 3 max", "\xE0\x9F\xBF"},
        {"overlong 4", "\xF0\x8F\xBF\xBF"},
        {"surrogate D800", "\xED\xA0\x80"},
        {"surrogate DFFF", "\xED\xBF\xBF"},
        {"above U+10FFFF", "\xF4\x90\x80\x80"},
        {"F5 lead", "\xF5\x80\x80\x80"},
        {"FE", "\xFE"},
        {"FF", "\xFF"},
    };
    return cases;
}

TEST(Utf, IllFormedUtf8FailsStrictlyAndBecomesReplacementLeniently) {
    for (const auto& [label, bad] : IllFormedUtf8()) {
        SCOPED_TRACE(label);
        const std::string text = "a" + bad + "z";
        EXPECT_FALSE(IsValidUtf8(text));
        EXPECT_EQ(TryUtf8ToWide(text), std::nullopt);
        const std::wstring lenient = Utf8ToWide(text);
        ASSERT_GE(lenient.size(), 3u);
        EXPECT_EQ(lenient.front(), L'a');
        EXPECT_EQ(lenient.back(), L'z');
        for (size_t i = 1; i + 1 < lenient.size(); ++i) {
            EXPECT_EQ(lenient[i], L'\uFFFD') << "at " << i;
        }
    }
}

TEST(Utf, LenientDecodingReplacesEachMaximalSubpart) {
    const struct {
        const char* label;
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        {"truncated 4 is one subpart", "\xF0\x9F\x98z", L"\uFFFDz"},
        {"bad second byte ends the subpart", "\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},
        {"surrogate bytes", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
        {"resync on the next lead", "\xC3\xC3\xA9", L"\uFFFD\u00E9"},
        {"ascii after truncated 3", "\xE1\x80\x41", L"\uFFFDA"},
        // Regression: a lead byte near the end must not swallow the text that follows it.
        {"short lead near the end", "\xF0\x41z", L"\uFFFDAz"},
        {"cut short at the end", "ok\xE2\x82", L"ok\uFFFD"},
        {"nul after short lead", std::string("\xE0\0", 2), std::wstring(L"\uFFFD\0", 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
        EXPECT_EQ(utf_portable::Utf8ToWide(c.utf8), c.wide);
    }
}

TEST(Utf, UnpairedSurrogatesFailStrictlyAndBecomeReplacementLeniently) {
    const auto unit = [](unsigned u) { return std::wstring(1, static_cast<wchar_t>(u)); };
    const std::wstring cases[] = {
        L"a" + unit(0xD800) + L"z",
        L"a" + unit(0xDC00) + L"z",
        L"a" + unit(0xDBFF),
    };
    for (const auto& text : cases) {
        EXPECT_EQ(TryWideToUtf8(text), std::nullopt);
        const std::string lenient = WideToUtf8(text);
        EXPECT_EQ(lenient.substr(0, 4), "a\xEF\xBF\xBD");
    }
    if constexpr (sizeof(wchar_t) == 2) {
        // A high surrogate followed by a proper pair: only the first unit is bad.
        const std::wstring text = unit(0xD83D) + unit(0xD83D) + unit(0xDE00);
        EXPECT_EQ(WideToUtf8(text), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
    } else {
        // UTF-32: a unit beyond the last code point is as bad as a surrogate.
        EXPECT_EQ(TryWideToUtf8(unit(0x110000)), std::nullopt);
        EXPECT_EQ(WideToUtf8(unit(0x110000)), "\xEF\xBF\xBD");
    }
}

}  // namespace
}  // namespace lumet::common
