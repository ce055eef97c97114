#include "service/openvpn_staging_win.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/log_for_testing.h"
#include "common/messages.h"
#include "common/payload.h"
#include "common/session_win.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "common/wine.h"
#include "service/openvpn_install_for_testing_win.h"
#include "tests/support/win_test_util.h"

namespace lumet::service {
namespace {

using common::Status;
using testing_support::OpenVpnInstallForTesting;

// The CA block carries a marker that must never reach a log line.
constexpr char kSecretMarker[] = "c2VjcmV0LW1hcmtlci1rMg";
const std::string kProfile = std::string(
                                 "client\n"
                                 "dev tun\n"
                                 "proto udp\n"
                                 "remote vpn.example.net 1194\n"
                                 "auth-user-pass\n"
                                 "<ca>\n"
                                 "-----BEGIN CERTIFICATE-----\n") +
                             kSecretMarker +
                             "\n"
                             "-----END CERTIFICATE-----\n"
                             "</ca>\n";

bool WriteWholeFile(const std::wstring& path, const std::string& text) {
    common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

using test::FileNamesIn;

using test::UnixPath;

// Wine reads file DACLs from the Unix mode bits, so a directory that everyone may write is made
// with the host's chmod (Wine starts Unix programs given through drive Z:).
bool RunHostChmod(const char* mode, const std::wstring& directory) {
    const std::string unix_path = UnixPath(directory);
    if (unix_path.empty()) {
        return false;
    }
    std::wstring line = L"Z:\\bin\\chmod " + common::Utf8ToWide(mode) + L" \"" +
                        common::Utf8ToWide(unix_path) + L"\"";
    common::UniqueProcess process;
    if (!test::StartProgram(line, &process)) {
        return false;
    }
    WaitForSingleObject(process.get(), 5000);
    return true;
}

std::vector<uint8_t> StageBody(uint32_t attempt, const std::string& profile) {
    common::PayloadWriter writer;
    writer.WriteU32(attempt);
    writer.WriteString(profile);
    return writer.Take();
}

std::vector<uint8_t> DeleteBody(const std::wstring& path) {
    common::PayloadWriter writer;
    writer.WriteString(common::WideToUtf8(path));
    return writer.Take();
}

struct StageReplyFields {
    Status status = Status::Failed;
    std::string path;
    uint16_t stage_status = 0xFFFF;
    bool complete = false;
};

StageReplyFields ParseStageReply(const std::vector<uint8_t>& body) {
    StageReplyFields fields;
    common::PayloadReader reader(body);
    if (!common::ReadStatus(reader, &fields.status)) {
        return fields;
    }
    if (fields.status != Status::Ok) {
        fields.complete = reader.remaining() == 0;
        return fields;
    }
    fields.complete = reader.ReadString(&fields.path) && reader.ReadU16(&fields.stage_status) &&
                      reader.remaining() == 0;
    return fields;
}

class StagingWinTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(install_.program_files.empty());
        const std::optional<std::wstring> sid_text = common::CurrentUserSidText();
        ASSERT_TRUE(sid_text);
        user_sid_text_ = *sid_text;
        ASSERT_TRUE(ConvertStringSidToSidW(user_sid_text_.c_str(), user_sid_.put()));
        common::log_testing::SetLogObserver(
            [this](std::wstring_view line) { log_.emplace_back(line); });
    }

    void TearDown() override {
        common::log_testing::SetLogObserver(nullptr);
        for (const std::wstring& line : log_) {
            EXPECT_EQ(common::WideToUtf8(line).find(kSecretMarker), std::string::npos)
                << "a profile reached the log";
        }
    }

    common::CallerIdentity Caller() const {
        common::CallerIdentity caller;
        caller.pid = GetCurrentProcessId();
        caller.session_id = common::CurrentSessionId();
        caller.user_sid = user_sid_text_;
        caller.valid = true;
        return caller;
    }

    size_t LinesContaining(std::wstring_view text) const {
        size_t count = 0;
        for (const std::wstring& line : log_) {
            count += line.find(text) != std::wstring::npos ? 1 : 0;
        }
        return count;
    }

