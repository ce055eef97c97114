// The interactive service's answer to a startup message, and how the agent classifies it.
//
// Pure and re-entrant. The reply is UTF-16 text: "0x" + 8 hexadecimal digits (the service's error
// code) + a line feed + a message. On success the message is "0x" + 8 hexadecimal digits (the new
// process id) + a line feed + text containing "Process ID".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumet::agent::openvpn {

// u32 on the wire between launcher and coordinator.
enum class InteractiveLaunchStatus : uint32_t {
    Launched = 0,      // the service reported success and a process id
    Unavailable = 1,   // service not running, pipe not opened, or its server not the expected one
    Failed = 2,        // message too long, pipe mode/write/read/time-out failure, malformed
                       // reply, or service error 0x20000002 / 0x20000003
    NotPermitted = 3,  // service error 0x20000001 for lack of rights
    Rejected = 4,      // service error 0x20000001 for any other reason
    ServiceError = 5,  // any other non-zero service error code
};

struct LaunchResult {
    InteractiveLaunchStatus status = InteractiveLaunchStatus::Failed;
    uint32_t process_id = 0;  // non-zero only when Launched
    std::wstring message;     // the service's error text (at most 500 units) for a non-zero code
};

// Error codes of the interactive service that the agent tells apart. 0x20000001 answers a startup
// message whose data is malformed or whose options or rights are refused. 0x20000002 and
// 0x20000003 are the service's errors for a later message of bad data or of an unknown type; a
// service never answers a startup message with them, so the launcher takes them as a broken
// exchange. openvpn.exe failing to start comes back as its Win32 error code.
inline constexpr uint32_t kServiceErrorStartupData = 0x20000001;
inline constexpr uint32_t kServiceErrorMessageData = 0x20000002;
inline constexpr uint32_t kServiceErrorMessageType = 0x20000003;

// At most this many UTF-16 units of the service's error text are kept.
inline constexpr size_t kMaxLaunchMessageUnits = 500;

// Classifies a reply. The reply ends at its first NUL unit, if any (the service may count the
// terminator in what it writes). Never fails: anything that does not follow the format is
// Failed. For a non-zero code other than 0x20000002/3, the first 500 units of the message are
// kept; 0x20000001 is NotPermitted when the message contains "admin approval", "admin group",
// "Administrators" or "authorized" (case-sensitive), else Rejected. Where wchar_t is 32 bits wide
// the message keeps the UTF-16 units one per wchar_t.
LaunchResult ParseLaunchReply(std::u16string_view reply);

}  // namespace lumet::agent::openvpn
