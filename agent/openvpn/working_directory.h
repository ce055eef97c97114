// The agent's OpenVPN working directory: "<LocalAppData>\Orrinfield\vpn\openvpn", readable and
// writable by the current user alone. openvpn.exe runs in it and may leave "openvpn-status.log"
// and other files there; the coordinator removes them when it starts and after every OpenVPN
// process it stopped.
//
// Thread safety: every function may be called from any thread; two callers working on the same
// directory at once may race on its files (the coordinator never does).
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "common/win_handle.h"

namespace lumet::agent::openvpn {

inline constexpr wchar_t kStatusLogName[] = L"openvpn-status.log";
// Full access (FILE_ALL_ACCESS) for the current user, the directory's only entry.
inline constexpr DWORD kWorkingDirectoryAccess = 0x1F01FF;
// Files of this size or larger are deleted without being overwritten first.
inline constexpr uint64_t kSecureOverwriteLimit = 1048576;

// The directory below `root` (LocalAppData when `root` is empty): each of "Orrinfield", "vpn" and
// "openvpn" is created when missing. When the result is a directory, its DACL is replaced by the
// one of WorkingDirectoryDacl and inheritance from the parent is cut (a failure there is logged
// as WARN and the directory is still used). Empty when the known folder cannot be read or the
// path is not a directory.
std::wstring EnsureWorkingDirectory(const std::wstring& root = {});

// A DACL with one entry granting `user_sid` kWorkingDirectoryAccess without inheritance.
// Nothing when the ACL cannot be built (GetLastError holds the error).
common::UniqueLocalPtr<ACL> WorkingDirectoryDacl(PSID user_sid);

// The same DACL as protected SDDL text for the current user, e.g. "D:P(A;;FA;;;S-1-5-21-...)",
// so that tests can check what Wine does not store.
std::optional<std::wstring> WorkingDirectoryDaclSddl();

// Clean-up when the coordinator starts: when `directory` exists, securely deletes
// "openvpn-status.log" in it, then every entry whose name starts with "ovpn-" and ends in ".conf"
// or ".log". An empty `directory` does nothing.
void CleanWorkingDirectory(const std::wstring& directory);

// Deletes `path` after overwriting it with zeros: nothing happens when it does not exist or is a
// directory; a reparse point is deleted without being opened; otherwise its attributes are
// cleared, it is opened for writing without sharing and without following links, a size of 1 to
// kSecureOverwriteLimit - 1 bytes is overwritten with zeros in 4096-byte blocks and flushed, and
// the file is closed and deleted. Returns whether the path is gone (or was never there).
bool SecureDeleteFile(const std::wstring& path);

}  // namespace lumet::agent::openvpn
