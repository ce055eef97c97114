#include "sim/openvpn/sim_switches.h"

#include <windows.h>

#include <vector>

namespace lumet::sim::openvpn {

std::optional<uint32_t> ReadSwitchDword(const wchar_t* name) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSimKeyPath, name, RRF_RT_REG_DWORD, nullptr, &data,
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return data;
}

std::optional<std::wstring> ReadSwitchString(const wchar_t* name) {
    DWORD size = 0;
    const DWORD flags = RRF_RT_REG_SZ;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSimKeyPath, name, flags, nullptr, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSimKeyPath, name, flags, nullptr, buffer.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(buffer.data());
}

void WriteRecordDword(const wchar_t* name, uint32_t value) {
    const DWORD data = value;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSimKeyPath, name, REG_DWORD, &data, sizeof(data));
}

void WriteRecordString(const wchar_t* name, const std::wstring& value) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSimKeyPath, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace lumet::sim::openvpn
