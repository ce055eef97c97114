#include "agent/openvpn/management_commands.h"

#include <algorithm>

namespace lumet::agent::openvpn {

CredentialCheck CheckCredentialValue(std::string_view value) {
    if (value.empty()) {
        return CredentialCheck::Empty;
    }
    if (value.size() > kMaxCredentialBytes) {
        return CredentialCheck::TooLong;
    }
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            return CredentialCheck::ControlCharacter;
        }
    }
    return CredentialCheck::Ok;
}

std::string StateOnCommand() {
    return "state on\n";
}

std::string ByteCountCommand(uint32_t interval_seconds) {
    return "bytecount " + std::to_string(interval_seconds) + "\n";
}

std::string HoldReleaseCommand() {
    return "hold release\n";
}

std::string TerminateCommand() {
    return "signal SIGTERM\n";
}

std::optional<common::SecureString> CredentialCommand(CredentialKind kind, std::string_view value) {
    if (CheckCredentialValue(value) != CredentialCheck::Ok) {
        return std::nullopt;
    }
    const std::string_view word = kind == CredentialKind::Username ? "username" : "password";
    constexpr std::string_view kType = " \"Auth\" \"";
    common::SecureString command;
    common::SecureStdString& out = command.str();
    // Worst case every byte is escaped (the string zeroes what it frees; reserving saves copies).
    out.reserve(word.size() + kType.size() + 2 * value.size() + 2);
    out.append(word);
    out.append(kType);
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.append("\"\n");
    return command;
}

std::optional<common::SecureString> ManagementPasswordLine(std::string_view value) {
    if (CheckCredentialValue(value) != CredentialCheck::Ok) {
        return std::nullopt;
    }
    common::SecureString line;
    line.str().reserve(value.size() + 1);
    line.str().append(value);
    line.str().push_back('\n');
    return line;
}

std::wstring Preview(std::string_view bytes, size_t max_bytes) {
    const size_t n = std::min({bytes.size(), max_bytes, kPreviewBytes});
    std::wstring out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out.push_back(b >= 0x20 && b <= 0x7E ? static_cast<wchar_t>(b) : L'.');
    }
    return out;
}

std::string_view CommandFirstWord(std::string_view command) {
    const size_t end = command.find_first_of(" \n");
    if (end != std::string_view::npos) {
        return command.substr(0, end);
    }
    return command.substr(0, 12);
}

}  // namespace lumet::agent::openvpn
