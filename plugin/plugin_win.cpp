#include "plugin/plugin.h"

#include <windows.h>

#include <process.h>

#include <exception>
#include <stdexcept>
#include <utility>

#include "common/log.h"
#include "common/secure_buffer.h"
#include "common/win_handle.h"
#include "plugin/conversions.h"

namespace lumet_windows_vpn {

using lumet::common::CallResult;
using lumet::common::MessageType;
using lumet::common::SecureBuffer;
using lumet::common::SecureString;
using lumet::common::Status;

namespace {

unsigned __stdcall DetachedThread(void* param) {
    // Last line of defence: an exception leaving a thread would end the whole application.
    try {
        std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(param));
        (*work)();
    } catch (...) {
        LogWorkerException(L"worker thread ended by an exception");
    }
    return 0;
}

ErrorOr<bool> NotAvailable() {
    return false;
}

FlutterError InternalError() {
    return FlutterError(kInternalCode, std::string());
}

FlutterError ErrorFor(Status status, std::string_view unavailable_code) {
    return FlutterError(ErrorCodeFor(status, unavailable_code), std::string());
}

// The agent itself, not the service behind it, failed the call: it was busy for every connect
// attempt, or took the request and never answered (then the request may have taken effect, and
// a status request tells). Such a failure names the agent whatever the method.
std::optional<FlutterError> AgentLinkError(const CallResult& call) {
    if (!call.link_failed) {
        return std::nullopt;
    }
    if (call.unanswered) {
        return FlutterError(kAgentUnavailableCode,
                            "no reply from the agent; the request may have taken effect");
    }
    if (call.status == Status::ConnectTimeout) {
        return FlutterError(kAgentUnavailableCode, "agent busy");
    }
    return std::nullopt;
}

// A call whose Ok reply carries one record: the record converted by `read`, or the error code
// for the outcome.
template <typename T, typename Read>
ErrorOr<T> Answer(const CallResult& call, std::string_view unavailable_code, Read read) {
    if (!call.ok) {
        const std::optional<FlutterError> agent = AgentLinkError(call);
        return agent ? *agent : ErrorFor(call.status, unavailable_code);
    }
    std::optional<T> value = read(call.body);
    if (!value) {
        return FlutterError(kInternalCode, std::string());
    }
    return *value;
}

// A host method whose request has no body: the call on a worker thread, its Ok reply read as
// one record.
template <typename T, typename Read>
void CallAndAnswer(const std::shared_ptr<AgentLink>& agent, MessageType type,
                   std::string_view unavailable_code, Read read,
                   std::function<void(ErrorOr<T> reply)> result) {
    RunDetached([link = agent, type, unavailable_code, read, result = std::move(result)] {
        AnswerGuarded<T>(
            result,
            [&] {
                const CallResult call = link->Call(type, {});
                return Answer<T>(call, unavailable_code, read);
            },
            &InternalError);
    });
}

// The address of a function of this module, from which the link finds the module's folder.
void ModuleAnchor() {}

// A copy that is wiped when it goes away. Built in place: a temporary std::string would leave
// short texts behind in its inline buffer.
SecureString CopySecret(const std::string& text) {
    SecureString copy;
    copy.str().assign(text);
    return copy;
}

}  // namespace

void LogWorkerException(std::wstring_view context) {
    std::wstring line(context);
    try {
        throw;
    } catch (const std::exception& exception) {
        line += L": ";
        for (const char* c = exception.what(); *c != '\0'; ++c) {
            // The text is for diagnosis only; anything beyond ASCII shows as '?'.
            line += (static_cast<unsigned char>(*c) < 0x80) ? static_cast<wchar_t>(*c) : L'?';
        }
    } catch (...) {
        line += L": not a standard exception";
    }
    lumet::common::LogLine(lumet::common::LogLevel::Error, line);
}

