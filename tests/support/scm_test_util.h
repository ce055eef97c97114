// Service-manager helpers shared by unit and end-to-end tests: reading a service's state, waiting
// for one, and registering, stopping and removing the services a test plants. Test-only; every
// wait has a time-out.
#pragma once

#include <windows.h>

#include <string>

#include "common/win_handle.h"

namespace lumet::test {

// The registered service `name` opened with `access`; empty when it is not registered or the
// service manager cannot be opened.
common::UniqueServiceHandle OpenServiceByName(const wchar_t* name, DWORD access);

// The service's current state (SERVICE_RUNNING, ...) and, when `pid` is given, its process id;
// 0 when the state cannot be read.
DWORD ScmState(SC_HANDLE service, DWORD* pid = nullptr);
// The same by name; 0 also when the service is not registered.
DWORD ScmStateByName(const wchar_t* name, DWORD* pid = nullptr);
// Polls until the service reaches `wanted` or `limit_ms` pass; returns the last state seen.
DWORD WaitForScmState(SC_HANDLE service, DWORD wanted, DWORD limit_ms, DWORD* pid = nullptr);

// Sends STOP unless the service is stopped and waits up to `limit_ms` for STOPPED; then ends its
// process if it outlives that by 2 s (Wine keeps reporting a crashed service as running, and a
// service that refused the stop would run on). The handle needs SERVICE_STOP and
// SERVICE_QUERY_STATUS.
void StopServiceAndProcess(SC_HANDLE service, DWORD limit_ms);

// Stops (as above) and deletes the service `name` if it is registered, then waits up to
// `limit_ms` for the registration to go. True when it is gone.
bool RemoveServiceByName(const wchar_t* name, DWORD limit_ms);

// Registers an own-process, demand-start service running `command_line` as LocalSystem and, when
// `start`, starts it and waits up to `limit_ms` for RUNNING. Returns the new service's handle
// (all access); empty when any step failed, and then what was registered stays for the caller to
// remove.
common::UniqueServiceHandle CreateTestService(const wchar_t* name, const wchar_t* display_name,
                                              const std::wstring& command_line, bool start,
                                              DWORD limit_ms);

}  // namespace lumet::test
