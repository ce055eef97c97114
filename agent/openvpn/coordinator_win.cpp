#include "agent/openvpn/coordinator.h"

#include <chrono>
#include <cwchar>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "agent/openvpn/command_line.h"
#include "agent/openvpn/coordinator_rules.h"
#include "agent/openvpn/interactive_launcher_win.h"
#include "agent/openvpn/listener_owner.h"
#include "agent/openvpn/management_commands.h"
#include "agent/openvpn/port_allocation.h"
#include "agent/openvpn/random_hex.h"
#include "agent/openvpn/working_directory.h"
#include "common/log.h"
#include "common/openvpn_profile.h"
#include "common/secure_buffer.h"
#include "common/utf.h"
#include "common/wine.h"

namespace lumet::agent::openvpn {

namespace {

using common::LogLevel;

// After TerminateProcess, how long to wait for the process to be gone.
constexpr DWORD kTerminateWaitMs = 2000;
// QueryFullProcessImageNameW buffer.
constexpr DWORD kImagePathChars = 260;

uint64_t NowUnixMs() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    // FILETIME counts 100 ns steps since 1601-01-01; 11644473600 s lie between the two epochs.
    return ticks.QuadPart / 10000 - 11644473600000ULL;
}

bool SamePathIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

// A shorter connect time-out from the environment (1 s up to the configured value), so that
// tests against a real, silent server need not wait a minute. It can only shorten the wait.
OpenVpnCoordinatorConfig WithConnectTimeoutOverride(OpenVpnCoordinatorConfig config) {
    wchar_t buffer[16] = {};
    const DWORD n = GetEnvironmentVariableW(kConnectTimeoutVariable, buffer, 16);
    if (n > 0 && n < 16) {
        const unsigned long value = std::wcstoul(buffer, nullptr, 10);
        if (value >= 1000 && value < config.connect_timeout_ms) {
            config.connect_timeout_ms = static_cast<uint32_t>(value);
        }
    }
    return config;
}

}  // namespace

OpenVpnCoordinator::OpenVpnCoordinator(OpenVpnCoordinatorConfig config)
    : config_(WithConnectTimeoutOverride(std::move(config))) {
    std::wstring directory = EnsureWorkingDirectory(config_.working_directory_root);
    CleanWorkingDirectory(directory);
    std::lock_guard<std::mutex> lock(process_lock_);
    working_directory_ = std::move(directory);
}

OpenVpnCoordinator::~OpenVpnCoordinator() {
    Stop();
}

std::wstring OpenVpnCoordinator::WorkingDirectory() const {
    std::lock_guard<std::mutex> lock(process_lock_);
    return working_directory_;
}

common::OpenVpnStatusRecord OpenVpnCoordinator::Snapshot() const {
    std::lock_guard<std::mutex> lock(state_lock_);
    return record_;
}

uint32_t OpenVpnCoordinator::OpenVpnProcessId() const {
    std::lock_guard<std::mutex> lock(process_lock_);
    return process_id_;
}

void OpenVpnCoordinator::SetError(OpenVpnError error) {
    std::lock_guard<std::mutex> lock(state_lock_);
    record_.error = static_cast<uint16_t>(error);
}

void OpenVpnCoordinator::SetErrorIfCurrent(uint32_t attempt, OpenVpnError error,
                                           bool only_when_none) {
    std::lock_guard<std::mutex> lock(state_lock_);
    if (IsCurrent(attempt) && (!only_when_none || record_.error == 0)) {
        record_.error = static_cast<uint16_t>(error);
    }
}

void OpenVpnCoordinator::ClearRunningIfCurrent(uint32_t attempt) {
    std::lock_guard<std::mutex> lock(state_lock_);
    if (IsCurrent(attempt)) {
        record_.running = false;
    }
}

