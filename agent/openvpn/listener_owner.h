// Who listens on the management port. The agent picks a free loopback port, lets it go, and
// OpenVPN binds it later: in between, any local process can bind it and would then receive the
// user's credentials. So before anything is sent on the management connection, the process that
// owns the listening socket must be the OpenVPN process the interactive service reported.
//
// The decision is pure; LoopbackListenerOwner (Win32, listener_owner_win.cpp) reads the owner.
#pragma once

#include <cstdint>
#include <optional>

namespace lumet::agent::openvpn {

enum class ListenerOwnerVerdict : uint8_t {
    Accept = 0,                  // owned by the reported OpenVPN process
    AcceptUnknownUnderWine = 1,  // Wine reports owner 0 for every listener; logged as WARN
    Refuse = 2,                  // another owner, no listener found, or no process to compare
};

// `owner`: the listener's owning process id, nullopt when no listener on the port was found or
// the table could not be read. `expected`: the process id the interactive service reported.
ListenerOwnerVerdict JudgeListenerOwner(std::optional<uint32_t> owner, uint32_t expected,
                                        bool under_wine);

// The owning process id of the IPv4 TCP listener on 127.0.0.1:`port` (or on the wildcard
// address), from GetExtendedTcpTable(TCP_TABLE_OWNER_PID_LISTENER); nullopt when there is none or
// the table cannot be read.
std::optional<uint32_t> LoopbackListenerOwner(uint16_t port);

}  // namespace lumet::agent::openvpn
