// The management client against an in-process loopback server that plays OpenVPN's part: the
// pre-auth phase and its bounds, the reader thread and its callbacks, command pacing, Stop from
// another thread, and what OpenVPN 2.6 really sends, split at awkward places.
#include "agent/openvpn/management_client.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/openvpn/management_commands.h"
#include "common/log_for_testing.h"

namespace lumet::agent::openvpn {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

void SendText(SOCKET s, std::string_view text) {
    while (!text.empty()) {
        const int n = send(s, text.data(), static_cast<int>(text.size()), 0);
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

// Plays OpenVPN: listens on a loopback port and accepts the client's one connection.
class FakeOpenVpn {
  public:
    FakeOpenVpn() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener_, 1);
        int size = sizeof(address);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~FakeOpenVpn() {
        if (script_.joinable()) {
            script_.join();
        }
        CloseConnection();
        closesocket(listener_);
    }

    uint16_t port() const { return port_; }

    // Runs `script` on its own thread with the accepted connection.
    void Run(std::function<void(SOCKET)> script) {
        script_ = std::thread([this, script = std::move(script)] {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listener_, &set);
            timeval wait{5, 0};
            if (select(0, &set, nullptr, nullptr, &wait) != 1) {
                return;
            }
            connection_ = accept(listener_, nullptr, nullptr);
            script(connection_);
        });
    }
    void Join() {
        if (script_.joinable()) {
            script_.join();
        }
    }
    void CloseConnection() {
        if (connection_ != INVALID_SOCKET) {
            closesocket(connection_);
            connection_ = INVALID_SOCKET;
        }
    }

    // One line the client sent (without "\n"), or "<none>" after `timeout_ms`.
    static std::string ReadClientLine(SOCKET s, DWORD timeout_ms = 3000) {
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms),
                   sizeof(timeout_ms));
        std::string line;
        char c = 0;
        while (recv(s, &c, 1, 0) == 1) {
            if (c == '\n') {
                return line;
            }
            line.push_back(c);
        }
        return "<none>";
    }

  private:
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET connection_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::thread script_;
};

// Collects callbacks as text, in order, and lets a test wait for them.
class Recorder {
  public:
    ManagementCallbacks Callbacks() {
        ManagementCallbacks c;
        c.on_state = [this](ManagementState s) {
            Add("state " + std::to_string(static_cast<int>(s)));
        };
        c.on_bytecount = [this](uint64_t in, uint64_t out) {
            Add("bytes " + std::to_string(in) + "/" + std::to_string(out));
        };
        c.on_hold = [this] { Add("hold"); };
        c.on_password_prompt = [this](PasswordPromptKind k) {
            Add("prompt " + std::to_string(static_cast<int>(k)));
        };
        c.on_fatal = [this](bool auth) { Add(auth ? "fatal auth" : "fatal"); };
        c.on_closed = [this] { Add("closed"); };
        return c;
    }
    void Add(std::string event) {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    // Waits until `event` was recorded (or 5 s passed) and returns everything recorded.
    std::vector<std::string> WaitFor(const std::string& event) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] {
            return std::find(events_.begin(), events_.end(), event) != events_.end();
        });
        return events_;
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

class ManagementClientTest : public testing::Test {
  protected:
    void SetUp() override {
        common::log_testing::SetLogObserver([this](std::wstring_view line) {
            std::lock_guard<std::mutex> guard(log_mutex_);
            log_ += line;
        });
    }
    void TearDown() override { common::log_testing::SetLogObserver(nullptr); }

    std::wstring Log() {
        std::lock_guard<std::mutex> guard(log_mutex_);
        return log_;
    }

    // The password exchange every successful connection starts with.
    static void Authenticate(SOCKET s) {
        SendText(s, "ENTER PASSWORD:");
        FakeOpenVpn::ReadClientLine(s);
        SendText(s, "SUCCESS: password is correct\r\n");
    }

    FakeOpenVpn server_;
    Recorder recorder_;
    OpenVpnManagementClient client_;
    std::mutex log_mutex_;
    std::wstring log_;
};