bool OpenVpnCoordinator::Start(const StartRequest& request, uint32_t* attempt) {
    StartRequest copy(request);
    {
        // Only the profile is replaced; the amended text is wiped with the copy.
        common::SecureStdString amended;
        const OpenVpnError profile_error = PrepareProfile(copy.config, &amended);
        common::WipeString(copy.config);
        copy.config = std::move(amended);
        if (profile_error != OpenVpnError::None) {
            SetError(profile_error);
            return false;
        }
    }
    if (CheckCredentials(copy.username, copy.password) != OpenVpnError::None) {
        SetError(OpenVpnError::InvalidRequest);
        return false;
    }

    std::lock_guard<std::mutex> start(start_lock_);
    if (attempt_thread_.joinable()) {
        bool running = false;
        {
            std::lock_guard<std::mutex> lock(state_lock_);
            running = record_.running;
            if (running) {
                record_.error = static_cast<uint16_t>(OpenVpnError::AttemptActive);
            }
        }
        if (running) {
            return false;
        }
        attempt_thread_.join();
    }
    const uint32_t number = attempt_counter_.fetch_add(1) + 1;
    stop_requested_.store(false);
    {
        std::lock_guard<std::mutex> lock(state_lock_);
        record_ = common::OpenVpnStatusRecord{};
        record_.running = true;
        record_.attempt = number;
    }
    // The request travels to the thread in its own owner, so that it is wiped also when the
    // thread never starts.
    auto owned = std::make_shared<StartRequest>(std::move(copy));
    std::function<void()> body = [this, number, owned] { RunAttempt(number, std::move(*owned)); };
    try {
        attempt_thread_ = config_.start_thread ? config_.start_thread(std::move(body))
                                               : std::thread(std::move(body));
    } catch (const std::system_error& e) {
        owned->Wipe();
        common::LogWin32Error(LogLevel::Error,
                              L"openvpn_coordinator: attempt thread could not be started",
                              static_cast<uint32_t>(e.code().value()));
        std::lock_guard<std::mutex> lock(state_lock_);
        if (IsCurrent(number)) {
            record_.running = false;
            record_.error = static_cast<uint16_t>(OpenVpnError::InternalError);
        }
        return false;
    }
    if (attempt != nullptr) {
        *attempt = number;
    }
    return true;
}

void OpenVpnCoordinator::Stop() {
    stop_requested_.store(true);
    const uint32_t number = attempt_counter_.fetch_add(1) + 1;
    if (management_.IsRunning()) {
        management_.SendCommand(TerminateCommand());
    }
    Kill(config_.stop_grace_ms);
    {
        std::lock_guard<std::mutex> lock(state_lock_);
        record_ = common::OpenVpnStatusRecord{};
        record_.attempt = number;
    }
    {
        std::lock_guard<std::mutex> start(start_lock_);
        if (attempt_thread_.joinable()) {
            attempt_thread_.join();
        }
    }
    // The attempt thread stops the client before it ends; this only covers a client left
    // connected without one, and no other thread uses the client any more.
    management_.Stop();
}

void OpenVpnCoordinator::Kill(uint32_t grace_ms) {
    std::lock_guard<std::mutex> kill(kill_lock_);
    common::UniqueProcess process;
    common::UniqueEvent exit_event;
    uint32_t process_id = 0;
    std::wstring working_directory;
    std::wstring status_file;
    {
        // Taken out, so that whoever kills owns the handles and a process recorded meanwhile
        // (by an attempt still launching) is left for that attempt's own clean-up.
        std::lock_guard<std::mutex> lock(process_lock_);
        process = std::move(process_);
        exit_event = std::move(exit_event_);
        process_id = process_id_;
        working_directory = working_directory_;
        status_file = status_file_;
    }
    if (exit_event) {
        // openvpn.exe, started with "--service" and this event, exits when it is set.
        SetEvent(exit_event.get());
    }
    bool ended = false;
    if (process) {
        ended = WaitForSingleObject(process.get(), grace_ms) == WAIT_OBJECT_0;
    } else if (process_id != 0) {
        Sleep(grace_ms);
    }
    if (!ended && process_id != 0) {
        common::UniqueProcess target(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, /*bInheritHandle=*/FALSE, process_id));
        if (target) {
            TerminateProcess(target.get(), /*uExitCode=*/1);
            WaitForSingleObject(target.get(), kTerminateWaitMs);
        } else {
            common::LogWin32Error(
                LogLevel::Error,
                L"openvpn_coordinator: last-resort TerminateProcess handle unavailable",
                GetLastError());
        }
    }
    exit_event.reset();
    process.reset();
    {
        std::lock_guard<std::mutex> lock(process_lock_);
        if (process_id_ == process_id) {
            process_id_ = 0;
        }
    }
    if (!working_directory.empty()) {
        SecureDeleteFile(working_directory + L"\\" + kStatusLogName);
        if (!status_file.empty()) {
            SecureDeleteFile(working_directory + L"\\" + status_file);
        }
    }
}

