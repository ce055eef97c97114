// TEST-ONLY hooks into the process-wide log state. Product code never includes this header.
//
// The log state lives for the whole process, so tests in one executable would otherwise see
// whatever an earlier test left behind (a file already open, another name).
#pragma once

#include <functional>
#include <string_view>

namespace lumet::common::log_testing {

// Closes the log file if one is open and sets the component name to `name` without opening a
// file: the state of a freshly started process (whose name is "lumet"), or of one whose name was
// set but whose file could not be opened yet. Takes the log mutex; safe while other threads log.
void ResetLogState(std::wstring_view name = L"lumet");

// From now on every line, exactly as formatted (with its "\r\n"), is also handed to `observer`,
// after the other outputs and still under the log mutex: the observer must not log. An empty
// function removes it. Lets a test check what was logged without capturing standard error.
using LogObserver = std::function<void(std::wstring_view line)>;
void SetLogObserver(LogObserver observer);

}  // namespace lumet::common::log_testing
