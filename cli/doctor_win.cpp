#include "cli/doctor_win.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "cli/lumetctl_format.h"
#include "cli/plugin_session_win.h"
#include "common/pipe_names.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "plugin/agent_location.h"
#include "plugin/host_api.h"

namespace lumetctl {

namespace {

namespace lv = lumet_windows_vpn;
using flutter::EncodableValue;
using lumet::common::UniqueCoTaskPtr;
using lumet::common::UniqueHandle;
using lumet::common::UniqueKernelHandle;
using lumet::common::UniqueRegKey;
using lumet::common::UniqueServiceHandle;
using lumet::common::WideToUtf8;
using Outcome = CheckResult::Outcome;

constexpr wchar_t kServiceName[] = L"OrrinfieldVPNService";
constexpr wchar_t kInteractiveServiceName[] = L"OpenVPNServiceInteractive";
// A host call that needs the agent may first launch it and retry its connect.
constexpr auto kCallLimit = std::chrono::seconds(60);
// How much of the end of each log is searched for warnings and errors.
constexpr DWORD kLogTail = 64 * 1024;
constexpr size_t kLogLinesShown = 5;

CheckResult Result(std::string name, Outcome outcome, std::string detail,
                   std::string fix = std::string()) {
    CheckResult r;
    r.name = std::move(name);
    r.outcome = outcome;
    r.detail = std::move(detail);
    r.fix = std::move(fix);
    return r;
}

std::string Utf8(const std::wstring& text) {
    return WideToUtf8(text);
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Whether two paths name the same file, whatever the spelling (drive mapping, case, 8.3).
bool SameFile(const std::wstring& a, const std::wstring& b) {
    auto identity = [](const std::wstring& path) -> std::optional<BY_HANDLE_FILE_INFORMATION> {
        UniqueHandle file(CreateFileW(path.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info = {};
        if (!file || !GetFileInformationByHandle(file.get(), &info)) {
            return std::nullopt;
        }
        return info;
    };
    const auto x = identity(a);
    const auto y = identity(b);
    return x && y && x->dwVolumeSerialNumber == y->dwVolumeSerialNumber &&
           x->nFileIndexHigh == y->nFileIndexHigh && x->nFileIndexLow == y->nFileIndexLow;
}

std::vector<DWORD> ProcessIdsNamed(const wchar_t* image) {
    std::vector<DWORD> ids;
    const HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (raw == INVALID_HANDLE_VALUE) {
        return ids;
    }
    UniqueKernelHandle snapshot(raw);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, image) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    return ids;
}

// The process serving this session's agent pipe, or 0 when none listens. Asked directly, since
// the plugin refuses (and so never names) a server that is not the agent beside it.
DWORD AgentPipeServerProcessId() {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
        return 0;
    }
    const std::optional<std::wstring> pipe = lumet::common::AgentPipeName(session);
    if (!pipe) {
        return 0;
    }
    // Identification only: whoever serves the pipe may not act as this user. The server has just
    // been refused by the plugin and puts up its next instance after that client, so the name
    // may be busy or briefly gone: try for a few seconds.
    UniqueHandle client;
    const ULONGLONG deadline = GetTickCount64() + 3000;
    for (;;) {
        client.reset(CreateFileW(pipe->c_str(), GENERIC_READ, /*dwShareMode=*/0, nullptr,
                                 OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                 nullptr));
        const DWORD error = GetLastError();
        if (client || GetTickCount64() >= deadline ||
            (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)) {
            break;
        }
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(pipe->c_str(), /*nTimeOut=*/500);
        } else {
            Sleep(100);
        }
    }
    ULONG pid = 0;
    if (!client || !GetNamedPipeServerProcessId(client.get(), &pid)) {
        return 0;
    }
    return pid;
}

std::wstring ImageOfProcess(DWORD pid) {
    UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        return std::wstring();
    }
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = static_cast<DWORD>(std::size(path));
    return QueryFullProcessImageNameW(process.get(), 0, path, &size) ? std::wstring(path, size)
                                                                     : std::wstring();
}

// The process id a generation text starts with ("<pid>-0x...").
DWORD PidOfGenerationText(const std::string& text) {
    DWORD pid = 0;
    size_t i = 0;
    for (; i < text.size() && i < 10 && text[i] >= '0' && text[i] <= '9'; ++i) {
        pid = pid * 10 + static_cast<DWORD>(text[i] - '0');
    }
    return i > 0 && i < text.size() && text[i] == '-' ? pid : 0;
}

std::wstring ProgramDataFolder() {
    UniqueCoTaskPtr<wchar_t> path;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, path.put())) ||
        path.get() == nullptr) {
        return std::wstring();
    }
    return path.get();
}

