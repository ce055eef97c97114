#include "service/activity.h"

#include <cstdio>

namespace lumet::service {

ActivityVerdict DecideActivity(const ActivitySnapshot& snapshot) {
    ActivityVerdict verdict;
    bool uncertain = false;

    verdict.wireguard = snapshot.wg_adapter_present || snapshot.wg_tunnel_present;
    if (snapshot.wg_adapter_present) {
        verdict.reasons |= kWgAdapterPresent;
    }
    if (snapshot.wg_tunnel_present) {
        verdict.reasons |= kWgTunnelPresent;
    }
    // Without the service manager the tunnel service cannot be seen, so "no WireGuard" is only a
    // guess; with WireGuard evidence the answer is active anyway.
    if (snapshot.scm_unavailable && !verdict.wireguard) {
        verdict.reasons |= kScmUnavailable;
        uncertain = true;
    }

    if (snapshot.staged_profiles > 0) {
        verdict.reasons |= kStagedProfiles;
    }
    if (snapshot.staging_scan_failed) {
        verdict.reasons |= kStagingScanFailed;
        uncertain = true;
    }
    const bool process_is_openvpn = snapshot.process_check == ProcessCheck::ProcessIsOpenVpn;
    if (process_is_openvpn) {
        verdict.reasons |= kOpenVpnProcessAlive;
    }
    verdict.openvpn = process_is_openvpn || snapshot.staged_profiles > 0;

    if (snapshot.report_present && snapshot.reported_active) {
        switch (snapshot.process_check) {
            case ProcessCheck::ProcessNone:
                if (snapshot.report_fresh) {
                    verdict.openvpn = true;
                    verdict.reasons |= kReportedActive;
                } else {
                    verdict.reasons |= kReportNotConfirmed;
                }
                break;
            case ProcessCheck::ProcessIsOpenVpn:
                break;
            case ProcessCheck::ProcessGone:
                verdict.reasons |= kReportNotConfirmed;
                break;
            case ProcessCheck::ProcessCheckFailed:
                if (snapshot.report_fresh) {
                    verdict.openvpn = true;
                    verdict.reasons |= kReportedActive;
                } else {
                    verdict.reasons |= kReportUnverifiable;
                    uncertain = true;
                }
                break;
        }
    }

    if (verdict.wireguard || verdict.openvpn) {
        verdict.state = ActivityState::ActivityActive;
    } else if (uncertain) {
        verdict.state = ActivityState::ActivityUnknown;
    } else {
        verdict.state = ActivityState::ActivityInactive;
    }
    return verdict;
}

uint32_t PackActivity(const ActivityVerdict& verdict) {
    return (static_cast<uint32_t>(verdict.reasons) << 8) | static_cast<uint32_t>(verdict.state);
}

bool IsReportFresh(uint64_t report_tick, uint64_t now_tick, uint64_t freshness_ms) {
    const uint64_t age = now_tick >= report_tick ? now_tick - report_tick : 0;
    return age <= freshness_ms;
}

std::string FormatActivityLogLine(const ActivityVerdict& verdict) {
    char text[96];
    std::snprintf(text, sizeof(text), "vpn activity -> %u (wg=%d ovpn=%d reasons=0x%08X)",
                  static_cast<unsigned>(verdict.state), verdict.wireguard ? 1 : 0,
                  verdict.openvpn ? 1 : 0, static_cast<unsigned>(verdict.reasons));
    return text;
}

}  // namespace lumet::service
