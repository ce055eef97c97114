#include "agent/server_policy.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace lumet::agent {
namespace {

// What GetEnvironmentVariableW reports for `value` with a 16-character buffer: the length when
// it fits with its terminator, else the size it would need; 0 when unset.
uint32_t Returned(const std::wstring& value) {
    return value.size() < kIdleVariableBufferChars ? static_cast<uint32_t>(value.size())
                                                   : static_cast<uint32_t>(value.size() + 1);
}

TEST(IdleLimitTest, AcceptsOnlyFittingValuesInRange) {
    const struct {
        std::wstring value;
        uint32_t seconds;
    } cases[] = {
        {L"", kDefaultIdleSeconds},  // unset
        {L"9", kDefaultIdleSeconds},
        {L"10", 10},
        {L"86400", 86400},
        {L"86401", kDefaultIdleSeconds},
        {L"abc", kDefaultIdleSeconds},
        {L"0", kDefaultIdleSeconds},
        {L"-10", kDefaultIdleSeconds},
        {L"+20", 20},
        {L" \t42", 42},                              // leading blanks are skipped, as _wtoi does
        {L"42abc", 42},                              // digits up to the first other character
        {L"000000000000010", 10},                    // 15 characters still fit
        {L"0000000000000010", kDefaultIdleSeconds},  // 16 do not
        {L"4294967306", kDefaultIdleSeconds},        // 2^32 + 10 must not wrap into range
        {L"99999999999999", kDefaultIdleSeconds},
    };
    for (const auto& c : cases) {
        std::wstring buffer = c.value.substr(0, kIdleVariableBufferChars - 1);
        buffer.resize(kIdleVariableBufferChars, L'\0');
        EXPECT_EQ(IdleLimitSecondsFrom(Returned(c.value), buffer), c.seconds)
            << std::string(c.value.begin(), c.value.end());
    }
}

TEST(IdleLimitTest, ParseSaturatesInsteadOfWrapping) {
    EXPECT_EQ(ParseLeadingInt(L"2147483647"), INT_MAX);
    EXPECT_EQ(ParseLeadingInt(L"2147483648"), INT_MAX);
    EXPECT_EQ(ParseLeadingInt(L"-2147483648"), INT_MIN);
    EXPECT_EQ(ParseLeadingInt(L"-99999999999999999999"), INT_MIN);
    EXPECT_EQ(ParseLeadingInt(L"- 5"), 0);
    EXPECT_EQ(ParseLeadingInt(L""), 0);
}

TEST(AcceptWaitTest, IdleRemainderUnlessSomethingHoldsTheAgent) {
    constexpr uint64_t kLimit = 300000;
    LoopActivity idle;
    EXPECT_EQ(AcceptWaitMs(idle, kLimit, 0), kLimit);
    EXPECT_EQ(AcceptWaitMs(idle, kLimit, 299999), 1u);
    EXPECT_EQ(AcceptWaitMs(idle, kLimit, kLimit), 0u);
    EXPECT_EQ(AcceptWaitMs(idle, kLimit, kLimit + 5000), 0u);  // already past: no wait at all

    LoopActivity client;
    client.client_connected = true;
    LoopActivity openvpn;
    openvpn.openvpn_active = true;
    LoopActivity call;
    call.service_call_in_flight = true;
    for (const LoopActivity& busy : {client, openvpn, call}) {
        EXPECT_EQ(AcceptWaitMs(busy, kLimit, kLimit + 1), kInfiniteWait);
    }
}

TEST(AcceptWaitTest, CoordinatorCapsEveryWaitAtSevenSeconds) {
    LoopActivity idle;
    idle.coordinator_exists = true;
    EXPECT_EQ(AcceptWaitMs(idle, 300000, 0), kCoordinatorWakeMs);
    EXPECT_EQ(AcceptWaitMs(idle, 300000, 300000 - 7001), kCoordinatorWakeMs);
    EXPECT_EQ(AcceptWaitMs(idle, 300000, 300000 - 7000), 7000u);
    EXPECT_EQ(AcceptWaitMs(idle, 300000, 300000 - 3000), 3000u);

    LoopActivity active = idle;
    active.openvpn_active = true;
    EXPECT_EQ(AcceptWaitMs(active, 300000, 0), kCoordinatorWakeMs);  // infinity capped too
}

TEST(AcceptWaitTest, HugeIdleLimitNeverBecomesInfinite) {
    LoopActivity idle;
    EXPECT_LT(AcceptWaitMs(idle, 0x1FFFFFFFFull, 0), kInfiniteWait);
}

TEST(AcceptTimeoutTest, NothingHoldingTheAgentMeansIdleExit) {
    LoopActivity idle;
    EXPECT_EQ(AfterAcceptTimeout(idle, false), TimeoutVerdict::IdleExit);
    EXPECT_EQ(AfterAcceptTimeout(idle, true), TimeoutVerdict::IdleExit);

    // A coordinator alone keeps nothing alive: its 7-second wake-up ends an idle agent.
    LoopActivity coordinator_only;
    coordinator_only.coordinator_exists = true;
    EXPECT_EQ(AfterAcceptTimeout(coordinator_only, false), TimeoutVerdict::IdleExit);

    LoopActivity active = coordinator_only;
    active.openvpn_active = true;
    EXPECT_EQ(AfterAcceptTimeout(active, false), TimeoutVerdict::KeepServing);
    EXPECT_EQ(AfterAcceptTimeout(active, true), TimeoutVerdict::Stop);

    LoopActivity call;
    call.service_call_in_flight = true;
    EXPECT_EQ(AfterAcceptTimeout(call, false), TimeoutVerdict::KeepServing);
}

TEST(CreateFailureTest, OnlyAFirstInstanceDenialIsAStalePipe) {
    EXPECT_EQ(OnCreatePipeFailure(true, 5), CreateFailureAction::RetryWithoutFirstInstance);
    EXPECT_EQ(OnCreatePipeFailure(false, 5), CreateFailureAction::PauseAndRetry);
    EXPECT_EQ(OnCreatePipeFailure(true, 231), CreateFailureAction::PauseAndRetry);
    EXPECT_EQ(OnCreatePipeFailure(true, 0), CreateFailureAction::PauseAndRetry);
}

TEST(ConsoleControlTest, StopsOnUserAndSessionEndingControlsOnly) {
    for (uint32_t type = 0; type <= 8; ++type) {
        const bool stops = type == 0 || type == 1 || type == 2 || type == 5 || type == 6;
        EXPECT_EQ(IsStopControl(type), stops) << type;
    }
    EXPECT_FALSE(IsStopControl(0xFFFFFFFF));
}

}  // namespace
}  // namespace lumet::agent
