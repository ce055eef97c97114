// Decisions of the service program's entry and of its status reports to the service control
// manager, kept free of Win32 so that they can be tested natively.
//
// Everything here is pure and re-entrant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumet::service {

// The name under which the service is registered with the service control manager.
inline constexpr wchar_t kServiceName[] = L"OrrinfieldVPNService";

// Written to standard error when the program was started neither by the service control manager
// nor with "--console".
inline constexpr char kNotStartedBySCMMessage[] =
    "OrrinfieldVPNService: not started by the SCM.\n"
    "  Install + start it with tools\\windows\\dev\\install_orrinfield_vpn_service.ps1 "
    "(elevated),\n"
    "  or run 'OrrinfieldVPNService.exe --console' for a foreground dev instance.\n";

// Buffer size, in characters, for the executable's own path.
inline constexpr uint32_t kModulePathChars = 260;

// True when the first argument after the program name is "--console" in any letter case. Later
// arguments are never looked at.
bool IsConsoleModeRequest(int argc, const wchar_t* const* argv);

// The directory of the executable, from what GetModuleFileNameW wrote into a buffer of
// kModulePathChars characters and the length it returned: empty when that length is 0 or fills
// the buffer (the path was truncated), otherwise everything before the last '\' or '/' (empty when
// there is none).
std::wstring ExecutableDirectoryFromModulePath(std::wstring_view buffer, uint32_t returned_length);

// Service states and accepted controls, with the values the service control manager uses.
inline constexpr uint32_t kStateStopped = 1;
inline constexpr uint32_t kStateStartPending = 2;
inline constexpr uint32_t kStateStopPending = 3;
inline constexpr uint32_t kStateRunning = 4;
// Stop, shutdown, power events and session changes.
inline constexpr uint32_t kAcceptedControls = 0xC5;
inline constexpr uint32_t kServiceSpecificError = 1066;
inline constexpr uint32_t kStartPendingWaitHintMs = 5000;
inline constexpr uint32_t kStopPendingWaitHintMs = 30000;

enum class StatusPhase { StartPending, Running, StopPending, Stopped };

// The variable part of one status report; the service type (own process) and the
// service-specific exit code (0) never change.
struct StatusReport {
    uint32_t current_state = 0;
    uint32_t controls_accepted = 0;
    uint32_t win32_exit_code = 0;
    uint32_t check_point = 0;
    uint32_t wait_hint = 0;
    friend bool operator==(const StatusReport&, const StatusReport&) = default;
};

// Builds the report for `phase`. Pending phases first advance `*checkpoint_counter` and carry its
// new value, so every pending report has a checkpoint one higher than the one before it.
// `server_result` matters only for Stopped: 0 reports a clean exit, anything else 1066.
StatusReport MakeStatusReport(StatusPhase phase, uint32_t* checkpoint_counter, int server_result);

// "0x" followed by eight upper-case hexadecimal digits.
std::wstring FormatHex32(uint32_t value);

}  // namespace lumet::service
