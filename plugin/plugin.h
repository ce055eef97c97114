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
#include <string>

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
    // Removes the channel handlers and shuts the event pump down. Platform thread.
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
// started (`work` is then dropped without running).
void RunDetached(std::function<void()> work);

}  // namespace lumet_windows_vpn
