// Reading a tunnel configuration file the way the simulated tunnel service needs it: enough to
// know the interface exists and which peers with how many allowed IPs to publish.
// Test tooling only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumet::sim {

struct SimAllowedIp {
    uint16_t family = 0;  // 2 (IPv4), 23 (IPv6) or 0 when the text is no address we understand
    uint8_t address[16] = {};
    uint8_t cidr = 0;
};

struct SimPeer {
    std::vector<SimAllowedIp> allowed_ips;
};

struct SimTunnelConfig {
    bool has_interface = false;
    bool has_private_key = false;
    std::vector<SimPeer> peers;
};

// Parses INI-style text ("[Interface]", "[Peer]", "Key = Value", "#" comments, keys and headers
// case-insensitive). Lenient about everything the simulator does not use; returns false only when
// there is no [Interface] section with a PrivateKey, which a real tunnel service would refuse too.
bool ParseTunnelConfig(std::string_view text, SimTunnelConfig& config);

// Lays the configuration out as the driver's configuration image: an interface record with a
// fake private key and the peer count, then per peer a peer record (counters and handshake 0) and
// its allowed-IP records.
std::vector<uint8_t> BuildConfigurationImage(const SimTunnelConfig& config);

// The tunnel (adapter) name for a configuration path: the file name without directory and
// extension ("C:\x\orrinfieldwireguard.conf" -> "orrinfieldwireguard").
std::wstring TunnelNameFromPath(std::wstring_view path);

}  // namespace lumet::sim
