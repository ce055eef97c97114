#include "agent/openvpn/management_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "agent/openvpn/management_commands.h"
#include "common/log.h"
#include "common/secure_buffer.h"

namespace lumet::agent::openvpn {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kPasswordPrompt = "ENTER PASSWORD:";
constexpr std::string_view kNeedPrompt = ">PASSWORD:Need ";
constexpr std::string_view kPasswordPrefix = ">PASSWORD:";
constexpr size_t kPromptWordingPreviewBytes = 48;

bool WinsockReady() {
    // Once per process; the agent never calls WSACleanup, Winsock lives as long as it does.
    static const bool ready = [] {
        WSADATA data = {};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

// Whole milliseconds until `deadline`, at least 1 (a zero socket time-out would mean "forever").
DWORD MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<DWORD>(std::clamp<long long>(left, 1, 0x7FFFFFFF));
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

std::wstring CountAndPreview(std::wstring_view message, std::string_view bytes) {
    return std::wstring(message) + std::to_wstring(bytes.size()) + L" preview=[" + Preview(bytes) +
           L"]";
}

void Warn(const std::wstring& message) {
    common::LogLine(common::LogLevel::Warn, message);
}

SOCKET ConnectLoopback(uint16_t port, Clock::time_point deadline) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;;) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s != INVALID_SOCKET) {
            if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
                return s;
            }
            closesocket(s);
        }
        // OpenVPN opens its port a moment after it starts: keep knocking until the deadline.
        if (Clock::now() >= deadline) {
            return INVALID_SOCKET;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kConnectRetryMs));
    }
}

}  // namespace

OpenVpnManagementClient::~OpenVpnManagementClient() {
    Stop();
}

bool OpenVpnManagementClient::Connect(uint16_t port, std::string_view management_password,
                                      ManagementCallbacks callbacks, uint32_t timeout_ms,
                                      bool* auth_rejected,
                                      const std::function<bool()>& check_listener) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!WinsockReady()) {
        return false;
    }
    Stop();
    const SOCKET s = ConnectLoopback(port, deadline);
    if (s == INVALID_SOCKET) {
        return false;
    }
    if (check_listener && !check_listener()) {
        shutdown(s, SD_BOTH);
        closesocket(s);
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        socket_ = s;
        last_command_ns_ = 0;
    }
    buffer_.clear();
    if (!PreAuth(management_password, deadline, auth_rejected)) {
        std::lock_guard<std::mutex> guard(lock_);
        CloseSocketLocked();
        return false;
    }
    callbacks_ = std::move(callbacks);
    stop_requested_.store(false);
    running_.store(true);
    try {
        std::lock_guard<std::mutex> guard(thread_lock_);
        reader_ = std::thread([this] { ReaderMain(); });
    } catch (...) {
        running_.store(false);
        {
            std::lock_guard<std::mutex> guard(lock_);
            CloseSocketLocked();
        }
        callbacks_ = {};
        throw;
    }
    return true;
}

void OpenVpnManagementClient::Stop() {
    stop_requested_.store(true);
    {
        std::lock_guard<std::mutex> guard(lock_);
        CloseSocketLocked();
    }
    {
        std::lock_guard<std::mutex> guard(thread_lock_);
        if (reader_.joinable()) {
            if (reader_.get_id() == std::this_thread::get_id()) {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_deadlock_would_occur),
                    "OpenVpnManagementClient::Stop called on its reader thread");
            }
            reader_.join();
        }
    }
    running_.store(false);
}

bool OpenVpnManagementClient::SendCommand(std::string_view command) {
    bool sent = true;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (socket_ == INVALID_SOCKET) {
            return false;
        }
        // OpenVPN reads commands line by line and has been seen to drop ones that arrive in the
        // same instant; spacing them costs little (a handful per attempt).
        if (last_command_ns_ != 0) {
            const int64_t due = last_command_ns_ + int64_t{kCommandSpacingMs} * 1000000;
            const int64_t now = NowNs();
            if (now < due) {
                std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
            }
        }
        size_t done = 0;
        while (done < command.size()) {
            const int chunk = static_cast<int>(std::min<size_t>(command.size() - done, 0x10000));
            const int n = send(socket_, command.data() + done, chunk, 0);
            if (n <= 0) {
                sent = false;
                break;
            }
            done += static_cast<size_t>(n);
        }
        last_command_ns_ = NowNs();
    }
    if (!sent) {
        // The first word only: the rest of a credential command is the secret.
        Warn(L"openvpn_management_client: command send FAILED, first word='" +
             Preview(CommandFirstWord(command)) + L"'");
    }
    return sent;
}

