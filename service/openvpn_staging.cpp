#include "service/openvpn_staging.h"

#include <iterator>

#include "common/messages.h"
#include "common/payload.h"
#include "common/sid_text.h"

namespace lumet::service {

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::wstring_view text, std::wstring_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::wstring NumberAndName(unsigned number, const wchar_t* name) {
    std::wstring text = std::to_wstring(number);
    if (name != nullptr) {
        text.append(L" (").append(name).append(L")");
    }
    return text;
}

// In the order of the enumerators; the checks below catch an enumerator added without a name.
constexpr const wchar_t* kConfigDirStatusNames[] = {
    L"Trusted",     L"NotConfigured",       L"EmptyValue",
    L"NotAbsolute", L"NoTrailingBackslash", L"NotDefaultLocation",
    L"Missing",     L"WritableByUsers",     L"AutoServiceActive"};
static_assert(std::size(kConfigDirStatusNames) ==
              static_cast<size_t>(ConfigDirStatus::AutoServiceActive) + 1);
constexpr const wchar_t* kStageStatusNames[] = {L"Staged",          L"ConfigDirUntrusted",
                                                L"ProfileRejected", L"StagingDirUnusable",
                                                L"SecurityFailed",  L"WriteFailed"};
static_assert(std::size(kStageStatusNames) == static_cast<size_t>(StageStatus::WriteFailed) + 1);

template <typename Enum, size_t N>
std::wstring Describe(Enum value, const wchar_t* const (&names)[N]) {
    const auto number = static_cast<size_t>(value);
    return NumberAndName(static_cast<unsigned>(number), number < N ? names[number] : nullptr);
}

}  // namespace

std::wstring DescribeConfigDirStatus(ConfigDirStatus status) {
    return Describe(status, kConfigDirStatusNames);
}

std::wstring DescribeStageStatus(StageStatus status) {
    return Describe(status, kStageStatusNames);
}

ConfigDirStatus CheckConfigDirValue(const std::optional<std::wstring>& value,
                                    std::wstring_view program_files) {
    if (!value) {
        return ConfigDirStatus::NotConfigured;
    }
    const std::wstring& dir = *value;
    if (dir.empty()) {
        return ConfigDirStatus::EmptyValue;
    }
    if (dir.size() < 3 || !IsAsciiLetter(dir[0]) || dir[1] != L':' || !IsSeparator(dir[2])) {
        return ConfigDirStatus::NotAbsolute;
    }
    if (dir.back() != L'\\') {
        return ConfigDirStatus::NoTrailingBackslash;
    }
    const std::wstring_view base = StripTrailingSeparators(program_files);
    if (base.empty()) {
        return ConfigDirStatus::NotDefaultLocation;
    }
    const std::wstring expected = std::wstring(base) + kDefaultConfigDirBelowProgramFiles;
    if (!PathTextEquals(StripTrailingSeparators(dir), expected)) {
        return ConfigDirStatus::NotDefaultLocation;
    }
    return ConfigDirStatus::Trusted;
}

ConfigDirResolution DecideConfigDir(const ConfigDirFacts& facts) {
    ConfigDirResolution result;
    result.status = CheckConfigDirValue(facts.value, facts.program_files);
    if (result.status != ConfigDirStatus::Trusted) {
        return result;
    }
    if (!facts.directory_exists) {
        result.status = ConfigDirStatus::Missing;
    } else if (facts.writable_by_users) {
        result.status = ConfigDirStatus::WritableByUsers;
    } else if (!facts.service_allows_staging) {
        result.status = ConfigDirStatus::AutoServiceActive;
    } else {
        result.config_directory = *facts.value;
        result.staging_directory = *facts.value + kStagingSubdirectory;
    }
    return result;
}

bool DaclLetsUsersWrite(std::span<const AllowedAce> entries) {
    // BUILTIN\Users, Authenticated Users, Everyone: every ordinary account is in all three.
    static constexpr std::wstring_view kUserSids[] = {L"S-1-5-32-545", L"S-1-5-11", L"S-1-1-0"};
    for (const AllowedAce& entry : entries) {
        if ((entry.mask & kUserWriteRightsMask) == 0) {
            continue;
        }
        for (std::wstring_view sid : kUserSids) {
            if (common::SidTextEquals(entry.sid_text, sid)) {
                return true;
            }
        }
    }
    return false;
}

