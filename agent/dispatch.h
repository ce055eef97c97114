// Answers the plugin's requests on the agent's pipe, one call per request frame of a catalogue
// type whose protocol is ours (the client loop in agent_main.h does the routing).
//
// Runs on the agent's single server thread. Calls on the service link hold `serviceCallsInFlight`
// raised for their whole duration, so the idle exit never ends the agent under a call. A
// service call is bounded by the link's time-outs: 15000 ms per write and read (60000 ms for the
// reply to WireGuardStart), at most two attempts, each with at most 20 busy waits of 500 ms.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>

#include "agent/agent_state.h"
#include "common/messages.h"

namespace lumet::agent {

// Handles one request and writes exactly one reply frame carrying `type`, `request_id` and
// `state.generation`, with a 15000 ms write time-out. Returns whether that reply was written
// completely; false ends the client's connection (nothing is logged here).
//
//   Hello, Ping, AgentHealth       answered by the agent itself
//   ServiceHealth, WireGuard 5..7  relayed to the service; its reply body is passed on unchanged
//   OpenVPN 8..11                  UnsupportedType until the OpenVPN coordinator is connected
//   12..14 and anything else       UnsupportedType
//
// `payload` is only read; wiping it (it holds the private key of a WireGuardStart) stays the
// caller's job.
bool Dispatch(AgentState& state, HANDLE pipe, uint16_t type, uint32_t request_id,
              std::span<const uint8_t> payload);

// The OpenVPN activity report to the service, sent after OpenVPN requests and from the accept
// loop: only while a coordinator exists, from its status snapshot. Without a coordinator there
// is nothing to report and nothing is sent.
void ReportOpenVpnActivity(AgentState& state);

// Sends one ReportOpenVpnActivity built from `report`: first stores `report.active` in
// `state.openVpnActive`, then calls the service with `serviceCallsInFlight` raised. When the
// service does not answer Ok it logs WARN "report_openvpn_activity: service unreachable (verdict
// falls back to the Service's own re-evaluation)"; the next report goes out at the next
// occasion. Returns whether the service answered Ok.
bool SendOpenVpnActivityReport(AgentState& state, const common::OpenVpnActivityReport& report);

}  // namespace lumet::agent
