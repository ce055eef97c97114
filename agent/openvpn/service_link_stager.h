// OpenVpnConfigStager over the agent's link to OrrinfieldVPNService: StageOpenVpnConfig (12) and
// DeleteStagedOpenVpnConfig (13), which the service answers for this user's session.
//
// Thread safety: called on attempt threads while the server thread uses the same link; the
// link's own mutex pairs every request with its reply.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "agent/openvpn/config_stager.h"
#include "common/peer_link.h"

namespace lumet::agent::openvpn {

class ServiceLinkOpenVpnStager : public OpenVpnConfigStager {
  public:
    // `link` (may be null: every stage then fails) and `calls_in_flight` (may be null) are
    // borrowed and must outlive the stager. `calls_in_flight` is raised around every call, so
    // that the agent does not end on idle while a staging call waits for the service.
    ServiceLinkOpenVpnStager(common::PeerLink* link, uint32_t session_id,
                             std::atomic<int32_t>* calls_in_flight = nullptr);

    // Outcome starts as Failed. Without a link or with an empty profile: empty path. Otherwise
    // one StageOpenVpnConfig call: a reply gives its path (as wide text) or its stage_status's
    // outcome; no reply gives the outcome of the link's status (stage_exchange.h). The request
    // body, which holds the profile, is wiped after the call.
    std::wstring Stage(uint32_t attempt, const StartRequest& request, uint16_t* outcome) override;

    // One DeleteStagedOpenVpnConfig call with the path as UTF-8; the answer is not looked at.
    void Unstage(const std::wstring& staged_path) override;

    uint32_t session_id() const { return session_id_; }

  private:
    common::CallResult CallService(common::MessageType type, std::span<const uint8_t> body);

    common::PeerLink* const link_;
    const uint32_t session_id_;
    std::atomic<int32_t>* const calls_in_flight_;
};

}  // namespace lumet::agent::openvpn
