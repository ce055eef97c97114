// Where the plugin finds the agent program and how it names it on a command line. Pure.
#pragma once

#include <string>
#include <string_view>

namespace lumet_windows_vpn {

inline constexpr wchar_t kAgentExeName[] = L"OrrinfieldVPNAgent.exe";

// The agent's full path beside the module at `module_path`: the text before the last "\" or "/"
// (whichever comes last), "\", then the agent's file name. Empty when the path holds no
// separator. A module in a drive root ("C:\x.dll") gives "C:\OrrinfieldVPNAgent.exe".
std::wstring AgentPathBesideModule(std::wstring_view module_path);

// The path in double quotes and nothing else: the agent takes no arguments.
std::wstring AgentCommandLine(std::wstring_view agent_path);

}  // namespace lumet_windows_vpn
