// OpenVPN through the agent, end to end: the real agent and service, the interactive-service
// simulator under the service manager and the openvpn.exe simulator it starts. Capabilities, a
// connect to CONNECTED with byte counts, status, stop, the machine-wide activity record going
// to 1 and back to 0, refused credentials, a missing interactive service, and no secret in any
// log.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/payload.h"
#include "service/openvpn_install_for_testing_win.h"
#include "support/agent_harness.h"
#include "support/openvpn_harness.h"
#include "support/service_harness.h"

namespace lumet::test {
namespace {

using common::MessageType;
using common::Status;

constexpr DWORD kConnectTimeoutMs = 10000;
constexpr char kPassword[] = "correct-horse";
constexpr char kWrongPassword[] = "wr0ng-h0rse-b4ttery";
constexpr char kProfileMarker[] = "QWdlbnQtb3BlbnZwbi1lMmUtc2VjcmV0";

const std::string kProfile = std::string(
                                 "client\n"
                                 "dev tun\n"
                                 "proto udp\n"
                                 "remote vpn.example.net 1194\n"
                                 "auth-user-pass\n"
                                 "<ca>\n") +
                             kProfileMarker + "\n</ca>\n";

uint16_t Type(MessageType type) {
    return static_cast<uint16_t>(type);
}

std::vector<uint8_t> StartBody(const std::string& user, const std::string& password) {
    common::PayloadWriter writer;
    writer.WriteString(kProfile);
    writer.WriteString(user);
    writer.WriteString(password);
    return writer.Take();
}

bool ReadStatusRecord(const Reply& reply, common::OpenVpnStatusRecord* record) {
    common::PayloadReader reader(reply.body);
    Status status = Status::Failed;
    return reply.ok && common::ReadStatus(reader, &status) && status == Status::Ok &&
           common::Read(reader, record);
}

class AgentOpenVpnTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { PrepareConsoleForCtrlC(); }

    void SetUp() override {
        agent_log_offset_ = FileSizeOf(AgentLogPath());
        service_log_offset_ = FileSizeOf(ServiceLogPath());
        had_activity_ = ReadActivityValues().state.has_value();
        ASSERT_TRUE(install_.Install());
        ASSERT_TRUE(exe_path_.ok());
        ASSERT_TRUE(switches_.Set(L"StateStepMs", 20));
        ASSERT_TRUE(interactive_.Install());
        ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
        ASSERT_TRUE(StartAgent(agent_)) << GetLastError();
        ASSERT_TRUE(
            WaitForFileText(AgentLogPath(), agent_log_offset_, "agent starting session=", 10000));
        ASSERT_TRUE(client_.Connect(AgentPipeNameForThisSession(), kConnectTimeoutMs));
    }

    void TearDown() override {
        client_.Close();
        agent_.Terminate();
        service_.Terminate();
        interactive_.Remove();
        // Neither the credentials nor the profile may reach a log.
        for (const std::string& log : {ReadFileFrom(AgentLogPath(), agent_log_offset_),
                                       ReadFileFrom(ServiceLogPath(), service_log_offset_)}) {
            EXPECT_EQ(log.find(kPassword), std::string::npos);
            EXPECT_EQ(log.find(kWrongPassword), std::string::npos);
            EXPECT_EQ(log.find(kProfileMarker), std::string::npos);
        }
        if (!had_activity_) {
            DeleteActivityValues();
        }
    }

    Reply Ask(MessageType type, const std::vector<uint8_t>& body = {}, DWORD wait_ms = 5000) {
        const uint32_t id = ++request_id_;
        if (!client_.Send(Type(type), id, body)) {
            return {};
        }
        return client_.Receive(wait_ms);
    }

    common::OpenVpnStatusRecord Record(MessageType type = MessageType::OpenVpnStatus,
                                       const std::vector<uint8_t>& body = {}) {
        common::OpenVpnStatusRecord record;
        EXPECT_TRUE(ReadStatusRecord(Ask(type, body, 20000), &record));
        return record;
    }

