#include "agent/agent_state.h"

#include <utility>

#include "common/generation.h"
#include "common/log.h"
#include "common/messages.h"
#include "common/pipe_server_check_win.h"
#include "common/session_win.h"
#include "common/utf.h"

namespace lumet::agent {

namespace {

// The product's link to the service: only the service manager's OrrinfieldVPNService (or a
// LocalSystem process, or a console service when the environment allows it) gets our requests.
common::PeerLinkSettings ProductServiceLinkSettings() {
    common::PeerLinkSettings settings = common::ServiceLinkSettings(common::CurrentSessionId());
    settings.verify_server = [](void* pipe) {
        return common::VerifyServiceServer(static_cast<HANDLE>(pipe));
    };
    return settings;
}

}  // namespace

AgentState::AgentState() : AgentState(ProductServiceLinkSettings()) {}

AgentState::AgentState(common::PeerLinkSettings service_link_settings)
    : serviceLink(std::move(service_link_settings)) {
    const DWORD pid = GetCurrentProcessId();
    generation = common::DrawGenerationValue();
    generationText = common::Utf8ToWide(common::FormatGenerationText(pid, generation));
    sessionId = common::CurrentSessionId();
    stopEvent.reset(CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                 /*bInitialState=*/FALSE, /*lpName=*/nullptr));
    if (!stopEvent) {
        common::LogWin32Error(common::LogLevel::Error, L"failed to create the stop event",
                              GetLastError());
    }
}

AgentState::~AgentState() = default;

void AgentState::RequestStop() {
    stopRequested.exchange(1);
    if (stopEvent) {
        SetEvent(stopEvent.get());
    }
}

}  // namespace lumet::agent
