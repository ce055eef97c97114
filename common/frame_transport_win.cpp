#include "common/frame_transport.h"

#include <optional>
#include <vector>

#include "common/secure_buffer.h"

namespace lumet::common {
namespace {

// Owns the event of one overlapped operation. Closing keeps GetLastError intact, because callers
// report the error of the failed I/O, not of the clean-up.
class OperationEvent {
  public:
    OperationEvent()
        : event_(CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE,
                              /*bInitialState=*/FALSE, /*lpName=*/nullptr)) {}
    ~OperationEvent() {
        if (event_ != nullptr) {
            const DWORD error = GetLastError();
            CloseHandle(event_);
            SetLastError(error);
        }
    }
    OperationEvent(const OperationEvent&) = delete;
    OperationEvent& operator=(const OperationEvent&) = delete;

    HANDLE get() const { return event_; }

  private:
    HANDLE event_;
};

// Issues one ReadFile/WriteFile for `count` bytes and waits for it; on success *moved is the
// non-zero number of bytes transferred.
bool TransferOnce(HANDLE handle, uint8_t* buffer, DWORD count, DWORD timeout_ms,
                  TransferDirection direction, DWORD* moved) {
    OperationEvent event;
    if (event.get() == nullptr) {
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();

    const BOOL completed = direction == TransferDirection::Read
                               ? ReadFile(handle, buffer, count, nullptr, &overlapped)
                               : WriteFile(handle, buffer, count, nullptr, &overlapped);
    if (!completed) {
        if (GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        const DWORD wait = WaitForSingleObject(event.get(), timeout_ms);
        if (wait != WAIT_OBJECT_0) {
            const DWORD error = wait == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
            // The kernel may still write into `buffer` and `overlapped` until the operation has
            // finished, so wait for the cancelled operation before both go out of scope. If it
            // completed in the meantime, CancelIoEx finds nothing and the wait returns at once;
            // the transfer still fails, because the caller's deadline has passed.
            CancelIoEx(handle, &overlapped);
            DWORD ignored = 0;
            GetOverlappedResult(handle, &overlapped, &ignored, /*bWait=*/TRUE);
            SetLastError(error);
            return false;
        }
    }
    DWORD transferred = 0;
    if (!GetOverlappedResult(handle, &overlapped, &transferred, /*bWait=*/FALSE)) {
        return false;
    }
    if (transferred == 0) {
        // A zero-byte completion on a byte-mode pipe means the peer closed its end.
        SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    *moved = transferred;
    return true;
}

}  // namespace

bool TransferAll(HANDLE handle, void* buffer, uint32_t count, uint32_t timeout_ms,
                 TransferDirection direction) {
    if (count == 0) {
        return true;
    }
    if (buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    auto* cursor = static_cast<uint8_t*>(buffer);
    uint32_t remaining = count;
    while (remaining > 0) {
        DWORD moved = 0;
        if (!TransferOnce(handle, cursor, remaining, timeout_ms, direction, &moved)) {
            return false;
        }
        if (moved > remaining) {
            // Never trust a count beyond what was asked for; it would walk past the buffer.
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        cursor += moved;
        remaining -= moved;
    }
    return true;
}

bool SendFrame(HANDLE handle, uint16_t type, uint32_t request_id, uint32_t generation,
               std::span<const uint8_t> payload, uint32_t timeout_ms) {
    std::optional<std::vector<uint8_t>> frame = EncodeFrame(type, request_id, generation, payload);
    if (!frame) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const bool sent = TransferAll(handle, frame->data(), static_cast<uint32_t>(frame->size()),
                                  timeout_ms, TransferDirection::Write);
    const DWORD error = GetLastError();
    WipeBytes(*frame);
    SetLastError(error);
    return sent;
}

ReceivedFrame ReceiveFrame(HANDLE handle, uint32_t timeout_ms) {
    // Exactly the header first: the pipe is a byte stream and the next frame must stay in it.
    uint8_t header_bytes[kFrameHeaderSize] = {};
    if (!TransferAll(handle, header_bytes, static_cast<uint32_t>(kFrameHeaderSize), timeout_ms,
                     TransferDirection::Read)) {
        return {};
    }
    ReceivedFrame frame;
    size_t total_size = 0;
    if (DecodeFrameHeader(header_bytes, sizeof(header_bytes), &frame.header, &total_size) !=
        FrameDecodeResult::Ok) {
        SetLastError(ERROR_INVALID_DATA);
        return {};
    }
    frame.payload.assign(frame.header.payload_length, 0);
    if (!TransferAll(handle, frame.payload.data(), frame.header.payload_length, timeout_ms,
                     TransferDirection::Read)) {
        // The partial payload may be part of a secret (a configuration, a profile).
        const DWORD error = GetLastError();
        WipeBytes(frame.payload);
        SetLastError(error);
        return {};
    }
    frame.ok = true;
    return frame;
}

}  // namespace lumet::common
