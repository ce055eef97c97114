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

}  // namespace lumet::common
