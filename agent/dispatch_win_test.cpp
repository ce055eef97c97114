// The agent's dispatcher on a real pipe pair, with its service link pointed at a scripted
// stand-in for the service: what the agent answers itself, what it relays and how, the status it
// gives when the relay fails, and the activity report.
#include "agent/dispatch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_state.h"
#include "common/frame_transport.h"
#include "common/log_for_testing.h"
#include "common/payload.h"
#include "common/peer_link_settings.h"
#include "common/pipe_names.h"
#include "common/session_win.h"
#include "common/win_handle.h"
#include "test_util.h"

namespace lumet::agent {
namespace {

using common::MessageType;
using common::Status;

constexpr uint32_t kServiceGeneration = 0x0000CAFE;

uint16_t Type(MessageType type) {
    return static_cast<uint16_t>(type);
}

std::vector<uint8_t> StatusBytes(Status status) {
    return common::StatusOnly(status);
}

// One request as the stand-in received it.
struct Seen {
    uint32_t connection = 0;  // 1 for the first connection
    uint16_t type = 0;
    std::vector<uint8_t> payload;
};

struct Answer {
    bool close = false;  // end the connection instead of replying
    std::vector<uint8_t> body;
};

using Script = std::function<Answer(const Seen&)>;

std::vector<uint8_t> ServiceHello(uint16_t protocol) {
    common::PayloadWriter writer;
    common::WriteStatus(writer, Status::Ok);
    common::HelloInfo hello = common::ServiceHelloInfo();
    hello.protocol = protocol;
    common::Write(writer, hello);
    writer.WriteString("99-0x12345678");
    return writer.Take();
}

std::vector<uint8_t> OkThen(std::vector<uint8_t> rest) {
    std::vector<uint8_t> body = StatusBytes(Status::Ok);
    body.insert(body.end(), rest.begin(), rest.end());
    return body;
}

common::UniqueHandle NewInstance(const std::wstring& name) {
    return common::UniqueHandle(
        CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                         16384, 16384, 0, nullptr));
}

// Serves one connection at a time on its own thread, answering Hello with `protocol` and every
// other request as the script says. A listening instance exists for the server's whole life, so
// a reconnecting link never finds the pipe missing.
class FakeService {
  public:
    FakeService(const std::wstring& pipe_name, Script script, uint16_t protocol = 6)
        : name_(pipe_name),
          script_(std::move(script)),
          protocol_(protocol),
          stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        common::UniqueHandle first = NewInstance(name_);
        EXPECT_TRUE(first.valid()) << GetLastError();
        thread_ = std::thread([this, h = std::move(first)]() mutable { Run(std::move(h)); });
    }
    ~FakeService() {
        SetEvent(stop_.get());
        thread_.join();
    }

    std::vector<Seen> seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

  private:
    void Run(common::UniqueHandle listening) {
        while (listening.valid() && WaitForClient(listening.get())) {
            common::UniqueHandle connection = std::move(listening);
            listening = NewInstance(name_);
            Serve(connection.get(), ++connections_);
        }
    }

    bool WaitForClient(HANDLE pipe) {
        common::UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        if (ConnectNamedPipe(pipe, &ov) || GetLastError() == ERROR_PIPE_CONNECTED) {
            return true;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        HANDLE waits[] = {event.get(), stop_.get()};
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 30000);
        DWORD ignored = 0;
        if (woke == WAIT_OBJECT_0) {
            return GetOverlappedResult(pipe, &ov, &ignored, FALSE) != FALSE;
        }
        CancelIoEx(pipe, &ov);
        GetOverlappedResult(pipe, &ov, &ignored, TRUE);
        return false;
    }

