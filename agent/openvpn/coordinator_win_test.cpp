// The OpenVPN coordinator in-process, end to end through its real pieces: a stager that writes
// the profile to a temporary folder, a stand-in for OpenVPN's interactive service on the
// coordinator's override pipe (served by this process, as the override requires), and either the
// openvpn.exe simulator doing the management side or, for what the simulator cannot do, a
// scripted management server in this process (with the simulator as a silent decoy process).
//
// Time-outs are short so that every failure path runs within a few seconds.
#include "agent/openvpn/coordinator.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/openvpn/port_allocation.h"
#include "agent/openvpn/working_directory.h"
#include "common/log_for_testing.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "test_util.h"
#include "win_test_util.h"

namespace lumet::agent::openvpn {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr wchar_t kSimKey[] = L"SOFTWARE\\OrrinfieldVPNTest\\OpenVpnSim";
constexpr char kUser[] = "sim-user";
constexpr char kPassword[] = "correct-horse";

const std::string kProfile =
    "client\n"
    "dev tun\n"
    "proto udp\n"
    "remote vpn.example.net 1194\n"
    "auth-user-pass\n"
    "<ca>\n"
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBszCCAVmgAwIBAgIUJ4Kp2Z0mXQ0u0l0x8o0CiM0bB6swCgYIKoZIzj0EAwIw\n"
    "-----END CERTIFICATE-----\n"
    "</ca>\n";

std::wstring SimExe() {
    return common::Utf8ToWide(test::ExecutableDir()) + L"\\openvpn.exe";
}

bool ProcessGone(HANDLE process, DWORD wait_ms) {
    return WaitForSingleObject(process, wait_ms) == WAIT_OBJECT_0;
}

// Writes the simulator's switches; removes them all when destroyed.
class SimSwitches {
  public:
    SimSwitches() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSimKey); }
    ~SimSwitches() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSimKey); }
    void Set(const wchar_t* name, DWORD value) {
        common::UniqueRegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSimKey, 0, nullptr, 0,
                                  KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof(value));
    }
    std::optional<DWORD> Record(const wchar_t* name) const {
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kSimKey, name, RRF_RT_REG_DWORD, nullptr, &value,
                         &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        return value;
    }
};

// Stages into a folder of its own, as the service would into OpenVPN's configuration directory,
// and remembers every call.
class FakeStager : public OpenVpnConfigStager {
  public:
    explicit FakeStager(std::wstring directory) : directory_(std::move(directory)) {}

    std::wstring Stage(uint32_t attempt, const StartRequest& request, uint16_t* outcome) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stage_calls_;
        staged_profile_ = request.config;
        if (fail_with_ != 0) {
            *outcome = fail_with_;
            return {};
        }
        const std::wstring path =
            directory_ + L"\\ovpn-" + std::to_wstring(attempt) + L"-0123456789abcdef.ovpn";
        common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), request.config.data(), static_cast<DWORD>(request.config.size()),
                  &written, nullptr);
        *outcome = 0;
        staged_.push_back(path);
        return path;
    }

    void Unstage(const std::wstring& staged_path) override {
        std::lock_guard<std::mutex> lock(mutex_);
        DeleteFileW(staged_path.c_str());
        unstaged_.push_back(staged_path);
    }

    void FailWith(uint16_t outcome) { fail_with_ = outcome; }
    int stage_calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stage_calls_;
    }
    std::vector<std::wstring> staged() {
        std::lock_guard<std::mutex> lock(mutex_);
        return staged_;
    }
    std::vector<std::wstring> unstaged() {
        std::lock_guard<std::mutex> lock(mutex_);
        return unstaged_;
    }
    std::string staged_profile() {
        std::lock_guard<std::mutex> lock(mutex_);
        return staged_profile_;
    }

  private:
    const std::wstring directory_;
    std::atomic<uint16_t> fail_with_{0};
    std::mutex mutex_;
    int stage_calls_ = 0;
    std::vector<std::wstring> staged_;
    std::vector<std::wstring> unstaged_;
    std::string staged_profile_;
};

// What the launch stand-in received, from the startup message.
struct LaunchSeen {
    std::wstring working_directory;
    std::wstring options;
    std::wstring stdin_text;
};

// The value after `name` in a command line split at blanks (good enough for our own options).
std::wstring OptionValue(const std::wstring& options, const std::wstring& name, int index = 0) {
    size_t at = options.find(name + L" ");
    if (at == std::wstring::npos) {
        return {};
    }
    at += name.size() + 1;
    for (int i = 0; i < index; ++i) {
        at = options.find(L' ', at) + 1;
    }
    return options.substr(at, options.find(L' ', at) - at);
}

