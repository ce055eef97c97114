#include "agent/openvpn/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumet::agent::openvpn {
namespace {

// The argument splitting of the Microsoft C runtime (since 2008), used to prove that whatever is
// joined comes back as the same arguments; the Wine test checks the same against
// CommandLineToArgvW itself.
std::vector<std::wstring> SplitLikeTheRuntime(std::wstring_view line) {
    std::vector<std::wstring> args;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        std::wstring arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != L' ' && line[i] != L'\t'))) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == L'\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == L'"') {
                arg.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    arg.push_back(L'"');
                } else if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
                    arg.push_back(L'"');
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                arg.append(backslashes, L'\\');
                if (i < line.size() && (quoted || (line[i] != L' ' && line[i] != L'\t'))) {
                    arg.push_back(line[i]);
                    ++i;
                }
            }
        }
        args.push_back(arg);
    }
    return args;
}

TEST(CommandLineTest, QuotesOnlyWhatNeedsIt) {
    const struct {
        std::wstring in;
        std::wstring out;
    } cases[] = {
        {L"--config", L"--config"},
        {L"C:\\Program Files\\x.ovpn", L"\"C:\\Program Files\\x.ovpn\""},
        // Backslashes without a following quote stay as they are, even inside quotes.
        {L"C:\\dir\\file", L"C:\\dir\\file"},
        {L"", L"\"\""},
        {L"a\tb", L"\"a\tb\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        // A run of backslashes before a quote is doubled plus one.
        {L"a\\\\\"b", L"\"a\\\\\\\\\\\"b\""},
        // A trailing run is doubled so that the closing quote survives.
        {L"C:\\Program Files\\", L"\"C:\\Program Files\\\\\""},
        {L"x y\\\\", L"\"x y\\\\\\\\\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuoteArgument(c.in), c.out) << c.in;
    }
}

TEST(CommandLineTest, JoinedArgumentsSplitBackUnchanged) {
    const std::vector<std::wstring> args = {
        L"--config",
        L"C:\\Program Files\\OpenVPN\\config\\orrinfield\\ovpn-3-0123456789abcdef.ovpn",
        L"--management",
        L"127.0.0.1",
        L"50123",
        L"stdin",
        L"",
        L"trailing\\ space\\",
        L"\\\\server\\share\\\"quoted\"\\",
        L"tab\there",
        L"\"",
        L"\\",
    };
    EXPECT_EQ(SplitLikeTheRuntime(JoinCommandLine(args)), args);
    EXPECT_EQ(JoinCommandLine({L"a", L"b c", L""}), L"a \"b c\" \"\"");
    EXPECT_EQ(JoinCommandLine({}), L"");
}

}  // namespace
}  // namespace lumet::agent::openvpn
