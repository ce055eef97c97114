// The pieces of the bridge to the real WireGuard that can be checked without a tunnel: the
// configuration handed to `wg setconf`, the reading of `wg show <if> dump`, the driver image built
// from it, and running Unix shell steps from Wine with bounded waits.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/wireguard/adapter_walk.h"
#include "sim/wireguard/published_adapter.h"
#include "sim/wireguard/tunnel_config.h"
#include "sim/wireguard_bridge/linux_wg.h"

namespace lumet::sim::bridge {
namespace {

constexpr char kPrivateKey[] = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
constexpr char kPeerKey[] = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";
constexpr char kPresharedKey[] = "dyCPECZLyod3nv0xJOUE1w4YRpXjC9RlcouQb1R6Dd0=";

TEST(WireGuardBridgeTest, SetconfTextKeepsOnlyWhatWgReads) {
    const std::string file = std::string("[Interface]\nPrivateKey = ") + kPrivateKey +
                             "\nAddress = 10.77.0.2/32, fd00::2/128\nDNS = 10.77.0.1\nMTU = 1420\n"
                             "ListenPort = 51901\nTable = off\n\n[Peer]\nPublicKey = " +
                             kPeerKey + "\nPresharedKey = " + kPresharedKey +
                             "\nAllowedIPs = 10.77.0.1/32,10.78.0.0/16\n"
                             "Endpoint = 127.0.0.1:51902\nPersistentKeepalive = off\n";
    SimTunnelConfig config;
    ASSERT_TRUE(ParseTunnelConfig(file, config));
    EXPECT_EQ(BuildSetconfText(config),
              std::string("[Interface]\nPrivateKey = ") + kPrivateKey +
                  "\nListenPort = 51901\n\n[Peer]\nPublicKey = " + kPeerKey +
                  "\nPresharedKey = " + kPresharedKey +
                  "\nAllowedIPs = 10.77.0.1/32, 10.78.0.0/16\nEndpoint = 127.0.0.1:51902\n"
                  "PersistentKeepalive = 0\n");
}

TEST(WireGuardBridgeTest, InterfaceNameFitsLinux) {
    EXPECT_EQ(LinuxInterfaceName(L"orrinfieldwireguard"), "orrinfieldwireg");
    EXPECT_EQ(LinuxInterfaceName(L"wg0"), "wg0");
}

TEST(WireGuardBridgeTest, DumpBecomesTheDriverImage) {
    const std::string dump = std::string(kPeerKey) +
                             "\t(none)\t127.0.0.1:51902\t10.77.0.1/32,fd00::/64\t1765000000\t"
                             "212\t304\t1\n" +
                             kPrivateKey + "\t" + kPresharedKey +
                             "\t(none)\t(none)\t0\t0\t0\toff\n";
    std::vector<DumpPeer> peers;
    ASSERT_TRUE(ParseDumpPeers(dump, peers));
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_EQ(peers[0].rx_bytes, 212u);
    EXPECT_EQ(peers[0].tx_bytes, 304u);
    EXPECT_EQ(peers[0].allowed_ips.size(), 2u);
    EXPECT_EQ(peers[1].persistent_keepalive, 0u);

    // The service's own walk over the image reads back the sums and the latest handshake.
    const std::vector<uint8_t> image = BuildImageFromDump(peers);
    EXPECT_EQ(image.size(), 80u + 2 * 136 + 2 * 24);
    const service::wireguard::AdapterCounters summary =
        service::wireguard::WalkAdapterConfiguration(image.data(), image.size());
    EXPECT_EQ(summary.rx_bytes, 212u);
    EXPECT_EQ(summary.tx_bytes, 304u);
    EXPECT_EQ(summary.last_handshake_ms, 1765000000000u);
}

TEST(WireGuardBridgeTest, MalformedDumpIsRefused) {
    const std::string peer = std::string(kPeerKey) + "\t(none)\t(none)\t";
    for (const std::string& line : {
             peer + "(none)\t0\t0\t0",                                    // a field short
             peer + "(none)\t0\tmany\t0\toff",                            // not a number
             peer + "10.0.0.0/33\t0\t0\t0\toff",                          // bad prefix
             std::string("short\t(none)\t(none)\t(none)\t0\t0\t0\toff"),  // bad key
         }) {
        std::vector<DumpPeer> peers;
        EXPECT_FALSE(ParseDumpPeers(line + "\n", peers)) << line;
    }
}

TEST(WireGuardBridgeTest, UnixStepsReportTheirStatusAndOutput) {
    ScriptRun run;
    ASSERT_TRUE(run.ok());
    const std::optional<int> rc = run.Run("echo \"from $(uname -s)\"\nexit 3", 10000);
    ASSERT_TRUE(rc.has_value());
    EXPECT_EQ(*rc, 3);
    EXPECT_EQ(run.Output(), "from Linux\n");
}

TEST(WireGuardBridgeTest, UnixStepThatHangsIsGivenUpOnInTime) {
    ScriptRun run;
    ASSERT_TRUE(run.ok());
    const ULONGLONG started = GetTickCount64();
    int ticks = 0;
    EXPECT_FALSE(run.Run("sleep 5", 800, [&] { ++ticks; }).has_value());
    EXPECT_LT(GetTickCount64() - started, 3000u);
    EXPECT_GE(ticks, 1);
}

TEST(WireGuardBridgeTest, StagedSecretsAreGoneWithTheRun) {
    std::wstring staged;
    {
        ScriptRun run;
        ASSERT_TRUE(run.ok());
        ASSERT_TRUE(run.WriteFile(L"secret.conf", kPrivateKey));
        staged = run.WindowsPath(L"secret.conf");
        const std::optional<int> rc =
            run.Run("test \"$(cat " + ShellQuote(run.UnixPathOf("secret.conf")) + ")\" = '" +
                        kPrivateKey + "'",
                    10000);
        EXPECT_EQ(rc, 0);
    }
    EXPECT_EQ(GetFileAttributesW(staged.c_str()), INVALID_FILE_ATTRIBUTES);
    const std::wstring folder = staged.substr(0, staged.rfind(L'\\'));
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace lumet::sim::bridge
