#include "openvpn_harness.h"

#include <ws2tcpip.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "common/payload.h"
#include "common/win_handle.h"
#include "service_harness.h"
#include "test_util.h"

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

size_t CountOccurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

// ---- Simulated OpenVPN installation ----

namespace {

constexpr wchar_t kSimKey[] = L"SOFTWARE\\OrrinfieldVPNTest\\OpenVpnSim";
constexpr DWORD kSimServiceWaitMs = 10000;

void StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

}  // namespace

OpenVpnSimSwitches::OpenVpnSimSwitches() {
    Clear();
}
OpenVpnSimSwitches::~OpenVpnSimSwitches() {
    Clear();
}

bool OpenVpnSimSwitches::Set(const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSimKey, name, REG_DWORD, &value, sizeof(value)) ==
           ERROR_SUCCESS;
}

bool OpenVpnSimSwitches::Set(const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSimKey, name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

std::optional<DWORD> OpenVpnSimSwitches::ReadDword(const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSimKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::wstring> OpenVpnSimSwitches::ReadString(const wchar_t* name) {
    wchar_t buffer[2048] = {};
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSimKey, name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(buffer);
}

void OpenVpnSimSwitches::Clear() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSimKey);
    // The parent only goes when nothing else lives in it.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OrrinfieldVPNTest");
}

std::vector<DWORD> OpenVpnProcessIds() {
    std::vector<DWORD> ids;
    common::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"openvpn.exe") == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    return ids;
}

int EndOpenVpnProcesses(DWORD timeout_ms) {
    int ended = 0;
    for (DWORD pid : OpenVpnProcessIds()) {
        common::UniqueKernelHandle process(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        if (process && TerminateProcess(process.get(), 1)) {
            ++ended;
            WaitForSingleObject(process.get(), timeout_ms);
        }
    }
    return ended;
}

std::wstring BinFilePath(const wchar_t* file) {
    const std::string dir = ExecutableDir();
    return std::wstring(dir.begin(), dir.end()) + L"\\" + file;
}

namespace {
constexpr wchar_t kOpenVpnKey[] = L"SOFTWARE\\OpenVPN";
}  // namespace

OpenVpnExePathSetting::OpenVpnExePathSetting(const std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kOpenVpnKey, L"exe_path",
                     RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, buffer,
                     &size) == ERROR_SUCCESS) {
        saved_ = std::wstring(buffer);
    }
    const std::wstring value = path.empty() ? BinFilePath(L"openvpn.exe") : path;
    common::UniqueRegKey key;
    ok_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOpenVpnKey, 0, nullptr, 0,
                          KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(),
                          nullptr) == ERROR_SUCCESS &&
          RegSetValueExW(key.get(), L"exe_path", 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

OpenVpnExePathSetting::~OpenVpnExePathSetting() {
    common::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOpenVpnKey, 0,
                      KEY_SET_VALUE | KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS) {
        return;
    }
    if (saved_) {
        RegSetValueExW(key.get(), L"exe_path", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(saved_->c_str()),
                       static_cast<DWORD>((saved_->size() + 1) * sizeof(wchar_t)));
        return;
    }
    RegDeleteValueW(key.get(), L"exe_path");
    DWORD values = 0;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        values == 0 && subkeys == 0) {
        key.reset();
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kOpenVpnKey, KEY_WOW64_64KEY, 0);
    }
}

bool InteractiveServiceSim::Install() {
    Remove();
    const std::wstring command = L"\"" + BinFilePath(L"openvpnserv_sim.exe") + L"\" -service";
    return CreateTestService(kServiceName, L"OpenVPN Interactive Service (simulator)", command,
                             /*start=*/true, kSimServiceWaitMs) &&
           WaitNamedPipeW(kPipeName, kSimServiceWaitMs);
}

void InteractiveServiceSim::Remove() {
    RemoveServiceByName(kServiceName, kSimServiceWaitMs);
}

void InteractiveServiceSim::Stop() {
    if (const common::UniqueServiceHandle service =
            OpenServiceByName(kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS)) {
        StopServiceAndProcess(service.get(), kSimServiceWaitMs);
    }
}

DWORD InteractiveServiceSim::ProcessId() const {
    DWORD pid = 0;
    return ScmStateByName(kServiceName, &pid) == SERVICE_RUNNING ? pid : 0;
}

std::wstring StartupMessage(const std::wstring& directory, const std::wstring& options,
                            const std::wstring& std_input) {
    std::wstring message = directory;
    message.push_back(L'\0');
    message += options;
    message.push_back(L'\0');
    message += std_input;
    message.push_back(L'\0');
    return message;
}