// Answers like OpenVPN's interactive service on a message-mode pipe of this process. By default
// it starts the openvpn.exe simulator with the options it was sent; with `decoy` it starts the
// simulator on another port (so that it just waits to be told to exit) and hands the
// coordinator's management port to `on_port`, bound before the reply goes out.
class FakeInteractiveService {
  public:
    FakeInteractiveService()
        : name_(L"\\\\.\\pipe\\lumet-ovc-launch-" + test::UniqueSuffixW()),
          stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = std::thread([this] { Run(); });
        // The first instance exists once Run has created it.
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, milliseconds(5000), [this] { return listening_; });
    }
    ~FakeInteractiveService() {
        SetEvent(stop_.get());
        thread_.join();
        for (common::UniqueProcess& child : children_) {
            TerminateProcess(child.get(), 9);
            WaitForSingleObject(child.get(), 2000);
        }
    }

    const std::wstring& pipe() const { return name_; }

    // The reply to send instead of starting anything ("0x20000001\n...").
    void ReplyWith(std::wstring reply) { error_reply_ = std::move(reply); }
    // Answer this much later, holding the exit event named in the options meanwhile (as a service
    // that started OpenVPN and then was slow to reply).
    void DelayReply(DWORD ms) { reply_delay_ms_ = ms; }
    HANDLE held_exit_event() {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_exit_event_.get();
    }
    // Start a decoy process and hand the management port to the test.
    void UseDecoy(std::function<void(SOCKET listener)> on_listener) {
        on_listener_ = std::move(on_listener);
    }

    std::optional<LaunchSeen> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    HANDLE last_child() {
        std::lock_guard<std::mutex> lock(mutex_);
        return children_.empty() ? nullptr : children_.back().get();
    }

  private:
    void Run() {
        while (WaitForSingleObject(stop_.get(), 0) != WAIT_OBJECT_0) {
            common::UniqueHandle pipe(
                CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                 PIPE_UNLIMITED_INSTANCES, 8192, 8192, 0, nullptr));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                listening_ = true;
            }
            ready_.notify_all();
            if (!pipe || !Await(pipe.get())) {
                return;
            }
            Serve(pipe.get());
            FlushFileBuffers(pipe.get());
            DisconnectNamedPipe(pipe.get());
        }
    }

    bool Await(HANDLE pipe) {
        common::UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        if (ConnectNamedPipe(pipe, &ov) || GetLastError() == ERROR_PIPE_CONNECTED) {
            return true;
        }
        HANDLE waits[] = {event.get(), stop_.get()};
        if (WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0) {
            return true;
        }
        CancelIoEx(pipe, &ov);
        DWORD ignored = 0;
        GetOverlappedResult(pipe, &ov, &ignored, TRUE);
        return false;
    }

    bool Transfer(HANDLE pipe, bool write, void* data, DWORD size, DWORD* done) {
        common::UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        const BOOL ok = write ? WriteFile(pipe, data, size, nullptr, &ov)
                              : ReadFile(pipe, data, size, nullptr, &ov);
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (WaitForSingleObject(event.get(), 5000) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &ov);
        }
        return GetOverlappedResult(pipe, &ov, done, TRUE) != FALSE;
    }

    void Serve(HANDLE pipe) {
        std::vector<wchar_t> message(2048);
        DWORD got = 0;
        if (!Transfer(pipe, false, message.data(),
                      static_cast<DWORD>(message.size() * sizeof(wchar_t)), &got)) {
            return;
        }
        std::vector<std::wstring> parts;
        std::wstring part;
        for (size_t i = 0; i < got / sizeof(wchar_t); ++i) {
            if (message[i] == L'\0') {
                parts.push_back(part);
                part.clear();
            } else {
                part.push_back(message[i]);
            }
        }
        SecureZeroMemory(message.data(), message.size() * sizeof(wchar_t));
        if (parts.size() != 3) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_ = LaunchSeen{parts[0], parts[1], parts[2]};
        }
        if (reply_delay_ms_ != 0) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                held_exit_event_.reset(
                    OpenEventW(SYNCHRONIZE, FALSE, OptionValue(parts[1], L"--service").c_str()));
            }
            Sleep(reply_delay_ms_);
        }
        std::wstring reply = error_reply_;
        if (reply.empty()) {
            reply = Launch(parts[0], parts[1], parts[2]);
        }
        DWORD written = 0;
        Transfer(pipe, true, reply.data(), static_cast<DWORD>(reply.size() * sizeof(wchar_t)),
                 &written);
    }

    std::wstring Launch(const std::wstring& directory, std::wstring options,
                        std::wstring stdin_text) {
        if (on_listener_) {
            const std::wstring port = OptionValue(options, L"--management", 1);
            SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<u_short>(std::stoi(port)));
            if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
                listen(listener, 1) != 0) {
                closesocket(listener);
                return L"0x0000271D\nbind failed\n";
            }
            on_listener_(listener);
            const std::optional<uint16_t> other = AllocateManagementPort();
            const std::wstring endpoint = L"127.0.0.1 " + port;
            options.replace(options.find(endpoint), endpoint.size(),
                            L"127.0.0.1 " + std::to_wstring(*other));
            stdin_text = L"decoy-password\n";
        }
        std::wstring command_line = L"\"" + SimExe() + L"\" " + options;
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        CreatePipe(&read_end, &write_end, &inheritable, 0);
        common::UniqueHandle child_input(read_end);
        common::UniqueHandle input(write_end);
        SetHandleInformation(input.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = child_input.get();
        common::UniqueProcessInformation process;
        if (!CreateProcessW(SimExe().c_str(), command_line.data(), nullptr, nullptr, TRUE,
                            DETACHED_PROCESS, nullptr, directory.c_str(), &startup,
                            process.put())) {
            return L"0x00000002\nCreateProcessAsUser failed\n";
        }
        const DWORD process_id = process.get().dwProcessId;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            children_.emplace_back(process.release_process());
        }
        const std::string utf8 = common::WideToUtf8(stdin_text);
        DWORD written = 0;
        WriteFile(input.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
        wchar_t reply[64];
        swprintf(reply, 64, L"0x00000000\n0x%08X\nProcess ID", process_id);
        return reply;
    }

    const std::wstring name_;
    common::UniqueEvent stop_;
    std::wstring error_reply_;
    std::function<void(SOCKET)> on_listener_;
    std::atomic<DWORD> reply_delay_ms_{0};
    common::UniqueEvent held_exit_event_;
    std::mutex mutex_;
    std::condition_variable ready_;
    bool listening_ = false;
    std::optional<LaunchSeen> seen_;
    std::vector<common::UniqueProcess> children_;
    std::thread thread_;
};

