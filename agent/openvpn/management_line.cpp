#include "agent/openvpn/management_line.h"

#include <array>
#include <optional>
#include <utility>

namespace lumet::agent::openvpn {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// 1 to 20 decimal digits whose value fits in u64; no sign, no blanks.
std::optional<uint64_t> ParseCount(std::string_view text) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

ManagementState StateFromName(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, ManagementState>, 12> kNames{{
        {"CONNECTING", ManagementState::Connecting},
        {"RESOLVE", ManagementState::Resolve},
        {"TCP_CONNECT", ManagementState::TcpConnect},
        {"WAIT", ManagementState::Wait},
        {"AUTH", ManagementState::Auth},
        {"AUTH_PENDING", ManagementState::AuthPending},
        {"GET_CONFIG", ManagementState::GetConfig},
        {"ASSIGN_IP", ManagementState::AssignIp},
        {"ADD_ROUTES", ManagementState::AddRoutes},
        {"CONNECTED", ManagementState::Connected},
        {"RECONNECTING", ManagementState::Reconnecting},
        {"EXITING", ManagementState::Exiting},
    }};
    for (const auto& [text, state] : kNames) {
        if (name == text) {
            return state;
        }
    }
    return ManagementState::Other;
}

PasswordPromptKind ClassifyPasswordPrompt(std::string_view text) {
    if (text == "Need 'Private Key' password") {
        return PasswordPromptKind::PrivateKey;
    }
    if (text == "Need 'Auth' username/password") {
        return PasswordPromptKind::AuthUsernamePassword;
    }
    if (text == "Need 'Auth' username") {
        return PasswordPromptKind::AuthUsername;
    }
    if (text == "Need 'Auth' password") {
        return PasswordPromptKind::AuthPassword;
    }
    if (StartsWith(text, "Verification Failed")) {
        return PasswordPromptKind::VerificationFailed;
    }
    return PasswordPromptKind::Unrecognised;
}

ManagementEvent ParseLine(std::string_view line) {
    ManagementEvent event;
    if (line.size() > kMaxManagementLineBytes) {
        event.kind = ManagementEventKind::Malformed;
        return event;
    }
    if (StartsWith(line, "SUCCESS:")) {
        event.kind = ManagementEventKind::AuthSucceeded;
        return event;
    }
    if (StartsWith(line, "ERROR:")) {
        event.kind = ManagementEventKind::AuthRejected;
        return event;
    }
    if (line.empty() || line[0] != '>') {
        return event;
    }
    constexpr std::string_view kState = ">STATE:";
    constexpr std::string_view kByteCount = ">BYTECOUNT:";
    constexpr std::string_view kPassword = ">PASSWORD:";
    constexpr std::string_view kFatal = ">FATAL:";
    if (StartsWith(line, kState)) {
        event.kind = ManagementEventKind::State;
        // Fields: time stamp, state name, then the rest (description, addresses, ...).
        const std::string_view rest = line.substr(kState.size());
        const size_t first = rest.find(',');
        if (first != std::string_view::npos) {
            std::string_view name = rest.substr(first + 1);
            name = name.substr(0, name.find(','));
            event.state = StateFromName(name);
        }
        return event;
    }
    if (StartsWith(line, kByteCount)) {
        const std::string_view rest = line.substr(kByteCount.size());
        const size_t comma = rest.find(',');
        if (comma != std::string_view::npos) {
            // The second field keeps any further comma and then fails to parse.
            const std::optional<uint64_t> in = ParseCount(rest.substr(0, comma));
            const std::optional<uint64_t> out = ParseCount(rest.substr(comma + 1));
            if (in && out) {
                event.kind = ManagementEventKind::ByteCount;
                event.bytes_in = *in;
                event.bytes_out = *out;
                return event;
            }
        }
        event.kind = ManagementEventKind::Malformed;
        return event;
    }
    if (StartsWith(line, ">HOLD:")) {
        event.kind = ManagementEventKind::Hold;
        return event;
    }
    if (StartsWith(line, kPassword)) {
        event.kind = ManagementEventKind::PasswordPrompt;
        event.prompt = ClassifyPasswordPrompt(line.substr(kPassword.size()));
        return event;
    }
    if (StartsWith(line, ">LOG:")) {
        event.kind = ManagementEventKind::Log;
        return event;
    }
    if (StartsWith(line, kFatal)) {
        event.kind = ManagementEventKind::Fatal;
        event.auth_failed =
            line.substr(kFatal.size()).find("AUTH_FAILED") != std::string_view::npos;
        return event;
    }
    return event;
}

}  // namespace lumet::agent::openvpn
