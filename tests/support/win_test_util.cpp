#include "win_test_util.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <utility>

#include "test_util.h"

namespace lumet::test {

namespace {

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    const int needed =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(needed > 0 ? needed : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                        needed);
    return wide;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& done, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(50);
    }
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<DirectoryEntry> ListDirectory(const std::wstring& directory, const wchar_t* pattern) {
    std::vector<DirectoryEntry> entries;
    WIN32_FIND_DATAW data = {};
    const bool separated = !directory.empty() && directory.back() == L'\\';
    const std::wstring search = directory + (separated ? L"" : L"\\") + pattern;
    const common::UniqueFindHandle find(FindFirstFileW(search.c_str(), &data));
    if (!find) {
        return entries;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        }
    } while (FindNextFileW(find.get(), &data));
    return entries;
}

std::vector<std::wstring> FileNamesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    for (const DirectoryEntry& entry : ListDirectory(directory)) {
        if (!entry.directory) {
            names.push_back(entry.name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::wstring& directory) {
    for (const DirectoryEntry& entry : ListDirectory(directory)) {
        const std::wstring child = directory + L"\\" + entry.name;
        if (entry.directory) {
            RemoveTree(child);
        } else {
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(child.c_str());
        }
    }
    RemoveDirectoryW(directory.c_str());
}

std::wstring ProgramDataFolder() {
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder))) {
        path = folder;
    }
    CoTaskMemFree(folder);
    return path;
}

std::wstring MakeTempDirectory(const wchar_t* stem) {
    wchar_t buffer[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, buffer);
    std::wstring dir = std::wstring(buffer) + stem + UniqueSuffixW();
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

std::string UnixPath(const std::wstring& path) {
    using GetUnixFileName = char*(CDECL*)(const wchar_t*);
    auto get = reinterpret_cast<GetUnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix_path = get != nullptr ? get(path.c_str()) : nullptr;
    if (unix_path == nullptr) {
        return std::string();
    }
    std::string result(unix_path);
    HeapFree(GetProcessHeap(), 0, unix_path);
    return result;
}

bool StartProgram(const std::wstring& command_line, common::UniqueProcess* process) {
    std::wstring line = command_line;  // CreateProcessW may write into it
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    common::UniqueProcessInformation started;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, /*bInheritHandles=*/FALSE, 0,
                        nullptr, nullptr, &startup, started.put())) {
        return false;
    }
    if (process != nullptr) {
        *process = started.release_process();
    }
    return true;
}

bool RunHostProgram(const std::wstring& command_line, const std::function<bool()>& done) {
    return StartProgram(command_line) && WaitUntil(done, 5000);
}

bool MakeDirectoryLink(const std::wstring& target, const std::wstring& link) {
    const std::string unix_target = UnixPath(target);
    const std::string unix_link = UnixPath(link);
    if (unix_target.empty() || unix_link.empty()) {
        return false;
    }
    return RunHostProgram(Widen("Z:\\bin\\ln -s \"" + unix_target + "\" \"" + unix_link + "\""),
                          [&] {
                              const DWORD attributes = GetFileAttributesW(link.c_str());
                              return attributes != INVALID_FILE_ATTRIBUTES &&
                                     (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                          });
}

bool RemoveLink(const std::wstring& link) {
    const std::string unix_link = UnixPath(link);
    return !unix_link.empty() && RunHostProgram(Widen("Z:\\bin\\rm -f \"" + unix_link + "\""),
                                                [&] { return !PathExists(link); });
}

IsolatedLocalMachine::IsolatedLocalMachine()
    : path_(L"Software\\OrrinfieldTestMachine\\" + UniqueSuffixW()) {
    active_ = RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, /*dwOptions=*/0,
                              KEY_ALL_ACCESS, nullptr, key_.put(), nullptr) == ERROR_SUCCESS &&
              RegOverridePredefKey(HKEY_LOCAL_MACHINE, key_.get()) == ERROR_SUCCESS;
}

IsolatedLocalMachine::~IsolatedLocalMachine() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    key_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\OrrinfieldTestMachine");  // only when empty
}

}  // namespace lumet::test
