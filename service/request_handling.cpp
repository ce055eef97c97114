#include "service/request_handling.h"

#include <string>

#include "common/messages.h"
#include "common/payload.h"

namespace lumet::service {

using common::MessageType;

RequestRoute RouteRequest(const common::FrameHeader& header) {
    if (header.protocol != common::kProtocolVersion) {
        return RequestRoute::ProtocolMismatch;
    }
    return common::IsKnownMessageType(header.type) ? RequestRoute::Dispatch
                                                   : RequestRoute::Unsupported;
}

ServiceHandler HandlerFor(uint16_t type) {
    switch (static_cast<MessageType>(type)) {
        case MessageType::Hello:
            return ServiceHandler::Hello;
        case MessageType::Ping:
            return ServiceHandler::Ping;
        case MessageType::ServiceHealth:
            return ServiceHandler::ServiceHealth;
        case MessageType::WireGuardStart:
        case MessageType::WireGuardStop:
        case MessageType::WireGuardStatus:
            return ServiceHandler::WireGuardTunnel;
        case MessageType::StageOpenVpnConfig:
        case MessageType::DeleteStagedOpenVpnConfig:
            return ServiceHandler::OpenVpnStaging;
        case MessageType::ReportOpenVpnActivity:
            return ServiceHandler::ActivityReport;
        case MessageType::AgentHealth:
        case MessageType::OpenVpnCapabilities:
        case MessageType::OpenVpnStart:
        case MessageType::OpenVpnStop:
        case MessageType::OpenVpnStatus:
            break;
    }
    return ServiceHandler::NotServed;
}

std::vector<uint8_t> BuildHelloReply(std::string_view generation_text) {
    common::PayloadWriter writer;
    common::WriteStatus(writer, common::Status::Ok);
    // Fixed identity and a short generation text never exceed the string limits.
    common::Write(writer, common::ServiceHelloInfo());
    writer.WriteString(generation_text);
    return writer.Take();
}

std::vector<uint8_t> BuildServiceHealthReply(std::string_view generation_text,
                                             uint64_t uptime_seconds) {
    common::ServiceHealthRecord record;
    record.state = 2;  // running: a service that can answer is running
    record.hello = common::ServiceHelloInfo();
    record.generation_text = std::string(generation_text);
    record.uptime_seconds = uptime_seconds;
    common::PayloadWriter writer;
    common::WriteStatus(writer, common::Status::Ok);
    common::Write(writer, record);
    return writer.Take();
}

bool DecodeWireGuardStart(std::span<const uint8_t> payload, common::SecureString* config) {
    config->Wipe();
    common::PayloadReader reader(payload);
    if (!reader.ReadString(&config->str())) {
        config->Wipe();
        return false;
    }
    return true;
}

std::vector<uint8_t> BuildWireGuardStatusReply(const common::WireGuardStatusRecord& record) {
    common::PayloadWriter writer;
    common::WriteStatus(writer, common::Status::Ok);
    common::Write(writer, record);  // fixed-size fields only: cannot exceed a limit
    return writer.Take();
}

uint64_t UptimeSeconds(uint64_t start_tick_ms, uint64_t now_tick_ms) {
    return now_tick_ms >= start_tick_ms ? (now_tick_ms - start_tick_ms) / 1000 : 0;
}

}  // namespace lumet::service
