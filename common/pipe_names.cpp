#include "common/pipe_names.h"

namespace lumet::common {
namespace {

// Formats `prefix` + `role` + "." + decimal(session) (or without role and dot when `role` is
// absent), failing like _snwprintf_s(_TRUNCATE) does when the text and its terminating NUL do
// not fit in `buffer_chars`.
std::optional<std::wstring> FormatName(std::wstring_view prefix,
                                       std::optional<std::wstring_view> role, uint32_t session_id,
                                       size_t buffer_chars) {
    if (session_id > kMaxNamedSessionId) {
        return std::nullopt;
    }
    std::wstring name(prefix);
    if (role) {
        // "%s" stops at the first NUL of its argument.
        const std::wstring_view r = role->substr(0, role->find(L'\0'));
        if (r.size() >= buffer_chars) {
            return std::nullopt;
        }
        name.append(r);
        name.push_back(L'.');
    }
    name.append(std::to_wstring(session_id));
    if (name.size() + 1 > buffer_chars) {
        return std::nullopt;
    }
    return name;
}

}  // namespace

std::optional<std::wstring> MakePipeName(std::wstring_view role, uint32_t session_id) {
    return FormatName(L"\\\\.\\pipe\\ORRINFIELD.VPN.", role, session_id, kPipeNameBufferChars);
}

std::optional<std::wstring> AgentPipeName(uint32_t session_id) {
    return MakePipeName(L"Agent", session_id);
}

std::optional<std::wstring> ServicePipeName(uint32_t session_id) {
    return MakePipeName(L"Service", session_id);
}

std::optional<std::wstring> MakeAgentMutexName(uint32_t session_id) {
    return FormatName(L"Local\\ORRINFIELD.VPN.Agent.", std::nullopt, session_id,
                      kMutexNameBufferChars);
}

}  // namespace lumet::common
