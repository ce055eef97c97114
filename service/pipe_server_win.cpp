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
#include "common/sid_text.h"
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
// The activity record is refreshed at least this often while the service runs, client or not.
constexpr uint64_t kActivityRefreshMs = 5000;
// How often the waits for a connected client's bytes wake up to look at the clock.
constexpr uint32_t kServerTickMs = 1000;
constexpr DWORD kSetupRetryPauseMs = 1000;
constexpr DWORD kMaxPipeInstances = 2;
// How long a cancelled flush gets to unwind before the client is disconnected under it.
constexpr DWORD kFlushCancelGraceMs = 1000;

// Who may use the pipe in this pass: the user and session that a client must match.
struct ExpectedCaller {
    uint32_t session_id = common::kUnknownSessionId;
    std::optional<std::wstring> user_sid;
};

ExpectedCaller FindExpectedCaller(const ServiceState& state) {
    ExpectedCaller expected;
    if (state.expected_caller_for_testing) {
        auto [session, user] = state.expected_caller_for_testing();
        expected.session_id = session;
        expected.user_sid = std::move(user);
    } else if (state.console_mode) {
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
    // A client that does not read its reply holds us no longer than a stop.
    return common::SendFrame(pipe, type, request_id, state.generation_number, body,
                             kPipeIoTimeoutMs, common::FrameWaits{state.stop_event.get(), 0, {}});
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
        common::LogWin32ErrorRepeatable(LogLevel::Error, L"CreateEvent for the pipe connect failed",
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
    common::LogWin32ErrorRepeatable(LogLevel::Error, L"waiting for a pipe client failed",
                                    wait_error);
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
            common::LogRepeatable(LogLevel::Warn, L"caller_rejected: identity unavailable");
            break;
        case common::CallerDecision::NoExpectedSid:
            common::LogRepeatable(LogLevel::Warn, L"caller_rejected: no expected user SID");
            break;
        case common::CallerDecision::Mismatch:
            common::LogRepeatable(LogLevel::Warn, L"caller_rejected: sid/session mismatch pid=" +
                                                      std::to_wstring(caller.pid) + L" session=" +
                                                      std::to_wstring(caller.session_id));
            break;
        case common::CallerDecision::Accepted:
            break;
    }
}

// Who may use the pipe, the pipe's name and access list for them, and the instance that waits
// for the next client.
struct Endpoint {
    ExpectedCaller expected;
    std::wstring name;
    std::optional<common::PipeSecurity> security;
    common::UniqueHandle listening;
};

// Remembers that the name was found taken, so that a squatter costs one clear line and not one
// line a second.
struct NameTakenReport {
    bool reported = false;
};

bool SameExpectedCaller(const ExpectedCaller& a, const ExpectedCaller& b) {
    if (a.session_id != b.session_id || a.user_sid.has_value() != b.user_sid.has_value()) {
        return false;
    }
    return !a.user_sid || common::SidTextEquals(*a.user_sid, *b.user_sid);
}

bool ExpectedCallerChanged(ServiceState& state, const ExpectedCaller& current) {
    return !SameExpectedCaller(FindExpectedCaller(state), current);
}

// The user's entry lacks FILE_CREATE_PIPE_INSTANCE: a client never needs it, and without it no
// process of that user can add an instance of our name beside ours. In console mode the service
// itself runs as that user and must keep the right to create its own instances.
std::vector<common::PipeAccessEntry> ServicePipeAccess(const ExpectedCaller& expected,
                                                       bool console_mode) {
    std::vector<common::PipeAccessEntry> entries = {
        {common::LocalSystemSidText(), common::kPipeAccessMask},
        {common::AdministratorsSidText(), common::kPipeAccessMask}};
    if (expected.user_sid) {
        entries.push_back({*expected.user_sid,
                           console_mode ? common::kPipeAccessMask : common::kPipeClientAccessMask});
    }
    return entries;
}

// Builds name and access list for the current expected caller and creates the first instance.
bool OpenEndpoint(ServiceState& state, Endpoint* endpoint, NameTakenReport* taken) {
    endpoint->expected = FindExpectedCaller(state);
    const std::optional<std::wstring> name =
        common::MakePipeName(state.pipe_role, endpoint->expected.session_id);
    if (!name) {
        return false;
    }
    endpoint->name = *name;
    endpoint->security =
        common::BuildPipeSecurity(ServicePipeAccess(endpoint->expected, state.console_mode));
    if (!endpoint->security) {
        common::LogRepeatable(LogLevel::Error, L"failed to build pipe security descriptor");
        return false;
    }
    endpoint->listening.reset(common::CreateServerPipeInstance(
        endpoint->name, *endpoint->security, kMaxPipeInstances, /*first_instance=*/true));
    if (!endpoint->listening) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) {
            // Another process serves our name (first-instance creation refused, or all its
            // instances taken). Clients check who serves the pipe, so it gets nothing from them;
            // we keep trying quietly until the name is free.
            if (!taken->reported) {
                common::LogWin32Error(LogLevel::Error,
                                      L"service pipe name is held by another process; retrying "
                                      L"every second until it is free",
                                      error);
                taken->reported = true;
            }
        } else {
            common::LogWin32ErrorRepeatable(LogLevel::Error, L"CreateNamedPipe failed", error);
        }
        return false;
    }
    if (taken->reported) {
        common::LogLine(LogLevel::Info, L"service pipe name is ours again");
        taken->reported = false;
    }
    return true;
}

