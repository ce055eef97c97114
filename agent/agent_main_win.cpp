#include "agent/agent_main.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/dispatch.h"
#include "agent/pipe_waits.h"
#include "agent/request_routing.h"
#include "agent/server_policy.h"
#include "common/caller_check.h"
#include "common/caller_identity.h"
#include "common/frame_transport.h"
#include "common/log.h"
#include "common/messages.h"
#include "common/pipe_names.h"
#include "common/pipe_security.h"
#include "common/secure_buffer.h"
#include "common/session_win.h"
#include "common/win_handle.h"

namespace lumet::agent {

namespace {

using common::LogLevel;
using common::Status;

// A single instance: one plugin client at a time, and no second server can share the name.
constexpr DWORD kMaxPipeInstances = 1;

std::mutex g_state_lock;
AgentState* g_published_state = nullptr;  // guarded by g_state_lock

uint32_t ReadIdleLimitSeconds() {
    wchar_t buffer[kIdleVariableBufferChars] = {};
    const DWORD returned = GetEnvironmentVariableW(kIdleSecondsVariable, buffer,
                                                   static_cast<DWORD>(kIdleVariableBufferChars));
    return IdleLimitSecondsFrom(returned, std::wstring_view(buffer, kIdleVariableBufferChars));
}

LoopActivity CurrentActivity(const AgentState& state) {
    LoopActivity activity;
    activity.client_connected = state.clients.load() != 0;
    activity.openvpn_active = state.openVpnActive.load() != 0;
    activity.service_call_in_flight = state.serviceCallsInFlight.load() > 0;
    activity.coordinator_exists = state.coordinator != nullptr;
    return activity;
}

bool SendStatusReply(const AgentState& state, HANDLE pipe, const common::FrameHeader& request,
                     Status status) {
    const std::vector<uint8_t> body = common::StatusOnly(status);
    return common::SendFrame(pipe, request.type, request.request_id, state.generation, body,
                             kPipeIoTimeoutMs, common::FrameWaits{state.stopEvent.get(), 0, {}});
}

// The next frame of the client, or nothing when it does not come (silence for the read
// time-out, a stop request, a closed or broken pipe, a malformed frame).
std::optional<common::ReceivedFrame> ReadRequest(AgentState& state, HANDLE pipe) {
    if (WaitForRequest(pipe, state.stopEvent.get(), kPipeIoTimeoutMs) != RequestWait::Ready) {
        return std::nullopt;
    }
    // Once the first byte is there, the whole frame must follow within one time-out, and a stop
    // ends the wait: a client that trickles its bytes cannot hold the only server thread.
    common::ReceivedFrame frame = common::ReceiveFrame(
        pipe, kPipeIoTimeoutMs, common::FrameWaits{state.stopEvent.get(), 0, {}});
    if (!frame.ok) {
        return std::nullopt;
    }
    return frame;
}

}  // namespace

int RunAgentProgram() {
    common::SetLogName(L"agent");
    // Created on first use and kept until the process exits.
    static AgentState state;

    // One agent per session. Losing the race is the normal outcome when a plugin starts an agent
    // while one is already running, so it exits with 0. Whatever handle we got is closed then.
    const std::optional<std::wstring> mutex_name = common::MakeAgentMutexName(state.sessionId);
    common::UniqueKernelHandle mutex;
    DWORD mutex_error = ERROR_INVALID_NAME;
    if (mutex_name) {
        SetLastError(ERROR_SUCCESS);
        mutex.reset(CreateMutexW(/*lpMutexAttributes=*/nullptr, /*bInitialOwner=*/FALSE,
                                 mutex_name->c_str()));
        mutex_error = GetLastError();
    }
    if (!mutex || mutex_error == ERROR_ALREADY_EXISTS) {
        common::LogLine(LogLevel::Info, L"another agent already owns this session, exiting 0");
        return kExitOk;
    }
    // The mutex handle stays open while the server runs, and so until the process ends; that is
    // what claims the session.

    // A parent that starts us in a new process group leaves Ctrl+C disabled; turn it back on so
    // that Ctrl+C reaches the handler like the other controls do.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(AgentConsoleControlHandler, TRUE);

    PublishAgentState(&state);
    const int result = RunPipeServer(state);
    PublishAgentState(nullptr);
    return result;
}

int RunPipeServer(AgentState& state) {
    common::LogLine(LogLevel::Info, L"agent starting session=" + std::to_wstring(state.sessionId) +
                                        L" generation=" + state.generationText);
    if (!state.stopEvent) {
        common::LogLine(LogLevel::Error, L"pipe server not started: no stop event");
        return kExitNoStopEvent;
    }
    const std::optional<std::wstring> name = common::AgentPipeName(state.sessionId);
    if (!name) {
        common::LogLine(LogLevel::Error, L"invalid session id, cannot name pipe");
        return kExitNoPipeName;
    }
    std::vector<std::wstring> allowed = {common::AdministratorsSidText()};
    if (std::optional<std::wstring> user = common::CurrentUserSidText()) {
        allowed.push_back(*user);
    }
    std::optional<common::PipeSecurity> security = common::BuildPipeSecurity(allowed);
    if (!security) {
        common::LogLine(LogLevel::Error, L"failed to build agent pipe security descriptor");
        return kExitNoPipeSecurity;
    }

    ULONGLONG last_activity = GetTickCount64();
    bool first_instance = true;
    bool stopping = false;
    while (!stopping && state.stopRequested.load() == 0) {
        common::UniqueHandle pipe(
            common::CreateServerPipeInstance(*name, *security, kMaxPipeInstances, first_instance));
        if (!pipe) {
            const DWORD error = GetLastError();
            if (OnCreatePipeFailure(first_instance, error) ==
                CreateFailureAction::RetryWithoutFirstInstance) {
                common::LogLine(LogLevel::Warn, L"stale agent pipe, recreating");
                first_instance = false;
                continue;
            }
            common::LogWin32ErrorRepeatable(LogLevel::Error, L"CreateNamedPipe failed", error);
            WaitForSingleObject(state.stopEvent.get(), kCreateRetryPauseMs);
            continue;
        }
        first_instance = false;

        const uint64_t idle_limit_ms = static_cast<uint64_t>(ReadIdleLimitSeconds()) * 1000;
        const DWORD timeout_ms =
            AcceptWaitMs(CurrentActivity(state), idle_limit_ms, GetTickCount64() - last_activity);

        switch (AwaitClient(pipe.get(), state.stopEvent.get(), timeout_ms)) {
            case AcceptOutcome::Stop:
                stopping = true;
                break;
            case AcceptOutcome::TimedOut:
                pipe.reset();
                ReportOpenVpnActivity(state);
                switch (
                    AfterAcceptTimeout(CurrentActivity(state), state.stopRequested.load() != 0)) {
                    case TimeoutVerdict::KeepServing:
                        break;
                    case TimeoutVerdict::Stop:
                        stopping = true;
                        break;
                    case TimeoutVerdict::IdleExit:
                        common::LogLine(LogLevel::Info,
                                        L"idle timeout with no clients / no VPN, exiting");
                        stopping = true;
                        break;
                }
                break;
            case AcceptOutcome::Failed:
                pipe.reset();
                WaitForSingleObject(state.stopEvent.get(), kCreateRetryPauseMs);
                break;
            case AcceptOutcome::Connected:
                ServeClient(state, pipe.get());
                last_activity = GetTickCount64();
                // Lets the client read a last reply (a ProtocolMismatch, say) before the
                // disconnect drops whatever is still unread.
                FlushClientBounded(pipe.get(), state.stopEvent.get(), kPipeIoTimeoutMs);
                DisconnectNamedPipe(pipe.get());
                pipe.reset();
                break;
            case AcceptOutcome::NotConnected:
                DisconnectNamedPipe(pipe.get());
                pipe.reset();
                break;
        }
    }

    ReportOpenVpnActivity(state);
    common::LogLine(LogLevel::Info, L"agent stopped");
    return kExitOk;
}

void ServeClient(AgentState& state, HANDLE pipe) {
    state.clients.fetch_add(1);
    common::ScopeExit leave([&state] { state.clients.fetch_sub(1); });

    // A client whose process plainly belongs to another user or session is dropped before it
    // can send anything; the check after the first frame (on the token it acts with) decides
    // for everyone else.
    const common::CallerIdentity early = common::GetConnectedClientIdentity(pipe);
    if (early.valid &&
        common::DecideCaller(early, common::CurrentUserSidText(), state.sessionId,
                             /*allow_local_system=*/false) != common::CallerDecision::Accepted) {
        common::LogRepeatable(
            LogLevel::Warn,
            L"plugin caller_rejected on connect (sid/session) pid=" + std::to_wstring(early.pid));
        return;
    }

    std::optional<common::ReceivedFrame> frame = ReadRequest(state, pipe);
    if (!frame) {
        return;
    }
    // Payloads may hold a WireGuard private key, also when the caller is turned away or speaks
    // another protocol.
    common::ScopeExit wipe_payload([&frame] { common::WipeBytes(frame->payload); });

    // Windows lets a server look at its client's token only once it has read from the pipe.
    const common::CallerIdentity caller = common::GetCallerIdentity(pipe);
    if (common::DecideCaller(caller, common::CurrentUserSidText(), state.sessionId,
                             /*allow_local_system=*/false) != common::CallerDecision::Accepted) {
        common::LogRepeatable(LogLevel::Warn, L"plugin caller_rejected (sid/session)");
        return;
    }
    common::LogLine(LogLevel::Info, L"plugin client connected pid=" + std::to_wstring(caller.pid));

    for (;;) {
        const common::FrameHeader header = frame->header;
        bool keep_serving = true;
        switch (RouteRequest(header)) {
            case RequestRoute::ProtocolMismatch:
                SendStatusReply(state, pipe, header, Status::ProtocolMismatch);
                keep_serving = false;
                break;
            case RequestRoute::Dispatch:
                keep_serving =
                    Dispatch(state, pipe, header.type, header.request_id, frame->payload);
                break;
            case RequestRoute::Unsupported:
                // Whether or not this reply gets through, the next read tells if the client is
                // still there.
                SendStatusReply(state, pipe, header, Status::UnsupportedType);
                break;
        }
        common::WipeBytes(frame->payload);
        if (!keep_serving) {
            break;
        }
        std::optional<common::ReceivedFrame> next = ReadRequest(state, pipe);
        if (!next) {
            break;
        }
        frame = std::move(next);
    }
    common::LogLine(LogLevel::Info, L"plugin client disconnected");
}

BOOL WINAPI AgentConsoleControlHandler(DWORD control_type) {
    if (!IsStopControl(control_type)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_state_lock);
    if (g_published_state != nullptr) {
        g_published_state->RequestStop();
    }
    return TRUE;
}

void PublishAgentState(AgentState* state) {
    std::lock_guard<std::mutex> lock(g_state_lock);
    g_published_state = state;
}

}  // namespace lumet::agent