InteractiveExchange ExchangeWithInteractiveService(const std::wstring& message, DWORD limit_ms,
                                                   const wchar_t* pipe_name) {
    InteractiveExchange exchange;
    common::UniqueHandle pipe(CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!pipe) {
        return exchange;
    }
    exchange.opened = true;
    GetNamedPipeServerProcessId(pipe.get(), &exchange.server_pid);
    DWORD mode = PIPE_READMODE_MESSAGE;
    common::UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr) || !event) {
        return exchange;
    }
    // One overlapped operation, cancelled when it does not finish within the limit.
    const auto finish = [&](BOOL started, OVERLAPPED& ov, DWORD& bytes) -> DWORD {
        bytes = 0;
        if (!started) {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                if (WaitForSingleObject(event.get(), limit_ms) != WAIT_OBJECT_0) {
                    CancelIoEx(pipe.get(), &ov);
                    GetOverlappedResult(pipe.get(), &ov, &bytes, TRUE);
                    return WAIT_TIMEOUT;
                }
            } else if (error != ERROR_MORE_DATA) {
                return error;
            }
        }
        return GetOverlappedResult(pipe.get(), &ov, &bytes, FALSE) ? NO_ERROR : GetLastError();
    };
    OVERLAPPED ov = {};
    ov.hEvent = event.get();
    DWORD bytes = 0;
    const DWORD size = static_cast<DWORD>(message.size() * sizeof(wchar_t));
    exchange.written =
        finish(WriteFile(pipe.get(), message.data(), size, nullptr, &ov), ov, bytes) == NO_ERROR &&
        bytes == size;
    if (!exchange.written) {
        return exchange;
    }
    std::vector<wchar_t> reply;
    for (;;) {
        wchar_t chunk[1024];
        ov = {};
        ov.hEvent = event.get();
        ResetEvent(event.get());
        const DWORD result =
            finish(ReadFile(pipe.get(), chunk, sizeof(chunk), nullptr, &ov), ov, bytes);
        if (result != NO_ERROR && result != ERROR_MORE_DATA) {
            return exchange;
        }
        reply.insert(reply.end(), chunk, chunk + bytes / sizeof(wchar_t));
        if (result == NO_ERROR) {
            break;
        }
    }
    exchange.answered = true;
    exchange.reply.assign(reply.begin(), reply.end());
    return exchange;
}

InteractiveReply ParseInteractiveReply(const std::wstring& reply) {
    InteractiveReply parsed;
    // "0x" + 8 hex digits + "\n"; false when `at` does not hold that.
    const auto hex_line = [&reply](size_t at, uint32_t& value) {
        if (reply.size() < at + 11 || reply.compare(at, 2, L"0x") != 0 || reply[at + 10] != L'\n') {
            return false;
        }
        value = 0;
        for (size_t i = at + 2; i < at + 10; ++i) {
            const wchar_t c = reply[i];
            const int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                              : c >= L'a' && c <= L'f' ? c - L'a' + 10
                              : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                                       : -1;
            if (digit < 0) {
                return false;
            }
            value = value << 4 | static_cast<uint32_t>(digit);
        }
        return true;
    };
    if (!hex_line(0, parsed.code)) {
        return parsed;
    }
    parsed.message = reply.substr(11);
    if (parsed.code == 0) {
        uint32_t pid = 0;
        if (!hex_line(11, pid)) {
            return parsed;
        }
        parsed.pid = pid;
        parsed.message = reply.substr(22);
    }
    parsed.well_formed = true;
    return parsed;
}

uint16_t FreeLoopbackPort() {
    StartWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    uint16_t port = 0;
    if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (s != INVALID_SOCKET) {
        closesocket(s);
    }
    return port;
}

bool ManagementTestClient::Connect(uint16_t port, DWORD limit_ms) {
    StartWinsock();
    Close();
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return WaitUntil(
        [&] {
            socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            if (socket_ != INVALID_SOCKET &&
                connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
                return true;
            }
            Close();
            return false;
        },
        limit_ms);
}

bool ManagementTestClient::Send(const std::string& text) {
    size_t sent = 0;
    while (socket_ != INVALID_SOCKET && sent < text.size()) {
        const int n = send(socket_, text.data() + sent, static_cast<int>(text.size() - sent), 0);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return socket_ != INVALID_SOCKET;
}

bool ManagementTestClient::ReceiveSome(DWORD limit_ms) {
    if (socket_ == INVALID_SOCKET || closed_by_peer_) {
        return false;
    }
    const DWORD timeout = std::max<DWORD>(limit_ms, 1);
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    char chunk[4096];
    const int n = recv(socket_, chunk, sizeof(chunk), 0);
    if (n > 0) {
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }
    if (n == 0 || WSAGetLastError() != WSAETIMEDOUT) {
        closed_by_peer_ = true;
    }
    return false;
}

std::string ManagementTestClient::ReadUntil(const std::string& needle, DWORD limit_ms,
                                            bool* found) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    for (;;) {
        const size_t at = buffer_.find(needle);
        if (at != std::string::npos) {
            std::string text = buffer_.substr(0, at + needle.size());
            buffer_.erase(0, at + needle.size());
            if (found != nullptr) {
                *found = true;
            }
            return text;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || (!ReceiveSome(static_cast<DWORD>(deadline - now)) &&
                                (closed_by_peer_ || GetTickCount64() >= deadline))) {
            if (buffer_.find(needle) != std::string::npos) {
                continue;
            }
            if (found != nullptr) {
                *found = false;
            }
            return std::exchange(buffer_, std::string());
        }
    }
}

std::string ManagementTestClient::ReadFor(DWORD limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    for (ULONGLONG now = GetTickCount64(); now < deadline && !closed_by_peer_;
         now = GetTickCount64()) {
        ReceiveSome(static_cast<DWORD>(deadline - now));
    }
    return std::exchange(buffer_, std::string());
}

bool ManagementTestClient::WaitClosed(DWORD limit_ms) {
    ReadFor(limit_ms);
    return closed_by_peer_;
}

void ManagementTestClient::Close() {
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
    buffer_.clear();
    closed_by_peer_ = false;
}

}  // namespace lumet::test
