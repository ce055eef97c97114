// Program entry and lifecycle of OrrinfieldVPNService: as a Windows service under the service
// control manager, or in the foreground with "--console".
//
// Process-wide state kept here: the status record sent to the service control manager with its
// checkpoint counter (guarded by one lock), the status handle (service mode only), and the
// pointer to the current ServiceState, published just before the pipe server runs and cleared
// right after it returns. The control handlers act only while that pointer is set, and hold a
// lock while they use it, so the state is never destroyed under a handler.
#pragma once

#include <windows.h>

namespace lumet::service {

class ServiceState;

// The program: "--console" (first argument, any letter case) runs in the foreground and returns
// the pipe server's result. Otherwise hands the thread to the service control dispatcher and
// returns 0 once the service has run; when the program was not started by the service control
// manager (1063) it writes a three-line hint to standard error and returns 1; any other dispatcher
// failure is returned as its Win32 error code.
int RunServiceProgram(int argc, wchar_t** argv);

// The service control handler (HandlerEx). Stop and shutdown report stop-pending, take the
// WireGuard tunnel down (blocking: up to 12 s, after waiting for a tunnel start in progress) and
// then ask the current state to stop; interrogate re-sends the current status; power and
// session-change notifications are only logged; every other control gets
// ERROR_CALL_NOT_IMPLEMENTED.
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD event_type, void* event_data,
                                   void* context);

// The console control handler: every control type asks the current state to stop, leaving a
// WireGuard tunnel up; returns TRUE.
BOOL WINAPI ConsoleControlHandler(DWORD control_type);

// Publishes `state` as the one the control handlers act on; nullptr withdraws it, waiting for a
// handler that is using the previous one to finish.
void PublishCurrentState(ServiceState* state);

}  // namespace lumet::service
