// Helpers for end-to-end tests that run the real OrrinfieldVPNService.exe: child processes with
// bounded waits, a raw overlapped client of the service pipe, and reading the service's log.
//
// Every wait takes a limit; nothing here blocks without one.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/frame.h"
#include "common/win_handle.h"
#include "scm_test_util.h"

namespace lumet::test {

// Full path of OrrinfieldVPNService.exe, which the build places beside the test executables.
std::wstring ServiceExecutablePath();

// The service pipe of this process's session, which a --console service listens on.
std::wstring ServicePipeNameForThisSession();

struct ChildOptions {
    bool new_process_group = false;  // needed to send the child Ctrl+C alone
    bool capture_stderr = false;     // standard error goes to a pipe read by StandardError()
};

// A child process that is terminated when the owner goes away while it still runs.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&&) = default;
    ChildProcess& operator=(ChildProcess&&) = default;

    // Starts `executable` with `arguments` (appended to the quoted path). Returns false on
    // failure, with GetLastError() set.
    bool Start(const std::wstring& executable, const std::wstring& arguments,
               const ChildOptions& options);

    DWORD pid() const { return pid_; }
    HANDLE process() const { return process_.get(); }

    // The exit code once the process has ended within `timeout_ms`; nothing otherwise.
    std::optional<DWORD> WaitForExit(DWORD timeout_ms);

    // Everything the child wrote to standard error; read after it has exited (it then holds no
    // write end any more, so the read ends).
    std::string StandardError();

    void Terminate();

  private:
    common::UniqueKernelHandle process_;
    common::UniqueHandle stderr_read_;
    DWORD pid_ = 0;
};

// Sends Ctrl+C to a child started with new_process_group. The test process must have called
// PrepareConsoleForCtrlC() once before starting that child.
bool SendCtrlC(const ChildProcess& child);

// Gives this process a console of its own that ignores Ctrl+C, so that children started in a
// new process group share it and can be sent Ctrl+C without hitting the test.
void PrepareConsoleForCtrlC();

// One reply as read off the pipe.
struct Reply {
    common::FrameHeader header;
    std::vector<uint8_t> body;
    bool ok = false;
};

// A raw client of the service pipe, opened for overlapped I/O.
class PipeClient {
  public:
    // Opens `pipe_name`, retrying while the pipe is missing or busy, for up to `timeout_ms`.
    // `access` lets a test ask for more than read/write (for example READ_CONTROL).
    bool Connect(const std::wstring& pipe_name, DWORD timeout_ms,
                 DWORD access = GENERIC_READ | GENERIC_WRITE);
    HANDLE handle() const { return pipe_.get(); }
    void Close() { pipe_.reset(); }

    // Writes one frame with an arbitrary protocol number (the framing helpers always write 6).
    bool SendRaw(uint16_t protocol, uint16_t type, uint32_t request_id,
                 std::span<const uint8_t> payload = {});
    bool Send(uint16_t type, uint32_t request_id, std::span<const uint8_t> payload = {});
    Reply Receive(DWORD timeout_ms);
    // Send plus Receive, 5 s each.
    Reply Call(uint16_t type, uint32_t request_id, std::span<const uint8_t> payload = {});

    // Waits up to `timeout_ms` for the server to end the connection. True when a read fails
    // because the pipe is broken or disconnected; false on time-out or when data arrives
    // (`*stray_bytes` then counts it).
    bool WaitForServerClose(DWORD timeout_ms, size_t* stray_bytes = nullptr);

  private:
    common::UniqueHandle pipe_;
};

// Path of the service's log file, C:\ProgramData\Orrinfield\vpn\logs\service.log.
std::wstring ServiceLogPath();
// Current size of a file, 0 when it does not exist.
uint64_t FileSizeOf(const std::wstring& path);
// The file's bytes from `offset` on (UTF-8 text), empty when it cannot be read.
std::string ReadFileFrom(const std::wstring& path, uint64_t offset);
// The access list of the pipe behind a client handle (opened with READ_CONTROL), as SDDL in
// UTF-8; empty when it cannot be read.
std::string PipeDaclSddl(HANDLE pipe);
// Polls the file until its text after `offset` contains `needle`, for up to `timeout_ms`.
bool WaitForFileText(const std::wstring& path, uint64_t offset, const std::string& needle,
                     DWORD timeout_ms);

// Polls until a server instance of the pipe is listening, for up to `timeout_ms`. A server that
// serves one client at a time has no instance between two clients, and a client that comes in
// that gap finds the pipe absent.
bool WaitForListeningPipe(const std::wstring& name, DWORD timeout_ms);

// "<pid>-0x" followed by eight upper-case hexadecimal digits.
bool IsGenerationTextOf(const std::string& text, DWORD pid);

}  // namespace lumet::test
