#include "common/peer_link.h"

#include <windows.h>

#include <string>
#include <utility>

#include "common/frame_transport.h"
#include "common/log.h"
#include "common/pipe_names.h"

namespace lumet::common {

namespace {

// Two attempts absorb a connection that broke before the request could be written (the server
// ended an idle connection, or restarted). A request once written is never sent again.
constexpr int kCallAttempts = 2;

// Whether the server end is still there, without sending or consuming anything: PeekNamedPipe
// fails with ERROR_BROKEN_PIPE (or ERROR_PIPE_NOT_CONNECTED) once the server has closed or
// disconnected its end.
bool PipeStillOpen(HANDLE pipe) {
    DWORD available = 0;
    return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) != FALSE;
}

}  // namespace

PeerLink::PeerLink(PeerLinkSettings settings) : settings_(std::move(settings)) {}

PeerLink::~PeerLink() = default;

bool PeerLink::Locked::EnsureConnected() {
    return link_->ConnectLocked();
}

std::optional<ReceivedFrame> PeerLink::Locked::Exchange(MessageType type,
                                                        std::span<const uint8_t> body) {
    return link_->ExchangeLocked(type, body, nullptr);
}

bool PeerLink::Locked::CheckAlive() {
    return link_->CheckAliveLocked();
}

void PeerLink::Locked::Close() {
    link_->CloseLocked();
}

bool PeerLink::Locked::IsConnected() const {
    return link_->connected_ && link_->pipe_.valid();
}

Status PeerLink::Locked::LastStatus() const {
    return link_->last_status_;
}

uint32_t PeerLink::Locked::PeerGeneration() const {
    return link_->peer_generation_;
}

bool PeerLink::EnsureConnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ConnectLocked();
}

CallResult PeerLink::Call(MessageType type, std::span<const uint8_t> body) {
    CallResult result;
    result.link_failed = true;
    for (int attempt = 0; attempt < kCallAttempts; ++attempt) {
        // Connect and exchange under one hold of the mutex: no other thread can close the
        // connection between the handshake and the request.
        std::lock_guard<std::mutex> lock(mutex_);
        // A connection the server has already ended would take the request and lose it; find
        // that out before writing, so that the request goes out on a fresh connection instead.
        CheckAliveLocked();
        if (!ConnectLocked()) {
            result.status = last_status_;
            return result;
        }
        bool delivered = false;
        std::optional<ReceivedFrame> reply = ExchangeLocked(type, body, &delivered);
        if (reply) {
            return ReadCallReply(reply->payload);
        }
        // ExchangeLocked already closed the pipe; last_status_ keeps the connect's outcome.
        CloseLocked();
        result.status = Status::Unavailable;
        if (delivered) {
            // The server may be carrying the request out (a tunnel start, say): sending it again
            // could do it twice, or report a failure for something that succeeded. The caller
            // learns the truth from a later status request.
            result.unanswered = true;
            return result;
        }
    }
    return result;
}

bool PeerLink::CheckAlive() {
    std::lock_guard<std::mutex> lock(mutex_);
    return CheckAliveLocked();
}

void PeerLink::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseLocked();
}

bool PeerLink::IsConnected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_ && pipe_.valid();
}

Status PeerLink::LastStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_status_;
}

uint32_t PeerLink::PeerGeneration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peer_generation_;
}

PeerDetails PeerLink::Peer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peer_;
}

