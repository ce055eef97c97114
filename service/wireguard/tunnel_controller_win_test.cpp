// Drives the tunnel controller against the real service manager and the WireGuard simulator
// (wireguard.exe and wireguard.dll in the build's bin folder). Every test leaves no tunnel service,
// no configuration file and no simulator fault switch behind.
#include "service/wireguard/tunnel_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/log_for_testing.h"
#include "common/win_handle.h"
#include "common/wine.h"
#include "common/utf.h"
#include "sim/wireguard/sim_faults.h"
#include "tests/support/test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/scm_test_util.h"
#include "tests/support/win_test_util.h"

namespace lumet::service::wireguard {
namespace {

using common::WireGuardStatusRecord;
using namespace std::chrono_literals;

constexpr wchar_t kHelperSwitch[] = L"--run-as-stubborn-tunnel-service";

// A canonical 32-byte key (the 43rd character's value is a multiple of 4) that is easy to find.
std::string MakeKey(std::string_view stem) {
    std::string key(stem);
    key.resize(43, 'A');
    return key + "=";
}

const std::string kPrivateKey = MakeKey("TunnelTestPrivateKeyMustNeverBeLogged");

std::string ConfigText(int peers) {
    std::string text = "[Interface]\nPrivateKey = " + kPrivateKey + "\nAddress = 10.9.0.2/32\n";
    for (int i = 0; i < peers; ++i) {
        text += "\n[Peer]\nPublicKey = " + MakeKey("PeerKey" + std::to_string(i)) +
                "\nAllowedIPs = 10.9." + std::to_string(i + 1) +
                ".0/24\nEndpoint = 192.0.2.1:5182" + std::to_string(i) + "\n";
    }
    return text;
}

std::wstring ConfigDirectory() {
    return test::ProgramDataFolder() + L"\\Orrinfield\\vpn\\wireguard";
}
std::wstring ConfigFilePath() {
    return ConfigDirectory() + L"\\orrinfieldwireguard.conf";
}
std::wstring BinDirectory() {
    return common::Utf8ToWide(test::ExecutableDir());
}

using common::UniqueHandle;
using common::UniqueServiceHandle;
using test::MakeDirectoryLink;
using test::MakeTempDirectory;
using test::PathExists;
using test::RemoveLink;
using test::UnixPath;
using test::WaitUntil;

// Tunnel service state, 0 when the service does not exist; `pid` gets its process id.
DWORD TunnelServiceState(DWORD* pid = nullptr) {
    return test::ScmStateByName(kTunnelServiceName, pid);
}

bool TunnelServiceExists() {
    return test::OpenServiceByName(kTunnelServiceName, SERVICE_QUERY_STATUS).valid();
}

// Test-side removal, independent of the controller, with bounded waits.
void RemoveTunnelService() {
    test::RemoveServiceByName(kTunnelServiceName, 8000);
}

// Creates the tunnel service directly, as an earlier run of the service would have left it.
bool CreateTunnelServiceDirectly(const std::wstring& binary_path, bool start) {
    return test::CreateTestService(kTunnelServiceName, kTunnelDisplayName, binary_path, start,
                                   10000)
        .valid();
}

void WriteTextFile(const std::wstring& path, const std::string& text) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()),
                                  &written, nullptr));
}

std::string ReadTextFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    char chunk[8192];
    DWORD got = 0;
    while (file && ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    return text;
}

void SetSimFault(const wchar_t* name, DWORD value) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, sim::kFaultKeyPath, name, REG_DWORD, &value,
                              sizeof(value)),
              ERROR_SUCCESS);
}

void ClearSimFaults() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, sim::kFaultKeyPath);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, sim::kFaultKeyPath);
}

using test::ListDirectory;

TunnelControllerOptions FastOptions() {
    TunnelControllerOptions options;
    options.waits.stop_timeout_ms = 8000;
    options.waits.running_timeout_ms = 8000;
    options.waits.adapter_attempts = 6;
    options.waits.adapter_poll_ms = 100;
    return options;
}

