#include "service/lifecycle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumet::service {
namespace {

TEST(ConsoleModeRequest, OnlyTheFirstArgumentInAnyLetterCase) {
    struct Case {
        std::vector<const wchar_t*> args;
        bool console;
    };
    const Case cases[] = {
        {{L"svc.exe", L"--console"}, true},
        {{L"svc.exe", L"--CONSOLE"}, true},
        {{L"svc.exe", L"--CoNsOlE", L"ignored", L"extra"}, true},
        {{L"svc.exe"}, false},
        {{L"svc.exe", L"extra", L"--console"}, false},  // second argument does not count
        {{L"svc.exe", L"--console "}, false},
        {{L"svc.exe", L"-console"}, false},
        {{L"svc.exe", L"--consoles"}, false},
        {{L"svc.exe", L""}, false},
        {{L"svc.exe", nullptr}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsConsoleModeRequest(static_cast<int>(c.args.size()), c.args.data()), c.console)
            << "args: " << c.args.size()
            << " first: " << (c.args.size() > 1 && c.args[1] ? std::wstring(c.args[1]).size() : 0);
    }
    EXPECT_FALSE(IsConsoleModeRequest(2, nullptr));
}

TEST(ExecutableDirectory, CutsAtTheLastSeparatorAndRefusesTruncatedPaths) {
    const std::wstring full = L"C:\\Program Files\\Orrinfield\\OrrinfieldVPNService.exe";
    const uint32_t n = static_cast<uint32_t>(full.size());
    EXPECT_EQ(ExecutableDirectoryFromModulePath(full, n), L"C:\\Program Files\\Orrinfield");
    EXPECT_EQ(ExecutableDirectoryFromModulePath(L"Z:/tmp/build\\bin/svc.exe", 24),
              L"Z:/tmp/build\\bin");
    EXPECT_EQ(ExecutableDirectoryFromModulePath(L"svc.exe", 7), L"");
    EXPECT_EQ(ExecutableDirectoryFromModulePath(full, 0), L"");
    // The returned length decides, not a separator beyond it.
    EXPECT_EQ(ExecutableDirectoryFromModulePath(L"C:\\a\\b", 4), L"C:");

    // A path of 260 characters or more was truncated by GetModuleFileNameW: no directory.
    std::wstring long_path = L"C:\\" + std::wstring(kModulePathChars, L'x');
    EXPECT_EQ(ExecutableDirectoryFromModulePath(long_path, kModulePathChars), L"");
    EXPECT_EQ(ExecutableDirectoryFromModulePath(long_path, kModulePathChars - 1), L"C:");
}

TEST(StatusReports, FollowTheTableAndCountPendingCheckpoints) {
    uint32_t counter = 0;
    const StatusReport start = MakeStatusReport(StatusPhase::StartPending, &counter, 0);
    EXPECT_EQ(start, (StatusReport{2, 0, 0, 1, 5000}));

    const StatusReport running = MakeStatusReport(StatusPhase::Running, &counter, 0);
    EXPECT_EQ(running, (StatusReport{4, 0xC5, 0, 0, 0}));

    // A stop control is answered one checkpoint above the start report; each further pending
    // report goes one higher still.
    EXPECT_EQ(MakeStatusReport(StatusPhase::StopPending, &counter, 0),
              (StatusReport{3, 0xC5, 0, 2, 30000}));
    EXPECT_EQ(MakeStatusReport(StatusPhase::StopPending, &counter, 0).check_point, 3u);

    EXPECT_EQ(MakeStatusReport(StatusPhase::Stopped, &counter, 0),
              (StatusReport{1, 0xC5, 0, 0, 0}));
    EXPECT_EQ(MakeStatusReport(StatusPhase::Stopped, &counter, 1).win32_exit_code, 1066u);
    EXPECT_EQ(MakeStatusReport(StatusPhase::Stopped, &counter, -5).win32_exit_code, 1066u);
    EXPECT_EQ(counter, 3u);  // non-pending reports leave the counter alone
}

TEST(FormatHex32, EightUpperCaseDigits) {
    EXPECT_EQ(FormatHex32(0), L"0x00000000");
    EXPECT_EQ(FormatHex32(0xBEEF), L"0x0000BEEF");
    EXPECT_EQ(FormatHex32(0x1A2B3C4D), L"0x1A2B3C4D");
    EXPECT_EQ(FormatHex32(0xFFFFFFFF), L"0xFFFFFFFF");
}

}  // namespace
}  // namespace lumet::service
