// Protection and disposal of files that hold secrets (the tunnel's configuration with its private
// key): a security descriptor that only LocalSystem and Administrators can use, and a delete that
// overwrites the content first.
//
// Win32 only. No shared state: safe from any thread, but two threads must not work on one path.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/win_handle.h"

namespace lumet::service::wireguard {

// FILE_ALL_ACCESS; spelled out so that the value logged and tested is the one applied.
inline constexpr DWORD kProtectedFileAccessMask = 0x1F01FF;

// An absolute security descriptor: DACL of exactly two ACEs, LocalSystem and the built-in
// Administrators, each granted `access_mask` with no inheritance; owner Administrators, group
// LocalSystem; DACL marked protected so that entries inherited from the parent are cut off
// wherever it is applied.
//
// Owns every buffer the descriptor points into, so it cannot move; hold it by unique_ptr.
class ProtectedSecurityDescriptor {
  public:
    // Null on failure; GetLastError() then tells why.
    static std::unique_ptr<ProtectedSecurityDescriptor> Build(DWORD access_mask);

    ~ProtectedSecurityDescriptor() = default;
    ProtectedSecurityDescriptor(const ProtectedSecurityDescriptor&) = delete;
    ProtectedSecurityDescriptor& operator=(const ProtectedSecurityDescriptor&) = delete;

    PSECURITY_DESCRIPTOR descriptor() { return &descriptor_; }
    PACL dacl() const { return dacl_.get(); }

    // The descriptor in SDDL (owner, group and DACL), or nullopt if the conversion failed.
    std::optional<std::wstring> ToSddl();

  private:
    ProtectedSecurityDescriptor() = default;

    alignas(void*) BYTE system_sid_[SECURITY_MAX_SID_SIZE] = {};
    alignas(void*) BYTE admins_sid_[SECURITY_MAX_SID_SIZE] = {};
    common::UniqueLocalPtr<ACL> dacl_;  // allocated by SetEntriesInAclW
    SECURITY_DESCRIPTOR descriptor_ = {};
};

// Why a directory meant to hold secrets was refused, or Ok.
enum class DirectoryCheck : uint8_t {
    Ok = 0,
    OpenFailed = 1,         // missing, or not openable; GetLastError() tells why
    NotPlainDirectory = 2,  // a file, or a reparse point (link, junction) in place of the directory
    Elsewhere = 3,          // the handle's final path is not the expected one: a link on the way
    SecurityFailed = 4,     // the descriptor could not be applied; GetLastError() tells why
};

// The enumerator's name, for log lines.
const wchar_t* DirectoryCheckName(DirectoryCheck check);

// A directory opened once, without following a link at its last component, and checked through
// that handle. Holding `handle` keeps the directory from being renamed or removed (no
// FILE_SHARE_DELETE), so what was checked is what is used.
struct CheckedDirectory {
    DirectoryCheck status = DirectoryCheck::OpenFailed;
    common::UniqueHandle handle;  // valid only when status is Ok
    DWORD error = ERROR_SUCCESS;  // why the open failed (OpenFailed only)
};

// Opens `path` with FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS and READ_CONTROL,
// WRITE_DAC and WRITE_OWNER, then refuses it unless the handle is a directory that is no reparse
// point and its final path (GetFinalPathNameByHandleW) names `path` (after GetFullPathNameW,
// ignoring case and trailing separators). A refused handle is closed.
[[nodiscard]] CheckedDirectory OpenCheckedDirectory(const std::wstring& path);

// Applies the owner and group of `sd` (where it has them) and its DACL, protected, to the open
// `directory` (SetSecurityInfo). Returns ERROR_SUCCESS or the Win32 error.
[[nodiscard]] DWORD ApplyDescriptorToHandle(HANDLE directory, PSECURITY_DESCRIPTOR sd);

// Whether `final_path`, as GetFinalPathNameByHandleW gives it ("\\?\C:\a", "\\?\UNC\s\a"),
// names the same place as the full path `expected` ("C:\a\", "\\s\a"): prefix dropped,
// trailing separators ignored, letters compared without case.
bool FinalPathNames(std::wstring_view final_path, std::wstring_view expected);

// Removes a file that may hold a secret. A missing path is no error and a directory is left
// alone. A reparse point is unlinked without being opened for writing. A plain file has its
// attributes reset, is opened without following links and without sharing, has a content of 1 to
// 1048575 bytes overwritten with zeros from the start and flushed, and is then deleted.
// Returns true when nothing but a directory (or nothing at all) remains at the path.
bool SecureDeleteFile(const std::wstring& path);

}  // namespace lumet::service::wireguard
