#include "common/pipe_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <utility>

#include "common/log.h"

namespace lumet::common {

// The attributes record is copied, then detached from the source: a moved-from owner must not
// hand out a pointer to a descriptor it no longer owns.
PipeSecurity::PipeSecurity(PipeSecurity&& other) noexcept
    : sids_(std::move(other.sids_)),
      dacl_(std::move(other.dacl_)),
      descriptor_(std::move(other.descriptor_)),
      attributes_(other.attributes_) {
    other.sids_.clear();
    other.attributes_.lpSecurityDescriptor = nullptr;
}

PipeSecurity& PipeSecurity::operator=(PipeSecurity&& other) noexcept {
    if (this != &other) {
        attributes_.lpSecurityDescriptor = nullptr;
        descriptor_ = std::move(other.descriptor_);
        dacl_ = std::move(other.dacl_);
        sids_ = std::move(other.sids_);
        other.sids_.clear();
        attributes_ = other.attributes_;
        other.attributes_.lpSecurityDescriptor = nullptr;
    }
    return *this;
}

size_t PipeSecurity::entry_count() const {
    return dacl_ ? dacl_.get()->AceCount : 0;
}

std::optional<PipeSecurity> BuildPipeSecurity(const std::vector<std::wstring>& sid_texts) {
    std::vector<PipeAccessEntry> entries;
    entries.reserve(sid_texts.size());
    for (const std::wstring& text : sid_texts) {
        entries.push_back({text, kPipeAccessMask});
    }
    return BuildPipeSecurity(entries);
}

std::optional<PipeSecurity> BuildPipeSecurity(const std::vector<PipeAccessEntry>& sid_texts) {
    if (sid_texts.empty()) {
        return std::nullopt;
    }
    // Everything allocated below is owned from the moment it exists, so every early return frees
    // it.
    PipeSecurity security;
    security.sids_.reserve(sid_texts.size());
    std::vector<EXPLICIT_ACCESS_W> entries;
    entries.reserve(sid_texts.size());
    for (const PipeAccessEntry& access : sid_texts) {
        const std::wstring& text = access.sid_text;
        // An empty text is refused before the conversion sees it: it is never a SID, and some
        // converters read past the terminator of an empty string.
        UniqueLocalMemory sid;
        if (text.empty() || !ConvertStringSidToSidW(text.c_str(), sid.put()) || !sid) {
            LogLine(LogLevel::Warn, L"PipeSecurity: bad SID string skipped");
            continue;
        }

        EXPLICIT_ACCESS_W entry = {};
        entry.grfAccessPermissions = access.mask;
        entry.grfAccessMode = SET_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.pMultipleTrustee = nullptr;
        entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(sid.get());
        entries.push_back(entry);  // cannot throw: reserved above
        security.sids_.push_back(std::move(sid));
    }
    if (entries.empty()) {
        return std::nullopt;
    }

    if (SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(),
                         /*OldAcl=*/nullptr, security.dacl_.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }

    // Zero-filled, SECURITY_DESCRIPTOR_MIN_LENGTH (40) bytes: room for an absolute descriptor
    // whose DACL lives elsewhere.
    security.descriptor_.reset(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!security.descriptor_) {
        return std::nullopt;
    }
    if (!InitializeSecurityDescriptor(security.descriptor_.get(), SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(security.descriptor_.get(), /*bDaclPresent=*/TRUE,
                                   security.dacl_.get(), /*bDaclDefaulted=*/FALSE)) {
        return std::nullopt;
    }

    security.attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
    security.attributes_.lpSecurityDescriptor = security.descriptor_.get();
    security.attributes_.bInheritHandle = FALSE;
    return security;
}

HANDLE CreateServerPipeInstance(const std::wstring& name, PipeSecurity& security,
                                DWORD max_instances, bool first_instance) {
    if (security.attributes()->lpSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first_instance) {
        open_mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    }
    // Byte type, byte reads, blocking waits, no remote clients (value 8).
    constexpr DWORD kPipeMode =
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    return CreateNamedPipeW(name.c_str(), open_mode, kPipeMode, max_instances,
                            /*nOutBufferSize=*/16384, /*nInBufferSize=*/16384,
                            /*nDefaultTimeOut=*/0, security.attributes());
}

}  // namespace lumet::common
