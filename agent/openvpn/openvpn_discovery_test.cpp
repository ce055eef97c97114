// Filling the capabilities record from the probes.
#include "agent/openvpn/openvpn_discovery.h"

#include <gtest/gtest.h>

namespace lumet::agent::openvpn {
namespace {

CapabilityProbes Probes(Tri found, std::string version, Tri installed, Tri running) {
    CapabilityProbes p;
    p.install = [found, version](std::string* out) {
        *out = version;
        return found;
    };
    p.service_installed = [installed] { return installed; };
    p.service_running = [running] { return running; };
    return p;
}

TEST(OpenVpnDiscoveryTest, CapabilitiesFollowTheProbes) {
    common::OpenVpnCapabilitiesRecord r =
        BuildCapabilities(Probes(Tri::Yes, "2.6.12", Tri::Yes, Tri::No));
    EXPECT_EQ(r, (common::OpenVpnCapabilitiesRecord{1, "2.6.12", 1, 2, 0, 0}));

    // A version from a probe that did not find OpenVPN is not sent.
    r = BuildCapabilities(Probes(Tri::No, "stale", Tri::Unknown, Tri::Unknown));
    EXPECT_EQ(r, (common::OpenVpnCapabilitiesRecord{2, "", 0, 0, 0, 0}));
    r = BuildCapabilities(Probes(Tri::Unknown, "stale", Tri::No, Tri::No));
    EXPECT_EQ(r, (common::OpenVpnCapabilitiesRecord{0, "", 2, 2, 0, 0}));

    // Missing probes leave their fields at 0.
    CapabilityProbes partial = Probes(Tri::Yes, "", Tri::Yes, Tri::Yes);
    partial.install = nullptr;
    partial.service_running = nullptr;
    EXPECT_EQ(BuildCapabilities(partial), (common::OpenVpnCapabilitiesRecord{0, "", 1, 0, 0, 0}));
    EXPECT_EQ(BuildCapabilities(CapabilityProbes{}), common::OpenVpnCapabilitiesRecord{});
}

TEST(OpenVpnDiscoveryTest, FileVersionTakesMajorMinorBuild) {
    EXPECT_EQ(FormatFileVersion(0x0002'0006, 0x000C'0001), "2.6.12");
    EXPECT_EQ(FormatFileVersion(0xFFFF'FFFF, 0xFFFF'0000), "65535.65535.65535");
    EXPECT_EQ(FormatFileVersion(0, 0x0000'FFFF), "0.0.0");
}

}  // namespace
}  // namespace lumet::agent::openvpn
