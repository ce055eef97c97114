// The WireGuard tunnel controller: brings the service's one WireGuard tunnel up and down by
// driving WireGuard for Windows, and reports its status.
//
// Up: the configuration text is parsed and rendered canonically, written into a protected file in
// "<ProgramData>\Orrinfield\vpn\wireguard", the tunnel service
// "WireGuardTunnel$orrinfieldwireguard" (wireguard.exe /tunnelservice <file>) is created and
// started, the adapter "orrinfieldwireguard" is awaited through wireguard.dll, and the file is
// securely deleted once the tunnel runs. Down: the tunnel service is stopped and deleted.
// wireguard.exe and wireguard.dll are taken from the service directory given at construction.
//
// Thread safety: every operation holds the controller's mutex. Start only tries it and answers
// TunnelBusy at once if another operation holds it; Stop, QueryStatus and Reconcile wait for it.
//
// Blocking: Start can take up to 12000 ms to remove an old tunnel service (32000 ms when it is
// still starting, which Windows lets no one stop), 20000 ms waiting for
// the new one to run and 30 x 500 ms waiting for the adapter (clients allow 60000 ms for the
// reply). Stop and Reconcile can take up to 12000 ms.
//
// Failures are values: every operation fills a WireGuardStatusRecord whose `error` is a
// TunnelError (service/wireguard/tunnel_names.h) and logs what went wrong; nothing throws except
// std::bad_alloc.
//
// Secrets: the configuration text holds a private key. The controller wipes its own copies (the
// canonical text) on every path and never logs it; the caller owns `utf8_config` and wipes it.
// The configuration file never outlives a start.
//
// Ownership: owned by the service's state for its whole life. Destruction releases wireguard.dll
// and leaves a running tunnel alone (the next Reconcile removes it).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "common/messages.h"
#include "service/wireguard/adapter_probe.h"
#include "service/wireguard/tunnel_names.h"

namespace lumet::service::wireguard {

// Waits of the controller. The defaults are the product's values; tests shorten them.
struct TunnelWaits {
    uint32_t stop_timeout_ms = 12000;  // for SERVICE_STOPPED after SERVICE_CONTROL_STOP
    uint32_t stop_poll_ms = 200;
    uint32_t running_timeout_ms = 20000;  // for SERVICE_RUNNING after StartServiceW
    uint32_t running_poll_ms = 250;
    uint32_t adapter_attempts = 30;  // probes of the adapter after the service runs
    uint32_t adapter_poll_ms = 500;
};

// Seams for tests; the product constructs the controller without options.
struct TunnelControllerOptions {
    TunnelWaits waits;

    // Sets the SID type of the freshly created tunnel service, whose SC_HANDLE is passed as
    // `service`. Returns 0 on success, else the Win32 error code. Empty: ChangeServiceConfig2W
    // with SERVICE_CONFIG_SERVICE_SID_INFO.
    std::function<uint32_t(void* service, uint32_t sid_type)> set_service_sid_type;

    // Empty: lumet::common::RunningUnderWine().
    std::function<bool()> running_under_wine;

    // Called with the path and the security descriptor (as SDDL) each time the controller
    // protects the configuration directory or creates the configuration file, just before it
    // hands the descriptor to Windows. Wine stores no file access lists, so tests look here.
    std::function<void(std::wstring_view path, std::wstring_view sddl)> observe_protection;
};

class WireGuardTunnelController {
  public:
    // `service_directory`: the folder of the service's own executable (no trailing separator
    // needed). Looks up the ProgramData folder once; nothing else happens until the first call.
    explicit WireGuardTunnelController(std::wstring service_directory,
                                       TunnelControllerOptions options = {});
    ~WireGuardTunnelController();

    WireGuardTunnelController(const WireGuardTunnelController&) = delete;
    WireGuardTunnelController& operator=(const WireGuardTunnelController&) = delete;

    // Brings the tunnel up with `utf8_config` (a WireGuard INI text; any bytes), replacing a tunnel
    // that is up. Returns out->error. On success `out` is state 2 with the adapter's counters; on
    // failure state 4 (state 1 with TunnelBusy) and zero counters, and no tunnel service or file is
    // left behind. The one exception: a tunnel service whose own start outlasts every wait cannot
    // be stopped (Windows refuses STOP while it is START_PENDING); the start then fails with
    // TunnelStopIncomplete, state 1 while the service is still registered.
    [[nodiscard]] TunnelError Start(std::string_view utf8_config,
                                    common::WireGuardStatusRecord* out);

    // Stops and deletes the tunnel service and the configuration file. `out` is state 4 with
    // error 0, or TunnelStopIncomplete when the service could not be fully removed. Returns
    // out->error. Why a stop is incomplete (the Win32 error behind it) is logged here, once.
    [[nodiscard]] TunnelError Stop(common::WireGuardStatusRecord* out);

    // state 2 when the adapter is present, 1 when only the tunnel service exists, else 4; error 0.
    void QueryStatus(common::WireGuardStatusRecord* out);

    // Removes a tunnel service and a configuration file left over from an earlier run of the
    // service. Called once when the pipe server starts.
    void Reconcile();

  private:
    void FillStatusLocked(common::WireGuardStatusRecord* out);
    void EnsureProbeLoadAttemptedLocked();
    bool AdapterPresentLocked();

    std::mutex lock_;
    std::wstring service_directory_;
    std::wstring wireguard_exe_path_;
    std::wstring wireguard_dll_path_;
    std::wstring config_file_path_;  // empty when ProgramData was unknown at construction
    std::wstring config_directory_;  // likewise
    AdapterProbe adapter_probe_;
    bool probe_load_attempted_ = false;
    TunnelControllerOptions options_;
};

}  // namespace lumet::service::wireguard
