// The loopback port OpenVPN's management interface listens on, chosen by the system.
#pragma once

#include <cstdint>
#include <optional>

namespace lumet::agent::openvpn {

// Binds a fresh IPv4 TCP socket to 127.0.0.1 port 0, reads the port the system chose and closes
// the socket again, so that openvpn.exe can bind the same port a moment later. Winsock is
// initialised once per process (2.2). Each failure is logged at ERR with the socket error
// ("openvpn_coordinator: port_alloc: ..." texts) and gives nothing. Any thread.
std::optional<uint16_t> AllocateManagementPort();

}  // namespace lumet::agent::openvpn
