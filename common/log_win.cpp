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
#include "common/log_repeat.h"
#include "common/utf.h"
#include "common/win_handle.h"

namespace lumet::common {

namespace {

struct LogState {
    std::mutex mutex;
    std::wstring name = L"lumet";
    log_testing::LogObserver observer;  // tests only
    // Once valid it stays open for the life of the process, except while it is rotated (and
    // when the test hook closes it).
    UniqueHandle file;
    bool file_disabled = false;  // DisableLogFile: never open one
    std::wstring path;           // of the open file
    uint64_t rotate_bytes = kLogFileRotateBytes;
    RepeatLimiter repeats;
    std::function<uint64_t()> repeat_clock;  // tests only
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

bool OpenLogFileAt(LogState& state, const std::wstring& path);

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
    if (OpenLogFileAt(state, path)) {
        state.path = path;
    }
}

// Caller holds the mutex.
bool OpenLogFileAt(LogState& state, const std::wstring& path) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the current end of the file,
    // also when another process of the same component appends at the same time. Sharing delete
    // lets whichever process finds the file full rotate it while others still hold it.
    state.file.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    return state.file.valid();
}

uint64_t FileSize(HANDLE file) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

// Caller holds the mutex. When `incoming` more bytes would take the file past its limit, the
// file becomes "<path>.1" (one previous file, older ones are dropped) and a new one is opened.
// Another process of the same component may have rotated it already, leaving our handle on the
// previous file: then only a reopen is needed. Any failure keeps appending where we are.
void RotateIfFull(LogState& state, size_t incoming) {
    if (!state.file || state.path.empty() ||
        FileSize(state.file.get()) + incoming <= state.rotate_bytes) {
        return;
    }
    state.file.reset();
    WIN32_FILE_ATTRIBUTE_DATA current{};
    const bool exists =
        GetFileAttributesExW(state.path.c_str(), GetFileExInfoStandard, &current) != FALSE;
    const uint64_t current_size =
        exists ? (static_cast<uint64_t>(current.nFileSizeHigh) << 32) | current.nFileSizeLow : 0;
    if (exists && current_size + incoming > state.rotate_bytes) {
        const std::wstring previous = state.path + L".1";
        MoveFileExW(state.path.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    OpenLogFileAt(state, state.path);
}

// Caller holds the mutex.
void EmitLocked(LogState& state, const LogTime& now, LogLevel level, std::wstring_view message) {
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
    if (state.file) {
        const std::string bytes = WideToUtf8(line);
        RotateIfFull(state, bytes.size());
        if (state.file && !bytes.empty() && bytes.size() <= MAXDWORD) {
            DWORD written = 0;
            // One write per line: a line is never split between two appends. Failures only cost
            // the file its copy of the line.
            WriteFile(state.file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                      /*lpOverlapped=*/nullptr);
        }
    }
    if (state.observer) {
        state.observer(line);
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
    EmitLocked(state, now, level, message);
    SetLastError(saved_error);
}

void EmitRepeatable(LogLevel level, std::wstring_view message) {
    const DWORD saved_error = GetLastError();
    const LogTime now = UtcNow();
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    const uint64_t now_ms = state.repeat_clock ? state.repeat_clock() : GetTickCount64();
    for (const std::wstring& keyed : state.repeats.Admit(RepeatKey(level, message), now_ms)) {
        const RepeatLine line = SplitRepeatKey(keyed);
        EmitLocked(state, now, line.level, line.message);
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
        if (!state.file && !state.file_disabled) {
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

void LogRepeatable(LogLevel level, std::wstring_view message) {
    EmitRepeatable(level, message);
}

void LogWin32ErrorRepeatable(LogLevel level, std::wstring_view message, uint32_t code) {
    EmitRepeatable(level, FormatWin32ErrorMessage(message, code));
}

namespace log_testing {

void ResetLogState(std::wstring_view name) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.file.reset();
    state.file_disabled = false;
    state.path.clear();
    state.name.assign(name);
    state.repeats.Clear();
}

void SetLogObserver(LogObserver observer) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.observer = std::move(observer);
    state.repeats.Clear();
}

void SetRotateBytes(uint64_t bytes) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.rotate_bytes = bytes == 0 ? kLogFileRotateBytes : bytes;
}

void SetRepeatClock(std::function<uint64_t()> now_ms) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.repeat_clock = std::move(now_ms);
    state.repeats.Clear();
}

}  // namespace log_testing

}  // namespace lumet::common
