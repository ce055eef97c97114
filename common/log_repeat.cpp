#include "common/log_repeat.h"

namespace lumet::common {

std::wstring RepeatSummary(std::wstring_view line, uint64_t repeats) {
    return std::wstring(line) + L" (repeated " + std::to_wstring(repeats) +
           (repeats == 1 ? L" time" : L" times") + L" in the last minute)";
}

std::vector<std::wstring> RepeatLimiter::Admit(std::wstring_view line, uint64_t now_ms) {
    std::vector<std::wstring> out;
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = it->second;
        if (now_ms - entry.window_start_ms < kRepeatSummaryIntervalMs) {
            ++it;
            continue;
        }
        if (entry.repeats == 0) {
            it = entries_.erase(it);
            continue;
        }
        // The minute is over: report the count and start the next minute. The line stays
        // tracked, so a failure that goes on is summarised again a minute later, not re-logged.
        out.push_back(RepeatSummary(it->first, entry.repeats));
        entry.window_start_ms = now_ms;
        entry.repeats = 0;
        ++it;
    }
    const auto found = entries_.find(line);
    if (found != entries_.end()) {
        ++found->second.repeats;
        return out;
    }
    if (entries_.size() < kRepeatTrackedLines) {
        entries_.emplace(std::wstring(line), Entry{now_ms, 0});
    }
    out.emplace_back(line);
    return out;
}

std::wstring RepeatKey(LogLevel level, std::wstring_view message) {
    std::wstring key(1, static_cast<wchar_t>(L'0' + (static_cast<unsigned>(level) & 0xF)));
    key.append(message);
    return key;
}

RepeatLine SplitRepeatKey(std::wstring_view key) {
    RepeatLine line;
    if (key.empty()) {
        return line;
    }
    line.level = static_cast<LogLevel>(static_cast<unsigned>(key[0] - L'0'));
    line.message.assign(key.substr(1));
    return line;
}

}  // namespace lumet::common
