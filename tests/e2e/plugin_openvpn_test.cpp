// OpenVPN end to end as the application drives it: the plugin loaded into an engine, the agent
// it starts, the real service in the foreground, the interactive-service simulator under the
// service manager and the openvpn.exe simulator it launches. Capabilities, a connect to CONNECTED
// with byte counts and the machine-wide activity record, a stop that clears the staged profile
// and the record, refused credentials, the agent's idle rule around a connection, a missing
// interactive service, lumetctl as a user runs it, and no secret in any log.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "plugin/host_api.h"
#include "service/openvpn_install_for_testing_win.h"
#include "support/agent_harness.h"
#include "support/lumetctl_harness.h"
#include "support/openvpn_harness.h"
#include "support/plugin_harness.h"
#include "support/service_harness.h"
#include "support/wireguard_harness.h"

namespace lumet::test {
namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
namespace lv = lumet_windows_vpn;

// Distinctive secrets, so that a log line holding one cannot be missed. The simulator accepts
// exactly kUser and kPassword.
constexpr char kUser[] = "ove-user-Hq7Zt2";
constexpr char kPassword[] = "Ove-Passw0rd-k9JxW4mR";
constexpr char kWrongPassword[] = "Ove-Wr0ngPass-b3VnQp8s";
constexpr char kProfileMarker[] = "T3ZlUGx1Z2luUHJvZmlsZU1hcmtlcg";
constexpr char kTlsAuthMarker[] = "4f76655449534b65794d61726b65723137";
constexpr char kCommentMarker[] = "ove-profile-comment-Lp3s";

const std::string kProfile = std::string("# office gateway ") + kCommentMarker +
                             "\n"
                             "client\n"
                             "dev tun\n"
                             "proto udp\n"
                             "remote 198.51.100.7 1194\n"
                             "resolv-retry infinite\n"
                             "nobind\n"
                             "persist-key\n"
                             "persist-tun\n"
                             "remote-cert-tls server\n"
                             "data-ciphers AES-256-GCM:AES-128-GCM\n"
                             "verb 3\n"
                             "auth-user-pass\n"
                             "key-direction 1\n"
                             "<ca>\n"
                             "-----BEGIN CERTIFICATE-----\n" +
                             kProfileMarker +
                             "\n"
                             "-----END CERTIFICATE-----\n"
                             "</ca>\n"
                             "<tls-auth>\n" +
                             kTlsAuthMarker + "\n</tls-auth>\n";

// The agent idles out after this many seconds without a client (the least it accepts).
constexpr wchar_t kIdleSeconds[] = L"10";

EncodableValue StartMessage(const std::string& user, const std::string& password) {
    return EncodableValue(
        EncodableList{EncodableValue(kProfile), EncodableValue(user), EncodableValue(password)});
}

std::optional<lv::LumetOpenVpnStatus> StatusOf(const HostAnswer& answer) {
    const auto* status = answer.ok ? CustomAs<lv::LumetOpenVpnStatus>(answer.value) : nullptr;
    return status ? std::optional<lv::LumetOpenVpnStatus>(*status) : std::nullopt;
}

// The per-attempt management password is 64 lower-case hex digits; nothing else the programs
// log comes close to that length.
bool HasLongHexRun(const std::string& text) {
    size_t run = 0;
    for (const char c : text) {
        run = std::isxdigit(static_cast<unsigned char>(c)) ? run + 1 : 0;
        if (run >= 64) {
            return true;
        }
    }
    return false;
}

class PluginOpenVpnTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Inherited by the agents the plugin starts.
        SetEnvironmentVariableW(L"ORRINFIELD_AGENT_IDLE_SECONDS", kIdleSeconds);
    }

    void SetUp() override {
        EndAgentProcesses();
        EndOpenVpnProcesses();
        plugin_log_offset_ = FileSizeOf(PluginLogPath());
        agent_log_offset_ = FileSizeOf(AgentLogPath());
        service_log_offset_ = FileSizeOf(ServiceLogPath());
        had_activity_ = ReadActivityValues().state.has_value();
        ASSERT_TRUE(install_.Install());
        ASSERT_TRUE(exe_path_.ok());
        ASSERT_TRUE(switches_.Set(L"StateStepMs", 20));
        ASSERT_TRUE(switches_.Set(L"AuthUsername", Wide(kUser)));
        ASSERT_TRUE(switches_.Set(L"AuthPassword", Wide(kPassword)));
        ASSERT_TRUE(interactive_.Install());
        ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
    }

    void TearDown() override {
        host_.Destroy();
        EndAgentProcesses();
        EndOpenVpnProcesses();
        service_.Terminate();
        interactive_.Remove();
        if (!profile_path_.empty()) {
            DeleteFileW(profile_path_.c_str());
        }
        // No credential, profile text or management password may reach any log.
        const std::pair<const char*, std::string> logs[] = {
            {"plugin", ReadFileFrom(PluginLogPath(), plugin_log_offset_)},
            {"agent", ReadFileFrom(AgentLogPath(), agent_log_offset_)},
            {"service", ReadFileFrom(ServiceLogPath(), service_log_offset_)}};
        for (const auto& [name, log] : logs) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(log.empty());  // every program ran and logged
            for (const char* secret : {kUser, kPassword, kWrongPassword, kProfileMarker,
                                       kTlsAuthMarker, kCommentMarker}) {
                EXPECT_EQ(log.find(secret), std::string::npos) << secret;
            }
            EXPECT_FALSE(HasLongHexRun(log));
        }
        EXPECT_TRUE(FileNamesIn(install_.staging_dir).empty());
        if (!had_activity_) {
            DeleteActivityValues();
        }
    }

    static std::wstring Wide(const std::string& ascii) {
        return std::wstring(ascii.begin(), ascii.end());
    }

    void LoadPlugin() { ASSERT_TRUE(host_.Load(PluginDllPath())); }

    lv::LumetOpenVpnCapabilities Capabilities(PluginHost& host) {
        const HostAnswer answer = host.Call("getOpenVpnCapabilities");
        EXPECT_TRUE(answer.ok) << answer.code;
        const auto* found = CustomAs<lv::LumetOpenVpnCapabilities>(answer.value);
        return found ? *found
                     : lv::LumetOpenVpnCapabilities(
                           lv::LumetTriState::kUnknown, "", lv::LumetTriState::kUnknown,
                           lv::LumetTriState::kUnknown, lv::LumetTriState::kUnknown,
                           lv::LumetTriState::kUnknown);
    }

    // Calls a method that answers LumetOpenVpnStatus; nothing when it answered anything else.
    std::optional<lv::LumetOpenVpnStatus> Status(PluginHost& host, const std::string& method,
                                                 const EncodableValue& message = EncodableValue()) {
        const HostAnswer answer = host.Call(method, message, 30000);
        EXPECT_TRUE(answer.ok) << method << ": " << answer.code;
        return StatusOf(answer);
    }

    // Asks getOpenVpnStatus until `done` holds or `wait_ms` passes; the last answer.
    std::optional<lv::LumetOpenVpnStatus> StatusUntil(
        PluginHost& host, const std::function<bool(const lv::LumetOpenVpnStatus&)>& done,
        DWORD wait_ms) {
        const ULONGLONG deadline = GetTickCount64() + wait_ms;
        std::optional<lv::LumetOpenVpnStatus> status = Status(host, "getOpenVpnStatus");
        while ((!status || !done(*status)) && GetTickCount64() < deadline) {
            Sleep(100);
            status = Status(host, "getOpenVpnStatus");
        }
        return status;
    }

    // Starts with the accepted credentials and waits for CONNECTED with counted bytes.
    std::optional<lv::LumetOpenVpnStatus> Connect(PluginHost& host) {
        const auto started = Status(host, "startOpenVpn", StartMessage(kUser, kPassword));
        if (!started || !started->active() ||
            started->error() != lv::LumetOpenVpnErrorKind::kNone) {
            ADD_FAILURE() << "start refused";
            return started;
        }
        return StatusUntil(
            host,
            [](const auto& s) {
                return !s.active() ||
                       (s.state() == lv::LumetOpenVpnState::kConnected && s.bytes_in() > 0);
            },
            20000);
    }

    static bool ActivityIs(DWORD state, DWORD wait_ms) {
        return WaitUntil([state] { return ReadActivityValues().state == state; }, wait_ms);
    }

    service::testing_support::OpenVpnInstallForTesting install_;
    OpenVpnExePathSetting exe_path_;
    OpenVpnSimSwitches switches_;
    InteractiveServiceSim interactive_;
    ChildProcess service_;
    PluginHost host_;
    std::wstring profile_path_;
    uint64_t plugin_log_offset_ = 0;
    uint64_t agent_log_offset_ = 0;
    uint64_t service_log_offset_ = 0;
    bool had_activity_ = false;
};

