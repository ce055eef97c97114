#include "agent/openvpn/coordinator_types.h"

#include <utility>

#include "common/secure_buffer.h"

namespace lumet::agent::openvpn {

const char* OpenVpnErrorName(OpenVpnError error) {
    switch (error) {
        case OpenVpnError::None:
            return "None";
        case OpenVpnError::InvalidRequest:
            return "InvalidRequest";
        case OpenVpnError::UnsupportedProtocol:
            return "UnsupportedProtocol";
        case OpenVpnError::AttemptActive:
            return "AttemptActive";
        case OpenVpnError::LaunchFailed:
            return "LaunchFailed";
        case OpenVpnError::ManagementUnavailable:
            return "ManagementUnavailable";
        case OpenVpnError::AuthFailed:
            return "AuthFailed";
        case OpenVpnError::OpenVpnFatal:
            return "OpenVpnFatal";
        case OpenVpnError::OpenVpnExited:
            return "OpenVpnExited";
        case OpenVpnError::TunnelTimeout:
            return "TunnelTimeout";
        case OpenVpnError::InternalError:
            return "InternalError";
        case OpenVpnError::ServiceUnreachable:
            return "ServiceUnreachable";
        case OpenVpnError::LaunchIoFailed:
            return "LaunchIoFailed";
        case OpenVpnError::AccessRefused:
            return "AccessRefused";
        case OpenVpnError::Rejected:
            return "Rejected";
        case OpenVpnError::ManagementAuthRejected:
            return "ManagementAuthRejected";
    }
    return "Unknown";
}

StartRequest::StartRequest(std::string_view config_text, std::string_view user,
                           std::string_view pass)
    : config(config_text), username(user), password(pass) {}

StartRequest::StartRequest(const StartRequest& other)
    : config(other.config), username(other.username), password(other.password) {}

StartRequest& StartRequest::operator=(const StartRequest& other) {
    if (this != &other) {
        Wipe();
        config = other.config;
        username = other.username;
        password = other.password;
    }
    return *this;
}

StartRequest::StartRequest(StartRequest&& other) noexcept
    : config(std::move(other.config)),
      username(std::move(other.username)),
      password(std::move(other.password)) {
    // A short string moves by copying its inline bytes; the source must not keep them.
    other.Wipe();
}

StartRequest& StartRequest::operator=(StartRequest&& other) noexcept {
    if (this != &other) {
        Wipe();
        config = std::move(other.config);
        username = std::move(other.username);
        password = std::move(other.password);
        other.Wipe();
    }
    return *this;
}

StartRequest::~StartRequest() {
    Wipe();
}

void StartRequest::Wipe() {
    common::WipeString(config);
    WipeCredentials();
}

void StartRequest::WipeCredentials() {
    common::WipeString(username);
    common::WipeString(password);
}

}  // namespace lumet::agent::openvpn
