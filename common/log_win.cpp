#include "common/log.h"

#include <windows.h>
#include <initguid.h>  // defines FOLDERID_ProgramData here instead of needing uuid.lib
#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <mutex>
#include <utility>
#include <string>

#include "common/log_for_testing.h"
#include "common/log_format.h"
#include "common/utf.h"
#include "common/win_handle.h"

namespace lumet::common {

namespace {

struct LogState {
    std::mutex mutex;
    std::wstring name = L"lumet";
    log_testing::LogObserver observer;  // tests only
    // Once valid it stays open for the life of the process (only the test hook closes it).
    HANDLE file = INVALID_HANDLE_VALUE;
    bool file_disabled = false;  // DisableLogFile: never open one
};

// Never destroyed: threads, other static destructors and DLL detach code may still log while the
// process winds down, and a destroyed mutex there would be a crash instead of a line.
LogState& State() {
    static LogState* const state = new LogState();
    return *state;
}

// Creates the state during static initialisation, before the program's own code runs, so that
// the first lines of concurrent threads never race to construct it.
[[maybe_unused]] const bool kStateCreated = (State(), true);

LogTime UtcNow() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    return LogTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

// Caller holds the mutex. Any failure leaves the handle invalid; the next SetLogName retries.
void OpenLogFile(LogState& state) {
    PWSTR raw_path = nullptr;
    const HRESULT hr =
        SHGetKnownFolderPath(FOLDERID_ProgramData, /*dwFlags=*/0, /*hToken=*/nullptr, &raw_path);
    // The path must be freed whether or not the call succeeded.
    const UniqueCoTaskPtr<wchar_t> program_data(raw_path);
    if (FAILED(hr) || program_data.get() == nullptr || program_data.get()[0] == L'\0') {
        return;
    }
    // Each level may already exist (ERROR_ALREADY_EXISTS) or be impossible to create; CreateFileW
    // below is the only check that matters.
    for (const std::wstring& directory : LogDirectories(program_data.get())) {
        CreateDirectoryW(directory.c_str(), /*lpSecurityAttributes=*/nullptr);
    }
    const std::wstring path = LogFilePath(program_data.get(), state.name);
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the current end of the file,
    // also when another process of the same component appends at the same time.
    const HANDLE file =
        CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                    /*hTemplateFile=*/nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        state.file = file;
    }
}

void EmitLine(LogLevel level, std::wstring_view message) {
    // Callers log a failure and then often return GetLastError(); the outputs below must not
    // change it under them.
    const DWORD saved_error = GetLastError();
    // The time is read before waiting for the lock, so that it says when the event happened.
    const LogTime now = UtcNow();
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    // The name is read under the lock: SetLogName may replace it from another thread.
    const std::wstring line = FormatLogLine(now, state.name, level, message);
    OutputDebugStringW(line.c_str());
    // "%ls", not "%s": with the C99-conforming printf family that MinGW's libstdc++ selects, "%s"
    // in a wide format means a narrow string and would print only the first character. The line
    // end goes out on its own: the C runtime silently stops a wide string at the first character
    // the stream's code page cannot show, and that must not glue the next line onto this one.
    const std::wstring body = line.substr(0, line.size() - 2);
    std::fwprintf(stderr, L"%ls", body.c_str());
    std::fwprintf(stderr, L"%ls", L"\r\n");
    if (state.file != INVALID_HANDLE_VALUE) {
        const std::string bytes = WideToUtf8(line);
        if (!bytes.empty() && bytes.size() <= MAXDWORD) {
            DWORD written = 0;
            // One write per line: a line is never split between two appends. Failures only cost
            // the file its copy of the line.
            WriteFile(state.file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                      /*lpOverlapped=*/nullptr);
        }
    }
    if (state.observer) {
        state.observer(line);
    }
    SetLastError(saved_error);
}

}  // namespace

void SetLogName(std::wstring_view name) {
    const DWORD saved_error = GetLastError();
    LogState& state = State();
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        if (!name.empty()) {
            state.name.assign(name);
        }
        // An open file keeps the name it was opened with.
        if (state.file == INVALID_HANDLE_VALUE && !state.file_disabled) {
            OpenLogFile(state);
        }
    }
    SetLastError(saved_error);
}

void DisableLogFile() {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.file_disabled = true;
}

void LogLine(LogLevel level, std::wstring_view message) {
    EmitLine(level, message);
}

void LogWin32Error(LogLevel level, std::wstring_view message, uint32_t code) {
    EmitLine(level, FormatWin32ErrorMessage(message, code));
}

namespace log_testing {

void ResetLogState(std::wstring_view name) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (state.file != INVALID_HANDLE_VALUE) {
        CloseHandle(state.file);
        state.file = INVALID_HANDLE_VALUE;
    }
    state.file_disabled = false;
    state.name.assign(name);
}

void SetLogObserver(LogObserver observer) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.observer = std::move(observer);
}

}  // namespace log_testing

}  // namespace lumet::common