// A management peer played by the test: accepts the coordinator on the listener it is given and
// runs `script` with a line reader and a writer.
class ScriptedManagement {
  public:
    struct Peer {
        SOCKET socket;
        std::string pending;
        void Send(const std::string& text) {
            send(socket, text.data(), static_cast<int>(text.size()), 0);
        }
        // The next line the coordinator sent, or nullopt after `wait_ms`.
        std::optional<std::string> Line(DWORD wait_ms = 3000) {
            const auto deadline = Clock::now() + milliseconds(wait_ms);
            for (;;) {
                const size_t end = pending.find('\n');
                if (end != std::string::npos) {
                    std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    return line;
                }
                const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) {
                    return std::nullopt;
                }
                DWORD timeout = static_cast<DWORD>(left.count());
                setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout),
                           sizeof(timeout));
                char chunk[512];
                const int got = recv(socket, chunk, sizeof(chunk), 0);
                if (got <= 0) {
                    return std::nullopt;
                }
                pending.append(chunk, static_cast<size_t>(got));
            }
        }
    };
    using Script = std::function<void(Peer&)>;

    explicit ScriptedManagement(Script script) : script_(std::move(script)) {}
    ~ScriptedManagement() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // Hand to FakeInteractiveService::UseDecoy.
    std::function<void(SOCKET)> Listener() {
        return [this](SOCKET listener) {
            thread_ = std::thread([this, listener] {
                DWORD timeout = 5000;
                setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout),
                           sizeof(timeout));
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(listener, &readable);
                timeval wait = {5, 0};
                if (select(0, &readable, nullptr, nullptr, &wait) > 0) {
                    Peer peer{accept(listener, nullptr, nullptr), {}};
                    if (peer.socket != INVALID_SOCKET) {
                        script_(peer);
                        shutdown(peer.socket, SD_BOTH);
                        closesocket(peer.socket);
                    }
                }
                closesocket(listener);
            });
        };
    }

  private:
    Script script_;
    std::thread thread_;
};

class CoordinatorTest : public testing::Test {
  protected:
    void SetUp() override {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"lumet-ovc-" + test::UniqueSuffixW();
        staging_ = root_ + L"-staging";
        CreateDirectoryW(root_.c_str(), nullptr);
        CreateDirectoryW(staging_.c_str(), nullptr);
        stager_ = std::make_unique<FakeStager>(staging_);
        common::log_testing::SetLogObserver([this](std::wstring_view line) {
            std::lock_guard<std::mutex> lock(log_mutex_);
            log_.append(line);
        });
    }

    void TearDown() override {
        coordinator_.reset();
        common::log_testing::SetLogObserver({});
        test::RemoveTree(root_);
        test::RemoveTree(staging_);
    }

    OpenVpnCoordinatorConfig Config() {
        OpenVpnCoordinatorConfig config;
        config.openvpn_path = SimExe();
        config.management_connect_timeout_ms = 3000;
        config.connect_timeout_ms = 8000;
        config.stop_grace_ms = 2000;
        config.launcher_pipe_wait_ms = 1000;
        config.launcher_io_wait_ms = 3000;
        config.override_launcher_pipe = launcher_.pipe();
        config.stager = stager_.get();
        config.working_directory_root = root_;
        return config;
    }

    OpenVpnCoordinator& Make(OpenVpnCoordinatorConfig config) {
        coordinator_ = std::make_unique<OpenVpnCoordinator>(std::move(config));
        return *coordinator_;
    }
    OpenVpnCoordinator& Make() { return Make(Config()); }

    static StartRequest Request(std::string user = kUser, std::string password = kPassword) {
        return StartRequest(kProfile, std::move(user), std::move(password));
    }

