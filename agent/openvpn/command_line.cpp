#include "agent/openvpn/command_line.h"

namespace lumet::agent::openvpn {

std::wstring QuoteArgument(std::wstring_view argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring_view::npos) {
        return std::wstring(argument);
    }
    std::wstring quoted;
    quoted.reserve(argument.size() + 2);
    quoted.push_back(L'"');
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            // The parser halves a run of backslashes before a quote and takes an odd one as the
            // quote's escape.
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    // Doubled, so that the closing quote is not read as an escaped one.
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments) {
    std::wstring line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i != 0) {
            line.push_back(L' ');
        }
        line += QuoteArgument(arguments[i]);
    }
    return line;
}

}  // namespace lumet::agent::openvpn
