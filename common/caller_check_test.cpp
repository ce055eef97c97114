#include "common/caller_check.h"

#include <gtest/gtest.h>

namespace lumet::common {
namespace {

constexpr const wchar_t* kUser = L"S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr const wchar_t* kOtherUser = L"S-1-5-21-1004336348-1177238915-682003330-1002";

CallerIdentity Caller(const wchar_t* sid, uint32_t session, bool local_system = false,
                      bool valid = true) {
    CallerIdentity c;
    c.pid = 4242;
    c.session_id = session;
    c.user_sid = sid;
    c.is_local_system = local_system;
    c.valid = valid;
    return c;
}

TEST(CallerCheckTest, DecisionTable) {
    const std::optional<std::wstring> expected = kUser;
    const std::optional<std::wstring> none;
    const std::optional<std::wstring> empty = std::wstring();
    struct Case {
        const char* what;
        CallerIdentity caller;
        std::optional<std::wstring> expected_sid;
        uint32_t expected_session;
        bool allow_local_system;
        CallerDecision want;
    };
    const Case cases[] = {
        {"same user and session", Caller(kUser, 1), expected, 1, true, CallerDecision::Accepted},
        {"same user, agent rules", Caller(kUser, 1), expected, 1, false, CallerDecision::Accepted},
        {"SID differs only in case", Caller(L"s-1-5-21-1004336348-1177238915-682003330-1001", 1),
         expected, 1, false, CallerDecision::Accepted},
        {"LocalSystem in another session", Caller(L"S-1-5-18", 0, /*local_system=*/true), expected,
         1, true, CallerDecision::Accepted},
        {"LocalSystem refused when not allowed", Caller(L"S-1-5-18", 1, true), expected, 1, false,
         CallerDecision::Mismatch},
        {"LocalSystem still needs an expected SID", Caller(L"S-1-5-18", 1, true), none, 1, true,
         CallerDecision::NoExpectedSid},
        {"right user, wrong session", Caller(kUser, 2), expected, 1, true,
         CallerDecision::Mismatch},
        {"right session, wrong user", Caller(kOtherUser, 1), expected, 1, true,
         CallerDecision::Mismatch},
        {"SID with a trailing extra digit",
         Caller(L"S-1-5-21-1004336348-1177238915-682003330-10010", 1), expected, 1, true,
         CallerDecision::Mismatch},
        {"no expected SID", Caller(kUser, 1), none, 1, true, CallerDecision::NoExpectedSid},
        {"empty expected SID", Caller(L"", 1), empty, 1, true, CallerDecision::NoExpectedSid},
        {"invalid identity wins over everything", Caller(kUser, 1, true, /*valid=*/false), none, 1,
         true, CallerDecision::IdentityUnavailable},
        {"invalid identity with matching fields", Caller(kUser, 1, false, false), expected, 1,
         false, CallerDecision::IdentityUnavailable},
        {"empty caller SID", Caller(L"", 1), expected, 1, true, CallerDecision::Mismatch},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecideCaller(c.caller, c.expected_sid, c.expected_session, c.allow_local_system),
                  c.want)
            << c.what;
    }
}

}  // namespace
}  // namespace lumet::common
