// The plugin object: the host API Dart calls, answered by asking the agent.
//
// Created at registration with the registrar's messenger and a new agent link, owned by the
// registrar and destroyed with it (platform thread). Every host method except startEvents hands
// its work to a fresh detached worker thread that calls the agent and answers from there; the
// workers share the agent link with the event watcher through a shared_ptr, so a worker that is
// still waiting for the agent when the plugin goes away keeps a live link and finishes normally
// (its answer is then dropped by the messenger). Nothing is cached: every call asks the agent.
#pragma once

#include <flutter/binary_messenger.h>
#include <flutter/plugin_registrar_windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "plugin/agent_launcher.h"
#include "plugin/event_pump.h"
#include "plugin/host_api.h"

namespace lumet_windows_vpn {

class LumetWindowsVpnPlugin : public ::flutter::Plugin, public LumetWindowsVpnHostApi {
  public:
    // Sets the log name, creates the plugin with a link that finds the agent beside this module,
    // sets up the host API channels and hands the plugin to the registrar.
    static void RegisterWithRegistrar(::flutter::PluginRegistrarWindows* registrar);

    LumetWindowsVpnPlugin(::flutter::BinaryMessenger* messenger, std::shared_ptr<AgentLink> link);
    // Shuts the event pump down, then lets go of the agent link. Platform thread.
    //
    // The channel handlers are left registered: the embedder detaches the messenger from the
    // engine before it destroys plugins, so touching a channel here would reach a messenger
    // without an engine (an access violation in a release build of the application), and the
    // engine drops every handler itself once the plugins are gone.
    ~LumetWindowsVpnPlugin() override;

    LumetWindowsVpnPlugin(const LumetWindowsVpnPlugin&) = delete;
    LumetWindowsVpnPlugin& operator=(const LumetWindowsVpnPlugin&) = delete;

    void IsAvailable(std::function<void(ErrorOr<bool> reply)> result) override;
    void GetHealth(std::function<void(ErrorOr<LumetNativeHealth> reply)> result) override;
    void GetAgentHealth(std::function<void(ErrorOr<LumetAgentHealth> reply)> result) override;
    void GetServiceHealth(std::function<void(ErrorOr<LumetServiceHealth> reply)> result) override;
    void StartEvents(std::function<void(std::optional<FlutterError> reply)> result) override;
    void StartWireGuard(const std::string& config,
                        std::function<void(ErrorOr<LumetWireGuardStatus> reply)> result) override;
    void StopWireGuard(std::function<void(ErrorOr<LumetWireGuardStatus> reply)> result) override;
    void WireGuardStatus(std::function<void(ErrorOr<LumetWireGuardStatus> reply)> result) override;
    void GetOpenVpnCapabilities(
        std::function<void(ErrorOr<LumetOpenVpnCapabilities> reply)> result) override;
    void StartOpenVpn(const std::string& config, const std::string& username,
                      const std::string& password,
                      std::function<void(ErrorOr<LumetOpenVpnStatus> reply)> result) override;
    void StopOpenVpn(std::function<void(ErrorOr<LumetOpenVpnStatus> reply)> result) override;
    void GetOpenVpnStatus(std::function<void(ErrorOr<LumetOpenVpnStatus> reply)> result) override;

  private:
    ::flutter::BinaryMessenger* messenger_;
    std::shared_ptr<AgentLink> link_;
    std::unique_ptr<EventPump> pump_;
};

// Runs `work` on a new detached thread. Throws std::runtime_error when the thread cannot be
// started (`work` is then dropped without running). An exception that escapes `work` is logged
// and ends only that thread, never the application.
void RunDetached(std::function<void()> work);

// Logs the exception being handled (its text when it is a standard exception) at error level.
// Only inside a catch block.
void LogWorkerException(std::wstring_view context);

// Answers `result` exactly once with what `work` returns. When `work` throws (anything), the
// answer is `fallback()` instead; when answering throws, that is logged and swallowed. Worker
// threads answer through this so that no exception ends the application.
template <typename T, typename Work, typename Fallback>
void AnswerGuarded(const std::function<void(ErrorOr<T> reply)>& result, Work&& work,
                   Fallback&& fallback) {
    std::optional<ErrorOr<T>> answer;
    try {
        answer.emplace(work());
    } catch (...) {
        LogWorkerException(L"host method worker failed; answering the fallback");
    }
    try {
        if (!answer) {
            answer.emplace(fallback());
        }
        result(std::move(*answer));
    } catch (...) {
        LogWorkerException(L"host method answer could not be sent");
    }
}

}  // namespace lumet_windows_vpn
