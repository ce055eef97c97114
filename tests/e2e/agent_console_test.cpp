// OrrinfieldVPNAgent.exe driven over its pipe as a raw plugin client: identity and health with
// and without the service, refusals that keep or end a connection, one agent per session, the
// idle exit, Ctrl+C, and the pipe's access list.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/payload.h"
#include "common/session_win.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "support/agent_harness.h"
#include "support/service_harness.h"

namespace lumet::test {
namespace {

using common::MessageType;
using common::Status;

constexpr DWORD kConnectTimeoutMs = 10000;

uint16_t Type(MessageType type) {
    return static_cast<uint16_t>(type);
}

class AgentConsoleTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { PrepareConsoleForCtrlC(); }

    void SetUp() override {
        agent_log_ = AgentLogPath();
        ASSERT_FALSE(agent_log_.empty());
        agent_log_offset_ = FileSizeOf(agent_log_);
        service_log_offset_ = FileSizeOf(ServiceLogPath());
        pipe_name_ = AgentPipeNameForThisSession();
        ASSERT_FALSE(pipe_name_.empty());
    }

    // Starts the agent and waits for its start line.
    void StartTheAgent(const std::wstring& idle_seconds = L"", bool new_group = false) {
        ChildOptions options;
        options.new_process_group = new_group;
        ASSERT_TRUE(StartAgent(agent_, idle_seconds, options)) << GetLastError();
        ASSERT_TRUE(WaitForAgentLog("agent starting session=", 10000));
    }

    void ConnectClient(PipeClient& client) {
        ASSERT_TRUE(client.Connect(pipe_name_, kConnectTimeoutMs)) << GetLastError();
    }

    bool WaitForAgentLog(const std::string& text, DWORD timeout_ms) {
        return WaitForFileText(agent_log_, agent_log_offset_, text, timeout_ms);
    }
    std::string AgentLog() { return ReadFileFrom(agent_log_, agent_log_offset_); }

    // Terminated on every path by their owners.
    ChildProcess service_;
    ChildProcess agent_;
    std::wstring agent_log_;
    uint64_t agent_log_offset_ = 0;
    uint64_t service_log_offset_ = 0;
    std::wstring pipe_name_;
};

TEST_F(AgentConsoleTest, IdentityAndHealthFollowTheService) {
    ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
    StartTheAgent();
    PipeClient client;
    ConnectClient(client);

    // A Hello body is never read.
    const std::vector<uint8_t> junk = {9, 9, 9};
    const Reply hello_reply = client.Call(Type(MessageType::Hello), 1, junk);
    AgentHello hello;
    ASSERT_TRUE(ReadAgentHello(hello_reply, &hello));
    EXPECT_EQ(hello_reply.header.request_id, 1u);
    EXPECT_EQ(hello.info.protocol, 6);
    EXPECT_EQ(hello.info.version, "0.1.0-w6a");
    EXPECT_EQ(hello.info.capabilities,
              (std::vector<std::string>{"control-plane", "health", "events", "wireguard",
                                        "vpn-activity"}));
    EXPECT_EQ(hello.session_id, common::CurrentSessionId());
    // The agent's text carries its header generation.
    EXPECT_TRUE(IsGenerationTextOf(hello.generation_text, agent_.pid())) << hello.generation_text;
    EXPECT_NE(hello.generation_text.find(Hex32(hello_reply.header.generation)), std::string::npos);
    EXPECT_TRUE(WaitForAgentLog(
        "INFO plugin client connected pid=" + std::to_string(GetCurrentProcessId()), 2000));

    const Reply ping = client.Call(Type(MessageType::Ping), 2);
    EXPECT_EQ(ping.body, StatusBody(Status::Ok));
    EXPECT_EQ(ping.header.generation, hello_reply.header.generation);

    common::AgentHealthRecord health;
    ASSERT_TRUE(ReadAgentHealth(client.Call(Type(MessageType::AgentHealth), 3), &health));
    EXPECT_EQ(health.state, 2);
    EXPECT_EQ(health.hello, hello.info);
    EXPECT_EQ(health.session_id, hello.session_id);
    EXPECT_EQ(health.generation_text, hello.generation_text);
    EXPECT_TRUE(health.service_link_up);

    const Reply service_health = client.Call(Type(MessageType::ServiceHealth), 4);
    EXPECT_EQ(service_health.header.generation, hello_reply.header.generation);
    common::PayloadReader reader(service_health.body);
    Status status = Status::Failed;
    common::ServiceHealthRecord record;
    ASSERT_TRUE(common::ReadStatus(reader, &status));
    ASSERT_EQ(status, Status::Ok);
    ASSERT_TRUE(common::Read(reader, &record));
    EXPECT_EQ(reader.remaining(), 0u);
    EXPECT_EQ(record.state, 2);
    EXPECT_EQ(record.hello, common::ServiceHelloInfo());
    EXPECT_TRUE(IsGenerationTextOf(record.generation_text, service_.pid()));

    // Once the service is gone the agent says so, although its link was connected.
    service_.Terminate();
    ASSERT_TRUE(ReadAgentHealth(client.Call(Type(MessageType::AgentHealth), 5), &health));
    EXPECT_FALSE(health.service_link_up);
    EXPECT_EQ(client.Call(Type(MessageType::ServiceHealth), 6).body,
              StatusBody(Status::Unavailable));
    EXPECT_EQ(client.Call(Type(MessageType::WireGuardStatus), 7).body,
              StatusBody(Status::Unavailable));
}

TEST_F(AgentConsoleTest, UnservedTypesKeepTheConnectionOtherProtocolsEndIt) {
    StartTheAgent();
    {
        PipeClient client;
        ConnectClient(client);
        uint32_t request_id = 100;
        // 8..11 are served (OpenVPN); 12..14 are the agent's own requests to the service.
        for (const uint16_t type : {0, 15, 0xFFFF, 12, 13, 14}) {
            const std::vector<uint8_t> body = {1, 2, 3};
            const Reply reply = client.Call(type, ++request_id, body);
            ASSERT_TRUE(reply.ok) << type;
            EXPECT_EQ(reply.header.type, type);
            EXPECT_EQ(reply.header.request_id, request_id);
            EXPECT_EQ(reply.body, StatusBody(Status::UnsupportedType)) << type;
        }
        EXPECT_EQ(client.Call(Type(MessageType::Ping), 1).body, StatusBody(Status::Ok));

        ASSERT_TRUE(client.SendRaw(5, Type(MessageType::Hello), 77));
        const Reply refused = client.Receive(5000);
        ASSERT_TRUE(refused.ok);
        EXPECT_EQ(refused.header.type, Type(MessageType::Hello));
        EXPECT_EQ(refused.header.request_id, 77u);
        EXPECT_NE(refused.header.generation, 0u);
        EXPECT_EQ(refused.body, StatusBody(Status::ProtocolMismatch));
        size_t stray = 0;
        EXPECT_TRUE(client.WaitForServerClose(5000, &stray));
        EXPECT_EQ(stray, 0u);
    }
    EXPECT_TRUE(WaitForAgentLog("INFO plugin client disconnected", 2000));
    // Only that connection ended.
    PipeClient next;
    ConnectClient(next);
    EXPECT_EQ(next.Call(Type(MessageType::Ping), 1).body, StatusBody(Status::Ok));
}

TEST_F(AgentConsoleTest, SecondAgentInTheSessionExitsZero) {
    StartTheAgent();
    ChildProcess second;
    ASSERT_TRUE(StartAgent(second));
    const std::optional<DWORD> code = second.WaitForExit(10000);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);
    EXPECT_TRUE(WaitForAgentLog("INFO another agent already owns this session, exiting 0", 2000));
    // The second one never got as far as its server.
    const std::string log = AgentLog();
    EXPECT_EQ(log.find("agent starting", log.find("agent starting") + 1), std::string::npos);

