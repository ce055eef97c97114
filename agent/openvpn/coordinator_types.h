// The OpenVPN coordinator's vocabulary: the error codes of an attempt and the start request.
//
// Pure: shared by the coordinator, its stager and the agent's dispatcher.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/secure_buffer.h"

namespace lumet::agent::openvpn {

// Why an attempt failed; 0 while none. The `error` of OpenVpnStatusRecord on the wire.
enum class OpenVpnError : uint16_t {
    None = 0,
    InvalidRequest = 1,         // profile fails validation, or a credential fails its value check
    UnsupportedProtocol = 2,    // the profile's "proto" is missing or not supported
    AttemptActive = 3,          // a start arrived while an attempt was running
    LaunchFailed = 5,           // no management port, or an unclassified interactive-service error
    ManagementUnavailable = 6,  // the management interface could not be connected or logged into
    AuthFailed = 7,             // the server refused the user's credentials
    OpenVpnFatal = 8,           // any other fatal error reported by OpenVPN
    OpenVpnExited = 9,          // OpenVPN or its management connection went away unasked
    TunnelTimeout = 10,         // CONNECTED was not reached within the connect time-out
    InternalError = 11,         // no working directory or stager, stager failure, no exit event, or
                                // the attempt was superseded while launching
    ServiceUnreachable = 12,    // the service (staging) or the interactive service (launch) is gone
    LaunchIoFailed = 13,        // the interactive-service exchange failed
    AccessRefused = 14,         // staging refused, or the interactive service lacks rights for us
    Rejected = 15,              // staging request rejected, or OpenVPN's options rejected
    ManagementAuthRejected = 16,  // OpenVPN refused the management password
};

// The category's name for log lines ("AuthFailed"); "Unknown" for a value outside the list.
const char* OpenVpnErrorName(OpenVpnError error);

// What the plugin asked for: the profile text (UTF-8) and the user's credentials.
//
// All three are secrets. Every copy overwrites its bytes with zeros when it goes away and a
// moved-from request is left wiped, so no stray copy outlives the attempt.
struct StartRequest {
    StartRequest() = default;
    // Copies the three texts; a caller holding them in plain strings wipes its own copies.
    StartRequest(std::string_view config_text, std::string_view user, std::string_view pass);
    StartRequest(const StartRequest& other);
    StartRequest& operator=(const StartRequest& other);
    StartRequest(StartRequest&& other) noexcept;
    StartRequest& operator=(StartRequest&& other) noexcept;
    ~StartRequest();

    // Overwrites all three with zeros and empties them.
    void Wipe();
    // Overwrites the user name and the password only.
    void WipeCredentials();

    common::SecureStdString config;
    common::SecureStdString username;
    common::SecureStdString password;
};

}  // namespace lumet::agent::openvpn
