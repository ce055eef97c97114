// lumetctl as a user runs it: health, a WireGuard tunnel up, its status and down through the
// plugin it loads, readable and JSON output, and the exit codes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/agent_harness.h"
#include "support/plugin_harness.h"
#include "support/service_harness.h"
#include "support/wireguard_harness.h"

namespace lumet::test {
namespace {

class LumetctlTest : public testing::Test {
  protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"ORRINFIELD_AGENT_IDLE_SECONDS", L"30");
        EndAgentProcesses();
        RemoveTunnelService();
        DeleteFileW(TunnelConfigFilePath().c_str());
    }
    void TearDown() override {
        EndAgentProcesses();
        service_.Terminate();
        RemoveTunnelService();
        DeleteFileW(TunnelConfigFilePath().c_str());
        if (!config_path_.empty()) {
            DeleteFileW(config_path_.c_str());
        }
    }

    // Runs lumetctl with `arguments`; the exit code (or 999 when it did not end).
    DWORD Lumetctl(const std::wstring& arguments, std::string* output) {
        output->clear();
        const auto code = RunCaptured(L"\"" + LumetctlPath() + L"\" " + arguments, 120000, output);
        return code.value_or(999);
    }

    ChildProcess service_;
    SimFaultSwitches faults_;
    std::wstring config_path_;
};

TEST_F(LumetctlTest, HealthAndWireGuardRoundTrip) {
    ASSERT_TRUE(StartConsoleService(service_, FileSizeOf(ServiceLogPath())));
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    config_path_ =
        std::wstring(temp) + L"lumetctl-e2e-" + std::to_wstring(GetCurrentProcessId()) + L".conf";
    const std::string key = MakeWireGuardKey("LumetctlE2eKey");
    ASSERT_TRUE(WriteTextFile(config_path_, WireGuardConfigText(key, 1)));

    std::string out;
    EXPECT_EQ(Lumetctl(L"health", &out), 0u) << out;
    EXPECT_NE(out.find("agentReachable: true"), std::string::npos) << out;
    EXPECT_NE(out.find("serviceLinkUp: true"), std::string::npos) << out;

    EXPECT_EQ(Lumetctl(L"wg-up \"" + config_path_ + L"\"", &out), 0u) << out;
    EXPECT_NE(out.find("state: running"), std::string::npos) << out;
    EXPECT_NE(out.find("adapterPresent: true"), std::string::npos) << out;

    EXPECT_EQ(Lumetctl(L"--json wg-status", &out), 0u) << out;
    EXPECT_NE(out.find("{\"state\":\"running\",\"adapterPresent\":true,\"rxBytes\":"),
              std::string::npos)
        << out;

    EXPECT_EQ(Lumetctl(L"wg-down", &out), 0u) << out;
    EXPECT_NE(out.find("state: absent"), std::string::npos) << out;
    EXPECT_EQ(out.find(key), std::string::npos);

    // An error answer, a usage error and a missing file.
    service_.Terminate();
    EXPECT_EQ(Lumetctl(L"service-health", &out), 1u) << out;
    EXPECT_NE(out.find("SERVICE_UNAVAILABLE"), std::string::npos) << out;
    EXPECT_EQ(Lumetctl(L"frobnicate", &out), 2u) << out;
    EXPECT_EQ(Lumetctl(L"wg-up C:\\no\\such\\file.conf", &out), 2u) << out;
}

}  // namespace
}  // namespace lumet::test