    PipeClient client;
    ConnectClient(client);
    EXPECT_EQ(client.Call(Type(MessageType::Ping), 1).body, StatusBody(Status::Ok));
    EXPECT_FALSE(agent_.WaitForExit(0).has_value());
}

// A silent client is dropped after 15 s, and that connection counts as activity: the idle
// clock starts again when it is dropped, so a 10 s idle limit ends the agent 10 s after the drop.
TEST_F(AgentConsoleTest, SilentClientIsDroppedAndIdleLimitEndsTheAgent) {
    StartTheAgent(L"10");
    PipeClient client;
    ConnectClient(client);
    const ULONGLONG connected = GetTickCount64();
    ASSERT_TRUE(client.WaitForServerClose(20000));
    const ULONGLONG dropped = GetTickCount64();
    EXPECT_GE(dropped - connected, 14500u);
    EXPECT_LE(dropped - connected, 17000u);
    EXPECT_FALSE(agent_.WaitForExit(0).has_value());  // 10 s have long passed since the start

    const std::optional<DWORD> code = agent_.WaitForExit(15000);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);
    EXPECT_GE(GetTickCount64() - dropped, 9500u);
    const std::string log = AgentLog();
    const size_t idle = log.find("INFO idle timeout with no clients / no VPN, exiting");
    ASSERT_NE(idle, std::string::npos);
    EXPECT_NE(log.find("INFO agent stopped", idle), std::string::npos);
    // The dropped client was never served, so it was never announced.
    EXPECT_EQ(log.find("plugin client connected"), std::string::npos);
}

// Ctrl+C stops the agent at once, even while a plugin client holds its connection open.
TEST_F(AgentConsoleTest, CtrlCEndsTheAgentWhileAClientIsConnected) {
    StartTheAgent(L"", /*new_group=*/true);
    PipeClient client;
    ConnectClient(client);
    ASSERT_EQ(client.Call(Type(MessageType::Ping), 1).body, StatusBody(Status::Ok));

    ASSERT_TRUE(SendCtrlC(agent_)) << GetLastError();
    const ULONGLONG sent = GetTickCount64();
    const std::optional<DWORD> code = agent_.WaitForExit(5000);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);
    EXPECT_LT(GetTickCount64() - sent, 3000u);
    EXPECT_TRUE(WaitForAgentLog("INFO agent stopped", 2000));
    EXPECT_TRUE(client.WaitForServerClose(2000));
}

TEST_F(AgentConsoleTest, PipeAdmitsAdministratorsAndTheUserOnly) {
    StartTheAgent();
    PipeClient client;
    ASSERT_TRUE(
        client.Connect(pipe_name_, kConnectTimeoutMs, GENERIC_READ | GENERIC_WRITE | READ_CONTROL));
    const std::optional<std::wstring> user = common::CurrentUserSidText();
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(PipeDaclSddl(client.handle()),
              "D:(A;;0x12019f;;;BA)(A;;0x12019f;;;" + common::WideToUtf8(*user) + ")");
}

}  // namespace
}  // namespace lumet::test
