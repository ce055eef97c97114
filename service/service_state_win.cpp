#include "service/service_state.h"

#include "common/generation.h"
#include "common/log.h"
#include "common/messages.h"
#include "common/utf.h"
#include "service/activity_hook.h"
#include "service/lifecycle.h"
#include "service/openvpn_staging_win.h"

namespace lumet::service {

namespace {

std::wstring FindExecutableDirectory() {
    wchar_t path[kModulePathChars] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, kModulePathChars);
    return ExecutableDirectoryFromModulePath(std::wstring_view(path, kModulePathChars), length);
}

}  // namespace

ServiceState::ServiceState(bool console_mode_flag) : console_mode(console_mode_flag) {
    executable_directory = FindExecutableDirectory();

    tunnel_controller =
        std::make_unique<wireguard::WireGuardTunnelController>(executable_directory);

    generation_text = common::Utf8ToWide(
        common::FormatGenerationText(GetCurrentProcessId(), common::DrawGenerationValue()));
    generation_number = 0;
    start_tick = GetTickCount64();

    stop_event.reset(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE,
                                  /*lpName=*/nullptr));
    if (!stop_event) {
        common::LogWin32Error(common::LogLevel::Error, L"failed to create the stop event",
                              GetLastError());
    }

    // Independent of the draw inside the text, so the text never reveals the header value.
    generation_number = common::DrawGenerationValue();

    // Profiles staged by an earlier run are of no use to anyone now and still hold secrets.
    RunStartupSweep();

    RecordActivity(*this);
}

ServiceState::~ServiceState() = default;

void ServiceState::RequestStop() {
    stop_requested.exchange(true);
    if (stop_event) {
        SetEvent(stop_event.get());
    }
}

}  // namespace lumet::service
