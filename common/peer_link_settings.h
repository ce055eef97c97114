// Settings of a client link to one of our pipe servers, the two standard links, and the texts a
// link logs. Pure: no Win32 here, so the values and the texts are checked natively too.
//
// There are exactly two links in the product, built from the same PeerLink class:
//   - the agent's link to the service (ServiceLinkSettings), which gives up at once when the
//     service's pipe is missing, because the service is started by the machine, not by us;
//   - the plugin's link to the agent (AgentLinkSettings), which starts the agent program once per
//     connect when the agent's pipe is missing and then waits for the pipe to appear.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/frame.h"
#include "common/messages.h"
#include "common/pipe_server_check.h"

namespace lumet::common {

// Which server sits at the other end. It decides how the hello reply is read (only the agent sends
// its session id), which status a refused hello leaves behind, and the log texts.
enum class PeerKind : uint8_t { Service, Agent };

// What a connect does when the pipe does not exist (ERROR_FILE_NOT_FOUND).
enum class AbsentPipePolicy : uint8_t {
    FailUnavailable,  // stop the connect at once with Unavailable
    LaunchAndRetry,   // call launch_peer the first time within one connect, then sleep and retry
};

struct PeerLinkSettings {
    PeerKind kind = PeerKind::Service;
    // Role text that names the peer's pipe together with session_id ("Service" or "Agent" in the
    // product; tests substitute a unique role so that parallel tests never share a pipe).
    std::wstring pipe_role;
    // The client's own Windows session id; ids of 65536 and above have no pipe name, and every
    // connect then fails with BadRequest.
    uint32_t session_id = 0xFFFFFFFF;
    // Time-out of each write of a request and each read of its reply; WireGuardStart replies get
    // the longer time-out that ReplyTimeoutFor chooses.
    uint32_t io_timeout_ms = kDefaultReplyTimeoutMs;
    uint32_t connect_attempts = 1;
    // WaitNamedPipeW time-out when every instance of the pipe is taken (ERROR_PIPE_BUSY).
    uint32_t busy_wait_ms = 0;
    AbsentPipePolicy absent_pipe = AbsentPipePolicy::FailUnavailable;
    // Pause between attempts while the pipe is missing (LaunchAndRetry only).
    uint32_t absent_sleep_ms = 0;
    // Starts the peer program (LaunchAndRetry only; may be empty, then the link only waits).
    // Called on the connecting thread with the link's mutex held, so it must not call back into
    // the link. Ok carries on with the attempts; any other status ends the connect with that
    // status as the link's last status.
    std::function<Status()> launch_peer;
    // Looks at the process serving a freshly opened pipe (the client end is passed as `pipe`)
    // before anything is sent on it. A refused server gets no request: the connect ends with
    // Unavailable and an ERR line naming its process id. Empty: every server is accepted (tests
    // of the link mechanics); the product's two links always set it.
    std::function<ServerVerdict(void* pipe)> verify_server;
};

inline constexpr uint32_t kAgentLinkIoTimeoutMs = 12000;

// The agent's link to the service: role "Service", 15000 ms per operation, 20 attempts, 500 ms
// busy waits, a missing pipe fails at once.
PeerLinkSettings ServiceLinkSettings(uint32_t session_id);

// The plugin's link to the agent: role "Agent", 12000 ms per operation, 30 attempts, 400 ms busy
// waits, a missing pipe launches the agent through `launch_agent` and is retried every 200 ms.
PeerLinkSettings AgentLinkSettings(uint32_t session_id, std::function<Status()> launch_agent);

// Warning logged when the peer's hello announces another protocol number.
std::wstring ProtocolMismatchMessage(PeerKind kind, uint16_t peer_protocol);

// Information logged when a reconnect meets a peer process with a new generation number.
std::wstring GenerationChangedMessage(PeerKind kind, uint32_t old_generation,
                                      uint32_t new_generation);

}  // namespace lumet::common
