// The launcher's failure paths and the connect it ends, against pipe roles no agent serves.
#include "plugin/agent_launcher.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "common/log_for_testing.h"
#include "tests/support/log_capture.h"

namespace lumet_windows_vpn {
namespace {

using lumet::common::Status;

// A pipe role of this test process only, so that no real agent can answer.
std::wstring UniqueRole(const wchar_t* stem) {
    return std::wstring(L"PluginTest") + stem + std::to_wstring(GetCurrentProcessId());
}

class AgentLauncherTest : public testing::Test {
  protected:
    int CountLines(const std::wstring& needle) {
        return static_cast<int>(log_.LinesContaining(needle));
    }

    lumet::test::LogCapture log_;
};

// A launch that cannot happen ends the connect at once with the launcher's status. The failure
// is permanent, so repeating it (every health poll would) writes the line once, not each time.
TEST_F(AgentLauncherTest, LaunchFailuresEndTheConnectAtOnce) {
    struct Case {
        const wchar_t* name;
        std::wstring path;
        Status status;
        const wchar_t* log;
    };
    const Case cases[] = {
        {L"Unresolved", L"", Status::Failed,
         L"ERR  agent exe path could not be resolved from module"},
        {L"Missing", L"C:\\no\\such\\folder\\OrrinfieldVPNAgent.exe", Status::Unavailable,
         L"ERR  OrrinfieldVPNAgent.exe not found next to the plugin DLL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AgentLink link(c.path, /*session_id=*/1, UniqueRole(c.name));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(link.link().EnsureConnected());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
        EXPECT_EQ(link.link().LastStatus(), c.status);

        const lumet::common::CallResult call =
            link.Call(lumet::common::MessageType::AgentHealth, {});
        EXPECT_FALSE(call.ok);
        EXPECT_EQ(call.status, c.status);

        const AgentProbe probe = link.ProbeAgent();
        EXPECT_FALSE(probe.connected);
        EXPECT_FALSE(probe.serviceLinkUp);
        EXPECT_EQ(probe.status, c.status);
        EXPECT_EQ(CountLines(c.log), 1);
    }
}

// A program that starts but never serves the pipe is launched once per connect, which then
// gives up after its 30 sleeps of 200 ms.
TEST_F(AgentLauncherTest, AgentThatNeverServesTimesOutAfterOneLaunch) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    AgentLink link(std::wstring(system) + L"\\hostname.exe", 1, UniqueRole(L"Silent"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.link().EnsureConnected());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(link.link().LastStatus(), Status::ConnectTimeout);
    EXPECT_GE(elapsed, std::chrono::milliseconds(5500));
    EXPECT_LT(elapsed, std::chrono::milliseconds(12000));
    EXPECT_EQ(CountLines(L"INFO launched OrrinfieldVPNAgent.exe detached"), 1);
}

// Without a session id there is no pipe name: nothing is launched.
TEST_F(AgentLauncherTest, UnknownSessionGivesBadRequest) {
    AgentLink link(L"C:\\x\\OrrinfieldVPNAgent.exe", 0xFFFFFFFF);
    const AgentProbe probe = link.ProbeAgent();
    EXPECT_FALSE(probe.connected);
    EXPECT_EQ(probe.status, Status::BadRequest);
    EXPECT_EQ(CountLines(L"OrrinfieldVPNAgent.exe"), 0);
}

}  // namespace
}  // namespace lumet_windows_vpn
