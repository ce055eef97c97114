// Helpers for end-to-end tests of OpenVPN staging and of the VPN activity record: the request and
// reply bodies of the staging and activity messages, the activity values in the registry, and
// files on disk.
//
// Every wait takes a limit.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/messages.h"

namespace lumet::test {

std::vector<uint8_t> StageRequestBody(uint32_t attempt, const std::string& profile);
std::vector<uint8_t> DeleteRequestBody(const std::string& staged_path);
std::vector<uint8_t> ActivityReportBody(bool active, uint32_t attempt, uint32_t openvpn_pid);

struct StageReplyFields {
    bool readable = false;  // the status, and with Ok every field, could be read
    common::Status status = common::Status::Failed;
    std::string staged_path;
    uint16_t stage_status = 0xFFFF;
};
StageReplyFields ParseStageReply(std::span<const uint8_t> body);

struct DeleteReplyFields {
    bool readable = false;
    common::Status status = common::Status::Failed;
    bool deleted = false;
};
DeleteReplyFields ParseDeleteReply(std::span<const uint8_t> body);

// HKLM "SOFTWARE\Orrinfield VPN": "Activity" and "ActivityReasons".
struct ActivityValues {
    std::optional<DWORD> state;
    std::optional<DWORD> reasons;
    friend bool operator==(const ActivityValues&, const ActivityValues&) = default;
};
ActivityValues ReadActivityValues();
void DeleteActivityValues();
// Polls until the registry holds `expected`, for up to `timeout_ms`.
bool WaitForActivityValues(const ActivityValues& expected, DWORD timeout_ms);

// Polls `done` every 50 ms for up to `timeout_ms`.
bool WaitUntil(const std::function<bool()>& done, DWORD timeout_ms);

std::string ReadWholeFile(const std::wstring& path);
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
// Names of the files (not directories) in `directory`, sorted.
std::vector<std::wstring> FileNamesIn(const std::wstring& directory);

// How often `needle` occurs in `text`.
size_t CountOccurrences(const std::string& text, const std::string& needle);

}  // namespace lumet::test
