// wireguard.dll for the real-WireGuard bridge: the three driver functions the service binds,
// answered from the Linux interface named after the tunnel (`wg show <if> dump`), with the real
// byte counters and last-handshake time laid out as the driver publishes them. Test tooling only.
#include <windows.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "sim/wireguard/tunnel_config.h"
#include "sim/wireguard_bridge/linux_wg.h"

namespace lumet::sim::bridge {
namespace {

constexpr uint32_t kHandleMagic = 0x48475742;  // "BWGH"
constexpr DWORD kDumpTimeoutMs = 5000;

// An open adapter: the interface's state as read when it was opened, so that the size query and
// the read that follows it agree.
struct AdapterHandle {
    uint32_t magic = kHandleMagic;
    std::vector<uint8_t> image;
};

AdapterHandle* FromHandle(void* handle) {
    auto* adapter = static_cast<AdapterHandle*>(handle);
    return adapter != nullptr && adapter->magic == kHandleMagic ? adapter : nullptr;
}

}  // namespace
}  // namespace lumet::sim::bridge

extern "C" {

__declspec(dllexport) void* WINAPI WireGuardOpenAdapter(const wchar_t* name) {
    using namespace lumet::sim;
    using namespace lumet::sim::bridge;
    if (name == nullptr || !IsValidTunnelName(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string interface_name = LinuxInterfaceName(name);
    ScriptRun run;
    // The dump's first line carries the private key: it stays in the shell, never in a file.
    const std::optional<int> rc = run.Run("dump=$(wg show " + ShellQuote(interface_name) +
                                              " dump) || exit 3\n"
                                              "printf '%s\\n' \"$dump\" | tail -n +2",
                                          kDumpTimeoutMs);
    if (rc != 0) {
        SetLastError(rc ? ERROR_FILE_NOT_FOUND : ERROR_TIMEOUT);
        return nullptr;
    }
    std::vector<DumpPeer> peers;
    if (!ParseDumpPeers(run.Output(), peers)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    auto* adapter = new (std::nothrow) AdapterHandle;
    if (adapter == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    adapter->image = BuildImageFromDump(peers);
    return adapter;
}

__declspec(dllexport) void WINAPI WireGuardCloseAdapter(void* handle) {
    if (auto* adapter = lumet::sim::bridge::FromHandle(handle)) {
        adapter->magic = 0;
        delete adapter;
    }
}

__declspec(dllexport) BOOL WINAPI
    WireGuardGetConfiguration(void* handle, void* buffer, DWORD* bytes) {
    auto* adapter = lumet::sim::bridge::FromHandle(handle);
    if (adapter == nullptr || bytes == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(adapter->image.size());
    const bool fits = buffer != nullptr && *bytes >= needed;
    if (fits) {
        std::memcpy(buffer, adapter->image.data(), needed);
    }
    *bytes = needed;
    if (!fits) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