void OpenVpnManagementClient::CloseSocketLocked() {
    if (socket_ != INVALID_SOCKET) {
        shutdown(socket_, SD_BOTH);
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

OpenVpnManagementClient::ReceiveResult OpenVpnManagementClient::ReceiveSome(
    char* out, size_t max_bytes, int* received, Clock::time_point deadline) {
    *received = 0;
    SOCKET s = INVALID_SOCKET;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (socket_ == INVALID_SOCKET) {
            return ReceiveResult::Failed;
        }
        s = socket_;
        const DWORD timeout = MillisecondsLeft(deadline);
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof(timeout));
    }
    // Without the lock, so that Stop can shut the socket down while this waits.
    const int n = recv(s, out, static_cast<int>(max_bytes), 0);
    if (n > 0) {
        *received = n;
        return ReceiveResult::Data;
    }
    if (n == 0) {
        return ReceiveResult::EndOfStream;
    }
    return WSAGetLastError() == WSAETIMEDOUT ? ReceiveResult::TimedOut : ReceiveResult::Failed;
}

bool OpenVpnManagementClient::SendAll(std::string_view bytes, Clock::time_point deadline) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::lock_guard<std::mutex> guard(lock_);
        if (socket_ == INVALID_SOCKET) {
            return false;
        }
        const DWORD timeout = MillisecondsLeft(deadline);
        setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof(timeout));
        const int n = send(socket_, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

OpenVpnManagementClient::LineResult OpenVpnManagementClient::ReadLine(Clock::time_point deadline,
                                                                      std::string* line,
                                                                      bool watch_prompt) {
    char chunk[kLineReceiveBytes];
    for (;;) {
        const size_t lf = buffer_.find('\n');
        if (watch_prompt) {
            const size_t prompt = buffer_.find(kPasswordPrompt);
            if (prompt != std::string::npos && prompt < lf) {
                return LineResult::PasswordPromptAgain;
            }
        }
        if (lf != std::string::npos) {
            size_t end = lf;
            if (end > 0 && buffer_[end - 1] == '\r') {
                --end;
            }
            line->assign(buffer_, 0, end);
            buffer_.erase(0, lf + 1);
            return LineResult::Line;
        }
        if (buffer_.size() > kMaxManagementLineBytes) {
            return LineResult::Overflow;
        }
        if (Clock::now() >= deadline) {
            return LineResult::TimedOut;
        }
        int n = 0;
        const ReceiveResult r = ReceiveSome(chunk, sizeof(chunk), &n, deadline);
        if (r == ReceiveResult::TimedOut) {
            return LineResult::TimedOut;
        }
        if (r != ReceiveResult::Data) {
            // End of stream, a reset connection or a socket closed by Stop: nothing more will
            // come, and receiving again would fail at once.
            return LineResult::EndOfStream;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

bool OpenVpnManagementClient::PreAuth(std::string_view management_password,
                                      Clock::time_point deadline, bool* auth_rejected) {
    char chunk[kPreAuthReceiveBytes];
    for (;;) {
        const size_t prompt = buffer_.find(kPasswordPrompt);
        if (prompt != std::string::npos) {
            // What follows the prompt (normally nothing) belongs to the next line.
            buffer_.erase(0, prompt + kPasswordPrompt.size());
            break;
        }
        if (buffer_.size() > kPreAuthBoundBytes) {
            Warn(CountAndPreview(L"openvpn_management_client: pre-auth bound exceeded; bytes=",
                                 buffer_));
            return false;
        }
        if (Clock::now() >= deadline) {
            Warn(
                CountAndPreview(L"openvpn_management_client: ENTER PASSWORD: not seen before "
                                L"timeout; pre-auth bytes=",
                                buffer_));
            return false;
        }
        int n = 0;
        const ReceiveResult r = ReceiveSome(chunk, sizeof(chunk), &n, deadline);
        if (r == ReceiveResult::TimedOut) {
            continue;  // the deadline check above says why we give up
        }
        if (r != ReceiveResult::Data) {
            return false;
        }
        if (buffer_.size() + static_cast<size_t>(n) > kPreAuthBufferBytes) {
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
    }

    std::optional<common::SecureString> password_line = ManagementPasswordLine(management_password);
    if (!password_line) {
        return false;
    }
    const bool sent = SendAll(password_line->str(), deadline);
    password_line->Wipe();
    if (!sent) {
        Warn(L"openvpn_management_client: failed to send the management password");
        return false;
    }

    std::string line;
    const LineResult r = ReadLine(deadline, &line, /*watch_prompt=*/true);
    if (r == LineResult::PasswordPromptAgain) {
        // OpenVPN answers a wrong management password by asking again, without an "ERROR:"
        // line; waiting for a result line would only run into the time-out.
        if (auth_rejected != nullptr) {
            *auth_rejected = true;
        }
        return false;
    }
    if (r != LineResult::Line) {
        Warn(CountAndPreview(
            L"openvpn_management_client: no auth result line before timeout; leftover pre-auth "
            L"bytes=",
            buffer_));
        return false;
    }
    switch (ParseLine(line).kind) {
        case ManagementEventKind::AuthSucceeded:
            return true;
        case ManagementEventKind::AuthRejected:
            if (auth_rejected != nullptr) {
                *auth_rejected = true;
            }
            return false;
        default:
            Warn(L"openvpn_management_client: unexpected management-auth reply=[" + Preview(line) +
                 L"]");
            return false;
    }
}

void OpenVpnManagementClient::FinishReader() {
    running_.store(false);
    if (callbacks_.on_closed) {
        callbacks_.on_closed();
    }
}

void OpenVpnManagementClient::ReaderMain() {
    if (stop_requested_.load()) {
        FinishReader();
        return;
    }
    std::string line;
    for (;;) {
        const LineResult r = ReadLine(Clock::now() + std::chrono::milliseconds(kReaderReadLimitMs),
                                      &line, /*watch_prompt=*/false);
        if (r == LineResult::Line) {
            const ManagementEvent event = ParseLine(line);
            if (event.kind == ManagementEventKind::PasswordPrompt &&
                event.prompt == PasswordPromptKind::Unrecognised &&
                line.compare(0, kNeedPrompt.size(), kNeedPrompt) == 0) {
                Warn(L"openvpn_management_client: unrecognised >PASSWORD prompt wording=[" +
                     Preview(std::string_view(line).substr(kPasswordPrefix.size()),
                             kPromptWordingPreviewBytes) +
                     L"]");
            }
            switch (event.kind) {
                case ManagementEventKind::Malformed:
                    FinishReader();
                    return;
                case ManagementEventKind::State:
                    if (callbacks_.on_state) {
                        callbacks_.on_state(event.state);
                    }
                    break;
                case ManagementEventKind::ByteCount:
                    if (callbacks_.on_bytecount) {
                        callbacks_.on_bytecount(event.bytes_in, event.bytes_out);
                    }
                    break;
                case ManagementEventKind::Hold:
                    if (callbacks_.on_hold) {
                        callbacks_.on_hold();
                    }
                    break;
                case ManagementEventKind::PasswordPrompt:
                    if (callbacks_.on_password_prompt) {
                        callbacks_.on_password_prompt(event.prompt);
                    }
                    break;
                case ManagementEventKind::Fatal:
                    if (callbacks_.on_fatal) {
                        callbacks_.on_fatal(event.auth_failed);
                    }
                    break;
                default:
                    break;
            }
        } else if (r == LineResult::Overflow || r == LineResult::EndOfStream) {
            // A line without end past the limit can never be consumed, so reading on would
            // spin; a closed connection gives nothing more either.
            FinishReader();
            return;
        } else {
            bool closed = false;
            {
                std::lock_guard<std::mutex> guard(lock_);
                closed = socket_ == INVALID_SOCKET;
            }
            if (closed) {
                FinishReader();
                return;
            }
        }
        if (stop_requested_.load()) {
            FinishReader();
            return;
        }
    }
}

}  // namespace lumet::agent::openvpn
