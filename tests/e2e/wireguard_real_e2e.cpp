// A real WireGuard tunnel through the whole stack: the plugin, loaded into an engine as an
// application loads it, asks the agent and the service to start WireGuard; the service writes the
// canonical configuration and starts the tunnel service, which here is the bridge to Debian's
// wireguard-go and wg; a second wireguard-go peer on 127.0.0.1 answers. The test waits for a real
// handshake and real counters in the status, then takes the tunnel down.
//
// Run only through wireguard_real_run.sh, which makes a network namespace of its own with the
// peer in it, a Wine prefix whose wineserver lives in that namespace, and the keys (passed in the
// environment). Only the two 127.0.0.1 endpoints carry traffic; nothing is sent into the tunnel.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "plugin/host_api.h"
#include "support/agent_harness.h"
#include "support/plugin_fixture.h"
#include "support/plugin_harness.h"
#include "support/service_harness.h"
#include "support/wireguard_harness.h"

namespace lumet::test {
namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
namespace lv = lumet_windows_vpn;

std::string Env(const char* name) {
    char value[256] = {};
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof(value));
    return n > 0 && n < sizeof(value) ? std::string(value, n) : std::string();
}

// The Linux interface as Wine shows /sys/class/net.
bool LinuxInterfaceExists(const std::string& name) {
    const std::wstring path = L"Z:\\sys\\class\\net\\" + std::wstring(name.begin(), name.end());
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

template <typename Condition>
bool WaitFor(Condition condition, DWORD limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    while (!condition()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(200);
    }
    return true;
}

class RealWireGuardTest : public PluginServiceTest {
  protected:
    void SetUp() override {
        private_key_ = Env("LUMET_WG_REAL_PRIVATE_KEY");
        peer_public_key_ = Env("LUMET_WG_REAL_PEER_PUBLIC_KEY");
        listen_port_ = Env("LUMET_WG_REAL_LISTEN_PORT");
        peer_port_ = Env("LUMET_WG_REAL_PEER_PORT");
        interface_ = Env("LUMET_WG_REAL_INTERFACE");
        if (private_key_.empty() || peer_public_key_.empty() || listen_port_.empty() ||
            peer_port_.empty() || interface_.empty()) {
            GTEST_SKIP() << "run through tests/e2e/wireguard_real_run.sh";
        }
        PluginServiceTest::SetUp();
    }

    lv::LumetWireGuardStatus Status(const HostAnswer& answer) {
        EXPECT_TRUE(answer.ok) << answer.code;
        const auto* value = CustomAs<lv::LumetWireGuardStatus>(answer.value);
        return value != nullptr ? *value : Unknown();
    }

    static lv::LumetWireGuardStatus Unknown() {
        return lv::LumetWireGuardStatus(lv::LumetComponentState::kUnknown, false, 0, 0, 0, -1);
    }

    std::string private_key_;
    std::string peer_public_key_;
    std::string listen_port_;
    std::string peer_port_;
    std::string interface_;
};

TEST_F(RealWireGuardTest, HandshakeWithARealPeerThroughThePlugin) {
    ASSERT_FALSE(LinuxInterfaceExists(interface_));
    ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
    ASSERT_TRUE(host_.Load(PluginDllPath()));

    // Written as a user might paste it; the service renders its own canonical file, and the
    // bridge strips what only the Windows side uses before `wg setconf` sees it.
    const std::string config =
        "[Interface]\n"
        "PrivateKey = " +
        private_key_ +
        "\n"
        "Address = 10.77.0.2/32\n"
        "DNS = 10.77.0.1\n"
        "MTU = 1420\n"
        "ListenPort = " +
        listen_port_ +
        "\n"
        "\n"
        "[Peer]\n"
        "PublicKey = " +
        peer_public_key_ +
        "\n"
        "AllowedIPs = 10.77.0.1/32\n"
        "Endpoint = 127.0.0.1:" +
        peer_port_ +
        "\n"
        "PersistentKeepalive = 1\n";
    const ULONGLONG started = GetTickCount64();
    const auto up = Status(
        host_.Call("startWireGuard", EncodableValue(EncodableList{EncodableValue(config)}), 60000));
    ASSERT_EQ(up.error(), 0);
    EXPECT_EQ(up.state(), lv::LumetComponentState::kRunning);
    EXPECT_TRUE(up.adapter_present());
    EXPECT_TRUE(LinuxInterfaceExists(interface_));
    EXPECT_FALSE(PathExists(TunnelConfigFilePath()));
    EXPECT_EQ(QueryTunnelService().state, static_cast<DWORD>(SERVICE_RUNNING));

    // A real handshake: the peer keeps the link alive every second.
    lv::LumetWireGuardStatus status = Unknown();
    ASSERT_TRUE(WaitFor(
        [&] {
            status = Status(host_.Call("wireGuardStatus"));
            return status.last_handshake_ms() > 0 && status.rx_bytes() > 0 && status.tx_bytes() > 0;
        },
        20000))
        << "no handshake: rx=" << status.rx_bytes() << " tx=" << status.tx_bytes();
    std::printf("real handshake after %llu ms: rx=%lld tx=%lld last_handshake_ms=%lld\n",
                static_cast<unsigned long long>(GetTickCount64() - started),
                static_cast<long long>(status.rx_bytes()),
                static_cast<long long>(status.tx_bytes()),
                static_cast<long long>(status.last_handshake_ms()));
    const uint64_t now_ms = UnixTimeMs();
    EXPECT_LE(static_cast<uint64_t>(status.last_handshake_ms()), now_ms + 2000);
    EXPECT_GE(static_cast<uint64_t>(status.last_handshake_ms()) + 2000,
              now_ms - (GetTickCount64() - started));
    // Real counters keep growing with the peer's keepalives.
    lv::LumetWireGuardStatus later = Unknown();
    EXPECT_TRUE(WaitFor(
        [&] {
            later = Status(host_.Call("wireGuardStatus"));
            return later.rx_bytes() > status.rx_bytes();
        },
        5000));
    EXPECT_EQ(later.state(), lv::LumetComponentState::kRunning);

    const auto down = Status(host_.Call("stopWireGuard"));
    EXPECT_EQ(down.error(), 0);
    EXPECT_EQ(down.state(), lv::LumetComponentState::kAbsent);
    EXPECT_TRUE(WaitFor([&] { return !LinuxInterfaceExists(interface_); }, 5000));
    EXPECT_FALSE(QueryTunnelService().exists);
    EXPECT_FALSE(PathExists(TunnelConfigFilePath()));
    const auto after = Status(host_.Call("wireGuardStatus"));
    EXPECT_EQ(after.state(), lv::LumetComponentState::kAbsent);
    EXPECT_FALSE(after.adapter_present());

    host_.Destroy();
    EndAgentProcesses();
    service_.Terminate();
    for (const std::string& log : {ReadFileFrom(PluginLogPath(), plugin_log_offset_),
                                   ReadFileFrom(AgentLogPath(), agent_log_offset_),
                                   ReadFileFrom(ServiceLogPath(), service_log_offset_)}) {
        EXPECT_EQ(log.find(private_key_), std::string::npos);
    }
}

}  // namespace
}  // namespace lumet::test
