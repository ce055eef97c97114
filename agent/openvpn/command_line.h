// Joins program arguments into one Windows command line that the C runtime's argument parser
// (CommandLineToArgvW and the MSVC/mingw startup code) splits back into the same arguments.
//
// Wide text, because the result goes straight to a Win32 call; nothing here calls Win32, so the
// rule is tested natively as well. Pure and re-entrant.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumet::agent::openvpn {

// `argument` as it appears on a command line. Written as it is when it is not empty and holds no
// space, tab or double quote. Otherwise it is put between double quotes: inside, a run of n
// backslashes followed by a double quote becomes 2n+1 backslashes and the quote, a run of n
// backslashes at the very end becomes 2n backslashes (so the closing quote stays a quote), and
// every other backslash is kept. An empty argument becomes "".
std::wstring QuoteArgument(std::wstring_view argument);

// The arguments, each quoted as above, separated by one space.
std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments);

}  // namespace lumet::agent::openvpn
