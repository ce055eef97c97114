// The service's data folders under ProgramData ("Orrinfield", "Orrinfield\vpn",
// "Orrinfield\vpn\logs") and its log file "logs\service.log": what the service accepts before it
// writes there as LocalSystem.
//
// A user who creates one of these first could make the service write where the user chooses:
// through a reparse point (junction, symbolic link, mount point) on a folder or the file, or a
// hard link in place of the log file. So a folder or the log file is used only when it is no
// reparse point, the log file has no second name, and each is owned by LocalSystem,
// Administrators, or the account the service itself runs as (which is LocalSystem for the
// installed service). Whoever creates them first decides who owns them: the installed service
// creates them with the access lists below at its first start.
//
// This header is the pure decision; data_folder_win.h gathers the facts and acts. Re-entrant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumet::service {

// What the Win32 side found at one path.
struct PathFacts {
    bool exists = false;
    uint32_t attributes = 0;  // FILE_ATTRIBUTE_* bits
    uint32_t link_count = 1;  // names of a file (hard links), 1 for a file with one name
    std::wstring owner_sid;   // SID text of the owner; empty when it could not be read
};

enum class PathKind : uint8_t { Folder, LogFile };

enum class PathVerdict : uint8_t {
    Usable = 0,
    Missing,         // not there (after an attempt to create it)
    ReparsePoint,    // junction, symbolic link or other reparse point
    WrongType,       // a file where a folder belongs, or a folder where the log file belongs
    HardLinked,      // the log file has more than one name
    OwnerUnknown,    // its owner could not be read
    UntrustedOwner,  // owned by someone else than the trusted owners
};

inline constexpr uint32_t kAttributeDirectory = 0x10;      // FILE_ATTRIBUTE_DIRECTORY
inline constexpr uint32_t kAttributeReparsePoint = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT

inline constexpr wchar_t kLocalSystemSid[] = L"S-1-5-18";
inline constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";

// Access lists given to what the service creates, and re-applied at every start to what it
// accepts. Protected (nothing inherited from ProgramData, where users may create folders).
//   Folders: LocalSystem and Administrators full control, inherited by everything below.
inline constexpr wchar_t kDataFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
//   logs: the same, and Users may add files there (the agent's and the plugin's logs, written as
//   the logged-on user; 0x1000A2 = add file, traverse, read attributes, synchronize) and append to
//   the files in it (inherit only; 0x120084 = append, read attributes, read control, synchronize).
//   Users get no right to delete, rename or create folders.
inline constexpr wchar_t kLogFolderSddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1000a2;;;BU)(A;OIIO;0x120084;;;BU)";
//   service.log: LocalSystem and Administrators only.
inline constexpr wchar_t kServiceLogFileSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// True for LocalSystem, Administrators, and `own_account_sid` (when not empty).
bool IsTrustedOwner(std::wstring_view owner_sid, std::wstring_view own_account_sid);

// The verdict on one path, checks in this order: missing, reparse point, wrong type, hard link
// (log file only), owner unknown, owner untrusted.
[[nodiscard]] PathVerdict JudgeDataPath(PathKind kind, const PathFacts& facts,
                                        std::wstring_view own_account_sid);

// One line saying why `path` is refused, for the service's log outputs.
std::wstring RefusalMessage(PathVerdict verdict, std::wstring_view path,
                            std::wstring_view owner_sid);

// The folders, outermost first, under `program_data` (no trailing separator).
std::vector<std::wstring> DataFolderPaths(std::wstring_view program_data);

// "<program_data>\Orrinfield\vpn\logs\service.log".
std::wstring ServiceLogPath(std::wstring_view program_data);

}  // namespace lumet::service
