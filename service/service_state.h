// The one state record the service works on for its whole life.
//
// Ownership: the service main (service mode) or the console mode (a function-level static) owns
// it; the pipe server and every request handler borrow it on the server thread. The control
// handlers reach it only through the pointer published by the service host (service_main.h) and
// touch nothing but the stop flag, the stop event and, for an SCM stop, the tunnel controller.
//
// Thread safety: `stop_requested` and `last_recorded_activity` are atomics; the four OpenVPN
// report fields are guarded by `activity_lock`; the tunnel controller serialises its own
// operations (the server thread's requests and an SCM stop on the handler thread); every other
// field is written only during construction and read-only afterwards.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "common/win_handle.h"
#include "service/wireguard/tunnel_controller.h"

namespace lumet::service {

inline constexpr uint32_t kNoRecordedActivity = 0xFFFFFFFF;

class ServiceState {
  public:
    // Builds the state in a fixed order: mode, executable directory, tunnel controller,
    // generation text, start tick, stop event, generation number, OpenVPN staging sweep, first
    // activity record. Never fails as a whole: when the stop event cannot be created that is
    // logged and `stop_event` stays empty, and the pipe server refuses to run on such a state.
    explicit ServiceState(bool console_mode);
    // Releases what the state owns, the tunnel controller (and with it wireguard.dll) included.
    // Does not stop a running WireGuard tunnel: a tunnel left behind is reconciled at the next
    // start.
    ~ServiceState();

    ServiceState(const ServiceState&) = delete;
    ServiceState& operator=(const ServiceState&) = delete;

    // Sets the stop flag (never cleared again) and signals the stop event. Safe from any thread.
    void RequestStop();

    // True when started with "--console": the expected caller is then this process's own user
    // and session instead of the user of the active console session.
    const bool console_mode;

    // Where the service's executable lives; empty when its path could not be had (wireguard.exe
    // is then never found and every tunnel start fails with TunnelSetupFailed).
    std::wstring executable_directory;

    // The one WireGuard tunnel, driven through wireguard.exe and wireguard.dll beside the
    // executable. Created in the constructor, never null afterwards; destroyed with the state,
    // which leaves a running tunnel in place.
    std::unique_ptr<wireguard::WireGuardTunnelController> tunnel_controller;

    // "<pid>-0x%08X" from a random draw of its own; sent in the hello and health replies.
    std::wstring generation_text;

    // A second, independent random draw, never 0; stamped into every reply header.
    uint32_t generation_number = 0;

    // GetTickCount64 at construction; health replies report the uptime from it.
    uint64_t start_tick = 0;

    std::atomic<bool> stop_requested{false};

    // Manual reset, created non-signalled; signalled together with `stop_requested`. Every wait
    // of the pipe server includes it.
    common::UniqueEvent stop_event;

    // Guards the latest OpenVPN activity report of the agent (the four fields below).
    std::mutex activity_lock;
    bool report_present = false;
    bool reported_active = false;
    uint32_t reported_openvpn_pid = 0;
    uint64_t report_tick = 0;

    // Role in the pipe's name ("Service"); tests use a role of their own. Set before the server
    // runs.
    std::wstring pipe_role = L"Service";

    // Test seam, set before the server runs: when set, the session and user SID the pipe
    // expects come from here instead of the console (or this process), so that a test can
    // change the console session under a running server. Called on the server thread.
    std::function<std::pair<uint32_t, std::optional<std::wstring>>()> expected_caller_for_testing;

    // GetTickCount64 of the latest periodic activity refresh; server thread only.
    uint64_t last_activity_refresh_tick = 0;

    // The packed activity value last written to the registry.
    std::atomic<uint32_t> last_recorded_activity{kNoRecordedActivity};
};

}  // namespace lumet::service
