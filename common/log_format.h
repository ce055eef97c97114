// Pure formatting of diagnostic log lines and of the log file's place; no I/O, no clock.
//
// A line is: timestamp, " [", component name, "] ", level word, " ", message, "\r\n". The
// timestamp is UTC, "YYYY-MM-DDThh:mm:ss.mmmZ". Level words are four characters wide so that
// messages always start in the same column.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/log.h"

namespace lumet::common {

// A broken-down UTC time, as GetSystemTime gives it.
struct LogTime {
    unsigned year = 0;
    unsigned month = 0;
    unsigned day = 0;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    unsigned millisecond = 0;
};

// "INFO", "WARN", "ERR " and, for any other value, four blanks.
std::wstring_view LogLevelWord(LogLevel level);

// "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ" of the fields.
std::wstring FormatLogTimestamp(const LogTime& time);

// The whole line, ending in "\r\n". Control characters other than tab in the name or the message
// (CR, LF, NUL, ...) are written as blanks: a message that carries text from outside can neither
// forge a line of its own nor cut one short in an output that stops at NUL.
std::wstring FormatLogLine(const LogTime& time, std::wstring_view name, LogLevel level,
                           std::wstring_view message);

// message + " (win32=" + code in unsigned decimal + ")".
std::wstring FormatWin32ErrorMessage(std::wstring_view message, uint32_t code);

// The directories to create, outermost first: <program_data>\Orrinfield, ...\vpn, ...\logs.
std::array<std::wstring, 3> LogDirectories(std::wstring_view program_data);

// <program_data>\Orrinfield\vpn\logs\<name>.log
std::wstring LogFilePath(std::wstring_view program_data, std::wstring_view name);

}  // namespace lumet::common
