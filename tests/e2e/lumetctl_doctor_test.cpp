// `lumetctl doctor` against the real programs: everything present (the service registered and
// running under the service manager with the WireGuard simulator beside it, the simulated
// OpenVPN installation), the service stopped, and OpenVPN absent. Each time the lines that name
// the outcome and the exit code.
#include <windows.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "service/openvpn_install_for_testing_win.h"
#include "support/agent_harness.h"
#include "support/lumetctl_harness.h"
#include "support/openvpn_harness.h"
#include "support/plugin_harness.h"
#include "support/service_harness.h"

namespace lumet::test {
namespace {

bool Has(const std::string& text, const std::string& needle) {
    return text.find(needle) != std::string::npos;
}

// Every part appears in doctor's output; each missing one is named with the whole output.
void ExpectParts(const std::string& out, std::initializer_list<std::string> parts) {
    for (const std::string& part : parts) {
        EXPECT_TRUE(Has(out, part)) << "missing: " << part << "\n" << out;
    }
}

class LumetctlDoctorTest : public testing::Test {
  protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"ORRINFIELD_AGENT_IDLE_SECONDS", L"30");
        EndAgentProcesses();
        had_activity_ = ReadActivityValues().state.has_value();
        ASSERT_TRUE(service_.Register());
    }
    void TearDown() override {
        EndAgentProcesses();
        EndOpenVpnProcesses();
        service_.Remove();
        interactive_.Remove();
        exe_path_.reset();
        if (!had_activity_) {
            DeleteActivityValues();
        }
    }

    // The simulated OpenVPN for Windows: openvpn.exe found through the registry, the
    // interactive service running, the configuration directory in place.
    void InstallOpenVpn() {
        ASSERT_TRUE(install_.Install());
        exe_path_.emplace();
        ASSERT_TRUE(exe_path_->ok());
        ASSERT_TRUE(interactive_.Install());
    }

    DWORD Doctor(std::string* out, const std::wstring& options = L"") {
        return RunLumetctl(options + L"doctor", "", out);
    }

    RegisteredService service_;
    service::testing_support::OpenVpnInstallForTesting install_;
    std::optional<OpenVpnExePathSetting> exe_path_;
    InteractiveServiceSim interactive_;
    bool had_activity_ = false;
};

TEST_F(LumetctlDoctorTest, EverythingPresentPasses) {
    ASSERT_TRUE(service_.Start());
    InstallOpenVpn();

    std::string out;
    EXPECT_EQ(Doctor(&out), 0u) << out;
    ExpectParts(
        out,
        {"[pass] plugin loads: ", "[pass] agent starts and answers: ",
         "[pass] service registered: program ",
         "[pass] service running: ", "[pass] service answers on its pipe: generation ",
         "[pass] WireGuard beside the service: ", "[pass] OpenVPN found: version 2.6.14",
         "[pass] OpenVPN interactive service installed",
         "[pass] OpenVPN interactive service running", "[pass] OpenVPN configuration directory: ",
         "[pass] activity record readable: ", "[pass] log folder: ", "All 12 checks passed."});
    EXPECT_FALSE(Has(out, "[FAIL]")) << out;
    // Where the agent came from: the plugin started the one beside it.
    EXPECT_TRUE(Has(out, "started now by the plugin, from ")) << out;
    EXPECT_TRUE(Has(out, "OrrinfieldVPNAgent.exe\n")) << out;
    // Nothing from the logs but their warnings and errors (the plugin's own lines on standard
    // error are not doctor's output).
    for (size_t at = out.find("\n       20"); at != std::string::npos;
         at = out.find("\n       20", at + 1)) {
        const std::string line = out.substr(at + 8, out.find('\n', at + 1) - at - 8);
        EXPECT_TRUE(Has(line, "] WARN ") || Has(line, "] ERR  ")) << line;
    }

    // A second run finds the agent the first one started, and the JSON form says the same.
    EXPECT_EQ(Doctor(&out, L"--json "), 0u) << out;
    EXPECT_EQ(out.rfind("[{\"check\":\"plugin loads\",\"outcome\":\"pass\"", 0), 0u) << out;
    EXPECT_TRUE(Has(out, "already running, from ")) << out;
    EXPECT_FALSE(Has(out, "\"outcome\":\"FAIL\"")) << out;
}

TEST_F(LumetctlDoctorTest, StoppedServiceIsNamedWithItsFix) {
    InstallOpenVpn();
    // Stopped after it ran once, so that its activity record is there.
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.Stop());

    std::string out;
    EXPECT_EQ(Doctor(&out), 1u) << out;
    ExpectParts(out, {"[pass] plugin loads: ", "[pass] agent starts and answers: ",
                      "[pass] service registered: ",
                      "[FAIL] service running: OrrinfieldVPNService is STOPPED\n"
                      "       fix: start it as an administrator: sc start OrrinfieldVPNService\n",
                      "[FAIL] service answers on its pipe: no answer: error "
                      "SERVICE_UNAVAILABLE\n       fix: start the service",
                      // What does not need the running service still passes.
                      "[pass] WireGuard beside the service: ", "[pass] OpenVPN found: ",
                      "[pass] OpenVPN configuration directory: ", "2 of 12 checks did not pass."});

    // Unregistered: named, and what depends on the registration is skipped, not guessed.
    service_.Remove();
    EXPECT_EQ(Doctor(&out), 1u) << out;
    ExpectParts(out, {"[FAIL] service registered: OrrinfieldVPNService is not registered\n",
                      "[skip] service running: needs the registration",
                      "[skip] WireGuard beside the service: "});
}

TEST_F(LumetctlDoctorTest, MissingOpenVpnIsNamedWithItsFix) {
    ASSERT_TRUE(service_.Start());

    std::string out;
    EXPECT_EQ(Doctor(&out), 1u) << out;
    ExpectParts(out, {"[pass] service answers on its pipe: ",
                      "[FAIL] OpenVPN found: openvpn.exe is neither beside the agent",
                      "       fix: install OpenVPN for Windows\n",
                      "[FAIL] OpenVPN interactive service installed: "
                      "OpenVPNServiceInteractive is not installed",
                      "[skip] OpenVPN interactive service running",
                      "[FAIL] OpenVPN configuration directory: HKLM\\SOFTWARE\\OpenVPN has no "
                      "config_dir value",
                      "4 of 12 checks did not pass."});
}

// An agent of another installation holds the agent pipe, so the plugin refuses it: named, with
// the process to end.
TEST_F(LumetctlDoctorTest, AgentFromElsewhereIsNamed) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"lumetctl-doctor-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring copy = folder + L"\\OrrinfieldVPNAgent.exe";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(AgentExecutablePath().c_str(), copy.c_str(), FALSE)) << GetLastError();
    ChildProcess stranger;
    ASSERT_TRUE(stranger.Start(copy, L"", {}));
    ASSERT_TRUE(WaitForListeningPipe(AgentPipeNameForThisSession(), 10000));

    std::string out;
    EXPECT_EQ(Doctor(&out), 1u) << out;
    EXPECT_TRUE(Has(out, "[FAIL] agent starts and answers: ")) << out;
    EXPECT_TRUE(Has(
        out, "the agent pipe is served by process " + std::to_string(stranger.pid()) + " from "))
        << out;
    EXPECT_TRUE(Has(out,
                    "(not the agent beside the plugin)\n       fix: end that agent (taskkill "
                    "/PID " +
                        std::to_string(stranger.pid()) + " /F)"))
        << out;

    stranger.Terminate();
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
}

}  // namespace
}  // namespace lumet::test
