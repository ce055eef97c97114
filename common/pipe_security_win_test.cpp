#include "common/pipe_security.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "common/log_for_testing.h"
#include "common/session_win.h"
#include "common/win_handle.h"
#include "test_util.h"

namespace lumet::common {
namespace {

// Counts the log lines that carry `message` while it is alive. Lines are seen in this process
// only, so tests running in parallel in one Wine prefix do not see each other's lines, as they
// would in the shared log file.
class LogLineCounter {
  public:
    explicit LogLineCounter(std::wstring message) : message_(std::move(message)) {
        log_testing::SetLogObserver([this](std::wstring_view line) {
            if (line.find(message_) != std::wstring_view::npos) {
                ++count_;
            }
        });
    }
    ~LogLineCounter() { log_testing::SetLogObserver({}); }
    size_t count() const { return count_; }

  private:
    std::wstring message_;
    size_t count_ = 0;
};

std::wstring DaclSddl(PSECURITY_DESCRIPTOR descriptor) {
    UniqueLocalPtr<wchar_t> sddl;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, sddl.put(), nullptr)) {
        return L"<conversion failed>";
    }
    return sddl.get();
}

TEST(PipeSecurityTest, BadSidTextsAreSkippedWithOneWarningEach) {
    const std::wstring good = AdministratorsSidText();
    struct Case {
        const char* what;
        std::vector<std::wstring> texts;
        size_t entries;  // 0: no descriptor at all
        size_t warnings;
    };
    const Case cases[] = {
        {"one bad, one good", {L"garbage", good}, 1, 1},
        // An empty text must never reach the converter (one was seen to read past its end).
        {"good between bad", {L"S-1-", good, L""}, 1, 2},
        {"bad after good", {good, L"S-1-5-21-x"}, 1, 1},
        {"only bad", {L"garbage", L"S-1-5-"}, 0, 2},
        {"empty list", {}, 0, 0},
        {"all good", {LocalSystemSidText(), good, L"S-1-5-21-1-2-3-1001"}, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<PipeSecurity> security;
        {
            LogLineCounter warnings(L"WARN PipeSecurity: bad SID string skipped");
            security = BuildPipeSecurity(c.texts);
            EXPECT_EQ(warnings.count(), c.warnings);
        }
        if (c.entries == 0) {
            EXPECT_FALSE(security.has_value());
            continue;
        }
        ASSERT_TRUE(security.has_value());
        EXPECT_EQ(security->entry_count(), c.entries);
        const SECURITY_ATTRIBUTES* sa = security->attributes();
        EXPECT_EQ(sa->nLength, sizeof(SECURITY_ATTRIBUTES));
        EXPECT_FALSE(sa->bInheritHandle);
        // Only a DACL: no owner, no group, no SACL.
        EXPECT_EQ(DaclSddl(sa->lpSecurityDescriptor).rfind(L"D:", 0), 0u);
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorOwner(sa->lpSecurityDescriptor, &owner, &defaulted));
        EXPECT_EQ(owner, nullptr);
    }
}

// Wine stores a pipe's DACL as given, so reading it back from the kernel object shows exactly
// what the servers apply. The descriptor is moved before use: the new owner must hand out a
// working descriptor and the moved-from one must free nothing.
TEST(PipeSecurityTest, PipeCarriesExactlyTheListedEntries) {
    const std::optional<std::wstring> user = CurrentUserSidText();
    ASSERT_TRUE(user.has_value());
    const std::vector<std::wstring> sids = {LocalSystemSidText(), AdministratorsSidText(), *user};

    std::optional<PipeSecurity> built = BuildPipeSecurity(sids);
    ASSERT_TRUE(built.has_value());
    PipeSecurity security = std::move(*built);
    built.reset();

    const std::wstring name = L"\\\\.\\pipe\\lumet-test-dacl-" + test::UniqueSuffixW();
    UniqueHandle pipe(CreateServerPipeInstance(name, security, 2, /*first_instance=*/true));
    ASSERT_TRUE(pipe.valid()) << GetLastError();

    PACL dacl = nullptr;
    UniqueLocalMemory descriptor;
    ASSERT_EQ(GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, descriptor.put()),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(DaclSddl(descriptor.get()),
              L"D:(A;;0x12019f;;;SY)(A;;0x12019f;;;BA)(A;;0x12019f;;;" + *user + L")");

    // Byte pipe, server end, the buffer sizes and instance limit asked for.
    DWORD flags = 0, out_size = 0, in_size = 0, max_instances = 0;
    ASSERT_TRUE(GetNamedPipeInfo(pipe.get(), &flags, &out_size, &in_size, &max_instances));
    EXPECT_EQ(flags, static_cast<DWORD>(PIPE_SERVER_END | PIPE_TYPE_BYTE));
    EXPECT_EQ(out_size, 16384u);
    EXPECT_EQ(in_size, 16384u);
    EXPECT_EQ(max_instances, 2u);
}

// Entries with masks of their own: the client mask is the full one without the right to create
// pipe instances, and nothing else.
TEST(PipeSecurityTest, ClientEntryCannotCreateInstances) {
    EXPECT_EQ(kPipeClientAccessMask, 0x0012019Bu);
    EXPECT_EQ(kPipeAccessMask & ~kPipeClientAccessMask,
              static_cast<DWORD>(FILE_CREATE_PIPE_INSTANCE));
    const std::optional<std::wstring> user = CurrentUserSidText();
    ASSERT_TRUE(user.has_value());
    std::optional<PipeSecurity> security = BuildPipeSecurity(std::vector<PipeAccessEntry>{
        {LocalSystemSidText(), kPipeAccessMask}, {*user, kPipeClientAccessMask}});
    ASSERT_TRUE(security.has_value());
    EXPECT_EQ(DaclSddl(security->attributes()->lpSecurityDescriptor),
              L"D:(A;;0x12019f;;;SY)(A;;0x12019b;;;" + *user + L")");
}

// A moved-from owner has no descriptor; creating a pipe with it would silently apply the default
// DACL, so it is refused.
TEST(PipeSecurityTest, MovedFromSecurityCreatesNoPipe) {
    std::optional<PipeSecurity> security = BuildPipeSecurity({AdministratorsSidText()});
    ASSERT_TRUE(security.has_value());
    PipeSecurity taken = std::move(*security);
    const std::wstring name = L"\\\\.\\pipe\\lumet-test-moved-" + test::UniqueSuffixW();
    SetLastError(0);
    UniqueHandle pipe(CreateServerPipeInstance(name, *security, 1, true));
    EXPECT_FALSE(pipe.valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(security->entry_count(), 0u);
    EXPECT_EQ(taken.entry_count(), 1u);
}

}  // namespace
}  // namespace lumet::common
