#include "service/wireguard/protected_file.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/utf.h"
#include "common/wine.h"
#include "tests/support/test_util.h"
#include "tests/support/win_test_util.h"

namespace lumet::service::wireguard {
namespace {

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(bytes.empty() ||
                WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<missing>";
    }
    std::string bytes;
    char chunk[8192];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class SecureDeleteTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = test::MakeTempDirectory(L"lumet-secure-delete-"); }
    void TearDown() override {
        for (const std::wstring& path : cleanup_) {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
        RemoveDirectoryW(dir_.c_str());
    }
    std::wstring Path(const wchar_t* leaf) {
        std::wstring path = dir_ + L"\\" + leaf;
        cleanup_.push_back(path);
        return path;
    }

    std::wstring dir_;
    std::vector<std::wstring> cleanup_;
};

TEST(ProtectedSecurityDescriptorTest, GrantsOnlySystemAndAdministratorsAndIsProtected) {
    std::unique_ptr<ProtectedSecurityDescriptor> sd =
        ProtectedSecurityDescriptor::Build(kProtectedFileAccessMask);
    ASSERT_TRUE(sd) << GetLastError();
    const std::optional<std::wstring> sddl = sd->ToSddl();
    ASSERT_TRUE(sddl.has_value());
    // FA is 0x1F01FF; "P" is the protection that cuts off inherited entries; no inheritance flags.
    EXPECT_EQ(*sddl, L"O:BAG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)");

    // The DACL handed to SetNamedSecurityInfoW/SetSecurityInfo is the same two entries.
    ACL_SIZE_INFORMATION info = {};
    ASSERT_TRUE(GetAclInformation(sd->dacl(), &info, sizeof(info), AclSizeInformation));
    EXPECT_EQ(info.AceCount, 2u);
}

// A second hard link to the file shows what the delete left in the file's data: zeros of the
// same length when overwritten, the original bytes when not.
TEST_F(SecureDeleteTest, OverwritesContentWithZerosBeforeDeleting) {
    struct Case {
        size_t size;
        bool overwritten;
    };
    const Case cases[] = {
        {1, true},       {4096, true},     {4097, true},  // a partial second block
        {1048575, true}, {1048576, false},  // too big to be one of ours: deleted as is
    };
    for (const Case& c : cases) {
        const std::wstring path = Path(L"secret.conf");
        const std::wstring witness = Path(L"witness");
        const std::string content(c.size, 'k');
        WriteBytes(path, content);
        ASSERT_TRUE(CreateHardLinkW(witness.c_str(), path.c_str(), nullptr)) << GetLastError();

        EXPECT_TRUE(SecureDeleteFile(path));
        EXPECT_FALSE(Exists(path)) << c.size;
        const std::string left = ReadBytes(witness);
        EXPECT_EQ(left, c.overwritten ? std::string(c.size, '\0') : content) << c.size;
        DeleteFileW(witness.c_str());
    }
}

TEST_F(SecureDeleteTest, DeletesReadOnlyAndEmptyFilesAndAcceptsMissingOnes) {
    const std::wstring read_only = Path(L"read-only.conf");
    WriteBytes(read_only, "PrivateKey = x");
    ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(SecureDeleteFile(read_only));
    EXPECT_FALSE(Exists(read_only));

    const std::wstring empty = Path(L"empty.conf");
    WriteBytes(empty, "");
    EXPECT_TRUE(SecureDeleteFile(empty));
    EXPECT_FALSE(Exists(empty));

    EXPECT_TRUE(SecureDeleteFile(Path(L"never-there.conf")));
    EXPECT_TRUE(SecureDeleteFile(L""));
}

TEST_F(SecureDeleteTest, LeavesDirectoriesAlone) {
    const std::wstring sub = dir_ + L"\\looks-like-a.conf";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    const std::wstring inner = Path(L"looks-like-a.conf\\inside");
    WriteBytes(inner, "keep");
    EXPECT_TRUE(SecureDeleteFile(sub));
    EXPECT_EQ(ReadBytes(inner), "keep");
    DeleteFileW(inner.c_str());
    RemoveDirectoryW(sub.c_str());
}

TEST(FinalPathNamesTest, MatchesOnlyTheSamePlace) {
    // (final path as GetFinalPathNameByHandleW gives it, expected full path, same place?)
    const std::tuple<const wchar_t*, const wchar_t*, bool> cases[] = {
        {L"\\\\?\\C:\\ProgramData\\Orrinfield", L"C:\\ProgramData\\Orrinfield", true},
        {L"\\\\?\\C:\\ProgramData\\Orrinfield", L"c:\\programdata\\orrinfield\\", true},
        {L"\\\\?\\C:\\ProgramData\\Orrinfield\\", L"C:\\ProgramData\\Orrinfield", true},
        {L"\\\\?\\UNC\\server\\share\\dir", L"\\\\server\\share\\dir", true},
        // A link on the way leads elsewhere.
        {L"\\\\?\\D:\\elsewhere", L"C:\\ProgramData\\Orrinfield", false},
        {L"\\\\?\\C:\\ProgramData\\Orrinfield2", L"C:\\ProgramData\\Orrinfield", false},
        {L"\\\\?\\C:\\ProgramData", L"C:\\ProgramData\\Orrinfield", false},
        {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share", false},
        // Not the form GetFinalPathNameByHandleW gives, or nothing at all.
        {L"C:\\ProgramData\\Orrinfield", L"C:\\ProgramData\\Orrinfield", false},
        {L"", L"", false},
        {L"\\\\?\\", L"", false},
    };
    for (const auto& [final_path, expected, same] : cases) {
        EXPECT_EQ(FinalPathNames(final_path, expected), same)
            << common::WideToUtf8(final_path) << " vs " << common::WideToUtf8(expected);
    }
}

class CheckedDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = test::MakeTempDirectory(L"lumet-checked-dir-"); }
    void TearDown() override {
        for (auto it = cleanup_.rbegin(); it != cleanup_.rend(); ++it) {
            if (!RemoveDirectoryW(it->c_str())) {
                DeleteFileW(it->c_str());
            }
        }
        RemoveDirectoryW(dir_.c_str());
    }
    std::wstring Directory(const wchar_t* leaf) {
        std::wstring path = dir_ + L"\\" + leaf;
        CreateDirectoryW(path.c_str(), nullptr);
        cleanup_.push_back(path);
        return path;
    }

