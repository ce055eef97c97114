#include "service/activity.h"

#include <gtest/gtest.h>

#include <string>

namespace lumet::service {
namespace {

using PC = ProcessCheck;
using AS = ActivityState;

ActivitySnapshot ActiveReport(PC check, bool fresh) {
    ActivitySnapshot s;
    s.report_present = true;
    s.reported_active = true;
    s.report_fresh = fresh;
    s.process_check = check;
    return s;
}

TEST(DecideActivity, VerdictsForEachKindOfEvidence) {
    struct Case {
        const char* what;
        ActivitySnapshot snapshot;
        AS state;
        bool wireguard;
        bool openvpn;
        uint16_t reasons;
    };
    ActivitySnapshot tunnel_only;
    tunnel_only.wg_tunnel_present = true;
    ActivitySnapshot tunnel_and_adapter = tunnel_only;
    tunnel_and_adapter.wg_adapter_present = true;
    ActivitySnapshot adapter_only;
    adapter_only.wg_adapter_present = true;
    ActivitySnapshot staged;
    staged.staged_profiles = 1;
    ActivitySnapshot no_scm;
    no_scm.scm_unavailable = true;
    ActivitySnapshot no_scm_but_tunnel = tunnel_and_adapter;
    no_scm_but_tunnel.scm_unavailable = true;
    ActivitySnapshot scan_failed;
    scan_failed.staging_scan_failed = true;
    ActivitySnapshot inactive_report_with_openvpn;
    inactive_report_with_openvpn.report_present = true;
    inactive_report_with_openvpn.process_check = PC::ProcessIsOpenVpn;
    ActivitySnapshot inactive_report_gone;
    inactive_report_gone.report_present = true;
    inactive_report_gone.process_check = PC::ProcessGone;
    ActivitySnapshot inactive_report_unexaminable = inactive_report_gone;
    inactive_report_unexaminable.process_check = PC::ProcessCheckFailed;
    ActivitySnapshot gone_but_staged = ActiveReport(PC::ProcessGone, true);
    gone_but_staged.staged_profiles = 2;
    ActivitySnapshot no_scm_fresh_report = ActiveReport(PC::ProcessNone, true);
    no_scm_fresh_report.scm_unavailable = true;
    ActivitySnapshot no_scm_staged = staged;
    no_scm_staged.scm_unavailable = true;
    ActivitySnapshot scan_failed_openvpn_alive = ActiveReport(PC::ProcessIsOpenVpn, false);
    scan_failed_openvpn_alive.staging_scan_failed = true;
    // A stale "not active" flag with a fresh tick: only an active report is taken on trust.
    ActivitySnapshot fresh_inactive_report;
    fresh_inactive_report.report_present = true;
    fresh_inactive_report.report_fresh = true;
    ActivitySnapshot everything = ActiveReport(PC::ProcessIsOpenVpn, false);
    everything.wg_tunnel_present = true;
    everything.wg_adapter_present = true;
    everything.staged_profiles = 1;
    everything.staging_scan_failed = true;

    const Case cases[] = {
        {"nothing at all", {}, AS::ActivityInactive, false, false, 0x000},
        {"tunnel service without adapter", tunnel_only, AS::ActivityActive, true, false, 0x002},
        {"tunnel service and adapter", tunnel_and_adapter, AS::ActivityActive, true, false, 0x003},
        {"adapter alone", adapter_only, AS::ActivityActive, true, false, 0x001},
        {"fresh report, pid 0", ActiveReport(PC::ProcessNone, true), AS::ActivityActive, false,
         true, 0x020},
        {"expired report, pid 0", ActiveReport(PC::ProcessNone, false), AS::ActivityInactive, false,
         false, 0x080},
        {"fresh report, openvpn.exe", ActiveReport(PC::ProcessIsOpenVpn, true), AS::ActivityActive,
         false, true, 0x040},
        {"expired report, openvpn.exe", ActiveReport(PC::ProcessIsOpenVpn, false),
         AS::ActivityActive, false, true, 0x040},
        {"fresh report, process exited", ActiveReport(PC::ProcessGone, true), AS::ActivityInactive,
         false, false, 0x080},
        {"expired report, process exited", ActiveReport(PC::ProcessGone, false),
         AS::ActivityInactive, false, false, 0x080},
        {"fresh report, process not examinable", ActiveReport(PC::ProcessCheckFailed, true),
         AS::ActivityActive, false, true, 0x020},
        {"expired report, process not examinable", ActiveReport(PC::ProcessCheckFailed, false),
         AS::ActivityUnknown, false, false, 0x100},
        {"one staged profile", staged, AS::ActivityActive, false, true, 0x008},
        {"no service manager", no_scm, AS::ActivityUnknown, false, false, 0x004},
        // WireGuard evidence settles the question the service manager could not answer.
        {"no service manager but a tunnel", no_scm_but_tunnel, AS::ActivityActive, true, false,
         0x003},
        {"staging scan failed", scan_failed, AS::ActivityUnknown, false, false, 0x010},
        // An inactive report adds nothing, but the process it names still counts.
        {"inactive report, openvpn.exe alive", inactive_report_with_openvpn, AS::ActivityActive,
         false, true, 0x040},
        {"inactive report, process exited", inactive_report_gone, AS::ActivityInactive, false,
         false, 0x000},
        {"inactive report, process not examinable", inactive_report_unexaminable,
         AS::ActivityInactive, false, false, 0x000},
        {"contradicted report but a staged profile", gone_but_staged, AS::ActivityActive, false,
         true, 0x088},
        {"no service manager, fresh report", no_scm_fresh_report, AS::ActivityActive, false, true,
         0x024},
        {"no service manager, staged profile", no_scm_staged, AS::ActivityActive, false, true,
         0x00C},
        {"scan failed, openvpn.exe alive", scan_failed_openvpn_alive, AS::ActivityActive, false,
         true, 0x050},
        {"fresh inactive report, pid 0", fresh_inactive_report, AS::ActivityInactive, false, false,
         0x000},
        {"every kind of evidence", everything, AS::ActivityActive, true, true, 0x05B},
    };
    for (const Case& c : cases) {
        const ActivityVerdict v = DecideActivity(c.snapshot);
        EXPECT_EQ(v.state, c.state) << c.what;
        EXPECT_EQ(v.wireguard, c.wireguard) << c.what;
        EXPECT_EQ(v.openvpn, c.openvpn) << c.what;
        EXPECT_EQ(v.reasons, c.reasons) << c.what;
    }
}

TEST(DecideActivity, UncertaintyNeverOverridesPositiveEvidence) {
    ActivitySnapshot s = ActiveReport(PC::ProcessCheckFailed, false);
    s.scm_unavailable = true;
    s.staging_scan_failed = true;
    EXPECT_EQ(DecideActivity(s).state, AS::ActivityUnknown);
    EXPECT_EQ(DecideActivity(s).reasons, 0x114);
    s.staged_profiles = 1;
    EXPECT_EQ(DecideActivity(s).state, AS::ActivityActive);
    EXPECT_EQ(DecideActivity(s).reasons, 0x11C);
}

TEST(ReportFreshness, BoundaryIsInclusiveAndClockSkewCountsAsNew) {
    EXPECT_TRUE(IsReportFresh(1000, 1000 + kReportFreshnessMs, kReportFreshnessMs));
    EXPECT_FALSE(IsReportFresh(1000, 1001 + kReportFreshnessMs, kReportFreshnessMs));
    EXPECT_TRUE(IsReportFresh(5000, 4000, kReportFreshnessMs));
    EXPECT_FALSE(IsReportFresh(0, UINT64_MAX, kReportFreshnessMs));
}

TEST(ActivityRecordFormat, PackedValueAndLogLine) {
    ActivityVerdict v;
    v.state = AS::ActivityActive;
    v.wireguard = true;
    v.reasons = 0x003;
    EXPECT_EQ(PackActivity(v), 0x301u);
    EXPECT_EQ(FormatActivityLogLine(v), "vpn activity -> 1 (wg=1 ovpn=0 reasons=0x00000003)");

    v = {};
    v.state = AS::ActivityUnknown;
    v.reasons = 0x1FF;
    EXPECT_EQ(PackActivity(v), 0x1FF02u);
    EXPECT_EQ(FormatActivityLogLine(v), "vpn activity -> 2 (wg=0 ovpn=0 reasons=0x000001FF)");

    // The first evaluation must always differ from "nothing recorded yet".
    v.reasons = 0xFFFF;
    EXPECT_NE(PackActivity(v), 0xFFFFFFFFu);
    EXPECT_EQ(PackActivity(ActivityVerdict{}), 0u);
}

}  // namespace
}  // namespace lumet::service