TEST_F(PluginOpenVpnTest, CapabilitiesOfTheInstallation) {
    LoadPlugin();
    const lv::LumetOpenVpnCapabilities caps = Capabilities(host_);
    EXPECT_EQ(caps.open_vpn_found(), lv::LumetTriState::kYes);
    // The simulator carries the file version of the release it stands in for.
    EXPECT_EQ(caps.open_vpn_version().rfind("2.6.14", 0), 0u) << caps.open_vpn_version();
    EXPECT_EQ(caps.interactive_service_installed(), lv::LumetTriState::kYes);
    EXPECT_EQ(caps.interactive_service_running(), lv::LumetTriState::kYes);
}

TEST_F(PluginOpenVpnTest, ConnectCountBytesAndStop) {
    LoadPlugin();
    const uint64_t before = UnixTimeMs();
    const auto started = Status(host_, "startOpenVpn", StartMessage(kUser, kPassword));
    ASSERT_TRUE(started);
    EXPECT_TRUE(started->active());
    EXPECT_EQ(started->attempt(), 1);
    EXPECT_EQ(started->error(), lv::LumetOpenVpnErrorKind::kNone);

    const auto connected = StatusUntil(
        host_,
        [](const auto& s) {
            return !s.active() ||
                   (s.state() == lv::LumetOpenVpnState::kConnected && s.bytes_in() > 0);
        },
        20000);
    ASSERT_TRUE(connected);
    ASSERT_EQ(connected->state(), lv::LumetOpenVpnState::kConnected);
    EXPECT_TRUE(connected->active());
    EXPECT_EQ(connected->error(), lv::LumetOpenVpnErrorKind::kNone);
    EXPECT_GT(connected->bytes_in(), 0);
    EXPECT_GT(connected->bytes_out(), 0);
    EXPECT_GE(static_cast<uint64_t>(connected->connected_since_ms()), before);
    EXPECT_LE(static_cast<uint64_t>(connected->connected_since_ms()), UnixTimeMs());
    EXPECT_EQ(connected->attempt(), 1);
    // OpenVPN got the profile with "auth-nocache" added, and the right credentials.
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(L"LastConfigAuthNocache"), 1u);
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(L"LastCredentials"), 1u);
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(L"LastManagementAuth"), 1u);
    EXPECT_EQ(OpenVpnProcessIds().size(), 1u);
    // The agent's reports, confirmed by the live openvpn.exe, switch the machine record on; the
    // staged profile is gone once connected.
    EXPECT_TRUE(ActivityIs(1, 10000));
    EXPECT_TRUE(WaitUntil([&] { return FileNamesIn(install_.staging_dir).empty(); }, 3000));

    const auto stopped = Status(host_, "stopOpenVpn");
    ASSERT_TRUE(stopped);
    EXPECT_FALSE(stopped->active());
    EXPECT_EQ(stopped->state(), lv::LumetOpenVpnState::kOther);
    EXPECT_EQ(stopped->error(), lv::LumetOpenVpnErrorKind::kNone);
    EXPECT_EQ(stopped->bytes_in(), 0);
    EXPECT_EQ(stopped->attempt(), 2);
    EXPECT_TRUE(WaitUntil([] { return OpenVpnProcessIds().empty(); }, 10000));
    EXPECT_TRUE(FileNamesIn(install_.staging_dir).empty());
    EXPECT_TRUE(ActivityIs(0, 10000));
    // A stop stays a stop: the ended process does not turn into an error afterwards.
    const auto later = Status(host_, "getOpenVpnStatus");
    ASSERT_TRUE(later);
    EXPECT_FALSE(later->active());
    EXPECT_EQ(later->error(), lv::LumetOpenVpnErrorKind::kNone);
}

