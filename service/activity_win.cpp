#include "service/activity_win.h"

#include <windows.h>

#include <mutex>
#include <string>

#include "common/log.h"
#include "common/messages.h"
#include "common/payload.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "service/openvpn_staging_win.h"
#include "service/service_state.h"

namespace lumet::service {

namespace {

constexpr DWORD kImagePathChars = 260;
constexpr wchar_t kOpenVpnImageName[] = L"openvpn.exe";

bool ServiceManagerUnavailable() {
    common::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return !manager;
}

void WriteActivityRecord(const ActivityVerdict& verdict) {
    common::UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kActivityKeyPath, 0, nullptr, /*dwOptions=*/0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    const DWORD state = static_cast<DWORD>(verdict.state);
    const DWORD reasons = verdict.reasons;
    RegSetValueExW(key.get(), kActivityValueName, 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&state), sizeof(state));
    RegSetValueExW(key.get(), kActivityReasonsValueName, 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&reasons), sizeof(reasons));
}

}  // namespace

ProcessCheck CheckOpenVpnProcess(uint32_t pid) {
    if (pid == 0) {
        return ProcessCheck::ProcessNone;
    }
    common::UniqueProcess process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        const DWORD error = GetLastError();
        return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_FOUND
                   ? ProcessCheck::ProcessGone
                   : ProcessCheck::ProcessCheckFailed;
    }
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(process.get(), &exit_code)) {
        return ProcessCheck::ProcessCheckFailed;
    }
    if (exit_code != STILL_ACTIVE) {
        return ProcessCheck::ProcessGone;
    }
    wchar_t image[kImagePathChars] = {};
    DWORD length = kImagePathChars;
    if (!QueryFullProcessImageNameW(process.get(), /*dwFlags=*/0, image, &length) || length == 0) {
        return ProcessCheck::ProcessCheckFailed;
    }
    const std::wstring_view path(image, length);
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring_view name = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
    // A process id can be reused by anything once OpenVPN has exited; only the image name tells.
    return CompareStringOrdinal(name.data(), static_cast<int>(name.size()), kOpenVpnImageName, -1,
                                /*bIgnoreCase=*/TRUE) == CSTR_EQUAL
               ? ProcessCheck::ProcessIsOpenVpn
               : ProcessCheck::ProcessGone;
}

ActivitySnapshot GatherActivitySnapshot(ServiceState& state, uint64_t now_tick,
                                        uint64_t freshness_ms) {
    ActivitySnapshot snapshot;

    if (state.tunnel_controller) {
        common::WireGuardStatusRecord tunnel;
        state.tunnel_controller->QueryStatus(&tunnel);
        snapshot.wg_tunnel_present = tunnel.state == 1 || tunnel.state == 2;
        snapshot.wg_adapter_present = tunnel.adapter_present;
    }

    snapshot.scm_unavailable = ServiceManagerUnavailable();

    const ConfigDirResolution resolution = ResolveConfigDirectory();
    if (resolution.status == ConfigDirStatus::Trusted) {
        snapshot.staged_profiles =
            CountStagedProfiles(resolution.staging_directory, &snapshot.staging_scan_failed);
    }

    std::lock_guard<std::mutex> lock(state.activity_lock);
    snapshot.report_present = state.report_present;
    snapshot.reported_active = state.reported_active;
    snapshot.report_fresh =
        state.report_present && IsReportFresh(state.report_tick, now_tick, freshness_ms);
    if (state.report_present) {
        snapshot.process_check = CheckOpenVpnProcess(state.reported_openvpn_pid);
    }
    return snapshot;
}

ActivityVerdict RecordVpnActivity(ServiceState& state, uint64_t now_tick, uint64_t freshness_ms) {
    const ActivityVerdict verdict =
        DecideActivity(GatherActivitySnapshot(state, now_tick, freshness_ms));
    const uint32_t packed = PackActivity(verdict);
    if (state.last_recorded_activity.exchange(packed) == packed) {
        return verdict;
    }
    WriteActivityRecord(verdict);
    common::LogLine(common::LogLevel::Info, common::Utf8ToWide(FormatActivityLogLine(verdict)));
    return verdict;
}

bool StoreOpenVpnActivityReport(ServiceState& state, std::span<const uint8_t> payload,
                                uint64_t now_tick) {
    common::PayloadReader reader(payload);
    common::OpenVpnActivityReport report;
    if (!common::Read(reader, &report)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(state.activity_lock);
    state.report_present = true;
    state.reported_active = report.active;
    state.reported_openvpn_pid = report.openvpn_pid;
    state.report_tick = now_tick;
    return true;
}

}  // namespace lumet::service