    // Polls the snapshot until `done` holds or `wait_ms` passes; returns the last snapshot.
    common::OpenVpnStatusRecord WaitFor(
        const std::function<bool(const common::OpenVpnStatusRecord&)>& done,
        DWORD wait_ms = 10000) {
        const auto deadline = Clock::now() + milliseconds(wait_ms);
        common::OpenVpnStatusRecord record = coordinator_->Snapshot();
        while (!done(record) && Clock::now() < deadline) {
            Sleep(20);
            record = coordinator_->Snapshot();
        }
        return record;
    }
    common::OpenVpnStatusRecord WaitForEnd(DWORD wait_ms = 10000) {
        return WaitFor([](const auto& r) { return !r.running; }, wait_ms);
    }

    // Everything an attempt leaves behind is gone: the staged profile, OpenVPN, its id.
    void ExpectCleanedUp() {
        const std::vector<std::wstring> staged = stager_->staged();
        for (const std::wstring& path : staged) {
            EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << path;
        }
        EXPECT_EQ(stager_->unstaged(), staged);
        if (HANDLE child = launcher_.last_child()) {
            EXPECT_TRUE(ProcessGone(child, 3000));
        }
        EXPECT_EQ(coordinator_->OpenVpnProcessId(), 0u);
    }

    std::wstring Log() {
        std::lock_guard<std::mutex> lock(log_mutex_);
        return log_;
    }

    SimSwitches switches_;
    FakeInteractiveService launcher_;
    std::wstring root_;
    std::wstring staging_;
    std::unique_ptr<FakeStager> stager_;
    std::unique_ptr<OpenVpnCoordinator> coordinator_;
    std::mutex log_mutex_;
    std::wstring log_;
};

uint16_t Code(OpenVpnError error) {
    return static_cast<uint16_t>(error);
}

TEST_F(CoordinatorTest, ConnectsCountsBytesRefusesASecondStartAndStops) {
    switches_.Set(L"StateStepMs", 20);
    OpenVpnCoordinator& coordinator = Make();
    uint32_t attempt = 0;
    ASSERT_TRUE(coordinator.Start(Request(), &attempt));
    EXPECT_EQ(attempt, 1u);
    common::OpenVpnStatusRecord record = WaitFor([](const auto& r) { return r.bytes_in != 0; });
    EXPECT_EQ(record.state, 10);
    EXPECT_TRUE(record.running);
    EXPECT_EQ(record.error, 0);
    EXPECT_EQ(record.attempt, 1u);
    EXPECT_EQ(record.bytes_in, 2944u);
    EXPECT_EQ(record.bytes_out, 1072u);
    EXPECT_GT(record.connected_since_ms, 1600000000000u);

    // What OpenVPN was given.
    EXPECT_EQ(stager_->staged_profile(), kProfile + "auth-nocache\n");
    const LaunchSeen seen = *launcher_.seen();
    EXPECT_EQ(seen.working_directory, root_ + L"\\Orrinfield\\vpn\\openvpn");
    EXPECT_EQ(OptionValue(seen.options, L"--config"), stager_->staged()[0]);
    EXPECT_EQ(OptionValue(seen.options, L"--service").rfind(L"Orrinfield-OpenVpnExit-", 0), 0u);
    EXPECT_EQ(OptionValue(seen.options, L"--service").size(), 23u + 32u);
    EXPECT_EQ(seen.stdin_text.size(), 65u);  // 64 hex digits and a line feed
    EXPECT_EQ(switches_.Record(L"LastManagementAuth"), 1u);
    EXPECT_EQ(switches_.Record(L"LastCredentials"), 1u);
    // Connected: the profile leaves OpenVPN's directory at the attempt's next look.
    const auto unstage_deadline = Clock::now() + milliseconds(1000);
    while (stager_->unstaged().empty() && Clock::now() < unstage_deadline) {
        Sleep(20);
    }
    EXPECT_EQ(stager_->unstaged(), stager_->staged());
    const DWORD pid = coordinator.OpenVpnProcessId();
    EXPECT_EQ(pid, GetProcessId(launcher_.last_child()));

    // A second start is refused and leaves the connected attempt alone.
    EXPECT_FALSE(coordinator.Start(Request()));
    record = coordinator.Snapshot();
    EXPECT_EQ(record.error, Code(OpenVpnError::AttemptActive));
    EXPECT_TRUE(record.running);
    EXPECT_EQ(record.attempt, 1u);
    Sleep(400);
    EXPECT_TRUE(coordinator.Snapshot().running);
    EXPECT_EQ(stager_->stage_calls(), 1);

    coordinator.Stop();
    common::OpenVpnStatusRecord stopped;
    stopped.attempt = 2;
    EXPECT_EQ(coordinator.Snapshot(), stopped);
    ExpectCleanedUp();
    // Nothing secret reached the log.
    const std::wstring log = Log();
    EXPECT_EQ(log.find(L"correct-horse"), std::wstring::npos);
    EXPECT_EQ(log.find(seen.stdin_text.substr(0, 64)), std::wstring::npos);
    EXPECT_EQ(log.find(L"image path differs"), std::wstring::npos);
}