TEST_F(PluginOpenVpnTest, RefusedCredentialsEndAsAuthFailedAtOnce) {
    LoadPlugin();
    const ULONGLONG started_at = GetTickCount64();
    const auto started = Status(host_, "startOpenVpn", StartMessage(kUser, kWrongPassword));
    ASSERT_TRUE(started);
    EXPECT_TRUE(started->active());
    const auto ended = StatusUntil(
        host_, [](const auto& s) { return !s.active(); }, 20000);
    ASSERT_TRUE(ended);
    EXPECT_FALSE(ended->active());
    EXPECT_EQ(ended->error(), lv::LumetOpenVpnErrorKind::kAuthFailed);
    EXPECT_EQ(static_cast<int>(ended->error()), 7);
    // Ended by OpenVPN's refusal, not by the 60 s connect time-out.
    EXPECT_LT(GetTickCount64() - started_at, 8000u);
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(L"LastCredentials"), 2u);
    EXPECT_TRUE(FileNamesIn(install_.staging_dir).empty());
    EXPECT_TRUE(WaitUntil([] { return OpenVpnProcessIds().empty(); }, 10000));
    EXPECT_TRUE(ActivityIs(0, 10000));
}

// While connected the agent stays without any client past its idle limit; once stopped it ends
// by itself.
TEST_F(PluginOpenVpnTest, AgentStaysWhileConnectedAndIdlesOutAfterStop) {
    LoadPlugin();
    const auto connected = Connect(host_);
    ASSERT_TRUE(connected);
    ASSERT_EQ(connected->state(), lv::LumetOpenVpnState::kConnected);
    const std::vector<DWORD> agents = AgentProcessIds();
    ASSERT_EQ(agents.size(), 1u);
    common::UniqueKernelHandle agent(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, agents[0]));
    ASSERT_TRUE(agent);

    // The application closes: no client is left, and the agent outlives its 10 s idle limit
    // (and two of its 7 s wake-ups) because the tunnel is up.
    host_.Destroy();
    EXPECT_EQ(WaitForSingleObject(agent.get(), 15000), static_cast<DWORD>(WAIT_TIMEOUT));

    // A new plugin finds the same agent, still connected with the same attempt.
    PluginHost reopened;
    ASSERT_TRUE(reopened.Load(PluginDllPath()));
    const auto still = Status(reopened, "getOpenVpnStatus");
    ASSERT_TRUE(still);
    EXPECT_EQ(still->state(), lv::LumetOpenVpnState::kConnected);
    EXPECT_TRUE(still->active());
    EXPECT_EQ(still->attempt(), 1);
    EXPECT_EQ(AgentProcessIds(), agents);
    EXPECT_EQ(OpenVpnProcessIds().size(), 1u);

    const auto stopped = Status(reopened, "stopOpenVpn");
    ASSERT_TRUE(stopped);
    EXPECT_FALSE(stopped->active());
    reopened.Destroy();
    // Nothing holds the agent any more.
    ASSERT_EQ(WaitForSingleObject(agent.get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD exit_code = 99;
    GetExitCodeProcess(agent.get(), &exit_code);
    EXPECT_EQ(exit_code, 0u);
    EXPECT_EQ(CountOccurrences(ReadFileFrom(AgentLogPath(), agent_log_offset_),
                               "INFO idle timeout with no clients / no VPN, exiting"),
              1u);
    EXPECT_TRUE(ActivityIs(0, 10000));
}

TEST_F(PluginOpenVpnTest, MissingInteractiveServiceIsServiceUnreachable) {
    struct Case {
        const char* name;
        std::function<void(InteractiveServiceSim&)> take_away;
        lv::LumetTriState installed;
    };
    const Case cases[] = {
        {"stopped", [](InteractiveServiceSim& sim) { sim.Stop(); }, lv::LumetTriState::kYes},
        {"removed", [](InteractiveServiceSim& sim) { sim.Remove(); }, lv::LumetTriState::kNo},
    };
    LoadPlugin();
    int64_t attempt = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.take_away(interactive_);
        const lv::LumetOpenVpnCapabilities caps = Capabilities(host_);
        EXPECT_EQ(caps.open_vpn_found(), lv::LumetTriState::kYes);
        EXPECT_EQ(caps.interactive_service_installed(), c.installed);
        EXPECT_EQ(caps.interactive_service_running(), lv::LumetTriState::kNo);

        const auto started = Status(host_, "startOpenVpn", StartMessage(kUser, kPassword));
        ASSERT_TRUE(started);
        EXPECT_EQ(started->attempt(), ++attempt);
        const auto ended = StatusUntil(
            host_, [](const auto& s) { return !s.active(); }, 20000);
        ASSERT_TRUE(ended);
        EXPECT_FALSE(ended->active());
        EXPECT_EQ(ended->error(), lv::LumetOpenVpnErrorKind::kServiceUnreachable);
        EXPECT_EQ(static_cast<int>(ended->error()), 12);
        EXPECT_TRUE(FileNamesIn(install_.staging_dir).empty());
        EXPECT_TRUE(OpenVpnProcessIds().empty());
    }
}

