// Helpers for end-to-end tests of OpenVPN staging and of the VPN activity record: the request and
// reply bodies of the staging and activity messages, the activity values in the registry, and
// files on disk. Also the simulated OpenVPN installation (sim/openvpn): the interactive service
// under the service manager, its switches and records, a raw client of its startup pipe and a raw
// client of openvpn.exe's management port.
//
// Every wait takes a limit.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/messages.h"
#include "win_test_util.h"

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

std::string ReadWholeFile(const std::wstring& path);
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
// How often `needle` occurs in `text`.
size_t CountOccurrences(const std::string& text, const std::string& needle);

// ---- Simulated OpenVPN installation ----

// The simulators' switches and records under HKLM\SOFTWARE\OrrinfieldVPNTest\OpenVpnSim
// (sim/openvpn/sim_switches.h), cleared when the owner is made and when it goes away.
class OpenVpnSimSwitches {
  public:
    OpenVpnSimSwitches();
    ~OpenVpnSimSwitches();
    OpenVpnSimSwitches(const OpenVpnSimSwitches&) = delete;
    OpenVpnSimSwitches& operator=(const OpenVpnSimSwitches&) = delete;

    bool Set(const wchar_t* name, DWORD value);
    bool Set(const wchar_t* name, const std::wstring& value);
    static std::optional<DWORD> ReadDword(const wchar_t* name);
    static std::optional<std::wstring> ReadString(const wchar_t* name);
    static void Clear();
};

// The interactive-service simulator registered as "OpenVPNServiceInteractive" (own process,
// demand start, "<bin>\openvpnserv_sim.exe -service"). Install first removes a leftover of an
// aborted run; the destructor removes the service again (stop, then terminate a process that
// outlives the stop, then delete). Waits are bounded (10 s each).
class InteractiveServiceSim {
  public:
    static constexpr wchar_t kServiceName[] = L"OpenVPNServiceInteractive";
    static constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\openvpn\\service";

    InteractiveServiceSim() = default;
    ~InteractiveServiceSim() { Remove(); }
    InteractiveServiceSim(const InteractiveServiceSim&) = delete;
    InteractiveServiceSim& operator=(const InteractiveServiceSim&) = delete;

    // Registers and starts the service; true once it runs and its pipe exists.
    bool Install();
    void Remove();
    // Stops the service (as an administrator would) and leaves it registered.
    void Stop();
    // The service's process id while it runs, else 0.
    DWORD ProcessId() const;
};

// HKLM "SOFTWARE\OpenVPN" "exe_path" (64-bit view) set to `path` (by default the simulator's
// openvpn.exe in the bin folder), so that OpenVPN discovery finds it. The earlier value comes
// back on destruction; a key this object created goes again when nothing else is left in it.
class OpenVpnExePathSetting {
  public:
    explicit OpenVpnExePathSetting(const std::wstring& path = std::wstring());
    ~OpenVpnExePathSetting();
    OpenVpnExePathSetting(const OpenVpnExePathSetting&) = delete;
    OpenVpnExePathSetting& operator=(const OpenVpnExePathSetting&) = delete;

    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
    std::optional<std::wstring> saved_;
};

// Ends every openvpn.exe of this prefix (the simulator's, started by the interactive service)
// and waits up to `timeout_ms` for each to be gone. Returns how many were ended.
int EndOpenVpnProcesses(DWORD timeout_ms = 5000);
// Process ids of the running openvpn.exe processes.
std::vector<DWORD> OpenVpnProcessIds();

// "<bin>\<file>", the folder where the build places every program.
std::wstring BinFilePath(const wchar_t* file);

// One exchange with the interactive service's pipe, as a client: opens `pipe`, switches it to
// message mode, writes `message` (UTF-16 units, NULs included) in one write and reads one reply
// message (bounded by `limit_ms` per step).
struct InteractiveExchange {
    bool opened = false;
    bool written = false;
    bool answered = false;
    std::wstring reply;
    DWORD server_pid = 0;
};
InteractiveExchange ExchangeWithInteractiveService(
    const std::wstring& message, DWORD limit_ms,
    const wchar_t* pipe = InteractiveServiceSim::kPipeName);

// working directory NUL options NUL standard input NUL.
std::wstring StartupMessage(const std::wstring& directory, const std::wstring& options,
                            const std::wstring& std_input);

// A reply taken apart: "0x<8 hex>\n" then the rest; with code 0 the rest is "0x<8 hex>\n..."
// holding the process id.
struct InteractiveReply {
    bool well_formed = false;
    uint32_t code = 0xFFFFFFFF;
    DWORD pid = 0;
    std::wstring message;
};
InteractiveReply ParseInteractiveReply(const std::wstring& reply);

// A loopback port nobody listens on right now.
uint16_t FreeLoopbackPort();

// A raw TCP client of openvpn.exe's management interface.
class ManagementTestClient {
  public:
    ManagementTestClient() = default;
    ~ManagementTestClient() { Close(); }
    ManagementTestClient(const ManagementTestClient&) = delete;
    ManagementTestClient& operator=(const ManagementTestClient&) = delete;

    // Connects to 127.0.0.1:port, retrying until `limit_ms` pass (the listener may not be up).
    bool Connect(uint16_t port, DWORD limit_ms);
    bool Send(const std::string& text);
    // Reads until the received text holds `needle` (returns everything read up to and including
    // it, leaving the rest buffered), or until `limit_ms` pass or the peer closes (returns what
    // was read, and `found` is false).
    std::string ReadUntil(const std::string& needle, DWORD limit_ms, bool* found = nullptr);
    // Reads whatever arrives within `limit_ms`.
    std::string ReadFor(DWORD limit_ms);
    // True once the peer has closed the connection (within `limit_ms`); data is discarded.
    bool WaitClosed(DWORD limit_ms);
    bool closed_by_peer() const { return closed_by_peer_; }
    void Close();

  private:
    bool ReceiveSome(DWORD limit_ms);

    SOCKET socket_ = INVALID_SOCKET;
    std::string buffer_;
    bool closed_by_peer_ = false;
};

}  // namespace lumet::test
