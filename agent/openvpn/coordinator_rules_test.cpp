#include "agent/openvpn/coordinator_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/openvpn/random_hex.h"

namespace lumet::agent::openvpn {
namespace {

const std::string kProfile =
    "client\n"
    "dev tun\n"
    "proto udp\n"
    "remote vpn.example.net 1194\n"
    "auth-user-pass\n"
    "<ca>\n"
    "-----BEGIN CERTIFICATE-----\n"
    "MIIB\n"
    "-----END CERTIFICATE-----\n"
    "</ca>\n";

TEST(CoordinatorRulesTest, ProfileGetsAuthNoCacheOnceAndIsValidated) {
    const struct {
        std::string in;
        std::string staged;
        OpenVpnError error;
    } cases[] = {
        {kProfile, kProfile + "auth-nocache\n", OpenVpnError::None},
        // Already there as the first word of a line: unchanged.
        {"auth-nocache\n" + kProfile, "auth-nocache\n" + kProfile, OpenVpnError::None},
        // Only in a comment: appended after the missing line feed.
        {kProfile + "# auth-nocache", kProfile + "# auth-nocache\nauth-nocache\n",
         OpenVpnError::None},
        {"client\ndev tun\nproto icmp\nremote h 1\nauth-user-pass\n",
         "client\ndev tun\nproto icmp\nremote h 1\nauth-user-pass\nauth-nocache\n",
         OpenVpnError::UnsupportedProtocol},
        {"client\ndev tun\nremote h 1\nauth-user-pass\n",
         "client\ndev tun\nremote h 1\nauth-user-pass\nauth-nocache\n",
         OpenVpnError::UnsupportedProtocol},
        {"", "auth-nocache\n", OpenVpnError::InvalidRequest},
        {kProfile + "script-security 2\n", kProfile + "script-security 2\nauth-nocache\n",
         OpenVpnError::InvalidRequest},
    };
    for (const auto& c : cases) {
        common::SecureStdString staged;
        EXPECT_EQ(PrepareProfile(c.in, &staged), c.error) << c.in;
        EXPECT_EQ(staged, c.staged) << c.in;
    }
}

TEST(CoordinatorRulesTest, CredentialsAreCheckedBeforeAnythingStarts) {
    const std::string longest(255, 'u');
    const struct {
        std::string username;
        std::string password;
        OpenVpnError error;
    } cases[] = {
        {"alice", "pa ss \"word\"\\", OpenVpnError::None},
        {longest, "\xc3\xa9t\xc3\xa9", OpenVpnError::None},
        {"alice", "", OpenVpnError::InvalidRequest},
        {"", "secret", OpenVpnError::InvalidRequest},
        {longest + "u", "secret", OpenVpnError::InvalidRequest},
        {"al\tice", "secret", OpenVpnError::InvalidRequest},
        {"alice", "sec\nret", OpenVpnError::InvalidRequest},
        {"alice", "del\x7f", OpenVpnError::InvalidRequest},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckCredentials(c.username, c.password), c.error) << c.username;
    }
}

TEST(CoordinatorRulesTest, StageAndLaunchFailuresMapToTheirErrors) {
    EXPECT_EQ(ErrorForStageOutcome(1), OpenVpnError::ServiceUnreachable);
    EXPECT_EQ(ErrorForStageOutcome(2), OpenVpnError::AccessRefused);
    EXPECT_EQ(ErrorForStageOutcome(3), OpenVpnError::Rejected);
    for (const uint16_t other : {0, 4, 5, 0xFFFF}) {
        EXPECT_EQ(ErrorForStageOutcome(other), OpenVpnError::InternalError) << other;
    }
    EXPECT_EQ(ErrorForLaunchStatus(1), OpenVpnError::ServiceUnreachable);
    EXPECT_EQ(ErrorForLaunchStatus(2), OpenVpnError::LaunchIoFailed);
    EXPECT_EQ(ErrorForLaunchStatus(3), OpenVpnError::AccessRefused);
    EXPECT_EQ(ErrorForLaunchStatus(4), OpenVpnError::Rejected);
    for (const uint32_t other : {5u, 6u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ErrorForLaunchStatus(other), OpenVpnError::LaunchFailed) << other;
    }
}

TEST(CoordinatorRulesTest, OpenVpnArgumentsInOrder) {
    const std::wstring event = ExitEventName(L"00112233445566778899aabbccddeeff");
    EXPECT_EQ(event, L"Orrinfield-OpenVpnExit-00112233445566778899aabbccddeeff");
    const std::vector<std::wstring> expected = {L"--config",
                                                L"C:\\cfg\\ovpn-1-ab.ovpn",
                                                L"--management",
                                                L"127.0.0.1",
                                                L"65535",
                                                L"stdin",
                                                L"--management-hold",
                                                L"--management-query-passwords",
                                                L"--management-signal",
                                                L"--service",
                                                event,
                                                L"0"};
    EXPECT_EQ(OpenVpnArguments(L"C:\\cfg\\ovpn-1-ab.ovpn", 65535, event), expected);
}

TEST(CoordinatorRulesTest, LeftoverWorkingFiles) {
    for (const wchar_t* name : {L"ovpn-1.conf", L"ovpn-.log", L"ovpn-3-abc.tmp.log"}) {
        EXPECT_TRUE(IsLeftoverWorkingFile(name)) << name;
    }
    for (const wchar_t* name : {L"OVPN-1.conf", L"ovpn-1.LOG", L"ovpn-1.ovpn", L"ovpn-1",
                                L"xovpn-1.log", L"ovpn-1.conf.bak", L"openvpn-status.log"}) {
        EXPECT_FALSE(IsLeftoverWorkingFile(name)) << name;
    }
}

TEST(CoordinatorRulesTest, ConnectingPollChecksInOrder) {
    const struct {
        ConnectingView view;
        ConnectingStep step;
    } cases[] = {
        {{0, 0, false, false}, ConnectingStep::KeepWaiting},
        {{5, 0, false, false}, ConnectingStep::KeepWaiting},
        // CONNECTED wins over everything seen in the same poll.
        {{10, 7, true, true}, ConnectingStep::Connected},
        {{5, 7, true, true}, ConnectingStep::EndOnError},
        {{5, 0, true, true}, ConnectingStep::ProcessExited},
        {{5, 0, false, true}, ConnectingStep::TimedOut},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NextConnectingStep(c.view), c.step)
            << int(c.view.state) << " " << c.view.error << " " << c.view.process_ended;
    }
}

