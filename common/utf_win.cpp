#include "common/utf.h"

#include <windows.h>

#include <climits>
#include <utility>

namespace lumet::common {

namespace {

constexpr UINT kUtf8CodePage = 65001;

std::optional<std::wstring> ToWide(std::string_view text, DWORD flags) {
    // A zero length means "fail with ERROR_INVALID_PARAMETER" to the converter, not "empty".
    if (text.empty()) {
        return std::wstring();
    }
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return std::nullopt;
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        MultiByteToWideChar(kUtf8CodePage, flags, text.data(), length, nullptr, /*cchWideChar=*/0);
    if (needed <= 0) {
        return std::nullopt;
    }
    std::wstring out(static_cast<size_t>(needed), L'\0');
    const int written =
        MultiByteToWideChar(kUtf8CodePage, flags, text.data(), length, out.data(), needed);
    if (written <= 0) {
        return std::nullopt;
    }
    out.resize(static_cast<size_t>(written));
    return out;
}

std::optional<std::string> ToUtf8(std::wstring_view text, DWORD flags) {
    if (text.empty()) {
        return std::string();
    }
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return std::nullopt;
    }
    const int length = static_cast<int>(text.size());
    // Code page 65001 requires null default-char arguments.
    const int needed = WideCharToMultiByte(kUtf8CodePage, flags, text.data(), length, nullptr,
                                           /*cbMultiByte=*/0, nullptr, nullptr);
    if (needed <= 0) {
        return std::nullopt;
    }
    std::string out(static_cast<size_t>(needed), '\0');
    const int written = WideCharToMultiByte(kUtf8CodePage, flags, text.data(), length, out.data(),
                                            needed, nullptr, nullptr);
    if (written <= 0) {
        return std::nullopt;
    }
    out.resize(static_cast<size_t>(written));
    return out;
}

}  // namespace

// Well-formed text goes through the system converter. Ill-formed text is repaired by the portable
// codec, so that the replacement is the same on every platform: system converters differ in how
// many U+FFFD they emit, and Wine's drops the rest of the input after a sequence that is cut short
// near its end.
std::wstring Utf8ToWide(std::string_view text) {
    if (auto strict = ToWide(text, MB_ERR_INVALID_CHARS)) {
        return std::move(*strict);
    }
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return std::wstring();
    }
    return utf_portable::Utf8ToWide(text);
}

std::string WideToUtf8(std::wstring_view text) {
    if (auto strict = ToUtf8(text, WC_ERR_INVALID_CHARS)) {
        return std::move(*strict);
    }
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return std::string();
    }
    return utf_portable::WideToUtf8(text);
}

std::optional<std::wstring> TryUtf8ToWide(std::string_view text) {
    return ToWide(text, MB_ERR_INVALID_CHARS);
}

std::optional<std::string> TryWideToUtf8(std::wstring_view text) {
    return ToUtf8(text, WC_ERR_INVALID_CHARS);
}

bool IsValidUtf8(std::string_view text) {
    if (text.empty()) {
        return true;
    }
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    // Sizing pass only: nothing of a possibly secret input is copied.
    return MultiByteToWideChar(kUtf8CodePage, MB_ERR_INVALID_CHARS, text.data(),
                               static_cast<int>(text.size()), nullptr, /*cchWideChar=*/0) > 0;
}

}  // namespace lumet::common
