#include "service/data_folder_win.h"

#include <aclapi.h>
#include <initguid.h>  // FOLDERID_ProgramData without uuid.lib
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include <string>
#include <utility>

#include "common/log.h"
#include "common/session_win.h"
#include "common/win_handle.h"

namespace lumet::service {

namespace {

using common::LogLevel;

common::UniqueLocalMemory DescriptorFromSddl(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return {};
    }
    return common::UniqueLocalMemory(descriptor);
}

// Applies the DACL of `sddl` to the open object, protected from inheritance. Returns the Win32
// result.
DWORD ApplyAccessList(HANDLE handle, const wchar_t* sddl) {
    const common::UniqueLocalMemory descriptor = DescriptorFromSddl(sddl);
    if (!descriptor) {
        return GetLastError();
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
        return GetLastError();
    }
    return SetSecurityInfo(handle, SE_FILE_OBJECT,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                           nullptr, dacl, nullptr);
}

// Opens `path` for reading its attributes and security and for setting its DACL, without
// following a reparse point at its last component. OPEN_ALWAYS creates a missing file with the
// access list of `create_sddl`; folders are created before this by CreateDirectoryW.
common::UniqueHandle OpenWithoutFollowing(const std::wstring& path, PathKind kind,
                                          const wchar_t* create_sddl) {
    const common::UniqueLocalMemory descriptor = DescriptorFromSddl(create_sddl);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), /*bInheritHandle=*/FALSE};
    const DWORD flags =
        FILE_FLAG_OPEN_REPARSE_POINT |
        (kind == PathKind::Folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL);
    return common::UniqueHandle(CreateFileW(
        path.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, descriptor ? &attributes : nullptr,
        kind == PathKind::Folder ? OPEN_EXISTING : OPEN_ALWAYS, flags, /*hTemplateFile=*/nullptr));
}

// Creates, opens, judges and secures one path. Returns the verdict; a refusal or a failure to
// apply the access list is added to `result`.
PathVerdict PreparePath(const std::wstring& path, PathKind kind, const wchar_t* sddl,
                        const DataFolderOptions& options, const std::wstring& own_account,
                        DataFolderResult* result) {
    if (kind == PathKind::Folder) {
        const common::UniqueLocalMemory descriptor = DescriptorFromSddl(sddl);
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
        // An existing folder (ERROR_ALREADY_EXISTS) is judged like a new one below.
        CreateDirectoryW(path.c_str(), descriptor ? &attributes : nullptr);
    }
    const common::UniqueHandle handle = OpenWithoutFollowing(path, kind, sddl);
    const DWORD open_error = handle ? ERROR_SUCCESS : GetLastError();
    PathFacts facts;
    if (handle) {
        facts = options.read_facts ? options.read_facts(handle.get(), path)
                                   : ReadPathFacts(handle.get(), path);
    }
    const PathVerdict verdict = JudgeDataPath(kind, facts, own_account);
    if (verdict != PathVerdict::Usable) {
        std::wstring refusal = RefusalMessage(verdict, path, facts.owner_sid);
        if (open_error != ERROR_SUCCESS) {
            refusal += L" (win32=" + std::to_wstring(open_error) + L")";
        }
        result->refusals.push_back(std::move(refusal));
        return verdict;
    }
    // Ours: (re)state its access list, so that a folder created by the installer or loosened by
    // hand gets the same protection as one the service created.
    const DWORD applied = ApplyAccessList(handle.get(), sddl);
    if (applied != ERROR_SUCCESS) {
        result->warnings.push_back(L"data folder check: could not apply the access list to " +
                                   path + L" (win32=" + std::to_wstring(applied) + L")");
    }
    return verdict;
}

}  // namespace

std::wstring ProgramDataFolder() {
    PWSTR raw = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &raw);
    const common::UniqueCoTaskPtr<wchar_t> path(raw);
    if (FAILED(hr) || path.get() == nullptr) {
        return {};
    }
    return path.get();
}

PathFacts ReadPathFacts(HANDLE handle, const std::wstring& path) {
    PathFacts facts;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) {
        return facts;
    }
    facts.exists = true;
    facts.attributes = information.dwFileAttributes;
    facts.link_count = information.nNumberOfLinks;
    const DWORD by_path = GetFileAttributesW(path.c_str());
    if (by_path != INVALID_FILE_ATTRIBUTES) {
        facts.attributes |= by_path & FILE_ATTRIBUTE_REPARSE_POINT;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw_descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &raw_descriptor) == ERROR_SUCCESS) {
        const common::UniqueLocalMemory descriptor(raw_descriptor);
        LPWSTR text = nullptr;
        if (owner != nullptr && ConvertSidToStringSidW(owner, &text)) {
            const common::UniqueLocalPtr<wchar_t> owned_text(text);
            facts.owner_sid = owned_text.get();
        }
    }
    return facts;
}

DataFolderResult PrepareDataFolders(const DataFolderOptions& options) {
    DataFolderResult result;
    const std::wstring program_data =
        options.program_data.empty() ? ProgramDataFolder() : options.program_data;
    if (program_data.empty()) {
        result.refusals.push_back(L"data folder check: the ProgramData folder is unknown");
        return result;
    }
    std::wstring own_account = options.own_account_sid;
    if (own_account.empty()) {
        own_account = common::CurrentUserSidText().value_or(std::wstring());
    }
    const std::vector<std::wstring> folders = DataFolderPaths(program_data);
    for (size_t i = 0; i < folders.size(); ++i) {
        const wchar_t* sddl = (i + 1 == folders.size()) ? kLogFolderSddl : kDataFolderSddl;
        if (PreparePath(folders[i], PathKind::Folder, sddl, options, own_account, &result) !=
            PathVerdict::Usable) {
            return result;
        }
    }
    if (PreparePath(ServiceLogPath(program_data), PathKind::LogFile, kServiceLogFileSddl, options,
                    own_account, &result) != PathVerdict::Usable) {
        return result;
    }
    result.usable = true;
    return result;
}

bool OpenServiceLog(const DataFolderOptions& options) {
    const DataFolderResult result = PrepareDataFolders(options);
    if (!result.usable) {
        common::DisableLogFile();
    }
    common::SetLogName(L"service");
    for (const std::wstring& refusal : result.refusals) {
        common::LogLine(LogLevel::Error, refusal);
    }
    for (const std::wstring& warning : result.warnings) {
        common::LogLine(LogLevel::Warn, warning);
    }
    return result.usable;
}

}  // namespace lumet::service
