#include "sim/openvpn/management_sim.h"

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "sim/openvpn/scoped_handle.h"
#include "sim/openvpn/sim_switches.h"

namespace lumet::sim::openvpn {
namespace {

constexpr char kPrompt[] = "ENTER PASSWORD:";
constexpr char kLocalAddress[] = "10.99.0.6";
constexpr DWORD kPollMs = 50;
// A client that sends this much without a line feed is dropped.
constexpr size_t kMaxPendingBytes = 64 * 1024;
// With nobody on the management port for this long the simulator gives up by itself, so that a
// test that lost track of it does not leave it running for good.
constexpr ULONGLONG kUnattendedLimitMs = 5 * 60 * 1000;
constexpr uint64_t kFirstBytesIn = 2944;
constexpr uint64_t kFirstBytesOut = 1072;
constexpr uint64_t kBytesInPerSecond = 48000;
constexpr uint64_t kBytesOutPerSecond = 16000;

enum class Prompt { None, PrivateKey, Auth };

enum class Phase {
    Held,        // waiting for "hold release"
    Prompting,   // a credential prompt is out
    Connecting,  // walking the states towards CONNECTED
    Stalled,     // never connects
    Connected,
};

// Splits a command the way OpenVPN does: words separated by blanks; a double-quoted word may
// hold blanks; a backslash takes the next character literally. False on an unterminated quote.
bool SplitCommand(const std::string& line, std::vector<std::string>& words) {
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            word.push_back(line[++i]);
            in_word = true;
        } else if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (in_word) {
                words.push_back(word);
                Wipe(word);
                in_word = false;
            }
        } else {
            word.push_back(c);
            in_word = true;
        }
    }
    if (in_word) {
        words.push_back(word);
    }
    Wipe(word);
    return !quoted;
}

bool EqualSecret(const std::string& a, const std::string& b) {
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |=
            static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    }
    return diff == 0;
}

class Session {
  public:
    Session(ManagementSetup setup, TunnelSwitches switches)
        : setup_(std::move(setup)), switches_(std::move(switches)) {}
    ~Session() {
        CloseClient();
        if (setup_.listener != INVALID_SOCKET) {
            closesocket(setup_.listener);
        }
        Wipe(setup_.password);
        Wipe(switches_.password);
        Wipe(switches_.username);
        Wipe(entered_username_);
        Wipe(entered_password_);
    }

    int Run() {
        for (;;) {
            if (setup_.exit_event != nullptr &&
                WaitForSingleObject(setup_.exit_event, 0) == WAIT_OBJECT_0) {
                return Exit("SIGTERM", 0);
            }
            if (exit_code_ >= 0) {
                return exit_code_;
            }
            if (client_ == INVALID_SOCKET && Now() - unattended_since_ >= kUnattendedLimitMs) {
                return Exit("unattended", 3);
            }
            Poll();
            if (exit_code_ < 0) {
                RunTimers();
            }
        }
    }

  private:
    static ULONGLONG Now() { return GetTickCount64(); }

    // Waits up to kPollMs for a client or for input, and handles what arrived.
    void Poll() {
        const SOCKET watched = client_ != INVALID_SOCKET ? client_ : setup_.listener;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(watched, &readable);
        timeval wait = {0, static_cast<long>(kPollMs * 1000)};
        if (client_ != INVALID_SOCKET && !greeted_) {
            // Wake in time for a delayed greeting.
            const ULONGLONG now = Now();
            const ULONGLONG left = greet_at_ > now ? greet_at_ - now : 0;
            if (left < kPollMs) {
                wait.tv_usec = static_cast<long>(left * 1000);
            }
        }
        const int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (client_ == INVALID_SOCKET) {
            if (ready > 0) {
                Accept();
            }
            return;
        }
        if (!greeted_ && Now() >= greet_at_) {
            Greet();
        }
        if (ready > 0) {
            Receive();
        }
    }

