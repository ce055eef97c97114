#include "sim/wireguard/tunnel_config.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cctype>
#include <cstring>

#include "sim/wireguard/published_adapter.h"

namespace lumet::sim {
namespace {

std::string_view Trim(std::string_view s) {
    const char* blanks = " \t\r\n\v\f";
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

bool Fail(std::string* why, const char* reason) {
    if (why != nullptr) {
        *why = reason;
    }
    return false;
}

std::optional<uint32_t> Digits(std::string_view s, size_t max_digits) {
    if (s.empty() || s.size() > max_digits) {
        return std::nullopt;
    }
    uint32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    return v;
}

std::optional<uint16_t> Number(std::string_view s, uint32_t low, uint32_t high) {
    const std::optional<uint32_t> v = Digits(s, 5);
    if (!v || *v < low || *v > high) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(*v);
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

bool ParseIpCidr(std::string_view entry, SimAllowedIp& ip) {
    const size_t slash = entry.find('/');
    const std::string address(entry.substr(0, slash));
    if (inet_pton(AF_INET, address.c_str(), ip.address) == 1) {
        ip.family = AF_INET;
        ip.cidr = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), ip.address) == 1) {
        ip.family = AF_INET6;
        ip.cidr = 128;
    } else {
        return false;
    }
    if (slash != std::string_view::npos) {
        const std::string_view prefix = entry.substr(slash + 1);
        if (prefix.size() > 1 && prefix.front() == '0') {
            return false;
        }
        const std::optional<uint32_t> bits = Digits(prefix, 3);
        if (!bits || *bits > ip.cidr) {
            return false;
        }
        ip.cidr = static_cast<uint8_t>(*bits);
    }
    ip.text.assign(entry);
    return true;
}

namespace {

// A list split at "," with no empty piece.
bool SplitList(std::string_view value, std::vector<std::string_view>& out) {
    for (size_t start = 0;;) {
        const size_t comma = value.find(',', start);
        const std::string_view piece = Trim(value.substr(start, comma - start));
        if (piece.empty()) {
            return false;
        }
        out.push_back(piece);
        if (comma == std::string_view::npos) {
            return true;
        }
        start = comma + 1;
    }
}

// host ":" port, the port after the last ":"; a host holding ":" must be a bracketed IPv6 address.
bool IsEndpoint(std::string_view v) {
    const size_t colon = v.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    if (!Number(v.substr(colon + 1), 0, 65535)) {
        return false;
    }
    const std::string_view host = v.substr(0, colon);
    if (host.find(':') == std::string_view::npos) {
        return true;
    }
    if (host.size() < 2 || host.front() != '[' || host.back() != ']') {
        return false;
    }
    const std::string inner(host.substr(1, host.size() - 2));
    uint8_t buffer[16];
    return inet_pton(AF_INET6, inner.c_str(), buffer) == 1;
}

bool IsTableValue(std::string_view v) {
    if (v == "off" || v == "auto" || v == "main") {
        return true;
    }
    if (v.empty() || v.size() > 10 || v.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    return std::stoull(std::string(v)) <= 0xFFFFFFFFull;
}

bool IsAllZero(const uint8_t (&key)[32]) {
    for (uint8_t b : key) {
        if (b != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool DecodeKey(std::string_view text, uint8_t (&out)[32]) {
    if (text.size() != 44 || text[43] != '=') {
        return false;
    }
    uint32_t bits = 0;
    int count = 0;
    size_t at = 0;
    for (size_t i = 0; i < 43; ++i) {
        const int v = Base64Value(text[i]);
        if (v < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            if (at < 32) {
                out[at++] = static_cast<uint8_t>(bits >> count);
            }
        }
    }
    return at == 32;
}

void SimTunnelConfig::Wipe() {
    if (!private_key.empty()) {
        std::memset(private_key.data(), 0, private_key.size());
    }
    for (SimPeer& peer : peers) {
        if (!peer.preshared_key.empty()) {
            std::memset(peer.preshared_key.data(), 0, peer.preshared_key.size());
        }
    }
    private_key.clear();
    peers.clear();
}

bool ParseTunnelConfig(std::string_view text, SimTunnelConfig& config, std::string* why) {
    config.Wipe();
    config = SimTunnelConfig{};
    enum class Section { None, Interface, Peer } section = Section::None;
    bool ok = true;
    size_t pos = 0;
    while (ok && pos <= text.size()) {
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
        const std::string lower = Lower(line.substr(0, line.find('=')));
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
        if (line.front() == '[') {
            ok = Fail(why, "unknown section");
            break;
        }
        if (section == Section::None) {
            ok = Fail(why, "line outside a section");
            break;
        }
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            ok = Fail(why, "line without '='");
            break;
        }
        const std::string key = Lower(Trim(line.substr(0, eq)));
        const std::string_view value = Trim(line.substr(eq + 1));
        if (value.empty()) {
            ok = Fail(why, "key without a value");
            break;
        }
        uint8_t decoded[32];
        if (section == Section::Interface) {
            if (key == "privatekey") {
                ok = DecodeKey(value, decoded) || Fail(why, "malformed private key");
                if (ok) {
                    if (!config.private_key.empty()) {
                        std::memset(config.private_key.data(), 0, config.private_key.size());
                    }
                    config.private_key.assign(value);
                }
                std::memset(decoded, 0, sizeof(decoded));
            } else if (key == "listenport") {
                config.listen_port = Number(value, 0, 65535);
                ok = config.listen_port.has_value() || Fail(why, "malformed listen port");
            } else if (key == "mtu") {
                config.mtu = Number(value, 576, 65535);
                ok = config.mtu.has_value() || Fail(why, "malformed MTU");
            } else if (key == "address") {
                std::vector<std::string_view> pieces;
                ok = SplitList(value, pieces) || Fail(why, "empty address list entry");
                for (size_t i = 0; ok && i < pieces.size(); ++i) {
                    SimAllowedIp ip;
                    ok = ParseIpCidr(pieces[i], ip) || Fail(why, "malformed address");
                }
                config.address_count += ok ? pieces.size() : 0;
            } else if (key == "dns") {
                std::vector<std::string_view> pieces;
                ok = SplitList(value, pieces) || Fail(why, "empty DNS list entry");
                config.dns_count += ok ? pieces.size() : 0;
            } else if (key == "table") {
                ok = IsTableValue(value) || Fail(why, "malformed table");
            } else if (key == "preup" || key == "postup" || key == "predown" || key == "postdown") {
                // Accepted by the parser, but a tunnel with scripts does not start unless an
                // administrator enabled them, which no test does.
                ok = Fail(why, "scripts are not enabled");
            } else {
                ok = Fail(why, "unknown key in [Interface]");
            }
        } else {
            SimPeer& peer = config.peers.back();
            if (key == "publickey") {
                ok = DecodeKey(value, decoded) || Fail(why, "malformed public key");
                if (ok) {
                    peer.public_key.assign(IsAllZero(decoded) ? std::string_view() : value);
                }
            } else if (key == "presharedkey") {
                ok = DecodeKey(value, decoded) || Fail(why, "malformed preshared key");
                if (ok) {
                    peer.preshared_key.assign(value);
                }
                std::memset(decoded, 0, sizeof(decoded));
            } else if (key == "allowedips") {
                std::vector<std::string_view> pieces;
                ok = SplitList(value, pieces) || Fail(why, "empty allowed IP list entry");
                for (size_t i = 0; ok && i < pieces.size(); ++i) {
                    SimAllowedIp ip;
                    ok = ParseIpCidr(pieces[i], ip) || Fail(why, "malformed allowed IP");
                    if (ok) {
                        peer.allowed_ips.push_back(std::move(ip));
                    }
                }
            } else if (key == "persistentkeepalive") {
                peer.persistent_keepalive =
                    value == "off" ? std::optional<uint16_t>(0) : Number(value, 0, 65535);
                ok = peer.persistent_keepalive.has_value() ||
                     Fail(why, "malformed persistent keepalive");
            } else if (key == "endpoint") {
                ok = IsEndpoint(value) || Fail(why, "malformed endpoint");
                if (ok) {
                    peer.endpoint.assign(value);
                }
            } else {
                ok = Fail(why, "unknown key in [Peer]");
            }
        }
    }
    if (ok && config.private_key.empty()) {
        ok = Fail(why, "no private key");
    }
    for (size_t i = 0; ok && i < config.peers.size(); ++i) {
        if (config.peers[i].public_key.empty()) {
            ok = Fail(why, "a peer without a public key");
        }
    }
    if (!ok) {
        config.Wipe();
    }
    return ok;
}

bool IsValidTunnelName(std::wstring_view name) {
    if (name.empty() || name.size() > 32) {
        return false;
    }
    for (wchar_t c : name) {
        const bool plain =
            (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
        if (!plain && c != L'_' && c != L'=' && c != L'+' && c != L'.' && c != L'-') {
            return false;
        }
    }
    static const wchar_t* const kReserved[] = {L"CON",  L"PRN",  L"AUX",  L"NUL",  L"COM1", L"COM2",
                                               L"COM3", L"COM4", L"COM5", L"COM6", L"COM7", L"COM8",
                                               L"COM9", L"LPT1", L"LPT2", L"LPT3", L"LPT4", L"LPT5",
                                               L"LPT6", L"LPT7", L"LPT8", L"LPT9"};
    const size_t dot = name.rfind(L'.');
    for (std::wstring_view candidate :
         {name, dot == std::wstring_view::npos ? name : name.substr(0, dot)}) {
        for (const wchar_t* reserved : kReserved) {
            if (candidate.size() == wcslen(reserved) &&
                _wcsnicmp(candidate.data(), reserved, candidate.size()) == 0) {
                return false;
            }
        }
    }
    return true;
}

std::optional<std::wstring> TunnelNameFromConfigPath(std::wstring_view path) {
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring_view file = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
    constexpr std::wstring_view kSuffix = L".conf";
    if (file.size() <= kSuffix.size() || file.substr(file.size() - kSuffix.size()) != kSuffix) {
        return std::nullopt;
    }
    const std::wstring_view name = file.substr(0, file.size() - kSuffix.size());
    if (!IsValidTunnelName(name)) {
        return std::nullopt;
    }
    return std::wstring(name);
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
        uint8_t key[32] = {};
        if (DecodeKey(peer.public_key, key)) {
            std::memcpy(&image[at + kImagePeerPublicKeyOffset], key, sizeof(key));
        }
        PutImageAllowedIps(image, at, peer.allowed_ips);
    }
    return image;
}

void PutImageAllowedIps(std::vector<uint8_t>& image, size_t peer_at,
                        const std::vector<SimAllowedIp>& allowed_ips) {
    PutImageU32(image, peer_at + kImagePeerAllowedIpCountOffset,
                static_cast<uint32_t>(allowed_ips.size()));
    size_t ip_at = peer_at + kImagePeerSize;
    for (const SimAllowedIp& ip : allowed_ips) {
        std::memcpy(&image[ip_at], ip.address, sizeof(ip.address));
        image[ip_at + 16] = static_cast<uint8_t>(ip.family);
        image[ip_at + 17] = static_cast<uint8_t>(ip.family >> 8);
        image[ip_at + 18] = ip.cidr;
        ip_at += kImageAllowedIpSize;
    }
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

namespace {
constexpr LONGLONG kMaxConfigFileSize = 1024 * 1024;
}  // namespace

uint32_t ReadTunnelFile(const std::wstring& path, std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD error = NO_ERROR;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size)) {
        error = GetLastError();
    } else if (size.QuadPart <= 0 || size.QuadPart > kMaxConfigFileSize) {
        error = ERROR_BAD_FORMAT;
    } else {
        text.resize(static_cast<size_t>(size.QuadPart));
        DWORD done = 0;
        while (done < text.size()) {
            DWORD got = 0;
            if (!ReadFile(file, &text[done], static_cast<DWORD>(text.size()) - done, &got,
                          nullptr)) {
                error = GetLastError();
                break;
            }
            if (got == 0) {
                error = ERROR_HANDLE_EOF;
                break;
            }
            done += got;
        }
    }
    CloseHandle(file);
    return error;
}

}  // namespace lumet::sim
