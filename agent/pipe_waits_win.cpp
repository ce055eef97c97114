#include "agent/pipe_waits.h"

#include "common/log.h"
#include "common/win_handle.h"

namespace lumet::agent {

namespace {

using common::LogLevel;

// How long a broken-off flush gets to unwind after each attempt to end it.
constexpr DWORD kFlushUnwindMs = 1000;

common::UniqueEvent NewManualResetEvent() {
    return common::UniqueEvent(CreateEventW(/*lpEventAttributes=*/nullptr,
                                            /*bManualReset=*/TRUE, /*bInitialState=*/FALSE,
                                            /*lpName=*/nullptr));
}

// Cancels one pending operation and waits until the system is done with `overlapped`.
void CancelAndDrain(HANDLE pipe, OVERLAPPED* overlapped) {
    CancelIoEx(pipe, overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, overlapped, &ignored, /*bWait=*/TRUE);
}

DWORD WINAPI FlushThreadMain(void* pipe) {
    FlushFileBuffers(static_cast<HANDLE>(pipe));
    return 0;
}

}  // namespace

AcceptOutcome AwaitClient(HANDLE pipe, HANDLE stop_event, DWORD timeout_ms) {
    common::UniqueEvent connected = NewManualResetEvent();
    if (!connected) {
        common::LogWin32Error(LogLevel::Error, L"CreateEvent for the pipe connect failed",
                              GetLastError());
        return AcceptOutcome::Failed;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = connected.get();
    if (ConnectNamedPipe(pipe, &overlapped)) {
        return AcceptOutcome::Connected;
    }
    const DWORD connect_error = GetLastError();
    if (connect_error == ERROR_PIPE_CONNECTED) {
        // The client opened the pipe between its creation and the connect.
        return AcceptOutcome::Connected;
    }
    if (connect_error != ERROR_IO_PENDING) {
        return AcceptOutcome::NotConnected;
    }

    HANDLE waits[] = {connected.get(), stop_event};
    const DWORD waited = WaitForMultipleObjects(2, waits, /*bWaitAll=*/FALSE, timeout_ms);
    if (waited == WAIT_OBJECT_0) {
        DWORD ignored = 0;
        if (GetOverlappedResult(pipe, &overlapped, &ignored, /*bWait=*/FALSE)) {
            return AcceptOutcome::Connected;
        }
        return GetLastError() == ERROR_PIPE_CONNECTED ? AcceptOutcome::Connected
                                                      : AcceptOutcome::NotConnected;
    }
    const DWORD wait_error = GetLastError();
    CancelAndDrain(pipe, &overlapped);
    if (waited == WAIT_OBJECT_0 + 1) {
        return AcceptOutcome::Stop;
    }
    if (waited == WAIT_TIMEOUT) {
        return AcceptOutcome::TimedOut;
    }
    common::LogWin32Error(LogLevel::Error, L"waiting for a plugin client failed", wait_error);
    return AcceptOutcome::Failed;
}

RequestWait WaitForRequest(HANDLE pipe, HANDLE stop_event, DWORD timeout_ms) {
    common::UniqueEvent readable = NewManualResetEvent();
    if (!readable) {
        return RequestWait::Closed;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = readable.get();
    // A read of zero bytes completes once data is available and consumes none of it; the frame
    // is then read whole by the frame transport.
    uint8_t unused = 0;
    if (ReadFile(pipe, &unused, 0, nullptr, &overlapped)) {
        return RequestWait::Ready;
    }
    const DWORD read_error = GetLastError();
    if (read_error == ERROR_MORE_DATA) {
        return RequestWait::Ready;
    }
    if (read_error != ERROR_IO_PENDING) {
        return RequestWait::Closed;
    }

    HANDLE waits[] = {readable.get(), stop_event};
    const DWORD waited = WaitForMultipleObjects(2, waits, /*bWaitAll=*/FALSE, timeout_ms);
    if (waited == WAIT_OBJECT_0) {
        DWORD ignored = 0;
        if (GetOverlappedResult(pipe, &overlapped, &ignored, /*bWait=*/FALSE) ||
            GetLastError() == ERROR_MORE_DATA) {
            return RequestWait::Ready;
        }
        return RequestWait::Closed;
    }
    CancelAndDrain(pipe, &overlapped);
    if (waited == WAIT_OBJECT_0 + 1) {
        return RequestWait::Stop;
    }
    return waited == WAIT_TIMEOUT ? RequestWait::Silent : RequestWait::Closed;
}

bool FlushClientBounded(HANDLE pipe, HANDLE stop_event, DWORD timeout_ms) {
    // A client that has closed its end can read nothing more, so there is nothing to wait for
    // (and no helper thread to pay for on every ordinary disconnect).
    DWORD unused = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &unused, nullptr) &&
        GetLastError() == ERROR_BROKEN_PIPE) {
        return true;
    }
    common::UniqueKernelHandle thread(CreateThread(nullptr, 0, FlushThreadMain, pipe, 0, nullptr));
    if (!thread) {
        // Without the flush only an unread last reply can be lost; a hang would be worse.
        return false;
    }
    HANDLE waits[] = {thread.get(), stop_event};
    if (WaitForMultipleObjects(2, waits, /*bWaitAll=*/FALSE, timeout_ms) == WAIT_OBJECT_0) {
        return true;
    }
    CancelSynchronousIo(thread.get());
    if (WaitForSingleObject(thread.get(), kFlushUnwindMs) == WAIT_OBJECT_0) {
        return false;
    }
    // The flush cannot outlast the connection it waits on.
    DisconnectNamedPipe(pipe);
    WaitForSingleObject(thread.get(), kFlushUnwindMs);
    return false;
}

}  // namespace lumet::agent
