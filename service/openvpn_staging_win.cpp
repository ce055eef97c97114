#include "service/openvpn_staging_win.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <array>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>

#include "common/log.h"
#include "common/messages.h"
#include "common/openvpn_profile.h"
#include "common/secure_buffer.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "service/wireguard/protected_file.h"

namespace lumet::service {

namespace {

using common::LogLevel;

constexpr wchar_t kOpenVpnKey[] = L"SOFTWARE\\OpenVPN";
constexpr wchar_t kConfigDirValue[] = L"config_dir";
constexpr DWORD kConfigDirBufferBytes = 1040;
constexpr wchar_t kOpenVpnServiceName[] = L"OpenVPNService";
constexpr DWORD kWriteChunkBytes = 65536;

std::optional<std::wstring> ReadConfigDirValue() {
    common::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOpenVpnKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    // wchar_t storage keeps the buffer aligned for the text it receives.
    wchar_t buffer[kConfigDirBufferBytes / sizeof(wchar_t)] = {};
    DWORD type = 0;
    DWORD size = kConfigDirBufferBytes;
    if (RegQueryValueExW(key.get(), kConfigDirValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::nullopt;
    }
    std::wstring value(buffer, size / sizeof(wchar_t));
    // The stored size counts the terminating NUL (sometimes more than one).
    while (!value.empty() && value.back() == L'\0') {
        value.pop_back();
    }
    return value;
}

std::wstring ProgramFilesFolder() {
    for (REFKNOWNFOLDERID id : {FOLDERID_ProgramFilesX64, FOLDERID_ProgramFiles}) {
        common::UniqueCoTaskPtr<wchar_t> path;
        if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, path.put())) && path.get()[0] != 0) {
            return path.get();
        }
    }
    return std::wstring();
}

std::wstring SidText(PSID sid) {
    common::UniqueLocalPtr<wchar_t> text;
    if (!ConvertSidToStringSidW(sid, text.put())) {
        return std::wstring();
    }
    return text.get();
}

bool Fill8RandomBytes(std::array<uint8_t, 8>& bytes) {
    using RtlGenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);
    HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    if (advapi == nullptr) {
        advapi = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    if (advapi == nullptr) {
        return false;
    }
    // GetProcAddress gives a generic FARPROC; SystemFunction036 is RtlGenRandom.
    const auto generate = reinterpret_cast<RtlGenRandomFn>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "SystemFunction036")));
    return generate != nullptr && generate(bytes.data(), static_cast<ULONG>(bytes.size())) != FALSE;
}

std::array<uint8_t, 8> RandomNameBytes() {
    std::array<uint8_t, 8> bytes = {};
    if (!Fill8RandomBytes(bytes)) {
        // Uniqueness, not secrecy, is what the name needs: the file is created new, so a
        // collision fails the stage instead of overwriting anything.
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>((std::rand() ^ GetTickCount()) & 0xFF);
        }
    }
    return bytes;
}

bool IsDirectoryAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk =
            bytes.size() < kWriteChunkBytes ? static_cast<DWORD>(bytes.size()) : kWriteChunkBytes;
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);  // a success that wrote nothing would never end
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// Overwrites what was written (it is part of a profile) and removes the file.
void DiscardFile(common::UniqueHandle& file, const std::wstring& path) {
    FlushFileBuffers(file.get());
    file.reset();
    wireguard::SecureDeleteFile(path);
}

StagingReply StatusReply(common::Status status) {
    return StagingReply{common::StatusOnly(status), false};
}

}  // namespace

bool IsExistingDirectory(const std::wstring& path) {
    return !path.empty() && IsDirectoryAttributes(GetFileAttributesW(path.c_str()));
}

// Files staged since the service started, by upper-cased path, and who staged them. Entries go
// with the file.
std::mutex g_staged_owners_lock;
std::map<std::wstring, StagedFileOwner> g_staged_owners;  // guarded by g_staged_owners_lock

std::wstring OwnerKey(std::wstring_view path) {
    std::wstring key(StripTrailingSeparators(path));
    for (wchar_t& c : key) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return key;
}

void RememberOwner(const std::wstring& path, StagedFileOwner owner) {
    std::lock_guard<std::mutex> lock(g_staged_owners_lock);
    g_staged_owners[OwnerKey(path)] = std::move(owner);
}

std::optional<StagedFileOwner> RecordedOwner(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(g_staged_owners_lock);
    const auto found = g_staged_owners.find(OwnerKey(path));
    return found == g_staged_owners.end() ? std::nullopt
                                          : std::optional<StagedFileOwner>(found->second);
}

