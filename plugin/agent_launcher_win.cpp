#include "plugin/agent_launcher.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "common/log.h"
#include "common/payload.h"
#include "common/peer_link_settings.h"
#include "common/pipe_server_check_win.h"
#include "common/session_win.h"
#include "common/win_handle.h"
#include "plugin/agent_location.h"

namespace lumet_windows_vpn {

using lumet::common::LogLevel;
using lumet::common::LogLine;
using lumet::common::LogWin32Error;
using lumet::common::MessageType;
using lumet::common::Status;

namespace {

// CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS:
// the agent must outlive the application and its job (an IDE or a launcher may kill the job).
constexpr DWORD kDetachedFlags = 0x09000208;
// Without the breakaway, for a job that forbids it (creation then fails with access denied).
constexpr DWORD kDetachedFlagsInJob = 0x08000208;

std::wstring ResolveAgentPath(const void* module_address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(module_address), &module)) {
        return std::wstring();
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    // MAX_PATH itself means the name was cut short.
    if (length == 0 || length >= MAX_PATH) {
        return std::wstring();
    }
    return AgentPathBesideModule(std::wstring_view(path, length));
}

bool StartDetached(const std::wstring& path, DWORD flags) {
    std::wstring command = AgentCommandLine(path);
    std::vector<wchar_t> writable(command.begin(), command.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    // The plugin never waits for the agent nor watches it: both handles close on return.
    lumet::common::UniqueProcessInformation process;
    return CreateProcessW(path.c_str(), writable.data(), /*lpProcessAttributes=*/nullptr,
                          /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE, flags,
                          /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup,
                          process.put()) != FALSE;
}

}  // namespace

std::shared_ptr<AgentLink> AgentLink::Create(const void* module_address) {
    lumet::common::SetLogName(L"plugin");
    return std::make_shared<AgentLink>(ResolveAgentPath(module_address),
                                       lumet::common::CurrentSessionId());
}

AgentLink::AgentLink(std::wstring agent_exe_path, uint32_t session_id, std::wstring pipe_role)
    : agent_exe_path_(std::move(agent_exe_path)), session_id_(session_id), link_([&] {
          lumet::common::PeerLinkSettings settings =
              lumet::common::AgentLinkSettings(session_id, [this] { return LaunchAgent(); });
          settings.pipe_role = std::move(pipe_role);
          // Only the agent executable beside this plugin, run by our user in our session, gets
          // our requests (and the secrets in them). The path is the member, set by now.
          settings.verify_server = [this](void* pipe) {
              return lumet::common::VerifyAgentServer(static_cast<HANDLE>(pipe), agent_exe_path_,
                                                      session_id_);
          };
          return settings;
      }()) {}

Status AgentLink::LaunchAgent() {
    if (agent_exe_path_.empty()) {
        lumet::common::LogRepeatable(LogLevel::Error,
                                     L"agent exe path could not be resolved from module");
        return Status::Failed;
    }
    if (GetFileAttributesW(agent_exe_path_.c_str()) == INVALID_FILE_ATTRIBUTES) {
        lumet::common::LogRepeatable(LogLevel::Error,
                                     L"OrrinfieldVPNAgent.exe not found next to the plugin DLL");
        return Status::Unavailable;
    }
    bool started = StartDetached(agent_exe_path_, kDetachedFlags);
    if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
        started = StartDetached(agent_exe_path_, kDetachedFlagsInJob);
    }
    if (!started) {
        lumet::common::LogWin32ErrorRepeatable(LogLevel::Error, L"CreateProcess(agent) failed",
                                               GetLastError());
        return Status::Failed;
    }
    LogLine(LogLevel::Info, L"launched OrrinfieldVPNAgent.exe detached");
    return Status::Ok;
}

AgentProbe AgentLink::ProbeAgent() {
    AgentProbe probe;
    // Connect and exchange under one hold of the mutex, so that no other caller can close the
    // connection in between and the status read is the one this connect left.
    lumet::common::PeerLink::Locked locked = link_.Lock();
    const bool connected = locked.EnsureConnected();
    probe.peerGeneration = locked.PeerGeneration();
    probe.status = locked.LastStatus();
    if (!connected) {
        return probe;
    }
    std::optional<lumet::common::ReceivedFrame> reply =
        locked.Exchange(MessageType::AgentHealth, {});
    if (!reply) {
        return probe;  // the exchange closed the pipe; the next probe reconnects
    }
    probe.connected = true;
    lumet::common::PayloadReader reader(reply->payload);
    Status status = Status::Failed;
    lumet::common::AgentHealthRecord record;
    if (lumet::common::ReadStatus(reader, &status) && status == Status::Ok &&
        lumet::common::Read(reader, &record) && reader.Ok()) {
        probe.serviceLinkUp = record.service_link_up;
    }
    return probe;
}

lumet::common::CallResult AgentLink::Call(MessageType type, std::span<const uint8_t> body) {
    return link_.Call(type, body);
}

}  // namespace lumet_windows_vpn
