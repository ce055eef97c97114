#include "common/peer_link.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <initguid.h>  // defines FOLDERID_ProgramData here instead of needing uuid.lib
#include <knownfolders.h>
#include <shlobj.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/frame_transport.h"
#include "common/log.h"
#include "common/log_for_testing.h"
#include "common/log_format.h"
#include "common/payload.h"
#include "common/pipe_names.h"
#include "common/win_handle.h"
#include "test_util.h"

namespace lumet::common {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSession = 1;
constexpr uint32_t kIoTimeoutMs = 400;
constexpr uint32_t kGenerationA = 0x0000BEEF;
constexpr uint32_t kGenerationB = 0x0000CAFE;

int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<uint8_t> Bytes(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// ---- A scripted pipe server ---------------------------------------------------------------

// One request frame as the server received it.
struct SeenFrame {
    uint32_t connection = 0;  // 1 for the first connection the server accepted
    uint16_t type = 0;
    uint32_t request_id = 0;
    std::vector<uint8_t> payload;
};

enum class Act {
    Reply,          // reply with the request's id
    WrongId,        // reply, but with another request id
    Silent,         // read on, never reply
    CloseMidReply,  // write part of the reply frame, then end the connection
    Close,          // end the connection without a reply
};

struct Response {
    Act act = Act::Reply;
    std::vector<uint8_t> payload;
    uint32_t generation = kGenerationA;
    uint32_t delay_ms = 0;     // wait before replying
    bool close_after = false;  // end the connection after replying (a server restart)
};

using Script = std::function<Response(const SeenFrame&)>;

std::vector<uint8_t> HelloPayload(PeerKind kind, uint16_t protocol = kProtocolVersion,
                                  Status status = Status::Ok) {
    PayloadWriter w;
    WriteStatus(w, status);
    if (status == Status::Ok) {
        HelloInfo hello = kind == PeerKind::Agent ? AgentHelloInfo() : ServiceHelloInfo();
        hello.protocol = protocol;
        Write(w, hello);
        w.WriteString("77-0x0000BEEF");
        if (kind == PeerKind::Agent) {
            w.WriteU32(kSession);
        }
    }
    return w.Take();
}

Response HelloOk(PeerKind kind, uint32_t generation = kGenerationA) {
    Response r;
    r.payload = HelloPayload(kind);
    r.generation = generation;
    return r;
}

// Ok followed by the request's own body, so a caller can tell its reply from anyone else's.
Response Echo(const SeenFrame& seen, uint32_t generation = kGenerationA) {
    PayloadWriter w;
    WriteStatus(w, Status::Ok);
    std::vector<uint8_t> body = w.Take();
    body.insert(body.end(), seen.payload.begin(), seen.payload.end());
    Response r;
    r.payload = std::move(body);
    r.generation = generation;
    return r;
}

bool IsHello(const SeenFrame& seen) {
    return seen.type == static_cast<uint16_t>(MessageType::Hello);
}

UniqueHandle CreateInstance(const std::wstring& name, DWORD max_instances) {
    return UniqueHandle(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, max_instances,
        /*nOutBufferSize=*/16384,
        /*nInBufferSize=*/16384, /*nDefaultTimeOut=*/0,
        /*lpSecurityAttributes=*/nullptr));
}

// Serves one connection at a time on its own thread and answers every frame as the script says.
// A listening instance always exists while the server runs (the next one is created before the
// current connection is served), so a client that reconnects never finds the pipe missing.
class ScriptedServer {
  public:
    ScriptedServer(std::wstring name, Script script)
        : name_(std::move(name)),
          script_(std::move(script)),
          stop_(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr)) {
        UniqueHandle first = CreateInstance(name_, PIPE_UNLIMITED_INSTANCES);
        EXPECT_TRUE(first.valid()) << "CreateNamedPipeW " << GetLastError();
        thread_ = std::thread([this, h = std::move(first)]() mutable { Run(std::move(h)); });
    }

    ~ScriptedServer() {
        SetEvent(stop_.get());
        thread_.join();
    }

    std::vector<SeenFrame> seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    // Requests other than Hello.
    size_t requests() const {
        size_t n = 0;
        for (const SeenFrame& s : seen()) {
            n += IsHello(s) ? 0 : 1;
        }
        return n;
    }
    uint32_t connections() const { return connections_.load(); }

