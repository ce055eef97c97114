#include "agent/openvpn/startup_message.h"

#include <cstdint>
#include <string_view>

namespace lumet::agent::openvpn {

namespace {

void PutUnit(common::SecureBytes& out, uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>((unit >> 8) & 0xFF));
}

// Appends `text` as UTF-16LE. Where wchar_t is 16 bits the units are copied as they are (the
// service receives exactly what a Win32 wide string holds); where it is 32 bits, code points
// above U+FFFF become surrogate pairs.
bool AppendUtf16(common::SecureBytes& out, std::wstring_view text) {
    for (const wchar_t c : text) {
        const auto value = static_cast<uint32_t>(c);
        if (value <= 0xFFFF) {
            PutUnit(out, value);
        } else if (value <= 0x10FFFF) {
            const uint32_t v = value - 0x10000;
            PutUnit(out, 0xD800 + (v >> 10));
            PutUnit(out, 0xDC00 + (v & 0x3FF));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool BuildStartupMessage(const LaunchRequest& request, common::SecureBuffer* message) {
    message->Wipe();
    // The buffer zeroes what it frees, so growing it leaves no copy of the standard input text
    // (the management password) behind; reserving only saves the copies.
    common::SecureBuffer owner;
    common::SecureBytes& out = owner.bytes();
    out.reserve(2 *
                (request.working_directory.size() + request.options.size() +
                 request.stdin_text.size() + 3) *
                2);
    if (!AppendUtf16(out, request.working_directory)) {
        return false;
    }
    PutUnit(out, 0);
    if (!AppendUtf16(out, request.options)) {
        return false;
    }
    PutUnit(out, 0);
    if (!AppendUtf16(out, request.stdin_text)) {
        return false;
    }
    PutUnit(out, 0);
    const size_t units = out.size() / 2;
    if (units < 1 || units > kMaxStartupMessageUnits) {
        return false;
    }
    *message = std::move(owner);
    return true;
}

}  // namespace lumet::agent::openvpn
