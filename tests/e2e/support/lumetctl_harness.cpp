#include "support/lumetctl_harness.h"

#include <string>

#include "support/plugin_harness.h"
#include "support/service_harness.h"

namespace lumet::test {

namespace {

constexpr wchar_t kServiceName[] = L"OrrinfieldVPNService";
constexpr DWORD kServiceWaitMs = 10000;

}  // namespace

DWORD RunLumetctl(const std::wstring& arguments, const std::string& input, std::string* output,
                  DWORD timeout_ms) {
    output->clear();
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        return 999;
    }
    common::UniqueKernelHandle child_input(read_end);
    DWORD written = 0;
    // The pipe buffer holds the few bytes; closing the write end gives the reader end of input.
    WriteFile(write_end, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    CloseHandle(write_end);
    // RunCaptured hands the child this process's standard input.
    const HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, read_end);
    const auto code = RunCaptured(L"\"" + LumetctlPath() + L"\" " + arguments, timeout_ms, output);
    SetStdHandle(STD_INPUT_HANDLE, saved);
    // Standard output is in text mode: line ends arrive as CR LF.
    for (size_t at = output->find("\r\n"); at != std::string::npos; at = output->find("\r\n", at)) {
        output->erase(at, 1);
    }
    return code.value_or(999);
}

bool RegisteredService::Register() {
    Remove();
    const std::wstring binary = L"\"" + ServiceExecutablePath() + L"\"";
    service_ = CreateTestService(kServiceName, L"Orrinfield VPN Service (test)", binary,
                                 /*start=*/false, kServiceWaitMs);
    return static_cast<bool>(service_);
}

bool RegisteredService::Start() {
    return service_ && StartServiceW(service_.get(), 0, nullptr) &&
           WaitForScmState(service_.get(), SERVICE_RUNNING, kServiceWaitMs) == SERVICE_RUNNING;
}

bool RegisteredService::Stop() {
    SERVICE_STATUS status = {};
    return service_ && ControlService(service_.get(), SERVICE_CONTROL_STOP, &status) &&
           WaitForScmState(service_.get(), SERVICE_STOPPED, kServiceWaitMs) == SERVICE_STOPPED;
}

void RegisteredService::Remove() {
    service_.reset();
    RemoveServiceByName(kServiceName, kServiceWaitMs);
}

}  // namespace lumet::test
