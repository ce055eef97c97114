#include "service/uninstall_cleanup.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "common/log.h"
#include "common/messages.h"
#include "common/win_handle.h"
#include "service/activity_win.h"
#include "service/data_folder_win.h"
#include "service/lifecycle.h"
#include "service/wireguard/tunnel_controller.h"

namespace lumet::service {

namespace {

using common::LogLevel;

std::wstring OwnDirectory() {
    wchar_t buffer[kModulePathChars] = {};
    const DWORD length = GetModuleFileNameW(/*hModule=*/nullptr, buffer, kModulePathChars);
    return ExecutableDirectoryFromModulePath(std::wstring_view(buffer, kModulePathChars), length);
}

// Removes HKLM "SOFTWARE\Orrinfield VPN" with everything in it, in the 64-bit view the service
// writes. Returns the Win32 result; ERROR_FILE_NOT_FOUND when there was nothing to remove.
uint32_t RemoveActivityKey() {
    common::UniqueRegKey software;
    LSTATUS result = RegOpenKeyExW(
        HKEY_LOCAL_MACHINE, L"SOFTWARE", /*ulOptions=*/0,
        KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | DELETE | KEY_WOW64_64KEY,
        software.put());
    if (result != ERROR_SUCCESS) {
        return static_cast<uint32_t>(result);
    }
    const std::wstring_view path(kActivityKeyPath);
    const std::wstring leaf(path.substr(path.find(L'\\') + 1));
    result = RegDeleteTreeW(software.get(), leaf.c_str());
    if (result == ERROR_SUCCESS) {
        // RegDeleteTreeW empties the key; the key itself goes with RegDeleteKeyExW.
        result = RegDeleteKeyExW(software.get(), leaf.c_str(), KEY_WOW64_64KEY, /*Reserved=*/0);
    }
    return static_cast<uint32_t>(result);
}

// Stops OrrinfieldVPNService if it still runs and waits until it has stopped. The installer's own
// stop normally leaves it stopped already; Wine's msiexec sends the stop without waiting for it.
bool EnsureServiceStopped(ULONGLONG deadline) {
    const common::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        common::LogWin32Error(LogLevel::Error, L"uninstall clean-up: OpenSCManager failed",
                              GetLastError());
        return false;
    }
    const common::UniqueServiceHandle service(
        OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_STOP));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return true;
        }
        common::LogWin32Error(LogLevel::Error, L"uninstall clean-up: OpenService failed", error);
        return false;
    }
    bool stop_sent = false;
    for (;;) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service.get(), &status)) {
            common::LogWin32Error(LogLevel::Error, L"uninstall clean-up: service query failed",
                                  GetLastError());
            return false;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            return true;
        }
        if (!stop_sent && status.dwCurrentState != SERVICE_STOP_PENDING) {
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            stop_sent = true;
        }
        if (GetTickCount64() >= deadline) {
            common::LogLine(LogLevel::Error,
                            L"uninstall clean-up: OrrinfieldVPNService did not stop within 30 s");
            return false;
        }
        Sleep(200);
    }
}

// The service reports STOPPED just before its process ends; the installer removes the program
// file right after this clean-up, and a program still running would keep it. Waits, until
// `deadline` (GetTickCount64), for every other process that runs this same program file to end.
bool WaitForOtherInstancesToEnd(ULONGLONG deadline) {
    wchar_t own_path[MAX_PATH] = {};
    const DWORD own_length = GetModuleFileNameW(nullptr, own_path, MAX_PATH);
    if (own_length == 0 || own_length >= MAX_PATH) {
        return false;
    }
    const common::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool all_ended = true;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId() || entry.th32ProcessID == 0) {
            continue;
        }
        const common::UniqueProcess process(OpenProcess(
            PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (!process) {
            continue;  // gone already, or not ours to look at
        }
        wchar_t image[MAX_PATH] = {};
        DWORD image_length = MAX_PATH;
        if (!QueryFullProcessImageNameW(process.get(), 0, image, &image_length) ||
            CompareStringOrdinal(image, static_cast<int>(image_length), own_path,
                                 static_cast<int>(own_length), TRUE) != CSTR_EQUAL) {
            continue;
        }
        const ULONGLONG now = GetTickCount64();
        const DWORD wait_ms = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        if (WaitForSingleObject(process.get(), wait_ms) != WAIT_OBJECT_0) {
            common::LogLine(LogLevel::Error, L"uninstall clean-up: service process " +
                                                 std::to_wstring(entry.th32ProcessID) +
                                                 L" did not end");
            all_ended = false;
        }
    }
    return all_ended;
}

}  // namespace

int RunUninstallCleanup() {
    // Lines go to the service's log, which stays after the uninstall, when its folders pass.
    OpenServiceLog();
    common::LogLine(LogLevel::Info, L"uninstall clean-up starting");
    const ULONGLONG deadline = GetTickCount64() + kServiceStopWaitMs;
    if (!EnsureServiceStopped(deadline) || !WaitForOtherInstancesToEnd(deadline)) {
        return CleanupExitCode(/*service_stopped=*/false, wireguard::TunnelOk, 0);
    }

    // The service's own stop has normally taken its tunnel down already; a tunnel left by a
    // console run or a crash is still removed here, with its configuration file.
    wireguard::WireGuardTunnelController controller(OwnDirectory());
    common::WireGuardStatusRecord record;
    const wireguard::TunnelError tunnel_error = controller.Stop(&record);
    if (tunnel_error != wireguard::TunnelOk) {
        common::LogLine(LogLevel::Error,
                        L"uninstall clean-up: WireGuard tunnel service not removed");
    }
    // Empty by now; RemoveDirectoryW leaves a folder that still holds anything.
    const std::wstring program_data = ProgramDataFolder();
    if (!program_data.empty()) {
        const std::wstring config_dir = DataFolderPaths(program_data)[1] + L"\\wireguard";
        RemoveDirectoryW(config_dir.c_str());
    }

    const uint32_t registry_error = RemoveActivityKey();
    if (registry_error != ERROR_SUCCESS && registry_error != ERROR_FILE_NOT_FOUND) {
        common::LogWin32Error(LogLevel::Error, L"uninstall clean-up: activity record not removed",
                              registry_error);
    }
    const int exit_code = CleanupExitCode(/*service_stopped=*/true, tunnel_error, registry_error);
    common::LogLine(LogLevel::Info,
                    L"uninstall clean-up finished exit=" + std::to_wstring(exit_code));
    return exit_code;
}

}  // namespace lumet::service
