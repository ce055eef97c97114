#include "scm_test_util.h"

#include "win_test_util.h"

namespace lumet::test {

common::UniqueServiceHandle OpenServiceByName(const wchar_t* name, DWORD access) {
    const common::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return common::UniqueServiceHandle(scm ? OpenServiceW(scm.get(), name, access) : nullptr);
}

DWORD ScmState(SC_HANDLE service, DWORD* pid) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
        return 0;
    }
    if (pid != nullptr) {
        *pid = status.dwProcessId;
    }
    return status.dwCurrentState;
}

DWORD ScmStateByName(const wchar_t* name, DWORD* pid) {
    const common::UniqueServiceHandle service = OpenServiceByName(name, SERVICE_QUERY_STATUS);
    return service ? ScmState(service.get(), pid) : 0;
}

DWORD WaitForScmState(SC_HANDLE service, DWORD wanted, DWORD limit_ms, DWORD* pid) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    for (;;) {
        const DWORD state = ScmState(service, pid);
        if (state == wanted || GetTickCount64() >= deadline) {
            return state;
        }
        Sleep(25);
    }
}

void StopServiceAndProcess(SC_HANDLE service, DWORD limit_ms) {
    DWORD pid = 0;
    if (ScmState(service, &pid) != SERVICE_STOPPED) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        WaitForScmState(service, SERVICE_STOPPED, limit_ms);
    }
    if (pid == 0) {
        return;
    }
    const common::UniqueKernelHandle process(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (process && WaitForSingleObject(process.get(), 2000) == WAIT_TIMEOUT) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 2000);
    }
}

bool RemoveServiceByName(const wchar_t* name, DWORD limit_ms) {
    if (const common::UniqueServiceHandle service =
            OpenServiceByName(name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS)) {
        StopServiceAndProcess(service.get(), limit_ms);
        DeleteService(service.get());
    }
    return WaitUntil([name] { return !OpenServiceByName(name, SERVICE_QUERY_STATUS); }, limit_ms);
}

common::UniqueServiceHandle CreateTestService(const wchar_t* name, const wchar_t* display_name,
                                              const std::wstring& command_line, bool start,
                                              DWORD limit_ms) {
    const common::UniqueServiceHandle scm(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    common::UniqueServiceHandle service(
        scm ? CreateServiceW(scm.get(), name, display_name, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)
            : nullptr);
    if (service && start &&
        !(StartServiceW(service.get(), 0, nullptr) &&
          WaitForScmState(service.get(), SERVICE_RUNNING, limit_ms) == SERVICE_RUNNING)) {
        service.reset();
    }
    return service;
}

}  // namespace lumet::test