    // Waits (bounded) until `count` connections have been ended by the server.
    bool WaitClosed(uint32_t count, uint32_t timeout_ms = 3000) const {
        const auto start = Clock::now();
        while (closed_.load() < count) {
            if (MillisecondsSince(start) > timeout_ms) {
                return false;
            }
            Sleep(5);
        }
        return true;
    }

  private:
    bool Stopping(DWORD wait_ms = 0) const {
        return WaitForSingleObject(stop_.get(), wait_ms) == WAIT_OBJECT_0;
    }

    void Run(UniqueHandle listening) {
        while (listening.valid()) {
            if (!WaitForClient(listening.get())) {
                return;
            }
            UniqueHandle connection = std::move(listening);
            listening = CreateInstance(name_, PIPE_UNLIMITED_INSTANCES);
            const uint32_t index = ++connections_;
            Serve(connection.get(), index);
            // Closing without DisconnectNamedPipe keeps a reply the client has not read yet.
            connection.reset();
            ++closed_;
        }
    }

    bool WaitForClient(HANDLE pipe) {
        UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        if (ConnectNamedPipe(pipe, &ov)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) {
            return true;  // the client opened before we listened (or already left again)
        }
        if (error != ERROR_IO_PENDING) {
            return false;
        }
        const HANDLE waits[] = {event.get(), stop_.get()};
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, /*dwMilliseconds=*/30000);
        if (woke == WAIT_OBJECT_0) {
            DWORD ignored = 0;
            return GetOverlappedResult(pipe, &ov, &ignored, FALSE) != FALSE;
        }
        CancelIoEx(pipe, &ov);
        DWORD ignored = 0;
        GetOverlappedResult(pipe, &ov, &ignored, TRUE);
        return false;
    }

    void Serve(HANDLE pipe, uint32_t connection) {
        while (!Stopping()) {
            DWORD available = 0;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
                return;  // the client closed its end
            }
            if (available == 0) {
                Sleep(2);
                continue;
            }
            ReceivedFrame frame = ReceiveFrame(pipe, 2000);
            if (!frame.ok) {
                return;
            }
            SeenFrame seen{connection, frame.header.type, frame.header.request_id, frame.payload};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.push_back(seen);
            }
            const Response r = script_(seen);
            if (r.delay_ms > 0 && Stopping(r.delay_ms)) {
                return;
            }
            switch (r.act) {
                case Act::Silent:
                    continue;
                case Act::Close:
                    return;
                case Act::CloseMidReply: {
                    std::optional<std::vector<uint8_t>> bytes =
                        EncodeFrame(seen.type, seen.request_id, r.generation, r.payload);
                    TransferAll(pipe, bytes->data(), static_cast<uint32_t>(bytes->size() / 2), 2000,
                                TransferDirection::Write);
                    return;
                }
                case Act::Reply:
                case Act::WrongId: {
                    const uint32_t id =
                        r.act == Act::WrongId ? seen.request_id + 1000 : seen.request_id;
                    if (!SendFrame(pipe, seen.type, id, r.generation, r.payload, 2000)) {
                        return;
                    }
                    if (r.close_after) {
                        return;
                    }
                    break;
                }
            }
        }
    }

    const std::wstring name_;
    const Script script_;
    UniqueEvent stop_;
    mutable std::mutex mutex_;
    std::vector<SeenFrame> seen_;
    std::atomic<uint32_t> connections_{0};
    std::atomic<uint32_t> closed_{0};
    std::thread thread_;
};

// ---- Log capture --------------------------------------------------------------------------

// Points this process's log at a file of its own and reads it back. The log keeps its file open
// for the life of the process, so the capture closes it before deleting the file.
class LogCapture {
  public:
    LogCapture() : name_(L"peerlinktest-" + test::UniqueSuffixW()) {
        log_testing::ResetLogState();
        SetLogName(name_);
        PWSTR program_data = nullptr;
        if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &program_data))) {
            path_ = LogFilePath(program_data, name_);
        }
        CoTaskMemFree(program_data);
    }
    ~LogCapture() {
        log_testing::ResetLogState();
        DeleteFileW(path_.c_str());
    }

    std::string Text() const {
        UniqueHandle file(CreateFileW(path_.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(file.valid()) << "log file missing";
        std::string text;
        char buffer[4096];
        DWORD read = 0;
        while (file.valid() && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) &&
               read > 0) {
            text.append(buffer, read);
        }
        return text;
    }

    size_t Count(std::string_view needle) const {
        const std::string text = Text();
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }

  private:
    std::wstring name_;
    std::wstring path_;
};

