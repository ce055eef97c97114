// What the agent can tell about the OpenVPN installation: whether openvpn.exe is there (and its
// version), and whether OpenVPN's interactive service is installed and running. The answers feed
// the OpenVpnCapabilities reply.
//
// Pure: the probes themselves are Win32 (openvpn_discovery_win.h); this part only runs them and
// fills the record, so it can be driven with fakes. Re-entrant; no shared state.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/messages.h"

namespace lumet::agent::openvpn {

// A question the agent may not be able to answer (access denied, service manager unreachable).
// u8 on the wire.
enum class Tri : uint8_t {
    Unknown = 0,
    Yes = 1,
    No = 2,
};

// The three probes behind a capabilities reply. Any of them may be empty; its field then stays 0
// (Unknown).
struct CapabilityProbes {
    // Looks for openvpn.exe; on Yes writes its file version text ("" when it has none).
    std::function<Tri(std::string* version)> install;
    // Whether the interactive service is installed.
    std::function<Tri()> service_installed;
    // Whether the interactive service is running.
    std::function<Tri()> service_running;
};

// Runs the probes in the order install, installed, running and fills the record. The version is
// sent only when openvpn.exe was found (Yes); the spares are always 0.
common::OpenVpnCapabilitiesRecord BuildCapabilities(const CapabilityProbes& probes);

// "major.minor.build" from a file version resource's two version double words: the high and low
// words of the most significant one, then the high word of the least significant one.
std::string FormatFileVersion(uint32_t version_ms, uint32_t version_ls);

}  // namespace lumet::agent::openvpn
