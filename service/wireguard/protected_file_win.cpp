#include "service/wireguard/protected_file.h"

#include <aclapi.h>
#include <sddl.h>

#include <climits>
#include <utility>

#include "service/wireguard/secure_delete_plan.h"

namespace lumet::service::wireguard {

namespace {

EXPLICIT_ACCESS_W GrantTo(PSID sid, TRUSTEE_TYPE type, DWORD access_mask) {
    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = access_mask;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = type;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return entry;
}

PathFacts FactsFromAttributes(DWORD attributes) {
    PathFacts facts;
    facts.exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (facts.exists) {
        facts.is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.is_reparse_point = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }
    return facts;
}

// Overwrites the first `size` bytes of an open file with zeros. Stops at the first failed or
// short write: the delete that follows still runs.
void OverwriteWithZeros(HANDLE file, uint64_t size) {
    static const BYTE kZeros[kSecureDeleteBlockSize] = {};
    LARGE_INTEGER origin = {};
    if (!SetFilePointerEx(file, origin, nullptr, FILE_BEGIN)) {
        return;
    }
    uint64_t remaining = size;
    while (remaining > 0) {
        const DWORD chunk = remaining < kSecureDeleteBlockSize ? static_cast<DWORD>(remaining)
                                                               : kSecureDeleteBlockSize;
        DWORD written = 0;
        if (!WriteFile(file, kZeros, chunk, &written, nullptr) || written == 0) {
            return;
        }
        remaining -= written;
    }
}

std::wstring_view WithoutTrailingSeparators(std::wstring_view path) {
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) {
        path.remove_suffix(1);
    }
    return path;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return std::wstring();
    }
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    full.resize(written < needed ? written : 0);
    return full;
}

std::wstring FinalPathOf(HANDLE handle) {
    const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
    if (needed == 0) {
        return std::wstring();
    }
    std::wstring path(needed, L'\0');
    const DWORD written =
        GetFinalPathNameByHandleW(handle, path.data(), needed, FILE_NAME_NORMALIZED);
    path.resize(written < needed ? written : 0);
    return path;
}

// What the handle itself is, not what a link at the path would lead to.
bool IsPlainDirectoryHandle(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof(info))) {
        return false;
    }
    return (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && info.ReparseTag == 0;
}

}  // namespace

bool FinalPathNames(std::wstring_view final_path, std::wstring_view expected) {
    constexpr std::wstring_view kUncPrefix = L"\\\\?\\UNC\\";
    constexpr std::wstring_view kLocalPrefix = L"\\\\?\\";
    std::wstring unprefixed;
    if (final_path.substr(0, kUncPrefix.size()) == kUncPrefix) {
        unprefixed = L"\\\\" + std::wstring(final_path.substr(kUncPrefix.size()));
    } else if (final_path.substr(0, kLocalPrefix.size()) == kLocalPrefix) {
        unprefixed = final_path.substr(kLocalPrefix.size());
    } else {
        return false;  // GetFinalPathNameByHandleW always gives the long form
    }
    const std::wstring_view left = WithoutTrailingSeparators(unprefixed);
    const std::wstring_view right = WithoutTrailingSeparators(expected);
    return !left.empty() && left.size() <= INT_MAX && right.size() <= INT_MAX &&
           CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                                static_cast<int>(right.size()), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

const wchar_t* DirectoryCheckName(DirectoryCheck check) {
    constexpr const wchar_t* kNames[] = {L"Ok", L"OpenFailed", L"NotPlainDirectory", L"Elsewhere",
                                         L"SecurityFailed"};
    static_assert(std::size(kNames) == static_cast<size_t>(DirectoryCheck::SecurityFailed) + 1);
    const auto index = static_cast<size_t>(check);
    return index < std::size(kNames) ? kNames[index] : L"Unknown";
}

CheckedDirectory OpenCheckedDirectory(const std::wstring& path) {
    CheckedDirectory result;
    // FILE_FLAG_OPEN_REPARSE_POINT: a link in place of the directory is opened as itself, and
    // refused below. No FILE_SHARE_DELETE: while the handle is held, nobody renames the directory
    // away and puts something else at the path.
    common::UniqueHandle handle(
        CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) {
        result.error = GetLastError();
        return result;
    }
    if (!IsPlainDirectoryHandle(handle.get())) {
        result.status = DirectoryCheck::NotPlainDirectory;
        return result;
    }
    // A link further up the path leaves the last component a plain directory, but somewhere
    // else than intended.
    if (!FinalPathNames(FinalPathOf(handle.get()), FullPath(path))) {
        result.status = DirectoryCheck::Elsewhere;
        return result;
    }
    result.status = DirectoryCheck::Ok;
    result.handle = std::move(handle);
    return result;
}

DWORD ApplyDescriptorToHandle(HANDLE directory, PSECURITY_DESCRIPTOR sd) {
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    BOOL dacl_present = FALSE;
    if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) ||
        !GetSecurityDescriptorGroup(sd, &group, &defaulted) ||
        !GetSecurityDescriptorDacl(sd, &dacl_present, &dacl, &defaulted)) {
        return GetLastError();
    }
    if (!dacl_present || dacl == nullptr) {
        return ERROR_INVALID_SECURITY_DESCR;  // a null DACL would grant everyone everything
    }
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    what |= owner != nullptr ? OWNER_SECURITY_INFORMATION : 0;
    what |= group != nullptr ? GROUP_SECURITY_INFORMATION : 0;
    return SetSecurityInfo(directory, SE_FILE_OBJECT, what, owner, group, dacl, /*pSacl=*/nullptr);
}

