#include "common/utf.h"

#include <cstdint>

namespace lumet::common::utf_portable {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
    size_t length;  // bytes consumed; for ill-formed input the length of the maximal subpart
    char32_t value;
    bool valid;
};

// Decodes the sequence at text[at]. The second byte's allowed range is narrowed for E0, ED, F0
// and F4 so that overlong forms, encoded surrogates and values above U+10FFFF are refused at the
// first byte that proves them wrong; everything up to that byte is one maximal subpart.
Decoded DecodeOne(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return {1, lead, true};
    }
    size_t trailing = 0;
    char32_t value = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        value = lead & 0x0Fu;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        value = lead & 0x07u;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return {1, 0, false};
    }
    size_t length = 1;
    for (size_t k = 0; k < trailing; ++k) {
        if (at + length >= text.size()) {
            return {length, 0, false};
        }
        const auto next = static_cast<unsigned char>(text[at + length]);
        if (next < low || next > high) {
            return {length, 0, false};
        }
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (next & 0x3Fu);
        ++length;
    }
    return {length, value, true};
}

void AppendWide(std::wstring& out, char32_t value) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (value >= 0x10000) {
            value -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (value >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (value & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(value));
}

void AppendUtf8(std::string& out, char32_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (value >> 6)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (value >> 12)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (value >> 18)));
        out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

// Reads one scalar value of wide text: a surrogate pair on UTF-16 platforms, one unit on UTF-32
// ones. An unpaired surrogate or a unit above U+10FFFF is ill-formed and consumes one unit.
Decoded DecodeOneWide(std::wstring_view text, size_t at) {
    const auto unit = static_cast<uint32_t>(text[at]);
    if constexpr (sizeof(wchar_t) == 2) {
        if (unit >= 0xD800 && unit <= 0xDBFF && at + 1 < text.size()) {
            const auto next = static_cast<uint32_t>(text[at + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                return {2, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), true};
            }
        }
    }
    if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
        return {1, 0, false};
    }
    return {1, unit, true};
}

std::optional<std::wstring> ToWide(std::string_view text, bool strict) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const Decoded d = DecodeOne(text, at);
        if (!d.valid && strict) {
            return std::nullopt;
        }
        AppendWide(out, d.valid ? d.value : kReplacement);
        at += d.length;
    }
    return out;
}

std::optional<std::string> ToUtf8(std::wstring_view text, bool strict) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const Decoded d = DecodeOneWide(text, at);
        if (!d.valid && strict) {
            return std::nullopt;
        }
        AppendUtf8(out, d.valid ? d.value : kReplacement);
        at += d.length;
    }
    return out;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) {
    return *ToWide(text, false);
}

std::string WideToUtf8(std::wstring_view text) {
    return *ToUtf8(text, false);
}

std::optional<std::wstring> TryUtf8ToWide(std::string_view text) {
    return ToWide(text, true);
}

std::optional<std::string> TryWideToUtf8(std::wstring_view text) {
    return ToUtf8(text, true);
}

bool IsValidUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const Decoded d = DecodeOne(text, at);
        if (!d.valid) {
            return false;
        }
        at += d.length;
    }
    return true;
}

}  // namespace lumet::common::utf_portable

namespace lumet::common {

SecureStdWString SecureUtf8ToWide(std::string_view text) {
    // Both converters size their result once (a UTF-8 byte never yields more than one wide
    // unit), so the plain result is the only other copy of the secret; it is zeroed here.
    std::wstring plain = Utf8ToWide(text);
    SecureStdWString secure(plain.data(), plain.size());
    WipeString(plain);
    return secure;
}

}  // namespace lumet::common
