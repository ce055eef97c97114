// The OpenVPN profile validator: accepts only a small, fixed subset of OpenVPN's configuration
// language (a TUN client that takes its user name and password over the management interface,
// with the CA certificate and optionally a TLS-auth key inline), and adds a directive to a
// profile when it is missing.
//
// The agent checks a profile before it starts an attempt and the service checks it again before
// staging it into OpenVPN's configuration directory; both link this one implementation, so the two
// verdicts cannot drift apart. A profile that passes is written where OpenVPN treats it as
// trusted, so anything not understood here is refused rather than passed through.
//
// Namespace lumet::openvpn. Pure logic: no I/O, no logging; every function may be called from any
// thread at the same time (the allowed-directive set is built once, thread-safely, on first use).
//
// Secrets: a profile may hold keys. Nothing here copies the profile except EnsureDirective's
// result, which the caller owns and must wipe (lumet::common::WipeString) once it is written out.
// The summary's host and port are not secret and may be logged; the profile never may.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/secure_buffer.h"

namespace lumet::openvpn {

// Result of ValidateProfile. When a profile has several faults the first one met decides: the
// whole-text checks (Empty, TooLarge, ContainsNul), then the lines from the top, then the
// end-of-profile checks in the order BadInlineBlock, MissingClient, DevNotTun, ProtoUnsupported,
// MissingRemote, MissingAuthUserPass, AuthUserPassHasArgument, MissingCa.
enum class ProfileCheck : uint16_t {
    Ok = 0,
    Empty = 1,
    TooLarge = 2,  // more than kMaxProfileBytes
    // A line, before trimming (a CR counts), longer than kMaxProfileLineBytes: with its line feed
    // 256 bytes or more, which OpenVPN refuses to read ("Maximum option line length").
    LineTooLong = 3,
    ContainsNul = 4,
    MissingClient = 5,
    DevNotTun = 6,         // no "dev" line, or one that is not exactly "dev tun"
    ProtoUnsupported = 7,  // no "proto" line, or the last two-word one names an unknown value
    MissingRemote = 8,
    // A "remote" line without host, with a host byte below 0x21 or 0x7F, a host over
    // kMaxRemoteHostBytes, or a port that is not 1 to 5 digits.
    BadRemote = 9,
    MissingAuthUserPass = 10,
    AuthUserPassHasArgument = 11,  // some "auth-user-pass" line names a credentials file
    MissingCa = 12,
    // A block left open, a closing tag outside its block, or a line inside a block that holds
    // "</" without being exactly that block's closing tag.
    BadInlineBlock = 13,
    // A first word outside the allowed set (other inline tags included), or a "status" line that
    // does not name a bare file name (optionally followed by its interval in seconds): OpenVPN
    // truncates and rewrites that file as the user, so a path could overwrite any file the user
    // can write, and a UNC path would offer the user's credentials to another host.
    DisallowedDirective = 14,
};

inline constexpr size_t kMaxProfileBytes = 16384;
inline constexpr size_t kMaxProfileLineBytes = 254;
inline constexpr size_t kMaxStatusFileNameBytes = 64;
inline constexpr size_t kMaxRemoteHostBytes = 253;
inline constexpr size_t kMaxRemotePortDigits = 5;

// What validation learnt about an accepted profile. Every field is cleared when validation starts
// and filled only when it returns Ok, so a rejected profile never leaves a partial summary.
struct ProfileSummary {
    std::string remote_host;  // from the last "remote" line; 1 to kMaxRemoteHostBytes bytes
    std::string remote_port;  // decimal digits of that line's port, empty when it names none
    bool has_tls_auth = false;
    // The file named by the last "status" line (a bare name, written into OpenVPN's working
    // directory); empty when there is none.
    std::string status_file;

    friend bool operator==(const ProfileSummary&, const ProfileSummary&) = default;
};

// Checks `profile` (raw bytes, not NUL-terminated; may hold anything). Bad input never throws and
// yields a non-Ok code; only std::bad_alloc could escape. `summary` may be null when the caller
// only wants the verdict.
[[nodiscard]] ProfileCheck ValidateProfile(std::string_view profile, ProfileSummary* summary);

// Returns `profile` unchanged when some line outside the inline blocks that is neither blank nor a
// comment has `directive` as its first word; otherwise returns it with a line feed appended when
// it is not empty and does not already end with one, followed by `directive` and a line feed.
// `directive` must be a single non-empty word; anything else (blank, or holding a space, tab, CR,
// LF or NUL) is never appended, and the profile comes back unchanged. The result is a secure
// string built in one buffer sized up front, so no copy of the profile is left in freed memory.
// Does not validate: callers validate the result.
common::SecureStdString EnsureDirective(std::string_view profile, std::string_view directive);

// The code's name as written above ("Ok", "DevNotTun", ...), for log lines; "Unknown" for a value
// outside the enum.
std::string_view ProfileCheckName(ProfileCheck check);

// Whether `name` is a bare file name that "status" may use: 1 to kMaxStatusFileNameBytes bytes
// of letters, digits, '.', '_' and '-', not starting with '.' (so neither "." nor ".." nor a
// hidden name), and not a Windows device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$,
// CONOUT$, compared case-insensitively on the part before the first '.').
bool IsBareStatusFileName(std::string_view name);

// Whether `word` is one of the 21 directives a profile may use (compared case-sensitively).
bool IsAllowedDirective(std::string_view word);

}  // namespace lumet::openvpn
