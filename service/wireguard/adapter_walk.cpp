#include "service/wireguard/adapter_walk.h"

#include <limits>

namespace lumet::service::wireguard {
namespace {

// Byte-wise little-endian reads: the buffer comes from a foreign library and need not be aligned
// for us, and the host order must not matter for the native tests.
uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t ReadU64(const uint8_t* p) {
    return static_cast<uint64_t>(ReadU32(p)) | static_cast<uint64_t>(ReadU32(p + 4)) << 32;
}

}  // namespace

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    return b > max - a ? max : a + b;
}

uint64_t HandshakeTimeToUnixMs(uint64_t file_time) {
    if (file_time <= kUnixEpochAsFileTime) {
        return 0;
    }
    return (file_time - kUnixEpochAsFileTime) / 10000;
}

bool IsAcceptableReportedSize(uint64_t reported_size) {
    return reported_size >= kInterfaceRecordSize && reported_size <= kMaxConfigurationSize;
}

bool IsAcceptableReturnedSize(uint64_t returned_size, uint64_t buffer_size) {
    return returned_size >= kInterfaceRecordSize && returned_size <= buffer_size;
}

AdapterCounters WalkAdapterConfiguration(const uint8_t* data, size_t size) {
    AdapterCounters counters;
    if (data == nullptr || size < kInterfaceRecordSize) {
        return counters;
    }
    const uint32_t peer_count = ReadU32(data + kInterfacePeerCountOffset);
    uint64_t latest_handshake = 0;
    size_t offset = kInterfaceRecordSize;
    for (uint32_t i = 0; i < peer_count; ++i) {
        if (size - offset < kPeerRecordSize) {
            break;
        }
        const uint8_t* peer = data + offset;
        counters.tx_bytes = SaturatingAdd(counters.tx_bytes, ReadU64(peer + kPeerTxBytesOffset));
        counters.rx_bytes = SaturatingAdd(counters.rx_bytes, ReadU64(peer + kPeerRxBytesOffset));
        const uint64_t handshake = ReadU64(peer + kPeerLastHandshakeOffset);
        if (handshake > latest_handshake) {
            latest_handshake = handshake;
        }
        offset += kPeerRecordSize;

        // Skip the allowed-IP records in one step; the product cannot overflow (a u32 count times
        // 24 stays below 2^37). Records that do not all fit end the walk at the end of the data.
        const uint64_t allowed_bytes =
            static_cast<uint64_t>(ReadU32(peer + kPeerAllowedIpCountOffset)) * kAllowedIpRecordSize;
        if (allowed_bytes > size - offset) {
            break;
        }
        offset += static_cast<size_t>(allowed_bytes);
    }
    counters.last_handshake_ms = HandshakeTimeToUnixMs(latest_handshake);
    return counters;
}

}  // namespace lumet::service::wireguard
