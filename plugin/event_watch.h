// The decisions of the event watcher: which events one probe of the agent gives, compared with
// what the previous probes saw. Pure; the pump (event_pump.h) runs it on its watcher thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumet_windows_vpn {

inline constexpr char kAgentConnectedEvent[] = "agentConnected";
inline constexpr char kAgentDisconnectedEvent[] = "agentDisconnected";
inline constexpr char kServiceConnectedEvent[] = "serviceConnected";
inline constexpr char kServiceDisconnectedEvent[] = "serviceDisconnected";
inline constexpr char kServiceGenerationChangedEvent[] = "serviceGenerationChanged";

// What the watcher remembers between probes. Both flags start false, so the first probe reports
// whatever is up and nothing for what is down.
class EventWatch {
  public:
    // The events of one probe, in order: the agent's change, the service link's change, then a
    // generation change. The generation is the agent's as the link took it at its last
    // handshake; 0 (no handshake yet) leaves the remembered one alone, and the first non-zero
    // value is remembered without an event.
    std::vector<std::string> Observe(bool agent_connected, bool service_link_up,
                                     uint32_t agent_generation);

  private:
    bool agent_connected_ = false;
    bool service_link_up_ = false;
    uint32_t generation_ = 0;
};

}  // namespace lumet_windows_vpn
