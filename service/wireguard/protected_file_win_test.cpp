#include "service/wireguard/protected_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_util.h"

namespace lumet::service::wireguard {
namespace {

std::wstring TempDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, buffer);
    std::wstring dir = std::wstring(buffer) + L"lumet-secure-delete-" + test::UniqueSuffixW();
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

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
    void SetUp() override { dir_ = TempDirectory(); }
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

}  // namespace
}  // namespace lumet::service::wireguard