    void Accept() {
        client_ = accept(setup_.listener, nullptr, nullptr);
        if (client_ == INVALID_SOCKET) {
            return;
        }
        greeted_ = false;
        authenticated_ = false;
        Wipe(pending_);
        greet_at_ = Now() + switches_.greeting_delay_ms;
    }

    void Greet() {
        greeted_ = true;
        if (setup_.has_password) {
            SendRaw(kPrompt);
        } else {
            Authenticated();
        }
    }

    void Receive() {
        char chunk[1024];
        const int got = recv(client_, chunk, sizeof(chunk), 0);
        if (got <= 0) {
            CloseClient();
            return;
        }
        pending_.append(chunk, static_cast<size_t>(got));
        SecureZeroMemory(chunk, sizeof(chunk));
        if (!greeted_) {
            // Whatever a client sends before the prompt is read as an answer to it.
            Greet();
        }
        for (size_t end = pending_.find('\n');
             end != std::string::npos && client_ != INVALID_SOCKET; end = pending_.find('\n')) {
            std::string line = pending_.substr(0, end);
            SecureZeroMemory(pending_.data(), end + 1);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            HandleLine(line);
            Wipe(line);
            if (exit_code_ >= 0) {
                return;
            }
        }
        if (pending_.size() > kMaxPendingBytes) {
            CloseClient();
        }
    }

    void HandleLine(const std::string& line) {
        if (!authenticated_) {
            const bool match = EqualSecret(line, setup_.password);
            WriteRecordDword(
                kLastManagementAuth,
                static_cast<uint32_t>(match ? AuthRecord::Matched : AuthRecord::Mismatched));
            if (match) {
                SendLine("SUCCESS: password is correct");
                Authenticated();
            } else {
                // OpenVPN asks again and says nothing else.
                SendRaw(kPrompt);
            }
            return;
        }
        std::vector<std::string> words;
        const bool split = SplitCommand(line, words);
        if (!split || words.empty()) {
            SendLine("ERROR: unknown command, enter 'help' for more options");
        } else {
            Command(words);
        }
        for (std::string& word : words) {
            Wipe(word);
        }
    }

