// Runs one OpenVPN connection attempt at a time for the agent: checks the profile and the
// credentials, has the service stage the profile, starts openvpn.exe through OpenVPN's
// interactive service, drives it over the management interface, answers its credential prompts
// and follows its state until it is connected, fails or is stopped. The status record it keeps is
// what the plugin reads (OpenVpnStart/Stop/Status replies) and what the agent reports to the
// service as VPN activity.
//
// Attempts: every Start and every Stop increases the attempt counter; an attempt's work goes on
// only while its number equals the counter, so that a stop (or a newer start) makes everything an
// older attempt does afterwards harmless. Only the current attempt writes the status record.
//
// Threads and locks: request threads call Start, Stop and the getters; each attempt runs on its
// own thread (RunAttempt) and the management client's reader thread runs the callbacks.
//   - state lock: the status record; never held while calling the management client or stager;
//   - process lock: the OpenVPN process handle, its exit event and its process id;
//   - kill lock: one Kill at a time, so the request thread's stop and an attempt's own clean-up
//     never close the same handles twice;
//   - start lock: the attempt thread (Start and Stop are serialised around it).
// At most one attempt thread exists: a new one starts only after the previous one was joined.
// That thread alone connects and stops the management client (Stop only asks OpenVPN to end and
// then joins the thread), so the client is never connected and stopped from two threads at once.
//
// Secrets: the request's profile, user name and password are wiped when the attempt thread ends;
// the management password and openvpn.exe's standard input text right after use. None of them is
// ever logged.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "agent/openvpn/config_stager.h"
#include "agent/openvpn/coordinator_types.h"
#include "agent/openvpn/management_client.h"
#include "common/messages.h"
#include "common/win_handle.h"

namespace lumet::agent::openvpn {

// Names a connect time-out in milliseconds that replaces a longer configured one (1000 and up);
// read at construction.
inline constexpr wchar_t kConnectTimeoutVariable[] = L"ORRINFIELD_AGENT_OPENVPN_CONNECT_TIMEOUT_MS";

// Given at construction. The defaults are the values the agent runs with.
struct OpenVpnCoordinatorConfig {
    // The discovered openvpn.exe; the launched process's image is compared with it (diagnostic).
    std::wstring openvpn_path;
    // Whole connect and login of the management client.
    uint32_t management_connect_timeout_ms = 10000;
    // From the management connection to state CONNECTED.
    uint32_t connect_timeout_ms = 60000;
    // How long OpenVPN gets to exit after its exit event is set, before it is terminated.
    uint32_t stop_grace_ms = 5000;
    // Sent with the "bytecount " command.
    uint32_t bytecount_interval_s = 5;
    // Wait for a busy interactive-service pipe, and for each write and read on it.
    uint32_t launcher_pipe_wait_ms = 5000;
    uint32_t launcher_io_wait_ms = 5000;
    // When not empty, openvpn.exe is started through this pipe instead of the interactive
    // service's, and the pipe's server must be this very process (in-process tests).
    std::wstring override_launcher_pipe;
    // Stages and deletes profiles; shared, not owned; must outlive the coordinator. Null makes
    // every attempt fail with InternalError.
    OpenVpnConfigStager* stager = nullptr;
    // Folder below which "Orrinfield\vpn\openvpn" is made; empty: the user's LocalAppData.
    std::wstring working_directory_root;
    // Starts the attempt thread; empty: std::thread. A test seam for a thread that cannot be
    // created (std::system_error).
    std::function<std::thread(std::function<void()>)> start_thread;
    // Reads the owner of the management listener; empty: LoopbackListenerOwner. A test seam for
    // the owners Wine cannot show (it reports 0 for every listener).
    std::function<std::optional<uint32_t>(uint16_t port)> listener_owner;
};

class OpenVpnCoordinator {
  public:
    // Stores the configuration, makes the working directory and removes leftovers from it.
    explicit OpenVpnCoordinator(OpenVpnCoordinatorConfig config);
    // Performs Stop.
    ~OpenVpnCoordinator();

    OpenVpnCoordinator(const OpenVpnCoordinator&) = delete;
    OpenVpnCoordinator& operator=(const OpenVpnCoordinator&) = delete;

