#include "service/wireguard/tunnel_controller.h"

#include <windows.h>
#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <string>

#include "common/log.h"
#include "common/secure_buffer.h"
#include "common/win_handle.h"
#include "common/wine.h"
#include "service/wireguard/protected_file.h"
#include "service/wireguard/wireguard_config.h"

namespace lumet::service::wireguard {

namespace {

using common::LogLevel;
using common::LogLine;
using common::LogWin32Error;
using common::WireGuardStatusRecord;

// DELETE | SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG.
constexpr DWORD kTunnelServiceCreateAccess = 0x10036;
constexpr DWORD kTunnelServiceRemoveAccess = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
constexpr DWORD kConfigWriteChunk = 65536;

using ServiceHandle = common::UniqueServiceHandle;

// Empty when the folder is unknown.
std::wstring ProgramDataFolder() {
    // Freed on every path: the call may allocate even when it fails.
    common::UniqueCoTaskPtr<wchar_t> path;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, path.put());
    return SUCCEEDED(result) && path ? std::wstring(path.get()) : std::wstring();
}

std::wstring ConfigDirectoryUnder(const std::wstring& program_data) {
    std::wstring directory = program_data;
    for (std::wstring_view level : kConfigDirectoryLevels) {
        directory = JoinWindowsPath(directory, level);
    }
    return directory;
}

void FillFailure(WireGuardStatusRecord* out, uint8_t state, TunnelError error) {
    *out = WireGuardStatusRecord{};
    out->state = state;
    out->error = error;
}

// A failed query counts as state 0, which is neither running nor stopped.
DWORD QueryServiceState(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
        return 0;
    }
    return status.dwCurrentState;
}

bool TunnelServiceExists() {
    ServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) {
        return false;
    }
    ServiceHandle service(OpenServiceW(scm.get(), kTunnelServiceName, SERVICE_QUERY_STATUS));
    return service.valid();
}

// Logs `what` with the category's name and the Win32 error that caused it, at the one place the
// category is decided, and gives the category back:
//     "wireguard: <what> -> TunnelStopIncomplete (win32=5)".
TunnelError TunnelFailure(LogLevel level, std::wstring_view what, TunnelError error, DWORD cause) {
    LogWin32Error(level, L"wireguard: " + std::wstring(what) + L" -> " + TunnelErrorName(error),
                  cause);
    return error;
}

// Sends STOP unless the service is still starting, when Windows would refuse it. False only when
// the stop must be sent again once the start has ended (still starting, or refused with 1061);
// any other failure is final and left to the stop time-out, with its error in `*control_error`.
bool SendStop(SC_HANDLE service, DWORD state, DWORD* control_error) {
    if (state == SERVICE_STOP_PENDING) {
        return true;
    }
    if (state == SERVICE_START_PENDING) {
        return false;
    }
    SERVICE_STATUS status = {};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
        return false;
    }
    *control_error = error;
    return true;
}

