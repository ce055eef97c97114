// The WireGuard tunnel driven through the service's real pipe: OrrinfieldVPNService.exe (in the
// foreground, or registered with the service manager) with the WireGuard simulator beside it.
//
// Every test starts without a tunnel service, configuration file or fault switch, and leaves none
// behind on any path; the service's log must never hold a private key a test sent.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "service/wireguard/adapter_probe.h"
#include "sim/wireguard/sim_faults.h"
#include "support/service_harness.h"
#include "support/wireguard_harness.h"
#include "test_util.h"

namespace lumet::common {
// Readable failure messages (found by argument-dependent lookup).
void PrintTo(const WireGuardStatusRecord& r, std::ostream* os) {
    *os << "{state " << int{r.state} << ", adapter " << r.adapter_present << ", rx " << r.rx_bytes
        << ", tx " << r.tx_bytes << ", handshake " << r.last_handshake_ms << ", error " << r.error
        << "}";
}
}  // namespace lumet::common

namespace lumet::test {
namespace {

using common::MessageType;
using common::Status;
using common::WireGuardStatusRecord;

constexpr DWORD kConnectTimeoutMs = 15000;
// What clients allow a tunnel start.
constexpr DWORD kStartReplyTimeoutMs = 60000;
constexpr wchar_t kAdapterName[] = L"orrinfieldwireguard";

uint16_t Type(MessageType type) {
    return static_cast<uint16_t>(type);
}

std::wstring BinDirectory() {
    return common::Utf8ToWide(ExecutableDir());
}

class ServiceWireGuardTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { PrepareConsoleForCtrlC(); }

    void SetUp() override {
        RemoveTunnelService();
        DeleteFileW(TunnelConfigFilePath().c_str());
        log_path_ = ServiceLogPath();
        ASSERT_FALSE(log_path_.empty());
        log_offset_ = FileSizeOf(log_path_);
        pipe_name_ = ServicePipeNameForThisSession();
        ASSERT_FALSE(pipe_name_.empty());
    }

    void TearDown() override {
        service_.Terminate();
        RemoveTunnelService();
        DeleteFileW(TunnelConfigFilePath().c_str());
        const std::string log = LogSinceStart();
        for (const std::string& key : keys_) {
            EXPECT_EQ(log.find(key), std::string::npos) << "private key in the service log";
        }
    }

    // A private key that TearDown looks for in the log.
    std::string NewKey(const std::string& stem) {
        keys_.push_back(MakeWireGuardKey(stem));
        return keys_.back();
    }

    // Starts the service in the foreground and waits until this instance has logged its start.
    void StartConsoleService(const std::wstring& executable = ServiceExecutablePath()) {
        ChildOptions options;
        options.new_process_group = true;
        service_ = ChildProcess();
        ASSERT_TRUE(service_.Start(executable, L"--console", options)) << GetLastError();
        ASSERT_TRUE(WaitForLog(
            "INFO service starting generation=" + std::to_string(service_.pid()) + "-", 10000));
    }

    void ConnectClient(PipeClient& client) {
        ASSERT_TRUE(client.Connect(pipe_name_, kConnectTimeoutMs)) << GetLastError();
    }

    bool WaitForLog(const std::string& text, DWORD timeout_ms) {
        return WaitForFileText(log_path_, log_offset_, text, timeout_ms);
    }
    std::string LogSinceStart() { return ReadFileFrom(log_path_, log_offset_); }

    // One WireGuard request and its reply; `readable` is false when no reply came.
    WireGuardReply Exchange(PipeClient& client, MessageType type, uint32_t request_id,
                            const std::vector<uint8_t>& body = {}) {
        if (!client.Send(Type(type), request_id, body)) {
            return {};
        }
        const Reply reply = client.Receive(kStartReplyTimeoutMs);
        if (!reply.ok || reply.header.type != Type(type) || reply.header.request_id != request_id) {
            return {};
        }
        return ParseWireGuardReply(reply.body);
    }

    WireGuardReply StartTunnel(PipeClient& client, uint32_t request_id, const std::string& config) {
        return Exchange(client, MessageType::WireGuardStart, request_id,
                        WireGuardStartBody(config));
    }