TEST_F(ManagementClientTest, PromptSplitAcrossReceivesAndBytesAfterItKept) {
    std::string password;
    server_.Run([&](SOCKET s) {
        SendText(s, "ENTER PASS");
        std::this_thread::sleep_for(milliseconds(60));
        // The reply already behind the prompt must count as the next line.
        SendText(s, "WORD:SUCCESS: password is correct\r\n");
        password = FakeOpenVpn::ReadClientLine(s);
    });
    bool rejected = false;
    ASSERT_TRUE(
        client_.Connect(server_.port(), "0123abcd", recorder_.Callbacks(), 5000, &rejected));
    server_.Join();
    EXPECT_EQ(password, "0123abcd");
    EXPECT_FALSE(rejected);
    EXPECT_TRUE(client_.IsRunning());
    client_.Stop();
    EXPECT_FALSE(client_.IsRunning());
    EXPECT_EQ(Log().find(L"0123abcd"), std::wstring::npos);
}

TEST_F(ManagementClientTest, PreAuthFailures) {
    const struct {
        const char* name;
        std::function<void(SOCKET)> script;
        uint32_t timeout_ms;
        bool rejected;
        const wchar_t* log;  // expected in the log, or null for no line at all
    } cases[] = {
        {"greeting over 256 bytes without the prompt",
         [](SOCKET s) { SendText(s, std::string(300, 'g')); }, 5000, false,
         L"WARN openvpn_management_client: pre-auth bound exceeded; bytes=300 preview=[ggg"},
        {"no prompt before the time-out", [](SOCKET s) { SendText(s, "hello\r\n"); }, 400, false,
         L"openvpn_management_client: ENTER PASSWORD: not seen before timeout; pre-auth "
         L"bytes=7 preview=[hello..]"},
        {"password refused with ERROR:",
         [](SOCKET s) {
             SendText(s, "ENTER PASSWORD:");
             FakeOpenVpn::ReadClientLine(s);
             SendText(s, "ERROR: bad password\r\n");
         },
         10000, true, nullptr},
        {"password refused by asking again",
         [](SOCKET s) {
             SendText(s, "ENTER PASSWORD:");
             FakeOpenVpn::ReadClientLine(s);
             SendText(s, "ENTER PASS");
             std::this_thread::sleep_for(milliseconds(30));
             SendText(s, "WORD:");
         },
         10000, true, nullptr},
        {"unexpected reply",
         [](SOCKET s) {
             SendText(s, "ENTER PASSWORD:");
             FakeOpenVpn::ReadClientLine(s);
             SendText(s, ">INFO:hello\tthere\r\n");
         },
         10000, false,
         L"openvpn_management_client: unexpected management-auth reply=[>INFO:hello.there]"},
        {"connection closed before the reply",
         [](SOCKET s) {
             SendText(s, "ENTER PASSWORD:");
             FakeOpenVpn::ReadClientLine(s);
             shutdown(s, SD_BOTH);
         },
         10000, false,
         L"openvpn_management_client: no auth result line before timeout; leftover pre-auth "
         L"bytes=0 preview=[]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOpenVpn server;
        Recorder recorder;
        OpenVpnManagementClient client;
        {
            std::lock_guard<std::mutex> guard(log_mutex_);
            log_.clear();
        }
        server.Run(c.script);
        bool rejected = false;
        const auto start = Clock::now();
        EXPECT_FALSE(
            client.Connect(server.port(), "pw", recorder.Callbacks(), c.timeout_ms, &rejected));
        // Every failure here is decided by what arrived, well before a 10 s time-out.
        EXPECT_LT(MsSince(start), 3000);
        EXPECT_EQ(rejected, c.rejected);
        EXPECT_FALSE(client.IsRunning());
        EXPECT_TRUE(recorder.Events().empty());  // callbacks are dropped, never called
        if (c.log == nullptr) {
            EXPECT_EQ(Log(), L"");
        } else {
            EXPECT_NE(Log().find(c.log), std::wstring::npos) << Log();
        }
        server.Join();
    }
}

TEST_F(ManagementClientTest, NothingListeningFailsAtTheDeadline) {
    // A port that was just free: bound, read back and released again.
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    int size = sizeof(address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    closesocket(probe);

    const auto start = Clock::now();
    EXPECT_FALSE(client_.Connect(ntohs(address.sin_port), "pw", recorder_.Callbacks(), 300));
    EXPECT_GE(MsSince(start), 280);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_FALSE(client_.SendCommand("state on\n"));
}

TEST_F(ManagementClientTest, InvalidManagementPasswordIsNeverSent) {
    std::string sent;
    server_.Run([&](SOCKET s) {
        SendText(s, "ENTER PASSWORD:");
        sent = FakeOpenVpn::ReadClientLine(s, 500);
    });
    EXPECT_FALSE(client_.Connect(server_.port(), "line\nbreak", recorder_.Callbacks(), 3000));
    server_.Join();
    EXPECT_EQ(sent, "<none>");
}

// What OpenVPN 2.6 sends after the password, as one text.
constexpr std::string_view kConnectedSession =
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
    ">HOLD:Waiting for hold release:0\r\n"
    "SUCCESS: real-time state notification set to ON\r\n"
    "SUCCESS: bytecount interval changed\r\n"
    "SUCCESS: hold release succeeded\r\n"
    ">PASSWORD:Need 'Auth' username/password\r\n"
    "SUCCESS: 'Auth' username entered, but not yet verified\r\n"
    "SUCCESS: 'Auth' password entered, but not yet verified\r\n"
    ">STATE:1796620812,WAIT,,,,,,\r\n"
    ">STATE:1796620812,AUTH,,,,,,\r\n"
    ">STATE:1796620812,ASSIGN_IP,,10.99.0.6,,,,\r\n"
    ">STATE:1796620812,ADD_ROUTES,,,,,,\r\n"
    ">STATE:1796620812,CONNECTED,SUCCESS,10.99.0.6,127.0.0.1,11940,,\r\n"
    ">BYTECOUNT:2944,1072\r\n";

constexpr std::string_view kRejectedSession =
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
    ">HOLD:Waiting for hold release:0\r\n"
    ">PASSWORD:Need 'Auth' username/password\r\n"
    "SUCCESS: 'Auth' username entered, but not yet verified\r\n"
    "SUCCESS: 'Auth' password entered, but not yet verified\r\n"
    ">STATE:1796620797,WAIT,,,,,,\r\n"
    ">STATE:1796620797,AUTH,,,,,,\r\n"
    ">PASSWORD:Verification Failed: 'Auth'\r\n"
    ">STATE:1796620797,EXITING,auth-failure,,,,,\r\n";

// Sends `text` in pieces of `piece` bytes with short pauses, so that lines, "\r\n" pairs and
// the prompt fall across receives.
void SendInPieces(SOCKET s, std::string_view text, size_t piece) {
    while (!text.empty()) {
        const size_t n = std::min(piece, text.size());
        SendText(s, text.substr(0, n));
        text.remove_prefix(n);
        std::this_thread::sleep_for(milliseconds(1));
    }
}

TEST_F(ManagementClientTest, RealSessionsSplitAtAwkwardPlaces) {
    for (const size_t piece : {size_t{3}, size_t{7}, size_t{29}, size_t{4096}}) {
        SCOPED_TRACE("piece " + std::to_string(piece));
        {
            FakeOpenVpn server;
            Recorder recorder;
            OpenVpnManagementClient client;
            server.Run([&](SOCKET s) {
                SendInPieces(s, "ENTER PASSWORD:", piece);
                FakeOpenVpn::ReadClientLine(s);
                SendInPieces(s, "SUCCESS: password is correct\r\n", piece);
                SendInPieces(s, kConnectedSession, piece);
            });
            ASSERT_TRUE(client.Connect(server.port(), "pw", recorder.Callbacks(), 5000));
            const std::vector<std::string> expected = {"hold",     "prompt 2",       "state 4",
                                                       "state 5",  "state 8",        "state 9",
                                                       "state 10", "bytes 2944/1072"};
            EXPECT_EQ(recorder.WaitFor("bytes 2944/1072"), expected);
            server.Join();
            client.Stop();
            EXPECT_EQ(recorder.Events().back(), "closed");
        }
        {
            FakeOpenVpn server;
            Recorder recorder;
            OpenVpnManagementClient client;
            server.Run([&](SOCKET s) {
                SendInPieces(s, "ENTER PASSWORD:", piece);
                FakeOpenVpn::ReadClientLine(s);
                SendInPieces(s, "SUCCESS: password is correct\r\n", piece);
                SendInPieces(s, kRejectedSession, piece);
                shutdown(s, SD_BOTH);  // OpenVPN exits; there is no ">FATAL:" line
            });
            ASSERT_TRUE(client.Connect(server.port(), "pw", recorder.Callbacks(), 5000));
            // The refusal reaches the coordinator as its own prompt kind, and the closed
            // connection ends the reader at once.
            const std::vector<std::string> expected = {"hold",     "prompt 2", "state 4", "state 5",
                                                       "prompt 5", "state 12", "closed"};
            EXPECT_EQ(recorder.WaitFor("closed"), expected);
            EXPECT_FALSE(client.IsRunning());
            server.Join();
        }
    }
}

TEST_F(ManagementClientTest, CallbacksSendPacedCommandsAsTheCoordinatorDoes) {
    std::vector<std::pair<std::string, Clock::time_point>> received;
    server_.Run([&](SOCKET s) {
        Authenticate(s);
        SendText(s, ">HOLD:Waiting for hold release:0\r\n");
        for (int i = 0; i < 3; ++i) {
            std::string line = FakeOpenVpn::ReadClientLine(s);
            received.emplace_back(std::move(line), Clock::now());
        }
        SendText(s, ">PASSWORD:Need 'Auth' username/password\r\n");
        for (int i = 0; i < 2; ++i) {
            std::string line = FakeOpenVpn::ReadClientLine(s);
            received.emplace_back(std::move(line), Clock::now());
        }
    });
    ManagementCallbacks callbacks = recorder_.Callbacks();
    callbacks.on_hold = [this] {
        client_.SendCommand(StateOnCommand());
        client_.SendCommand(ByteCountCommand(5));
        client_.SendCommand(HoldReleaseCommand());
    };
    callbacks.on_password_prompt = [this](PasswordPromptKind kind) {
        ASSERT_EQ(kind, PasswordPromptKind::AuthUsernamePassword);
        client_.SendCommand(CredentialCommand(CredentialKind::Username, "al\"ice")->str());
        client_.SendCommand(CredentialCommand(CredentialKind::Password, "pa\\ss")->str());
    };
    ASSERT_TRUE(client_.Connect(server_.port(), "pw", std::move(callbacks), 5000));
    server_.Join();
    ASSERT_EQ(received.size(), 5u);
    const char* expected[] = {"state on", "bytecount 5", "hold release",
                              "username \"Auth\" \"al\\\"ice\"", "password \"Auth\" \"pa\\\\ss\""};
    for (size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i].first, expected[i]);
    }
    for (size_t i = 1; i < 3; ++i) {
        // 60 ms apart at the sender; allow for the receiving side's scheduling.
        EXPECT_GE(
            std::chrono::duration_cast<milliseconds>(received[i].second - received[i - 1].second)
                .count(),
            45)
            << i;
    }
    client_.Stop();
    EXPECT_EQ(Log().find(L"al\"ice"), std::wstring::npos);
    EXPECT_EQ(Log().find(L"pa\\ss"), std::wstring::npos);
}

