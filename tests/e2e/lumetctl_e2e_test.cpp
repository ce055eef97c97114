// lumetctl as a user runs it: health, a WireGuard tunnel up, its status and down through the
// plugin it loads, readable and JSON output, and the exit codes; --wait for WireGuard and for
// OpenVPN (through the simulated OpenVPN installation) until the tunnel is up, has failed or the
// wait ran out.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "service/openvpn_install_for_testing_win.h"
#include "support/agent_harness.h"
#include "support/lumetctl_harness.h"
#include "support/openvpn_harness.h"
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

bool Has(const std::string& text, const std::string& needle) {
    return text.find(needle) != std::string::npos;
}

// Progress is for consoles: through a pipe nothing but the answer and the verdict appears (no
// line rewritten in place).
void ExpectNoProgress(const std::string& out) {
    // Log lines the plugin writes to standard error end in CR CR LF; a progress line would start
    // with a lone CR.
    for (size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1)) {
        EXPECT_EQ(out.substr(at, 2), "\r\n") << out;
    }
    EXPECT_FALSE(Has(out, "starting \xE2\x80\x94")) << out;
}

TEST_F(LumetctlTest, WireGuardUpWaitsAndNamesAFailure) {
    ASSERT_TRUE(StartConsoleService(service_, FileSizeOf(ServiceLogPath())));
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    config_path_ =
        std::wstring(temp) + L"lumetctl-wait-" + std::to_wstring(GetCurrentProcessId()) + L".conf";
    const std::string key = MakeWireGuardKey("LumetctlWaitKey");
    ASSERT_TRUE(WriteTextFile(config_path_, WireGuardConfigText(key, 1)));

    std::string out;
    EXPECT_EQ(RunLumetctl(L"wg-up --wait 30 \"" + config_path_ + L"\"", "", &out), 0u) << out;
    EXPECT_TRUE(Has(out, "state: running \xE2\x80\x94 the tunnel adapter is up\n")) << out;
    EXPECT_TRUE(Has(out, "error: none\n")) << out;
    ExpectNoProgress(out);

    // Readable status: words, units and times instead of wire values.
    Sleep(1200);
    EXPECT_EQ(RunLumetctl(L"wg-status", "", &out), 0u) << out;
    EXPECT_TRUE(Has(out, "lastHandshake: 20")) << out;
    EXPECT_TRUE(Has(out, " ago)\n")) << out;
    EXPECT_FALSE(Has(out, "lastHandshakeMs")) << out;
    // Waiting changes nothing in the JSON form: the last status, one line.
    EXPECT_EQ(RunLumetctl(L"--json --wait 30 wg-up \"" + config_path_ + L"\"", "", &out), 0u)
        << out;
    EXPECT_EQ(out.rfind("{\"state\":\"running\",\"adapterPresent\":true,\"rxBytes\":", 0), 0u)
        << out;
    EXPECT_EQ(RunLumetctl(L"wg-down", "", &out), 0u) << out;
    EXPECT_TRUE(Has(out, "state: absent \xE2\x80\x94 no tunnel\n")) << out;

    // A configuration the service refuses: answered either way, but --wait calls it a failure.
    ASSERT_TRUE(WriteTextFile(config_path_, "[Interface]\nPrivateKey = not-a-key\n"));
    EXPECT_EQ(RunLumetctl(L"wg-up \"" + config_path_ + L"\"", "", &out), 0u) << out;
    EXPECT_EQ(RunLumetctl(L"--wait wg-up \"" + config_path_ + L"\"", "", &out), 1u) << out;
    EXPECT_TRUE(Has(out,
                    "lumetctl: wg-up failed: configRejected \xE2\x80\x94 the service "
                    "refused the configuration\n"))
        << out;
    EXPECT_FALSE(Has(out, key)) << out;
    EXPECT_EQ(RunLumetctl(L"--wait health", "", &out), 2u) << out;
}

// The simulator's test account; every step of its state walk takes kStepMs.
constexpr char kUser[] = "wait-user-Ty6Qa1";
constexpr char kPassword[] = "Wait-Passw0rd-v5MzK2";
constexpr char kWrongPassword[] = "Wait-Wr0ng-p8XcL3";
const std::string kProfile =
    "client\ndev tun\nproto udp\nremote 198.51.100.7 1194\nnobind\nauth-user-pass\n"
    "<ca>\n-----BEGIN CERTIFICATE-----\nV2FpdFByb2ZpbGU=\n-----END CERTIFICATE-----\n</ca>\n";

