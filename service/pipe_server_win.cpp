#include "service/pipe_server.h"

#include <optional>
#include <string>
#include <vector>

#include "common/caller_identity.h"
#include "common/frame_transport.h"
#include "common/log.h"
#include "common/messages.h"
#include "common/pipe_names.h"
#include "common/pipe_security.h"
#include "common/secure_buffer.h"
#include "common/session_win.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "service/activity_hook.h"
#include "service/activity_win.h"
#include "service/lifecycle.h"
#include "service/openvpn_staging_win.h"
#include "service/request_handling.h"

namespace lumet::service {

namespace {

using common::LogLevel;
using common::Status;

constexpr DWORD kClientWaitMs = 5000;
constexpr DWORD kSetupRetryPauseMs = 1000;
constexpr DWORD kMaxPipeInstances = 2;
// How long a cancelled flush gets to unwind before the client is disconnected under it.
constexpr DWORD kFlushCancelGraceMs = 1000;

// Who may use the pipe in this pass: the user and session that a client must match.
struct ExpectedCaller {
    uint32_t session_id = common::kUnknownSessionId;
    std::optional<std::wstring> user_sid;
};

ExpectedCaller FindExpectedCaller(bool console_mode) {
    ExpectedCaller expected;
    if (console_mode) {
        expected.session_id = common::CurrentSessionId();
        expected.user_sid = common::CurrentUserSidText();
    } else {
        // 0xFFFFFFFF while no session is attached to the console: no pipe name exists for it,
        // so the server only waits until one is.
        expected.session_id = WTSGetActiveConsoleSessionId();
        expected.user_sid = common::ActiveConsoleUserSidText();
    }
    return expected;
}

void PauseAfterSetupFailure(ServiceState& state) {
    WaitForSingleObject(state.stop_event.get(), kSetupRetryPauseMs);
}

bool SendReply(ServiceState& state, HANDLE pipe, uint16_t type, uint32_t request_id,
               std::span<const uint8_t> body) {
    return common::SendFrame(pipe, type, request_id, state.generation_number, body,
                             kPipeIoTimeoutMs);
}

bool SendStatusReply(ServiceState& state, HANDLE pipe, uint16_t type, uint32_t request_id,
                     Status status) {
    const std::vector<uint8_t> body = common::StatusOnly(status);
    return SendReply(state, pipe, type, request_id, body);
}

enum class ConnectOutcome { Connected, NotConnected, Idle, Stop, Failed };

// Listens on `pipe` for up to kClientWaitMs. The overlapped connect never outlives this
// function: on every path that leaves it pending it is cancelled and waited for.
ConnectOutcome AwaitClient(ServiceState& state, HANDLE pipe) {
    common::UniqueEvent connected(CreateEventW(nullptr, /*bManualReset=*/TRUE,
                                               /*bInitialState=*/FALSE, /*lpName=*/nullptr));
    if (!connected) {
        common::LogWin32Error(LogLevel::Error, L"CreateEvent for the pipe connect failed",
                              GetLastError());
        return ConnectOutcome::Failed;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = connected.get();
    if (ConnectNamedPipe(pipe, &overlapped)) {
        return ConnectOutcome::Connected;
    }
    const DWORD connect_error = GetLastError();
    if (connect_error == ERROR_PIPE_CONNECTED) {
        // The client opened the pipe between its creation and this call.
        return ConnectOutcome::Connected;
    }
    if (connect_error != ERROR_IO_PENDING) {
        // For example a client that connected and already closed again (ERROR_NO_DATA).
        return ConnectOutcome::NotConnected;
    }

    HANDLE waits[] = {state.stop_event.get(), connected.get()};
    const DWORD waited = WaitForMultipleObjects(2, waits, /*bWaitAll=*/FALSE, kClientWaitMs);
    const DWORD wait_error = GetLastError();
    DWORD transferred = 0;
    if (waited == WAIT_OBJECT_0 + 1) {
        if (GetOverlappedResult(pipe, &overlapped, &transferred, /*bWait=*/FALSE)) {
            return ConnectOutcome::Connected;
        }
        return GetLastError() == ERROR_PIPE_CONNECTED ? ConnectOutcome::Connected
                                                      : ConnectOutcome::NotConnected;
    }

    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &transferred, /*bWait=*/TRUE);
    if (waited == WAIT_OBJECT_0) {
        return ConnectOutcome::Stop;
    }
    if (waited == WAIT_TIMEOUT) {
        return ConnectOutcome::Idle;
    }
    common::LogWin32Error(LogLevel::Error, L"waiting for a pipe client failed", wait_error);
    return ConnectOutcome::Failed;
}

DWORD WINAPI FlushThreadMain(void* pipe) {
    FlushFileBuffers(static_cast<HANDLE>(pipe));
    return 0;
}

// FlushFileBuffers on a pipe returns only once the client has read everything written to it,
// so a client that stays connected without reading its last reply would hold the server, and
// with it every other client and any stop, for ever. The flush therefore runs on a helper thread
// and is given up after one pipe-operation time-out or at a stop: cancelled first, and if that
// does not end it, the disconnect that follows anyway breaks it.
void FlushClientBounded(HANDLE pipe, HANDLE stop_event) {
    common::UniqueKernelHandle thread(CreateThread(nullptr, 0, FlushThreadMain, pipe, 0, nullptr));
    if (!thread) {
        // Without a flush only an unread last reply is lost; better than risking a hang.
        return;
    }
    HANDLE waits[] = {thread.get(), stop_event};
    if (WaitForMultipleObjects(2, waits, /*bWaitAll=*/FALSE, kPipeIoTimeoutMs) == WAIT_OBJECT_0) {
        return;
    }
    CancelSynchronousIo(thread.get());
    if (WaitForSingleObject(thread.get(), kFlushCancelGraceMs) == WAIT_OBJECT_0) {
        return;
    }
    DisconnectNamedPipe(pipe);
    WaitForSingleObject(thread.get(), kFlushCancelGraceMs);
}

void LogCallerRejected(common::CallerDecision decision, const common::CallerIdentity& caller) {
    switch (decision) {
        case common::CallerDecision::IdentityUnavailable:
            common::LogLine(LogLevel::Warn, L"caller_rejected: identity unavailable");
            break;
        case common::CallerDecision::NoExpectedSid:
            common::LogLine(LogLevel::Warn, L"caller_rejected: no expected user SID");
            break;
        case common::CallerDecision::Mismatch:
            common::LogLine(LogLevel::Warn, L"caller_rejected: sid/session mismatch pid=" +
                                                std::to_wstring(caller.pid) + L" session=" +
                                                std::to_wstring(caller.session_id));
            break;
        case common::CallerDecision::Accepted:
            break;
    }
}

// WireGuardStart, WireGuardStop and WireGuardStatus. Runs to completion on the server thread: a
// start can block for up to about 47 s (see tunnel_controller.h), and every other client waits.
std::vector<uint8_t> HandleWireGuardRequest(ServiceState& state, uint16_t type,
                                            std::span<const uint8_t> payload,
                                            bool* record_activity) {
    wireguard::WireGuardTunnelController& controller = *state.tunnel_controller;
    common::WireGuardStatusRecord record;
    switch (static_cast<common::MessageType>(type)) {
        case common::MessageType::WireGuardStart: {
            // Holds the private key; wiped right after the start, and again by its destructor on
            // any way out.
            common::SecureString config;
            if (!DecodeWireGuardStart(payload, &config)) {
                return common::StatusOnly(Status::BadRequest);
            }
            controller.Start(config.str(), &record);
            config.Wipe();
            *record_activity = true;
            break;
        }
        case common::MessageType::WireGuardStop:
            controller.Stop(&record);
            *record_activity = true;
            break;
        default:
            controller.QueryStatus(&record);
            break;
    }
    return BuildWireGuardStatusReply(record);
}

}  // namespace

int RunPipeServer(ServiceState& state) {
    common::SetLogName(L"service");
    common::LogLine(LogLevel::Info, L"service starting generation=" + state.generation_text +
                                        L" gen_num=" + FormatHex32(state.generation_number));
    if (!state.stop_event) {
        common::LogLine(LogLevel::Error, L"pipe server not started: no stop event");
        return 1;
    }

    // A tunnel that a console run (Ctrl+C) or a crash left behind is controlled by nobody: remove
    // it, and any configuration file with its private key, before the first client can ask for
    // a new one.
    state.tunnel_controller->Reconcile();

    while (!state.stop_requested.load()) {
        const ExpectedCaller expected = FindExpectedCaller(state.console_mode);
        const std::optional<std::wstring> name = common::ServicePipeName(expected.session_id);
        if (!name) {
            PauseAfterSetupFailure(state);
            continue;
        }

        std::vector<std::wstring> allowed = {common::LocalSystemSidText(),
                                             common::AdministratorsSidText()};
        if (expected.user_sid) {
            allowed.push_back(*expected.user_sid);
        }
        std::optional<common::PipeSecurity> security = common::BuildPipeSecurity(allowed);
        if (!security) {
            common::LogLine(LogLevel::Error, L"failed to build pipe security descriptor");
            PauseAfterSetupFailure(state);
            continue;
        }

        common::UniqueHandle pipe(common::CreateServerPipeInstance(
            *name, *security, kMaxPipeInstances, /*first_instance=*/true));
        if (!pipe) {
            common::LogWin32Error(LogLevel::Error, L"CreateNamedPipe failed", GetLastError());
            PauseAfterSetupFailure(state);
            continue;
        }

        const ConnectOutcome outcome = AwaitClient(state, pipe.get());
        if (outcome == ConnectOutcome::Stop) {
            break;
        }
        if (outcome == ConnectOutcome::Idle) {
            pipe.reset();
            RecordActivity(state);
            continue;
        }
        if (outcome == ConnectOutcome::Failed) {
            pipe.reset();
            PauseAfterSetupFailure(state);
            continue;
        }
        if (outcome == ConnectOutcome::Connected) {
            ServeClient(state, pipe.get());
        }
        FlushClientBounded(pipe.get(), state.stop_event.get());
        DisconnectNamedPipe(pipe.get());
        pipe.reset();
    }

    RecordActivity(state);
    common::LogLine(LogLevel::Info, L"service stopped cleanly");
    return 0;
}

void ServeClient(ServiceState& state, HANDLE pipe) {
    common::ReceivedFrame frame = common::ReceiveFrame(pipe, kPipeIoTimeoutMs);
    if (!frame.ok) {
        return;
    }
    // Payloads may hold a WireGuard private key or an OpenVPN profile, also when the caller is
    // turned away or speaks another protocol.
    common::ScopeExit wipe_payload([&frame] { common::WipeBytes(frame.payload); });

    const common::CallerIdentity caller = common::GetCallerIdentity(pipe);
    const ExpectedCaller expected = FindExpectedCaller(state.console_mode);
    const common::CallerDecision decision = common::DecideCaller(
        caller, expected.user_sid, expected.session_id, /*allow_local_system=*/true);
    if (decision != common::CallerDecision::Accepted) {
        LogCallerRejected(decision, caller);
        return;
    }
    common::LogLine(LogLevel::Info, L"caller_accepted pid=" + std::to_wstring(caller.pid) +
                                        L" session=" + std::to_wstring(caller.session_id));

    for (;;) {
        const common::FrameHeader header = frame.header;
        switch (RouteRequest(header)) {
            case RequestRoute::ProtocolMismatch:
                SendStatusReply(state, pipe, header.type, header.request_id,
                                Status::ProtocolMismatch);
                common::LogLine(LogLevel::Warn, L"client protocol mismatch -> fail closed");
                return;
            case RequestRoute::Dispatch: {
                const bool replied = DispatchRequest(state, pipe, caller, header.type,
                                                     header.request_id, frame.payload);
                common::WipeBytes(frame.payload);
                if (!replied) {
                    return;
                }
                break;
            }
            case RequestRoute::Unsupported:
                common::WipeBytes(frame.payload);
                if (!SendStatusReply(state, pipe, header.type, header.request_id,
                                     Status::UnsupportedType)) {
                    return;
                }
                break;
        }
        // A client that keeps sending would otherwise hold off a stop for ever.
        if (state.stop_requested.load()) {
            return;
        }
        frame = common::ReceiveFrame(pipe, kPipeIoTimeoutMs);
        if (!frame.ok) {
            return;
        }
    }
}

bool DispatchRequest(ServiceState& state, HANDLE pipe, const common::CallerIdentity& caller,
                     uint16_t type, uint32_t request_id, std::span<const uint8_t> payload) {
    std::vector<uint8_t> reply;
    // Set by the requests that may change what is active; the record is refreshed once the
    // reply is out, whether or not the client took it.
    bool record_activity = false;
    switch (HandlerFor(type)) {
        case ServiceHandler::Hello:
            reply = BuildHelloReply(common::WideToUtf8(state.generation_text));
            break;
        case ServiceHandler::Ping:
            reply = common::StatusOnly(Status::Ok);
            break;
        case ServiceHandler::ServiceHealth:
            reply = BuildServiceHealthReply(common::WideToUtf8(state.generation_text),
                                            UptimeSeconds(state.start_tick, GetTickCount64()));
            break;
        case ServiceHandler::WireGuardTunnel:
            reply = HandleWireGuardRequest(state, type, payload, &record_activity);
            break;
        case ServiceHandler::OpenVpnStaging: {
            // The stage handler wipes the decoded profile before it returns, so before the reply.
            StagingReply staging =
                type == static_cast<uint16_t>(common::MessageType::StageOpenVpnConfig)
                    ? HandleStageOpenVpnConfig(caller, payload)
                    : HandleDeleteStagedOpenVpnConfig(caller, payload);
            reply = std::move(staging.body);
            record_activity = staging.record_activity;
            break;
        }
        case ServiceHandler::ActivityReport:
            record_activity = StoreOpenVpnActivityReport(state, payload, GetTickCount64());
            reply = common::StatusOnly(record_activity ? Status::Ok : Status::BadRequest);
            break;
        case ServiceHandler::NotServed:
            reply = common::StatusOnly(Status::UnsupportedType);
            break;
    }
    const bool replied = SendReply(state, pipe, type, request_id, reply);
    if (record_activity) {
        RecordActivity(state);
    }
    return replied;
}

}  // namespace lumet::service