DWORD Lumetctl(const std::wstring& arguments, const std::string& input, std::string* output) {
    return RunLumetctl(arguments, input, output, 60000);
}

bool Has(const std::string& text, const std::string& needle) {
    return text.find(needle) != std::string::npos;
}

TEST_F(PluginOpenVpnTest, LumetctlDrivesAConnection) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    profile_path_ =
        std::wstring(temp) + L"lumetctl-ovpn-" + std::to_wstring(GetCurrentProcessId()) + L".ovpn";
    ASSERT_TRUE(WriteWholeFile(profile_path_, kProfile));
    const std::wstring up = L"ovpn-up \"" + profile_path_ + L"\" " + Wide(kUser);

    std::string out;
    EXPECT_EQ(Lumetctl(L"ovpn-caps", "", &out), 0u) << out;
    EXPECT_TRUE(Has(out, "openVpnFound: yes\nopenVpnVersion: 2.6.14")) << out;
    EXPECT_TRUE(Has(out, "interactiveServiceInstalled: yes\ninteractiveServiceRunning: yes\n"))
        << out;

    // A password that fails the credential check is answered with the attempt's error.
    EXPECT_EQ(Lumetctl(up, "\n", &out), 0u) << out;
    EXPECT_TRUE(Has(out, "active: false\n")) << out;
    EXPECT_TRUE(Has(out, "error: invalidRequest \xE2\x80\x94 ")) << out;

    EXPECT_EQ(Lumetctl(up, std::string(kPassword) + "\r\n", &out), 0u) << out;
    EXPECT_TRUE(Has(out, "active: true\n")) << out;
    EXPECT_TRUE(Has(out, "error: none\n")) << out;
    EXPECT_TRUE(Has(out, "attempt: 1\n")) << out;
    EXPECT_FALSE(Has(out, kPassword));

    const ULONGLONG deadline = GetTickCount64() + 20000;
    do {
        ASSERT_EQ(Lumetctl(L"ovpn-status", "", &out), 0u) << out;
    } while (!Has(out, "state: connected ") && Has(out, "active: true\n") &&
             GetTickCount64() < deadline);
    EXPECT_TRUE(Has(out, "state: connected \xE2\x80\x94 the tunnel is up\nactive: true\n")) << out;
    EXPECT_FALSE(Has(out, "bytesIn: 0 B\n")) << out;
    EXPECT_TRUE(Has(out, "error: none\nattempt: 1\n")) << out;
    EXPECT_EQ(Lumetctl(L"--json ovpn-status", "", &out), 0u) << out;
    EXPECT_EQ(out.rfind("{\"state\":\"connected\",\"active\":true,\"bytesIn\":", 0), 0u) << out;
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(L"LastCredentials"), 1u);

    EXPECT_EQ(Lumetctl(L"ovpn-down", "", &out), 0u) << out;
    EXPECT_TRUE(Has(out,
                    "state: other \xE2\x80\x94 no OpenVPN connection\nactive: "
                    "false\nbytesIn: 0 B\n"))
        << out;
    EXPECT_TRUE(Has(out, "error: none\nattempt: 2\n")) << out;
    EXPECT_TRUE(WaitUntil([] { return OpenVpnProcessIds().empty(); }, 10000));
    EXPECT_TRUE(ActivityIs(0, 10000));

    // Usage errors: a profile that cannot be read, a missing user name.
    EXPECT_EQ(Lumetctl(L"ovpn-up C:\\no\\such\\profile.ovpn " + Wide(kUser), kPassword, &out), 2u)
        << out;
    EXPECT_EQ(Lumetctl(L"ovpn-up \"" + profile_path_ + L"\"", kPassword, &out), 2u) << out;
}

}  // namespace
}  // namespace lumet::test