void ForgetOwner(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(g_staged_owners_lock);
    g_staged_owners.erase(OwnerKey(path));
}

// The access-allowed entries of a file's DACL; nullopt when it cannot be read or has none.
std::optional<std::vector<AllowedAce>> ReadAllowedAces(const std::wstring& path) {
    PACL dacl = nullptr;
    common::UniqueLocalMemory descriptor;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, descriptor.put()) != ERROR_SUCCESS ||
        dacl == nullptr) {
        return std::nullopt;
    }
    ACL_SIZE_INFORMATION info = {};
    if (!GetAclInformation(dacl, &info, sizeof(info), AclSizeInformation)) {
        return std::nullopt;
    }
    std::vector<AllowedAce> entries;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) {
            return std::nullopt;
        }
        if (static_cast<const ACE_HEADER*>(raw)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            entries.push_back(AllowedAce{SidText(&ace->SidStart), ace->Mask});
        }
    }
    return entries;
}

bool DirectoryWritableByUsers(const std::wstring& directory) {
    PACL dacl = nullptr;
    common::UniqueLocalMemory descriptor;
    if (GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, descriptor.put()) != ERROR_SUCCESS) {
        return true;
    }
    if (dacl == nullptr) {
        return true;  // no DACL at all: everyone may do everything
    }
    ACL_SIZE_INFORMATION info = {};
    if (!GetAclInformation(dacl, &info, sizeof(info), AclSizeInformation)) {
        return true;
    }
    std::vector<AllowedAce> entries;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) {
            return true;
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        AllowedAce entry;
        entry.sid_text = SidText(&ace->SidStart);
        entry.mask = ace->Mask;
        if (entry.sid_text.empty() && (entry.mask & kUserWriteRightsMask) != 0) {
            return true;  // a grant of write rights to someone we cannot name
        }
        entries.push_back(std::move(entry));
    }
    return DaclLetsUsersWrite(entries);
}

OpenVpnServiceFacts QueryOpenVpnService() {
    using Probe = OpenVpnServiceFacts::Probe;
    OpenVpnServiceFacts facts;
    common::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        facts.probe = Probe::ScmUnavailable;
        return facts;
    }
    common::UniqueServiceHandle service(OpenServiceW(manager.get(), kOpenVpnServiceName,
                                                     SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) {
        facts.probe = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? Probe::NotInstalled
                                                                     : Probe::QueryFailed;
        return facts;
    }
    facts.probe = Probe::QueryFailed;
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    if (needed == 0) {
        return facts;
    }
    std::vector<uint64_t> storage((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(storage.data());
    SERVICE_STATUS status = {};
    if (!QueryServiceConfigW(service.get(), config, needed, &needed) ||
        !QueryServiceStatus(service.get(), &status)) {
        return facts;
    }
    facts.probe = Probe::Queried;
    facts.start_type = config->dwStartType;
    facts.current_state = status.dwCurrentState;
    return facts;
}

ConfigDirResolution ResolveConfigDirectory() {
    ConfigDirFacts facts;
    facts.value = ReadConfigDirValue();
    facts.program_files = ProgramFilesFolder();
    if (CheckConfigDirValue(facts.value, facts.program_files) != ConfigDirStatus::Trusted) {
        return DecideConfigDir(facts);
    }
    const std::wstring directory(StripTrailingSeparators(*facts.value));
    facts.directory_exists = IsExistingDirectory(directory);
    facts.writable_by_users = !facts.directory_exists || DirectoryWritableByUsers(directory);
    facts.service_allows_staging = OpenVpnServiceAllowsStaging(QueryOpenVpnService());
    return DecideConfigDir(facts);
}

std::unique_ptr<StagingSecurity> StagingSecurity::ForStagingDirectory() {
    BYTE system_sid[SECURITY_MAX_SID_SIZE];
    BYTE admins_sid[SECURITY_MAX_SID_SIZE];
    BYTE users_sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system_sid);
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &size)) {
        return nullptr;
    }
    size = sizeof(admins_sid);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_sid, &size)) {
        return nullptr;
    }
    size = sizeof(users_sid);
    if (!CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users_sid, &size)) {
        return nullptr;
    }
    const PSID sids[] = {system_sid, admins_sid, users_sid};
    const DWORD masks[] = {kStagingFullAccess, kStagingFullAccess, kStagingTraverseOnly};
    constexpr DWORD kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    // Users may pass through to a file whose own DACL names them, but not list the directory.
    const DWORD flags[] = {kInherited, kInherited, 0};
    std::unique_ptr<StagingSecurity> security(new StagingSecurity());
    if (!security->Init(sids, masks, flags) ||
        !security->SetOwnerAndGroup(WinBuiltinAdministratorsSid, WinLocalSystemSid)) {
        return nullptr;
    }
    return security;
}