TEST_F(CoordinatorTest, StopWhileConnectingLeavesAZeroRecordAndNoLeftovers) {
    switches_.Set(L"StateStepMs", 20);
    switches_.Set(L"NeverConnect", 1);
    OpenVpnCoordinator& coordinator = Make();
    ASSERT_TRUE(coordinator.Start(Request()));
    EXPECT_EQ(WaitFor([](const auto& r) { return r.state == 5; }).state, 5);  // AUTH
    coordinator.Stop();
    common::OpenVpnStatusRecord stopped;
    stopped.attempt = 2;
    EXPECT_EQ(coordinator.Snapshot(), stopped);
    ExpectCleanedUp();
    ASSERT_EQ(stager_->unstaged().size(), 1u);
    // Late events of the stopped attempt change nothing.
    Sleep(500);
    EXPECT_EQ(coordinator.Snapshot(), stopped);

    // The next attempt starts cleanly with the next number.
    switches_.Set(L"NeverConnect", 0);
    uint32_t attempt = 0;
    ASSERT_TRUE(coordinator.Start(Request(), &attempt));
    EXPECT_EQ(attempt, 3u);
    EXPECT_EQ(WaitFor([](const auto& r) { return r.state == 10; }).state, 10);
}

// How each way OpenVPN can fail ends the attempt. Each row also proves that the attempt leaves
// nothing behind.
TEST_F(CoordinatorTest, OpenVpnFailuresEndTheAttemptWithTheirError) {
    const struct {
        const char* name;
        std::vector<std::pair<const wchar_t*, DWORD>> switches;
        OpenVpnError error;
        DWORD max_ms;       // from start to the end of the attempt
        int last_state;     // -1: not looked at
        DWORD credentials;  // the simulator's record: 0 none sent, 1 matched, 2 refused
    } cases[] = {
        {"auth failed before connected", {{L"Fatal", 2}}, OpenVpnError::AuthFailed, 3000, 5, 1},
        {"fatal", {{L"Fatal", 1}}, OpenVpnError::OpenVpnFatal, 3000, 0, 0},
        // The server's refusal arrives as ">PASSWORD:Verification Failed" and no FATAL; it must
        // end the attempt at once, not at the connect time-out.
        {"verification failed", {{L"RejectCredentials", 1}}, OpenVpnError::AuthFailed, 3000, -1, 2},
        // The key's passphrase is never asked of the user: nothing is answered.
        {"private key prompt",
         {{L"PrivateKeyPrompt", 1}},
         OpenVpnError::TunnelTimeout,
         4500,
         -1,
         0},
        {"exit while connected",
         {{L"ExitAfterConnectedMs", 300}},
         OpenVpnError::OpenVpnExited,
         4000,
         10,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSimKey);
        switches_.Set(L"StateStepMs", 20);
        for (const auto& [name, value] : c.switches) {
            switches_.Set(name, value);
        }
        OpenVpnCoordinatorConfig config = Config();
        config.connect_timeout_ms = 1500;
        if (c.error == OpenVpnError::AuthFailed) {
            config.connect_timeout_ms = 20000;  // a time-out would break the bound
        }
        OpenVpnCoordinator& coordinator = Make(config);
        const auto started = Clock::now();
        ASSERT_TRUE(coordinator.Start(Request()));
        const common::OpenVpnStatusRecord record = WaitForEnd(c.max_ms + 2000);
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
        EXPECT_FALSE(record.running);
        EXPECT_EQ(record.error, Code(c.error));
        if (c.last_state >= 0) {
            EXPECT_EQ(record.state, c.last_state);
        }
        EXPECT_EQ(switches_.Record(L"LastCredentials").value_or(0), c.credentials);
        EXPECT_LT(took.count(), c.max_ms);
        ExpectCleanedUp();
        coordinator_.reset();
        stager_ = std::make_unique<FakeStager>(staging_);
    }
}

