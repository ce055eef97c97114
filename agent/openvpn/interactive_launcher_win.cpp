#include "agent/openvpn/interactive_launcher_win.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "agent/openvpn/openvpn_discovery_win.h"
#include "common/log.h"
#include "common/secure_buffer.h"
#include "common/win_handle.h"

namespace lumet::agent::openvpn {

namespace {

LaunchResult WithStatus(InteractiveLaunchStatus status) {
    LaunchResult result;
    result.status = status;
    return result;
}

// Waits for an overlapped operation started on `pipe`. A wait that fails or times out cancels the
// operation and waits for the cancellation, so the OVERLAPPED is no longer in use on return.
// False with the operation's error in GetLastError() when it failed (ERROR_MORE_DATA included).
bool FinishOverlapped(HANDLE pipe, OVERLAPPED* overlapped, uint32_t wait_ms, DWORD* bytes,
                      bool* timed_out) {
    *timed_out = false;
    if (WaitForSingleObject(overlapped->hEvent, wait_ms) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(pipe, overlapped, &ignored, TRUE);
        *timed_out = true;
        return false;
    }
    return GetOverlappedResult(pipe, overlapped, bytes, FALSE) != FALSE;
}

common::UniqueHandle OpenPipe(const std::wstring& pipe_path, uint32_t pipe_wait_ms) {
    const auto open = [&] {
        return common::UniqueHandle(CreateFileW(pipe_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                /*dwShareMode=*/0, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_OVERLAPPED, nullptr));
    };
    common::UniqueHandle pipe = open();
    if (!pipe && GetLastError() == ERROR_PIPE_BUSY &&
        WaitNamedPipeW(pipe_path.c_str(), pipe_wait_ms)) {
        // Another client may take the freed instance first; one more try is all we give it.
        pipe = open();
    }
    return pipe;
}

bool WriteMessage(HANDLE pipe, HANDLE event, const common::SecureBuffer& message,
                  uint32_t io_wait_ms) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    ResetEvent(event);
    if (!WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), nullptr,
                   &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    DWORD written = 0;
    bool timed_out = false;
    if (!FinishOverlapped(pipe, &overlapped, io_wait_ms, &written, &timed_out)) {
        return false;
    }
    if (written < message.size()) {
        common::LogWin32Error(common::LogLevel::Error,
                              L"openvpn_interactive_service_client: short startup-message write",
                              written);
        return false;
    }
    return true;
}

// Each read asks for at most this much. Replies are normally far shorter; a longer one is read
// in several parts, each reported with ERROR_MORE_DATA until the last.
constexpr size_t kReadChunkBytes = 1024;

// Reads one reply message into `reply`, continuing after ERROR_MORE_DATA until the message is
// complete. False on any failure, time-out, or a message larger than the buffer.
bool ReadReply(HANDLE pipe, HANDLE event, uint32_t io_wait_ms, std::vector<char16_t>* reply) {
    std::vector<char16_t> buffer(kLaunchReplyUnits);
    const size_t capacity = buffer.size() * sizeof(char16_t);
    auto* bytes = reinterpret_cast<uint8_t*>(buffer.data());
    size_t received = 0;
    for (;;) {
        if (received == capacity) {
            return false;  // the buffer is full and the message goes on
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event;
        ResetEvent(event);
        const DWORD ask = static_cast<DWORD>(std::min(capacity - received, kReadChunkBytes));
        const BOOL ok = ReadFile(pipe, bytes + received, ask, nullptr, &overlapped);
        if (!ok && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
            return false;
        }
        DWORD n = 0;
        bool timed_out = false;
        if (FinishOverlapped(pipe, &overlapped, io_wait_ms, &n, &timed_out)) {
            received += n;
            break;
        }
        if (timed_out || GetLastError() != ERROR_MORE_DATA) {
            return false;
        }
        received += n;
    }
    buffer.resize(received / sizeof(char16_t));
    *reply = std::move(buffer);
    return true;
}

}  // namespace

LaunchResult LaunchOpenVpn(const std::wstring& pipe_path, uint32_t expected_server_pid,
                           const LaunchRequest& request, uint32_t pipe_wait_ms,
                           uint32_t io_wait_ms) {
    common::SecureBuffer message;
    if (!BuildStartupMessage(request, &message)) {
        return WithStatus(InteractiveLaunchStatus::Failed);
    }
    const common::UniqueHandle pipe = OpenPipe(pipe_path, pipe_wait_ms);
    if (!pipe) {
        return WithStatus(InteractiveLaunchStatus::Unavailable);
    }
    // The message carries the management password: it goes only to the process the service
    // manager names as the interactive service (or, for tests, to ourselves).
    if (expected_server_pid == 0) {
        return WithStatus(InteractiveLaunchStatus::Unavailable);
    }
    ULONG server_pid = 0;
    if (!GetNamedPipeServerProcessId(pipe.get(), &server_pid) || server_pid == 0 ||
        server_pid != expected_server_pid) {
        return WithStatus(InteractiveLaunchStatus::Unavailable);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
        return WithStatus(InteractiveLaunchStatus::Failed);
    }
    const common::UniqueEvent event(CreateEventW(nullptr, /*bManualReset=*/TRUE,
                                                 /*bInitialState=*/FALSE, nullptr));
    if (!event) {
        return WithStatus(InteractiveLaunchStatus::Failed);
    }
    const bool written = WriteMessage(pipe.get(), event.get(), message, io_wait_ms);
    message.Wipe();
    if (!written) {
        return WithStatus(InteractiveLaunchStatus::Failed);
    }
    std::vector<char16_t> reply;
    if (!ReadReply(pipe.get(), event.get(), io_wait_ms, &reply)) {
        return WithStatus(InteractiveLaunchStatus::Failed);
    }
    return ParseLaunchReply(std::u16string_view(reply.data(), reply.size()));
}

LaunchResult LaunchThroughInteractiveService(const LaunchRequest& request, uint32_t pipe_wait_ms,
                                             uint32_t io_wait_ms) {
    return LaunchOpenVpn(kInteractiveServicePipe, InteractiveServiceProcessId(), request,
                         pipe_wait_ms, io_wait_ms);
}

}  // namespace lumet::agent::openvpn
