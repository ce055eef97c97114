#include "service/openvpn_staging.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace lumet::service {
namespace {

using S = ConfigDirStatus;

constexpr wchar_t kProgramFiles[] = L"C:\\Program Files";
constexpr wchar_t kGoodValue[] = L"C:\\Program Files\\OpenVPN\\config\\";

ConfigDirFacts GoodFacts() {
    ConfigDirFacts facts;
    facts.value = kGoodValue;
    facts.program_files = kProgramFiles;
    facts.directory_exists = true;
    facts.writable_by_users = false;
    facts.service_allows_staging = true;
    return facts;
}

TEST(ConfigDirPolicy, EveryStatusFromTableInputs) {
    struct Case {
        const char* what;
        ConfigDirFacts facts;
        S status;
    };
    auto with_value = [](std::optional<std::wstring> value) {
        ConfigDirFacts f = GoodFacts();
        f.value = std::move(value);
        return f;
    };
    ConfigDirFacts missing = GoodFacts();
    missing.directory_exists = false;
    ConfigDirFacts writable = GoodFacts();
    writable.writable_by_users = true;
    ConfigDirFacts service = GoodFacts();
    service.service_allows_staging = false;
    // Checks run in a fixed order: the first failure decides.
    ConfigDirFacts missing_and_writable = missing;
    missing_and_writable.writable_by_users = true;
    missing_and_writable.service_allows_staging = false;
    ConfigDirFacts writable_and_service = writable;
    writable_and_service.service_allows_staging = false;
    ConfigDirFacts no_program_files = GoodFacts();
    no_program_files.program_files.clear();
    ConfigDirFacts program_files_with_slash = GoodFacts();
    program_files_with_slash.program_files = L"C:\\Program Files\\";

    const Case cases[] = {
        {"good", GoodFacts(), S::Trusted},
        {"other letter case, doubled trailing backslash",
         with_value(L"c:\\PROGRAM FILES\\openvpn\\Config\\\\"), S::Trusted},
        {"program files given with a trailing separator", program_files_with_slash, S::Trusted},
        {"no value", with_value(std::nullopt), S::NotConfigured},
        {"empty", with_value(L""), S::EmptyValue},
        {"too short", with_value(L"C:"), S::NotAbsolute},
        {"relative", with_value(L"OpenVPN\\config\\"), S::NotAbsolute},
        {"UNC", with_value(L"\\\\server\\share\\config\\"), S::NotAbsolute},
        {"drive without separator", with_value(L"C:Program Files\\OpenVPN\\config\\"),
         S::NotAbsolute},
        {"digit instead of drive letter", with_value(L"1:\\Program Files\\OpenVPN\\config\\"),
         S::NotAbsolute},
        {"no trailing backslash", with_value(L"C:\\Program Files\\OpenVPN\\config"),
         S::NoTrailingBackslash},
        {"trailing slash only", with_value(L"C:\\Program Files\\OpenVPN\\config/"),
         S::NoTrailingBackslash},
        {"other drive", with_value(L"D:\\Program Files\\OpenVPN\\config\\"), S::NotDefaultLocation},
        {"other directory", with_value(L"C:\\Users\\Public\\OpenVPN\\config\\"),
         S::NotDefaultLocation},
        {"subdirectory of the default", with_value(L"C:\\Program Files\\OpenVPN\\config\\x\\"),
         S::NotDefaultLocation},
        {"climbs out with ..", with_value(L"C:\\Program Files\\OpenVPN\\config\\..\\config\\"),
         S::NotDefaultLocation},
        {"32-bit program files", with_value(L"C:\\Program Files (x86)\\OpenVPN\\config\\"),
         S::NotDefaultLocation},
        {"program files unknown", no_program_files, S::NotDefaultLocation},
        {"directory missing", missing, S::Missing},
        {"missing wins over writable and service", missing_and_writable, S::Missing},
        {"writable by users", writable, S::WritableByUsers},
        {"writable wins over service", writable_and_service, S::WritableByUsers},
        {"OpenVPNService may run", service, S::AutoServiceActive},
    };
    for (const Case& c : cases) {
        const ConfigDirResolution r = DecideConfigDir(c.facts);
        EXPECT_EQ(r.status, c.status) << c.what;
        if (r.status == S::Trusted) {
            EXPECT_EQ(r.config_directory, *c.facts.value) << c.what;
            EXPECT_EQ(r.staging_directory, *c.facts.value + L"orrinfield\\") << c.what;
        } else {
            EXPECT_TRUE(r.config_directory.empty() && r.staging_directory.empty()) << c.what;
        }
    }
}

// Log lines keep the number they always had and add the name; a value no enumerator has (from a
// newer peer, or memory gone wrong) must still print rather than read out of bounds.
TEST(ConfigDirPolicy, StatusesAreDescribedByNumberAndName) {
    EXPECT_EQ(DescribeConfigDirStatus(S::NotConfigured), L"1 (NotConfigured)");
    EXPECT_EQ(DescribeConfigDirStatus(S::AutoServiceActive), L"8 (AutoServiceActive)");
    EXPECT_EQ(DescribeConfigDirStatus(static_cast<S>(9)), L"9");
    EXPECT_EQ(DescribeStageStatus(StageStatus::WriteFailed), L"5 (WriteFailed)");
    EXPECT_EQ(DescribeStageStatus(static_cast<StageStatus>(6)), L"6");
}

TEST(ConfigDirPolicy, DaclWritableOnlyThroughUserGroupsAndWriteRights) {
    struct Case {
        const char* what;
        std::vector<AllowedAce> entries;
        bool writable;
    };
    const Case cases[] = {
        {"empty DACL", {}, false},
        {"typical Program Files subfolder",
         {{L"S-1-5-18", 0x1F01FF},
          {L"S-1-5-32-544", 0x1F01FF},
          {L"S-1-5-32-545", 0x1200A9},
          {L"S-1-5-32-545", 0xA0000000}},
         false},
        {"Users may write data", {{L"S-1-5-32-545", 0x2}}, true},
        {"Authenticated Users may append", {{L"S-1-5-11", 0x4}}, true},
        {"Everyone has generic all", {{L"S-1-1-0", 0x10000000}}, true},
        {"Everyone has generic write", {{L"s-1-1-0", 0x40000000}}, true},
        {"Users may change the DACL", {{L"S-1-5-32-545", 0x40000}}, true},
        {"Users may take ownership", {{L"S-1-5-32-545", 0x80000}}, true},
        {"Users may delete", {{L"S-1-5-32-545", 0x10000}}, true},
        {"Users may write attributes", {{L"S-1-5-32-545", 0x100}}, true},
        {"Users may write extended attributes", {{L"S-1-5-32-545", 0x10}}, true},
        // Write rights for administrators or a single named user do not make it public.
        {"only admins and one user write",
         {{L"S-1-5-32-544", 0x1F01FF}, {L"S-1-5-21-1-2-3-1001", 0x1F01FF}},
         false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DaclLetsUsersWrite(c.entries), c.writable) << c.what;
    }
}

TEST(ConfigDirPolicy, OpenVpnServiceOnlyHarmlessWhenAbsentOrDisabledAndStopped) {
    using P = OpenVpnServiceFacts::Probe;
    struct Case {
        OpenVpnServiceFacts facts;
        bool allows;
    };
    const Case cases[] = {
        {{P::NotInstalled, 0, 0}, true},    {{P::Queried, 4, 1}, true},
        {{P::Queried, 3, 1}, false},  // demand start
        {{P::Queried, 2, 1}, false},  // automatic
        {{P::Queried, 4, 4}, false},  // disabled but still running
        {{P::Queried, 4, 3}, false},  // disabled, stop pending
        {{P::ScmUnavailable, 4, 1}, false}, {{P::QueryFailed, 4, 1}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OpenVpnServiceAllowsStaging(c.facts), c.allows)
            << static_cast<int>(c.facts.probe) << " " << c.facts.start_type << " "
            << c.facts.current_state;
    }
}

TEST(StagedNames, PatternAndRecognition) {
    const std::array<uint8_t, 8> bytes = {0x00, 0x01, 0xAB, 0xCD, 0xEF, 0x10, 0x7F, 0xFF};
    EXPECT_EQ(StagedFileName(42, bytes), L"ovpn-42-0001abcdef107fff.ovpn");
    EXPECT_EQ(StagedFileName(0, bytes), L"ovpn-0-0001abcdef107fff.ovpn");
    EXPECT_EQ(StagedFileName(4294967295u, bytes), L"ovpn-4294967295-0001abcdef107fff.ovpn");
    EXPECT_TRUE(IsStagedName(StagedFileName(7, bytes)));

    struct Case {
        const wchar_t* name;
        bool staged;
    };
    const Case cases[] = {
        {L"ovpn-.ovpn", true},  // exactly 10 characters
        {L"ovpn-anything.ovpn", true}, {L"ovpn.ovpn", false},
        {L"ovpn-ovpn", false},         {L"OVPN-1-00.ovpn", false},
        {L"ovpn-1-00.OVPN", false},    {L"ovpn-1-00.ovpn.bak", false},
        {L"ovpn-1-00.ovpnx", false},   {L"xovpn-1-00.ovpn", false},
        {L"profile.ovpn", false},      {L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsStagedName(c.name), c.staged) << std::wstring(c.name).size();
    }
}

TEST(StagedNames, DeleteOnlyStagedNamesDirectlyInsideTheStagingDirectory) {
    const std::wstring staging = L"C:\\Program Files\\OpenVPN\\config\\orrinfield\\";
    struct Case {
        const char* what;
        std::wstring path;
        bool deletable;
    };
    const Case cases[] = {
        {"staged file", staging + L"ovpn-3-0011223344556677.ovpn", true},
        {"other letter case in the directory",
         L"c:\\program files\\openvpn\\CONFIG\\Orrinfield\\ovpn-3-0011223344556677.ovpn", true},
        {"forward slash before the name",
         L"C:\\Program Files\\OpenVPN\\config\\orrinfield/ovpn-3-00.ovpn", true},
        {"doubled separator", staging + L"\\ovpn-3-00.ovpn", true},
        {"trailing separator", staging + L"ovpn-3-00.ovpn\\", true},
        {"wrong name", staging + L"profile.ovpn", false},
        {"name in other letter case", staging + L"OVPN-3-00.OVPN", false},
        {"configuration directory itself", L"C:\\Program Files\\OpenVPN\\config\\ovpn-3-00.ovpn",
         false},
        {"subdirectory", staging + L"sub\\ovpn-3-00.ovpn", false},
        {"climbing out", staging + L"..\\ovpn-3-00.ovpn", false},
        {"other drive", L"D:\\Program Files\\OpenVPN\\config\\orrinfield\\ovpn-3-00.ovpn", false},
        {"device path form", L"\\\\?\\" + staging + L"ovpn-3-00.ovpn", false},
        {"bare name", L"ovpn-3-00.ovpn", false},
        {"the directory", staging, false},
        {"empty", L"", false},
        // Regression: Windows would stop reading the path at the NUL and delete "ovpn-x".
        {"NUL inside the name", staging + std::wstring(L"ovpn-x\0.ovpn", 12), false},
        {"alternate data stream", staging + L"ovpn-x:hidden.ovpn", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsDeletableStagedPath(c.path, staging), c.deletable) << c.what;
    }
    // Without a resolved staging directory nothing is deletable.
    EXPECT_FALSE(IsDeletableStagedPath(L"\\ovpn-3-00.ovpn", L""));
    EXPECT_FALSE(IsDeletableStagedPath(L"C:\\ovpn-3-00.ovpn", L"\\"));
}

TEST(StagedNames, JoinAddsOneBackslashWhenMissing) {
    EXPECT_EQ(JoinPath(L"C:\\dir\\", L"f"), L"C:\\dir\\f");
    EXPECT_EQ(JoinPath(L"C:\\dir", L"f"), L"C:\\dir\\f");
    EXPECT_EQ(JoinPath(L"", L"f"), L"\\f");
}

TEST(StagingBodies, RequestsAndRepliesInWireOrder) {
    // u32 attempt, then the profile as a u16-counted string; extra bytes are ignored.
    const std::vector<uint8_t> stage = {0x2A, 0, 0, 0, 3, 0, 'a', 'b', 'c', 0xEE};
    StageRequest request;
    ASSERT_TRUE(DecodeStageRequest(stage, &request));
    EXPECT_EQ(request.attempt, 42u);
    EXPECT_EQ(request.profile.str(), "abc");
    for (size_t cut = 0; cut < 9; ++cut) {
        StageRequest partial;
        EXPECT_FALSE(DecodeStageRequest(std::span(stage).first(cut), &partial)) << cut;
        EXPECT_TRUE(partial.profile.str().empty()) << cut;
    }

    std::string path;
    ASSERT_TRUE(DecodeDeleteRequest(std::vector<uint8_t>{2, 0, 'C', ':'}, &path));
    EXPECT_EQ(path, "C:");
    EXPECT_FALSE(DecodeDeleteRequest(std::vector<uint8_t>{2, 0, 'C'}, &path));

    // Status Ok (u16), staged_path, u16 stage_status.
    EXPECT_EQ(BuildStageReply("C:\\x", StageStatus::Staged),
              (std::vector<uint8_t>{0, 0, 4, 0, 'C', ':', '\\', 'x', 0, 0}));
    EXPECT_EQ(BuildStageReply("", StageStatus::ConfigDirUntrusted),
              (std::vector<uint8_t>{0, 0, 0, 0, 1, 0}));
    // A path no wire string can hold goes out empty rather than as a broken body.
    EXPECT_EQ(BuildStageReply(std::string(40000, 'p'), StageStatus::Staged),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(BuildDeleteReply(true), (std::vector<uint8_t>{0, 0, 1}));
    EXPECT_EQ(BuildDeleteReply(false), (std::vector<uint8_t>{0, 0, 0}));
}

// One interactive user must not pull another session's staged profile from under its attempt.
TEST(OpenVpnStagingTest, OnlyTheStagingUserAndSessionMayDelete) {
    const std::wstring alice = L"S-1-5-21-1-2-3-1001";
    const std::wstring bob = L"S-1-5-21-1-2-3-1002";
    const auto caller = [](std::wstring sid, uint32_t session, bool system = false) {
        common::CallerIdentity c;
        c.pid = 7;
        c.session_id = session;
        c.user_sid = std::move(sid);
        c.is_local_system = system;
        c.valid = true;
        return c;
    };
    const StagedFileOwner staged_by_alice{alice, 1};
    common::CallerIdentity invalid = caller(alice, 1);
    invalid.valid = false;
    const struct {
        const char* name;
        std::optional<StagedFileOwner> recorded;
        std::wstring acl_user;
        common::CallerIdentity caller;
        bool allowed;
    } cases[] = {
        {"same user and session", staged_by_alice, L"", caller(alice, 1), true},
        {"same user, SID in lower case", staged_by_alice, L"", caller(L"s-1-5-21-1-2-3-1001", 1),
         true},
        {"same user, other session", staged_by_alice, L"", caller(alice, 2), false},
        {"other user, same session", staged_by_alice, L"", caller(bob, 1), false},
        {"recorded owner wins over the DACL", staged_by_alice, bob, caller(bob, 1), false},
        {"LocalSystem", staged_by_alice, L"", caller(L"S-1-5-18", 1, true), false},
        {"no SID", staged_by_alice, L"", caller(L"", 1), false},
        {"no identity", staged_by_alice, L"", invalid, false},
        {"unrecorded, DACL names the caller", std::nullopt, alice, caller(alice, 3), true},
        {"unrecorded, DACL names another", std::nullopt, alice, caller(bob, 1), false},
        {"unrecorded, DACL names nobody", std::nullopt, L"", caller(alice, 1), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MayDeleteStagedFile(c.recorded, c.acl_user, c.caller), c.allowed) << c.name;
    }
}

TEST(OpenVpnStagingTest, StagedFileUserComesFromTheSingleReadEntry) {
    const std::vector<AllowedAce> written = {{L"S-1-5-18", kStagingFullAccess},
                                             {L"S-1-5-32-544", kStagingFullAccess},
                                             {L"S-1-5-21-9-1001", kStagedFileUserRead}};
    EXPECT_EQ(StagedFileUserFromDacl(written), std::optional<std::wstring>(L"S-1-5-21-9-1001"));
    std::vector<AllowedAce> two_readers = written;
    two_readers.push_back({L"S-1-5-21-9-1002", kStagedFileUserRead});
    EXPECT_EQ(StagedFileUserFromDacl(two_readers), std::nullopt);
    // What Wine synthesises from mode bits: no entry with the staged-file read mask.
    const std::vector<AllowedAce> wine = {
        {L"S-1-5-18", 0x1F01FF}, {L"S-1-5-21-0-0-0-1000", 0x1F01FF}, {L"S-1-1-0", 0x1200A9}};
    EXPECT_EQ(StagedFileUserFromDacl(wine), std::nullopt);
    EXPECT_EQ(StagedFileUserFromDacl({}), std::nullopt);
}

}  // namespace
}  // namespace lumet::service
