// Runs against the portable checks natively and against the Win32 calls under Wine, so both
// implementations are held to the same table.
#include "service/wireguard/text_platform.h"

#include <gtest/gtest.h>

#include <string>

namespace lumet::service::wireguard {
namespace {

struct TextCase {
    std::string text;
    bool valid;
};

TEST(TextPlatformTest, Utf8Validity) {
    const TextCase cases[] = {
        {"", true},
        {"plain ASCII = 1", true},
        {std::string("nul\0inside", 10), true},
        {"\xC2\x80", true},          // U+0080, smallest two-byte form
        {"\xDF\xBF", true},          // U+07FF
        {"\xE0\xA0\x80", true},      // U+0800, smallest three-byte form
        {"\xED\x9F\xBF", true},      // U+D7FF, just below the surrogates
        {"\xEE\x80\x80", true},      // U+E000, just above them
        {"\xEF\xBF\xBF", true},      // U+FFFF: a noncharacter, but well-formed
        {"\xF0\x90\x80\x80", true},  // U+10000
        {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF, the last code point
        {"caf\xC3\xA9 \xF0\x9F\x94\x91", true},
        {"\x80", false},                      // stray continuation byte
        {"\xC0\x80", false},                  // overlong NUL
        {"\xC1\xBF", false},                  // overlong U+007F
        {"\xE0\x80\x80", false},              // overlong three-byte
        {"\xE0\x9F\xBF", false},              // overlong U+07FF
        {"\xF0\x80\x80\x80", false},          // overlong four-byte
        {"\xF0\x8F\xBF\xBF", false},          // overlong U+FFFF
        {"\xED\xA0\x80", false},              // U+D800
        {"\xED\xBF\xBF", false},              // U+DFFF
        {"\xED\xA0\xBD\xED\xB2\xA9", false},  // a surrogate pair spelled out (CESU-8)
        {"\xF4\x90\x80\x80", false},          // U+110000
        {"\xF5\x80\x80\x80", false},
        {"\xFF", false},
        {"\xC3", false},  // truncated at the end
        {"abc\xE2\x82", false},
        {"\xF0\x9F\x94", false},
        {"\xC3(", false},  // lead byte followed by ASCII
        {"\xE2\x28\xA1", false},
        {"\xF0\x9F\x28\x91", false},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(IsValidUtf8(c.text), c.valid) << testing::PrintToString(c.text);
        EXPECT_EQ(IsValidUtf8Portable(c.text), c.valid) << testing::PrintToString(c.text);
    }
}

TEST(TextPlatformTest, Ipv4Text) {
    const TextCase cases[] = {
        {"0.0.0.0", true},
        {"10.0.0.2", true},
        {"192.0.2.1", true},
        {"255.255.255.255", true},
        {"", false},
        {"256.0.0.1", false},
        {"1.2.3", false},
        {"1.2.3.4.5", false},
        {".1.2.3", false},
        {"1..2.3", false},
        {" 1.2.3.4", false},
        {"1.2.3.4 ", false},
        {"1.2.3.4/32", false},
        {"0x1.2.3.4", false},
        {"a.b.c.d", false},
        {"1.2.3.-4", false},
        {"01.2.3.4", false},  // a leading zero could be read as octal elsewhere
        {"::1", false},
        {"4294967295", false},
        {std::string("1.2.3.4\0", 8), false},  // a NUL must not end the text early
        {std::string(70, '1'), false},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(IsIpv4Text(c.text), c.valid) << testing::PrintToString(c.text);
    }
}

TEST(TextPlatformTest, Ipv6Text) {
    const TextCase cases[] = {
        {"::", true},
        {"::1", true},
        {"fd00::2", true},
        {"FD00::ABCD", true},
        {"2001:db8::1", true},
        {"1:2:3:4:5:6:7:8", true},
        {"1::2:3:4:5:6:7", true},
        {"2001:0db8:0000:0000:0000:0000:0000:0001", true},
        {"::ffff:192.0.2.1", true},
        {"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", true},  // longest form, 45 bytes
        {"", false},
        {":", false},
        {":::1", false},
        {"1:2:3:4:5:6:7:8:9", false},
        {"2001:db8::1::2", false},
        {"12345::", false},
        {"g::1", false},
        {"fd00::1/64", false},
        {"[::1]", false},
        {"fe80::1%1", false},  // zone suffix
        {"::ffff:1.2.3", false},
        {"::ffff:256.1.2.3", false},
        {"1.2.3.4", false},
        {"::1 ", false},
        {std::string("::1\0", 4), false},
        {std::string(70, ':'), false},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(IsIpv6Text(c.text), c.valid) << testing::PrintToString(c.text);
    }
}

}  // namespace
}  // namespace lumet::service::wireguard