std::unique_ptr<ProtectedSecurityDescriptor> ProtectedSecurityDescriptor::Build(DWORD access_mask) {
    std::unique_ptr<ProtectedSecurityDescriptor> sd(new ProtectedSecurityDescriptor());

    DWORD size = sizeof(sd->system_sid_);
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, sd->system_sid_, &size)) {
        return nullptr;
    }
    size = sizeof(sd->admins_sid_);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sd->admins_sid_, &size)) {
        return nullptr;
    }

    EXPLICIT_ACCESS_W entries[2] = {
        GrantTo(sd->system_sid_, TRUSTEE_IS_USER, access_mask),
        GrantTo(sd->admins_sid_, TRUSTEE_IS_GROUP, access_mask),
    };
    const DWORD acl_error = SetEntriesInAclW(2, entries, /*OldAcl=*/nullptr, sd->dacl_.put());
    if (acl_error != ERROR_SUCCESS) {
        SetLastError(acl_error);
        return nullptr;
    }

    if (!InitializeSecurityDescriptor(&sd->descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&sd->descriptor_, /*bDaclPresent=*/TRUE, sd->dacl_.get(),
                                   /*bDaclDefaulted=*/FALSE) ||
        !SetSecurityDescriptorOwner(&sd->descriptor_, sd->admins_sid_, FALSE) ||
        !SetSecurityDescriptorGroup(&sd->descriptor_, sd->system_sid_, FALSE) ||
        // Protected here as well as when applied, so a file created with this descriptor (through
        // SECURITY_ATTRIBUTES) never picks up its directory's inheritable entries.
        !SetSecurityDescriptorControl(&sd->descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return nullptr;
    }
    return sd;
}

std::optional<std::wstring> ProtectedSecurityDescriptor::ToSddl() {
    common::UniqueLocalPtr<wchar_t> text;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            &descriptor_, SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            text.put(), nullptr)) {
        return std::nullopt;
    }
    return std::wstring(text.get());
}

bool SecureDeleteFile(const std::wstring& path) {
    if (path.empty()) {
        return true;
    }
    const PathFacts facts = FactsFromAttributes(GetFileAttributesW(path.c_str()));
    switch (PlanSecureDelete(facts)) {
        case SecureDeletePlan::Leave:
            return true;
        case SecureDeletePlan::UnlinkOnly:
            return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
        case SecureDeletePlan::OverwriteAndDelete:
            break;
    }

    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    // FILE_FLAG_OPEN_REPARSE_POINT: if the path was swapped for a link since the check above, the
    // handle is the link itself, not what it points at.
    common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, /*dwShareMode=*/0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file) {
        BY_HANDLE_FILE_INFORMATION info = {};
        LARGE_INTEGER size = {};
        const bool plain_file = GetFileInformationByHandle(file.get(), &info) &&
                                PlanSecureDelete(FactsFromAttributes(info.dwFileAttributes)) ==
                                    SecureDeletePlan::OverwriteAndDelete;
        if (plain_file && GetFileSizeEx(file.get(), &size) &&
            ShouldOverwriteFileOfSize(static_cast<uint64_t>(size.QuadPart))) {
            OverwriteWithZeros(file.get(), static_cast<uint64_t>(size.QuadPart));
            FlushFileBuffers(file.get());
        }
        file.reset();
    }
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace lumet::service::wireguard