std::unique_ptr<StagingSecurity> StagingSecurity::ForStagedFile(PSID user_sid) {
    if (user_sid == nullptr || !IsValidSid(user_sid)) {
        SetLastError(ERROR_INVALID_SID);
        return nullptr;
    }
    BYTE system_sid[SECURITY_MAX_SID_SIZE];
    BYTE admins_sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system_sid);
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &size)) {
        return nullptr;
    }
    size = sizeof(admins_sid);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_sid, &size)) {
        return nullptr;
    }
    const PSID sids[] = {system_sid, admins_sid, user_sid};
    const DWORD masks[] = {kStagingFullAccess, kStagingFullAccess, kStagedFileUserRead};
    const DWORD flags[] = {0, 0, 0};
    std::unique_ptr<StagingSecurity> security(new StagingSecurity());
    if (!security->Init(sids, masks, flags)) {
        return nullptr;
    }
    return security;
}

bool StagingSecurity::Init(std::span<const PSID> sids, std::span<const DWORD> masks,
                           std::span<const DWORD> ace_flags) {
    DWORD acl_size = sizeof(ACL);
    for (PSID sid : sids) {
        acl_size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    }
    // DWORD-aligned, as an ACL must be.
    acl_.assign((acl_size + 3) & ~DWORD{3}, 0);
    if (!InitializeAcl(dacl(), static_cast<DWORD>(acl_.size()), ACL_REVISION)) {
        return false;
    }
    for (size_t i = 0; i < sids.size(); ++i) {
        if (!AddAccessAllowedAceEx(dacl(), ACL_REVISION, ace_flags[i], masks[i], sids[i])) {
            return false;
        }
    }
    return InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor_, /*bDaclPresent=*/TRUE, dacl(),
                                     /*bDaclDefaulted=*/FALSE) &&
           // Protected in the descriptor too, so that an object created with it (through
           // SECURITY_ATTRIBUTES) never picks up inheritable entries of its parent.
           SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

bool StagingSecurity::SetOwnerAndGroup(WELL_KNOWN_SID_TYPE owner, WELL_KNOWN_SID_TYPE group) {
    DWORD owner_size = sizeof(owner_sid_);
    DWORD group_size = sizeof(group_sid_);
    return CreateWellKnownSid(owner, nullptr, owner_sid_, &owner_size) &&
           CreateWellKnownSid(group, nullptr, group_sid_, &group_size) &&
           SetSecurityDescriptorOwner(&descriptor_, owner_sid_, /*bOwnerDefaulted=*/FALSE) &&
           SetSecurityDescriptorGroup(&descriptor_, group_sid_, /*bGroupDefaulted=*/FALSE);
}

std::optional<std::wstring> StagingSecurity::ToSddl() {
    common::UniqueLocalPtr<wchar_t> text;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            &descriptor_, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, text.put(), nullptr)) {
        return std::nullopt;
    }
    return std::wstring(text.get());
}

