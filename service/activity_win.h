// The VPN activity record, the Win32 side: gathering the evidence, the OpenVPN process check,
// storing the agent's reports, and writing HKLM "SOFTWARE\Orrinfield VPN" when the verdict
// changes.
//
// Thread safety: the report fields of ServiceState are read and written under its
// `activity_lock` only; the tunnel status is read through the controller, which takes its own
// lock (the two locks are never held together); the last recorded value is exchanged atomically.
// The service calls these on its server thread and once while its state is built.
//
// Failures are evidence: whatever cannot be gathered becomes a reason bit (activity.h). The
// registry write is best effort and never logged or retried.
#pragma once

#include <cstdint>
#include <span>

#include "service/activity.h"

namespace lumet::service {

class ServiceState;

inline constexpr wchar_t kActivityKeyPath[] = L"SOFTWARE\\Orrinfield VPN";
inline constexpr wchar_t kActivityValueName[] = L"Activity";
inline constexpr wchar_t kActivityReasonsValueName[] = L"ActivityReasons";

// Whether `pid` runs an image named "openvpn.exe" (letter case ignored). Id 0 is ProcessNone.
[[nodiscard]] ProcessCheck CheckOpenVpnProcess(uint32_t pid);

// Evidence at `now_tick` (GetTickCount64 milliseconds). A report counts as fresh up to
// `freshness_ms` after it arrived; the service always uses kReportFreshnessMs.
ActivitySnapshot GatherActivitySnapshot(ServiceState& state, uint64_t now_tick,
                                        uint64_t freshness_ms = kReportFreshnessMs);

// Gathers, decides, and when the packed value differs from the last recorded one writes
// "Activity" and "ActivityReasons" and logs one line. Returns the verdict.
ActivityVerdict RecordVpnActivity(ServiceState& state, uint64_t now_tick,
                                  uint64_t freshness_ms = kReportFreshnessMs);

// Decodes a ReportOpenVpnActivity body and stores it as the latest report, stamped `now_tick`.
// False, with nothing stored, when the body cannot be decoded.
bool StoreOpenVpnActivityReport(ServiceState& state, std::span<const uint8_t> payload,
                                uint64_t now_tick);

}  // namespace lumet::service
