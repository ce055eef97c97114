#include "agent/openvpn/launch_reply.h"

#include <algorithm>
#include <optional>

namespace lumet::agent::openvpn {

namespace {

// Length of "0x" + 8 hexadecimal digits + line feed.
constexpr size_t kCodeLineUnits = 11;
// A success reply's message: "0x" + 8 digits + line feed + "Process ID" at the least.
constexpr size_t kMinSuccessMessageUnits = 21;

std::optional<uint32_t> HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return static_cast<uint32_t>(c - u'0');
    }
    if (c >= u'a' && c <= u'f') {
        return static_cast<uint32_t>(c - u'a' + 10);
    }
    if (c >= u'A' && c <= u'F') {
        return static_cast<uint32_t>(c - u'A' + 10);
    }
    return std::nullopt;
}

// "0x" + exactly 8 hexadecimal digits + "\n" at the start of `text`.
std::optional<uint32_t> ParseCodeLine(std::u16string_view text) {
    if (text.size() < kCodeLineUnits || text[0] != u'0' || text[1] != u'x' || text[10] != u'\n') {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (size_t i = 2; i < 10; ++i) {
        const std::optional<uint32_t> digit = HexDigit(text[i]);
        if (!digit) {
            return std::nullopt;
        }
        value = (value << 4) | *digit;
    }
    return value;
}

bool Contains(std::u16string_view text, std::u16string_view what) {
    return text.find(what) != std::u16string_view::npos;
}

std::wstring ToWide(std::u16string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const char16_t c : text) {
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

}  // namespace

LaunchResult ParseLaunchReply(std::u16string_view reply) {
    const size_t nul = reply.find(u'\0');
    if (nul != std::u16string_view::npos) {
        reply = reply.substr(0, nul);
    }
    LaunchResult result;
    result.status = InteractiveLaunchStatus::Failed;
    const std::optional<uint32_t> code = ParseCodeLine(reply);
    if (!code) {
        return result;
    }
    const std::u16string_view message = reply.substr(kCodeLineUnits);
    if (*code == 0) {
        const std::optional<uint32_t> pid = ParseCodeLine(message);
        if (message.size() < kMinSuccessMessageUnits || !pid ||
            !Contains(message.substr(kCodeLineUnits), u"Process ID")) {
            return result;
        }
        result.status = InteractiveLaunchStatus::Launched;
        result.process_id = *pid;
        return result;
    }
    const std::u16string_view kept = message.substr(0, kMaxLaunchMessageUnits);
    result.message = ToWide(kept);
    if (*code == kServiceErrorMessageData || *code == kServiceErrorMessageType) {
        result.status = InteractiveLaunchStatus::Failed;
    } else if (*code == kServiceErrorStartupData) {
        // The service gives one code for "not allowed to run these options" and "not allowed at
        // all"; only its text tells lack of rights apart. Searched in the kept text, like the
        // message the caller sees.
        const bool rights = Contains(kept, u"admin approval") || Contains(kept, u"admin group") ||
                            Contains(kept, u"Administrators") || Contains(kept, u"authorized");
        result.status =
            rights ? InteractiveLaunchStatus::NotPermitted : InteractiveLaunchStatus::Rejected;
    } else {
        result.status = InteractiveLaunchStatus::ServiceError;
    }
    return result;
}

}  // namespace lumet::agent::openvpn
