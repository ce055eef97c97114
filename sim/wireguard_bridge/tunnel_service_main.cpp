// wireguard.exe for the real-WireGuard bridge: run by the service manager as
// "wireguard.exe /tunnelservice <file>", it reads and checks the file as the real tunnel service
// does, brings up a Linux wireguard-go interface named after the tunnel, configures it with
// `wg setconf` (Windows-only keys stripped), reports RUNNING only once that worked, and deletes the
// interface when stopped. Test tooling only.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "common/win_handle.h"
#include "sim/wireguard/tunnel_config.h"
#include "sim/wireguard/tunnel_service_control.h"
#include "sim/wireguard_bridge/linux_wg.h"

namespace lumet::sim::bridge {
namespace {

constexpr DWORD kUpTimeoutMs = 15000;
constexpr DWORD kDownTimeoutMs = 10000;
// A service-specific exit code: the Linux side failed; the script's status is logged.
constexpr DWORD kLinuxStepFailed = 0x5742;  // "WB"

std::wstring g_config_path;

// One service per process. Static, because the handler may still run after ServiceMain returns.
TunnelServiceContext g_service;

// Lines for whoever debugs a failed run, in the prefix's temp folder. Never holds a key: only
// step names, exit statuses and the Linux tools' own messages.
void Log(const std::string& line) {
    wchar_t temp[MAX_PATH] = {};
    if (GetTempPathW(MAX_PATH, temp) == 0) {
        return;
    }
    const std::wstring path = std::wstring(temp) + L"lumet-wireguard-bridge.log";
    const common::UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return;
    }
    const std::string text = "[" + std::to_string(GetCurrentProcessId()) + "] " + line + "\n";
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool TakeDown(const std::string& interface_name) {
    ScriptRun run;
    const std::optional<int> rc = run.Run("ip link del dev " + ShellQuote(interface_name) +
                                              " 2>/dev/null\n"
                                              "! ip link show dev " +
                                              ShellQuote(interface_name) + " >/dev/null 2>&1",
                                          kDownTimeoutMs);
    Log("down " + interface_name + ": " + (rc ? std::to_string(*rc) : "timed out"));
    return rc == 0;
}

void RunService() {
    const std::optional<std::wstring> tunnel = TunnelNameFromConfigPath(g_config_path);
    if (!tunnel) {
        Log("refused: the path must name <tunnel name>.conf");
        ReportTunnelService(g_service, SERVICE_STOPPED, ERROR_INVALID_NAME);
        return;
    }
    const std::string interface_name = LinuxInterfaceName(*tunnel);

    std::string text;
    const DWORD read_error = ReadTunnelFile(g_config_path, text);
    SimTunnelConfig config;
    std::string why;
    const bool parsed = read_error == NO_ERROR && ParseTunnelConfig(text, config, &why);
    SecureZeroMemory(text.data(), text.size());
    if (read_error != NO_ERROR) {
        Log("config file unreadable: " + std::to_string(read_error));
        ReportTunnelService(g_service, SERVICE_STOPPED, read_error);
        return;
    }
    if (!parsed) {
        Log("configuration refused: " + why);
        ReportTunnelService(g_service, SERVICE_STOPPED, ERROR_BAD_CONFIGURATION);
        return;
    }

    bool up = false;
    {
        ScriptRun run;
        std::string setconf = BuildSetconfText(config);
        config.Wipe();
        const bool staged = run.ok() && run.WriteFile(L"setconf.conf", setconf);
        SecureZeroMemory(setconf.data(), setconf.size());
        if (staged) {
            const std::string name = ShellQuote(interface_name);
            // IPv6 off on the new link: nothing of the kernel's own (router solicitations, ...)
            // may go into the tunnel; only the handshake traffic on 127.0.0.1 flows.
            std::string script = "set -e\n";
            script += "ip link del dev " + name + " 2>/dev/null || true\n";
            script += "wireguard-go " + name + "\n";
            script +=
                "echo 1 >/proc/sys/net/ipv6/conf/" + interface_name + "/disable_ipv6 || true\n";
            script +=
                "wg setconf " + name + " " + ShellQuote(run.UnixPathOf("setconf.conf")) + "\n";
            script += "ip link set dev " + name + " up\n";
            const std::optional<int> rc = run.Run(script, kUpTimeoutMs, [] {
                ReportTunnelService(g_service, SERVICE_START_PENDING);
            });
            Log("up " + interface_name + ": " + (rc ? std::to_string(*rc) : "timed out") + "\n" +
                run.Output());
            up = rc == 0;
        }
        // `run` goes here: the staged configuration is overwritten and deleted.
    }
    if (!up) {
        TakeDown(interface_name);
        ReportTunnelService(g_service, SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR,
                            kLinuxStepFailed);
        return;
    }

    ReportTunnelService(g_service, SERVICE_RUNNING);
    WaitForSingleObject(g_service.stop_event, INFINITE);
    ReportTunnelService(g_service, SERVICE_STOP_PENDING);
    TakeDown(interface_name);
    ReportTunnelService(g_service, SERVICE_STOPPED);
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
    const wchar_t* name = argc > 0 ? argv[0] : L"";
    if (!StartTunnelService(g_service, name)) {
        return;
    }
    RunService();
}

}  // namespace
}  // namespace lumet::sim::bridge

int wmain(int argc, wchar_t** argv) {
    using namespace lumet::sim;
    return RunTunnelServiceProcess(argc, argv, &bridge::g_config_path, bridge::ServiceMain);
}
