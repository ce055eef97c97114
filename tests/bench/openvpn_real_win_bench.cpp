// Time to CONNECTED through the whole stack against Debian's real OpenVPN, beside bare OpenVPN on
// the same server in the same run. Run through the namespace wrapper, which starts the server and
// times the bare runs first:
//
//   ORRINFIELD_REAL_OPENVPN_BARE_RUNS=5 bash scripts/wine-openvpn-real.sh build/windows
//       openvpn_real_win_bench.exe   (one command line)
//
// Stack: the plugin's startOpenVpn (through flutter_lite) until getOpenVpnStatus reports
// CONNECTED, then stopOpenVpn and a wait until nothing runs; the first round also starts the
// agent. Bare: `openvpn` with the same profile and a credentials file until its log says
// "Initialization Sequence Completed". Prints each round, the medians and their ratio.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/host_api.h"
#include "service/openvpn_install_for_testing_win.h"
#include "support/agent_harness.h"
#include "support/openvpn_harness.h"
#include "support/plugin_harness.h"
#include "support/service_harness.h"

namespace lumet::test {
namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
namespace lv = lumet_windows_vpn;

constexpr int kRounds = 5;

std::string Env(const char* name) {
    char buffer[1024] = {};
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    return n > 0 && n < sizeof(buffer) ? std::string(buffer, n) : std::string();
}

std::wstring DosPath(const std::string& unix_path) {
    std::wstring path = L"Z:";
    for (const char c : unix_path) {
        path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    }
    return path;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::optional<lv::LumetOpenVpnStatus> StatusOf(const HostAnswer& answer) {
    const auto* status = answer.ok ? CustomAs<lv::LumetOpenVpnStatus>(answer.value) : nullptr;
    return status ? std::optional<lv::LumetOpenVpnStatus>(*status) : std::nullopt;
}

TEST(OpenVpnRealBench, StartToConnected) {
    const std::string directory = Env("ORRINFIELD_REAL_OPENVPN_DIR");
    if (directory.empty()) {
        GTEST_SKIP() << "run through scripts/wine-openvpn-real.sh";
    }
    const std::string ca = ReadWholeFile(DosPath(directory + "/pki/ca.crt"));
    const std::string profile =
        "client\ndev tun\nproto udp\nremote 127.0.0.1 " + Env("ORRINFIELD_REAL_OPENVPN_PORT") +
        "\nnobind\nremote-cert-tls server\nverb 3\nauth-user-pass\n<ca>\n" + ca + "</ca>\n";
    const EncodableValue start(
        EncodableList{EncodableValue(profile), EncodableValue(Env("ORRINFIELD_REAL_OPENVPN_USER")),
                      EncodableValue(Env("ORRINFIELD_REAL_OPENVPN_PASSWORD"))});

    EndAgentProcesses();
    EndOpenVpnProcesses();
    service::testing_support::OpenVpnInstallForTesting install;
    const std::wstring bridge = BinFilePath(L"real-openvpn\\openvpn.exe");
    OpenVpnExePathSetting exe_path(bridge);
    OpenVpnSimSwitches switches;
    InteractiveServiceSim interactive;
    ChildProcess service;
    ASSERT_TRUE(install.Install());
    ASSERT_TRUE(switches.Set(L"OpenVpnExe", bridge));
    ASSERT_TRUE(interactive.Install());
    ASSERT_TRUE(StartConsoleService(service, FileSizeOf(ServiceLogPath())));
    PluginHost host;
    ASSERT_TRUE(host.Load(PluginDllPath()));

    std::vector<double> stack_ms;
    for (int round = 0; round < kRounds; ++round) {
        LARGE_INTEGER frequency, begin, now;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&begin);
        const auto started = StatusOf(host.Call("startOpenVpn", start, 30000));
        ASSERT_TRUE(started && started->active());
        std::optional<lv::LumetOpenVpnStatus> status;
        const ULONGLONG deadline = GetTickCount64() + 30000;
        do {
            status = StatusOf(host.Call("getOpenVpnStatus", EncodableValue(), 5000));
            if (status && status->state() == lv::LumetOpenVpnState::kConnected) {
                break;
            }
            Sleep(5);
        } while (status && status->active() && GetTickCount64() < deadline);
        QueryPerformanceCounter(&now);
        ASSERT_TRUE(status && status->state() == lv::LumetOpenVpnState::kConnected);
        stack_ms.push_back(1000.0 * static_cast<double>(now.QuadPart - begin.QuadPart) /
                           static_cast<double>(frequency.QuadPart));
        host.Call("stopOpenVpn", EncodableValue(), 30000);
        ASSERT_TRUE(WaitUntil([] { return OpenVpnProcessIds().empty(); }, 10000));
    }
    host.Destroy();
    EndAgentProcesses();
    service.Terminate();
    interactive.Remove();

    std::vector<double> bare_ms;
    std::stringstream bare_text(Env("ORRINFIELD_REAL_OPENVPN_BARE_MS"));
    for (std::string item; std::getline(bare_text, item, ',');) {
        if (!item.empty() && item != "timeout") {
            bare_ms.push_back(std::stod(item));
        }
    }
    std::printf("plugin startOpenVpn -> CONNECTED (ms):");
    for (const double ms : stack_ms) {
        std::printf(" %.0f", ms);
    }
    std::printf("\nbare openvpn -> Initialization Sequence Completed (ms):");
    for (const double ms : bare_ms) {
        std::printf(" %.0f", ms);
    }
    const double stack = Median(stack_ms);
    const double bare = Median(bare_ms);
    std::printf("\nmedian: stack %.0f ms, bare %.0f ms, ratio %.2f\n", stack, bare,
                bare > 0 ? stack / bare : 0.0);
}

}  // namespace
}  // namespace lumet::test