    OpenVpnInstallForTesting install_;
    std::wstring user_sid_text_;
    common::UniqueLocalMemory user_sid_;
    std::vector<std::wstring> log_;
};

TEST_F(StagingWinTest, ConfigDirectoryFromTheRealRegistry) {
    using S = ConfigDirStatus;
    const std::wstring good = install_.config_dir;
    const std::wstring no_backslash = good.substr(0, good.size() - 1);
    struct Case {
        const char* what;
        std::function<bool()> arrange;
        S status;
    };
    const Case cases[] = {
        {"value missing",
         [&] {
             install_.DeleteValue();
             return true;
         },
         S::NotConfigured},
        {"REG_EXPAND_SZ", [&] { return install_.SetValue(good, REG_EXPAND_SZ); }, S::NotConfigured},
        {"REG_DWORD", [&] { return install_.SetDwordValue(1); }, S::NotConfigured},
        {"longer than the read buffer",
         [&] { return install_.SetValue(L"C:\\" + std::wstring(600, L'x') + L"\\"); },
         S::NotConfigured},
        {"empty", [&] { return install_.SetValue(L""); }, S::EmptyValue},
        {"relative", [&] { return install_.SetValue(L"config\\"); }, S::NotAbsolute},
        {"no trailing backslash", [&] { return install_.SetValue(no_backslash); },
         S::NoTrailingBackslash},
        {"other directory", [&] { return install_.SetValue(L"C:\\windows\\"); },
         S::NotDefaultLocation},
        {"directory missing",
         [&] {
             install_.RemoveConfigDir();
             return install_.SetValue(good);
         },
         S::Missing},
        {"installed", [&] { return install_.Install(); }, S::Trusted},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.arrange()) << c.what;
        const ConfigDirResolution r = ResolveConfigDirectory();
        EXPECT_EQ(r.status, c.status) << c.what;
    }

    const ConfigDirResolution r = ResolveConfigDirectory();
    EXPECT_EQ(r.config_directory, good);
    EXPECT_EQ(r.staging_directory, good + L"orrinfield\\");
}

TEST_F(StagingWinTest, DirectoryUsersMayWriteIsNotTrusted) {
    ASSERT_TRUE(install_.Install());
    ASSERT_EQ(ResolveConfigDirectory().status, ConfigDirStatus::Trusted);
    if (!common::RunningUnderWine()) {
        GTEST_SKIP() << "the directory is made writable through Wine's mode-bit mapping";
    }
    const std::wstring dir = install_.config_dir.substr(0, install_.config_dir.size() - 1);
    ASSERT_TRUE(RunHostChmod("777", dir));
    const bool untrusted = test::WaitUntil(
        [] { return ResolveConfigDirectory().status == ConfigDirStatus::WritableByUsers; }, 5000);
    EXPECT_TRUE(untrusted);
    EXPECT_TRUE(DirectoryWritableByUsers(dir));

    const StagingReply reply = HandleStageOpenVpnConfig(Caller(), StageBody(1, kProfile));
    const StageReplyFields fields = ParseStageReply(reply.body);
    EXPECT_EQ(fields.status, Status::Ok);
    EXPECT_EQ(fields.path, "");
    EXPECT_EQ(fields.stage_status, 1);
    EXPECT_EQ(LinesContaining(
                  L"WARN stage_openvpn_config: config_dir untrusted status=7 (WritableByUsers)"),
              1u);
    EXPECT_TRUE(FileNamesIn(install_.StagingDirNoSlash()).empty());

    RunHostChmod("755", dir);
    EXPECT_TRUE(test::WaitUntil(
        [] { return ResolveConfigDirectory().status == ConfigDirStatus::Trusted; }, 5000));
}

