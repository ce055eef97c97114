// Well-known names by which the three programs find each other in one Windows session.
//
// Pipes:  \\.\pipe\ORRINFIELD.VPN.<role>.<session>   (role "Agent" or "Service")
// Mutex:  Local\ORRINFIELD.VPN.Agent.<session>       (one agent per session)
//
// A name exists only for session ids below 65536. Larger ids, 0xFFFFFFFF ("session unknown")
// among them, give nothing, and the caller treats that as a failure. The result is the same text
// that _snwprintf_s would produce into a buffer of 128 (pipe) or 96 (mutex) characters with
// truncation allowed; a name that would not fit gives nothing rather than a shortened name.
//
// Pure and re-entrant; no Win32 calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumet::common {

inline constexpr uint32_t kMaxNamedSessionId = 0xFFFF;
inline constexpr size_t kPipeNameBufferChars = 128;
inline constexpr size_t kMutexNameBufferChars = 96;

// `role` is used up to its first NUL character, as a C string would be.
std::optional<std::wstring> MakePipeName(std::wstring_view role, uint32_t session_id);
std::optional<std::wstring> AgentPipeName(uint32_t session_id);
std::optional<std::wstring> ServicePipeName(uint32_t session_id);
std::optional<std::wstring> MakeAgentMutexName(uint32_t session_id);

}  // namespace lumet::common
