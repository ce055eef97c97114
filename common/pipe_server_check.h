// Whether a client may talk to the process that serves the pipe it opened.
//
// Pipe names are well known and, under Wine or through a bug, another local process can serve
// one of them before (or beside) the real server. A client therefore looks at the server process
// right after opening the pipe and before sending anything, secrets included:
//   - the agent accepts the service pipe only from the process that the service manager runs as
//     OrrinfieldVPNService, or from a process running as LocalSystem; a service started with
//     "--console" (development) is accepted only when ORRINFIELD_TRUST_CONSOLE_SERVICE=1 is set in
//     the agent's environment, and then only when it runs as the agent's own user;
//   - the plugin accepts the agent pipe only from a process of its own user, in its own session,
//     whose image is the agent executable beside the plugin.
//
// Pure: the facts are gathered by GatherServerFacts (pipe_server_check_win.h), so that every
// branch can be tested without a second user, session or service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumet::common {

// Environment variable that lets the agent accept a service run with "--console".
inline constexpr wchar_t kTrustConsoleServiceVariable[] = L"ORRINFIELD_TRUST_CONSOLE_SERVICE";

// What a client could learn about the process at the other end of its pipe. Anything that
// could not be had is left empty; the decisions treat an unknown fact as a failed check.
struct ServerFacts {
    std::optional<uint32_t> pid;           // GetNamedPipeServerProcessId
    std::optional<uint32_t> session_id;    // the server process's Windows session
    std::optional<std::wstring> user_sid;  // the server process's token user
    bool is_local_system = false;          // user_sid is the LocalSystem SID
    // The process id the service manager reports for OrrinfieldVPNService while it runs.
    std::optional<uint32_t> registered_service_pid;
    // The server's image is the expected executable (same file, whatever the path spelling).
    std::optional<bool> image_matches;
};

struct ServerVerdict {
    bool accepted = false;
    uint32_t pid = 0;     // the server's process id, 0 when unknown
    std::wstring reason;  // why it was refused; empty when accepted
};

// The agent's check of the service pipe. `own_user_sid` is the agent's user.
ServerVerdict DecideServiceServer(const ServerFacts& facts, bool trust_console_service,
                                  const std::optional<std::wstring>& own_user_sid);

// The plugin's check of the agent pipe.
ServerVerdict DecideAgentServer(const ServerFacts& facts,
                                const std::optional<std::wstring>& own_user_sid,
                                uint32_t own_session_id);

// "1" (and only that) turns the console-service trust on.
bool TrustConsoleServiceFromText(std::wstring_view value);

// The ERR line a refused server gets.
std::wstring RefusedServerMessage(std::wstring_view role, const ServerVerdict& verdict);

}  // namespace lumet::common