void RunDetached(std::function<void()> work) {
    auto* param = new std::function<void()>(std::move(work));
    const uintptr_t thread = _beginthreadex(nullptr, 0, &DetachedThread, param, 0, nullptr);
    if (thread == 0) {
        delete param;
        throw std::runtime_error("worker thread could not be started");
    }
    // Detached: the thread owns itself; only our handle to it goes.
    lumet::common::UniqueKernelHandle(reinterpret_cast<HANDLE>(thread)).reset();
}

void LumetWindowsVpnPlugin::RegisterWithRegistrar(::flutter::PluginRegistrarWindows* registrar) {
    lumet::common::SetLogName(L"plugin");
    auto plugin = std::make_unique<LumetWindowsVpnPlugin>(
        registrar->messenger(), AgentLink::Create(reinterpret_cast<const void*>(&ModuleAnchor)));
    LumetWindowsVpnHostApi::SetUp(registrar->messenger(), plugin.get());
    registrar->AddPlugin(std::move(plugin));
}

LumetWindowsVpnPlugin::LumetWindowsVpnPlugin(::flutter::BinaryMessenger* messenger,
                                             std::shared_ptr<AgentLink> link)
    : messenger_(messenger), link_(std::move(link)) {}

LumetWindowsVpnPlugin::~LumetWindowsVpnPlugin() {
    // No channel is touched here (see the declaration): the engine has already detached the
    // messenger and drops the handlers itself. First the pump (its watcher thread uses the link),
    // then the link; workers still in flight keep their own reference to it.
    pump_.reset();
    link_.reset();
}

void LumetWindowsVpnPlugin::IsAvailable(std::function<void(ErrorOr<bool> reply)> result) {
    RunDetached([link = link_, result = std::move(result)] {
        AnswerGuarded<bool>(
            result,
            [&] {
                const AgentProbe probe = link->ProbeAgent();
                return probe.connected && probe.serviceLinkUp;
            },
            &NotAvailable);
    });
}

void LumetWindowsVpnPlugin::GetHealth(
    std::function<void(ErrorOr<LumetNativeHealth> reply)> result) {
    RunDetached([link = link_, result = std::move(result)] {
        // Health is always answered with a value: a failure inside the probe is reported as an
        // unreachable agent with an internal error, not as a channel error.
        AnswerGuarded<LumetNativeHealth>(
            result,
            [&] {
                const AgentProbe probe = link->ProbeAgent();
                return MakeNativeHealth(link->session_id(), probe.connected, probe.serviceLinkUp,
                                        probe.status);
            },
            [&] { return MakeNativeHealth(link->session_id(), false, false, Status::Failed); });
    });
}

void LumetWindowsVpnPlugin::GetAgentHealth(
    std::function<void(ErrorOr<LumetAgentHealth> reply)> result) {
    RunDetached([link = link_, result = std::move(result)] {
        AnswerGuarded<LumetAgentHealth>(
            result,
            [&] {
                const CallResult call = link->Call(MessageType::AgentHealth, {});
                return Answer<LumetAgentHealth>(call, kAgentUnavailableCode, &ReadAgentHealth);
            },
            &InternalError);
    });
}

void LumetWindowsVpnPlugin::GetServiceHealth(
    std::function<void(ErrorOr<LumetServiceHealth> reply)> result) {
    RunDetached([link = link_, result = std::move(result)] {
        AnswerGuarded<LumetServiceHealth>(
            result,
            [&] {
                const CallResult call = link->Call(MessageType::ServiceHealth, {});
                return Answer<LumetServiceHealth>(call, kServiceUnavailableCode,
                                                  &ReadServiceHealth);
            },
            &InternalError);
    });
}

void LumetWindowsVpnPlugin::StartEvents(
    std::function<void(std::optional<FlutterError> reply)> result) {
    if (!pump_) {
        pump_ = std::make_unique<EventPump>(messenger_, link_);
    }
    pump_->Start();
    result(std::nullopt);
}

