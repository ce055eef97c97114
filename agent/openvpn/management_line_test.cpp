// Classification of management-interface lines, including what OpenVPN 2.6 really sends.
#include "agent/openvpn/management_line.h"

#include <gtest/gtest.h>

#include <string>

namespace lumet::agent::openvpn {
namespace {

using Kind = ManagementEventKind;
using State = ManagementState;
using Prompt = PasswordPromptKind;

ManagementEvent Event(Kind kind) {
    ManagementEvent e;
    e.kind = kind;
    return e;
}
ManagementEvent StateEvent(State state) {
    ManagementEvent e = Event(Kind::State);
    e.state = state;
    return e;
}
ManagementEvent Counts(uint64_t in, uint64_t out) {
    ManagementEvent e = Event(Kind::ByteCount);
    e.bytes_in = in;
    e.bytes_out = out;
    return e;
}
ManagementEvent PromptEvent(Prompt prompt) {
    ManagementEvent e = Event(Kind::PasswordPrompt);
    e.prompt = prompt;
    return e;
}
ManagementEvent Fatal(bool auth_failed) {
    ManagementEvent e = Event(Kind::Fatal);
    e.auth_failed = auth_failed;
    return e;
}

struct LineCase {
    std::string line;
    ManagementEvent expected;
};

TEST(ManagementLineTest, ClassifiesLines) {
    const LineCase cases[] = {
        // Replies and the information banner of a real session.
        {"SUCCESS: password is correct", Event(Kind::AuthSucceeded)},
        {"SUCCESS: 'Auth' username entered, but not yet verified", Event(Kind::AuthSucceeded)},
        {"ERROR: unknown command, enter 'help' for more options", Event(Kind::AuthRejected)},
        {">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info",
         Event(Kind::Other)},
        {"", Event(Kind::Other)},
        {"ENTER PASSWORD:", Event(Kind::Other)},
        {"success: lower case is not a reply", Event(Kind::Other)},
        // States: time stamp, name, further fields.
        {">STATE:1796620812,CONNECTED,SUCCESS,10.99.0.6,127.0.0.1,11940,,",
         StateEvent(State::Connected)},
        {">STATE:1796620812,WAIT,,,,,,", StateEvent(State::Wait)},
        {">STATE:1796620812,ASSIGN_IP,,10.99.0.6,,,,", StateEvent(State::AssignIp)},
        {">STATE:1796620797,EXITING,auth-failure,,,,,", StateEvent(State::Exiting)},
        {">STATE:1,AUTH_PENDING", StateEvent(State::AuthPending)},
        {">STATE:1,TCP_CONNECT,", StateEvent(State::TcpConnect)},
        {">STATE:1796620812", StateEvent(State::Other)},
        {">STATE:1,connected,", StateEvent(State::Other)},
        {">STATE:1,CONNECTED ,", StateEvent(State::Other)},
        {">STATE:", StateEvent(State::Other)},
        // Byte counts.
        {">BYTECOUNT:2944,1072", Counts(2944, 1072)},
        {">BYTECOUNT:0,18446744073709551615", Counts(0, UINT64_MAX)},
        {">BYTECOUNT:00000000000000000001,7", Counts(1, 7)},
        {">BYTECOUNT:18446744073709551616,1", Event(Kind::Malformed)},
        {">BYTECOUNT:123456789012345678901,1", Event(Kind::Malformed)},
        {">BYTECOUNT:12a,1", Event(Kind::Malformed)},
        {">BYTECOUNT:1,2,3", Event(Kind::Malformed)},
        {">BYTECOUNT:+1,2", Event(Kind::Malformed)},
        {">BYTECOUNT: 1,2", Event(Kind::Malformed)},
        {">BYTECOUNT:1,", Event(Kind::Malformed)},
        {">BYTECOUNT:12", Event(Kind::Malformed)},
        {">BYTECOUNT_CLI:1,2,3", Event(Kind::Other)},
        // Hold, log, fatal.
        {">HOLD:Waiting for hold release:0", Event(Kind::Hold)},
        {">LOG:1796620812,I,something", Event(Kind::Log)},
        {">FATAL:AUTH_FAILED", Fatal(true)},
        {">FATAL:server said AUTH_FAILED,session expired", Fatal(true)},
        {">FATAL:Cannot open TUN/TAP dev", Fatal(false)},
        {">FATAL:auth_failed", Fatal(false)},
        // Password prompts: the four questions exactly, and the refusal.
        {">PASSWORD:Need 'Private Key' password", PromptEvent(Prompt::PrivateKey)},
        {">PASSWORD:Need 'Auth' username/password", PromptEvent(Prompt::AuthUsernamePassword)},
        {">PASSWORD:Need 'Auth' username", PromptEvent(Prompt::AuthUsername)},
        {">PASSWORD:Need 'Auth' password", PromptEvent(Prompt::AuthPassword)},
        {">PASSWORD:Need 'Auth' username/password ", PromptEvent(Prompt::Unrecognised)},
        {">PASSWORD:Need 'HTTP Proxy' username/password", PromptEvent(Prompt::Unrecognised)},
        {">PASSWORD:Verification Failed: 'Auth'", PromptEvent(Prompt::VerificationFailed)},
        {">PASSWORD:Verification Failed: 'Private Key'", PromptEvent(Prompt::VerificationFailed)},
        {">PASSWORD:verification failed: 'Auth'", PromptEvent(Prompt::Unrecognised)},
        {">PASSWORD:", PromptEvent(Prompt::Unrecognised)},
    };
    for (const LineCase& c : cases) {
        EXPECT_EQ(ParseLine(c.line), c.expected) << c.line;
    }
}

TEST(ManagementLineTest, LengthLimitComesFirst) {
    const std::string at_limit = ">STATE:1,CONNECTED," + std::string(4096 - 19, 'x');
    ASSERT_EQ(at_limit.size(), kMaxManagementLineBytes);
    EXPECT_EQ(ParseLine(at_limit), StateEvent(State::Connected));
    EXPECT_EQ(ParseLine(at_limit + "x").kind, Kind::Malformed);
    EXPECT_EQ(ParseLine("SUCCESS:" + std::string(5000, 'x')).kind, Kind::Malformed);
}

}  // namespace
}  // namespace lumet::agent::openvpn
