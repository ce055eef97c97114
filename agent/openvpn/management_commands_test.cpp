// Commands sent on the management interface and the value check that guards credentials.
#include "agent/openvpn/management_commands.h"

#include <gtest/gtest.h>

#include <string>

namespace lumet::agent::openvpn {
namespace {

TEST(ManagementCommandsTest, CredentialValueCheck) {
    const struct {
        std::string value;
        CredentialCheck expected;
    } cases[] = {
        {"alice", CredentialCheck::Ok},
        {"p@ss w\"rd\\", CredentialCheck::Ok},
        {"\xC3\xA9l\xC3\xA8ve", CredentialCheck::Ok},  // UTF-8 is fine
        {std::string(255, 'a'), CredentialCheck::Ok},
        {"", CredentialCheck::Empty},
        {std::string(256, 'a'), CredentialCheck::TooLong},
        {std::string(300, '\n'), CredentialCheck::TooLong},
        {"tab\there", CredentialCheck::ControlCharacter},
        {"line\nbreak", CredentialCheck::ControlCharacter},
        {std::string("nul\0x", 5), CredentialCheck::ControlCharacter},
        {"del\x7F", CredentialCheck::ControlCharacter},
        {"\x1F", CredentialCheck::ControlCharacter},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckCredentialValue(c.value), c.expected) << c.value;
        // The builders accept exactly the values the check accepts.
        const bool ok = c.expected == CredentialCheck::Ok;
        EXPECT_EQ(CredentialCommand(CredentialKind::Username, c.value).has_value(), ok);
        EXPECT_EQ(CredentialCommand(CredentialKind::Password, c.value).has_value(), ok);
        EXPECT_EQ(ManagementPasswordLine(c.value).has_value(), ok);
    }
}

TEST(ManagementCommandsTest, CredentialCommandsEscapeQuotesAndBackslashes) {
    const struct {
        CredentialKind kind;
        std::string value;
        std::string expected;
    } cases[] = {
        {CredentialKind::Username, "alice", "username \"Auth\" \"alice\"\n"},
        {CredentialKind::Password, "s3cret", "password \"Auth\" \"s3cret\"\n"},
        {CredentialKind::Username, "a\"b", "username \"Auth\" \"a\\\"b\"\n"},
        {CredentialKind::Password, "C:\\x\\\"", "password \"Auth\" \"C:\\\\x\\\\\\\"\"\n"},
        {CredentialKind::Password, "'single' $x %y", "password \"Auth\" \"'single' $x %y\"\n"},
    };
    for (const auto& c : cases) {
        const auto command = CredentialCommand(c.kind, c.value);
        ASSERT_TRUE(command.has_value()) << c.value;
        EXPECT_EQ(command->str(), c.expected);
    }
    // A value that is all quotes doubles in size but stays one line.
    const auto quotes = CredentialCommand(CredentialKind::Password, std::string(255, '"'));
    ASSERT_TRUE(quotes.has_value());
    EXPECT_EQ(quotes->str().size(), std::string("password \"Auth\" \"\"\n").size() + 510);
    EXPECT_EQ(quotes->str().find('\n'), quotes->str().size() - 1);
}

TEST(ManagementCommandsTest, FixedCommandsAndPasswordLine) {
    EXPECT_EQ(StateOnCommand(), "state on\n");
    EXPECT_EQ(ByteCountCommand(5), "bytecount 5\n");
    EXPECT_EQ(ByteCountCommand(4294967295u), "bytecount 4294967295\n");
    EXPECT_EQ(HoldReleaseCommand(), "hold release\n");
    EXPECT_EQ(TerminateCommand(), "signal SIGTERM\n");
    EXPECT_EQ(ManagementPasswordLine("0123abcd")->str(), "0123abcd\n");
}

TEST(ManagementCommandsTest, PreviewKeepsOnlyPrintableBytesUpToItsLimit) {
    EXPECT_EQ(Preview("ENTER PASSWORD:"), L"ENTER PASSWORD:");
    EXPECT_EQ(Preview("a\r\nb\t\x7F\x80\xFF~ "), L"a..b....~ ");
    EXPECT_EQ(Preview(std::string(100, 'z')), std::wstring(80, L'z'));
    EXPECT_EQ(Preview(std::string(100, 'z'), 48), std::wstring(48, L'z'));
    EXPECT_EQ(Preview(std::string(100, 'z'), 500), std::wstring(80, L'z'));
    EXPECT_EQ(Preview(""), L"");
}

TEST(ManagementCommandsTest, FirstWordNeverReachesTheCredential) {
    EXPECT_EQ(CommandFirstWord("password \"Auth\" \"secret\"\n"), "password");
    EXPECT_EQ(CommandFirstWord("hold release\n"), "hold");
    EXPECT_EQ(CommandFirstWord("0123abcd\n"), "0123abcd");
    EXPECT_EQ(CommandFirstWord("abcdefghijklmnopqrstuvwxyz"), "abcdefghijkl");
    EXPECT_EQ(CommandFirstWord(""), "");
}

}  // namespace
}  // namespace lumet::agent::openvpn
