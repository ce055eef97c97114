// The machine-wide VPN activity record kept by the real OrrinfieldVPNService.exe (in the
// foreground): the registry values and log lines after the agent's OpenVPN reports, as reports
// age, and after WireGuard starts and stops (with the WireGuard simulator beside the service).
//
// Every test removes the activity values, tunnel service and files it made.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/messages.h"
#include "service/openvpn_install_for_testing_win.h"
#include "support/openvpn_harness.h"
#include "support/service_harness.h"
#include "support/wireguard_harness.h"

namespace lumet::test {
namespace {

using common::MessageType;
using common::Status;
using service::testing_support::StandInProcess;

constexpr DWORD kConnectTimeoutMs = 15000;
constexpr char kActivityLine[] = "INFO vpn activity -> ";

uint16_t Type(MessageType type) {
    return static_cast<uint16_t>(type);
}

class ServiceActivityTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { PrepareConsoleForCtrlC(); }

    void SetUp() override {
        RemoveTunnelService();
        log_path_ = ServiceLogPath();
        ASSERT_FALSE(log_path_.empty());
        log_offset_ = FileSizeOf(log_path_);
        pipe_name_ = ServicePipeNameForThisSession();
        ASSERT_FALSE(pipe_name_.empty());
        had_activity_ = ReadActivityValues().state.has_value();
        // No staging directory: staged files of another run cannot blur the verdicts here.
        install_.DeleteValue();

        ChildOptions options;
        options.new_process_group = true;
        ASSERT_TRUE(service_.Start(ServiceExecutablePath(), L"--console", options))
            << GetLastError();
        ASSERT_TRUE(WaitForFileText(
            log_path_, log_offset_,
            "INFO service starting generation=" + std::to_string(service_.pid()) + "-", 10000));
        ASSERT_TRUE(client_.Connect(pipe_name_, kConnectTimeoutMs)) << GetLastError();
    }

    void TearDown() override {
        client_.Close();
        service_.Terminate();
        RemoveTunnelService();
        if (!had_activity_) {
            DeleteActivityValues();
        }
    }

    size_t ActivityLines() {
        return CountOccurrences(ReadFileFrom(log_path_, log_offset_), kActivityLine);
    }

    Status Report(uint32_t request_id, bool active, uint32_t pid) {
        const Reply reply = client_.Call(Type(MessageType::ReportOpenVpnActivity), request_id,
                                         ActivityReportBody(active, 1, pid));
        if (!reply.ok || reply.body.size() != 2) {
            return Status::Failed;
        }
        return static_cast<Status>(reply.body[0] | (reply.body[1] << 8));
    }

    service::testing_support::OpenVpnInstallForTesting install_;
    ChildProcess service_;
    PipeClient client_;
    std::wstring log_path_;
    uint64_t log_offset_ = 0;
    std::wstring pipe_name_;
    bool had_activity_ = false;
};

TEST_F(ServiceActivityTest, ReportsCountWhileFreshOrConfirmedByAnOpenVpnProcess) {
    // The record written while the service was built.
    ASSERT_TRUE(WaitForActivityValues({0, 0x000}, 2000));
    EXPECT_EQ(ActivityLines(), 1u);

    StandInProcess openvpn(L"openvpn.exe");
    ASSERT_NE(openvpn.pid(), 0u);
    ASSERT_EQ(Report(1, true, openvpn.pid()), Status::Ok);
    EXPECT_TRUE(WaitForActivityValues({1, 0x040}, 3000));
    EXPECT_TRUE(WaitForFileText(log_path_, log_offset_,
                                "INFO vpn activity -> 1 (wg=0 ovpn=1 reasons=0x00000040)", 2000));

    // OpenVPN gone, the agent still says active without a process: trusted while fresh.
    openvpn.Kill();
    const ULONGLONG reported_at = GetTickCount64();
    ASSERT_EQ(Report(2, true, 0), Status::Ok);
    EXPECT_TRUE(WaitForActivityValues({1, 0x020}, 3000));
    const size_t lines = ActivityLines();
    EXPECT_EQ(lines, 3u);

    // Unchanged verdicts at the idle refreshes (every 5 s without a client) neither write nor log:
    // values removed behind the service's back stay removed.
    client_.Close();
    DeleteActivityValues();
    Sleep(6500);
    EXPECT_EQ(ReadActivityValues(), ActivityValues{});
    EXPECT_EQ(ActivityLines(), lines);

    // Past 20 s the unconfirmed report no longer counts; an idle refresh notices.
    const ULONGLONG waited = GetTickCount64() - reported_at;
    const DWORD remaining = waited < 20000 ? static_cast<DWORD>(20000 - waited) : 0;
    EXPECT_TRUE(WaitForActivityValues({0, 0x080}, remaining + 7000));
    EXPECT_TRUE(WaitForFileText(log_path_, log_offset_,
                                "INFO vpn activity -> 0 (wg=0 ovpn=0 reasons=0x00000080)", 1000));
    EXPECT_EQ(ActivityLines(), lines + 1);
}

TEST_F(ServiceActivityTest, UnreadableReportChangesNothing) {
    ASSERT_TRUE(WaitForActivityValues({0, 0x000}, 2000));
    const Reply reply =
        client_.Call(Type(MessageType::ReportOpenVpnActivity), 1, std::vector<uint8_t>{1, 2, 0});
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.body, common::StatusOnly(Status::BadRequest));
    // An inactive report without a process is no evidence either way.
    ASSERT_EQ(Report(2, false, 0), Status::Ok);
    EXPECT_TRUE(client_.Call(Type(MessageType::Ping), 3).ok);
    EXPECT_EQ(ReadActivityValues(), (ActivityValues{0, 0x000}));
    EXPECT_EQ(ActivityLines(), 1u);
}

TEST_F(ServiceActivityTest, WireGuardTunnelCountsUntilStopped) {
    ASSERT_TRUE(WaitForActivityValues({0, 0x000}, 2000));
    ASSERT_TRUE(client_.Send(
        Type(MessageType::WireGuardStart), 1,
        WireGuardStartBody(WireGuardConfigText(MakeWireGuardKey("E2eActivityPrivateKey"), 1))));
    // What clients allow a tunnel start.
    const Reply up = client_.Receive(60000);
    ASSERT_TRUE(up.ok);
    const WireGuardReply started = ParseWireGuardReply(up.body);
    ASSERT_TRUE(started.readable);
    ASSERT_EQ(started.record.state, 2);
    EXPECT_TRUE(WaitForActivityValues({1, 0x003}, 3000));
    EXPECT_TRUE(WaitForFileText(log_path_, log_offset_,
                                "INFO vpn activity -> 1 (wg=1 ovpn=0 reasons=0x00000003)", 2000));

    const Reply down = client_.Call(Type(MessageType::WireGuardStop), 2);
    ASSERT_TRUE(down.ok);
    EXPECT_TRUE(WaitForActivityValues({0, 0x000}, 3000));
    EXPECT_EQ(ActivityLines(), 3u);
}

}  // namespace
}  // namespace lumet::test