bool OpenVpnCoordinator::ProcessEnded() const {
    std::lock_guard<std::mutex> lock(process_lock_);
    return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

bool OpenVpnCoordinator::ListenerIsOpenVpns(uint16_t port) {
    const std::optional<uint32_t> owner =
        config_.listener_owner ? config_.listener_owner(port) : LoopbackListenerOwner(port);
    const uint32_t expected = OpenVpnProcessId();
    switch (JudgeListenerOwner(owner, expected, common::RunningUnderWine())) {
        case ListenerOwnerVerdict::Accept:
            return true;
        case ListenerOwnerVerdict::AcceptUnknownUnderWine:
            common::LogLine(LogLevel::Warn,
                            L"openvpn_coordinator: management listener owner unknown (Wine "
                            L"reports 0); accepted");
            return true;
        case ListenerOwnerVerdict::Refuse:
            break;
    }
    // Someone else may have bound the port first: the credentials must not go there.
    common::LogLine(LogLevel::Error,
                    L"openvpn_coordinator: management port is not held by the launched OpenVPN "
                    L"(owner pid=" +
                        (owner ? std::to_wstring(*owner) : std::wstring(L"none")) + L")");
    return false;
}

void OpenVpnCoordinator::RecordProcessId(uint32_t process_id) {
    {
        std::lock_guard<std::mutex> lock(process_lock_);
        process_id_ = process_id;
    }
    if (process_id == 0) {
        return;
    }
    common::UniqueProcess process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                              /*bInheritHandle=*/FALSE, process_id));
    if (!process) {
        // Without a handle the attempt cannot see OpenVPN end; it still runs.
        common::LogWin32Error(
            LogLevel::Warn,
            L"openvpn_coordinator: query/sync handle unavailable for reported PID (nonfatal)",
            GetLastError());
        return;
    }
    wchar_t image[kImagePathChars] = {};
    DWORD length = kImagePathChars;
    if (QueryFullProcessImageNameW(process.get(), 0, image, &length) &&
        !SamePathIgnoringCase(std::wstring(image, length), config_.openvpn_path)) {
        common::LogWin32Error(LogLevel::Warn,
                              L"openvpn_coordinator: reported PID image path differs "
                              L"(diagnostic only)",
                              0);
    }
    DWORD process_session = 0;
    DWORD own_session = 0;
    if (ProcessIdToSessionId(process_id, &process_session) &&
        ProcessIdToSessionId(GetCurrentProcessId(), &own_session) &&
        process_session != own_session) {
        common::LogWin32Error(
            LogLevel::Warn, L"openvpn_coordinator: reported PID session differs (diagnostic only)",
            0);
    }
    std::lock_guard<std::mutex> lock(process_lock_);
    process_ = std::move(process);
}