    void Authenticated() {
        authenticated_ = true;
        SendLine(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info");
        if (phase_ == Phase::Held) {
            if (setup_.hold) {
                SendLine(">HOLD:Waiting for hold release:0");
            } else {
                Release();
            }
        } else if (phase_ == Phase::Prompting) {
            // A client that comes back is asked again.
            SendPrompt();
        }
    }

    void Command(const std::vector<std::string>& words) {
        const std::string& verb = words[0];
        if (verb == "state" && words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
            state_on_ = words[1] == "on";
            SendLine(std::string("SUCCESS: real-time state notification set to ") +
                     (state_on_ ? "ON" : "OFF"));
        } else if (verb == "state" && words.size() == 1) {
            SendLine(StateFields(last_state_));
            SendLine("END");
        } else if (verb == "bytecount" && words.size() == 2 && IsNumber(words[1])) {
            bytecount_interval_s_ = static_cast<uint32_t>(std::stoul(words[1]));
            next_bytecount_at_ = Now() + uint64_t{bytecount_interval_s_} * 1000;
            SendLine("SUCCESS: bytecount interval changed");
        } else if (verb == "hold" && words.size() == 2 && words[1] == "release") {
            SendLine("SUCCESS: hold release succeeded");
            if (phase_ == Phase::Held) {
                Release();
            }
        } else if (verb == "hold" && words.size() == 1) {
            SendLine(std::string("SUCCESS: hold=") + (phase_ == Phase::Held ? "1" : "0"));
        } else if ((verb == "username" || verb == "password") && words.size() == 3) {
            Credential(verb, words[1], words[2]);
        } else if (verb == "signal" && words.size() == 2) {
            if (words[1] == "SIGTERM") {
                SendLine("SUCCESS: signal SIGTERM thrown");
                Exit("SIGTERM", 0);
            } else {
                SendLine("ERROR: signal '" + words[1] + "' is not a known signal type");
            }
        } else if ((verb == "exit" || verb == "quit") && words.size() == 1) {
            CloseClient();
        } else {
            SendLine("ERROR: unknown command [" + verb + "], enter 'help' for more options");
        }
    }

    static bool IsNumber(const std::string& text) {
        if (text.empty() || text.size() > 9) {
            return false;
        }
        for (char c : text) {
            if (c < '0' || c > '9') {
                return false;
            }
        }
        return true;
    }

    void Release() {
        if (switches_.fatal == static_cast<uint32_t>(FatalKind::Generic)) {
            Fatal("All TAP-Windows adapters on this system are currently in use or disabled.");
            return;
        }
        if (!setup_.query_passwords) {
            credentials_matched_ = true;
            BeginConnecting();
            return;
        }
        prompt_ = switches_.private_key_prompt ? Prompt::PrivateKey : Prompt::Auth;
        phase_ = Phase::Prompting;
        SendPrompt();
    }

    void SendPrompt() {
        if (prompt_ == Prompt::PrivateKey) {
            Notify(">PASSWORD:Need 'Private Key' password");
        } else if (prompt_ == Prompt::Auth) {
            Notify(">PASSWORD:Need 'Auth' username/password");
        }
    }

    void Credential(const std::string& verb, const std::string& type, const std::string& value) {
        const bool auth = prompt_ == Prompt::Auth && type == "Auth";
        const bool key =
            prompt_ == Prompt::PrivateKey && type == "Private Key" && verb == "password";
        if (!auth && !key) {
            SendLine("ERROR: no username/password is currently needed at this time");
            return;
        }
        SendLine("SUCCESS: '" + type + "' " + verb + " entered, but not yet verified");
        if (key) {
            // The key is not checked; the Auth prompt follows.
            prompt_ = Prompt::Auth;
            SendPrompt();
            return;
        }
        (verb == "username" ? entered_username_ : entered_password_) = value;
        (verb == "username" ? has_username_ : has_password_) = true;
        if (!has_username_ || !has_password_) {
            return;
        }
        credentials_matched_ = !switches_.reject_credentials &&
                               EqualSecret(entered_username_, switches_.username) &&
                               EqualSecret(entered_password_, switches_.password);
        Wipe(entered_username_);
        Wipe(entered_password_);
        WriteRecordDword(kLastCredentials,
                         static_cast<uint32_t>(credentials_matched_ ? AuthRecord::Matched
                                                                    : AuthRecord::Mismatched));
        prompt_ = Prompt::None;
        BeginConnecting();
    }

    void BeginConnecting() {
        phase_ = Phase::Connecting;
        step_ = 0;
        next_step_at_ = Now();
    }

    // The connection walk, one step per StateStepMs.
    void Step() {
        switch (step_++) {
            case 0:
                State("WAIT");
                return;
            case 1:
                State("AUTH");
                if (switches_.fatal == static_cast<uint32_t>(FatalKind::AuthFailed)) {
                    Fatal("AUTH_FAILED: the server refused the credentials");
                } else if (!credentials_matched_) {
                    Notify(">PASSWORD:Verification Failed: 'Auth'");
                    Exit("auth-failure", 1);
                } else if (switches_.never_connect) {
                    phase_ = Phase::Stalled;
                }
                return;
            case 2:
                State("ASSIGN_IP", "", kLocalAddress);
                return;
            case 3:
                State("ADD_ROUTES");
                return;
            default:
                State("CONNECTED", "SUCCESS", kLocalAddress, setup_.remote_host,
                      setup_.remote_port);
                phase_ = Phase::Connected;
                connected_at_ = Now();
                bytes_in_ = kFirstBytesIn;
                bytes_out_ = kFirstBytesOut;
                if (bytecount_interval_s_ > 0) {
                    SendByteCount();
                }
                return;
        }
    }

    void RunTimers() {
        const ULONGLONG now = Now();
        if (phase_ == Phase::Connecting && now >= next_step_at_) {
            Step();
            next_step_at_ = now + switches_.state_step_ms;
            return;
        }
        if (phase_ != Phase::Connected) {
            return;
        }
        if (switches_.exit_after_connected_ms > 0 &&
            now - connected_at_ >= switches_.exit_after_connected_ms) {
            // A crash: no EXITING state, the connection just drops.
            CloseClient();
            exit_code_ = 2;
            return;
        }
        if (bytecount_interval_s_ > 0 && now >= next_bytecount_at_) {
            bytes_in_ += kBytesInPerSecond * bytecount_interval_s_;
            bytes_out_ += kBytesOutPerSecond * bytecount_interval_s_;
            SendByteCount();
        }
    }

    void SendByteCount() {
        Notify(">BYTECOUNT:" + std::to_string(bytes_in_) + "," + std::to_string(bytes_out_));
        next_bytecount_at_ = Now() + uint64_t{bytecount_interval_s_} * 1000;
    }

    std::string StateFields(const std::string& rest) const {
        return std::to_string(static_cast<long long>(std::time(nullptr))) + "," + rest;
    }

    // ">STATE:<time>,<name>,<description>,<local ip>,<remote ip>,<remote port>,,"
    void State(const std::string& name, const std::string& description = "",
               const std::string& local = "", const std::string& remote = "",
               const std::string& port = "") {
        last_state_ = name + "," + description + "," + local + "," + remote + "," + port + ",,";
        if (state_on_) {
            Notify(">STATE:" + StateFields(last_state_));
        }
    }

    void Fatal(const std::string& text) {
        Notify(">FATAL:" + text);
        CloseClient();
        exit_code_ = 1;
    }

    int Exit(const std::string& reason, int code) {
        State("EXITING", reason);
        CloseClient();
        exit_code_ = code;
        return code;
    }

    void SendLine(const std::string& text) { SendRaw(text + "\r\n"); }

    // Real-time messages reach only an authenticated client; without one they are lost, as
    // with OpenVPN.
    void Notify(const std::string& text) {
        if (authenticated_) {
            SendLine(text);
        }
    }

    void SendRaw(const std::string& text) {
        if (client_ == INVALID_SOCKET) {
            return;
        }
        size_t sent = 0;
        while (sent < text.size()) {
            const int n =
                send(client_, text.data() + sent, static_cast<int>(text.size() - sent), 0);
            if (n <= 0) {
                CloseClient();
                return;
            }
            sent += static_cast<size_t>(n);
        }
    }

    void CloseClient() {
        if (client_ != INVALID_SOCKET) {
            shutdown(client_, SD_BOTH);
            closesocket(client_);
            client_ = INVALID_SOCKET;
            unattended_since_ = Now();
        }
        authenticated_ = false;
        Wipe(pending_);
    }

    ManagementSetup setup_;
    TunnelSwitches switches_;

    SOCKET client_ = INVALID_SOCKET;
    ULONGLONG unattended_since_ = Now();
    bool greeted_ = false;
    bool authenticated_ = false;
    ULONGLONG greet_at_ = 0;
    std::string pending_;  // received bytes not yet handled (may hold secrets)

    Phase phase_ = Phase::Held;
    Prompt prompt_ = Prompt::None;
    bool state_on_ = false;
    std::string last_state_ = "CONNECTING,,,,,,";
    uint32_t bytecount_interval_s_ = 0;
    ULONGLONG next_bytecount_at_ = 0;
    std::string entered_username_;
    std::string entered_password_;
    bool has_username_ = false;
    bool has_password_ = false;
    bool credentials_matched_ = false;
    int step_ = 0;
    ULONGLONG next_step_at_ = 0;
    ULONGLONG connected_at_ = 0;
    uint64_t bytes_in_ = 0;
    uint64_t bytes_out_ = 0;
    int exit_code_ = -1;
};

}  // namespace

int RunManagement(ManagementSetup setup, TunnelSwitches switches) {
    Session session(std::move(setup), std::move(switches));
    return session.Run();
}

}  // namespace lumet::sim::openvpn
