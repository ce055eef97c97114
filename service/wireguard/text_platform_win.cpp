#include "service/wireguard/text_platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
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
    unsigned char address[sizeof(IN6_ADDR)];
    return inet_pton(family, buffer, address) == 1;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    // MultiByteToWideChar refuses a zero length as a bad parameter; the empty text is valid.
    if (text.empty()) {
        return true;
    }
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    // Size-only call (no output buffer): the decoder still walks and checks every byte, and no
    // UTF-16 copy of the text, which holds a private key, is left behind.
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), /*lpWideCharStr=*/nullptr,
                                           /*cchWideChar=*/0);
    return needed > 0;
}

bool IsIpv4Text(std::string_view text) {
    return IsAddressText(AF_INET, text);
}

bool IsIpv6Text(std::string_view text) {
    return IsAddressText(AF_INET6, text);
}

}  // namespace lumet::service::wireguard
