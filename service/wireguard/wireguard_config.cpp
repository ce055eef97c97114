#include "service/wireguard/wireguard_config.h"

#include <charconv>
#include <utility>

#include "common/secure_buffer.h"
#include "service/wireguard/text_platform.h"

namespace lumet::service::wireguard {
namespace {

constexpr size_t kMaxHostNameLength = 253;
constexpr size_t kKeyTextLength = 44;
constexpr size_t kMaxNumberDigits = 5;
constexpr std::string_view kAllZeroKey = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Compares without making a lower-cased copy: the line may hold a private key.
bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lower[i]) {
            return false;
        }
    }
    return true;
}

// Base64 value of one alphabet character, or -1.
int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (IsDigit(c)) {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

// 32 bytes in base64: 43 characters and one "=". The 43rd character carries only 4 data bits, so
// its two low bits must be zero; anything else is not the encoding of exactly 32 bytes.
bool IsWireGuardKey(std::string_view v) {
    if (v.size() != kKeyTextLength || v[kKeyTextLength - 1] != '=') {
        return false;
    }
    for (size_t i = 0; i + 1 < kKeyTextLength; ++i) {
        if (Base64Value(v[i]) < 0) {
            return false;
        }
    }
    return Base64Value(v[kKeyTextLength - 2]) % 4 == 0;
}

// 1 to 5 decimal digits and nothing else; leading zeros allowed.
std::optional<uint32_t> ParseDecimal(std::string_view v) {
    if (v.empty() || v.size() > kMaxNumberDigits) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : v) {
        if (!IsDigit(c)) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

std::optional<uint16_t> ParseNumberInRange(std::string_view v, uint32_t low, uint32_t high) {
    const std::optional<uint32_t> value = ParseDecimal(v);
    if (!value || *value < low || *value > high) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(*value);
}

bool IsHostNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '-' || c == '.';
}

// 1 to 253 characters of A-Z, a-z, 0-9, "-" and ".", not beginning with "." or "-". A DNS server
// name may not end in "." and an endpoint host may not end in "-"; the caller names which.
bool IsHostName(std::string_view s, char forbidden_last) {
    if (s.empty() || s.size() > kMaxHostNameLength) {
        return false;
    }
    if (s.front() == '.' || s.front() == '-' || s.back() == forbidden_last) {
        return false;
    }
    for (char c : s) {
        if (!IsHostNameCharacter(c)) {
            return false;
        }
    }
    return true;
}

// An address with an optional "/prefix". The prefix, when there is a "/", is written the way
// the tunnel service reads it: 1 to 3 digits, no leading zero (so "/" alone and "/032" fail),
// at most 32 for IPv4 and 128 for IPv6. Host bits are not checked.
bool IsAddressWithPrefix(std::string_view entry) {
    const size_t slash = entry.find('/');
    const std::string_view address = entry.substr(0, slash);
    uint32_t max_prefix = 0;
    if (IsIpv4Text(address)) {
        max_prefix = 32;
    } else if (IsIpv6Text(address)) {
        max_prefix = 128;
    } else {
        return false;
    }
    if (slash == std::string_view::npos) {
        return true;
    }
    const std::string_view prefix = entry.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 3 || (prefix.size() > 1 && prefix.front() == '0')) {
        return false;
    }
    const std::optional<uint32_t> bits = ParseDecimal(prefix);
    return bits && *bits <= max_prefix;
}

bool IsDnsServer(std::string_view entry) {
    if (entry.find('/') != std::string_view::npos) {
        return false;
    }
    return IsIpv4Text(entry) || IsIpv6Text(entry) || IsHostName(entry, /*forbidden_last=*/'.');
}

