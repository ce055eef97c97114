// The message catalogue: message types, reply status codes, the records carried in message
// bodies, the hello identity of each server and the generation text.
//
// Every reply body opens with a u16 Status; a reply whose status is not Ok carries nothing more.
// Each record has a writer and a reader that handle its fields in wire order. A reader stops at
// the first field that fails and leaves the PayloadReader failed; the record is then partly filled
// and must be discarded. A writer returns false only when a text or list exceeds the payload
// limits; the writer then holds a partial body that must not be sent.
//
// Everything here is pure and re-entrant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/frame.h"
#include "common/payload.h"

namespace lumet::common {

enum class MessageType : uint16_t {
    Hello = 1,
    Ping = 2,
    ServiceHealth = 3,
    AgentHealth = 4,
    WireGuardStart = 5,
    WireGuardStop = 6,
    WireGuardStatus = 7,
    OpenVpnCapabilities = 8,
    OpenVpnStart = 9,
    OpenVpnStop = 10,
    OpenVpnStatus = 11,
    StageOpenVpnConfig = 12,
    DeleteStagedOpenVpnConfig = 13,
    ReportOpenVpnActivity = 14
};

// Opens every reply body; clients also use these numbers as the state of their link.
enum class Status : uint16_t {
    Ok = 0,
    BadRequest = 1,
    UnsupportedType = 2,
    ProtocolMismatch = 3,
    Unavailable = 4,
    Failed = 5,
    NotPermitted = 6,
    ConnectTimeout = 7
};

inline constexpr char kVersionText[] = "0.1.0-w6a";

// Identity a server announces in its Hello reply and inside its health record. Capabilities are
// informational only; the protocol number alone decides whether two peers can talk.
struct HelloInfo {
    uint16_t protocol = kProtocolVersion;
    std::string version;
    std::vector<std::string> capabilities;

    friend bool operator==(const HelloInfo&, const HelloInfo&) = default;
};

// kVersionText with "control-plane", "health", "events", "wireguard", "vpn-activity".
HelloInfo AgentHelloInfo();
// kVersionText with "control-plane", "health", "wireguard", "openvpn-staging", "vpn-activity".
HelloInfo ServiceHelloInfo();

struct ServiceHealthRecord {
    uint8_t state = 0;  // component state; the service always reports running (2)
    HelloInfo hello;
    std::string generation_text;
    uint64_t uptime_seconds = 0;

    friend bool operator==(const ServiceHealthRecord&, const ServiceHealthRecord&) = default;
};

// Wire order: state, hello, session_id, generation_text, service_link_up.
struct AgentHealthRecord {
    uint8_t state = 0;  // component state; the agent always reports running (2)
    HelloInfo hello;
    uint32_t session_id = 0;
    std::string generation_text;
    bool service_link_up = false;

    friend bool operator==(const AgentHealthRecord&, const AgentHealthRecord&) = default;
};

struct WireGuardStatusRecord {
    uint8_t state = 0;  // 2 adapter present, 1 tunnel service without adapter, 4 no tunnel service
    bool adapter_present = false;
    uint64_t rx_bytes = 0;
    uint64_t tx_bytes = 0;
    uint64_t last_handshake_ms = 0;  // ms since 1970-01-01 UTC, 0 when none
    uint16_t error = 0;

    friend bool operator==(const WireGuardStatusRecord&, const WireGuardStatusRecord&) = default;
};

struct OpenVpnStatusRecord {
    uint8_t state = 0;  // management-interface state numbering
    bool running = false;
    uint64_t bytes_in = 0;
    uint64_t bytes_out = 0;
    uint64_t connected_since_ms = 0;  // ms since 1970-01-01 UTC, 0 before the first connect
    uint16_t error = 0;
    uint32_t attempt = 0;

    friend bool operator==(const OpenVpnStatusRecord&, const OpenVpnStatusRecord&) = default;
};

// The u8 fields other than the spares are tri-state: 0 unknown, 1 yes, 2 no.
struct OpenVpnCapabilitiesRecord {
    uint8_t openvpn_found = 0;
    std::string openvpn_version;  // empty unless openvpn_found is yes
    uint8_t interactive_service_installed = 0;
    uint8_t interactive_service_running = 0;
    uint8_t spare_1 = 0;
    uint8_t spare_2 = 0;

    friend bool operator==(const OpenVpnCapabilitiesRecord&,
                           const OpenVpnCapabilitiesRecord&) = default;
};

// Request body of ReportOpenVpnActivity.
struct OpenVpnActivityReport {
    bool active = false;
    uint32_t attempt = 0;
    uint32_t openvpn_pid = 0;  // 0 when no openvpn.exe runs

    friend bool operator==(const OpenVpnActivityReport&, const OpenVpnActivityReport&) = default;
};

bool Write(PayloadWriter& writer, const HelloInfo& record);
bool Read(PayloadReader& reader, HelloInfo* record);
bool Write(PayloadWriter& writer, const ServiceHealthRecord& record);
bool Read(PayloadReader& reader, ServiceHealthRecord* record);
bool Write(PayloadWriter& writer, const AgentHealthRecord& record);
bool Read(PayloadReader& reader, AgentHealthRecord* record);
bool Write(PayloadWriter& writer, const WireGuardStatusRecord& record);
bool Read(PayloadReader& reader, WireGuardStatusRecord* record);
bool Write(PayloadWriter& writer, const OpenVpnStatusRecord& record);
bool Read(PayloadReader& reader, OpenVpnStatusRecord* record);
bool Write(PayloadWriter& writer, const OpenVpnCapabilitiesRecord& record);
bool Read(PayloadReader& reader, OpenVpnCapabilitiesRecord* record);
bool Write(PayloadWriter& writer, const OpenVpnActivityReport& record);
bool Read(PayloadReader& reader, OpenVpnActivityReport* record);

void WriteStatus(PayloadWriter& writer, Status status);
// Reads the u16 that opens a reply body. Any value is accepted: a peer may know codes this build
// does not, and the caller treats every value other than Ok as a failure.
bool ReadStatus(PayloadReader& reader, Status* status);
// A complete reply body made of the status alone.
std::vector<uint8_t> StatusOnly(Status status);

// "<pid in decimal>-0x<value as 8 upper-case hex digits>", e.g. 4242-0x0000BEEF.
std::string FormatGenerationText(uint32_t pid, uint32_t value);
// A generation number is never 0, so that a stored 0 always means "no handshake yet".
uint32_t NonZeroGeneration(uint32_t value);

}  // namespace lumet::common