    void Serve(HANDLE pipe, uint32_t connection) {
        while (WaitForSingleObject(stop_.get(), 0) != WAIT_OBJECT_0) {
            DWORD available = 0;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
                return;
            }
            if (available == 0) {
                Sleep(2);
                continue;
            }
            const common::ReceivedFrame frame = common::ReceiveFrame(pipe, 2000);
            if (!frame.ok) {
                return;
            }
            Answer answer;
            if (frame.header.type == Type(MessageType::Hello)) {
                answer.body = ServiceHello(protocol_);
            } else {
                const Seen seen{connection, frame.header.type, frame.payload};
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    seen_.push_back(seen);
                }
                answer = script_(seen);
            }
            if (answer.close || !common::SendFrame(pipe, frame.header.type, frame.header.request_id,
                                                   kServiceGeneration, answer.body, 2000)) {
                return;
            }
        }
    }

    const std::wstring name_;
    const Script script_;
    const uint16_t protocol_;
    common::UniqueEvent stop_;
    std::thread thread_;
    uint32_t connections_ = 0;
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
};

struct AgentReply {
    common::FrameHeader header;
    std::vector<uint8_t> body;
};

class DispatchTest : public testing::Test {
  protected:
    DispatchTest() : role_(L"AgentDispatchTest" + test::UniqueSuffixW()), state_(LinkSettings()) {}

    // The link is the product's service link in every respect but the pipe's role text.
    common::PeerLinkSettings LinkSettings() const {
        common::PeerLinkSettings settings = common::ServiceLinkSettings(common::CurrentSessionId());
        settings.pipe_role = role_;
        settings.io_timeout_ms = 2000;
        return settings;
    }

    std::wstring ServicePipe() const {
        return *common::MakePipeName(role_, common::CurrentSessionId());
    }

    void SetUp() override {
        const std::wstring name = L"\\\\.\\pipe\\lumet-agent-dispatch-" + test::UniqueSuffixW();
        server_end_ = NewInstance(name);
        ASSERT_TRUE(server_end_.valid());
        client_end_.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_TRUE(client_end_.valid());
        common::log_testing::SetLogObserver([this](std::wstring_view line) {
            std::lock_guard<std::mutex> lock(log_mutex_);
            log_.append(line);
        });
    }

    void TearDown() override { common::log_testing::SetLogObserver({}); }

    // Dispatches one request and reads the reply the plugin would get.
    AgentReply Ask(uint16_t type, const std::vector<uint8_t>& payload = {}) {
        const uint32_t id = ++request_id_;
        EXPECT_TRUE(Dispatch(state_, server_end_.get(), type, id, payload));
        const common::ReceivedFrame frame = common::ReceiveFrame(client_end_.get(), 2000);
        EXPECT_TRUE(frame.ok);
        EXPECT_EQ(frame.header.type, type);
        EXPECT_EQ(frame.header.request_id, id);
        EXPECT_EQ(frame.header.generation, state_.generation);
        return {frame.header, frame.payload};
    }

    bool ServiceLinkUpReported() {
        const AgentReply reply = Ask(Type(MessageType::AgentHealth));
        common::PayloadReader reader(reply.body);
        Status status = Status::Failed;
        common::AgentHealthRecord record;
        EXPECT_TRUE(common::ReadStatus(reader, &status) && status == Status::Ok);
        EXPECT_TRUE(common::Read(reader, &record));
        EXPECT_EQ(record.session_id, state_.sessionId);
        return record.service_link_up;
    }

    std::wstring Log() {
        std::lock_guard<std::mutex> lock(log_mutex_);
        return log_;
    }

    const std::wstring role_;
    AgentState state_;
    common::UniqueHandle server_end_;
    common::UniqueHandle client_end_;
    uint32_t request_id_ = 0;
    std::mutex log_mutex_;
    std::wstring log_;
};

