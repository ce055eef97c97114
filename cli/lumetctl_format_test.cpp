#include "cli/lumetctl_format.h"

#include <gtest/gtest.h>

#include "plugin/host_api.h"

namespace lumetctl {
namespace {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
namespace lv = lumet_windows_vpn;

TEST(LumetctlTest, CommandLines) {
    struct Case {
        std::vector<std::wstring> argv;
        std::string method;  // empty: an error is expected
        bool json;
    };
    const Case cases[] = {
        {{L"lumetctl", L"health"}, "getHealth", false},
        {{L"lumetctl", L"--json", L"wg-up", L"C:\\wg.conf"}, "startWireGuard", true},
        {{L"lumetctl", L"ovpn-up", L"p.ovpn", L"alice"}, "startOpenVpn", false},
        {{L"lumetctl", L"events", L"3", L"--json"}, "startEvents", true},
        {{L"lumetctl"}, "", false},
        {{L"lumetctl", L"frobnicate"}, "", false},
        {{L"lumetctl", L"wg-up"}, "", false},
        {{L"lumetctl", L"health", L"extra"}, "", false},
        {{L"lumetctl", L"events", L"soon"}, "", false},
        {{L"lumetctl", L"health", L"--plugin"}, "", false},
    };
    for (const Case& c : cases) {
        const Command command = ParseCommandLine(c.argv);
        EXPECT_EQ(command.error.empty(), !c.method.empty()) << command.error;
        if (!c.method.empty()) {
            EXPECT_EQ(command.method, c.method);
            EXPECT_EQ(command.json, c.json);
        }
    }
}

TEST(LumetctlTest, AnswersAsTextAndJson) {
    const EncodableValue status = CustomEncodableValue(lv::LumetWireGuardStatus(
        lv::LumetComponentState::kRunning, true, 1200, 3400, 1700000000123, 0));
    EXPECT_EQ(FormatText(status),
              "state: running\nadapterPresent: true\nrxBytes: 1200\ntxBytes: 3400\n"
              "lastHandshakeMs: 1700000000123\nerror: 0\n");
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
    EXPECT_EQ(FormatText(agent).find("versionInfo.capabilities: a, b\n") != std::string::npos,
              true);
    EXPECT_EQ(FormatText(EncodableValue(true)), "result: true\n");
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
