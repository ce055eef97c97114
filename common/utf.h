// Conversions between UTF-8 (the wire, files, the platform-neutral core) and wide text (UTF-16
// at every Windows call).
//
// Two flavours:
//  - Utf8ToWide / WideToUtf8 are lenient: every ill-formed sequence becomes U+FFFD, one per
//    maximal subpart (the Unicode recommendation), so the result is always well-formed and the
//    rest of the text survives. Use them where the text must get through regardless (log lines,
//    display, paths that are checked afterwards anyway).
//  - TryUtf8ToWide / TryWideToUtf8 / IsValidUtf8 are strict: any ill-formed input (a stray
//    continuation byte, a truncated or overlong sequence, an encoded surrogate, a code point above
//    U+10FFFF, a byte C0, C1 or F5..FF; an unpaired surrogate on the wide side) makes them fail.
//    Use them to validate untrusted text.
// Empty input converts to empty output and is valid. An embedded NUL is an ordinary character.
// On Windows, input longer than INT_MAX units cannot be handed to the converters: the strict
// functions then fail and the lenient ones return an empty string.
//
// On Windows well-formed text is converted by MultiByteToWideChar / WideCharToMultiByte with code
// page 65001 and the strict flags (MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS); ill-formed text
// is repaired by the portable codec in `utf_portable`, which is also the whole implementation of
// the native build. Results are therefore the same on both. wchar_t holds UTF-16 on Windows and
// UTF-32 elsewhere.
//
// Results are plain strings, except from the secure overloads, which take and return the
// zeroing strings of common/secure_buffer.h: convert secrets only through those, so that no plain
// copy is left in freed memory. IsValidUtf8 makes no copy of its input. All functions are reentrant
// and never throw except std::bad_alloc.
#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <string_view>

#include "common/secure_buffer.h"

namespace lumet::common {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// Lenient conversion of secret text: the result allocates through SecureAllocator and the only
// intermediate copy is zeroed before it is freed. Utf8ToWide picks it for a SecureStdString (and
// only for one: plain text and literals keep the plain overload).
SecureStdWString SecureUtf8ToWide(std::string_view text);
template <std::same_as<SecureStdString> Secret>
SecureStdWString Utf8ToWide(const Secret& text) {
    return SecureUtf8ToWide(text);
}

// std::nullopt when `text` is not well-formed.
std::optional<std::wstring> TryUtf8ToWide(std::string_view text);
std::optional<std::string> TryWideToUtf8(std::wstring_view text);

// True when `text` converts under the strict rules above.
bool IsValidUtf8(std::string_view text);

// The portable codec behind the native build; built on every platform so that it can be compared
// with the Windows converters.
namespace utf_portable {
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
std::optional<std::wstring> TryUtf8ToWide(std::string_view text);
std::optional<std::string> TryWideToUtf8(std::wstring_view text);
bool IsValidUtf8(std::string_view text);
}  // namespace utf_portable

}  // namespace lumet::common
