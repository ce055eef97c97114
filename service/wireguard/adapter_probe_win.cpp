#include "service/wireguard/adapter_probe.h"

#include <vector>

#include "common/log.h"
#include "service/wireguard/adapter_walk.h"

namespace lumet::service::wireguard {
namespace {

using common::LogLevel;

// GetProcAddress returns a generic FARPROC; the library's documented signature is what we cast to.
template <typename Fn>
Fn Bind(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

AdapterProbe::~AdapterProbe() {
    Unload();
}

bool AdapterProbe::Load(const std::wstring& dll_path) {
    if (loaded()) {
        return true;
    }
    if (dll_path.empty()) {
        return false;
    }
    // Nothing this process loads later by bare name may come from the current directory or PATH.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE module =
        LoadLibraryExW(dll_path.c_str(), /*hFile=*/nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        common::LogWin32Error(LogLevel::Error, L"wireguard.dll load failed", GetLastError());
        return false;
    }
    const auto open_adapter = Bind<OpenAdapterFn>(module, "WireGuardOpenAdapter");
    const auto close_adapter = Bind<CloseAdapterFn>(module, "WireGuardCloseAdapter");
    const auto get_configuration = Bind<GetConfigurationFn>(module, "WireGuardGetConfiguration");
    if (open_adapter == nullptr || close_adapter == nullptr || get_configuration == nullptr) {
        common::LogLine(LogLevel::Error, L"wireguard.dll missing a required export -> fail closed");
        FreeLibrary(module);
        return false;
    }
    module_ = module;
    open_adapter_ = open_adapter;
    close_adapter_ = close_adapter;
    get_configuration_ = get_configuration;
    return true;
}

void AdapterProbe::Unload() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
    module_ = nullptr;
    open_adapter_ = nullptr;
    close_adapter_ = nullptr;
    get_configuration_ = nullptr;
}

AdapterSummary AdapterProbe::Probe(const std::wstring& adapter_name) const {
    AdapterSummary summary;
    if (!loaded()) {
        return summary;
    }
    void* adapter = open_adapter_(adapter_name.c_str());
    if (adapter == nullptr) {
        return summary;
    }
    summary.adapter_present = true;

    DWORD reported = 0;
    if (!get_configuration_(adapter, nullptr, &reported) && GetLastError() == ERROR_MORE_DATA &&
        IsAcceptableReportedSize(reported)) {
        std::vector<uint8_t> image(reported, 0);
        DWORD returned = reported;
        if (get_configuration_(adapter, image.data(), &returned) &&
            IsAcceptableReturnedSize(returned, image.size())) {
            const AdapterCounters counters = WalkAdapterConfiguration(image.data(), returned);
            summary.rx_bytes = counters.rx_bytes;
            summary.tx_bytes = counters.tx_bytes;
            summary.last_handshake_ms = counters.last_handshake_ms;
        }
        // The interface record carries the adapter's private key.
        SecureZeroMemory(image.data(), image.size());
    }
    close_adapter_(adapter);
    return summary;
}

}  // namespace lumet::service::wireguard
