#include "common/caller_check.h"

#include "common/sid_text.h"

namespace lumet::common {

CallerDecision DecideCaller(const CallerIdentity& caller,
                            const std::optional<std::wstring>& expected_sid,
                            uint32_t expected_session, bool allow_local_system) {
    if (!caller.valid) {
        return CallerDecision::IdentityUnavailable;
    }
    if (!expected_sid || expected_sid->empty()) {
        return CallerDecision::NoExpectedSid;
    }
    if (allow_local_system && caller.is_local_system) {
        return CallerDecision::Accepted;
    }
    if (SidTextEquals(caller.user_sid, *expected_sid) && caller.session_id == expected_session) {
        return CallerDecision::Accepted;
    }
    return CallerDecision::Mismatch;
}

}  // namespace lumet::common