using lumet::test::LogCapture;

class TunnelControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(PathExists(BinDirectory() + L"\\wireguard.exe"))
            << "the WireGuard simulator must be built into the bin folder";
        common::SetLogName(L"service-tunnel-test");
        marker_ = "tunnel test marker " + test::UniqueSuffix() + " |";
        common::LogLine(common::LogLevel::Info, common::Utf8ToWide(marker_));
        Clean();
    }
    void TearDown() override { Clean(); }

    void Clean() {
        RemoveTunnelService();
        SetFileAttributesW(ConfigFilePath().c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(ConfigFilePath().c_str());
        ClearSimFaults();
    }

    // What this test has logged so far, whichever log file the process writes.
    std::string LogSinceSetUp() const {
        const std::wstring logs = test::ProgramDataFolder() + L"\\Orrinfield\\vpn\\logs";
        for (const test::DirectoryEntry& entry : ListDirectory(logs, L"*.log")) {
            const std::string text = ReadTextFile(logs + L"\\" + entry.name);
            const size_t at = text.rfind(marker_);
            if (at != std::string::npos) {
                return text.substr(at);
            }
        }
        return std::string();
    }

    std::unique_ptr<WireGuardTunnelController> MakeController(
        TunnelControllerOptions options = FastOptions()) {
        return std::make_unique<WireGuardTunnelController>(BinDirectory(), std::move(options));
    }

    std::string marker_;
};

