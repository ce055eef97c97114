// The WireGuard configuration model: a strict parser and validator for the INI text a client sends
// with a WireGuard start request, and the canonical renderer that produces the only text the
// service ever hands to the tunnel.
//
// Namespace lumet::service::wireguard. Pure logic: no I/O, no logging, no global state; every
// function here may be called from any thread at the same time. The only platform calls are the
// UTF-8 and address-text checks of service/wireguard/text_platform.h.
//
// Secrets: the text holds the interface's private key (and possibly preshared keys). The parser
// does not copy the input text as a whole; the model's key fields are overwritten with zeros when
// a WireGuardConfig goes away, and the canonical text is built in one pre-sized buffer so that no
// reallocation leaves a copy of the key in freed memory. The caller owns both the input text and
// the returned canonical text and must wipe them (lumet::common::WipeString) once they are written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumet::service::wireguard {

// Rejection codes of ParseWireGuardConfig. When a text has several faults, the first one met
// wins: the whole-text checks (1, 2, 4, 5) in that order, then the lines from the top, then the
// end-of-text checks (10, 18, 14, 22, then 19, 20, 21 for each peer in order).
namespace config_code {
inline constexpr uint16_t kAccepted = 0;
inline constexpr uint16_t kEmptyText = 1;
inline constexpr uint16_t kTextTooLong = 2;  // more than kMaxConfigTextBytes
inline constexpr uint16_t kLineTooLong = 3;  // a line (CR included) over kMaxConfigLineBytes
inline constexpr uint16_t kControlByte = 4;  // 0x00-0x1F except TAB, LF, CR; or 0x7F
inline constexpr uint16_t kInvalidUtf8 = 5;
inline constexpr uint16_t kKeyOutsideSection = 6;
inline constexpr uint16_t kMalformedLine = 7;  // not blank, comment, header, nor holding "="
inline constexpr uint16_t kEmptyValue = 8;
inline constexpr uint16_t kUnknownSection = 9;
inline constexpr uint16_t kMissingInterface = 10;  // [Peer] first, or no [Interface] at all
inline constexpr uint16_t kUnknownKey = 11;
inline constexpr uint16_t kRepeatedKey = 12;
inline constexpr uint16_t kInvalidKey = 13;
inline constexpr uint16_t kInvalidAddress = 14;  // also: no Address entry at all
inline constexpr uint16_t kInvalidEndpoint = 15;
inline constexpr uint16_t kInvalidNumber = 16;
inline constexpr uint16_t kInvalidDns = 17;
inline constexpr uint16_t kMissingPrivateKey = 18;
inline constexpr uint16_t kPeerWithoutPublicKey = 19;
inline constexpr uint16_t kPeerWithoutEndpoint = 20;
inline constexpr uint16_t kPeerWithoutAllowedIps = 21;
inline constexpr uint16_t kNoPeer = 22;
inline constexpr uint16_t kTooManyPeers = 23;
}  // namespace config_code

inline constexpr size_t kMaxConfigTextBytes = 32768;
inline constexpr size_t kMaxConfigLineBytes = 4096;
inline constexpr size_t kMaxPeers = 16;
// Entries one line may list. Repeated lines append, so a model may hold more than this, and the
// canonical text, which lists each kind on one line, may then exceed it.
inline constexpr size_t kMaxAddressesPerLine = 16;
inline constexpr size_t kMaxDnsServersPerLine = 16;
inline constexpr size_t kMaxAllowedIpsPerLine = 64;

// List entries (addresses, DNS servers, allowed IPs) and keys are kept exactly as written, after
// trimming; numbers are kept as values. An empty key text means "not given" (a given value is
// never empty).
struct WireGuardInterface {
    std::string private_key;  // secret
    std::vector<std::string> addresses;
    std::vector<std::string> dns_servers;
    std::optional<uint16_t> mtu;
    std::optional<uint16_t> listen_port;
};

struct WireGuardPeer {
    std::string public_key;
    std::optional<std::string> preshared_key;  // secret
    std::string endpoint;
    std::vector<std::string> allowed_ips;
    std::optional<uint16_t> persistent_keepalive;
};

// The parsed model. Move-only, so the secrets are never duplicated by accident; the private and
// preshared keys are overwritten with zeros on destruction and by Wipe().
class WireGuardConfig {
  public:
    WireGuardConfig() = default;
    ~WireGuardConfig() { Wipe(); }
    WireGuardConfig(WireGuardConfig&&) noexcept = default;
    WireGuardConfig& operator=(WireGuardConfig&& other) noexcept;
    WireGuardConfig(const WireGuardConfig&) = delete;
    WireGuardConfig& operator=(const WireGuardConfig&) = delete;

    // Zeroes the secret fields and empties the whole model.
    void Wipe();

    // Named `iface` because some Windows headers define `interface` as a macro.
    WireGuardInterface iface;
    std::vector<WireGuardPeer> peers;  // at most kMaxPeers, in the order of their sections
};

struct WireGuardConfigResult {
    uint16_t code = config_code::kAccepted;  // a config_code value
    // The canonical configuration, UTF-8, lines ended by LF. Set only when `code` is 0, empty
    // otherwise (no partial text is ever returned). It holds the private key: the caller wipes it
    // with lumet::common::WipeString as soon as it has been written out.
    std::string canonical_text;
};

// Parses, validates and, when everything passes, renders `text` (UTF-8 bytes, not NUL-terminated;
// may hold anything). Bad input never throws: it yields a non-zero code. Memory use is bounded by
// the size limits, so only std::bad_alloc could escape. The input is not modified; wiping it stays
// the caller's job. Which line failed is deliberately not reported.
WireGuardConfigResult ParseWireGuardConfig(std::string_view text);

// The two halves of ParseWireGuardConfig, for callers that need the model itself.
// ReadWireGuardConfig replaces `config` with the model of `text` and returns a config_code value;
// on a non-zero code `config` is left wiped and empty.
uint16_t ReadWireGuardConfig(std::string_view text, WireGuardConfig& config);
// Renders a model that ReadWireGuardConfig accepted. The result holds the private key.
std::string RenderWireGuardConfig(const WireGuardConfig& config);

}  // namespace lumet::service::wireguard
