// OpenVPN interactive service stand-in (openvpnserv_sim.exe).
//
//   openvpnserv_sim.exe -service   run by the service manager as OpenVPNServiceInteractive
//   openvpnserv_sim.exe -console   the same pipe server in the foreground, until Ctrl+C
//
// Serves "\\.\pipe\openvpn\service" in message mode, one thread per client. A client sends one
// startup message (UTF-16LE: working directory, options, standard-input text, each ending in a
// NUL); the service starts openvpn.exe with that working directory and "<exe> <options>" as its
// command line, writes the standard-input text (as UTF-8) to the new process's standard input and
// answers "0x00000000\n0x<pid, 8 hex digits>\nProcess ID", or "0x<error>\n<where>\n<text>".
// Fault switches (sim_switches.h) replace the answer. Test tooling only.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "sim/openvpn/scoped_handle.h"
#include "sim/openvpn/sim_switches.h"

namespace lumet::sim::openvpn {
namespace {

constexpr wchar_t kServiceName[] = L"OpenVPNServiceInteractive";
constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\openvpn\\service";
constexpr DWORD kPipeBufferBytes = 8192;
// Far above the 1024 UTF-16 units a client may send; a larger message is drained and refused.
constexpr size_t kMaxStartupBytes = 64 * 1024;
constexpr DWORD kReadLimitMs = 10000;
constexpr DWORD kWriteLimitMs = 5000;
// After answering, the pipe stays open until the client has read the answer and closed its end:
// closing first would throw the unread answer away.
constexpr DWORD kLingerLimitMs = 30000;
// "Never answer" holds the connection this long at most, so that no test leaves a thread behind
// for good.
constexpr DWORD kNoReplyLimitMs = 60000;
constexpr size_t kOversizedPadding = 5000;

HANDLE g_stop_event = nullptr;

struct StartupData {
    std::wstring directory;
    std::wstring options;
    std::wstring std_input;  // carries the management password
    ~StartupData() { Wipe(std_input); }
};

// Completes an overlapped operation begun with result `started`. Returns NO_ERROR,
// ERROR_MORE_DATA (a message read that did not fit), WAIT_TIMEOUT (cancelled after `limit_ms`),
// or the failure; `bytes` is what was transferred.
DWORD FinishIo(HANDLE pipe, OVERLAPPED& ov, BOOL started, DWORD limit_ms, DWORD& bytes) {
    bytes = 0;
    if (!started) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(ov.hEvent, limit_ms) != WAIT_OBJECT_0) {
                CancelIoEx(pipe, &ov);
                GetOverlappedResult(pipe, &ov, &bytes, TRUE);
                bytes = 0;
                return WAIT_TIMEOUT;
            }
        } else if (error != ERROR_MORE_DATA) {
            return error;
        }
    }
    if (!GetOverlappedResult(pipe, &ov, &bytes, FALSE)) {
        return GetLastError();
    }
    return NO_ERROR;
}

// Reads one whole message. False when the client went away or sent nothing in time; `too_big`
// when the message was longer than kMaxStartupBytes (its bytes are then dropped).
bool ReadMessage(HANDLE pipe, HANDLE event, std::vector<uint8_t>& message, bool& too_big) {
    uint8_t chunk[4096];
    too_big = false;
    for (;;) {
        OVERLAPPED ov = {};
        ov.hEvent = event;
        ResetEvent(event);
        DWORD got = 0;
        const BOOL started = ReadFile(pipe, chunk, sizeof(chunk), nullptr, &ov);
        const DWORD result = FinishIo(pipe, ov, started, kReadLimitMs, got);
        if (result != NO_ERROR && result != ERROR_MORE_DATA) {
            SecureZeroMemory(chunk, sizeof(chunk));
            return false;
        }
        if (!too_big && message.size() + got <= kMaxStartupBytes) {
            message.insert(message.end(), chunk, chunk + got);
        } else {
            too_big = true;
        }
        if (result == NO_ERROR) {
            SecureZeroMemory(chunk, sizeof(chunk));
            return true;
        }
    }
}

bool WriteMessage(HANDLE pipe, HANDLE event, const std::wstring& text) {
    OVERLAPPED ov = {};
    ov.hEvent = event;
    ResetEvent(event);
    const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    const BOOL started = WriteFile(pipe, text.data(), size, nullptr, &ov);
    return FinishIo(pipe, ov, started, kWriteLimitMs, written) == NO_ERROR && written == size;
}

