// The commands the agent sends on OpenVPN's management interface, the check that keeps a
// credential from breaking out of its command, and the printable preview used in log lines.
//
// Pure and re-entrant. Credential commands and the management password line carry secrets: they
// come back in SecureString, which wipes its bytes when it goes away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/secure_buffer.h"

namespace lumet::agent::openvpn {

// Result of CheckCredentialValue (u8).
enum class CredentialCheck : uint8_t {
    Ok = 0,
    Empty = 1,
    TooLong = 2,           // longer than 255 bytes
    ControlCharacter = 3,  // a byte below 0x20, or 0x7F
};

inline constexpr size_t kMaxCredentialBytes = 255;

// Whether `value` may be sent as a user name, a password or the management password. Bytes from
// 0x80 up (UTF-8) are allowed.
CredentialCheck CheckCredentialValue(std::string_view value);

enum class CredentialKind : uint8_t { Username, Password };

// "state on\n"
std::string StateOnCommand();
// "bytecount " + seconds in decimal + "\n"
std::string ByteCountCommand(uint32_t interval_seconds);
// "hold release\n"
std::string HoldReleaseCommand();
// "signal SIGTERM\n"
std::string TerminateCommand();

// `username "Auth" "<value>"\n` or `password "Auth" "<value>"\n`, where a backslash is put before
// every backslash and double quote of the value. nullopt when the value fails
// CheckCredentialValue.
std::optional<common::SecureString> CredentialCommand(CredentialKind kind, std::string_view value);

// value + "\n"; nullopt when the value fails CheckCredentialValue.
std::optional<common::SecureString> ManagementPasswordLine(std::string_view value);

// Log-safe view of received or sent bytes: at most the first 80 bytes (or `max_bytes`, if
// smaller), each byte 0x20..0x7E kept and every other byte written as ".".
inline constexpr size_t kPreviewBytes = 80;
std::wstring Preview(std::string_view bytes, size_t max_bytes = kPreviewBytes);

// The part of a command that may be logged: the text up to the first space or "\n"; when there is
// neither, its first 12 bytes. Never reaches a credential value.
std::string_view CommandFirstWord(std::string_view command);

}  // namespace lumet::agent::openvpn
