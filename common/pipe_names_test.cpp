#include "common/pipe_names.h"

#include <gtest/gtest.h>

namespace lumet::common {
namespace {

TEST(PipeNamesTest, NamesExistOnlyBelowSession65536) {
    struct Case {
        uint32_t session;
        const wchar_t* agent;  // nullptr: no name at all
        const wchar_t* service;
        const wchar_t* mutex;
    };
    const Case cases[] = {
        {0, L"\\\\.\\pipe\\ORRINFIELD.VPN.Agent.0", L"\\\\.\\pipe\\ORRINFIELD.VPN.Service.0",
         L"Local\\ORRINFIELD.VPN.Agent.0"},
        {1, L"\\\\.\\pipe\\ORRINFIELD.VPN.Agent.1", L"\\\\.\\pipe\\ORRINFIELD.VPN.Service.1",
         L"Local\\ORRINFIELD.VPN.Agent.1"},
        {65535, L"\\\\.\\pipe\\ORRINFIELD.VPN.Agent.65535",
         L"\\\\.\\pipe\\ORRINFIELD.VPN.Service.65535", L"Local\\ORRINFIELD.VPN.Agent.65535"},
        {65536, nullptr, nullptr, nullptr},
        {0xFFFFFFFFu, nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.session);
        const auto agent = AgentPipeName(c.session);
        const auto service = ServicePipeName(c.session);
        const auto mutex = MakeAgentMutexName(c.session);
        if (c.agent == nullptr) {
            EXPECT_FALSE(agent.has_value());
            EXPECT_FALSE(service.has_value());
            EXPECT_FALSE(mutex.has_value());
            EXPECT_FALSE(MakePipeName(L"X", c.session).has_value());
            continue;
        }
        ASSERT_TRUE(agent && service && mutex);
        EXPECT_EQ(*agent, c.agent);
        EXPECT_EQ(*service, c.service);
        EXPECT_EQ(*mutex, c.mutex);
    }
}

// A name that does not fit the 128-character buffer is refused, never cut short: a truncated
// name could collide with another pipe.
TEST(PipeNamesTest, PipeNameMustFitBufferWithTerminator) {
    const size_t fixed = std::wstring_view(L"\\\\.\\pipe\\ORRINFIELD.VPN.").size() + 1;  // + '.'
    const size_t digits = 5;                                                             // 65535
    const size_t longest_role = kPipeNameBufferChars - 1 - fixed - digits;

    const auto fits = MakePipeName(std::wstring(longest_role, L'r'), 65535);
    ASSERT_TRUE(fits.has_value());
    EXPECT_EQ(fits->size(), kPipeNameBufferChars - 1);

    EXPECT_FALSE(MakePipeName(std::wstring(longest_role + 1, L'r'), 65535).has_value());
    // The same role fits with a shorter session number.
    EXPECT_TRUE(MakePipeName(std::wstring(longest_role + 1, L'r'), 6553).has_value());
    EXPECT_FALSE(MakePipeName(std::wstring(4096, L'r'), 1).has_value());
}

TEST(PipeNamesTest, RoleEndsAtFirstNul) {
    const std::wstring role(L"Agent\0ignored", 13);
    EXPECT_EQ(MakePipeName(role, 7), AgentPipeName(7));
    // A role that is long only after its NUL still fits.
    std::wstring padded(L"Agent");
    padded.push_back(L'\0');
    padded.append(500, L'x');
    EXPECT_EQ(MakePipeName(padded, 7), AgentPipeName(7));
}

}  // namespace
}  // namespace lumet::common
