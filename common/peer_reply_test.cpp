#include "common/peer_reply.h"

#include <gtest/gtest.h>

#include <vector>

namespace lumet::common {
namespace {

TEST(PeerReplyTest, CallReplyStatusAndBody) {
    struct Case {
        std::vector<uint8_t> payload;
        bool ok;
        Status status;
        std::vector<uint8_t> body;
    };
    const Case cases[] = {
        {{}, false, Status::Failed, {}},
        {{0x00}, false, Status::Failed, {}},  // too short for a status
        {{0x00, 0x00}, true, Status::Ok, {}},
        {{0x00, 0x00, 0xAA, 0xBB}, true, Status::Ok, {0xAA, 0xBB}},
        {{0x04, 0x00}, false, Status::Unavailable, {}},
        // Whatever follows a refusal is not handed back.
        {{0x02, 0x00, 0xAA}, false, Status::UnsupportedType, {}},
        // A status this build does not know is still a failure, passed on as it came.
        {{0x63, 0x00}, false, static_cast<Status>(99), {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const CallResult r = ReadCallReply(cases[i].payload);
        EXPECT_EQ(r.ok, cases[i].ok) << i;
        EXPECT_EQ(r.status, cases[i].status) << i;
        EXPECT_EQ(r.body, cases[i].body) << i;
    }
}

TEST(PeerLinkSettingsTest, LogTexts) {
    EXPECT_EQ(ProtocolMismatchMessage(PeerKind::Service, 5),
              L"service protocol 5 != agent 6 -> fail closed");
    EXPECT_EQ(ProtocolMismatchMessage(PeerKind::Service, 65535),
              L"service protocol 65535 != agent 6 -> fail closed");
    EXPECT_EQ(ProtocolMismatchMessage(PeerKind::Agent, 5),
              L"agent protocol mismatch -> fail closed");
    EXPECT_EQ(GenerationChangedMessage(PeerKind::Service, 0xBEEF, 0xCAFE),
              L"service generation changed 0x0000BEEF -> 0x0000CAFE");
    EXPECT_EQ(GenerationChangedMessage(PeerKind::Service, 0xFFFFFFFF, 1),
              L"service generation changed 0xFFFFFFFF -> 0x00000001");
    EXPECT_EQ(GenerationChangedMessage(PeerKind::Agent, 1, 2), L"agent generation changed");
}

// The two product links must keep these exact values; tests elsewhere use shortened copies.
TEST(PeerLinkSettingsTest, StandardLinks) {
    int launches = 0;
    const PeerLinkSettings service = ServiceLinkSettings(1);
    const PeerLinkSettings agent = AgentLinkSettings(2, [&] {
        ++launches;
        return Status::Ok;
    });
    EXPECT_EQ(service.kind, PeerKind::Service);
    EXPECT_EQ(service.pipe_role, L"Service");
    EXPECT_EQ(service.session_id, 1u);
    EXPECT_EQ(service.io_timeout_ms, 15000u);
    EXPECT_EQ(service.connect_attempts, 20u);
    EXPECT_EQ(service.busy_wait_ms, 500u);
    EXPECT_EQ(service.absent_pipe, AbsentPipePolicy::FailUnavailable);

    EXPECT_EQ(agent.kind, PeerKind::Agent);
    EXPECT_EQ(agent.pipe_role, L"Agent");
    EXPECT_EQ(agent.session_id, 2u);
    EXPECT_EQ(agent.io_timeout_ms, 12000u);
    EXPECT_EQ(agent.connect_attempts, 30u);
    EXPECT_EQ(agent.busy_wait_ms, 400u);
    EXPECT_EQ(agent.absent_pipe, AbsentPipePolicy::LaunchAndRetry);
    EXPECT_EQ(agent.absent_sleep_ms, 200u);
    ASSERT_TRUE(agent.launch_peer);
    agent.launch_peer();
    EXPECT_EQ(launches, 1);

    EXPECT_EQ(
        ReplyTimeoutFor(static_cast<uint16_t>(MessageType::WireGuardStart), agent.io_timeout_ms),
        60000u);
}

}  // namespace
}  // namespace lumet::common
