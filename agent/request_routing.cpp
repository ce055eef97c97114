#include "agent/request_routing.h"

#include <string>

#include "common/payload.h"

namespace lumet::agent {

using common::MessageType;
using common::Status;

namespace {

// The agent always reports itself running: a health reply proves it is.
constexpr uint8_t kComponentRunning = 2;

}  // namespace

RequestRoute RouteRequest(const common::FrameHeader& header) {
    if (header.protocol != common::kProtocolVersion) {
        return RequestRoute::ProtocolMismatch;
    }
    return common::IsKnownMessageType(header.type) ? RequestRoute::Dispatch
                                                   : RequestRoute::Unsupported;
}

AgentHandler HandlerFor(uint16_t type) {
    switch (static_cast<MessageType>(type)) {
        case MessageType::Hello:
            return AgentHandler::Hello;
        case MessageType::Ping:
            return AgentHandler::Ping;
        case MessageType::ServiceHealth:
            return AgentHandler::ServiceHealth;
        case MessageType::AgentHealth:
            return AgentHandler::AgentHealth;
        case MessageType::WireGuardStart:
        case MessageType::WireGuardStop:
        case MessageType::WireGuardStatus:
            return AgentHandler::WireGuardRelay;
        case MessageType::OpenVpnCapabilities:
        case MessageType::OpenVpnStart:
        case MessageType::OpenVpnStop:
        case MessageType::OpenVpnStatus:
            return AgentHandler::OpenVpn;
        case MessageType::StageOpenVpnConfig:
        case MessageType::DeleteStagedOpenVpnConfig:
        case MessageType::ReportOpenVpnActivity:
            break;
    }
    return AgentHandler::NotServed;
}

std::vector<uint8_t> BuildHelloReply(std::string_view generation_text, uint32_t session_id) {
    common::PayloadWriter writer;
    common::WriteStatus(writer, Status::Ok);
    common::Write(writer, common::AgentHelloInfo());
    // The text is "<pid>-0x%08X", far below the string limit.
    writer.WriteString(generation_text);
    writer.WriteU32(session_id);
    return writer.Take();
}

std::vector<uint8_t> BuildAgentHealthReply(std::string_view generation_text, uint32_t session_id,
                                           bool service_link_up) {
    common::AgentHealthRecord record;
    record.state = kComponentRunning;
    record.hello = common::AgentHelloInfo();
    record.session_id = session_id;
    record.generation_text = std::string(generation_text);
    record.service_link_up = service_link_up;
    common::PayloadWriter writer;
    common::WriteStatus(writer, Status::Ok);
    common::Write(writer, record);
    return writer.Take();
}

std::vector<uint8_t> BuildRelayedReply(std::span<const uint8_t> service_body) {
    common::PayloadWriter writer;
    common::WriteStatus(writer, Status::Ok);
    std::vector<uint8_t> reply = writer.Take();
    reply.insert(reply.end(), service_body.begin(), service_body.end());
    return reply;
}

Status ServiceHealthFailureStatus(Status link_last_status) {
    return link_last_status == Status::ProtocolMismatch ? Status::ProtocolMismatch
                                                        : Status::Unavailable;
}

Status WireGuardRelayFailureStatus(Status call_status, Status link_last_status) {
    if (call_status != Status::Ok) {
        return call_status;
    }
    if (link_last_status != Status::Ok) {
        return link_last_status;
    }
    return Status::Unavailable;
}

}  // namespace lumet::agent
