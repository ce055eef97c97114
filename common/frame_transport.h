// Moving frames over a pipe end opened for overlapped I/O (FILE_FLAG_OVERLAPPED).
//
// Contract shared by the three operations:
// - Each read or write is one overlapped operation with its own unnamed manual-reset event that is
//   closed on every path, so nothing is left over between calls.
// - TransferAll's `timeout_ms` bounds every single operation. SendFrame and ReceiveFrame instead
//   give the whole frame (header and payload) one deadline, `timeout_ms` from the call: a peer
//   that trickles one byte at a time cannot hold a server for longer than that. On a time-out the
//   pending operation is cancelled (CancelIoEx on exactly that operation) and waited for before
//   returning, so the caller's buffer is never written after the call returns.
// - FrameWaits lets a server's waits also end at its stop event (a stop never waits for a slow
//   peer) and run periodic work while a peer is silent.
// - Failure (time-out, I/O error, a zero-byte completion meaning the peer closed, a frame that
//   does not decode) leaves the stream at an unknown position: the caller must treat the
//   connection as broken. GetLastError() then holds the cause: WAIT_TIMEOUT for a time-out,
//   ERROR_HANDLE_EOF for a zero-byte completion, ERROR_INVALID_DATA for a bad header,
//   ERROR_INVALID_PARAMETER for a refused payload, ERROR_OPERATION_ABORTED when the wake event
//   or the tick callback ended the wait, else the error of the failing call.
// - No locking: at most one of these calls may be in progress on a handle at any time; callers
//   guarantee it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <span>

#include "common/frame.h"

namespace lumet::common {

enum class TransferDirection { Read, Write };

// What a frame transfer attends to besides its own I/O.
struct FrameWaits {
    // When signalled, the transfer is given up at once (a server's stop event).
    HANDLE wake_event = nullptr;
    // When non-zero, `on_tick` runs on the calling thread about every `tick_ms` while the
    // transfer waits; returning false gives the transfer up.
    uint32_t tick_ms = 0;
    std::function<bool()> on_tick;
};

// Moves exactly `count` bytes to or from `buffer`, or fails. A count of 0 succeeds without
// touching the handle.
bool TransferAll(HANDLE handle, void* buffer, uint32_t count, uint32_t timeout_ms,
                 TransferDirection direction);

// Encodes one frame (protocol kProtocolVersion) and writes it whole within `timeout_ms`. A
// payload over kMaxPayload
// is refused before anything reaches the pipe. The encoded copy of the payload is overwritten
// with zeros before returning, since payloads may carry secrets; the caller still owns (and wipes)
// `payload` itself.
bool SendFrame(HANDLE handle, uint16_t type, uint32_t request_id, uint32_t generation,
               std::span<const uint8_t> payload, uint32_t timeout_ms, const FrameWaits& waits = {});

// Reads exactly one frame, all of it within `timeout_ms`: the 20 header bytes, then exactly the
// announced payload, never a byte of the next frame. The header is not judged beyond
// DecodeFrameHeader (protocol and type are the receiver's business). On failure `ok` is false and
// any partly read payload has been zeroed.
[[nodiscard]] ReceivedFrame ReceiveFrame(HANDLE handle, uint32_t timeout_ms,
                                         const FrameWaits& waits = {});

}  // namespace lumet::common