// "[" IPv6 "]:" port, or host ":" port with the port after the last ":".
bool IsEndpoint(std::string_view v) {
    std::string_view port;
    if (!v.empty() && v.front() == '[') {
        const size_t close = v.find(']');
        if (close == std::string_view::npos || !IsIpv6Text(v.substr(1, close - 1))) {
            return false;
        }
        if (close + 1 >= v.size() || v[close + 1] != ':') {
            return false;
        }
        port = v.substr(close + 2);
    } else {
        const size_t colon = v.rfind(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        const std::string_view host = v.substr(0, colon);
        // A ":" left in the host is an IPv6 address without brackets, where the port cannot be
        // told apart from the last group.
        if (host.empty() || host.find(':') != std::string_view::npos) {
            return false;
        }
        if (!IsIpv4Text(host) && !IsHostName(host, /*forbidden_last=*/'-')) {
            return false;
        }
        port = v.substr(colon + 1);
    }
    return ParseNumberInRange(port, 1, 65535).has_value();
}

// Splits at every ",", trims each piece and checks it; appends the pieces to `out` only when the
// whole list is valid.
bool AppendList(std::string_view value, size_t limit, bool (*is_valid_entry)(std::string_view),
                std::vector<std::string>& out) {
    size_t pieces = 1;
    for (char c : value) {
        pieces += c == ',' ? 1 : 0;
    }
    if (pieces > limit) {
        return false;
    }
    for (size_t start = 0;;) {
        const size_t comma = value.find(',', start);
        const std::string_view piece = Trim(value.substr(start, comma - start));
        if (piece.empty() || !is_valid_entry(piece)) {
            return false;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    for (size_t start = 0;;) {
        const size_t comma = value.find(',', start);
        out.emplace_back(Trim(value.substr(start, comma - start)));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return true;
}

uint16_t ApplyInterfaceKey(std::string_view key, std::string_view value,
                           WireGuardInterface& iface) {
    if (EqualsIgnoringCase(key, "privatekey")) {
        if (!iface.private_key.empty()) {
            return config_code::kRepeatedKey;
        }
        if (!IsWireGuardKey(value)) {
            return config_code::kInvalidKey;
        }
        iface.private_key.assign(value);
        return config_code::kAccepted;
    }
    if (EqualsIgnoringCase(key, "address")) {
        return AppendList(value, kMaxAddressesPerLine, IsAddressWithPrefix, iface.addresses)
                   ? config_code::kAccepted
                   : config_code::kInvalidAddress;
    }
    if (EqualsIgnoringCase(key, "dns")) {
        return AppendList(value, kMaxDnsServersPerLine, IsDnsServer, iface.dns_servers)
                   ? config_code::kAccepted
                   : config_code::kInvalidDns;
    }
    if (EqualsIgnoringCase(key, "mtu")) {
        if (iface.mtu) {
            return config_code::kRepeatedKey;
        }
        iface.mtu = ParseNumberInRange(value, 1280, 1500);
        return iface.mtu ? config_code::kAccepted : config_code::kInvalidNumber;
    }
    if (EqualsIgnoringCase(key, "listenport")) {
        if (iface.listen_port) {
            return config_code::kRepeatedKey;
        }
        iface.listen_port = ParseNumberInRange(value, 0, 65535);
        return iface.listen_port ? config_code::kAccepted : config_code::kInvalidNumber;
    }
    return config_code::kUnknownKey;
}

uint16_t ApplyPeerKey(std::string_view key, std::string_view value, WireGuardPeer& peer) {
    if (EqualsIgnoringCase(key, "publickey")) {
        if (!peer.public_key.empty()) {
            return config_code::kRepeatedKey;
        }
        // The tunnel service treats an all-zero public key as no key at all and refuses the peer.
        if (!IsWireGuardKey(value) || value == kAllZeroKey) {
            return config_code::kInvalidKey;
        }
        peer.public_key.assign(value);
        return config_code::kAccepted;
    }
    if (EqualsIgnoringCase(key, "presharedkey")) {
        if (peer.preshared_key) {
            return config_code::kRepeatedKey;
        }
        if (!IsWireGuardKey(value)) {
            return config_code::kInvalidKey;
        }
        peer.preshared_key.emplace(value);
        return config_code::kAccepted;
    }
    if (EqualsIgnoringCase(key, "endpoint")) {
        if (!peer.endpoint.empty()) {
            return config_code::kRepeatedKey;
        }
        if (!IsEndpoint(value)) {
            return config_code::kInvalidEndpoint;
        }
        peer.endpoint.assign(value);
        return config_code::kAccepted;
    }
    if (EqualsIgnoringCase(key, "allowedips")) {
        return AppendList(value, kMaxAllowedIpsPerLine, IsAddressWithPrefix, peer.allowed_ips)
                   ? config_code::kAccepted
                   : config_code::kInvalidAddress;
    }
    if (EqualsIgnoringCase(key, "persistentkeepalive")) {
        if (peer.persistent_keepalive) {
            return config_code::kRepeatedKey;
        }
        // "off" is the tunnel service's own spelling of 0 (lower case only, as it reads it).
        peer.persistent_keepalive =
            value == "off" ? std::optional<uint16_t>(0) : ParseNumberInRange(value, 0, 65535);
        return peer.persistent_keepalive ? config_code::kAccepted : config_code::kInvalidNumber;
    }
    return config_code::kUnknownKey;
}

uint16_t CheckWholeText(std::string_view text) {
    if (text.empty()) {
        return config_code::kEmptyText;
    }
    if (text.size() > kMaxConfigTextBytes) {
        return config_code::kTextTooLong;
    }
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t' && b != '\n' && b != '\r') || b == 0x7F) {
            return config_code::kControlByte;
        }
    }
    return IsValidUtf8(text) ? config_code::kAccepted : config_code::kInvalidUtf8;
}

enum class Section { kNone, kInterface, kPeer };

uint16_t ReadLines(std::string_view text, WireGuardConfig& config) {
    // Peers are moved, never copied, but reserving the maximum up front means the vector never
    // reallocates while it holds preshared keys.
    config.peers.reserve(kMaxPeers);
    Section section = Section::kNone;
    bool seen_interface = false;
    size_t start = 0;
    for (;;) {
        const size_t lf = text.find('\n', start);
        const std::string_view raw = text.substr(start, lf - start);
        if (raw.size() > kMaxConfigLineBytes) {
            return config_code::kLineTooLong;
        }
        const std::string_view line = Trim(raw.substr(0, raw.find('#')));
        if (line.empty()) {
            // Blank or comment only.
        } else if (EqualsIgnoringCase(line, "[interface]")) {
            // A repeated [Interface] header reopens the same record, so its single-valued keys
            // still count as given (a second PrivateKey is a repeat, not a replacement).
            section = Section::kInterface;
            seen_interface = true;
        } else if (EqualsIgnoringCase(line, "[peer]")) {
            if (!seen_interface) {
                return config_code::kMissingInterface;
            }
            if (config.peers.size() >= kMaxPeers) {
                return config_code::kTooManyPeers;
            }
            config.peers.emplace_back();
            section = Section::kPeer;
        } else if (line.front() == '[') {
            return config_code::kUnknownSection;
        } else if (section == Section::kNone) {
            return config_code::kKeyOutsideSection;
        } else {
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos) {
                return config_code::kMalformedLine;
            }
            const std::string_view key = Trim(line.substr(0, eq));
            const std::string_view value = Trim(line.substr(eq + 1));
            if (value.empty()) {
                return config_code::kEmptyValue;
            }
            const uint16_t code = section == Section::kInterface
                                      ? ApplyInterfaceKey(key, value, config.iface)
                                      : ApplyPeerKey(key, value, config.peers.back());
            if (code != config_code::kAccepted) {
                return code;
            }
        }
        if (lf == std::string_view::npos) {
            break;
        }
        start = lf + 1;
    }

    if (!seen_interface) {
        return config_code::kMissingInterface;
    }
    if (config.iface.private_key.empty()) {
        return config_code::kMissingPrivateKey;
    }
    if (config.iface.addresses.empty()) {
        return config_code::kInvalidAddress;
    }
    if (config.peers.empty()) {
        return config_code::kNoPeer;
    }
    for (const WireGuardPeer& peer : config.peers) {
        if (peer.public_key.empty()) {
            return config_code::kPeerWithoutPublicKey;
        }
        if (peer.endpoint.empty()) {
            return config_code::kPeerWithoutEndpoint;
        }
        if (peer.allowed_ips.empty()) {
            return config_code::kPeerWithoutAllowedIps;
        }
    }
    return config_code::kAccepted;
}

// Writes the canonical form into `sink`, a callable taking std::string_view. Run once to count
// and once to fill, so the output buffer is allocated exactly once.
template <typename Sink>
void EmitCanonical(const WireGuardConfig& config, Sink&& sink) {
    const auto number = [&sink](uint16_t value) {
        char digits[8];
        // Cannot fail: a u16 has at most five digits.
        const std::to_chars_result r = std::to_chars(digits, digits + sizeof(digits), value);
        sink(std::string_view(digits, static_cast<size_t>(r.ptr - digits)));
    };
    const auto joined = [&sink](const std::vector<std::string>& entries) {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i > 0) {
                sink(", ");
            }
            sink(entries[i]);
        }
    };

    const WireGuardInterface& iface = config.iface;
    sink("[Interface]\n");
    sink("PrivateKey = ");
    sink(iface.private_key);
    sink("\nAddress = ");
    joined(iface.addresses);
    sink("\n");
    if (!iface.dns_servers.empty()) {
        sink("DNS = ");
        joined(iface.dns_servers);
        sink("\n");
    }
    if (iface.mtu) {
        sink("MTU = ");
        number(*iface.mtu);
        sink("\n");
    }
    if (iface.listen_port) {
        sink("ListenPort = ");
        number(*iface.listen_port);
        sink("\n");
    }
    for (const WireGuardPeer& peer : config.peers) {
        sink("\n[Peer]\nPublicKey = ");
        sink(peer.public_key);
        sink("\n");
        if (peer.preshared_key) {
            sink("PresharedKey = ");
            sink(*peer.preshared_key);
            sink("\n");
        }
        sink("AllowedIPs = ");
        joined(peer.allowed_ips);
        sink("\nEndpoint = ");
        sink(peer.endpoint);
        sink("\n");
        if (peer.persistent_keepalive) {
            sink("PersistentKeepalive = ");
            number(*peer.persistent_keepalive);
            sink("\n");
        }
    }
}

}  // namespace

