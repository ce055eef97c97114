// OrrinfieldVPNService.exe run in the foreground ("--console") and driven over its pipe as a raw
// client: the handshake and health replies, refusals that keep or end the connection, idle and
// stop behaviour, and the pipe's access list.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/payload.h"
#include "common/session_win.h"
#include "common/utf.h"
#include "support/service_harness.h"

namespace lumet::test {
namespace {

using common::MessageType;
using common::Status;

constexpr DWORD kConnectTimeoutMs = 15000;

uint16_t Type(MessageType type) {
    return static_cast<uint16_t>(type);
}

std::vector<uint8_t> StatusBytes(Status status) {
    const auto value = static_cast<uint16_t>(status);
    return {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
}

class ConsoleServiceTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { PrepareConsoleForCtrlC(); }

    void SetUp() override {
        log_path_ = ServiceLogPath();
        ASSERT_FALSE(log_path_.empty());
        log_offset_ = FileSizeOf(log_path_);
        pipe_name_ = ServicePipeNameForThisSession();
        ASSERT_FALSE(pipe_name_.empty());
        // Capitals on purpose: the switch is matched in any letter case.
        ChildOptions options;
        options.new_process_group = true;
        ASSERT_TRUE(service_.Start(ServiceExecutablePath(), L"--CONSOLE", options))
            << GetLastError();
        ASSERT_TRUE(WaitForLog("service starting generation=", 10000));
    }

    // service_ terminates the child if a test leaves it running.

    bool WaitForLog(const std::string& text, DWORD timeout_ms) {
        return WaitForFileText(log_path_, log_offset_, text, timeout_ms);
    }
    std::string LogSinceStart() { return ReadFileFrom(log_path_, log_offset_); }

    void ConnectClient(PipeClient& client) {
        ASSERT_TRUE(client.Connect(pipe_name_, kConnectTimeoutMs)) << GetLastError();
    }

    ChildProcess service_;
    std::wstring log_path_;
    uint64_t log_offset_ = 0;
    std::wstring pipe_name_;
};

TEST_F(ConsoleServiceTest, HelloPingAndHealthCarryOneGeneration) {
    PipeClient client;
    ConnectClient(client);

    const Reply hello = client.Call(Type(MessageType::Hello), 1);
    ASSERT_TRUE(hello.ok);
    EXPECT_EQ(hello.header.type, Type(MessageType::Hello));
    EXPECT_EQ(hello.header.request_id, 1u);
    EXPECT_NE(hello.header.generation, 0u);
    common::PayloadReader hello_reader(hello.body);
    Status status = Status::Failed;
    common::HelloInfo info;
    std::string hello_text;
    ASSERT_TRUE(common::ReadStatus(hello_reader, &status));
    ASSERT_EQ(status, Status::Ok);
    ASSERT_TRUE(common::Read(hello_reader, &info));
    ASSERT_TRUE(hello_reader.ReadString(&hello_text));
    EXPECT_EQ(hello_reader.remaining(), 0u);
    EXPECT_EQ(info.protocol, 6);
    EXPECT_EQ(info.version, "0.1.0-w6a");
    EXPECT_EQ(info.capabilities, (std::vector<std::string>{"control-plane", "health", "wireguard",
                                                           "openvpn-staging", "vpn-activity"}));
    EXPECT_TRUE(IsGenerationTextOf(hello_text, service_.pid())) << hello_text;

    const Reply ping = client.Call(Type(MessageType::Ping), 2);
    ASSERT_TRUE(ping.ok);
    EXPECT_EQ(ping.header.request_id, 2u);
    EXPECT_EQ(ping.body, StatusBytes(Status::Ok));  // exactly the two status bytes
    EXPECT_EQ(ping.header.generation, hello.header.generation);

    const Reply first_health = client.Call(Type(MessageType::ServiceHealth), 3);
    Sleep(1100);
    const Reply second_health = client.Call(Type(MessageType::ServiceHealth), 4);
    common::ServiceHealthRecord first;
    common::ServiceHealthRecord second;
    for (const auto& [reply, record] :
         {std::pair{&first_health, &first}, std::pair{&second_health, &second}}) {
        ASSERT_TRUE(reply->ok);
        EXPECT_EQ(reply->header.generation, hello.header.generation);
        common::PayloadReader reader(reply->body);
        ASSERT_TRUE(common::ReadStatus(reader, &status));
        ASSERT_EQ(status, Status::Ok);
        ASSERT_TRUE(common::Read(reader, record));
        EXPECT_EQ(record->state, 2);
        EXPECT_EQ(record->hello, info);
        EXPECT_EQ(record->generation_text, hello_text);
    }
    EXPECT_GE(second.uptime_seconds, first.uptime_seconds + 1);
    EXPECT_LT(second.uptime_seconds, 60u);

    // The text comes from a draw of its own, so it does not give the header number away
    // (equal by chance once in 2^32 runs).
    char header_hex[16];
    std::snprintf(header_hex, sizeof(header_hex), "0x%08X",
                  static_cast<unsigned>(hello.header.generation));
    EXPECT_EQ(hello_text.find(header_hex), std::string::npos);
    EXPECT_TRUE(WaitForLog("caller_accepted pid=" + std::to_string(GetCurrentProcessId()) +
                               " session=" + std::to_string(common::CurrentSessionId()),
                           2000));
}

TEST_F(ConsoleServiceTest, TypesNotServedGetUnsupportedAndTheConnectionStays) {
    PipeClient client;
    ConnectClient(client);
    // Agent-only types and types outside the catalogue.
    const uint16_t types[] = {0, 15, 0xFFFF, 4, 8, 9, 10, 11};
    uint32_t request_id = 100;
    uint32_t generation = 0;
    for (const uint16_t type : types) {
        const std::vector<uint8_t> body = {1, 2, 3};  // content must not matter
        const Reply reply = client.Call(type, ++request_id, body);
        ASSERT_TRUE(reply.ok) << "type " << type;
        EXPECT_EQ(reply.header.type, type);
        EXPECT_EQ(reply.header.request_id, request_id);
        EXPECT_EQ(reply.body, StatusBytes(Status::UnsupportedType)) << "type " << type;
        EXPECT_NE(reply.header.generation, 0u);
        if (generation != 0) {
            EXPECT_EQ(reply.header.generation, generation);
        }
        generation = reply.header.generation;
    }
    EXPECT_EQ(client.Call(Type(MessageType::Ping), 999).body, StatusBytes(Status::Ok));
}

TEST_F(ConsoleServiceTest, PipelinedRequestsAreAnsweredInOrder) {
    PipeClient client;
    ConnectClient(client);
    const struct {
        uint16_t type;
        uint32_t id;
    } requests[] = {{Type(MessageType::Ping), 7},
                    {15, 0xFFFFFFFF},
                    {Type(MessageType::Hello), 0},
                    {Type(MessageType::Ping), 42}};
    for (const auto& request : requests) {
        ASSERT_TRUE(client.Send(request.type, request.id));
    }
    for (const auto& request : requests) {
        const Reply reply = client.Receive(5000);
        ASSERT_TRUE(reply.ok);
        EXPECT_EQ(reply.header.type, request.type);
        EXPECT_EQ(reply.header.request_id, request.id);
    }
}

TEST_F(ConsoleServiceTest, OtherProtocolGetsOneMismatchReplyAndThePipeCloses) {
    {
        PipeClient client;
        ConnectClient(client);
        ASSERT_TRUE(client.SendRaw(5, Type(MessageType::Hello), 77));
        const Reply reply = client.Receive(5000);
        ASSERT_TRUE(reply.ok);
        EXPECT_EQ(reply.header.type, Type(MessageType::Hello));
        EXPECT_EQ(reply.header.request_id, 77u);
        EXPECT_NE(reply.header.generation, 0u);
        EXPECT_EQ(reply.body, StatusBytes(Status::ProtocolMismatch));
        size_t stray = 0;
        EXPECT_TRUE(client.WaitForServerClose(5000, &stray));
        EXPECT_EQ(stray, 0u);
        EXPECT_TRUE(WaitForLog("WARN client protocol mismatch -> fail closed", 2000));
    }
    // Only that connection ended: the next client is served.
    PipeClient next;
    ConnectClient(next);
    EXPECT_EQ(next.Call(Type(MessageType::Ping), 1).body, StatusBytes(Status::Ok));
}

TEST_F(ConsoleServiceTest, CtrlCEndsTheServerCleanly) {
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(SendCtrlC(service_)) << GetLastError();
    const std::optional<DWORD> exit_code = service_.WaitForExit(7000);
    ASSERT_TRUE(exit_code.has_value()) << "service still running after Ctrl+C";
    EXPECT_EQ(*exit_code, 0u);
    EXPECT_LT(GetTickCount64() - start, 6000u);  // within the 5 s client wait

    const std::string log = LogSinceStart();
    EXPECT_NE(log.find("INFO --console dev run (not started by SCM; keys off this process's own "
                       "user/session)"),
              std::string::npos);
    const std::string start_line =
        "INFO service starting generation=" + std::to_string(service_.pid()) + "-0x";
    const size_t at = log.find(start_line);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.compare(at + start_line.size() + 8, 11, " gen_num=0x"), 0) << log;
    EXPECT_NE(log.find("INFO service stopped cleanly"), std::string::npos) << log;
}

// Regression: the request loop did not look at the stop flag, so a client that kept sending
// (the agent reports activity every few seconds) kept the service from ever stopping.
TEST_F(ConsoleServiceTest, BusyClientDoesNotHoldOffAStop) {
    PipeClient client;
    ConnectClient(client);
    ASSERT_EQ(client.Call(Type(MessageType::Ping), 1).body, StatusBytes(Status::Ok));
    ASSERT_TRUE(SendCtrlC(service_));
    bool closed = false;
    for (uint32_t id = 2; id < 40 && !closed; ++id) {
        const Reply reply = client.Call(Type(MessageType::Ping), id);
        closed = !reply.ok;
        Sleep(100);
    }
    EXPECT_TRUE(closed) << "connection still served after the stop";
    const std::optional<DWORD> exit_code = service_.WaitForExit(3000);
    ASSERT_TRUE(exit_code.has_value());
    EXPECT_EQ(*exit_code, 0u);
}

TEST_F(ConsoleServiceTest, SilentClientIsDroppedAfterFifteenSecondsWithoutReply) {
    PipeClient client;
    ConnectClient(client);
    const ULONGLONG start = GetTickCount64();
    size_t stray = 0;
    EXPECT_TRUE(client.WaitForServerClose(25000, &stray));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(stray, 0u);
    EXPECT_GE(elapsed, 14500u);
    EXPECT_LE(elapsed, 18000u);
}

// Regression: flushing the pipe waits for the client to read, so a client that never read its
// last reply used to hold the server, and any stop, for as long as it stayed connected.
TEST_F(ConsoleServiceTest, ClientThatNeverReadsDoesNotHoldOffAStop) {
    PipeClient client;
    ConnectClient(client);
    ASSERT_TRUE(client.Send(Type(MessageType::Ping), 1));
    // 15 s without a further request ends the connection; the server is then flushing.
    Sleep(16000);
    ASSERT_TRUE(SendCtrlC(service_));
    const std::optional<DWORD> exit_code = service_.WaitForExit(4000);
    ASSERT_TRUE(exit_code.has_value()) << "service held by a client that does not read";
    EXPECT_EQ(*exit_code, 0u);
    EXPECT_NE(LogSinceStart().find("service stopped cleanly"), std::string::npos);
}

TEST_F(ConsoleServiceTest, PipeDaclAdmitsExactlySystemAdministratorsAndTheUser) {
    PipeClient client;
    ConnectClient(client);
    const std::optional<std::wstring> user = common::CurrentUserSidText();
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(
        PipeDaclSddl(client.handle()),
        "D:(A;;0x12019f;;;SY)(A;;0x12019f;;;BA)(A;;0x12019f;;;" + common::WideToUtf8(*user) + ")");
}

}  // namespace
}  // namespace lumet::test
