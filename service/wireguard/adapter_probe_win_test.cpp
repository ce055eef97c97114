#include "service/wireguard/adapter_probe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/wireguard/adapter_walk.h"
#include "sim/wireguard/published_adapter.h"
#include "test_util.h"

namespace lumet::service::wireguard {
namespace {

std::wstring BinPath(const wchar_t* file) {
    const std::string dir = test::ExecutableDir();
    return std::wstring(dir.begin(), dir.end()) + L"\\" + file;
}

std::wstring UniqueAdapterName() {
    return L"probetest" + test::UniqueSuffixW();
}

struct Peer {
    uint64_t rx;
    uint64_t tx;
    uint64_t handshake;
    uint32_t allowed_ips;
};

std::vector<uint8_t> Image(const std::vector<Peer>& peers) {
    std::vector<uint8_t> image(sim::kImageInterfaceSize, 0);
    sim::PutImageU32(image, sim::kImagePeerCountOffset, static_cast<uint32_t>(peers.size()));
    for (const Peer& p : peers) {
        const size_t at = image.size();
        image.resize(at + sim::kImagePeerSize + p.allowed_ips * sim::kImageAllowedIpSize, 0);
        sim::PutImageU64(image, at + sim::kImagePeerRxOffset, p.rx);
        sim::PutImageU64(image, at + sim::kImagePeerTxOffset, p.tx);
        sim::PutImageU64(image, at + sim::kImagePeerHandshakeOffset, p.handshake);
        sim::PutImageU32(image, at + sim::kImagePeerAllowedIpCountOffset, p.allowed_ips);
    }
    return image;
}

// An adapter with fixed counters: no growth and no simulated handshake.
bool PublishStatic(sim::PublishedAdapter& adapter, const std::wstring& name,
                   const std::vector<uint8_t>& image) {
    return adapter.Publish(name, sim::PublishedAdapterHeader{}, image);
}

TEST(AdapterProbe, LoadBindsTheLibraryAndUnloadReleasesIt) {
    const std::wstring path = BinPath(L"wireguard.dll");
    AdapterProbe probe;
    ASSERT_TRUE(probe.Load(path));
    EXPECT_TRUE(probe.loaded());
    EXPECT_NE(GetModuleHandleW(path.c_str()), nullptr);
    EXPECT_TRUE(probe.Load(L"C:\\does\\not\\matter.dll"));  // already loaded: no reload
    probe.Unload();
    EXPECT_FALSE(probe.loaded());
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr);
    probe.Unload();  // a second unload is harmless
}

TEST(AdapterProbe, LoadFailuresLeaveTheProbeEmpty) {
    AdapterProbe probe;
    EXPECT_FALSE(probe.Load(L""));
    EXPECT_FALSE(probe.Load(BinPath(L"no_such_wireguard.dll")));
    EXPECT_FALSE(probe.loaded());
    EXPECT_FALSE(probe.Probe(L"anything").adapter_present);
}

TEST(AdapterProbe, LibraryMissingAnExportIsRefusedAndFreed) {
    const std::wstring path = BinPath(L"wireguard_noconfig.dll");
    AdapterProbe probe;
    EXPECT_FALSE(probe.Load(path));
    EXPECT_FALSE(probe.loaded());
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr) << "the incomplete library stayed loaded";

    // Even with an adapter present, a refused library reports nothing.
    sim::PublishedAdapter adapter;
    const std::wstring name = UniqueAdapterName();
    ASSERT_TRUE(PublishStatic(adapter, name, Image({{1, 1, 0, 0}})));
    const AdapterSummary s = probe.Probe(name);
    EXPECT_FALSE(s.adapter_present);
    EXPECT_EQ(s.rx_bytes, 0u);
}

TEST(AdapterProbe, AbsentAdapterGivesZeroSummary) {
    AdapterProbe probe;
    ASSERT_TRUE(probe.Load(BinPath(L"wireguard.dll")));
    const AdapterSummary s = probe.Probe(UniqueAdapterName());
    EXPECT_FALSE(s.adapter_present);
    EXPECT_EQ(s.rx_bytes, 0u);
    EXPECT_EQ(s.tx_bytes, 0u);
    EXPECT_EQ(s.last_handshake_ms, 0u);
}

TEST(AdapterProbe, PublishedAdapterIsSummarised) {
    AdapterProbe probe;
    ASSERT_TRUE(probe.Load(BinPath(L"wireguard.dll")));
    const std::wstring name = UniqueAdapterName();
    sim::PublishedAdapter adapter;
    ASSERT_TRUE(PublishStatic(
        adapter, name, Image({{100, 10, kUnixEpochAsFileTime + 10000, 2}, {250, 20, 0, 1}})));

    AdapterSummary s = probe.Probe(name);
    EXPECT_TRUE(s.adapter_present);
    EXPECT_EQ(s.rx_bytes, 350u);
    EXPECT_EQ(s.tx_bytes, 30u);
    EXPECT_EQ(s.last_handshake_ms, 1u);

    // The adapter goes away with its publisher.
    adapter.Withdraw();
    s = probe.Probe(name);
    EXPECT_FALSE(s.adapter_present);
    EXPECT_EQ(s.rx_bytes, 0u);
}

TEST(AdapterProbe, UnreadableConfigurationKeepsAdapterPresentWithZeroCounters) {
    AdapterProbe probe;
    ASSERT_TRUE(probe.Load(BinPath(L"wireguard.dll")));
    struct Case {
        const char* what;
        std::vector<uint8_t> image;
        uint64_t rx;
    };
    std::vector<uint8_t> largest = Image({{7, 0, 0, 0}});
    largest.resize(kMaxConfigurationSize, 0);
    std::vector<uint8_t> too_large = largest;
    too_large.push_back(0);
    const Case cases[] = {
        {"79 bytes", std::vector<uint8_t>(79, 0), 0},
        {"no bytes", {}, 0},
        {"524288 bytes", largest, 7},
        {"524289 bytes", too_large, 0},
    };
    for (const Case& c : cases) {
        const std::wstring name = UniqueAdapterName();
        sim::PublishedAdapter adapter;
        ASSERT_TRUE(PublishStatic(adapter, name, c.image)) << c.what;
        const AdapterSummary s = probe.Probe(name);
        EXPECT_TRUE(s.adapter_present) << c.what;
        EXPECT_EQ(s.rx_bytes, c.rx) << c.what;
    }
}

}  // namespace
}  // namespace lumet::service::wireguard
