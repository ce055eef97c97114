// The decisions of an OpenVPN attempt that need no Win32: checking a start request, the arguments
// openvpn.exe gets, how stager and launcher outcomes become OpenVpnError codes, which leftovers of
// the working directory go, and what each poll of the connecting and connected phases does.
//
// Pure and re-entrant; the coordinator (coordinator.h) acts on these results.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/openvpn/coordinator_types.h"

namespace lumet::agent::openvpn {

// Directive every profile we stage carries, so that OpenVPN never keeps the user's credentials.
inline constexpr char kAuthNoCache[] = "auth-nocache";

// Prefix of the named event whose signal makes openvpn.exe (started with "--service") exit.
inline constexpr wchar_t kExitEventPrefix[] = L"Orrinfield-OpenVpnExit-";

// Random bytes behind the management password (64 hex digits) and the exit event name (32).
inline constexpr size_t kManagementPasswordBytes = 32;
inline constexpr size_t kExitEventRandomBytes = 16;

// The polling period of both attempt phases.
inline constexpr uint32_t kAttemptPollMs = 200;

// `config` made to carry "auth-nocache" (appended when no non-comment line starts with it, after
// a line feed when the profile does not end with one) and validated: None, UnsupportedProtocol
// when the validator finds "proto" missing or unsupported, InvalidRequest for any other fault.
// `amended` receives the profile to stage whatever the verdict; the caller wipes it.
[[nodiscard]] OpenVpnError PrepareProfile(std::string_view config,
                                          common::SecureStdString* amended);

// The credential value check of both: None, or InvalidRequest when the user name or the password
// is empty, longer than 255 bytes, or holds a byte below 0x20 or 0x7F.
[[nodiscard]] OpenVpnError CheckCredentials(std::string_view username, std::string_view password);

// StageOutcome (config_stager.h) of a failed stage: 1 -> ServiceUnreachable, 2 -> AccessRefused,
// 3 -> Rejected, anything else -> InternalError.
OpenVpnError ErrorForStageOutcome(uint16_t outcome);

// InteractiveLaunchStatus of a launch that did not succeed: 1 -> ServiceUnreachable,
// 2 -> LaunchIoFailed, 3 -> AccessRefused, 4 -> Rejected, anything else -> LaunchFailed.
OpenVpnError ErrorForLaunchStatus(uint32_t status);

// "Orrinfield-OpenVpnExit-" followed by `hex`.
std::wstring ExitEventName(std::wstring_view hex);

// The arguments of openvpn.exe, in order: "--config", the staged path, "--management",
// "127.0.0.1", the port in decimal, "stdin", "--management-hold",
// "--management-query-passwords", "--management-signal", "--service", the exit event name, "0".
std::vector<std::wstring> OpenVpnArguments(std::wstring_view staged_path, uint16_t port,
                                           std::wstring_view exit_event_name);

// Whether a file in the working directory is a leftover to delete at start-up: its name starts
// with "ovpn-" and its extension (after the last dot) is "conf" or "log"; case-sensitive.
bool IsLeftoverWorkingFile(std::wstring_view name);

// What one poll of the connecting phase sees.
struct ConnectingView {
    uint8_t state = 0;   // the record's `state` (ManagementState)
    uint16_t error = 0;  // the record's `error`
    bool process_ended = false;
    bool deadline_passed = false;
};

enum class ConnectingStep {
    KeepWaiting,
    Connected,      // CONNECTED seen: unstage, go on to the connected phase
    EndOnError,     // an error was recorded: unstage, stop OpenVPN, clear `running`
    ProcessExited,  // record OpenVpnExited, then as EndOnError
    TimedOut,       // record TunnelTimeout, then as EndOnError
};

// Checked in this order: CONNECTED, a recorded error, the process's end, the deadline.
ConnectingStep NextConnectingStep(const ConnectingView& view);

}  // namespace lumet::agent::openvpn
