// The machine-wide VPN activity verdict, decided from one snapshot of evidence.
//
// The service records in the registry whether a VPN is active and why (activity_win.h gathers
// the evidence and writes the record). The decision is pure, keeps no memory between calls and
// never fails: evidence that could not be gathered becomes a reason bit and, when it leaves the
// answer open, the state ActivityUnknown rather than ActivityInactive.
#pragma once

#include <cstdint>
#include <string>

namespace lumet::service {

// How long an agent's OpenVPN report is taken on trust without a process to confirm it.
inline constexpr uint64_t kReportFreshnessMs = 20000;

enum class ProcessCheck : uint8_t {
    ProcessNone = 0,         // the reported process id is 0
    ProcessIsOpenVpn = 1,    // alive, and its image file name is "openvpn.exe"
    ProcessGone = 2,         // no such process, it has exited, or its image is something else
    ProcessCheckFailed = 3,  // it exists but could not be examined
};

struct ActivitySnapshot {
    bool wg_tunnel_present = false;   // the tunnel controller's state is 1 or 2
    bool wg_adapter_present = false;  // its adapter_present
    bool scm_unavailable = false;     // the service manager could not be opened
    bool report_present = false;      // the agent has reported at least once
    bool reported_active = false;
    bool report_fresh = false;  // present and at most kReportFreshnessMs old
    ProcessCheck process_check = ProcessCheck::ProcessNone;  // ProcessNone without a report
    uint32_t staged_profiles = 0;  // 0 when the staging directory cannot be resolved
    bool staging_scan_failed = false;
};

enum class ActivityState : uint32_t {
    ActivityInactive = 0,
    ActivityActive = 1,
    ActivityUnknown = 2,
};

// Reason bits.
inline constexpr uint16_t kWgAdapterPresent = 0x001;
inline constexpr uint16_t kWgTunnelPresent = 0x002;
inline constexpr uint16_t kScmUnavailable = 0x004;  // only without WireGuard evidence
inline constexpr uint16_t kStagedProfiles = 0x008;
inline constexpr uint16_t kStagingScanFailed = 0x010;
inline constexpr uint16_t kReportedActive = 0x020;       // an active report taken on trust
inline constexpr uint16_t kOpenVpnProcessAlive = 0x040;  // the reported process is openvpn.exe
inline constexpr uint16_t kReportNotConfirmed = 0x080;   // contradicted, or expired unconfirmed
inline constexpr uint16_t kReportUnverifiable = 0x100;   // expired, process not examinable

struct ActivityVerdict {
    ActivityState state = ActivityState::ActivityInactive;
    bool wireguard = false;  // WireGuard counts as active
    bool openvpn = false;    // OpenVPN counts as active
    uint16_t reasons = 0;

    friend bool operator==(const ActivityVerdict&, const ActivityVerdict&) = default;
};

ActivityVerdict DecideActivity(const ActivitySnapshot& snapshot);

// The value kept to detect a change: (reasons << 8) | state. Never equals the "nothing recorded
// yet" value 0xFFFFFFFF, so the first evaluation always writes.
uint32_t PackActivity(const ActivityVerdict& verdict);

// True when a report that arrived at `report_tick` is still fresh at `now_tick` (both in ms of
// the same monotonic clock). A report tick ahead of `now_tick` counts as age 0.
bool IsReportFresh(uint64_t report_tick, uint64_t now_tick, uint64_t freshness_ms);

// "vpn activity -> <state> (wg=<0|1> ovpn=<0|1> reasons=0x%08X)".
std::string FormatActivityLogLine(const ActivityVerdict& verdict);

}  // namespace lumet::service
