#include "service/wireguard/text_platform.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace lumet::service::wireguard {
namespace {

// inet_pton wants a NUL-terminated string. The longest address text it accepts is 45 bytes
// (IPv6 with an IPv4 tail), so anything longer is refused without a call.
bool IsAddressText(int family, std::string_view text) {
    char buffer[64];
    if (text.empty() || text.size() >= sizeof(buffer) ||
        text.find('\0') != std::string_view::npos) {
        return false;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(family, buffer, address) == 1;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    return IsValidUtf8Portable(text);
}

bool IsIpv4Text(std::string_view text) {
    return IsAddressText(AF_INET, text);
}

bool IsIpv6Text(std::string_view text) {
    return IsAddressText(AF_INET6, text);
}

}  // namespace lumet::service::wireguard