    ChildProcess service_;
    std::wstring log_path_;
    uint64_t log_offset_ = 0;
    std::wstring pipe_name_;
    std::vector<std::string> keys_;
    SimFaultSwitches faults_;
};

void ExpectTunnelDown(const WireGuardReply& reply, uint16_t error) {
    ASSERT_TRUE(reply.readable);
    EXPECT_EQ(reply.status, Status::Ok);
    WireGuardStatusRecord expected;
    expected.state = 4;
    expected.error = error;
    EXPECT_EQ(reply.record, expected);
}

TEST_F(ServiceWireGuardTest, StartStatusAndStopFollowTheTunnel) {
    StartConsoleService();
    PipeClient client;
    ConnectClient(client);

    const WireGuardReply up =
        StartTunnel(client, 1, WireGuardConfigText(NewKey("E2eStartStopPrivateKey"), 2));
    ASSERT_TRUE(up.readable);
    ASSERT_EQ(up.status, Status::Ok);
    EXPECT_EQ(up.record.state, 2);
    EXPECT_EQ(up.record.error, 0);
    EXPECT_TRUE(up.record.adapter_present);
    // The tunnel service has read the file; the key must not stay on disk while the tunnel runs.
    EXPECT_FALSE(PathExists(TunnelConfigFilePath()));
    const TunnelServiceInfo running = QueryTunnelService();
    EXPECT_TRUE(running.exists);
    EXPECT_EQ(running.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(WaitForLog("INFO wireguard: tunnel orrinfieldwireguard is up", 2000));

    // The counters are the adapter's: a probe of our own falls between two status replies.
    service::wireguard::AdapterProbe probe;
    ASSERT_TRUE(probe.Load(BinDirectory() + L"\\wireguard.dll"));
    Sleep(500);  // counters grow, and the simulated handshake happens 300 ms after the adapter
    const WireGuardReply before = Exchange(client, MessageType::WireGuardStatus, 2);
    const service::wireguard::AdapterSummary seen = probe.Probe(kAdapterName);
    const WireGuardReply after = Exchange(client, MessageType::WireGuardStatus, 3);
    ASSERT_TRUE(before.readable && after.readable);
    ASSERT_TRUE(seen.adapter_present);
    for (const WireGuardReply* status : {&before, &after}) {
        EXPECT_EQ(status->status, Status::Ok);
        EXPECT_EQ(status->record.state, 2);
        EXPECT_TRUE(status->record.adapter_present);
        EXPECT_EQ(status->record.error, 0);
    }
    EXPECT_GT(before.record.rx_bytes, up.record.rx_bytes);
    EXPECT_LE(before.record.rx_bytes, seen.rx_bytes);
    EXPECT_LE(seen.rx_bytes, after.record.rx_bytes);
    EXPECT_GT(before.record.tx_bytes, 0u);
    EXPECT_LE(before.record.tx_bytes, seen.tx_bytes);
    EXPECT_LE(seen.tx_bytes, after.record.tx_bytes);
    EXPECT_EQ(after.record.last_handshake_ms, seen.last_handshake_ms);
    const uint64_t now_ms = UnixTimeMs();
    EXPECT_GT(after.record.last_handshake_ms + 60000, now_ms);
    EXPECT_LE(after.record.last_handshake_ms, now_ms + 1000);

    ExpectTunnelDown(Exchange(client, MessageType::WireGuardStop, 4), 0);
    EXPECT_FALSE(QueryTunnelService().exists);
    EXPECT_FALSE(probe.Probe(kAdapterName).adapter_present);
    ExpectTunnelDown(Exchange(client, MessageType::WireGuardStatus, 5), 0);
    // Nothing left to stop is no failure.
    ExpectTunnelDown(Exchange(client, MessageType::WireGuardStop, 6), 0);
}

// What the tunnel service reads is the service's own rendering, never the text the client sent.
TEST_F(ServiceWireGuardTest, TunnelServiceReadsTheCanonicalRendering) {
    ASSERT_TRUE(faults_.Set(sim::kFaultRecordConfig, 1));
    StartConsoleService();
    PipeClient client;
    ConnectClient(client);
    const std::string key = NewKey("E2eCanonicalBytesPrivateKey");
    const std::string sent =
        "# pasted from the account page\r\n"
        "[INTERFACE]\r\n"
        "  privatekey=" +
        key +
        "   # mine\r\n"
        "Address = 10.77.0.2/32,fd00::2/128\r\n"
        "[peer]\r\n"
        "PUBLICKEY = " +
        MakeWireGuardKey("E2eCanonicalPeer") +
        "\r\n"
        "Endpoint=127.0.0.1:51820\r\n"
        "allowedips = 10.77.0.0/24\r\n"
        "PersistentKeepalive = off\r\n";
    const WireGuardReply up = StartTunnel(client, 1, sent);
    ASSERT_TRUE(up.readable);
    ASSERT_EQ(up.record.error, 0);

    std::string recorded(64 * 1024, '\0');
    DWORD size = static_cast<DWORD>(recorded.size());
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, sim::kFaultKeyPath, sim::kRecordedConfigValue,
                           RRF_RT_REG_BINARY, nullptr, recorded.data(), &size),
              ERROR_SUCCESS);
    recorded.resize(size);
    const std::string expected =
        "[Interface]\n"
        "PrivateKey = " +
        key +
        "\n"
        "Address = 10.77.0.2/32, fd00::2/128\n"
        "\n[Peer]\n"
        "PublicKey = " +
        MakeWireGuardKey("E2eCanonicalPeer") +
        "\n"
        "AllowedIPs = 10.77.0.0/24\n"
        "Endpoint = 127.0.0.1:51820\n"
        "PersistentKeepalive = 0\n";
    EXPECT_EQ(recorded, expected);
    EXPECT_NE(recorded, sent);
    ExpectTunnelDown(Exchange(client, MessageType::WireGuardStop, 2), 0);
}