TEST_F(TunnelControllerTest, StartBringsTheTunnelUpAndStopTakesItDown) {
    auto controller = MakeController();
    WireGuardStatusRecord record;
    const std::string config = ConfigText(1);
    ASSERT_EQ(controller->Start(config, &record), TunnelOk);
    EXPECT_EQ(record.state, TunnelStateUp);
    EXPECT_EQ(record.error, TunnelOk);
    EXPECT_TRUE(record.adapter_present);

    // The tunnel runs on without the file that held its private key.
    EXPECT_EQ(TunnelServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(PathExists(ConfigFilePath()));

    WireGuardStatusRecord first;
    controller->QueryStatus(&first);
    EXPECT_EQ(first.state, TunnelStateUp);
    EXPECT_TRUE(first.adapter_present);
    WireGuardStatusRecord later;
    ASSERT_TRUE(WaitUntil(
        [&] {
            controller->QueryStatus(&later);
            return later.rx_bytes > first.rx_bytes && later.tx_bytes > first.tx_bytes &&
                   later.last_handshake_ms != 0;
        },
        5s));
    // A handshake time in ms since 1970, not in 100-ns units since 1601.
    EXPECT_GT(later.last_handshake_ms, 1600000000000ull);
    EXPECT_LT(later.last_handshake_ms, 4100000000000ull);

    EXPECT_EQ(controller->Stop(&record), TunnelOk);
    EXPECT_EQ(record, (WireGuardStatusRecord{TunnelStateAbsent, false, 0, 0, 0, TunnelOk}));
    EXPECT_FALSE(TunnelServiceExists());
    controller->QueryStatus(&record);
    EXPECT_EQ(record.state, TunnelStateAbsent);
    EXPECT_FALSE(record.adapter_present);
    // Stopping again, with no tunnel left, is no error.
    record.rx_bytes = 99;
    EXPECT_EQ(controller->Stop(&record), TunnelOk);
    EXPECT_EQ(record, (WireGuardStatusRecord{TunnelStateAbsent, false, 0, 0, 0, TunnelOk}));

    const std::string log = LogSinceSetUp();
    EXPECT_NE(log.find("INFO wireguard: tunnel orrinfieldwireguard is up"), std::string::npos);
    // Wine's service manager lacks the SID setting; the one tolerated failure is logged.
    EXPECT_NE(log.find("WARN wireguard: set SERVICE_SID_TYPE_UNRESTRICTED is not supported under "
                       "Wine -> ignored (win32=124)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find(kPrivateKey), std::string::npos);
    EXPECT_EQ(log.find(kPrivateKey.substr(0, 20)), std::string::npos);
}

TEST_F(TunnelControllerTest, StartWhileUpReplacesTheTunnel) {
    auto controller = MakeController();
    WireGuardStatusRecord record;
    ASSERT_EQ(controller->Start(ConfigText(1), &record), TunnelOk);
    DWORD first_pid = 0;
    ASSERT_EQ(TunnelServiceState(&first_pid), static_cast<DWORD>(SERVICE_RUNNING));

    ASSERT_EQ(controller->Start(ConfigText(2), &record), TunnelOk);
    EXPECT_EQ(record.state, TunnelStateUp);
    DWORD second_pid = 0;
    EXPECT_EQ(TunnelServiceState(&second_pid), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(second_pid, first_pid);
    EXPECT_FALSE(PathExists(ConfigFilePath()));
}

TEST_F(TunnelControllerTest, RejectedConfigurationCreatesNothing) {
    auto controller = MakeController();
    WireGuardStatusRecord record;
    const std::string no_peer =
        "[Interface]\nPrivateKey = " + kPrivateKey + "\nAddress = 10.9.0.2/32\n";
    EXPECT_EQ(controller->Start(no_peer, &record), TunnelConfigRejected);
    EXPECT_EQ(record,
              (WireGuardStatusRecord{TunnelStateAbsent, false, 0, 0, 0, TunnelConfigRejected}));
    EXPECT_FALSE(TunnelServiceExists());
    EXPECT_FALSE(PathExists(ConfigFilePath()));
    const std::string log = LogSinceSetUp();
    EXPECT_NE(log.find("WARN wireguard: config rejected (code=22)"), std::string::npos) << log;
    EXPECT_EQ(log.find(kPrivateKey), std::string::npos);
}

TEST_F(TunnelControllerTest, MissingWireGuardExeTouchesNeitherServicesNorFiles) {
    // A tunnel service from an earlier run shows whether the start reached the service manager.
    ASSERT_TRUE(CreateTunnelServiceDirectly(L"\"C:\\nowhere\\wireguard.exe\"", /*start=*/false));
    const std::wstring empty_dir = MakeTempDirectory(L"lumet-no-wireguard-");
    WireGuardTunnelController controller(empty_dir, FastOptions());
    WireGuardStatusRecord record;
    EXPECT_EQ(controller.Start(ConfigText(1), &record), TunnelSetupFailed);
    EXPECT_EQ(record,
              (WireGuardStatusRecord{TunnelStateAbsent, false, 0, 0, 0, TunnelSetupFailed}));
    EXPECT_TRUE(TunnelServiceExists());
    EXPECT_FALSE(PathExists(ConfigFilePath()));
    EXPECT_NE(LogSinceSetUp().find("ERR  wireguard: wireguard.exe not found beside the service"),
              std::string::npos);
    // A tunnel service without its adapter reads as state 1.
    controller.QueryStatus(&record);
    EXPECT_EQ(record, (WireGuardStatusRecord{TunnelStateNoAdapter, false, 0, 0, 0, TunnelOk}));
    RemoveDirectoryW(empty_dir.c_str());
}

TEST_F(TunnelControllerTest, AdapterThatNeverAppearsRemovesTheTunnelService) {
    SetSimFault(sim::kFaultNoAdapter, 1);
    auto controller = MakeController();
    WireGuardStatusRecord record;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(controller->Start(ConfigText(1), &record), TunnelAdapterMissing);
    // Every probe attempt was waited out before giving up.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 600ms);
    EXPECT_EQ(record,
              (WireGuardStatusRecord{TunnelStateAbsent, false, 0, 0, 0, TunnelAdapterMissing}));
    EXPECT_FALSE(TunnelServiceExists());
    EXPECT_FALSE(PathExists(ConfigFilePath()));
    EXPECT_NE(LogSinceSetUp().find("ERR  wireguard: adapter orrinfieldwireguard never appeared"),
              std::string::npos);
}

// What would be lost without anyone noticing: how the tunnel service is registered, and the
// descriptor that keeps everyone but LocalSystem and Administrators away from the private key.
TEST_F(TunnelControllerTest, StartRegistersAndProtectsAsIntended) {
    std::vector<std::pair<std::wstring, std::wstring>> protected_paths;
    TunnelControllerOptions options = FastOptions();
    options.observe_protection = [&](std::wstring_view path, std::wstring_view sddl) {
        protected_paths.emplace_back(path, sddl);
    };
    auto controller = MakeController(std::move(options));
    WireGuardStatusRecord record;
    ASSERT_EQ(controller->Start(ConfigText(1), &record), TunnelOk);

    const std::wstring protected_sddl = L"O:BAG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)";
    ASSERT_EQ(protected_paths.size(), 2u);
    EXPECT_EQ(protected_paths[0], std::make_pair(ConfigDirectory(), protected_sddl));
    EXPECT_EQ(protected_paths[1], std::make_pair(ConfigFilePath(), protected_sddl));

    UniqueServiceHandle service = test::OpenServiceByName(kTunnelServiceName, SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(service.valid()) << GetLastError();
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, needed, &needed)) << GetLastError();
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName),
              BuildTunnelCommandLine(BinDirectory() + L"\\wireguard.exe", ConfigFilePath()));
    EXPECT_EQ(std::wstring(config->lpDisplayName), kTunnelDisplayName);
    EXPECT_EQ(_wcsicmp(config->lpServiceStartName, L"LocalSystem"), 0)
        << config->lpServiceStartName;
    // Wine's QueryServiceConfigW lists no dependencies although it stores them; the service
    // manager's own registry entry holds them on both.
    std::wstring dependencies;
    for (const wchar_t* p = config->lpDependencies; p != nullptr && *p != L'\0';
         p += wcslen(p) + 1) {
        dependencies += std::wstring(p) + L";";
    }
    wchar_t stored[64] = {};
    DWORD stored_size = sizeof(stored);
    ASSERT_EQ(
        RegGetValueW(
            HKEY_LOCAL_MACHINE,
            (std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + kTunnelServiceName).c_str(),
            L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, stored, &stored_size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(stored, stored_size / sizeof(wchar_t)),
              std::wstring(kTunnelDependencies, 11));
    if (!common::RunningUnderWine()) {
        EXPECT_EQ(dependencies, L"Nsi;TcpIp;");
    }

    needed = 0;
    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> description_buffer(needed);
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description_buffer.data());
    ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION,
                                     description_buffer.data(), needed, &needed))
        << GetLastError();
    EXPECT_EQ(std::wstring(description->lpDescription), kTunnelDescription);
    EXPECT_EQ(controller->Stop(&record), TunnelOk);
}

