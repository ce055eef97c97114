// Frame layout shared by every pipe exchange (plugin <-> agent, agent <-> service).
//
// A frame on the wire, all integers little-endian and handled byte by byte:
//   u32 length            16 + payload_length, legal range 16..65532
//   u16 protocol          kProtocolVersion in everything this system writes
//   u16 type              message type (common/messages.h)
//   u32 request_id        chosen by the client; the reply repeats it
//   u32 generation        0 in requests; the server's generation number in replies
//   u32 payload_length    0..61440, equal to length - 16
//   payload_length bytes  message body built with common/payload.h
//
// Everything here is pure and re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lumet::common {

inline constexpr uint16_t kProtocolVersion = 6;
inline constexpr size_t kFrameHeaderSize = 20;
inline constexpr uint32_t kMinFrameLength = 16, kMaxFrameLength = 65532, kMaxPayload = 61440;
inline constexpr size_t kMaxStringBytes = 32768, kMaxListEntries = 64;
// Per I/O operation in the agent and the service; the plugin's link uses its own 12000 ms.
inline constexpr uint32_t kDefaultReplyTimeoutMs = 15000, kWireGuardStartTimeoutMs = 60000;

// The header fields that follow `length` (which is implied by payload_length).
struct FrameHeader {
    uint16_t protocol = 0;
    uint16_t type = 0;
    uint32_t request_id = 0;
    uint32_t generation = 0;
    uint32_t payload_length = 0;
};

// One frame read from a pipe. When `ok` is false the other members are meaningless.
struct ReceivedFrame {
    FrameHeader header;
    std::vector<uint8_t> payload;  // exactly header.payload_length bytes
    bool ok = false;
};

enum class FrameDecodeResult : uint8_t { Ok = 0, NeedMore = 1, TooLarge = 2, Malformed = 3 };

// True for message types 1..14.
bool IsKnownMessageType(uint16_t type);

// The complete frame (header + payload) with protocol kProtocolVersion, or nothing when the
// payload is longer than kMaxPayload.
std::optional<std::vector<uint8_t>> EncodeFrame(uint16_t type, uint32_t request_id,
                                                uint32_t generation,
                                                std::span<const uint8_t> payload);

// Inspects the first `available` bytes of a buffer. On Ok fills *header and sets *total_size to
// the number of bytes the whole frame occupies (header included); the payload need not be present.
// Neither protocol nor type is judged here: that belongs to the receiver. Checks, first match wins:
// null pointer -> Malformed; < 4 bytes -> NeedMore; length < 16 -> Malformed;
// length > 65532 -> TooLarge; < 20 bytes -> NeedMore; payload_length > 61440 -> TooLarge;
// length != payload_length + 16 -> Malformed. Outputs are left untouched unless the result is Ok.
[[nodiscard]] FrameDecodeResult DecodeFrameHeader(const uint8_t* bytes, size_t available,
                                                  FrameHeader* header, size_t* total_size);

// Time-out for reading the reply to a request of `type`: kWireGuardStartTimeoutMs for
// WireGuardStart, which waits for a tunnel to come up, else the caller's default.
uint32_t ReplyTimeoutFor(uint16_t type, uint32_t default_timeout_ms);

}  // namespace lumet::common