TEST_F(StagingWinTest, OpenVpnServiceOnlyTolerableWhenDisabledAndStopped) {
    ASSERT_TRUE(install_.Install());
    common::UniqueServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    ASSERT_TRUE(manager);
    common::UniqueServiceHandle existing(
        OpenServiceW(manager.get(), L"OpenVPNService", SERVICE_QUERY_STATUS));
    if (existing) {
        GTEST_SKIP() << "OpenVPNService is installed here; not touching it";
    }
    common::UniqueServiceHandle service(CreateServiceW(
        manager.get(), L"OpenVPNService", L"OpenVPN legacy service (test)",
        SERVICE_CHANGE_CONFIG | DELETE | SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DISABLED, SERVICE_ERROR_IGNORE, L"C:\\nowhere\\openvpnserv.exe", nullptr, nullptr,
        nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << GetLastError();
    common::ScopeExit remove([&service] { DeleteService(service.get()); });

    EXPECT_EQ(ResolveConfigDirectory().status, ConfigDirStatus::Trusted);

    ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                     SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr));
    EXPECT_EQ(ResolveConfigDirectory().status, ConfigDirStatus::AutoServiceActive);
    const StagingReply reply = HandleStageOpenVpnConfig(Caller(), StageBody(1, kProfile));
    EXPECT_EQ(ParseStageReply(reply.body).stage_status, 1);
}

TEST_F(StagingWinTest, FailedStagesLeaveNoFile) {
    ASSERT_TRUE(install_.Install());
    ASSERT_TRUE(EnsureStagingDirectory(install_.staging_dir));
    EXPECT_EQ(StageProfile(install_.staging_dir, 8, "client\ndev tap\n", user_sid_.get()).status,
              StageStatus::ProfileRejected);
    const StageResult no_sid = StageProfile(install_.staging_dir, 8, kProfile, nullptr);
    EXPECT_EQ(no_sid.status, StageStatus::SecurityFailed);
    EXPECT_EQ(no_sid.win32_error, static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_TRUE(FileNamesIn(install_.StagingDirNoSlash()).empty());

    RemoveDirectoryW(install_.staging_dir.c_str());
    ASSERT_TRUE(WriteWholeFile(install_.StagingDirNoSlash(), "not a directory"));
    EXPECT_FALSE(EnsureStagingDirectory(install_.staging_dir));
    const StageResult r = StageProfile(install_.staging_dir, 1, kProfile, user_sid_.get());
    EXPECT_EQ(r.status, StageStatus::StagingDirUnusable);
    EXPECT_TRUE(r.path.empty());
    DeleteFileW(install_.StagingDirNoSlash().c_str());
}

// A link planted in place of the staging folder is refused through the folder's own handle:
// neither the folder's DACL nor a profile reaches the place it points to.
TEST_F(StagingWinTest, LinkInPlaceOfTheStagingFolderIsRefused) {
    if (UnixPath(L"C:\\").empty()) {
        GTEST_SKIP() << "needs Wine's Unix path mapping to plant a link";
    }
    ASSERT_TRUE(install_.Install());
    RemoveDirectoryW(install_.StagingDirNoSlash().c_str());
    const std::wstring target = test::MakeTempDirectory(L"lumet-staging-target-");
    ASSERT_TRUE(test::MakeDirectoryLink(target, install_.StagingDirNoSlash()));

    EXPECT_FALSE(EnsureStagingDirectory(install_.staging_dir));
    const StageResult r = StageProfile(install_.staging_dir, 1, kProfile, user_sid_.get());
    EXPECT_EQ(r.status, StageStatus::StagingDirUnusable);
    EXPECT_TRUE(r.path.empty());
    EXPECT_TRUE(FileNamesIn(target).empty());

    EXPECT_TRUE(test::RemoveLink(install_.StagingDirNoSlash()));
    RemoveDirectoryW(target.c_str());
}

TEST_F(StagingWinTest, DescriptorsGrantExactlyTheIntendedAccess) {
    // Wine does not store file DACLs, so the descriptors are checked as built.
    std::unique_ptr<StagingSecurity> file = StagingSecurity::ForStagedFile(user_sid_.get());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->ToSddl().value_or(L""),
              L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;" + user_sid_text_ + L")");

    std::unique_ptr<StagingSecurity> dir = StagingSecurity::ForStagingDirectory();
    ASSERT_TRUE(dir);
    const std::wstring sddl = dir->ToSddl().value_or(L"");
    EXPECT_EQ(sddl.substr(0, 3), L"D:P") << sddl;
    // Owner and group as the WireGuard configuration folder has them; the file keeps its creator.
    common::UniqueLocalPtr<wchar_t> owner_and_group;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        dir->descriptor(), SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
        owner_and_group.put(), nullptr));
    EXPECT_EQ(std::wstring(owner_and_group.get()), L"O:BAG:SY");
    PSID file_owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(file->descriptor(), &file_owner, &defaulted));
    EXPECT_EQ(file_owner, nullptr);
    struct Expected {
        const wchar_t* sid;
        DWORD mask;
        BYTE flags;
    };
    const Expected expected[] = {
        {L"S-1-5-18", 0x1F01FF, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
        {L"S-1-5-32-544", 0x1F01FF, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
        // Traverse only: users reach their own staged file but cannot list the directory.
        {L"S-1-5-32-545", 0x20, 0},
    };
    ACL_SIZE_INFORMATION info = {};
    ASSERT_TRUE(GetAclInformation(dir->dacl(), &info, sizeof(info), AclSizeInformation));
    ASSERT_EQ(info.AceCount, 3u);
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(dir->dacl(), i, &raw));
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, expected[i].flags) << i;
        EXPECT_EQ(ace->Mask, expected[i].mask) << i;
        common::UniqueLocalPtr<wchar_t> text;
        ASSERT_TRUE(ConvertSidToStringSidW(&ace->SidStart, text.put()));
        EXPECT_EQ(std::wstring(text.get()), expected[i].sid) << i;
    }
}

