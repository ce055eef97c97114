// Program entry of OrrinfieldVPNAgent and its plugin pipe server.
//
// One agent runs per Windows session, as the logged-on user. It owns the pipe
// "\\.\pipe\ORRINFIELD.VPN.Agent.<session>" (one instance, so one plugin client at a time),
// serves every request on one server thread, and ends by itself when it has had no client, no
// OpenVPN activity and no service call in flight for its idle limit (300 s, or
// ORRINFIELD_AGENT_IDLE_SECONDS when that holds 10..86400).
//
// Process-wide state kept here: the pointer to the AgentState the console control handler acts
// on, published while the server runs and cleared when it returns. The handler takes a lock
// around its use, so the state is never withdrawn under a running handler.
#pragma once

#include <windows.h>

#include "agent/agent_state.h"

namespace lumet::agent {

// The program: sets the log name "agent", creates the state, claims the session's
// single-instance mutex (held until the process ends), installs the console control handler
// and runs the pipe server. Returns the exit code: 0 after an orderly stop or when another agent
// already owns the session (or the mutex cannot be named or created), 2 when the session id
// cannot name the pipe, 3 when the pipe's security descriptor cannot be built.
int RunAgentProgram();

// Serves plugin clients until a stop is requested or the idle limit runs out; returns the exit
// code (0, 2 or 3 as above; 1 when the state has no stop event, since such a loop could not be
// stopped). Every accept wait includes the stop event, so a stop ends it at once; a stop that
// arrives while a client is served ends that client's connection at once, or after the request
// in progress.
int RunPipeServer(AgentState& state);

// Serves one connected client until its connection ends: drops at once a client whose process
// token plainly belongs to another user or session, reads the first frame (whole within 15 s of
// its first byte), checks that the client runs as this agent's user in this agent's session
// (without a reply when not), then answers request after request. The connection ends when no
// request arrives within 15 s, a stop is requested, a frame is malformed, a reply cannot be
// written, or the client speaks another protocol (after one ProtocolMismatch reply). Every request
// payload is overwritten with zeros once handled. Does not disconnect the pipe.
void ServeClient(AgentState& state, HANDLE pipe);

// Console control handler: Ctrl+C, Ctrl+Break, close, logoff and shutdown request a stop of the
// published state (if any) and return TRUE; other control types return FALSE.
BOOL WINAPI AgentConsoleControlHandler(DWORD control_type);

// Publishes `state` as the one the console control handler acts on; nullptr withdraws it,
// waiting for a handler that is using the previous one to finish.
void PublishAgentState(AgentState* state);

}  // namespace lumet::agent
