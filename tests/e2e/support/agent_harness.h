// Helpers for end-to-end tests that run the real OrrinfieldVPNAgent.exe: starting it (and the
// service) as children, the agent's pipe and log, decoding its replies, and a scripted stand-in
// that serves the service's pipe when a test needs a service that misbehaves.
//
// Every wait takes a limit; nothing here blocks without one.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/messages.h"
#include "common/win_handle.h"
#include "support/service_harness.h"

namespace lumet::test {

// Full path of OrrinfieldVPNAgent.exe, which the build places beside the test executables.
std::wstring AgentExecutablePath();
// The agent pipe of this process's session.
std::wstring AgentPipeNameForThisSession();
// C:\ProgramData\Orrinfield\vpn\logs\agent.log in the prefix.
std::wstring AgentLogPath();

// Starts the agent with ORRINFIELD_AGENT_IDLE_SECONDS set to `idle_seconds` (unset when empty);
// the variable is set for the child only. Returns false when the process could not be started.
bool StartAgent(ChildProcess& agent, const std::wstring& idle_seconds = L"",
                const ChildOptions& options = {});

// Starts OrrinfieldVPNService.exe --console and waits (up to 10 s) for its start line after
// `log_offset` in the service log.
bool StartConsoleService(ChildProcess& service, uint64_t log_offset);

// The status that opens a reply body; Failed when it cannot be read.
common::Status ReplyStatus(const Reply& reply);
// A body made of the status alone.
std::vector<uint8_t> StatusBody(common::Status status);

// Decoded Hello reply of the agent.
struct AgentHello {
    common::HelloInfo info;
    std::string generation_text;
    uint32_t session_id = 0;
};
bool ReadAgentHello(const Reply& reply, AgentHello* hello);
bool ReadAgentHealth(const Reply& reply, common::AgentHealthRecord* record);

// The header generation as "0x%08X".
std::string Hex32(uint32_t value);

// A stand-in for the service on the service's real pipe name, serving one connection at a time
// on its own thread: Hello is answered with `hello_protocol` (and generation 0x0000FA4E), every
// other request as the script says. A listening instance exists for its whole life.
class FakeService {
  public:
    struct Answer {
        bool close = false;  // end the connection instead of replying
        std::vector<uint8_t> body;
    };
    using Script = std::function<Answer(uint16_t type, const std::vector<uint8_t>& payload)>;

    FakeService(uint16_t hello_protocol, Script script);
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    // Requests other than Hello, in arrival order.
    std::vector<uint16_t> seen_types() const;

  private:
    void Run(common::UniqueHandle listening);
    bool WaitForClient(HANDLE pipe);
    void Serve(HANDLE pipe);

    const std::wstring name_;
    const uint16_t hello_protocol_;
    const Script script_;
    common::UniqueEvent stop_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<uint16_t> seen_types_;
};

}  // namespace lumet::test
