// Feeds arbitrary reply bodies to the readers a client link applies to what a server sends back.
// The first byte picks the peer kind; the rest is the body. Besides never reading out of bounds,
// an accepted reply must be consistent: a handshake succeeds only for our protocol number, and a
// call hands back exactly the bytes after an Ok status.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "common/peer_reply.h"

namespace lc = lumet::common;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const lc::PeerKind kind = (data[0] & 1) != 0 ? lc::PeerKind::Agent : lc::PeerKind::Service;
    const std::span<const uint8_t> body(data + 1, size - 1);

    const lc::HelloOutcome hello = lc::ReadHelloReply(kind, body);
    if (hello.status == lc::Status::Ok && hello.peer_protocol != lc::kProtocolVersion) {
        std::abort();
    }
    if (kind == lc::PeerKind::Agent && hello.status != lc::Status::Ok &&
        hello.status != lc::Status::Failed && hello.status != lc::Status::ProtocolMismatch) {
        std::abort();  // an agent's refusal never leaks its own status into the plugin's link
    }

    const lc::CallResult call = lc::ReadCallReply(body);
    if (call.ok != (call.status == lc::Status::Ok)) {
        std::abort();
    }
    if (call.ok && call.body.size() != body.size() - 2) {
        std::abort();
    }
    if (!call.ok && !call.body.empty()) {
        std::abort();
    }
    return 0;
}