TEST_F(ManagementClientTest, ReaderEndsOnMalformedOrEndlessLines) {
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"bytecount with a letter", ">BYTECOUNT:12a,1\r\n>HOLD:after\r\n"},
        {"bytecount with three counts", ">BYTECOUNT:1,2,3\r\n>HOLD:after\r\n"},
        {"line longer than 4096 bytes", ">LOG:" + std::string(4200, 'x') + "\r\n>HOLD:after\r\n"},
        {"no line end past 4096 bytes", ">LOG:" + std::string(6000, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOpenVpn server;
        Recorder recorder;
        OpenVpnManagementClient client;
        server.Run([&](SOCKET s) {
            Authenticate(s);
            SendText(s, ">STATE:1,WAIT,,\r\n" + c.text);
        });
        ASSERT_TRUE(client.Connect(server.port(), "pw", recorder.Callbacks(), 5000));
        EXPECT_EQ(recorder.WaitFor("closed"), (std::vector<std::string>{"state 4", "closed"}));
        EXPECT_FALSE(client.IsRunning());
        server.Join();
        client.Stop();
    }
}

TEST_F(ManagementClientTest, UnrecognisedNeedPromptIsAnsweredAndLogged) {
    server_.Run([](SOCKET s) {
        Authenticate(s);
        SendText(s,
                 ">PASSWORD:Need 'Auth' username/password \r\n"
                 ">PASSWORD:Something else entirely\r\n"
                 ">FATAL:server pushed AUTH_FAILED\r\n>FATAL:tun failed\r\n");
    });
    ASSERT_TRUE(client_.Connect(server_.port(), "pw", recorder_.Callbacks(), 5000));
    EXPECT_EQ(recorder_.WaitFor("fatal"),
              (std::vector<std::string>{"prompt 0", "prompt 0", "fatal auth", "fatal"}));
    const std::wstring log = Log();
    const std::wstring warn =
        L"WARN openvpn_management_client: unrecognised >PASSWORD prompt wording=[Need 'Auth' "
        L"username/password ]";
    EXPECT_NE(log.find(warn), std::wstring::npos) << log;
    // Only "Need " wordings are worth the warning.
    EXPECT_EQ(log.find(L"Something else"), std::wstring::npos);
    client_.Stop();
}

