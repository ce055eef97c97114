// What the plugin makes of the agent's answers: reply bodies read into the data classes (with the
// enum rules and 64-bit clamping), link statuses turned into the error codes Dart sees, and the
// request bodies of the methods that carry arguments.
//
// Pure and re-entrant.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/messages.h"
#include "common/secure_buffer.h"
#include "plugin/host_api.h"

namespace lumet_windows_vpn {

// Dart's int is signed 64-bit: larger unsigned counters are held at 2^63-1.
int64_t ClampToInt64(uint64_t value);

// Codes of the error answers; message empty, details null.
inline constexpr char kVersionMismatchCode[] = "VERSION_MISMATCH";
inline constexpr char kAgentUnavailableCode[] = "AGENT_UNAVAILABLE";
inline constexpr char kServiceUnavailableCode[] = "SERVICE_UNAVAILABLE";
inline constexpr char kInternalCode[] = "INTERNAL";

// The error code for a call that got no Ok reply: ProtocolMismatch -> "VERSION_MISMATCH",
// Unavailable and ConnectTimeout -> `unavailable_code` (the method's own), anything else
// -> "INTERNAL".
std::string ErrorCodeFor(lumet::common::Status status, std::string_view unavailable_code);

// Ok -> none, Unavailable -> agentUnavailable, ProtocolMismatch -> versionMismatch,
// ConnectTimeout -> connectTimeout, any other status -> internal.
LumetNativeErrorKind NativeErrorKindFor(lumet::common::Status status);

LumetVersionInfo ToVersionInfo(const lumet::common::HelloInfo& hello);
LumetAgentHealth ToAgentHealth(const lumet::common::AgentHealthRecord& record);
LumetServiceHealth ToServiceHealth(const lumet::common::ServiceHealthRecord& record);
LumetWireGuardStatus ToWireGuardStatus(const lumet::common::WireGuardStatusRecord& record);
LumetOpenVpnStatus ToOpenVpnStatus(const lumet::common::OpenVpnStatusRecord& record);
LumetOpenVpnCapabilities ToOpenVpnCapabilities(
    const lumet::common::OpenVpnCapabilitiesRecord& record);

// Readers of an Ok reply's body (the bytes after the status): nothing when a field is missing or
// unreadable. Bytes after the record are ignored.
std::optional<LumetAgentHealth> ReadAgentHealth(std::span<const uint8_t> body);
std::optional<LumetServiceHealth> ReadServiceHealth(std::span<const uint8_t> body);
std::optional<LumetWireGuardStatus> ReadWireGuardStatus(std::span<const uint8_t> body);
std::optional<LumetOpenVpnStatus> ReadOpenVpnStatus(std::span<const uint8_t> body);
std::optional<LumetOpenVpnCapabilities> ReadOpenVpnCapabilities(std::span<const uint8_t> body);

// Request bodies that carry secrets, built straight into wiped buffers. Nothing when a text is
// longer than a wire string may be (32768 bytes); the caller then answers BadRequest without
// sending anything.
std::optional<lumet::common::SecureBuffer> WireGuardStartBody(std::string_view config);
std::optional<lumet::common::SecureBuffer> OpenVpnStartBody(std::string_view config,
                                                            std::string_view username,
                                                            std::string_view password);

// The plugin's own health answer from an agent probe.
inline constexpr int64_t kPluginProtocol = 6;
LumetNativeHealth MakeNativeHealth(uint32_t session_id, bool agent_reachable, bool service_link_up,
                                   lumet::common::Status link_status);

}  // namespace lumet_windows_vpn
