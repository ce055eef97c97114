#include "common/session_win.h"

#include <sddl.h>
#include <wtsapi32.h>

#include <vector>

#include "common/win_handle.h"

namespace lumet::common {
namespace {

// Copies a text that ConvertSidToStringSidW allocated and frees it.
std::optional<std::wstring> SidToText(PSID sid) {
    UniqueLocalPtr<wchar_t> text;
    if (!ConvertSidToStringSidW(sid, text.put()) || !text) {
        return std::nullopt;
    }
    return std::wstring(text.get());
}

std::wstring WellKnownSidText(WELL_KNOWN_SID_TYPE type, const wchar_t* fallback) {
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};  // 68 bytes, the largest SID there is
    DWORD size = sizeof(sid);
    if (!CreateWellKnownSid(type, /*DomainSid=*/nullptr, sid, &size)) {
        return fallback;
    }
    auto text = SidToText(sid);
    return text ? std::move(*text) : std::wstring(fallback);
}

}  // namespace

uint32_t CurrentSessionId() {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
        return kUnknownSessionId;
    }
    return session;
}

std::optional<std::wstring> CurrentUserSidText() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return std::nullopt;
    }
    UniqueKernelHandle token(raw);
    return TokenUserSidText(token.get());
}

std::optional<std::wstring> TokenUserSidText(HANDLE token) {
    DWORD size = 0;
    // The first call only learns the size; it fails with ERROR_INSUFFICIENT_BUFFER by design.
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) {
        return std::nullopt;
    }
    // Pointer-aligned storage: TOKEN_USER starts with a pointer.
    std::vector<void*> buffer((size + sizeof(void*) - 1) / sizeof(void*), nullptr);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        return std::nullopt;
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    return SidToText(user->User.Sid);
}

std::optional<std::wstring> ActiveConsoleUserSidText() {
    const DWORD session = WTSGetActiveConsoleSessionId();
    if (session == kUnknownSessionId) {
        return std::nullopt;  // nobody is attached to the console (for example while switching)
    }
    HANDLE raw = nullptr;
    if (!WTSQueryUserToken(session, &raw)) {
        return std::nullopt;
    }
    UniqueKernelHandle token(raw);
    return TokenUserSidText(token.get());
}

std::wstring LocalSystemSidText() {
    return WellKnownSidText(WinLocalSystemSid, L"S-1-5-18");
}

std::wstring AdministratorsSidText() {
    return WellKnownSidText(WinBuiltinAdministratorsSid, L"S-1-5-32-544");
}

}  // namespace lumet::common
