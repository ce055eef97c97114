// Windows session, token and well-known SID helpers.
//
// Every function is re-entrant and keeps no state. Handles passed in stay owned by the caller;
// handles opened here are closed before returning. Failures are reported as an empty optional
// (or 0xFFFFFFFF for the session id); GetLastError then holds the failing call's code.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace lumet::common {

inline constexpr uint32_t kUnknownSessionId = 0xFFFFFFFF;

// ProcessIdToSessionId of this process, or kUnknownSessionId when that fails.
uint32_t CurrentSessionId();

// The SID text of this process's token user.
std::optional<std::wstring> CurrentUserSidText();

// The SID text of `token`'s user; `token` needs TOKEN_QUERY.
std::optional<std::wstring> TokenUserSidText(HANDLE token);

// The SID text of the user logged on at the active console session; nothing when no session is
// attached to the console or its user token cannot be had (that needs the privileges of a
// service running as LocalSystem).
std::optional<std::wstring> ActiveConsoleUserSidText();

// Never fail: "S-1-5-18" and "S-1-5-32-544" are used when the system cannot build the SIDs.
std::wstring LocalSystemSidText();
std::wstring AdministratorsSidText();

}  // namespace lumet::common
