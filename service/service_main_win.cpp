#include "service/service_main.h"

#include <wtsapi32.h>

#include <memory>
#include <mutex>
#include <string>

#include "common/log.h"
#include "common/messages.h"
#include "service/data_folder_win.h"
#include "service/lifecycle.h"
#include "service/pipe_server.h"
#include "service/service_state.h"

namespace lumet::service {

namespace {

using common::LogLevel;

std::mutex g_state_lock;
ServiceState* g_current_state = nullptr;  // guarded by g_state_lock

// The service main and the control handler both report; the lock keeps checkpoints in order.
std::mutex g_status_lock;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;  // guarded by g_status_lock
SERVICE_STATUS g_status = {};                     // guarded by g_status_lock
uint32_t g_checkpoint_counter = 0;                // guarded by g_status_lock

// Caller holds g_status_lock.
void ReportStatusLocked(StatusPhase phase, int server_result) {
    if (g_status_handle == nullptr) {
        return;
    }
    const StatusReport report = MakeStatusReport(phase, &g_checkpoint_counter, server_result);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = report.current_state;
    g_status.dwControlsAccepted = report.controls_accepted;
    g_status.dwWin32ExitCode = report.win32_exit_code;
    g_status.dwServiceSpecificExitCode = 0;
    g_status.dwCheckPoint = report.check_point;
    g_status.dwWaitHint = report.wait_hint;
    SetServiceStatus(g_status_handle, &g_status);
}

void ReportStatus(StatusPhase phase, int server_result = 0) {
    std::lock_guard<std::mutex> lock(g_status_lock);
    ReportStatusLocked(phase, server_result);
}

void RunStopSequence() {
    ReportStatus(StatusPhase::StopPending);
    std::lock_guard<std::mutex> lock(g_state_lock);
    if (g_current_state == nullptr) {
        return;
    }
    // A service stop must not leave a tunnel running that nothing controls any more, so the
    // tunnel goes first. Stop waits for a start in progress on the server thread (the
    // controller's lock) and logs a stop that does not fully complete; the service stops all the
    // same, so its result is not looked at. g_state_lock stays held meanwhile: the server thread
    // withdraws the state only after this returns.
    common::WireGuardStatusRecord discarded;
    static_cast<void>(g_current_state->tunnel_controller->Stop(&discarded));
    g_current_state->RequestStop();
}

void WINAPI ServiceMain(DWORD /*argc*/, wchar_t** /*argv*/) {
    // Sets the log name; the log file is opened only if its folders pass the checks.
    OpenServiceLog();
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(kServiceName, ServiceControlHandler, /*lpContext=*/nullptr);
    if (handle == nullptr) {
        return;
    }
    {
        // One step, so that an interrogation never finds the handle without a status to send.
        std::lock_guard<std::mutex> lock(g_status_lock);
        g_status_handle = handle;
        ReportStatusLocked(StatusPhase::StartPending, 0);
    }

    auto state = std::make_unique<ServiceState>(/*console_mode=*/false);
    PublishCurrentState(state.get());
    ReportStatus(StatusPhase::Running);

    const int result = RunPipeServer(*state);

    // Once stopped is reported the dispatcher returns and the process may exit, so nothing may
    // still be torn down after that report.
    PublishCurrentState(nullptr);
    state.reset();
    ReportStatus(StatusPhase::Stopped, result);
}

int RunConsoleMode() {
    common::SetLogName(L"service");
    common::LogLine(
        LogLevel::Info,
        L"--console dev run (not started by SCM; keys off this process's own user/session)");
    static ServiceState state(/*console_mode=*/true);
    PublishCurrentState(&state);
    // A parent that starts us in a new process group leaves Ctrl+C ignored; turn it back on so
    // that Ctrl+C reaches the handler below.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
    const int result = RunPipeServer(state);
    PublishCurrentState(nullptr);
    return result;
}

void WriteToStandardError(const char* text, size_t length) {
    // Written as is, without the C runtime's newline translation.
    const HANDLE error_stream = GetStdHandle(STD_ERROR_HANDLE);
    if (error_stream == nullptr || error_stream == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(error_stream, text, static_cast<DWORD>(length), &written, nullptr);
}

}  // namespace

int RunServiceProgram(int argc, wchar_t** argv) {
    if (IsConsoleModeRequest(argc, argv)) {
        return RunConsoleMode();
    }
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<wchar_t*>(kServiceName), ServiceMain},
        {nullptr, nullptr},
    };
    if (StartServiceCtrlDispatcherW(table)) {
        return 0;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        WriteToStandardError(kNotStartedBySCMMessage, sizeof(kNotStartedBySCMMessage) - 1);
        return 1;
    }
    return static_cast<int>(error);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD event_type, void* event_data,
                                   void* /*context*/) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            RunStopSequence();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE: {
            std::lock_guard<std::mutex> lock(g_status_lock);
            if (g_status_handle != nullptr) {
                SetServiceStatus(g_status_handle, &g_status);
            }
            return NO_ERROR;
        }
        case SERVICE_CONTROL_POWEREVENT: {
            std::lock_guard<std::mutex> lock(g_state_lock);
            if (g_current_state != nullptr) {
                common::LogLine(LogLevel::Info, L"power event=" + std::to_wstring(event_type) +
                                                    L" (structured hook, no-op in W3B)");
            }
            return NO_ERROR;
        }
        case SERVICE_CONTROL_SESSIONCHANGE: {
            std::lock_guard<std::mutex> lock(g_state_lock);
            if (g_current_state != nullptr && event_data != nullptr) {
                const auto* notification = static_cast<const WTSSESSION_NOTIFICATION*>(event_data);
                common::LogLine(LogLevel::Info, L"session change event=" +
                                                    std::to_wstring(event_type) + L" session=" +
                                                    std::to_wstring(notification->dwSessionId) +
                                                    L" (structured hook, no-op in W3B)");
            }
            return NO_ERROR;
        }
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

BOOL WINAPI ConsoleControlHandler(DWORD /*control_type*/) {
    // Unlike a service stop, this leaves the WireGuard tunnel up: a console run is a developer's
    // instance, and the reconcile of the next start removes what it left behind.
    std::lock_guard<std::mutex> lock(g_state_lock);
    if (g_current_state != nullptr) {
        g_current_state->RequestStop();
    }
    return TRUE;
}

void PublishCurrentState(ServiceState* state) {
    std::lock_guard<std::mutex> lock(g_state_lock);
    g_current_state = state;
}

}  // namespace lumet::service
