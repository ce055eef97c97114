// Win32 helpers shared by unit and end-to-end tests: bounded waits, folders, Wine's Unix path
// mapping and the links made through it. Test-only; every wait has a time-out.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/win_handle.h"

namespace lumet::test {

// Polls `done` every 50 ms until it holds (true) or `timeout_ms` has passed (false).
bool WaitUntil(const std::function<bool()>& done, DWORD timeout_ms);
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return WaitUntil(done, static_cast<DWORD>(limit.count()));
}

bool PathExists(const std::wstring& path);

struct DirectoryEntry {
    std::wstring name;
    bool directory = false;
};

// Entries of `directory` (with or without a trailing separator) whose names match `pattern`,
// without "." and "..", in the order the file system lists them; empty when the folder is missing.
std::vector<DirectoryEntry> ListDirectory(const std::wstring& directory,
                                          const wchar_t* pattern = L"*");

// Names of the files (not folders) in `directory`, sorted.
std::vector<std::wstring> FileNamesIn(const std::wstring& directory);

// Deletes `directory` with everything in it, read-only files too. Test folders hold no links;
// one would be followed.
void RemoveTree(const std::wstring& directory);

// C:\ProgramData (FOLDERID_ProgramData); empty if unknown.
std::wstring ProgramDataFolder();

// Creates "<temp>\<stem><unique suffix>" and returns it, without a trailing separator.
std::wstring MakeTempDirectory(const wchar_t* stem);

// Unix path of a Windows path through Wine's own mapping; empty outside Wine.
std::string UnixPath(const std::wstring& path);

// Starts `command_line` (no handles inherited); false when CreateProcessW fails. `process`, when
// given, receives the process handle, which Wine leaves null for a Unix program.
bool StartProgram(const std::wstring& command_line, common::UniqueProcess* process = nullptr);

// Runs a host program (Wine starts Unix binaries given through drive Z:) and waits, at most 5 s,
// for `done`: the process handle Wine gives for a Unix program cannot be waited on.
bool RunHostProgram(const std::wstring& command_line, const std::function<bool()>& done);

// A Unix directory symlink at `link` pointing at `target` (ln -s); Wine reports it as a reparse
// point. False outside Wine or when the link did not appear.
bool MakeDirectoryLink(const std::wstring& target, const std::wstring& link);

// Removes the link itself (rm -f): Wine's own delete calls would follow it.
bool RemoveLink(const std::wstring& link);

// While it lives, HKEY_LOCAL_MACHINE in this process is a fresh key of its own below HKCU
// (RegOverridePredefKey), so a test can write "machine-wide" values without touching the real
// ones; other processes still see the real HKLM. Construct it before anything that reads or
// saves HKLM values and destroy it after. `active()` is false when the override failed.
class IsolatedLocalMachine {
  public:
    IsolatedLocalMachine();
    ~IsolatedLocalMachine();  // ends the override and deletes the key

    bool active() const { return active_; }

  private:
    std::wstring path_;         // below HKEY_CURRENT_USER
    common::UniqueRegKey key_;  // what HKLM stands for meanwhile; also makes this non-copyable
    bool active_ = false;
};

}  // namespace lumet::test
