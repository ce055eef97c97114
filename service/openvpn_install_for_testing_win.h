// TEST-ONLY: makes the machine (in practice the build's Wine prefix) look like one with OpenVPN
// for Windows installed, and puts everything back afterwards; and stands in for a running
// openvpn.exe.
//
// Header-only so that no test helper ends up in the service library. Tests that use it touch
// machine-wide names (HKLM "SOFTWARE\OpenVPN", "<Program Files>\OpenVPN\config") and must hold
// the "system" resource lock, which the service's Win32 tests and the end-to-end tests do.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/win_handle.h"
#include "tests/support/win_test_util.h"

namespace lumet::service::testing_support {

inline std::wstring ProgramFilesForTesting() {
    common::UniqueCoTaskPtr<wchar_t> path;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramFilesX64, 0, nullptr, path.put()))) {
        return std::wstring();
    }
    return path.get();
}

using test::PathExists;
using test::RemoveTree;

class OpenVpnInstallForTesting {
  public:
    OpenVpnInstallForTesting()
        : program_files(ProgramFilesForTesting()),
          openvpn_dir(program_files + L"\\OpenVPN"),
          config_dir(openvpn_dir + L"\\config\\"),
          staging_dir(config_dir + L"orrinfield\\") {
        had_openvpn_dir_ = PathExists(openvpn_dir);
        had_config_dir_ = PathExists(config_dir);
        had_staging_dir_ = PathExists(staging_dir);
        had_key_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WOW64_64KEY,
                                 saved_key_.put()) == ERROR_SUCCESS;
        if (had_key_) {
            DWORD size = 0;
            if (RegQueryValueExW(saved_key_.get(), L"config_dir", nullptr, &saved_type_, nullptr,
                                 &size) == ERROR_SUCCESS) {
                saved_value_.emplace(size, 0);
                RegQueryValueExW(saved_key_.get(), L"config_dir", nullptr, &saved_type_,
                                 saved_value_->data(), &size);
                saved_value_->resize(size);
            }
            saved_key_.reset();
        }
    }

    ~OpenVpnInstallForTesting() {
        if (!had_staging_dir_) {
            RemoveTree(StagingDirNoSlash());
        }
        if (!had_config_dir_) {
            RemoveTree(config_dir.substr(0, config_dir.size() - 1));
        }
        if (!had_openvpn_dir_) {
            RemoveTree(openvpn_dir);
        }
        // A test may have removed directories that were there before it; they come back empty.
        if (had_openvpn_dir_) {
            CreateDirectoryW(openvpn_dir.c_str(), nullptr);
        }
        if (had_config_dir_) {
            CreateDirectoryW(config_dir.c_str(), nullptr);
        }
        if (had_staging_dir_) {
            CreateDirectoryW(staging_dir.c_str(), nullptr);
        }
        if (saved_value_) {
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"config_dir", saved_type_,
                            saved_value_->data(), static_cast<DWORD>(saved_value_->size()));
        } else if (had_key_) {
            DeleteValue();
        } else {
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
        }
    }

    OpenVpnInstallForTesting(const OpenVpnInstallForTesting&) = delete;
    OpenVpnInstallForTesting& operator=(const OpenVpnInstallForTesting&) = delete;

    // Writes "config_dir" as text (NUL included) of the given type.
    bool SetValue(const std::wstring& value, DWORD type = REG_SZ) {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"config_dir", type, value.c_str(),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
    }
    bool SetDwordValue(DWORD value) {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"config_dir", REG_DWORD, &value,
                               sizeof(value)) == ERROR_SUCCESS;
    }
    void DeleteValue() {
        common::UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                          key.put()) == ERROR_SUCCESS) {
            RegDeleteValueW(key.get(), L"config_dir");
        }
    }

    // The state an installation leaves: the value, with its trailing backslash, and the
    // directory.
    bool Install() {
        CreateDirectoryW(openvpn_dir.c_str(), nullptr);
        CreateDirectoryW(config_dir.c_str(), nullptr);
        return SetValue(config_dir) && PathExists(config_dir);
    }

    void RemoveConfigDir() {
        RemoveTree(StagingDirNoSlash());
        RemoveTree(config_dir.substr(0, config_dir.size() - 1));
    }

    std::wstring StagingDirNoSlash() const { return staging_dir.substr(0, staging_dir.size() - 1); }

    const std::wstring program_files;
    const std::wstring openvpn_dir;
    const std::wstring config_dir;   // ends in "\"
    const std::wstring staging_dir;  // ends in "\"

  private:
    static constexpr wchar_t kKey[] = L"SOFTWARE\\OpenVPN";

    bool had_openvpn_dir_ = false;
    bool had_config_dir_ = false;
    bool had_staging_dir_ = false;
    bool had_key_ = false;
    common::UniqueRegKey saved_key_;
    DWORD saved_type_ = REG_NONE;
    std::optional<std::vector<BYTE>> saved_value_;
};

// A live process whose image file is named `image_name`: a copy of the system's cmd.exe kept
// waiting for commands on a pipe this object holds. Terminated and removed with its folder on
// destruction; pid() is 0 when it could not be started.
class StandInProcess {
  public:
    explicit StandInProcess(const std::wstring& image_name) {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        directory_ = std::wstring(temp) + L"lumet-standin-" +
                     std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter_);
        CreateDirectoryW(directory_.c_str(), nullptr);
        image_ = directory_ + L"\\" + image_name;
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        if (!CopyFileW((std::wstring(system) + L"\\cmd.exe").c_str(), image_.c_str(), FALSE)) {
            return;
        }
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) {
            return;
        }
        common::UniqueKernelHandle child_stdin(read_end);
        stdin_write_.reset(write_end);
        SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
        common::UniqueHandle null_out(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE,
                                                  &inheritable, OPEN_EXISTING, 0, nullptr));
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = read_end;
        startup.hStdOutput = null_out.get();
        startup.hStdError = null_out.get();
        // "/k" without a command: the interpreter waits for commands on standard input.
        std::wstring command = L"\"" + image_ + L"\" /q /k";
        common::UniqueProcessInformation info;
        if (CreateProcessW(image_.c_str(), command.data(), nullptr, nullptr,
                           /*bInheritHandles=*/TRUE, 0, nullptr, nullptr, &startup, info.put())) {
            pid_ = info.get().dwProcessId;
            process_ = info.release_process();
        }
    }

    ~StandInProcess() {
        Kill();
        process_.reset();
        DeleteFileW(image_.c_str());
        RemoveDirectoryW(directory_.c_str());
    }

    StandInProcess(const StandInProcess&) = delete;
    StandInProcess& operator=(const StandInProcess&) = delete;

    // Terminates the process and waits (5 s at most) until it has exited. The handle stays
    // open, so the process id is not reused while this object lives.
    void Kill() {
        if (process_) {
            TerminateProcess(process_.get(), 1);
            WaitForSingleObject(process_.get(), 5000);
        }
    }

    uint32_t pid() const { return pid_; }

  private:
    static inline int counter_ = 0;
    std::wstring directory_;
    std::wstring image_;
    common::UniqueHandle stdin_write_;
    common::UniqueProcess process_;
    uint32_t pid_ = 0;
};

}  // namespace lumet::service::testing_support
