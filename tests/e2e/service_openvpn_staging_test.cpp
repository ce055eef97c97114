// OpenVPN profile staging through the service's real pipe: OrrinfieldVPNService.exe in the
// foreground, with this Wine prefix set up like a machine with OpenVPN for Windows installed.
//
// Every test leaves the registry value, the directories and the files it made as they were, and
// the service's log must never hold a profile a test sent.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/messages.h"
#include "common/session_win.h"
#include "common/utf.h"
#include "service/openvpn_install_for_testing_win.h"
#include "support/openvpn_harness.h"
#include "support/service_harness.h"

namespace lumet::test {
namespace {

using common::MessageType;
using common::Status;
using service::testing_support::OpenVpnInstallForTesting;

constexpr DWORD kConnectTimeoutMs = 15000;
constexpr char kSecretMarker[] = "ZTJlLXN0YWdpbmctc2VjcmV0";

uint16_t Type(MessageType type) {
    return static_cast<uint16_t>(type);
}

std::string Profile(bool with_auth_nocache) {
    std::string profile = std::string(
                              "client\r\n"
                              "dev tun\r\n"
                              "proto tcp-client\r\n"
                              "remote vpn.example.org 443 tcp\r\n"
                              "auth-user-pass\r\n"
                              "<ca>\r\n") +
                          kSecretMarker + "\r\n</ca>\r\n";
    if (with_auth_nocache) {
        profile += "auth-nocache\r\n";
    }
    return profile;
}

class ServiceOpenVpnStagingTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { PrepareConsoleForCtrlC(); }

    void SetUp() override {
        log_path_ = ServiceLogPath();
        ASSERT_FALSE(log_path_.empty());
        log_offset_ = FileSizeOf(log_path_);
        pipe_name_ = ServicePipeNameForThisSession();
        ASSERT_FALSE(pipe_name_.empty());
        had_activity_ = ReadActivityValues().state.has_value();
    }

    void TearDown() override {
        service_.Terminate();
        EXPECT_EQ(LogSinceStart().find(kSecretMarker), std::string::npos)
            << "a profile reached the service log";
        if (!had_activity_) {
            DeleteActivityValues();
        }
    }

    void StartConsoleService() {
        ChildOptions options;
        options.new_process_group = true;
        service_ = ChildProcess();
        ASSERT_TRUE(service_.Start(ServiceExecutablePath(), L"--console", options))
            << GetLastError();
        ASSERT_TRUE(WaitForLog(
            "INFO service starting generation=" + std::to_string(service_.pid()) + "-", 10000));
    }

    bool WaitForLog(const std::string& text, DWORD timeout_ms) {
        return WaitForFileText(log_path_, log_offset_, text, timeout_ms);
    }
    std::string LogSinceStart() { return ReadFileFrom(log_path_, log_offset_); }

    StageReplyFields Stage(PipeClient& client, uint32_t request_id, uint32_t attempt,
                           const std::string& profile) {
        const Reply reply = client.Call(Type(MessageType::StageOpenVpnConfig), request_id,
                                        StageRequestBody(attempt, profile));
        if (!reply.ok || reply.header.request_id != request_id) {
            return {};
        }
        return ParseStageReply(reply.body);
    }

    DeleteReplyFields Delete(PipeClient& client, uint32_t request_id, const std::string& path) {
        const Reply reply = client.Call(Type(MessageType::DeleteStagedOpenVpnConfig), request_id,
                                        DeleteRequestBody(path));
        if (!reply.ok || reply.header.request_id != request_id) {
            return {};
        }
        return ParseDeleteReply(reply.body);
    }

