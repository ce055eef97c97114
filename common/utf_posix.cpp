// The native build has no Windows converters: the portable codec is the implementation.
#include "common/utf.h"

namespace lumet::common {

std::wstring Utf8ToWide(std::string_view text) {
    return utf_portable::Utf8ToWide(text);
}

std::string WideToUtf8(std::wstring_view text) {
    return utf_portable::WideToUtf8(text);
}

std::optional<std::wstring> TryUtf8ToWide(std::string_view text) {
    return utf_portable::TryUtf8ToWide(text);
}

std::optional<std::string> TryWideToUtf8(std::wstring_view text) {
    return utf_portable::TryWideToUtf8(text);
}

bool IsValidUtf8(std::string_view text) {
    return utf_portable::IsValidUtf8(text);
}

}  // namespace lumet::common
