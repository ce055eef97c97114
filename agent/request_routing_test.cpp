#include "agent/request_routing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/payload.h"

namespace lumet::agent {
namespace {

using common::Status;

TEST(AgentRoutingTest, ProtocolDecidesBeforeType) {
    const struct {
        uint16_t protocol;
        uint16_t type;
        RequestRoute route;
    } cases[] = {
        {6, 1, RequestRoute::Dispatch},         {6, 14, RequestRoute::Dispatch},
        {6, 0, RequestRoute::Unsupported},      {6, 15, RequestRoute::Unsupported},
        {6, 0xFFFF, RequestRoute::Unsupported}, {5, 1, RequestRoute::ProtocolMismatch},
        {7, 0, RequestRoute::ProtocolMismatch}, {0, 2, RequestRoute::ProtocolMismatch},
    };
    for (const auto& c : cases) {
        common::FrameHeader header;
        header.protocol = c.protocol;
        header.type = c.type;
        EXPECT_EQ(RouteRequest(header), c.route) << c.protocol << "/" << c.type;
    }
}

TEST(AgentRoutingTest, EveryCatalogueTypeHasItsHandler) {
    const AgentHandler expected[] = {
        AgentHandler::NotServed,  // 0
        AgentHandler::Hello,          AgentHandler::Ping,
        AgentHandler::ServiceHealth,  AgentHandler::AgentHealth,
        AgentHandler::WireGuardRelay, AgentHandler::WireGuardRelay,
        AgentHandler::WireGuardRelay, AgentHandler::OpenVpn,
        AgentHandler::OpenVpn,        AgentHandler::OpenVpn,
        AgentHandler::OpenVpn,        AgentHandler::NotServed,  // 12: the service's
        AgentHandler::NotServed,      AgentHandler::NotServed,
        AgentHandler::NotServed,  // 15
    };
    for (uint16_t type = 0; type < std::size(expected); ++type) {
        EXPECT_EQ(HandlerFor(type), expected[type]) << type;
    }
    EXPECT_EQ(HandlerFor(0xFFFF), AgentHandler::NotServed);
}

TEST(AgentRepliesTest, HelloCarriesIdentityGenerationTextAndSession) {
    const std::vector<uint8_t> body = BuildHelloReply("4242-0x0000BEEF", 65535);
    common::PayloadReader reader(body);
    Status status = Status::Failed;
    common::HelloInfo hello;
    std::string text;
    uint32_t session = 0;
    ASSERT_TRUE(common::ReadStatus(reader, &status));
    EXPECT_EQ(status, Status::Ok);
    ASSERT_TRUE(common::Read(reader, &hello));
    ASSERT_TRUE(reader.ReadString(&text));
    ASSERT_TRUE(reader.ReadU32(&session));
    EXPECT_EQ(reader.remaining(), 0u);
    EXPECT_EQ(hello.protocol, 6);
    EXPECT_EQ(hello.version, "0.1.0-w6a");
    EXPECT_EQ(hello.capabilities, (std::vector<std::string>{"control-plane", "health", "events",
                                                            "wireguard", "vpn-activity"}));
    EXPECT_EQ(text, "4242-0x0000BEEF");
    EXPECT_EQ(session, 65535u);
}

TEST(AgentRepliesTest, AgentHealthRecordInWireOrder) {
    for (const bool link_up : {false, true}) {
        const std::vector<uint8_t> body = BuildAgentHealthReply("7-0x00000001", 3, link_up);
        common::PayloadReader reader(body);
        Status status = Status::Failed;
        common::AgentHealthRecord record;
        ASSERT_TRUE(common::ReadStatus(reader, &status));
        EXPECT_EQ(status, Status::Ok);
        ASSERT_TRUE(common::Read(reader, &record));
        EXPECT_EQ(reader.remaining(), 0u);
        EXPECT_EQ(record.state, 2);
        EXPECT_EQ(record.hello, common::AgentHelloInfo());
        EXPECT_EQ(record.session_id, 3u);
        EXPECT_EQ(record.generation_text, "7-0x00000001");
        EXPECT_EQ(record.service_link_up, link_up);
    }
}

TEST(AgentRepliesTest, RelayedBodyIsPassedOnByteForByte) {
    // Not a valid record on purpose: the agent must not parse or re-encode what it relays.
    const std::vector<uint8_t> service_body = {0xFF, 0x00, 0x7F, 0x01, 0x02};
    const std::vector<uint8_t> expected = {0x00, 0x00, 0xFF, 0x00, 0x7F, 0x01, 0x02};
    EXPECT_EQ(BuildRelayedReply(service_body), expected);
    EXPECT_EQ(BuildRelayedReply({}), (std::vector<uint8_t>{0x00, 0x00}));
}

TEST(AgentRepliesTest, ServiceHealthFailureIsMismatchOrUnavailable) {
    EXPECT_EQ(ServiceHealthFailureStatus(Status::ProtocolMismatch), Status::ProtocolMismatch);
    for (const Status other : {Status::Ok, Status::BadRequest, Status::Unavailable, Status::Failed,
                               Status::ConnectTimeout, Status::NotPermitted}) {
        EXPECT_EQ(ServiceHealthFailureStatus(other), Status::Unavailable);
    }
}

TEST(AgentRepliesTest, WireGuardFailureTakesTheFirstNonOkStatus) {
    const struct {
        Status call;
        Status last;
        Status expected;
    } cases[] = {
        {Status::BadRequest, Status::Ok, Status::BadRequest},  // the service's refusal
        {Status::Failed, Status::Ok, Status::Failed},
        {Status::Unavailable, Status::ProtocolMismatch, Status::Unavailable},
        {Status::Ok, Status::ConnectTimeout, Status::ConnectTimeout},
        {Status::Ok, Status::Ok, Status::Unavailable},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WireGuardRelayFailureStatus(c.call, c.last), c.expected);
    }
}

}  // namespace
}  // namespace lumet::agent
