// How the service's pipe server treats one request frame, and the replies that need no
// privileged work. Pure, so that routing and reply bodies can be tested natively.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/frame.h"
#include "common/messages.h"
#include "common/secure_buffer.h"

namespace lumet::service {

// Read time-out for each request frame and write time-out for each reply.
inline constexpr uint32_t kPipeIoTimeoutMs = 15000;

enum class RequestRoute {
    ProtocolMismatch,  // reply ProtocolMismatch once, then end the connection
    Dispatch,          // a type of the catalogue: hand it to the dispatcher
    Unsupported,       // reply UnsupportedType and keep the connection
};

// Protocol first: a client of another protocol is refused whatever it asks.
[[nodiscard]] RequestRoute RouteRequest(const common::FrameHeader& header);

// Which part of the service answers a catalogue type.
enum class ServiceHandler {
    Hello,
    Ping,
    ServiceHealth,
    WireGuardTunnel,  // 5, 6, 7
    OpenVpnStaging,   // 12, 13
    ActivityReport,   // 14
    NotServed,        // agent-only types and anything outside the catalogue
};
[[nodiscard]] ServiceHandler HandlerFor(uint16_t type);

// Reply bodies, status Ok first. `generation_text` is the service's generation text in UTF-8.
std::vector<uint8_t> BuildHelloReply(std::string_view generation_text);
std::vector<uint8_t> BuildServiceHealthReply(std::string_view generation_text,
                                             uint64_t uptime_seconds);

// Reads the string `config` of a WireGuardStart body into `config`, which owns (and wipes) the
// private key from then on. False when the body cannot be read (the reply is then BadRequest);
// `config` is then left empty. Bytes after the string are ignored, as in every body.
bool DecodeWireGuardStart(std::span<const uint8_t> payload, common::SecureString* config);

// The reply to WireGuardStart, WireGuardStop and WireGuardStatus: Ok, then the record.
std::vector<uint8_t> BuildWireGuardStatusReply(const common::WireGuardStatusRecord& record);

// Whole seconds between two tick counts; 0 if the clock appears to have gone backwards.
uint64_t UptimeSeconds(uint64_t start_tick_ms, uint64_t now_tick_ms);

}  // namespace lumet::service
