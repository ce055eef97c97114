#include "common/pipe_server_check.h"

#include <gtest/gtest.h>

namespace lumet::common {
namespace {

constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";
constexpr wchar_t kOther[] = L"S-1-5-21-1-2-3-1002";

// `user` nullptr: the server's user could not be read.
ServerFacts Facts(std::optional<uint32_t> pid, const wchar_t* user,
                  std::optional<uint32_t> session = 1,
                  std::optional<uint32_t> registered = std::nullopt, bool local_system = false,
                  std::optional<bool> image = std::nullopt) {
    ServerFacts f;
    f.pid = pid;
    if (user != nullptr) {
        f.user_sid = std::wstring(user);
    }
    f.session_id = session;
    f.registered_service_pid = registered;
    f.is_local_system = local_system;
    f.image_matches = image;
    return f;
}

TEST(PipeServerCheckTest, ServiceServer) {
    struct Case {
        const char* name;
        ServerFacts facts;
        bool trust_console;
        bool accepted;
    };
    const Case cases[] = {
        {"the registered service", Facts(40, nullptr, 0, 40), false, true},
        {"LocalSystem", Facts(41, L"S-1-5-18", 0, std::nullopt, true), false, true},
        {"same user, no trust", Facts(42, kUser, 1, 40), false, false},
        {"same user, console trusted", Facts(42, kUser, 1, std::nullopt), true, true},
        {"same user in other letter case", Facts(42, L"s-1-5-21-1-2-3-1001"), true, true},
        {"other user, console trusted", Facts(42, kOther, 1, 40), true, false},
        {"unknown user, console trusted", Facts(42, nullptr), true, false},
        {"service not running", Facts(42, kOther, 1, std::nullopt), false, false},
        {"unknown server pid", Facts(std::nullopt, kUser, 1, 40), true, false},
        {"pid 0 matching nothing", Facts(0, kUser, 1, 0), true, false},
    };
    for (const Case& c : cases) {
        const ServerVerdict v = DecideServiceServer(c.facts, c.trust_console, std::wstring(kUser));
        EXPECT_EQ(v.accepted, c.accepted) << c.name;
        EXPECT_EQ(v.pid, c.facts.pid.value_or(0)) << c.name;
        EXPECT_EQ(v.reason.empty(), c.accepted) << c.name;
    }
    // Without a known own user, the console trust admits nobody.
    EXPECT_FALSE(DecideServiceServer(Facts(42, L""), true, std::wstring()).accepted);
    EXPECT_FALSE(DecideServiceServer(Facts(42, kUser), true, std::nullopt).accepted);
}

TEST(PipeServerCheckTest, AgentServer) {
    struct Case {
        const char* name;
        ServerFacts facts;
        bool accepted;
    };
    const Case cases[] = {
        {"our agent", Facts(50, kUser, 1, std::nullopt, false, true), true},
        {"impostor image", Facts(51, kUser, 1, std::nullopt, false, false), false},
        {"image unknown", Facts(51, kUser, 1, std::nullopt, false, std::nullopt), false},
        {"other session", Facts(52, kUser, 2, std::nullopt, false, true), false},
        {"session unknown", Facts(52, kUser, std::nullopt, std::nullopt, false, true), false},
        {"other user", Facts(53, kOther, 1, std::nullopt, false, true), false},
        {"LocalSystem is no exception", Facts(54, L"S-1-5-18", 1, std::nullopt, true, true), false},
        {"unknown pid", Facts(std::nullopt, kUser, 1, std::nullopt, false, true), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecideAgentServer(c.facts, std::wstring(kUser), 1).accepted, c.accepted)
            << c.name;
    }
}

TEST(PipeServerCheckTest, TrustSwitchAndMessage) {
    EXPECT_TRUE(TrustConsoleServiceFromText(L"1"));
    for (const wchar_t* text : {L"", L"0", L"true", L"yes", L"1 ", L"11"}) {
        EXPECT_FALSE(TrustConsoleServiceFromText(text)) << text;
    }
    ServerVerdict v;
    v.pid = 4242;
    v.reason = L"neither OrrinfieldVPNService nor LocalSystem";
    EXPECT_EQ(
        RefusedServerMessage(L"Service", v),
        L"refused Service pipe server pid=4242: neither OrrinfieldVPNService nor LocalSystem");
}

}  // namespace
}  // namespace lumet::common
