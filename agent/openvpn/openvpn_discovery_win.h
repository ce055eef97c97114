// Finding openvpn.exe, reading its file version, and asking the service manager about OpenVPN's
// interactive service.
//
// Win32. Nothing here logs or raises: every failure is an empty text or Tri::Unknown. Re-entrant;
// called on request threads (capabilities) and on the coordinator's attempt thread (launch).
#pragma once

#include <cstdint>
#include <string>

#include "agent/openvpn/openvpn_discovery.h"

namespace lumet::agent::openvpn {

// OpenVPN's own registry key (HKLM, 64-bit view) and the value naming its executable.
inline constexpr wchar_t kOpenVpnRegistryKey[] = L"SOFTWARE\\OpenVPN";
inline constexpr wchar_t kOpenVpnExePathValue[] = L"exe_path";

// The interactive service that starts openvpn.exe for unprivileged callers.
inline constexpr wchar_t kInteractiveServiceName[] = L"OpenVPNServiceInteractive";

// The copy shipped beside the agent lives at <agent dir>\lib\openvpn\amd64\openvpn.exe.
// Paths (module file names, the registry value) are read into buffers of this many characters.
inline constexpr size_t kMaxPathChars = 260;

// Where openvpn.exe is, first hit wins:
//  1. beside the agent: the directory of the agent's executable (a module file name longer than
//     259 characters, or one that cannot be read, skips this step) joined with "lib", "openvpn",
//     "amd64", "openvpn.exe"; taken when something exists there;
//  2. HKLM "SOFTWARE\OpenVPN" value "exe_path" (REG_SZ only, at most 260 characters with its
//     terminator); taken when the named path exists.
// Empty when neither gives a path.
std::wstring FindOpenVpn();

// The same search with the inputs spelled out, for tests: `agent_dir` stands for the agent's
// directory (empty skips step 1) and `registry_key` for "SOFTWARE\OpenVPN" under HKLM.
std::wstring FindOpenVpnIn(const std::wstring& agent_dir, const std::wstring& registry_key);

// "major.minor.build" of the file's version resource (root block "\"); empty when the file has
// no version resource or cannot be read.
std::string FileVersionText(const std::wstring& path);

// The state of the service `name`: Unknown when the service manager cannot be reached or the
// service cannot be opened for another reason than not existing (1060), No when it does not
// exist. With `query_running` false: Yes when it exists. With `query_running` true: Yes when its
// state is running (4), No otherwise, Unknown when the status query fails.
Tri ServiceState(const std::wstring& name, bool query_running);

// The production probes: FindOpenVpn + FileVersionText, and ServiceState of the interactive
// service (installed, running). The dispatcher builds a fresh set for every capabilities request.
CapabilityProbes ProductionCapabilityProbes();

// The process id of the running interactive service, 0 when it is not running or cannot be
// queried.
uint32_t InteractiveServiceProcessId();

}  // namespace lumet::agent::openvpn
