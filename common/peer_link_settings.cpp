#include "common/peer_link_settings.h"

#include <cstdio>
#include <utility>

namespace lumet::common {

namespace {

std::wstring Hex32(uint32_t value) {
    char text[16] = {};
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

}  // namespace

PeerLinkSettings ServiceLinkSettings(uint32_t session_id) {
    PeerLinkSettings s;
    s.kind = PeerKind::Service;
    s.pipe_role = L"Service";
    s.session_id = session_id;
    s.io_timeout_ms = kDefaultReplyTimeoutMs;
    s.connect_attempts = 20;
    s.busy_wait_ms = 500;
    s.absent_pipe = AbsentPipePolicy::FailUnavailable;
    s.absent_sleep_ms = 0;
    return s;
}

PeerLinkSettings AgentLinkSettings(uint32_t session_id, std::function<Status()> launch_agent) {
    PeerLinkSettings s;
    s.kind = PeerKind::Agent;
    s.pipe_role = L"Agent";
    s.session_id = session_id;
    s.io_timeout_ms = kAgentLinkIoTimeoutMs;
    s.connect_attempts = 30;
    s.busy_wait_ms = 400;
    s.absent_pipe = AbsentPipePolicy::LaunchAndRetry;
    s.absent_sleep_ms = 200;
    s.launch_peer = std::move(launch_agent);
    return s;
}

std::wstring ProtocolMismatchMessage(PeerKind kind, uint16_t peer_protocol) {
    if (kind == PeerKind::Agent) {
        return L"agent protocol mismatch -> fail closed";
    }
    return L"service protocol " + std::to_wstring(peer_protocol) + L" != agent " +
           std::to_wstring(kProtocolVersion) + L" -> fail closed";
}

std::wstring GenerationChangedMessage(PeerKind kind, uint32_t old_generation,
                                      uint32_t new_generation) {
    if (kind == PeerKind::Agent) {
        return L"agent generation changed";
    }
    return L"service generation changed " + Hex32(old_generation) + L" -> " + Hex32(new_generation);
}

}  // namespace lumet::common