TEST_F(DispatchTest, HelloAndPingAreAnsweredWithoutTheService) {
    // A Hello body is never read.
    const AgentReply hello = Ask(Type(MessageType::Hello), {0xDE, 0xAD});
    common::PayloadReader reader(hello.body);
    Status status = Status::Failed;
    common::HelloInfo info;
    std::string text;
    uint32_t session = 0;
    ASSERT_TRUE(common::ReadStatus(reader, &status));
    EXPECT_EQ(status, Status::Ok);
    ASSERT_TRUE(common::Read(reader, &info));
    ASSERT_TRUE(reader.ReadString(&text));
    ASSERT_TRUE(reader.ReadU32(&session));
    EXPECT_EQ(info, common::AgentHelloInfo());
    EXPECT_EQ(std::wstring(text.begin(), text.end()), state_.generationText);
    EXPECT_EQ(session, state_.sessionId);
    EXPECT_NE(state_.generation, 0u);

    EXPECT_EQ(Ask(Type(MessageType::Ping)).body, StatusBytes(Status::Ok));
}

TEST_F(DispatchTest, TypesTheAgentDoesNotServeGetUnsupported) {
    // 12..14 are the agent's own requests to the service, never the plugin's.
    for (const uint16_t type : {12, 13, 14, 0, 15}) {
        EXPECT_EQ(Ask(type, {1, 2, 3}).body, StatusBytes(Status::UnsupportedType)) << type;
    }
    EXPECT_EQ(state_.coordinator, nullptr);
}

std::vector<uint8_t> Strings(const std::vector<std::string>& texts) {
    common::PayloadWriter writer;
    for (const std::string& text : texts) {
        writer.WriteString(text);
    }
    return writer.Take();
}

common::OpenVpnStatusRecord StatusRecordOf(const AgentReply& reply) {
    common::PayloadReader reader(reply.body);
    Status status = Status::Failed;
    common::OpenVpnStatusRecord record;
    EXPECT_TRUE(common::ReadStatus(reader, &status));
    EXPECT_EQ(status, Status::Ok);
    EXPECT_TRUE(common::Read(reader, &record));
    return record;
}

TEST_F(DispatchTest, OpenVpnCapabilitiesComeFromTheDiscovery) {
    const AgentReply reply = Ask(Type(MessageType::OpenVpnCapabilities));
    common::PayloadReader reader(reply.body);
    Status status = Status::Failed;
    common::OpenVpnCapabilitiesRecord record;
    ASSERT_TRUE(common::ReadStatus(reader, &status));
    EXPECT_EQ(status, Status::Ok);
    ASSERT_TRUE(common::Read(reader, &record));
    EXPECT_LE(record.openvpn_found, 2);
    EXPECT_EQ(record.spare_1, 0);
    EXPECT_EQ(record.spare_2, 0);
    // Capabilities need no coordinator.
    EXPECT_EQ(state_.coordinator, nullptr);
}

TEST_F(DispatchTest, UnreadableOpenVpnStartIsABadRequestAndMakesNoCoordinator) {
    EXPECT_EQ(Ask(Type(MessageType::OpenVpnStart), Strings({"client\n", "user"})).body,
              StatusBytes(Status::BadRequest));
    EXPECT_EQ(state_.coordinator, nullptr);
}

TEST_F(DispatchTest, OpenVpnRequestsAnswerWithTheSnapshotAndReportActivity) {
    std::atomic<int> reports{0};
    std::mutex mutex;
    std::vector<common::OpenVpnActivityReport> seen_reports;
    FakeService service(ServicePipe(), [&](const Seen& seen) {
        if (seen.type == Type(MessageType::ReportOpenVpnActivity)) {
            common::PayloadReader reader(seen.payload);
            common::OpenVpnActivityReport report;
            EXPECT_TRUE(common::Read(reader, &report));
            std::lock_guard<std::mutex> lock(mutex);
            seen_reports.push_back(report);
            ++reports;
        }
        return Answer{false, StatusBytes(Status::Ok)};
    });

    // A fresh agent: the status request makes the coordinator and reports it idle.
    common::OpenVpnStatusRecord record = StatusRecordOf(Ask(Type(MessageType::OpenVpnStatus)));
    EXPECT_EQ(record, common::OpenVpnStatusRecord{});
    ASSERT_NE(state_.coordinator, nullptr);
    ASSERT_NE(state_.openVpnStager, nullptr);
    EXPECT_EQ(reports.load(), 1);

    // A start whose credentials fail their check answers Ok with the error inside the record.
    record =
        StatusRecordOf(Ask(Type(MessageType::OpenVpnStart), Strings({"client\n", "user", ""})));
    EXPECT_EQ(record.error, 1);
    EXPECT_FALSE(record.running);
    EXPECT_EQ(reports.load(), 2);

    // A stop answers with the zeroed record of the next attempt number.
    record = StatusRecordOf(Ask(Type(MessageType::OpenVpnStop)));
    common::OpenVpnStatusRecord stopped;
    stopped.attempt = 1;
    EXPECT_EQ(record, stopped);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(seen_reports.size(), 3u);
    EXPECT_FALSE(seen_reports[2].active);
    EXPECT_EQ(seen_reports[2].attempt, 1u);
    EXPECT_EQ(seen_reports[2].openvpn_pid, 0u);
    EXPECT_EQ(state_.openVpnActive.load(), 0);
    EXPECT_EQ(state_.serviceCallsInFlight.load(), 0);
}