TEST_F(StagingWinTest, DeleteSparesDirectoriesAndUntrustedLocations) {
    ASSERT_TRUE(install_.Install());
    ASSERT_TRUE(EnsureStagingDirectory(install_.staging_dir));
    const std::wstring directory = install_.staging_dir + L"ovpn-2-directory.ovpn";
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    EXPECT_FALSE(DeleteStagedProfile(install_.staging_dir, directory));
    EXPECT_TRUE(testing_support::PathExists(directory));

    const StageResult staged = StageProfile(install_.staging_dir, 3, kProfile, user_sid_.get());
    ASSERT_EQ(staged.status, StageStatus::Staged);
    install_.DeleteValue();
    const StagingReply reply = HandleDeleteStagedOpenVpnConfig(Caller(), DeleteBody(staged.path));
    EXPECT_EQ(reply.body, BuildDeleteReply(false));
    EXPECT_TRUE(reply.record_activity);
    EXPECT_TRUE(testing_support::PathExists(staged.path));
}

// A delete request from another session or user leaves the profile for the attempt that staged it.
TEST_F(StagingWinTest, DeleteRefusesAnotherSessionOrUser) {
    ASSERT_TRUE(install_.Install());
    const StageReplyFields staged =
        ParseStageReply(HandleStageOpenVpnConfig(Caller(), StageBody(4, kProfile)).body);
    ASSERT_EQ(staged.stage_status, 0);
    const std::wstring path = common::Utf8ToWide(staged.path);

    common::CallerIdentity other_session = Caller();
    other_session.session_id += 1;
    common::CallerIdentity other_user = Caller();
    other_user.user_sid = L"S-1-5-21-1111-2222-3333-1001";
    for (const common::CallerIdentity& intruder : {other_session, other_user}) {
        const StagingReply refused = HandleDeleteStagedOpenVpnConfig(intruder, DeleteBody(path));
        EXPECT_EQ(refused.body, common::StatusOnly(Status::NotPermitted));
        EXPECT_TRUE(testing_support::PathExists(path));
    }
    EXPECT_EQ(LinesContaining(L"WARN delete_staged_openvpn_config refused: staged for another "
                              L"user or session"),
              2u);

    const StagingReply reply = HandleDeleteStagedOpenVpnConfig(Caller(), DeleteBody(path));
    EXPECT_EQ(reply.body, BuildDeleteReply(true));
    EXPECT_FALSE(testing_support::PathExists(path));
    // Gone already: nothing to protect, and the answer stays true.
    EXPECT_EQ(HandleDeleteStagedOpenVpnConfig(other_user, DeleteBody(path)).body,
              BuildDeleteReply(true));
}

