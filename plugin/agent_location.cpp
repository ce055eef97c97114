#include "plugin/agent_location.h"

namespace lumet_windows_vpn {

std::wstring AgentPathBesideModule(std::wstring_view module_path) {
    const size_t separator = module_path.find_last_of(L"\\/");
    if (separator == std::wstring_view::npos) {
        return std::wstring();
    }
    return std::wstring(module_path.substr(0, separator)) + L"\\" + kAgentExeName;
}

std::wstring AgentCommandLine(std::wstring_view agent_path) {
    return L"\"" + std::wstring(agent_path) + L"\"";
}

}  // namespace lumet_windows_vpn
