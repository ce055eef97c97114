// A test fixture for the plugin loaded into an engine beside a console service.
//
// Each test starts with no agent running, no tunnel service and no tunnel configuration file,
// reads only the log lines written since it began, and leaves the same state behind: the plugin
// unloaded, agents and the service ended, the tunnel service and its file removed.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/agent_harness.h"
#include "support/plugin_harness.h"
#include "support/service_harness.h"
#include "support/wireguard_harness.h"

namespace lumet::test {

class PluginServiceTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Agents the plugin starts end by themselves soon after a test, should one outlive it.
        SetEnvironmentVariableW(L"ORRINFIELD_AGENT_IDLE_SECONDS", L"30");
    }

    void SetUp() override {
        EndAgentProcesses();
        RemoveTunnelService();
        DeleteFileW(TunnelConfigFilePath().c_str());
        plugin_log_offset_ = FileSizeOf(PluginLogPath());
        agent_log_offset_ = FileSizeOf(AgentLogPath());
        service_log_offset_ = FileSizeOf(ServiceLogPath());
    }

    void TearDown() override {
        host_.Destroy();
        EndAgentProcesses();
        service_.Terminate();
        RemoveTunnelService();
        DeleteFileW(TunnelConfigFilePath().c_str());
    }

    std::string PluginLog() { return ReadFileFrom(PluginLogPath(), plugin_log_offset_); }
    std::string AgentLog() { return ReadFileFrom(AgentLogPath(), agent_log_offset_); }

    PluginHost host_;
    ChildProcess service_;
    uint64_t plugin_log_offset_ = 0;
    uint64_t agent_log_offset_ = 0;
    uint64_t service_log_offset_ = 0;
};

}  // namespace lumet::test
