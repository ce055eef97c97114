#include "sim/wireguard/tunnel_config.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cctype>

#include "sim/wireguard/published_adapter.h"

namespace lumet::sim {
namespace {

std::string_view Trim(std::string_view s) {
    const char* blanks = " \t\r\n";
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

SimAllowedIp ParseAllowedIp(std::string_view entry) {
    SimAllowedIp ip;
    const size_t slash = entry.find('/');
    const std::string address(entry.substr(0, slash));
    if (inet_pton(AF_INET, address.c_str(), ip.address) == 1) {
        ip.family = AF_INET;
        ip.cidr = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), ip.address) == 1) {
        ip.family = AF_INET6;
        ip.cidr = 128;
    }
    if (slash != std::string_view::npos) {
        unsigned value = 0;
        bool digits = slash + 1 < entry.size();
        for (char c : entry.substr(slash + 1)) {
            digits = digits && c >= '0' && c <= '9' && value < 1000;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (digits && value <= ip.cidr) {
            ip.cidr = static_cast<uint8_t>(value);
        }
    }
    return ip;
}

}  // namespace

bool ParseTunnelConfig(std::string_view text, SimTunnelConfig& config) {
    config = SimTunnelConfig{};
    enum class Section { None, Interface, Peer } section = Section::None;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) {
            continue;
        }
        const std::string lower = Lower(line);
        if (lower == "[interface]") {
            section = Section::Interface;
            config.has_interface = true;
            continue;
        }
        if (lower == "[peer]") {
            section = Section::Peer;
            config.peers.emplace_back();
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string key = Lower(Trim(line.substr(0, eq)));
        const std::string_view value = Trim(line.substr(eq + 1));
        if (section == Section::Interface && key == "privatekey" && !value.empty()) {
            config.has_private_key = true;
        } else if (section == Section::Peer && key == "allowedips") {
            size_t start = 0;
            while (start <= value.size()) {
                size_t comma = value.find(',', start);
                if (comma == std::string_view::npos) {
                    comma = value.size();
                }
                const std::string_view entry = Trim(value.substr(start, comma - start));
                if (!entry.empty()) {
                    config.peers.back().allowed_ips.push_back(ParseAllowedIp(entry));
                }
                start = comma + 1;
            }
        }
    }
    return config.has_interface && config.has_private_key;
}

std::vector<uint8_t> BuildConfigurationImage(const SimTunnelConfig& config) {
    std::vector<uint8_t> image(kImageInterfaceSize, 0);
    // A recognisable non-zero pattern standing in for the private key, so a reader that forgets
    // to wipe its copy leaves something findable behind.
    for (size_t i = 0; i < 32; ++i) {
        image[kImagePrivateKeyOffset + i] = static_cast<uint8_t>(0xA0 + i);
    }
    PutImageU32(image, kImagePeerCountOffset, static_cast<uint32_t>(config.peers.size()));
    for (const SimPeer& peer : config.peers) {
        const size_t at = image.size();
        image.resize(at + kImagePeerSize + peer.allowed_ips.size() * kImageAllowedIpSize, 0);
        PutImageU32(image, at + kImagePeerAllowedIpCountOffset,
                    static_cast<uint32_t>(peer.allowed_ips.size()));
        size_t ip_at = at + kImagePeerSize;
        for (const SimAllowedIp& ip : peer.allowed_ips) {
            std::memcpy(&image[ip_at], ip.address, sizeof(ip.address));
            image[ip_at + 16] = static_cast<uint8_t>(ip.family);
            image[ip_at + 17] = static_cast<uint8_t>(ip.family >> 8);
            image[ip_at + 18] = ip.cidr;
            ip_at += kImageAllowedIpSize;
        }
    }
    return image;
}

std::wstring TunnelNameFromPath(std::wstring_view path) {
    const size_t slash = path.find_last_of(L"\\/");
    std::wstring_view name = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring_view::npos && dot > 0) {
        name = name.substr(0, dot);
    }
    return std::wstring(name);
}

}  // namespace lumet::sim
