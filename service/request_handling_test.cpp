#include "service/request_handling.h"

#include <gtest/gtest.h>

#include "common/messages.h"
#include "common/payload.h"

namespace lumet::service {
namespace {

using common::FrameHeader;

TEST(RouteRequest, ProtocolIsJudgedBeforeTheType) {
    struct Case {
        uint16_t protocol;
        uint16_t type;
        RequestRoute route;
    };
    const Case cases[] = {
        {6, 1, RequestRoute::Dispatch},         {6, 14, RequestRoute::Dispatch},
        {6, 9, RequestRoute::Dispatch},         {6, 0, RequestRoute::Unsupported},
        {6, 15, RequestRoute::Unsupported},     {6, 0xFFFF, RequestRoute::Unsupported},
        {5, 1, RequestRoute::ProtocolMismatch}, {7, 2, RequestRoute::ProtocolMismatch},
        {0, 0, RequestRoute::ProtocolMismatch}, {5, 15, RequestRoute::ProtocolMismatch},
    };
    for (const Case& c : cases) {
        FrameHeader header;
        header.protocol = c.protocol;
        header.type = c.type;
        EXPECT_EQ(RouteRequest(header), c.route) << c.protocol << "/" << c.type;
    }
}

TEST(BasicReplies, HelloCarriesTheServiceIdentityAndGenerationText) {
    const std::vector<uint8_t> body = BuildHelloReply("4242-0x0000BEEF");
    common::PayloadReader reader(body);
    common::Status status = common::Status::Failed;
    common::HelloInfo hello;
    std::string text;
    ASSERT_TRUE(common::ReadStatus(reader, &status));
    ASSERT_TRUE(common::Read(reader, &hello));
    ASSERT_TRUE(reader.ReadString(&text));
    EXPECT_EQ(status, common::Status::Ok);
    EXPECT_EQ(hello.protocol, 6);
    EXPECT_EQ(hello.version, "0.1.0-w6a");
    EXPECT_EQ(hello.capabilities, (std::vector<std::string>{"control-plane", "health", "wireguard",
                                                            "openvpn-staging", "vpn-activity"}));
    EXPECT_EQ(text, "4242-0x0000BEEF");
    EXPECT_EQ(reader.remaining(), 0u);  // no session id: that is the agent's hello
}

TEST(BasicReplies, HealthReportsRunningWithUptime) {
    const std::vector<uint8_t> body = BuildServiceHealthReply("7-0x00000001", 3601);
    common::PayloadReader reader(body);
    common::Status status = common::Status::Failed;
    common::ServiceHealthRecord record;
    ASSERT_TRUE(common::ReadStatus(reader, &status));
    ASSERT_TRUE(common::Read(reader, &record));
    EXPECT_EQ(status, common::Status::Ok);
    EXPECT_EQ(record.state, 2);
    EXPECT_EQ(record.hello, common::ServiceHelloInfo());
    EXPECT_EQ(record.generation_text, "7-0x00000001");
    EXPECT_EQ(record.uptime_seconds, 3601u);
    EXPECT_EQ(reader.remaining(), 0u);
}

TEST(UptimeSeconds, TruncatesWholeSeconds) {
    EXPECT_EQ(UptimeSeconds(1000, 1000), 0u);
    EXPECT_EQ(UptimeSeconds(1000, 1999), 0u);
    EXPECT_EQ(UptimeSeconds(1000, 2000), 1u);
    EXPECT_EQ(UptimeSeconds(0, 0xFFFFFFFFFFFFFFFFull), 0xFFFFFFFFFFFFFFFFull / 1000);
    EXPECT_EQ(UptimeSeconds(5000, 4000), 0u);
}

}  // namespace
}  // namespace lumet::service