// ---- Fixture ------------------------------------------------------------------------------

class PeerLinkTest : public ::testing::Test {
  protected:
    PeerLinkTest()
        : role_(L"PeerLinkTest." + test::UniqueSuffixW()),
          pipe_name_(MakePipeName(role_, kSession).value()) {}

    // The product's behaviour with waits short enough for tests.
    PeerLinkSettings Settings(PeerKind kind) const {
        PeerLinkSettings s;
        s.kind = kind;
        s.pipe_role = role_;
        s.session_id = kSession;
        s.io_timeout_ms = kIoTimeoutMs;
        s.connect_attempts = 3;
        s.busy_wait_ms = 100;
        s.absent_pipe = kind == PeerKind::Agent ? AbsentPipePolicy::LaunchAndRetry
                                                : AbsentPipePolicy::FailUnavailable;
        s.absent_sleep_ms = 60;
        return s;
    }

    std::wstring role_;
    std::wstring pipe_name_;
};

// ---- Request ids and pairing --------------------------------------------------------------

TEST_F(PeerLinkTest, RequestIdsStartAfterTheHandshakeAndContinueAcrossReconnects) {
    ScriptedServer server(pipe_name_, [](const SeenFrame& s) {
        return IsHello(s) ? HelloOk(PeerKind::Agent) : Echo(s);
    });
    PeerLink link(Settings(PeerKind::Agent));

    const std::vector<uint8_t> first = Bytes("first");
    const std::vector<uint8_t> second = Bytes("second");
    const CallResult a = link.Call(MessageType::AgentHealth, first);
    const CallResult b = link.Call(MessageType::WireGuardStatus, second);
    ASSERT_TRUE(a.ok);
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(a.body, first);
    EXPECT_EQ(b.body, second);
    EXPECT_EQ(link.PeerGeneration(), kGenerationA);
    EXPECT_EQ(link.Peer().session_id, kSession);

    link.Close();
    ASSERT_TRUE(link.Call(MessageType::Ping, {}).ok);

    // {connection, type, request id} as the server saw them.
    const std::vector<std::array<uint32_t, 3>> expected = {
        {1, 1, 1}, {1, 4, 2}, {1, 7, 3}, {2, 1, 4}, {2, 2, 5}};
    std::vector<std::array<uint32_t, 3>> seen;
    for (const SeenFrame& f : server.seen()) {
        seen.push_back({f.connection, f.type, f.request_id});
    }
    EXPECT_EQ(seen, expected);
}

// Every way an exchange can go wrong after the request was written costs the connection, and the
// request is reported unanswered, never sent a second time: the server may have carried it out.
// The next call reconnects (with a new handshake), and a caller only ever sees the reply to its
// own request.
TEST_F(PeerLinkTest, RequestWrittenWithoutReplyIsReportedNotResent) {
    struct Case {
        const char* name;
        Act act;
        uint32_t delay_ms;
    };
    const Case cases[] = {
        {"stale reply id", Act::WrongId, 0},
        {"reply after the time-out", Act::Reply, kIoTimeoutMs + 100},
        {"silent", Act::Silent, 0},
        {"closed mid-reply", Act::CloseMidReply, 0},
        {"closed without reply", Act::Close, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        role_ = L"PeerLinkTest." + test::UniqueSuffixW();
        pipe_name_ = MakePipeName(role_, kSession).value();
        ScriptedServer server(pipe_name_, [&c](const SeenFrame& s) {
            if (IsHello(s)) {
                return HelloOk(PeerKind::Service);
            }
            if (s.connection > 1) {
                return Echo(s);
            }
            Response bad = Echo(s);
            bad.payload = {0, 0, 's', 't', 'a', 'l', 'e'};
            bad.act = c.act;
            bad.delay_ms = c.delay_ms;
            return bad;
        });
        PeerLink link(Settings(PeerKind::Service));

        const std::vector<uint8_t> request = Bytes("mine");
        const CallResult r = link.Call(MessageType::WireGuardStop, request);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.status, Status::Unavailable);
        EXPECT_TRUE(r.unanswered);
        EXPECT_TRUE(r.link_failed);
        EXPECT_TRUE(r.body.empty());
        EXPECT_FALSE(link.IsConnected());
        // The handshake succeeded, so the link's own status stays Ok.
        EXPECT_EQ(link.LastStatus(), Status::Ok);
        EXPECT_EQ(server.connections(), 1u);
        EXPECT_EQ(server.requests(), 1u);

        // A later call (a status request, say) reconnects and gets its own reply.
        const CallResult later = link.Call(MessageType::WireGuardStatus, request);
        EXPECT_TRUE(later.ok);
        EXPECT_EQ(later.body, request);
        EXPECT_FALSE(later.unanswered);
        EXPECT_EQ(server.connections(), 2u);
        const std::vector<SeenFrame> seen = server.seen();
        ASSERT_EQ(seen.size(), 4u);
        EXPECT_EQ(seen[1].type, static_cast<uint16_t>(MessageType::WireGuardStop));
        EXPECT_EQ(seen[3].type, static_cast<uint16_t>(MessageType::WireGuardStatus));
        EXPECT_EQ(seen[2].request_id, 3u);  // the new connection's handshake
        EXPECT_EQ(seen[3].request_id, 4u);
    }
}

