#include "service/data_folder_win.h"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/log_for_testing.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "test_util.h"
#include "tests/support/win_test_util.h"

namespace lumet::service {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kOtherUser[] = L"S-1-5-21-111-222-333-1001";

bool EndsWith(const std::wstring& text, std::wstring_view tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail.data(), tail.size()) == 0;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A ProgramData stand-in of this test's own, removed afterwards.
class DataFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        root_ = fs::path(temp) / (L"lumet-data-folder-" + test::UniqueSuffixW() + L"-" +
                                  std::to_wstring(GetTickCount64()));
        fs::create_directories(root_);
        options_.program_data = root_.wstring();
    }
    void TearDown() override {
        // A link is removed on the Unix side first: removing the tree through it could follow it.
        if (!unix_link_.empty() && !RunUnixUntil(L"/bin/rm -f \"" + unix_link_ + L"\"", [this] {
                return GetFileAttributesW(Orrinfield().c_str()) == INVALID_FILE_ATTRIBUTES;
            })) {
            return;  // leave the folder rather than risk deleting through the link
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // Wine starts Unix programs but cannot wait for them: polls `done` for up to 5 s instead.
    template <typename Done>
    static bool RunUnixUntil(std::wstring command, Done done) {
        if (!lumet::test::StartProgram(command)) {
            return false;
        }
        for (int i = 0; i < 100; ++i) {
            if (done()) {
                return true;
            }
            Sleep(50);
        }
        return done();
    }

    fs::path Orrinfield() const { return root_ / L"Orrinfield"; }
    fs::path Logs() const { return root_ / L"Orrinfield" / L"vpn" / L"logs"; }

    // Real facts, with the owner of every path ending in `tail` replaced: Wine stores no owners.
    void OwnerOf(std::wstring tail, std::wstring owner) {
        options_.read_facts = [tail, owner](HANDLE handle, const std::wstring& path) {
            PathFacts facts = ReadPathFacts(handle, path);
            if (EndsWith(path, tail)) {
                facts.owner_sid = owner;
            }
            return facts;
        };
    }

    fs::path root_;
    std::wstring unix_link_;  // a link made with ln -s, removed first in TearDown
    DataFolderOptions options_;
};

TEST_F(DataFolderTest, CreatesTheFoldersAndTheLogFileAndAcceptsThem) {
    const DataFolderResult result = PrepareDataFolders(options_);
    for (const std::wstring& refusal : result.refusals) {
        ADD_FAILURE() << common::WideToUtf8(refusal);
    }
    EXPECT_TRUE(result.usable);
    EXPECT_TRUE(fs::is_directory(Logs()));
    EXPECT_TRUE(fs::is_regular_file(Logs() / L"service.log"));

    // What the checks read from a real handle: a folder, one name, an owner.
    const common::UniqueHandle folder(CreateFileW(
        Orrinfield().c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    ASSERT_TRUE(folder);
    const PathFacts facts = ReadPathFacts(folder.get(), Orrinfield().wstring());
    EXPECT_TRUE(facts.exists);
    EXPECT_NE(facts.attributes & kAttributeDirectory, 0u);
    EXPECT_EQ(facts.attributes & kAttributeReparsePoint, 0u);
    EXPECT_FALSE(facts.owner_sid.empty());

    // A second start accepts what the first one made.
    EXPECT_TRUE(PrepareDataFolders(options_).usable);
}

TEST_F(DataFolderTest, RefusesAFolderOwnedByAnotherUserAndCreatesNothingBelowIt) {
    // A user created ProgramData\Orrinfield before the service ever ran.
    fs::create_directories(Orrinfield());
    OwnerOf(L"\\Orrinfield", kOtherUser);
    const DataFolderResult result = PrepareDataFolders(options_);
    EXPECT_FALSE(result.usable);
    ASSERT_EQ(result.refusals.size(), 1u);
    EXPECT_NE(result.refusals[0].find(kOtherUser), std::wstring::npos);
    EXPECT_NE(result.refusals[0].find(Orrinfield().wstring()), std::wstring::npos);
    EXPECT_FALSE(fs::exists(Orrinfield() / L"vpn"));
}

TEST_F(DataFolderTest, RefusesALogFileOwnedByAnotherUser) {
    OwnerOf(L"\\service.log", kOtherUser);
    const DataFolderResult result = PrepareDataFolders(options_);
    EXPECT_FALSE(result.usable);
    ASSERT_EQ(result.refusals.size(), 1u);
    EXPECT_NE(result.refusals[0].find(L"service.log"), std::wstring::npos);
}

TEST_F(DataFolderTest, RefusesALogFolderThatIsAReparsePoint) {
    options_.read_facts = [](HANDLE handle, const std::wstring& path) {
        PathFacts facts = ReadPathFacts(handle, path);
        if (EndsWith(path, L"\\logs")) {
            facts.attributes |= kAttributeReparsePoint;  // a junction Wine cannot make
        }
        return facts;
    };
    const DataFolderResult result = PrepareDataFolders(options_);
    EXPECT_FALSE(result.usable);
    ASSERT_EQ(result.refusals.size(), 1u);
    EXPECT_NE(result.refusals[0].find(L"reparse point"), std::wstring::npos);
    EXPECT_FALSE(fs::exists(Logs() / L"service.log"));
}

// Guards against the service appending its log to a file a user linked in as service.log.
TEST_F(DataFolderTest, RefusesALogFileThatIsAHardLink) {
    fs::create_directories(Logs());
    const fs::path victim = root_ / L"victim.txt";
    std::ofstream(victim, std::ios::binary) << "precious";
    if (!CreateHardLinkW((Logs() / L"service.log").c_str(), victim.c_str(), nullptr)) {
        GTEST_SKIP() << "CreateHardLinkW failed (win32=" << GetLastError() << ")";
    }
    const DataFolderResult result = PrepareDataFolders(options_);
    EXPECT_FALSE(result.usable);
    ASSERT_EQ(result.refusals.size(), 1u);
    EXPECT_NE(result.refusals[0].find(L"hard link"), std::wstring::npos);
    EXPECT_EQ(ReadAll(victim), "precious");
}

// A symbolic link made from outside Wine (ln -s) shows as a reparse point on its path.
TEST_F(DataFolderTest, RefusesAFolderThatIsASymbolicLink) {
    const fs::path elsewhere = root_ / L"elsewhere";
    fs::create_directories(elsewhere);
    char unix_target[MAX_PATH * 3] = {};
    char unix_link[MAX_PATH * 3] = {};
    using UnixName = char*(__cdecl*)(const wchar_t*);
    const auto to_unix = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (to_unix == nullptr) {
        GTEST_SKIP() << "not under Wine: no way to make a symbolic link without privilege";
    }
    char* target = to_unix(elsewhere.c_str());
    char* link = to_unix(Orrinfield().c_str());
    ASSERT_NE(target, nullptr);
    ASSERT_NE(link, nullptr);
    lstrcpynA(unix_target, target, sizeof(unix_target));
    lstrcpynA(unix_link, link, sizeof(unix_link));
    HeapFree(GetProcessHeap(), 0, target);
    HeapFree(GetProcessHeap(), 0, link);
    unix_link_ = common::Utf8ToWide(unix_link);
    ASSERT_TRUE(RunUnixUntil(
        L"/bin/ln -s \"" + common::Utf8ToWide(unix_target) + L"\" \"" + unix_link_ + L"\"",
        [this] { return GetFileAttributesW(Orrinfield().c_str()) != INVALID_FILE_ATTRIBUTES; }))
        << "ln -s did not make the link within 5 s";

    const DataFolderResult result = PrepareDataFolders(options_);
    EXPECT_FALSE(result.usable);
    ASSERT_EQ(result.refusals.size(), 1u);
    EXPECT_NE(result.refusals[0].find(L"reparse point"), std::wstring::npos);
    EXPECT_TRUE(fs::is_empty(elsewhere)) << "something was created through the link";
}

TEST_F(DataFolderTest, ARefusalKeepsTheLogFileClosedAndIsLoggedElsewhere) {
    common::log_testing::ResetLogState();
    std::vector<std::wstring> lines;
    common::log_testing::SetLogObserver(
        [&lines](std::wstring_view line) { lines.emplace_back(line); });
    OwnerOf(L"\\Orrinfield", kOtherUser);

    EXPECT_FALSE(OpenServiceLog(options_));
    const std::wstring marker =
        L"data-folder-marker-" + test::UniqueSuffixW() + L"-" + std::to_wstring(GetTickCount64());
    common::LogLine(common::LogLevel::Info, marker);
    common::log_testing::SetLogObserver({});

    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[0].find(L"[service] ERR  data folder check: refusing"), std::wstring::npos)
        << common::WideToUtf8(lines[0]);
    // SetLogName("service") would have opened ProgramData's service.log: it must not hold the line.
    wchar_t program_data[MAX_PATH] = {};
    ASSERT_NE(GetEnvironmentVariableW(L"ProgramData", program_data, MAX_PATH), 0u);
    const fs::path real_log = fs::path(program_data) / L"Orrinfield\\vpn\\logs\\service.log";
    EXPECT_EQ(ReadAll(real_log).find(common::WideToUtf8(marker)), std::string::npos);
    common::log_testing::ResetLogState();
}

// The access lists are applied as SDDL; Wine does not store file DACLs, so check what is built.
TEST(DataFolderAccessLists, ConvertAndReadBackAsWritten) {
    for (const wchar_t* sddl : {kDataFolderSddl, kLogFolderSddl, kServiceLogFileSddl}) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr))
            << common::WideToUtf8(sddl);
        const common::UniqueLocalMemory owned(descriptor);
        LPWSTR text = nullptr;
        ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
        const common::UniqueLocalPtr<wchar_t> owned_text(text);
        EXPECT_EQ(CompareStringOrdinal(text, -1, sddl, -1, TRUE), CSTR_EQUAL)
            << common::WideToUtf8(text);
    }
}

}  // namespace
}  // namespace lumet::service
