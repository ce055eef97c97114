// Runs flutter_lite_teardown_probe.exe (from the test executables' folder) and reports how it
// ended, with everything it wrote. Bounded: a probe that hangs is terminated.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "common/win_handle.h"
#include "test_util.h"

namespace flutter_lite::testing {

struct ProbeOutcome {
    std::optional<DWORD> exit_code;  // nothing when it could not start or did not end in time
    std::string output;              // standard output and standard error together
};

inline ProbeOutcome RunTeardownProbe(const std::wstring& arguments, DWORD timeout_ms = 30000) {
    ProbeOutcome outcome;
    const std::string dir = lumet::test::ExecutableDir();
    const std::wstring exe =
        std::wstring(dir.begin(), dir.end()) + L"\\flutter_lite_teardown_probe.exe";
    std::wstring command = L"\"" + exe + L"\" " + arguments;

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    lumet::common::UniqueHandle read_end;
    lumet::common::UniqueHandle write_end;
    if (!CreatePipe(read_end.put(), write_end.put(), &inherit, 1 << 16)) {
        return outcome;
    }
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end.get();
    startup.hStdError = write_end.get();
    lumet::common::UniqueProcessInformation process;
    const BOOL started =
        CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                       nullptr, nullptr, &startup, process.put());
    // Only the child may hold the write end now, so that the pipe ends with the child.
    write_end.reset();
    if (!started) {
        return outcome;
    }
    process.close_thread();
    // The probe writes a few lines; reading until it lets go of the pipe cannot block past its
    // end, and the wait below bounds a probe that hangs with the pipe open.
    if (WaitForSingleObject(process.process(), timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process.process(), 1);
        WaitForSingleObject(process.process(), 5000);
    } else {
        DWORD code = 0;
        GetExitCodeProcess(process.process(), &code);
        outcome.exit_code = code;
    }
    char buffer[4096];
    DWORD available = 0;
    while (PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) &&
           available > 0) {
        DWORD got = 0;
        if (!ReadFile(read_end.get(), buffer, sizeof(buffer), &got, nullptr) || got == 0) {
            break;
        }
        outcome.output.append(buffer, got);
    }
    return outcome;
}

}  // namespace flutter_lite::testing
