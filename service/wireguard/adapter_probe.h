// Binding to the WireGuard driver library (wireguard.dll) and a read-only summary of one adapter.
//
// Namespace lumet::service::wireguard. Win32 only.
//
// Ownership: an AdapterProbe owns the loaded module; Unload() or destruction frees it. The probe
// is either fully loaded (module and all three functions bound) or empty, never half bound.
//
// Thread safety: none. The tunnel controller uses its probe only under its own lock.
//
// The probe never changes the adapter. Each Probe() opens the adapter by name, reads its
// configuration once and closes it again, so no adapter handle outlives the call. The
// configuration image holds the interface's private key, so the buffer is overwritten with zeros
// before it is freed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace lumet::service::wireguard {

// The result of one probe; all zero when the probe is not loaded or the adapter cannot be opened.
struct AdapterSummary {
    bool adapter_present = false;    // the adapter could be opened by name
    uint64_t rx_bytes = 0;           // sum of the peers' received bytes, saturating
    uint64_t tx_bytes = 0;           // sum of the peers' transmitted bytes, saturating
    uint64_t last_handshake_ms = 0;  // latest peer handshake, ms since 1970 UTC; 0 when none
};

class AdapterProbe {
  public:
    // The library's own signatures (adapter handles are opaque pointers).
    using OpenAdapterFn = void*(WINAPI*)(const wchar_t* name);
    using CloseAdapterFn = void(WINAPI*)(void* adapter);
    using GetConfigurationFn = BOOL(WINAPI*)(void* adapter, void* buffer, DWORD* bytes);

    AdapterProbe() = default;
    ~AdapterProbe();
    AdapterProbe(const AdapterProbe&) = delete;
    AdapterProbe& operator=(const AdapterProbe&) = delete;

    // Loads the library from `dll_path` (an absolute path) and binds its three functions.
    // Returns true when loaded (also when it already was). Restricts the process's default DLL
    // search to System32 first, and lets the library's own dependencies resolve only from its
    // directory and System32. Failure is logged once per call at ERR and leaves the probe empty: a
    // library without one of the functions is freed again and never bound.
    bool Load(const std::wstring& dll_path);

    // Frees the module and empties the probe. Safe to call when empty.
    void Unload();

    bool loaded() const { return module_ != nullptr; }

    // Summarises the adapter called `adapter_name`. Never fails: an unloaded probe or an adapter
    // that cannot be opened gives an all-zero summary; a configuration that cannot be read (size
    // out of 80..524288 bytes, a failed second call, an implausible returned size) leaves the
    // counters at 0 with adapter_present true. Blocks only for the library's calls.
    AdapterSummary Probe(const std::wstring& adapter_name) const;

  private:
    HMODULE module_ = nullptr;
    OpenAdapterFn open_adapter_ = nullptr;
    CloseAdapterFn close_adapter_ = nullptr;
    GetConfigurationFn get_configuration_ = nullptr;
};

}  // namespace lumet::service::wireguard