    // Starts an attempt with a copy of `request`, to which "auth-nocache" is added when missing.
    // Returns true when an attempt thread was started; `attempt` (optional) then receives its
    // number. False, with the reason in the status record's `error`, when the profile fails
    // validation (InvalidRequest or UnsupportedProtocol), a credential fails its check
    // (InvalidRequest), an attempt is running (AttemptActive; an attempt that has not reached
    // CONNECTED then ends), or the attempt thread cannot be created (InternalError, `running`
    // clear; nothing escapes). The caller keeps and wipes `request`.
    bool Start(const StartRequest& request, uint32_t* attempt = nullptr);

    // Ends the current attempt: asks OpenVPN to terminate, sets its exit event and waits up to the
    // stop grace for it (then terminates it), resets the record to zeros with the new attempt
    // number and joins the attempt thread. Safe when nothing runs.
    void Stop();

    // A copy of the status record, taken under the state lock.
    common::OpenVpnStatusRecord Snapshot() const;

    // The id of the running openvpn.exe as the interactive service reported it; 0 when none.
    uint32_t OpenVpnProcessId() const;

    // Whether `attempt` is the current attempt.
    bool IsCurrent(uint32_t attempt) const { return attempt_counter_.load() == attempt; }

    // The body of an attempt thread (public so that its steps can be named in the contract; the
    // agent never calls it).
    void RunAttempt(uint32_t attempt, StartRequest request);

    // The working directory made at construction (empty when unavailable).
    std::wstring WorkingDirectory() const;

  private:
    // How an attempt ends; AttemptScope carries it out (see coordinator_win.cpp).
    struct AttemptEnd {
        enum class Kind {
            Leave,            // nothing beyond the scope's own clean-up
            Fail,             // remove everything, record `error`, clear `running`
            Abandon,          // remove everything; the record is not this attempt's to touch
            AbandonAndClear,  // remove everything and clear `running`
            ProcessGone,      // OpenVPN ended by itself: close the management client and
                              // the process handles, clear `running`
        };
        Kind kind = Kind::Leave;
        OpenVpnError error = OpenVpnError::None;
    };
    class AttemptScope;

    // The phases of RunAttempt, in order. Each records what it creates in `scope` and returns how
    // the attempt ends, or nothing when the next phase is to run.
    std::optional<AttemptEnd> StageProfile(AttemptScope& scope);
    std::optional<AttemptEnd> Launch(AttemptScope& scope);
    std::optional<AttemptEnd> Authenticate(AttemptScope& scope);
    std::optional<AttemptEnd> AwaitConnected(AttemptScope& scope);
    AttemptEnd StayConnected(AttemptScope& scope);

    void SetError(OpenVpnError error);
    void SetErrorIfCurrent(uint32_t attempt, OpenVpnError error, bool only_when_none);
    void ClearRunningIfCurrent(uint32_t attempt);
    void Kill(uint32_t grace_ms);
    bool ProcessEnded() const;
    // Whether the management listener on `port` belongs to the reported OpenVPN process (see
    // listener_owner.h); logs the refusal (ERR) or Wine's unknown owner (WARN).
    bool ListenerIsOpenVpns(uint16_t port);
    void RecordProcessId(uint32_t process_id);
    ManagementCallbacks MakeCallbacks(uint32_t attempt, const StartRequest& request);
    void OnPasswordPrompt(uint32_t attempt, const StartRequest& request, PasswordPromptKind kind);

    const OpenVpnCoordinatorConfig config_;

    mutable std::mutex state_lock_;
    common::OpenVpnStatusRecord record_;  // guarded by state_lock_

    std::atomic<uint32_t> attempt_counter_{0};
    std::atomic<bool> stop_requested_{false};
    // The attempt whose credentials the server refused (a ">PASSWORD:Verification Failed"
    // line); 0 when none. Ends that attempt like a fatal error, also after CONNECTED.
    std::atomic<uint32_t> auth_refused_attempt_{0};

    OpenVpnManagementClient management_;

    mutable std::mutex process_lock_;
    common::UniqueProcess process_;   // guarded by process_lock_; may be empty
    common::UniqueEvent exit_event_;  // guarded by process_lock_
    uint32_t process_id_ = 0;         // guarded by process_lock_
    std::wstring working_directory_;  // guarded by process_lock_
    // The profile's "status" file (a bare name in the working directory); guarded by
    // process_lock_; removed by Kill like OpenVPN's default status file.
    std::wstring status_file_;

    std::mutex kill_lock_;

    std::mutex start_lock_;
    std::thread attempt_thread_;  // guarded by start_lock_
};

}  // namespace lumet::agent::openvpn
