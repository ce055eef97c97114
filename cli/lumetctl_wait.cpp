#include "cli/lumetctl_wait.h"

#include <cstdio>

#include "cli/lumetctl_format.h"

namespace lumetctl {

namespace lv = lumet_windows_vpn;

WaitStep JudgeWireGuard(const lv::LumetWireGuardStatus& status) {
    if (status.error() != 0) {
        return {WaitVerdict::Failed, WireGuardErrorText(status.error())};
    }
    switch (status.state()) {
        case lv::LumetComponentState::kRunning:
            if (status.adapter_present()) {
                return {WaitVerdict::Up, WireGuardStateText(status.state())};
            }
            break;
        case lv::LumetComponentState::kAbsent:
            return {WaitVerdict::Failed,
                    "the tunnel is gone (" + WireGuardStateText(status.state()) + ")"};
        default:
            break;
    }
    return {WaitVerdict::Waiting, WireGuardStateText(status.state())};
}

WaitStep JudgeOpenVpn(const lv::LumetOpenVpnStatus& status, int64_t attempt) {
    if (status.attempt() != attempt) {
        return {WaitVerdict::Failed, "attempt " + std::to_string(attempt) +
                                         " was stopped or replaced (now attempt " +
                                         std::to_string(status.attempt()) + ")"};
    }
    if (status.error() != lv::LumetOpenVpnErrorKind::kNone) {
        return {WaitVerdict::Failed, OpenVpnErrorText(status.error())};
    }
    if (!status.active()) {
        // An attempt that ends without an error was stopped.
        return {WaitVerdict::Failed,
                "the attempt ended without connecting (" + OpenVpnStateText(status.state()) + ")"};
    }
    if (status.state() == lv::LumetOpenVpnState::kConnected) {
        return {WaitVerdict::Up, OpenVpnStateText(status.state())};
    }
    return {WaitVerdict::Waiting, OpenVpnStateText(status.state())};
}

std::string ProgressLine(int64_t elapsed_ms, const std::string& state_text) {
    if (elapsed_ms < 0) {
        elapsed_ms = 0;
    }
    char elapsed[32];
    std::snprintf(elapsed, sizeof(elapsed), "%5lld.%01lld s",
                  static_cast<long long>(elapsed_ms / 1000),
                  static_cast<long long>(elapsed_ms / 100 % 10));
    return std::string(elapsed) + "  " + state_text;
}

std::string TimedOutText(int seconds, const std::string& last_state_text) {
    return "did not come up within " + std::to_string(seconds) +
           " s (last state: " + last_state_text + ")";
}

}  // namespace lumetctl
