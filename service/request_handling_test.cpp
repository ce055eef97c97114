#include "service/request_handling.h"

#include <gtest/gtest.h>

#include <iterator>

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

TEST(HandlerFor, EveryTypeGoesToItsHandler) {
    using H = ServiceHandler;
    // Index = message type; 0 and 15 lie outside the catalogue.
    const H expected[] = {
        H::NotServed,       H::Hello,           H::Ping,
        H::ServiceHealth,   H::NotServed,       H::WireGuardTunnel,
        H::WireGuardTunnel, H::WireGuardTunnel, H::NotServed,
        H::NotServed,       H::NotServed,       H::NotServed,
        H::OpenVpnStaging,  H::OpenVpnStaging,  H::ActivityReport,
        H::NotServed,
    };
    for (uint16_t type = 0; type < std::size(expected); ++type) {
        EXPECT_EQ(HandlerFor(type), expected[type]) << type;
    }
    EXPECT_EQ(HandlerFor(0xFFFF), H::NotServed);
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

std::vector<uint8_t> StringBody(uint16_t count, size_t present, std::vector<uint8_t> tail = {}) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(count & 0xFF),
                                 static_cast<uint8_t>(count >> 8)};
    body.resize(2 + present, 'k');
    body.insert(body.end(), tail.begin(), tail.end());
    return body;
}

TEST(WireGuardRequests, StartBodyIsOneStringAndAnythingShortIsRefused) {
    struct Case {
        const char* what;
        std::vector<uint8_t> body;
        bool decoded;
        size_t length;
    };
    const Case cases[] = {
        {"plain text", StringBody(3, 3), true, 3},
        {"bytes after the string are ignored", StringBody(3, 3, {0xFF, 0x00}), true, 3},
        {"an empty text is the parser's to refuse", StringBody(0, 0), true, 0},
        {"the largest text", StringBody(32768, 32768), true, 32768},
        {"no body", {}, false, 0},
        {"half a length", {0x03}, false, 0},
        {"length beyond the body", StringBody(4, 3), false, 0},
        {"length over the string limit", StringBody(32769, 32769), false, 0},
    };
    for (const Case& c : cases) {
        common::SecureString config(std::string("left from an earlier request"));
        EXPECT_EQ(DecodeWireGuardStart(c.body, &config), c.decoded) << c.what;
        EXPECT_EQ(config.str(), std::string(c.length, 'k')) << c.what;
    }
}

TEST(WireGuardRequests, StatusReplyIsOkThenTheRecordInWireOrder) {
    common::WireGuardStatusRecord record;
    record.state = 2;
    record.adapter_present = true;
    record.rx_bytes = 0x0102030405060708;
    record.tx_bytes = 0x1112131415161718;
    record.last_handshake_ms = 0x2122232425262728;
    record.error = 0x0506;
    const std::vector<uint8_t> expected = {
        0x00, 0x00,                                      // Ok
        0x02, 0x01,                                      // state, adapter_present
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // rx_bytes
        0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,  // tx_bytes
        0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21,  // last_handshake_ms
        0x06, 0x05,                                      // error
    };
    EXPECT_EQ(BuildWireGuardStatusReply(record), expected);
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