// The reply to a host method without arguments, taken apart; `code` holds "NO_ANSWER" when
// nothing came back in time.
HostReply Ask(PluginSession& session, const std::string& method) {
    bool timed_out = false;
    const auto reply = session.Call(method, EncodableValue(), kCallLimit, {}, &timed_out);
    if (!reply) {
        HostReply none;
        none.kind = HostReply::Kind::Error;
        none.code = timed_out ? "NO_ANSWER" : "NOT_SENT";
        return none;
    }
    return ReadHostReply(*reply);
}

std::string ErrorOf(const HostReply& reply) {
    if (reply.kind == HostReply::Kind::Malformed) {
        return "an unreadable answer";
    }
    return "error " + reply.code + (reply.message.empty() ? "" : " (" + reply.message + ")");
}

struct ServiceFacts {
    bool registered = false;
    bool running = false;
    std::wstring program_folder;
};

// The doctor's checks, in the order they are shown.
class Doctor {
  public:
    explicit Doctor(std::wstring plugin_path) : plugin_path_(std::move(plugin_path)) {}

    std::vector<CheckResult> Run() {
        CheckPlugin();
        CheckAgent();
        CheckServiceRegistration();
        CheckServiceAnswers();
        CheckWireGuardFiles();
        CheckOpenVpn();
        CheckOpenVpnConfigDirectory();
        CheckActivityRecord();
        CheckLogs();
        return std::move(results_);
    }

  private:
    void Add(CheckResult r) { results_.push_back(std::move(r)); }

    void CheckPlugin() {
        std::string error;
        plugin_loaded_ = session_.Load(plugin_path_, &error);
        if (plugin_loaded_) {
            Add(Result("plugin loads", Outcome::Pass, Utf8(plugin_path_)));
        } else {
            Add(Result("plugin loads", Outcome::Fail, error,
                       "put lumet_windows_vpn_plugin.dll beside lumetctl.exe, or name it with "
                       "--plugin <path>"));
        }
    }

    void CheckAgent() {
        const char* name = "agent starts and answers";
        if (!plugin_loaded_) {
            Add(Result(name, Outcome::Skip, "needs the plugin", "mend the plugin first"));
            return;
        }
        const std::wstring expected = lv::AgentPathBesideModule(plugin_path_);
        const std::vector<DWORD> before = ProcessIdsNamed(lv::kAgentExeName);
        const HostReply reply = Ask(session_, "getAgentHealth");
        const auto* health = reply.kind == HostReply::Kind::Value
                                 ? CustomAs<lv::LumetAgentHealth>(reply.value)
                                 : nullptr;
        if (health == nullptr) {
            if (ReportForeignAgent(name, expected)) {
                return;
            }
            std::string fix;
            if (!Exists(expected)) {
                fix = Utf8(expected) +
                      " is missing: install OrrinfieldVPNAgent.exe beside the "
                      "plugin";
            } else if (reply.code == "VERSION_MISMATCH") {
                fix =
                    "an agent of another version answers: end it (taskkill /IM "
                    "OrrinfieldVPNAgent.exe /F) so that the plugin starts the one beside it";
            } else {
                fix =
                    "the agent beside the plugin did not answer: see agent.log and plugin.log "
                    "below";
            }
            Add(Result(name, Outcome::Fail, "no agent answered: " + ErrorOf(reply), fix));
            return;
        }
        agent_answers_ = true;
        const DWORD pid = PidOfGenerationText(health->generation_text());
        const std::wstring image = pid != 0 ? ImageOfProcess(pid) : std::wstring();
        const bool was_running = std::find(before.begin(), before.end(), pid) != before.end();
        std::string detail = "version " + health->version_info().version() + " (protocol " +
                             std::to_string(health->version_info().protocol()) + "), process " +
                             std::to_string(pid) + ", " +
                             (was_running ? "already running" : "started now by the plugin") +
                             ", from " + (image.empty() ? "an unknown place" : Utf8(image));
        if (!image.empty() && !SameFile(image, expected)) {
            Add(Result(name, Outcome::Fail, detail + " (not the agent beside the plugin)",
                       "end that agent (taskkill /PID " + std::to_string(pid) +
                           " /F) so that the plugin starts " + Utf8(expected)));
            return;
        }
        Add(Result(name, Outcome::Pass, detail));
    }

