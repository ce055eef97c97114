// The two text checks the WireGuard configuration model takes from the platform: UTF-8 validity
// and textual IP addresses.
//
// The service must judge these exactly as Windows does, so the Windows build makes the Win32 calls
// (text_platform_win.cpp); the native build, which exists for sanitizer tests and fuzzing, uses a
// portable equivalent (text_platform_posix.cpp). Both sides are tested against the same tables.
//
// All functions are pure, thread-safe, never log and never keep or copy the text beyond a small
// stack buffer (the UTF-8 check runs over text that holds private keys).
#pragma once

#include <string_view>

namespace lumet::service::wireguard {

// True when `text` is well-formed UTF-8: no overlong forms, no encoded surrogates (U+D800 to
// U+DFFF), nothing above U+10FFFF, no truncated sequence. The empty text is valid; NUL bytes are
// ordinary characters here. Windows: MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS) in its
// size-only form, so no converted copy of the text is made.
bool IsValidUtf8(std::string_view text);

// The portable, hand-written validator behind IsValidUtf8 in the native build. Built on every
// platform so that tests can hold the Win32 answer against it.
bool IsValidUtf8Portable(std::string_view text);

// True when the whole of `text` is a textual IPv4 address as inet_pton(AF_INET) accepts it
// (dotted decimal, four parts).
bool IsIpv4Text(std::string_view text);

// True when the whole of `text` is a textual IPv6 address as inet_pton(AF_INET6) accepts it
// (no brackets, no zone suffix, no prefix length).
bool IsIpv6Text(std::string_view text);

}  // namespace lumet::service::wireguard
