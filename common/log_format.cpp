#include "common/log_format.h"

#include <cstdio>
#include <utility>

namespace lumet::common {

namespace {

constexpr std::wstring_view kBaseDirectory = L"\\Orrinfield";
constexpr std::wstring_view kVpnDirectory = L"\\vpn";
constexpr std::wstring_view kLogsDirectory = L"\\logs";

void AppendCleaned(std::wstring& out, std::wstring_view text) {
    for (const wchar_t c : text) {
        const auto unit = static_cast<uint32_t>(c);
        const bool control = (unit < 0x20 && c != L'\t') || unit == 0x7F;
        out.push_back(control ? L' ' : c);
    }
}

}  // namespace

std::wstring_view LogLevelWord(LogLevel level) {
    switch (static_cast<unsigned>(level)) {
        case static_cast<unsigned>(LogLevel::Info):
            return L"INFO";
        case static_cast<unsigned>(LogLevel::Warn):
            return L"WARN";
        case static_cast<unsigned>(LogLevel::Error):
            return L"ERR ";
        default:
            return L"    ";
    }
}

std::wstring FormatLogTimestamp(const LogTime& time) {
    // Room for seven fields of up to ten digits each plus the separators, whatever the values.
    char text[96];
    const int n =
        std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", time.year,
                      time.month, time.day, time.hour, time.minute, time.second, time.millisecond);
    if (n <= 0) {
        return std::wstring();
    }
    const size_t length =
        static_cast<size_t>(n) < sizeof(text) ? static_cast<size_t>(n) : sizeof(text) - 1;
    // Digits and separators only: widening byte by byte is exact.
    return std::wstring(text, text + length);
}

std::wstring FormatLogLine(const LogTime& time, std::wstring_view name, LogLevel level,
                           std::wstring_view message) {
    std::wstring line = FormatLogTimestamp(time);
    line.reserve(line.size() + name.size() + message.size() + 12);
    line += L" [";
    AppendCleaned(line, name);
    line += L"] ";
    line += LogLevelWord(level);
    line += L' ';
    AppendCleaned(line, message);
    line += L"\r\n";
    return line;
}

std::wstring FormatWin32ErrorMessage(std::wstring_view message, uint32_t code) {
    std::wstring text(message);
    text += L" (win32=";
    text += std::to_wstring(code);
    text += L')';
    return text;
}

std::array<std::wstring, 3> LogDirectories(std::wstring_view program_data) {
    std::wstring base(program_data);
    base += kBaseDirectory;
    std::wstring vpn = base + std::wstring(kVpnDirectory);
    std::wstring logs = vpn + std::wstring(kLogsDirectory);
    return {std::move(base), std::move(vpn), std::move(logs)};
}

std::wstring LogFilePath(std::wstring_view program_data, std::wstring_view name) {
    std::wstring path = LogDirectories(program_data)[2];
    path += L'\\';
    path += name;
    path += L".log";
    return path;
}

}  // namespace lumet::common