// A request that never reached the server is tried once more on a fresh connection: the server
// ended the connection while the link was idle (learnt before writing, without traffic), or the
// write itself failed.
TEST_F(PeerLinkTest, RequestNotDeliveredIsTriedOnANewConnection) {
    ScriptedServer server(pipe_name_, [](const SeenFrame& s) {
        if (IsHello(s)) {
            return HelloOk(PeerKind::Service);
        }
        Response r = Echo(s);
        r.close_after = s.connection == 1;  // the server ends the first connection after a reply
        return r;
    });
    PeerLink link(Settings(PeerKind::Service));
    ASSERT_TRUE(link.Call(MessageType::WireGuardStatus, Bytes("one")).ok);
    ASSERT_TRUE(server.WaitClosed(1));
    EXPECT_TRUE(link.IsConnected());  // nothing has crossed the pipe since
    EXPECT_FALSE(link.CheckAlive());  // but the link can tell without sending anything
    EXPECT_FALSE(link.IsConnected());
    const CallResult r = link.Call(MessageType::WireGuardStart, Bytes("two"));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, Bytes("two"));
    EXPECT_EQ(server.requests(), 2u);
    EXPECT_EQ(server.connections(), 2u);
}

// The link looks at the process serving the pipe before it sends anything: a refused server gets
// not even the hello, the call fails as Unavailable and the ERR line names the server's pid.
TEST_F(PeerLinkTest, RefusedServerGetsNothing) {
    ScriptedServer server(pipe_name_, [](const SeenFrame& s) {
        return IsHello(s) ? HelloOk(PeerKind::Service) : Echo(s);
    });
    struct Case {
        const char* name;
        bool accept;
    };
    for (const Case& c : {Case{"refused", false}, Case{"accepted", true}}) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        PeerLinkSettings settings = Settings(PeerKind::Service);
        uint32_t seen_pid = 0;
        settings.verify_server = [&](void* pipe) {
            ServerVerdict verdict;
            ULONG pid = 0;
            GetNamedPipeServerProcessId(static_cast<HANDLE>(pipe), &pid);
            seen_pid = pid;
            verdict.pid = pid;
            verdict.accepted = c.accept;
            verdict.reason = L"not ours";
            return verdict;
        };
        PeerLink link(std::move(settings));
        const size_t before = server.seen().size();
        const CallResult r = link.Call(MessageType::WireGuardStart, Bytes("secret"));
        EXPECT_EQ(seen_pid, GetCurrentProcessId());
        if (c.accept) {
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(server.seen().size(), before + 2);
            continue;
        }
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.status, Status::Unavailable);
        EXPECT_TRUE(r.link_failed);
        EXPECT_FALSE(r.unanswered);
        EXPECT_EQ(link.LastStatus(), Status::Unavailable);
        EXPECT_EQ(server.seen().size(), before);
        EXPECT_EQ(
            log.Count("ERR  refused " + std::string(role_.begin(), role_.end()) +
                      " pipe server pid=" + std::to_string(GetCurrentProcessId()) + ": not ours"),
            1u);
    }
}

