// A client's lasting connection to one of our pipe servers: the agent's link to the service and
// the plugin's link to the agent (see peer_link_settings.h for the two).
//
// A link opens the server's pipe, runs the hello handshake on every new connection, remembers the
// server's generation number, and carries one request and its reply at a time. It keeps the pipe
// open between requests; when an exchange fails (time-out, broken pipe, a reply that does not
// carry the request's id) it closes the pipe, so that a late reply can never be read as the
// answer to a later request. Call retries once on a fresh connection only when the request never
// reached the server; a request that was written is never sent twice.
//
// Before the first byte goes out on a new connection, the settings' verify_server looks at the
// process serving the pipe; a refused server gets nothing. Pipes are opened at identification
// level, so a server can never act as the client.
//
// Thread safety: any thread may use a link. One mutex serialises connecting (handshake included)
// and every request-reply exchange, so replies are always paired with their requests. Waiting for
// a reply holds the mutex: a WireGuardStart (up to 60000 ms) blocks other callers of the same link
// for that long. The launch hook of the settings runs under the mutex.
//
// Time-outs: every write of a request and every read of a reply is bounded by the settings'
// io_timeout_ms (ReplyTimeoutFor picks 60000 ms for the WireGuardStart reply); connecting is
// bounded by connect_attempts times the busy wait or the absent-pipe sleep.
//
// Secrets: request bodies are passed by reference and stay the caller's to wipe; the frame the
// transport encodes from them is wiped by the transport.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>

#include "common/frame.h"
#include "common/messages.h"
#include "common/peer_link_settings.h"
#include "common/peer_reply.h"
#include "common/win_handle.h"

namespace lumet::common {

class PeerLink {
  public:
    explicit PeerLink(PeerLinkSettings settings);
    // Closes the pipe if it is open. No call may be in progress.
    ~PeerLink();

    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;

    // Access to the link with its mutex held, for callers that need several steps to be atomic
    // (read the link state and make one exchange without a retry, as the plugin's agent probe
    // does). Holds the mutex until destroyed; never call the PeerLink's own methods meanwhile.
    class Locked {
      public:
        Locked(Locked&&) noexcept = default;
        Locked& operator=(Locked&&) noexcept = default;

        // As PeerLink::EnsureConnected, without releasing the mutex.
        bool EnsureConnected();
        // One request and its reply on the current connection; no connect, no retry. Nothing is
        // returned when the link is not connected, or when the write or the read fails or the
        // reply carries another request id; the pipe is then closed and the link disconnected.
        // The reply's type, protocol and generation are not examined.
        std::optional<ReceivedFrame> Exchange(MessageType type, std::span<const uint8_t> body);
        void Close();
        // As PeerLink::CheckAlive.
        bool CheckAlive();

        bool IsConnected() const;
        [[nodiscard]] Status LastStatus() const;
        uint32_t PeerGeneration() const;

      private:
        friend class PeerLink;
        explicit Locked(PeerLink& link) : link_(&link), lock_(link.mutex_) {}

        PeerLink* link_;
        std::unique_lock<std::mutex> lock_;
    };

    Locked Lock() { return Locked(*this); }

    // True when the link is connected on return: it was already, or a new connection was opened
    // and its handshake succeeded. On false, LastStatus() says why: BadRequest (no pipe name for
    // the session id), Unavailable (pipe absent on the service link, or the handshake exchange
    // failed), Failed (pipe could not be opened, unreadable or refused hello), ProtocolMismatch,
    // ConnectTimeout (attempts used up), the service's refusal status, or the launch hook's status.
    bool EnsureConnected();

    // Sends one request and returns its outcome, making at most two attempts: a connect failure
    // ends the call at once with the link's last status (link_failed set); a request that could
    // not be written closes the pipe and is tried once more on a new connection; a request that
    // was written but got no reply gives Unavailable with `unanswered` set and is not sent again.
    // A reply is never retried: an unreadable one gives Failed, a non-Ok status is passed on.
    CallResult Call(MessageType type, std::span<const uint8_t> body);

    // True when the link is connected and the server has not closed its end, learnt without
    // sending anything (PeekNamedPipe); a closed end disconnects the link.
    bool CheckAlive();

    // Closes the pipe if it is open and marks the link disconnected; the next call reconnects.
    void Close();

    bool IsConnected() const;
    // Outcome of the latest connection attempt, handshake included; Unavailable before the first.
    // A failed exchange does not change it.
    [[nodiscard]] Status LastStatus() const;
    // Generation number the peer sent at the latest successful handshake; 0 before the first.
    uint32_t PeerGeneration() const;
    // Identity the peer announced at the latest successful handshake.
    PeerDetails Peer() const;

    const PeerLinkSettings& settings() const { return settings_; }

  private:
    bool ConnectLocked();
    bool HandshakeLocked();
    // `delivered`, when given, is set once the request frame was written whole.
    std::optional<ReceivedFrame> ExchangeLocked(MessageType type, std::span<const uint8_t> body,
                                                bool* delivered);
    bool CheckAliveLocked();
    void CloseLocked();

    const PeerLinkSettings settings_;
    mutable std::mutex mutex_;
    UniqueHandle pipe_;
    bool connected_ = false;
    uint32_t next_request_id_ = 1;  // wraps at 2^32 like the wire field
    Status last_status_ = Status::Unavailable;
    uint32_t peer_generation_ = 0;
    PeerDetails peer_;
};

}  // namespace lumet::common