    std::wstring dir_;
    std::vector<std::wstring> cleanup_;
};

TEST_F(CheckedDirectoryTest, AcceptsOnlyAPlainDirectoryAtTheExpectedPlace) {
    const std::wstring plain = Directory(L"plain");
    const std::wstring file = dir_ + L"\\a-file";
    WriteBytes(file, "x");
    cleanup_.push_back(file);

    CheckedDirectory opened = OpenCheckedDirectory(plain);
    ASSERT_EQ(opened.status, DirectoryCheck::Ok) << GetLastError();
    EXPECT_TRUE(opened.handle.valid());
    // Held without FILE_SHARE_DELETE: the checked directory cannot be moved away meanwhile.
    // Wine does not enforce sharing on a directory rename.
    if (!common::RunningUnderWine()) {
        EXPECT_FALSE(MoveFileW(plain.c_str(), (dir_ + L"\\moved").c_str()));
    }
    opened.handle.reset();

    // Given with a trailing separator and other case, it is still the same directory.
    std::wstring respelled = plain + L"\\";
    CharUpperBuffW(respelled.data(), static_cast<DWORD>(respelled.size()));
    EXPECT_EQ(OpenCheckedDirectory(respelled).status, DirectoryCheck::Ok);

    const struct {
        std::wstring path;
        DirectoryCheck status;
    } refused[] = {
        {dir_ + L"\\never-there", DirectoryCheck::OpenFailed},
        {file, DirectoryCheck::NotPlainDirectory},
    };
    for (const auto& c : refused) {
        const CheckedDirectory result = OpenCheckedDirectory(c.path);
        EXPECT_EQ(result.status, c.status) << common::WideToUtf8(c.path);
        EXPECT_FALSE(result.handle.valid());
    }
}

// A link planted in place of the directory, or on the way to it, is refused through the handle:
// nothing is secured at the place the link points to.
TEST_F(CheckedDirectoryTest, RefusesALinkInPlaceOfTheDirectoryOrOnTheWay) {
    if (test::UnixPath(L"C:\\").empty()) {
        GTEST_SKIP() << "needs Wine's Unix path mapping to plant a link";
    }
    const std::wstring target = Directory(L"target");
    Directory(L"target\\inner");
    const std::wstring link = dir_ + L"\\link";
    ASSERT_TRUE(test::MakeDirectoryLink(target, link));

    for (const std::wstring& path : {link, link + L"\\inner"}) {
        const CheckedDirectory result = OpenCheckedDirectory(path);
        EXPECT_NE(result.status, DirectoryCheck::Ok) << common::WideToUtf8(path);
        EXPECT_FALSE(result.handle.valid());
    }
    // The inner directory is plain itself: only its final path gives the link away.
    EXPECT_EQ(OpenCheckedDirectory(link + L"\\inner").status, DirectoryCheck::Elsewhere);
    EXPECT_TRUE(test::RemoveLink(link));
}

TEST_F(CheckedDirectoryTest, AppliesTheDescriptorThroughTheHandleAndRefusesANullDacl) {
    const CheckedDirectory opened = OpenCheckedDirectory(Directory(L"secured"));
    ASSERT_EQ(opened.status, DirectoryCheck::Ok);
    std::unique_ptr<ProtectedSecurityDescriptor> sd =
        ProtectedSecurityDescriptor::Build(kProtectedFileAccessMask);
    ASSERT_TRUE(sd);
    // Owner, group and DACL all go through the one handle (opened with WRITE_OWNER | WRITE_DAC).
    EXPECT_EQ(ApplyDescriptorToHandle(opened.handle.get(), sd->descriptor()),
              static_cast<DWORD>(ERROR_SUCCESS));

    // A descriptor without a DACL would leave the directory open to everyone.
    SECURITY_DESCRIPTOR empty = {};
    ASSERT_TRUE(InitializeSecurityDescriptor(&empty, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(ApplyDescriptorToHandle(opened.handle.get(), &empty),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&empty, TRUE, nullptr, FALSE));
    EXPECT_EQ(ApplyDescriptorToHandle(opened.handle.get(), &empty),
              static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}

}  // namespace
}  // namespace lumet::service::wireguard
