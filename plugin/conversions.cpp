#include "plugin/conversions.h"

#include <limits>
#include <utility>

#include "common/payload.h"

namespace lumet_windows_vpn {

using lumet::common::PayloadReader;
using lumet::common::PayloadWriter;
using lumet::common::SecureBuffer;
using lumet::common::Status;

int64_t ClampToInt64(uint64_t value) {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return static_cast<int64_t>(value > kMax ? kMax : value);
}

std::string ErrorCodeFor(Status status, std::string_view unavailable_code) {
    switch (status) {
        case Status::ProtocolMismatch:
            return kVersionMismatchCode;
        case Status::Unavailable:
        case Status::ConnectTimeout:
            return std::string(unavailable_code);
        default:
            return kInternalCode;
    }
}

LumetNativeErrorKind NativeErrorKindFor(Status status) {
    switch (status) {
        case Status::Ok:
            return LumetNativeErrorKind::kNone;
        case Status::Unavailable:
            return LumetNativeErrorKind::kAgentUnavailable;
        case Status::ProtocolMismatch:
            return LumetNativeErrorKind::kVersionMismatch;
        case Status::ConnectTimeout:
            return LumetNativeErrorKind::kConnectTimeout;
        default:
            return LumetNativeErrorKind::kInternal;
    }
}

LumetVersionInfo ToVersionInfo(const lumet::common::HelloInfo& hello) {
    ::flutter::EncodableList capabilities;
    capabilities.reserve(hello.capabilities.size());
    for (const std::string& capability : hello.capabilities) {
        capabilities.emplace_back(capability);
    }
    return LumetVersionInfo(static_cast<int64_t>(hello.protocol), hello.version, capabilities);
}

LumetAgentHealth ToAgentHealth(const lumet::common::AgentHealthRecord& record) {
    return LumetAgentHealth(ComponentStateFromValue(record.state), ToVersionInfo(record.hello),
                            static_cast<int64_t>(record.session_id), record.generation_text,
                            record.service_link_up);
}

LumetServiceHealth ToServiceHealth(const lumet::common::ServiceHealthRecord& record) {
    // Taken bit for bit: an uptime cannot come near 2^63 seconds.
    return LumetServiceHealth(ComponentStateFromValue(record.state), ToVersionInfo(record.hello),
                              record.generation_text, static_cast<int64_t>(record.uptime_seconds));
}

LumetWireGuardStatus ToWireGuardStatus(const lumet::common::WireGuardStatusRecord& record) {
    return LumetWireGuardStatus(ComponentStateFromValue(record.state), record.adapter_present,
                                ClampToInt64(record.rx_bytes), ClampToInt64(record.tx_bytes),
                                ClampToInt64(record.last_handshake_ms),
                                static_cast<int64_t>(record.error));
}

LumetOpenVpnStatus ToOpenVpnStatus(const lumet::common::OpenVpnStatusRecord& record) {
    return LumetOpenVpnStatus(
        OpenVpnStateFromValue(record.state), record.running, ClampToInt64(record.bytes_in),
        ClampToInt64(record.bytes_out), ClampToInt64(record.connected_since_ms),
        OpenVpnErrorKindFromValue(record.error), static_cast<int64_t>(record.attempt));
}

LumetOpenVpnCapabilities ToOpenVpnCapabilities(
    const lumet::common::OpenVpnCapabilitiesRecord& record) {
    return LumetOpenVpnCapabilities(TriStateFromValue(record.openvpn_found), record.openvpn_version,
                                    TriStateFromValue(record.interactive_service_installed),
                                    TriStateFromValue(record.interactive_service_running),
                                    TriStateFromValue(record.spare_1),
                                    TriStateFromValue(record.spare_2));
}

namespace {

template <typename Record, typename Result, typename Convert>
std::optional<Result> ReadRecord(std::span<const uint8_t> body, Convert convert) {
    PayloadReader reader(body);
    Record record;
    if (!lumet::common::Read(reader, &record) || !reader.Ok()) {
        return std::nullopt;
    }
    return convert(record);
}

}  // namespace

std::optional<LumetAgentHealth> ReadAgentHealth(std::span<const uint8_t> body) {
    return ReadRecord<lumet::common::AgentHealthRecord, LumetAgentHealth>(body, &ToAgentHealth);
}

std::optional<LumetServiceHealth> ReadServiceHealth(std::span<const uint8_t> body) {
    return ReadRecord<lumet::common::ServiceHealthRecord, LumetServiceHealth>(body,
                                                                              &ToServiceHealth);
}

std::optional<LumetWireGuardStatus> ReadWireGuardStatus(std::span<const uint8_t> body) {
    return ReadRecord<lumet::common::WireGuardStatusRecord, LumetWireGuardStatus>(
        body, &ToWireGuardStatus);
}

std::optional<LumetOpenVpnStatus> ReadOpenVpnStatus(std::span<const uint8_t> body) {
    return ReadRecord<lumet::common::OpenVpnStatusRecord, LumetOpenVpnStatus>(body,
                                                                              &ToOpenVpnStatus);
}

std::optional<LumetOpenVpnCapabilities> ReadOpenVpnCapabilities(std::span<const uint8_t> body) {
    return ReadRecord<lumet::common::OpenVpnCapabilitiesRecord, LumetOpenVpnCapabilities>(
        body, &ToOpenVpnCapabilities);
}

std::optional<SecureBuffer> WireGuardStartBody(std::string_view config) {
    PayloadWriter writer;  // wipes whatever it still holds when it goes away
    if (!writer.WriteString(config)) {
        return std::nullopt;
    }
    return SecureBuffer(writer.Take());
}

std::optional<SecureBuffer> OpenVpnStartBody(std::string_view config, std::string_view username,
                                             std::string_view password) {
    PayloadWriter writer;
    if (!writer.WriteString(config) || !writer.WriteString(username) ||
        !writer.WriteString(password)) {
        return std::nullopt;
    }
    return SecureBuffer(writer.Take());
}

LumetNativeHealth MakeNativeHealth(uint32_t session_id, bool agent_reachable, bool service_link_up,
                                   Status link_status) {
    return LumetNativeHealth(LumetComponentState::kRunning, kPluginProtocol,
                             lumet::common::kVersionText, static_cast<int64_t>(session_id),
                             agent_reachable, service_link_up, NativeErrorKindFor(link_status));
}

}  // namespace lumet_windows_vpn