TEST(CoordinatorRulesTest, LowerHexHighNibbleFirst) {
    const uint8_t bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(LowerHex(bytes), "000fa5ff");
    EXPECT_EQ(LowerHex({}), "");
}

TEST(CoordinatorRulesTest, StartRequestCopiesAndMovesLeaveNoSecretBehind) {
    StartRequest original(kProfile, "alice", "s3cret");
    StartRequest copy = original;
    EXPECT_EQ(copy.password, "s3cret");
    StartRequest moved = std::move(original);
    EXPECT_EQ(moved.username, "alice");
    // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from request must be empty.
    EXPECT_TRUE(original.config.empty() && original.username.empty() && original.password.empty());
    moved.WipeCredentials();
    EXPECT_TRUE(moved.username.empty() && moved.password.empty());
    EXPECT_EQ(moved.config, kProfile);
}

// Log lines name the category; a missing or shared name would make two failures look alike.
TEST(CoordinatorRulesTest, EveryErrorHasItsOwnName) {
    std::vector<std::string> seen;
    for (uint16_t code = 0; code <= 16; ++code) {
        if (code == 4) {
            continue;  // never used on the wire
        }
        const std::string name = OpenVpnErrorName(static_cast<OpenVpnError>(code));
        EXPECT_NE(name, "Unknown") << code;
        for (const std::string& other : seen) {
            EXPECT_NE(name, other) << code;
        }
        seen.push_back(name);
    }
    EXPECT_STREQ(OpenVpnErrorName(OpenVpnError::AuthFailed), "AuthFailed");
    EXPECT_STREQ(OpenVpnErrorName(static_cast<OpenVpnError>(4)), "Unknown");
    EXPECT_STREQ(OpenVpnErrorName(static_cast<OpenVpnError>(17)), "Unknown");
}

}  // namespace
}  // namespace lumet::agent::openvpn
