// Reading the configuration image that the WireGuard driver library returns for an adapter.
//
// The image is little-endian and made of 8-byte aligned records: one interface record, then per
// peer a peer record followed by that peer's allowed-IP records. Only the fields the service
// reports are read: the peer count, each peer's byte counters, last handshake time and allowed-IP
// count. Everything here is pure and never reads past the size it is given, whatever the counts
// inside the image claim.
//
// Namespace lumet::service::wireguard. Thread safety: stateless functions, callable from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumet::service::wireguard {

// Record sizes and field offsets of the image.
inline constexpr size_t kInterfaceRecordSize = 80;
inline constexpr size_t kInterfacePeerCountOffset = 72;  // u32
inline constexpr size_t kPeerRecordSize = 136;
inline constexpr size_t kPeerTxBytesOffset = 104;         // u64
inline constexpr size_t kPeerRxBytesOffset = 112;         // u64
inline constexpr size_t kPeerLastHandshakeOffset = 120;   // u64, 100-ns units since 1601-01-01
inline constexpr size_t kPeerAllowedIpCountOffset = 128;  // u32
inline constexpr size_t kAllowedIpRecordSize = 24;

// Largest image the probe asks for. Anything bigger is treated as unreadable rather than
// allocated: a real adapter with the service's at most 16 peers is far smaller.
inline constexpr uint64_t kMaxConfigurationSize = 0x80000;

// 1970-01-01T00:00:00Z in 100-ns units since 1601-01-01.
inline constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

// What one walk over an image yields.
struct AdapterCounters {
    uint64_t rx_bytes = 0;           // sum over peers, saturating at 2^64-1
    uint64_t tx_bytes = 0;           // sum over peers, saturating at 2^64-1
    uint64_t last_handshake_ms = 0;  // latest handshake, ms since 1970; 0 when none

    friend bool operator==(const AdapterCounters&, const AdapterCounters&) = default;
};

// a + b, or 2^64-1 when the sum does not fit.
uint64_t SaturatingAdd(uint64_t a, uint64_t b);

// Converts a handshake time (100-ns units since 1601) to ms since 1970. Times at or before the
// Unix epoch, including 0 ("never"), give 0.
uint64_t HandshakeTimeToUnixMs(uint64_t file_time);

// The size the library reports when asked with no buffer is worth allocating: from one interface
// record up to kMaxConfigurationSize, inclusive.
bool IsAcceptableReportedSize(uint64_t reported_size);

// The size returned together with the data is usable: it holds at least the interface record and
// does not exceed the buffer that was handed over (a larger claim would make the walk read memory
// that was never filled).
bool IsAcceptableReturnedSize(uint64_t returned_size, uint64_t buffer_size);

// Walks the image `data[0..size)`. A size below one interface record gives all zeros. The walk
// stops at the first peer record that does not fit completely; a peer whose allowed-IP records run
// past the end still counts, and ends the walk.
AdapterCounters WalkAdapterConfiguration(const uint8_t* data, size_t size);

}  // namespace lumet::service::wireguard
