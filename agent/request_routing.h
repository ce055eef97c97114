// How the agent treats one request frame from the plugin, and the reply bodies it builds without
// touching a pipe. Pure, so that routing, reply layouts and the relay status rules can be tested
// natively.
//
// Every reply body opens with a u16 status; a status other than Ok is the whole body.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/frame.h"
#include "common/messages.h"

namespace lumet::agent {

enum class RequestRoute {
    ProtocolMismatch,  // reply ProtocolMismatch once, then end the connection
    Dispatch,          // a catalogue type (1..14): hand it to the dispatcher
    Unsupported,       // reply UnsupportedType and keep the connection
};

// Protocol first: a client of another protocol is refused whatever it asks.
RequestRoute RouteRequest(const common::FrameHeader& header);

// Which part of the agent answers a catalogue type.
enum class AgentHandler {
    Hello,
    Ping,
    ServiceHealth,  // relayed to the service
    AgentHealth,
    WireGuardRelay,  // 5, 6, 7: relayed to the service unchanged
    OpenVpn,         // 8..11: the agent's own OpenVPN coordinator
    NotServed,       // 12..14 belong to the agent's own link to the service; anything else
};
AgentHandler HandlerFor(uint16_t type);

// Ok, the agent's HelloInfo, string generation_text, u32 session_id.
std::vector<uint8_t> BuildHelloReply(std::string_view generation_text, uint32_t session_id);

// Ok and the AgentHealthRecord: state 2 (running), the agent's HelloInfo, session_id,
// generation_text, service_link_up.
std::vector<uint8_t> BuildAgentHealthReply(std::string_view generation_text, uint32_t session_id,
                                           bool service_link_up);

// Ok followed by the service's reply body (everything after the service's own status), byte for
// byte: the agent neither reads nor re-encodes what it relays.
std::vector<uint8_t> BuildRelayedReply(std::span<const uint8_t> service_body);

// Status of a failed ServiceHealth relay: ProtocolMismatch while the link is failing closed on a
// service of another protocol, else Unavailable (also when the service itself refused).
common::Status ServiceHealthFailureStatus(common::Status link_last_status);

// Status of a failed WireGuard relay: the first non-Ok of the call's status (the service's own
// refusal or the link's reason), the link's last connection status, Unavailable.
common::Status WireGuardRelayFailureStatus(common::Status call_status,
                                           common::Status link_last_status);

}  // namespace lumet::agent
