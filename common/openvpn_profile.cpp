#include "common/openvpn_profile.h"

#include <array>
#include <functional>
#include <set>
#include <string>

#include "common/secure_buffer.h"

namespace lumet::openvpn {
namespace {

constexpr std::string_view kCaOpen = "<ca>";
constexpr std::string_view kCaClose = "</ca>";
constexpr std::string_view kTlsAuthOpen = "<tls-auth>";
constexpr std::string_view kTlsAuthClose = "</tls-auth>";

constexpr std::array<std::string_view, 9> kAcceptedProtos = {
    "udp", "udp4", "udp6", "tcp", "tcp-client", "tcp4", "tcp6", "tcp4-client", "tcp6-client"};

const std::set<std::string, std::less<>>& AllowedDirectives() {
    // A function-local static: built once, on first use, with the thread safety the language
    // guarantees for its initialisation.
    static const std::set<std::string, std::less<>> kAllowed = {
        "client",       "dev",         "proto",         "remote",
        "resolv-retry", "tun-mtu",     "key-direction", "nobind",
        "persist-key",  "persist-tun", "ns-cert-type",  "remote-cert-tls",
        "comp-lzo",     "compress",    "verb",          "auth-user-pass",
        "route-method", "cipher",      "status",        "data-ciphers",
        "auth-nocache"};
    return kAllowed;
}

// Hands out the lines of a text split at LF. The part after the last LF is a line too, so a text
// ending in LF yields a final empty line, and an empty text yields one empty line.
class LineSplitter {
  public:
    explicit LineSplitter(std::string_view text) : rest_(text) {}

    bool Next(std::string_view* line) {
        if (done_) {
            return false;
        }
        const size_t lf = rest_.find('\n');
        if (lf == std::string_view::npos) {
            *line = rest_;
            done_ = true;
        } else {
            *line = rest_.substr(0, lf);
            rest_.remove_prefix(lf + 1);
        }
        return true;
    }

  private:
    std::string_view rest_;
    bool done_ = false;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view line) {
    const auto trimmed = [](char c) { return IsBlank(c) || c == '\r'; };
    while (!line.empty() && trimmed(line.front())) {
        line.remove_prefix(1);
    }
    while (!line.empty() && trimmed(line.back())) {
        line.remove_suffix(1);
    }
    return line;
}

bool IsComment(std::string_view trimmed) {
    return !trimmed.empty() && (trimmed.front() == '#' || trimmed.front() == ';');
}

// The words of a trimmed line, split at runs of spaces and tabs (no quoting). Only the first three
// are kept; `count` tells how many there were.
struct Words {
    std::array<std::string_view, 3> word;
    size_t count = 0;
};

Words SplitWords(std::string_view line) {
    Words words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        const size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) {
            ++i;
        }
        if (words.count < words.word.size()) {
            words.word[words.count] = line.substr(start, i - start);
        }
        ++words.count;
    }
    return words;
}

bool IsValidRemoteHost(std::string_view host) {
    if (host.empty() || host.size() > kMaxRemoteHostBytes) {
        return false;
    }
    for (const char c : host) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x21 || b == 0x7F) {
            return false;
        }
    }
    return true;
}

// A port is 1 to 5 decimal digits. The value is deliberately not range-checked here: OpenVPN
// itself refuses a port it cannot use, and profiles in the field may carry such values harmlessly.
bool IsValidRemotePort(std::string_view port) {
    if (port.empty() || port.size() > kMaxRemotePortDigits) {
        return false;
    }
    for (const char c : port) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

bool IsAcceptedProto(std::string_view value) {
    std::string lower(value);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    bool accepted = false;
    for (const std::string_view proto : kAcceptedProtos) {
        accepted = accepted || lower == proto;
    }
    // The value is a copy of profile text; it is tiny, so wiping costs nothing.
    common::WipeString(lower);
    return accepted;
}

// An interval of 1 to 9 decimal digits.
bool IsStatusInterval(std::string_view value) {
    if (value.empty() || value.size() > 9) {
        return false;
    }
    for (const char c : value) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

bool IsDeviceName(std::string_view name) {
    std::string base(name.substr(0, name.find('.')));
    for (char& c : base) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
        base == "CONOUT$") {
        return true;
    }
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           base[3] >= '0' && base[3] <= '9';
}

enum class Block { None, Ca, TlsAuth };

// Tracks the inline blocks the way the validator defines them, for EnsureDirective; the validator
// itself does the same inline with its stricter checks.
struct BlockTracker {
    Block block = Block::None;

    // Consumes `trimmed` when it opens, closes or lies inside a block.
    bool Consume(std::string_view trimmed) {
        if (block == Block::Ca) {
            if (trimmed == kCaClose) {
                block = Block::None;
            }
            return true;
        }
        if (block == Block::TlsAuth) {
            if (trimmed == kTlsAuthClose) {
                block = Block::None;
            }
            return true;
        }
        if (trimmed == kCaOpen) {
            block = Block::Ca;
            return true;
        }
        if (trimmed == kTlsAuthOpen) {
            block = Block::TlsAuth;
            return true;
        }
        return false;
    }
};

}  // namespace

