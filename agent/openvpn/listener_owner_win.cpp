#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "agent/openvpn/listener_owner.h"

namespace lumet::agent::openvpn {

std::optional<uint32_t> LoopbackListenerOwner(uint16_t port) {
    std::vector<unsigned char> buffer(16 * 1024);
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    // The table can grow between the size query and the read: a few tries.
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        result = GetExtendedTcpTable(buffer.data(), &size, /*bOrder=*/FALSE, AF_INET,
                                     TCP_TABLE_OWNER_PID_LISTENER, /*Reserved=*/0);
        if (result == ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(size + 4096);
        }
    }
    if (result != NO_ERROR) {
        return std::nullopt;
    }
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    const DWORD wanted_port = htons(port);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        // dwLocalPort holds the port in network order in its low 16 bits.
        if ((row.dwLocalPort & 0xFFFF) != wanted_port) {
            continue;
        }
        if (row.dwLocalAddr == htonl(INADDR_LOOPBACK) || row.dwLocalAddr == htonl(INADDR_ANY)) {
            return row.dwOwningPid;
        }
    }
    return std::nullopt;
}

}  // namespace lumet::agent::openvpn
