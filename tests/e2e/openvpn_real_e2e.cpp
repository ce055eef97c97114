// OpenVPN end to end against Debian's real OpenVPN 2.6: the plugin loaded into an engine, the
// agent it starts, the real service in the foreground, the interactive-service simulator under the
// service manager, and, in place of the openvpn.exe simulator, the bridge that runs the Linux
// program. The server is a real OpenVPN on 127.0.0.1 that checks user name and password with a
// script and pushes no routes; no test sends anything into the tunnel.
//
// Run only through scripts/wine-openvpn-real.sh, which puts every process into a network namespace
// of its own, makes the PKI and the server and tells the test where they are.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/utf.h"
#include "plugin/host_api.h"
#include "service/openvpn_install_for_testing_win.h"
#include "support/agent_harness.h"
#include "support/openvpn_harness.h"
#include "support/plugin_harness.h"
#include "support/service_harness.h"

namespace lumet::test {
namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
namespace lv = lumet_windows_vpn;

// The agent gives up on an attempt that has not reached CONNECTED after this long (its own
// default is a minute; a silent server is what the test wants to see end).
constexpr wchar_t kConnectTimeoutMs[] = L"8000";

std::string Env(const char* name) {
    char buffer[1024] = {};
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    return n > 0 && n < sizeof(buffer) ? std::string(buffer, n) : std::string();
}

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// A Unix path as Wine's Z: drive shows it.
std::wstring DosPath(const std::string& unix_path) {
    std::wstring path = L"Z:" + Wide(unix_path);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

// Linux OpenVPN clients the bridge started (the server has no --management).
int LinuxOpenVpnClients() {
    int count = 0;
    for (const test::DirectoryEntry& entry : test::ListDirectory(L"Z:\\proc")) {
        if (entry.name.empty() || entry.name[0] < L'0' || entry.name[0] > L'9') {
            continue;
        }
        const std::string cmdline = ReadWholeFile(L"Z:\\proc\\" + entry.name + L"\\cmdline");
        if (cmdline.rfind("/usr/sbin/openvpn", 0) == 0 &&
            cmdline.find(std::string("--management\0", 13)) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

std::optional<lv::LumetOpenVpnStatus> StatusOf(const HostAnswer& answer) {
    const auto* status = answer.ok ? CustomAs<lv::LumetOpenVpnStatus>(answer.value) : nullptr;
    return status ? std::optional<lv::LumetOpenVpnStatus>(*status) : std::nullopt;
}

class RealOpenVpnTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Inherited by the agents the plugin starts.
        SetEnvironmentVariableW(L"ORRINFIELD_AGENT_IDLE_SECONDS", L"10");
        SetEnvironmentVariableW(L"ORRINFIELD_AGENT_OPENVPN_CONNECT_TIMEOUT_MS", kConnectTimeoutMs);
    }

    void SetUp() override {
        directory_ = Env("ORRINFIELD_REAL_OPENVPN_DIR");
        if (directory_.empty()) {
            GTEST_SKIP() << "run through scripts/wine-openvpn-real.sh (a namespace with a real "
                            "OpenVPN server)";
        }
        user_ = Env("ORRINFIELD_REAL_OPENVPN_USER");
        password_ = Env("ORRINFIELD_REAL_OPENVPN_PASSWORD");
        ca_ = ReadWholeFile(DosPath(directory_ + "/pki/ca.crt"));
        ASSERT_FALSE(ca_.empty());
        ASSERT_FALSE(user_.empty());
        ASSERT_FALSE(password_.empty());
        EndAgentProcesses();
        EndOpenVpnProcesses();
        plugin_log_offset_ = FileSizeOf(PluginLogPath());
        agent_log_offset_ = FileSizeOf(AgentLogPath());
        service_log_offset_ = FileSizeOf(ServiceLogPath());
        ASSERT_TRUE(install_.Install());
        ASSERT_TRUE(exe_path_.ok());
        ASSERT_TRUE(switches_.Set(L"OpenVpnExe", bridge_));
        ASSERT_TRUE(switches_.Set(L"BridgeLog", DosPath(directory_ + "/bridge.log")));
        ASSERT_TRUE(interactive_.Install());
        ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
        ASSERT_TRUE(host_.Load(PluginDllPath()));
    }

    void TearDown() override {
        if (directory_.empty()) {
            return;
        }
        host_.Destroy();
        EndAgentProcesses();
        EndOpenVpnProcesses();
        service_.Terminate();
        interactive_.Remove();
        // No credential, profile text or management password may reach any log.
        const std::pair<const char*, std::string> logs[] = {
            {"plugin", ReadFileFrom(PluginLogPath(), plugin_log_offset_)},
            {"agent", ReadFileFrom(AgentLogPath(), agent_log_offset_)},
            {"service", ReadFileFrom(ServiceLogPath(), service_log_offset_)}};
        const std::string ca_body = ca_.substr(ca_.find('\n') + 1, 40);
        for (const auto& [name, log] : logs) {
            SCOPED_TRACE(name);
            for (const std::string& secret :
                 {user_, password_, std::string(kWrongPassword), ca_body}) {
                EXPECT_EQ(log.find(secret), std::string::npos) << secret;
            }
        }
        EXPECT_TRUE(FileNamesIn(install_.staging_dir).empty());
    }

    std::string Profile(const std::string& port) const {
        return "client\n"
               "dev tun\n"
               "proto udp\n"
               "remote 127.0.0.1 " +
               port +
               "\n"
               "nobind\n"
               "remote-cert-tls server\n"
               "data-ciphers AES-256-GCM:AES-128-GCM\n"
               "verb 3\n"
               "auth-user-pass\n"
               "<ca>\n" +
               ca_ + "</ca>\n";
    }

    std::optional<lv::LumetOpenVpnStatus> Call(const std::string& method,
                                               const EncodableValue& message = EncodableValue()) {
        const HostAnswer answer = host_.Call(method, message, 30000);
        EXPECT_TRUE(answer.ok) << method << ": " << answer.code;
        return StatusOf(answer);
    }

    std::optional<lv::LumetOpenVpnStatus> Start(const std::string& port,
                                                const std::string& password) {
        return Call("startOpenVpn",
                    EncodableValue(EncodableList{EncodableValue(Profile(port)),
                                                 EncodableValue(user_), EncodableValue(password)}));
    }

    std::optional<lv::LumetOpenVpnStatus> StatusUntil(
        const std::function<bool(const lv::LumetOpenVpnStatus&)>& done, DWORD wait_ms) {
        const ULONGLONG deadline = GetTickCount64() + wait_ms;
        std::optional<lv::LumetOpenVpnStatus> status = Call("getOpenVpnStatus");
        while ((!status || !done(*status)) && GetTickCount64() < deadline) {
            Sleep(100);
            status = Call("getOpenVpnStatus");
        }
        return status;
    }

    // Whether a bridge's private folder (it holds the management password file for a moment)
    // exists in the temporary folder of this process or of the services.
    static bool BridgeFolderExists() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        for (const std::wstring& folder :
             {std::wstring(temp), std::wstring(L"C:\\windows\\temp\\")}) {
            if (!test::ListDirectory(folder, L"openvpn-bridge-*").empty()) {
                return true;
            }
        }
        return false;
    }

    // No bridge, no Linux OpenVPN client, no bridge folder is left.
    static bool NothingRuns(DWORD wait_ms) {
        return WaitUntil(
            [] {
                return OpenVpnProcessIds().empty() && LinuxOpenVpnClients() == 0 &&
                       !BridgeFolderExists();
            },
            wait_ms);
    }

    static constexpr char kWrongPassword[] = "Real-Wr0ngPass-q8Vz3Lk";

    const std::wstring bridge_ = BinFilePath(L"real-openvpn\\openvpn.exe");
    std::string directory_;
    std::string user_;
    std::string password_;
    std::string ca_;
    service::testing_support::OpenVpnInstallForTesting install_;
    OpenVpnExePathSetting exe_path_{bridge_};
    OpenVpnSimSwitches switches_;
    InteractiveServiceSim interactive_;
    ChildProcess service_;
    PluginHost host_;
    uint64_t plugin_log_offset_ = 0;
    uint64_t agent_log_offset_ = 0;
    uint64_t service_log_offset_ = 0;
};

TEST_F(RealOpenVpnTest, ConnectsCountsBytesAndDisconnectEndsTheProcess) {
    const auto started = Start(Env("ORRINFIELD_REAL_OPENVPN_PORT"), password_);
    ASSERT_TRUE(started);
    ASSERT_TRUE(started->active());
    ASSERT_EQ(started->error(), lv::LumetOpenVpnErrorKind::kNone);
    // OpenVPN reports byte counts every 5 s once asked.
    const auto connected = StatusUntil(
        [](const auto& s) {
            return !s.active() ||
                   (s.state() == lv::LumetOpenVpnState::kConnected && s.bytes_in() > 0);
        },
        25000);
    ASSERT_TRUE(connected);
    ASSERT_EQ(connected->state(), lv::LumetOpenVpnState::kConnected)
        << "error " << static_cast<int>(connected->error());
    EXPECT_TRUE(connected->active());
    EXPECT_EQ(connected->error(), lv::LumetOpenVpnErrorKind::kNone);
    EXPECT_GT(connected->bytes_in(), 0);
    EXPECT_GT(connected->bytes_out(), 0);
    EXPECT_GT(connected->connected_since_ms(), 0);
    EXPECT_EQ(OpenVpnProcessIds().size(), 1u);
    EXPECT_EQ(LinuxOpenVpnClients(), 1);
    EXPECT_TRUE(BridgeFolderExists());
    // Once connected the profile is no longer staged.
    EXPECT_TRUE(WaitUntil([&] { return FileNamesIn(install_.staging_dir).empty(); }, 3000));

    const auto stopped = Call("stopOpenVpn");
    ASSERT_TRUE(stopped);
    EXPECT_FALSE(stopped->active());
    EXPECT_EQ(stopped->error(), lv::LumetOpenVpnErrorKind::kNone);
    EXPECT_TRUE(NothingRuns(10000));
    EXPECT_TRUE(FileNamesIn(install_.staging_dir).empty());
}

TEST_F(RealOpenVpnTest, WrongPasswordIsAuthFailedWithinSeconds) {
    const ULONGLONG started_at = GetTickCount64();
    const auto started = Start(Env("ORRINFIELD_REAL_OPENVPN_PORT"), kWrongPassword);
    ASSERT_TRUE(started);
    ASSERT_TRUE(started->active());
    const auto ended = StatusUntil([](const auto& s) { return !s.active(); }, 20000);
    ASSERT_TRUE(ended);
    EXPECT_FALSE(ended->active());
    EXPECT_EQ(ended->error(), lv::LumetOpenVpnErrorKind::kAuthFailed);
    EXPECT_LT(GetTickCount64() - started_at, 6000u);
    EXPECT_TRUE(NothingRuns(10000));
}

TEST_F(RealOpenVpnTest, SilentServerEndsInTheConnectTimeOut) {
    const ULONGLONG started_at = GetTickCount64();
    const auto started = Start(Env("ORRINFIELD_REAL_OPENVPN_SILENT_PORT"), password_);
    ASSERT_TRUE(started);
    ASSERT_TRUE(started->active());
    const auto ended = StatusUntil([](const auto& s) { return !s.active(); }, 30000);
    ASSERT_TRUE(ended);
    EXPECT_FALSE(ended->active());
    EXPECT_EQ(ended->error(), lv::LumetOpenVpnErrorKind::kTunnelTimeout);
    EXPECT_GE(GetTickCount64() - started_at, 8000u);
    EXPECT_TRUE(NothingRuns(10000));
}

}  // namespace
}  // namespace lumet::test
