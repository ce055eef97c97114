// Decisions of the agent's pipe server that need no Win32: the exit codes, the idle limit taken
// from the environment, how long one accept wait may last, what a wait that timed out means, how
// a failed pipe creation is handled, and which console controls stop the agent.
//
// Everything here is pure and re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumet::agent {

// Process exit codes. An orderly stop and losing the single-instance race both exit with 0, so
// a second agent started by a plugin never looks like a failure.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoPipeName = 2;      // the session id cannot name the pipe
inline constexpr int kExitNoPipeSecurity = 3;  // the pipe's security descriptor cannot be built
// Not reachable in practice: the manual-reset stop event could not be created, and a server
// that cannot be stopped must not run.
inline constexpr int kExitNoStopEvent = 1;

// Read time-out for every request frame and write time-out for every reply.
inline constexpr uint32_t kPipeIoTimeoutMs = 15000;
// Pause after a pipe instance could not be created (cut short by a stop).
inline constexpr uint32_t kCreateRetryPauseMs = 1000;

inline constexpr wchar_t kIdleSecondsVariable[] = L"ORRINFIELD_AGENT_IDLE_SECONDS";
// The variable is read into a buffer of this many characters; longer values are not used.
inline constexpr size_t kIdleVariableBufferChars = 16;
inline constexpr uint32_t kDefaultIdleSeconds = 300;
inline constexpr uint32_t kMinIdleSeconds = 10;
inline constexpr uint32_t kMaxIdleSeconds = 86400;

// While an OpenVPN coordinator exists the accept wait never lasts longer than this, so that the
// service hears about OpenVPN activity at least this often.
inline constexpr uint32_t kCoordinatorWakeMs = 7000;
inline constexpr uint32_t kInfiniteWait = 0xFFFFFFFF;  // INFINITE

// The integer _wtoi would read: leading blanks (space, \t \n \v \f \r) skipped, an optional sign,
// then decimal digits up to the first other character; 0 when there are none. A value beyond the
// int range gives INT_MAX or INT_MIN (the documented _wtoi result), never a wrapped value, so an
// oversized number cannot wrap into the accepted range.
int ParseLeadingInt(std::wstring_view text);

// The idle limit in seconds from what GetEnvironmentVariableW returned for a buffer of
// kIdleVariableBufferChars characters: `returned_length` is its return value and `value` the
// text it wrote. A value that fits (length 1..15) and parses to 10..86400 is used; anything else
// (unset, too long, not a number, out of range) gives 300.
uint32_t IdleLimitSecondsFrom(uint32_t returned_length, std::wstring_view value);

// What keeps the agent from ending on idle, as seen at one accept wait.
struct LoopActivity {
    bool client_connected = false;        // `clients` is non-zero
    bool openvpn_active = false;          // `openVpnActive` is set
    bool service_call_in_flight = false;  // `serviceCallsInFlight` is above 0
    bool coordinator_exists = false;      // an OpenVPN coordinator has been created
};

// True when any of clients, OpenVPN activity or a service call keeps the agent alive.
bool HoldsOffIdleExit(const LoopActivity& activity);

// Time-out of one accept wait in milliseconds: kInfiniteWait while something holds off the idle
// exit, else what is left of the idle limit (0 once it has run out); with a coordinator, capped
// at kCoordinatorWakeMs (infinity included).
uint32_t AcceptWaitMs(const LoopActivity& activity, uint64_t idle_limit_ms, uint64_t elapsed_ms);

enum class TimeoutVerdict {
    KeepServing,  // create the next pipe instance and wait again
    Stop,         // a stop was requested meanwhile
    IdleExit,     // log the idle line and stop
};

// What an accept wait that timed out means. Nothing holding off the exit ends the agent, also
// when the wait was only the coordinator's wake-up and the idle limit has not run out: with no
// client and no OpenVPN activity, the coordinator keeps nothing worth staying for.
TimeoutVerdict AfterAcceptTimeout(const LoopActivity& activity, bool stop_requested);

enum class CreateFailureAction {
    RetryWithoutFirstInstance,  // WARN "stale agent pipe, recreating", retry at once
    PauseAndRetry,              // ERR "CreateNamedPipe failed", pause, retry
};

// The first creation insists on being the first instance; only its ERROR_ACCESS_DENIED (5) means
// that an instance of an earlier agent is still around.
CreateFailureAction OnCreatePipeFailure(bool first_instance_flag, uint32_t win32_error);

// Console control types that stop the agent: Ctrl+C (0), Ctrl+Break (1), close (2), logoff (5)
// and shutdown (6). Others (3, 4 and anything above 6) are left to the next handler.
bool IsStopControl(uint32_t control_type);

}  // namespace lumet::agent
