// The plugin end to end, loaded into an engine as an application loads it: the agent started
// from the plugin's own folder, every host method with the service up and down and with no agent
// beside the plugin, WireGuard through plugin, agent, service and simulator, the events as the
// agent comes and goes, concurrent calls, a prompt shutdown, and secrets kept out of the logs.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "plugin/host_api.h"
#include "support/agent_harness.h"
#include "support/openvpn_harness.h"
#include "support/plugin_fixture.h"
#include "support/plugin_harness.h"
#include "support/service_harness.h"
#include "support/wireguard_harness.h"

namespace lumet::test {
namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
namespace lv = lumet_windows_vpn;

DWORD ThisSession() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

class PluginE2eTest : public PluginServiceTest {
  protected:
    void StartService() { ASSERT_TRUE(StartConsoleService(service_, service_log_offset_)); }
    void LoadPlugin() { ASSERT_TRUE(host_.Load(PluginDllPath())); }

    template <typename T>
    T Value(const HostAnswer& answer) {
        EXPECT_TRUE(answer.ok) << answer.code;
        const T* value = CustomAs<T>(answer.value);
        EXPECT_NE(value, nullptr);
        return *value;
    }

    SimFaultSwitches faults_;  // none set: cleared when made and when gone
};

TEST_F(PluginE2eTest, HostMethodsWithTheServiceUp) {
    const std::string key = MakeWireGuardKey("PluginE2ePrivateKey");
    StartService();
    LoadPlugin();

    const HostAnswer available = host_.Call("isAvailable");
    ASSERT_TRUE(available.ok);
    EXPECT_EQ(available.value, EncodableValue(true));

    const auto health = Value<lv::LumetNativeHealth>(host_.Call("getHealth"));
    EXPECT_EQ(health.state(), lv::LumetComponentState::kRunning);
    EXPECT_EQ(health.protocol(), 6);
    EXPECT_EQ(health.version(), "0.1.0-w6a");
    EXPECT_EQ(health.session_id(), static_cast<int64_t>(ThisSession()));
    EXPECT_TRUE(health.agent_reachable());
    EXPECT_TRUE(health.service_link_up());
    EXPECT_EQ(health.last_error(), lv::LumetNativeErrorKind::kNone);

    // The agent the plugin started, from its own folder, answers for itself.
    const std::vector<DWORD> agents = AgentProcessIds();
    ASSERT_EQ(agents.size(), 1u);
    const auto agent = Value<lv::LumetAgentHealth>(host_.Call("getAgentHealth"));
    EXPECT_TRUE(IsGenerationTextOf(agent.generation_text(), agents[0]));
    EXPECT_EQ(agent.version_info().capabilities().size(), 5u);
    EXPECT_TRUE(agent.service_link_up());
    const auto service = Value<lv::LumetServiceHealth>(host_.Call("getServiceHealth"));
    EXPECT_TRUE(IsGenerationTextOf(service.generation_text(), service_.pid()));

    // WireGuard through plugin, agent, service and simulator.
    const auto up = Value<lv::LumetWireGuardStatus>(
        host_.Call("startWireGuard",
                   EncodableValue(EncodableList{EncodableValue(WireGuardConfigText(key, 1))})));
    EXPECT_EQ(up.state(), lv::LumetComponentState::kRunning);
    EXPECT_TRUE(up.adapter_present());
    EXPECT_EQ(up.error(), 0);
    Sleep(300);  // the simulated counters grow with time
    const auto status = Value<lv::LumetWireGuardStatus>(host_.Call("wireGuardStatus"));
    EXPECT_EQ(status.state(), lv::LumetComponentState::kRunning);
    EXPECT_GT(status.rx_bytes(), up.rx_bytes());
    EXPECT_GT(status.last_handshake_ms(), 0);
    const auto down = Value<lv::LumetWireGuardStatus>(host_.Call("stopWireGuard"));
    EXPECT_EQ(down.state(), lv::LumetComponentState::kAbsent);
    EXPECT_FALSE(QueryTunnelService().exists);

    // Refused before the agent: a null argument, and a configuration too long for the wire.
    const HostAnswer null_config =
        host_.Call("startWireGuard", EncodableValue(EncodableList{EncodableValue()}));
    EXPECT_EQ(null_config.code, "config_arg unexpectedly null.");
    EXPECT_EQ(null_config.message, "Error");
    const HostAnswer too_long = host_.Call(
        "startWireGuard", EncodableValue(EncodableList{EncodableValue(std::string(32769, 'k'))}));
    EXPECT_EQ(too_long.code, "INTERNAL");

    // The OpenVPN methods reach the agent and come back as their data class or an error code;
    // what the agent makes of them is its own business.
    const std::string password = "PluginE2eOpenVpnPassword";
    const HostAnswer openvpn[] = {
        host_.Call("getOpenVpnCapabilities"),
        host_.Call("startOpenVpn",
                   EncodableValue(EncodableList{EncodableValue("client\n"), EncodableValue("alice"),
                                                EncodableValue(password)})),
        host_.Call("getOpenVpnStatus"),
        host_.Call("stopOpenVpn"),
    };
    for (const HostAnswer& answer : openvpn) {
        ASSERT_TRUE(answer.answered);
        EXPECT_TRUE(answer.ok || answer.code == "INTERNAL") << answer.code;
    }
    if (openvpn[0].ok) {
        EXPECT_NE(CustomAs<lv::LumetOpenVpnCapabilities>(openvpn[0].value), nullptr);
    }

    // One agent for all of it, and no secret in any log.
    EXPECT_EQ(AgentProcessIds().size(), 1u);
    host_.Destroy();
    EndAgentProcesses();
    service_.Terminate();
    const std::string plugin_log = PluginLog();
    EXPECT_EQ(CountOccurrences(plugin_log, "INFO launched OrrinfieldVPNAgent.exe detached"), 1u)
        << plugin_log;
    for (const std::string& log : {plugin_log, ReadFileFrom(AgentLogPath(), agent_log_offset_),
                                   ReadFileFrom(ServiceLogPath(), service_log_offset_)}) {
        EXPECT_EQ(log.find(key), std::string::npos);
        EXPECT_EQ(log.find("PluginE2ePrivateKey"), std::string::npos);
        EXPECT_EQ(log.find(password), std::string::npos);
    }
}

TEST_F(PluginE2eTest, ServiceDown) {
    LoadPlugin();
    for (const char* method : {"getServiceHealth", "wireGuardStatus", "stopWireGuard"}) {
        EXPECT_EQ(host_.Call(method).code, "SERVICE_UNAVAILABLE") << method;
    }
    EXPECT_EQ(
        host_
            .Call("startWireGuard", EncodableValue(EncodableList{EncodableValue(WireGuardConfigText(
                                        MakeWireGuardKey("PluginServiceDown"), 1))}))
            .code,
        "SERVICE_UNAVAILABLE");
    EXPECT_EQ(host_.Call("isAvailable").value, EncodableValue(false));
    const auto health = Value<lv::LumetNativeHealth>(host_.Call("getHealth"));
    EXPECT_TRUE(health.agent_reachable());
    EXPECT_FALSE(health.service_link_up());
    EXPECT_EQ(health.last_error(), lv::LumetNativeErrorKind::kNone);
    EXPECT_FALSE(Value<lv::LumetAgentHealth>(host_.Call("getAgentHealth")).service_link_up());
}

TEST_F(PluginE2eTest, NoAgentBesideThePlugin) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"lumet-plugin-alone-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring copy = folder + L"\\lumet_windows_vpn_plugin.dll";
    ASSERT_TRUE(CopyFileW(PluginDllPath().c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(host_.Load(copy));

    struct Case {
        const char* method;
        const char* code;
    };
    const Case cases[] = {{"getAgentHealth", "AGENT_UNAVAILABLE"},
                          {"getOpenVpnCapabilities", "AGENT_UNAVAILABLE"},
                          {"getOpenVpnStatus", "AGENT_UNAVAILABLE"},
                          {"stopOpenVpn", "AGENT_UNAVAILABLE"},
                          {"getServiceHealth", "SERVICE_UNAVAILABLE"},
                          {"wireGuardStatus", "SERVICE_UNAVAILABLE"},
                          {"stopWireGuard", "SERVICE_UNAVAILABLE"}};
    for (const Case& c : cases) {
        const HostAnswer answer = host_.Call(c.method, EncodableValue(), 10000);
        EXPECT_EQ(answer.code, c.code) << c.method;
        EXPECT_EQ(answer.message, "") << c.method;
        EXPECT_EQ(answer.list_size, 3u) << c.method;
    }
    EXPECT_EQ(host_.Call("isAvailable").value, EncodableValue(false));
    const auto health = Value<lv::LumetNativeHealth>(host_.Call("getHealth"));
    EXPECT_FALSE(health.agent_reachable());
    EXPECT_FALSE(health.service_link_up());
    EXPECT_EQ(static_cast<int>(health.last_error()), 2);
    EXPECT_TRUE(AgentProcessIds().empty());
    EXPECT_NE(PluginLog().find("ERR  OrrinfieldVPNAgent.exe not found next to the plugin DLL"),
              std::string::npos);
}

std::vector<std::string> Kinds(const std::vector<ReceivedEvent>& events) {
    std::vector<std::string> kinds;
    for (const ReceivedEvent& e : events) {
        kinds.push_back(e.kind);
    }
    return kinds;
}

TEST_F(PluginE2eTest, EventsFollowTheAgent) {
    StartService();
    LoadPlugin();
    host_.ListenForEvents();
    const auto before = UnixTimeMs();
    ASSERT_TRUE(host_.Call("startEvents").ok);
    ASSERT_TRUE(host_.Call("startEvents").ok);  // a second start changes nothing
    ASSERT_TRUE(host_.WaitForEvents(2, 15000));
    std::vector<ReceivedEvent> events = host_.Events();
    EXPECT_EQ(Kinds(events), (std::vector<std::string>{"agentConnected", "serviceConnected"}));
    for (const ReceivedEvent& e : events) {
        EXPECT_EQ(e.thread, host_.PlatformThread());
        EXPECT_EQ(e.detail, "");
        EXPECT_GE(static_cast<uint64_t>(e.timestamp_ms), before);
        EXPECT_LE(static_cast<uint64_t>(e.timestamp_ms), UnixTimeMs());
    }

    // The agent ends; the watcher notices, and its next probe starts a new agent.
    ASSERT_EQ(EndAgentProcesses(), 1);
    ASSERT_TRUE(host_.WaitForEvents(7, 20000)) << testing::PrintToString(Kinds(host_.Events()));
    EXPECT_EQ(Kinds(host_.Events()),
              (std::vector<std::string>{"agentConnected", "serviceConnected", "agentDisconnected",
                                        "serviceDisconnected", "agentConnected", "serviceConnected",
                                        "serviceGenerationChanged"}));
    Sleep(2500);  // a quiet cycle reports nothing more
    EXPECT_EQ(host_.Events().size(), 7u);
}

TEST_F(PluginE2eTest, ShutdownWhileTheWatcherSleepsIsPrompt) {
    StartService();
    LoadPlugin();
    host_.ListenForEvents();
    ASSERT_TRUE(host_.Call("startEvents").ok);
    ASSERT_TRUE(host_.WaitForEvents(2, 15000));
    Sleep(500);  // the first probe is done; the watcher sleeps
    EXPECT_LT(host_.Destroy(), std::chrono::milliseconds(600));
}

// Fifty calls in flight at once, of five kinds, each answered with its own kind of result.
TEST_F(PluginE2eTest, ConcurrentCallsGetTheirOwnAnswers) {
    StartService();
    LoadPlugin();
    const char* methods[] = {"getHealth", "getAgentHealth", "getServiceHealth", "wireGuardStatus",
                             "isAvailable"};
    std::vector<PluginHost::Pending> pending;
    for (int i = 0; i < 50; ++i) {
        pending.push_back(host_.Send(methods[i % 5]));
    }
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        const HostAnswer answer = pending[i].Wait(60000);
        ASSERT_TRUE(answer.ok) << answer.code;
        switch (i % 5) {
            case 0:
                EXPECT_NE(CustomAs<lv::LumetNativeHealth>(answer.value), nullptr);
                break;
            case 1:
                EXPECT_NE(CustomAs<lv::LumetAgentHealth>(answer.value), nullptr);
                break;
            case 2:
                EXPECT_NE(CustomAs<lv::LumetServiceHealth>(answer.value), nullptr);
                break;
            case 3: {
                const auto* wg = CustomAs<lv::LumetWireGuardStatus>(answer.value);
                ASSERT_NE(wg, nullptr);
                EXPECT_EQ(wg->state(), lv::LumetComponentState::kAbsent);
                break;
            }
            default:
                EXPECT_EQ(answer.value, EncodableValue(true));
        }
    }
    EXPECT_EQ(AgentProcessIds().size(), 1u);
}

}  // namespace
}  // namespace lumet::test