TEST_F(StagingWinTest, SweepAndCountSeeOnlyStagedFiles) {
    ASSERT_TRUE(install_.Install());
    const std::wstring staging = install_.StagingDirNoSlash();
    bool scan_failed = true;
    EXPECT_EQ(CountStagedProfiles(staging, &scan_failed), 0u);
    EXPECT_FALSE(scan_failed);
    EXPECT_EQ(SweepStagingDirectory(staging).deleted, 0u);

    ASSERT_TRUE(EnsureStagingDirectory(install_.staging_dir));
    EXPECT_EQ(CountStagedProfiles(install_.staging_dir, &scan_failed), 0u);
    EXPECT_FALSE(scan_failed);
    for (const wchar_t* name : {L"ovpn-1-aa.ovpn", L"ovpn-2-bb.ovpn", L"keep.txt",
                                L"ovpn-3-cc.ovpn.bak", L"ovpn-4-dd.ovpnx"}) {
        ASSERT_TRUE(WriteWholeFile(install_.staging_dir + name, "secret"));
    }
    ASSERT_TRUE(CreateDirectoryW((install_.staging_dir + L"ovpn-5-dir.ovpn").c_str(), nullptr));

    EXPECT_EQ(CountStagedProfiles(staging, &scan_failed), 2u);
    EXPECT_FALSE(scan_failed);

    RunStartupSweep();
    EXPECT_EQ(LinesContaining(L"INFO openvpn staging: swept 2 stale config(s) on startup"), 1u);
    EXPECT_EQ(CountStagedProfiles(install_.staging_dir, &scan_failed), 0u);
    EXPECT_EQ(FileNamesIn(staging),
              (std::vector<std::wstring>{L"keep.txt", L"ovpn-3-cc.ovpn.bak", L"ovpn-4-dd.ovpnx"}));
    EXPECT_TRUE(testing_support::PathExists(install_.staging_dir + L"ovpn-5-dir.ovpn"));

    // Nothing to sweep: no line.
    RunStartupSweep();
    EXPECT_EQ(LinesContaining(L"swept"), 1u);
}

TEST_F(StagingWinTest, StageRequestRefusesCallersBeforeTouchingAnything) {
    ASSERT_TRUE(install_.Install());
    struct Case {
        const char* what;
        common::CallerIdentity caller;
        std::vector<uint8_t> body;
        Status status;
        bool record;
    };
    common::CallerIdentity system_caller = Caller();
    system_caller.is_local_system = true;
    system_caller.user_sid = L"S-1-5-18";
    common::CallerIdentity no_sid = Caller();
    no_sid.user_sid.clear();
    common::CallerIdentity bad_sid = Caller();
    bad_sid.user_sid = L"garbage";
    const Case refusals[] = {
        {"undecodable", Caller(), {1, 0, 0}, Status::BadRequest, false},
        {"LocalSystem", system_caller, StageBody(1, kProfile), Status::NotPermitted, false},
        {"no SID", no_sid, StageBody(1, kProfile), Status::NotPermitted, false},
        {"SID not convertible", bad_sid, StageBody(1, kProfile), Status::Failed, false},
    };
    for (const Case& c : refusals) {
        const StagingReply reply = HandleStageOpenVpnConfig(c.caller, c.body);
        EXPECT_EQ(reply.body, common::StatusOnly(c.status)) << c.what;
        EXPECT_EQ(reply.record_activity, c.record) << c.what;
    }
    EXPECT_EQ(LinesContaining(L"WARN stage_openvpn_config rejected: caller is not an interactive "
                              L"user"),
              2u);
    EXPECT_TRUE(FileNamesIn(install_.StagingDirNoSlash()).empty());
}

}  // namespace
}  // namespace lumet::service
