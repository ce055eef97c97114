#include "common/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace lumet::common {
namespace {

std::vector<uint8_t> HeaderBytes(uint32_t length, uint32_t payload_length, uint16_t protocol = 6,
                                 uint16_t type = 1) {
    std::vector<uint8_t> b(kFrameHeaderSize, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (size_t i = 0; i < 4; ++i)
            b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(0, length);
    b[4] = static_cast<uint8_t>(protocol);
    b[5] = static_cast<uint8_t>(protocol >> 8);
    b[6] = static_cast<uint8_t>(type);
    b[7] = static_cast<uint8_t>(type >> 8);
    put32(16, payload_length);
    return b;
}

TEST(FrameTest, KnownWireBytes) {
    const std::vector<uint8_t> hello = {0x10, 0, 0, 0, 0x06, 0, 0x01, 0, 0x01, 0,
                                        0,    0, 0, 0, 0,    0, 0,    0, 0,    0};
    EXPECT_EQ(EncodeFrame(1, 1, 0, {}), hello);

    const std::array<uint8_t, 2> ok_status = {0, 0};
    const std::vector<uint8_t> ping_reply = {0x12, 0,    0,    0, 0x06, 0,    0x02, 0, 0x07, 0, 0,
                                             0,    0xEF, 0xBE, 0, 0,    0x02, 0,    0, 0,    0, 0};
    EXPECT_EQ(EncodeFrame(2, 7, 0x0000BEEF, ok_status), ping_reply);

    // Every multi-byte field is little-endian regardless of the host.
    const auto frame = EncodeFrame(0xA1B2, 0x01020304, 0xCAFEF00D, {});
    ASSERT_TRUE(frame);
    EXPECT_EQ((std::vector<uint8_t>(frame->begin() + 6, frame->begin() + 16)),
              (std::vector<uint8_t>{0xB2, 0xA1, 0x04, 0x03, 0x02, 0x01, 0x0D, 0xF0, 0xFE, 0xCA}));
}

TEST(FrameTest, EncodeHonoursPayloadLimit) {
    std::vector<uint8_t> payload(kMaxPayload, 0x5A);
    const auto largest = EncodeFrame(5, 1, 0, payload);
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->size(), 61460u);
    FrameHeader header;
    size_t total = 0;
    ASSERT_EQ(DecodeFrameHeader(largest->data(), largest->size(), &header, &total),
              FrameDecodeResult::Ok);
    EXPECT_EQ(total, 61460u);
    EXPECT_EQ(header.payload_length, kMaxPayload);
    EXPECT_EQ(largest->back(), 0x5A);

    payload.push_back(0);
    EXPECT_FALSE(EncodeFrame(5, 1, 0, payload));
}

TEST(FrameTest, EncodeDecodeRoundTrip) {
    const std::vector<uint8_t> payload = {1, 2, 3, 4, 5};
    const auto frame = EncodeFrame(14, 0xFFFFFFFF, 0x12345678, payload);
    ASSERT_TRUE(frame);
    FrameHeader header;
    size_t total = 0;
    ASSERT_EQ(DecodeFrameHeader(frame->data(), frame->size(), &header, &total),
              FrameDecodeResult::Ok);
    EXPECT_EQ(header.protocol, kProtocolVersion);
    EXPECT_EQ(header.type, 14);
    EXPECT_EQ(header.request_id, 0xFFFFFFFFu);
    EXPECT_EQ(header.generation, 0x12345678u);
    EXPECT_EQ(header.payload_length, 5u);
    EXPECT_EQ(total, frame->size());
    EXPECT_EQ(std::vector<uint8_t>(frame->begin() + kFrameHeaderSize, frame->end()), payload);
}

// The checks run in a fixed order; each row pins which one decides.
TEST(FrameTest, DecodeResultsInCheckOrder) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t available;
        FrameDecodeResult expected;
    };
    const std::vector<Case> cases = {
        {"nothing available", HeaderBytes(16, 0), 0, FrameDecodeResult::NeedMore},
        {"3 bytes", HeaderBytes(16, 0), 3, FrameDecodeResult::NeedMore},
        {"length 15 judged on 4 bytes", HeaderBytes(15, 0), 4, FrameDecodeResult::Malformed},
        {"length 0", HeaderBytes(0, 0), 20, FrameDecodeResult::Malformed},
        {"length 65533 judged on 4 bytes", HeaderBytes(65533, 0), 4, FrameDecodeResult::TooLarge},
        {"length 0xFFFFFFFF", HeaderBytes(0xFFFFFFFF, 0), 20, FrameDecodeResult::TooLarge},
        {"legal length, 4 bytes", HeaderBytes(16, 0), 4, FrameDecodeResult::NeedMore},
        {"legal length, 19 bytes", HeaderBytes(16, 0), 19, FrameDecodeResult::NeedMore},
        {"payload check precedes equality", HeaderBytes(61457, 61441), 20,
         FrameDecodeResult::TooLarge},
        {"payload_length huge", HeaderBytes(100, 0xFFFFFFF0), 20, FrameDecodeResult::TooLarge},
        {"length disagrees", HeaderBytes(100, 90), 20, FrameDecodeResult::Malformed},
        {"largest length, payload over limit", HeaderBytes(65532, 65516), 20,
         FrameDecodeResult::TooLarge},
        {"one byte short of agreeing", HeaderBytes(17, 0), 20, FrameDecodeResult::Malformed},
        {"largest legal payload", HeaderBytes(61456, 61440), 20, FrameDecodeResult::Ok},
        {"empty payload", HeaderBytes(16, 0), 20, FrameDecodeResult::Ok},
        {"foreign protocol and type", HeaderBytes(16, 0, 5, 99), 20, FrameDecodeResult::Ok},
    };
    for (const Case& c : cases) {
        FrameHeader header;
        header.request_id = 0xDEAD;
        size_t total = 12345;
        EXPECT_EQ(DecodeFrameHeader(c.bytes.data(), c.available, &header, &total), c.expected)
            << c.name;
        if (c.expected != FrameDecodeResult::Ok) {
            EXPECT_EQ(header.request_id, 0xDEADu) << c.name << ": output touched on failure";
            EXPECT_EQ(total, 12345u) << c.name;
        }
    }

    FrameHeader header;
    size_t total = 0;
    const auto bytes = HeaderBytes(16, 0, 5, 99);
    ASSERT_EQ(DecodeFrameHeader(bytes.data(), bytes.size(), &header, &total),
              FrameDecodeResult::Ok);
    EXPECT_EQ(header.protocol, 5);
    EXPECT_EQ(header.type, 99);
    EXPECT_EQ(total, 20u);

    EXPECT_EQ(DecodeFrameHeader(nullptr, 20, &header, &total), FrameDecodeResult::Malformed);
    EXPECT_EQ(DecodeFrameHeader(bytes.data(), 20, nullptr, &total), FrameDecodeResult::Malformed);
    EXPECT_EQ(DecodeFrameHeader(bytes.data(), 20, &header, nullptr), FrameDecodeResult::Malformed);
    // A missing buffer is Malformed even when nothing is available yet.
    EXPECT_EQ(DecodeFrameHeader(nullptr, 0, &header, &total), FrameDecodeResult::Malformed);
}

TEST(FrameTest, MessageTypeRangeAndReplyTimeouts) {
    for (uint32_t type = 0; type <= 0xFFFF; ++type) {
        EXPECT_EQ(IsKnownMessageType(static_cast<uint16_t>(type)), type >= 1 && type <= 14) << type;
    }
    EXPECT_EQ(ReplyTimeoutFor(5, 12000), 60000u);
    for (uint16_t type : {0, 1, 4, 6, 9, 12, 15}) {
        EXPECT_EQ(ReplyTimeoutFor(type, 12000), 12000u) << type;
        EXPECT_EQ(ReplyTimeoutFor(type, kDefaultReplyTimeoutMs), 15000u) << type;
    }
}

}  // namespace
}  // namespace lumet::common
