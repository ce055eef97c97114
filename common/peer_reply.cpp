#include "common/peer_reply.h"

#include "common/frame.h"
#include "common/payload.h"

namespace lumet::common {

HelloOutcome ReadHelloReply(PeerKind kind, std::span<const uint8_t> payload) {
    HelloOutcome out;
    PayloadReader reader(payload);
    Status status = Status::Ok;
    if (!ReadStatus(reader, &status)) {
        out.status = Status::Failed;
        return out;
    }
    if (status != Status::Ok) {
        // The service's refusal reason is kept as the agent's link state, which the agent's
        // health answers report; the plugin only needs to know that the agent refused.
        out.status = kind == PeerKind::Service ? status : Status::Failed;
        return out;
    }
    PeerDetails details;
    bool read = Read(reader, &details.hello) && reader.ReadString(&details.generation_text);
    if (read && kind == PeerKind::Agent) {
        read = reader.ReadU32(&details.session_id);
    }
    if (!read) {
        out.status = Status::Failed;
        return out;
    }
    out.peer_protocol = details.hello.protocol;
    out.details = std::move(details);
    out.status = out.peer_protocol == kProtocolVersion ? Status::Ok : Status::ProtocolMismatch;
    return out;
}

CallResult ReadCallReply(std::span<const uint8_t> payload) {
    CallResult result;
    PayloadReader reader(payload);
    if (!ReadStatus(reader, &result.status)) {
        result.status = Status::Failed;
        return result;
    }
    if (result.status == Status::Ok) {
        result.ok = true;
        result.body.assign(payload.begin() + sizeof(uint16_t), payload.end());
    }
    return result;
}

}  // namespace lumet::common
