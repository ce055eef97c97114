// The native build's log: the same lines, to standard error only (there is no debugger stream
// and no ProgramData folder), so that platform-neutral code can log in natively run tests.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>
#include <string>

#include "common/log.h"
#include "common/log_for_testing.h"
#include "common/log_format.h"
#include "common/log_repeat.h"
#include "common/utf.h"

namespace lumet::common {

namespace {

struct LogState {
    std::mutex mutex;
    std::wstring name = L"lumet";
    log_testing::LogObserver observer;  // tests only
    RepeatLimiter repeats;
    std::function<uint64_t()> repeat_clock;  // tests only
};

LogState& State() {
    static LogState* const state = new LogState();
    return *state;
}

[[maybe_unused]] const bool kStateCreated = (State(), true);

LogTime UtcNow() {
    using namespace std::chrono;
    const auto now = time_point_cast<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{now - day};
    return LogTime{static_cast<unsigned>(static_cast<int>(date.year())),
                   static_cast<unsigned>(date.month()),
                   static_cast<unsigned>(date.day()),
                   static_cast<unsigned>(time.hours().count()),
                   static_cast<unsigned>(time.minutes().count()),
                   static_cast<unsigned>(time.seconds().count()),
                   static_cast<unsigned>(time.subseconds().count())};
}

void EmitLocked(LogState& state, const LogTime& now, LogLevel level, std::wstring_view message) {
    const std::wstring line = FormatLogLine(now, state.name, level, message);
    const std::string bytes = WideToUtf8(line);
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    if (state.observer) {
        state.observer(line);
    }
}

void EmitLine(LogLevel level, std::wstring_view message) {
    const LogTime now = UtcNow();
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    EmitLocked(state, now, level, message);
}

void EmitRepeatable(LogLevel level, std::wstring_view message) {
    const LogTime now = UtcNow();
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    const uint64_t now_ms =
        state.repeat_clock
            ? state.repeat_clock()
            : static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
    for (const std::wstring& keyed : state.repeats.Admit(RepeatKey(level, message), now_ms)) {
        const RepeatLine line = SplitRepeatKey(keyed);
        EmitLocked(state, now, line.level, line.message);
    }
}

}  // namespace

void SetLogName(std::wstring_view name) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (!name.empty()) {
        state.name.assign(name);
    }
}

void DisableLogFile() {
    // There is no file in the native build.
}

void LogLine(LogLevel level, std::wstring_view message) {
    EmitLine(level, message);
}

void LogWin32Error(LogLevel level, std::wstring_view message, uint32_t code) {
    EmitLine(level, FormatWin32ErrorMessage(message, code));
}

void LogRepeatable(LogLevel level, std::wstring_view message) {
    EmitRepeatable(level, message);
}

void LogWin32ErrorRepeatable(LogLevel level, std::wstring_view message, uint32_t code) {
    EmitRepeatable(level, FormatWin32ErrorMessage(message, code));
}

namespace log_testing {

void ResetLogState(std::wstring_view name) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.name.assign(name);
    state.repeats.Clear();
}

void SetLogObserver(LogObserver observer) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.observer = std::move(observer);
    state.repeats.Clear();
}

// The native build writes no file, so there is nothing to rotate.
void SetRotateBytes(uint64_t) {}

void SetRepeatClock(std::function<uint64_t()> now_ms) {
    LogState& state = State();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.repeat_clock = std::move(now_ms);
    state.repeats.Clear();
}

}  // namespace log_testing

}  // namespace lumet::common
