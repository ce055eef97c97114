// The bridge from the Windows-side WireGuard interface (wireguard.exe as tunnel service,
// wireguard.dll as driver library) to Debian's wireguard-go and wg, for end-to-end tests that
// run a real WireGuard tunnel on Linux under Wine. Test tooling only.
//
// Wine starts Unix programs with CreateProcessW, but their process handles never signal, so every
// Unix step here is a small /bin/sh script that records its exit status in a marker file which
// the caller polls for, within a time limit.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/wireguard/tunnel_config.h"

namespace lumet::sim::bridge {

// Linux limits interface names to 15 bytes; the tunnel name is cut to that.
std::string LinuxInterfaceName(std::wstring_view tunnel_name);

// The configuration as `wg setconf` reads it: what `wg-quick strip` leaves, i.e. without the
// keys only the Windows side uses (Address, DNS, MTU, Table, scripts). Holds the private key.
std::string BuildSetconfText(const SimTunnelConfig& config);

// One peer line of `wg show <if> dump` (the interface line, which carries the private key, is
// never read).
struct DumpPeer {
    uint8_t public_key[32] = {};
    uint64_t rx_bytes = 0;
    uint64_t tx_bytes = 0;
    uint64_t last_handshake_unix_s = 0;
    uint16_t persistent_keepalive = 0;
    std::vector<SimAllowedIp> allowed_ips;
};

// Parses peer lines: public key, preshared key, endpoint, allowed IPs ("(none)" or a list),
// latest handshake (Unix seconds), received bytes, sent bytes, keepalive ("off" or seconds), tab
// separated. False on any malformed line.
bool ParseDumpPeers(std::string_view text, std::vector<DumpPeer>& peers);

// The driver's configuration image for those peers: interface record with the peer count, then
// per peer its record (public key, keepalive, counters, handshake in 100-ns units since 1601,
// allowed-IP count) and allowed-IP records.
std::vector<uint8_t> BuildImageFromDump(const std::vector<DumpPeer>& peers);

// Quotes `text` for /bin/sh inside single quotes.
std::string ShellQuote(std::string_view text);

// The Unix path of a Windows path (Wine's wine_get_unix_file_name); empty if unknown.
std::string UnixPath(const std::wstring& windows_path);

// A private working folder for one script run, removed with everything in it when destroyed.
class ScriptRun {
  public:
    ScriptRun();
    ~ScriptRun();
    ScriptRun(const ScriptRun&) = delete;
    ScriptRun& operator=(const ScriptRun&) = delete;

    bool ok() const { return !unix_dir_.empty(); }
    std::wstring WindowsPath(const wchar_t* file) const { return dir_ + L"\\" + file; }
    std::string UnixPathOf(const char* file) const { return unix_dir_ + "/" + file; }

    // Writes a file into the folder; on destruction it is overwritten with zeros before removal,
    // so secrets may go there.
    bool WriteFile(const wchar_t* name, std::string_view bytes);

    // Runs `body` with /bin/sh (standard output and error into the folder's "out" file) and
    // waits up to `timeout_ms` for its exit status, calling `tick` about every 250 ms meanwhile.
    // Nothing when it could not be started or did not end in time.
    std::optional<int> Run(const std::string& body, DWORD timeout_ms,
                           const std::function<void()>& tick = {});

    // What the script printed.
    std::string Output() const;

  private:
    std::wstring dir_;
    std::string unix_dir_;
    std::vector<std::wstring> files_;
};

}  // namespace lumet::sim::bridge
