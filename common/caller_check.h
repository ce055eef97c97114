// Who is on the other end of a pipe, and whether the server serves them.
//
// Pure: the identity is gathered by GetCallerIdentity (caller_identity.h); this header only holds
// the record and the decision, so that every branch can be tested without a second user or a
// second Windows session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumet::common {

// One per accepted connection.
struct CallerIdentity {
    uint32_t pid = 0;         // the client's process id
    uint32_t session_id = 0;  // the client process's Windows session; 0 when that lookup failed
    std::wstring user_sid;    // the client's token user as SID text
    bool is_local_system = false;
    bool valid = false;  // false: the identity could not be established; other fields meaningless
};

enum class CallerDecision { Accepted, IdentityUnavailable, NoExpectedSid, Mismatch };

// Decides in this order:
//   invalid identity                                   -> IdentityUnavailable
//   no expected SID (absent or empty)                  -> NoExpectedSid
//   allow_local_system and the caller is LocalSystem   -> Accepted (in any session)
//   SidTextEquals(user_sid, expected) and same session -> Accepted
//   anything else                                      -> Mismatch
// The service passes allow_local_system = true, the agent false. An empty expected SID counts as
// absent: it can only come from a failed lookup, and matching it against an empty caller SID
// would admit a caller nobody identified.
[[nodiscard]] CallerDecision DecideCaller(const CallerIdentity& caller,
                                          const std::optional<std::wstring>& expected_sid,
                                          uint32_t expected_session, bool allow_local_system);

}  // namespace lumet::common
