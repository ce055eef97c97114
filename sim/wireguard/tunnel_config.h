// Reading a tunnel configuration file the way WireGuard for Windows' tunnel service reads it, and
// refusing what it refuses: unknown sections and keys, malformed keys, numbers, addresses and
// endpoints, peers without a public key, an interface without a private key, and a file whose name
// is not "<tunnel name>.conf". Shared by the simulator and the bridge to the real WireGuard.
// Test tooling only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumet::sim {

struct SimAllowedIp {
    uint16_t family = 0;  // 2 (IPv4) or 23 (IPv6)
    uint8_t address[16] = {};
    uint8_t cidr = 0;
    std::string text;  // as written (trimmed)
};

struct SimPeer {
    std::string public_key;
    std::string preshared_key;  // secret; empty when not given
    std::string endpoint;       // as written; empty when not given
    std::vector<SimAllowedIp> allowed_ips;
    std::optional<uint16_t> persistent_keepalive;
};

// The parsed file. The private and preshared keys are wiped when it goes away.
struct SimTunnelConfig {
    SimTunnelConfig() = default;
    ~SimTunnelConfig() { Wipe(); }
    SimTunnelConfig(SimTunnelConfig&&) = default;
    SimTunnelConfig& operator=(SimTunnelConfig&&) = default;
    SimTunnelConfig(const SimTunnelConfig&) = delete;
    SimTunnelConfig& operator=(const SimTunnelConfig&) = delete;
    void Wipe();

    bool has_interface = false;
    std::string private_key;  // secret
    std::optional<uint16_t> listen_port;
    std::optional<uint16_t> mtu;
    size_t address_count = 0;
    size_t dns_count = 0;
    std::vector<SimPeer> peers;
};

// Parses `text`. On refusal returns false and, when `why` is given, names the rule that failed
// (never a value, which might be a key).
bool ParseTunnelConfig(std::string_view text, SimTunnelConfig& config, std::string* why = nullptr);

// A tunnel name the tunnel service accepts: 1 to 32 of A-Z a-z 0-9 _ = + . -, and not a reserved
// device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension).
bool IsValidTunnelName(std::wstring_view name);

// The tunnel name of a configuration path "...\<name>.conf", or nothing when the file name does
// not end in ".conf" or the name is not valid.
std::optional<std::wstring> TunnelNameFromConfigPath(std::wstring_view path);

// Lays the configuration out as the driver's configuration image: an interface record with a
// fake private key and the peer count, then per peer a peer record (public key, counters and
// handshake 0) and its allowed-IP records.
std::vector<uint8_t> BuildConfigurationImage(const SimTunnelConfig& config);

// Writes a peer's allowed-IP count and entries into a configuration image whose peer record
// starts at `peer_at` and already has room for them.
void PutImageAllowedIps(std::vector<uint8_t>& image, size_t peer_at,
                        const std::vector<SimAllowedIp>& allowed_ips);

// The tunnel (adapter) name for a configuration path: the file name without directory and
// extension ("C:\x\orrinfieldwireguard.conf" -> "orrinfieldwireguard"). Lenient; for naming the
// service table only.
std::wstring TunnelNameFromPath(std::wstring_view path);

// An address, optionally followed by "/" and a prefix length written without leading zeros (as
// the tunnel service reads Address and AllowedIPs entries).
bool ParseIpCidr(std::string_view entry, SimAllowedIp& ip);

// Decodes a 44-character base64 key into 32 bytes; false when it is not one.
bool DecodeKey(std::string_view text, uint8_t (&out)[32]);

// Reads the whole tunnel file (at most 1 MiB, not empty) into `text`. Returns a Win32 error code,
// 0 on success.
uint32_t ReadTunnelFile(const std::wstring& path, std::string& text);

}  // namespace lumet::sim