// Refreshes the activity record when the last refresh is kActivityRefreshMs old, whatever the
// server is doing, so that a tunnel that ended outside our control is seen within that time.
void RefreshActivityIfDue(ServiceState& state) {
    const uint64_t now = GetTickCount64();
    if (now - state.last_activity_refresh_tick >= kActivityRefreshMs) {
        state.last_activity_refresh_tick = now;
        RecordActivity(state);
    }
}

// Serves one client; returns true when it was dropped because the expected caller (console
// session or its user) changed meanwhile.
bool ServeClientOf(ServiceState& state, HANDLE pipe, const ExpectedCaller& expected_at_open) {
    bool caller_changed = false;
    uint64_t last_caller_check = GetTickCount64();
    // Every wait for a client's bytes ends at a stop, refreshes the activity record on time and
    // follows a change of console session: a connected client, busy or silent, holds up none of
    // them.
    common::FrameWaits waits;
    waits.wake_event = state.stop_event.get();
    waits.tick_ms = kServerTickMs;
    waits.on_tick = [&] {
        RefreshActivityIfDue(state);
        const uint64_t now = GetTickCount64();
        if (now - last_caller_check >= kActivityRefreshMs) {
            last_caller_check = now;
            if (ExpectedCallerChanged(state, expected_at_open)) {
                common::LogLine(LogLevel::Info,
                                L"console session or user changed; dropping the client");
                caller_changed = true;
                return false;
            }
        }
        return true;
    };

    // Where the system lets us read the caller's identity already on connect (its process
    // token), a caller that cannot pass is dropped before it sends a byte. Only a definite
    // mismatch drops it here; the check after the first frame decides the rest.
    const common::CallerIdentity early = common::GetConnectedClientIdentity(pipe);
    if (early.valid) {
        const common::CallerDecision decision =
            common::DecideCaller(early, expected_at_open.user_sid, expected_at_open.session_id,
                                 /*allow_local_system=*/true);
        if (decision != common::CallerDecision::Accepted) {
            LogCallerRejected(decision, early);
            return false;
        }
    }

    common::ReceivedFrame frame = common::ReceiveFrame(pipe, kPipeIoTimeoutMs, waits);
    if (!frame.ok) {
        return caller_changed;
    }
    // Payloads may hold a WireGuard private key or an OpenVPN profile, also when the caller is
    // turned away or speaks another protocol.
    common::ScopeExit wipe_payload([&frame] { common::WipeBytes(frame.payload); });

    const common::CallerIdentity caller = common::GetCallerIdentity(pipe);
    const ExpectedCaller expected = FindExpectedCaller(state);
    const common::CallerDecision decision = common::DecideCaller(
        caller, expected.user_sid, expected.session_id, /*allow_local_system=*/true);
    if (decision != common::CallerDecision::Accepted) {
        LogCallerRejected(decision, caller);
        return caller_changed;
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
                return caller_changed;
            case RequestRoute::Dispatch: {
                const bool replied = DispatchRequest(state, pipe, caller, header.type,
                                                     header.request_id, frame.payload);
                common::WipeBytes(frame.payload);
                if (!replied) {
                    return caller_changed;
                }
                break;
            }
            case RequestRoute::Unsupported:
                common::WipeBytes(frame.payload);
                if (!SendStatusReply(state, pipe, header.type, header.request_id,
                                     Status::UnsupportedType)) {
                    return caller_changed;
                }
                break;
        }
        // A client that keeps sending would otherwise hold off a stop for ever, and keep the
        // waits below from ever reaching their tick.
        if (state.stop_requested.load() || !waits.on_tick()) {
            return caller_changed;
        }
        frame = common::ReceiveFrame(pipe, kPipeIoTimeoutMs, waits);
        if (!frame.ok) {
            return caller_changed;
        }
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
            // The record carries the result to the client.
            static_cast<void>(controller.Start(config.str(), &record));
            config.Wipe();
            *record_activity = true;
            break;
        }
        case common::MessageType::WireGuardStop:
            static_cast<void>(controller.Stop(&record));
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
    state.last_activity_refresh_tick = GetTickCount64();

    Endpoint endpoint;
    NameTakenReport name_taken;
    while (!state.stop_requested.load()) {
        if (!endpoint.listening) {
            if (!OpenEndpoint(state, &endpoint, &name_taken)) {
                PauseAfterSetupFailure(state);
                RefreshActivityIfDue(state);
                continue;
            }
        }

        const ConnectOutcome outcome = AwaitClient(state, endpoint.listening.get());
        if (outcome == ConnectOutcome::Stop) {
            break;
        }
        if (outcome == ConnectOutcome::Idle) {
            // The instance stays: the name is never left free between passes. Only a new
            // session or user (which needs another name or access list) replaces it.
            RefreshActivityIfDue(state);
            if (ExpectedCallerChanged(state, endpoint.expected)) {
                endpoint.listening.reset();
            }
            continue;
        }
        if (outcome == ConnectOutcome::Failed) {
            endpoint.listening.reset();
            PauseAfterSetupFailure(state);
            continue;
        }
        common::UniqueHandle served(endpoint.listening.release());
        // The next instance exists before this client is let go, so that the name is held all
        // the time and a reconnecting client never finds it missing.
        endpoint.listening.reset(common::CreateServerPipeInstance(
            endpoint.name, *endpoint.security, kMaxPipeInstances, /*first_instance=*/false));
        if (!endpoint.listening) {
            common::LogWin32ErrorRepeatable(
                LogLevel::Error, L"CreateNamedPipe (next instance) failed", GetLastError());
        }
        bool caller_changed = false;
        if (outcome == ConnectOutcome::Connected) {
            caller_changed = ServeClientOf(state, served.get(), endpoint.expected);
        }
        FlushClientBounded(served.get(), state.stop_event.get());
        DisconnectNamedPipe(served.get());
        served.reset();
        if (caller_changed || ExpectedCallerChanged(state, endpoint.expected)) {
            endpoint.listening.reset();
        }
        RefreshActivityIfDue(state);
    }

    RecordActivity(state);
    common::LogLine(LogLevel::Info, L"service stopped cleanly");
    return 0;
}

void ServeClient(ServiceState& state, HANDLE pipe) {
    ServeClientOf(state, pipe, FindExpectedCaller(state));
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
