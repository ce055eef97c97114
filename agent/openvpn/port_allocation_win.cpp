#include "agent/openvpn/port_allocation.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "common/log.h"
#include "common/win_handle.h"

namespace lumet::agent::openvpn {

namespace {

bool WinsockReady() {
    static std::once_flag once;
    static int result = -1;
    std::call_once(once, [] {
        WSADATA data;
        result = WSAStartup(MAKEWORD(2, 2), &data);
    });
    return result == 0;
}

void LogSocketError(const wchar_t* message) {
    common::LogWin32Error(common::LogLevel::Error, message,
                          static_cast<uint32_t>(WSAGetLastError()));
}

}  // namespace

std::optional<uint16_t> AllocateManagementPort() {
    if (!WinsockReady()) {
        common::LogLine(common::LogLevel::Error,
                        L"openvpn_coordinator: port_alloc: WSAStartup failed");
        return std::nullopt;
    }
    common::UniqueSocket socket_handle(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket_handle) {
        LogSocketError(L"openvpn_coordinator: port_alloc: socket() failed");
        return std::nullopt;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(socket_handle.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
        0) {
        LogSocketError(L"openvpn_coordinator: port_alloc: bind() failed");
        return std::nullopt;
    }
    sockaddr_in bound = {};
    int length = sizeof(bound);
    if (getsockname(socket_handle.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        LogSocketError(L"openvpn_coordinator: port_alloc: getsockname() failed");
        return std::nullopt;
    }
    return ntohs(bound.sin_port);
}

}  // namespace lumet::agent::openvpn