TEST_F(ServiceWireGuardTest, StartWhileUpReplacesTheTunnel) {
    StartConsoleService();
    PipeClient client;
    ConnectClient(client);

    const WireGuardReply first =
        StartTunnel(client, 1, WireGuardConfigText(NewKey("E2eFirstTunnelKey"), 1));
    ASSERT_TRUE(first.readable);
    ASSERT_EQ(first.record.state, 2);
    const TunnelServiceInfo old_tunnel = QueryTunnelService();
    ASSERT_NE(old_tunnel.pid, 0u);

    const WireGuardReply second =
        StartTunnel(client, 2, WireGuardConfigText(NewKey("E2eSecondTunnelKey"), 2));
    ASSERT_TRUE(second.readable);
    EXPECT_EQ(second.status, Status::Ok);
    EXPECT_EQ(second.record.state, 2);
    EXPECT_EQ(second.record.error, 0);
    const TunnelServiceInfo new_tunnel = QueryTunnelService();
    EXPECT_EQ(new_tunnel.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(new_tunnel.pid, old_tunnel.pid);
    common::UniqueKernelHandle old_process(OpenProcess(SYNCHRONIZE, FALSE, old_tunnel.pid));
    EXPECT_TRUE(!old_process || WaitForSingleObject(old_process.get(), 0) == WAIT_OBJECT_0)
        << "the replaced tunnel process still runs";
    EXPECT_FALSE(PathExists(TunnelConfigFilePath()));
}

TEST_F(ServiceWireGuardTest, RefusedRequestsCreateNothingAndKeepTheConnection) {
    StartConsoleService();
    PipeClient client;
    ConnectClient(client);

    // Valid but peerless: the parser's rejection code is logged, the client only learns "rejected".
    ExpectTunnelDown(StartTunnel(client, 1, WireGuardConfigText(NewKey("E2eRejectedKey"), 0)), 1);
    EXPECT_TRUE(WaitForLog("WARN wireguard: config rejected (code=22)", 2000));

    const struct {
        const char* what;
        std::vector<uint8_t> body;
    } undecodable[] = {
        {"empty body", {}},
        {"half a length", {0x05}},
        {"length beyond the body", {0x05, 0x00, 'a', 'b'}},
        {"length over the string limit", {0x01, 0x80, 'x'}},
    };
    uint32_t request_id = 10;
    for (const auto& c : undecodable) {
        ++request_id;
        ASSERT_TRUE(client.Send(Type(MessageType::WireGuardStart), request_id, c.body));
        const Reply reply = client.Receive(5000);
        ASSERT_TRUE(reply.ok) << c.what;
        EXPECT_EQ(reply.header.request_id, request_id) << c.what;
        EXPECT_EQ(reply.body, (std::vector<uint8_t>{1, 0})) << c.what << ": BadRequest only";
    }
    EXPECT_EQ(client.Call(Type(MessageType::Ping), 99).body, (std::vector<uint8_t>{0, 0}));

    EXPECT_FALSE(QueryTunnelService().exists);
    EXPECT_FALSE(PathExists(TunnelConfigFilePath()));
}

TEST_F(ServiceWireGuardTest, MissingWireGuardExeFailsWithoutTouchingServicesOrDisk) {
    // A copy of the service in a folder of its own, without the simulator beside it.
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder = std::wstring(temp) + L"lumet-wg-noexe-" + UniqueSuffixW();
    const std::wstring copy = folder + L"\\OrrinfieldVPNService.exe";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    common::ScopeExit remove_copy([&] {
        service_.Terminate();
        DeleteFileW(copy.c_str());
        RemoveDirectoryW(folder.c_str());
    });
    ASSERT_TRUE(CopyFileW(ServiceExecutablePath().c_str(), copy.c_str(), FALSE)) << GetLastError();
    // Not even the protected folder may be made before wireguard.exe is known to be there.
    RemoveDirectoryW(TunnelConfigDirectory().c_str());
    ASSERT_FALSE(PathExists(TunnelConfigDirectory()));

    StartConsoleService(copy);
    PipeClient client;
    ConnectClient(client);
    ExpectTunnelDown(StartTunnel(client, 1, WireGuardConfigText(NewKey("E2eNoExeKey"), 1)), 3);
    EXPECT_TRUE(WaitForLog("ERR  wireguard: wireguard.exe not found beside the service", 2000));
    EXPECT_FALSE(QueryTunnelService().exists);
    EXPECT_FALSE(PathExists(TunnelConfigDirectory()));
}

TEST_F(ServiceWireGuardTest, AdapterThatNeverAppearsRemovesTheTunnelService) {
    ASSERT_TRUE(faults_.Set(sim::kFaultNoAdapter, 1));
    StartConsoleService();
    PipeClient client;
    ConnectClient(client);

    const ULONGLONG start = GetTickCount64();
    const WireGuardReply reply =
        StartTunnel(client, 1, WireGuardConfigText(NewKey("E2eNoAdapterKey"), 1));
    const ULONGLONG elapsed = GetTickCount64() - start;
    ExpectTunnelDown(reply, 5);
    EXPECT_GE(elapsed, 14500u);  // thirty probes half a second apart
    EXPECT_LT(elapsed, 30000u);
    EXPECT_TRUE(WaitForLog("ERR  wireguard: adapter orrinfieldwireguard never appeared", 2000));
    EXPECT_FALSE(QueryTunnelService().exists);
    EXPECT_FALSE(PathExists(TunnelConfigFilePath()));
}

TEST_F(ServiceWireGuardTest, TunnelLeftByAPriorRunIsRemovedBeforeTheFirstClient) {
    // What a crashed service leaves: a running tunnel service and its configuration file.
    ASSERT_TRUE(EnsureTunnelConfigDirectory());
    ASSERT_TRUE(
        WriteTextFile(TunnelConfigFilePath(), WireGuardConfigText(NewKey("E2eStaleTunnelKey"), 1)));
    ASSERT_TRUE(CreateAndStartTunnelService(TunnelConfigFilePath()));

    StartConsoleService();
    PipeClient client;
    ConnectClient(client);
    // The pipe is served only after the reconcile, so no waiting here.
    EXPECT_FALSE(QueryTunnelService().exists);
    EXPECT_FALSE(PathExists(TunnelConfigFilePath()));
    EXPECT_NE(LogSinceStart().find("WARN wireguard: reconcile - removing stale "
                                   "WireGuardTunnel$orrinfieldwireguard from a prior run"),
              std::string::npos);
    ExpectTunnelDown(Exchange(client, MessageType::WireGuardStatus, 1), 0);
}

TEST_F(ServiceWireGuardTest, CtrlCLeavesTheTunnelUpForTheNextStartToRemove) {
    StartConsoleService();
    {
        PipeClient client;
        ConnectClient(client);
        const WireGuardReply up =
            StartTunnel(client, 1, WireGuardConfigText(NewKey("E2eCtrlCTunnelKey"), 1));
        ASSERT_TRUE(up.readable);
        ASSERT_EQ(up.record.state, 2);
    }
    const TunnelServiceInfo before = QueryTunnelService();
    ASSERT_TRUE(SendCtrlC(service_)) << GetLastError();
    const std::optional<DWORD> exit_code = service_.WaitForExit(10000);
    ASSERT_TRUE(exit_code.has_value()) << "service still running after Ctrl+C";
    EXPECT_EQ(*exit_code, 0u);

    const TunnelServiceInfo after = QueryTunnelService();
    EXPECT_EQ(after.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(after.pid, before.pid);
    EXPECT_EQ(LogSinceStart().find("wireguard: reconcile"), std::string::npos);

    StartConsoleService();
    PipeClient client;
    ConnectClient(client);
    EXPECT_FALSE(QueryTunnelService().exists);
    EXPECT_NE(LogSinceStart().find("WARN wireguard: reconcile - removing stale"),
              std::string::npos);
}

// The service registered with the service manager: its stop takes the tunnel down first.
class ScmServiceWireGuardTest : public ServiceWireGuardTest {
  protected:
    static constexpr wchar_t kServiceName[] = L"OrrinfieldVPNService";

    void SetUp() override {
        ServiceWireGuardTest::SetUp();
        manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_) << GetLastError();
        RemoveRegisteredService();
    }

    void TearDown() override {
        RemoveRegisteredService();
        ServiceWireGuardTest::TearDown();
    }

    DWORD WaitForState(DWORD wanted, DWORD limit_ms) {
        return WaitForScmState(service_handle_.get(), wanted, limit_ms);
    }

    void RemoveRegisteredService() {
        service_handle_.reset(OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service_handle_) {
            return;
        }
        SERVICE_STATUS status = {};
        ControlService(service_handle_.get(), SERVICE_CONTROL_STOP, &status);
        WaitForState(SERVICE_STOPPED, 20000);
        DeleteService(service_handle_.get());
        service_handle_.reset();
    }

    common::UniqueServiceHandle manager_;
    common::UniqueServiceHandle service_handle_;
};

TEST_F(ScmServiceWireGuardTest, ServiceStopTakesTheTunnelDown) {
    const std::wstring binary = L"\"" + ServiceExecutablePath() + L"\"";
    service_handle_.reset(CreateServiceW(
        manager_.get(), kServiceName, L"Orrinfield VPN Service (WireGuard test)",
        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
        binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service_handle_) << GetLastError();
    ASSERT_TRUE(StartServiceW(service_handle_.get(), 0, nullptr)) << GetLastError();
    ASSERT_EQ(WaitForState(SERVICE_RUNNING, 10000), static_cast<DWORD>(SERVICE_RUNNING));

    {
        PipeClient client;
        ConnectClient(client);
        const WireGuardReply up =
            StartTunnel(client, 1, WireGuardConfigText(NewKey("E2eScmStopTunnelKey"), 1));
        ASSERT_TRUE(up.readable);
        ASSERT_EQ(up.record.state, 2);
        ASSERT_TRUE(QueryTunnelService().exists);
    }

    SERVICE_STATUS stopping = {};
    ASSERT_TRUE(ControlService(service_handle_.get(), SERVICE_CONTROL_STOP, &stopping))
        << GetLastError();
    ASSERT_EQ(WaitForState(SERVICE_STOPPED, 20000), static_cast<DWORD>(SERVICE_STOPPED));
    // Taken down before the server was told to stop, so already gone when the service is.
    EXPECT_FALSE(QueryTunnelService().exists);
    EXPECT_FALSE(PathExists(TunnelConfigFilePath()));
    EXPECT_TRUE(WaitForLog("INFO service stopped cleanly", 2000));
}

}  // namespace
}  // namespace lumet::test