// The file that held the private key could not be removed: that must not pass unseen.
TEST_F(TunnelControllerTest, FailedSecureDeleteIsLoggedAtWarn) {
    CreateDirectoryW((test::ProgramDataFolder() + L"\\Orrinfield").c_str(), nullptr);
    CreateDirectoryW((test::ProgramDataFolder() + L"\\Orrinfield\\vpn").c_str(), nullptr);
    CreateDirectoryW(ConfigDirectory().c_str(), nullptr);
    WriteTextFile(ConfigFilePath(), ConfigText(1));
    {
        // Held open without sharing, the file can be neither overwritten nor deleted.
        UniqueHandle held(CreateFileW(ConfigFilePath().c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held.valid()) << GetLastError();
        auto controller = MakeController();
        WireGuardStatusRecord record;
        static_cast<void>(controller->Stop(&record));
        EXPECT_TRUE(PathExists(ConfigFilePath()));
        EXPECT_NE(LogSinceSetUp().find("WARN wireguard: secure delete of the config file failed "
                                       "(win32=32)"),
                  std::string::npos)
            << LogSinceSetUp();
    }
}

TEST_F(TunnelControllerTest, TunnelServiceThatNeverRunsIsRemoved) {
    SetSimFault(sim::kFaultExitBeforeRunning, 1);
    auto controller = MakeController();
    WireGuardStatusRecord record;
    EXPECT_EQ(controller->Start(ConfigText(1), &record), TunnelStartFailed);
    EXPECT_EQ(record.state, TunnelStateAbsent);
    EXPECT_TRUE(WaitUntil([] { return !TunnelServiceExists(); }, 5s));
    EXPECT_FALSE(PathExists(ConfigFilePath()));
    // A service that stops inside its start races StartService: the call succeeds and the
    // controller then sees STOPPED, or, when the process has already ended, it fails with 1053
    // (Wine answers either way, now and then the second). Both are logged with their cause.
    const std::string log = LogSinceSetUp();
    EXPECT_TRUE(log.find("ERR  wireguard: tunnel service did not reach RUNNING") !=
                    std::string::npos ||
                log.find("ERR  wireguard: StartService failed (win32=1053)") != std::string::npos)
        << log;
}

// A tunnel service still START_PENDING when the controller gives up refuses STOP (1061 on
// Windows). The controller waits for the start to end, then stops and deletes it, so nothing is
// left running or registered and the start reports its own failure.
TEST_F(TunnelControllerTest, StartThatOutlastsTheWaitIsStoppedOnceItEnds) {
    SetSimFault(sim::kFaultStartDelayMs, 2500);
    TunnelControllerOptions options = FastOptions();
    options.waits.running_timeout_ms = 1200;
    auto controller = MakeController(options);
    WireGuardStatusRecord record;
    EXPECT_EQ(controller->Start(ConfigText(1), &record), TunnelStartFailed);
    EXPECT_EQ(record,
              (WireGuardStatusRecord{TunnelStateAbsent, false, 0, 0, 0, TunnelStartFailed}));
    EXPECT_FALSE(TunnelServiceExists());
    EXPECT_FALSE(PathExists(ConfigFilePath()));
    // No tunnel runs on once the start has ended.
    AdapterProbe probe;
    ASSERT_TRUE(probe.Load(BinDirectory() + L"\\wireguard.dll"));
    EXPECT_FALSE(probe.Probe(kTunnelAdapterName).adapter_present);
    EXPECT_EQ(TunnelServiceState(), 0u);
    const std::string log = LogSinceSetUp();
    EXPECT_NE(log.find("INFO wireguard: tunnel service was still starting; stopped once its start "
                       "ended"),
              std::string::npos)
        << log;
}

// A start that never ends within the controller's waits cannot be stopped: the result says so
// instead of claiming that nothing is left.
TEST_F(TunnelControllerTest, StartStuckPastEveryWaitReportsTheServiceLeftBehind) {
    SetSimFault(sim::kFaultStayStartPending, 1);
    TunnelControllerOptions options = FastOptions();
    options.waits.running_timeout_ms = 800;
    options.waits.stop_timeout_ms = 1000;
    auto controller = MakeController(options);
    WireGuardStatusRecord record;
    LogCapture capture;
    EXPECT_EQ(controller->Start(ConfigText(1), &record), TunnelStopIncomplete);
    // The cause is logged once, by name and with the error Windows gives a STOP now.
    EXPECT_EQ(capture.LinesContaining(L"WARN wireguard: tunnel service still starting, it refuses "
                                      L"to stop -> left marked for deletion -> "
                                      L"TunnelStopIncomplete (win32=1061)"),
              1u);
    EXPECT_EQ(record,
              (WireGuardStatusRecord{TunnelStateNoAdapter, false, 0, 0, 0, TunnelStopIncomplete}));
    EXPECT_FALSE(PathExists(ConfigFilePath()));
    const std::string log = LogSinceSetUp();
    EXPECT_NE(log.find("WARN wireguard: tunnel service still starting, it refuses to stop"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("ERR  wireguard: failed start left the tunnel service behind"),
              std::string::npos);
    // Once the stuck start gives up, the next stop removes what is left.
    EXPECT_TRUE(WaitUntil([] { return TunnelServiceState() != SERVICE_START_PENDING; },
                          std::chrono::milliseconds(sim::kStuckPendingLimitMs + 3000)));
    EXPECT_EQ(controller->Stop(&record), TunnelOk);
    EXPECT_FALSE(TunnelServiceExists());
}

TEST_F(TunnelControllerTest, ReconcileRemovesATunnelFromAnEarlierRun) {
    const std::wstring dir = MakeTempDirectory(L"lumet-stale-tunnel-");
    const std::wstring stale_config = dir + L"\\orrinfieldwireguard.conf";
    WriteTextFile(stale_config, ConfigText(1));
    ASSERT_TRUE(CreateTunnelServiceDirectly(
        BuildTunnelCommandLine(BinDirectory() + L"\\wireguard.exe", stale_config), true));
    // A configuration file left by a crash in the middle of a start.
    CreateDirectoryW((test::ProgramDataFolder() + L"\\Orrinfield").c_str(), nullptr);
    CreateDirectoryW((test::ProgramDataFolder() + L"\\Orrinfield\\vpn").c_str(), nullptr);
    CreateDirectoryW(ConfigDirectory().c_str(), nullptr);
    WriteTextFile(ConfigFilePath(), ConfigText(1));

    auto controller = MakeController();
    WireGuardStatusRecord record;
    controller->QueryStatus(&record);
    EXPECT_EQ(record.state, TunnelStateUp);

    controller->Reconcile();
    EXPECT_FALSE(TunnelServiceExists());
    EXPECT_FALSE(PathExists(ConfigFilePath()));
    controller->QueryStatus(&record);
    EXPECT_EQ(record.state, TunnelStateAbsent);
    EXPECT_NE(LogSinceSetUp().find("WARN wireguard: reconcile - removing stale "
                                   "WireGuardTunnel$orrinfieldwireguard from a prior run"),
              std::string::npos);
    DeleteFileW(stale_config.c_str());
    RemoveDirectoryW(dir.c_str());
}

// The controller is held by a start (inside its service-manager steps) while other threads call.
TEST_F(TunnelControllerTest, StartWhileAnotherOperationRunsIsBusyAtOnce) {
    std::unique_ptr<WireGuardTunnelController> controller;
    // Declared after the controller so that they finish before it goes away; joined after the
    // first start returns, so that a start that wrongly waited for the lock cannot hang the test.
    std::future<TunnelError> second;
    std::future<void> query;
    WireGuardStatusRecord busy_record;
    bool busy_in_time = false;
    bool query_waited = false;
    WireGuardStatusRecord query_record;

    TunnelControllerOptions options = FastOptions();
    std::atomic<bool> seam_used{false};
    options.set_service_sid_type = [&](void*, uint32_t) -> uint32_t {
        if (seam_used.exchange(true)) {
            return ERROR_SUCCESS;  // the second start, should it ever get this far
        }
        second = std::async(std::launch::async,
                            [&] { return controller->Start(ConfigText(1), &busy_record); });
        busy_in_time = second.wait_for(2s) == std::future_status::ready;
        query = std::async(std::launch::async, [&] { controller->QueryStatus(&query_record); });
        query_waited = query.wait_for(300ms) == std::future_status::timeout;
        return ERROR_SUCCESS;
    };
    controller = MakeController(std::move(options));

    WireGuardStatusRecord record;
    ASSERT_EQ(controller->Start(ConfigText(1), &record), TunnelOk);
    ASSERT_EQ(second.wait_for(30s), std::future_status::ready);
    ASSERT_EQ(query.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(busy_in_time);
    EXPECT_EQ(second.get(), TunnelBusy);
    EXPECT_EQ(busy_record,
              (WireGuardStatusRecord{TunnelStateNoAdapter, false, 0, 0, 0, TunnelBusy}));
    // Status queries wait for the start instead of answering busy, then see the tunnel up.
    EXPECT_TRUE(query_waited);
    EXPECT_EQ(query_record.state, TunnelStateUp);
}

// Only Wine's one known failure (ERROR_INVALID_LEVEL) is tolerated, and only under Wine; on
// Windows a tunnel service without its SID type is torn down again.
TEST_F(TunnelControllerTest, ServiceSidTypeFailureAbortsOutsideWine) {
    struct Case {
        bool under_wine;
        uint32_t error;
    };
    for (const Case& c : {Case{false, ERROR_INVALID_LEVEL}, Case{true, ERROR_ACCESS_DENIED}}) {
        TunnelControllerOptions options = FastOptions();
        options.running_under_wine = [&] { return c.under_wine; };
        options.set_service_sid_type = [&](void* service, uint32_t sid_type) -> uint32_t {
            EXPECT_NE(service, nullptr);
            EXPECT_EQ(sid_type, static_cast<uint32_t>(SERVICE_SID_TYPE_UNRESTRICTED));
            return c.error;
        };
        auto controller = MakeController(std::move(options));
        WireGuardStatusRecord record;
        EXPECT_EQ(controller->Start(ConfigText(1), &record), TunnelSetupFailed) << c.error;
        EXPECT_EQ(record,
                  (WireGuardStatusRecord{TunnelStateAbsent, false, 0, 0, 0, TunnelSetupFailed}));
        EXPECT_FALSE(TunnelServiceExists());
        EXPECT_FALSE(PathExists(ConfigFilePath()));
        const std::string expected =
            "ERR  wireguard: set SERVICE_SID_TYPE_UNRESTRICTED failed -> aborting (win32=" +
            std::to_string(c.error) + ")";
        EXPECT_NE(LogSinceSetUp().find(expected), std::string::npos) << expected;
    }
}

// Wine reports a Unix directory symlink as a reparse point. One where the configuration file
// goes, or in place of its directory, must never receive the private key.
TEST_F(TunnelControllerTest, ConfigurationIsNeverWrittenThroughALink) {
    if (UnixPath(L"C:\\").empty()) {
        GTEST_SKIP() << "needs Wine's Unix path mapping";
    }
    CreateDirectoryW((test::ProgramDataFolder() + L"\\Orrinfield").c_str(), nullptr);
    CreateDirectoryW((test::ProgramDataFolder() + L"\\Orrinfield\\vpn").c_str(), nullptr);
    for (bool link_the_directory : {false, true}) {
        RemoveDirectoryW(ConfigDirectory().c_str());  // only succeeds when empty
        if (!link_the_directory) {
            CreateDirectoryW(ConfigDirectory().c_str(), nullptr);
        }
        const std::wstring link = link_the_directory ? ConfigDirectory() : ConfigFilePath();
        const std::wstring target = MakeTempDirectory(L"lumet-link-target-");
        ASSERT_TRUE(MakeDirectoryLink(target, link)) << link_the_directory;

        auto controller = MakeController();
        WireGuardStatusRecord record;
        EXPECT_EQ(controller->Start(ConfigText(1), &record), TunnelConfigWriteFailed);
        EXPECT_EQ(record.state, TunnelStateAbsent);
        EXPECT_TRUE(ListDirectory(target, L"*").empty()) << link_the_directory;
        EXPECT_FALSE(TunnelServiceExists());

        EXPECT_TRUE(RemoveLink(link));
        RemoveDirectoryW(target.c_str());
    }
}

// A link planted in place of the configuration directory is refused through the directory's own
// handle, before any descriptor is applied: the protection seam never sees the directory.
TEST_F(TunnelControllerTest, LinkInPlaceOfTheConfigDirectoryGetsNoDescriptor) {
    if (UnixPath(L"C:\\").empty()) {
        GTEST_SKIP() << "needs Wine's Unix path mapping";
    }
    CreateDirectoryW((test::ProgramDataFolder() + L"\\Orrinfield").c_str(), nullptr);
    CreateDirectoryW((test::ProgramDataFolder() + L"\\Orrinfield\\vpn").c_str(), nullptr);
    RemoveDirectoryW(ConfigDirectory().c_str());  // only succeeds when empty
    const std::wstring target = MakeTempDirectory(L"lumet-link-target-");
    ASSERT_TRUE(MakeDirectoryLink(target, ConfigDirectory()));

    std::vector<std::wstring> protected_paths;
    TunnelControllerOptions options = FastOptions();
    options.observe_protection = [&](std::wstring_view path, std::wstring_view) {
        protected_paths.emplace_back(path);
    };
    auto controller = MakeController(std::move(options));
    WireGuardStatusRecord record;
    EXPECT_EQ(controller->Start(ConfigText(1), &record), TunnelConfigWriteFailed);
    EXPECT_TRUE(protected_paths.empty());
    EXPECT_TRUE(ListDirectory(target, L"*").empty());
    EXPECT_NE(
        LogSinceSetUp().find("ERR  wireguard: config dir is missing or not a plain directory"),
        std::string::npos);

    EXPECT_TRUE(RemoveLink(ConfigDirectory()));
    RemoveDirectoryW(target.c_str());
    CreateDirectoryW(ConfigDirectory().c_str(), nullptr);
}

// A tunnel service that takes far longer than the stop wait to stop must not be reported as
// removed: its process, and the tunnel, are still there.
TEST_F(TunnelControllerTest, StopThatTimesOutIsReportedIncomplete) {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring command = L"\"" + std::wstring(exe) +
                                 L"\" --gtest_filter=TunnelControllerHelper."
                                 L"DISABLED_StubbornTunnelService"
                                 L" --gtest_also_run_disabled_tests " +
                                 kHelperSwitch;
    ASSERT_TRUE(CreateTunnelServiceDirectly(command, /*start=*/true));

    TunnelControllerOptions options = FastOptions();
    options.waits.stop_timeout_ms = 600;
    auto controller = MakeController(std::move(options));
    WireGuardStatusRecord record;
    LogCapture capture;
    EXPECT_EQ(controller->Stop(&record), TunnelStopIncomplete);
    // Why, by name and Win32 error (the service accepted STOP but outlasted the wait), once.
    EXPECT_EQ(
        capture.LinesContaining(L"ERR  wireguard: tunnel service did not stop in time -> left "
                                L"marked for deletion -> TunnelStopIncomplete (win32=1053)"),
        1u);
    EXPECT_EQ(capture.LinesContaining(L"TunnelStopIncomplete"), 1u);
    EXPECT_EQ(record,
              (WireGuardStatusRecord{TunnelStateAbsent, false, 0, 0, 0, TunnelStopIncomplete}));
    EXPECT_NE(LogSinceSetUp().find("WARN wireguard: stop did not fully complete"),
              std::string::npos);
    // The helper finishes stopping by itself; the service was marked for deletion and goes.
    EXPECT_TRUE(WaitUntil([] { return !TunnelServiceExists(); }, 10s));
}

// Not a test: the body of the stubborn tunnel service above, run by the service manager.
SERVICE_STATUS_HANDLE g_helper_status = nullptr;
HANDLE g_helper_stop = nullptr;

void ReportHelper(DWORD state) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? 10000 : 0;
    SetServiceStatus(g_helper_status, &status);
}

DWORD WINAPI HelperHandler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        SetEvent(g_helper_stop);
    }
    return NO_ERROR;
}

void WINAPI HelperServiceMain(DWORD, wchar_t**) {
    g_helper_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_helper_status = RegisterServiceCtrlHandlerExW(kTunnelServiceName, HelperHandler, nullptr);
    if (g_helper_status == nullptr) {
        return;
    }
    ReportHelper(SERVICE_RUNNING);
    WaitForSingleObject(g_helper_stop, 30000);
    ReportHelper(SERVICE_STOP_PENDING);
    Sleep(3000);  // far past the controller's (shortened) stop wait
    ReportHelper(SERVICE_STOPPED);
}

TEST(TunnelControllerHelper, DISABLED_StubbornTunnelService) {
    if (std::wstring(GetCommandLineW()).find(kHelperSwitch) == std::wstring::npos) {
        GTEST_SKIP() << "only run by the service manager";
    }
    std::wstring name = kTunnelServiceName;
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), HelperServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
}

}  // namespace
}  // namespace lumet::service::wireguard
