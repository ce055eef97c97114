#include "sim/wireguard/sim_faults.h"

#include <windows.h>

namespace lumet::sim {
namespace {

bool ReadDword(const wchar_t* name, uint32_t& value) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kFaultKeyPath, name, RRF_RT_REG_DWORD, /*pdwType=*/nullptr,
                     &data, &size) != ERROR_SUCCESS) {
        return false;
    }
    value = data;
    return true;
}

}  // namespace

SimFaults ReadSimFaults() {
    SimFaults faults;
    uint32_t v = 0;
    if (ReadDword(kFaultNoAdapter, v))
        faults.no_adapter = v != 0;
    if (ReadDword(kFaultStayStartPending, v))
        faults.stay_start_pending = v != 0;
    if (ReadDword(kFaultExitBeforeRunning, v))
        faults.exit_before_running = v != 0;
    if (ReadDword(kFaultStartDelayMs, v))
        faults.start_delay_ms = v;
    if (ReadDword(kFaultAdapterDelayMs, v))
        faults.adapter_delay_ms = v;
    if (ReadDword(kFaultDieAfterMs, v))
        faults.die_after_ms = v;
    if (ReadDword(kFaultHandshakeDelayMs, v))
        faults.handshake_delay_ms = v;
    if (ReadDword(kFaultRecordConfig, v))
        faults.record_config = v != 0;
    return faults;
}

}  // namespace lumet::sim
