#include "agent/openvpn/openvpn_discovery.h"

namespace lumet::agent::openvpn {

common::OpenVpnCapabilitiesRecord BuildCapabilities(const CapabilityProbes& probes) {
    common::OpenVpnCapabilitiesRecord record;
    if (probes.install) {
        std::string version;
        const Tri found = probes.install(&version);
        record.openvpn_found = static_cast<uint8_t>(found);
        if (found == Tri::Yes) {
            record.openvpn_version = std::move(version);
        }
    }
    if (probes.service_installed) {
        record.interactive_service_installed = static_cast<uint8_t>(probes.service_installed());
    }
    if (probes.service_running) {
        record.interactive_service_running = static_cast<uint8_t>(probes.service_running());
    }
    return record;
}

std::string FormatFileVersion(uint32_t version_ms, uint32_t version_ls) {
    return std::to_string(version_ms >> 16) + "." + std::to_string(version_ms & 0xFFFF) + "." +
           std::to_string(version_ls >> 16);
}

}  // namespace lumet::agent::openvpn
