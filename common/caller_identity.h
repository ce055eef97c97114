// Identity of the client on the other end of a connected server pipe.
#pragma once

#include <windows.h>

#include "common/caller_check.h"

namespace lumet::common {

// Gathers the client's process id, session, token user SID and whether that user is LocalSystem.
//
// Call it on the thread that serves the connection, after at least one read from the pipe
// (Windows lets a server impersonate its client only once data has been read). It impersonates
// the client briefly on the calling thread and reverts before returning on every path,
// exceptions included, so no other work on the thread ever runs as the client. The result has
// `valid` false when the client's process id, impersonation, its token or its user cannot be
// had, or when reverting fails. A session lookup failure alone leaves `session_id` at 0.
CallerIdentity GetCallerIdentity(HANDLE pipe);

// The identity of a client as far as it can be read right after it connected, before it sent
// anything: its process id, session and the user of its process token (no impersonation).
// `valid` is false when any of these cannot be had (for example a process the server may not
// open); the server then decides after the first frame with GetCallerIdentity. A server uses it
// only to refuse early, never to accept: the process token is not the token the client acts
// with.
CallerIdentity GetConnectedClientIdentity(HANDLE pipe);

}  // namespace lumet::common
