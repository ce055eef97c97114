// Helpers for end-to-end tests of the service's WireGuard tunnel: the tunnel service
// "WireGuardTunnel$orrinfieldwireguard" as the service manager sees it, the configuration file the
// service writes, the simulator's fault switches, and the WireGuard request and reply bodies.
//
// Every wait takes a limit. The tunnel service and the fault switches are machine-wide (one Wine
// prefix), so tests that use them run under the shared "system" resource lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "win_test_util.h"  // PathExists, WaitUntil, ProgramDataFolder
#include "common/messages.h"

namespace lumet::test {

// C:\ProgramData\Orrinfield\vpn\wireguard and the configuration file in it.
std::wstring TunnelConfigDirectory();
std::wstring TunnelConfigFilePath();

// Creates the configuration directory level by level (as the service does, without its DACL).
bool EnsureTunnelConfigDirectory();

// The tunnel service as the service manager reports it.
struct TunnelServiceInfo {
    bool exists = false;
    DWORD state = 0;  // SERVICE_RUNNING etc.; 0 when it does not exist or cannot be queried
    DWORD pid = 0;
};
TunnelServiceInfo QueryTunnelService();

// Stops (10 s at most), terminates a process that outlives the stop, and deletes the tunnel
// service. Also what a test calls first, so that a leftover of an aborted run cannot interfere.
void RemoveTunnelService();

// Registers the tunnel service the way the service does (the simulator's wireguard.exe from the
// bin folder with "/tunnelservice <config_path>") and starts it; true once it runs (10 s at
// most).
bool CreateAndStartTunnelService(const std::wstring& config_path);

// Writes `bytes` to a new or truncated file.
bool WriteTextFile(const std::wstring& path, std::string_view bytes);

// The simulator's fault switches, removed when the owner goes away (and when it is made, so that
// a leftover cannot leak in).
class SimFaultSwitches {
  public:
    SimFaultSwitches();
    ~SimFaultSwitches();
    SimFaultSwitches(const SimFaultSwitches&) = delete;
    SimFaultSwitches& operator=(const SimFaultSwitches&) = delete;

    bool Set(const wchar_t* name, DWORD value);
    static void Clear();
};

// A canonical base64 WireGuard key (32 bytes) that starts with `stem`, easy to search for.
std::string MakeWireGuardKey(std::string_view stem);

// A configuration the service accepts: the interface with `private_key` and `peers` peers.
std::string WireGuardConfigText(const std::string& private_key, int peers);

// The body of a WireGuardStart request: the string `config`.
std::vector<uint8_t> WireGuardStartBody(std::string_view config);

// A WireGuard reply body taken apart.
struct WireGuardReply {
    bool readable = false;  // the status, and with Ok the whole record, could be read
    common::Status status = common::Status::Failed;
    common::WireGuardStatusRecord record;
};
WireGuardReply ParseWireGuardReply(std::span<const uint8_t> body);

// Milliseconds since 1970-01-01 UTC now.
uint64_t UnixTimeMs();

}  // namespace lumet::test
