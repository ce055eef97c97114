#include "agent/openvpn/stage_exchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/payload.h"

namespace lumet::agent::openvpn {
namespace {

std::vector<uint8_t> ReplyBody(const std::string& path, uint16_t stage_status) {
    common::PayloadWriter writer;
    writer.WriteString(path);
    writer.WriteU16(stage_status);
    return writer.Take();
}

TEST(StageExchangeTest, RequestBodiesInWireOrder) {
    const std::vector<uint8_t> stage = BuildStageRequest(0x01020304, "client\n");
    EXPECT_EQ(stage, (std::vector<uint8_t>{4, 3, 2, 1, 7, 0, 'c', 'l', 'i', 'e', 'n', 't', '\n'}));
    // A profile that does not fit a payload string yields no body at all.
    EXPECT_TRUE(BuildStageRequest(1, std::string(70000, 'x')).empty());
    EXPECT_EQ(BuildUnstageRequest("C:\\a"), (std::vector<uint8_t>{4, 0, 'C', ':', '\\', 'a'}));
}

TEST(StageExchangeTest, RepliesBecomeOutcomes) {
    const struct {
        std::vector<uint8_t> body;
        StageOutcome outcome;
        std::string path;
    } cases[] = {
        {ReplyBody("C:\\cfg\\orrinfield\\ovpn-1-0123456789abcdef.ovpn", 0), StageOutcome::Staged,
         "C:\\cfg\\orrinfield\\ovpn-1-0123456789abcdef.ovpn"},
        // The path decides, whatever the status says.
        {ReplyBody("C:\\x.ovpn", 5), StageOutcome::Staged, "C:\\x.ovpn"},
        {ReplyBody("", 1), StageOutcome::NotPermitted, ""},
        {ReplyBody("", 2), StageOutcome::BadRequest, ""},
        {ReplyBody("", 0), StageOutcome::Failed, ""},
        {ReplyBody("", 3), StageOutcome::Failed, ""},
        {ReplyBody("", 5), StageOutcome::Failed, ""},
        // Truncated: the path is not handed out.
        {{4, 0, 'C', ':', '\\', 'a'}, StageOutcome::Failed, ""},
        {{}, StageOutcome::Failed, ""},
    };
    for (const auto& c : cases) {
        const StageReply reply = ReadStageReply(c.body);
        EXPECT_EQ(reply.outcome, c.outcome) << c.path;
        EXPECT_EQ(reply.staged_path, c.path);
    }
}

TEST(StageExchangeTest, CallStatusesBecomeOutcomes) {
    using common::Status;
    EXPECT_EQ(StageOutcomeForCallStatus(Status::BadRequest), StageOutcome::BadRequest);
    EXPECT_EQ(StageOutcomeForCallStatus(Status::Unavailable), StageOutcome::ServiceUnavailable);
    EXPECT_EQ(StageOutcomeForCallStatus(Status::ConnectTimeout), StageOutcome::ServiceUnavailable);
    EXPECT_EQ(StageOutcomeForCallStatus(Status::NotPermitted), StageOutcome::NotPermitted);
    for (const Status other : {Status::Failed, Status::ProtocolMismatch, Status::UnsupportedType,
                               static_cast<Status>(99)}) {
        EXPECT_EQ(StageOutcomeForCallStatus(other), StageOutcome::Failed);
    }
}

}  // namespace
}  // namespace lumet::agent::openvpn