// Waits (bounded) until the client closes its end.
void LingerUntilClientLeaves(HANDLE pipe, HANDLE event, DWORD limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    uint8_t sink[512];
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return;
        }
        OVERLAPPED ov = {};
        ov.hEvent = event;
        ResetEvent(event);
        DWORD got = 0;
        const BOOL started = ReadFile(pipe, sink, sizeof(sink), nullptr, &ov);
        const DWORD result = FinishIo(pipe, ov, started, static_cast<DWORD>(deadline - now), got);
        if (result != NO_ERROR && result != ERROR_MORE_DATA) {
            return;
        }
    }
}

// Working directory, options and standard-input text, each ending in a NUL.
bool ParseStartupMessage(const std::vector<uint8_t>& bytes, StartupData& data) {
    if (bytes.size() < 3 * sizeof(wchar_t) || bytes.size() % sizeof(wchar_t) != 0) {
        return false;
    }
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), bytes.data(), bytes.size());
    std::wstring* fields[] = {&data.directory, &data.options, &data.std_input};
    size_t at = 0;
    bool ok = true;
    for (std::wstring* field : fields) {
        const size_t end = text.find(L'\0', at);
        if (end == std::wstring::npos) {
            ok = false;
            break;
        }
        field->assign(text, at, end - at);
        at = end + 1;
    }
    Wipe(text);
    return ok;
}

std::wstring ErrorReply(uint32_t code, const wchar_t* where, const std::wstring& text) {
    wchar_t head[16];
    std::swprintf(head, 16, L"0x%08x\n", code);
    return head + std::wstring(where) + L"\n" + text;
}

std::wstring SuccessReply(DWORD pid) {
    wchar_t text[64];
    std::swprintf(text, 64, L"0x%08x\n0x%08x\nProcess ID", 0u, static_cast<unsigned>(pid));
    return text;
}

std::wstring SystemMessage(DWORD error) {
    wchar_t buffer[512] = {};
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
    std::wstring text(buffer, n);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    return text.empty() ? L"error " + std::to_wstring(error) : text;
}

std::wstring ModuleDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    const size_t slash = dir.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : dir.substr(0, slash);
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The switch, else the copy beside this program, else the installation's "exe_path". The copy
// beside comes first so that a test run from the build folder starts the openvpn.exe built with
// it, not one an earlier install left under Program Files.
std::wstring OpenVpnExecutable() {
    if (auto configured = ReadSwitchString(kOpenVpnExe)) {
        return *configured;
    }
    const std::wstring beside = ModuleDirectory() + L"\\openvpn.exe";
    if (FileExists(beside)) {
        return beside;
    }
    wchar_t installed[MAX_PATH] = {};
    DWORD size = sizeof(installed);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OpenVPN", L"exe_path", RRF_RT_REG_SZ, nullptr,
                     installed, &size) == ERROR_SUCCESS) {
        return installed;
    }
    return beside;
}

// Starts openvpn.exe suspended with `data`'s standard input. Returns a Win32 error; on success
// `process` holds the new process, still suspended.
DWORD StartOpenVpn(StartupData& data, PROCESS_INFORMATION& process) {
    const std::wstring exe = OpenVpnExecutable();
    std::wstring command_line = L"\"" + exe + L"\" " + data.options;

    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) {
        return GetLastError();
    }
    ScopedHandle child_input(read_end);
    ScopedHandle input(write_end);
    SetHandleInformation(input.get(), HANDLE_FLAG_INHERIT, 0);
    ScopedHandle null_output(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inheritable, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_input.get();
    startup.hStdOutput = null_output.get();
    startup.hStdError = null_output.get();
    // Suspended until the client has the answer: a client that gave up must not leave an
    // openvpn.exe behind that nobody will stop.
    const DWORD flags = CREATE_SUSPENDED | DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
    if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr,
                        /*bInheritHandles=*/TRUE, flags, nullptr,
                        data.directory.empty() ? nullptr : data.directory.c_str(), &startup,
                        &process)) {
        return GetLastError();
    }
    child_input.reset();

    std::string utf8;
    const int wide = static_cast<int>(data.std_input.size());
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, data.std_input.data(), wide, nullptr, 0, nullptr, nullptr);
    if (n > 0) {
        utf8.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_UTF8, 0, data.std_input.data(), wide, utf8.data(), n, nullptr,
                            nullptr);
        DWORD written = 0;
        WriteFile(input.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
    Wipe(utf8);
    Wipe(data.std_input);
    return NO_ERROR;
}

