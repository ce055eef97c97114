#include "cli/lumetctl_format.h"

#include <gtest/gtest.h>

#include "plugin/host_api.h"

namespace lumetctl {
namespace {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
namespace lv = lumet_windows_vpn;

// 2026-03-01 08:15:02.117 UTC.
constexpr int64_t kNow = 1772352902117;

TextClock FixedClock(int offset_minutes = 0) {
    TextClock clock;
    clock.now_ms = kNow;
    clock.utc_offset_minutes = [offset_minutes](int64_t) { return offset_minutes; };
    return clock;
}

TEST(LumetctlTest, CommandLines) {
    struct Case {
        std::vector<std::wstring> argv;
        std::string method;  // empty: an error is expected
        bool json;
        int wait_seconds;  // 0: no --wait
    };
    const Case cases[] = {
        {{L"lumetctl", L"health"}, "getHealth", false, 0},
        {{L"lumetctl", L"--json", L"wg-up", L"C:\\wg.conf"}, "startWireGuard", true, 0},
        {{L"lumetctl", L"ovpn-up", L"p.ovpn", L"alice"}, "startOpenVpn", false, 0},
        {{L"lumetctl", L"events", L"3", L"--json"}, "startEvents", true, 0},
        {{L"lumetctl", L"--wait", L"wg-up", L"w.conf"},
         "startWireGuard",
         false,
         kDefaultWaitSeconds},
        {{L"lumetctl", L"wg-up", L"w.conf", L"--wait", L"30"}, "startWireGuard", false, 30},
        {{L"lumetctl", L"ovpn-up", L"--wait", L"5", L"p.ovpn", L"bob"}, "startOpenVpn", false, 5},
        // A number after --wait is its limit, so "7" is no longer the profile here.
        {{L"lumetctl", L"ovpn-up", L"--wait", L"7", L"bob"}, "", false, 0},
        {{L"lumetctl", L"doctor"}, "", false, 0},
        {{L"lumetctl"}, "", false, 0},
        {{L"lumetctl", L"frobnicate"}, "", false, 0},
        {{L"lumetctl", L"wg-up"}, "", false, 0},
        {{L"lumetctl", L"health", L"extra"}, "", false, 0},
        {{L"lumetctl", L"events", L"soon"}, "", false, 0},
        {{L"lumetctl", L"health", L"--plugin"}, "", false, 0},
        {{L"lumetctl", L"--wait", L"health"}, "", false, 0},
        {{L"lumetctl", L"--wait", L"0", L"wg-up", L"w.conf"}, "", false, 0},
        {{L"lumetctl", L"--wait", L"3601", L"wg-up", L"w.conf"}, "", false, 0},
        {{L"lumetctl", L"doctor", L"now"}, "", false, 0},
    };
    for (const Case& c : cases) {
        const Command command = ParseCommandLine(c.argv);
        const bool doctor = c.argv.size() == 2 && c.argv[1] == L"doctor";
        EXPECT_EQ(command.error.empty(), !c.method.empty() || doctor) << command.error;
        if (command.error.empty()) {
            EXPECT_EQ(command.method, c.method);
            EXPECT_EQ(command.json, c.json);
            EXPECT_EQ(command.wait, c.wait_seconds != 0);
            EXPECT_EQ(command.wait_seconds, c.wait_seconds);
        }
    }
}

TEST(LumetctlTest, TimesAsLocalDateTimeAndAgo) {
    struct Case {
        int64_t ms;
        int offset;
        std::string text;
    };
    const Case cases[] = {
        {0, 0, "never"},
        {kNow - 12000, 0, "2026-03-01 08:14:50 (12 s ago)"},
        {kNow - 5 * 60000, 60, "2026-03-01 09:10:02 (5 min ago)"},
        // A negative offset that crosses midnight backwards, and a leap day.
        {1709168400000, -600, "2024-02-28 15:00:00 (731 d ago)"},
        {kNow - 3 * 3600000, 0, "2026-03-01 05:15:02 (3 h ago)"},
        {kNow + 3000, 0, "2026-03-01 08:15:05 (in 3 s)"},
        {1, 0, "1970-01-01 00:00:00 (20513 d ago)"},
        // What a clamped 64-bit counter would hold is no date.
        {9223372036854775807, 0, "9223372036854775807 (not a date)"},
        {-5, 0, "-5 (not a date)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TimeText(c.ms, FixedClock(c.offset)), c.text) << c.ms;
    }
    EXPECT_EQ(AgoText(59999), "59 s ago");
    EXPECT_EQ(AgoText(60000), "1 min ago");
    EXPECT_EQ(AgoText(48 * 3600000 - 1), "47 h ago");
    EXPECT_EQ(AgoText(INT64_MIN), "in 106751991167 d");
}

TEST(LumetctlTest, BytesAndDurations) {
    struct Bytes {
        int64_t value;
        std::string text;
    };
    const Bytes bytes[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1024 (1.00 KiB)"},
        {1536, "1536 (1.50 KiB)"},
        {1234567, "1234567 (1.18 MiB)"},
        {15 * 1024 * 1024, "15728640 (15.0 MiB)"},
        // Would round to "1024 KiB": shown in the next unit instead.
        {1048575, "1048575 (1.00 MiB)"},
        {9223372036854775807, "9223372036854775807 (8.00 EiB)"},
        {-1, "-1 B"},
    };
    for (const Bytes& b : bytes) {
        EXPECT_EQ(BytesText(b.value), b.text);
    }
    struct Duration {
        int64_t seconds;
        std::string text;
    };
    const Duration durations[] = {
        {0, "0 s"},          {59, "59 s"},        {60, "1 min"},
        {200, "3 min 20 s"}, {7500, "2 h 5 min"}, {3 * 86400 + 4 * 3600 + 59, "3 d 4 h"},
        {-3, "-3 s"},
    };
    for (const Duration& d : durations) {
        EXPECT_EQ(DurationText(d.seconds), d.text);
    }
}

TEST(LumetctlTest, StatesAndErrorsAsWordsWithMeaning) {
    EXPECT_EQ(OpenVpnErrorText(lv::LumetOpenVpnErrorKind::kAuthFailed),
              "authFailed \xE2\x80\x94 the server refused the user name or password");
    EXPECT_EQ(OpenVpnErrorText(lv::LumetOpenVpnErrorKind::kNone), "none");
    EXPECT_EQ(OpenVpnStateText(lv::LumetOpenVpnState::kConnected),
              "connected \xE2\x80\x94 the tunnel is up");
    EXPECT_EQ(OpenVpnStateText(static_cast<lv::LumetOpenVpnState>(13)), "?");
    EXPECT_EQ(WireGuardErrorText(0), "none");
    EXPECT_EQ(WireGuardErrorText(5),
              "adapterMissing \xE2\x80\x94 the tunnel service runs but its adapter never appeared");
    EXPECT_EQ(WireGuardErrorText(8), "8 \xE2\x80\x94 an error number this lumetctl does not know");
    EXPECT_EQ(WireGuardErrorText(-1),
              "-1 \xE2\x80\x94 an error number this lumetctl does not know");
    EXPECT_EQ(WireGuardStateText(lv::LumetComponentState::kAbsent),
              "absent \xE2\x80\x94 no tunnel");
    EXPECT_EQ(NativeErrorText(lv::LumetNativeErrorKind::kAgentUnavailable),
              "agentUnavailable \xE2\x80\x94 the agent could not be started or reached");
    // Every enum value has its Dart name (the JSON form depends on them).
    for (int v = 0; v <= 16; ++v) {
        EXPECT_STRNE(Name(static_cast<lv::LumetOpenVpnErrorKind>(v)), "?") << v;
    }
    for (int v = 0; v <= 12; ++v) {
        EXPECT_STRNE(Name(static_cast<lv::LumetOpenVpnState>(v)), "?") << v;
    }
}

TEST(LumetctlTest, ReadableAnswers) {
    const EncodableValue wireguard = CustomEncodableValue(lv::LumetWireGuardStatus(
        lv::LumetComponentState::kRunning, true, 1200, 3400, kNow - 7000, 0));
    EXPECT_EQ(FormatText(wireguard, FixedClock()),
              "state: running \xE2\x80\x94 the tunnel adapter is up\n"
              "adapterPresent: true\n"
              "rxBytes: 1200 (1.17 KiB)\n"
              "txBytes: 3400 (3.32 KiB)\n"
              "lastHandshake: 2026-03-01 08:14:55 (7 s ago)\n"
              "error: none\n");

    const EncodableValue openvpn = CustomEncodableValue(lv::LumetOpenVpnStatus(
        lv::LumetOpenVpnState::kOther, false, 0, 0, 0, lv::LumetOpenVpnErrorKind::kAuthFailed, 3));
    EXPECT_EQ(FormatText(openvpn, FixedClock()),
              "state: other \xE2\x80\x94 no OpenVPN connection\n"
              "active: false\n"
              "bytesIn: 0 B\n"
              "bytesOut: 0 B\n"
              "connectedSince: never\n"
              "error: authFailed \xE2\x80\x94 the server refused the user name or password\n"
              "attempt: 3\n");

    // Spare fields are left out of the readable form only.
    const EncodableValue caps = CustomEncodableValue(lv::LumetOpenVpnCapabilities(
        lv::LumetTriState::kYes, "2.6.14", lv::LumetTriState::kYes, lv::LumetTriState::kNo,
        lv::LumetTriState::kUnknown, lv::LumetTriState::kUnknown));
    EXPECT_EQ(FormatText(caps, FixedClock()),
              "openVpnFound: yes\nopenVpnVersion: 2.6.14\ninteractiveServiceInstalled: yes\n"
              "interactiveServiceRunning: no\n");
    EXPECT_EQ(FormatJson(caps),
              "{\"openVpnFound\":\"yes\",\"openVpnVersion\":\"2.6.14\","
              "\"interactiveServiceInstalled\":\"yes\",\"interactiveServiceRunning\":\"no\","
              "\"spare1\":\"unknown\",\"spare2\":\"unknown\"}");

    const EncodableValue service = CustomEncodableValue(lv::LumetServiceHealth(
        lv::LumetComponentState::kRunning, lv::LumetVersionInfo(6, "0.1.0", EncodableList{}),
        "77-0x0000FA4E", 3725));
    EXPECT_NE(
        FormatText(service, FixedClock()).find("uptime: 1 h 2 min (since 2026-03-01 07:12:57)\n"),
        std::string::npos)
        << FormatText(service, FixedClock());

    // Wire text cannot drive the terminal.
    const EncodableValue event =
        CustomEncodableValue(lv::LumetNativeEvent("agentConnected", "gen\x1b[2J", kNow - 1000));
    EXPECT_EQ(FormatEventText(event, FixedClock()),
              "event: 2026-03-01 08:15:01 (1 s ago) agentConnected gen?[2J");
    EXPECT_EQ(FormatText(EncodableValue(true), FixedClock()), "result: true\n");
}

// The JSON form is what scripts read: wire values, unchanged by the readable form.
TEST(LumetctlTest, JsonKeepsWireValues) {
    const EncodableValue status = CustomEncodableValue(lv::LumetWireGuardStatus(
        lv::LumetComponentState::kRunning, true, 1200, 3400, 1700000000123, 0));
    EXPECT_EQ(FormatJson(status),
              "{\"state\":\"running\",\"adapterPresent\":true,\"rxBytes\":1200,\"txBytes\":3400,"
              "\"lastHandshakeMs\":1700000000123,\"error\":0}");
    const EncodableValue openvpn = CustomEncodableValue(
        lv::LumetOpenVpnStatus(lv::LumetOpenVpnState::kConnected, true, 5, 6, 1700000000000,
                               lv::LumetOpenVpnErrorKind::kNone, 2));
    EXPECT_EQ(FormatJson(openvpn),
              "{\"state\":\"connected\",\"active\":true,\"bytesIn\":5,\"bytesOut\":6,"
              "\"connectedSinceMs\":1700000000000,\"error\":\"none\",\"attempt\":2}");
    const EncodableValue agent = CustomEncodableValue(lv::LumetAgentHealth(
        lv::LumetComponentState::kRunning,
        lv::LumetVersionInfo(6, "0.1.0-w6a",
                             EncodableList{EncodableValue("a"), EncodableValue("b")}),
        1, "7-0x\"1\"", false));
    EXPECT_EQ(
        FormatJson(agent),
        "{\"state\":\"running\",\"versionInfo\":{\"protocol\":6,\"version\":\"0.1.0-w6a\","
        "\"capabilities\":[\"a\",\"b\"]},\"sessionId\":1,\"generationText\":\"7-0x\\\"1\\\"\","
        "\"serviceLinkUp\":false}");
    EXPECT_NE(FormatText(agent, FixedClock()).find("versionInfo.capabilities: a, b\n"),
              std::string::npos);
    const EncodableValue health = CustomEncodableValue(
        lv::LumetNativeHealth(lv::LumetComponentState::kRunning, 6, "0.1.0-w6a", 1, false, false,
                              lv::LumetNativeErrorKind::kConnectTimeout));
    EXPECT_EQ(FormatJson(health),
              "{\"state\":\"running\",\"protocol\":6,\"version\":\"0.1.0-w6a\",\"sessionId\":1,"
              "\"agentReachable\":false,\"serviceLinkUp\":false,\"lastError\":\"connectTimeout\"}");
}

TEST(LumetctlTest, HostReplies) {
    const HostReply value = ReadHostReply(EncodableValue(EncodableList{EncodableValue(true)}));
    EXPECT_EQ(value.kind, HostReply::Kind::Value);
    const HostReply error = ReadHostReply(EncodableValue(
        EncodableList{EncodableValue("AGENT_UNAVAILABLE"), EncodableValue(""), EncodableValue()}));
    EXPECT_EQ(error.kind, HostReply::Kind::Error);
    EXPECT_EQ(error.code, "AGENT_UNAVAILABLE");
    EXPECT_EQ(ReadHostReply(EncodableValue()).kind, HostReply::Kind::Malformed);
    EXPECT_EQ(ReadHostReply(EncodableValue(EncodableList{})).kind, HostReply::Kind::Malformed);
}

}  // namespace
}  // namespace lumetctl
