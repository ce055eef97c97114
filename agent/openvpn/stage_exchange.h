// The bodies of the agent's staging requests to the service and how their replies become a
// StageOutcome. Pure, so that every reply and link status is checked natively.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agent/openvpn/config_stager.h"
#include "common/messages.h"

namespace lumet::agent::openvpn {

// StageOpenVpnConfig request body: u32 attempt, string profile. Empty when the profile does not
// fit a payload string. The body holds the profile: the caller wipes it after sending.
std::vector<uint8_t> BuildStageRequest(uint32_t attempt, std::string_view profile);

// DeleteStagedOpenVpnConfig request body: string staged_path (UTF-8).
std::vector<uint8_t> BuildUnstageRequest(std::string_view staged_path_utf8);

struct StageReply {
    StageOutcome outcome = StageOutcome::Failed;
    std::string staged_path;  // UTF-8; non-empty exactly when outcome is Staged
};

// The body after the Ok status of a StageOpenVpnConfig reply: string staged_path, u16
// stage_status. A non-empty path is Staged; with an empty path stage_status 1 (the service's
// configuration directory is not trusted) gives NotPermitted, 2 (profile rejected) BadRequest,
// anything else Failed; an unreadable body is Failed.
StageReply ReadStageReply(std::span<const uint8_t> body);

// Outcome of a StageOpenVpnConfig call that brought no reply body: BadRequest -> BadRequest,
// Unavailable and ConnectTimeout -> ServiceUnavailable, NotPermitted -> NotPermitted, anything
// else -> Failed.
StageOutcome StageOutcomeForCallStatus(common::Status status);

}  // namespace lumet::agent::openvpn
