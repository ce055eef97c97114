#include "common/peer_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/payload.h"

namespace lumet::common {
namespace {

struct HelloBody {
    Status status;
    uint16_t protocol;
    bool with_session;
    size_t truncate_by;  // bytes cut off the end
};

HelloBody Good(bool with_session) {
    return {Status::Ok, kProtocolVersion, with_session, 0};
}

std::vector<uint8_t> MakeHelloReply(const HelloBody& spec) {
    PayloadWriter w;
    WriteStatus(w, spec.status);
    if (spec.status == Status::Ok) {
        HelloInfo hello = AgentHelloInfo();
        hello.protocol = spec.protocol;
        EXPECT_TRUE(Write(w, hello));
        EXPECT_TRUE(w.WriteString("4242-0x0000BEEF"));
        if (spec.with_session) {
            w.WriteU32(3);
        }
    }
    std::vector<uint8_t> bytes = w.Take();
    bytes.resize(bytes.size() - spec.truncate_by);
    return bytes;
}

TEST(PeerReplyTest, HelloOutcomeByPeerKind) {
    struct Case {
        const char* name;
        PeerKind kind;
        HelloBody body;
        Status expected;
    };
    const Case cases[] = {
        {"service ok", PeerKind::Service, Good(false), Status::Ok},
        {"agent ok", PeerKind::Agent, Good(true), Status::Ok},
        // The service's refusal is kept; the agent's becomes Failed.
        {"service refuses",
         PeerKind::Service,
         {Status::NotPermitted, 6, false, 0},
         Status::NotPermitted},
        {"agent refuses", PeerKind::Agent, {Status::NotPermitted, 6, true, 0}, Status::Failed},
        {"service protocol 5",
         PeerKind::Service,
         {Status::Ok, 5, false, 0},
         Status::ProtocolMismatch},
        {"agent protocol 7", PeerKind::Agent, {Status::Ok, 7, true, 0}, Status::ProtocolMismatch},
        // An agent must send its session id; a service-shaped reply is unreadable to the plugin.
        {"agent without session id", PeerKind::Agent, Good(false), Status::Failed},
        {"agent session id cut short", PeerKind::Agent, {Status::Ok, 6, true, 1}, Status::Failed},
        {"generation text cut short", PeerKind::Service, {Status::Ok, 6, false, 1}, Status::Failed},
    };
    for (const Case& c : cases) {
        const HelloOutcome out = ReadHelloReply(c.kind, MakeHelloReply(c.body));
        EXPECT_EQ(out.status, c.expected) << c.name;
    }
    for (PeerKind kind : {PeerKind::Service, PeerKind::Agent}) {
        EXPECT_EQ(ReadHelloReply(kind, {}).status, Status::Failed);
        const std::vector<uint8_t> one_byte{0};
        EXPECT_EQ(ReadHelloReply(kind, one_byte).status, Status::Failed);
    }
}

TEST(PeerReplyTest, HelloDetailsAreKept) {
    const HelloOutcome agent = ReadHelloReply(PeerKind::Agent, MakeHelloReply(Good(true)));
    ASSERT_EQ(agent.status, Status::Ok);
    EXPECT_EQ(agent.details.session_id, 3u);
    EXPECT_EQ(agent.details.generation_text, "4242-0x0000BEEF");
    EXPECT_EQ(agent.details.hello.capabilities, AgentHelloInfo().capabilities);

    // A service that also appended a session id: the extra bytes are ignored.
    const HelloOutcome service = ReadHelloReply(PeerKind::Service, MakeHelloReply(Good(true)));
    ASSERT_EQ(service.status, Status::Ok);
    EXPECT_EQ(service.details.session_id, 0u);

    const HelloOutcome mismatch =
        ReadHelloReply(PeerKind::Service, MakeHelloReply({Status::Ok, 5, false, 0}));
    EXPECT_EQ(mismatch.peer_protocol, 5);
}

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
