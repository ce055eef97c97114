// Process-wide diagnostic log.
//
// One line per event: UTC time, component name in brackets, a four-character level word and the
// message, ending in "\r\n". Each line goes to the debugger, standard error and an append-only file
// "<ProgramData>\Orrinfield\vpn\logs\<component>.log", which is kept below 8 MiB by rotating it to
// one previous file. Logging never fails its caller: when the file cannot be opened the other
// two outputs still get the line.
//
// Thread safety: any thread may log; one process-wide mutex serialises naming, opening the file
// and emitting a line, so lines never interleave. Never log secrets.
//
// Logging leaves the calling thread's last-error value as it found it, so a failure can be logged
// before GetLastError() is read again. Control characters in a name or message (CR, LF, NUL, ...;
// tab excepted) are written as blanks, so text from outside cannot forge or cut a line. The native
// (non-Windows) build writes the same lines to standard error only.
#pragma once

#include <cstdint>
#include <string_view>

namespace lumet::common {

// A value outside 0..2 (static_cast<LogLevel>(7)) is legal and prints as four blanks.
enum class LogLevel : unsigned { Info = 0, Warn = 1, Error = 2 };

// Sets the component name ("agent", "service", "plugin"; an empty name keeps the current one) and
// opens the log file when it is not open yet. The file keeps the name it was first opened with.
void SetLogName(std::wstring_view name);

// Keeps this process from opening a log file from now on (one already open stays open): lines go to
// the debugger and standard error only. For a process that found its log folder unsafe to use.
void DisableLogFile();

// Writes one line.
void LogLine(LogLevel level, std::wstring_view message);

// Writes one line: message + " (win32=" + code in unsigned decimal + ")".
void LogWin32Error(LogLevel level, std::wstring_view message, uint32_t code);

// As LogLine and LogWin32Error, for failures that can recur in a loop (a pipe that cannot be
// created, a refused client or server): the first line is written, identical lines within the
// next minute are only counted, and once that minute is over the next line written by this
// process carries a summary "<message> (repeated N times in the last minute)".
void LogRepeatable(LogLevel level, std::wstring_view message);
void LogWin32ErrorRepeatable(LogLevel level, std::wstring_view message, uint32_t code);

// The log file is rotated when a line would take it past this size: the file becomes
// "<component>.log.1" (replacing an older one) and a new file is started.
inline constexpr uint64_t kLogFileRotateBytes = 8ull * 1024 * 1024;

}  // namespace lumet::common
