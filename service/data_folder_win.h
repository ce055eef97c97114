// The Win32 side of the data folder checks (data_folder.h): creating the folders and the
// service's log file with their access lists, reading what is there without following links, and
// keeping the log file closed when something is refused.
//
// Called once at service start, before the log file is opened, and by the uninstall clean-up.
// Not thread safe with itself; it opens and closes its own handles only.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "service/data_folder.h"

namespace lumet::service {

struct DataFolderOptions {
    // Empty: the ProgramData known folder.
    std::wstring program_data;
    // Empty: the user of this process's token.
    std::wstring own_account_sid;
    // Facts about a path opened without following reparse points. Empty: ReadPathFacts. Tests
    // feed owners and attributes here that Wine does not store.
    std::function<PathFacts(HANDLE handle, const std::wstring& path)> read_facts;
};

struct DataFolderResult {
    bool usable = false;                 // every folder and the log file were accepted
    std::vector<std::wstring> refusals;  // one line per refused path; empty when usable
    std::vector<std::wstring> warnings;  // access lists that could not be applied
};

// The ProgramData known folder; empty when it is unknown.
std::wstring ProgramDataFolder();

// Reads attributes (from the handle and, because Wine reports links only there, from the path),
// the number of names and the owner of an open file or folder.
PathFacts ReadPathFacts(HANDLE handle, const std::wstring& path);

// Creates each missing folder (outermost first) and the log file with their access lists, opens
// each without following reparse points, judges it, and re-applies its access list to what it
// accepts. Stops at the first refusal: nothing deeper is created or touched.
DataFolderResult PrepareDataFolders(const DataFolderOptions& options = {});

// The service's start: prepares the data folders; when anything is refused the log file is
// disabled for this process. Then sets the log name "service" (opening the log file when allowed)
// and logs each refusal, which then reaches only the debugger and standard error. Returns whether
// the log file may be used.
bool OpenServiceLog(const DataFolderOptions& options = {});

}  // namespace lumet::service
