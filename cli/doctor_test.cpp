#include "cli/doctor.h"

#include <gtest/gtest.h>

namespace lumetctl {
namespace {

using Outcome = CheckResult::Outcome;

TEST(DoctorTest, OnlyWellFormedWarningAndErrorLinesAreShown) {
    const std::string log =
        "2026-03-01T08:15:00.001Z [service] INFO service started\r\n"
        "2026-03-01T08:15:01.002Z [service] WARN wireguard: config rejected (code=4)\r\n"
        "not a log line WARN secret=hunter2\r\n"
        "2026-03-01T08:15:02.003Z [service] ERR  CreateNamedPipe failed (win32=5)\r\n"
        "2026-03-01T08:15:02.003Z [service] ERROR looks alike but is no level word\r\n"
        "2026-03-01T08:15:03.004Z [agent] WARN tab\there\r\n"
        "2026-03-01T08:15:04.005Z [service] ERR  still being writ";
    const std::vector<std::string> lines = LastProblemLines(log, 10, false);
    const std::vector<std::string> expected = {
        "2026-03-01T08:15:01.002Z [service] WARN wireguard: config rejected (code=4)",
        "2026-03-01T08:15:02.003Z [service] ERR  CreateNamedPipe failed (win32=5)",
        "2026-03-01T08:15:03.004Z [agent] WARN tab?here",
    };
    EXPECT_EQ(lines, expected);
    // Only the last ones, oldest first.
    EXPECT_EQ(LastProblemLines(log, 1, false),
              std::vector<std::string>{"2026-03-01T08:15:03.004Z [agent] WARN tab?here"});
    // The first line of a tail is partial and is never shown, even when it looks whole.
    EXPECT_EQ(LastProblemLines(log.substr(log.find("2026-03-01T08:15:01")), 10, true).size(), 2u);
    EXPECT_TRUE(LastProblemLines("", 5, true).empty());
    // Long lines are cut.
    const std::string long_line =
        "2026-03-01T08:15:01.002Z [plugin] WARN " + std::string(1000, 'x') + "\n";
    const auto cut = LastProblemLines(long_line, 5, false);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].size(), 303u);
}

TEST(DoctorTest, ProgramFolderOfServiceCommandLines) {
    struct Case {
        std::wstring command_line;
        std::wstring folder;
    };
    const Case cases[] = {
        {L"\"C:\\Program Files\\Orrinfield\\OrrinfieldVPNService.exe\"",
         L"C:\\Program Files\\Orrinfield"},
        {L"\"Z:\\b\\bin\\svc.exe\" -service", L"Z:\\b\\bin"},
        {L"C:\\x\\svc.exe --console", L"C:\\x"},
        // Wine's installer leaves a path with blanks unquoted.
        {L"C:\\Program Files\\Orrinfield VPN\\OrrinfieldVPNService.exe",
         L"C:\\Program Files\\Orrinfield VPN"},
        {L"C:\\Program Files\\O\\Svc.EXE -service", L"C:\\Program Files\\O"},
        {L"  C:/x/svc.exe", L"C:/x"},
        {L"\"C:\\unterminated\\svc.exe", L""},
        {L"svc.exe", L""},
        {L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ProgramFolderOfCommandLine(c.command_line), c.folder);
    }
}

TEST(DoctorTest, ActivityAndServiceStateWords) {
    EXPECT_EQ(ActivityText(0, 0), "inactive (no VPN evidence)");
    EXPECT_EQ(ActivityText(1, 0x3), "active (wgAdapterPresent, wgTunnelPresent)");
    EXPECT_EQ(ActivityText(2, 0x180), "unknown (reportNotConfirmed, reportUnverifiable)");
    EXPECT_EQ(ActivityText(7, 0x1000), "value 7 (bit 12)");
    EXPECT_EQ(ServiceStateName(1), "STOPPED");
    EXPECT_EQ(ServiceStateName(4), "RUNNING");
    EXPECT_EQ(ServiceStateName(9), "state 9");
}

TEST(DoctorTest, ReportAndVerdict) {
    std::vector<CheckResult> results(3);
    results[0] = {"plugin loads", Outcome::Pass, "C:\\p.dll", "", {}};
    results[1] = {"service running",
                  Outcome::Fail,
                  "OrrinfieldVPNService is STOPPED",
                  "sc start OrrinfieldVPNService",
                  {}};
    results[2] = {"agent.log", Outcome::Info, "last warnings and errors:", "", {"line \"1\""}};
    EXPECT_EQ(FormatDoctorText(results),
              "[pass] plugin loads: C:\\p.dll\n"
              "[FAIL] service running: OrrinfieldVPNService is STOPPED\n"
              "       fix: sc start OrrinfieldVPNService\n"
              "[info] agent.log: last warnings and errors:\n"
              "       line \"1\"\n"
              "1 of 2 checks did not pass.\n");
    EXPECT_FALSE(AllPassed(results));
    EXPECT_EQ(FormatDoctorJson({results[2]}),
              "[{\"check\":\"agent.log\",\"outcome\":\"info\",\"detail\":\"last warnings and "
              "errors:\",\"fix\":\"\",\"lines\":[\"line \\\"1\\\"\"]}]");

    // Information never fails the run; a skipped check does.
    results[1].outcome = Outcome::Pass;
    EXPECT_TRUE(AllPassed(results));
    EXPECT_EQ(FormatDoctorText(results).substr(
                  FormatDoctorText(results).rfind('\n', FormatDoctorText(results).size() - 2) + 1),
              "All 2 checks passed.\n");
    results[1].outcome = Outcome::Skip;
    EXPECT_FALSE(AllPassed(results));
}

}  // namespace
}  // namespace lumetctl
