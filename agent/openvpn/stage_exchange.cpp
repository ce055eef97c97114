#include "agent/openvpn/stage_exchange.h"

#include "common/payload.h"

namespace lumet::agent::openvpn {

std::vector<uint8_t> BuildStageRequest(uint32_t attempt, std::string_view profile) {
    common::PayloadWriter writer;
    writer.WriteU32(attempt);
    if (!writer.WriteString(profile)) {
        return {};  // the writer wipes what it holds
    }
    return writer.Take();
}

std::vector<uint8_t> BuildUnstageRequest(std::string_view staged_path_utf8) {
    common::PayloadWriter writer;
    if (!writer.WriteString(staged_path_utf8)) {
        return {};
    }
    return writer.Take();
}

StageReply ReadStageReply(std::span<const uint8_t> body) {
    common::PayloadReader reader(body);
    StageReply reply;
    uint16_t stage_status = 0;
    if (!reader.ReadString(&reply.staged_path) || !reader.ReadU16(&stage_status)) {
        reply.staged_path.clear();
        reply.outcome = StageOutcome::Failed;
        return reply;
    }
    if (!reply.staged_path.empty()) {
        reply.outcome = StageOutcome::Staged;
    } else if (stage_status == 1) {
        reply.outcome = StageOutcome::NotPermitted;
    } else if (stage_status == 2) {
        reply.outcome = StageOutcome::BadRequest;
    } else {
        reply.outcome = StageOutcome::Failed;
    }
    return reply;
}

StageOutcome StageOutcomeForCallStatus(common::Status status) {
    switch (status) {
        case common::Status::BadRequest:
            return StageOutcome::BadRequest;
        case common::Status::Unavailable:
        case common::Status::ConnectTimeout:
            return StageOutcome::ServiceUnavailable;
        case common::Status::NotPermitted:
            return StageOutcome::NotPermitted;
        default:
            return StageOutcome::Failed;
    }
}

}  // namespace lumet::agent::openvpn
