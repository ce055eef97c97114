// The quoting rule against the system's own command-line splitter.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "agent/openvpn/command_line.h"
#include "common/win_handle.h"

namespace lumet::agent::openvpn {
namespace {

TEST(CommandLineWinTest, CommandLineToArgvGivesTheArgumentsBack) {
    const std::vector<std::wstring> args = {
        L"C:\\Program Files\\OpenVPN\\config\\x.ovpn",
        L"",
        L"Orrinfield-OpenVpnExit-00112233445566778899aabbccddeeff",
        L"ends in backslash\\",
        L"has \"quotes\" and \\\"escapes\\\"",
        L"\\\\unc\\path",
        L"tab\tinside",
    };
    // The program name is parsed by other rules; give it a plain one.
    const std::wstring line = L"openvpn.exe " + JoinCommandLine(args);
    int count = 0;
    common::UniqueLocalPtr<wchar_t*> argv(CommandLineToArgvW(line.c_str(), &count));
    ASSERT_TRUE(argv.valid()) << GetLastError();
    ASSERT_EQ(count, static_cast<int>(args.size() + 1));
    for (size_t i = 0; i < args.size(); ++i) {
        EXPECT_EQ(std::wstring(argv.get()[i + 1]), args[i]) << i;
    }
}

}  // namespace
}  // namespace lumet::agent::openvpn