TEST_F(DispatchTest, RelaysPassTypeBodyAndReplyThroughUnchanged) {
    std::atomic<int32_t> in_flight_seen{-1};
    // Trailing bytes the agent does not know about must reach the plugin too.
    const std::vector<uint8_t> record = {2, 1, 9, 9, 9, 9, 9, 9, 9, 9, 0xAB, 0xCD};
    FakeService service(ServicePipe(), [&](const Seen&) {
        in_flight_seen = state_.serviceCallsInFlight.load();
        return Answer{false, OkThen(record)};
    });

    const std::vector<uint8_t> config = {'[', 'I', 'n', 't', 'e', 'r', 'f', 'a', 'c', 'e', ']'};
    for (const uint16_t type :
         {Type(MessageType::WireGuardStart), Type(MessageType::WireGuardStop),
          Type(MessageType::WireGuardStatus), Type(MessageType::ServiceHealth)}) {
        in_flight_seen = -1;
        const std::vector<uint8_t> payload =
            type == Type(MessageType::WireGuardStart) ? config : std::vector<uint8_t>{};
        EXPECT_EQ(Ask(type, payload).body, OkThen(record)) << type;
        EXPECT_EQ(in_flight_seen.load(), 1) << type;
        EXPECT_EQ(state_.serviceCallsInFlight.load(), 0);
    }
    const std::vector<Seen> seen = service.seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].type, Type(MessageType::WireGuardStart));
    EXPECT_EQ(seen[0].payload, config);
    EXPECT_EQ(seen[1].type, Type(MessageType::WireGuardStop));
    EXPECT_EQ(seen[2].type, Type(MessageType::WireGuardStatus));
    EXPECT_EQ(seen[3].type, Type(MessageType::ServiceHealth));
    EXPECT_TRUE(seen[3].payload.empty());
    EXPECT_EQ(seen[3].connection, 1u);  // one connection kept for every call
}

TEST_F(DispatchTest, ServiceRefusalsReachThePluginAsTheirStatus) {
    FakeService service(ServicePipe(), [](const Seen& seen) {
        return Answer{
            false, StatusBytes(seen.type == Type(MessageType::WireGuardStart) ? Status::BadRequest
                                                                              : Status::Failed)};
    });
    EXPECT_EQ(Ask(Type(MessageType::WireGuardStart), {1}).body, StatusBytes(Status::BadRequest));
    EXPECT_EQ(Ask(Type(MessageType::WireGuardStatus)).body, StatusBytes(Status::Failed));
    // Service health reports only whether the service could be asked.
    EXPECT_EQ(Ask(Type(MessageType::ServiceHealth)).body, StatusBytes(Status::Unavailable));
}

