// The seam through which the coordinator has an OpenVPN profile staged into OpenVPN's
// configuration directory and removed again. The agent's implementation asks the service
// (service_link_stager.h); tests substitute their own.
#pragma once

#include <cstdint>
#include <string>

#include "agent/openvpn/coordinator_types.h"

namespace lumet::agent::openvpn {

// Outcome of OpenVpnConfigStager::Stage.
enum class StageOutcome : uint16_t {
    Staged = 0,
    ServiceUnavailable = 1,
    NotPermitted = 2,
    BadRequest = 3,
    Failed = 4,
};

class OpenVpnConfigStager {
  public:
    virtual ~OpenVpnConfigStager() = default;

    // Stages `request.config` for attempt `attempt`. Returns the staged file's path, or an empty
    // string on failure; `outcome` (a StageOutcome value) says why. Called on an attempt thread;
    // may block for as long as the exchange with the service takes.
    virtual std::wstring Stage(uint32_t attempt, const StartRequest& request,
                               uint16_t* outcome) = 0;

    // Deletes a profile staged earlier; an empty path does nothing. Failures are not reported:
    // the service sweeps leftovers when it starts.
    virtual void Unstage(const std::wstring& staged_path) = 0;
};

}  // namespace lumet::agent::openvpn