bool OpenVpnServiceAllowsStaging(const OpenVpnServiceFacts& facts) {
    constexpr uint32_t kServiceDisabled = 4;
    constexpr uint32_t kServiceStopped = 1;
    switch (facts.probe) {
        case OpenVpnServiceFacts::Probe::NotInstalled:
            return true;
        case OpenVpnServiceFacts::Probe::Queried:
            return facts.start_type == kServiceDisabled && facts.current_state == kServiceStopped;
        case OpenVpnServiceFacts::Probe::ScmUnavailable:
        case OpenVpnServiceFacts::Probe::QueryFailed:
            break;
    }
    return false;
}

std::wstring StagedFileName(uint32_t attempt, std::span<const uint8_t, 8> random) {
    static constexpr wchar_t kHex[] = L"0123456789abcdef";
    std::wstring name = L"ovpn-" + std::to_wstring(attempt) + L"-";
    for (uint8_t byte : random) {
        name.push_back(kHex[byte >> 4]);
        name.push_back(kHex[byte & 0x0F]);
    }
    name += L".ovpn";
    return name;
}

bool IsStagedName(std::wstring_view name) {
    return name.size() >= 10 && StartsWith(name, L"ovpn-") && EndsWith(name, L".ovpn");
}

std::wstring_view StripTrailingSeparators(std::wstring_view path) {
    while (!path.empty() && IsSeparator(path.back())) {
        path.remove_suffix(1);
    }
    return path;
}

bool PathTextEquals(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::wstring JoinPath(std::wstring_view directory, std::wstring_view name) {
    std::wstring path(directory);
    if (path.empty() || path.back() != L'\\') {
        path.push_back(L'\\');
    }
    path += name;
    return path;
}

bool IsDeletableStagedPath(std::wstring_view path, std::wstring_view staging_directory) {
    const std::wstring_view trimmed = StripTrailingSeparators(path);
    const size_t last = trimmed.find_last_of(L"\\/");
    if (last == std::wstring_view::npos) {
        return false;
    }
    const std::wstring_view parent = StripTrailingSeparators(trimmed.substr(0, last));
    const std::wstring_view name = trimmed.substr(last + 1);
    const std::wstring_view staging = StripTrailingSeparators(staging_directory);
    if (staging.empty() || !PathTextEquals(parent, staging)) {
        return false;
    }
    if (name.find(L'\0') != std::wstring_view::npos || name.find(L':') != std::wstring_view::npos) {
        return false;
    }
    return IsStagedName(name);
}

bool DecodeStageRequest(std::span<const uint8_t> payload, StageRequest* request) {
    common::PayloadReader reader(payload);
    uint32_t attempt = 0;
    common::SecureString profile;
    if (!reader.ReadU32(&attempt) || !reader.ReadString(&profile.str())) {
        return false;
    }
    request->attempt = attempt;
    request->profile = std::move(profile);
    return true;
}

std::vector<uint8_t> BuildStageReply(std::string_view staged_path, StageStatus status) {
    common::PayloadWriter writer;
    common::WriteStatus(writer, common::Status::Ok);
    // A path longer than a wire string cannot be delivered; the agent then sees no path.
    if (!writer.WriteString(staged_path)) {
        writer.WriteString("");
    }
    writer.WriteU16(static_cast<uint16_t>(status));
    return writer.Take();
}

bool DecodeDeleteRequest(std::span<const uint8_t> payload, std::string* staged_path) {
    common::PayloadReader reader(payload);
    return reader.ReadString(staged_path);
}

std::vector<uint8_t> BuildDeleteReply(bool deleted) {
    common::PayloadWriter writer;
    common::WriteStatus(writer, common::Status::Ok);
    writer.WriteBool(deleted);
    return writer.Take();
}

bool MayDeleteStagedFile(const std::optional<StagedFileOwner>& recorded, std::wstring_view acl_user,
                         const common::CallerIdentity& caller) {
    if (!caller.valid || caller.is_local_system || caller.user_sid.empty()) {
        return false;
    }
    if (recorded) {
        return common::SidTextEquals(caller.user_sid, recorded->user_sid) &&
               caller.session_id == recorded->session_id;
    }
    return !acl_user.empty() && common::SidTextEquals(caller.user_sid, acl_user);
}

std::optional<std::wstring> StagedFileUserFromDacl(std::span<const AllowedAce> entries) {
    std::optional<std::wstring> user;
    for (const AllowedAce& entry : entries) {
        if (entry.mask != kStagedFileUserRead || entry.sid_text.empty() ||
            common::SidTextEquals(entry.sid_text, L"S-1-5-18") ||
            common::SidTextEquals(entry.sid_text, L"S-1-5-32-544")) {
            continue;
        }
        if (user) {
            return std::nullopt;  // more than one reader: not a file this service wrote
        }
        user = entry.sid_text;
    }
    return user;
}

}  // namespace lumet::service
