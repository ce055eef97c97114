#include "agent/openvpn/openvpn_discovery_win.h"

#include <windows.h>

#include <filesystem>
#include <vector>

#include "common/win_handle.h"

namespace lumet::agent::openvpn {

namespace {

bool PathExists(const std::wstring& path) {
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The directory of this program's executable; empty when its name cannot be read or does not fit
// in 259 characters (a truncated name would point somewhere else).
std::wstring ModuleDirectory() {
    wchar_t name[kMaxPathChars] = {};
    const DWORD n = GetModuleFileNameW(nullptr, name, static_cast<DWORD>(kMaxPathChars));
    if (n == 0 || n >= kMaxPathChars) {
        return {};
    }
    return std::filesystem::path(std::wstring(name, n)).parent_path().wstring();
}

std::wstring RegistryExePath(const std::wstring& registry_key) {
    common::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, registry_key.c_str(), 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
        return {};
    }
    wchar_t value[kMaxPathChars + 1] = {};  // one spare unit keeps the text terminated
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>(kMaxPathChars * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), kOpenVpnExePathValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(value), &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    // The stored size may or may not count a terminator; the text ends at the first NUL.
    std::wstring path(value, bytes / sizeof(wchar_t));
    const size_t nul = path.find(L'\0');
    if (nul != std::wstring::npos) {
        path.resize(nul);
    }
    return path;
}

}  // namespace

std::wstring FindOpenVpnIn(const std::wstring& agent_dir, const std::wstring& registry_key) {
    if (!agent_dir.empty()) {
        const std::wstring beside =
            (std::filesystem::path(agent_dir) / L"lib" / L"openvpn" / L"amd64" / L"openvpn.exe")
                .wstring();
        if (PathExists(beside)) {
            return beside;
        }
    }
    const std::wstring registered = RegistryExePath(registry_key);
    if (PathExists(registered)) {
        return registered;
    }
    return {};
}

std::wstring FindOpenVpn() {
    return FindOpenVpnIn(ModuleDirectory(), kOpenVpnRegistryKey);
}

std::string FileVersionText(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        return {};
    }
    std::vector<uint8_t> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
        return {};
    }
    VS_FIXEDFILEINFO* info = nullptr;
    UINT info_size = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &info_size) ||
        info == nullptr || info_size < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    return FormatFileVersion(info->dwFileVersionMS, info->dwFileVersionLS);
}

namespace {

struct ServiceQuery {
    Tri state = Tri::Unknown;
    uint32_t process_id = 0;  // set when running
};

ServiceQuery QueryService(const std::wstring& name, bool query_running) {
    ServiceQuery result;
    const common::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return result;
    }
    const common::UniqueServiceHandle service(
        OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            result.state = Tri::No;
        }
        return result;
    }
    if (!query_running) {
        result.state = Tri::Yes;
        return result;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
        return result;
    }
    if (status.dwCurrentState == SERVICE_RUNNING) {
        result.state = Tri::Yes;
        result.process_id = status.dwProcessId;
    } else {
        result.state = Tri::No;
    }
    return result;
}

}  // namespace

Tri ServiceState(const std::wstring& name, bool query_running) {
    return QueryService(name, query_running).state;
}

uint32_t InteractiveServiceProcessId() {
    const ServiceQuery query = QueryService(kInteractiveServiceName, true);
    return query.state == Tri::Yes ? query.process_id : 0;
}

CapabilityProbes ProductionCapabilityProbes() {
    CapabilityProbes probes;
    probes.install = [](std::string* version) {
        const std::wstring path = FindOpenVpn();
        if (path.empty()) {
            return Tri::No;
        }
        *version = FileVersionText(path);
        return Tri::Yes;
    };
    probes.service_installed = [] { return ServiceState(kInteractiveServiceName, false); };
    probes.service_running = [] { return ServiceState(kInteractiveServiceName, true); };
    return probes;
}

}  // namespace lumet::agent::openvpn
