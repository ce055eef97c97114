#include "agent/openvpn/service_link_stager.h"

#include <vector>

#include "agent/openvpn/stage_exchange.h"
#include "common/secure_buffer.h"
#include "common/utf.h"

namespace lumet::agent::openvpn {

ServiceLinkOpenVpnStager::ServiceLinkOpenVpnStager(common::PeerLink* link, uint32_t session_id,
                                                   std::atomic<int32_t>* calls_in_flight)
    : link_(link), session_id_(session_id), calls_in_flight_(calls_in_flight) {}

common::CallResult ServiceLinkOpenVpnStager::CallService(common::MessageType type,
                                                         std::span<const uint8_t> body) {
    if (calls_in_flight_ != nullptr) {
        calls_in_flight_->fetch_add(1);
    }
    common::CallResult result = link_->Call(type, body);
    if (calls_in_flight_ != nullptr) {
        calls_in_flight_->fetch_sub(1);
    }
    return result;
}

std::wstring ServiceLinkOpenVpnStager::Stage(uint32_t attempt, const StartRequest& request,
                                             uint16_t* outcome) {
    uint16_t ignored = 0;
    uint16_t& result = outcome != nullptr ? *outcome : ignored;
    result = static_cast<uint16_t>(StageOutcome::Failed);
    if (link_ == nullptr || request.config.empty()) {
        return {};
    }
    common::SecureBuffer body(BuildStageRequest(attempt, request.config));
    if (body.empty()) {
        return {};
    }
    const common::CallResult reply =
        CallService(common::MessageType::StageOpenVpnConfig, body.bytes());
    body.Wipe();
    if (!reply.ok) {
        result = static_cast<uint16_t>(StageOutcomeForCallStatus(reply.status));
        return {};
    }
    const StageReply stage = ReadStageReply(reply.body);
    result = static_cast<uint16_t>(stage.outcome);
    if (stage.outcome != StageOutcome::Staged) {
        return {};
    }
    return common::Utf8ToWide(stage.staged_path);
}

void ServiceLinkOpenVpnStager::Unstage(const std::wstring& staged_path) {
    if (link_ == nullptr || staged_path.empty()) {
        return;
    }
    const std::vector<uint8_t> body = BuildUnstageRequest(common::WideToUtf8(staged_path));
    if (body.empty()) {
        return;
    }
    CallService(common::MessageType::DeleteStagedOpenVpnConfig, body);
}

}  // namespace lumet::agent::openvpn
