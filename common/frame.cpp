#include "common/frame.h"

namespace lumet::common {
namespace {

inline constexpr uint16_t kFirstMessageType = 1;
inline constexpr uint16_t kLastMessageType = 14;
inline constexpr uint16_t kWireGuardStartType = 5;

void AppendU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void AppendU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

uint16_t LoadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t LoadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

bool IsKnownMessageType(uint16_t type) {
    return type >= kFirstMessageType && type <= kLastMessageType;
}

std::optional<std::vector<uint8_t>> EncodeFrame(uint16_t type, uint32_t request_id,
                                                uint32_t generation,
                                                std::span<const uint8_t> payload) {
    const size_t n = payload.size();
    if (n > kMaxPayload || n + kMinFrameLength > kMaxFrameLength) {
        return std::nullopt;
    }
    std::vector<uint8_t> frame;
    // Reserved at the final size so that the payload, which may be a secret the caller wipes, is
    // never left behind in a buffer abandoned by a reallocation.
    frame.reserve(n + kFrameHeaderSize);
    AppendU32(frame, static_cast<uint32_t>(n + kMinFrameLength));
    AppendU16(frame, kProtocolVersion);
    AppendU16(frame, type);
    AppendU32(frame, request_id);
    AppendU32(frame, generation);
    AppendU32(frame, static_cast<uint32_t>(n));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

FrameDecodeResult DecodeFrameHeader(const uint8_t* bytes, size_t available, FrameHeader* header,
                                    size_t* total_size) {
    if (bytes == nullptr || header == nullptr || total_size == nullptr) {
        return FrameDecodeResult::Malformed;
    }
    if (available < 4) {
        return FrameDecodeResult::NeedMore;
    }
    const uint32_t length = LoadU32(bytes);
    if (length < kMinFrameLength) {
        return FrameDecodeResult::Malformed;
    }
    if (length > kMaxFrameLength) {
        return FrameDecodeResult::TooLarge;
    }
    if (available < kFrameHeaderSize) {
        return FrameDecodeResult::NeedMore;
    }
    FrameHeader decoded;
    decoded.protocol = LoadU16(bytes + 4);
    decoded.type = LoadU16(bytes + 6);
    decoded.request_id = LoadU32(bytes + 8);
    decoded.generation = LoadU32(bytes + 12);
    decoded.payload_length = LoadU32(bytes + 16);
    if (decoded.payload_length > kMaxPayload) {
        return FrameDecodeResult::TooLarge;
    }
    // Both values are bounded by now, so the sum cannot wrap.
    if (length != decoded.payload_length + kMinFrameLength) {
        return FrameDecodeResult::Malformed;
    }
    *header = decoded;
    *total_size = static_cast<size_t>(length) + 4;
    return FrameDecodeResult::Ok;
}

uint32_t ReplyTimeoutFor(uint16_t type, uint32_t default_timeout_ms) {
    return type == kWireGuardStartType ? kWireGuardStartTimeoutMs : default_timeout_ms;
}

}  // namespace lumet::common