ManagementCallbacks OpenVpnCoordinator::MakeCallbacks(uint32_t attempt,
                                                      const StartRequest& request) {
    // Each callback runs on the management reader thread and first makes sure its attempt is
    // still the current one, so that late events of a stopped attempt change nothing. `request`
    // lives on the attempt thread, which stops the client (joining the reader) before it ends.
    ManagementCallbacks callbacks;
    callbacks.on_state = [this, attempt](ManagementState state) {
        std::lock_guard<std::mutex> lock(state_lock_);
        if (!IsCurrent(attempt)) {
            return;
        }
        record_.state = static_cast<uint8_t>(state);
        if (state == ManagementState::Connected && record_.connected_since_ms == 0) {
            record_.connected_since_ms = NowUnixMs();
        }
    };
    callbacks.on_bytecount = [this, attempt](uint64_t bytes_in, uint64_t bytes_out) {
        std::lock_guard<std::mutex> lock(state_lock_);
        if (!IsCurrent(attempt)) {
            return;
        }
        record_.bytes_in = bytes_in;
        record_.bytes_out = bytes_out;
    };
    callbacks.on_hold = [this, attempt] {
        if (!IsCurrent(attempt)) {
            return;
        }
        management_.SendCommand(StateOnCommand());
        management_.SendCommand(ByteCountCommand(config_.bytecount_interval_s));
        management_.SendCommand(HoldReleaseCommand());
    };
    callbacks.on_password_prompt = [this, attempt, &request](PasswordPromptKind kind) {
        OnPasswordPrompt(attempt, request, kind);
    };
    callbacks.on_fatal = [this, attempt](bool auth_failed) {
        std::lock_guard<std::mutex> lock(state_lock_);
        if (!IsCurrent(attempt)) {
            return;
        }
        record_.error = static_cast<uint16_t>(auth_failed ? OpenVpnError::AuthFailed
                                                          : OpenVpnError::OpenVpnFatal);
    };
    callbacks.on_closed = [this, attempt] {
        std::lock_guard<std::mutex> lock(state_lock_);
        if (!IsCurrent(attempt)) {
            return;
        }
        if (record_.error == 0 && !stop_requested_.load()) {
            record_.error = static_cast<uint16_t>(OpenVpnError::OpenVpnExited);
        }
    };
    return callbacks;
}

void OpenVpnCoordinator::OnPasswordPrompt(uint32_t attempt, const StartRequest& request,
                                          PasswordPromptKind kind) {
    if (!IsCurrent(attempt)) {
        return;
    }
    if (kind == PasswordPromptKind::VerificationFailed) {
        // The server refused the user's credentials. OpenVPN reports no ">FATAL:" for this; it
        // only says EXITING and closes, so this line is the one chance to tell the user why.
        // Answering again would only repeat the refusal.
        common::LogLine(LogLevel::Warn,
                        L"openvpn_coordinator: server refused the credentials (Verification "
                        L"Failed)");
        SetErrorIfCurrent(attempt, OpenVpnError::AuthFailed, /*only_when_none=*/true);
        auth_refused_attempt_.store(attempt);
        return;
    }
    if (kind == PasswordPromptKind::AuthUsernamePassword ||
        kind == PasswordPromptKind::AuthUsername) {
        std::optional<common::SecureString> command =
            CredentialCommand(CredentialKind::Username, request.username);
        if (command) {
            management_.SendCommand(command->str());
        } else {
            common::LogLine(LogLevel::Error,
                            L"openvpn_coordinator: auth username rejected by validator");
        }
    }
    if (kind == PasswordPromptKind::AuthUsernamePassword ||
        kind == PasswordPromptKind::AuthPassword) {
        std::optional<common::SecureString> command =
            CredentialCommand(CredentialKind::Password, request.password);
        if (command) {
            management_.SendCommand(command->str());
        } else {
            common::LogLine(LogLevel::Error,
                            L"openvpn_coordinator: auth password rejected by validator");
        }
    }
    // A private-key passphrase is never asked of the user, and unknown prompts are not guessed
    // at: the attempt then runs into the connect time-out.
}

