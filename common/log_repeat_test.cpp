#include "common/log_repeat.h"

#include <gtest/gtest.h>

namespace lumet::common {
namespace {

using Lines = std::vector<std::wstring>;

// A failure logged every second for three minutes: one line, then one summary a minute (the
// third minute's count is still pending at the end).
TEST(RepeatLimiterTest, FailureEverySecondIsLoggedOnceThenSummarisedEachMinute) {
    RepeatLimiter limiter;
    Lines written;
    for (uint64_t second = 0; second < 180; ++second) {
        for (std::wstring& line : limiter.Admit(L"2pipe failed", second * 1000)) {
            written.push_back(std::move(line));
        }
    }
    const Lines expected = {
        L"2pipe failed",
        L"2pipe failed (repeated 59 times in the last minute)",  // seconds 1..59
        L"2pipe failed (repeated 60 times in the last minute)",  // seconds 60..119
    };
    EXPECT_EQ(written, expected);
}

TEST(RepeatLimiterTest, Cases) {
    struct Step {
        std::wstring line;
        uint64_t at_ms;
        Lines out;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"different lines never suppress each other",
         {{L"1a", 0, {L"1a"}}, {L"1b", 1, {L"1b"}}, {L"2a", 2, {L"2a"}}}},
        {"a line quiet for a minute is written again",
         {{L"1a", 0, {L"1a"}}, {L"1a", 60000, {L"1a"}}}},
        {"a repeat just inside the minute is counted",
         {{L"1a", 0, {L"1a"}},
          {L"1a", 59999, {}},
          {L"1b", 60000, {L"1a (repeated 1 time in the last minute)", L"1b"}}}},
        {"the summary rides on any later line",
         {{L"1a", 0, {L"1a"}},
          {L"1a", 10, {}},
          {L"1a", 20, {}},
          {L"1z", 70000, {L"1a (repeated 2 times in the last minute)", L"1z"}},
          {L"1a", 70001, {}}}},
    };
    for (const Case& c : cases) {
        RepeatLimiter limiter;
        for (const Step& step : c.steps) {
            EXPECT_EQ(limiter.Admit(step.line, step.at_ms), step.out) << c.name;
        }
    }
}

TEST(RepeatLimiterTest, TrackingIsBoundedAndClearForgets) {
    RepeatLimiter limiter;
    for (size_t i = 0; i < kRepeatTrackedLines; ++i) {
        limiter.Admit(L"1line " + std::to_wstring(i), 0);
    }
    // Beyond the bound a new line is written each time, untracked.
    EXPECT_EQ(limiter.Admit(L"1overflow", 1), Lines{L"1overflow"});
    EXPECT_EQ(limiter.Admit(L"1overflow", 2), Lines{L"1overflow"});
    EXPECT_EQ(limiter.Admit(L"1line 0", 3), Lines{});
    limiter.Clear();
    EXPECT_EQ(limiter.Admit(L"1line 0", 4), Lines{L"1line 0"});
}

TEST(RepeatLimiterTest, KeysKeepTheLevel) {
    for (LogLevel level : {LogLevel::Info, LogLevel::Warn, LogLevel::Error}) {
        const RepeatLine line = SplitRepeatKey(RepeatKey(level, L"text"));
        EXPECT_EQ(line.level, level);
        EXPECT_EQ(line.message, L"text");
    }
    EXPECT_NE(RepeatKey(LogLevel::Warn, L"x"), RepeatKey(LogLevel::Error, L"x"));
}

}  // namespace
}  // namespace lumet::common
