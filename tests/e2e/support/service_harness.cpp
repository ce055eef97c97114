#include "service_harness.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <chrono>
#include <thread>

#include "common/frame_transport.h"
#include "common/pipe_names.h"
#include "common/session_win.h"
#include "common/utf.h"

namespace lumet::test {

namespace {

std::wstring ExecutableDirW() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    const size_t slash = p.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : p.substr(0, slash);
}

ULONGLONG Now() {
    return GetTickCount64();
}

void PutLittleEndian(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// These tests run the service with "--console", which an agent accepts only when told so: every
// agent they start (directly or through the plugin) inherits this. Tests of the refusal clear it
// around their own agent.
[[maybe_unused]] const bool kAgentsTrustTheConsoleService = [] {
    SetEnvironmentVariableW(L"ORRINFIELD_TRUST_CONSOLE_SERVICE", L"1");
    return true;
}();

}  // namespace

std::wstring ServiceExecutablePath() {
    return ExecutableDirW() + L"\\OrrinfieldVPNService.exe";
}

std::wstring ServicePipeNameForThisSession() {
    return common::ServicePipeName(common::CurrentSessionId()).value_or(L"");
}

ChildProcess::~ChildProcess() {
    Terminate();
}

bool ChildProcess::Start(const std::wstring& executable, const std::wstring& arguments,
                         const ChildOptions& options) {
    std::wstring command = L"\"" + executable + L"\"";
    if (!arguments.empty()) {
        command += L" " + arguments;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    common::UniqueHandle stderr_write;
    BOOL inherit = FALSE;
    if (options.capture_stderr) {
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) {
            return false;
        }
        stderr_read_.reset(read_end);
        stderr_write.reset(write_end);
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = write_end;
        inherit = TRUE;
    }
    const DWORD flags = options.new_process_group ? CREATE_NEW_PROCESS_GROUP : 0;
    common::UniqueProcessInformation info;
    if (!CreateProcessW(executable.c_str(), command.data(), nullptr, nullptr, inherit, flags,
                        nullptr, nullptr, &startup, info.put())) {
        return false;
    }
    pid_ = info.get().dwProcessId;
    process_ = info.release_process();
    return true;
}

std::optional<DWORD> ChildProcess::WaitForExit(DWORD timeout_ms) {
    if (!process_ || WaitForSingleObject(process_.get(), timeout_ms) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

std::string ChildProcess::StandardError() {
    std::string text;
    if (!stderr_read_) {
        return text;
    }
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(stderr_read_.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    return text;
}

void ChildProcess::Terminate() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 5000);
    }
}

void PrepareConsoleForCtrlC() {
    FreeConsole();
    AllocConsole();
    SetConsoleCtrlHandler(nullptr, TRUE);
}

bool SendCtrlC(const ChildProcess& child) {
    return GenerateConsoleCtrlEvent(CTRL_C_EVENT, child.pid()) != FALSE;
}

bool PipeClient::Connect(const std::wstring& pipe_name, DWORD timeout_ms, DWORD access) {
    const ULONGLONG deadline = Now() + timeout_ms;
    for (;;) {
        pipe_.reset(CreateFileW(pipe_name.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr));
        if (pipe_) {
            return true;
        }
        const DWORD error = GetLastError();
        if (Now() >= deadline) {
            return false;
        }
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(pipe_name.c_str(), 250);
        } else {
            // Missing (not created yet, or between two passes of the server).
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

bool PipeClient::SendRaw(uint16_t protocol, uint16_t type, uint32_t request_id,
                         std::span<const uint8_t> payload) {
    std::vector<uint8_t> frame;
    PutLittleEndian(frame, 16 + payload.size(), 4);
    PutLittleEndian(frame, protocol, 2);
    PutLittleEndian(frame, type, 2);
    PutLittleEndian(frame, request_id, 4);
    PutLittleEndian(frame, 0, 4);
    PutLittleEndian(frame, payload.size(), 4);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return common::TransferAll(pipe_.get(), frame.data(), static_cast<uint32_t>(frame.size()), 5000,
                               common::TransferDirection::Write);
}

bool PipeClient::Send(uint16_t type, uint32_t request_id, std::span<const uint8_t> payload) {
    return common::SendFrame(pipe_.get(), type, request_id, 0, payload, 5000);
}

Reply PipeClient::Receive(DWORD timeout_ms) {
    common::ReceivedFrame frame = common::ReceiveFrame(pipe_.get(), timeout_ms);
    Reply reply;
    reply.ok = frame.ok;
    reply.header = frame.header;
    reply.body = std::move(frame.payload);
    return reply;
}

Reply PipeClient::Call(uint16_t type, uint32_t request_id, std::span<const uint8_t> payload) {
    if (!Send(type, request_id, payload)) {
        return {};
    }
    return Receive(5000);
}

bool PipeClient::WaitForServerClose(DWORD timeout_ms, size_t* stray_bytes) {
    uint8_t byte = 0;
    const bool read =
        common::TransferAll(pipe_.get(), &byte, 1, timeout_ms, common::TransferDirection::Read);
    const DWORD error = GetLastError();
    if (read) {
        if (stray_bytes != nullptr) {
            ++*stray_bytes;
        }
        return false;
    }
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_HANDLE_EOF || error == ERROR_NO_DATA;
}

std::wstring ServiceLogPath() {
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder))) {
        path = std::wstring(folder) + L"\\Orrinfield\\vpn\\logs\\service.log";
    }
    CoTaskMemFree(folder);
    return path;
}

uint64_t FileSizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string ReadFileFrom(const std::wstring& path, uint64_t offset) {
    common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    if (!file) {
        return text;
    }
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN)) {
        return text;
    }
    char buffer[8192];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    return text;
}

bool WaitForListeningPipe(const std::wstring& name, DWORD timeout_ms) {
    const ULONGLONG deadline = Now() + timeout_ms;
    for (;;) {
        if (WaitNamedPipeW(name.c_str(), 100)) {
            return true;
        }
        if (Now() >= deadline) {
            return false;
        }
        Sleep(20);
    }
}

bool WaitForFileText(const std::wstring& path, uint64_t offset, const std::string& needle,
                     DWORD timeout_ms) {
    const ULONGLONG deadline = Now() + timeout_ms;
    for (;;) {
        if (ReadFileFrom(path, offset).find(needle) != std::string::npos) {
            return true;
        }
        if (Now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool IsGenerationTextOf(const std::string& text, DWORD pid) {
    const std::string prefix = std::to_string(pid) + "-0x";
    if (text.size() != prefix.size() + 8 || text.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    for (size_t i = prefix.size(); i < text.size(); ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

std::string PipeDaclSddl(HANDLE pipe) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
        return std::string();
    }
    common::UniqueLocalMemory descriptor_owner(descriptor);
    wchar_t* sddl = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        return std::string();
    }
    common::UniqueLocalPtr<wchar_t> sddl_owner(sddl);
    return common::WideToUtf8(sddl);
}

}  // namespace lumet::test