// Everything an attempt has brought into being, and the one place that removes it. The phases
// record here what they create (the staged profile, the management connection) and return how the
// attempt ends; the destructor carries that out, then stops the management client, removes the
// staged profile and wipes the credentials whatever happened. It is declared after the request,
// so it goes first: the management reader's callbacks refer to the request.
class OpenVpnCoordinator::AttemptScope {
  public:
    AttemptScope(OpenVpnCoordinator& owner, uint32_t attempt_number, StartRequest& start_request)
        : attempt(attempt_number), request(start_request), owner_(owner) {}
    ~AttemptScope() {
        switch (end_.kind) {
            case AttemptEnd::Kind::Leave:
                break;
            case AttemptEnd::Kind::Fail:
                // The one line that names how the attempt failed; the phase that decided it has
                // logged its cause.
                common::LogLine(LogLevel::Warn,
                                L"openvpn_coordinator: attempt " + std::to_wstring(attempt) +
                                    L" failed -> " +
                                    common::Utf8ToWide(OpenVpnErrorName(end_.error)));
                Abandon();
                owner_.SetErrorIfCurrent(attempt, end_.error, /*only_when_none=*/false);
                owner_.ClearRunningIfCurrent(attempt);
                break;
            case AttemptEnd::Kind::Abandon:
                Abandon();
                break;
            case AttemptEnd::Kind::AbandonAndClear:
                Abandon();
                owner_.ClearRunningIfCurrent(attempt);
                break;
            case AttemptEnd::Kind::ProcessGone:
                StopManagement();
                // Closes the handles of the ended process and forgets its id, so the activity
                // report stops naming it.
                owner_.Kill(owner_.config_.stop_grace_ms);
                owner_.ClearRunningIfCurrent(attempt);
                break;
        }
        StopManagement();
        Unstage();
        request.WipeCredentials();
    }
    AttemptScope(const AttemptScope&) = delete;
    AttemptScope& operator=(const AttemptScope&) = delete;

    void EndWith(AttemptEnd end) { end_ = end; }

    void Unstage() {
        if (!staged_path.empty() && owner_.config_.stager != nullptr) {
            owner_.config_.stager->Unstage(staged_path);
        }
        staged_path.clear();
    }

    const uint32_t attempt;
    StartRequest& request;
    std::wstring working_directory;
    std::wstring staged_path;  // empty when nothing is staged
    bool management_started = false;
    uint16_t port = 0;
    common::SecureString management_password;

  private:
    void StopManagement() {
        if (management_started) {
            owner_.management_.Stop();
            management_started = false;
        }
    }
    // Removes the staged profile, OpenVPN and the management connection, whichever exist.
    void Abandon() {
        Unstage();
        owner_.Kill(owner_.config_.stop_grace_ms);
        StopManagement();
    }

    OpenVpnCoordinator& owner_;
    AttemptEnd end_;
};

void OpenVpnCoordinator::RunAttempt(uint32_t attempt, StartRequest request) {
    AttemptScope scope(*this, attempt, request);
    std::optional<AttemptEnd> end = StageProfile(scope);
    if (!end) {
        end = Launch(scope);
    }
    if (!end) {
        end = Authenticate(scope);
    }
    if (!end) {
        end = AwaitConnected(scope);
    }
    scope.EndWith(end ? *end : StayConnected(scope));
}

