#include "common/caller_identity.h"

#include <utility>

#include "common/log.h"
#include "common/session_win.h"
#include "common/sid_text.h"
#include "common/win_handle.h"

namespace lumet::common {

namespace {

CallerIdentity KnownIdentity(std::wstring user_sid, uint32_t pid, uint32_t session) {
    CallerIdentity identity;
    identity.is_local_system = SidTextEquals(user_sid, LocalSystemSidText());
    identity.pid = pid;
    identity.session_id = session;
    identity.user_sid = std::move(user_sid);
    identity.valid = true;
    return identity;
}

}  // namespace

CallerIdentity GetCallerIdentity(HANDLE pipe) {
    CallerIdentity identity;

    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(pipe, &pid)) {
        return identity;
    }
    DWORD session = 0;
    if (!ProcessIdToSessionId(pid, &session)) {
        session = 0;
    }

    if (!ImpersonateNamedPipeClient(pipe)) {
        return identity;
    }
    // From here on exactly one RevertToSelf runs before the function is left, whether by return
    // or by an exception (the SID text copy can throw bad_alloc).
    bool reverted = false;
    bool revert_ok = true;
    auto revert = [&]() noexcept {
        if (!reverted) {
            reverted = true;
            revert_ok = RevertToSelf() != FALSE;
        }
    };
    ScopeExit revert_guard(revert);

    HANDLE raw_token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, /*OpenAsSelf=*/TRUE, &raw_token)) {
        return identity;
    }
    UniqueKernelHandle token(raw_token);
    std::optional<std::wstring> sid = TokenUserSidText(token.get());
    if (!sid) {
        return identity;
    }
    revert();
    if (!revert_ok) {
        // The thread may still carry the client's token; refuse the client rather than serve it
        // on a thread whose rights are unknown.
        LogWin32Error(LogLevel::Error, L"RevertToSelf failed", GetLastError());
        return identity;
    }

    return KnownIdentity(std::move(*sid), pid, session);
}

CallerIdentity GetConnectedClientIdentity(HANDLE pipe) {
    CallerIdentity identity;
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(pipe, &pid) || pid == 0) {
        return identity;
    }
    DWORD session = 0;
    if (!ProcessIdToSessionId(pid, &session)) {
        return identity;
    }
    UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        return identity;
    }
    HANDLE raw_token = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, &raw_token)) {
        return identity;
    }
    UniqueKernelHandle token(raw_token);
    std::optional<std::wstring> sid = TokenUserSidText(token.get());
    if (!sid) {
        return identity;
    }
    return KnownIdentity(std::move(*sid), pid, session);
}

}  // namespace lumet::common
