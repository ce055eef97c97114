// Keeps a failure that repeats from flooding the log: the first line is written, repeats of the
// same line are counted, and at most once a minute a summary with the count is written instead.
//
// Pure bookkeeping, no clock and no I/O: the caller passes the time and writes what Admit returns.
// Not thread-safe; the log serialises its use under its own mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"

namespace lumet::common {

inline constexpr uint64_t kRepeatSummaryIntervalMs = 60000;
inline constexpr size_t kRepeatTrackedLines = 64;

class RepeatLimiter {
  public:
    // `line` (a level word and message) is about to be logged at `now_ms`. Returns the lines to
    // write, in order: summaries of lines whose minute is over and that were repeated meanwhile
    // ("<line> (repeated N times in the last minute)"), then `line` itself unless it is a repeat
    // within its minute. A line seen once and then quiet for a minute is forgotten. When more than
    // kRepeatTrackedLines different lines are being tracked, a new one is written untracked.
    std::vector<std::wstring> Admit(std::wstring_view line, uint64_t now_ms);

    // Forgets everything (counts not yet summarised are dropped).
    void Clear() { entries_.clear(); }

  private:
    struct Entry {
        uint64_t window_start_ms = 0;
        uint64_t repeats = 0;
    };
    std::map<std::wstring, Entry, std::less<>> entries_;
};

// "<line> (repeated N times in the last minute)".
std::wstring RepeatSummary(std::wstring_view line, uint64_t repeats);

// The limiter's key of a log line: the level as one character, then the message; lines of
// different levels never count as repeats of each other.
struct RepeatLine {
    LogLevel level = LogLevel::Info;
    std::wstring message;
};
std::wstring RepeatKey(LogLevel level, std::wstring_view message);
RepeatLine SplitRepeatKey(std::wstring_view key);

}  // namespace lumet::common
