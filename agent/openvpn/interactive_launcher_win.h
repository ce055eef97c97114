// The client of OpenVPN's interactive service: starts openvpn.exe through the service's pipe and
// returns the new process's id.
//
// Win32. Called on the coordinator's attempt thread; no shared state. Nothing raises: every
// failure is a status (launch_reply.h). The only log line is the short-write line (ERR).
#pragma once

#include <cstdint>
#include <string>

#include "agent/openvpn/launch_reply.h"
#include "agent/openvpn/startup_message.h"

namespace lumet::agent::openvpn {

inline constexpr wchar_t kInteractiveServicePipe[] = L"\\\\.\\pipe\\openvpn\\service";

// Reply buffer of the exchange, in UTF-16 units.
inline constexpr size_t kLaunchReplyUnits = 4096;

// One exchange with the interactive service on `pipe_path`:
//  - the startup message must be 1 to 1024 UTF-16 units, else Failed before the pipe is opened;
//  - the pipe is opened overlapped without sharing; when busy (231) it is waited for up to
//    `pipe_wait_ms` and opened once more; failure is Unavailable;
//  - its server process must be `expected_server_pid` (0 is never accepted): else Unavailable;
//  - message read mode, one overlapped write and overlapped reads of the reply (of at most 512
//    units each, continued after ERROR_MORE_DATA into a 4096-unit buffer), each waited for up to
//    `io_wait_ms` and cancelled when the wait fails; any failure, and a reply of more than 4096
//    units, is Failed;
//  - the reply is classified by ParseLaunchReply.
// The message buffer is wiped before returning; the caller wipes `request.stdin_text`.
LaunchResult LaunchOpenVpn(const std::wstring& pipe_path, uint32_t expected_server_pid,
                           const LaunchRequest& request, uint32_t pipe_wait_ms,
                           uint32_t io_wait_ms);

// LaunchOpenVpn on "\\.\pipe\openvpn\service", expecting the process id that the service manager
// reports for the running interactive service (0, hence Unavailable, when it is not running).
LaunchResult LaunchThroughInteractiveService(const LaunchRequest& request, uint32_t pipe_wait_ms,
                                             uint32_t io_wait_ms);

}  // namespace lumet::agent::openvpn
