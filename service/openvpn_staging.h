// OpenVPN profile staging, the decisions: whether OpenVPN's configuration directory can be trusted,
// what a staged file is called and which paths a delete request may touch, and the wire bodies of
// the two staging requests.
//
// The service writes profiles into "<config_dir>orrinfield\" only after the directory named by
// OpenVPN's own registry value has passed every check here; every check refuses rather than
// guesses. The Win32 side (openvpn_staging_win.h) gathers the facts and acts on the answers.
//
// Everything here is pure and re-entrant. Paths are wide text as Windows reports them; letter case
// is folded for ASCII letters only, so two paths that differ only in the case of a non-ASCII
// letter count as different (a refusal, never a false match).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/caller_check.h"
#include "common/secure_buffer.h"

namespace lumet::service {

enum class ConfigDirStatus : uint16_t {
    Trusted = 0,
    NotConfigured = 1,        // no REG_SZ "config_dir" under HKLM "SOFTWARE\OpenVPN"
    EmptyValue = 2,           // the value is empty
    NotAbsolute = 3,          // not "<drive letter>:" followed by "\" or "/"
    NoTrailingBackslash = 4,  // the value does not end with "\"
    NotDefaultLocation = 5,   // not Program Files + "\openvpn\config"
    Missing = 6,              // not an existing directory
    WritableByUsers = 7,      // its DACL lets ordinary users write
    AutoServiceActive = 8,    // OpenVPNService exists and is not both disabled and stopped
};

// stage_status of the StageOpenVpnConfig reply.
enum class StageStatus : uint16_t {
    Staged = 0,
    ConfigDirUntrusted = 1,
    ProfileRejected = 2,
    StagingDirUnusable = 3,  // not a directory, or a reparse point
    SecurityFailed = 4,      // the file's security descriptor could not be built or applied
    WriteFailed = 5,         // the file could not be created or fully written
};

// A status for a log line: its number, which the log texts have always carried, then its name,
// e.g. "7 (WritableByUsers)"; a value outside the enum shows its number alone.
std::wstring DescribeConfigDirStatus(ConfigDirStatus status);
std::wstring DescribeStageStatus(StageStatus status);

// The service's own subdirectory of OpenVPN's configuration directory.
inline constexpr wchar_t kStagingSubdirectory[] = L"orrinfield\\";
// The part of OpenVPN's configuration directory below Program Files.
inline constexpr wchar_t kDefaultConfigDirBelowProgramFiles[] = L"\\openvpn\\config";
// Added to every staged profile so that OpenVPN never caches the user's credentials.
inline constexpr char kAuthNoCacheDirective[] = "auth-nocache";

// Access masks of the staging descriptors (FILE_ALL_ACCESS, FILE_TRAVERSE, FILE_GENERIC_READ).
inline constexpr uint32_t kStagingFullAccess = 0x1F01FF;
inline constexpr uint32_t kStagingTraverseOnly = 0x20;
inline constexpr uint32_t kStagedFileUserRead = 0x120089;

// Rights that make a directory writable for whoever holds them: write data, append data, write
// extended attributes, write attributes, delete, write DAC, write owner, generic all, generic
// write.
inline constexpr uint32_t kUserWriteRightsMask = 0x500D0116;

// What the Win32 side found out about OpenVPN's configuration directory. Only what the checks get
// to is looked at: the directory and service facts are ignored when the value already fails.
struct ConfigDirFacts {
    // The REG_SZ value "config_dir" without its terminating NULs; nullopt when the key or value is
    // missing, of another type or unreadable.
    std::optional<std::wstring> value;
    // The Program Files folder (the 64-bit one where it exists); empty when unknown, and then no
    // value can be at the default location.
    std::wstring program_files;
    // The value, trailing separators removed, names an existing directory.
    bool directory_exists = false;
    // Its DACL lets users write, or the DACL could not be read.
    bool writable_by_users = true;
    // OpenVPNService is absent, or installed disabled and stopped.
    bool service_allows_staging = false;
};

struct ConfigDirResolution {
    ConfigDirStatus status = ConfigDirStatus::NotConfigured;
    std::wstring config_directory;   // the registry value, ending in "\"; empty unless Trusted
    std::wstring staging_directory;  // config_directory + "orrinfield\"; empty unless Trusted
};

// Checks 1 to 5, in order, on the registry value alone; Trusted when all of them pass.
[[nodiscard]] ConfigDirStatus CheckConfigDirValue(const std::optional<std::wstring>& value,
                                                  std::wstring_view program_files);

// All checks: the value first, then missing, writable, service.
[[nodiscard]] ConfigDirResolution DecideConfigDir(const ConfigDirFacts& facts);

// One access-allowed entry of a directory's DACL.
struct AllowedAce {
    std::wstring sid_text;
    uint32_t mask = 0;
};

// True when an entry for BUILTIN\Users, Authenticated Users or Everyone grants any of
// kUserWriteRightsMask.
bool DaclLetsUsersWrite(std::span<const AllowedAce> entries);

// What a query of OpenVPNService found.
struct OpenVpnServiceFacts {
    enum class Probe {
        NotInstalled,    // the service manager says there is no such service
        Queried,         // start type and state below are valid
        ScmUnavailable,  // the service manager could not be opened
        QueryFailed,     // the service exists (or might) but could not be examined
    };
    Probe probe = Probe::ScmUnavailable;
    uint32_t start_type = 0;     // SERVICE_DISABLED is 4
    uint32_t current_state = 0;  // SERVICE_STOPPED is 1
};

// OpenVPN's own service would start OpenVPN on every profile in the configuration directory,
// ours included; staging is only safe while it cannot run.
bool OpenVpnServiceAllowsStaging(const OpenVpnServiceFacts& facts);

// "ovpn-" + attempt in decimal + "-" + the 8 bytes as 16 lowercase hex digits + ".ovpn".
std::wstring StagedFileName(uint32_t attempt, std::span<const uint8_t, 8> random);

// At least 10 characters, starting with "ovpn-" and ending with ".ovpn" (case-sensitive).
bool IsStagedName(std::wstring_view name);

// `path` without its trailing "\" and "/" characters.
std::wstring_view StripTrailingSeparators(std::wstring_view path);

// Equal ignoring the case of ASCII letters.
bool PathTextEquals(std::wstring_view a, std::wstring_view b);

// `directory` + "\" (unless it already ends with one) + `name`.
std::wstring JoinPath(std::wstring_view directory, std::wstring_view name);

// Whether a delete request may remove `path`: its parent directory is the staging directory
// (both without trailing separators, case ignored) and its file name is a staged name. A name
// holding a NUL or a ":" is refused as well: Windows would cut the path at the NUL or open an
// alternate data stream, so the file removed would not be the one checked.
bool IsDeletableStagedPath(std::wstring_view path, std::wstring_view staging_directory);

// Who staged a file: the caller's user SID text and Windows session, remembered by the service for
// every file it staged since it started.
struct StagedFileOwner {
    std::wstring user_sid;
    uint32_t session_id = 0;
};

// Whether `caller` may delete a staged file that exists. Never a caller without a valid identity,
// a LocalSystem caller or one without a SID. With `recorded` (this service staged the file), only
// the same user (SID text, case ignored) in the same session; otherwise only the user to whom the
// file's DACL grants read (`acl_user`; empty when it names none), in any session. So one session
// cannot pull the profile from under another session's connection attempt.
bool MayDeleteStagedFile(const std::optional<StagedFileOwner>& recorded, std::wstring_view acl_user,
                         const common::CallerIdentity& caller);

// The user a staged file was written for: the SID of the one access-allowed entry granting
// kStagedFileUserRead that is neither SYSTEM nor Administrators; nullopt when there is not exactly
// one.
std::optional<std::wstring> StagedFileUserFromDacl(std::span<const AllowedAce> entries);

// Request and reply bodies. Decoders fail on a body too short for its fields (extra bytes are
// ignored); a failed decode leaves nothing secret behind in `*request`.
struct StageRequest {
    uint32_t attempt = 0;
    common::SecureString profile;
};
bool DecodeStageRequest(std::span<const uint8_t> payload, StageRequest* request);
// Ok, string staged_path (UTF-8), u16 stage_status.
std::vector<uint8_t> BuildStageReply(std::string_view staged_path, StageStatus status);

bool DecodeDeleteRequest(std::span<const uint8_t> payload, std::string* staged_path);
// Ok, bool deleted.
std::vector<uint8_t> BuildDeleteReply(bool deleted);

}  // namespace lumet::service
