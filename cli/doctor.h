// `lumetctl doctor`: the outcome of each check, how the report reads, and the pure pieces the
// checks need (which log lines may be shown, where a service's program lives, what the activity
// record says). Pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumetctl {

struct CheckResult {
    enum class Outcome {
        Pass,
        Fail,
        Skip,  // could not be checked because an earlier check failed; counts as failed
        Info,  // shown for information only (log excerpts); never fails the run
    };
    std::string name;  // "service running"
    Outcome outcome = Outcome::Fail;
    std::string detail;              // what was found
    std::string fix;                 // how to mend it (Fail and Skip)
    std::vector<std::string> lines;  // further lines shown indented (log excerpts)
};

// True when no check failed or was skipped.
bool AllPassed(const std::vector<CheckResult>& results);

// "[pass] name: detail", with "fix: ..." and further lines indented below; a closing summary.
std::string FormatDoctorText(const std::vector<CheckResult>& results);
// One JSON array of {"check","outcome","detail","fix","lines"}.
std::string FormatDoctorJson(const std::vector<CheckResult>& results);

// The last `count` warning and error lines of a component log, oldest first. Only complete lines
// in the log's own layout ("<UTC time> [<component>] WARN|ERR  <message>") are taken, so nothing
// else a file may hold is ever shown; control characters become "?" and long lines are cut.
// `starts_mid_line`: the text is the tail of a longer file, so its first line is partial.
std::vector<std::string> LastProblemLines(std::string_view text, size_t count,
                                          bool starts_mid_line);

// The folder of the program a service command line starts ("\"C:\\a b\\x.exe\" -service" and
// "C:\\a\\x.exe -service" give "C:\\a b" and "C:\\a"); empty when there is none.
std::wstring ProgramFolderOfCommandLine(std::wstring_view command_line);

// The activity record as words: "inactive (no VPN evidence)", "active (wgAdapterPresent,
// wgTunnelPresent)".
std::string ActivityText(uint32_t activity, uint32_t reasons);

// SERVICE_STOPPED (1) ... SERVICE_PAUSED (7) as "STOPPED" ... "PAUSED".
std::string ServiceStateName(uint32_t state);

}  // namespace lumetctl
