#include "cli/lumetctl_wait.h"

#include <gtest/gtest.h>

namespace lumetctl {
namespace {

namespace lv = lumet_windows_vpn;
using State = lv::LumetOpenVpnState;
using Error = lv::LumetOpenVpnErrorKind;
using Component = lv::LumetComponentState;

TEST(LumetctlWaitTest, OpenVpnVerdicts) {
    struct Case {
        State state;
        bool active;
        Error error;
        int64_t attempt;
        WaitVerdict verdict;
        std::string text_part;
    };
    const Case cases[] = {
        {State::kOther, true, Error::kNone, 4, WaitVerdict::Waiting, "no state yet"},
        {State::kWait, true, Error::kNone, 4, WaitVerdict::Waiting, "first answer"},
        {State::kReconnecting, true, Error::kNone, 4, WaitVerdict::Waiting, "again"},
        {State::kConnected, true, Error::kNone, 4, WaitVerdict::Up, "the tunnel is up"},
        {State::kAuth, false, Error::kAuthFailed, 4, WaitVerdict::Failed, "refused the user"},
        // An error wins even while OpenVPN still reports progress.
        {State::kConnected, true, Error::kAttemptActive, 4, WaitVerdict::Failed, "already"},
        // Stopped from elsewhere: the record is reset under a new attempt number.
        {State::kOther, false, Error::kNone, 5, WaitVerdict::Failed, "stopped or replaced"},
        {State::kExiting, false, Error::kNone, 4, WaitVerdict::Failed, "without connecting"},
    };
    for (const Case& c : cases) {
        const lv::LumetOpenVpnStatus status(c.state, c.active, 0, 0, 0, c.error, c.attempt);
        const WaitStep step = JudgeOpenVpn(status, 4);
        EXPECT_EQ(step.verdict, c.verdict) << step.text;
        EXPECT_NE(step.text.find(c.text_part), std::string::npos) << step.text;
    }
}

TEST(LumetctlWaitTest, WireGuardVerdicts) {
    struct Case {
        Component state;
        bool adapter;
        int64_t error;
        WaitVerdict verdict;
        std::string text_part;
    };
    const Case cases[] = {
        {Component::kRunning, true, 0, WaitVerdict::Up, "adapter is up"},
        {Component::kPending, false, 0, WaitVerdict::Waiting, "not up"},
        {Component::kRunning, false, 0, WaitVerdict::Waiting, "adapter is up"},
        {Component::kAbsent, false, 0, WaitVerdict::Failed, "gone"},
        {Component::kAbsent, false, 5, WaitVerdict::Failed, "adapterMissing"},
        {Component::kPending, false, 2, WaitVerdict::Failed, "busy"},
    };
    for (const Case& c : cases) {
        const lv::LumetWireGuardStatus status(c.state, c.adapter, 0, 0, 0, c.error);
        const WaitStep step = JudgeWireGuard(status);
        EXPECT_EQ(step.verdict, c.verdict) << step.text;
        EXPECT_NE(step.text.find(c.text_part), std::string::npos) << step.text;
    }
}

TEST(LumetctlWaitTest, ProgressAndTimeOutLines) {
    EXPECT_EQ(ProgressLine(3549, "resolve"), "    3.5 s  resolve");
    EXPECT_EQ(ProgressLine(-20, "x"), "    0.0 s  x");
    EXPECT_EQ(ProgressLine(123456, "x"), "  123.4 s  x");
    EXPECT_EQ(TimedOutText(30, "wait"), "did not come up within 30 s (last state: wait)");
}

}  // namespace
}  // namespace lumetctl
