// Fixed names, status values and error codes of the one WireGuard tunnel the service manages,
// and the pure text helpers the tunnel controller builds its paths and command line with.
//
// Pure code: no Win32. Everything here is a constant or a function without side effects, safe
// from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumet::service::wireguard {

// The tunnel service. The name ties it to wireguard.exe's own naming ("WireGuardTunnel$" +
// tunnel name); the tunnel name is also the adapter's name and the configuration file's stem.
inline constexpr wchar_t kTunnelServiceName[] = L"WireGuardTunnel$orrinfieldwireguard";
inline constexpr wchar_t kTunnelDisplayName[] = L"WireGuard Tunnel: orrinfieldwireguard";
inline constexpr wchar_t kTunnelDescription[] =
    L"Orrinfield WireGuard tunnel. Created and controlled by OrrinfieldVPNService.";
inline constexpr wchar_t kTunnelAdapterName[] = L"orrinfieldwireguard";
// Double-NUL-terminated: the literal's own terminator ends the list.
inline constexpr wchar_t kTunnelDependencies[] = L"Nsi\0TcpIp\0";

inline constexpr wchar_t kWireGuardExeName[] = L"wireguard.exe";
inline constexpr wchar_t kWireGuardDllName[] = L"wireguard.dll";
inline constexpr wchar_t kTunnelConfigFileName[] = L"orrinfieldwireguard.conf";
// Below the ProgramData known folder; created one level at a time.
inline constexpr std::wstring_view kConfigDirectoryLevels[] = {L"Orrinfield", L"vpn", L"wireguard"};

// `error` of a WireGuardStatusRecord filled by the tunnel controller.
enum TunnelError : uint16_t {
    TunnelOk = 0,
    TunnelConfigRejected = 1,     // the configuration text was refused by the parser
    TunnelBusy = 2,               // another start holds the controller
    TunnelSetupFailed = 3,        // wireguard.exe missing, SCM or CreateServiceW or SID type
    TunnelStartFailed = 4,        // StartServiceW failed or the service never ran
    TunnelAdapterMissing = 5,     // the service runs but its adapter never appeared
    TunnelStopIncomplete = 6,     // the tunnel service could not be fully stopped and deleted
    TunnelConfigWriteFailed = 7,  // no ProgramData, or the protected directory/file failed
};

// The enumerator's name ("TunnelStopIncomplete"), for log lines; "TunnelError(<n>)" for a value
// outside the list.
std::wstring TunnelErrorName(TunnelError error);

// `state` of a WireGuardStatusRecord.
enum TunnelState : uint8_t {
    TunnelStateNoAdapter = 1,  // tunnel service exists, adapter absent (also with TunnelBusy)
    TunnelStateUp = 2,         // adapter present
    TunnelStateAbsent = 4,     // no tunnel service
};

// directory + "\" + leaf. A trailing separator on the directory is not doubled; an empty
// directory yields an empty path (never a path relative to the root of the current drive).
std::wstring JoinWindowsPath(std::wstring_view directory, std::wstring_view leaf);

// The tunnel service's binary path: "<exe>" /tunnelservice "<config file>".
std::wstring BuildTunnelCommandLine(std::wstring_view exe_path, std::wstring_view config_path);

}  // namespace lumet::service::wireguard