std::wstring SwitchedErrorReply(LaunchErrorKind kind) {
    switch (kind) {
        case LaunchErrorKind::AdminApproval:
            return ErrorReply(kErrorStartupData, L"ValidateOptions",
                              L"You have specified a config file location that requires admin "
                              L"approval. Add your account to the \"OpenVPN Administrators\" "
                              L"group to use it.");
        case LaunchErrorKind::OptionsRejected:
            return ErrorReply(kErrorStartupData, L"ValidateOptions",
                              L"Option '--config' refers to a file the service will not run.");
        // The real service sends these two only for a later message (bad data, unknown type),
        // never for a startup message; the switches exist to show that a client treats such a
        // reply as a broken exchange.
        case LaunchErrorKind::MessageData:
            return ErrorReply(kErrorMessageData, L"HandleMessage",
                              L"The message data is not valid.");
        case LaunchErrorKind::MessageType:
            return ErrorReply(kErrorMessageType, L"HandleMessage", L"Unknown message type.");
        case LaunchErrorKind::StartupFailed:
        default:
            return ErrorReply(kErrorOpenVpnStartup, L"StartOpenVPN",
                              L"OpenVPN could not be started.");
    }
}

void Serve(HANDLE pipe, HANDLE event) {
    std::vector<uint8_t> message;
    bool too_big = false;
    if (!ReadMessage(pipe, event, message, too_big)) {
        Wipe(message);
        return;
    }
    if (ReadSwitchDword(kNoReply).value_or(0) != 0) {
        Wipe(message);
        LingerUntilClientLeaves(pipe, event, kNoReplyLimitMs);
        return;
    }
    if (const DWORD delay = ReadSwitchDword(kReplyDelayMs).value_or(0); delay > 0) {
        Sleep(delay);
    }

    StartupData data;
    const bool parsed = !too_big && ParseStartupMessage(message, data);
    Wipe(message);
    const auto launch_error =
        static_cast<LaunchErrorKind>(ReadSwitchDword(kLaunchError).value_or(0));
    const auto shape = static_cast<ReplyShapeKind>(ReadSwitchDword(kReplyShape).value_or(0));

    std::wstring reply;
    PROCESS_INFORMATION process = {};
    if (!parsed) {
        reply = ErrorReply(kErrorStartupData, L"GetStartupData",
                           too_big ? L"The startup data is too long." : L"Malformed startup data.");
    } else {
        WriteRecordString(kLastOptions, data.options);
        if (launch_error != LaunchErrorKind::None) {
            reply = SwitchedErrorReply(launch_error);
        } else if (shape == ReplyShapeKind::Garbage) {
            reply = L"garbage \x00e9\x00e9 not an answer\n";
        } else if (shape == ReplyShapeKind::Oversized) {
            reply = SuccessReply(0x1234) + std::wstring(kOversizedPadding, L'x');
        } else if (shape == ReplyShapeKind::ShortPid) {
            reply = L"0x00000000\n0x1234567\nProcess ID";
        } else if (const DWORD error = StartOpenVpn(data, process); error != NO_ERROR) {
            reply = ErrorReply(error, L"CreateProcess", SystemMessage(error));
        } else {
            reply = SuccessReply(process.dwProcessId);
        }
    }

    const bool answered = WriteMessage(pipe, event, reply);
    {
        const ScopedHandle child_thread(process.hThread);
        const ScopedHandle child(process.hProcess);
        if (child.valid()) {
            if (answered) {
                ResumeThread(child_thread.get());
            } else {
                TerminateProcess(child.get(), 1);
            }
        }
    }
    if (answered) {
        LingerUntilClientLeaves(pipe, event, kLingerLimitMs);
    }
}

DWORD WINAPI ClientThread(void* param) {
    ScopedHandle pipe(static_cast<HANDLE>(param));
    ScopedHandle event(CreateEventW(nullptr, /*bManualReset=*/TRUE, FALSE, nullptr));
    if (event.valid()) {
        Serve(pipe.get(), event.get());
    }
    DisconnectNamedPipe(pipe.get());
    return 0;
}