TEST_F(PeerLinkTest, WireGuardStartWaitsLongerForItsReply) {
    // Replies that take longer than the link's ordinary time-out.
    ScriptedServer server(pipe_name_, [](const SeenFrame& s) {
        if (IsHello(s)) {
            return HelloOk(PeerKind::Agent);
        }
        Response r = Echo(s);
        r.delay_ms = kIoTimeoutMs + 150;
        return r;
    });
    PeerLink link(Settings(PeerKind::Agent));
    const std::vector<uint8_t> config = Bytes("[Interface]");
    const CallResult start = link.Call(MessageType::WireGuardStart, config);
    ASSERT_TRUE(start.ok);
    EXPECT_EQ(start.body, config);
    EXPECT_EQ(server.connections(), 1u);

    const CallResult late = link.Call(MessageType::WireGuardStatus, {});
    EXPECT_EQ(late.status, Status::Unavailable);
    EXPECT_TRUE(late.unanswered);
    EXPECT_EQ(server.connections(), 1u);
}

TEST_F(PeerLinkTest, ConcurrentCallersGetTheirOwnReplies) {
    ScriptedServer server(pipe_name_, [](const SeenFrame& s) {
        return IsHello(s) ? HelloOk(PeerKind::Agent) : Echo(s);
    });
    PeerLink link(Settings(PeerKind::Agent));

    constexpr int kThreads = 4;
    constexpr int kCalls = 12;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&link, &mismatches, t] {
            for (int i = 0; i < kCalls; ++i) {
                const std::vector<uint8_t> body =
                    Bytes("thread " + std::to_string(t) + " call " + std::to_string(i));
                const CallResult r = link.Call(MessageType::OpenVpnStatus, body);
                if (!r.ok || r.body != body) {
                    ++mismatches;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(server.connections(), 1u);  // one handshake for everyone
    EXPECT_EQ(server.requests(), static_cast<size_t>(kThreads * kCalls));
}

// ---- Handshake outcomes ---------------------------------------------------------------------

TEST_F(PeerLinkTest, HandshakeRefusalKeepsTheLinkDown) {
    struct Case {
        const char* name;
        PeerKind kind;
        std::vector<uint8_t> hello;
        Status expected;
        const char* warning;  // exact log line ending, or null when nothing is logged
    };
    const Case cases[] = {
        {"service speaks protocol 5", PeerKind::Service, HelloPayload(PeerKind::Service, 5),
         Status::ProtocolMismatch, "WARN service protocol 5 != agent 6 -> fail closed\r\n"},
        {"agent speaks protocol 5", PeerKind::Agent, HelloPayload(PeerKind::Agent, 5),
         Status::ProtocolMismatch, "WARN agent protocol mismatch -> fail closed\r\n"},
        {"service refuses", PeerKind::Service,
         HelloPayload(PeerKind::Service, 6, Status::NotPermitted), Status::NotPermitted, nullptr},
        {"agent refuses", PeerKind::Agent, HelloPayload(PeerKind::Agent, 6, Status::NotPermitted),
         Status::Failed, nullptr},
        {"agent reply without session id", PeerKind::Agent, HelloPayload(PeerKind::Service),
         Status::Failed, nullptr},
        {"empty hello reply", PeerKind::Service, {}, Status::Failed, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        role_ = L"PeerLinkTest." + test::UniqueSuffixW();
        pipe_name_ = MakePipeName(role_, kSession).value();
        LogCapture log;
        ScriptedServer server(pipe_name_, [&c](const SeenFrame& s) {
            Response r = Echo(s);
            if (IsHello(s)) {
                r.payload = c.hello;
            }
            return r;
        });
        PeerLink link(Settings(c.kind));

        // Each call connects once and gives up: no request is ever sent to such a peer.
        for (uint32_t call = 1; call <= 2; ++call) {
            const CallResult r = link.Call(MessageType::ServiceHealth, {});
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.status, c.expected);
            EXPECT_EQ(link.LastStatus(), c.expected);
            EXPECT_FALSE(link.IsConnected());
            EXPECT_EQ(server.connections(), call);
        }
        EXPECT_EQ(server.requests(), 0u);
        EXPECT_EQ(link.PeerGeneration(), 0u);

        EXPECT_EQ(log.Count("fail closed"), c.warning ? 2u : 0u);
        if (c.warning) {
            EXPECT_EQ(log.Count(c.warning), 2u);
        }
    }
}

TEST_F(PeerLinkTest, GenerationChangeIsLoggedOnReconnectOnly) {
    struct Case {
        PeerKind kind;
        const char* message;
    };
    const Case cases[] = {
        {PeerKind::Service, "INFO service generation changed 0x0000BEEF -> 0x0000CAFE\r\n"},
        {PeerKind::Agent, "INFO agent generation changed\r\n"},
    };
    for (const Case& c : cases) {
        role_ = L"PeerLinkTest." + test::UniqueSuffixW();
        pipe_name_ = MakePipeName(role_, kSession).value();
        LogCapture log;
        // The first server process answers one request and goes away; its successor has another
        // generation number.
        ScriptedServer server(pipe_name_, [&c](const SeenFrame& s) {
            const uint32_t generation = s.connection == 1 ? kGenerationA : kGenerationB;
            if (IsHello(s)) {
                return HelloOk(c.kind, generation);
            }
            Response r = Echo(s, generation);
            r.close_after = s.connection == 1;
            return r;
        });
        PeerLink link(Settings(c.kind));

        ASSERT_TRUE(link.Call(MessageType::WireGuardStatus, {}).ok);
        EXPECT_EQ(link.PeerGeneration(), kGenerationA);
        EXPECT_EQ(log.Count("generation changed"), 0u);  // first connection ever
        ASSERT_TRUE(server.WaitClosed(1));

        // The pipe is broken now; the call still succeeds on the new connection.
        ASSERT_TRUE(link.Call(MessageType::WireGuardStatus, {}).ok);
        EXPECT_EQ(link.PeerGeneration(), kGenerationB);
        EXPECT_EQ(log.Count(c.message), 1u);
        const std::vector<SeenFrame> seen = server.seen();
        ASSERT_EQ(seen.size(), 4u);
        // The broken pipe is noticed before anything is written into it; the new connection
        // uses the next two ids.
        EXPECT_EQ(seen[2].request_id, 3u);
        EXPECT_EQ(seen[3].request_id, 4u);

        // Same generation again: nothing to report.
        link.Close();
        ASSERT_TRUE(link.Call(MessageType::WireGuardStatus, {}).ok);
        EXPECT_EQ(log.Count("generation changed"), 1u);
    }
}

TEST_F(PeerLinkTest, UnreadableOrRefusedReplyIsNotRetried) {
    struct Case {
        std::vector<uint8_t> reply;
        Status expected;
    };
    const Case cases[] = {
        {{0x00}, Status::Failed},  // too short for a status
        {{}, Status::Failed},
        {StatusOnly(Status::UnsupportedType), Status::UnsupportedType},
    };
    for (const Case& c : cases) {
        role_ = L"PeerLinkTest." + test::UniqueSuffixW();
        pipe_name_ = MakePipeName(role_, kSession).value();
        ScriptedServer server(pipe_name_, [&c](const SeenFrame& s) {
            Response r = HelloOk(PeerKind::Service);
            if (!IsHello(s)) {
                r.payload = c.reply;
            }
            return r;
        });
        PeerLink link(Settings(PeerKind::Service));
        const CallResult r = link.Call(MessageType::WireGuardStop, {});
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.status, c.expected);
        EXPECT_EQ(server.requests(), 1u);
        EXPECT_EQ(server.connections(), 1u);
        EXPECT_TRUE(link.IsConnected());  // the exchange itself worked
    }
}

// The plugin's agent probe: state and one exchange under one hold of the mutex, no retry.
TEST_F(PeerLinkTest, LockedExchangeMakesNoSecondAttempt) {
    ScriptedServer server(pipe_name_, [](const SeenFrame& s) {
        Response r = HelloOk(PeerKind::Agent);
        if (!IsHello(s)) {
            r.act = Act::Silent;
        }
        return r;
    });
    PeerLink link(Settings(PeerKind::Agent));
    ASSERT_TRUE(link.EnsureConnected());
    {
        PeerLink::Locked locked = link.Lock();
        EXPECT_EQ(locked.PeerGeneration(), kGenerationA);
        EXPECT_EQ(locked.LastStatus(), Status::Ok);
        EXPECT_FALSE(locked.Exchange(MessageType::AgentHealth, {}).has_value());
        EXPECT_FALSE(locked.IsConnected());
        EXPECT_FALSE(locked.Exchange(MessageType::AgentHealth, {}).has_value());
    }
    EXPECT_EQ(server.connections(), 1u);
    EXPECT_EQ(server.requests(), 1u);
}

// ---- Connecting -----------------------------------------------------------------------------

TEST_F(PeerLinkTest, BusyPipeWaitsThenTimesOutWithoutLaunching) {
    // One instance, taken by another client.
    UniqueHandle instance = CreateInstance(pipe_name_, 1);
    ASSERT_TRUE(instance.valid());
    UniqueHandle other(CreateFileW(pipe_name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(other.valid());

    int launches = 0;
    PeerLinkSettings s = Settings(PeerKind::Agent);
    s.launch_peer = [&launches] {
        ++launches;
        return Status::Ok;
    };
    PeerLink link(std::move(s));
    const auto start = Clock::now();
    EXPECT_EQ(link.Call(MessageType::AgentHealth, {}).status, Status::ConnectTimeout);
    const int64_t elapsed = MillisecondsSince(start);
    EXPECT_EQ(link.LastStatus(), Status::ConnectTimeout);
    EXPECT_EQ(launches, 0);
    // Three attempts with a 100 ms wait between them.
    EXPECT_GE(elapsed, 180);
    EXPECT_LT(elapsed, 3000);
}

// Failures that end a connect before any wait: no pipe name, the service's pipe missing, the
// agent's launcher refusing. Run with the product's settings, whose waits would show.
TEST_F(PeerLinkTest, ConnectFailsAtOnce) {
    struct Case {
        const char* name;
        PeerKind kind;
        uint32_t session;
        Status launch;
        Status expected;
    };
    const Case cases[] = {
        {"service, session 65536", PeerKind::Service, 0x10000, Status::Ok, Status::BadRequest},
        {"agent, unknown session", PeerKind::Agent, 0xFFFFFFFF, Status::Ok, Status::BadRequest},
        {"service pipe absent", PeerKind::Service, kSession, Status::Ok, Status::Unavailable},
        {"agent exe missing", PeerKind::Agent, kSession, Status::Unavailable, Status::Unavailable},
        {"agent not started", PeerKind::Agent, kSession, Status::Failed, Status::Failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int launches = 0;
        auto launch = [&launches, &c] {
            ++launches;
            return c.launch;
        };
        PeerLinkSettings s = c.kind == PeerKind::Agent ? AgentLinkSettings(c.session, launch)
                                                       : ServiceLinkSettings(c.session);
        s.pipe_role = role_;
        PeerLink link(std::move(s));
        const auto start = Clock::now();
        EXPECT_EQ(link.Call(MessageType::ServiceHealth, {}).status, c.expected);
        EXPECT_LT(MillisecondsSince(start), 250);
        EXPECT_EQ(link.LastStatus(), c.expected);
        // Only a missing agent pipe launches, and only once.
        EXPECT_EQ(launches, c.kind == PeerKind::Agent && c.session == kSession ? 1 : 0);
    }
}

// Each connect launches at most once and then waits for the pipe between attempts; a launched
// peer is reached on a later attempt of the same connect.
TEST_F(PeerLinkTest, AbsentAgentPipeLaunchesOncePerConnect) {
    std::optional<ScriptedServer> server;
    bool bring_up = false;
    int launches = 0;
    PeerLinkSettings s = Settings(PeerKind::Agent);
    s.connect_attempts = 4;
    s.launch_peer = [&] {
        ++launches;
        if (bring_up) {
            server.emplace(pipe_name_, [](const SeenFrame& f) {
                return IsHello(f) ? HelloOk(PeerKind::Agent) : Echo(f);
            });
        }
        return Status::Ok;
    };
    PeerLink link(std::move(s));
    for (int call = 1; call <= 2; ++call) {
        const auto start = Clock::now();
        EXPECT_EQ(link.Call(MessageType::AgentHealth, {}).status, Status::ConnectTimeout);
        const int64_t elapsed = MillisecondsSince(start);
        EXPECT_EQ(launches, call);
        EXPECT_GE(elapsed, 3 * 60 - 20);  // a sleep between each of the four attempts
        EXPECT_LT(elapsed, 3000);
    }

    bring_up = true;
    const std::vector<uint8_t> body = Bytes("up");
    const CallResult r = link.Call(MessageType::AgentHealth, body);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.body, body);
    EXPECT_EQ(launches, 3);
}

}  // namespace
}  // namespace lumet::common