std::optional<OpenVpnCoordinator::AttemptEnd> OpenVpnCoordinator::StageProfile(
    AttemptScope& scope) {
    scope.working_directory = EnsureWorkingDirectory(config_.working_directory_root);
    {
        // The validator let through only a bare file name, so it names a file in the working
        // directory, where OpenVPN runs.
        lumet::openvpn::ProfileSummary summary;
        const bool valid = lumet::openvpn::ValidateProfile(scope.request.config, &summary) ==
                           lumet::openvpn::ProfileCheck::Ok;
        std::lock_guard<std::mutex> lock(process_lock_);
        working_directory_ = scope.working_directory;
        status_file_ = valid ? common::Utf8ToWide(summary.status_file) : std::wstring();
    }
    if (scope.working_directory.empty()) {
        return AttemptEnd{AttemptEnd::Kind::Fail, OpenVpnError::InternalError};
    }
    if (!IsCurrent(scope.attempt)) {
        return AttemptEnd{AttemptEnd::Kind::Leave};
    }
    if (config_.stager == nullptr) {
        return AttemptEnd{AttemptEnd::Kind::Fail, OpenVpnError::InternalError};
    }

    uint16_t outcome = static_cast<uint16_t>(StageOutcome::Failed);
    scope.staged_path = config_.stager->Stage(scope.attempt, scope.request, &outcome);
    if (scope.staged_path.empty()) {
        return AttemptEnd{AttemptEnd::Kind::Fail, ErrorForStageOutcome(outcome)};
    }
    // The profile has reached the service; the attempt no longer needs its own copy.
    common::WipeString(scope.request.config);
    if (!IsCurrent(scope.attempt)) {
        return AttemptEnd{AttemptEnd::Kind::Abandon};
    }
    return std::nullopt;
}

std::optional<OpenVpnCoordinator::AttemptEnd> OpenVpnCoordinator::Launch(AttemptScope& scope) {
    const std::optional<uint16_t> port = AllocateManagementPort();
    if (!port) {
        return AttemptEnd{AttemptEnd::Kind::Fail, OpenVpnError::LaunchFailed};
    }
    scope.port = *port;
    scope.management_password = common::SecureString(RandomHex(kManagementPasswordBytes));
    if (!IsCurrent(scope.attempt)) {
        return AttemptEnd{AttemptEnd::Kind::Abandon};
    }

    const std::wstring event_name =
        ExitEventName(common::Utf8ToWide(RandomHex(kExitEventRandomBytes)));
    common::UniqueEvent exit_event(CreateEventW(/*lpEventAttributes=*/nullptr,
                                                /*bManualReset=*/TRUE, /*bInitialState=*/FALSE,
                                                event_name.c_str()));
    if (!exit_event) {
        return AttemptEnd{AttemptEnd::Kind::Fail, OpenVpnError::InternalError};
    }

    LaunchRequest launch;
    launch.working_directory = scope.working_directory;
    launch.options = JoinCommandLine(OpenVpnArguments(scope.staged_path, scope.port, event_name));
    // Built in a zeroing string: appending the line feed may move the password.
    launch.stdin_text = common::Utf8ToWide(scope.management_password.str());
    launch.stdin_text.push_back(L'\n');
    const LaunchResult launched =
        config_.override_launcher_pipe.empty()
            ? LaunchThroughInteractiveService(launch, config_.launcher_pipe_wait_ms,
                                              config_.launcher_io_wait_ms)
            : LaunchOpenVpn(config_.override_launcher_pipe, GetCurrentProcessId(), launch,
                            config_.launcher_pipe_wait_ms, config_.launcher_io_wait_ms);
    common::WipeString(launch.stdin_text);

    const uint32_t launch_status = static_cast<uint32_t>(launched.status);
    if (launched.status != InteractiveLaunchStatus::Launched) {
        // The service may have started OpenVPN before the exchange failed (a reply that timed
        // out): set the event so that such an OpenVPN exits instead of waiting at its hold.
        SetEvent(exit_event.get());
        exit_event.reset();
        common::LogWin32Error(LogLevel::Error,
                              L"openvpn_coordinator: interactive service launch rejected",
                              launch_status);
        return AttemptEnd{AttemptEnd::Kind::Fail, ErrorForLaunchStatus(launch_status)};
    }

    RecordProcessId(launched.process_id);
    {
        std::lock_guard<std::mutex> lock(process_lock_);
        exit_event_ = std::move(exit_event);
    }
    if (!IsCurrent(scope.attempt)) {
        return AttemptEnd{AttemptEnd::Kind::Fail, OpenVpnError::InternalError};
    }
    return std::nullopt;
}

