// TEST-ONLY hooks into the process-wide log state. Product code never includes this header.
//
// The log state lives for the whole process, so tests in one executable would otherwise see
// whatever an earlier test left behind (a file already open, another name).
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace lumet::common::log_testing {

// Closes the log file if one is open and sets the component name to `name` without opening a
// file: the state of a freshly started process (whose name is "lumet"), or of one whose name was
// set but whose file could not be opened yet. Takes the log mutex; safe while other threads log.
// Also forgets the repeats counted by LogRepeatable.
void ResetLogState(std::wstring_view name = L"lumet");

// From now on every line, exactly as formatted (with its "\r\n"), is also handed to `observer`,
// after the other outputs and still under the log mutex: the observer must not log. An empty
// function removes it. Lets a test check what was logged without capturing standard error.
// Setting or removing an observer also forgets the repeats counted by LogRepeatable, so that
// each capture starts fresh.
using LogObserver = std::function<void(std::wstring_view line)>;
void SetLogObserver(LogObserver observer);

// Rotates the log file at `bytes` instead of kLogFileRotateBytes (0 restores the default).
void SetRotateBytes(uint64_t bytes);

// Time source of LogRepeatable in milliseconds; empty restores the system's tick count.
void SetRepeatClock(std::function<uint64_t()> now_ms);

}  // namespace lumet::common::log_testing
