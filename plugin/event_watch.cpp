#include "plugin/event_watch.h"

namespace lumet_windows_vpn {

std::vector<std::string> EventWatch::Observe(bool agent_connected, bool service_link_up,
                                             uint32_t agent_generation) {
    std::vector<std::string> events;
    if (agent_connected != agent_connected_) {
        events.emplace_back(agent_connected ? kAgentConnectedEvent : kAgentDisconnectedEvent);
        agent_connected_ = agent_connected;
    }
    if (service_link_up != service_link_up_) {
        events.emplace_back(service_link_up ? kServiceConnectedEvent : kServiceDisconnectedEvent);
        service_link_up_ = service_link_up;
    }
    if (agent_generation != 0) {
        if (generation_ != 0 && generation_ != agent_generation) {
            events.emplace_back(kServiceGenerationChangedEvent);
        }
        generation_ = agent_generation;
    }
    return events;
}

}  // namespace lumet_windows_vpn
