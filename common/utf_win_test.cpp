// The native build relies on the portable codec; these tests hold it to what the Windows
// converters do, so that validation gives the same answer on both builds.
#include <gtest/gtest.h>

#include <cstdio>
#include <type_traits>
#include <string>
#include <vector>

#include "common/utf.h"

namespace lumet::common {
namespace {

template <typename Text>
std::string Hex(const Text& text) {
    std::string hex;
    for (const auto unit : text) {
        char piece[16];
        std::snprintf(
            piece, sizeof(piece), "%X ",
            static_cast<unsigned>(static_cast<std::make_unsigned_t<decltype(unit)>>(unit)));
        hex += piece;
    }
    return hex;
}

void ExpectSameDecoding(const std::string& bytes, int& mismatches) {
    const bool valid = IsValidUtf8(bytes);
    const auto strict = TryUtf8ToWide(bytes);
    const std::wstring lenient = Utf8ToWide(bytes);
    const std::wstring portable = utf_portable::Utf8ToWide(bytes);
    const bool ok = valid == utf_portable::IsValidUtf8(bytes) && valid == strict.has_value() &&
                    strict == utf_portable::TryUtf8ToWide(bytes) && lenient == portable;
    if (!ok && ++mismatches <= 10) {
        ADD_FAILURE() << "decoders disagree on bytes: " << Hex(bytes) << "valid " << valid
                      << "; lenient " << Hex(lenient) << "; portable " << Hex(portable);
    }
}

TEST(UtfWindowsVsPortable, AgreeOnEveryOneAndTwoByteInput) {
    int mismatches = 0;
    for (int a = 0; a < 256; ++a) {
        ExpectSameDecoding(std::string(1, static_cast<char>(a)), mismatches);
        for (int b = 0; b < 256; ++b) {
            ExpectSameDecoding(std::string{static_cast<char>(a), static_cast<char>(b)}, mismatches);
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(UtfWindowsVsPortable, AgreeAroundThreeAndFourByteBoundaries) {
    const std::vector<int> seconds = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0};
    const std::vector<int> tails = {-1, 0x41, 0x80, 0xBF, 0xC0};  // -1: sequence ends here
    int mismatches = 0;
    for (int lead = 0xE0; lead <= 0xF7; ++lead) {
        for (const int second : seconds) {
            for (const int third : tails) {
                for (const int fourth : tails) {
                    std::string s{static_cast<char>(lead), static_cast<char>(second)};
                    if (third >= 0) {
                        s.push_back(static_cast<char>(third));
                        if (fourth >= 0) {
                            s.push_back(static_cast<char>(fourth));
                        }
                    }
                    ExpectSameDecoding(s + "z", mismatches);
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(UtfWindowsVsPortable, AgreeOnEncodingEveryUnitAndSurrogateMixes) {
    int mismatches = 0;
    const auto check = [&mismatches](const std::wstring& text) {
        const bool ok = TryWideToUtf8(text) == utf_portable::TryWideToUtf8(text) &&
                        WideToUtf8(text) == utf_portable::WideToUtf8(text);
        if (!ok && ++mismatches <= 10) {
            ADD_FAILURE() << "encoders disagree; first unit " << static_cast<unsigned>(text[0]);
        }
    };
    for (unsigned u = 0; u <= 0xFFFF; ++u) {
        check(std::wstring(1, static_cast<wchar_t>(u)) + L"z");
    }
    const unsigned units[] = {0x41, 0, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF};
    for (const unsigned a : units) {
        for (const unsigned b : units) {
            for (const unsigned c : units) {
                check(std::wstring{static_cast<wchar_t>(a), static_cast<wchar_t>(b),
                                   static_cast<wchar_t>(c)});
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace lumet::common