HANDLE CreateInstance(bool first) {
    const DWORD open_mode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return CreateNamedPipeW(
        kPipeName, open_mode,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes,
        /*nDefaultTimeOut=*/0, nullptr);
}

// Accepts clients until `stop` is set. `first` is the already created first instance. Returns
// a Win32 error when the server cannot go on.
DWORD RunPipeServer(HANDLE first, HANDLE stop) {
    ScopedHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connected.valid()) {
        CloseHandle(first);
        return GetLastError();
    }
    ScopedHandle pipe(first);
    for (;;) {
        if (!pipe.valid()) {
            pipe.reset(CreateInstance(false));
            if (!pipe.valid()) {
                if (WaitForSingleObject(stop, 200) == WAIT_OBJECT_0) {
                    return NO_ERROR;
                }
                continue;
            }
        }
        OVERLAPPED ov = {};
        ov.hEvent = connected.get();
        ResetEvent(connected.get());
        bool ready = false;
        if (ConnectNamedPipe(pipe.get(), &ov)) {
            ready = true;
        } else if (GetLastError() == ERROR_PIPE_CONNECTED) {
            ready = true;
        } else if (GetLastError() == ERROR_IO_PENDING) {
            HANDLE waits[] = {connected.get(), stop};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIoEx(pipe.get(), &ov);
                DWORD ignored = 0;
                GetOverlappedResult(pipe.get(), &ov, &ignored, TRUE);
                return NO_ERROR;
            }
            DWORD ignored = 0;
            ready = GetOverlappedResult(pipe.get(), &ov, &ignored, FALSE) != FALSE;
        }
        if (!ready) {
            pipe.reset();
            continue;
        }
        HANDLE client = pipe.release();
        ScopedHandle thread(CreateThread(nullptr, 0, ClientThread, client, 0, nullptr));
        if (!thread.valid()) {
            CloseHandle(client);
        }
    }
}

// ---- service manager ----

SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status = {};

void Report(DWORD state, DWORD win32_exit = NO_ERROR) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwWin32ExitCode = win32_exit;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 3000;
    SetServiceStatus(g_status_handle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            SetEvent(g_stop_event);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    g_status_handle = RegisterServiceCtrlHandlerExW(kServiceName, Handler, nullptr);
    if (g_status_handle == nullptr) {
        return;
    }
    Report(SERVICE_START_PENDING);
    // The pipe exists before RUNNING is reported, so a client that waited for RUNNING finds it.
    HANDLE first = CreateInstance(true);
    if (first == INVALID_HANDLE_VALUE) {
        Report(SERVICE_STOPPED, GetLastError());
        return;
    }
    Report(SERVICE_RUNNING);
    const DWORD error = RunPipeServer(first, g_stop_event);
    Report(SERVICE_STOP_PENDING);
    Report(SERVICE_STOPPED, error);
}

BOOL WINAPI ConsoleHandler(DWORD) {
    SetEvent(g_stop_event);
    return TRUE;
}

}  // namespace
}  // namespace lumet::sim::openvpn

int wmain(int argc, wchar_t** argv) {
    using namespace lumet::sim::openvpn;
    const std::wstring mode = argc == 2 ? argv[1] : L"";
    if (mode != L"-service" && mode != L"-console") {
        std::fwprintf(stderr, L"usage: openvpnserv_sim.exe -service | -console\n");
        return ERROR_INVALID_PARAMETER;
    }
    g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_stop_event == nullptr) {
        return static_cast<int>(GetLastError());
    }
    if (mode == L"-service") {
        wchar_t name[] = L"OpenVPNServiceInteractive";
        SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherW(table)) {
            const DWORD error = GetLastError();
            std::fwprintf(stderr, L"openvpnserv_sim: not started by the service manager (%lu)\n",
                          error);
            return static_cast<int>(error);
        }
        return 0;
    }
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
    HANDLE first = CreateInstance(true);
    if (first == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        std::fwprintf(stderr, L"openvpnserv_sim: cannot serve %ls (%lu)\n", kPipeName, error);
        return static_cast<int>(error);
    }
    std::fwprintf(stderr, L"openvpnserv_sim: serving %ls; Ctrl+C stops\n", kPipeName);
    return static_cast<int>(RunPipeServer(first, g_stop_event));
}