    OpenVpnInstallForTesting install_;
    ChildProcess service_;
    std::wstring log_path_;
    uint64_t log_offset_ = 0;
    std::wstring pipe_name_;
    bool had_activity_ = false;
};

TEST_F(ServiceOpenVpnStagingTest, StartupSweepsStaleProfilesOrSaysWhyItCannot) {
    // No configuration directory registered: the start says so and goes on.
    install_.DeleteValue();
    StartConsoleService();
    EXPECT_TRUE(
        WaitForLog("INFO openvpn staging unavailable: config_dir status=1 (NotConfigured)", 2000));
    service_.Terminate();

    ASSERT_TRUE(install_.Install());
    ASSERT_TRUE(CreateDirectoryW(install_.staging_dir.c_str(), nullptr));
    for (const wchar_t* name :
         {L"ovpn-1-00112233445566ff.ovpn", L"ovpn-9-ffeeddccbbaa0099.ovpn", L"notes.txt"}) {
        ASSERT_TRUE(WriteWholeFile(install_.staging_dir + name, "left over"));
    }
    log_offset_ = FileSizeOf(log_path_);
    StartConsoleService();
    EXPECT_EQ(CountOccurrences(LogSinceStart(),
                               "INFO openvpn staging: swept 2 stale config(s) on startup"),
              1u);
    EXPECT_EQ(FileNamesIn(install_.StagingDirNoSlash()), std::vector<std::wstring>{L"notes.txt"});
    // Swept before the first record: nothing staged, nothing active.
    EXPECT_TRUE(WaitForActivityValues({0, 0}, 2000));
}

TEST_F(ServiceOpenVpnStagingTest, StageAndDeleteThroughThePipe) {
    ASSERT_TRUE(install_.Install());
    StartConsoleService();
    PipeClient client;
    ASSERT_TRUE(client.Connect(pipe_name_, kConnectTimeoutMs)) << GetLastError();

    const StageReplyFields staged = Stage(client, 1, 31, Profile(false));
    ASSERT_TRUE(staged.readable);
    ASSERT_EQ(staged.status, Status::Ok);
    ASSERT_EQ(staged.stage_status, 0);
    const std::string prefix = common::WideToUtf8(install_.staging_dir) + "ovpn-31-";
    ASSERT_EQ(staged.staged_path.size(), prefix.size() + 16 + 5);
    EXPECT_EQ(staged.staged_path.substr(0, prefix.size()), prefix);
    EXPECT_EQ(staged.staged_path.find_first_not_of("0123456789abcdef", prefix.size()),
              prefix.size() + 16);
    EXPECT_EQ(staged.staged_path.substr(prefix.size() + 16), ".ovpn");
    const std::wstring staged_path = common::Utf8ToWide(staged.staged_path);
    // CRLF profile: the directive goes on a line of its own after the last line end.
    EXPECT_EQ(ReadWholeFile(staged_path), Profile(false) + "auth-nocache\n");
    EXPECT_TRUE(WaitForLog("INFO stage_openvpn_config: staged for sid=" +
                               common::WideToUtf8(common::CurrentUserSidText().value_or(L"?")),
                           2000));
    // A staged profile counts as OpenVPN activity until it is deleted.
    EXPECT_TRUE(WaitForActivityValues({1, 0x008}, 3000));

    const StageReplyFields unchanged = Stage(client, 2, 32, Profile(true));
    ASSERT_TRUE(unchanged.readable);
    ASSERT_EQ(unchanged.stage_status, 0);
    EXPECT_EQ(ReadWholeFile(common::Utf8ToWide(unchanged.staged_path)), Profile(true));

    // Deletes outside the rules answer false and leave the file alone.
    const std::wstring outside = install_.config_dir + L"ovpn-31-0011223344556677.ovpn";
    const std::wstring wrong_name = install_.staging_dir + L"keep.ovpn";
    ASSERT_TRUE(WriteWholeFile(outside, "x"));
    ASSERT_TRUE(WriteWholeFile(wrong_name, "x"));
    for (const std::wstring& path : {outside, wrong_name}) {
        const DeleteReplyFields refused = Delete(client, 3, common::WideToUtf8(path));
        ASSERT_TRUE(refused.readable);
        EXPECT_EQ(refused.status, Status::Ok);
        EXPECT_FALSE(refused.deleted);
        EXPECT_NE(ReadWholeFile(path), "");
    }
    DeleteFileW(outside.c_str());
    DeleteFileW(wrong_name.c_str());

    for (const std::string& path : {staged.staged_path, unchanged.staged_path}) {
        const DeleteReplyFields deleted = Delete(client, 4, path);
        ASSERT_TRUE(deleted.readable);
        EXPECT_TRUE(deleted.deleted);
        EXPECT_FALSE(service::testing_support::PathExists(common::Utf8ToWide(path)));
    }
    // Already deleted is deleted.
    EXPECT_TRUE(Delete(client, 5, staged.staged_path).deleted);
    EXPECT_TRUE(WaitForActivityValues({0, 0}, 3000));
}

TEST_F(ServiceOpenVpnStagingTest, RefusalsAreOkRepliesWithAStatusAndNoFile) {
    ASSERT_TRUE(install_.Install());
    StartConsoleService();
    PipeClient client;
    ASSERT_TRUE(client.Connect(pipe_name_, kConnectTimeoutMs)) << GetLastError();

    const StageReplyFields rejected = Stage(client, 1, 1, "client\ndev tap\n" + Profile(false));
    ASSERT_TRUE(rejected.readable);
    EXPECT_EQ(rejected.status, Status::Ok);
    EXPECT_EQ(rejected.staged_path, "");
    EXPECT_EQ(rejected.stage_status, 2);
    EXPECT_TRUE(WaitForLog("WARN stage_openvpn_config failed status=2 (ProfileRejected)", 2000));

    // The directory is resolved again for every request.
    ASSERT_TRUE(install_.SetValue(install_.config_dir.substr(0, install_.config_dir.size() - 1)));
    const StageReplyFields untrusted = Stage(client, 2, 2, Profile(false));
    ASSERT_TRUE(untrusted.readable);
    EXPECT_EQ(untrusted.status, Status::Ok);
    EXPECT_EQ(untrusted.staged_path, "");
    EXPECT_EQ(untrusted.stage_status, 1);
    EXPECT_TRUE(WaitForLog("WARN stage_openvpn_config: config_dir untrusted status=4", 2000));

    // A body that cannot be read is refused, and the connection serves the next request.
    const Reply bad =
        client.Call(Type(MessageType::StageOpenVpnConfig), 3, std::vector<uint8_t>{7, 0, 0});
    ASSERT_TRUE(bad.ok);
    EXPECT_EQ(ParseStageReply(bad.body).status, Status::BadRequest);
    const Reply bad_delete =
        client.Call(Type(MessageType::DeleteStagedOpenVpnConfig), 4, std::vector<uint8_t>{9});
    ASSERT_TRUE(bad_delete.ok);
    EXPECT_EQ(ParseDeleteReply(bad_delete.body).status, Status::BadRequest);
    EXPECT_TRUE(client.Call(Type(MessageType::Ping), 5).ok);

    EXPECT_TRUE(FileNamesIn(install_.StagingDirNoSlash()).empty());
}

}  // namespace
}  // namespace lumet::test
