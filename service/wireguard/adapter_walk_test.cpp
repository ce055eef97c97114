#include "service/wireguard/adapter_walk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace lumet::service::wireguard {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

struct TestPeer {
    uint64_t rx = 0;
    uint64_t tx = 0;
    uint64_t handshake = 0;
    uint32_t allowed_ips = 0;
};

void PutU32(std::vector<uint8_t>& image, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        image[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

void PutU64(std::vector<uint8_t>& image, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        image[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// Builds an image the way the driver lays it out. Unused bytes are 0xCC so that a walk reading
// the wrong offset picks up garbage instead of a lucky zero.
std::vector<uint8_t> BuildImage(const std::vector<TestPeer>& peers, uint32_t declared_peers) {
    std::vector<uint8_t> image(kInterfaceRecordSize, 0xCC);
    PutU32(image, kInterfacePeerCountOffset, declared_peers);
    for (const TestPeer& peer : peers) {
        const size_t at = image.size();
        image.resize(at + kPeerRecordSize + peer.allowed_ips * kAllowedIpRecordSize, 0xCC);
        PutU64(image, at + kPeerTxBytesOffset, peer.tx);
        PutU64(image, at + kPeerRxBytesOffset, peer.rx);
        PutU64(image, at + kPeerLastHandshakeOffset, peer.handshake);
        PutU32(image, at + kPeerAllowedIpCountOffset, peer.allowed_ips);
    }
    return image;
}

std::vector<uint8_t> BuildImage(const std::vector<TestPeer>& peers) {
    return BuildImage(peers, static_cast<uint32_t>(peers.size()));
}

AdapterCounters Walk(const std::vector<uint8_t>& image, size_t size) {
    // A copy of exactly `size` bytes: ASan then reports any read past the size given.
    std::vector<uint8_t> exact(image.begin(), image.begin() + static_cast<ptrdiff_t>(size));
    return WalkAdapterConfiguration(exact.data(), exact.size());
}

AdapterCounters Walk(const std::vector<uint8_t>& image) {
    return Walk(image, image.size());
}

TEST(AdapterWalk, SumsCountersAndKeepsLatestHandshake) {
    const uint64_t t1 = kUnixEpochAsFileTime + 20000;
    const uint64_t t2 = kUnixEpochAsFileTime + 17'000'000'000'000'000ull;
    const auto image = BuildImage({{100, 7, t1, 2}, {250, 9, t2, 0}, {0, 0, 0, 64}});
    const AdapterCounters c = Walk(image);
    EXPECT_EQ(c.rx_bytes, 350u);
    EXPECT_EQ(c.tx_bytes, 16u);
    EXPECT_EQ(c.last_handshake_ms, 1'700'000'000'000ull);
}

TEST(AdapterWalk, CountersSaturateInsteadOfWrapping) {
    const auto image = BuildImage({{kMax - 5, 1, 0, 0}, {10, kMax, 0, 1}, {kMax, 3, 0, 0}});
    const AdapterCounters c = Walk(image);
    EXPECT_EQ(c.rx_bytes, kMax);
    EXPECT_EQ(c.tx_bytes, kMax);

    EXPECT_EQ(SaturatingAdd(kMax - 1, 1), kMax);
    EXPECT_EQ(SaturatingAdd(kMax, kMax), kMax);
    EXPECT_EQ(SaturatingAdd(2, 3), 5u);
}

TEST(AdapterWalk, HandshakeConversion) {
    struct Case {
        uint64_t file_time;
        uint64_t unix_ms;
    };
    const Case cases[] = {
        {0, 0},                                         // never handshaked
        {kUnixEpochAsFileTime - 1, 0},                  // before 1970
        {kUnixEpochAsFileTime, 0},                      // exactly the epoch counts as none
        {kUnixEpochAsFileTime + 9999, 0},               // below one millisecond
        {kUnixEpochAsFileTime + 10000, 1},              //
        {kMax, (kMax - kUnixEpochAsFileTime) / 10000},  // no overflow at the top
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HandshakeTimeToUnixMs(c.file_time), c.unix_ms) << c.file_time;
        EXPECT_EQ(Walk(BuildImage({{1, 1, c.file_time, 0}})).last_handshake_ms, c.unix_ms)
            << c.file_time;
    }
}

TEST(AdapterWalk, SizeBounds) {
    struct Case {
        uint64_t size;
        bool acceptable;
    };
    const Case reported[] = {{0, false},     {79, false},     {80, true},
                             {524288, true}, {524289, false}, {uint64_t{1} << 32, false}};
    for (const Case& c : reported) {
        EXPECT_EQ(IsAcceptableReportedSize(c.size), c.acceptable) << c.size;
    }
    EXPECT_TRUE(IsAcceptableReturnedSize(80, 80));
    EXPECT_TRUE(IsAcceptableReturnedSize(216, 4096));
    EXPECT_FALSE(IsAcceptableReturnedSize(79, 4096));
    EXPECT_FALSE(IsAcceptableReturnedSize(4097, 4096));
}

TEST(AdapterWalk, TooShortOrEmptyImagesGiveZeros) {
    const auto image = BuildImage({{5, 5, kUnixEpochAsFileTime + 10000, 0}});
    EXPECT_EQ(Walk(image, 79), AdapterCounters{});
    EXPECT_EQ(WalkAdapterConfiguration(nullptr, 1000), AdapterCounters{});
    EXPECT_EQ(Walk(BuildImage({})), AdapterCounters{});
    // Peers present in the bytes but a declared count of 0: nothing is read from them.
    EXPECT_EQ(Walk(BuildImage({{5, 5, 0, 0}}, 0)), AdapterCounters{});
}

TEST(AdapterWalk, TruncatedPeerRecordEndsTheWalk) {
    const auto image = BuildImage({{100, 1, 0, 1}, {200, 2, 0, 0}});
    const size_t second_peer_end = image.size();
    // The second record lacks its last byte: only the first peer counts.
    EXPECT_EQ(Walk(image, second_peer_end - 1).rx_bytes, 100u);
    EXPECT_EQ(Walk(image, second_peer_end).rx_bytes, 300u);
}

TEST(AdapterWalk, PeerCountLargerThanTheDataStopsAtTheEnd) {
    const auto image = BuildImage({{1, 2, 0, 3}, {4, 8, 0, 0}}, 0xFFFFFFFFu);
    const AdapterCounters c = Walk(image);
    EXPECT_EQ(c.rx_bytes, 5u);
    EXPECT_EQ(c.tx_bytes, 10u);
}

TEST(AdapterWalk, AllowedIpsRunningPastTheEndCountThePeerThenStop) {
    // The first peer declares 3 allowed IPs, but only 2 fit before the second peer, whose bytes
    // would otherwise be misread as the third record and beyond.
    auto image = BuildImage({{100, 1, 0, 2}, {200, 2, 0, 0}});
    PutU32(image, kInterfaceRecordSize + kPeerAllowedIpCountOffset, 3);
    const size_t cut = kInterfaceRecordSize + kPeerRecordSize + 2 * kAllowedIpRecordSize + 10;
    EXPECT_EQ(Walk(image, cut).rx_bytes, 100u);

    // A count so large that count * 24 would wrap a 32-bit product.
    PutU32(image, kInterfaceRecordSize + kPeerAllowedIpCountOffset, 0xFFFFFFFFu);
    EXPECT_EQ(Walk(image).rx_bytes, 100u);
}

}  // namespace
}  // namespace lumet::service::wireguard
