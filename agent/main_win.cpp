// OrrinfieldVPNAgent.exe
#include "agent/agent_main.h"

int wmain(int /*argc*/, wchar_t** /*argv*/) {
    // The agent reads no command-line arguments.
    return lumet::agent::RunAgentProgram();
}
