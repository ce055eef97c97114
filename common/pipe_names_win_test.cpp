#include "common/pipe_names.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace lumet::common {
namespace {

std::optional<std::wstring> FormatWithCrt(const std::wstring& role, uint32_t session) {
    wchar_t buffer[kPipeNameBufferChars] = {};
    const int n =
        _snwprintf_s(buffer, kPipeNameBufferChars, _TRUNCATE, L"\\\\.\\pipe\\ORRINFIELD.VPN.%s.%lu",
                     role.c_str(), static_cast<unsigned long>(session));
    if (n < 0) {
        return std::nullopt;
    }
    return std::wstring(buffer, static_cast<size_t>(n));
}

// The portable builder must give what the system's formatter gives, up to and past the point
// where the name stops fitting its buffer.
TEST(PipeNamesWinTest, SameAsCrtFormatter) {
    for (uint32_t session : {0u, 1u, 9u, 10u, 4242u, 65535u}) {
        for (size_t role_length = 0; role_length <= kPipeNameBufferChars; ++role_length) {
            const std::wstring role(role_length, L'R');
            EXPECT_EQ(MakePipeName(role, session), FormatWithCrt(role, session))
                << "session " << session << " role length " << role_length;
        }
    }

    wchar_t buffer[kMutexNameBufferChars] = {};
    const int n = _snwprintf_s(buffer, kMutexNameBufferChars, _TRUNCATE,
                               L"Local\\ORRINFIELD.VPN.Agent.%lu", 65535ul);
    ASSERT_GT(n, 0);
    EXPECT_EQ(MakeAgentMutexName(65535), std::wstring(buffer));
}

}  // namespace
}  // namespace lumet::common
