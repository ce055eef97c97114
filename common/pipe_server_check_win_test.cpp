#include "common/pipe_server_check_win.h"

#include <gtest/gtest.h>

#include "common/session_win.h"
#include "common/win_handle.h"
#include "test_util.h"

namespace lumet::common {
namespace {

std::wstring ModulePath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// The facts a client reads about the server of its pipe; here this process serves it.
TEST(PipeServerCheckWinTest, FactsAboutTheServingProcess) {
    const std::wstring name = L"\\\\.\\pipe\\lumet-server-check-" + lumet::test::UniqueSuffixW();
    UniqueHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(server.valid()) << GetLastError();
    UniqueHandle client(CreateFileW(
        name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    ASSERT_TRUE(client.valid()) << GetLastError();

    const ServerFacts facts = GatherServerFacts(client.get(), ModulePath(), true);
    ASSERT_TRUE(facts.pid.has_value());
    EXPECT_EQ(*facts.pid, GetCurrentProcessId());
    EXPECT_EQ(facts.session_id, CurrentSessionId());
    EXPECT_EQ(facts.user_sid, CurrentUserSidText());
    EXPECT_EQ(facts.image_matches, std::optional<bool>(true));
    // No OrrinfieldVPNService is registered in the test prefix.
    EXPECT_FALSE(facts.registered_service_pid.has_value());

    // This process is not the agent beside any plugin, and not the registered service.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring other = std::wstring(system) + L"\\hostname.exe";
    EXPECT_FALSE(VerifyAgentServer(client.get(), other, CurrentSessionId()).accepted);
    EXPECT_FALSE(VerifyAgentServer(client.get(), L"", CurrentSessionId()).accepted);
    EXPECT_FALSE(VerifyAgentServer(client.get(), ModulePath(), CurrentSessionId() + 1).accepted);
    EXPECT_TRUE(VerifyAgentServer(client.get(), ModulePath(), CurrentSessionId()).accepted);

    SetEnvironmentVariableW(kTrustConsoleServiceVariable, nullptr);
    const ServerVerdict refused = VerifyServiceServer(client.get());
    EXPECT_FALSE(refused.accepted);
    EXPECT_EQ(refused.pid, GetCurrentProcessId());
    SetEnvironmentVariableW(kTrustConsoleServiceVariable, L"1");
    EXPECT_TRUE(VerifyServiceServer(client.get()).accepted);
    SetEnvironmentVariableW(kTrustConsoleServiceVariable, nullptr);
}

TEST(PipeServerCheckWinTest, SameFileLooksAtTheFileNotTheSpelling) {
    const std::wstring self = ModulePath();
    std::wstring upper = self;
    for (wchar_t& ch : upper) {
        ch = static_cast<wchar_t>(towupper(ch));
    }
    EXPECT_TRUE(SameFile(self, self));
    EXPECT_TRUE(SameFile(self, upper));
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_FALSE(SameFile(self, std::wstring(system) + L"\\hostname.exe"));
    EXPECT_FALSE(SameFile(self, self + L".missing"));
    EXPECT_FALSE(SameFile(self, L""));
}

}  // namespace
}  // namespace lumet::common
