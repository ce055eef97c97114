// The service's pipe server: one client served at a time, every request run to completion on the
// calling thread.
//
// The pipe is "\\.\pipe\ORRINFIELD.VPN.Service.<session>", where the session is the active
// console session (service mode) or this process's own session (console mode). The name is held
// while the server runs: an instance always listens (the next one is created before a served
// client is let go, and idle passes keep it), and only a change of session or user replaces it.
// Its DACL grants read/write to LocalSystem, Administrators and the expected user only, the user
// without the right to create instances (service mode). A client whose process token plainly
// fails the check is dropped on connect; every client is checked after its first frame:
// LocalSystem is always accepted (while an expected user exists), anyone else must be the
// expected user in the expected session. Rejected clients get no reply.
//
// Each frame must arrive whole within 15 s; every wait for a client also ends at the stop event,
// refreshes the activity record at least every 5 s and drops the client when the console session
// or its user changes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>

#include "common/caller_check.h"
#include "service/service_state.h"

namespace lumet::service {

// Serves clients until the stop event of `state` is signalled, then records the activity a last
// time, logs "service stopped cleanly" and returns 0. Before the first client it removes a
// WireGuard tunnel service left from a prior run (up to 12 s). Every wait includes the stop event;
// a stop that arrives while a client is served takes effect at once, or after the request in
// progress. Returns 1 at once, logging why, if the state has no stop event: such a loop could
// never be stopped.
int RunPipeServer(ServiceState& state);

// Checks the client on a connected pipe and answers its requests until the connection ends
// (read failure, 15 s without a whole frame, protocol mismatch, reply write failure, stop
// requested, change of the expected session or user).
// Every request payload is overwritten with zeros once handled. Does not disconnect the pipe.
void ServeClient(ServiceState& state, HANDLE pipe);

// Answers one request of a catalogue type. Returns whether the reply frame was written
// completely; false ends the connection. A WireGuardStart blocks until the tunnel is up or has
// failed (well under the client's 60 s). Decoded copies of secrets are wiped before returning;
// `payload` itself stays the caller's to wipe.
bool DispatchRequest(ServiceState& state, HANDLE pipe, const common::CallerIdentity& caller,
                     uint16_t type, uint32_t request_id, std::span<const uint8_t> payload);

}  // namespace lumet::service
