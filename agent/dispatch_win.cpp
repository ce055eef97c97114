#include "agent/dispatch.h"

#include <optional>
#include <vector>

#include "agent/openvpn/openvpn_discovery.h"
#include "agent/openvpn/openvpn_discovery_win.h"
#include "agent/request_routing.h"
#include "agent/server_policy.h"
#include "common/frame_transport.h"
#include "common/log.h"
#include "common/payload.h"
#include "common/secure_buffer.h"
#include "common/peer_link.h"
#include "common/utf.h"

namespace lumet::agent {

namespace {

using common::MessageType;
using common::Status;

// Whether the service can be reached now, trying to connect when the link is down.
//
// A connection that the service has closed since its last use (it stopped, restarted, or ended
// the connection after 15 s without a request) would still count as connected until traffic
// crosses it. The pipe is therefore looked at first (PeekNamedPipe, which sends nothing): a
// closed end disconnects the link, and the connect that follows either reaches a (possibly
// restarted) service or reports it down. Health polls thus cost the service nothing while the
// connection is up, and do not keep its one server thread busy.
bool ServiceLinkUp(AgentState& state) {
    ServiceCallInFlight in_flight(state);
    common::PeerLink::Locked link = state.serviceLink.Lock();
    if (link.CheckAlive()) {
        return true;
    }
    return link.EnsureConnected();
}

std::vector<uint8_t> RelayServiceHealth(AgentState& state) {
    common::CallResult result;
    {
        ServiceCallInFlight in_flight(state);
        result = state.serviceLink.Call(MessageType::ServiceHealth, {});
    }
    if (result.ok) {
        return BuildRelayedReply(result.body);
    }
    return common::StatusOnly(ServiceHealthFailureStatus(state.serviceLink.LastStatus()));
}

std::vector<uint8_t> RelayWireGuard(AgentState& state, uint16_t type,
                                    std::span<const uint8_t> payload) {
    common::CallResult result;
    {
        ServiceCallInFlight in_flight(state);
        result = state.serviceLink.Call(static_cast<MessageType>(type), payload);
    }
    if (result.ok) {
        return BuildRelayedReply(result.body);
    }
    return common::StatusOnly(
        WireGuardRelayFailureStatus(result.status, state.serviceLink.LastStatus()));
}

// Ok followed by the record.
std::vector<uint8_t> OpenVpnStatusReply(const common::OpenVpnStatusRecord& record) {
    common::PayloadWriter writer;
    common::WriteStatus(writer, Status::Ok);
    common::Write(writer, record);
    return writer.Take();
}

std::vector<uint8_t> OpenVpnCapabilities() {
    const common::OpenVpnCapabilitiesRecord record =
        openvpn::BuildCapabilities(openvpn::ProductionCapabilityProbes());
    common::PayloadWriter writer;
    common::WriteStatus(writer, Status::Ok);
    if (!common::Write(writer, record)) {
        // Only a version text beyond the string limit could get here.
        return common::StatusOnly(Status::Failed);
    }
    return writer.Take();
}

std::vector<uint8_t> OpenVpnStart(AgentState& state, std::span<const uint8_t> payload) {
    openvpn::StartRequest request;
    common::PayloadReader reader(payload);
    if (!reader.ReadString(&request.config) || !reader.ReadString(&request.username) ||
        !reader.ReadString(&request.password)) {
        return common::StatusOnly(Status::BadRequest);
    }
    openvpn::OpenVpnCoordinator& coordinator = AccessCoordinator(state);
    coordinator.Start(request);
    // The coordinator works on its own copy; ours goes now (the rest with `request`).
    common::WipeString(request.password);
    ReportOpenVpnActivity(state);
    return OpenVpnStatusReply(coordinator.Snapshot());
}

std::vector<uint8_t> OpenVpnStopOrStatus(AgentState& state, bool stop) {
    openvpn::OpenVpnCoordinator& coordinator = AccessCoordinator(state);
    if (stop) {
        coordinator.Stop();
    }
    const common::OpenVpnStatusRecord snapshot = coordinator.Snapshot();
    ReportOpenVpnActivity(state);
    return OpenVpnStatusReply(snapshot);
}

}  // namespace

openvpn::OpenVpnCoordinatorConfig AgentCoordinatorConfig(AgentState& state) {
    openvpn::OpenVpnCoordinatorConfig config;
    config.openvpn_path = openvpn::FindOpenVpn();
    config.stager = state.openVpnStager.get();
    return config;
}

openvpn::OpenVpnCoordinator& AccessCoordinator(AgentState& state) {
    if (!state.coordinator) {
        state.openVpnStager = std::make_unique<openvpn::ServiceLinkOpenVpnStager>(
            &state.serviceLink, state.sessionId, &state.serviceCallsInFlight);
        state.coordinator =
            std::make_unique<openvpn::OpenVpnCoordinator>(AgentCoordinatorConfig(state));
    }
    return *state.coordinator;
}

bool Dispatch(AgentState& state, HANDLE pipe, uint16_t type, uint32_t request_id,
              std::span<const uint8_t> payload) {
    std::vector<uint8_t> reply;
    switch (HandlerFor(type)) {
        case AgentHandler::Hello:
            // Any request body is ignored.
            reply = BuildHelloReply(common::WideToUtf8(state.generationText), state.sessionId);
            break;
        case AgentHandler::Ping:
            reply = common::StatusOnly(Status::Ok);
            break;
        case AgentHandler::ServiceHealth:
            reply = RelayServiceHealth(state);
            break;
        case AgentHandler::AgentHealth: {
            const bool link_up = ServiceLinkUp(state);
            reply = BuildAgentHealthReply(common::WideToUtf8(state.generationText), state.sessionId,
                                          link_up);
            break;
        }
        case AgentHandler::WireGuardRelay:
            reply = RelayWireGuard(state, type, payload);
            break;
        case AgentHandler::OpenVpn:
            switch (static_cast<MessageType>(type)) {
                case MessageType::OpenVpnCapabilities:
                    reply = OpenVpnCapabilities();
                    break;
                case MessageType::OpenVpnStart:
                    reply = OpenVpnStart(state, payload);
                    break;
                case MessageType::OpenVpnStop:
                    reply = OpenVpnStopOrStatus(state, /*stop=*/true);
                    break;
                default:
                    reply = OpenVpnStopOrStatus(state, /*stop=*/false);
                    break;
            }
            break;
        case AgentHandler::NotServed:
            reply = common::StatusOnly(Status::UnsupportedType);
            break;
    }
    return common::SendFrame(pipe, type, request_id, state.generation, reply, kPipeIoTimeoutMs,
                             common::FrameWaits{state.stopEvent.get(), 0, {}});
}

void ReportOpenVpnActivity(AgentState& state) {
    if (!state.coordinator) {
        return;
    }
    const common::OpenVpnStatusRecord snapshot = state.coordinator->Snapshot();
    common::OpenVpnActivityReport report;
    report.active = snapshot.running;
    report.attempt = snapshot.attempt;
    report.openvpn_pid = state.coordinator->OpenVpnProcessId();
    SendOpenVpnActivityReport(state, report);
}

bool SendOpenVpnActivityReport(AgentState& state, const common::OpenVpnActivityReport& report) {
    // Stored before the call: the accept loop's idle decision follows the local verdict even
    // when the service cannot be told.
    state.openVpnActive.exchange(report.active ? 1 : 0);
    common::PayloadWriter writer;
    common::Write(writer, report);
    const std::vector<uint8_t> body = writer.Take();
    common::CallResult result;
    {
        ServiceCallInFlight in_flight(state);
        result = state.serviceLink.Call(MessageType::ReportOpenVpnActivity, body);
    }
    if (result.status != Status::Ok) {
        common::LogLine(common::LogLevel::Warn,
                        L"report_openvpn_activity: service unreachable (verdict falls back to "
                        L"the Service's own re-evaluation)");
        return false;
    }
    return true;
}

}  // namespace lumet::agent
