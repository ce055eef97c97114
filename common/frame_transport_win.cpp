#include "common/frame_transport.h"

#include <optional>
#include <vector>

#include "common/secure_buffer.h"
#include "common/win_handle.h"

namespace lumet::common {
namespace {

// The event of one overlapped operation (manual reset, unsignalled). Its owner keeps GetLastError
// intact on close, because callers report the error of the failed I/O, not of the clean-up.
UniqueEvent NewOperationEvent() {
    return UniqueEvent(CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                    /*bInitialState=*/FALSE, /*lpName=*/nullptr));
}

// Deadline of one transfer: either a fixed time-out per operation (TransferAll) or one point in
// time for a whole frame (SendFrame, ReceiveFrame).
struct Deadline {
    uint64_t per_operation_ms = 0;  // used when `until_tick` is 0
    uint64_t until_tick = 0;        // GetTickCount64 value by which the whole frame must be done

    static Deadline PerOperation(uint32_t timeout_ms) { return Deadline{timeout_ms, 0}; }
    static Deadline WholeFrame(uint32_t timeout_ms) {
        // +1 keeps the value non-zero even on a machine whose tick count starts at 0.
        return Deadline{0, GetTickCount64() + timeout_ms + 1};
    }
};

// Waits for the operation's event until `end_tick`, also ending at the wake event and giving the
// tick callback its turns. WAIT_OBJECT_0: the operation completed; WAIT_TIMEOUT: the deadline
// passed; WAIT_ABANDONED: the wake event or the callback ended it; WAIT_FAILED: the wait failed.
DWORD WaitForOperation(HANDLE operation, uint64_t end_tick, const FrameWaits& waits) {
    HANDLE handles[2] = {operation, waits.wake_event};
    const DWORD count = waits.wake_event != nullptr ? 2 : 1;
    for (;;) {
        const uint64_t now = GetTickCount64();
        const uint64_t left = end_tick > now ? end_tick - now : 0;
        uint64_t slice = left;
        if (waits.tick_ms != 0 && waits.on_tick && slice > waits.tick_ms) {
            slice = waits.tick_ms;
        }
        const DWORD waited =
            WaitForMultipleObjects(count, handles, /*bWaitAll=*/FALSE, static_cast<DWORD>(slice));
        if (waited == WAIT_OBJECT_0) {
            return WAIT_OBJECT_0;
        }
        if (waited == WAIT_OBJECT_0 + 1) {
            return WAIT_ABANDONED;
        }
        if (waited != WAIT_TIMEOUT) {
            return WAIT_FAILED;
        }
        if (slice == left) {
            return WAIT_TIMEOUT;
        }
        if (!waits.on_tick()) {
            return WAIT_ABANDONED;
        }
    }
}

// Issues one ReadFile/WriteFile for `count` bytes and waits for it; on success *moved is the
// non-zero number of bytes transferred.
bool TransferOnce(HANDLE handle, uint8_t* buffer, DWORD count, const Deadline& deadline,
                  const FrameWaits& waits, TransferDirection direction, DWORD* moved) {
    const UniqueEvent event = NewOperationEvent();
    if (!event) {
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();

    const uint64_t end_tick = deadline.until_tick != 0
                                  ? deadline.until_tick
                                  : GetTickCount64() + deadline.per_operation_ms;
    const BOOL completed = direction == TransferDirection::Read
                               ? ReadFile(handle, buffer, count, nullptr, &overlapped)
                               : WriteFile(handle, buffer, count, nullptr, &overlapped);
    if (!completed) {
        if (GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        const DWORD wait = WaitForOperation(event.get(), end_tick, waits);
        if (wait != WAIT_OBJECT_0) {
            const DWORD error = wait == WAIT_TIMEOUT     ? WAIT_TIMEOUT
                                : wait == WAIT_ABANDONED ? ERROR_OPERATION_ABORTED
                                                         : GetLastError();
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

bool TransferWithin(HANDLE handle, void* buffer, uint32_t count, const Deadline& deadline,
                    const FrameWaits& waits, TransferDirection direction) {
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
        if (!TransferOnce(handle, cursor, remaining, deadline, waits, direction, &moved)) {
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

}  // namespace

bool TransferAll(HANDLE handle, void* buffer, uint32_t count, uint32_t timeout_ms,
                 TransferDirection direction) {
    return TransferWithin(handle, buffer, count, Deadline::PerOperation(timeout_ms), FrameWaits{},
                          direction);
}

bool SendFrame(HANDLE handle, uint16_t type, uint32_t request_id, uint32_t generation,
               std::span<const uint8_t> payload, uint32_t timeout_ms, const FrameWaits& waits) {
    std::optional<std::vector<uint8_t>> frame = EncodeFrame(type, request_id, generation, payload);
    if (!frame) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const bool sent =
        TransferWithin(handle, frame->data(), static_cast<uint32_t>(frame->size()),
                       Deadline::WholeFrame(timeout_ms), waits, TransferDirection::Write);
    const DWORD error = GetLastError();
    WipeBytes(*frame);
    SetLastError(error);
    return sent;
}

ReceivedFrame ReceiveFrame(HANDLE handle, uint32_t timeout_ms, const FrameWaits& waits) {
    // One deadline for header and payload together: a per-read time-out would let a peer that
    // sends a byte now and then keep the reader busy for ever.
    const Deadline deadline = Deadline::WholeFrame(timeout_ms);
    // Exactly the header first: the pipe is a byte stream and the next frame must stay in it.
    uint8_t header_bytes[kFrameHeaderSize] = {};
    if (!TransferWithin(handle, header_bytes, static_cast<uint32_t>(kFrameHeaderSize), deadline,
                        waits, TransferDirection::Read)) {
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
    if (!TransferWithin(handle, frame.payload.data(), frame.header.payload_length, deadline, waits,
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
