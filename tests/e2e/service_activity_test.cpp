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
#include "common/utf.h"
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
constexpr char kProfile[] =
    "client\n"
    "dev tun\n"
    "proto udp\n"
    "remote vpn.example.org 1194\n"
    "auth-user-pass\n"
    "<ca>\n"
    "ZTJlLWFjdGl2aXR5LWNh\n"
    "</ca>\n";

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

    // Stages kProfile and returns the staged file's path; empty when the reply says otherwise.
    std::wstring StageProfile(uint32_t request_id) {
        const Reply reply = client_.Call(Type(MessageType::StageOpenVpnConfig), request_id,
                                         StageRequestBody(request_id, kProfile));
        const StageReplyFields fields = ParseStageReply(reply.body);
        if (!reply.ok || !fields.readable || fields.stage_status != 0) {
            return std::wstring();
        }
        return common::Utf8ToWide(fields.staged_path);
    }

    // Replies come only after the work of the request before them, the activity record included,
    // so once this Ping is answered every earlier request has recorded what it records.
    bool Sync(uint32_t request_id) {
        return client_.Call(Type(MessageType::Ping), request_id).body ==
               common::StatusOnly(Status::Ok);
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

// A staged file removed behind the service's back is noticed without any request that could
// change the verdict: the service refreshes the record at least every 5 s, also while a client
// stays connected and keeps asking. A stage request turned away for an untrusted configuration
// directory refreshes it as well.
TEST_F(ServiceActivityTest, RecordIsRefreshedWhileAClientStaysConnected) {
    ASSERT_TRUE(WaitForActivityValues({0, 0x000}, 2000));
    ASSERT_TRUE(install_.Install());
    const std::wstring staged = StageProfile(1);
    ASSERT_FALSE(staged.empty());
    ASSERT_TRUE(Sync(2));
    ASSERT_EQ(ReadActivityValues(), (ActivityValues{1, 0x008}));

    ASSERT_TRUE(DeleteFileW(staged.c_str())) << GetLastError();
    const ULONGLONG deleted = GetTickCount64();
    bool noticed = false;
    for (uint32_t id = 3; id < 200 && !noticed; ++id) {
        for (MessageType type : {MessageType::Hello, MessageType::Ping, MessageType::ServiceHealth,
                                 MessageType::WireGuardStatus}) {
            EXPECT_TRUE(client_.Call(Type(type), id).ok) << Type(type);
        }
        noticed = ReadActivityValues() == ActivityValues{0, 0x000};
        if (GetTickCount64() - deleted > 8000) {
            break;
        }
        Sleep(100);
    }
    EXPECT_TRUE(noticed);
    EXPECT_LE(GetTickCount64() - deleted, 7000u);
    ASSERT_TRUE(Sync(4));

    // No trailing backslash: refused with stage_status 1, but the SID was converted, so the
    // record is refreshed (and with the directory untrusted nothing counts as staged).
    ASSERT_TRUE(install_.SetValue(install_.config_dir.substr(0, install_.config_dir.size() - 1)));
    const Reply refused =
        client_.Call(Type(MessageType::StageOpenVpnConfig), 5, StageRequestBody(5, kProfile));
    ASSERT_TRUE(refused.ok);
    EXPECT_EQ(ParseStageReply(refused.body).stage_status, 1);
    ASSERT_TRUE(Sync(6));
    EXPECT_EQ(ReadActivityValues(), (ActivityValues{0, 0x000}));
    EXPECT_EQ(ActivityLines(), 3u);
}

TEST_F(ServiceActivityTest, StopRecordsTheActivityOnceMore) {
    ASSERT_TRUE(WaitForActivityValues({0, 0x000}, 2000));
    ASSERT_TRUE(install_.Install());
    const std::wstring staged = StageProfile(1);
    ASSERT_FALSE(staged.empty());
    ASSERT_TRUE(Sync(2));
    ASSERT_EQ(ReadActivityValues(), (ActivityValues{1, 0x008}));
    ASSERT_TRUE(DeleteFileW(staged.c_str())) << GetLastError();

    // Once the stop is requested the server does not wait for its next periodic refresh: the
    // record at the stop notices at once.
    const uint64_t stop_offset = FileSizeOf(log_path_);
    ASSERT_TRUE(SendCtrlC(service_)) << GetLastError();
    client_.Close();
    const std::optional<DWORD> exit_code = service_.WaitForExit(7000);
    ASSERT_TRUE(exit_code.has_value()) << "service still running after Ctrl+C";
    EXPECT_EQ(*exit_code, 0u);
    EXPECT_EQ(ReadActivityValues(), (ActivityValues{0, 0x000}));
    const std::string tail = ReadFileFrom(log_path_, stop_offset);
    const size_t record = tail.find("INFO vpn activity -> 0 (wg=0 ovpn=0 reasons=0x00000000)");
    const size_t stopped = tail.find("INFO service stopped cleanly");
    ASSERT_NE(record, std::string::npos) << tail;
    ASSERT_NE(stopped, std::string::npos) << tail;
    EXPECT_LT(record, stopped);
}

}  // namespace
}  // namespace lumet::test
