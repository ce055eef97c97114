#include "agent/openvpn/coordinator_rules.h"

#include "agent/openvpn/management_commands.h"
#include "agent/openvpn/management_line.h"
#include "common/openvpn_profile.h"

namespace lumet::agent::openvpn {

OpenVpnError PrepareProfile(std::string_view config, common::SecureStdString* amended) {
    *amended = lumet::openvpn::EnsureDirective(config, kAuthNoCache);
    const lumet::openvpn::ProfileCheck check =
        lumet::openvpn::ValidateProfile(*amended, /*summary=*/nullptr);
    if (check == lumet::openvpn::ProfileCheck::Ok) {
        return OpenVpnError::None;
    }
    return check == lumet::openvpn::ProfileCheck::ProtoUnsupported
               ? OpenVpnError::UnsupportedProtocol
               : OpenVpnError::InvalidRequest;
}

OpenVpnError CheckCredentials(std::string_view username, std::string_view password) {
    return CheckCredentialValue(username) == CredentialCheck::Ok &&
                   CheckCredentialValue(password) == CredentialCheck::Ok
               ? OpenVpnError::None
               : OpenVpnError::InvalidRequest;
}

OpenVpnError ErrorForStageOutcome(uint16_t outcome) {
    switch (outcome) {
        case 1:
            return OpenVpnError::ServiceUnreachable;
        case 2:
            return OpenVpnError::AccessRefused;
        case 3:
            return OpenVpnError::Rejected;
        default:
            return OpenVpnError::InternalError;
    }
}

OpenVpnError ErrorForLaunchStatus(uint32_t status) {
    switch (status) {
        case 1:
            return OpenVpnError::ServiceUnreachable;
        case 2:
            return OpenVpnError::LaunchIoFailed;
        case 3:
            return OpenVpnError::AccessRefused;
        case 4:
            return OpenVpnError::Rejected;
        default:
            return OpenVpnError::LaunchFailed;
    }
}

std::wstring ExitEventName(std::wstring_view hex) {
    return std::wstring(kExitEventPrefix) + std::wstring(hex);
}

std::vector<std::wstring> OpenVpnArguments(std::wstring_view staged_path, uint16_t port,
                                           std::wstring_view exit_event_name) {
    return {L"--config",          std::wstring(staged_path),       L"--management",
            L"127.0.0.1",         std::to_wstring(port),           L"stdin",
            L"--management-hold", L"--management-query-passwords", L"--management-signal",
            L"--service",         std::wstring(exit_event_name),   L"0"};
}

bool IsLeftoverWorkingFile(std::wstring_view name) {
    if (!name.starts_with(L"ovpn-")) {
        return false;
    }
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring_view::npos) {
        return false;
    }
    const std::wstring_view extension = name.substr(dot);
    return extension == L".conf" || extension == L".log";
}

ConnectingStep NextConnectingStep(const ConnectingView& view) {
    if (view.state == static_cast<uint8_t>(ManagementState::Connected)) {
        return ConnectingStep::Connected;
    }
    if (view.error != 0) {
        return ConnectingStep::EndOnError;
    }
    if (view.process_ended) {
        return ConnectingStep::ProcessExited;
    }
    if (view.deadline_passed) {
        return ConnectingStep::TimedOut;
    }
    return ConnectingStep::KeepWaiting;
}

}  // namespace lumet::agent::openvpn
