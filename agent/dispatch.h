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
#include "agent/openvpn/coordinator.h"
#include "common/messages.h"

namespace lumet::agent {

// Handles one request and writes exactly one reply frame carrying `type`, `request_id` and
// `state.generation`, with a 15000 ms write time-out. Returns whether that reply was written
// completely; false ends the client's connection (nothing is logged here).
//
//   Hello, Ping, AgentHealth       answered by the agent itself
//   ServiceHealth, WireGuard 5..7  relayed to the service; its reply body is passed on unchanged
//   OpenVpnCapabilities (8)        the installation discovery, run afresh for every request
//   OpenVpnStart (9)               three strings (config, username, password; BadRequest when
//                                  unreadable, and no coordinator is made), coordinator access,
//                                  start, the agent's copy of the password wiped, activity
//                                  report, then Ok + the coordinator's status snapshot
//   OpenVpnStop (10), Status (11)  coordinator access, [stop,] snapshot, activity report, then
//                                  Ok + that snapshot
//   12..14 and anything else       UnsupportedType
// Errors of an OpenVPN start travel inside the status record, never as the reply status. A stop
// waits for the attempt to end (bounded by the coordinator's time-outs, at most a few seconds
// once OpenVPN runs).
//
// `payload` is only read; wiping it (it holds the private key of a WireGuardStart, or the
// credentials of an OpenVpnStart) stays the caller's job.
bool Dispatch(AgentState& state, HANDLE pipe, uint16_t type, uint32_t request_id,
              std::span<const uint8_t> payload);

// Coordinator access: the coordinator, made on first use together with its stager (a
// ServiceLinkOpenVpnStager on `state.serviceLink`, replacing any earlier stager) with
// AgentCoordinatorConfig. It then lives until the process ends; from then on the accept loop
// wakes at least every 7 s to report OpenVPN activity. A coordinator already in `state` (tests
// put their own there) is used as it is.
openvpn::OpenVpnCoordinator& AccessCoordinator(AgentState& state);

// The configuration the agent runs its coordinator with: the discovered openvpn.exe, the default
// time-outs and `state.openVpnStager`.
openvpn::OpenVpnCoordinatorConfig AgentCoordinatorConfig(AgentState& state);

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
