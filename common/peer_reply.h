// Reading the replies a PeerLink receives: the hello reply of a new connection and the reply to
// an ordinary request. Pure: decides from the payload bytes only, so it runs natively and under
// a fuzzer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/peer_link_settings.h"

namespace lumet::common {

// Outcome of one request sent through PeerLink::Call.
struct CallResult {
    bool ok = false;
    // Ok, the peer's non-Ok status, or the link's reason for not getting a reply.
    Status status = Status::Unavailable;
    // The reply body after its status; empty unless ok.
    std::vector<uint8_t> body;
    // No reply frame came back: the status is the link's own (the peer could not be reached,
    // refused the connection, or went silent), not one the peer answered.
    bool link_failed = false;
    // The request was written whole but no reply came: the peer may have carried it out, so
    // it was not sent again.
    bool unanswered = false;
};

// What a successful handshake learnt about the peer.
struct PeerDetails {
    HelloInfo hello;
    std::string generation_text;
    uint32_t session_id = 0;  // read from agents only; 0 for the service
};

struct HelloOutcome {
    // Ok; Failed (unreadable reply, or an agent that refused the hello); ProtocolMismatch; or, for
    // the service, the status the service refused the hello with.
    Status status = Status::Failed;
    // The protocol the peer announced; meaningful for Ok and ProtocolMismatch.
    uint16_t peer_protocol = 0;
    PeerDetails details;  // filled for Ok and ProtocolMismatch
};

// Reads a hello reply body: u16 status, HelloInfo, string generation_text and, from an agent, u32
// session_id. Bytes after the last field are ignored.
HelloOutcome ReadHelloReply(PeerKind kind, std::span<const uint8_t> payload);

// Reads a reply body: an unreadable status gives Failed, a non-Ok status is passed on, Ok hands
// back the bytes after the status.
CallResult ReadCallReply(std::span<const uint8_t> payload);

}  // namespace lumet::common
