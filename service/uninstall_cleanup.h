// Removal of what OrrinfieldVPNService makes at run time and the installer does not know about,
// run by the installer on a real uninstall ("OrrinfieldVPNService.exe --uninstall-cleanup", as
// LocalSystem, after the service has stopped and before its program files are removed): the
// WireGuard tunnel service and its configuration file, the empty WireGuard configuration folder,
// and the VPN activity record key. Log files stay.
#pragma once

#include <cstdint>

#include "service/wireguard/tunnel_names.h"

namespace lumet::service {

// True when the first argument after the program name is "--uninstall-cleanup" in any letter
// case. Pure.
bool IsUninstallCleanupRequest(int argc, const wchar_t* const* argv);

// Exit codes of the clean-up run.
inline constexpr int kCleanupOk = 0;
// OrrinfieldVPNService did not stop in time, the tunnel service could not be stopped and deleted,
// or the activity key could not be removed; the installer then fails the uninstall instead of
// leaving them behind unnoticed.
inline constexpr int kCleanupIncomplete = 1;

// How long the clean-up waits for OrrinfieldVPNService to stop and its process to end. The service
// ends a client's connection at most 15 s after its last request, and only then leaves its loop.
inline constexpr uint32_t kServiceStopWaitMs = 30000;

// Decides the exit code: whether OrrinfieldVPNService was stopped (or absent) first, the tunnel
// controller's error (TunnelOk: removed or never there) and the registry result (0 or
// ERROR_FILE_NOT_FOUND (2) = gone). Nothing is removed while the service runs, since it would write
// the activity record again.
int CleanupExitCode(bool service_stopped, wireguard::TunnelError tunnel_error,
                    uint32_t registry_error);

// Runs the clean-up (Win32). Blocks up to kServiceStopWaitMs for the service to stop, then up to
// the tunnel controller's stop time-out (12 s). Returns one of the exit codes above; every step is
// logged.
int RunUninstallCleanup();

}  // namespace lumet::service
