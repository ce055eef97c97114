#include "agent/openvpn/working_directory.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <vector>

#include "agent/openvpn/coordinator_rules.h"
#include "common/log.h"
#include "common/session_win.h"
#include "common/win_handle.h"

namespace lumet::agent::openvpn {

namespace {

constexpr DWORD kOverwriteBlock = 4096;

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring LocalAppData() {
    common::UniqueCoTaskPtr<wchar_t> path;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, path.put())) ||
        path.get() == nullptr) {
        return {};
    }
    return path.get();
}

// The current user's SID, in LocalAlloc'd memory.
common::UniqueLocalMemory CurrentUserSid() {
    common::UniqueLocalMemory sid;
    const std::optional<std::wstring> text = common::CurrentUserSidText();
    if (!text || !ConvertStringSidToSidW(text->c_str(), sid.put())) {
        return {};
    }
    return sid;
}

void ProtectDirectory(const std::wstring& directory) {
    common::UniqueLocalMemory sid = CurrentUserSid();
    common::UniqueLocalPtr<ACL> dacl;
    if (sid) {
        dacl = WorkingDirectoryDacl(sid.get());
    }
    if (!dacl) {
        common::LogWin32Error(common::LogLevel::Warn,
                              L"openvpn_coordinator: working directory DACL not built",
                              GetLastError());
        return;
    }
    const DWORD error = SetNamedSecurityInfoW(
        const_cast<wchar_t*>(directory.c_str()), SE_FILE_OBJECT,
        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, /*psidOwner=*/nullptr,
        /*psidGroup=*/nullptr, dacl.get(), /*pSacl=*/nullptr);
    if (error != ERROR_SUCCESS) {
        common::LogWin32Error(common::LogLevel::Warn,
                              L"openvpn_coordinator: working directory DACL not applied", error);
    }
}

void OverwriteWithZeros(HANDLE file, uint64_t size) {
    static const uint8_t kZeros[kOverwriteBlock] = {};
    uint64_t remaining = size;
    while (remaining > 0) {
        const DWORD chunk =
            remaining < kOverwriteBlock ? static_cast<DWORD>(remaining) : kOverwriteBlock;
        DWORD written = 0;
        if (!WriteFile(file, kZeros, chunk, &written, nullptr) || written == 0) {
            return;
        }
        remaining -= written;
    }
    FlushFileBuffers(file);
}

}  // namespace

common::UniqueLocalPtr<ACL> WorkingDirectoryDacl(PSID user_sid) {
    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = kWorkingDirectoryAccess;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_USER;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(user_sid);
    common::UniqueLocalPtr<ACL> dacl;
    const DWORD error = SetEntriesInAclW(1, &entry, /*OldAcl=*/nullptr, dacl.put());
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return {};
    }
    return dacl;
}

std::optional<std::wstring> WorkingDirectoryDaclSddl() {
    common::UniqueLocalMemory sid = CurrentUserSid();
    if (!sid) {
        return std::nullopt;
    }
    common::UniqueLocalPtr<ACL> dacl = WorkingDirectoryDacl(sid.get());
    SECURITY_DESCRIPTOR descriptor;
    if (!dacl || !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, dacl.get(), FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return std::nullopt;
    }
    common::UniqueLocalPtr<wchar_t> text;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            &descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, text.put(), nullptr)) {
        return std::nullopt;
    }
    return std::wstring(text.get());
}

std::wstring EnsureWorkingDirectory(const std::wstring& root) {
    std::wstring path = root.empty() ? LocalAppData() : root;
    if (path.empty()) {
        return {};
    }
    for (const wchar_t* level : {L"\\Orrinfield", L"\\vpn", L"\\openvpn"}) {
        path += level;
        CreateDirectoryW(path.c_str(), /*lpSecurityAttributes=*/nullptr);
    }
    if (!IsDirectory(path)) {
        return {};
    }
    ProtectDirectory(path);
    return path;
}

void CleanWorkingDirectory(const std::wstring& directory) {
    if (directory.empty() || !IsDirectory(directory)) {
        return;
    }
    SecureDeleteFile(directory + L"\\" + kStatusLogName);
    WIN32_FIND_DATAW found = {};
    const common::UniqueFindHandle find(FindFirstFileW((directory + L"\\ovpn-*").c_str(), &found));
    if (!find) {
        return;
    }
    std::vector<std::wstring> leftovers;
    do {
        // The pattern matches case-insensitively; the rule itself is case-sensitive.
        if (IsLeftoverWorkingFile(found.cFileName)) {
            leftovers.push_back(directory + L"\\" + found.cFileName);
        }
    } while (FindNextFileW(find.get(), &found));
    for (const std::wstring& leftover : leftovers) {
        SecureDeleteFile(leftover);
    }
}

bool SecureDeleteFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // Opening it could reach whatever it points at; only the link goes.
        return DeleteFileW(path.c_str()) != FALSE;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    {
        common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                              nullptr));
        LARGE_INTEGER size = {};
        if (file && GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 &&
            static_cast<uint64_t>(size.QuadPart) < kSecureOverwriteLimit) {
            OverwriteWithZeros(file.get(), static_cast<uint64_t>(size.QuadPart));
        }
    }
    return DeleteFileW(path.c_str()) != FALSE || GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace lumet::agent::openvpn
