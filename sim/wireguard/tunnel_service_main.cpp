// wireguard.exe stand-in: run by the service manager as "wireguard.exe /tunnelservice <file>".
//
// Reads the configuration file when it starts (a missing, unreadable or interface-less file fails
// the start), publishes the adapter named after the file while it runs, and withdraws it on stop.
// Fault switches (sim_faults.h) bend this to drive a caller's error paths. Test tooling only.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <optional>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/wireguard/published_adapter.h"
#include "sim/wireguard/sim_faults.h"
#include "sim/wireguard/tunnel_config.h"
#include "sim/wireguard/tunnel_service_control.h"

namespace lumet::sim {
namespace {

// Far above any configuration the service writes (32 KiB of text at most).
constexpr uint64_t kRxBytesPerSecond = 48000;
constexpr uint64_t kTxBytesPerSecond = 16000;
constexpr DWORD kPendingTickMs = 250;

std::wstring g_config_path;

using ServiceContext = TunnelServiceContext;

// Stays START_PENDING for `ms`, keeping the status alive. Stops are refused meanwhile.
void StayPending(ServiceContext& ctx, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return;
        }
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kPendingTickMs)));
        ReportTunnelService(ctx, SERVICE_START_PENDING);
    }
}

// Stores the bytes read, for tests that check what the tunnel was handed.
void RecordConfig(const std::string& text) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kFaultKeyPath, kRecordedConfigValue, REG_BINARY,
                    text.data(), static_cast<DWORD>(text.size()));
}

bool PublishAdapter(PublishedAdapter& adapter, const std::wstring& name,
                    const std::vector<uint8_t>& image, const SimFaults& faults) {
    PublishedAdapterHeader header;
    header.owner_pid = GetCurrentProcessId();
    header.start_time = FileTimeNow();
    header.handshake_time = header.start_time + uint64_t{faults.handshake_delay_ms} * 10000;
    header.rx_bytes_per_second = kRxBytesPerSecond;
    header.tx_bytes_per_second = kTxBytesPerSecond;
    return adapter.Publish(name, header, image);
}

void RunService(ServiceContext& ctx) {
    const SimFaults faults = ReadSimFaults();
    const std::optional<std::wstring> tunnel_name = TunnelNameFromConfigPath(g_config_path);
    if (!tunnel_name) {
        std::fwprintf(stderr, L"wireguard.exe: the path must name <tunnel name>.conf\n");
        ReportTunnelService(ctx, SERVICE_STOPPED, ERROR_INVALID_NAME);
        return;
    }
    const std::wstring& tunnel = *tunnel_name;

    std::string text;
    const DWORD read_error = ReadTunnelFile(g_config_path, text);
    if (read_error == NO_ERROR && faults.record_config) {
        RecordConfig(text);
    }
    SimTunnelConfig config;
    std::string why;
    const bool parsed = read_error == NO_ERROR && ParseTunnelConfig(text, config, &why);
    // The text holds the tunnel's private key.
    SecureZeroMemory(text.data(), text.size());
    if (read_error != NO_ERROR) {
        ReportTunnelService(ctx, SERVICE_STOPPED, read_error);
        return;
    }
    if (!parsed) {
        std::fprintf(stderr, "wireguard.exe: configuration refused: %s\n", why.c_str());
        ReportTunnelService(ctx, SERVICE_STOPPED, ERROR_BAD_CONFIGURATION);
        return;
    }
    std::vector<uint8_t> image = BuildConfigurationImage(config);
    config.Wipe();

    if (faults.exit_before_running) {
        ReportTunnelService(ctx, SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, kFaultExitCode);
        return;
    }
    if (faults.stay_start_pending) {
        StayPending(ctx, kStuckPendingLimitMs);
        ReportTunnelService(ctx, SERVICE_STOPPED);
        return;
    }
    if (faults.start_delay_ms > 0) {
        StayPending(ctx, faults.start_delay_ms);
    }

    PublishedAdapter adapter;
    const bool publish_later = faults.adapter_delay_ms > 0;
    if (!faults.no_adapter && !publish_later && !PublishAdapter(adapter, tunnel, image, faults)) {
        ReportTunnelService(ctx, SERVICE_STOPPED, GetLastError());
        return;
    }
    ReportTunnelService(ctx, SERVICE_RUNNING);

    const ULONGLONG running_since = GetTickCount64();
    bool pending_publish = !faults.no_adapter && publish_later;
    for (;;) {
        const ULONGLONG elapsed = GetTickCount64() - running_since;
        if (faults.die_after_ms > 0 && elapsed >= faults.die_after_ms) {
            // A crash: no STOPPED report, no clean-up; the adapter goes with the process.
            ExitProcess(kCrashExitCode);
        }
        if (pending_publish && elapsed >= faults.adapter_delay_ms) {
            pending_publish = false;
            if (!PublishAdapter(adapter, tunnel, image, faults)) {
                break;
            }
        }
        ULONGLONG wait = INFINITE;
        if (faults.die_after_ms > 0) {
            wait = faults.die_after_ms - elapsed;
        }
        if (pending_publish) {
            wait = std::min<ULONGLONG>(wait, faults.adapter_delay_ms - elapsed);
        }
        if (WaitForSingleObject(ctx.stop_event, static_cast<DWORD>(wait)) == WAIT_OBJECT_0) {
            break;
        }
    }
    ReportTunnelService(ctx, SERVICE_STOP_PENDING);
    adapter.Withdraw();
    SecureZeroMemory(image.data(), image.size());
    ReportTunnelService(ctx, SERVICE_STOPPED);
}

// One service per process. Static, because the handler may still run after ServiceMain returns.
ServiceContext g_service;

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
    ServiceContext& ctx = g_service;
    const wchar_t* name = argc > 0 ? argv[0] : L"";
    if (!StartTunnelService(ctx, name)) {
        return;
    }
    RunService(ctx);
    // The stop event stays open: a late control may still reach the handler after STOPPED was
    // reported, and the process ends right after this returns.
}

}  // namespace
}  // namespace lumet::sim

int wmain(int argc, wchar_t** argv) {
    using namespace lumet::sim;
    return RunTunnelServiceProcess(argc, argv, &g_config_path, ServiceMain);
}
