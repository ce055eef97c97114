// Requests the agent relays to the service, end to end: a service restart between two requests,
// a service of another protocol, the WireGuard requests with the service's reply bodies passed
// on unchanged (against a scripted service, and through the real service and the WireGuard
// simulator), and the WireGuard private key kept out of every log.
#include <windows.h>

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/payload.h"
#include "support/agent_harness.h"
#include "support/service_harness.h"
#include "support/wireguard_harness.h"

namespace lumet::test {
namespace {

using common::MessageType;
using common::Status;

constexpr DWORD kConnectTimeoutMs = 10000;

uint16_t Type(MessageType type) {
    return static_cast<uint16_t>(type);
}

class AgentRelayTest : public testing::Test {
  protected:
    void SetUp() override {
        agent_log_offset_ = FileSizeOf(AgentLogPath());
        service_log_offset_ = FileSizeOf(ServiceLogPath());
    }

    void StartTheAgent() {
        ASSERT_TRUE(StartAgent(agent_)) << GetLastError();
        ASSERT_TRUE(
            WaitForFileText(AgentLogPath(), agent_log_offset_, "agent starting session=", 10000));
        ASSERT_TRUE(client_.Connect(AgentPipeNameForThisSession(), kConnectTimeoutMs));
    }

    // The generation number the service stamps into its replies, asked directly.
    static uint32_t ServiceGeneration() {
        PipeClient direct;
        EXPECT_TRUE(direct.Connect(ServicePipeNameForThisSession(), kConnectTimeoutMs));
        const Reply hello = direct.Call(Type(MessageType::Hello), 1);
        EXPECT_EQ(ReplyStatus(hello), Status::Ok);
        return hello.header.generation;
    }

    Reply Ask(MessageType type, const std::vector<uint8_t>& body = {}) {
        return client_.Call(Type(type), ++request_id_, body);
    }

    std::string AgentLog() { return ReadFileFrom(AgentLogPath(), agent_log_offset_); }

    // Terminated on every path by their owners.
    ChildProcess service_;
    ChildProcess agent_;
    PipeClient client_;
    uint32_t request_id_ = 0;
    uint64_t agent_log_offset_ = 0;
    uint64_t service_log_offset_ = 0;
};

TEST_F(AgentRelayTest, ServiceRestartBetweenTwoRequestsIsAbsorbed) {
    ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
    const uint32_t first_generation = ServiceGeneration();
    StartTheAgent();
    ASSERT_EQ(ReplyStatus(Ask(MessageType::ServiceHealth)), Status::Ok);

    service_.Terminate();
    const uint64_t restart_offset = FileSizeOf(ServiceLogPath());
    ASSERT_TRUE(StartConsoleService(service_, restart_offset));
    const uint32_t second_generation = ServiceGeneration();
    ASSERT_NE(second_generation, first_generation);
    // The service serves one client at a time; let it put up its next instance after our direct
    // call, or the agent's reconnect would find the pipe absent and answer Unavailable at once.
    ASSERT_TRUE(WaitForListeningPipe(ServicePipeNameForThisSession(), 5000));

    // The agent's connection broke with the old service; the call still succeeds.
    const Reply reply = Ask(MessageType::ServiceHealth);
    common::PayloadReader reader(reply.body);
    Status status = Status::Failed;
    common::ServiceHealthRecord record;
    ASSERT_TRUE(common::ReadStatus(reader, &status));
    ASSERT_EQ(status, Status::Ok);
    ASSERT_TRUE(common::Read(reader, &record));
    EXPECT_TRUE(IsGenerationTextOf(record.generation_text, service_.pid()));
    EXPECT_TRUE(WaitForFileText(AgentLogPath(), agent_log_offset_,
                                "INFO service generation changed " + Hex32(first_generation) +
                                    " -> " + Hex32(second_generation),
                                2000))
        << AgentLog();
}

TEST_F(AgentRelayTest, ServiceOfAnotherProtocolIsRefused) {
    FakeService fake(/*hello_protocol=*/5, [](uint16_t, const std::vector<uint8_t>&) {
        return FakeService::Answer{false, StatusBody(Status::Ok)};
    });
    StartTheAgent();
    EXPECT_EQ(Ask(MessageType::ServiceHealth).body, StatusBody(Status::ProtocolMismatch));
    EXPECT_EQ(Ask(MessageType::WireGuardStatus).body, StatusBody(Status::ProtocolMismatch));
    common::AgentHealthRecord health;
    ASSERT_TRUE(ReadAgentHealth(Ask(MessageType::AgentHealth), &health));
    EXPECT_FALSE(health.service_link_up);
    EXPECT_TRUE(fake.seen_types().empty());
    EXPECT_NE(AgentLog().find("WARN service protocol 5 != agent 6 -> fail closed"),
              std::string::npos);
}

// The service's reply bodies, whatever they hold, reach the plugin unchanged behind Ok, and a
// refusal reaches it as the same status.
TEST_F(AgentRelayTest, WireGuardRepliesArePassedOnUnchanged) {
    common::WireGuardStatusRecord up;
    up.state = 2;
    up.adapter_present = true;
    up.rx_bytes = 0x0102030405060708ull;
    up.tx_bytes = 77;
    up.last_handshake_ms = 1700000000123ull;
    common::PayloadWriter writer;
    common::WriteStatus(writer, Status::Ok);
    common::Write(writer, up);
    writer.WriteU8(0xEE);  // a field this build does not know yet
    const std::vector<uint8_t> up_body = writer.Take();

    std::mutex payloads_lock;
    std::vector<std::vector<uint8_t>> payloads;  // WireGuardStart bodies as the service got them
    FakeService fake(6, [&](uint16_t type, const std::vector<uint8_t>& payload) {
        if (type == Type(MessageType::WireGuardStart)) {
            std::lock_guard<std::mutex> lock(payloads_lock);
            payloads.push_back(payload);
            return FakeService::Answer{
                false, payloads.size() == 1 ? up_body : StatusBody(Status::BadRequest)};
        }
        return FakeService::Answer{false, up_body};
    });
    StartTheAgent();

    const std::vector<uint8_t> config = WireGuardStartBody("[Interface]\nPrivateKey = x\n");
    EXPECT_EQ(Ask(MessageType::WireGuardStart, config).body, up_body);
    EXPECT_EQ(Ask(MessageType::WireGuardStatus).body, up_body);
    EXPECT_EQ(Ask(MessageType::WireGuardStop).body, up_body);
    EXPECT_EQ(Ask(MessageType::WireGuardStart, config).body, StatusBody(Status::BadRequest));
    std::lock_guard<std::mutex> lock(payloads_lock);
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[0], config);
    EXPECT_EQ(fake.seen_types(), (std::vector<uint16_t>{5, 7, 6, 5}));
}

// The real road: service and WireGuard simulator behind the agent. Every request reaches the
// tunnel and its record comes back whole; the private key reaches no log.
class AgentWireGuardTest : public AgentRelayTest {
  protected:
    void SetUp() override {
        RemoveTunnelService();
        DeleteFileW(TunnelConfigFilePath().c_str());
        AgentRelayTest::SetUp();
    }
    void TearDown() override {
        agent_.Terminate();
        service_.Terminate();
        RemoveTunnelService();
        DeleteFileW(TunnelConfigFilePath().c_str());
    }