TEST_F(ManagementClientTest, StopFromAnotherThreadWhileAReadWaits) {
    server_.Run([](SOCKET s) { Authenticate(s); });
    ASSERT_TRUE(client_.Connect(server_.port(), "pw", recorder_.Callbacks(), 5000));
    server_.Join();
    std::this_thread::sleep_for(milliseconds(100));  // the reader is inside a receive now
    const auto start = Clock::now();
    std::thread stopper([this] { client_.Stop(); });
    stopper.join();
    EXPECT_LT(MsSince(start), 700);
    EXPECT_FALSE(client_.IsRunning());
    EXPECT_EQ(recorder_.Events(), std::vector<std::string>{"closed"});
    EXPECT_FALSE(client_.SendCommand("state on\n"));
    client_.Stop();  // a second stop is harmless
}

TEST_F(ManagementClientTest, StopFromACallbackIsRefused) {
    server_.Run([](SOCKET s) {
        Authenticate(s);
        SendText(s, ">HOLD:Waiting for hold release:0\r\n");
    });
    ManagementCallbacks callbacks = recorder_.Callbacks();
    callbacks.on_hold = [this] {
        try {
            client_.Stop();
            recorder_.Add("stopped");
        } catch (const std::system_error& e) {
            recorder_.Add(e.code() == std::errc::resource_deadlock_would_occur ? "deadlock"
                                                                               : "other");
        }
    };
    ASSERT_TRUE(client_.Connect(server_.port(), "pw", std::move(callbacks), 5000));
    // The stop still closed the connection before it refused to join, so the reader ends.
    EXPECT_EQ(recorder_.WaitFor("closed"), (std::vector<std::string>{"deadlock", "closed"}));
    server_.Join();
    client_.Stop();
}

TEST_F(ManagementClientTest, ReconnectReplacesTheCallbacks) {
    server_.Run([](SOCKET s) {
        Authenticate(s);
        SendText(s, ">STATE:1,WAIT,,\r\n");
    });
    ASSERT_TRUE(client_.Connect(server_.port(), "pw", recorder_.Callbacks(), 5000));
    recorder_.WaitFor("state 4");
    server_.Join();

    FakeOpenVpn second;
    Recorder next;
    second.Run([](SOCKET s) {
        Authenticate(s);
        SendText(s, ">STATE:1,CONNECTED,SUCCESS\r\n");
    });
    ASSERT_TRUE(client_.Connect(second.port(), "pw", next.Callbacks(), 5000));
    EXPECT_EQ(next.WaitFor("state 10"), std::vector<std::string>{"state 10"});
    // The first connection was stopped (its reader said so) and hears nothing more.
    EXPECT_EQ(recorder_.Events(), (std::vector<std::string>{"state 4", "closed"}));
    second.Join();
    client_.Stop();
}

}  // namespace
}  // namespace lumet::agent::openvpn