bool PeerLink::ConnectLocked() {
    if (connected_ && pipe_.valid()) {
        return true;
    }
    CloseLocked();

    const std::optional<std::wstring> name =
        MakePipeName(settings_.pipe_role, settings_.session_id);
    if (!name) {
        last_status_ = Status::BadRequest;
        return false;
    }

    bool launched = false;
    for (uint32_t attempt = 1;; ++attempt) {
        if (attempt > settings_.connect_attempts) {
            last_status_ = Status::ConnectTimeout;
            return false;
        }
        // Identification level only: whoever serves the pipe may learn who we are, but can never
        // act as us.
        HANDLE handle =
            CreateFileW(name->c_str(), GENERIC_READ | GENERIC_WRITE,
                        /*dwShareMode=*/0, /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                        /*hTemplateFile=*/nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            pipe_.reset(handle);
            break;
        }
        const DWORD error = GetLastError();
        // Waiting after the last attempt would only delay the failure.
        const bool another_attempt = attempt < settings_.connect_attempts;
        if (error == ERROR_PIPE_BUSY) {
            // Every instance is serving someone else. WaitNamedPipeW returns early when an
            // instance frees up, but the next CreateFileW can still lose the race to another
            // client; that simply costs one attempt. A wait of 0 would mean the pipe's default
            // wait, so 0 means "no wait" here.
            if (another_attempt && settings_.busy_wait_ms > 0) {
                WaitNamedPipeW(name->c_str(), settings_.busy_wait_ms);
            }
            continue;
        }
        if (error == ERROR_FILE_NOT_FOUND) {
            if (settings_.absent_pipe == AbsentPipePolicy::FailUnavailable) {
                last_status_ = Status::Unavailable;
                return false;
            }
            if (!launched) {
                // One launch per connect: a peer that dies at start must not be started again
                // and again within the same connect.
                launched = true;
                if (settings_.launch_peer) {
                    const Status launch = settings_.launch_peer();
                    if (launch != Status::Ok) {
                        last_status_ = launch;
                        return false;
                    }
                }
            }
            if (another_attempt && settings_.absent_sleep_ms > 0) {
                Sleep(settings_.absent_sleep_ms);
            }
            continue;
        }
        last_status_ = Status::Failed;
        return false;
    }
    if (settings_.verify_server) {
        const ServerVerdict verdict = settings_.verify_server(pipe_.get());
        if (!verdict.accepted) {
            // Not even the hello goes to a process we do not trust with our requests.
            LogRepeatable(LogLevel::Error, RefusedServerMessage(settings_.pipe_role, verdict));
            CloseLocked();
            last_status_ = Status::Unavailable;
            return false;
        }
    }
    return HandshakeLocked();
}

bool PeerLink::HandshakeLocked() {
    const uint32_t old_generation = peer_generation_;
    std::optional<ReceivedFrame> reply = ExchangeLocked(MessageType::Hello, {}, nullptr);
    if (!reply) {
        last_status_ = Status::Unavailable;
        CloseLocked();
        return false;
    }
    HelloOutcome outcome = ReadHelloReply(settings_.kind, reply->payload);
    if (outcome.status == Status::ProtocolMismatch) {
        LogLine(LogLevel::Warn, ProtocolMismatchMessage(settings_.kind, outcome.peer_protocol));
    }
    if (outcome.status != Status::Ok) {
        // Fail closed: a peer we cannot talk to keeps the link down until a later connect
        // finds one we can.
        last_status_ = outcome.status;
        CloseLocked();
        return false;
    }
    connected_ = true;
    last_status_ = Status::Ok;
    peer_generation_ = reply->header.generation;
    peer_ = std::move(outcome.details);
    // A generation of 0 means no earlier handshake; servers never send 0.
    if (old_generation != 0 && old_generation != peer_generation_) {
        LogLine(LogLevel::Info,
                GenerationChangedMessage(settings_.kind, old_generation, peer_generation_));
    }
    return true;
}

std::optional<ReceivedFrame> PeerLink::ExchangeLocked(MessageType type,
                                                      std::span<const uint8_t> body,
                                                      bool* delivered) {
    if (!pipe_.valid()) {
        return std::nullopt;
    }
    const uint32_t request_id = next_request_id_++;
    const auto wire_type = static_cast<uint16_t>(type);
    if (!SendFrame(pipe_.get(), wire_type, request_id, /*generation=*/0, body,
                   settings_.io_timeout_ms)) {
        CloseLocked();
        return std::nullopt;
    }
    if (delivered != nullptr) {
        *delivered = true;
    }
    ReceivedFrame reply =
        ReceiveFrame(pipe_.get(), ReplyTimeoutFor(wire_type, settings_.io_timeout_ms));
    if (!reply.ok || reply.header.request_id != request_id) {
        // A reply to some earlier request may still be on its way; only a new connection is
        // guaranteed not to deliver it to the next request.
        CloseLocked();
        return std::nullopt;
    }
    return reply;
}

bool PeerLink::CheckAliveLocked() {
    if (!connected_ || !pipe_.valid()) {
        return false;
    }
    if (!PipeStillOpen(pipe_.get())) {
        CloseLocked();
        return false;
    }
    return true;
}

void PeerLink::CloseLocked() {
    pipe_.reset();
    connected_ = false;
}

}  // namespace lumet::common