bool IsBareStatusFileName(std::string_view name) {
    if (name.empty() || name.size() > kMaxStatusFileNameBytes || name.front() == '.') {
        return false;
    }
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!allowed) {
            return false;
        }
    }
    return !IsDeviceName(name);
}

bool IsAllowedDirective(std::string_view word) {
    const auto& allowed = AllowedDirectives();
    return allowed.find(word) != allowed.end();
}

ProfileCheck ValidateProfile(std::string_view profile, ProfileSummary* summary) {
    if (summary != nullptr) {
        *summary = ProfileSummary{};
    }
    if (profile.empty()) {
        return ProfileCheck::Empty;
    }
    if (profile.size() > kMaxProfileBytes) {
        return ProfileCheck::TooLarge;
    }
    if (profile.find('\0') != std::string_view::npos) {
        return ProfileCheck::ContainsNul;
    }

    Block block = Block::None;
    bool seen_ca = false;
    bool seen_tls_auth = false;
    bool seen_client = false;
    bool seen_dev = false;
    bool seen_proto = false;
    bool proto_accepted = false;
    bool seen_remote = false;
    bool seen_auth_user_pass = false;
    bool auth_user_pass_argument = false;
    // Views into the profile; copied into the summary only once the whole profile has passed.
    std::string_view remote_host;
    std::string_view remote_port;
    std::string_view status_file;

    LineSplitter lines(profile);
    std::string_view raw;
    while (lines.Next(&raw)) {
        if (raw.size() > kMaxProfileLineBytes) {
            return ProfileCheck::LineTooLong;
        }
        const std::string_view line = Trim(raw);
        if (line.empty() || IsComment(line)) {
            continue;
        }

        if (block != Block::None) {
            const std::string_view close = block == Block::Ca ? kCaClose : kTlsAuthClose;
            if (line == close) {
                block = Block::None;
            } else if (line.find("</") != std::string_view::npos) {
                // Certificate and key material never holds "</". Anything else that looks like a
                // closing tag ("</ca> x", "\v</ca>", the other block's tag) is refused: OpenVPN
                // ends a block on a closing tag after any leading white space and ignores the
                // rest of that line, so it would read the following lines, which are skipped
                // here as block content, as directives.
                return ProfileCheck::BadInlineBlock;
            }
            continue;
        }
        if (line == kCaOpen) {
            block = Block::Ca;
            seen_ca = true;
            continue;
        }
        if (line == kTlsAuthOpen) {
            block = Block::TlsAuth;
            seen_tls_auth = true;
            continue;
        }
        if (line == kCaClose || line == kTlsAuthClose) {
            return ProfileCheck::BadInlineBlock;
        }

        const Words words = SplitWords(line);
        const std::string_view directive = words.word[0];
        if (!IsAllowedDirective(directive)) {
            return ProfileCheck::DisallowedDirective;
        }
        if (directive == "client") {
            seen_client = true;
        } else if (directive == "dev") {
            if (words.count != 2 || words.word[1] != "tun") {
                return ProfileCheck::DevNotTun;
            }
            seen_dev = true;
        } else if (directive == "proto") {
            seen_proto = true;
            // A line with another number of words leaves the earlier verdict standing.
            if (words.count == 2) {
                proto_accepted = IsAcceptedProto(words.word[1]);
            }
        } else if (directive == "remote") {
            if (words.count < 2 || !IsValidRemoteHost(words.word[1]) ||
                (words.count >= 3 && !IsValidRemotePort(words.word[2]))) {
                return ProfileCheck::BadRemote;
            }
            seen_remote = true;
            remote_host = words.word[1];
            remote_port = words.count >= 3 ? words.word[2] : std::string_view();
        } else if (directive == "status") {
            // Only a bare name in OpenVPN's working directory, which the agent cleans up.
            if (words.count < 2 || words.count > 3 || !IsBareStatusFileName(words.word[1]) ||
                (words.count == 3 && !IsStatusInterval(words.word[2]))) {
                return ProfileCheck::DisallowedDirective;
            }
            status_file = words.word[1];
        } else if (directive == "auth-user-pass") {
            seen_auth_user_pass = true;
            // Any word after it names a credentials file, which would put the password on disk.
            auth_user_pass_argument = auth_user_pass_argument || words.count > 1;
        }
    }

    if (block != Block::None) {
        return ProfileCheck::BadInlineBlock;
    }
    if (!seen_client) {
        return ProfileCheck::MissingClient;
    }
    if (!seen_dev) {
        return ProfileCheck::DevNotTun;
    }
    if (!seen_proto || !proto_accepted) {
        return ProfileCheck::ProtoUnsupported;
    }
    if (!seen_remote) {
        return ProfileCheck::MissingRemote;
    }
    if (!seen_auth_user_pass) {
        return ProfileCheck::MissingAuthUserPass;
    }
    if (auth_user_pass_argument) {
        return ProfileCheck::AuthUserPassHasArgument;
    }
    if (!seen_ca) {
        return ProfileCheck::MissingCa;
    }
    if (summary != nullptr) {
        summary->remote_host.assign(remote_host);
        summary->remote_port.assign(remote_port);
        summary->has_tls_auth = seen_tls_auth;
        summary->status_file.assign(status_file);
    }
    return ProfileCheck::Ok;
}

