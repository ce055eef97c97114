// OpenVPN profile staging, the Win32 side: resolving OpenVPN's configuration directory from the
// registry, the file system and the service manager; the protected staging directory and the
// staged files with their access lists; the startup sweep; the two request handlers.
//
// No state is kept between calls: the configuration directory is resolved again for every
// request, so a change to the registry value, the directory's DACL or OpenVPNService takes effect
// at once. Every function may be called from any thread, but the service calls them on its one
// server thread (and once, for the startup sweep, while its state is built). Two stages never
// collide: each file is created new under a random name.
//
// Secrets: profiles are OpenVPN configurations with keys. Copies made here are wiped before the
// functions return and are never logged; staged files and leftovers are overwritten before they
// are deleted.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/caller_check.h"
#include "service/openvpn_staging.h"

namespace lumet::service {

// Reads HKLM "SOFTWARE\OpenVPN" "config_dir" (64-bit view, REG_SZ only, at most 1040 bytes) and
// Program Files, then applies every check of DecideConfigDir, gathering the directory's DACL and
// the state of OpenVPNService only when the value itself passes.
[[nodiscard]] ConfigDirResolution ResolveConfigDirectory();

// The facts behind the last three checks, each gathered as the resolution does.
bool IsExistingDirectory(const std::wstring& path);
// True also when the DACL cannot be read or is absent (an absent DACL grants everyone everything).
bool DirectoryWritableByUsers(const std::wstring& directory);
OpenVpnServiceFacts QueryOpenVpnService();

// An absolute security descriptor holding a protected DACL (and, for the directory, an owner and
// group), with every buffer it points into. Cannot move; hold it by unique_ptr.
class StagingSecurity {
  public:
    // Staging directory: owned by Administrators, group SYSTEM, as the WireGuard configuration
    // folder is; SYSTEM and Administrators full access, inherited by files and subdirectories;
    // BUILTIN\Users traverse only, on the directory itself.
    static std::unique_ptr<StagingSecurity> ForStagingDirectory();
    // Staged file: SYSTEM and Administrators full access, `user_sid` read, nothing inherited; no
    // owner (the creator, the service). A missing or invalid SID fails with ERROR_INVALID_SID.
    static std::unique_ptr<StagingSecurity> ForStagedFile(PSID user_sid);

    StagingSecurity(const StagingSecurity&) = delete;
    StagingSecurity& operator=(const StagingSecurity&) = delete;

    PSECURITY_DESCRIPTOR descriptor() { return &descriptor_; }
    PACL dacl() { return reinterpret_cast<PACL>(acl_.data()); }
    // The DACL in SDDL ("D:P(...)..."), or nullopt when the conversion fails.
    std::optional<std::wstring> ToSddl();

  private:
    StagingSecurity() = default;
    // Builds the ACL from (SID, mask, inheritance flags) entries, in that order.
    bool Init(std::span<const PSID> sids, std::span<const DWORD> masks,
              std::span<const DWORD> ace_flags);

    // Sets the owner and group from well-known SIDs kept in this object.
    bool SetOwnerAndGroup(WELL_KNOWN_SID_TYPE owner, WELL_KNOWN_SID_TYPE group);

    std::vector<BYTE> acl_;
    alignas(void*) BYTE owner_sid_[SECURITY_MAX_SID_SIZE] = {};
    alignas(void*) BYTE group_sid_[SECURITY_MAX_SID_SIZE] = {};
    SECURITY_DESCRIPTOR descriptor_ = {};
};

// Creates the staging directory if it is missing (with the staging DACL), checks that it is a
// directory and applies the staging DACL, protected. Informational: callers go on either way.
bool EnsureStagingDirectory(const std::wstring& staging_directory);

struct StageResult {
    StageStatus status = StageStatus::WriteFailed;
    std::wstring path;  // full path of the staged file; empty unless Staged
    // The Win32 error behind StagingDirUnusable, SecurityFailed or WriteFailed where a call
    // reported one; ERROR_SUCCESS otherwise (a refused directory, a rejected profile).
    DWORD win32_error = ERROR_SUCCESS;
};

// Ensures "auth-nocache", validates, and writes the amended profile into a new file named by
// StagedFileName in `staging_directory`, readable by `user_sid`. Nothing is left on disk unless
// the result is Staged.
[[nodiscard]] StageResult StageProfile(const std::wstring& staging_directory, uint32_t attempt,
                                       std::string_view profile, PSID user_sid);

// Removes a staged file when IsDeletableStagedPath allows it. True when it was deleted or was
// not there (ERROR_FILE_NOT_FOUND); false when the path is refused, is a directory, or cannot be
// deleted.
bool DeleteStagedProfile(const std::wstring& staging_directory, const std::wstring& path);

struct SweepResult {
    uint32_t deleted = 0;
    // The directory listing broke off with an error other than running out of entries;
    // `error` holds it. Files deleted before that are counted.
    bool listing_failed = false;
    DWORD error = 0;
};

// Deletes every file (not directory) with a staged name in `staging_directory`; a missing
// directory is no error.
[[nodiscard]] SweepResult SweepStagingDirectory(const std::wstring& staging_directory);

// Resolves, ensures, sweeps and logs, once while the service starts.
void RunStartupSweep();

// Counts the non-directory entries matching "ovpn-*.ovpn" for the activity record. Nothing to
// count (no path, no directory, no match) is 0 without failure; a search that cannot start for
// another reason sets `*scan_failed`.
uint32_t CountStagedProfiles(const std::wstring& staging_directory, bool* scan_failed);

// The request handlers: the reply body, and whether the dispatcher records the activity after it.
struct StagingReply {
    std::vector<uint8_t> body;
    bool record_activity = false;
};

// StageOpenVpnConfig: decodes, refuses callers that are LocalSystem or have no SID, converts the
// SID, resolves, stages and logs. The decoded profile is wiped before it returns, on every path.
StagingReply HandleStageOpenVpnConfig(const common::CallerIdentity& caller,
                                      std::span<const uint8_t> payload);

// DeleteStagedOpenVpnConfig: deletes only when the configuration directory resolves as trusted,
// and an existing file only for the caller who may (MayDeleteStagedFile): otherwise the reply is
// NotPermitted and the file stays.
StagingReply HandleDeleteStagedOpenVpnConfig(const common::CallerIdentity& caller,
                                             std::span<const uint8_t> payload);

}  // namespace lumet::service