class LumetctlOpenVpnWaitTest : public testing::Test {
  protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"ORRINFIELD_AGENT_IDLE_SECONDS", L"30");
        EndAgentProcesses();
        EndOpenVpnProcesses();
        had_activity_ = ReadActivityValues().state.has_value();
        ASSERT_TRUE(install_.Install());
        ASSERT_TRUE(exe_path_.ok());
        ASSERT_TRUE(switches_.Set(L"StateStepMs", 20));
        ASSERT_TRUE(switches_.Set(L"AuthUsername", L"wait-user-Ty6Qa1"));
        ASSERT_TRUE(switches_.Set(L"AuthPassword", L"Wait-Passw0rd-v5MzK2"));
        ASSERT_TRUE(interactive_.Install());
        ASSERT_TRUE(StartConsoleService(service_, FileSizeOf(ServiceLogPath())));
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        profile_path_ = std::wstring(temp) + L"lumetctl-wait-" +
                        std::to_wstring(GetCurrentProcessId()) + L".ovpn";
        ASSERT_TRUE(WriteWholeFile(profile_path_, kProfile));
    }
    void TearDown() override {
        std::string out;
        RunLumetctl(L"ovpn-down", "", &out);
        EndAgentProcesses();
        EndOpenVpnProcesses();
        service_.Terminate();
        interactive_.Remove();
        DeleteFileW(profile_path_.c_str());
        if (!had_activity_) {
            DeleteActivityValues();
        }
    }

    DWORD Up(const std::wstring& wait, const std::string& password, std::string* out) {
        return RunLumetctl(
            L"ovpn-up " + wait + L" \"" + profile_path_ + L"\" " + L"wait-user-Ty6Qa1",
            password + "\n", out);
    }

    service::testing_support::OpenVpnInstallForTesting install_;
    OpenVpnExePathSetting exe_path_;
    OpenVpnSimSwitches switches_;
    InteractiveServiceSim interactive_;
    ChildProcess service_;
    std::wstring profile_path_;
    bool had_activity_ = false;
};

TEST_F(LumetctlOpenVpnWaitTest, WaitsUntilConnected) {
    std::string out;
    EXPECT_EQ(Up(L"--wait 30", kPassword, &out), 0u) << out;
    EXPECT_TRUE(Has(out, "state: connected \xE2\x80\x94 the tunnel is up\nactive: true\n")) << out;
    EXPECT_TRUE(Has(out, "connectedSince: 20")) << out;
    EXPECT_TRUE(Has(out, "error: none\n")) << out;
    ExpectNoProgress(out);
    EXPECT_FALSE(Has(out, kPassword)) << out;
    EXPECT_FALSE(Has(out, kUser)) << out;
    // The start of a second attempt while one runs fails, and --wait says so.
    EXPECT_EQ(Up(L"--wait 30", kPassword, &out), 1u) << out;
    EXPECT_TRUE(Has(out, "failed: attemptActive \xE2\x80\x94 ")) << out;
}

TEST_F(LumetctlOpenVpnWaitTest, RefusedPasswordFailsWithItsMeaning) {
    std::string out;
    EXPECT_EQ(Up(L"--wait 30", kWrongPassword, &out), 1u) << out;
    EXPECT_TRUE(Has(out,
                    "lumetctl: ovpn-up failed: authFailed \xE2\x80\x94 the server refused "
                    "the user name or password\n"))
        << out;
    EXPECT_TRUE(Has(out, "error: authFailed")) << out;
    EXPECT_FALSE(Has(out, kWrongPassword)) << out;
}

TEST_F(LumetctlOpenVpnWaitTest, RunsOutWithTheLastState) {
    // Each state of the walk now takes longer than the whole wait.
    ASSERT_TRUE(switches_.Set(L"StateStepMs", 3000));
    std::string out;
    const ULONGLONG started = GetTickCount64();
    EXPECT_EQ(Up(L"--wait 1", kPassword, &out), 1u) << out;
    EXPECT_LT(GetTickCount64() - started, 15000u);
    EXPECT_TRUE(Has(out, ": did not come up within 1 s (last state: ")) << out;
    EXPECT_TRUE(Has(out, "active: true\n")) << out;
}

}  // namespace
}  // namespace lumet::test