common::SecureStdString EnsureDirective(std::string_view profile, std::string_view directive) {
    constexpr std::string_view kWordBreaks(" \t\r\n\0", 5);
    if (directive.empty() || directive.find_first_of(kWordBreaks) != std::string_view::npos) {
        // Appending this would add something other than the one directive asked for.
        return common::SecureStdString(profile);
    }

    // Block content is certificate or key material, not directives: a line there that happens to
    // read like the directive must not stop it from being added.
    BlockTracker blocks;
    LineSplitter lines(profile);
    std::string_view raw;
    bool present = false;
    while (!present && lines.Next(&raw)) {
        const std::string_view line = Trim(raw);
        if (line.empty() || IsComment(line) || blocks.Consume(line)) {
            continue;
        }
        present = SplitWords(line).word[0] == directive;
    }
    if (present) {
        return common::SecureStdString(profile);
    }

    const bool needs_line_feed = !profile.empty() && profile.back() != '\n';
    common::SecureStdString result;
    // One allocation of the final size (the allocator would zero a grown block anyway).
    result.reserve(profile.size() + (needs_line_feed ? 1 : 0) + directive.size() + 1);
    result.append(profile);
    if (needs_line_feed) {
        result.push_back('\n');
    }
    result.append(directive);
    result.push_back('\n');
    return result;
}

std::string_view ProfileCheckName(ProfileCheck check) {
    switch (check) {
        case ProfileCheck::Ok:
            return "Ok";
        case ProfileCheck::Empty:
            return "Empty";
        case ProfileCheck::TooLarge:
            return "TooLarge";
        case ProfileCheck::LineTooLong:
            return "LineTooLong";
        case ProfileCheck::ContainsNul:
            return "ContainsNul";
        case ProfileCheck::MissingClient:
            return "MissingClient";
        case ProfileCheck::DevNotTun:
            return "DevNotTun";
        case ProfileCheck::ProtoUnsupported:
            return "ProtoUnsupported";
        case ProfileCheck::MissingRemote:
            return "MissingRemote";
        case ProfileCheck::BadRemote:
            return "BadRemote";
        case ProfileCheck::MissingAuthUserPass:
            return "MissingAuthUserPass";
        case ProfileCheck::AuthUserPassHasArgument:
            return "AuthUserPassHasArgument";
        case ProfileCheck::MissingCa:
            return "MissingCa";
        case ProfileCheck::BadInlineBlock:
            return "BadInlineBlock";
        case ProfileCheck::DisallowedDirective:
            return "DisallowedDirective";
    }
    return "Unknown";
}

}  // namespace lumet::openvpn
