#include "openvpn_harness.h"

#include <algorithm>

#include "common/payload.h"
#include "common/win_handle.h"

namespace lumet::test {

namespace {

constexpr wchar_t kActivityKey[] = L"SOFTWARE\\Orrinfield VPN";

std::optional<DWORD> ReadDword(const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kActivityKey, name, RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::vector<uint8_t> StageRequestBody(uint32_t attempt, const std::string& profile) {
    common::PayloadWriter writer;
    writer.WriteU32(attempt);
    writer.WriteString(profile);
    return writer.Take();
}

std::vector<uint8_t> DeleteRequestBody(const std::string& staged_path) {
    common::PayloadWriter writer;
    writer.WriteString(staged_path);
    return writer.Take();
}

std::vector<uint8_t> ActivityReportBody(bool active, uint32_t attempt, uint32_t openvpn_pid) {
    common::PayloadWriter writer;
    common::Write(writer, common::OpenVpnActivityReport{active, attempt, openvpn_pid});
    return writer.Take();
}

StageReplyFields ParseStageReply(std::span<const uint8_t> body) {
    StageReplyFields fields;
    common::PayloadReader reader(body);
    if (!common::ReadStatus(reader, &fields.status)) {
        return fields;
    }
    fields.readable =
        fields.status != common::Status::Ok ||
        (reader.ReadString(&fields.staged_path) && reader.ReadU16(&fields.stage_status));
    fields.readable = fields.readable && reader.remaining() == 0;
    return fields;
}

DeleteReplyFields ParseDeleteReply(std::span<const uint8_t> body) {
    DeleteReplyFields fields;
    common::PayloadReader reader(body);
    if (!common::ReadStatus(reader, &fields.status)) {
        return fields;
    }
    fields.readable = fields.status != common::Status::Ok || reader.ReadBool(&fields.deleted);
    fields.readable = fields.readable && reader.remaining() == 0;
    return fields;
}

ActivityValues ReadActivityValues() {
    return ActivityValues{ReadDword(L"Activity"), ReadDword(L"ActivityReasons")};
}

void DeleteActivityValues() {
    common::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kActivityKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                      key.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(key.get(), L"Activity");
        RegDeleteValueW(key.get(), L"ActivityReasons");
    }
}

bool WaitForActivityValues(const ActivityValues& expected, DWORD timeout_ms) {
    return WaitUntil([&expected] { return ReadActivityValues() == expected; }, timeout_ms);
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(50);
    }
}

std::string ReadWholeFile(const std::wstring& path) {
    common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (file && ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    return text;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

std::vector<std::wstring> FileNamesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data = {};
    HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                names.emplace_back(data.cFileName);
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    std::sort(names.begin(), names.end());
    return names;
}

size_t CountOccurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

}  // namespace lumet::test