std::optional<OpenVpnCoordinator::AttemptEnd> OpenVpnCoordinator::Authenticate(
    AttemptScope& scope) {
    bool password_rejected = false;
    bool connected = false;
    try {
        scope.management_started = true;
        connected = management_.Connect(
            scope.port, scope.management_password.view(),
            MakeCallbacks(scope.attempt, scope.request), config_.management_connect_timeout_ms,
            &password_rejected, [this, port = scope.port] { return ListenerIsOpenVpns(port); });
    } catch (const std::system_error&) {
        // The reader thread could not be started.
        connected = false;
    }
    scope.management_password.Wipe();
    if (!connected) {
        return AttemptEnd{AttemptEnd::Kind::Fail, password_rejected
                                                      ? OpenVpnError::ManagementAuthRejected
                                                      : OpenVpnError::ManagementUnavailable};
    }
    if (!IsCurrent(scope.attempt)) {
        return AttemptEnd{AttemptEnd::Kind::Fail, OpenVpnError::InternalError};
    }
    return std::nullopt;
}

std::optional<OpenVpnCoordinator::AttemptEnd> OpenVpnCoordinator::AwaitConnected(
    AttemptScope& scope) {
    const uint32_t attempt = scope.attempt;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(config_.connect_timeout_ms);
    while (IsCurrent(attempt)) {
        ConnectingView view;
        {
            std::lock_guard<std::mutex> lock(state_lock_);
            view.state = record_.state;
            view.error = record_.error;
        }
        if (view.state != static_cast<uint8_t>(ManagementState::Connected) && view.error == 0) {
            view.process_ended = ProcessEnded();
            view.deadline_passed = std::chrono::steady_clock::now() >= deadline;
        }
        switch (NextConnectingStep(view)) {
            case ConnectingStep::KeepWaiting:
                Sleep(kAttemptPollMs);
                break;
            case ConnectingStep::Connected:
                // Connected: the profile (with its keys) need not lie in OpenVPN's directory.
                scope.Unstage();
                return std::nullopt;
            case ConnectingStep::EndOnError:
                return AttemptEnd{AttemptEnd::Kind::AbandonAndClear};
            case ConnectingStep::ProcessExited:
                SetErrorIfCurrent(attempt, OpenVpnError::OpenVpnExited, /*only_when_none=*/true);
                return AttemptEnd{AttemptEnd::Kind::AbandonAndClear};
            case ConnectingStep::TimedOut:
                SetErrorIfCurrent(attempt, OpenVpnError::TunnelTimeout, /*only_when_none=*/true);
                return AttemptEnd{AttemptEnd::Kind::AbandonAndClear};
        }
    }
    // Stopped or superseded while connecting.
    return AttemptEnd{AttemptEnd::Kind::Abandon};
}

OpenVpnCoordinator::AttemptEnd OpenVpnCoordinator::StayConnected(AttemptScope& scope) {
    const uint32_t attempt = scope.attempt;
    while (IsCurrent(attempt)) {
        bool running = false;
        {
            std::lock_guard<std::mutex> lock(state_lock_);
            running = record_.running;
        }
        if (!running) {
            return AttemptEnd{AttemptEnd::Kind::Abandon};
        }
        if (auth_refused_attempt_.load() == attempt) {
            return AttemptEnd{AttemptEnd::Kind::AbandonAndClear};
        }
        if (ProcessEnded()) {
            if (!stop_requested_.load()) {
                SetErrorIfCurrent(attempt, OpenVpnError::OpenVpnExited, /*only_when_none=*/true);
            }
            return AttemptEnd{AttemptEnd::Kind::ProcessGone};
        }
        Sleep(kAttemptPollMs);
    }
    return AttemptEnd{AttemptEnd::Kind::Abandon};
}

}  // namespace lumet::agent::openvpn
