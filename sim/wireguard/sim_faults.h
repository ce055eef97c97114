// Fault switches of the simulated tunnel service, read once when a tunnel service starts.
//
// Registry values (REG_DWORD) under HKLM\SOFTWARE\OrrinfieldVPNTest\WireGuardSim. A missing key
// or value, or a value of another type, means normal behaviour. See README.md for what each does.
// Test tooling only.
#pragma once

#include <cstdint>

namespace lumet::sim {

inline constexpr wchar_t kFaultKeyPath[] = L"SOFTWARE\\OrrinfieldVPNTest\\WireGuardSim";

inline constexpr wchar_t kFaultNoAdapter[] = L"NoAdapter";
inline constexpr wchar_t kFaultStayStartPending[] = L"StayStartPending";
inline constexpr wchar_t kFaultExitBeforeRunning[] = L"ExitBeforeRunning";
inline constexpr wchar_t kFaultStartDelayMs[] = L"StartDelayMs";
inline constexpr wchar_t kFaultAdapterDelayMs[] = L"AdapterDelayMs";
inline constexpr wchar_t kFaultDieAfterMs[] = L"DieAfterMs";
inline constexpr wchar_t kFaultHandshakeDelayMs[] = L"HandshakeDelayMs";
// Not a fault: with RecordConfig = 1 the tunnel service stores the exact bytes it read from its
// configuration file as the REG_BINARY value LastConfig, so a test can check what was handed over.
inline constexpr wchar_t kFaultRecordConfig[] = L"RecordConfig";
inline constexpr wchar_t kRecordedConfigValue[] = L"LastConfig";

// Service-specific exit code reported when ExitBeforeRunning is set, and the process exit code
// of a DieAfterMs crash.
inline constexpr uint32_t kFaultExitCode = 0x5157;  // "WQ"
inline constexpr uint32_t kCrashExitCode = 0xDEAD;

// A tunnel stuck in START_PENDING (which refuses STOP, as the real one does) gives up after this
// long so that no test leaves a process behind for good.
inline constexpr uint32_t kStuckPendingLimitMs = 4000;

struct SimFaults {
    bool no_adapter = false;           // never publish the adapter
    bool stay_start_pending = false;   // never report RUNNING
    bool exit_before_running = false;  // report STOPPED (service-specific error) instead of RUNNING
    uint32_t start_delay_ms = 0;       // START_PENDING this long before RUNNING
    uint32_t adapter_delay_ms = 0;     // publish the adapter this long after RUNNING
    uint32_t die_after_ms = 0;         // 0 = never; else crash this long after RUNNING
    uint32_t handshake_delay_ms = 300;  // handshake this long after the adapter appears
    bool record_config = false;         // store the bytes read as LastConfig
};

// Reads the switches; never fails (anything unreadable keeps its default).
SimFaults ReadSimFaults();

}  // namespace lumet::sim
