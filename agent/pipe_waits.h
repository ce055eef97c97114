// The bounded waits of the agent's pipe server on one pipe instance: for a client to connect, for
// the client's next request, and for the client to read the last reply before the disconnect.
//
// Each takes the stop event and a time-out, so no wait outlives a stop request by more than a
// moment and none is unbounded. An overlapped operation started here never outlives the call:
// on every path that leaves it pending it is cancelled and waited for.
//
// One caller per pipe handle at a time (the agent's server thread).
#pragma once

#include <windows.h>

namespace lumet::agent {

enum class AcceptOutcome {
    Connected,     // a client is connected (also one that opened before the connect was issued)
    NotConnected,  // the connect failed at once, for example a client that already left
    Stop,          // the stop event was signalled first
    TimedOut,      // nobody connected within the time-out
    Failed,        // no event for the wait, or the wait itself failed; logged as ERR
};

// Listens for one client on a fresh, unconnected instance for up to `timeout_ms` (INFINITE
// allowed).
[[nodiscard]] AcceptOutcome AwaitClient(HANDLE pipe, HANDLE stop_event, DWORD timeout_ms);

enum class RequestWait {
    Ready,   // the client has sent data (nothing of it is consumed here)
    Stop,    // the stop event was signalled first
    Silent,  // nothing arrived within the time-out
    Closed,  // the client went away, or the wait could not be set up
};

// Waits for the first byte of the client's next request without reading it, so that a stop
// request does not have to wait for a silent client's read time-out.
[[nodiscard]] RequestWait WaitForRequest(HANDLE pipe, HANDLE stop_event, DWORD timeout_ms);

// FlushFileBuffers on a server pipe returns only once the client has read everything written to
// it, so a client that stays connected without reading its last reply would hold the server
// for ever. This flush gives up after `timeout_ms` or at a stop, then breaks the flush off (by
// cancelling it and, failing that, by disconnecting the pipe under it). Returns true when the
// flush completed on its own.
bool FlushClientBounded(HANDLE pipe, HANDLE stop_event, DWORD timeout_ms);

}  // namespace lumet::agent
