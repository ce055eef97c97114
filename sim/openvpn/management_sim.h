// The management interface of the openvpn.exe simulator: a loopback listener that speaks the
// subset of OpenVPN 2.6's management line protocol the agent uses, and the simulated tunnel
// behind it (hold, credential prompts, state and byte-count messages, fatal errors, exit).
//
// Every line ends in "\r\n" except the password prompt "ENTER PASSWORD:". One management client
// at a time; when it leaves, the listener takes the next one (which must authenticate again) and
// the tunnel carries on. Test tooling only.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>

namespace lumet::sim::openvpn {

struct TunnelSwitches {
    uint32_t greeting_delay_ms = 0;
    bool reject_credentials = false;
    uint32_t fatal = 0;  // FatalKind
    uint32_t exit_after_connected_ms = 0;
    bool never_connect = false;
    bool private_key_prompt = false;
    uint32_t state_step_ms = 100;
    std::string username;  // the accepted pair
    std::string password;
};

struct ManagementSetup {
    SOCKET listener = INVALID_SOCKET;  // bound and listening; owned by the session from here on
    bool has_password = false;
    std::string password;  // the management password (wiped by the session)
    bool hold = false;
    bool query_passwords = false;
    HANDLE exit_event = nullptr;  // may be null
    std::string remote_host = "127.0.0.1";
    std::string remote_port = "1194";
};

// Runs until OpenVPN would exit; returns the process exit code (0 after SIGTERM or the exit
// event, 1 after a fatal error or rejected credentials, 2 for an abrupt exit while connected, 3
// after 5 minutes without a management client).
int RunManagement(ManagementSetup setup, TunnelSwitches switches);

}  // namespace lumet::sim::openvpn
