// The one state record the agent works on for its whole life.
//
// Ownership: the program entry creates it once and never destroys it before the process exits;
// the pipe server and the dispatcher borrow it on the server thread. The console control handler
// reaches it only through the pointer the entry publishes while the server runs (agent_main.h)
// and touches nothing but `stopRequested` and `stopEvent`.
//
// Thread safety: `stopRequested`, `clients`, `serviceCallsInFlight` and `openVpnActive` are
// atomics that any thread may read (the OpenVPN coordinator's threads among them);
// `serviceLink` has its own lock; every other field is written during construction only, except
// `openVpnStager` and `coordinator`, which only the server thread touches.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "agent/openvpn/coordinator.h"
#include "agent/openvpn/service_link_stager.h"
#include "common/peer_link.h"
#include "common/win_handle.h"

namespace lumet::agent {

class AgentState {
  public:
    // Builds the state in this order: this process's id as text, the generation number (never
    // 0), the generation text, the session id, the stop event (manual reset, not signalled), the
    // counters at 0 and the link to the service's pipe of this session, not yet connected. Never
    // fails as a whole: a stop event that cannot be created is logged and left empty, and the
    // pipe server refuses to run on such a state.
    AgentState();

    // The same with the service link built from `service_link_settings` instead of the product's
    // link, so that tests can point it at a pipe of their own.
    explicit AgentState(common::PeerLinkSettings service_link_settings);

    // Destroys the coordinator first (which stops a running OpenVPN), then its stager.
    ~AgentState();

    AgentState(const AgentState&) = delete;
    AgentState& operator=(const AgentState&) = delete;

    // Sets `stopRequested` (atomic exchange) and signals `stopEvent`. Safe from any thread.
    void RequestStop();

    // "<pid>-0x%08X" of `generation`, so that the text and the reply headers agree.
    std::wstring generationText;
    // Random per process start, never 0; stamped into every reply header the agent sends.
    uint32_t generation = 0;
    // This process's Windows session; 0xFFFFFFFF when it cannot be had.
    uint32_t sessionId = 0xFFFFFFFF;
    // Manual reset, created non-signalled; every wait of the accept loop includes it.
    common::UniqueEvent stopEvent;
    std::atomic<uint8_t> stopRequested{0};
    // Plugin clients being served: 0 or 1, since the pipe has a single instance.
    std::atomic<int32_t> clients{0};
    // Raised around every call on the service link, so that the idle exit never cuts one short.
    std::atomic<int32_t> serviceCallsInFlight{0};
    // Whether OpenVPN was active at the coordinator's last snapshot.
    std::atomic<uint8_t> openVpnActive{0};
    // The link to OrrinfieldVPNService's pipe of this session.
    common::PeerLink serviceLink;

    // OpenVPN: the stager and the coordinator are created together by the first OpenVpnStart,
    // OpenVpnStop or OpenVpnStatus (dispatch.h, AccessCoordinator) and then live until the
    // process ends. While `coordinator` is null the accept loop has no 7-second wake-ups and sends
    // no activity reports. The coordinator uses the stager, so it is declared (and destroyed)
    // after it.
    std::unique_ptr<openvpn::ServiceLinkOpenVpnStager> openVpnStager;
    std::unique_ptr<openvpn::OpenVpnCoordinator> coordinator;
};

// Raises `serviceCallsInFlight` for the lifetime of the scope.
class ServiceCallInFlight {
  public:
    explicit ServiceCallInFlight(AgentState& state) : state_(state) {
        state_.serviceCallsInFlight.fetch_add(1);
    }
    ~ServiceCallInFlight() { state_.serviceCallsInFlight.fetch_sub(1); }
    ServiceCallInFlight(const ServiceCallInFlight&) = delete;
    ServiceCallInFlight& operator=(const ServiceCallInFlight&) = delete;

  private:
    AgentState& state_;
};

}  // namespace lumet::agent
