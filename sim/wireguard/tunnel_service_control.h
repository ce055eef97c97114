// The service-manager side of both tunnel-service stand-ins, the simulator and the bridge: the
// status they report and the controls they take, the way the real tunnel service does.
// Test tooling only.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "sim/wireguard/tunnel_config.h"

namespace lumet::sim {

struct TunnelServiceContext {
    SERVICE_STATUS_HANDLE status_handle = nullptr;
    HANDLE stop_event = nullptr;  // manual reset; set by a STOP or SHUTDOWN the service accepts
    SERVICE_STATUS status = {};
};

// Reports `state` for an own-process service. Nothing is accepted until the tunnel runs, so that
// the service manager refuses STOP meanwhile with ERROR_SERVICE_CANNOT_ACCEPT_CTRL (1061), as
// Windows does for the real tunnel service. Pending states count checkpoints with a 3 s hint.
inline void ReportTunnelService(TunnelServiceContext& ctx, DWORD state, DWORD win32_exit = NO_ERROR,
                                DWORD specific_exit = 0) {
    ctx.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ctx.status.dwCurrentState = state;
    ctx.status.dwWin32ExitCode = win32_exit;
    ctx.status.dwServiceSpecificExitCode = specific_exit;
    ctx.status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    ctx.status.dwCheckPoint = pending ? ctx.status.dwCheckPoint + 1 : 0;
    ctx.status.dwWaitHint = pending ? 3000 : 0;
    SetServiceStatus(ctx.status_handle, &ctx.status);
}

// The HandlerEx of both; `context` is their TunnelServiceContext. Wine's service manager hands a
// STOP to a service that is still starting; Windows' refuses it there, and so does this handler.
// A control the service does not handle gets ERROR_CALL_NOT_IMPLEMENTED, as the documentation
// of HandlerEx asks.
inline DWORD WINAPI TunnelServiceHandler(DWORD control, DWORD /*event_type*/, void* /*event_data*/,
                                         void* context) {
    auto* ctx = static_cast<TunnelServiceContext*>(context);
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            if (ctx->status.dwCurrentState != SERVICE_RUNNING) {
                return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
            }
            SetEvent(ctx->stop_event);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Creates the stop event, registers the handler for the service `name` and reports
// START_PENDING; false when the event or the registration failed. `ctx` must outlive the process's
// last control: the handler may still run after ServiceMain returns.
inline bool StartTunnelService(TunnelServiceContext& ctx, const wchar_t* name) {
    ctx.stop_event = CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr);
    ctx.status_handle = RegisterServiceCtrlHandlerExW(name, TunnelServiceHandler, &ctx);
    if (ctx.status_handle == nullptr || ctx.stop_event == nullptr) {
        return false;
    }
    ReportTunnelService(ctx, SERVICE_START_PENDING);
    return true;
}

// The whole of wmain for "wireguard.exe /tunnelservice <configuration file>": checks the
// arguments, stores the file's path in `*config_path`, and runs `service_main` under the service
// manager's dispatcher (with Winsock started). Returns the process exit code.
inline int RunTunnelServiceProcess(int argc, wchar_t** argv, std::wstring* config_path,
                                   LPSERVICE_MAIN_FUNCTIONW service_main) {
    if (argc != 3 || std::wstring(argv[1]) != L"/tunnelservice") {
        std::fwprintf(stderr, L"usage: wireguard.exe /tunnelservice <configuration file>\n");
        return ERROR_INVALID_PARAMETER;
    }
    *config_path = argv[2];
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    // The table's name is not used for an own-process service, but it is what the tunnel
    // service is called when the caller follows the usual naming.
    std::wstring service_name = L"WireGuardTunnel$" + TunnelNameFromPath(*config_path);
    SERVICE_TABLE_ENTRYW table[] = {{service_name.data(), service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD error = GetLastError();
        std::fwprintf(stderr, L"wireguard.exe: not started by the service manager (%lu)\n", error);
        return static_cast<int>(error);
    }
    WSACleanup();
    return 0;
}

}  // namespace lumet::sim