// Stops and deletes the tunnel service; TunnelOk when none exists afterwards or none existed.
// Every TunnelStopIncomplete is logged here with its cause.
[[nodiscard]] TunnelError StopAndDeleteTunnelService(const TunnelWaits& waits) {
    ServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) {
        return TunnelFailure(LogLevel::Error, L"stop: OpenSCManager failed", TunnelStopIncomplete,
                             GetLastError());
    }
    ServiceHandle service(OpenServiceW(scm.get(), kTunnelServiceName, kTunnelServiceRemoveAccess));
    if (!service) {
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_DOES_NOT_EXIST
                   ? TunnelOk
                   : TunnelFailure(LogLevel::Error, L"stop: OpenService failed",
                                   TunnelStopIncomplete, error);
    }

    DWORD state = QueryServiceState(service.get());
    bool stopped = state == SERVICE_STOPPED;
    DWORD control_error = ERROR_SUCCESS;
    if (!stopped) {
        // Windows' service manager refuses STOP while a service is still START_PENDING (1061),
        // and Wine's hands it to a service that may ignore it. A stop sent during the start does
        // not count: once the start has ended the service is asked again, and the stop time-out
        // runs from then. Waiting for the start to end takes at most the running and the stop
        // time-outs together.
        bool stop_pending = !SendStop(service.get(), state, &control_error);
        const ULONGLONG began = GetTickCount64();
        ULONGLONG stop_clock = began;
        bool waited_for_start = false;
        for (;;) {
            state = QueryServiceState(service.get());
            stopped = state == SERVICE_STOPPED;
            const ULONGLONG now = GetTickCount64();
            // The whole wait is bounded, whatever the service reports.
            if (stopped ||
                now - began >= uint64_t{waits.running_timeout_ms} + 2ull * waits.stop_timeout_ms) {
                break;
            }
            if (state == SERVICE_START_PENDING) {
                waited_for_start = true;
                stop_pending = true;
                stop_clock = now;
                if (now - began >= uint64_t{waits.running_timeout_ms} + waits.stop_timeout_ms) {
                    break;
                }
            } else if (stop_pending) {
                stop_pending = !SendStop(service.get(), state, &control_error);
                stop_clock = now;
            } else if (now - stop_clock >= waits.stop_timeout_ms) {
                break;
            }
            Sleep(waits.stop_poll_ms);
        }
        if (waited_for_start && (stopped || state != SERVICE_START_PENDING)) {
            LogLine(LogLevel::Info,
                    L"wireguard: tunnel service was still starting; stopped once its start ended");
        }
    }

    const bool deleted = DeleteService(service.get()) != FALSE;
    const DWORD delete_error = deleted ? ERROR_SUCCESS : GetLastError();
    service.reset();
    // Deleting only marks a running service; its process, and the tunnel, would live on.
    if (!stopped && state == SERVICE_START_PENDING) {
        // What Windows answers a STOP sent now.
        return TunnelFailure(LogLevel::Warn,
                             L"tunnel service still starting, it refuses to stop -> left marked "
                             L"for deletion",
                             TunnelStopIncomplete, ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
    if (!stopped) {
        // A refused STOP is the cause when there was one; otherwise the service outlasted the wait.
        return TunnelFailure(
            LogLevel::Error, L"tunnel service did not stop in time -> left marked for deletion",
            TunnelStopIncomplete,
            control_error != ERROR_SUCCESS ? control_error : ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    if (!deleted) {
        ServiceHandle again(OpenServiceW(scm.get(), kTunnelServiceName, SERVICE_QUERY_STATUS));
        if (again) {
            return TunnelFailure(LogLevel::Error, L"stop: DeleteService failed",
                                 TunnelStopIncomplete, delete_error);
        }
    }
    return TunnelOk;
}

uint32_t SetSidTypeWithScm(void* service, uint32_t sid_type) {
    SERVICE_SID_INFO info = {};
    info.dwServiceSidType = sid_type;
    if (!ChangeServiceConfig2W(static_cast<SC_HANDLE>(service), SERVICE_CONFIG_SERVICE_SID_INFO,
                               &info)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

// Creates the tunnel service and waits for it to run. On failure after the service was created it
// may be left behind (deleted or marked for deletion); the caller's clean-up removes it.
[[nodiscard]] TunnelError CreateAndStartTunnelService(const std::wstring& command_line,
                                                      const TunnelControllerOptions& options) {
    ServiceHandle scm(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!scm) {
        LogWin32Error(LogLevel::Error, L"wireguard: OpenSCManager for create failed",
                      GetLastError());
        return TunnelSetupFailed;
    }
    ServiceHandle service(CreateServiceW(
        scm.get(), kTunnelServiceName, kTunnelDisplayName, kTunnelServiceCreateAccess,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command_line.c_str(),
        /*lpLoadOrderGroup=*/nullptr, /*lpdwTagId=*/nullptr, kTunnelDependencies,
        /*lpServiceStartName=*/nullptr, /*lpPassword=*/nullptr));
    if (!service) {
        LogWin32Error(LogLevel::Error, L"wireguard: CreateService failed", GetLastError());
        return TunnelSetupFailed;
    }

    // An unrestricted service SID lets the tunnel's firewall rules name the service. Wine's SCM
    // lacks this one setting (ERROR_INVALID_LEVEL); only there, and only that error, is tolerated.
    const uint32_t sid_error =
        options.set_service_sid_type
            ? options.set_service_sid_type(service.get(), SERVICE_SID_TYPE_UNRESTRICTED)
            : SetSidTypeWithScm(service.get(), SERVICE_SID_TYPE_UNRESTRICTED);
    if (sid_error != ERROR_SUCCESS) {
        const bool under_wine =
            options.running_under_wine ? options.running_under_wine() : common::RunningUnderWine();
        if (under_wine && sid_error == ERROR_INVALID_LEVEL) {
            LogWin32Error(LogLevel::Warn,
                          L"wireguard: set SERVICE_SID_TYPE_UNRESTRICTED is not supported under "
                          L"Wine -> ignored",
                          sid_error);
        } else {
            LogWin32Error(LogLevel::Error,
                          L"wireguard: set SERVICE_SID_TYPE_UNRESTRICTED failed -> aborting",
                          sid_error);
            DeleteService(service.get());
            return TunnelSetupFailed;
        }
    }

    std::wstring description = kTunnelDescription;  // the API wants a writable string
    SERVICE_DESCRIPTIONW description_info = {};
    description_info.lpDescription = description.data();
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description_info);

    if (!StartServiceW(service.get(), 0, nullptr)) {
        LogWin32Error(LogLevel::Error, L"wireguard: StartService failed", GetLastError());
        DeleteService(service.get());
        return TunnelStartFailed;
    }

    const ULONGLONG started = GetTickCount64();
    DWORD state = 0;
    for (;;) {
        state = QueryServiceState(service.get());
        if (state == SERVICE_RUNNING || state == SERVICE_STOPPED ||
            GetTickCount64() - started >= options.waits.running_timeout_ms) {
            break;
        }
        Sleep(options.waits.running_poll_ms);
    }
    service.reset();
    scm.reset();
    if (state != SERVICE_RUNNING) {
        LogLine(LogLevel::Error, L"wireguard: tunnel service did not reach RUNNING");
        return TunnelStartFailed;
    }
    return TunnelOk;
}

// The configuration file holds the private key: a delete that fails is worth a warning, as the
// key may then be left on disk.
bool DeleteConfigFile(const std::wstring& path) {
    if (SecureDeleteFile(path)) {
        return true;
    }
    LogWin32Error(LogLevel::Warn, L"wireguard: secure delete of the config file failed",
                  GetLastError());
    return false;
}

// Shows the descriptor about to be applied to `path` to the test seam, if any.
void ObserveProtection(const TunnelControllerOptions& options, const std::wstring& path,
                       ProtectedSecurityDescriptor& sd) {
    if (options.observe_protection) {
        options.observe_protection(path, sd.ToSddl().value_or(std::wstring()));
    }
}

// Creates "<ProgramData>\Orrinfield\vpn\wireguard" level by level, opens it once and applies the
// protected owner and DACL through that handle. Returns the handle, held by the caller while the
// configuration file is written so that the checked directory cannot be swapped; invalid when the
// directory is missing, is a link, or lies elsewhere than intended.
common::UniqueHandle PrepareConfigDirectory(const std::wstring& config_directory,
                                            const TunnelControllerOptions& options) {
    const std::wstring program_data = ProgramDataFolder();
    if (program_data.empty() || config_directory.empty()) {
        return common::UniqueHandle();
    }
    std::wstring level_path = program_data;
    for (std::wstring_view level : kConfigDirectoryLevels) {
        level_path = JoinWindowsPath(level_path, level);
        CreateDirectoryW(level_path.c_str(), nullptr);  // an existing level is fine
    }
    // A link anywhere on the way would send the private key to a place we do not protect: the
    // handle refuses a link in place of the directory, its final path one further up.
    CheckedDirectory directory = OpenCheckedDirectory(config_directory);
    if (directory.status != DirectoryCheck::Ok) {
        std::wstring line =
            std::wstring(L"wireguard: config dir is missing or not a plain directory (check=") +
            DirectoryCheckName(directory.status);
        if (directory.error != ERROR_SUCCESS) {
            line += L", win32=" + std::to_wstring(directory.error);
        }
        LogLine(LogLevel::Error, line + L")");
        return common::UniqueHandle();
    }

    std::unique_ptr<ProtectedSecurityDescriptor> sd =
        ProtectedSecurityDescriptor::Build(kProtectedFileAccessMask);
    if (!sd) {
        return common::UniqueHandle();
    }
    ObserveProtection(options, config_directory, *sd);
    const DWORD error = ApplyDescriptorToHandle(directory.handle.get(), sd->descriptor());
    if (error != ERROR_SUCCESS) {
        // The file itself is still created with the protected descriptor.
        LogWin32Error(LogLevel::Warn, L"wireguard: could not protect config dir DACL", error);
    }
    return std::move(directory.handle);
}

// Writes `text` into a new file at `path` that only LocalSystem and Administrators can open. On
// failure no file is left at the path.
bool WriteConfigFile(const std::wstring& path, std::string_view text,
                     const TunnelControllerOptions& options) {
    DeleteConfigFile(path);

    std::unique_ptr<ProtectedSecurityDescriptor> sd =
        ProtectedSecurityDescriptor::Build(kProtectedFileAccessMask);
    if (!sd) {
        LogLine(LogLevel::Error, L"wireguard: failed to build protected config DACL");
        return false;
    }
    ObserveProtection(options, path, *sd);
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = sd->descriptor();
    attributes.bInheritHandle = FALSE;

    auto create = [&] {
        return CreateFileW(path.c_str(), GENERIC_WRITE, /*dwShareMode=*/0, &attributes, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    common::UniqueHandle file(create());
    if (!file && GetLastError() == ERROR_FILE_EXISTS) {
        // Something recreated the path since the delete above; clear it once more.
        DeleteConfigFile(path);
        file.reset(create());
    }
    if (!file) {
        LogWin32Error(LogLevel::Error, L"wireguard: config CreateFile failed", GetLastError());
        return false;
    }

    SetSecurityInfo(file.get(), SE_FILE_OBJECT,
                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, sd->dacl(), nullptr);

    size_t offset = 0;
    bool written_all = true;
    while (offset < text.size()) {
        const size_t left = text.size() - offset;
        const DWORD chunk = left < kConfigWriteChunk ? static_cast<DWORD>(left) : kConfigWriteChunk;
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data() + offset, chunk, &written, nullptr) ||
            written == 0) {
            written_all = false;
            break;
        }
        offset += written;
    }
    FlushFileBuffers(file.get());
    file.reset();
    if (!written_all) {
        DeleteConfigFile(path);
        return false;
    }
    return true;
}

}  // namespace

WireGuardTunnelController::WireGuardTunnelController(std::wstring service_directory,
                                                     TunnelControllerOptions options)
    : service_directory_(std::move(service_directory)),
      wireguard_exe_path_(JoinWindowsPath(service_directory_, kWireGuardExeName)),
      wireguard_dll_path_(JoinWindowsPath(service_directory_, kWireGuardDllName)),
      options_(std::move(options)) {
    const std::wstring program_data = ProgramDataFolder();
    if (!program_data.empty()) {
        config_directory_ = ConfigDirectoryUnder(program_data);
        config_file_path_ = JoinWindowsPath(config_directory_, kTunnelConfigFileName);
    }
}

WireGuardTunnelController::~WireGuardTunnelController() {
    std::lock_guard<std::mutex> guard(lock_);
    adapter_probe_.Unload();
}

TunnelError WireGuardTunnelController::Start(std::string_view utf8_config,
                                             WireGuardStatusRecord* out) {
    WireGuardStatusRecord scratch;
    if (out == nullptr) {
        out = &scratch;
    }
    std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
    if (!guard.owns_lock()) {
        FillFailure(out, TunnelStateNoAdapter, TunnelBusy);
        return TunnelBusy;
    }

    WireGuardConfigResult parsed = ParseWireGuardConfig(utf8_config);
    // Owns the private key from here on; zeroed on every way out.
    common::SecureString canonical(std::move(parsed.canonical_text));
    common::WipeString(parsed.canonical_text);
    if (parsed.code != 0) {
        LogLine(LogLevel::Warn,
                L"wireguard: config rejected (code=" + std::to_wstring(parsed.code) + L")");
        FillFailure(out, TunnelStateAbsent, TunnelConfigRejected);
        return TunnelConfigRejected;
    }

    if (GetFileAttributesW(wireguard_exe_path_.c_str()) == INVALID_FILE_ATTRIBUTES) {
        LogLine(LogLevel::Error, L"wireguard: wireguard.exe not found beside the service");
        canonical.Wipe();
        FillFailure(out, TunnelStateAbsent, TunnelSetupFailed);
        return TunnelSetupFailed;
    }

    // Replacing a tunnel that is up; best effort (a failure is logged where it happens, and the
    // create below then fails on the name still in use).
    static_cast<void>(StopAndDeleteTunnelService(options_.waits));

    const common::UniqueHandle config_directory =
        PrepareConfigDirectory(config_directory_, options_);
    if (!config_directory || !WriteConfigFile(config_file_path_, canonical.str(), options_)) {
        canonical.Wipe();
        FillFailure(out, TunnelStateAbsent, TunnelConfigWriteFailed);
        return TunnelConfigWriteFailed;
    }
    canonical.Wipe();

    auto fail = [&](TunnelError error) -> TunnelError {
        const TunnelError removed = StopAndDeleteTunnelService(options_.waits);
        DeleteConfigFile(config_file_path_);
        if (removed == TunnelStopIncomplete) {
            // Reporting the start failure alone would claim that nothing is left; say that the
            // tunnel service could not be removed instead.
            LogLine(LogLevel::Error, L"wireguard: failed start left the tunnel service behind");
            FillFailure(out, TunnelServiceExists() ? TunnelStateNoAdapter : TunnelStateAbsent,
                        TunnelStopIncomplete);
            return TunnelStopIncomplete;
        }
        FillFailure(out, TunnelStateAbsent, error);
        return error;
    };

    const TunnelError started = CreateAndStartTunnelService(
        BuildTunnelCommandLine(wireguard_exe_path_, config_file_path_), options_);
    if (started != TunnelOk) {
        return fail(started);
    }

    EnsureProbeLoadAttemptedLocked();
    bool present = false;
    for (uint32_t attempt = 0; attempt < options_.waits.adapter_attempts; ++attempt) {
        if (AdapterPresentLocked()) {
            present = true;
            break;
        }
        Sleep(options_.waits.adapter_poll_ms);
    }
    if (!present) {
        LogLine(LogLevel::Error, L"wireguard: adapter orrinfieldwireguard never appeared");
        return fail(TunnelAdapterMissing);
    }

    DeleteConfigFile(config_file_path_);  // the tunnel service read it when it started
    FillStatusLocked(out);
    out->state = TunnelStateUp;
    out->error = TunnelOk;
    LogLine(LogLevel::Info, L"wireguard: tunnel orrinfieldwireguard is up");
    return TunnelOk;
}

TunnelError WireGuardTunnelController::Stop(WireGuardStatusRecord* out) {
    WireGuardStatusRecord scratch;
    if (out == nullptr) {
        out = &scratch;
    }
    std::lock_guard<std::mutex> guard(lock_);
    const TunnelError removed = StopAndDeleteTunnelService(options_.waits);
    DeleteConfigFile(config_file_path_);
    const TunnelError error = removed == TunnelStopIncomplete ? TunnelStopIncomplete : TunnelOk;
    if (error == TunnelStopIncomplete) {
        LogLine(LogLevel::Warn, L"wireguard: stop did not fully complete");
    }
    FillFailure(out, TunnelStateAbsent, error);
    return error;
}

void WireGuardTunnelController::QueryStatus(WireGuardStatusRecord* out) {
    if (out == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    FillStatusLocked(out);
}

void WireGuardTunnelController::Reconcile() {
    std::lock_guard<std::mutex> guard(lock_);
    if (TunnelServiceExists()) {
        LogLine(LogLevel::Warn,
                L"wireguard: reconcile - removing stale WireGuardTunnel$orrinfieldwireguard from a "
                L"prior run");
        // A failure is logged where it happens; the next start tries again.
        static_cast<void>(StopAndDeleteTunnelService(options_.waits));
    }
    DeleteConfigFile(config_file_path_);
}

void WireGuardTunnelController::FillStatusLocked(WireGuardStatusRecord* out) {
    EnsureProbeLoadAttemptedLocked();
    const bool service_exists = TunnelServiceExists();
    const AdapterSummary summary = adapter_probe_.Probe(kTunnelAdapterName);
    *out = WireGuardStatusRecord{};
    out->adapter_present = summary.adapter_present;
    out->rx_bytes = summary.rx_bytes;
    out->tx_bytes = summary.tx_bytes;
    out->last_handshake_ms = summary.last_handshake_ms;
    out->error = TunnelOk;
    out->state = summary.adapter_present ? TunnelStateUp
                 : service_exists        ? TunnelStateNoAdapter
                                         : TunnelStateAbsent;
}

void WireGuardTunnelController::EnsureProbeLoadAttemptedLocked() {
    if (probe_load_attempted_) {
        return;
    }
    probe_load_attempted_ = true;
    adapter_probe_.Load(wireguard_dll_path_);
}

bool WireGuardTunnelController::AdapterPresentLocked() {
    return adapter_probe_.Probe(kTunnelAdapterName).adapter_present;
}

}  // namespace lumet::service::wireguard