TEST_F(DispatchTest, MissingServiceMakesEveryRelayUnavailable) {
    for (const uint16_t type :
         {Type(MessageType::ServiceHealth), Type(MessageType::WireGuardStart),
          Type(MessageType::WireGuardStop), Type(MessageType::WireGuardStatus)}) {
        EXPECT_EQ(Ask(type).body, StatusBytes(Status::Unavailable)) << type;
    }
    EXPECT_FALSE(ServiceLinkUpReported());
    EXPECT_EQ(state_.serviceCallsInFlight.load(), 0);
}

TEST_F(DispatchTest, ServiceOfAnotherProtocolFailsClosed) {
    FakeService service(
        ServicePipe(),
        [](const Seen&) {
            return Answer{false, OkThen({})};
        },
        /*protocol=*/5);
    EXPECT_EQ(Ask(Type(MessageType::ServiceHealth)).body, StatusBytes(Status::ProtocolMismatch));
    EXPECT_EQ(Ask(Type(MessageType::WireGuardStatus)).body, StatusBytes(Status::ProtocolMismatch));
    EXPECT_FALSE(ServiceLinkUpReported());
    EXPECT_TRUE(service.seen().empty());  // no request ever got past the handshake
    EXPECT_NE(Log().find(L"WARN service protocol 5 != agent 6 -> fail closed"), std::wstring::npos);
}

TEST_F(DispatchTest, AgentHealthNoticesAServiceThatWentAway) {
    {
        FakeService service(ServicePipe(), [](const Seen& seen) {
            // Only liveness checks get here. On the second connection the check finds the
            // connection ended, as after a service restart or its idle drop.
            return Answer{seen.connection == 2, StatusBytes(Status::Ok)};
        });
        EXPECT_TRUE(ServiceLinkUpReported());
        EXPECT_TRUE(ServiceLinkUpReported());  // first check on connection 1
        state_.serviceLink.Close();
        EXPECT_TRUE(ServiceLinkUpReported());  // connection 2 opened
        EXPECT_TRUE(ServiceLinkUpReported());  // its check fails; connection 3 takes over
        EXPECT_EQ(state_.serviceLink.PeerGeneration(), kServiceGeneration);
    }
    // The stand-in has gone: the still-open link must not be reported up.
    EXPECT_FALSE(ServiceLinkUpReported());
    EXPECT_EQ(state_.serviceLink.LastStatus(), Status::Unavailable);
    EXPECT_EQ(state_.serviceCallsInFlight.load(), 0);
}

TEST_F(DispatchTest, ActivityReportCarriesTheRecordAndWarnsWhenUnheard) {
    common::OpenVpnActivityReport report;
    report.active = true;
    report.attempt = 7;
    report.openvpn_pid = 4242;
    {
        FakeService service(ServicePipe(), [](const Seen&) {
            return Answer{false, StatusBytes(Status::Ok)};
        });
        EXPECT_TRUE(SendOpenVpnActivityReport(state_, report));
        const std::vector<Seen> seen = service.seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].type, Type(MessageType::ReportOpenVpnActivity));
        common::PayloadReader reader(seen[0].payload);
        common::OpenVpnActivityReport sent;
        ASSERT_TRUE(common::Read(reader, &sent));
        EXPECT_EQ(sent, report);
        EXPECT_EQ(state_.openVpnActive.load(), 1);
    }
    EXPECT_EQ(Log().find(L"report_openvpn_activity"), std::wstring::npos);

    // The local verdict is kept even when the service cannot hear it.
    report.active = false;
    EXPECT_FALSE(SendOpenVpnActivityReport(state_, report));
    EXPECT_EQ(state_.openVpnActive.load(), 0);
    EXPECT_NE(Log().find(L"WARN report_openvpn_activity: service unreachable (verdict falls back "
                         L"to the Service's own re-evaluation)"),
              std::wstring::npos);
    EXPECT_EQ(state_.serviceCallsInFlight.load(), 0);

    // Without a coordinator there is nothing to report.
    ReportOpenVpnActivity(state_);
    EXPECT_EQ(state_.openVpnActive.load(), 0);
    EXPECT_EQ(state_.coordinator, nullptr);
}

}  // namespace
}  // namespace lumet::agent
