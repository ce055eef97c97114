#include "common/pipe_server_check_win.h"

#include "common/session_win.h"
#include "common/sid_text.h"
#include "common/win_handle.h"

namespace lumet::common {

namespace {

constexpr wchar_t kServiceName[] = L"OrrinfieldVPNService";

std::optional<uint32_t> RegisteredServicePid() {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return std::nullopt;
    }
    const UniqueServiceHandle service(
        OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    if (!service) {
        return std::nullopt;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) &&
        status.dwCurrentState != SERVICE_STOPPED && status.dwProcessId != 0) {
        return status.dwProcessId;
    }
    return std::nullopt;
}

std::optional<BY_HANDLE_FILE_INFORMATION> FileIdentity(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), /*dwDesiredAccess=*/0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file.get(), &info)) {
        return std::nullopt;
    }
    return info;
}

}  // namespace

bool SameFile(const std::wstring& a, const std::wstring& b) {
    if (a.empty() || b.empty()) {
        return false;
    }
    const std::optional<BY_HANDLE_FILE_INFORMATION> first = FileIdentity(a);
    const std::optional<BY_HANDLE_FILE_INFORMATION> second = FileIdentity(b);
    return first && second && first->dwVolumeSerialNumber == second->dwVolumeSerialNumber &&
           first->nFileIndexHigh == second->nFileIndexHigh &&
           first->nFileIndexLow == second->nFileIndexLow;
}

ServerFacts GatherServerFacts(HANDLE pipe, const std::wstring& expected_image,
                              bool with_service_pid) {
    ServerFacts facts;
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid) || pid == 0) {
        return facts;
    }
    facts.pid = pid;
    DWORD session = 0;
    if (ProcessIdToSessionId(pid, &session)) {
        facts.session_id = session;
    }
    UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process) {
        HANDLE raw_token = nullptr;
        if (OpenProcessToken(process.get(), TOKEN_QUERY, &raw_token)) {
            UniqueKernelHandle token(raw_token);
            facts.user_sid = TokenUserSidText(token.get());
            facts.is_local_system =
                facts.user_sid && SidTextEquals(*facts.user_sid, LocalSystemSidText());
        }
        if (!expected_image.empty()) {
            wchar_t image[MAX_PATH * 2] = {};
            DWORD length = MAX_PATH * 2;
            facts.image_matches = QueryFullProcessImageNameW(process.get(), 0, image, &length) &&
                                  SameFile(std::wstring(image, length), expected_image);
        }
    }
    if (with_service_pid) {
        facts.registered_service_pid = RegisteredServicePid();
    }
    return facts;
}

ServerVerdict VerifyServiceServer(HANDLE pipe) {
    wchar_t value[8] = {};
    const DWORD length = GetEnvironmentVariableW(kTrustConsoleServiceVariable, value, 8);
    const bool trust_console =
        length > 0 && length < 8 && TrustConsoleServiceFromText(std::wstring_view(value, length));
    const ServerFacts facts = GatherServerFacts(pipe, std::wstring(), /*with_service_pid=*/true);
    return DecideServiceServer(facts, trust_console, CurrentUserSidText());
}

ServerVerdict VerifyAgentServer(HANDLE pipe, const std::wstring& agent_exe_path,
                                uint32_t session_id) {
    const ServerFacts facts = GatherServerFacts(pipe, agent_exe_path, /*with_service_pid=*/false);
    return DecideAgentServer(facts, CurrentUserSidText(), session_id);
}

}  // namespace lumet::common