    // Asks for the status until `done` holds or `wait_ms` passes.
    common::OpenVpnStatusRecord StatusUntil(
        const std::function<bool(const common::OpenVpnStatusRecord&)>& done, DWORD wait_ms) {
        common::OpenVpnStatusRecord record = Record();
        const ULONGLONG deadline = GetTickCount64() + wait_ms;
        while (!done(record) && GetTickCount64() < deadline) {
            Sleep(100);
            record = Record();
        }
        return record;
    }

    service::testing_support::OpenVpnInstallForTesting install_;
    OpenVpnExePathSetting exe_path_;
    OpenVpnSimSwitches switches_;
    InteractiveServiceSim interactive_;
    ChildProcess service_;
    ChildProcess agent_;
    PipeClient client_;
    uint64_t agent_log_offset_ = 0;
    uint64_t service_log_offset_ = 0;
    bool had_activity_ = false;
    uint32_t request_id_ = 0;
};

TEST_F(AgentOpenVpnTest, ConnectReportStatusAndStop) {
    const Reply capabilities = Ask(MessageType::OpenVpnCapabilities);
    common::PayloadReader reader(capabilities.body);
    common::Status status = common::Status::Failed;
    common::OpenVpnCapabilitiesRecord found;
    ASSERT_TRUE(common::ReadStatus(reader, &status) && common::Read(reader, &found));
    EXPECT_EQ(found.openvpn_found, 1);
    EXPECT_FALSE(found.openvpn_version.empty());
    EXPECT_EQ(found.interactive_service_installed, 1);
    EXPECT_EQ(found.interactive_service_running, 1);

    common::OpenVpnStatusRecord record =
        Record(MessageType::OpenVpnStart, StartBody("sim-user", kPassword));
    EXPECT_TRUE(record.running);
    EXPECT_EQ(record.attempt, 1u);
    EXPECT_EQ(record.error, 0);

    record = StatusUntil([](const auto& r) { return r.bytes_in != 0 || !r.running; }, 20000);
    EXPECT_EQ(record.state, 10);
    EXPECT_TRUE(record.running);
    EXPECT_EQ(record.error, 0);
    EXPECT_EQ(record.bytes_in, 2944u);
    EXPECT_EQ(record.bytes_out, 1072u);
    EXPECT_NE(record.connected_since_ms, 0u);
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(L"LastCredentials"), 1u);
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(L"LastConfigAuthNocache"), 1u);
    // The agent's report, confirmed by the running openvpn.exe, turns the machine record on.
    EXPECT_TRUE(WaitForActivityValues({1, 0x040}, 10000));
    // Connected: the staged profile is gone from OpenVPN's directory.
    EXPECT_TRUE(WaitUntil([&] { return FileNamesIn(install_.staging_dir).empty(); }, 3000));

    record = Record(MessageType::OpenVpnStop);
    common::OpenVpnStatusRecord stopped;
    stopped.attempt = 2;
    EXPECT_EQ(record, stopped);
    EXPECT_TRUE(WaitUntil([] { return ReadActivityValues().state == 0u; }, 10000));
}

TEST_F(AgentOpenVpnTest, RefusedCredentialsEndTheAttemptAsAuthFailed) {
    Record(MessageType::OpenVpnStart, StartBody("sim-user", kWrongPassword));
    const ULONGLONG started = GetTickCount64();
    const common::OpenVpnStatusRecord record =
        StatusUntil([](const auto& r) { return !r.running; }, 20000);
    EXPECT_FALSE(record.running);
    EXPECT_EQ(record.error, 7);  // AuthFailed
    // Well before the 60 s connect time-out.
    EXPECT_LT(GetTickCount64() - started, 10000u);
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(L"LastCredentials"), 2u);
    EXPECT_TRUE(FileNamesIn(install_.staging_dir).empty());
}

TEST_F(AgentOpenVpnTest, StoppedInteractiveServiceIsServiceUnreachable) {
    interactive_.Remove();
    Record(MessageType::OpenVpnStart, StartBody("sim-user", kPassword));
    const common::OpenVpnStatusRecord record =
        StatusUntil([](const auto& r) { return !r.running; }, 20000);
    EXPECT_FALSE(record.running);
    EXPECT_EQ(record.error, 12);  // ServiceUnreachable
    EXPECT_TRUE(FileNamesIn(install_.staging_dir).empty());
}

}  // namespace
}  // namespace lumet::test