void LumetWindowsVpnPlugin::StartWireGuard(
    const std::string& config, std::function<void(ErrorOr<LumetWireGuardStatus> reply)> result) {
    // The worker's own copy of the key-bearing text, wiped once the call has returned; the
    // channel layer wipes the decoded argument.
    auto secret = std::make_shared<SecureString>(CopySecret(config));
    RunDetached([link = link_, secret, result = std::move(result)] {
        AnswerGuarded<LumetWireGuardStatus>(
            result,
            [&]() -> ErrorOr<LumetWireGuardStatus> {
                std::optional<SecureBuffer> body = WireGuardStartBody(secret->str());
                secret->Wipe();
                if (!body) {
                    return ErrorFor(Status::BadRequest, kServiceUnavailableCode);
                }
                const CallResult call = link->Call(MessageType::WireGuardStart, body->bytes());
                body->Wipe();
                return Answer<LumetWireGuardStatus>(call, kServiceUnavailableCode,
                                                    &ReadWireGuardStatus);
            },
            &InternalError);
        secret->Wipe();
    });
}

void LumetWindowsVpnPlugin::StopWireGuard(
    std::function<void(ErrorOr<LumetWireGuardStatus> reply)> result) {
    CallAndAnswer<LumetWireGuardStatus>(link_, MessageType::WireGuardStop, kServiceUnavailableCode,
                                        &ReadWireGuardStatus, std::move(result));
}

void LumetWindowsVpnPlugin::WireGuardStatus(
    std::function<void(ErrorOr<LumetWireGuardStatus> reply)> result) {
    CallAndAnswer<LumetWireGuardStatus>(link_, MessageType::WireGuardStatus,
                                        kServiceUnavailableCode, &ReadWireGuardStatus,
                                        std::move(result));
}

void LumetWindowsVpnPlugin::GetOpenVpnCapabilities(
    std::function<void(ErrorOr<LumetOpenVpnCapabilities> reply)> result) {
    CallAndAnswer<LumetOpenVpnCapabilities>(link_, MessageType::OpenVpnCapabilities,
                                            kAgentUnavailableCode, &ReadOpenVpnCapabilities,
                                            std::move(result));
}

void LumetWindowsVpnPlugin::StartOpenVpn(
    const std::string& config, const std::string& username, const std::string& password,
    std::function<void(ErrorOr<LumetOpenVpnStatus> reply)> result) {
    struct Credentials {
        SecureString config;
        SecureString username;
        SecureString password;
    };
    auto secrets = std::make_shared<Credentials>(
        Credentials{CopySecret(config), CopySecret(username), CopySecret(password)});
    RunDetached([link = link_, secrets, result = std::move(result)] {
        AnswerGuarded<LumetOpenVpnStatus>(
            result,
            [&]() -> ErrorOr<LumetOpenVpnStatus> {
                std::optional<SecureBuffer> body = OpenVpnStartBody(
                    secrets->config.str(), secrets->username.str(), secrets->password.str());
                secrets->config.Wipe();
                secrets->username.Wipe();
                secrets->password.Wipe();
                if (!body) {
                    return ErrorFor(Status::BadRequest, kAgentUnavailableCode);
                }
                const CallResult call = link->Call(MessageType::OpenVpnStart, body->bytes());
                body->Wipe();
                return Answer<LumetOpenVpnStatus>(call, kAgentUnavailableCode, &ReadOpenVpnStatus);
            },
            &InternalError);
        secrets->config.Wipe();
        secrets->username.Wipe();
        secrets->password.Wipe();
    });
}

void LumetWindowsVpnPlugin::StopOpenVpn(
    std::function<void(ErrorOr<LumetOpenVpnStatus> reply)> result) {
    CallAndAnswer<LumetOpenVpnStatus>(link_, MessageType::OpenVpnStop, kAgentUnavailableCode,
                                      &ReadOpenVpnStatus, std::move(result));
}

void LumetWindowsVpnPlugin::GetOpenVpnStatus(
    std::function<void(ErrorOr<LumetOpenVpnStatus> reply)> result) {
    CallAndAnswer<LumetOpenVpnStatus>(link_, MessageType::OpenVpnStatus, kAgentUnavailableCode,
                                      &ReadOpenVpnStatus, std::move(result));
}

}  // namespace lumet_windows_vpn
