// The client of OpenVPN's management interface: connects to openvpn.exe's loopback port, logs in
// with the per-attempt management password, turns OpenVPN's real-time messages into callbacks on
// a reader thread of its own, and sends the few commands the coordinator needs.
//
// Win32 (Winsock). One instance per coordinator, reused for every attempt.
//
// Threads and locks: the coordinator's attempt thread calls Connect and Stop; the reader thread
// runs the callbacks, which may call SendCommand (never Stop); any thread may call SendCommand
// and IsRunning. One mutex guards the socket and the time of the last command and is held for a
// whole command send, pacing wait included. Receives run without it, after their time-out was
// set under it, so Stop can close the socket while a receive waits; the reader then sees the
// closed socket (or its 500 ms read limit) and ends.
//
// Secrets: the management password line and every credential command are wiped after sending;
// logs show at most a printable preview of received bytes before authentication, a reply that
// was not expected, or the first word of a failed command.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "agent/openvpn/management_line.h"

namespace lumet::agent::openvpn {

// The callbacks of one connection; any may be empty. All run on the reader thread, in the order
// OpenVPN's lines arrive.
struct ManagementCallbacks {
    std::function<void(ManagementState state)> on_state;
    std::function<void(uint64_t bytes_in, uint64_t bytes_out)> on_bytecount;
    std::function<void()> on_hold;
    // Also called for Unrecognised prompts (after a WARN line when the wording starts "Need ") and
    // for VerificationFailed, which means the credentials were refused (management_line.h).
    std::function<void(PasswordPromptKind kind)> on_password_prompt;
    std::function<void(bool auth_failed)> on_fatal;
    // The reader has ended by itself: a malformed line, the socket closed by Stop, or OpenVPN
    // closing or resetting the connection (reported at once), or a line over 4096 bytes. Not
    // called when Connect fails.
    std::function<void()> on_closed;
};

// Limits and periods of the protocol.
inline constexpr size_t kPreAuthBoundBytes = 256;    // before "ENTER PASSWORD:" is seen
inline constexpr size_t kPreAuthBufferBytes = 512;   // hard cap of the pre-auth buffer
inline constexpr size_t kPreAuthReceiveBytes = 256;  // one receive before authentication
inline constexpr size_t kLineReceiveBytes = 1024;    // one receive afterwards
inline constexpr uint32_t kReaderReadLimitMs = 500;  // a stop is seen within this
inline constexpr uint32_t kCommandSpacingMs = 60;    // commands are at least this far apart
inline constexpr uint32_t kConnectRetryMs = 50;      // between refused connects

class OpenVpnManagementClient {
  public:
    OpenVpnManagementClient() = default;
    // Performs Stop.
    ~OpenVpnManagementClient();
    OpenVpnManagementClient(const OpenVpnManagementClient&) = delete;
    OpenVpnManagementClient& operator=(const OpenVpnManagementClient&) = delete;

    // Stops any earlier connection, connects to 127.0.0.1:`port` (retrying every 50 ms while the
    // port refuses), waits for "ENTER PASSWORD:", sends `management_password` + "\n" and waits
    // for the answer; all within `timeout_ms` on a monotonic clock. True: authenticated, the
    // callbacks installed and the reader thread running. False: the socket is closed and the
    // callbacks are dropped.
    //
    // `auth_rejected` (optional) is set to true only when OpenVPN refused the password: it
    // answered "ERROR:", or it asked "ENTER PASSWORD:" again (what OpenVPN does for a wrong
    // password), which is taken as refusal at once rather than waiting for the time-out. It is
    // left alone otherwise.
    //
    // `check_listener` (optional) runs once the TCP connection stands and before anything is read
    // or sent on it; false closes the connection and fails the call (the password never leaves).
    //
    // A failure to start the reader thread is raised (std::system_error), not returned.
    bool Connect(uint16_t port, std::string_view management_password, ManagementCallbacks callbacks,
                 uint32_t timeout_ms, bool* auth_rejected = nullptr,
                 const std::function<bool()>& check_listener = {});

    // Closes the connection (a receive in progress returns) and joins the reader thread. Safe when
    // not connected and from any thread except the reader thread: called from a callback it
    // raises std::system_error(resource_deadlock_would_occur).
    void Stop();

    // True while the reader thread is active.
    bool IsRunning() const { return running_.load(); }

    // Sends one complete command (it carries its own "\n"), at least 60 ms after the previous one
    // finished (the wait holds the lock). False when not connected or when the send fails (logged
    // at WARN with the command's first word only). An empty command sends nothing and succeeds.
    bool SendCommand(std::string_view command);

  private:
    using Clock = std::chrono::steady_clock;

    enum class ReceiveResult { Data, TimedOut, EndOfStream, Failed };
    enum class LineResult { Line, TimedOut, EndOfStream, Overflow, PasswordPromptAgain };

    // One receive of up to `max_bytes` into `out`, after setting the socket's receive time-out to
    // the time left until `deadline` (at least 1 ms) under the lock. Failed: the socket is
    // closed or the receive failed for another reason than its time-out.
    ReceiveResult ReceiveSome(char* out, size_t max_bytes, int* received,
                              Clock::time_point deadline);
    bool PreAuth(std::string_view management_password, Clock::time_point deadline,
                 bool* auth_rejected);
    bool SendAll(std::string_view bytes, Clock::time_point deadline);
    // Takes one line (without "\n" and one trailing "\r") from the buffer, receiving as needed
    // until `deadline`. With `watch_prompt`, "ENTER PASSWORD:" standing before any line end ends
    // the wait with PasswordPromptAgain.
    LineResult ReadLine(Clock::time_point deadline, std::string* line, bool watch_prompt);
    void ReaderMain();
    // Clears the running flag and calls on_closed: the reader's last act.
    void FinishReader();
    // Shuts the socket down both ways and closes it; the caller holds lock_.
    void CloseSocketLocked();

    mutable std::mutex lock_;
    SOCKET socket_ = INVALID_SOCKET;  // guarded by lock_
    int64_t last_command_ns_ = 0;     // guarded by lock_; steady clock, 0: none yet
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    // Guards the reader thread object: Connect (attempt thread) and Stop (attempt or request
    // thread) may meet. Stop holds it while joining; the reader never takes it.
    std::mutex thread_lock_;
    std::thread reader_;
    ManagementCallbacks callbacks_;  // written before the reader starts, read only by it
    std::string buffer_;             // received, not yet consumed (pre-auth, then the reader)
};

}  // namespace lumet::agent::openvpn