    // The WireGuard reply, read with the time-out a tunnel start is allowed.
    WireGuardReply AskWireGuard(MessageType type, const std::vector<uint8_t>& body = {}) {
        const uint32_t id = ++request_id_;
        if (!client_.Send(Type(type), id, body)) {
            return {};
        }
        const Reply reply = client_.Receive(60000);
        if (!reply.ok || reply.header.request_id != id) {
            return {};
        }
        last_body_size_ = reply.body.size();
        return ParseWireGuardReply(reply.body);
    }

    SimFaultSwitches faults_;  // none set: cleared when made and when gone
    size_t last_body_size_ = 0;
};

constexpr size_t kStatusAndRecordBytes = 2 + 1 + 1 + 8 + 8 + 8 + 2;

TEST_F(AgentWireGuardTest, TunnelUpStatusAndDownThroughTheAgent) {
    const std::string key = MakeWireGuardKey("AgentRelayPrivateKey");
    const std::vector<uint8_t> start_body = WireGuardStartBody(WireGuardConfigText(key, 1));
    ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
    StartTheAgent();

    const WireGuardReply up = AskWireGuard(MessageType::WireGuardStart, start_body);
    ASSERT_TRUE(up.readable);
    ASSERT_EQ(up.status, Status::Ok);
    EXPECT_EQ(last_body_size_, kStatusAndRecordBytes);
    EXPECT_EQ(up.record.state, 2);
    EXPECT_TRUE(up.record.adapter_present);
    EXPECT_EQ(up.record.error, 0);
    EXPECT_EQ(QueryTunnelService().state, static_cast<DWORD>(SERVICE_RUNNING));

    Sleep(300);  // the simulated counters grow with time
    const WireGuardReply status = AskWireGuard(MessageType::WireGuardStatus);
    ASSERT_TRUE(status.readable);
    EXPECT_EQ(status.status, Status::Ok);
    EXPECT_EQ(status.record.state, 2);
    EXPECT_GT(status.record.rx_bytes, up.record.rx_bytes);

    // The service's refusal of an unreadable body arrives as the same status, alone.
    const WireGuardReply refused = AskWireGuard(MessageType::WireGuardStart, {0x05});
    ASSERT_TRUE(refused.readable);
    EXPECT_EQ(refused.status, Status::BadRequest);
    EXPECT_EQ(last_body_size_, 2u);

    const WireGuardReply down = AskWireGuard(MessageType::WireGuardStop);
    ASSERT_TRUE(down.readable);
    EXPECT_EQ(down.status, Status::Ok);
    EXPECT_EQ(down.record.state, 4);
    EXPECT_EQ(down.record.error, 0);
    EXPECT_FALSE(QueryTunnelService().exists);

    // A frame of another protocol carrying the key is refused without being read.
    ASSERT_TRUE(client_.SendRaw(5, Type(MessageType::WireGuardStart), 99, start_body));
    EXPECT_EQ(client_.Receive(5000).body, StatusBody(Status::ProtocolMismatch));

    agent_.Terminate();
    service_.Terminate();
    const std::string agent_log = ReadFileFrom(AgentLogPath(), agent_log_offset_);
    const std::string service_log = ReadFileFrom(ServiceLogPath(), service_log_offset_);
    EXPECT_NE(agent_log.find("plugin client connected"), std::string::npos);
    EXPECT_NE(service_log.find("tunnel orrinfieldwireguard is up"), std::string::npos);
    for (const std::string* log : {&agent_log, &service_log}) {
        EXPECT_EQ(log->find(key), std::string::npos);
        EXPECT_EQ(log->find("AgentRelayPrivateKey"), std::string::npos);
    }
}

}  // namespace
}  // namespace lumet::test
