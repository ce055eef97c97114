// The portable reading of the idle variable against the C runtime's _wtoi, and against the real
// environment block.
#include "agent/server_policy.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

namespace lumet::agent {
namespace {

TEST(IdleLimitWinTest, ParseAgreesWithWtoiWithinTheIntRange) {
    const wchar_t* inputs[] = {L"",      L"10",  L"  86400",    L"\t\r\n\v\f7", L"+15", L"-15",
                               L"12abc", L"abc", L"- 1",        L"0x20",        L"1e3", L"007",
                               L"--5",   L"+-5", L"2147483647", L"-2147483648"};
    for (const wchar_t* input : inputs) {
        EXPECT_EQ(ParseLeadingInt(input), _wtoi(input))
            << std::string(input, input + wcslen(input));
    }
}

TEST(IdleLimitWinTest, ReadsTheVariableThroughTheSixteenCharacterBuffer) {
    const struct {
        const wchar_t* value;  // nullptr: unset
        uint32_t seconds;
    } cases[] = {
        {nullptr, kDefaultIdleSeconds},
        {L"10", 10},
        {L"9", kDefaultIdleSeconds},
        {L"000000000000042", 42},
        {L"0000000000000042", kDefaultIdleSeconds},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SetEnvironmentVariableW(kIdleSecondsVariable, c.value));
        wchar_t buffer[kIdleVariableBufferChars] = {};
        const DWORD returned =
            GetEnvironmentVariableW(kIdleSecondsVariable, buffer, kIdleVariableBufferChars);
        EXPECT_EQ(
            IdleLimitSecondsFrom(returned, std::wstring_view(buffer, kIdleVariableBufferChars)),
            c.seconds)
            << (c.value ? std::string(c.value, c.value + wcslen(c.value)) : "unset");
    }
    SetEnvironmentVariableW(kIdleSecondsVariable, nullptr);
}

}  // namespace
}  // namespace lumet::agent