TEST_F(CoordinatorTest, LaunchAndStagingRefusalsBecomeTheirErrors) {
    const struct {
        std::wstring reply;  // empty: launcher pipe missing
        uint16_t stage_failure;
        bool no_stager;
        OpenVpnError error;
    } cases[] = {
        {L"0x20000001\nValidateOptions\nAdd your account to the \"OpenVPN Administrators\" group",
         0, false, OpenVpnError::AccessRefused},
        {L"0x20000001\nValidateOptions\nOption '--config' refused", 0, false,
         OpenVpnError::Rejected},
        {L"0x20000002\nHandleMessage\nmessage data", 0, false, OpenVpnError::LaunchIoFailed},
        {L"0x20000001\nGetStartupData\nStartup data is malformed", 0, false,
         OpenVpnError::Rejected},
        {L"0x00000000\n0x0000ABC\nProcess ID", 0, false, OpenVpnError::LaunchIoFailed},
        {L"0x20000000\nCreateProcess\nfailed", 0, false, OpenVpnError::LaunchFailed},
        {L"", 0, false, OpenVpnError::ServiceUnreachable},
        {L"x", 1, false, OpenVpnError::ServiceUnreachable},
        {L"x", 2, false, OpenVpnError::AccessRefused},
        {L"x", 3, false, OpenVpnError::Rejected},
        {L"x", 4, false, OpenVpnError::InternalError},
        {L"x", 0, true, OpenVpnError::InternalError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(common::WideToUtf8(c.reply) + " stage " + std::to_string(c.stage_failure));
        launcher_.ReplyWith(c.reply);
        stager_->FailWith(c.stage_failure);
        OpenVpnCoordinatorConfig config = Config();
        if (c.reply.empty()) {
            config.override_launcher_pipe =
                L"\\\\.\\pipe\\lumet-ovc-nobody-" + test::UniqueSuffixW();
        }
        if (c.no_stager) {
            config.stager = nullptr;
        }
        OpenVpnCoordinator& coordinator = Make(config);
        ASSERT_TRUE(coordinator.Start(Request()));
        const common::OpenVpnStatusRecord record = WaitForEnd(5000);
        EXPECT_FALSE(record.running);
        EXPECT_EQ(record.error, Code(c.error));
        EXPECT_EQ(stager_->unstaged(), stager_->staged());
        if (c.reply.size() > 1 && c.stage_failure == 0 && !c.no_stager) {
            EXPECT_NE(Log().find(L"ERR  openvpn_coordinator: interactive service launch rejected "
                                 L"(win32="),
                      std::wstring::npos);
        }
        coordinator_.reset();
        stager_ = std::make_unique<FakeStager>(staging_);
    }
}

TEST_F(CoordinatorTest, BadRequestsFailAtOnceWithoutAnAttempt) {
    const std::string long_user(256, 'u');
    const struct {
        std::string profile;
        std::string user;
        std::string password;
        OpenVpnError error;
    } cases[] = {
        {kProfile, kUser, "", OpenVpnError::InvalidRequest},
        {kProfile, long_user, kPassword, OpenVpnError::InvalidRequest},
        {kProfile, "sim\tuser", kPassword, OpenVpnError::InvalidRequest},
        {kProfile + "up /bin/evil\n", kUser, kPassword, OpenVpnError::InvalidRequest},
        {"client\ndev tun\nremote h 1\nauth-user-pass\n<ca>\nx\n</ca>\n", kUser, kPassword,
         OpenVpnError::UnsupportedProtocol},
    };
    OpenVpnCoordinator& coordinator = Make();
    for (const auto& c : cases) {
        EXPECT_FALSE(coordinator.Start(StartRequest(c.profile, c.user, c.password)));
        const common::OpenVpnStatusRecord record = coordinator.Snapshot();
        EXPECT_EQ(record.error, Code(c.error)) << c.user << " " << c.profile.size();
        EXPECT_FALSE(record.running);
        EXPECT_EQ(record.attempt, 0u);
    }
    EXPECT_EQ(stager_->stage_calls(), 0);
    EXPECT_FALSE(launcher_.seen().has_value());
}

// Read the coordinator's login and answer as the script says. Returns the management password
// the coordinator sent.
std::string Login(ScriptedManagement::Peer& peer, const std::string& answer) {
    peer.Send("ENTER PASSWORD:");
    const std::optional<std::string> password = peer.Line();
    peer.Send(answer);
    return password.value_or("");
}

// What only a scripted peer can show: the management password refused in both of OpenVPN's
// ways, a peer that never asks for it, and a connection that closes before CONNECTED.
TEST_F(CoordinatorTest, ManagementLoginFailures) {
    const struct {
        const char* name;
        ScriptedManagement::Script script;
        OpenVpnError error;
        DWORD max_ms;
    } cases[] = {
        {"ERROR reply",
         [](ScriptedManagement::Peer& peer) {
             Login(peer, "ERROR: bad password\r\n");
             Sleep(300);
         },
         OpenVpnError::ManagementAuthRejected, 2500},
        // What OpenVPN really does for a wrong password: it asks again.
        {"asked again",
         [](ScriptedManagement::Peer& peer) {
             Login(peer, "ENTER PASSWORD:");
             peer.Line(2000);
         },
         OpenVpnError::ManagementAuthRejected, 2500},
        {"never asks", [](ScriptedManagement::Peer& peer) { peer.Line(4000); },
         OpenVpnError::ManagementUnavailable, 6000},
        {"closes before connected",
         [](ScriptedManagement::Peer& peer) {
             Login(peer, "SUCCESS: password is correct\r\n");
             peer.Send(">STATE:1,WAIT,,,,,,\r\n");
             Sleep(200);
         },
         OpenVpnError::OpenVpnExited, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedManagement peer(c.script);
        launcher_.UseDecoy(peer.Listener());
        OpenVpnCoordinator& coordinator = Make();
        const auto started = Clock::now();
        ASSERT_TRUE(coordinator.Start(Request()));
        const common::OpenVpnStatusRecord record = WaitForEnd(c.max_ms + 2000);
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
        EXPECT_FALSE(record.running);
        EXPECT_EQ(record.error, Code(c.error));
        EXPECT_LT(took.count(), c.max_ms);
        ExpectCleanedUp();
        coordinator_.reset();
        stager_ = std::make_unique<FakeStager>(staging_);
    }
}

TEST_F(CoordinatorTest, AuthFailedAfterConnectedIsKeptUntilOpenVpnEnds) {
    std::mutex mutex;
    std::vector<std::string> commands;
    std::string management_password;
    std::atomic<bool> close{false};
    ScriptedManagement peer([&](ScriptedManagement::Peer& p) {
        const std::string password = Login(p, "SUCCESS: password is correct\r\n");
        {
            std::lock_guard<std::mutex> lock(mutex);
            management_password = password;
        }
        p.Send(">HOLD:Waiting for hold release:0\r\n");
        for (int i = 0; i < 3; ++i) {
            const std::optional<std::string> line = p.Line();
            std::lock_guard<std::mutex> lock(mutex);
            commands.push_back(line.value_or("<none>"));
        }
        p.Send(">PASSWORD:Need 'Auth' username/password\r\n");
        for (int i = 0; i < 2; ++i) {
            const std::optional<std::string> line = p.Line();
            std::lock_guard<std::mutex> lock(mutex);
            commands.push_back(line.value_or("<none>"));
        }
        p.Send(">STATE:1,CONNECTED,SUCCESS,10.99.0.6,127.0.0.1,1194,,\r\n>BYTECOUNT:10,20\r\n");
        Sleep(300);
        p.Send(">FATAL:AUTH_FAILED,session expired\r\n");
        while (!close.load()) {
            Sleep(20);
        }
    });
    launcher_.UseDecoy(peer.Listener());
    OpenVpnCoordinator& coordinator = Make();
    ASSERT_TRUE(coordinator.Start(Request("us\"er\\", "pa ss")));
    common::OpenVpnStatusRecord record =
        WaitFor([](const auto& r) { return r.error != 0 || !r.running; });
    EXPECT_EQ(record.error, Code(OpenVpnError::AuthFailed));
    EXPECT_EQ(record.state, 10);
    EXPECT_EQ(record.bytes_out, 20u);
    // Recorded, but the connection is not torn down by it.
    Sleep(600);
    EXPECT_TRUE(coordinator.Snapshot().running);
    {
        std::lock_guard<std::mutex> lock(mutex);
        const std::vector<std::string> expected = {"state on", "bytecount 5", "hold release",
                                                   "username \"Auth\" \"us\\\"er\\\\\"",
                                                   "password \"Auth\" \"pa ss\""};
        EXPECT_EQ(commands, expected);
        EXPECT_EQ(management_password.size(), 64u);
        EXPECT_EQ(Log().find(common::Utf8ToWide(management_password)), std::wstring::npos);
    }
    // OpenVPN ends: the attempt ends, and the earlier, more telling error stays.
    close = true;
    TerminateProcess(launcher_.last_child(), 1);
    record = WaitForEnd(3000);
    EXPECT_FALSE(record.running);
    EXPECT_EQ(record.error, Code(OpenVpnError::AuthFailed));
    EXPECT_EQ(coordinator.OpenVpnProcessId(), 0u);
    EXPECT_EQ(Log().find(L"pa ss"), std::wstring::npos);
}

// Another process that binds the management port before OpenVPN would receive the credentials:
// the listener must belong to the process the interactive service reported. Wine reports owner 0
// for every listener, so the Windows answers come through the seam.
TEST_F(CoordinatorTest, ManagementListenerMustBelongToTheLaunchedOpenVpn) {
    switches_.Set(L"StateStepMs", 20);
    const struct {
        const char* name;
        std::function<std::optional<uint32_t>(OpenVpnCoordinator&)> owner;
        bool connects;
        const wchar_t* log;
    } cases[] = {
        {"the launched process",
         [](OpenVpnCoordinator& c) { return std::optional<uint32_t>(c.OpenVpnProcessId()); }, true,
         nullptr},
        {"another process", [](OpenVpnCoordinator&) { return std::optional<uint32_t>(4); }, false,
         L"ERR  openvpn_coordinator: management port is not held by the launched OpenVPN "
         L"(owner pid=4)"},
        {"no listener in the table", [](OpenVpnCoordinator&) { return std::nullopt; }, false,
         L"(owner pid=none)"},
        // Without the seam: Wine's table, owner 0, accepted with a warning.
        {"Wine's unknown owner", nullptr, true,
         L"WARN openvpn_coordinator: management listener owner unknown (Wine reports 0); "
         L"accepted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSimKey, L"LastManagementAuth");
        OpenVpnCoordinatorConfig config = Config();
        if (c.owner) {
            config.listener_owner = [this, owner = c.owner](uint16_t) {
                return owner(*coordinator_);
            };
        }
        OpenVpnCoordinator& coordinator = Make(config);
        ASSERT_TRUE(coordinator.Start(Request()));
        const common::OpenVpnStatusRecord record =
            WaitFor([](const auto& r) { return !r.running || r.state == 10; });
        if (c.connects) {
            EXPECT_EQ(record.state, 10);
            EXPECT_EQ(switches_.Record(L"LastManagementAuth"), 1u);
        } else {
            EXPECT_FALSE(record.running);
            EXPECT_EQ(record.error, Code(OpenVpnError::ManagementUnavailable));
            // Nothing, not even the management password, went to the listener.
            EXPECT_FALSE(switches_.Record(L"LastManagementAuth").has_value());
            ExpectCleanedUp();
        }
        if (c.log != nullptr) {
            EXPECT_NE(Log().find(c.log), std::wstring::npos);
        }
        coordinator.Stop();
    }
}

// A launch whose reply times out may still have started OpenVPN, which would wait at its hold
// for good unless its exit event is set before the coordinator lets go of it.
TEST_F(CoordinatorTest, LaunchReplyTimeOutSetsTheExitEvent) {
    launcher_.ReplyWith(L"0x00000000\n0x00001234\nProcess ID");
    launcher_.DelayReply(2000);
    OpenVpnCoordinatorConfig config = Config();
    config.launcher_io_wait_ms = 500;
    OpenVpnCoordinator& coordinator = Make(config);
    ASSERT_TRUE(coordinator.Start(Request()));
    const common::OpenVpnStatusRecord record = WaitForEnd(5000);
    EXPECT_EQ(record.error, Code(OpenVpnError::LaunchIoFailed));
    const HANDLE event = launcher_.held_exit_event();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

// OpenVPN rewrites the status file a profile names; it is the attempt's to remove.
TEST_F(CoordinatorTest, StatusFileNamedByTheProfileIsRemoved) {
    switches_.Set(L"StateStepMs", 20);
    switches_.Set(L"NeverConnect", 1);
    OpenVpnCoordinator& coordinator = Make();
    const std::wstring status = coordinator.WorkingDirectory() + L"\\my-status.txt";
    const std::wstring other = coordinator.WorkingDirectory() + L"\\other.txt";
    StartRequest request = Request();
    request.config.insert(request.config.find("<ca>"), "status my-status.txt 5\n");
    ASSERT_TRUE(coordinator.Start(request));
    EXPECT_EQ(WaitFor([](const auto& r) { return r.state == 5; }).state, 5);  // AUTH
    for (const std::wstring& path : {status, other}) {
        common::UniqueHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
    }
    coordinator.Stop();
    EXPECT_EQ(GetFileAttributesW(status.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(other.c_str()), INVALID_FILE_ATTRIBUTES);
}

// A thread that cannot be created must not throw out of Start or leave `running` set.
TEST_F(CoordinatorTest, AttemptThreadThatCannotStartIsInternalError) {
    OpenVpnCoordinatorConfig config = Config();
    config.start_thread = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    OpenVpnCoordinator& coordinator = Make(config);
    bool started = true;
    EXPECT_NO_THROW(started = coordinator.Start(Request()));
    EXPECT_FALSE(started);
    const common::OpenVpnStatusRecord record = coordinator.Snapshot();
    EXPECT_FALSE(record.running);
    EXPECT_EQ(record.error, Code(OpenVpnError::InternalError));
    EXPECT_EQ(stager_->stage_calls(), 0);
    EXPECT_NE(Log().find(L"ERR  openvpn_coordinator: attempt thread could not be started"),
              std::wstring::npos);
    // The coordinator stays usable.
    coordinator.Stop();
    EXPECT_EQ(coordinator.Snapshot().error, 0);
}

TEST_F(CoordinatorTest, WorkingDirectoryIsCleanedOfLeftoversAtConstruction) {
    const std::wstring directory = root_ + L"\\Orrinfield\\vpn\\openvpn";
    EXPECT_EQ(EnsureWorkingDirectory(root_), directory);
    const std::vector<std::pair<std::wstring, bool>> files = {
        {L"openvpn-status.log", false}, {L"ovpn-1.conf", false}, {L"ovpn-2-x.log", false},
        {L"ovpn-3.ovpn", true},         {L"OVPN-4.conf", true},  {L"keep.log", true},
    };
    for (const auto& [name, kept] : files) {
        common::UniqueHandle file(CreateFileW((directory + L"\\" + name).c_str(), GENERIC_WRITE, 0,
                                              nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), "secret", 6, &written, nullptr);
    }
    OpenVpnCoordinator& coordinator = Make();
    EXPECT_EQ(coordinator.WorkingDirectory(), directory);
    for (const auto& [name, kept] : files) {
        const bool exists =
            GetFileAttributesW((directory + L"\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
        EXPECT_EQ(exists, kept) << common::WideToUtf8(name);
    }
    // The user alone, full access, nothing inherited.
    const std::optional<std::wstring> sddl = WorkingDirectoryDaclSddl();
    ASSERT_TRUE(sddl.has_value());
    EXPECT_EQ(sddl->rfind(L"D:P(A;;FA;;;S-1-", 0), 0u) << *sddl;
    EXPECT_EQ(sddl->find(L")("), std::wstring::npos) << *sddl;
}

}  // namespace
}  // namespace lumet::agent::openvpn
