// The plugin's link to the agent of its own Windows session, and the launcher that starts the
// agent program when its pipe is missing.
//
// The link is the common PeerLink with the agent settings (12000 ms per pipe operation, 60000 ms
// for a WireGuardStart reply, 30 connect attempts, 400 ms busy waits, 200 ms sleeps while the pipe
// is missing). The first time within one connect that the pipe is missing, the link calls
// LaunchAgent under its mutex, so concurrent callers never start two agents.
//
// Shared by the plugin's host-method workers and its event watcher; callers hold it through a
// shared_ptr so that a worker that outlives the plugin still has a live link. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/messages.h"
#include "common/peer_link.h"
#include "common/peer_reply.h"

namespace lumet_windows_vpn {

// Outcome of one health probe of the agent.
struct AgentProbe {
    // The link was connected and a reply frame to the AgentHealth request came back (whatever
    // its status).
    bool connected = false;
    // The agent's own link to the service was up: an Ok reply, read completely.
    bool serviceLinkUp = false;
    // The agent's generation as the link took it at its last handshake; 0 before the first.
    uint32_t peerGeneration = 0;
    // The link's last status right after the connect step.
    lumet::common::Status status = lumet::common::Status::Unavailable;
};

class AgentLink {
  public:
    // The link of a plugin module: the agent is looked for beside the module that contains
    // `module_address`, and the pipe is the "Agent" pipe of this process's session (0xFFFFFFFF
    // when the session is unknown; every connect then fails with BadRequest). Sets the log name
    // "plugin".
    static std::shared_ptr<AgentLink> Create(const void* module_address);

    // A link with the given agent path (empty: not determined), session id and pipe role; tests
    // use their own role so that no real agent answers.
    AgentLink(std::wstring agent_exe_path, uint32_t session_id, std::wstring pipe_role = L"Agent");

    AgentLink(const AgentLink&) = delete;
    AgentLink& operator=(const AgentLink&) = delete;

    // Starts the agent detached from this process: Ok, or the status the connect ends with
    // (Failed when the path is unknown or process creation is refused, Unavailable when the
    // executable is missing), each failure logged. Called by the link with its mutex held.
    lumet::common::Status LaunchAgent();

    // One AgentHealth probe: connects (and may launch the agent), then one exchange without a
    // retry. A lost reply closes the pipe.
    AgentProbe ProbeAgent();

    // A request through the link (connect on demand, at most two attempts).
    lumet::common::CallResult Call(lumet::common::MessageType type, std::span<const uint8_t> body);

    const std::wstring& agent_exe_path() const { return agent_exe_path_; }
    uint32_t session_id() const { return session_id_; }
    lumet::common::PeerLink& link() { return link_; }

  private:
    const std::wstring agent_exe_path_;
    const uint32_t session_id_;
    lumet::common::PeerLink link_;
};

}  // namespace lumet_windows_vpn