bool EnsureStagingDirectory(const std::wstring& staging_directory) {
    std::unique_ptr<StagingSecurity> security = StagingSecurity::ForStagingDirectory();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes),
                                      security ? security->descriptor() : nullptr, FALSE};
    if (!CreateDirectoryW(staging_directory.c_str(), security ? &attributes : nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    // Checked and secured through one handle: a link would carry the DACL to whatever it points
    // at, and a check by name could be answered by another directory than the one secured.
    wireguard::CheckedDirectory directory = wireguard::OpenCheckedDirectory(staging_directory);
    if (directory.status != wireguard::DirectoryCheck::Ok || !security) {
        return false;
    }
    return wireguard::ApplyDescriptorToHandle(directory.handle.get(), security->descriptor()) ==
           ERROR_SUCCESS;
}

StageResult StageProfile(const std::wstring& staging_directory, uint32_t attempt,
                         std::string_view profile, PSID user_sid) {
    StageResult result;
    common::SecureString amended(openvpn::EnsureDirective(profile, kAuthNoCacheDirective));
    if (openvpn::ValidateProfile(amended.str(), nullptr) != openvpn::ProfileCheck::Ok) {
        result.status = StageStatus::ProfileRejected;
        return result;
    }

    std::unique_ptr<StagingSecurity> directory_security = StagingSecurity::ForStagingDirectory();
    SECURITY_ATTRIBUTES directory_attributes = {
        sizeof(directory_attributes),
        directory_security ? directory_security->descriptor() : nullptr, FALSE};
    CreateDirectoryW(staging_directory.c_str(),
                     directory_security ? &directory_attributes : nullptr);
    // Held until the profile is written: the directory checked is the one written into.
    const wireguard::CheckedDirectory directory =
        wireguard::OpenCheckedDirectory(staging_directory);
    if (directory.status != wireguard::DirectoryCheck::Ok) {
        result.status = StageStatus::StagingDirUnusable;
        result.win32_error = directory.error;
        return result;
    }

    std::unique_ptr<StagingSecurity> file_security = StagingSecurity::ForStagedFile(user_sid);
    if (!file_security) {
        result.status = StageStatus::SecurityFailed;
        result.win32_error = GetLastError();
        return result;
    }

    const std::wstring path =
        JoinPath(staging_directory, StagedFileName(attempt, RandomNameBytes()));
    SECURITY_ATTRIBUTES file_attributes = {sizeof(file_attributes), file_security->descriptor(),
                                           FALSE};
    // CREATE_NEW never opens what is already there, a planted link included; WRITE_DAC lets the
    // DACL be applied once more through the handle.
    common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | WRITE_DAC,
                                          /*dwShareMode=*/0, &file_attributes, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    if (!file) {
        result.status = StageStatus::WriteFailed;
        result.win32_error = GetLastError();
        return result;
    }
    const DWORD secured = SetSecurityInfo(
        file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        nullptr, nullptr, file_security->dacl(), nullptr);
    if (secured != ERROR_SUCCESS) {
        // Whoever can read it cannot be vouched for: the profile is not left there.
        DiscardFile(file, path);
        result.status = StageStatus::SecurityFailed;
        result.win32_error = secured;
        return result;
    }
    if (!WriteAll(file.get(), amended.str())) {
        result.win32_error = GetLastError();
        DiscardFile(file, path);
        result.status = StageStatus::WriteFailed;
        return result;
    }
    FlushFileBuffers(file.get());
    file.reset();
    result.status = StageStatus::Staged;
    result.path = path;
    return result;
}

bool DeleteStagedProfile(const std::wstring& staging_directory, const std::wstring& path) {
    if (!IsDeletableStagedPath(path, staging_directory)) {
        return false;
    }
    const std::wstring target(StripTrailingSeparators(path));
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    return wireguard::SecureDeleteFile(target);
}

SweepResult SweepStagingDirectory(const std::wstring& staging_directory) {
    SweepResult result;
    if (!IsExistingDirectory(staging_directory)) {
        return result;
    }
    // Names first, deletes after: the listing never runs over entries being removed.
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data = {};
    const common::UniqueFindHandle find(FindFirstFileExW(JoinPath(staging_directory, L"*").c_str(),
                                                         FindExInfoBasic, &data,
                                                         FindExSearchNameMatch, nullptr, 0));
    if (!find) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES) {
            result.listing_failed = true;
            result.error = error;
        }
        return result;
    }
    for (;;) {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            IsStagedName(data.cFileName)) {
            names.emplace_back(data.cFileName);
        }
        if (!FindNextFileW(find.get(), &data)) {
            const DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_FILES) {
                result.listing_failed = true;
                result.error = error;
            }
            break;
        }
    }
    for (const std::wstring& name : names) {
        if (wireguard::SecureDeleteFile(JoinPath(staging_directory, name))) {
            ++result.deleted;
        }
    }
    return result;
}

void RunStartupSweep() {
    const ConfigDirResolution resolution = ResolveConfigDirectory();
    if (resolution.status != ConfigDirStatus::Trusted) {
        common::LogLine(LogLevel::Info, L"openvpn staging unavailable: config_dir status=" +
                                            DescribeConfigDirStatus(resolution.status));
        return;
    }
    EnsureStagingDirectory(resolution.staging_directory);
    const SweepResult swept = SweepStagingDirectory(resolution.staging_directory);
    if (swept.listing_failed) {
        // Startup goes on: leftovers only keep the activity record at active until removed.
        common::LogWin32Error(LogLevel::Warn, L"openvpn staging: listing stale configs failed",
                              swept.error);
    }
    if (swept.deleted > 0) {
        common::LogLine(LogLevel::Info, L"openvpn staging: swept " +
                                            std::to_wstring(swept.deleted) +
                                            L" stale config(s) on startup");
    }
}

