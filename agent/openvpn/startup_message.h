// The startup message of OpenVPN's interactive service: what the agent writes to the service's
// pipe to have openvpn.exe started on its behalf.
//
// Pure. The message carries the standard input text, which holds the per-attempt management
// password, so it is built into a SecureBuffer and never logged.
#pragma once

#include <cstddef>
#include <string>

#include "common/secure_buffer.h"

namespace lumet::agent::openvpn {

// What the coordinator asks the interactive service to start. `stdin_text` is a secret (the
// management password and a line feed), held in a zeroing string: the caller wipes it after the
// launch.
struct LaunchRequest {
    std::wstring working_directory;
    std::wstring options;                 // openvpn.exe's command line without the program name
    common::SecureStdWString stdin_text;  // handed to openvpn.exe's standard input
};

// The service takes at most this many UTF-16 units in one message.
inline constexpr size_t kMaxStartupMessageUnits = 1024;

// Builds working directory, NUL, options, NUL, standard input text, NUL as UTF-16LE bytes into
// `message` (replacing what it held). False, with `message` left empty, when the message would
// not be 1 to 1024 UTF-16 units long, or when a character cannot be written in UTF-16 (a code
// point above U+10FFFF; only possible where wchar_t is 32 bits wide).
bool BuildStartupMessage(const LaunchRequest& request, common::SecureBuffer* message);

}  // namespace lumet::agent::openvpn
