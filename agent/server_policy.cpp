#include "agent/server_policy.h"

#include <climits>

namespace lumet::agent {

namespace {

constexpr uint32_t kErrorAccessDenied = 5;

bool IsBlank(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

}  // namespace

int ParseLeadingInt(std::wstring_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    // Accumulated as a magnitude that stops growing past the int range.
    constexpr int64_t kLimit = static_cast<int64_t>(INT_MAX) + 1;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - L'0');
        if (magnitude > kLimit) {
            magnitude = kLimit;
        }
    }
    if (negative) {
        return static_cast<int>(-magnitude);  // -(INT_MAX + 1) is INT_MIN itself
    }
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

uint32_t IdleLimitSecondsFrom(uint32_t returned_length, std::wstring_view value) {
    // GetEnvironmentVariableW returns the text's length when it fits with its terminator, and the
    // size it would need (terminator included, so at least 17 here) when it does not.
    if (returned_length < 1 || returned_length >= kIdleVariableBufferChars ||
        returned_length > value.size()) {
        return kDefaultIdleSeconds;
    }
    const int seconds = ParseLeadingInt(value.substr(0, returned_length));
    if (seconds < static_cast<int>(kMinIdleSeconds) ||
        seconds > static_cast<int>(kMaxIdleSeconds)) {
        return kDefaultIdleSeconds;
    }
    return static_cast<uint32_t>(seconds);
}

bool HoldsOffIdleExit(const LoopActivity& activity) {
    return activity.client_connected || activity.openvpn_active || activity.service_call_in_flight;
}

uint32_t AcceptWaitMs(const LoopActivity& activity, uint64_t idle_limit_ms, uint64_t elapsed_ms) {
    uint64_t wait = kInfiniteWait;
    if (!HoldsOffIdleExit(activity)) {
        wait = elapsed_ms >= idle_limit_ms ? 0 : idle_limit_ms - elapsed_ms;
        // A finite wait must never turn into the infinite one by landing on its value.
        if (wait >= kInfiniteWait) {
            wait = kInfiniteWait - 1;
        }
    }
    if (activity.coordinator_exists && wait > kCoordinatorWakeMs) {
        wait = kCoordinatorWakeMs;
    }
    return static_cast<uint32_t>(wait);
}

TimeoutVerdict AfterAcceptTimeout(const LoopActivity& activity, bool stop_requested) {
    if (!HoldsOffIdleExit(activity)) {
        return TimeoutVerdict::IdleExit;
    }
    return stop_requested ? TimeoutVerdict::Stop : TimeoutVerdict::KeepServing;
}

CreateFailureAction OnCreatePipeFailure(bool first_instance_flag, uint32_t win32_error) {
    if (first_instance_flag && win32_error == kErrorAccessDenied) {
        return CreateFailureAction::RetryWithoutFirstInstance;
    }
    return CreateFailureAction::PauseAndRetry;
}

bool IsStopControl(uint32_t control_type) {
    switch (control_type) {
        case 0:  // CTRL_C_EVENT
        case 1:  // CTRL_BREAK_EVENT
        case 2:  // CTRL_CLOSE_EVENT
        case 5:  // CTRL_LOGOFF_EVENT
        case 6:  // CTRL_SHUTDOWN_EVENT
            return true;
        default:
            return false;
    }
}

}  // namespace lumet::agent
