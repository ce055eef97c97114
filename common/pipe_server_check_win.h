// Gathering what a client can learn about the process serving its pipe, and the two checks the
// product's links run before their first request (pipe_server_check.h).
#pragma once

#include <windows.h>

#include <string>

#include "common/pipe_server_check.h"

namespace lumet::common {

// The server's process id, session, token user and whether that is LocalSystem, read from the
// client end `pipe`. With a non-empty `expected_image`, also whether the server's image is that
// file. With `with_service_pid`, the process id the service manager reports for
// OrrinfieldVPNService (nothing while it is not running or cannot be queried).
ServerFacts GatherServerFacts(HANDLE pipe, const std::wstring& expected_image,
                              bool with_service_pid);

// The agent's check of the service pipe. Reads kTrustConsoleServiceVariable on every call.
ServerVerdict VerifyServiceServer(HANDLE pipe);

// The plugin's check of the agent pipe: same user, same session, the agent executable at
// `agent_exe_path` (an empty path never matches).
ServerVerdict VerifyAgentServer(HANDLE pipe, const std::wstring& agent_exe_path,
                                uint32_t session_id);

// Whether the two paths name the same existing file (volume serial and file index).
bool SameFile(const std::wstring& a, const std::wstring& b);

}  // namespace lumet::common
