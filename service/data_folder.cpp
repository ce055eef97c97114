#include "service/data_folder.h"

#include "common/sid_text.h"

namespace lumet::service {

bool IsTrustedOwner(std::wstring_view owner_sid, std::wstring_view own_account_sid) {
    if (owner_sid.empty()) {
        return false;
    }
    return common::SidTextEquals(owner_sid, kLocalSystemSid) ||
           common::SidTextEquals(owner_sid, kAdministratorsSid) ||
           (!own_account_sid.empty() && common::SidTextEquals(owner_sid, own_account_sid));
}

PathVerdict JudgeDataPath(PathKind kind, const PathFacts& facts,
                          std::wstring_view own_account_sid) {
    if (!facts.exists) {
        return PathVerdict::Missing;
    }
    if ((facts.attributes & kAttributeReparsePoint) != 0) {
        return PathVerdict::ReparsePoint;
    }
    const bool is_folder = (facts.attributes & kAttributeDirectory) != 0;
    if (is_folder != (kind == PathKind::Folder)) {
        return PathVerdict::WrongType;
    }
    // Folders cannot be hard linked; their link count says nothing (it counts subfolders on some
    // file systems).
    if (kind == PathKind::LogFile && facts.link_count != 1) {
        return PathVerdict::HardLinked;
    }
    if (facts.owner_sid.empty()) {
        return PathVerdict::OwnerUnknown;
    }
    if (!IsTrustedOwner(facts.owner_sid, own_account_sid)) {
        return PathVerdict::UntrustedOwner;
    }
    return PathVerdict::Usable;
}

std::wstring RefusalMessage(PathVerdict verdict, std::wstring_view path,
                            std::wstring_view owner_sid) {
    std::wstring why;
    switch (verdict) {
        case PathVerdict::Usable:
            why = L"usable";
            break;
        case PathVerdict::Missing:
            why = L"missing";
            break;
        case PathVerdict::ReparsePoint:
            why = L"is a reparse point (link or junction)";
            break;
        case PathVerdict::WrongType:
            why = L"is not of the expected type (file/folder)";
            break;
        case PathVerdict::HardLinked:
            why = L"has more than one name (hard link)";
            break;
        case PathVerdict::OwnerUnknown:
            why = L"has an owner that cannot be read";
            break;
        case PathVerdict::UntrustedOwner:
            why = L"is owned by " + std::wstring(owner_sid) +
                  L", not by LocalSystem or Administrators";
            break;
    }
    return L"data folder check: refusing " + std::wstring(path) + L": " + why +
           L"; the log file stays closed";
}

std::vector<std::wstring> DataFolderPaths(std::wstring_view program_data) {
    std::vector<std::wstring> folders;
    std::wstring path(program_data);
    for (std::wstring_view level : {L"Orrinfield", L"vpn", L"logs"}) {
        path += L'\\';
        path += level;
        folders.push_back(path);
    }
    return folders;
}

std::wstring ServiceLogPath(std::wstring_view program_data) {
    return DataFolderPaths(program_data).back() + L"\\service.log";
}

}  // namespace lumet::service
