// `lumetctl doctor` on Windows: runs every check in order (plugin, agent, service, WireGuard,
// OpenVPN, activity record, logs) and returns their outcomes. Reads only: it starts nothing but
// what the plugin itself starts (the agent), and shows nothing from the logs but their warning
// and error lines.
#pragma once

#include <string>
#include <vector>

#include "cli/doctor.h"

namespace lumetctl {

// `plugin_path`: the full path of the plugin DLL to load.
std::vector<CheckResult> RunDoctor(const std::wstring& plugin_path);

}  // namespace lumetctl
