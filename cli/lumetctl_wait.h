// What `--wait` decides from each status it reads: the tunnel is up, has failed, or is still on
// its way; and the progress line shown on a console meanwhile. Pure.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/host_api.h"

namespace lumetctl {

enum class WaitVerdict { Waiting, Up, Failed };

struct WaitStep {
    WaitVerdict verdict = WaitVerdict::Waiting;
    // Failed: why, for the error line. Waiting: the state as shown on the progress line.
    std::string text;
};

// A WireGuard start answers once the service has waited for the tunnel; later statuses come from
// wireGuardStatus.
WaitStep JudgeWireGuard(const lumet_windows_vpn::LumetWireGuardStatus& status);

// `attempt` is the number the start answered with; a status of another attempt means the attempt
// was stopped or replaced meanwhile.
WaitStep JudgeOpenVpn(const lumet_windows_vpn::LumetOpenVpnStatus& status, int64_t attempt);

// "  3.5 s  resolve — looking up the server's address" (tenths of a second).
std::string ProgressLine(int64_t elapsed_ms, const std::string& state_text);

// The error line for a wait that ran out: "did not come up within 30 s (last: wait — ...)".
std::string TimedOutText(int seconds, const std::string& last_state_text);

}  // namespace lumetctl