WireGuardConfig& WireGuardConfig::operator=(WireGuardConfig&& other) noexcept {
    if (this != &other) {
        // Move-assigning a string may free this object's buffer without clearing it first.
        Wipe();
        iface = std::move(other.iface);
        peers = std::move(other.peers);
    }
    return *this;
}

void WireGuardConfig::Wipe() {
    common::WipeString(iface.private_key);
    for (WireGuardPeer& peer : peers) {
        if (peer.preshared_key) {
            common::WipeString(*peer.preshared_key);
        }
    }
    iface = WireGuardInterface{};
    peers.clear();
}

uint16_t ReadWireGuardConfig(std::string_view text, WireGuardConfig& config) {
    config.Wipe();
    uint16_t code = CheckWholeText(text);
    if (code == config_code::kAccepted) {
        code = ReadLines(text, config);
    }
    if (code != config_code::kAccepted) {
        config.Wipe();
    }
    return code;
}

std::string RenderWireGuardConfig(const WireGuardConfig& config) {
    size_t size = 0;
    EmitCanonical(config, [&size](std::string_view piece) { size += piece.size(); });
    std::string out;
    out.reserve(size);
    EmitCanonical(config, [&out](std::string_view piece) { out.append(piece); });
    return out;
}

WireGuardConfigResult ParseWireGuardConfig(std::string_view text) {
    WireGuardConfigResult result;
    WireGuardConfig config;
    result.code = ReadWireGuardConfig(text, config);
    if (result.code == config_code::kAccepted) {
        result.canonical_text = RenderWireGuardConfig(config);
    }
    return result;
}

}  // namespace lumet::service::wireguard