uint32_t CountStagedProfiles(const std::wstring& staging_directory, bool* scan_failed) {
    *scan_failed = false;
    if (!IsExistingDirectory(staging_directory)) {
        return 0;
    }
    WIN32_FIND_DATAW data = {};
    const common::UniqueFindHandle find(
        FindFirstFileW(JoinPath(staging_directory, L"ovpn-*.ovpn").c_str(), &data));
    if (!find) {
        const DWORD error = GetLastError();
        *scan_failed = error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES;
        return 0;
    }
    uint32_t count = 0;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ++count;
        }
    } while (FindNextFileW(find.get(), &data));
    return count;
}

StagingReply HandleStageOpenVpnConfig(const common::CallerIdentity& caller,
                                      std::span<const uint8_t> payload) {
    // Destroyed, and so wiped, before the dispatcher writes the reply.
    StageRequest request;
    if (!DecodeStageRequest(payload, &request)) {
        return StatusReply(common::Status::BadRequest);
    }
    if (caller.is_local_system || caller.user_sid.empty()) {
        request.profile.Wipe();
        common::LogLine(LogLevel::Warn,
                        L"stage_openvpn_config rejected: caller is not an interactive user");
        return StatusReply(common::Status::NotPermitted);
    }
    common::UniqueLocalMemory sid;
    if (!ConvertStringSidToSidW(caller.user_sid.c_str(), sid.put())) {
        request.profile.Wipe();
        return StatusReply(common::Status::Failed);
    }

    const ConfigDirResolution resolution = ResolveConfigDirectory();
    if (resolution.status != ConfigDirStatus::Trusted) {
        request.profile.Wipe();
        common::LogLine(LogLevel::Warn, L"stage_openvpn_config: config_dir untrusted status=" +
                                            DescribeConfigDirStatus(resolution.status));
        return StagingReply{BuildStageReply("", StageStatus::ConfigDirUntrusted), true};
    }

    EnsureStagingDirectory(resolution.staging_directory);
    const StageResult staged = StageProfile(resolution.staging_directory, request.attempt,
                                            request.profile.str(), sid.get());
    request.profile.Wipe();
    if (staged.status != StageStatus::Staged) {
        const std::wstring failed =
            L"stage_openvpn_config failed status=" + DescribeStageStatus(staged.status);
        if (staged.win32_error != ERROR_SUCCESS) {
            common::LogWin32Error(LogLevel::Warn, failed, staged.win32_error);
        } else {
            common::LogLine(LogLevel::Warn, failed);
        }
    } else {
        RememberOwner(staged.path, StagedFileOwner{caller.user_sid, caller.session_id});
        common::LogLine(LogLevel::Info, L"stage_openvpn_config: staged for sid=" + caller.user_sid);
    }
    return StagingReply{BuildStageReply(common::WideToUtf8(staged.path), staged.status), true};
}

StagingReply HandleDeleteStagedOpenVpnConfig(const common::CallerIdentity& caller,
                                             std::span<const uint8_t> payload) {
    std::string staged_path;
    if (!DecodeDeleteRequest(payload, &staged_path)) {
        return StatusReply(common::Status::BadRequest);
    }
    // Text that is not UTF-8 cannot name a file this service wrote.
    const std::optional<std::wstring> path = common::TryUtf8ToWide(staged_path);
    bool deleted = false;
    if (path) {
        const ConfigDirResolution resolution = ResolveConfigDirectory();
        if (resolution.status == ConfigDirStatus::Trusted &&
            IsDeletableStagedPath(*path, resolution.staging_directory) &&
            GetFileAttributesW(std::wstring(StripTrailingSeparators(*path)).c_str()) !=
                INVALID_FILE_ATTRIBUTES) {
            const std::optional<StagedFileOwner> recorded = RecordedOwner(*path);
            std::wstring acl_user;
            if (!recorded) {
                const auto entries = ReadAllowedAces(std::wstring(StripTrailingSeparators(*path)));
                acl_user = entries ? StagedFileUserFromDacl(*entries).value_or(L"") : L"";
            }
            if (!MayDeleteStagedFile(recorded, acl_user, caller)) {
                // Another session's attempt still needs it.
                common::LogLine(LogLevel::Warn,
                                L"delete_staged_openvpn_config refused: staged for another user "
                                L"or session");
                return StatusReply(common::Status::NotPermitted);
            }
        }
        deleted = resolution.status == ConfigDirStatus::Trusted &&
                  DeleteStagedProfile(resolution.staging_directory, *path);
        if (deleted) {
            ForgetOwner(*path);
        }
    }
    return StagingReply{BuildDeleteReply(deleted), true};
}

}  // namespace lumet::service