    // A process that is not the agent beside the plugin holds the agent pipe, so the plugin
    // refused it: name it and how to end it.
    bool ReportForeignAgent(const char* name, const std::wstring& expected) {
        const DWORD pid = AgentPipeServerProcessId();
        const std::wstring image = pid != 0 ? ImageOfProcess(pid) : std::wstring();
        if (pid == 0 || image.empty() || SameFile(image, expected)) {
            return false;
        }
        Add(Result(name, Outcome::Fail,
                   "the agent pipe is served by process " + std::to_string(pid) + " from " +
                       Utf8(image) + ", which the plugin refuses (not the agent beside the plugin)",
                   "end that agent (taskkill /PID " + std::to_string(pid) +
                       " /F) so that the plugin starts " + Utf8(expected)));
        return true;
    }

    void CheckServiceRegistration() {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueServiceHandle service;
        DWORD error = 0;
        if (!manager) {
            error = GetLastError();
        } else {
            service.reset(OpenServiceW(manager.get(), kServiceName,
                                       SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
            error = service ? 0 : GetLastError();
        }
        if (!service) {
            Add(Result(
                "service registered", Outcome::Fail,
                error == ERROR_SERVICE_DOES_NOT_EXIST
                    ? "OrrinfieldVPNService is not registered"
                    : "the service manager could not be asked (win32=" + std::to_string(error) +
                          ")",
                "install Orrinfield VPN (its installer registers OrrinfieldVPNService); "
                "in a development tree: bash scripts/wine-service.sh build/windows install"));
            Add(Result("service running", Outcome::Skip, "needs the registration",
                       "register the service first"));
            return;
        }
        DWORD needed = 0;
        QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        std::vector<BYTE> buffer(std::max<DWORD>(needed, sizeof(QUERY_SERVICE_CONFIGW)));
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        std::wstring command_line;
        if (QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()),
                                &needed) &&
            config->lpBinaryPathName != nullptr) {
            command_line = config->lpBinaryPathName;
        }
        service_.registered = true;
        service_.program_folder = ProgramFolderOfCommandLine(command_line);
        const std::wstring program = service_.program_folder + L"\\OrrinfieldVPNService.exe";
        if (service_.program_folder.empty() || !Exists(program)) {
            Add(Result("service registered", Outcome::Fail,
                       "registered as " + Utf8(command_line) + ", but that program is missing",
                       "reinstall Orrinfield VPN so that the registration names its program"));
        } else {
            Add(Result("service registered", Outcome::Pass, "program " + Utf8(program)));
        }

        SERVICE_STATUS_PROCESS status = {};
        const bool read = QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                               reinterpret_cast<BYTE*>(&status), sizeof(status),
                                               &needed) != FALSE;
        service_.running = read && status.dwCurrentState == SERVICE_RUNNING;
        if (service_.running) {
            Add(Result("service running", Outcome::Pass,
                       "RUNNING, process " + std::to_string(status.dwProcessId)));
        } else {
            Add(Result("service running", Outcome::Fail,
                       read ? "OrrinfieldVPNService is " + ServiceStateName(status.dwCurrentState)
                            : "its state could not be read",
                       "start it as an administrator: sc start OrrinfieldVPNService"));
        }
    }

    void CheckServiceAnswers() {
        const char* name = "service answers on its pipe";
        if (!agent_answers_) {
            Add(Result(name, Outcome::Skip, "asked through the agent, which did not answer",
                       "mend the agent first"));
            return;
        }
        const HostReply reply = Ask(session_, "getServiceHealth");
        const auto* health = reply.kind == HostReply::Kind::Value
                                 ? CustomAs<lv::LumetServiceHealth>(reply.value)
                                 : nullptr;
        if (health == nullptr) {
            Add(Result(name, Outcome::Fail, "no answer: " + ErrorOf(reply),
                       service_.running
                           ? "the service runs but does not answer: see service.log below"
                           : "start the service (see above)"));
            return;
        }
        Add(Result(name, Outcome::Pass,
                   "generation " + health->generation_text() + ", version " +
                       health->version_info().version() + ", up for " +
                       DurationText(health->uptime_seconds())));
    }

    void CheckWireGuardFiles() {
        const char* name = "WireGuard beside the service";
        if (!service_.registered || service_.program_folder.empty()) {
            Add(Result(name, Outcome::Skip, "the service's folder is not known",
                       "register the service first"));
            return;
        }
        std::string missing;
        for (const wchar_t* file : {L"wireguard.exe", L"wireguard.dll"}) {
            if (!Exists(service_.program_folder + L"\\" + file)) {
                missing += (missing.empty() ? "" : " and ") + Utf8(file);
            }
        }
        if (missing.empty()) {
            Add(Result(name, Outcome::Pass,
                       "wireguard.exe and wireguard.dll in " + Utf8(service_.program_folder)));
        } else {
            Add(Result(name, Outcome::Fail,
                       missing + " missing in " + Utf8(service_.program_folder),
                       "put WireGuard for Windows' wireguard.exe and wireguard.dll beside "
                       "OrrinfieldVPNService.exe"));
        }
    }

    void CheckOpenVpn() {
        if (!agent_answers_) {
            for (const char* name : {"OpenVPN found", "OpenVPN interactive service installed",
                                     "OpenVPN interactive service running"}) {
                Add(Result(name, Outcome::Skip, "asked through the agent, which did not answer",
                           "mend the agent first"));
            }
            return;
        }
        const HostReply reply = Ask(session_, "getOpenVpnCapabilities");
        const auto* caps = reply.kind == HostReply::Kind::Value
                               ? CustomAs<lv::LumetOpenVpnCapabilities>(reply.value)
                               : nullptr;
        if (caps == nullptr) {
            Add(Result("OpenVPN found", Outcome::Fail, "no answer: " + ErrorOf(reply),
                       "see agent.log below"));
            return;
        }
        using Tri = lv::LumetTriState;
        if (caps->open_vpn_found() == Tri::kYes) {
            Add(Result("OpenVPN found", Outcome::Pass,
                       "version " + (caps->open_vpn_version().empty()
                                         ? std::string("unknown (no version resource)")
                                         : caps->open_vpn_version())));
        } else {
            Add(Result("OpenVPN found", Outcome::Fail,
                       caps->open_vpn_found() == Tri::kNo
                           ? "openvpn.exe is neither beside the agent (lib\\openvpn\\amd64) nor "
                             "where HKLM\\SOFTWARE\\OpenVPN exe_path points"
                           : "could not be determined",
                       "install OpenVPN for Windows"));
        }
        const Tri installed = caps->interactive_service_installed();
        if (installed == Tri::kYes) {
            Add(Result("OpenVPN interactive service installed", Outcome::Pass,
                       "OpenVPNServiceInteractive"));
        } else {
            Add(Result("OpenVPN interactive service installed", Outcome::Fail,
                       installed == Tri::kNo ? "OpenVPNServiceInteractive is not installed"
                                             : "could not be determined",
                       "install OpenVPN for Windows with its interactive service"));
        }
        const Tri running = caps->interactive_service_running();
        if (running == Tri::kYes) {
            Add(Result("OpenVPN interactive service running", Outcome::Pass,
                       "OpenVPNServiceInteractive"));
        } else if (installed != Tri::kYes) {
            Add(Result("OpenVPN interactive service running", Outcome::Skip,
                       "needs the interactive service", "install it first"));
        } else {
            Add(Result("OpenVPN interactive service running", Outcome::Fail,
                       running == Tri::kNo ? "OpenVPNServiceInteractive is not running"
                                           : "could not be determined",
                       "start it as an administrator: sc start OpenVPNServiceInteractive"));
        }
    }

    void CheckOpenVpnConfigDirectory() {
        const char* name = "OpenVPN configuration directory";
        wchar_t value[520] = {};
        DWORD size = sizeof(value) - sizeof(wchar_t);
        UniqueRegKey key;
        // The 64-bit view, where OpenVPN's installer writes and the service reads.
        LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OpenVPN", 0,
                                       KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
        if (status == ERROR_SUCCESS) {
            status = RegGetValueW(key.get(), nullptr, L"config_dir", RRF_RT_REG_SZ, nullptr, value,
                                  &size);
        }
        if (status != ERROR_SUCCESS || value[0] == L'\0') {
            Add(Result(name, Outcome::Fail, "HKLM\\SOFTWARE\\OpenVPN has no config_dir value",
                       "install OpenVPN for Windows (its installer sets config_dir)"));
            return;
        }
        const std::wstring directory = value;
        if (!IsDirectory(directory)) {
            Add(Result(name, Outcome::Fail, Utf8(directory) + " does not exist",
                       "reinstall OpenVPN for Windows, or create that directory"));
            return;
        }
        Add(Result(name, Outcome::Pass, Utf8(directory)));
    }

    void CheckActivityRecord() {
        const char* name = "activity record readable";
        UniqueRegKey key;
        const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orrinfield VPN", 0,
                                             KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
        const char* fix = "the service writes it as it starts: start OrrinfieldVPNService";
        if (opened != ERROR_SUCCESS) {
            Add(Result(name, Outcome::Fail,
                       "HKLM\\SOFTWARE\\Orrinfield VPN cannot be read (win32=" +
                           std::to_string(opened) + ")",
                       fix));
            return;
        }
        DWORD activity = 0;
        DWORD reasons = 0;
        DWORD size = sizeof(activity);
        const LSTATUS a = RegGetValueW(key.get(), nullptr, L"Activity", RRF_RT_REG_DWORD, nullptr,
                                       &activity, &size);
        size = sizeof(reasons);
        const LSTATUS r = RegGetValueW(key.get(), nullptr, L"ActivityReasons", RRF_RT_REG_DWORD,
                                       nullptr, &reasons, &size);
        if (a != ERROR_SUCCESS || r != ERROR_SUCCESS) {
            Add(Result(name, Outcome::Fail,
                       "HKLM\\SOFTWARE\\Orrinfield VPN lacks Activity or ActivityReasons", fix));
            return;
        }
        Add(Result(name, Outcome::Pass, ActivityText(activity, reasons)));
    }

    void CheckLogs() {
        const std::wstring program_data = ProgramDataFolder();
        const std::wstring folder =
            program_data.empty() ? std::wstring() : program_data + L"\\Orrinfield\\vpn\\logs";
        if (folder.empty() || !IsDirectory(folder)) {
            Add(Result("log folder", Outcome::Fail,
                       folder.empty() ? "the ProgramData folder is unknown"
                                      : Utf8(folder) + " does not exist",
                       "each component makes it when it starts: start the service"));
            return;
        }
        Add(Result("log folder", Outcome::Pass, Utf8(folder)));
        for (const wchar_t* component : {L"service", L"agent", L"plugin"}) {
            const std::wstring file = std::wstring(component) + L".log";
            CheckResult r = Result(Utf8(file), Outcome::Info, "");
            bool partial = false;
            const std::optional<std::string> tail = ReadTail(folder + L"\\" + file, &partial);
            if (!tail) {
                r.detail = "no log yet";
            } else {
                r.lines = LastProblemLines(*tail, kLogLinesShown, partial);
                r.detail =
                    r.lines.empty() ? "no recent warnings or errors" : "last warnings and errors:";
            }
            Add(std::move(r));
        }
    }

    // The last kLogTail bytes of a file (the whole file when shorter).
    static std::optional<std::string> ReadTail(const std::wstring& path, bool* partial) {
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size = {};
        if (!file || !GetFileSizeEx(file.get(), &size)) {
            return std::nullopt;
        }
        *partial = size.QuadPart > kLogTail;
        LARGE_INTEGER start = {};
        start.QuadPart = *partial ? size.QuadPart - kLogTail : 0;
        if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) {
            return std::nullopt;
        }
        std::string text(static_cast<size_t>(size.QuadPart - start.QuadPart), '\0');
        DWORD read = 0;
        if (!text.empty() &&
            !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
            return std::nullopt;
        }
        text.resize(read);
        return text;
    }

    const std::wstring plugin_path_;
    PluginSession session_;
    bool plugin_loaded_ = false;
    bool agent_answers_ = false;
    ServiceFacts service_;
    std::vector<CheckResult> results_;
};

}  // namespace

std::vector<CheckResult> RunDoctor(const std::wstring& plugin_path) {
    return Doctor(plugin_path).Run();
}

}  // namespace lumetctl
